"""Faults that need a process, threads or a fork to show: exit while a daemon
thread is inside the module, threads sharing an instance (and the locks they
take in user code), long chains of stores to release, forking mid-call."""

import os
import signal
import sys
import threading
import time
import warnings
from dataclasses import dataclass

import pytest

from conftest import TIMEOUT, run_python, wait
from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored


# ---------------------------------------------------------------------------
# Interpreter exit while a daemon thread is inside the module

# The program starts the daemon thread its first argument names, waits until
# the thread is inside, does to atexit what its second argument names (what
# harnesses do before the interpreter exits: the module must not depend on
# it to survive the exit), and exits.
EXIT_PROGRAM = """
    import atexit, sys, threading, time, warnings
    from lineage_store import LineageStoreBase, lineage_stored, automagically_lineage_stored

    warnings.simplefilter("ignore", RuntimeWarning)  # values set for calls never made, on purpose

    inside = threading.Event()

    class Spinning:  # its __hash__ never returns; the thread sleeps in it
        spin = False

        def __hash__(self):
            while type(self).spin:
                inside.set()
                time.sleep(0.001)
            return 1

        def __eq__(self, other):
            return self is other

    class SpinsOnRelease:  # its finaliser never returns once spinning starts
        def __del__(self):
            while Spinning.spin:
                inside.set()
                time.sleep(0.001)

    class Store(LineageStoreBase):
        @automagically_lineage_stored()
        def loop(self):
            while True:
                inside.set()
                time.sleep(0.001)

        @lineage_stored()
        def keyed(self, key):
            return 1

    store = Store()
    key = Spinning()
    store.keyed(key)  # registered while its key still hashes
    Spinning.spin = True

    def start(target, *args, **kwargs):
        threading.Thread(target=target, args=args, kwargs=kwargs, daemon=True).start()

    def in_the_wrapped_method():
        start(store.loop)

    def hashing_a_decorated_calls_argument():
        start(store.keyed, key)

    def in_a_views_hash():
        start(store.get_dependency_graph)

    def in_a_finaliser_run_by_clear_cache():
        store.update_cached_value("keyed", SpinsOnRelease(), key=2)
        start(store.clear_cache)

    def in_a_finaliser_run_by_destroying_a_store():
        doomed = [Store()]
        doomed[0].update_cached_value("keyed", SpinsOnRelease(), key=2)
        start(doomed.clear)

    def beside_another_threads_update():
        start(store.update_cached_value, "keyed", 2, key=key)
        inside.wait()
        inside.clear()
        start(store.keyed, 3)
        inside.set()

    meddling = {"untouched": lambda: None, "cleared": atexit._clear, "run early": atexit._run_exitfuncs}
    globals()[sys.argv[1]]()
    inside.wait()
    meddling[sys.argv[2]]()
    time.sleep(0.02)
"""

EXIT_DAEMONS = ["in_the_wrapped_method", "hashing_a_decorated_calls_argument", "in_a_views_hash",
                "in_a_finaliser_run_by_clear_cache", "in_a_finaliser_run_by_destroying_a_store",
                "beside_another_threads_update"]


@pytest.mark.parametrize("meddling", ["untouched", "cleared", "run early"], ids=lambda m: f"atexit {m}")
@pytest.mark.parametrize("daemon", EXIT_DAEMONS)
def test_exit_with_a_daemon_thread_inside_the_module_is_clean(daemon, meddling):
    # Ending the daemon thread is racy by nature, so the exit is repeated.
    for run in range(20):
        finished = run_python(EXIT_PROGRAM, args=(daemon, meddling))
        assert (finished.returncode, finished.stderr) == (0, ""), f"run {run}"


