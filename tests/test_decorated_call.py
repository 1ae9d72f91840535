"""The decorated call end to end: states, runtime edges, GC, collisions, threads,
re-entrancy, overlapped computations."""

import gc
import inspect
import sys
import threading
import warnings
import weakref
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from contextlib import suppress
from types import SimpleNamespace

import pytest

from conftest import TIMEOUT, key, wait
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class OnRelease(SimpleNamespace):
    def __del__(self):
        self.call_back()


class Store(LineageStoreBase):
    def __init__(self):
        self.runs, self.seen, self.make_result = Counter(), [], object
        self.a_in, self.b_in, self.a_done, self.rate_read, self.updated = (threading.Event() for _ in range(5))

    def _run(self, name, result=None):
        self.runs[name] += 1
        return result

    @lineage_stored()
    def plain(self):
        return self._run("plain", self.make_result())

    @lineage_stored()
    def rate(self):
        return self._run("rate", 1.5)

    @automagically_lineage_stored()
    def total(self, n):
        return self._run("total", n * self.rate())

    @automagically_lineage_stored()
    def from_other(self, other):
        return other.rate()

    @lineage_stored(use_cache=False)
    def volatile(self):
        return self._run("volatile", object())

    @automagically_lineage_stored()
    def over_volatile(self):
        return self._run("over_volatile", self.volatile())

    @lineage_stored(dependencies=[("total", {"n": 2})])
    def after_total(self):
        return self._run("after_total", object())

    @automagically_lineage_stored()
    def boom(self):
        raise ValueError("boom")

    @automagically_lineage_stored()
    def catcher(self):
        with suppress(ValueError):
            self.boom()
        return self.rate()

    @lineage_stored()
    def m(self, x):
        return self._run("m", [x])

    @automagically_lineage_stored()
    def uses_m(self, x):
        return self._run("uses_m", self.m(x))

    @automagically_lineage_stored()
    def holder(self):
        self.rate()
        return OnRelease(call_back=lambda: self.seen.append(self.total(2)))

    @automagically_lineage_stored()
    def task_a(self):
        self._run("task_a", self.a_in.set())
        wait(self.b_in)  # task_b entered after task_a and is in progress
        return self.m("a")

    @automagically_lineage_stored()
    def task_b(self):
        self._run("task_b", self.b_in.set())
        wait(self.a_done)  # task_a has ended while task_b is in progress
        return self.m("b")

    @automagically_lineage_stored()
    def bumps_rate(self):
        rate = self._run("bumps_rate", self.rate())
        self.update_cached_value("rate", rate + 1)
        return rate

    @automagically_lineage_stored()
    def slow_total(self):
        rate = self._run("slow_total", self.rate())
        self.rate_read.set()
        wait(self.updated)
        return 10 * rate


@pytest.mark.parametrize("before, method, runs, state", [
    (None, "plain", 1, "valid"),
    (lambda obj: setattr(obj, "make_result", lambda: None), "plain", 1, "valid"),
    (None, "volatile", 2, "permanently invalid"),
    (None, "over_volatile", 2, "permanently invalid"),
    # total(2), the declared parent of after_total, turns invalid
    (lambda obj: obj.total(2) and obj.update_cached_value("rate", 3.0), "after_total", 2, "invalid"),
])
def test_two_calls_serve_the_stored_object_only_when_valid(before, method, runs, state):
    obj, absent = Store(), object()
    before and before(obj)
    first = getattr(obj, method)()
    second = getattr(obj, method)()
    assert obj.runs[method] == runs and obj.get_validation_state()[method] == state
    stored = state == "valid"
    assert (second is first) == stored
    assert obj.get_cached_values().get(method, absent) is (first if stored else absent)


def test_raise_then_succeed():
    obj, error = Store(), KeyError("first time")

    def fail():
        obj.make_result = object
        raise error

    obj.make_result = fail
    with pytest.raises(KeyError) as raised:
        obj.plain()
    assert raised.value is error and obj.get_validation_state() == {"plain": "invalid"}
    assert obj.get_cached_values() == {} and obj.plain() is obj.plain() and obj.runs["plain"] == 1


