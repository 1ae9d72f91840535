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
#include "call/tuple_hash.h"
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
    // Inline: it is most of a hit, whose caller's frame has room for it.
    int identify(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments) {
        if (!Py_IS_TYPE(func, shortcuts.function_type) || arguments.keyword_count() != 0 || !cache.positional_ready()) {
            return 0;
        }
        PyObject* attributes = function_attribute_dict(func);
        if (attributes != nullptr && PyDict_Size(attributes) != 0) return 0;
        const LayoutRef& found = cache.positional_layout_for(method_name, func);
        if (!found) return -1;
        const ParameterLayout& layout = *found;
        const Py_ssize_t given = arguments.positional_count();
        if (!layout.native || !layout.binds_by_position || given < layout.required_count ||
            given > layout.positional_count || layout.kept_count() > kMaxKept) {
            return 0;
        }
        layout_ = found.get();
        method_name_ = method_name;
        size_ = layout.kept_count();
        CallHasher call_hash;
        const ParameterLayout::PositionalPlace* places = layout.positional_places.data();
        for (std::size_t j = 0; j < size_; ++j) {
            const ParameterLayout::PositionalPlace& place = places[j];
            PyObject* value = place.parameter < given ? arguments.positional(place.parameter) : place.default_value;
            values_[j] = value;
            // A plain default left as it is: its pair is hashed with the layout.
            if (value == place.plain_default) {
                call_hash.add_pair(place.plain_default_pair);
                continue;
            }
            if (!held_layout_ && !is_plain(value)) held_layout_ = found;
            const Py_hash_t value_hash = into_python([&] { return PyObject_Hash(value); });
            if (value_hash == -1) {
                note_unhashable(j);
                return -1;
            }
            call_hash.add_argument(place.name, value_hash);
        }
        hash_ = call_hash.finish(layout.method_name_hash);
        return 1;
    }

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
    // Adds to the TypeError of hashing argument `j` which argument of which
    // method it was.
    [[gnu::cold]] void note_unhashable(std::size_t j) const;

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
