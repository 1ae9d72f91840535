"""The decorated call: what it computes, stores, serves and records, and how it
behaves under re-entrancy, hash collisions, threads and garbage collection."""

import gc
import threading
import weakref
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from contextlib import suppress
from types import SimpleNamespace

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

TIMEOUT = 10


def key(method, /, **arguments):
    """How the views show a call."""
    return (method, tuple(sorted(arguments.items()))) if arguments else method


def wait(event):
    assert event.wait(TIMEOUT), "the other thread never arrived"


class Store(LineageStoreBase):
    def __init__(self):
        self.runs = Counter()
        self.make_result, self.fail_next = object, None

    @lineage_stored()
    def plain(self):
        self.runs["plain"] += 1
        if self.fail_next is not None:
            error, self.fail_next = self.fail_next, None
            raise error
        return self.make_result()

    @lineage_stored()
    def rate(self):
        self.runs["rate"] += 1
        return 1.5

    @automagically_lineage_stored()
    def total(self, n):
        self.runs["total"] += 1
        return n * self.rate()

    @lineage_stored()
    def manual_total(self):
        return self.rate()

    @automagically_lineage_stored()
    def from_other(self, other):
        return other.rate()

    @lineage_stored(use_cache=False)
    def volatile(self):
        self.runs["volatile"] += 1
        return object()

    @automagically_lineage_stored()
    def over_volatile(self):
        self.runs["over_volatile"] += 1
        return self.volatile()

    @lineage_stored(dependencies=["rate"])
    def declared(self):
        self.runs["declared"] += 1
        return object()

    @lineage_stored(dependencies=[("total", {"n": 2})])
    def after_total(self):
        self.runs["after_total"] += 1
        return object()

    @automagically_lineage_stored()
    def boom(self):
        raise ValueError("boom")

    @automagically_lineage_stored()
    def catcher(self):
        with suppress(ValueError):
            self.boom()
        return self.rate()

    @automagically_lineage_stored()
    def even(self, n):
        return n == 0 or self.odd(n - 1)

    @automagically_lineage_stored()
    def odd(self, n):
        return n != 0 and self.even(n - 1)

    @lineage_stored()
    def m(self, x):
        self.runs["m"] += 1
        return [x]

    @automagically_lineage_stored()
    def uses_m(self, x):
        self.runs["uses_m"] += 1
        return self.m(x)

    @automagically_lineage_stored()
    def bump(self):
        self.runs["bump"] += 1
        rate = self.rate()
        self.update_cached_value("rate", rate + 1)
        return rate


# -- States -----------------------------------------------------------------------


def invalidate_total(obj):
    obj.total(2)
    obj.update_cached_value("rate", 3.0)  # total(2), the declared parent of after_total, turns invalid


@pytest.mark.parametrize(
    "before, method, between, runs, state",
    [
        (None, "plain", None, 1, "valid"),
        (lambda obj: setattr(obj, "make_result", lambda: None), "plain", None, 1, "valid"),
        (None, "volatile", None, 2, "permanently invalid"),
        (None, "over_volatile", None, 2, "permanently invalid"),
        (None, "declared", Store.rate, 2, "permanently invalid"),
        (Store.rate, "declared", None, 1, "valid"),
        (invalidate_total, "after_total", None, 2, "invalid"),
    ],
    ids=["stored", "None-stored", "uncached", "caller-of-uncached", "before-dependency", "after-dependency",
         "invalid-parent"],
)
def test_two_calls_serve_the_stored_object_only_when_valid(before, method, between, runs, state):
    obj, absent = Store(), object()
    if before:
        before(obj)
    first = getattr(obj, method)()
    if between:
        between(obj)
    second = getattr(obj, method)()
    assert obj.runs[method] == runs and obj.get_validation_state()[method] == state
    stored = state == "valid"
    assert (second is first) == stored
    assert obj.get_cached_values().get(method, absent) is (first if stored else absent)


def test_raise_then_succeed():
    obj = Store()
    obj.fail_next = error = KeyError("first time")
    with pytest.raises(KeyError) as raised:
        obj.plain()
    assert raised.value is error
    assert obj.get_validation_state() == {"plain": "invalid"} and obj.get_cached_values() == {}
    assert obj.plain() is obj.plain() and obj.runs["plain"] == 2


