// call_steps.h: the steps every decorated call takes, whether its method
// returns its result or a coroutine that is awaited.
//
// A call goes through these steps, handing what it found to the next in a
// CallSite and a Step:
//   1. identify: bind and hash its arguments with no section open
//      (call_identity);
//   2. find: find its node with the one lookup (call_lookup), and serve a
//      valid value or begin its computation in the lookup's section
//      (find_or_register); the commonest hit is found in no section at all
//      (look_quietly);
//   3. register: a call the store has never made is registered, with its
//      declared dependencies, in the section of the look that found it
//      absent, and its computation begun (find_or_register again; the
//      commonest miss, found absent by look_quietly, in register_absent);
//   4. compute: run the function with no section open (decorated_call,
//      async_computation);
//   5. store: decide the call's state and store its result in a last
//      section (store_result).
// A hit identifies and finds, and allocates nothing.
//
// The find and register steps are written for any key that names a call:
// the identity of a call just received (CallIdentity), or its bound call
// (BoundCallKey) when the call is looked up later than it was made.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/bound_call.h"
#include "decorated/call_context.h"
#include "python/py_ref.h"
#include "store/cache_store.h"
#include "store/call_lookup.h"
#include "store/decorator_record.h"

namespace lineage_store {

struct CallSite {
    PyObject* decorator;  // the LineageStoreDecorator called
    DecoratorRecord& decorator_record;
    PyObject* instance;
    StoreObject* store;
    // The computations in progress that this context sees, read before the
    // first section whenever the store has any in progress (none of this
    // store's can appear in this context later but by this call's own
    // doing). Empty otherwise.
    ContextView context;
    // Whether finding a call that must be computed begins its computation in
    // the same section (a call that returns its result), or leaves that to a
    // later step (a call awaited, which may wait for another task's instead).
    bool begin_computations = true;
    // How many Python frames up the line that made the call is, for the
    // warnings the call issues: the caller's own frame for a call that
    // returns its result, the awaiting frame for a call awaited.
    int warning_stacklevel = 1;

    // A call that returns its result, made from the caller's own frame.
    static CallSite returning(PyObject* decorator, DecoratorRecord& decorator_record, PyObject* instance) noexcept {
        return {decorator, decorator_record, instance, as_store(instance), {}, true, 1};
    }
    // A call awaited, `stacklevel` frames below the line that awaits it.
    static CallSite awaited(PyObject* decorator, DecoratorRecord& decorator_record, PyObject* instance,
                            int stacklevel) noexcept {
        return {decorator, decorator_record, instance, as_store(instance), {}, false, stacklevel};
    }

    // Reads the computations this context sees when the store has any in
    // progress; false with an exception set.
    bool read_context() {
        const StoreRecord* store_record = store->store_record;
        if (store_record == nullptr || store_record->graph.running_count() == 0) return true;
        context = ContextView::current(store);
        return !PyErr_Occurred();
    }
};

enum class Next {
    Serve,      // `value` is the result
    Compute,    // run the function; its computation holds `slot`
    RunInline,  // the same call is in progress in this context: run the function as part of it
};

struct Step {
    Next next = Next::Compute;
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    PyRef value;
    // A computation that does not track its dependencies made this call
    // without declaring it: its decorator, to be warned about once the
    // section is closed.
    PyRef untracked_caller;
};

// Find and register: finds or registers the call of `key` and serves it, or
// begins its computation, or says it must run as part of the same call in
// progress. A bound call the store let go of is left in `replaced_call`, for
// the caller to release with no section open. False with an exception set.
template <typename Key>
bool find_or_register(const CallSite& site, Key& key, Step& step, BoundCallRef& replaced_call);

// The common miss, registered and its computation begun in one section: a
// call identified by position that look_quietly found absent from a quiet
// store, with no declared dependency. No Python code may have run since that
// look, so the store is as it found it: the call's node and its
// computation's slot, or false with an exception set.
bool register_absent(StoreObject* store, const PositionalIdentity& identity, NodePosition& position,
                     CallGraph::ComputationSlot& slot);

// Find, for a call whose registered node was found when the call was made.
// False with an exception set.
bool serve_registered(const CallSite& site, NodePosition position, Step& step);

// In a section: begins the computation of a registered call, which
// find_or_register found to compute without beginning it.
void begin_computation(CallGraph& graph, Step& step);

// Warns, with no section open, about a call that a computation which does
// not track its dependencies made without declaring it (see Step). False
// with the warning's exception set (an error filter).
bool warn_if_untracked(const CallSite& site, Step& step);

// Store, in a last section: ends the computation in `slot` and decides the
// call's state from the calls it was computed from; stores `result` when the
// call ends valid. An overlapped computation (one that an invalidation or
// clear_cache reached while it ran, or whose function changed under it, as
// `function_changed` says) is returned but not stored. The value it
// replaces is left in `replaced`. False with PanicException set. The
// computation ends whichever way it returns.
// `overlapped`, when given, is set to whether the computation was.
bool store_result(StoreObject* store, NodePosition position, CallGraph::ComputationSlot slot, bool use_cache,
                  bool function_changed, PyObject* result, PyRef& replaced, bool* overlapped = nullptr);

// Gives back the slot of a computation begun in a section and ended
// otherwise than by store_result (the function raised, or the call was given
// up). No section is taken for that: slots are only ever touched in sections
// that run no Python code, so under the interpreter lock no reader can be
// inside one. A daemon thread being ended at interpreter exit leaves the
// store alone.
inline void give_back(StoreObject* store, CallGraph::ComputationSlot slot) noexcept {
    if (store->store_record != nullptr && !must_abandon_python_state())
        store->store_record->graph.end_computation(slot);
}

}  // namespace lineage_store
