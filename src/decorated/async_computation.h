// async_computation.h: the computation of an awaited call, from its start to
// its one settlement, and the computations in progress of each event loop.
//
// The task that computes a call awaits an awaitable of this unit in place of
// the method's coroutine, which it runs. It settles the computation once, in
// whichever way it ends (the coroutine returns or raises, is thrown into or
// closed, or the awaitable goes unfinished because an exception, a trace
// hook's or a signal handler's, unwound the driver's frames): it leaves the
// context's scope, ends the slot in the store (storing the value), removes
// the computation from its loop's entries and wakes the tasks waiting for it.
// Settling runs no Python code of the driver's, so nothing cuts it short.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/call_identity.h"
#include "decorated/call_context.h"
#include "python/interpreter_shortcuts.h"
#include "store/cache_store.h"
#include "store/decorator_record.h"

namespace lineage_store {

// What an awaited call knows of itself between the driver's steps.
struct AwaitedState {
    CallHash hash = 0;
    BoundCallRef call;  // made when no registered node was found at the call
    NodePosition position = kNoNode;
    FunctionInputs inputs;
    CallGraph::ComputationSlot slot = 0;
    bool computing = false;
    bool run_inline = false;
    AsyncComputationScope scope;
};

struct AwaitedCall {
    PyObject_HEAD
    VectorcallFunction vectorcall;  // look: the driver calls the object itself
    PyObject* decorator;            // held, as are the others
    PyObject* instance;
    PyObject* args;
    PyObject* kwargs;  // or null
    // The call's valid value when the call was made, and the graph's version
    // then: served as it is while nothing in the store has changed.
    PyObject* found;
    std::uint32_t found_at;
    bool has_state;  // `state` below is constructed
    AwaitedState state;
};

inline AwaitedCall* as_call(PyObject* self) noexcept { return reinterpret_cast<AwaitedCall*>(self); }

inline DecoratorRecord& decorator_of(AwaitedCall* call) noexcept { return *decorator_record_of(call->decorator); }

// Gives back the slot of the call's computation, when one is begun and not
// ended.
void give_back_slot(AwaitedCall* call);

// The method's own coroutine, with the call's arguments. A new reference, or
// nullptr with an exception set.
PyObject* run_method(AwaitedCall* call);

// Run at import: the awaitable's type and the map of computations in
// progress, with what they use of the driver (its namespace, `driver`): the
// entries' class Shared(loop, trio), current_loop(), wait_for(call, shared)
// and awaiting(awaitable). False with an exception set.
bool prepare_computations(PyObject* driver);

// What `await call` drives for `call` (`call_object`), found registered and
// not served, as an iterator: the method's own coroutine when it runs as part
// of the same call in progress; else the wait for the computation of the
// same call that another task of the running loop runs (which gives its
// value, raises its error, or gives `call_object` to look again); else the
// computation, begun in the store, in the awaiting task's context and,
// inside a loop, among that loop's computations, for its other tasks to wait
// on: the awaitable that runs and settles it. A new reference, or nullptr
// with an exception set and nothing begun.
PyObject* await_unserved(PyObject* call_object);

}  // namespace lineage_store
