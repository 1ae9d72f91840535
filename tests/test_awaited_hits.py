"""An awaited hit: a coroutine served the value found valid when the call was
made, unless the store moved before the await."""

import asyncio
import gc
import inspect
import types
import weakref

import pytest

import conftest
from conftest import awaited_class, run, served_at_once
from lineage_store import LineageStoreBase, lineage_stored

Awaited = awaited_class()

CALLS = {"positional": (lambda obj: obj.am(3), 6),
         "keyword": (lambda obj: obj.am(3, k=4), 8),
         "many arguments": (lambda obj: obj.am(1, 2, 3, 4, 5, 6), 24),
         "more arguments than a hit takes as its own": (lambda obj: obj.am(1, 2, 3, 4, 5, 6, 7), 31)}


async def in_task(coroutine):
    return await asyncio.create_task(coroutine)


async def gathered(coroutine):
    return (await asyncio.gather(coroutine))[0]


THROUGH = {"await": run, "create_task": lambda hit: run(in_task(hit)), "gather": lambda hit: run(gathered(hit)),
           "asyncio.run": asyncio.run}


@pytest.mark.parametrize("through", THROUGH.values(), ids=THROUGH.keys())
def test_a_hit_is_a_coroutine_named_for_the_method_that_asyncio_runs(through):
    obj = Awaited()
    run(obj.am(3))
    hit = obj.am(3)
    assert inspect.iscoroutine(hit)
    assert (hit.__name__, hit.__qualname__) == ("am", "awaited_class.<locals>.Awaited.am")
    assert (through(hit), obj.runs) == (6, 1)


# How the store moves, and what that adds to the value and to the runs.
MOVES = {"an update of a dependency": (lambda obj: obj.update_cached_value("rate", 5), 4, 2),
         "clear_cache": (lambda obj: (obj.inputs.update(rate=5), obj.clear_cache()), 4, 2),
         "an update of another call": (lambda obj: obj.update_cached_value("total", 0), 0, 1)}


@pytest.mark.parametrize("move", MOVES.values(), ids=MOVES.keys())
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_hit_whose_store_moves_before_its_await_is_looked_up_afresh(call, move):
    (make, value), (change, added, runs) = call, move
    obj = Awaited()
    run(make(obj))
    hit = make(obj)
    change(obj)
    assert (run(hit), obj.runs) == (value + added, runs)


def test_a_hit_awaited_while_a_computation_runs_is_recorded_as_its_parent():
    obj = Awaited()
    obj.pending = asyncio.sleep(0, result=1)
    assert run(obj.total()) == 10
    obj.clear_cache()  # total stays registered: computing it again leaves the graph's version as it is
    run(obj.am(3))
    obj.pending = obj.am(3)  # made with nothing computing, awaited in total's computation
    assert run(obj.total()) == 60
    obj.update_cached_value("rate", 5)
    obj.pending = obj.am(3)
    assert run(obj.total()) == 100


@types.coroutine
def suspended():
    yield


async def boom():
    raise LookupError


async def cancelled(obj):
    obj.pending = asyncio.sleep(10)
    task = asyncio.create_task(obj.total())
    await asyncio.sleep(0)
    task.cancel()
    return await asyncio.gather(task, return_exceptions=True)


def closed(obj):
    obj.pending = suspended()
    coroutine = obj.total()
    coroutine.send(None)
    coroutine.close()


# An awaited computation of `total`, ended in each way it can end; what it
# ended with is kept (an exception holds the frames of the call).
ENDINGS = {"returned": lambda obj: (setattr(obj, "pending", asyncio.sleep(0, result=1)), run(obj.total())),
           "raised": lambda obj: (setattr(obj, "pending", boom()), pytest.raises(LookupError, run, obj.total())),
           "cancelled": lambda obj: run(cancelled(obj)),
           "closed": closed}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_a_computation_however_it_ends_leaves_the_hits_of_its_store_served_at_once(ending):
    obj = Awaited()
    run(obj.am(3))
    assert served_at_once(obj.am(3))
    ended = ending(obj)
    assert served_at_once(obj.am(3)), ended


def test_a_hit_awaited_in_an_untracked_computation_warns_at_the_line_that_awaited_it():
    obj = awaited_class()()  # a class of its own: the warning is issued once per class
    run(obj.am(3))
    obj.pending = obj.am(3)
    with pytest.warns(RuntimeWarning, match=r"\.alone called \S*\.am, which it does not declare") as caught:
        assert run(obj.alone()) == 6
    assert [warning.filename for warning in caught] == [conftest.__file__]


def test_a_hit_never_awaited_is_reported_by_the_method_name_and_freed_with_its_instance():
    obj = Awaited()
    run(obj.am(3))
    obj.pending = obj.am(3)  # a cycle: the instance holds its own call
    instance = weakref.ref(obj)
    with pytest.warns(RuntimeWarning, match=r"coroutine 'awaited_class.<locals>.Awaited.am' was never awaited"):
        del obj
        gc.collect()
    # The warning's record held the coroutine (its source) through the first
    # collection, and with it the cycle; nothing holds it now.
    gc.collect()
    assert instance() is None


class Scaled(LineageStoreBase):
    """A method called in a form the decorator remembers: positional, no keyword-only parameter."""
    def __init__(self, rate):
        self.inputs = {"rate": rate}

    @lineage_stored()
    def rate(self):
        return self.inputs["rate"]

    @lineage_stored(dependencies=["rate"])
    async def am(self, n, k=2):
        return (10 * n + k) * self.rate()


@pytest.mark.parametrize("call", [lambda obj: obj.am(3), lambda obj: obj.am(k=2, n=3)], ids=["positional", "keyword"])
def test_hits_on_instances_at_different_versions_each_follow_their_own_store(call):
    first, second = Scaled(1), Scaled(10)
    for obj in (first, second, first, second):
        run(call(obj))
    second.update_cached_value("rate", 20)  # the two stores' versions now differ
    run(call(second))
    first_hit, second_hit = call(first), call(second)
    first.inputs["rate"] = 2
    first.update_cached_value("rate", 2)
    assert (run(first_hit), run(second_hit)) == (64, 640)


@pytest.mark.parametrize("count, served", [(6, True), (7, False)], ids=["as many as a hit takes", "one more"])
def test_a_hit_by_position_is_served_at_once_only_with_the_arguments_a_hit_takes(count, served):
    # Every parameter positional: the call is found without being bound.
    namespace = {}
    exec(f"async def m(self, {', '.join(f'a{i}' for i in range(count))}):\n    return a0 + a{count - 1}", namespace)

    class Wide(LineageStoreBase):
        m = lineage_stored()(namespace["m"])

    obj, arguments = Wide(), range(1, count + 1)
    assert run(obj.m(*arguments)) == 1 + count
    assert served_at_once(obj.m(*arguments)) is served
    assert run(obj.m(*arguments)) == 1 + count
