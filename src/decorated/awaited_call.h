// awaited_call.h: the object of a call of a decorated async method that the
// driver drives: called, it takes the call's next step (serve, run the
// method inline, wait for another task's computation, or compute).
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/call_arguments.h"
#include "python/py_ref.h"

namespace lineage_store {

// Run at import, in the main interpreter, with the driver's namespace: makes
// the type and takes what `await call` uses of the driver (current_loop(),
// wait_for(call, shared) and awaiting(awaitable)), kept for the rest of the
// process. False with an exception set.
bool prepare_awaited_calls(PyObject* driver);

// A new AwaitedCall (async_computation.h) of `decorator` with `arguments`,
// its state constructed and empty: the caller says what the call is. Null
// with an exception set.
PyRef new_awaited_call(PyObject* decorator, const CallArguments& arguments);

// Whether the store of `instance` is as it was at `version`, and computes
// nothing that a call awaited now could be a dependency of: a value found
// valid then is the value to serve now.
bool store_unmoved_since(PyObject* instance, std::uint32_t version) noexcept;

// How many frames the driver's coroutines are below the line that awaited a
// call when they call it: the driver's CALL_DEPTH, checked at import.
inline constexpr int kDriverCallDepth = 2;

// The look of the driver's call(): the value to serve when the AwaitedCall
// `self` is served now (the stored value, the very object), else `self`, new
// references; `call.state` then says whether the method runs inline.
// Warnings name the frame `stacklevel` up from the caller, the line that
// awaited. Null with an exception set.
PyObject* look_awaited(PyObject* self, int stacklevel);

}  // namespace lineage_store
