"""Helpers shared by the tests: import them with `from conftest import ...`."""

import asyncio
import inspect
import os
import subprocess
import sys
import textwrap
import warnings

import pytest

from lineage_store import LineageStoreBase, automagically_lineage_stored, lineage_stored

# How long a test waits for another thread or task before it calls the wait a
# deadlock: far above any normal run, far below the suite's own time limit.
TIMEOUT = 10


def pytest_addoption(parser):
    parser.addoption("--built-without-shortcuts", action="store_true",
                     help="the module under test was built with LINEAGE_STORE_INTERPRETER_SHORTCUTS=OFF")


def wait(event):
    assert event.wait(TIMEOUT), "the other thread never arrived"


def run(coroutine, timeout=TIMEOUT):
    """A deadlock fails the test in seconds instead of hanging it."""
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def result_of(value):
    """The value of a call, a coroutine run to its end."""
    return run(value) if asyncio.iscoroutine(value) else value


def key(method, /, **arguments):
    """A call as the views name it."""
    return (method, tuple(sorted(arguments.items()))) if arguments else method


def edges(obj):
    """The store's dependency graph without the calls nothing depends on."""
    return {call: children for call, children in obj.get_dependency_graph().items() if children}


def import_greenlet():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("greenlet copies live stack memory when it switches, which AddressSanitizer reports")
    return pytest.importorskip("greenlet")


def run_python(source, timeout=60, flags=(), args=()):
    """Runs `source` in a fresh interpreter started with `flags`, `args` its
    sys.argv[1:]: for faults that crash or hang it, or that show under
    interpreter flags."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(source), *args], capture_output=True,
                          text=True, timeout=timeout)


def run_in_child(source, timeout=60, flags=()):
    """Runs `source` in a fresh interpreter and returns what it printed; a
    crash or a hang fails the test instead of taking the test process with it."""
    try:
        done = run_python(source, timeout, flags)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no end within {timeout} s")
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


@pytest.fixture
def strict():
    """Every warning is an error: for code that must warn about nothing."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def store_with(source):
    """A store class whose method `m`, defined by `source` (a `def m(self, ...)`
    line without a body), is decorated and returns a new list of its arguments
    per run; the class counts the runs in `runs` and keeps the undecorated
    function as `function`."""
    namespace = {}
    body = "    model.runs += 1\n    return [value for value in locals().values() if value is not self]\n"
    exec(textwrap.dedent(source) + ":\n" + body, {"model": None}, namespace)
    function = namespace["m"]
    model = type("Model", (LineageStoreBase,), {"m": lineage_stored()(function), "runs": 0,
                                                 "function": staticmethod(function)})
    function.__globals__["model"] = model
    return model


class Rates(LineageStoreBase):
    """fx() and rate(), read from `inputs`, which the subclass sets."""

    @lineage_stored()
    def fx(self):
        return self.inputs["fx"]

    @lineage_stored()
    def rate(self):
        return self.inputs["rate"]


def served_at_once(coroutine):
    """Whether `coroutine`, of an awaited call, was made to serve the value
    found valid when the call was made, as a hit is while its store computes
    nothing; closed either way."""
    served = "found" in inspect.getcoroutinelocals(coroutine)
    coroutine.close()
    return served


def awaited_class():
    """A store class whose async method `am(self, *numbers, k=2)` sums its
    arguments and the sync `rate()`, counting its runs in `runs`; `rate`
    reads `inputs["rate"]`; `total` (tracking) and `alone` (not) await `pending`."""
    class Awaited(Rates):
        def __init__(self):
            self.inputs, self.runs, self.pending = {"rate": 1}, 0, None

        @lineage_stored(dependencies=["rate"])
        async def am(self, *numbers, k=2):
            self.runs += 1
            return sum(numbers) + k + self.rate()

        @automagically_lineage_stored()
        async def total(self):
            return await self.pending * 10

        @lineage_stored()
        async def alone(self):
            return await self.pending

    return Awaited


class HashingOnce:
    """An argument whose first hash runs `action`, as a user's __hash__ may
    (changing the function while its call is identified); it hashes as 1."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return 1
