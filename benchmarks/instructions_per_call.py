"""Instructions per decorated call, beside a reference, counted by callgrind.

Run by hand, with valgrind installed and lineage_store importable by every
interpreter named:

    python benchmarks/instructions_per_call.py                 # every case, this interpreter
    python benchmarks/instructions_per_call.py 'm0()' 'm(3)'   # selected cases
    python benchmarks/instructions_per_call.py --python PATH --python PATH2 --jobs 2
    python benchmarks/instructions_per_call.py --list          # the cases and what they count
    python benchmarks/instructions_per_call.py --quick         # no valgrind: checks the cases run

On a machine shared with other work, elapsed and even CPU time move by tens of
percent; instruction counts do not. Each figure is the whole statement of its
row (for a call, `obj.m(...)`: the attribute lookup, the bound method, the
call), counted in a child process under callgrind with N and with 2N
executions; the difference divided by N leaves out start-up. The same loop
with `pass` in place of the statement is counted the same way and taken off,
so that neither the loop nor the making of the arguments (done before the
loop, into a list) is counted. The statement runs once before the counted
loop, so a hit row counts hits only.

The reference of most rows is functools.lru_cache on the same method of a
plain class, on the same interpreter; the instance rows compare with a plain
object. `--python` (repeatable) counts under other interpreters, one child
per count, each importing lineage_store from its own site-packages; the
interpreter running this script needs only valgrind, not lineage_store.

It measures and prints; it exits 0 whatever the figures are.
"""

# Only what the counted child needs is imported here: under callgrind every
# import at start-up costs seconds. The parent imports the rest where used.
import os
import sys

CALLS = 20_000  # N; the second count runs 2N


class Case:
    def __init__(self, ours, reference, reference_name, argument="none", gc_off=False,
                 counts="instructions per call", reference_class="Theirs", awaited=False, frees=True):
        self.ours = ours  # statement, on obj (an Ours), x (the argument), Ours, Plain, Theirs
        self.reference = reference  # the same on the reference side (obj is a reference_class)
        self.reference_name = reference_name
        self.reference_class = reference_class
        self.awaited = awaited  # the loop runs in a coroutine, driven by hand, so that `await` can be counted
        self.argument = argument  # how each execution's argument is made: see make_arguments
        self.gc_off = gc_off  # gc.disable() in the child, for the whole run
        self.counts = counts
        # False: the child ends at once after its loop (os._exit), so that
        # freeing what the loop stored is not counted; a miss row then counts
        # what a caller waits for.
        self.frees = frees


LRU = "lru_cache"
HAND = "hand memo"
CASES = {
    "m0()": Case("obj.m0()", "obj.m0()", LRU),
    "m(3)": Case("obj.m(3)", "obj.m(3)", LRU),
    "m(n=3)": Case("obj.m(n=3)", "obj.m(n=3)", LRU),
    "f(1, 2, 3, 4, 5)": Case("obj.f(1, 2, 3, 4, 5)", "obj.f(1, 2, 3, 4, 5)", LRU),
    # Hits whose argument is equal to the stored call's but another object.
    "m(equal str)": Case("obj.m(x)", "obj.m(x)", LRU, argument="str"),
    "m(equal int)": Case("obj.m(x)", "obj.m(x)", LRU, argument="int"),
    # Hits of 64 calls in turn, m(0) to m(63): none is the call made just
    # before. (The 63 first calls, computed, are in both counts and cancel.)
    "m(i % 64)": Case("obj.m(x)", "obj.m(x)", LRU, argument="cycle"),
    # Hits of 1,000 and 10,000 stored calls read in turn: no call is one of
    # the last few made.
    "m(i % 1000)": Case("obj.m(x)", "obj.m(x)", LRU, argument="cycle1000"),
    "m(i % 10000)": Case("obj.m(x)", "obj.m(x)", LRU, argument="cycle10000"),
    # def kw(self, a, **options) on both sides.
    "kw(1, x=2, y=3)": Case("obj.kw(1, x=2, y=3)", "obj.kw(1, x=2, y=3)", LRU),
    # Every call new: a miss, computed and stored (the store grows to 2N calls).
    "miss m(i)": Case("obj.m(x)", "obj.m(x)", LRU, argument="count"),
    # The miss alone, counted before anything is freed (the child ends with
    # os._exit): what a caller waits for.
    "miss m(i), gc off": Case("obj.m(x)", "obj.m(x)", LRU, argument="count", gc_off=True, frees=False),
    # The same, with the freeing of every stored call at the end: its excess
    # over the row above is what freeing costs per call.
    "miss m(i) and its freeing, gc off": Case("obj.m(x)", "obj.m(x)", LRU, argument="count", gc_off=True,
                                              counts="instructions per call, freeing included"),
    # A miss of automagically_lineage_stored (`tm`, the body of `m`) against
    # the same miss under lineage_stored: what tracking adds.
    "tracking miss tm(i), gc off": Case("obj.tm(x)", "obj.m(x)", "lineage_stored", argument="count", gc_off=True,
                                        reference_class="Ours", frees=False),
    # Per instance. Ours has the decorated methods above; Plain is an empty
    # class. The instance is dropped at once (the statement's result is not
    # kept), so its freeing is counted too.
    "new instance, freed": Case("Ours()", "Plain()", "plain object",
                                counts="instructions per instance made and freed"),
    # lru_cache keeps every instance alive in its table, so its side frees
    # nothing; ours frees the instance and its store. The collector is off so
    # that lru_cache's growing table of tracked instances is not traversed.
    "new instance + m(3)": Case("Ours().m(3)", "Theirs().m(3)", LRU, gc_off=True,
                                counts="instructions per instance made, called once (and freed: ours)"),
    "new instance + m(3), gc on": Case("Ours().m(3)", "Theirs().m(3)", LRU,
                                       counts="the same with the collector on"),
    # `async def am(self, n, k=2)`: ours decorated, the reference an async def
    # that looks the arguments up in a dict of its instance. The loop runs in
    # a coroutine that nothing suspends, sent None once: no event loop is
    # counted, as a hit needs none.
    "await am(3)": Case("await obj.am(3)", "await obj.am(3)", HAND, reference_class="HandMemo", awaited=True,
                        counts="instructions per awaited hit"),
    "await am(n=3)": Case("await obj.am(n=3)", "await obj.am(n=3)", HAND, reference_class="HandMemo", awaited=True,
                          counts="instructions per awaited hit"),
}


