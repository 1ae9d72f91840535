"""Awaited computations always end: per event loop, whichever thread runs it,
whatever exception arrives where, and with nothing left behind."""

import asyncio
import gc
import sys
import warnings

import pytest

from conftest import run, run_in_child, run_python
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


async def price(self):
    await asyncio.sleep(0)
    return self.rate() * 2


class Book(LineageStoreBase):
    def __init__(self):
        self.inputs = {"rate": 1}

    @lineage_stored()
    def rate(self):
        return self.inputs["rate"]

    price = automagically_lineage_stored()(price)


def test_loops_in_two_threads_computing_one_call_never_wait_on_an_ended_computation():
    result = run_python("""
        import asyncio, sys, threading, time
        from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

        class Book(LineageStoreBase):
            @lineage_stored()
            def rate(self):
                return 1

            @automagically_lineage_stored()
            async def price(self):
                await asyncio.sleep(0)
                return self.rate() * 2

        def hand_over(frame, event, arg):
            # The other thread takes the interpreter lock at every step of the
            # driver's frames: what they do between two steps must not matter.
            if frame.f_code.co_filename.startswith("<lineage_store"):
                frame.f_trace_opcodes = True
                time.sleep(0)
                return hand_over
            return None

        book, failures = Book(), []

        def worker():
            async def rounds():
                for i in range(500):
                    book.update_cached_value("rate", 1)  # both threads' loops compute again
                    await asyncio.wait_for(book.price(), 10)
            sys.settrace(hand_over)
            try:
                asyncio.run(rounds())
            except BaseException as error:
                failures.append(repr(error))

        threads = [threading.Thread(target=worker) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures, failures
    """, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]


class Boom(Exception):
    pass


# Every event but on a debug build, whose interpreter asserts that an
# exception met where a coroutine suspends or resumes came from throw(): lines
# and calls there.
RAISING_EVENTS = {"call", "line"} if hasattr(sys, "gettotalrefcount") else {"call", "line", "return", "opcode"}


def raising_hook(at, method_code, seen):
    """A trace hook that raises Boom at the `at`-th event of the driver's frames
    or the method's."""
    def hook(frame, event, arg):
        if frame.f_code.co_filename.startswith("<lineage_store") or frame.f_code is method_code:
            frame.f_trace_opcodes = "opcode" in RAISING_EVENTS
            if event in RAISING_EVENTS:
                seen[0] += 1
                if seen[0] == at:
                    raise Boom
        return hook
    return hook


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")  # made, then the hook raised
@pytest.mark.parametrize("awaited", ["miss", "hit"])
def test_an_exception_raised_by_a_trace_hook_anywhere_leaves_no_await_waiting(awaited):
    book, loop = Book(), asyncio.new_event_loop()

    async def traced(hook):
        sys.settrace(hook)
        try:
            return await book.price()
        finally:
            sys.settrace(None)

    try:
        at = 0
        while True:
            at += 1
            if awaited == "hit":
                loop.run_until_complete(book.price())
            else:
                book.update_cached_value("rate", book.inputs["rate"])  # price computes again
            seen = [0]
            try:
                loop.run_until_complete(traced(raising_hook(at, price.__code__, seen)))
            except Boom:
                pass
            book.inputs["rate"] = at
            book.update_cached_value("rate", at)
            assert loop.run_until_complete(asyncio.wait_for(book.price(), 5)) == 2 * at, at
            if seen[0] < at:
                break
        assert at > 3  # the hook met the driver's frames
    finally:
        sys.settrace(None)
        loop.close()


