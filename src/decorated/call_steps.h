// call_steps.h: the steps every decorated call takes, whether its method
// returns its result or a coroutine that is awaited.
//
// A call goes through these steps, handing what it found to the next in a
// CallSite and a Step:
//   identify: bind and hash its arguments (call_identity), with no section
//      open, or find it among the calls its decorator remembers as received
//      (remembered_call);
//   find: find its node and serve a valid value, or begin its computation,
//      in one section (find_or_register); where only an argument's __eq__
//      can tell which node is the call's, compare outside and come back;
//   register: register a call the store has never made, with its declared
//      dependencies, and begin its computation, in one section
//      (find_or_register again); a call with neither declared dependencies
//      nor *args or **kwargs to collect registers in the find step's section;
//   compute: run the function with no section open (decorated_call,
//      async_computation);
//   store: decide the call's state and store its result in a last section
//      (store_result).
// A hit identifies and finds, and allocates nothing; one the decorator
// remembers finds in no section at all (valid_value_of, in cache_store).
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
    // Whether a call the store has never made is registered by
    // find_or_register, or left to the caller as a Register step (a call
    // identified as a remembered one, which must be registered with its own
    // arguments).
    bool register_calls = true;
};

enum class Next {
    Serve,      // `value` is the result
    Compute,    // run the function; its computation holds `slot`
    RunInline,  // the same call is in progress in this context: run the function as part of it
    Register,   // the store has never made the call; `position` is its unregistered node, if any
};

struct Step {
    Next next = Next::Register;
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    PyRef value;
    // The bound call of the node served, for a call that find_or_register
    // registers (see CallSite::register_calls).
    BoundCallRef registered_call;
    // A computation that does not track its dependencies made this call
    // without declaring it: its decorator, to be warned about once the
    // section is closed.
    PyRef untracked_caller;
};

// A call named by its bound call, made when it was called: for a call looked
// up after its arguments are gone.
class BoundCallKey {
public:
    BoundCallKey(CallHash hash, BoundCallRef call) noexcept : hash_(hash), call_(std::move(call)) {}

    CallHash hash() const noexcept { return hash_; }
    int equals_without_python(const BoundCall& registered) const noexcept {
        return calls_equal_without_python(registered, *call_);
    }
    int equals(const BoundCall& registered) { return calls_equal(registered, *call_); }
    const BoundCallRef& bound_call() const noexcept { return call_; }

private:
    CallHash hash_;
    BoundCallRef call_;
};

// Find and register: finds or registers the call of `key` and serves it, or
// begins its computation, or says it must run as part of the same call in
// progress. A bound call the store let go of is left in `replaced_call`, for
// the caller to release with no section open. False with an exception set.
template <typename Key>
bool find_or_register(const CallSite& site, Key& key, Step& step, BoundCallRef& replaced_call);

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
