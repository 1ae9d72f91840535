"""Cost of the store's tables: invalidation, the three views, memory, scaling.

Run by hand: `python benchmarks/bench_store_tables.py [case ...]`, cases
`invalidation`, `views`, `memory`, `scaling` (all by default; `--quick`
for a smoke run at small sizes). Times are the
best of several repeats; every ratio compares with plain Python work measured
in the same process just before or after. Memory is measured in a fresh
process per case (resident set size before and after a million calls, after
a garbage collection).

`python benchmarks/bench_store_tables.py once CASE N` runs one piece of work
once and nothing else, for `valgrind --tool=callgrind` instruction counts.
"""

import functools
import gc
import subprocess
import sys
import time

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

N = 100_000
REPEATS = 5


class Wide(LineageStoreBase):
    """One call on which every call of `dependant` depends."""

    @lineage_stored()
    def base(self):
        return 1

    @automagically_lineage_stored()
    def dependant(self, i):
        return self.base() + i


class Tracker(LineageStoreBase):
    """One tracking call that makes many distinct cached calls."""

    @lineage_stored()
    def leaf(self, i):
        return i

    @automagically_lineage_stored()
    def gather(self, count):
        return sum(self.leaf(i) for i in range(count))


class Flat(LineageStoreBase):
    @lineage_stored()
    def m(self, i):
        return i


class FlatLru:
    @functools.lru_cache(maxsize=None)
    def m(self, i):
        return i