def test_runtime_edges_to_served_calls_of_this_instance_only():
    obj, other = Store(), Store()
    obj.rate()
    obj.total(1)  # rate is served, and still becomes a parent
    assert obj.get_dependency_graph()["rate"] == {key("total", n=1)} and obj.runs["rate"] == 1
    obj.from_other(other)  # an edge from other's rate would leave from_other with an unknown parent
    assert obj.get_validation_state()[key("from_other", other=other)] == "valid"
    assert other.get_dependency_graph() == {"rate": set()}


@pytest.mark.parametrize("before", [lambda obj: obj.total(1), lambda obj: obj.total(1) + obj.total(1),
                                    Store.boom, Store.catcher], ids=["computed", "served", "raised", "nested"])
def test_no_call_outlives_itself_as_a_caller(before):
    obj = Store()
    with suppress(ValueError):
        before(obj)
    obj.total(7)
    graph = obj.get_dependency_graph()
    assert graph[key("total", n=7)] == set() and not any("boom" in children for children in graph.values())


class Owned:
    """Hashable by identity; refers back to the instance whose call it is an argument of."""

    def __init__(self, owner):
        self.owner = owner


class Starred(LineageStoreBase):
    @lineage_stored()
    def star(self, *items):
        return len(items)

    @lineage_stored()
    def keywords(self, **options):
        return len(options)


@pytest.mark.parametrize("cls, call", [
    (Store, lambda obj: obj.m(Owned(obj))),
    (Store, lambda obj: obj.m((1, (Owned(obj),)))),
    (Starred, lambda obj: obj.star(1, Owned(obj))),
    (Starred, lambda obj: obj.keywords(a=1, b=Owned(obj))),
], ids=["argument", "nested in tuples", "in *args", "in **kwargs"])
def test_instance_in_a_cycle_through_a_call_argument_is_collected(cls, call):
    obj = cls()
    call(obj)
    obj.clear_cache()  # leaves the cycle to the call tuple
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


class Argument:
    """Hashable by identity, refers to nothing: only the calls hold it."""


class BoundThroughInspect(LineageStoreBase):
    def m(self, x):
        return x

    m.__signature__ = inspect.signature(m)  # which leaves the binding to inspect
    m = lineage_stored()(m)


ARGUMENT_PLACES = {
    "only argument": (Store, lambda obj, argument: obj.m(argument)),
    "bound through inspect": (BoundThroughInspect, lambda obj, argument: obj.m(argument)),
    "passed on to another call": (Store, lambda obj, argument: obj.uses_m(argument)),
    "in *args": (Starred, lambda obj, argument: obj.star(1, argument)),
    "in **kwargs": (Starred, lambda obj, argument: obj.keywords(a=1, b=argument)),
}


@pytest.mark.parametrize("cls, call", ARGUMENT_PLACES.values(), ids=ARGUMENT_PLACES.keys())
def test_a_deleted_instance_releases_the_arguments_of_its_calls(cls, call):
    obj, argument = cls(), Argument()
    call(obj, argument)
    released = weakref.ref(argument)
    del obj, argument
    gc.collect()
    assert released() is None


@pytest.mark.parametrize("first, second", [(-1, -2), (5, 5 + 2**61 - 1), ("", 0), (0.0, "")])
def test_colliding_calls_are_each_cached_and_never_served_each_others_values(first, second):
    assert hash(first) == hash(second) and first != second
    obj = Store()
    stored = obj.m(first)
    assert obj.m(second) == [second] and obj.m(second) == [second] and obj.runs["m"] == 2 and obj.m(first) is stored
    assert obj.uses_m(second) == [second] and obj.uses_m(second) == [second] and obj.runs["uses_m"] == 1
    assert obj.get_cached_values() == {key("m", x=first): [first], key("m", x=second): [second],
                                       key("uses_m", x=second): [second]}
    assert obj.get_dependency_graph()[key("m", x=first)] == set()
    assert obj.get_dependency_graph()[key("m", x=second)] == {key("uses_m", x=second)}
    obj.update_cached_value("m", ["new"], x=second)  # invalidates exactly the dependant of the second
    assert obj.get_validation_state()[key("uses_m", x=second)] == "invalid"
    assert obj.m(first) is stored and obj.uses_m(second) == ["new"]