def make_arguments(kind, count):
    if kind == "str":  # equal to "key", a new object each time
        return ["".join(["ke", "y"]) for _ in range(count)]
    if kind == "int":  # above the small-int cache, a new object each time
        return [int("1" * 12) for _ in range(count)]
    if kind == "cycle":  # 64 calls in turn
        return [i % 64 for i in range(count)]
    if kind.startswith("cycle"):  # as many calls as the kind says, in turn, each argument a new int
        period = int(kind[len("cycle"):])
        return [10**6 + i % period for i in range(count)]
    if kind == "count":  # every one new
        return list(range(10**6, 10**6 + count))
    return [None] * count


# --- Child: runs in the interpreter being counted ------------------------------

def child_namespace():
    import functools

    from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

    class Ours(LineageStoreBase):
        @lineage_stored()
        def m0(self):
            return 0

        @lineage_stored()
        def m(self, n, k=2):
            return n

        @automagically_lineage_stored()
        def tm(self, n, k=2):
            return n

        @lineage_stored()
        def f(self, a, b, c, d, e):
            return a

        @lineage_stored()
        def kw(self, a, **options):
            return a

        @lineage_stored()
        async def am(self, n, k=2):
            return n

    class Theirs:
        @functools.lru_cache(maxsize=None)
        def m0(self):
            return 0

        @functools.lru_cache(maxsize=None)
        def m(self, n, k=2):
            return n

        @functools.lru_cache(maxsize=None)
        def f(self, a, b, c, d, e):
            return a

        @functools.lru_cache(maxsize=None)
        def kw(self, a, **options):
            return a

    class HandMemo:  # bench_async.py's hand-written memo, which the awaited target is set against
        def __init__(self):
            self.memo = {}

        async def am(self, n, k=2):
            key = ("m", n, k)
            try:
                return self.memo[key]
            except KeyError:
                value = self.memo[key] = n
                return value

    class Plain:
        pass

    return {"Ours": Ours, "Theirs": Theirs, "HandMemo": HandMemo, "Plain": Plain}


def run_child(case_name, implementation, calls, counted=False):
    case = CASES[case_name]
    if case.gc_off:
        import gc
        gc.disable()
    namespace = child_namespace()
    if implementation == "empty":
        statement = "pass"
    else:
        statement = case.ours if implementation == "ours" else case.reference
    obj = namespace["Ours" if implementation == "ours" else case.reference_class]()
    arguments = make_arguments(case.argument, calls + 1)
    if case.awaited:
        code = compile(f"async def loop():\n    for x in arguments:\n        {statement}\n"
                       "try:\n    loop().send(None)\nexcept StopIteration:\n    pass\n", "<case>", "exec")
    else:
        code = compile(f"for x in arguments:\n    {statement}\n", "<case>", "exec")
    exec(code, {**namespace, "obj": obj, "arguments": arguments[:1]})  # the first call computes
    exec(code, {**namespace, "obj": obj, "arguments": arguments[1:]})
    if counted and not case.frees:
        sys.stdout.flush()
        os._exit(0)


# --- Parent --------------------------------------------------------------------

def child_command(python, *arguments):
    return [python, os.path.abspath(__file__), "--child", *arguments]


def collected_instructions(python, case, implementation, calls):
    import re
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             *child_command(python, case, implementation, str(calls))],
            check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        with open(out) as stream:
            for line in stream:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError("callgrind wrote no total")


def interpreter_version(python):
    """The interpreter's version, or None with the reason when it cannot import lineage_store."""
    import subprocess

    result = subprocess.run(
        [python, "-c", "import sys, lineage_store; print(sys.version.split()[0])"],
        capture_output=True, text=True)
    if result.returncode != 0:
        lines = result.stderr.strip().splitlines() or ["no output"]
        return None, lines[-1]
    return result.stdout.strip(), None