def best(work, setup=None, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        if setup is not None:
            setup()
        start = time.process_time()
        work()
        times.append(time.process_time() - start)
    return min(times)


def wide_store(n):
    wide = Wide()
    for i in range(n):
        wide.dependant(i)
    return wide


def revalidate(wide, n):
    def again():
        for i in range(n):
            wide.dependant(i)

    return again


def python_loop_ready_keys(keys):
    def loop():
        table = {}
        for key in keys:
            table[key] = 1

    return loop


def python_loop_new_keys(n):
    def loop():
        table = {}
        for i in range(n):
            table[("dependant", i)] = i

    return loop


def fresh_keys(n):
    """Keys equal to the store's display keys, built by Python in one go.

    Hashing the store's own call tuples costs more: they were allocated one
    by one between the other objects of each decorated call. These lie close
    together, as in a program that builds its keys in a loop."""
    return ["base"] + [("dependant", (("i", i),)) for i in range(n)]


def row(label, ours, reference, reference_label):
    print(f"  {label:<44}{ours * 1e3:>9.2f} ms  {reference_label:<18}{reference * 1e3:>8.2f} ms"
          f"  {ours / reference:>6.2f}x")


def invalidation(n=N):
    print(f"invalidation: update_cached_value on a call with {n:,} valid dependants")
    wide = wide_store(n)
    keys = fresh_keys(n)[1:]
    update = best(lambda: wide.update_cached_value("base", 1), setup=revalidate(wide, n))
    row("update_cached_value", update, best(python_loop_ready_keys(keys)), "loop, ready keys")
    row("update_cached_value", update, best(python_loop_new_keys(n)), "loop, new 2-tuples")
    # Nothing left to turn Invalid: the walk alone.
    row("update_cached_value, dependants invalid", best(lambda: wide.update_cached_value("base", 1)),
        best(python_loop_ready_keys(keys)), "loop, ready keys")


def views(n=N):
    print(f"views on {n + 1:,} calls, against a dict comprehension over ready-made keys:")
    print("  the view's own keys, or equal keys built together by Python")
    wide = wide_store(n)
    fresh = fresh_keys(n)
    for name in ("get_validation_state", "get_cached_values", "get_dependency_graph"):
        view = getattr(wide, name)
        result = view()
        ours = best(view)
        for label, keys in (("own keys", list(result)), ("fresh keys", fresh)):
            assert sorted(map(repr, keys)) == sorted(map(repr, result))
            if name == "get_dependency_graph":
                # base's set holds every other call; the others are empty.
                items = [(key, keys[1:] if key == "base" else []) for key in keys]
                comprehension = best(lambda: {key: set(members) for key, members in items})
                members = [members for _, members in items]
                in_c = best(lambda: dict(zip(keys, map(set, members))))
            else:
                items = [(key, result[key]) for key in keys]
                values = [value for _, value in items]
                comprehension = best(lambda: {key: value for key, value in items})
                in_c = best(lambda: dict(zip(keys, values)))
            row(name, ours, comprehension, f"comp., {label}")
            row(name, ours, in_c, f"dict(zip), {label}")


RSS_SCRIPT = """
import functools, gc, sys
from lineage_store import LineageStoreBase, lineage_stored
sys.path.insert(0, {here!r})
import bench_store_tables as bench

def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

obj = bench.Flat() if {kind!r} == "lineage_store" else bench.FlatLru()
ints = list(range({n}))   # the arguments exist before and after
gc.collect()
before = rss()
for i in ints:
    obj.m(i)
gc.collect()
print((rss() - before) / {n})
"""


def memory(n=1_000_000):
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    print(f"memory: resident bytes per cached call, {n:,} calls obj.m(i), one process each")
    per_call = {}
    for kind in ("lineage_store", "lru_cache"):
        script = RSS_SCRIPT.format(here=here, kind=kind, n=n)
        output = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
        per_call[kind] = float(output.stdout)
    print(f"  lineage_store {per_call['lineage_store']:.0f} B, lru_cache {per_call['lru_cache']:.0f} B, "
          f"{per_call['lineage_store'] / per_call['lru_cache']:.2f}x")


def distinct_calls(n):
    def calls():
        flat = Flat()
        for i in range(n):
            flat.m(i)

    return calls


def tracking_calls(n):
    def calls():
        Tracker().gather(n)

    return calls


def tracking_recompute(n):
    tracker = Tracker()
    tracker.gather(n)

    def again():
        tracker.update_cached_value("leaf", 0, i=0)
        tracker.gather(n)

    return again


def scaling(smallest=None):
    print("scaling: time for 10x the calls, as a multiple of the time for 1x (linear: 10x)")
    cases = [
        ("distinct calls obj.m(i)", distinct_calls, 10_000),
        ("one tracking call making n cached calls", tracking_calls, 1_000),
        ("the same, computed again after an update", tracking_recompute, 1_000),
        ("update_cached_value with n dependants", None, 10_000),
        ("get_validation_state on n calls", None, 10_000),
    ]
    for label, make, small in cases:
        small = smallest or small
        times = []
        for n in (small, small * 10):
            if make is not None:
                times.append(best(make(n), repeats=3))
            elif label.startswith("update"):
                wide = wide_store(n)
                times.append(best(lambda: wide.update_cached_value("base", 1), setup=revalidate(wide, n),
                                  repeats=3))
            else:
                wide = wide_store(n)
                times.append(best(wide.get_validation_state, repeats=3))
        print(f"  {label:<44}n={small:>7,}: {times[0] * 1e3:8.2f} ms  10n: {times[1] * 1e3:8.2f} ms"
              f"  {times[1] / times[0]:5.1f}x")


def once(case, n):
    """One run of one piece of work, for instruction counts."""
    n = int(n)
    if case == "update":
        wide = wide_store(n)
        wide.update_cached_value("base", 1)
    elif case == "loop":
        keys = [("dependant", (("i", i),)) for i in range(n)]
        python_loop_ready_keys(keys)()
    elif case in ("get_validation_state", "get_cached_values", "get_dependency_graph"):
        wide = wide_store(n)
        getattr(wide, case)()
    elif case == "setup":
        wide_store(n)
    else:
        raise SystemExit(f"unknown case {case}")


def main(argv):
    if argv[:1] == ["once"]:
        once(*argv[1:])
        return
    quick = "--quick" in argv
    argv = [a for a in argv if a != "--quick"]
    print(f"Python {sys.version.split()[0]}" + ("  QUICK RUN: small sizes" if quick else ""))
    cases = {"invalidation": invalidation, "views": views, "memory": memory, "scaling": scaling}
    sizes = {"invalidation": 2_000, "views": 2_000, "memory": 20_000, "scaling": 100} if quick else {}
    for name in argv or list(cases):
        if name in sizes:
            cases[name](sizes[name])
        else:
            cases[name]()


if __name__ == "__main__":
    main(sys.argv[1:])
