"""How deep a decorated method can call itself before the interpreter says no.

Run by hand, with lineage_store importable by every interpreter named:

    python benchmarks/recursion_depth.py                       # this interpreter
    python benchmarks/recursion_depth.py --python PATH --python PATH2
    python benchmarks/recursion_depth.py --recursion-limit 100000   # past the default limit
    python benchmarks/recursion_depth.py --quick               # two probes per case, no search

Each probe is a fresh child process at the interpreter's default limits (its
recursion limit untouched unless --recursion-limit says otherwise, the C
stack as this process's `ulimit -s` gives it, the main thread) that makes one
new instance and calls, on it:

    self        down(n):  0 if n == 0 else self.down(n - 1) + 1
    alternating ping(n):  0 if n == 0 else self.pong(n - 1) + 1, and pong the same calling ping

so that a probe of n makes a chain of n + 1 nested decorated calls, every one
of them a miss. The figure is the largest n whose probe returns; the search
doubles n until a probe fails, then bisects, each probe in a new process so
that a crash ends only that probe. What the first failing n did is printed
beside it: RecursionError, another exception, a crash (the signal), or a
time-out. Core dumps of crashing children are switched off.

Implementations: lineage_store's two factories, functools.lru_cache on the
same method, and the plain undecorated method for scale. It measures and
prints; it exits 0 whatever the depths are.
"""

# Only what a probe needs is imported at the top: each probe is a new process.
import os
import sys

IMPLEMENTATIONS = ("lineage_stored", "automagically_lineage_stored", "functools.lru_cache",
                   "plain method")
VARIANTS = ("self", "alternating")
RECURSION_ERROR_EXIT = 3
OTHER_ERROR_EXIT = 4


# --- Probe: runs in the interpreter being measured ------------------------------

def probe_class(implementation):
    if implementation == "functools.lru_cache":
        import functools
        decorate, base = functools.lru_cache(maxsize=None), object
    elif implementation == "plain method":
        decorate, base = (lambda func: func), object
    else:
        import lineage_store
        decorate = getattr(lineage_store, implementation)()
        base = lineage_store.LineageStoreBase

    def down(self, n):
        return 0 if n == 0 else self.down(n - 1) + 1

    def ping(self, n):
        return 0 if n == 0 else self.pong(n - 1) + 1

    def pong(self, n):
        return 0 if n == 0 else self.ping(n - 1) + 1

    return type("Chain", (base,), {"down": decorate(down), "ping": decorate(ping),
                                   "pong": decorate(pong)})


def run_probe(implementation, variant, n, recursion_limit):
    if recursion_limit:
        sys.setrecursionlimit(recursion_limit)
    obj = probe_class(implementation)()
    start = obj.down if variant == "self" else obj.ping
    try:
        result = start(n)
    except RecursionError:
        sys.exit(RECURSION_ERROR_EXIT)
    except BaseException as error:  # noqa: BLE001 - reported, not handled
        print(type(error).__name__, file=sys.stderr)
        sys.exit(OTHER_ERROR_EXIT)
    if result != n:
        print(f"wrong result {result!r}", file=sys.stderr)
        sys.exit(OTHER_ERROR_EXIT)


# --- Parent ----------------------------------------------------------------------

def no_core_dumps():
    import resource
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def probe(python, implementation, variant, n, timeout, recursion_limit=0):
    """'ok', or what the probe did instead."""
    import signal
    import subprocess

    try:
        result = subprocess.run(
            [python, os.path.abspath(__file__), "--probe", implementation, variant, str(n),
             str(recursion_limit)],
            capture_output=True, text=True, timeout=timeout, preexec_fn=no_core_dumps)
    except subprocess.TimeoutExpired:
        return f"time-out after {timeout:g} s"
    if result.returncode == 0:
        return "ok"
    if result.returncode == RECURSION_ERROR_EXIT:
        return "RecursionError"
    if result.returncode < 0:
        try:
            name = signal.Signals(-result.returncode).name
        except ValueError:
            name = f"signal {-result.returncode}"
        return f"crash ({name})"
    lines = result.stderr.strip().splitlines() or [f"exit status {result.returncode}"]
    return f"error: {lines[-1]}"


def deepest(python, implementation, variant, max_depth, timeout, recursion_limit):
    """(largest n that returns, what the next n does, probes run)."""
    def probe_n(n):
        return probe(python, implementation, variant, n, timeout, recursion_limit)

    outcome = probe_n(0)
    if outcome != "ok":
        return None, outcome, 1
    good, probes, n = 0, 1, 1
    while True:
        outcome = probe_n(n)
        probes += 1
        if outcome != "ok":
            bad, bad_outcome = n, outcome
            break
        good = n
        if n >= max_depth:
            return good, f"not reached: n = {max_depth:,} returned", probes
        n = min(2 * n, max_depth)
    while bad - good > 1:
        middle = (good + bad) // 2
        outcome = probe_n(middle)
        probes += 1
        if outcome == "ok":
            good = middle
        else:
            bad, bad_outcome = middle, outcome
    return good, bad_outcome, probes