# A computing task and two waiting for it; `interrupt` raises in the first
# step of waking a waiter that runs Python code once `Waiting.armed` is set
# (the computing method sets it as it returns). With `through` "send", the
# method returns and its task wakes the waiters; with "finaliser", its
# coroutine is dropped unfinished and they are woken, from the finaliser, to
# look again (the first computes); with "task end", the task that began the
# computation ends without driving it on, and they are woken from the watch
# of that task's end. The loop refuses to schedule the wake-up
# of the second waiter (`refused`, set in its context) when `source` says so.
WAKE_UP = """
    import asyncio, contextvars, sys
    from asyncio import base_events, futures
    from lineage_store import LineageStoreBase, automagically_lineage_stored

    unraisable, refused = [], contextvars.ContextVar("refused", default=False)
    sys.unraisablehook = unraisable.append

    class Waiting(LineageStoreBase):
        armed, arming = False, "{through}" == "send"

        @automagically_lineage_stored()
        async def slow(self):
            await self.gate.wait()
            Waiting.armed, Waiting.arming = Waiting.arming, False
            return 5

    def interrupt():
        Waiting.armed = False
        raise {error}

    loop = asyncio.new_event_loop()
    loop.set_exception_handler(lambda loop, context: print(context["message"]))
    if "call_soon" in "{source}" or "{source}" == "a refusing loop":
        call_soon = loop.call_soon
        def patched(callback, *args, context=None):
            if Waiting.armed and "{source}" != "call_soon, once it scheduled":
                interrupt()
            if context is not None and context.get(refused):
                raise RuntimeError("refused")
            handle = call_soon(callback, *args, context=context)
            if Waiting.armed:
                interrupt()
            return handle
        loop.call_soon = patched
    else:
        if "{source}" == "a Python future's remove_done_callback":
            loop.create_future = lambda: futures._PyFuture(loop=loop)
            interrupted = futures._PyFuture.remove_done_callback
        else:
            interrupted = base_events.BaseEventLoop.call_soon
        def hook(frame, event, arg):
            if Waiting.armed and frame.f_code is interrupted.__code__:
                interrupt()
        sys.settrace(hook)

    book, computing, release = Waiting(), [], []

    def first_step():
        # In a callback of the loop: no task drives the coroutine on, and no
        # task made later copies the context its computation began in.
        computing[0].send(None)

    async def first_step_in_task():  # which then ends, without driving the coroutine on
        asyncio.current_task().add_done_callback(lambda task: setattr(Waiting, "armed", True))
        first_step()
        await release[0]

    async def refused_waiter():
        refused.set("{source}" == "a refusing loop")
        return await book.slow()

    async def start():
        book.gate = asyncio.Event()
        computing.append(book.slow())
        release.append(loop.create_future())
        if "{through}" == "send":
            computing.append(asyncio.ensure_future(computing.pop()))
        elif "{through}" == "finaliser":
            loop.call_soon(first_step)
        else:
            computing.append(asyncio.ensure_future(first_step_in_task()))
        await asyncio.sleep(0)
        waiters = [asyncio.ensure_future(book.slow()), asyncio.ensure_future(refused_waiter())]
        await asyncio.sleep(0)
        return waiters

    waiters = loop.run_until_complete(start())
    book.gate.set()
    try:
        if "{through}" == "send":
            loop.run_until_complete(computing[0])
        elif "{through}" == "task end":
            release[0].set_result(None)
            loop.run_until_complete(asyncio.wait(waiters, timeout=5))
        else:
            Waiting.armed = True
            computing.clear()
            for _ in range(100):  # the interrupt arrives between two bytecodes, as a signal's would
                pass
    except {error}:
        print("interrupted")
    loop.run_until_complete(asyncio.wait(waiters, timeout=5))
    print([waiter.result() if waiter.done() else "asleep" for waiter in waiters],
          [hook.exc_value for hook in unraisable])
"""

INTERRUPTED_WAKE_UP = {"patched call_soon": "KeyboardInterrupt", "call_soon, once it scheduled": "KeyboardInterrupt",
                       "trace hook": "LookupError", "a Python future's remove_done_callback": "KeyboardInterrupt"}


@pytest.mark.parametrize("through", ["send", "finaliser"])
@pytest.mark.parametrize("source, error", INTERRUPTED_WAKE_UP.items(), ids=INTERRUPTED_WAKE_UP.keys())
def test_an_interrupt_while_waiters_are_woken_reaches_the_program_and_every_waiter_is_woken(source, error, through):
    printed = run_in_child(WAKE_UP.format(source=source, error=error, through=through), timeout=20)
    assert printed == "interrupted\n[5, 5] []\n"


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the end of the task computing is watched before 3.12")
def test_an_interrupt_while_waiters_are_woken_at_the_end_of_the_task_computing_reaches_the_program():
    printed = run_in_child(WAKE_UP.format(source="patched call_soon", error="KeyboardInterrupt", through="task end"),
                           timeout=20)
    assert printed == "interrupted\n[5, 5] []\n"


