// loop_waiters.h: the tasks of a loop waiting for a computation, woken with
// its outcome, and the task computing it, watched.
//
// A computation shared with the other tasks of its event loop has an entry,
// the driver's Shared, that those tasks wait on. When it settles, its outcome
// is published there and every waiter is woken, whatever a waiter's loop, a
// signal handler or a hook run meanwhile does: waking is native, and each
// step it takes through Python code can be taken again without harm, so an
// exception raised in one is kept and the step taken again. What was kept is
// then passed on by settle_computation (async_computation.cpp), never swallowed.
#pragma once

#include <Python.h>

#include "python/py_ref.h"
#include "python/python_boundary.h"

namespace lineage_store {

// How a computation ended, as its waiters read it: a value, an error (raised
// in each of them), or cancelled or overlapped (each looks again).
enum class Outcome { Value, Error, Cancelled, Overlapped };

// What publishing an outcome and waking the waiters met, kept for settle_computation
// to pass on once every waiter is woken.
struct WakeFailures {
    // The first exception a step raised and then got past on a later try: an
    // interrupt (a KeyboardInterrupt, a signal handler's or a trace hook's
    // exception). It must reach the program.
    TakenException interrupt;
    // The first exception a step raised at every try: the waiter's loop
    // refuses it, and that waiter stays asleep.
    TakenException refusal;

    bool any() const noexcept { return interrupt.value || refusal.value; }

    // Where settle_computation can raise (a send or throw of the task computing, a
    // done callback the loop runs): raises the interrupt, else the refusal;
    // false when there is neither. Called with no exception set.
    bool raise_now();

    // Reports the refusal, if any, as unraisable: where an interrupt is
    // raised in its place. Called with no exception set.
    void report_refusal(PyObject* where);

    // Where what is raised would be reported as unraisable (a finaliser, a
    // close that may run in one): the interrupt is raised in the main thread
    // at its next bytecode, as a signal handler's exception is; a refusal is
    // reported as unraisable.
    void pass_on_later(PyObject* where);
};

// Run at import. False with an exception set.
bool prepare_waiters();

// Publishes `outcome` in `shared`, with `value` (the result or the exception;
// may be null), and wakes every waiter. Called with no exception set; leaves
// none set: what it met is returned.
WakeFailures publish_outcome(PyObject* shared, Outcome outcome, PyObject* value);

// Watches the asyncio task running now, if any, so that its end calls
// `computation._task_done(task)`: a weak reference to the task, or empty (no
// task, or the watch could not be set; no exception then).
PyRef watch_task(PyObject* computation);

// Stops the watch of watch_task, given its weak reference.
void stop_watching_task(PyObject* computation, PyRef weak_task);

}  // namespace lineage_store
