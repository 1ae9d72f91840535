"""An awaited hit: a coroutine served the value found valid when the call was
made, unless the store moved before the await."""

import asyncio
import gc
import inspect
import weakref

import pytest

from conftest import awaited_class, run

Awaited = awaited_class()

CALLS = {"positional": (lambda obj: obj.am(3), 6),
         "keyword": (lambda obj: obj.am(3, k=4), 8),
         "many arguments": (lambda obj: obj.am(1, 2, 3, 4, 5, 6), 24)}


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


MOVES = {"an update of a dependency": lambda obj: obj.update_cached_value("rate", 5),
         "clear_cache": lambda obj: (obj.inputs.update(rate=5), obj.clear_cache())}


@pytest.mark.parametrize("move", MOVES.values(), ids=MOVES.keys())
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_a_hit_whose_store_moves_before_its_await_is_looked_up_afresh(call, move):
    make, value = call
    obj = Awaited()
    run(make(obj))
    hit = make(obj)
    move(obj)
    assert (run(hit), obj.runs) == (value + 4, 2)


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


def test_a_hit_never_awaited_is_reported_by_the_method_name_and_freed_with_its_instance():
    obj = Awaited()
    run(obj.am(3))
    obj.pending = obj.am(3)  # a cycle: the instance holds its own call
    instance = weakref.ref(obj)
    with pytest.warns(RuntimeWarning, match=r"coroutine 'awaited_class.<locals>.Awaited.am' was never awaited"):
        del obj
        gc.collect()
    assert instance() is None