# The same, with the daemon thread inside user code that a helper runs on the
# objects it was given: a keyword name's __hash__, __str__ or __repr__, a
# metaclass's __name__ read for an error message, a load_cache key, or the
# warnings machinery showing one of the module's warnings. The program makes
# the call its first argument names, with the hooks armed to pass as many
# times as its second says and then never return.
BLOCKING_PROGRAM = """
    import sys, threading, time, warnings
    from lineage_store import LineageStoreBase, lineage_stored

    inside, returned = threading.Event(), threading.Event()
    passes = None  # until armed, the hooks return at once

    def hook():
        global passes
        if passes is None:
            return
        if passes > 0:
            passes -= 1
            return
        while True:
            inside.set()
            time.sleep(0.001)

    class HashBlocks(str):
        def __hash__(self):
            hook()
            return str.__hash__(self)

    class StrBlocks(str):
        def __str__(self):
            hook()
            return str.__str__(self)

    class ReprBlocks(str):
        def __repr__(self):
            hook()
            return str.__repr__(self)

    class NameBlocks(type):
        @property
        def __name__(cls):
            hook()
            return "Named"

    Named = NameBlocks("Named", (), {})

    class Store(LineageStoreBase):
        @lineage_stored()
        def m(self, x=1):
            return x

        @lineage_stored()
        def options(self, **options):
            return options

        @lineage_stored(serialisable=True)
        def saved(self):
            return 1

        @lineage_stored()
        def undeclared(self):  # reads m without declaring it
            return self.m()

        @lineage_stored(dependencies=[("m", {})])
        def mismatched(self):  # a dependency that leaves out x
            return 1

    store = Store()
    store.m(), store.saved()
    # Made before the hooks are armed: making them hashes their keys.
    hash_keyword, repr_keyword, str_keyword = {HashBlocks("x"): 1}, {ReprBlocks("y"): 1}, {StrBlocks("zz"): 1}
    data_with_a_key_whose_hash_blocks = {HashBlocks("saved"): 2}

    def showing_warnings_through_the_hook(call):
        warnings.simplefilter("always")
        warnings.showwarning = lambda *args, **kwargs: hook()
        call()

    CALLS = {
        "update_cached_value: a keyword name's __hash__": lambda: store.update_cached_value("m", 2, **hash_keyword),
        "get_cached_value: a keyword name's __hash__": lambda: store.get_cached_value("m", **hash_keyword),
        "update_cached_value: a keyword name's __repr__ in the warning":
            lambda: store.update_cached_value("m", 2, **repr_keyword),
        "get_cached_value: a keyword name's __repr__ in the warning":
            lambda: store.get_cached_value("m", **repr_keyword),
        "get_cached_value_by_hash: an unexpected keyword's __str__":
            lambda: store.get_cached_value_by_hash(1, **str_keyword),
        "load_cache: an unexpected keyword's __str__": lambda: store.load_cache({}, **str_keyword),
        "load_cache: the name of data's type": lambda: store.load_cache(data=Named()),
        "load_cache: the name of a key's type": lambda: store.load_cache({Named(): 1}),
        "get_cached_value: the name of method_name's type": lambda: store.get_cached_value(method_name=Named()),
        "update_cached_value: the name of method_name's type": lambda: store.update_cached_value(Named(), 1),
        "get_cached_value_by_hash: the name of hash's type": lambda: store.get_cached_value_by_hash(Named()),
        "update_cached_value: showing its warning":
            lambda: showing_warnings_through_the_hook(lambda: store.update_cached_value("m", 2, y=1)),
        "get_cached_value: showing its warning":
            lambda: showing_warnings_through_the_hook(lambda: store.get_cached_value("n")),
        "decorated call: showing the warning about an undeclared call":
            lambda: showing_warnings_through_the_hook(store.undeclared),
        "decorated call: showing the warning about a declared dependency":
            lambda: showing_warnings_through_the_hook(store.mismatched),
        "decorated call through the class: a keyword name's __hash__": lambda: Store.m(store, **hash_keyword),
        "decorated call through the class: a **kwargs name's __hash__": lambda: Store.options(store, **hash_keyword),
        "load_cache: a key's own __hash__": lambda: store.load_cache(data_with_a_key_whose_hash_blocks),
    }

    def work():
        global passes
        passes = int(sys.argv[2])
        CALLS[sys.argv[1]]()
        returned.set()

    threading.Thread(target=work, daemon=True).start()
    while not (inside.is_set() or returned.is_set()):
        time.sleep(0.001)
    print("blocked" if inside.is_set() else "returned", end="")
    time.sleep(0.02)
"""

