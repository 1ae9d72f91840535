// async_call.h: the call of a decorated async method: a coroutine that, when
// awaited, serves the call's stored value or computes it, one computation at
// a time per call and event loop.
//
// The call is identified when it is made, as a call that returns its result
// is; what happens when it is awaited is decided then: the value is served if
// the call is valid, the awaiting task waits for a computation of the same
// call that another task of the same loop is running, runs the method as part
// of the very same call in progress in its context (an override awaiting
// super()), or computes. The coroutine is a real one, named for the method,
// made by a small driver written in Python (async_driver.py, compiled into the
// module); a call found valid is handed its value and checks at await that
// the store has not moved (served_call), the store's work for any other is
// done in the AwaitedCall the driver calls, and a
// computation runs and settles in an awaitable of async_computation, so that
// no exception can leave it registered as running.
#pragma once

#include <Python.h>

#include "call/call_arguments.h"
#include "call/call_identity.h"
#include "python/py_ref.h"
#include "store/decorator_record.h"

namespace lineage_store {

// Run at import, in the main interpreter: makes the types and the driver,
// kept for the rest of the process. False with an exception set.
bool prepare_async_calls();

// The coroutine for the call of the async decorated method `decorator` with
// `arguments`, whose identity is `identity` (taken now). A new reference, or
// nullptr with an exception set.
PyObject* call_async(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity);

// The same for a call identified by position (see PositionalIdentity), which
// a quiet store serves without a CallIdentity made.
PyObject* call_async_by_position(PyObject* decorator, const CallArguments& arguments, PositionalIdentity& by_position);

}  // namespace lineage_store
