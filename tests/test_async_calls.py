"""Decorated async methods: an awaited call is served, shared between the tasks
of a loop and stored by the rules of a sync call."""

import asyncio
import contextvars
import gc
import inspect
import os
import re
import sys
import types
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

from conftest import HashingOnce, Rates, edges, key, run
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

TRACKING = {"automagically": automagically_lineage_stored,
            "lineage_stored tracking": lambda **options: lineage_stored(track_runtime_dependencies=True, **options)}


def book_class(decorate):
    class Book(Rates):
        def __init__(self):
            self.runs, self.inputs, self.gate, self.error = Counter(), {"fx": 2, "rate": 3}, None, None

        @decorate()
        async def price(self, n):
            self.runs["price", n] += 1
            await asyncio.sleep(0)
            return n * self.fx()

        @decorate()
        async def total(self):
            return await self.price(1) + self.rate()

        @decorate()
        async def alone(self):
            return await self.price(2)

        @decorate()
        async def slow(self, n):
            """Reads rate, waits for the gate (and a few loop turns), then raises self.error or returns."""
            self.runs["slow", n] += 1
            rate = self.rate()
            if self.gate is not None:
                await self.gate.wait()
            for _ in range(3):
                await asyncio.sleep(0)
            if self.error is not None:
                raise self.error
            return n * 10 + rate

    return Book


BOOKS = {name: book_class(factory) for name, factory in TRACKING.items()}


@pytest.fixture(params=list(BOOKS))
def book(request):
    return BOOKS[request.param]()


def test_a_call_is_a_coroutine_and_a_valid_value_is_served_without_running_the_method(book):
    async def main():
        first = book.price(3)
        assert inspect.iscoroutine(first)
        return await first, await book.price(n=3), book.runs["price", 3]

    assert run(main()) == (6, 6, 1)


@pytest.mark.parametrize("call", [lambda book: book.price([3]), lambda book: book.price(),
                                  lambda book: book.price(3, k=1)], ids=["unhashable", "missing", "unexpected"])
def test_the_call_is_identified_when_it_is_made_not_when_awaited(book, call):
    with pytest.raises(TypeError):
        call(book)


AWAITED_THROUGH = {
    "await": lambda coroutine: coroutine,
    "create_task": lambda coroutine: asyncio.create_task(coroutine),
    "gather": lambda coroutine: asyncio.gather(coroutine),
    "wait_for": lambda coroutine: asyncio.wait_for(coroutine, 5),
    "shield": lambda coroutine: asyncio.shield(coroutine),
}


@pytest.mark.parametrize("through", AWAITED_THROUGH.values(), ids=AWAITED_THROUGH.keys())
def test_awaited_through_asyncio_helpers(book, through):
    async def main():
        return [await through(book.slow(3)) for _ in range(3)], book.runs["slow", 3]

    values, runs = run(main())
    assert [value if isinstance(value, int) else value[0] for value in values] == [33] * 3 and runs == 1


@pytest.mark.parametrize("eager", [False, True], ids=["tasks", "eager tasks"])
def test_concurrent_awaits_of_one_call_run_one_computation(book, eager):
    if eager and sys.version_info < (3, 12):
        pytest.skip("eager tasks come with 3.12")

    async def main():
        if eager:
            asyncio.get_running_loop().set_task_factory(asyncio.eager_task_factory)
        values = await asyncio.gather(*(asyncio.create_task(book.slow(3)) for _ in range(100)))
        return values, book.runs["slow", 3]

    assert run(main()) == ([33] * 100, 1)


@pytest.mark.parametrize("ending, runs", [("computing task cancelled", 2), ("computing task timed out", 2),
                                           ("a waiter cancelled", 1)])
