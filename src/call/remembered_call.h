// remembered_call.h: the calls of a decorator as they were received, so
// that a call received again in a form seen before is identified without
// binding it.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>

#include "call/bound_call.h"
#include "call/call_arguments.h"
#include "call/call_identity.h"
#include "call/parameter_layout.h"

namespace lineage_store {

// The calls of a decorator found registered, remembered as they were
// received with the identity they had, so that a call received again in the
// same form (the same layout, positional count and keyword names, and
// arguments that are the same objects or equal plain ones) is identified
// without binding, filling defaults or hashing. Each holds the registered
// bound call, whose values are the arguments compared with, and the layout,
// whose names the keywords are compared with; only calls of plain arguments
// (str, int, float, bool, bytes, None) are remembered, so that they keep
// alive nothing but such values, and every comparison is decided without
// Python code.
//
// One call is remembered until a second form is: a method called the same
// way again and again never hashes what it receives. Then up to kSlots are,
// each in the slot that the hashes of its received arguments choose, a
// newer call taking the place of an older one.
class RememberedCall {
public:
    static constexpr std::size_t kSlots = 64;
    // Calls of more arguments than this (self aside) are not remembered.
    static constexpr std::size_t kMaxTargets = 6;

    // Borrowed from a remembered call: valid until anything may run Python
    // code (which may remember another call), so a caller that goes further
    // takes its own holds first.
    struct Match {
        Py_hash_t hash = -1;
        const BoundCall* call = nullptr;
        const ParameterLayout* layout = nullptr;
    };

    RememberedCall() noexcept;
    RememberedCall(const RememberedCall&) = delete;
    RememberedCall& operator=(const RememberedCall&) = delete;
    RememberedCall(RememberedCall&&) noexcept = default;
    RememberedCall& operator=(RememberedCall&&) = delete;
    ~RememberedCall() noexcept(false);

    // Whether `arguments`, passed to `func`, are a remembered call received
    // again; if so, `out` is filled from it. Runs no Python code.
    bool matches(PyObject* func, const CallArguments& arguments, Match& out) const noexcept;

    // Remembers `arguments`, identified as `identity` and found registered as
    // `registered`, when the call qualifies. Releases what it remembered
    // there before, which may run Python code: no store section may be held.
    void remember(const CallArguments& arguments, const CallIdentity& identity, const BoundCallRef& registered);

    // The objects held, for the collector.
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    // Where a received argument sits in the bound call: its parameter's
    // place, and the item of that parameter's *args or **kwargs tuple, or -1.
    struct Target {
        std::int32_t place;
        std::int32_t item;
        PyObject* keyword;  // borrowed from the layout or the bound call; null for a positional
    };
    struct Form {
        Py_hash_t hash = -1;
        BoundCallRef call;
        LayoutRef layout;
        Py_ssize_t positional_count = 0;
        std::size_t slot = 0;  // in a table of kSlots
        // The positional arguments from the second, then the keywords.
        std::array<Target, kMaxTargets> targets{};
        std::size_t target_count = 0;

        bool add_target(const Target& target) noexcept {
            if (target_count == kMaxTargets) return false;
            targets[target_count++] = target;
            return true;
        }
    };

    // The slot of the call received as `arguments` in a table of kSlots,
    // from its form and its arguments' hashes; false for arguments not all
    // plain, which no remembered call has.
    static bool slot_of(const CallArguments& arguments, std::size_t& slot) noexcept;
    // Puts `form` in its place, the table made at a second form; what the
    // place held is released.
    void place(Form& form);

    // One Form until a second form is remembered, then kSlots of them.
    std::unique_ptr<Form[]> forms_;
    bool table_ = false;
};

}  // namespace lineage_store
