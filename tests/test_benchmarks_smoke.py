"""The benchmark scripts still run against the installed module.

They are run by hand, so nothing else notices when a change of the module
breaks one; this runs each in its quick mode and times nothing.
"""

import functools
import pathlib
import re
import subprocess
import sys

import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
SCRIPTS = sorted(BENCHMARKS.glob("*.py")) if BENCHMARKS.is_dir() else []
needs_benchmarks = pytest.mark.skipif(not SCRIPTS, reason="benchmarks/ is not beside the tests")

QUICK_ARGUMENTS = {
    "bench_targets.py": ["--quick"],
    "bench_call_path.py": ["--quick"],
    "bench_store_tables.py": ["--quick"],
    "instructions_per_call.py": ["--quick"],
    "recursion_depth.py": ["--quick"],
    "bench_async.py": ["--quick"],
    "bench_growth.py": ["--quick"],
}


def run(script_name, *arguments, cwd):
    return subprocess.run([sys.executable, str(BENCHMARKS / script_name), *arguments],
                          cwd=cwd, capture_output=True, text=True, timeout=600)


@functools.lru_cache(maxsize=None)
def quick_run(script_name, cwd):
    """One quick run per script for the whole module: bench_targets' alone takes seconds."""
    return run(script_name, *QUICK_ARGUMENTS[script_name], cwd=cwd)


@needs_benchmarks
def test_every_benchmark_script_is_smoke_run():
    assert {script.name for script in SCRIPTS} == set(QUICK_ARGUMENTS)


@needs_benchmarks
@pytest.mark.parametrize("script", SCRIPTS, ids=lambda script: script.name)
def test_quick_run_completes(script, tmp_path_factory):
    result = quick_run(script.name, tmp_path_factory.getbasetemp())
    assert result.returncode == 0, result.stderr
    assert "QUICK RUN" in result.stdout


SECTIONS = ("hit", "miss", "invalidation", "views", "memory", "persistence", "scaling")


def table_groups(output):
    """The target table's rows as dicts of its columns (cut where the dashes
    under the header end), in the groups that blank lines separate."""
    lines = output.splitlines()
    dashes = next(i for i, line in enumerate(lines) if line.startswith("----"))
    names = lines[dashes - 1].split("  ")
    starts = [match.start() for match in re.finditer(r"-+", lines[dashes])]
    groups = [[]]
    for line in lines[dashes + 1:]:
        if not line.strip():
            groups.append([])
        elif line[0] != " " and line.split()[0] in SECTIONS:
            cells = [line[a:b].strip() for a, b in zip(starts, starts[1:] + [None])]
            groups[-1].append(dict(zip([name.strip() for name in names if name.strip()], cells)))
    return [group for group in groups if group]


@needs_benchmarks
def test_target_table_measures_every_row_against_its_reference(tmp_path_factory):
    result = quick_run("bench_targets.py", tmp_path_factory.getbasetemp())
    assert result.returncode == 0, result.stderr
    groups = table_groups(result.stdout)
    rows = [row for group in groups for row in group]
    assert {row["section"] for row in rows} == set(SECTIONS)
    for row in rows:  # a measured value, or the peer that is not installed
        assert re.fullmatch(r"[\d,.]+ (ns|ms|B)", row["time or size"]) or row["note"].startswith("skipped"), row
        assert row["result"] in (("PASS", "FAIL") if row["target"] else ("",)), row
    # Each group has a reference row, at 1.00x with no target, and one of ours.
    for group in groups:
        assert any(row["ratio"] == "1.00x" and not row["target"] for row in group), group
        assert any("lineage_store" in row["implementation"] for row in group), group
    verdicts = [row["result"] for row in rows if row["target"]]
    assert f"{verdicts.count('PASS')} targets met, {verdicts.count('FAIL')} missed" in result.stdout
    shown = "\n".join(f"{row['case']} | {row['implementation']} | {row['note']}" for row in rows)
    for text in ("functools.lru_cache", "automagically_lineage_stored", "update_cached_value",
                 "equal str", "calls stored", "Python graph walk", "own bytes", "with the arguments",
                 "keys made beforehand", "no call made (resident", "no call made (tracemalloc",
                 "m(3) cached (resident", "the empty store adds", "dump_cache()", "load_cache(dump)"):
        assert text in shown, text
    # A view or a load that gave other values than expected is flagged in a note.
    assert "differs" not in shown and "not every value" not in shown


@needs_benchmarks
def test_instruction_counts_run_under_each_interpreter_named(tmp_path):
    # An interpreter that cannot import the module is reported and skipped.
    broken = tmp_path / "broken-python"
    broken.write_text("#!/bin/sh\necho 'ModuleNotFoundError: no lineage_store here' >&2\nexit 1\n")
    broken.chmod(0o755)
    result = run("instructions_per_call.py", "--quick", "--python", sys.executable,
                 "--python", str(broken), "--python", sys.executable, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count(f"({sys.executable}): ") == 2
    assert f"{broken}: cannot import lineage_store (ModuleNotFoundError" in result.stdout


@needs_benchmarks
def test_recursion_probes_return_for_a_short_chain_and_refuse_a_long_one(tmp_path_factory):
    result = quick_run("recursion_depth.py", tmp_path_factory.getbasetemp())
    assert result.returncode == 0, result.stderr
    rows = [re.split(r"\s{2,}", line.strip()) for line in result.stdout.splitlines()
            if line.startswith(("lineage_stored", "automagically", "functools", "plain"))]
    assert {(row[0], row[1]) for row in rows} == {
        (implementation, variant)
        for implementation in ("lineage_stored", "automagically_lineage_stored",
                               "functools.lru_cache", "plain method")
        for variant in ("self", "alternating")}
    # n = 10 returns for every implementation and variant; n = 100,000 is
    # refused with RecursionError, never a crash or a hang.
    assert all(row[2:4] == ["ok", "RecursionError"] for row in rows), result.stdout


@needs_benchmarks
def test_async_benchmark_shows_every_row_and_one_run_of_the_shared_call(tmp_path_factory):
    result = quick_run("bench_async.py", tmp_path_factory.getbasetemp())
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for row in ("async_lru.alru_cache", "hand-written dict memo", "functools.lru_cache"):
        assert any(line.strip().startswith(row) for line in lines), row
    shared = [line for line in lines if line.strip().startswith(("lineage_stored", "automagically"))
              and "awaiting task" in line]
    assert len(shared) == 2 and all("runs: 1 " in line for line in shared), result.stdout