def test_a_cancelled_computation_is_taken_over_by_one_waiter_and_waiters_are_not_cancelled(book, ending, runs,
                                                                                             monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    async def main():
        book.gate = asyncio.Event()
        first = asyncio.create_task(asyncio.wait_for(book.slow(3), 0.05 if "timed out" in ending else 5))
        await asyncio.sleep(0)
        waiters = [asyncio.create_task(book.slow(3)) for _ in range(3)]
        await asyncio.sleep(0.01)  # every waiter is waiting now
        if ending == "a waiter cancelled":
            waiters.pop().cancel()
            waiters.append(first)
        else:
            if ending == "computing task cancelled":
                first.cancel()
            with pytest.raises((asyncio.CancelledError, asyncio.TimeoutError)):
                await first
        book.gate.set()
        return await asyncio.gather(*waiters), book.runs["slow", 3]

    assert run(main()) == ([33] * 3, runs)
    gc.collect()
    assert unraisable == []


async def first_step(coroutine):
    """Takes the first step of `coroutine` in a callback of the loop: no task
    drives it on, and no task made later copies the context its computation
    began in."""
    loop = asyncio.get_running_loop()
    stepped = loop.create_future()
    loop.call_soon(lambda: stepped.set_result(coroutine.send(None)))
    await stepped


def interrupted_once(book):
    book.gate, book.error = asyncio.Event(), KeyboardInterrupt()
    loop = asyncio.new_event_loop()
    try:
        first = loop.create_task(book.slow(3))
        loop.run_until_complete(asyncio.sleep(0))
        waiter = loop.create_task(book.slow(3))
        loop.run_until_complete(asyncio.sleep(0))
        book.gate.set()
        with pytest.raises(KeyboardInterrupt):
            loop.run_until_complete(first)
        book.error = None  # the waiter, which computes, returns
        return loop.run_until_complete(asyncio.wait_for(waiter, 5))
    except KeyboardInterrupt:
        return "the waiter received the interrupt"
    finally:
        loop.close()


async def closed_by_its_caller(book):
    book.gate = asyncio.Event()
    coroutine = book.slow(3)
    await first_step(coroutine)
    waiter = asyncio.create_task(book.slow(3))
    await asyncio.sleep(0)
    coroutine.close()
    book.gate.set()
    return await waiter


async def cancelled_after_a_value_set_by_hand(book):
    book.gate = asyncio.Event()
    first = asyncio.create_task(book.slow(3))
    await asyncio.sleep(0)
    waiter = asyncio.create_task(book.slow(3))
    await asyncio.sleep(0)
    book.update_cached_value("slow", 42, n=3)
    first.cancel()
    return await waiter


@pytest.mark.parametrize("ending, value, runs", [
    (interrupted_once, 33, 2), (lambda book: run(closed_by_its_caller(book)), 33, 2),
    (lambda book: run(cancelled_after_a_value_set_by_hand(book)), 42, 1),
], ids=["computing task interrupted", "coroutine closed by its caller", "cancelled after a value set by hand"])
def test_a_waiter_on_a_computation_ended_early_looks_again(book, ending, value, runs):
    # It neither receives what ended the computation nor computes what the
    # store now holds.
    assert (ending(book), book.runs["slow", 3]) == (value, runs)


class Partial(LineageStoreBase):
    runs = 0

    @automagically_lineage_stored()
    async def m(self):
        self.runs += 1
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            return "partial"


def test_a_method_that_returns_when_cancelled_has_its_value_stored_and_served():
    obj = Partial()

    async def main():
        task = asyncio.create_task(obj.m())
        await asyncio.sleep(0)
        task.cancel()
        return await task, obj.get_cached_value("m"), await obj.m(), obj.runs

    assert run(main()) == ("partial", "partial", "partial", 1)


def test_an_exception_reaches_every_waiter_and_nothing_is_stored(book):
    async def main():
        book.gate, book.error = asyncio.Event(), LookupError("no quote")
        tasks = [asyncio.create_task(book.slow(3)) for _ in range(4)]
        await asyncio.sleep(0.01)
        book.gate.set()
        raised = await asyncio.gather(*tasks, return_exceptions=True)
        stored = book.get_cached_values()
        book.error = None
        return raised, stored, await book.slow(3), book.runs["slow", 3]

    raised, stored, value, runs = run(main())
    assert all(error is book.error or isinstance(error, LookupError) for error in raised), raised
    assert (key("slow", n=3) in stored, value, runs) == (False, 33, 2)


async def cancelled(book):
    task = asyncio.create_task(book.slow(3))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def raising(book):
    book.error = LookupError()
    with pytest.raises(LookupError):
        await book.slow(3)
    book.error = None


async def closed_after_first_step(book):
    coroutine = book.slow(3)
    coroutine.send(None)
    coroutine.close()


@pytest.mark.parametrize("failing", [cancelled, raising, closed_after_first_step])
def test_a_failed_computation_leaves_the_call_as_it_was_and_the_next_await_computes(book, failing):
    async def main():
        await book.slow(3)
        book.update_cached_value("rate", 4)  # slow(3) is invalid now
        before = book.get_validation_state()
        await failing(book)
        after = book.get_validation_state()
        return before == after, await asyncio.wait_for(book.slow(3), 1), book.runs["slow", 3]

    assert run(main()) == (True, 34, 3)


EVERY_CALL = {key("price", n=1), key("price", n=2), "total", "alone"}


@pytest.mark.parametrize("update, invalidated", [
    (lambda book: book.update_cached_value("fx", 5), EVERY_CALL),
    (lambda book: book.update_cached_value("price", 7, n=1), {"total"}),
    (lambda book: book.update_cached_value("rate", 7), {"total"}),
    (lambda book: book.update_cached_value("total", 7), set()),
], ids=["fx", "price(1)", "rate", "total"])
def test_an_update_invalidates_exactly_the_async_calls_computed_from_it(book, update, invalidated):
    async def main():
        await book.total(), await book.alone()
        update(book)
        return {call for call, state in book.get_validation_state().items() if state == "invalid"}

    assert run(main()) == invalidated


@pytest.mark.filterwarnings("ignore:.*does not track at run time")
@pytest.mark.parametrize("decorate, graph", [
    (lineage_stored, {"fx": set(), "rate": set()}),
    (automagically_lineage_stored, {"fx": {key("price", n=1), key("price", n=2)}, "rate": {"total"},
                                    key("price", n=1): {"total"}, key("price", n=2): {"alone"}}),
], ids=["untracked", "tracked"])
def test_sync_and_async_calls_made_while_computing_are_parents_when_tracked(decorate, graph):
    book = book_class(decorate)()

    async def main():
        await book.total(), await book.alone()
        return {call: children for call, children in book.get_dependency_graph().items() if children or
                isinstance(call, str) and call in ("fx", "rate")}

    assert run(main()) == graph


class Caught(LineageStoreBase):
    @lineage_stored()
    def rate(self):
        return 2

    @lineage_stored()
    async def plain(self):
        raise LookupError

    @automagically_lineage_stored()
    async def caller(self):
        try:
            await self.plain()
        except LookupError as error:
            self.caught = error  # and with it the frames of the call that raised it
        return self.rate()


def test_a_call_made_after_an_awaited_plain_method_raised_counts_for_the_tracking_caller(strict):
    obj = Caught()
    assert run(obj.caller()) == 2
    assert edges(obj) == {"plain": {"caller"}, "rate": {"caller"}}


async def positional(self, key, n=1):
    return n * 100


def test_an_async_call_whose_function_changed_while_it_was_identified_is_returned_and_not_stored():
    func = types.FunctionType(positional.__code__, globals(), "m", positional.__defaults__)

    class Store(LineageStoreBase):
        m = lineage_stored()(func)

    store, key = Store(), HashingOnce(lambda: setattr(func, "__defaults__", (2,)))
    assert run(store.m(key)) == 200  # n=1 was the default when the call was identified
    assert store.get_cached_value("m", key=key, n=1) is None
    assert store.get_validation_state() == {("m", (("key", key), ("n", 1))): "invalid"}


@pytest.mark.parametrize("overlap, runs", [
    (lambda book: book.update_cached_value("rate", 3), 2),
    (lambda book: book.clear_cache(), 2),
    (lambda book: book.update_cached_value("fx", 3), 1),  # slow never reads fx
], ids=["update of a parent", "clear_cache", "update of another call"])
def test_a_value_overlapped_by_an_update_or_a_clear_is_returned_but_not_stored(book, overlap, runs):
    async def main():
        book.rate()
        book.gate = asyncio.Event()
        task = asyncio.create_task(book.slow(1))
        await asyncio.sleep(0)
        overlap(book)
        book.gate.set()
        return await task, await book.slow(1), book.runs["slow", 1]

    assert run(main()) == (13, 13, runs)


def test_a_waiter_on_a_computation_overlapped_by_an_update_computes_afresh(book):
    # The task awaiting the call began after the update: the computation it
    # found running read the old rate, so it must not take that value.
    async def main():
        book.rate()
        book.gate = asyncio.Event()
        first = asyncio.create_task(book.slow(1))
        await asyncio.sleep(0)
        book.inputs["rate"] = 5
        book.update_cached_value("rate", 5)
        second = asyncio.create_task(book.slow(1))
        await asyncio.sleep(0)
        book.gate.set()
        return await first, await second, book.runs["slow", 1]

    assert run(main()) == (13, 15, 2)


class Base(LineageStoreBase):
    def __init__(self):
        self.runs = 0

    @lineage_stored()
    def fx(self):
        return 2

    @automagically_lineage_stored()
    async def price(self, n):
        self.runs += 1
        await asyncio.sleep(0)
        return n * self.fx()


class Override(Base):
    @automagically_lineage_stored()
    async def price(self, n):
        return await super().price(n) + 1


def test_an_override_awaiting_super_runs_it_as_part_of_its_own_computation():
    override = Override()

    async def main():
        values = await asyncio.gather(*(override.price(3) for _ in range(5)))
        override.update_cached_value("fx", 10)
        return values, await override.price(3), override.runs

    assert run(main()) == ([7] * 5, 31, 2)


async def raw(self):
    self.runs += 1
    return self.runs


class Volatile(LineageStoreBase):
    def __init__(self):
        self.runs = 0

    fresh = lineage_stored(use_cache=False)(raw)

    @automagically_lineage_stored()
    async def reader(self):
        return await self.fresh()


def test_an_uncached_async_method_returns_its_own_coroutine_and_makes_its_readers_permanently_invalid():
    volatile = Volatile()
    coroutine = volatile.fresh()
    assert coroutine.cr_code is raw.__code__
    coroutine.close()

    async def main():
        return [await volatile.fresh(), await volatile.reader(), await volatile.reader()]

    assert (run(main()), volatile.get_validation_state()["reader"]) == ([1, 2, 3], "permanently invalid")


def generator(self):
    yield 1


async def async_generator(self):
    yield 1


async def coroutine_function(self):
    return 1


@pytest.mark.parametrize("factory", [lineage_stored, automagically_lineage_stored])
@pytest.mark.parametrize("func, options", [(coroutine_function, {"serialisable": True}), (generator, {}),
                                           (async_generator, {})], ids=["serialisable async", "generator",
                                                                        "async generator"])
def test_what_cannot_be_stored_is_refused_at_decoration(factory, func, options):
    with pytest.raises(TypeError):
        factory(**options)(func)


QUERIES = {
    "get_cached_value": (lambda book: book.get_cached_value("price", n=3), 6),
    "get_cached_value_by_hash": (lambda book: book.get_cached_value_by_hash(hash(key("price", n=3))), 6),
    "get_cached_values": (lambda book: book.get_cached_values()[key("price", n=3)], 6),
    "get_validation_state": (lambda book: book.get_validation_state()[key("price", n=3)], "valid"),
    "update_cached_value": (lambda book: book.update_cached_value("price", 42, n=3), (42, 1)),
    "clear_cache": (lambda book: book.clear_cache(), (6, 2)),
}


@pytest.mark.parametrize("query", QUERIES.values(), ids=QUERIES.keys())
def test_queries_updates_and_clears_treat_an_async_call_like_any_other(book, query):
    ask, expected = query

    async def main():
        await book.price(3)
        answer = ask(book)
        if answer is None:  # an update or a clear: what the next await gives, and how many ran
            answer = await book.price(3), book.runs["price", 3]
        return answer

    assert run(main()) == expected


def test_an_untracked_await_of_a_decorated_call_warns_at_the_line_that_awaited_it():
    book = book_class(lineage_stored)()
    book.fx(), book.rate()  # only the awaited price(2) is left to warn about
    with pytest.warns(RuntimeWarning) as caught:
        run(book.alone())
    # price, computed for the first time, calls fx undeclared too: one warning each.
    called = sorted(re.match(r"\S*\.(\w+) called \S*\.(\w+), which it does not declare", str(w.message)).groups()
                    for w in caught)
    assert called == [("alone", "price"), ("price", "fx")]
    assert [w.filename for w in caught if "alone called" in str(w.message)] == [__file__]


# ---------------------------------------------------------------------------
# anyio on both of its backends, and trio itself

class Quote(LineageStoreBase):
    def __init__(self, event):
        self.gate, self.runs = event(), 0

    @automagically_lineage_stored()
    async def slow(self, n):
        self.runs += 1
        await self.gate.wait()
        return n * 10


def framework(name):
    """run(main), sleep, a task group, the cancel scope, the event and the deadline of `name`."""
    if name == "trio":
        trio = pytest.importorskip("trio")
        return trio.run, trio.sleep, trio.open_nursery, trio.CancelScope, trio.Event, trio.fail_after
    anyio = pytest.importorskip("anyio")
    backend = name.split("-")[1]
    if backend == "trio":
        pytest.importorskip("trio")
    return (lambda main: anyio.run(main, backend=backend), anyio.sleep, anyio.create_task_group,
            anyio.CancelScope, anyio.Event, anyio.fail_after)


@pytest.mark.parametrize("name", ["anyio-asyncio", "anyio-trio", "trio"])
@pytest.mark.parametrize("cancel_first", [False, True], ids=["all wait", "first cancelled"])
def test_concurrent_awaits_in_a_task_group_run_one_computation(name, cancel_first):
    run_main, sleep, task_group, cancel_scope, event, fail_after = framework(name)
    quote, values = Quote(event), []

    async def await_slow(scope):
        with scope:
            values.append(await quote.slow(3))

    async def main():
        with fail_after(10):
            await in_group()

    async def in_group():
        async with task_group() as group:
            scopes = [cancel_scope() for _ in range(20)]
            for scope in scopes:
                group.start_soon(await_slow, scope)
                await sleep(0)  # the first computes, the others wait
            await sleep(0.01)
            if cancel_first:
                scopes[0].cancel()
                await sleep(0.01)
            quote.gate.set()
        values.append(await quote.slow(3))  # served

    run_main(main)
    assert (values, quote.runs) == ([30] * (20 - cancel_first + 1), 1 + cancel_first)


# ---------------------------------------------------------------------------
# Random interleavings of tasks, input changes, values set by hand and clears:
# whatever the store would serve is what recomputing gives now

LEAVES = range(3)


class Net(LineageStoreBase):
    def __init__(self):
        self.inputs = dict.fromkeys(LEAVES, 1)

    @lineage_stored()
    def leaf(self, i):
        return self.inputs[i]

    @automagically_lineage_stored()
    async def mid(self, i):
        first = self.leaf(i)
        await asyncio.sleep(0)
        return first * 10 + self.leaf((i + 1) % 3)

    @automagically_lineage_stored()
    async def top(self, i):
        first = await self.mid(i)
        await asyncio.sleep(0)
        return first * 2 + self.leaf(0)

    @automagically_lineage_stored()
    async def far(self, i):
        """Reads in a worker thread and in a greenlet given copies of its
        context, and leaves a task reading behind."""
        first = await asyncio.to_thread(self.leaf, i)
        await asyncio.sleep(0)
        second = in_greenlet(self.leaf, (i + 2) % 3)
        asyncio.create_task(self.stray((i + 1) % 3))
        return first * 100 + second

    async def stray(self, i):
        await asyncio.sleep(0)
        return self.leaf(i)


def in_greenlet(function, *arguments):
    try:
        import greenlet
    except ImportError:
        return function(*arguments)
    if "libasan" in os.environ.get("LD_PRELOAD", ""):  # greenlet's stack copies upset AddressSanitizer
        return function(*arguments)
    worker = greenlet.greenlet(lambda: function(*arguments))
    worker.gr_context = contextvars.copy_context()
    return worker.switch()


class Model:
    """Computed from the inputs, except where a value set by hand stands: until
    a clear, or a change of something the call is computed from. Values are set
    by hand only between computations, on calls made before, so every such call
    has read all it is computed from."""

    PARENTS = {"leaf": lambda i: [], "mid": lambda i: [("leaf", i), ("leaf", (i + 1) % 3)],
               "top": lambda i: [("mid", i), ("leaf", 0)], "far": lambda i: [("leaf", i), ("leaf", (i + 2) % 3)]}
    FACTORS = {"mid": 10, "top": 2, "far": 100}

    def __init__(self):
        self.inputs, self.by_hand = dict.fromkeys(LEAVES, 1), {}

    def value(self, call):
        if call in self.by_hand:
            return self.by_hand[call]
        method, i = call
        if method == "leaf":
            return self.inputs[i]
        parents = [self.value(parent) for parent in self.PARENTS[method](i)]
        return parents[0] * self.FACTORS[method] + parents[1]

    def depends_on(self, call, changed):
        return any(parent == changed or self.depends_on(parent, changed) for parent in self.PARENTS[call[0]](call[1]))

    def update(self, call, value):
        self.by_hand = {other: v for other, v in self.by_hand.items() if not self.depends_on(other, call)}
        if call[0] == "leaf":
            self.inputs[call[1]] = value
        else:
            self.by_hand[call] = value


def modelled(shown):
    method, ((_, i),) = shown
    return method, i


async_calls = st.tuples(st.sampled_from(["mid", "top", "far"]), st.sampled_from(LEAVES))
steps = st.one_of(st.tuples(st.just("await"), async_calls), st.just(("step",)), st.just(("step",)),
                  st.tuples(st.just("input"), st.sampled_from(LEAVES), st.integers(-9, 9)),
                  st.tuples(st.just("set"), async_calls, st.integers(-99, 99)), st.just(("clear",)))


@settings(max_examples=300, deadline=None)
@given(st.lists(steps, max_size=40))
def test_interleaved_tasks_updates_and_clears_never_serve_a_stale_value(script):
    net, model = Net(), Model()
    # A task's result is checked when no input changed and no clear happened
    # while any task ran: a task may join another's computation.
    pending, overlapped = [], False

    def harvest():
        nonlocal overlapped
        for task, call in [entry for entry in pending if entry[0].done()]:
            pending.remove((task, call))
            if not overlapped:
                assert task.result() == model.value(call), call
        overlapped = overlapped and bool(pending)

    def check_store():
        states, values = net.get_validation_state(), net.get_cached_values()
        for shown, state in states.items():
            if state == "valid" and shown in values:
                assert values[shown] == model.value(modelled(shown)), shown

    async def main():
        nonlocal overlapped
        for operation, *arguments in script:
            if operation == "await":
                call = tuple(arguments[0])
                pending.append((asyncio.create_task(getattr(net, call[0])(call[1])), call))
            elif operation == "step":
                await asyncio.sleep(0)
            elif operation == "input":
                i, value = arguments
                net.inputs[i] = value
                net.update_cached_value("leaf", value, i=i)
                model.update(("leaf", i), value)
                overlapped = overlapped or bool(pending)
            elif operation == "set":
                (method, i), value = arguments
                await asyncio.gather(*(task for task, _ in pending))
                harvest()
                if key(method, i=i) in net.get_validation_state():
                    net.update_cached_value(method, value, i=i)
                    model.update((method, i), value)
            else:
                net.clear_cache()
                model.by_hand.clear()
                overlapped = overlapped or bool(pending)
            harvest()
            check_store()
        await asyncio.gather(*(task for task, _ in pending))
        harvest()
        check_store()
        for method in ("mid", "top", "far"):
            for i in LEAVES:
                assert await getattr(net, method)(i) == model.value((method, i))

    run(main())