# (the call, the hook calls it passes before blocking, what the thread does)
BLOCKING_CALLS = [
    *[(call, 0, "blocked") for call in [
        "update_cached_value: a keyword name's __hash__", "get_cached_value: a keyword name's __hash__",
        "update_cached_value: a keyword name's __repr__ in the warning",
        "get_cached_value: a keyword name's __repr__ in the warning",
        "get_cached_value_by_hash: an unexpected keyword's __str__", "load_cache: an unexpected keyword's __str__",
        "load_cache: the name of data's type", "load_cache: the name of a key's type",
        "get_cached_value: the name of method_name's type", "update_cached_value: the name of method_name's type",
        "get_cached_value_by_hash: the name of hash's type", "update_cached_value: showing its warning",
        "get_cached_value: showing its warning", "decorated call: showing the warning about an undeclared call",
        "decorated call: showing the warning about a declared dependency"]],
    *[("decorated call through the class: a keyword name's __hash__", passes, "blocked") for passes in (0, 1)],
    *[("decorated call through the class: a **kwargs name's __hash__", passes, "blocked") for passes in (0, 1, 2)],
    # The key's text names the method: its own __hash__ never runs.
    ("load_cache: a key's own __hash__", 0, "returned"),
]


@pytest.mark.parametrize("call, passes, outcome", BLOCKING_CALLS,
                         ids=[f"{call}, after {passes}" if passes else call for call, passes, _ in BLOCKING_CALLS])
def test_exit_with_a_daemon_thread_inside_user_code_a_helper_runs_is_clean(call, passes, outcome):
    for run in range(5):
        finished = run_python(BLOCKING_PROGRAM, args=(call, str(passes)))
        assert (finished.returncode, finished.stderr) == (0, ""), f"run {run}"
        assert finished.stdout == outcome, (
            "the thread never reached the blocking code: this tests nothing" if outcome == "blocked"
            else "the key's own __hash__ ran")


# ---------------------------------------------------------------------------
# Threads sharing instances


@dataclass(frozen=True)
class Key:  # hashed by Python code, so the interpreter may switch threads mid-hash
    k: int