def test_update_invalidates_dependants_and_the_next_call_uses_the_new_value():
    obj = Store()
    assert obj.total(3) == 4.5
    obj.update_cached_value("rate", 2.5)
    assert obj.get_validation_state() == {"rate": "valid", key("total", n=3): "invalid"}
    assert obj.total(3) == 7.5 and obj.runs == Counter(total=2, rate=1)
    assert obj.get_validation_state()[key("total", n=3)] == "valid"


# -- Runtime edges ----------------------------------------------------------------


@pytest.mark.parametrize(
    "call, cached_first, children",
    [
        (lambda obj: obj.total(1), False, {key("total", n=1)}),
        (lambda obj: obj.total(1), True, {key("total", n=1)}),
        (lambda obj: obj.manual_total(), False, set()),
    ],
    ids=["tracking", "tracking-served", "not-tracking"],
)
def test_caller_becomes_child_of_its_callee_only_when_tracking(call, cached_first, children):
    obj = Store()
    if cached_first:
        obj.rate()
    call(obj)
    assert obj.get_dependency_graph()["rate"] == children and obj.runs["rate"] == 1


def test_calls_on_another_instance_are_not_recorded():
    obj, other = Store(), Store()
    obj.from_other(other)
    # An edge from other's rate would leave from_other with an unknown parent.
    assert obj.get_validation_state() == {key("from_other", other=other): "valid"}
    assert other.get_dependency_graph() == {"rate": set()}


def test_mutual_recursion_on_one_instance():
    obj = Store()
    assert obj.even(100) is True
    graph = obj.get_dependency_graph()
    assert graph[key("even", n=0)] == {key("odd", n=1)} and graph[key("even", n=100)] == set()
    assert set(obj.get_validation_state().values()) == {"valid"}


@pytest.mark.parametrize(
    "before",
    [lambda obj: obj.total(1), lambda obj: obj.total(1) + obj.total(1), Store.boom, Store.catcher],
    ids=["computed", "served", "raised", "raised-nested"],
)
def test_no_call_outlives_itself_as_a_caller(before):
    obj = Store()
    with suppress(ValueError):
        before(obj)
    obj.total(7)
    # A stale entry left by an ended call would have become the child of
    # whatever was called after it.
    graph = obj.get_dependency_graph()
    assert graph[key("total", n=7)] == set() and not any("boom" in children for children in graph.values())


# -- Garbage collection -----------------------------------------------------------


def cache_value(obj, value):
    obj.make_result = lambda: value
    obj.plain()
    obj.make_result = object


@pytest.mark.parametrize(
    "make_cycle",
    [
        lambda obj: cache_value(obj, lambda: obj),
        lambda obj: cache_value(obj, SimpleNamespace(parent=obj)),
        lambda obj: obj.m(lambda: obj) and obj.clear_cache(),  # leaves the cycle to the call tuple
    ],
    ids=["closure-value", "child-value", "call-argument"],
)
def test_instance_in_a_cycle_through_its_store_is_collected(make_cycle):
    obj = Store()
    make_cycle(obj)
    alive = weakref.ref(obj)
    del obj
    gc.collect()
    assert alive() is None


def test_class_whose_decorated_method_refers_to_it_is_collected():
    class Local(LineageStoreBase):
        @lineage_stored()
        def me(self):
            return __class__

    alive = weakref.ref(Local)
    del Local
    gc.collect()
    assert alive() is None


# -- Hash collisions --------------------------------------------------------------


@pytest.mark.parametrize("first, second", [(-1, -2), (5, 5 + 2**61 - 1)])
def test_colliding_calls_are_never_served_each_others_values(first, second):
    assert hash(first) == hash(second)
    obj = Store()
    stored = obj.m(first)
    assert obj.m(second) == [second] and obj.m(second) == [second] and obj.runs["m"] == 3
    assert obj.m(first) is stored and obj.get_cached_values() == {key("m", x=first): [first]}


def test_equal_arguments_of_different_types_are_one_call():
    obj = Store()
    assert obj.m(1) is obj.m(1.0) is obj.m(True) and obj.runs["m"] == 1


def test_tracking_caller_of_a_colliding_call_is_not_stored():
    obj = Store()
    obj.m(-1)
    assert obj.uses_m(-2) == [-2] and obj.uses_m(-2) == [-2] and obj.runs["uses_m"] == 2
    assert obj.get_cached_values() == {key("m", x=-1): [-1]}
    assert obj.get_dependency_graph()[key("m", x=-1)] == set()


# -- Threads and overlapping updates ----------------------------------------------


