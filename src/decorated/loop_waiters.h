// loop_waiters.h: the tasks of a loop waiting for a computation, woken with
// its outcome, and the task computing it, watched.
//
// A computation shared with the other tasks of its event loop has an entry,
// the driver's Shared, that those tasks wait on. When it settles, its outcome
// is published there and every waiter is woken, whatever a waiter's loop or a
// hook run meanwhile does.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace lineage_store {

// How a computation ended, as its waiters read it: a value, an error (raised
// in each of them), or cancelled or overlapped (each looks again).
enum class Outcome { Value, Error, Cancelled, Overlapped };

// Run at import. False with an exception set.
bool prepare_waiters();

// Publishes `outcome` in `shared`, with `value` (the result or the exception;
// may be null), and wakes its waiters. A waiter that cannot be woken is
// reported and the others are woken all the same.
void publish(PyObject* shared, Outcome outcome, PyObject* value);

// Watches the asyncio task running now, if any, so that its end calls
// `computation._task_done(task)`: a weak reference to the task, or empty (no
// task, or the watch could not be set; no exception then).
PyRef watch_task(PyObject* computation);

// Stops the watch of watch_task, given its weak reference.
void stop_watching_task(PyObject* computation, PyRef weak_task);

}  // namespace lineage_store