class Layers(LineageStoreBase):
    @lineage_stored()
    def leaf(self):
        return 1

    @lineage_stored()  # does not track: what it calls is no dependency of anything
    def middle(self):
        return self.leaf() + 1

    @automagically_lineage_stored()
    def top(self):
        return self.middle() * 10


def test_a_call_that_does_not_track_hands_its_callees_to_no_call_around_it():
    obj = Layers()
    with pytest.warns(RuntimeWarning, match="middle called Layers.leaf, which it does not declare"):
        assert obj.top() == 20
    assert obj.get_dependency_graph() == {"leaf": set(), "middle": {"top"}, "top": set()}
    obj.update_cached_value("leaf", 5)
    assert obj.get_validation_state() == {"leaf": "valid", "middle": "valid", "top": "valid"}
    assert obj.top() == 20


def test_runtime_edges_go_to_the_call_of_the_same_thread():
    obj = Store()
    with ThreadPoolExecutor(2) as pool:
        result_a = pool.submit(obj.task_a)
        wait(obj.a_in)
        result_b = pool.submit(obj.task_b)
        assert result_a.result(TIMEOUT) == ["a"]
        obj.a_done.set()
        assert result_b.result(TIMEOUT) == ["b"]
    graph = obj.get_dependency_graph()
    assert graph[key("m", x="a")] == {"task_a"} and graph[key("m", x="b")] == {"task_b"}
    obj.update_cached_value("m", "A", x="a")
    assert (obj.task_a(), obj.task_b()) == ("A", ["b"]) and obj.runs == Counter(task_a=2, task_b=1, m=2)


def test_computation_overlapped_by_an_update_on_another_thread_is_not_stored():
    obj = Store()
    with ThreadPoolExecutor(1) as pool:
        result = pool.submit(obj.slow_total)
        wait(obj.rate_read)
        obj.update_cached_value("rate", 2.5)
        obj.updated.set()
        assert result.result(TIMEOUT) == 15
    assert obj.get_validation_state()["slow_total"] == "invalid" and "slow_total" not in obj.get_cached_values()
    assert obj.slow_total() == obj.slow_total() == 25 and obj.runs["slow_total"] == 2


def test_computation_that_updates_its_own_input_is_not_stored():
    obj = Store()
    assert obj.bumps_rate() == 1.5 and obj.get_validation_state()["bumps_rate"] == "invalid"
    assert obj.bumps_rate() == 2.5


def test_finaliser_of_a_value_replaced_by_recomputation_may_call_a_decorated_method():
    obj = Store()
    obj.holder()
    obj.update_cached_value("rate", 4.0)  # holder turns invalid
    obj.holder()
    assert obj.seen == [8.0]
    # holder had decided its state before the old value went: total must not become its parent
    assert obj.get_dependency_graph()[key("total", n=2)] == set()


class ReentrantKey:
    def __init__(self, owner, hook):
        self.owner, self.hook, self.armed = owner, hook, True

    def __hash__(self):
        self.armed and self.hook == "__hash__" and self.owner.rate()
        return 7

    def __eq__(self, other):
        self.armed and self.hook == "__eq__" and self.owner.rate()
        return self is other


@pytest.mark.parametrize("hook", ["__hash__", "__eq__"])
def test_argument_hooks_may_call_decorated_methods(hook):
    obj = Store()
    first, second = ReentrantKey(obj, hook), ReentrantKey(obj, hook)
    assert obj.m(first) == [first]
    assert obj.m(second) == [second]  # same hash, not equal: compared with the registered call
    first.armed = second.armed = False
    assert obj.runs["rate"] == 1 and obj.get_validation_state()["rate"] == "valid"


