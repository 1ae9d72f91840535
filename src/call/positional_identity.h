// positional_identity.h: the identity of the commonest call, bound by
// position from the function's parameter layout and hashed with nothing made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "call/bound_call.h"
#include "call/call_arguments.h"
#include "call/function_inputs.h"
#include "call/parameter_layout.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

// The identity of the commonest call, made with nothing a lookup does not
// need: a plain function whose layout binds by position (self, then
// positional parameters only; see ParameterLayout::binds_by_position),
// called by position with no more arguments than it has parameters and
// enough for those without a default, and whose attributes hold nothing
// inspect would read first. A hit is served from it alone; any other step
// takes it over into a CallIdentity, hashed already.
class PositionalIdentity {
public:
    // Calls of more parameters than this (self aside) are identified by
    // CallIdentity::identify alone.
    static constexpr std::size_t kMaxKept = 8;

    // 1 when the call is of that kind and identified; 0 when it is not (no
    // Python code has run then); -1 with the exception of hashing set.
    int identify(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments);

    Py_hash_t hash() const noexcept { return hash_; }
    PyObject* method_name() const noexcept { return method_name_; }

    // The bound call of this call, for registration. Runs no Python code and
    // allocates no collected object, so it may be made in a store section.
    // Empty with MemoryError set on failure.
    BoundCallRef make_bound_call() const noexcept;

    // The arguments, in the call tuple's order: size() of them.
    std::size_t size() const noexcept { return size_; }
    PyObject* value(std::size_t j) const noexcept { return values_[j]; }

    // Hands over the layout the identity was computed from, held; the
    // identity is done with after this.
    LayoutRef take_layout() noexcept { return held_layout_ ? std::move(held_layout_) : LayoutRef(layout_); }

    // Hands over what the identity was computed from, for the computation;
    // the identity is done with after this.
    FunctionInputs take_inputs() noexcept { return FunctionInputs(take_layout()); }

    // Whether `registered` is this call: 1, 0, or -1 when only Python code can
    // tell. Made by this decorator's layout with the very argument objects,
    // as a hit is, it is decided here, inline, with nothing called; any other
    // value is compared out of line.
    int matches_without_python(const BoundCall& registered) const noexcept {
        if (registered.method_name() != method_name_ || registered.size() != size_) return -1;
        const ParameterLayout& layout = *layout_;
        for (std::size_t j = 0; j < size_; ++j) {
            if (registered.name(j) != layout.kept_names[j]) return -1;
            if (registered.value(j) != values_[j]) return values_match_from(registered, j);
        }
        return 1;
    }

private:
    // matches_without_python from the `first` value that is not the very
    // object: the names and the values before it match.
    int values_match_from(const BoundCall& registered, std::size_t first) const noexcept;

    // Borrowed from the decorator's binding cache while no Python code can
    // have run; held from the first argument whose hash may run some (code
    // that may replace the function's code, and so the cached layout).
    const ParameterLayout* layout_ = nullptr;
    LayoutRef held_layout_;
    PyObject* method_name_ = nullptr;  // borrowed from the decorator
    Py_hash_t hash_ = -1;
    std::size_t size_ = 0;
    PyObject* values_[kMaxKept];  // borrowed from the call or the layout's defaults
};

}  // namespace lineage_store
