"""Computations in progress belong to the execution context that runs them:
each thread, asyncio task and greenlet records its calls against its own."""

import asyncio
import os
import threading

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


def run(coroutine, timeout=10):
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def edges(obj):
    return {call: children for call, children in obj.get_dependency_graph().items() if children}


def test_computations_interleaved_by_greenlets_record_only_their_own_calls():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("greenlet copies live stack memory when it switches, which AddressSanitizer reports")
    greenlet = pytest.importorskip("greenlet")

    class Prices(LineageStoreBase):
        @lineage_stored()
        def fx(self):
            return 1.0

        @lineage_stored()
        def rate(self):
            return 0.5

        @automagically_lineage_stored()
        def a(self):
            g_b.switch()
            return 10 * self.fx()

        @automagically_lineage_stored()
        def b(self):
            g_a.switch()
            return 100 * self.rate()

    p = Prices()
    g_a, g_b = greenlet.greenlet(lambda: p.a()), greenlet.greenlet(lambda: p.b())
    g_a.switch()
    if not g_b.dead:
        g_b.switch()
    p.a(), p.b()
    graph = edges(p)
    p.update_cached_value("rate", 0.9)
    assert (p.b(), graph) == (100 * p.rate(), {"fx": {"a"}, "rate": {"b"}})


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