def test_an_argument_equal_to_a_registered_one_is_served_though_its_eq_calls_a_decorated_method():
    obj = Store()
    stored = obj.m(1)

    class LikeOne:
        def __hash__(self):
            return hash(1)

        def __eq__(self, other):
            return obj.rate() == 1.5 and other == 1

    served = obj.m(LikeOne())
    assert served is stored and obj.runs["m"] == 1
    assert obj.runs["rate"] == 1 and obj.get_validation_state()["rate"] == "valid"


@pytest.mark.parametrize("view", ["get_dependency_graph", "get_cached_values", "get_validation_state"])
def test_decorated_call_from_inside_a_view_succeeds_and_the_view_is_a_snapshot(view):
    obj = Store()
    argument = ReentrantKey(obj, "__hash__")
    argument.armed = False
    obj.m(argument)
    argument.armed = True  # the view hashes the call tuple holding it, which calls rate()
    shown = getattr(obj, view)()
    argument.armed = False
    assert "rate" not in shown  # rate was first called while the view was being built
    assert key("m", x=argument) in shown and obj.get_validation_state()["rate"] == "valid"
    assert "rate" in getattr(obj, view)()


class EqualKey:
    """Equal to any EqualKey of the same name; the next comparison of any two runs `on_next_eq`."""

    on_next_eq = None

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        hook, EqualKey.on_next_eq = EqualKey.on_next_eq, None
        if hook is not None:
            hook()
        return isinstance(other, EqualKey) and other.name == self.name


class Keyed(LineageStoreBase):
    def __init__(self):
        self.runs = Counter()

    @lineage_stored()
    def rate(self):
        return 1.5

    @lineage_stored(dependencies=["rate"])
    def keyed(self, x):
        self.runs["keyed"] += 1
        return [x]

    @automagically_lineage_stored()
    def caller(self, x):
        return self.keyed(x)


EQUAL_ARGUMENTS = {
    "str made at run time": lambda: "".join(["ke", "y"]),
    "int above 256": lambda: int("1" * 12),
    "object with __eq__": lambda: EqualKey("k"),
}


@pytest.mark.parametrize("make", EQUAL_ARGUMENTS.values(), ids=EQUAL_ARGUMENTS.keys())
def test_equal_but_other_arguments_are_served_the_stored_value_with_their_edge(make):
    obj = Keyed()
    obj.rate()
    first, second = make(), make()
    assert first == second and first is not second
    stored = obj.keyed(first)
    assert obj.caller(second) is stored and obj.keyed(make()) is stored
    assert obj.runs["keyed"] == 1
    assert obj.get_dependency_graph()[key("keyed", x=first)] == {key("caller", x=first)}


def test_an_update_made_while_the_arguments_are_compared_is_what_is_served():
    obj = Keyed()
    obj.rate()
    obj.keyed(EqualKey("k"))
    EqualKey.on_next_eq = lambda: obj.update_cached_value("keyed", "updated", x=EqualKey("k"))
    assert obj.keyed(EqualKey("k")) == "updated"
    assert obj.runs["keyed"] == 1


def test_an_invalidation_made_while_the_arguments_are_compared_is_not_overlooked():
    obj = Keyed()
    obj.rate()
    obj.keyed(EqualKey("k"))
    EqualKey.on_next_eq = lambda: obj.update_cached_value("rate", 2.0)
    argument = EqualKey("k")
    assert obj.keyed(argument)[0] is argument
    assert obj.runs["keyed"] == 2


# ---------------------------------------------------------------------------
# Overlapped computations and the rules that make a call permanently invalid


class Overlaps(LineageStoreBase):
    def __init__(self):
        self.runs = {}

    def _run(self, name, result):
        self.runs[name] = self.runs.get(name, 0) + 1
        return result

    @lineage_stored(use_cache=False)
    def vol(self):
        return 0

    @lineage_stored(dependencies=["vol"])
    def declared(self):
        self.update_cached_value("declared", 5)  # reaches this very computation
        return self._run("declared", 1)

    @lineage_stored()
    def rate(self):
        return 1

    @automagically_lineage_stored(use_cache=False)
    def volatile_update(self):
        rate = self.rate()
        self.update_cached_value("rate", 2)
        return self._run("volatile_update", rate)

    @lineage_stored()
    def root(self):
        return 1

    @automagically_lineage_stored()
    def first(self):
        return self.root()

    @lineage_stored()
    def second(self):
        return 2

    @lineage_stored(dependencies=["first", "second"])
    def after(self):
        return self._run("after", "after")


