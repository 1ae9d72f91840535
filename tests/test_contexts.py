"""Computations in progress belong to the execution context that runs them:
each thread, asyncio task and greenlet records its calls against its own."""

import asyncio
import contextvars
import gc
import threading
import tracemalloc
import types
import warnings
import weakref
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import Rates, edges, import_greenlet, key, result_of, run, run_in_child
from hypothesis import given, settings, strategies as st

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Desk(LineageStoreBase):
    def __init__(self):
        self.gate = threading.Barrier(2, timeout=5)
        self.runs = 0

    @lineage_stored()
    def fx(self):
        return 2

    @lineage_stored()
    def rate(self):
        return 3

    @automagically_lineage_stored()
    def sync_rate(self):
        return self.rate()

    @automagically_lineage_stored()
    async def a(self):
        first = self.fx()
        await asyncio.sleep(0)
        return first + await self.sub_fx()

    @automagically_lineage_stored()
    async def b(self):
        await asyncio.sleep(0)
        first = self.rate()
        await asyncio.sleep(0)
        return first + self.sync_rate()

    @automagically_lineage_stored()
    async def sub_fx(self):
        await asyncio.sleep(0)
        return self.fx()

    @automagically_lineage_stored()
    async def outer(self):
        return sum(await asyncio.gather(self.a(), self.b()))

    @automagically_lineage_stored()
    async def parent(self, child_does):
        """Makes a task of child_does(self) and reads fx itself."""
        return await asyncio.create_task(child_does(self)) + self.fx()

    @automagically_lineage_stored()
    async def in_thread(self, work):
        return await asyncio.to_thread(work, self)

    @automagically_lineage_stored()
    async def barrier(self):
        self.runs += 1
        self.gate.wait()  # both threads' loops are inside this call's computation at once
        await asyncio.sleep(0)
        return self.rate()


A_AND_B = {"fx": {"a", "sub_fx"}, "sub_fx": {"a"}, "rate": {"b", "sync_rate"}, "sync_rate": {"b"}}


@pytest.mark.parametrize("awaited, expected", [
    (lambda desk: asyncio.gather(desk.a(), desk.b()), A_AND_B),
    (lambda desk: asyncio.gather(desk.b(), desk.a()), A_AND_B),
    (lambda desk: desk.outer(), {**A_AND_B, "a": {"outer"}, "b": {"outer"}}),
], ids=["a and b", "b and a", "a and b inside outer"])
def test_tasks_interleaving_their_computations_record_only_their_own_calls(awaited, expected):
    desk = Desk()

    async def main():
        return await awaited(desk)

    run(main())
    assert edges(desk) == expected


async def calls_rate(desk):
    return desk.rate()


async def awaits_sub(desk):
    return await desk.sub_fx()


async def computes_after_reading(desk):
    return desk.rate() + await desk.b()


def parent_key(child_does):
    return ("parent", (("child_does", child_does),))


@pytest.mark.parametrize("child_does, expected", [
    (calls_rate, lambda p: {"fx": {p}, "rate": {p}}),
    (awaits_sub, lambda p: {"fx": {p, "sub_fx"}, "sub_fx": {p}}),
    (computes_after_reading, lambda p: {"fx": {p}, "rate": {p, "b", "sync_rate"}, "sync_rate": {"b"}, "b": {p}}),
], ids=["calls rate", "awaits sub_fx", "reads rate, then computes b"])
def test_a_task_made_inside_a_computation_counts_as_its_creator_until_it_computes(child_does, expected):
    desk = Desk()
    run(desk.parent(child_does))
    assert edges(desk) == expected(parent_key(child_does))


@pytest.mark.parametrize("work, expected", [
    (lambda desk: desk.rate(), lambda t: {"rate": {t}}),
    (lambda desk: desk.sync_rate(), lambda t: {"rate": {"sync_rate"}, "sync_rate": {t}}),
], ids=["a plain call", "a computation"])
def test_a_worker_thread_given_the_context_of_a_computation_counts_as_it(work, expected):
    desk = Desk()
    run(desk.in_thread(work))
    assert edges(desk) == expected(("in_thread", (("work", work),)))


