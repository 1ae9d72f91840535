"""Greenlets of one thread share its C stack's addresses and switch inside
computations: each computation still stores its own result, and counts only
the calls made in its own greenlet."""

import contextvars
import os

import pytest
from conftest import edges, import_greenlet, key, run_in_child

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


class Runner:
    """Runs calls in greenlets of their own, which switch out wherever the
    calls pause, until every one has ended: round-robin, in the order they
    were started."""

    def __init__(self, kind):
        self.kind = kind
        if kind.startswith("gevent"):
            self.gevent = pytest.importorskip("gevent")
        else:
            self.greenlet = import_greenlet()

    def pause(self):
        if self.kind.startswith("gevent"):
            self.gevent.sleep(0)
        else:
            self.main.switch()

    def run(self, *calls):
        if self.kind.startswith("gevent"):
            if self.kind.endswith("context made"):
                calls = [lambda call=call: made_context_then(call) for call in calls]
            spawned = [self.gevent.spawn(call) for call in calls]
            self.gevent.joinall(spawned, raise_error=True)
            return [g.value for g in spawned]
        self.main = self.greenlet.getcurrent()
        started = [self.greenlet.greenlet(call) for call in calls]
        if self.kind == "greenlet, copied contexts":
            for g in started:
                g.gr_context = contextvars.copy_context()
        results = [None] * len(calls)
        while not all(g.dead for g in started):
            for i, g in enumerate(started):
                if not g.dead:
                    value = g.switch()
                    if g.dead:
                        results[i] = value
        return results


def made_context_then(call):
    """Calls `call` once the greenlet has made its context, as one that has used
    any context variable has."""
    contextvars.copy_context()
    return call()


RUNNERS = ["greenlet", "greenlet, copied contexts", "gevent", "gevent, context made"]


class Prices(LineageStoreBase):
    """Each call pauses as often as `pauses` says for it, the first time."""

    def __init__(self, runner, pauses):
        self.runner, self.pauses, self.runs = runner, pauses, 0

    def paused(self, call):
        for _ in range(self.pauses.pop(call, 0)):
            self.runner.pause()

    @lineage_stored()
    def f(self, i):
        self.runs += 1
        self.paused(f"f({i})")
        return 10 * i

    @lineage_stored()
    def a(self):
        self.runs += 1
        self.paused("a")
        return "a"

    @lineage_stored()
    def b(self):
        self.runs += 1
        self.paused("b")
        return "b"

    @lineage_stored()
    def c(self):
        return "c" + self.a()

    @automagically_lineage_stored()
    def t(self):
        return self.f(1)

    def call(self, name):
        return {"f(1)": lambda: self.f(1), "f(2)": lambda: self.f(2), "a": self.a, "b": self.b}[name]


VALUES = {"f(1)": 10, "f(2)": 20, "a": "a", "b": "b"}


@pytest.mark.parametrize("runner", RUNNERS)
@pytest.mark.parametrize("calls", [("f(1)", "f(2)"), ("a", "b")], ids=["f(1) and f(2)", "a and b"])
def test_plain_computations_switched_inside_end_in_the_order_begun_with_their_own_results(runner, calls):
    runner = Runner(runner)
    p = Prices(runner, dict.fromkeys(calls, 1))
    expected = [VALUES[name] for name in calls]
    assert runner.run(*map(p.call, calls)) == expected
    assert ([p.call(name)() for name in calls], p.runs) == (expected, 2)  # served, each its own


@pytest.mark.parametrize("runner", RUNNERS)
def test_a_tracking_computation_records_a_call_in_progress_in_another_greenlet(runner):
    runner = Runner(runner)
    p = Prices(runner, {"f(1)": 1})
    assert runner.run(p.call("f(1)"), p.t) == [10, 10]  # t ran while f(1) was paused
    assert edges(p) == {key("f", i=1): {"t"}}
    p.update_cached_value("f", 99, i=1)
    assert p.t() == 99


@pytest.mark.parametrize("runner", RUNNERS)
def test_a_call_in_progress_in_another_greenlet_is_not_taken_for_one_made_inside(runner):
    runner = Runner(runner)
    p = type("Prices", (Prices,), {})(runner, {"a": 1})  # a class of its own: warned about once
    with pytest.warns(RuntimeWarning, match="Prices.c called Prices.a, which it does not declare"):
        assert runner.run(p.a, p.c) == ["a", "ca"]  # c ran while a was paused


@pytest.mark.parametrize("runner", RUNNERS)
def test_an_instance_freed_while_another_greenlet_computes_leaves_nothing_behind(runner):
    # Each round's first instance goes with its call, and others may take its
    # place, while the second's computation, begun after it, still runs.
    Runner(runner)  # skips where the runner is missing
    run_in_child(f"""
        import gc, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_greenlets import Prices, Runner

        runner = Runner({runner!r})
        for round in range(50):
            first, second = [Prices(runner, {{"f(1)": 1}})], Prices(runner, {{"f(2)": 2}})

            def first_call():
                value = first.pop().f(1)
                gc.collect()
                fresh = [Prices(runner, {{}}) for _ in range(20)]
                return value

            assert runner.run(first_call, second.call("f(2)")) == [10, 20]
            assert (second.f(2), second.runs) == (20, 1)
        print("done")
    """)


def test_where_the_thread_context_cannot_be_found_every_computation_sets_a_frame():
    # Given contexts that enter nothing, the probe at import cannot find where
    # a thread keeps its context. Then a plain computation sets a frame too,
    # which a copy of its context sees: its undeclared call is warned about.
    import_greenlet()
    out = run_in_child(f"""
        import contextvars, importlib.util, sys, types, warnings

        class Context:
            def run(self, function, *args):
                return function(*args)

        sys.modules["contextvars"] = types.SimpleNamespace(Context=Context)
        from lineage_store import LineageStoreBase, lineage_stored
        sys.modules["contextvars"] = contextvars
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import test_greenlets as t

        class Copies(LineageStoreBase):
            @lineage_stored()
            def q(self):
                return 1

            @lineage_stored()
            def u(self):
                return contextvars.copy_context().run(self.q)

        contextvars.copy_context()  # the thread's context is made: u could set no frame
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert Copies().u() == 1
        print(len(caught), caught and caught[0].message)
        kinds = [kind for kind in t.RUNNERS if kind.startswith("greenlet") or importlib.util.find_spec("gevent")]
        for kind in kinds:
            t.test_a_tracking_computation_records_a_call_in_progress_in_another_greenlet(kind)
            for calls in [("f(1)", "f(2)"), ("a", "b")]:
                t.test_plain_computations_switched_inside_end_in_the_order_begun_with_their_own_results(kind, calls)
        print("done")
    """)
    assert out.startswith("1 Copies.u called Copies.q") and out.endswith("done\n")