@pytest.mark.parametrize("through", ["send", "finaliser"])
def test_a_waiter_whose_loop_refuses_its_wake_up_is_reported_and_the_others_are_woken(through):
    # The interrupt still reaches the program, and the refusal, which cannot
    # be raised in its place, is reported.
    printed = run_in_child(WAKE_UP.format(source="a refusing loop", error="KeyboardInterrupt", through=through),
                           timeout=20)
    assert printed == "interrupted\n[5, 'asleep'] [RuntimeError('refused')]\n"


class Opaque(asyncio.futures._PyFuture):
    """A future that keeps its callbacks to itself, as futures of other loops may."""

    def __getattribute__(self, name):
        if name == "_callbacks" and sys._getframe(1).f_globals is not vars(asyncio.futures):
            raise AttributeError(name)
        return super().__getattribute__(name)


def test_waiters_on_futures_that_keep_their_callbacks_to_themselves_are_woken():
    async def main():
        loop = asyncio.get_running_loop()
        loop.create_future = lambda: Opaque(loop=loop)
        book = Book()
        return await asyncio.gather(*(asyncio.create_task(book.price()) for _ in range(3)))

    assert run(main()) == [2, 2, 2]


def test_a_signal_raising_while_waiters_are_woken_leaves_every_round_finished():
    printed = run_in_child("""
        import asyncio, itertools, os, random, signal, sys, time
        from lineage_store import LineageStoreBase, automagically_lineage_stored

        unraisable = []
        sys.unraisablehook = unraisable.append

        class Waiting(LineageStoreBase):
            @automagically_lineage_stored()
            async def slow(self, n):
                await self.gate.wait()
                return n

        asyncio_files, hits, active = os.path.dirname(asyncio.__file__), [0], [False]

        def handler(signum, frame):
            # Raises only in the loop's methods that the module calls as it
            # wakes the waiters: elsewhere an interrupt may cut asyncio's own
            # bookkeeping short, which nothing outside asyncio can mend.
            entry = frame
            while entry.f_back is not None and entry.f_back.f_code.co_filename.startswith(asyncio_files):
                entry = entry.f_back
            if not active[0]:
                return
            signal.setitimer(signal.ITIMER_REAL, random.uniform(2e-5, 1e-4))
            if (frame.f_code.co_filename.startswith(asyncio_files) and entry.f_code.co_name in ("call_soon", "is_closed")
                    and entry.f_back is not None and entry.f_back.f_code.co_filename.startswith("<lineage_store")):
                hits[0] += 1
                raise KeyboardInterrupt

        async def start(book, n):
            book.gate = asyncio.Event()
            tasks = [asyncio.ensure_future(book.slow(n)) for _ in range(50)]
            await asyncio.sleep(0)
            return tasks

        loop, loop_errors = asyncio.new_event_loop(), []
        loop.set_exception_handler(lambda loop, context: loop_errors.append(context["message"]))
        signal.signal(signal.SIGALRM, handler)
        # Rounds go on until a signal has landed in the wake-up at least once:
        # where it lands depends on the machine's load.
        started = time.monotonic()
        for n in itertools.count():
            if n >= 200 and (hits[0] > 0 or time.monotonic() - started > 40):
                break
            book = Waiting()
            tasks = loop.run_until_complete(start(book, n))
            book.gate.set()
            active[0] = True
            signal.setitimer(signal.ITIMER_REAL, 1e-4)
            while True:
                try:
                    done, pending = loop.run_until_complete(asyncio.wait(tasks, timeout=5))
                    break
                except KeyboardInterrupt:
                    pass
            active[0] = False
            signal.setitimer(signal.ITIMER_REAL, 0)
            assert not pending, n
            ended = [task.exception() or task.result() for task in tasks]
            assert all(outcome == n or isinstance(outcome, KeyboardInterrupt) for outcome in ended), ended
        assert not unraisable and not loop_errors, (unraisable, loop_errors)
        print(hits[0] > 0)
    """, timeout=90)
    assert printed == "True\n"


@pytest.mark.parametrize("change", [lambda book: book.update_cached_value("rate", 5),
                                    lambda book: book.clear_cache()], ids=["update", "clear_cache"])
def test_a_coroutine_made_while_the_value_is_cached_follows_a_change_made_before_its_await(change):
    book = Book()

    async def main():
        await book.price()
        coroutine = book.price()
        book.inputs["rate"] = 5
        change(book)
        return await coroutine

    assert asyncio.run(main()) == 10