def count_cases(python, cases, jobs):
    """case -> (ours, reference) instructions per execution, the empty loop taken off."""
    import concurrent.futures

    # The empty loop depends only on how the arguments are made and on the
    # collector, so cases alike in both share its count.
    empty_of = {}
    for case in cases:
        empty_of[case] = next(other for other in cases
                              if (CASES[other].argument, CASES[other].gc_off, CASES[other].awaited)
                              == (CASES[case].argument, CASES[case].gc_off, CASES[case].awaited))
    runs = {(empty_of[case] if implementation == "empty" else case, implementation, calls): None
            for case in cases
            for implementation in ("empty", "ours", "reference")
            for calls in (CALLS, 2 * CALLS)}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        totals = dict(zip(runs, pool.map(lambda run: collected_instructions(python, *run), runs)))

    def per_call(case, implementation):
        return (totals[case, implementation, 2 * CALLS] - totals[case, implementation, CALLS]) / CALLS

    figures = {}
    for case in cases:
        empty = per_call(empty_of[case], "empty")
        figures[case] = (per_call(case, "ours") - empty, per_call(case, "reference") - empty)
    return figures


def print_table(figures):
    print(f"{'case':<36}{'ours':>9}{'reference':>11}{'ratio':>8}  {'reference is':<16}counts")
    for case, (ours, reference) in figures.items():
        print(f"{case:<36}{ours:>9.0f}{reference:>11.0f}{ours / reference:>7.2f}x  "
              f"{CASES[case].reference_name:<16}{CASES[case].counts}")


def print_summary(results):
    """One column per interpreter: ours / reference."""
    versions = [version for version, figures in results if figures]
    print("Summary: lineage_store's instructions as a multiple of the reference's "
          "(ours/reference, instructions)")
    print(f"{'case':<36}" + "".join(f"{'CPython ' + version:>22}" for version in versions))
    cases = next(figures for _, figures in results if figures)
    for case in cases:
        cells = []
        for _, figures in results:
            if figures:
                ours, reference = figures[case]
                cells.append(f"{ours / reference:.2f}x ({ours:,.0f}/{reference:,.0f})".rjust(22))
        print(f"{case:<36}" + "".join(cells))


def quick_run(pythons, cases):
    import subprocess

    print("QUICK RUN: no valgrind, nothing counted; each case runs a few times per interpreter")
    for python in pythons:
        version, problem = interpreter_version(python)
        if version is None:
            print(f"{python}: cannot import lineage_store ({problem}); skipped")
            continue
        subprocess.run([python, os.path.abspath(__file__), "--child-all", *cases], check=True)
        print(f"CPython {version} ({python}): {len(cases)} cases ran")


def parse_arguments(argv):
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help="cases to count (default: all; see --list)")
    parser.add_argument("--python", action="append", metavar="PATH",
                        help="an interpreter to count under (repeatable; default: this one)")
    parser.add_argument("--jobs", type=int, default=1,
                        help="callgrind children at once (counts do not depend on load)")
    parser.add_argument("--quick", action="store_true", help="run the cases without valgrind")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    arguments = parser.parse_args(argv)
    unknown = [case for case in arguments.cases if case not in CASES]
    if unknown:
        parser.error(f"unknown case {', '.join(map(repr, unknown))}; choose from "
                     + ", ".join(map(repr, CASES)))
    arguments.cases = arguments.cases or list(CASES)
    arguments.python = arguments.python or [sys.executable]
    return arguments


def main(argv):
    if argv[:1] == ["--child"]:
        run_child(argv[1], argv[2], int(argv[3]), counted=True)
        return
    if argv[:1] == ["--child-all"]:
        for case in argv[1:]:
            for implementation in ("empty", "ours", "reference"):
                run_child(case, implementation, 10)
        return
    arguments = parse_arguments(argv)
    if arguments.list:
        for name, case in CASES.items():
            gc_note = ", collector off" if case.gc_off else ""
            print(f"{name:<28}ours: {case.ours:<20} reference ({case.reference_name}): "
                  f"{case.reference}{gc_note}")
        return
    if arguments.quick:
        quick_run(arguments.python, arguments.cases)
        return
    print(f"Instructions counted by callgrind, N = {CALLS:,} and 2N executions per child, "
          "the empty loop taken off; ours = lineage_store (lineage_stored), reference as named")
    results = []
    for python in arguments.python:
        version, problem = interpreter_version(python)
        print()
        if version is None:
            print(f"{python}: cannot import lineage_store ({problem}); skipped")
            results.append((python, None))
            continue
        print(f"CPython {version} ({python})")
        figures = count_cases(python, arguments.cases, arguments.jobs)
        print_table(figures)
        results.append((version, figures))
    if sum(1 for _, figures in results if figures) > 1:
        print()
        print_summary(results)


if __name__ == "__main__":
    main(sys.argv[1:])