class TwoThreads(Store):
    def __init__(self):
        super().__init__()
        self.a_in, self.b_in, self.a_done, self.rate_read, self.updated = (threading.Event() for _ in range(5))

    @lineage_stored()
    def source(self, name):
        return name

    @automagically_lineage_stored()
    def task_a(self):
        self.runs["task_a"] += 1
        self.a_in.set()
        wait(self.b_in)  # task_b is in progress now, entered after task_a
        return self.source("a")

    @automagically_lineage_stored()
    def task_b(self):
        self.runs["task_b"] += 1
        self.b_in.set()
        wait(self.a_done)  # task_a has ended while task_b is still in progress
        return self.source("b")

    @automagically_lineage_stored()
    def slow_total(self):
        self.runs["slow_total"] += 1
        rate = self.rate()
        self.rate_read.set()
        wait(self.updated)
        return 10 * rate


def test_runtime_edges_go_to_the_call_of_the_same_thread():
    obj = TwoThreads()
    with ThreadPoolExecutor(2) as pool:
        result_a = pool.submit(obj.task_a)
        wait(obj.a_in)
        result_b = pool.submit(obj.task_b)
        assert result_a.result(TIMEOUT) == "a"
        obj.a_done.set()
        assert result_b.result(TIMEOUT) == "b"
    graph = obj.get_dependency_graph()
    assert graph[key("source", name="a")] == {"task_a"} and graph[key("source", name="b")] == {"task_b"}
    obj.update_cached_value("source", "A", name="a")
    assert (obj.task_a(), obj.task_b()) == ("A", "b") and obj.runs == Counter(task_a=2, task_b=1)


def test_computation_overlapped_by_an_update_on_another_thread_is_not_stored():
    obj = TwoThreads()
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
    assert obj.bump() == 1.5
    assert obj.get_validation_state()["bump"] == "invalid" and "bump" not in obj.get_cached_values()
    assert obj.bump() == 2.5 and obj.runs["bump"] == 2


# -- Re-entrancy ------------------------------------------------------------------


class CallsBackWhenReleased:
    def __init__(self, call_back):
        self.call_back = call_back

    def __del__(self):
        self.call_back()


@pytest.mark.parametrize(
    "replace",
    [lambda obj: obj.holder(), lambda obj: obj.update_cached_value("holder", None)],
    ids=["recompute", "update"],
)
def test_finaliser_of_a_replaced_value_may_call_a_decorated_method(replace):
    class Owner(Store):
        @automagically_lineage_stored()
        def holder(self):
            self.rate()
            return CallsBackWhenReleased(lambda: seen.append(self.total(2)))

    seen = []
    obj = Owner()
    obj.holder()
    obj.update_cached_value("rate", 4.0)  # holder turns invalid
    replace(obj)
    assert seen == [8.0]
    # holder had decided its state before the old value went: what the
    # finaliser calls must not become a parent of it.
    assert obj.get_dependency_graph()[key("total", n=2)] == set()


class ReentrantKey:
    """An argument whose hashing or comparison calls back into its owner."""

    def __init__(self, owner, hook):
        self.owner, self.hook, self.armed = owner, hook, True

    def __hash__(self):
        if self.armed and self.hook == "__hash__":
            self.owner.rate()
        return 7

    def __eq__(self, other):
        if self.armed and self.hook == "__eq__":
            self.owner.rate()
        return self is other


@pytest.mark.parametrize("hook", ["__hash__", "__eq__"])
def test_argument_hooks_may_call_decorated_methods(hook):
    obj = Store()
    first, second = ReentrantKey(obj, hook), ReentrantKey(obj, hook)
    assert obj.m(first) == [first]
    assert obj.m(second) == [second]  # same hash, not equal: compared with the registered call
    first.armed = second.armed = False
    assert obj.runs["rate"] == 1 and obj.get_validation_state()["rate"] == "valid"


@pytest.mark.parametrize("view", ["get_dependency_graph", "get_cached_values", "get_validation_state"])
def test_decorated_call_from_inside_a_view_panics_and_leaves_the_store_usable(view):
    obj = Store()
    argument = ReentrantKey(obj, "__hash__")
    argument.armed = False
    obj.m(argument)
    argument.armed = True  # the view hashes the call tuple holding it
    with pytest.raises(BaseException) as raised:
        getattr(obj, view)()
    panic = type(raised.value)
    assert (panic.__name__, panic.__bases__) == ("PanicException", (BaseException,))
    assert str(raised.value).startswith("Already borrowed")
    argument.armed = False
    assert obj.rate() == 1.5 and key("m", x=argument) in getattr(obj, view)()
