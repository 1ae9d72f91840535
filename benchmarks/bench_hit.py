"""Cost of a cache hit, a miss and a manual update, against functools.lru_cache.

Run by hand: `python benchmarks/bench_hit.py`. Every figure is the best of
several timeit repeats, in nanoseconds per call; ratios compare with
functools.lru_cache measured in the same run on the same machine.
"""

import functools
import timeit

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

REPEATS = 5


class Model(LineageStoreBase):
    @lineage_stored()
    def no_args(self):
        return 1

    @lineage_stored()
    def one_arg(self, x):
        return x

    @automagically_lineage_stored()
    def two_args(self, x, y=2):
        return x + y

    @lineage_stored()
    def rate(self):
        return 1.0

    @automagically_lineage_stored()
    def scaled(self, x):
        return x * self.rate()


class Plain:
    @functools.lru_cache(maxsize=None)
    def no_args(self):
        return 1

    @functools.lru_cache(maxsize=None)
    def one_arg(self, x):
        return x

    @functools.lru_cache(maxsize=None)
    def two_args(self, x, y=2):
        return x + y


def best_ns(statement, number, namespace):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(REPEATS, number)) / number * 1e9


def main():
    model, plain = Model(), Plain()
    for obj in (model, plain):
        obj.no_args()
        obj.one_arg(1)
        obj.two_args(1)
    namespace = {"model": model, "plain": plain}

    print(f"{'case':<34}{'lineage_store':>15}{'lru_cache':>12}{'ratio':>8}")
    for label, statement in [
        ("hit, no arguments", "{}.no_args()"),
        ("hit, one positional argument", "{}.one_arg(1)"),
        ("hit, keyword and default", "{}.two_args(x=1)"),
    ]:
        ours = best_ns(statement.format("model"), 20_000, namespace)
        theirs = best_ns(statement.format("plain"), 200_000, namespace)
        print(f"{label:<34}{ours:>13.0f}ns{theirs:>10.0f}ns{ours / theirs:>7.1f}x")

    # A miss: every call has new arguments, so it registers, computes and
    # stores; the callee is served from the store.
    counter = iter(range(10**9))
    namespace["counter"] = counter
    miss = best_ns("model.scaled(next(counter))", 5_000, namespace)
    print(f"{'miss with one tracked callee':<34}{miss:>13.0f}ns")

    # A manual update invalidates every dependant registered so far.
    update = best_ns("model.update_cached_value('rate', 1.0)", 200, namespace)
    dependants = len(model.get_dependency_graph()["rate"])
    print(f"{f'update with {dependants} dependants':<34}{update:>13.0f}ns")


if __name__ == "__main__":
    main()
