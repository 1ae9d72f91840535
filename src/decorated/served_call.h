// served_call.h: the call of a decorated async method whose valid value the
// store held, computing nothing, when the call was made: awaited, it is
// served that value unless the store has moved meanwhile.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/call_arguments.h"
#include "call/call_identity.h"
#include "python/py_ref.h"
#include "store/cache_store.h"

namespace lineage_store {

// What the store held for a call when it was made.
struct FoundNode {
    NodePosition position = kNoNode;  // its registered node, if plain comparisons found one
    PyRef value;                      // the node's value, when the call is valid
    BoundCallRef registered;          // and then the node's bound call, for a call identified by binding
    std::uint32_t version = 0;        // the graph's version then
    bool running = false;             // whether the store was computing then
};

// Run at import, in the main interpreter: makes the type, kept for the rest
// of the process. False with an exception set.
bool prepare_served_calls();

// The object the driver's coroutine calls for the call of `decorator` with
// `arguments`, identified as `hash` from `inputs`, whose node and valid value
// the store held as `found` says, computing nothing. Called, it gives that
// value while the store is as it was; otherwise it makes the AwaitedCall the
// call would have had from the start and looks the call up as the driver
// does. Null with an exception set.
PyRef new_served_call(PyObject* decorator, const CallArguments& arguments, CallHash hash, FunctionInputs inputs,
                      FoundNode& found);

}  // namespace lineage_store
