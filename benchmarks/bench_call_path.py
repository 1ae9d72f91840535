"""Cost of the decorated call's hit and miss paths, side by side with lru_cache.

Run by hand: `python benchmarks/bench_call_path.py [rounds]` (`--quick` for a
smoke run). Each figure is the best of `rounds` measurements of the process's
CPU time, in nanoseconds per call through the attribute (`obj.m(...)`). Within
a round the three implementations (lineage_stored, automagically_lineage_stored,
lru_cache) are measured in turn, so that load from other processes on a
shared machine falls on all of them alike.
"""

import functools
import itertools
import sys
import time
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


IMPLEMENTATIONS = {
    "lineage_stored": make_ours(lineage_stored),
    "automagically": make_ours(automagically_lineage_stored),
    "lru_cache": Theirs,
}

HITS = [
    ("m0()", "obj.m0()"),
    ("m(3)", "obj.m(3)"),
    ("m(n=3)", "obj.m(n=3)"),
    ("f(1, 2, 3, 4, 5)", "obj.f(1, 2, 3, 4, 5)"),
]


def per_call_ns(statement, namespace, number):
    timer = timeit.Timer(statement, timer=time.process_time, globals=namespace)
    return timer.timeit(number) / number * 1e9


def hit_figures(statement, rounds, number):
    objects = {name: cls() for name, cls in IMPLEMENTATIONS.items()}
    for obj in objects.values():
        exec(statement, {"obj": obj})  # the first call computes
    best = dict.fromkeys(objects, float("inf"))
    for _ in range(rounds):
        for name, obj in objects.items():
            best[name] = min(best[name], per_call_ns(statement, {"obj": obj}, number))
    return best


def miss_figures(rounds, number):
    # Every call has a new argument; a fresh instance per round keeps the
    # store (and lru_cache's dict) the same size for every implementation.
    best = dict.fromkeys(IMPLEMENTATIONS, float("inf"))
    for _ in range(rounds):
        for name, cls in IMPLEMENTATIONS.items():
            Theirs.m.cache_clear()
            namespace = {"obj": cls(), "c": itertools.count()}
            best[name] = min(best[name], per_call_ns("obj.m(next(c))", namespace, number))
    # next() on the counter is in every figure; it is small beside any of them.
    return best


def print_row(label, best):
    theirs = best["lru_cache"]
    cells = "".join(f"{best[name]:>8.0f}ns {best[name] / theirs:>5.2f}x" for name in IMPLEMENTATIONS)
    print(f"{label:<20}{cells}")


def main(argv):
    quick = "--quick" in argv
    numbers = [a for a in argv if not a.startswith("--")]
    rounds = int(numbers[0]) if numbers else (2 if quick else 7)
    hit_number, miss_number = (2_000, 1_000) if quick else (50_000, 20_000)
    print(f"Python {sys.version.split()[0]}, CPU time" + ("  QUICK RUN" if quick else ""))
    print(f"{'case':<20}" + "".join(f"{name:>17}" for name in IMPLEMENTATIONS))
    for label, statement in HITS:
        print_row("hit " + label, hit_figures(statement, rounds, hit_number))
    print_row("miss m(i)", miss_figures(rounds, miss_number))


if __name__ == "__main__":
    main(sys.argv[1:])