def test_event_loops_in_two_threads_share_no_computation():
    desk, values = Desk(), []
    threads = [threading.Thread(target=lambda: values.append(run(desk.barrier()))) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert (values, desk.runs) == ([3, 3], 2)


# ---------------------------------------------------------------------------
# Copies of a context: each sees the computations of the moment it was copied


class Worked(LineageStoreBase):
    """`a` reads q in a worker given a copy of its context while, in its own
    thread, the untracked `u` runs until the worker has read it."""

    def __init__(self):
        self.value, self.in_u, self.read = 1, threading.Event(), threading.Event()

    @lineage_stored()
    def q(self):
        return self.value

    @lineage_stored()
    def u(self):
        self.in_u.set()
        assert self.read.wait(5)
        return 0

    def worker(self):
        assert self.in_u.wait(5)
        value = self.q()
        self.read.set()
        return value

    @automagically_lineage_stored()
    async def a_to_thread(self):
        async def untracked():
            return self.u()

        value, _ = await asyncio.gather(asyncio.to_thread(self.worker), untracked())
        return value

    @automagically_lineage_stored()
    def a_copy_context(self):
        with ThreadPoolExecutor(1) as pool:
            future = pool.submit(contextvars.copy_context().run, self.worker)
            self.u()
            return future.result(5)


@pytest.mark.parametrize("computation", ["a_to_thread", "a_copy_context"])
def test_a_worker_given_a_copy_counts_for_the_computation_current_when_it_was_copied(computation):
    def value(obj):
        return result_of(getattr(obj, computation)())

    obj = Worked()
    assert value(obj) == 1
    obj.value = 2  # u is served now: the worker need not wait for it
    obj.update_cached_value("q", 2)
    assert (value(obj), edges(obj)["q"]) == (2, {computation})


@pytest.mark.parametrize("copied_contexts", [False, True], ids=["own contexts", "copies of one context"])
def test_computations_interleaved_by_greenlets_record_only_their_own_calls(copied_contexts):
    greenlet = import_greenlet()
    g_a, g_b = greenlet.greenlet(), greenlet.greenlet()  # a switches to b inside its computation, b back to a

    class Prices(Rates):
        def __init__(self):
            self.inputs = {"fx": 1, "rate": 2}

        @automagically_lineage_stored()
        def a(self):
            g_b.switch()
            return 10 * self.fx()

        @automagically_lineage_stored()
        def b(self):
            g_a.switch()
            return 100 * self.rate()

    p = Prices()
    p.rate()  # a computation in the main context first
    g_a.run, g_b.run = p.a, p.b
    if copied_contexts:
        g_a.gr_context, g_b.gr_context = contextvars.copy_context(), contextvars.copy_context()
    g_a.switch()
    if not g_b.dead:
        g_b.switch()
    p.inputs["fx"] = 2
    p.update_cached_value("fx", 2)
    assert (p.a(), edges(p)) == (20, {"fx": {"a"}, "rate": {"b"}})


def test_greenlets_ending_their_computations_out_of_order_leave_nothing_behind():
    # Each greenlet's computation is left for the other's to end first; then
    # new instances, which may land where those were, are used from the main
    # context while one of them computes in a greenlet of its own. Every
    # round's graphs hold the edges of its own computations and no other,
    # and every call made is stored.
    import_greenlet()
    printed = run_in_child("""
        import contextvars, gc, greenlet, warnings
        from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

        warnings.simplefilter("ignore", RuntimeWarning)  # flat's undeclared calls

        class Store(LineageStoreBase):
            @lineage_stored()
            def leaf(self, i):
                return i

            @automagically_lineage_stored()
            def top(self, other):
                other.switch()
                return self.leaf(0)

            @lineage_stored()
            def flat(self, other):
                other.switch()
                return self.leaf(0)

        def edges(store):
            return {call: children for call, children in store.get_dependency_graph().items() if children}

        def edge_to_top(other):
            return {("leaf", (("i", 0),)): {("top", (("other", other),))}}

        main = greenlet.getcurrent()
        wrong = []
        for round in range(200):
            big, small = Store(), Store()
            for i in range(round % 50):
                big.leaf(i)
            method = "top" if round % 2 else "flat"
            g_small, g_big = greenlet.greenlet(), greenlet.greenlet()
            g_small.run = lambda: getattr(small, method)(g_big)
            g_big.run = lambda: getattr(big, method)(g_small)
            g_small.gr_context, g_big.gr_context = contextvars.copy_context(), contextvars.copy_context()
            g_small.switch()  # small's computation starts first and ends first
            g_big.switch()
            expected = (edge_to_top(g_small), edge_to_top(g_big)) if method == "top" else ({}, {})
            if (edges(big), edges(small)) != expected:
                wrong.append(("interleaved", round))
            del big, small, g_small, g_big
            gc.collect()
            for store in [Store() for _ in range(4)]:
                g = greenlet.greenlet(lambda: store.top(main))
                g.switch()
                store.leaf(1), store.leaf(2)
                g.switch()
                states = store.get_validation_state()
                if edges(store) != edge_to_top(main) or set(states.values()) != {"valid"} or len(states) != 4:
                    wrong.append(("fresh", round))
        print(wrong)
    """, timeout=120)
    assert printed == "[]\n"


# ---------------------------------------------------------------------------
# What outlives a computation, and what many computations leave behind


@pytest.mark.parametrize("factory", [automagically_lineage_stored, lineage_stored], ids=["tracking", "not tracking"])
def test_a_task_that_outlives_the_computation_that_made_it_counts_for_nothing(factory):
    class Spawns(LineageStoreBase):
        def __init__(self):
            self.value, self.runs, self.tasks = 1, [], []

        @lineage_stored()
        def q(self):
            return self.value

        @factory()
        async def a(self):
            self.runs.append("a")
            self.tasks.append(asyncio.create_task(self.later()))
            return 1

        async def later(self):
            await asyncio.sleep(0)  # `a` has ended by now
            return [self.q(), await self.a(), await self.a()]

        @lineage_stored()
        async def waits(self):  # a computation in progress meanwhile, in another context
            return await self.tasks[0]

    async def main():
        obj = Spawns()
        first = await obj.a()
        later = await obj.waits()
        obj.update_cached_value("q", 2)
        return first, later, await obj.a(), obj.runs

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert run(main()) == (1, [1, 1, 1], 1, ["a"])


def test_a_task_left_by_an_ended_computation_counts_for_the_computation_awaiting_it():
    class Spawns(LineageStoreBase):
        def __init__(self):
            self.tasks = []

        @lineage_stored()
        def q(self):
            return 1

        @automagically_lineage_stored()
        async def spawn(self):
            self.tasks.append(asyncio.create_task(self.later()))
            return 0

        async def later(self):
            await asyncio.sleep(0)  # `spawn` has ended by now
            return self.q()

        @automagically_lineage_stored()
        async def outer(self):
            await self.spawn()
            return await self.tasks[-1]

    obj = Spawns()
    assert (run(obj.outer()), edges(obj)) == (1, {"q": {"outer"}, "spawn": {"outer"}})


def test_workers_given_copies_of_one_computation_compute_at_once_and_are_recorded_apart():
    class Slow(LineageStoreBase):
        def __init__(self):
            self.both = threading.Barrier(2, timeout=5)

        @lineage_stored()
        def leaf(self, i):
            return i

        @automagically_lineage_stored()
        def slow(self, i):
            self.both.wait()  # both workers are inside their computations at once
            return 10 * self.leaf(i)

        @automagically_lineage_stored()
        def total(self):
            with ThreadPoolExecutor(2) as pool:
                futures = [pool.submit(contextvars.copy_context().run, self.slow, i) for i in (1, 2)]
                return sum(future.result(5) for future in futures)

    obj = Slow()
    assert obj.total() == 30
    slow = lambda i: ("slow", (("i", i),))  # noqa: E731
    leaf = lambda i: ("leaf", (("i", i),))  # noqa: E731
    assert edges(obj) == {leaf(1): {slow(1)}, leaf(2): {slow(2)}, slow(1): {"total"}, slow(2): {"total"}}
    assert (obj.slow(1), obj.slow(2), obj.total()) == (10, 20, 30)  # served: the barrier is not met again


def test_many_nested_computations_leave_nothing_behind():
    class Nested(LineageStoreBase):
        @lineage_stored()
        def leaf(self):
            return 1

        @automagically_lineage_stored()
        def middle(self):
            return self.leaf() + 1

        @automagically_lineage_stored()
        def top(self):
            return self.middle() + 1

    obj = Nested()

    def recompute(times):
        for value in range(times):
            obj.update_cached_value("leaf", value)
            assert obj.top() == value + 2

    recompute(100)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        recompute(5000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000


def test_an_awaited_computation_reads_a_call_set_by_hand_after_it_was_computed():
    class Sums(LineageStoreBase):
        @automagically_lineage_stored()
        async def part(self, x):
            return x

        @automagically_lineage_stored()
        async def total(self):
            return await self.part(1) + 1

    async def main():
        obj = Sums()
        values = [await obj.part(1), await obj.total()]
        obj.update_cached_value("part", 50, x=1)
        return values + [await obj.total()]

    assert run(main()) == [1, 2, 51]


class Recalls(LineageStoreBase):
    """total() has a task or a worker given a copy of its context make the
    very same call while it is computed."""

    def __init__(self):
        self.runs = 0

    @automagically_lineage_stored()
    def in_worker(self):
        self.runs += 1
        if self.runs > 1:
            return 1
        with ThreadPoolExecutor(1) as pool:
            return 10 * pool.submit(contextvars.copy_context().run, self.in_worker).result(5)

    @automagically_lineage_stored()
    async def in_task(self):
        self.runs += 1
        if self.runs > 1:
            return 1
        return 10 * await asyncio.create_task(self.in_task())


@pytest.mark.parametrize("method", ["in_worker", "in_task"])
def test_the_same_call_made_by_a_copy_while_it_is_computed_runs_as_part_of_it(method):
    obj = Recalls()
    assert (result_of(getattr(obj, method)()), obj.runs, edges(obj)) == (10, 2, {})
    assert obj.get_cached_values() == {method: 10}


def test_a_copy_made_inside_a_plain_computation_begun_outside_any_counts_for_none(request):
    # Such a computation sets no frame: no call made through it could
    # record anything. A copy of the context made meanwhile does not see it.
    # Built without the shortcut that finds the context, every computation
    # sets a frame, which the copy sees.
    class Plain(LineageStoreBase):
        @lineage_stored()
        def q(self):
            return 1

        @lineage_stored()
        def u(self):
            return 10 + contextvars.copy_context().run(self.q)  # not warned about: not seen as u's

    contextvars.copy_context()  # this thread's context is made
    obj = Plain()
    with warnings.catch_warnings(record=True) as issued:
        warnings.simplefilter("always")
        assert (obj.u(), obj.get_cached_values()) == (11, {"q": 1, "u": 11})
    seen = request.config.getoption("--built-without-shortcuts")
    assert [str(warning.message).split(" called ")[0].rsplit(".", 2)[-2:] for warning in issued] == (
        [["Plain", "u"]] if seen else [])


def test_a_copy_that_alone_holds_a_long_chain_of_ended_computations_releases_it():
    printed = run_in_child("""
        import contextvars, gc
        from lineage_store import LineageStoreBase, automagically_lineage_stored

        class Links(LineageStoreBase):
            @automagically_lineage_stored(use_cache=False)
            def link(self, i):
                return contextvars.copy_context()  # sees this computation, and those it was copied from

        def frames():
            return sum(type(o).__name__ == "ComputationFrame" for o in gc.get_objects())

        obj, context = Links(), contextvars.copy_context()
        for i in range(200_000):
            context = context.run(obj.link, i)
        held = frames()
        del context
        print(held, frames())
    """)
    assert printed == "200000 0\n"


@pytest.mark.parametrize("nested", [False, True], ids=["awaited by the task", "awaited in another computation"])
def test_an_instance_only_a_cycle_through_its_pending_computation_keeps_is_collected(nested):
    class Waits(LineageStoreBase):
        @lineage_stored()
        async def pending(self):
            self.future = asyncio.get_running_loop().create_future()
            return await self.future

        @automagically_lineage_stored()
        async def outer(self):
            return await self.pending()

    loop = asyncio.new_event_loop()
    instances = [Waits() for _ in range(3)]
    for obj in instances:
        task = loop.create_task(obj.outer() if nested else obj.pending())
        task._log_destroy_pending = False  # it is left pending on purpose
    loop.run_until_complete(asyncio.sleep(0))
    loop.close()
    alive = [weakref.ref(obj) for obj in instances]
    del instances, obj, task, loop
    for _ in range(3):
        gc.collect()
    assert [ref() for ref in alive] == [None] * 3


@types.coroutine
def yield_once():
    yield


def drive(*coroutines):
    """Runs coroutines by hand, one step of each in turn, in this context; their results."""
    results, running = {}, dict(enumerate(coroutines))
    while running:
        for i, coroutine in list(running.items()):
            try:
                coroutine.send(None)
            except StopIteration as stop:
                results[i] = stop.value
                del running[i]
    return [results[i] for i in range(len(coroutines))]


def test_computations_driven_by_hand_in_one_context_record_only_their_own_calls():
    class Hand(LineageStoreBase):
        def __init__(self):
            self.inputs = {"x": 1, "y": 2}

        @lineage_stored()
        def x(self):
            return self.inputs["x"]

        @lineage_stored()
        def y(self):
            return self.inputs["y"]

        @automagically_lineage_stored()
        async def a(self):
            await yield_once()
            return self.x()

        @automagically_lineage_stored()
        async def b(self):
            await yield_once()
            await yield_once()
            return 10 * self.y()

        @automagically_lineage_stored()
        async def thrown_into(self):
            try:
                await yield_once()
            except LookupError:
                return 100 * self.x()

        @automagically_lineage_stored()
        async def closed(self):
            try:
                await yield_once()
            finally:
                self.y()  # on its way out, still its own call

    obj = Hand()
    thrown_into, closed = obj.thrown_into(), obj.closed()
    thrown_into.send(None), closed.send(None)
    assert drive(obj.a(), obj.b()) == [1, 20]  # a ends first
    with pytest.raises(StopIteration) as stop:
        thrown_into.throw(LookupError)
    closed.close()
    assert (stop.value.value, edges(obj)) == (100, {"x": {"a", "thrown_into"}, "y": {"b", "closed"}})
    obj.update_cached_value("y", 3)
    assert drive(obj.b()) == [30]


# ---------------------------------------------------------------------------
# Random schedules of greenlets switching inside computations, and of
# computations driven by hand in one context: each result is its own call's,
# and each computation records the calls it made, and only those

WEB_LEAVES = range(4)


class Web(LineageStoreBase):
    def __init__(self, pause):
        self.inputs, self.pause = {i: 10**i for i in WEB_LEAVES}, pause

    @lineage_stored()
    def leaf(self, i):
        self.pause()
        return self.inputs[i]

    @automagically_lineage_stored()
    def pair(self, i):
        first = self.leaf(i)
        self.pause()
        return first + 2 * self.leaf((i + 1) % 4)

    @automagically_lineage_stored()
    async def apair(self, i):
        first = self.leaf(i)
        await yield_once()
        return first + 3 * self.leaf((i + 2) % 4)


WEB_PARENTS = {"leaf": lambda i: [], "pair": lambda i: [(i, 1), ((i + 1) % 4, 2)],
               "apair": lambda i: [(i, 1), ((i + 2) % 4, 3)]}


def web_value(inputs, method, i):
    return inputs[i] if method == "leaf" else sum(inputs[j] * factor for j, factor in WEB_PARENTS[method](i))


# A greenlet of its own (with its own context, or a copy of this one), or a
# coroutine driven by hand in this context.
web_workers = st.one_of(st.tuples(st.sampled_from(["greenlet", "copied"]), st.sampled_from(["leaf", "pair"]),
                                  st.sampled_from(WEB_LEAVES)),
                        st.tuples(st.just("by hand"), st.just("apair"), st.sampled_from(WEB_LEAVES)))


@settings(max_examples=150, deadline=None)
@given(st.lists(web_workers, min_size=1, max_size=5), st.lists(st.integers(0, 4), max_size=20),
       st.sampled_from(WEB_LEAVES))
def test_random_schedules_of_greenlets_and_computations_by_hand_keep_each_call_its_own(workers, schedule, changed):
    greenlet = import_greenlet()
    main = greenlet.getcurrent()
    web = Web(lambda: greenlet.getcurrent() is main or main.switch())
    running, results = {}, {}
    for n, (kind, method, i) in enumerate(workers):
        if kind == "by hand":
            running[n] = web.apair(i)
        else:
            running[n] = greenlet.greenlet(lambda method=method, i=i: getattr(web, method)(i))
            if kind == "copied":
                running[n].gr_context = contextvars.copy_context()

    def step(n):
        worker = running[n]
        if isinstance(worker, greenlet.greenlet):
            value = worker.switch()
            if worker.dead:
                results[n] = value
                del running[n]
            return
        try:
            worker.send(None)
        except StopIteration as stop:
            results[n] = stop.value
            del running[n]

    for n in schedule:
        if n in running:
            step(n)
    while running:
        step(next(iter(running)))

    inputs = dict(web.inputs)
    assert results == {n: web_value(inputs, method, i) for n, (_, method, i) in enumerate(workers)}
    expected_edges = {}
    for _, method, i in workers:
        for j, _ in WEB_PARENTS[method](i):
            expected_edges.setdefault(key("leaf", i=j), set()).add(key(method, i=i))
    assert edges(web) == expected_edges
    inputs[changed] = web.inputs[changed] = -7
    web.update_cached_value("leaf", -7, i=changed)
    for _, method, i in workers:
        value = getattr(web, method)(i)
        assert (drive(value)[0] if method == "apair" else value) == web_value(inputs, method, i), (method, i)
