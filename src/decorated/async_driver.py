"""async_driver.py: the coroutines that awaited calls of lineage-stored async methods run.

Built into the lineage_store module, which runs this source once, at import, in a
namespace of its own. A call `obj.m(...)` of a decorated async method makes an
object for the call (`call` below; the module's) and returns a coroutine of
`lineage_stored_call` under the method's names (see `named`).

Awaited, the coroutine takes the call's steps (`STEPS_SOURCE`), each decided
natively:
- `call()` looks: it gives the value to serve (the stored object itself), or
  `call` itself;
- `await call` then drives the method's own coroutine, when it runs as part of
  the same call in progress (an override awaiting super()); or `wait_for` the
  computation of the same call that another task of the loop is running; or the
  computation of the call, begun, as an awaitable of the module's. Registered for
  its event loop, it runs the method's coroutine and settles natively: its value
  stored, its waiters woken and its entry removed, whatever exception arrives at
  whatever point, even a trace hook's in the frames here. Nothing is begun before
  `await call`, and what it begins is held by the await alone, so an exception
  that unwinds the frames here drops it, and it settles.
- A wait ends in the computation's value, its error, or `call` again, when it
  was cancelled or computed from inputs that changed while it ran: the call then
  looks again, and one of the waiters computes.
What runs here only waits.

A call whose valid value the store held, computing nothing, when it was made,
with at most MOST_SERVED_ARGUMENTS arguments, gets a coroutine of
`lineage_stored_served` instead, with no call object: it is given the value,
the store's version then (`version`), and the call's arguments. Awaited, it
serves the value unless the store has moved since (`unmoved`); otherwise
`moved` makes the call object the call would have had from the start, and it
goes on as `lineage_stored_call` does.

The frame depth is part of the contract with the module (checked at import,
`CALL_DEPTH`): the warnings a call issues name the line that awaited it, two
frames up from the coroutine that calls `call()`.
"""

import sys


class Shared:
    """A computation in progress of one call in one event loop, as the tasks
    waiting for its outcome see it: `outcome` stays None until it settles, then
    says "value", "error" (`value` is the exception), "cancelled" or
    "overlapped" (computed from inputs that changed while it ran)."""

    __slots__ = ("loop", "trio", "waiters", "outcome", "value")

    def __init__(self, loop, trio):
        self.loop, self.trio, self.waiters, self.outcome, self.value = loop, trio, [], None, None


def current_loop():
    """The running asyncio loop or trio run, and whether it is trio's; (None, False) outside both."""
    asyncio = sys.modules.get("asyncio")
    if asyncio is not None:
        try:
            return asyncio.get_running_loop(), False
        except RuntimeError:
            pass
    trio = sys.modules.get("trio")
    if trio is not None:
        try:
            return trio.lowlevel.current_trio_token(), True
        except RuntimeError:
            pass
    return None, False


async def wait_for(call, shared):
    """Waits for `shared` to settle: its value, its error raised, or `call` to
    look again when it was cancelled or computed from inputs that changed while
    it ran (one of the waiters then computes)."""
    waiter = sys.modules["trio"].Event() if shared.trio else shared.loop.create_future()
    shared.waiters.append(waiter)
    # Settled before the waiter was added: only the waiters before it were woken.
    if shared.outcome is None:
        await (waiter.wait() if shared.trio else waiter)
    if shared.outcome == "value":
        return shared.value
    if shared.outcome == "error":
        raise shared.value
    return call


async def awaiting(awaitable):
    return await awaitable


# The steps of an awaited call, written once for both coroutines below: each
# calls call() from its own frame, two frames below the line that awaited.
STEPS_SOURCE = """
    while True:
        found = call()
        if found is not call:
            return found
        found = await call
        if found is not call:
            return found
"""
CALL_DEPTH = 2

CALL_SOURCE = """
async def lineage_stored_call(call):
""" + STEPS_SOURCE
exec(compile(CALL_SOURCE, "<lineage_store async driver>", "exec"))


# Most awaits are served the value found when the call was made. Its coroutine
# is made with no object for the call, taking the call's arguments as its own,
# positional ones first, then the values of those given by keyword (named by
# `kwnames`): one function for each count of them, with and without keywords,
# so that none takes a parameter it was not given. Once the store has moved it
# goes on as lineage_stored_call does, in its own frame rather than through
# that one, so that call() stays CALL_DEPTH frames below the awaiting line.
SERVED_SOURCE = """
async def lineage_stored_served(found, version, decorator, {kwnames}{arguments}):
    if unmoved(a0, version):
        return found
    call = moved(decorator, {kwnames_or_none}{arguments})
""" + STEPS_SOURCE


def served_for(count, by_keyword):
    namespace = {}
    kwnames = "kwnames, " if by_keyword else ""
    source = SERVED_SOURCE.format(kwnames=kwnames, kwnames_or_none=kwnames or "None, ",
                                  arguments=", ".join(f"a{i}" for i in range(count)))
    exec(compile(source, lineage_stored_call.__code__.co_filename, "exec"), globals(), namespace)
    return namespace["lineage_stored_served"]


MOST_SERVED_ARGUMENTS = 7  # the instance among them
# By count of arguments less one; those taking keywords after those that do not.
SERVED = tuple(served_for(count, by_keyword) for by_keyword in (False, True)
               for count in range(1, MOST_SERVED_ARGUMENTS + 1))


def named(name, qualname):
    """lineage_stored_call and the lineage_stored_served functions (in a tuple,
    as SERVED has them) under a method's names, which their
    coroutines carry: a coroutine never awaited is reported by them, and
    tracebacks show them."""
    return (rename(lineage_stored_call, name, qualname),
            tuple(rename(served, name, qualname) for served in SERVED))


def rename(driver, name, qualname):
    code = driver.__code__
    if hasattr(code, "co_qualname"):
        code = code.replace(co_name=name, co_qualname=qualname)
    else:
        code = code.replace(co_name=name)
    function = type(driver)(code, globals(), name, driver.__defaults__)
    function.__qualname__ = qualname
    return function
