"""A decorated method reached through an implementation that the instance's
class does not resolve for its name (super(), the base class named, or a
class the instance is no instance of) runs as part of the call that made it:
no entry of its own, no edge. What obj.m(...) serves is always what type(obj)'s
own m returns."""

import asyncio
import inspect
import sys
import types

import pytest
from conftest import edges, result_of

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

FACTORIES = {"automagically": automagically_lineage_stored, "lineage_stored": lineage_stored}


def chain(factory, is_async, explicit):
    """Top.level(n) = 100 * Mid.level(n + 1) = 1000 * Base.level(n + 2)."""

    def decorated(body):
        if is_async:
            async def level(self, n):
                self.runs.append(body.__name__)
                inner = body(self, n)
                return await inner if asyncio.iscoroutine(inner) else inner
        else:
            def level(self, n):
                self.runs.append(body.__name__)
                return body(self, n)
        return factory()(level)

    class Base(LineageStoreBase):
        def __init__(self):
            self.runs, self.inputs = [], {}

        def base(self, n):
            return self.inputs.get(n, n)

        level = decorated(base)

    def times(factor, inner):
        if not is_async:
            return factor * inner

        async def awaited():
            return factor * await inner
        return awaited()

    class Mid(Base):
        def mid(self, n):
            return times(10, Base.level(self, n + 1) if explicit else super(Mid, self).level(n + 1))

        level = decorated(mid)

    class Top(Mid):
        def top(self, n):
            return times(10, Mid.level(self, n + 1) if explicit else super(Top, self).level(n + 1))

        level = decorated(top)

    return Top


def call(obj, n):
    return result_of(obj.level(n))


@pytest.mark.parametrize("explicit", [False, True], ids=["super()", "Base.level(self, n)"])
@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize("factory", FACTORIES.values(), ids=FACTORIES.keys())
def test_a_base_reached_from_an_override_has_no_entry_and_is_never_served_for_the_override(factory, is_async,
                                                                                         explicit):
    top = chain(factory, is_async, explicit)()
    assert [call(top, 0), call(top, 1)] == [200, 300]
    assert top.runs == ["top", "mid", "base"] * 2
    assert sorted(top.get_cached_values().values()) == [200, 300]
    # A value set by hand for a call the chain made inside is not used by it.
    top.update_cached_value("level", 7, n=2)
    top.inputs[3] = 4
    top.update_cached_value("level", 9, n=1)
    assert [call(top, 0), call(top, 1), call(top, 2), type(top).level(top, 1) if not is_async else 9] == [200, 9, 7, 9]


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_the_calls_a_base_makes_count_for_the_computation_in_progress(is_async):
    class Base(LineageStoreBase):
        def __init__(self):
            self.fx = 2

        @lineage_stored()
        def rate(self):
            return self.fx

        if is_async:
            @automagically_lineage_stored()
            async def price(self, n):
                return n * self.rate()
        else:
            @automagically_lineage_stored()
            def price(self, n):
                return n * self.rate()

    class Doubled(Base):
        if is_async:
            @automagically_lineage_stored()
            async def price(self, n):
                return 2 * await super().price(n + 1)
        else:
            @automagically_lineage_stored()
            def price(self, n):
                return 2 * super().price(n + 1)

    d = Doubled()
    assert result_of(d.price(1)) == 8
    assert edges(d) == {"rate": {("price", (("n", 1),))}}
    d.fx = 5
    d.update_cached_value("rate", 5)
    assert result_of(d.price(1)) == 20


def test_a_base_called_outside_any_computation_just_runs_uncached():
    runs = []

    class Base(LineageStoreBase):
        @lineage_stored()
        def price(self, n):
            runs.append(n)
            return n

    class Plain(Base):
        def price(self, n):  # not decorated: nothing is cached for it
            return 2 * super().price(n)

    class Cached(Base):
        @lineage_stored()
        def price(self, n):
            return 3 * super().price(n)

    plain, cached = Plain(), Cached()
    values = [plain.price(1), plain.price(1), Base.price(cached, 1), Base.price(cached, 1), cached.price(1),
              Cached.price(cached, 1)]
    assert (values, len(runs)) == ([2, 2, 1, 1, 3, 3], 5)
    assert (plain.get_cached_values(), cached.get_cached_values()) == ({}, {("price", (("n", 1),)): 3})


def init_runs(self):
    self.runs = []


def labelled(label):
    """A store class whose method m(n) returns (label, n), counting its runs."""
    def m(self, n):
        self.runs.append(label)
        return label, n

    return type(label, (LineageStoreBase,), {"m": lineage_stored()(m), "__init__": init_runs})


@pytest.mark.parametrize("receiver", ["unrelated", "subclass of unrelated"])
@pytest.mark.parametrize("foreign_first", [False, True], ids=["own first", "foreign first"])
def test_a_method_called_with_an_instance_of_an_unrelated_class_runs_uncached(receiver, foreign_first):
    foreign, own = labelled("Foreign"), labelled("Own")
    obj = (own if receiver == "unrelated" else type("Sub", (own,), {}))()
    calls = {"Own": lambda: obj.m(5), "Foreign": lambda: foreign.m(obj, 5)}
    order = ["Foreign", "Own"] if foreign_first else ["Own", "Foreign"]
    assert [calls[label]() for label in order for _ in range(2)] == [(label, 5) for label in order for _ in range(2)]
    assert obj.runs == [label for label in order for _ in range(1 if label == "Own" else 2)]
    assert obj.get_cached_values() == {("m", (("n", 5),)): ("Own", 5)}


def switching_classes(is_async):
    """Two classes with a method m of their own and a shared base, whose `shared`
    both inherit and whose `total` (tracking) reads m(5)."""
    def method(label, name="m"):
        if is_async:
            async def m(self, n):
                self.runs.append(label)
                return label, n
        else:
            def m(self, n):
                self.runs.append(label)
                return label, n
        m.__name__ = name
        return lineage_stored()(m)

    class Base(LineageStoreBase):
        __init__ = init_runs
        shared = method("Base", "shared")

        @automagically_lineage_stored()
        def total(self):
            self.runs.append("total")
            return self.m(5)

    return type("P", (Base,), {"m": method("P")}), type("Q", (Base,), {"m": method("Q")})


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
def test_after_its_class_changes_an_instance_is_served_its_new_classs_method(is_async):
    p, q = switching_classes(is_async)
    obj = p()
    first = [result_of(obj.m(5)), result_of(obj.m(5)), result_of(obj.shared(1))]
    if not is_async:
        obj.total()
    obj.__class__ = q
    assert [result_of(obj.m(5)), result_of(obj.m(5)), result_of(obj.shared(1))] == [("Q", 5)] * 2 + [("Base", 1)]
    if not is_async:
        assert obj.total() == ("Q", 5)  # computed again from the call taken over
    obj.__class__ = p
    assert [result_of(obj.m(5)), result_of(obj.m(5))] == first[:2]
    totals = ["total"] * 2 if not is_async else []
    assert obj.runs == ["P", "Base"] + totals[:1] + ["Q"] + totals[1:] + ["P"]
    assert obj.get_cached_value("m", n=5) == ("P", 5)


def test_a_coroutine_made_before_another_method_took_its_call_over_is_not_served_that_methods_value():
    p, q = switching_classes(True)
    obj = p()
    result_of(obj.m(5))
    obj.clear_cache()  # valid with no value: the coroutine looks again when awaited
    made_for_p = obj.m(5)
    obj.__class__ = q
    assert result_of(obj.m(5)) == ("Q", 5)
    assert result_of(made_for_p) == ("P", 5)
    assert obj.get_cached_value("m", n=5) == ("Q", 5)


def test_a_call_taken_over_keeps_its_place_among_the_calls_of_its_hash():
    p, q = switching_classes(False)
    obj = p()
    obj.m(-1), obj.m(-2)  # -1 and -2 hash alike: the lookup by hash answers the first made
    obj.__class__ = q
    obj.m(-1)
    assert obj.get_cached_value_by_hash(hash(("m", (("n", -1),)))) == ("Q", -1)


@pytest.mark.parametrize("first_use, seen", [
    (lambda obj: obj.total(), ("Q", 5)),
    (lambda obj: obj.get_cached_value("total"), None),
    (lambda obj: obj.get_validation_state()["total"], "invalid"),
    (lambda obj: obj.dump_cache().get("total"), None),
], ids=["a call computed from it", "a query", "a view", "a dump"])
def test_after_its_class_changes_nothing_computed_from_a_method_it_lost_is_served(first_use, seen):
    p, q = switching_classes(False)
    obj = p()
    assert obj.total() == ("P", 5)
    obj.__class__ = q
    assert first_use(obj) == seen
    assert obj.total() == ("Q", 5)


def test_after_its_class_changes_the_calls_of_the_methods_it_kept_stay_valid():
    p, q = switching_classes(False)
    obj = p()
    obj.shared(1)
    obj.__class__ = q
    assert obj.get_validation_state()["shared", (("n", 1),)] == "valid"
    assert obj.runs == ["Base"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect.markcoroutinefunction comes with 3.12")
def test_a_call_run_inline_may_return_any_awaitable():
    # The same call made again inside its own computation runs as part of it.
    # A generator-based coroutine has no __await__ of its own: the interpreter
    # awaits it all the same, and so must the driver.
    @types.coroutine
    def ready(value):
        yield from ()
        return value

    class Again(LineageStoreBase):
        runs = 0

        @lineage_stored()
        @inspect.markcoroutinefunction
        def price(self):
            self.runs += 1
            return ready(1) if self.runs > 1 else self.outer()

        async def outer(self):
            return 10 * await self.price()

    again = Again()
    assert asyncio.run(again.price()) == 10
    assert again.runs == 2
