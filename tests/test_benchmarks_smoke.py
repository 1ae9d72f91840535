"""The benchmark script still runs against the installed module.

It is run by hand, so nothing else notices when a change of the module breaks
it; this runs its quick mode on two sections and times nothing.
"""

import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "bench_targets.py"


@pytest.mark.skipif(not SCRIPT.exists(), reason="benchmarks/ is not beside the tests")
def test_quick_run_of_hit_and_invalidation_completes(tmp_path):
    result = subprocess.run(
        [sys.executable, str(SCRIPT), "--quick", "--only", "hit,invalidation"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert "QUICK RUN" in result.stdout
    for row in ("functools.lru_cache", "automagically_lineage_stored", "update_cached_value"):
        assert row in result.stdout
