"""The first use of a class costs time in proportion to its decorated
methods, and what it keeps of the class goes with the class."""

import gc
import time

import pytest

from conftest import run_in_child
from lineage_store import LineageStoreBase, lineage_stored


def numbered_method(i):
    """m<i>(self), which returns i."""
    def m(self):
        return i

    m.__name__ = m.__qualname__ = f"m{i}"
    return m


def many_methods(count, serialisable):
    """A new class with `count` decorated methods m0 ... m<count - 1>."""
    decorate = lineage_stored(serialisable=serialisable)
    return type("Many", (LineageStoreBase,), {f"m{i}": decorate(numbered_method(i)) for i in range(count)})


def call_each(obj, count):
    for i in range(count):
        getattr(obj, f"m{i}")()


def call_each_from_the_class_dict(obj, count):
    # Read without a lookup on the class, which would give it a version tag.
    for method in [vars(type(obj))[f"m{i}"] for i in range(count)]:
        method(obj)


def dump(obj, count):
    assert len(obj.dump_cache()) == count


def changed_after_one_call(obj):
    obj.m0()
    type(obj).changed = True


def growth(use, serialisable, small, before=None, repeats=5):
    """How many times longer `use` takes on a new instance of a new class of
    8 * small methods than of small ones, after `before(instance)`: the best
    of `repeats` timings each, taken in turn, in CPU time with the collector
    off."""
    best = {small: float("inf"), 8 * small: float("inf")}
    for _ in range(repeats):
        for count in best:
            obj = many_methods(count, serialisable)()
            if before is not None:
                before(obj)
            gc.disable()
            try:
                start = time.process_time()
                use(obj, count)
                best[count] = min(best[count], time.process_time() - start)
            finally:
                gc.enable()
    return best[8 * small] / best[small]


# Eight times the methods take eight times as long when the cost is linear,
# and 64 times when each method's first call reads all the others.
@pytest.mark.parametrize("use, serialisable, before", [
    (call_each, False, None),
    (call_each, False, changed_after_one_call),
    (call_each_from_the_class_dict, False, changed_after_one_call),
    (dump, True, None),
], ids=["each method called once", "the same once the class changed", "the same from the class dict", "dump_cache"])
def test_the_first_use_of_a_class_grows_linearly_with_its_methods(use, serialisable, before, request):
    if request.config.getoption("--built-without-shortcuts"):
        pytest.skip("without the class version tag a class is read again at each first call")
    assert growth(use, serialisable, small=500, before=before) < 24


def test_what_is_kept_of_classes_that_died_goes_with_them():
    printed = run_in_child("""
        import gc, weakref
        from lineage_store import LineageStoreBase, lineage_stored

        # The collector runs every 100 classes, so that no more than 100 are
        # ever alive or waiting for it, whatever its own thresholds are.
        gc.disable()
        method = lineage_stored()(lambda self: 0)
        for round in range(4000):
            type("Short", (LineageStoreBase,), {"m": method})().m()  # read once, then dropped
            if round % 100 == 99:
                gc.collect()
        gc.collect()
        dead = [ref for ref in gc.get_objects() if isinstance(ref, weakref.ref) and ref() is None]
        # The weak references by which the module watches the classes it keeps
        # something of: none is left once its class has died.
        print(sum(type(ref.__callback__).__name__ == "KeptClassWatch" for ref in dead))
        # Those by which the decorator remembers the classes it has checked
        # go in sweeps, which keep them within twice the classes alive at the
        # last sweep and 16 more; kept all, they would be one per address a
        # class ever had, about 500 here.
        print(sum(ref.__callback__ is None for ref in dead))
    """)
    watched, remembered = map(int, printed.split())
    assert watched == 0 and remembered <= 2 * 100 + 16


class OneHash:
    """Keys that all hash alike and compare by value in Python, as a dict's
    worst case."""

    def __init__(self, k):
        self.k = k

    def __hash__(self):
        return 1

    def __eq__(self, other):
        return isinstance(other, OneHash) and self.k == other.k


def best_time(run, repeats=5):
    """The best CPU time of `repeats` runs of `run()`, with the collector off."""
    best = float("inf")
    for _ in range(repeats):
        gc.disable()
        try:
            start = time.process_time()
            run()
            best = min(best, time.process_time() - start)
        finally:
            gc.enable()
    return best


def last_hit_time(count, hits=20):
    """The best CPU time of `hits` hits of the last of `count` registered calls
    that share one hash."""
    class Store(LineageStoreBase):
        @lineage_stored()
        def m(self, key):
            return key.k

    obj = Store()
    for k in range(count):
        obj.m(OneHash(k))
    last = OneHash(count - 1)

    def hits_of_the_last():
        for _ in range(hits):
            assert obj.m(last) == count - 1
    return best_time(hits_of_the_last)


def test_a_hit_among_calls_of_one_hash_grows_as_a_dict_lookup_does():
    # A dict compares the key with each candidate once: eight times the
    # candidates, eight times the time; looking each verdict up among those
    # kept so far would take 64 times.
    assert last_hit_time(2000) / last_hit_time(250) < 24


def alternating_subclasses_time(count, rounds=20):
    """The best CPU time of `rounds` rounds of one hit on an instance of each
    of `count` subclasses of one decorated class, in turn, so that each call
    is on another class than the last."""
    class Base(LineageStoreBase):
        @lineage_stored()
        def m(self):
            return 1

    instances = [type(f"Sub{i}", (Base,), {})() for i in range(count)]
    for obj in instances:
        obj.m()  # each class checked once, before the timing

    def rounds_of_hits():
        for _ in range(rounds):
            for obj in instances:
                obj.m()
    return best_time(rounds_of_hits)


def test_calls_alternating_between_subclasses_cost_the_same_however_many_there_are():
    # Eight times the subclasses, eight times the hits; searching the classes
    # checked so far at each call would take 64 times.
    assert alternating_subclasses_time(2000) / alternating_subclasses_time(250) < 24
