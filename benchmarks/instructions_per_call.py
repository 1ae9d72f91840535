"""Instructions per decorated call, beside functools.lru_cache, from callgrind.

Run by hand, with lineage_store importable and valgrind installed:

    python benchmarks/instructions_per_call.py            # every case
    python benchmarks/instructions_per_call.py m0 'm(3)'  # selected cases
    python benchmarks/instructions_per_call.py --quick    # no valgrind: checks the cases run

On a machine shared with other work, elapsed and even CPU time move by tens of
percent; instruction counts do not. Each figure is the whole call through the
attribute (`obj.m(...)`: the lookup, the bound method, the call), the same
statement for both implementations, counted in a child process under
callgrind with N and with 2N calls; the difference divided by N leaves out
start-up. The same loop with `pass` in place of the call is counted the same
way and taken off, so that neither the loop nor the making of the arguments
is counted.
"""

import functools
import itertools
import os
import re
import subprocess
import sys
import tempfile

from lineage_store import LineageStoreBase, lineage_stored


class Ours(LineageStoreBase):
    @lineage_stored()
    def m0(self):
        return 0

    @lineage_stored()
    def m(self, n, k=2):
        return n

    @lineage_stored()
    def f(self, a, b, c, d, e):
        return a


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


def fresh_str():
    return "".join(["ke", "y"])  # equal to "key", a new object each time


def fresh_int():
    return int("1" * 12)  # above the small-int cache, a new object each time


# name: (statement on obj and x, how each call's argument is made)
CASES = {
    "m0()": ("obj.m0()", lambda: None),
    "m(3)": ("obj.m(3)", lambda: None),
    "m(n=3)": ("obj.m(n=3)", lambda: None),
    "f(1, 2, 3, 4, 5)": ("obj.f(1, 2, 3, 4, 5)", lambda: None),
    "m(equal str)": ("obj.m(x)", fresh_str),
    "m(equal int)": ("obj.m(x)", fresh_int),
    # Every call new: a miss, computed and stored.
    "miss m(i)": ("obj.m(x)", itertools.count(10**6).__next__),
}


def run_child(case, implementation, calls):
    statement, make_argument = CASES[case]
    if implementation == "empty":
        statement = "pass"
    obj = Ours() if implementation == "ours" else Theirs()
    arguments = [make_argument() for _ in range(calls + 1)]
    code = compile(f"for x in arguments:\n    {statement}\n", "<case>", "exec")
    exec(code, {"obj": obj, "arguments": arguments[:1]})  # the first call computes
    exec(code, {"obj": obj, "arguments": arguments[1:]})


def collected_instructions(case, implementation, calls):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
             "--child", case, implementation, str(calls)],
            check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        with open(out) as stream:
            for line in stream:
                match = re.match(r"(?:summary|totals): (\d+)", line)
                if match:
                    return int(match.group(1))
    raise RuntimeError("callgrind wrote no total")


def main(argv):
    if argv[:1] == ["--child"]:
        run_child(argv[1], argv[2], int(argv[3]))
        return
    quick = "--quick" in argv
    cases = [a for a in argv if not a.startswith("--")] or list(CASES)
    print(f"Python {sys.version.split()[0]}" + ("  QUICK RUN: no valgrind, nothing counted" if quick else ""))
    print(f"{'case':<20}{'ours':>10}{'lru_cache':>11}{'ratio':>8}   (instructions per call)")
    for case in cases:
        if quick:
            for implementation in ("ours", "theirs"):
                run_child(case, implementation, 10)
            print(f"{case:<20}{'-':>10}{'-':>11}{'-':>8}")
            continue
        calls = 20_000
        per_call = {}
        for implementation in ("empty", "ours", "theirs"):
            once = collected_instructions(case, implementation, calls)
            twice = collected_instructions(case, implementation, 2 * calls)
            per_call[implementation] = (twice - once) / calls
        ours, theirs = per_call["ours"] - per_call["empty"], per_call["theirs"] - per_call["empty"]
        print(f"{case:<20}{ours:>10.0f}{theirs:>11.0f}{ours / theirs:>7.2f}x")


if __name__ == "__main__":
    main(sys.argv[1:])
