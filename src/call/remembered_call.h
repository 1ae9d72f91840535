// remembered_call.h: the last call of a decorator as it was received, so
// that the same call received again is identified without binding it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/bound_call.h"
#include "call/call_arguments.h"
#include "call/call_identity.h"
#include "call/parameter_layout.h"
#include "graph/small_array.h"

namespace lineage_store {

// The last call of a decorator as it was received, remembered with the
// identity it had, so that the next call received in the same form (the
// same layout, positional count and keyword names, and arguments that are
// the same objects or equal plain ones) is identified without binding,
// filling defaults or hashing. It holds the registered bound call, whose
// values are the arguments compared with, and the layout, whose names the
// keywords are compared with; only calls of plain arguments (str, int,
// float, bool, bytes, None) are remembered, so that it keeps alive nothing
// but such values, and every comparison is decided without Python code.
class RememberedCall {
public:
    // Borrowed from the remembered call: valid until anything may run Python
    // code (which may remember another call), so a caller that goes further
    // takes its own holds first.
    struct Match {
        Py_hash_t hash = -1;
        const BoundCall* call = nullptr;
        const ParameterLayout* layout = nullptr;
    };

    // Whether `arguments`, passed to `func`, are the remembered call received
    // again; if so, `out` is filled from it. Runs no Python code.
    bool matches(PyObject* func, const CallArguments& arguments, Match& out) const noexcept;

    // Remembers `arguments`, identified as `identity` and found registered as
    // `registered`, when the call qualifies. Releases what it remembered
    // before, which may run Python code: no store section may be held.
    void remember(const CallArguments& arguments, const CallIdentity& identity, const BoundCallRef& registered);

    // The objects held, for the collector.
    int traverse(visitproc visit, void* arg) const noexcept { return call_ ? call_->traverse(visit, arg) : 0; }

private:
    // Where a received argument sits in the bound call: its parameter's
    // place, and the item of that parameter's *args or **kwargs tuple, or -1.
    struct Target {
        std::int32_t place;
        std::int32_t item;
        PyObject* keyword;  // borrowed from the layout or the bound call; null for a positional
    };

    Py_hash_t hash_ = -1;
    BoundCallRef call_;
    LayoutRef layout_;
    Py_ssize_t positional_count_ = 0;
    SmallArray<Target, 4> targets_;  // positional arguments from the second, then the keywords
};

}  // namespace lineage_store