@pytest.mark.parametrize("method, results", [
    ("declared", [1, 1, 1]),
    ("volatile_update", [1, 2, 2]),
])
def test_an_overlapped_computation_keeps_the_permanent_rules(method, results):
    store = Overlaps()
    assert [getattr(store, method)() for _ in results] == results
    assert store.get_validation_state()[method] == "permanently invalid"
    assert store.runs[method] == len(results)


def test_an_invalid_parent_checked_before_valid_ones_keeps_the_call_from_being_stored():
    store = Overlaps()
    store.first(), store.second()
    store.update_cached_value("root", 5)  # first turns invalid and is not computed again
    assert store.after() == store.after() == "after"
    assert store.runs["after"] == 2 and store.get_validation_state()["after"] == "invalid"


# ---------------------------------------------------------------------------
# Results that can be consumed only once


async def quote():
    return 1


async def quotes():
    yield 1


def single_use_class():
    """A class of its own for each test: the warning is given once per method."""

    class SingleUse(LineageStoreBase):
        def __init__(self):
            self.runs = Counter()

        @lineage_stored()
        def single(self, kind):
            self.runs[kind] += 1
            return {"coroutine": quote, "generator": lambda: (i for i in [1]), "async generator": quotes}[kind]()

        @automagically_lineage_stored()
        def caller(self, kind):
            return [self.single(kind)]

    return SingleUse


def close(result):
    getattr(result, "close", lambda: None)()


@pytest.mark.parametrize("kind", ["coroutine", "generator", "async generator"])
def test_a_single_use_result_is_returned_but_nothing_computed_from_it_is_stored(kind):
    cls = single_use_class()
    obj = cls()
    with pytest.warns(RuntimeWarning, match=rf"SingleUse.single returned an? {kind}.*'async def'.*list or a tuple"):
        first = obj.single(kind)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # once per method
        second, [third] = cls().single(kind), obj.caller(kind)
    assert len({id(first), id(second), id(third)}) == 3 and obj.runs[kind] == 2
    assert obj.get_validation_state() == {key("single", kind=kind): "permanently invalid",
                                          key("caller", kind=kind): "permanently invalid"}
    assert obj.get_cached_values() == {}
    for result in (first, second, third):
        close(result)


def test_a_method_that_never_stores_returns_a_new_generator_at_every_call_quietly(strict):
    class Volatile(LineageStoreBase):
        @lineage_stored(use_cache=False)
        def numbers(self):
            return (i for i in [1])

    obj = Volatile()
    first, second = obj.numbers(), obj.numbers()
    assert inspect.isgenerator(first) and inspect.isgenerator(second) and first is not second


def test_a_coroutine_dropped_because_its_warning_raised_is_not_reported_never_awaited(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="returned a coroutine"):
            single_use_class()().single("coroutine")
        gc.collect()
    assert unraisable == []


@pytest.mark.parametrize("kind, refusal", [("coroutine", "is a coroutine: await it first"),
                                           ("generator", "is a generator.*pass a list or tuple"),
                                           ("async generator", "is an async generator.*pass a list or tuple")])
def test_a_single_use_value_is_refused_as_a_value_set_by_hand_and_left_to_its_caller(kind, refusal):
    obj = single_use_class()()
    value = {"coroutine": quote, "generator": lambda: (i for i in [1]), "async generator": quotes}[kind]()
    with pytest.raises(TypeError, match=refusal):
        obj.update_cached_value("single", value, kind=kind)
    assert obj.get_cached_values() == {} and obj.get_validation_state() == {}
    if kind == "coroutine":
        assert inspect.getcoroutinestate(value) == "CORO_CREATED"
    close(value)