def untracked_class():
    """A class of its own: a warning about an undeclared call is issued once per class."""
    class Untracked(LineageStoreBase):
        @lineage_stored()
        def rate(self):
            return 1

        @lineage_stored()
        async def price(self):
            return self.rate()

    return Untracked


@pytest.mark.parametrize("untracked_error", [False, True], ids=["misses", "misses after an untracked-call error"])
def test_many_awaited_misses_leave_nothing_behind(untracked_error):
    book = untracked_class()()

    async def misses(count):
        for _ in range(count):
            if untracked_error:
                with pytest.raises(RuntimeWarning):
                    await book.price()  # price calls rate, which it neither declares nor tracks
            else:
                await book.price()
                book.update_cached_value("rate", 0)

    async def main():
        with warnings.catch_warnings():
            warnings.simplefilter("error" if untracked_error else "ignore")
            await misses(1000)
            gc.collect()
            before = sys.getallocatedblocks(), len(gc.get_objects())
            await misses(20000)
            gc.collect()
            return before, (sys.getallocatedblocks(), len(gc.get_objects()))

    (blocks, objects), (blocks_after, objects_after) = asyncio.run(main())
    assert blocks_after - blocks < 2000 and objects_after - objects < 200, (blocks_after - blocks,
                                                                            objects_after - objects)


class Quote(LineageStoreBase):
    @automagically_lineage_stored()
    async def price(self, n):
        return n


def test_a_coroutine_never_awaited_is_reported_by_the_method_name():
    coroutine = Quote().price(1)
    assert (coroutine.__name__, coroutine.__qualname__) == ("price", "Quote.price")
    with pytest.warns(RuntimeWarning, match="coroutine 'Quote.price' was never awaited"):
        del coroutine
        gc.collect()


class Framed(LineageStoreBase):
    @automagically_lineage_stored()
    async def depth(self):
        frame = sys._getframe()
        return [frame.f_back.f_code.co_name, frame.f_back.f_back.f_code.co_name]


def test_the_driver_keeps_the_frame_depth_its_warnings_rely_on():
    # A call's warnings name the awaiting line two frames up from the driver's
    # coroutine (named for the method): a frame added or removed in the driver
    # moves them.
    async def awaiting():
        return await Framed().depth()

    assert asyncio.run(awaiting()) == ["depth", "awaiting"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with allocators of their own come with 3.12")
def test_a_subinterpreter_with_an_allocator_of_its_own_leaves_the_process_a_clean_exit():
    result = run_python('''
        import asyncio, sys
        code = """
        try:
            import lineage_store
        except ImportError:
            pass
        else:
            import asyncio
            class Quote(lineage_store.LineageStoreBase):
                @lineage_store.automagically_lineage_stored()
                async def price(self, n):
                    return n
            asyncio.run(Quote().price(1))
        """
        try:
            import _interpreters
        except ImportError:
            import _testcapi
            if not hasattr(_testcapi, "run_in_subinterp_with_config"):
                sys.exit(77)
            _testcapi.run_in_subinterp_with_config(
                code, use_main_obmalloc=False, allow_fork=False, allow_exec=False, allow_threads=True,
                allow_daemon_threads=False, check_multi_interp_extensions=True, gil=1)
        else:
            interpreter = _interpreters.create(_interpreters.new_config("isolated", gil="shared"))
            _interpreters.run_string(interpreter, code)
            _interpreters.destroy(interpreter)
        from lineage_store import LineageStoreBase, automagically_lineage_stored

        class Quote(LineageStoreBase):
            @automagically_lineage_stored()
            async def price(self, n):
                return n

        async def main():
            quote = Quote()
            return [await quote.price(n % 3) for n in range(100)]

        assert sum(asyncio.run(main())) == 99
    ''')
    if result.returncode == 77:
        pytest.skip("no way to make such a subinterpreter here")
    assert result.returncode == 0, result.stderr[-2000:]


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
def test_awaited_hits_and_misses_leave_the_total_reference_count_flat():
    book = Book()

    async def calls(count):
        for i in range(count):
            await book.price()
            book.update_cached_value("rate", i)  # the next await computes again
            await book.price()
            await book.price()
            book.rate()

    async def main():
        await calls(100)
        gc.collect()
        before = sys.gettotalrefcount()
        await calls(2500)  # 10,000 awaited hits and misses, and sync hits
        gc.collect()
        return sys.gettotalrefcount() - before

    assert abs(asyncio.run(main())) < 100