def interpreter_facts(python):
    """(description, None) or (None, why it cannot run the probes)."""
    import subprocess

    result = subprocess.run(
        [python, "-c", "import sys, lineage_store; "
                       "print(sys.version.split()[0], sys.getrecursionlimit())"],
        capture_output=True, text=True)
    if result.returncode != 0:
        lines = result.stderr.strip().splitlines() or ["no output"]
        return None, lines[-1]
    version, limit = result.stdout.split()
    return (version, int(limit)), None


def stack_limit():
    import resource
    soft, _ = resource.getrlimit(resource.RLIMIT_STACK)
    return "unlimited" if soft == resource.RLIM_INFINITY else f"{soft // 1024:,} KiB"


def parse_arguments(argv):
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--python", action="append", metavar="PATH",
                        help="an interpreter to measure (repeatable; default: this one)")
    parser.add_argument("--max-depth", type=int, default=1_000_000,
                        help="the search stops here (default 1,000,000)")
    parser.add_argument("--timeout", type=float, default=120.0,
                        help="seconds before a probe counts as hung (default 120)")
    parser.add_argument("--recursion-limit", type=int, default=0, metavar="N",
                        help="sys.setrecursionlimit(N) in each probe first, to see what "
                             "happens past the default limit (default: left as it is)")
    parser.add_argument("--jobs", type=int, default=1,
                        help="searches run at once (each is a sequence of probes)")
    parser.add_argument("--quick", action="store_true",
                        help="probe n = 10 and n = 100,000 only, no search")
    arguments = parser.parse_args(argv)
    arguments.python = arguments.python or [sys.executable]
    return arguments


def main(argv):
    if argv[:1] == ["--probe"]:
        run_probe(argv[1], argv[2], int(argv[3]), int(argv[4]))
        return
    import concurrent.futures
    import time

    arguments = parse_arguments(argv)
    cases = [(implementation, variant) for implementation in IMPLEMENTATIONS for variant in VARIANTS]
    print(f"Deepest n for which obj.down(n) (self) or obj.ping(n) (alternating) returns: "
          f"a chain of n + 1 nested decorated calls, all misses, on one new instance; "
          f"one process per probe; C stack limit {stack_limit()}"
          + ("\nQUICK RUN: two probes per case (n = 10 and n = 100,000), no search" if arguments.quick
             else ""))
    summary = []
    for python in arguments.python:
        facts, problem = interpreter_facts(python)
        print()
        if facts is None:
            print(f"{python}: cannot import lineage_store ({problem}); skipped")
            continue
        version, limit = facts
        limit_text = (f"recursion limit set to {arguments.recursion_limit:,} in each probe "
                      f"(default {limit:,})" if arguments.recursion_limit
                      else f"recursion limit {limit:,} (its default)")
        print(f"CPython {version} ({python}), {limit_text}")
        started = time.monotonic()
        if arguments.quick:
            def measure(case):
                return tuple(probe(python, *case, n, arguments.timeout, arguments.recursion_limit)
                             for n in (10, 100_000))

            with concurrent.futures.ThreadPoolExecutor(max_workers=arguments.jobs) as pool:
                outcomes = dict(zip(cases, pool.map(measure, cases)))
            print(f"{'implementation':<30}{'variant':<13}{'n = 10':<26}n = 100,000")
            for (implementation, variant), (small, large) in outcomes.items():
                print(f"{implementation:<30}{variant:<13}{small:<24}  {large}")
            continue

        def search(case):
            return deepest(python, *case, arguments.max_depth, arguments.timeout,
                           arguments.recursion_limit)

        with concurrent.futures.ThreadPoolExecutor(max_workers=arguments.jobs) as pool:
            results = dict(zip(cases, pool.map(search, cases)))
        print(f"{'implementation':<30}{'variant':<13}{'deepest n':>10}{'calls':>10}{'probes':>8}  "
              f"at n + 1")
        for (implementation, variant), (good, next_outcome, probes) in results.items():
            depth = "-" if good is None else f"{good:,}"
            calls = "-" if good is None else f"{good + 1:,}"
            print(f"{implementation:<30}{variant:<13}{depth:>10}{calls:>10}{probes:>8}  {next_outcome}")
        print(f"({time.monotonic() - started:.0f} s)")
        summary.append((version, results))
    if len(summary) > 1:
        print()
        print("Summary: deepest n that returns, per CPython")
        print(f"{'implementation':<30}{'variant':<13}"
              + "".join(f"{'CPython ' + version:>16}" for version, _ in summary))
        for case in cases:
            cells = []
            for _, results in summary:
                good = results[case][0]
                cells.append(f"{'-' if good is None else f'{good:,}':>16}")
            print(f"{case[0]:<30}{case[1]:<13}" + "".join(cells))


if __name__ == "__main__":
    main(sys.argv[1:])
