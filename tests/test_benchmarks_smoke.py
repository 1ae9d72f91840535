"""The benchmark scripts still run against the installed module.

They are run by hand, so nothing else notices when a change of the module
breaks one; this runs each in its quick mode and times nothing.
"""

import pathlib
import subprocess
import sys

import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
SCRIPTS = sorted(BENCHMARKS.glob("*.py")) if BENCHMARKS.is_dir() else []


def test_every_benchmark_script_is_smoke_run():
    assert {script.name for script in SCRIPTS} <= set(QUICK_ARGUMENTS)


QUICK_ARGUMENTS = {
    "bench_targets.py": ["--quick"],
    "bench_call_path.py": ["--quick"],
    "bench_store_tables.py": ["--quick"],
    "instructions_per_call.py": ["--quick"],
}


@pytest.mark.skipif(not SCRIPTS, reason="benchmarks/ is not beside the tests")
@pytest.mark.parametrize("script", SCRIPTS, ids=lambda script: script.name)
def test_quick_run_completes(script, tmp_path):
    result = subprocess.run([sys.executable, str(script), *QUICK_ARGUMENTS[script.name]],
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert "QUICK RUN" in result.stdout


@pytest.mark.skipif(not (BENCHMARKS / "bench_targets.py").exists(), reason="benchmarks/ is not beside the tests")
def test_target_table_has_every_section_and_peer(tmp_path):
    result = subprocess.run([sys.executable, str(BENCHMARKS / "bench_targets.py"), "--quick"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    for row in ("functools.lru_cache", "automagically_lineage_stored", "update_cached_value",
                "equal str", "calls stored", "Python graph walk", "own bytes", "with the arguments"):
        assert row in result.stdout
