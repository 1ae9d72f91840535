"""Cost of the decorated call's hit and miss paths, side by side with lru_cache.

Run by hand: `python benchmarks/bench_call_path.py [rounds]`. Each figure is the
best of `rounds` interleaved measurements (ours, then lru_cache, then ours...)
in one process, in nanoseconds per call through the attribute (`obj.m(...)`),
so that noise from the shared machine hits both sides alike.
"""

import functools
import itertools
import sys
import timeit

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


def make_ours(factory):
    class Ours(LineageStoreBase):
        @factory()
        def m0(self):
            return 0

        @factory()
        def m(self, n, k=2):
            return n + k

        @factory()
        def f(self, a, b, c, d, e):
            return a

    return Ours


class Theirs:
    @functools.lru_cache(maxsize=None)
    def m0(self):
        return 0

    @functools.lru_cache(maxsize=None)
    def m(self, n, k=2):
        return n + k

    @functools.lru_cache(maxsize=None)
    def f(self, a, b, c, d, e):
        return a


HITS = [
    ("m0()", "obj.m0()"),
    ("m(3)", "obj.m(3)"),
    ("m(n=3)", "obj.m(n=3)"),
    ("f(1, 2, 3, 4, 5)", "obj.f(1, 2, 3, 4, 5)"),
]


def per_call_ns(statement, namespace, number):
    return timeit.Timer(statement, globals=namespace).timeit(number) / number * 1e9


def hit_figures(obj_ours, obj_theirs, rounds, number=50_000):
    figures = {}
    for label, statement in HITS:
        for obj in (obj_ours, obj_theirs):
            exec(statement, {"obj": obj})
        ours, theirs = [], []
        for _ in range(rounds):
            ours.append(per_call_ns(statement, {"obj": obj_ours}, number))
            theirs.append(per_call_ns(statement, {"obj": obj_theirs}, number))
        figures[label] = (min(ours), min(theirs))
    return figures


def miss_figures(cls_ours, rounds, number=20_000):
    # Every call has a new argument; a fresh instance per round keeps the
    # store (and lru_cache's dict) the same size for both sides.
    ours, theirs = [], []
    for _ in range(rounds):
        counter = itertools.count()
        ours.append(per_call_ns("obj.m(next(c))", {"obj": cls_ours(), "c": counter}, number))
        Theirs.m.cache_clear()
        counter = itertools.count()
        theirs.append(per_call_ns("obj.m(next(c))", {"obj": Theirs(), "c": counter}, number))
    # next() on the counter is in both figures; it is small beside either.
    return min(ours), min(theirs)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print(f"Python {sys.version.split()[0]}")
    print(f"{'case':<28}{'ours':>10}{'lru_cache':>12}{'ratio':>8}")
    for factory in (lineage_stored, automagically_lineage_stored):
        cls = make_ours(factory)
        for label, (ours, theirs) in hit_figures(cls(), Theirs(), rounds).items():
            print(f"{factory.__name__[:6] + ' hit ' + label:<28}{ours:>8.0f}ns{theirs:>10.0f}ns{ours / theirs:>7.2f}x")
        ours, theirs = miss_figures(cls, rounds)
        print(f"{factory.__name__[:6] + ' miss m(i)':<28}{ours:>8.0f}ns{theirs:>10.0f}ns{ours / theirs:>7.2f}x")


if __name__ == "__main__":
    main()
