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
// progress, with `shared_class`, the driver's Shared(loop, trio), for their
// entries. False with an exception set.
bool prepare_computations(PyObject* shared_class);

// The Shared entry of the computation of `call` that a task of `loop` is
// running, or None (also for a `loop` of None). Empty with an exception set.
PyRef computation_in_progress(AwaitedCall* call, PyObject* loop);

// Begins the computation of `call` (`call_object`, found registered and not
// served): in the store, in the awaiting task's context and, unless `loop` is
// None, among the computations of that loop, for its other tasks to wait on
// (`trio` says whether it is a trio run). The awaitable that runs and settles
// it, its own iterator; a new reference, or nullptr with an exception set and
// nothing begun.
PyObject* start_computation(PyObject* call_object, PyObject* loop, PyObject* trio);

}  // namespace lineage_store
