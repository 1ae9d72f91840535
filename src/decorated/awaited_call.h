// awaited_call.h: the object of a call of a decorated async method that the
// driver drives: its looks in the store, and what the driver calls on it to
// wait for a computation, begin one, or run the method inline.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/call_arguments.h"
#include "python/py_ref.h"

namespace lineage_store {

// Run at import, in the main interpreter: makes the type, kept for the rest
// of the process. False with an exception set.
bool prepare_awaited_calls();

// A new AwaitedCall (async_computation.h) of `decorator` with `arguments`,
// its state constructed and empty: the caller says what the call is. Null
// with an exception set.
PyRef new_awaited_call(PyObject* decorator, const CallArguments& arguments);

// Whether the store of `instance` is as it was at `version`, and computes
// nothing that a call awaited now could be a dependency of: a value found
// valid then is the value to serve now.
bool store_unmoved_since(PyObject* instance, std::uint32_t version) noexcept;

// The driver's call(): what awaiting the AwaitedCall `self` gives when it is
// served now (the stored value, the very object), else `self`, new
// references: the driver then waits, computes, or runs the method inline as
// `call.inline` says. Warnings name the frame `stacklevel` up from the
// caller, the line that awaited. Null with an exception set.
PyObject* look_awaited(PyObject* self, int stacklevel);

}  // namespace lineage_store