class Shared(LineageStoreBase):
    @lineage_stored()
    def base(self, key):
        return key.k * 2

    @automagically_lineage_stored()
    def total(self, key):
        return self.base(key) + 1


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # updates calls not made yet
def test_threads_sharing_instances_never_fail_and_get_exact_values(frequent_switches):
    stores, failures, wrong = [Shared(), Shared()], [], []

    def work(thread):
        for i in range(600):
            store, key = stores[(thread + i) % 2], Key(i % 25)
            try:
                operation = (thread + i) % 5
                if operation == 0:
                    if store.total(key) != key.k * 2 + 1:
                        wrong.append(key)
                elif operation == 1:
                    value = store.get_cached_value("base", key=key)
                    if value not in (None, key.k * 2):
                        wrong.append(key)
                elif operation == 2:
                    store.get_dependency_graph(), store.get_validation_state(), store.get_cached_values()
                elif operation == 3:
                    store.update_cached_value("base", key.k * 2, key=key)
                else:
                    store.get_cached_value_by_hash(hash(("base", (("key", key),))))
            except BaseException as error:  # PanicException derives from BaseException
                failures.append(repr(error))

    threads = [threading.Thread(target=work, args=(thread,)) for thread in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert (failures[:3], wrong[:3]) == ([], [])


class Held(LineageStoreBase):
    """A store whose get_cached_value can be parked inside a key's __hash__
    until `release` is set."""

    @lineage_stored()
    def value(self, key=None):  # the parked query names a real parameter: it warns about nothing
        return "value"


class ParkingKey:
    def __init__(self):
        self.parked, self.release = threading.Event(), threading.Event()

    def __hash__(self):
        self.parked.set()
        assert self.release.wait(3 * TIMEOUT)  # outlasts any wait of the test's own
        return 0


@pytest.fixture
def parked():
    """A Held instance whose get_cached_value another thread has parked in a key's __hash__."""
    store, key = Held(), ParkingKey()
    holder = threading.Thread(target=store.get_cached_value, args=("value",), kwargs={"key": key})
    holder.start()
    wait(key.parked)
    yield store, key
    key.release.set()
    holder.join()


@pytest.mark.filterwarnings("ignore:update_cached_value:RuntimeWarning")  # updates calls not made yet
@pytest.mark.parametrize("call", [
    lambda store: store.value(),
    lambda store: store.update_cached_value("value", "set", key=None),
    lambda store: (store.get_validation_state(), store.get_dependency_graph(), store.get_cached_values()),
    lambda store: store.clear_cache(),
    lambda store: store.dump_cache(),
], ids=["decorated call", "update", "views", "clear", "dump"])
def test_a_thread_inside_a_keys_hash_holds_up_no_other_thread(parked, call):
    store, key = parked
    done = []
    caller = threading.Thread(target=lambda: done.append(call(store)))
    caller.start()
    caller.join(TIMEOUT)
    assert done, "the call waited for the thread parked in __hash__"


# ---------------------------------------------------------------------------
# Long chains of stores


@pytest.mark.parametrize("closed_into_a_cycle", [False, True], ids=["dropped", "collected"])
def test_a_million_link_chain_of_stores_is_released(closed_into_a_cycle):
    finished = run_python(f"""
        import gc
        import warnings
        from lineage_store import LineageStoreBase
        gc.disable()
        # The links are values no call reads, which update_cached_value warns about.
        warnings.simplefilter("ignore", RuntimeWarning)
        first = head = LineageStoreBase()
        for _ in range(1_000_000):
            link = LineageStoreBase()
            link.update_cached_value("next", head)
            head = link
        if {closed_into_a_cycle}:
            first.update_cached_value("next", head)
            del first, head, link
            assert gc.collect() >= 1_000_000
        else:
            del first, head, link
        print("released")
    """)
    assert (finished.returncode, finished.stdout, finished.stderr) == (0, "released\n", "")


# ---------------------------------------------------------------------------
# Fork


def fork_and_run(child):
    """Forks; the child runs `child()` and exits with its return value (1 on
    an exception). Returns the child's exit status."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            status = child()
        finally:
            os._exit(status)
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the child hung")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_threads_of_a_forked_child_never_inherit_a_dead_threads_call():
    # In a process of its own: whether glibc hands a new thread the memory of
    # the thread the fork left behind depends on what the heap has seen.
    finished = run_python("""
        import os, threading, warnings
        from lineage_store import LineageStoreBase, automagically_lineage_stored

        class Tracking(LineageStoreBase):
            @automagically_lineage_stored()
            def outer(self):
                inside.set()
                release.wait()

            @automagically_lineage_stored()
            def leaf(self, i):
                return i

        inside, release, store = threading.Event(), threading.Event(), Tracking()
        caller = threading.Thread(target=store.outer)
        caller.start()
        inside.wait()
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a multi-threaded process
        pid = os.fork()
        if pid == 0:
            for i in range(20):  # a new thread per call, each a candidate for the dead thread's identity
                thread = threading.Thread(target=store.leaf, args=(i,))
                thread.start()
                thread.join()
            edges = [call for call, children in store.get_dependency_graph().items() if children]
            os.write(1, f"{len(edges)} spurious edges".encode())
            os._exit(0)
        os.waitpid(pid, 0)
        release.set()
        caller.join()
    """)
    assert (finished.stdout, finished.stderr) == ("0 spurious edges", "")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_does_not_wait_for_a_borrow_of_a_thread_it_does_not_have(parked):
    store, key = parked
    assert fork_and_run(lambda: 0 if store.value() == "value" else 3) == 0


# ---------------------------------------------------------------------------
# No user code runs while a store is held, so a lock taken in user code
# cannot close a loop with another thread's call on the same instance


class Keyed(LineageStoreBase):
    @lineage_stored()
    def plain(self):
        return "plain"

    @lineage_stored()
    def keyed(self, key):
        return "keyed"


class LockingKey:
    """Hashes only once it gets `lock`, while armed; otherwise like an int 1."""

    def __init__(self, lock):
        self.lock, self.armed, self.inside = lock, False, threading.Event()

    def __hash__(self):
        if self.armed:
            self.inside.set()
            with self.lock:
                pass
        return 1

    def __eq__(self, other):
        return self is other


LOCK_HOLDERS = {
    "update_cached_value": lambda store, key: store.update_cached_value("keyed", "set", key=key),
    "get_cached_value": lambda store, key: store.get_cached_value("keyed", key=key),
    "get_validation_state": lambda store, key: store.get_validation_state(),
    "get_dependency_graph": lambda store, key: store.get_dependency_graph(),
    "get_cached_values": lambda store, key: store.get_cached_values(),
}


@pytest.mark.parametrize("hashing", LOCK_HOLDERS.values(), ids=LOCK_HOLDERS.keys())
def test_a_lock_taken_in_a_keys_hash_cannot_deadlock_with_a_decorated_call(hashing):
    store, lock = Keyed(), threading.Lock()
    key = LockingKey(lock)
    store.keyed(key)
    finished = []
    with lock:
        key.armed = True
        hasher = threading.Thread(target=lambda: finished.append(hashing(store, key)), daemon=True)
        hasher.start()
        wait(key.inside)
        caller = threading.Thread(target=lambda: finished.append(store.plain()), daemon=True)
        caller.start()
        caller.join(TIMEOUT)  # the caller needs the store, which the hasher must not hold
        assert finished == ["plain"], "the decorated call waited for the thread inside __hash__"
    hasher.join(TIMEOUT)
    assert len(finished) == 2


@dataclass(frozen=True)
class Slow:
    k: int


def test_threads_polling_views_cannot_starve_a_cache_hit():
    class Many(LineageStoreBase):
        @lineage_stored()
        def value(self, key):
            return key.k

        @lineage_stored()
        def plain(self):
            return 0

    store, stop = Many(), threading.Event()
    for k in range(2000):
        store.value(Slow(k))
    store.plain()

    def poll():
        while not stop.is_set():
            store.get_validation_state()

    pollers = [threading.Thread(target=poll, daemon=True) for _ in range(2)]
    for poller in pollers:
        poller.start()
    hits = threading.Thread(target=lambda: [store.plain() for _ in range(20)], daemon=True)
    hits.start()
    hits.join(TIMEOUT)
    stop.set()
    assert not hits.is_alive(), "plain cache hits were kept waiting by the view polling threads"
    for poller in pollers:
        poller.join(TIMEOUT)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_fork_from_inside_a_keys_hash_leaves_the_child_a_usable_store():
    finished = run_python("""
        import os, threading, time, warnings
        from lineage_store import LineageStoreBase, lineage_stored

        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads, on purpose
        # The queries below only need a key that runs code while it hashes.
        warnings.filterwarnings("ignore", "get_cached_value", RuntimeWarning)

        class Store(LineageStoreBase):
            @lineage_stored()
            def value(self):
                return "value"

        store = Store()
        store.value()
        parked, release = threading.Event(), threading.Event()

        class Parking:
            def __hash__(self):
                parked.set()
                release.wait(30)
                return 0

        class Forking:
            def __hash__(self):
                pid = os.fork()
                if pid == 0:
                    store.update_cached_value("value", "child")
                    ok = store.value() == "child" and store.get_validation_state() == {"value": "valid"}
                    os._exit(0 if ok else 3)
                self.child = pid
                return 0

        other = threading.Thread(target=store.get_cached_value, args=("value",), kwargs={"key": Parking()})
        other.start()
        parked.wait(30)
        forking = Forking()
        store.get_cached_value("value", key=forking)
        deadline = time.monotonic() + 20
        while True:
            pid, status = os.waitpid(forking.child, os.WNOHANG)
            if pid or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        release.set()
        other.join()
        print("child hung" if pid == 0 else f"child exit {os.waitstatus_to_exitcode(status)}")
    """)
    assert (finished.stdout.strip(), finished.stderr) == ("child exit 0", "")


def test_running_atexit_early_changes_nothing_for_other_threads():
    finished = run_python("""
        import atexit, gc, threading, weakref
        from lineage_store import LineageStoreBase, lineage_stored, automagically_lineage_stored

        class Store(LineageStoreBase):
            @lineage_stored()
            def rate(self):
                return 1

            @automagically_lineage_stored()
            def total(self):
                return self.rate() + 1

            @automagically_lineage_stored()
            def later(self):
                return 0

        class Value:
            pass

        atexit._run_exitfuncs()
        store, results = Store(), []

        def work():
            store.total()
            store.later()
            value = Value()
            results.append(weakref.ref(value))
            store.update_cached_value("rate", value)

        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        graph = store.get_dependency_graph()
        store.clear_cache()
        gc.collect()
        print(graph == {"rate": {"total"}, "total": set(), "later": set()}, results[0]() is None)
    """)
    assert (finished.stdout.strip(), finished.stderr) == ("True True", "")
