"""Helpers shared by the test modules."""

import asyncio
import subprocess
import sys
import textwrap
import warnings

import pytest

# How long a test waits for another thread or task before it calls the wait a
# deadlock: far above any normal run, far below the suite's own time limit.
TIMEOUT = 10


def wait(event):
    assert event.wait(TIMEOUT), "the other thread never arrived"


def run(coroutine, timeout=TIMEOUT):
    """A deadlock fails the test in seconds instead of hanging it."""
    return asyncio.run(asyncio.wait_for(coroutine, timeout))


def run_python(source, timeout=60):
    """Runs `source` in a fresh interpreter: for faults that crash or hang it."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=timeout)


@pytest.fixture
def strict():
    """Every warning is an error: for code that must warn about nothing."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield
