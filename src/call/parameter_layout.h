// parameter_layout.h: how a plain Python function's parameters bind, worked
// out once per code object and defaults, and kept by each decorator.
//
// A layout is derived from the function's __code__ (parameter names, kinds
// and counts) and __defaults__, and is kept for as long as the function has
// those very objects: reassigning either makes the next call derive another.
// The keyword-only defaults live in a dict that may change in place, so they
// are read at each call that needs them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "call/bound_call.h"
#include "call/tuple_hash.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

struct ParameterLayout {
    // The objects the layout was derived from, held: the function may let go
    // of them at any time, and the layout's borrowed names and defaults live
    // in them.
    PyRef code;
    PyRef defaults;
    // False when inspect must bind every call of this code: parameter names
    // that inspect would reject or merge, defaults it would not read alike.
    bool native = false;
    Py_ssize_t positional_count = 0;
    Py_ssize_t positional_only_count = 0;
    Py_ssize_t keyword_only_count = 0;
    bool has_var_positional = false;
    bool has_var_keyword = false;
    // In parameter order: positional, keyword-only, *args, then **kwargs.
    ReleasingVector<PyRef> names;
    // Where each parameter goes in the call tuple's order (sorted by name,
    // without "self"), or -1 for "self"; and which parameter that is, or -1.
    std::vector<std::int32_t> place_of;
    Py_ssize_t self_index = -1;
    // The call tuple's parameters in its order: their names (borrowed from
    // `names`) and the hash of each name.
    std::vector<PyObject*> kept_names;
    std::vector<Py_hash_t> name_hashes;
    // Where *args and **kwargs sit in the call tuple's order, or -1. Their
    // values are not slots of the call; these tell them apart.
    std::int32_t var_positional_place = -1;
    std::int32_t var_keyword_place = -1;
    // The default of each positional parameter, borrowed from `defaults`, or
    // null where it has none.
    std::vector<PyObject*> positional_defaults;
    // In the call tuple's order: the positional default that fills each
    // place and its hash, where the default is of a plain type (see
    // is_plain), whose hash never changes; null and -1 elsewhere.
    std::vector<PyObject*> plain_default_at;
    std::vector<Py_hash_t> plain_default_hash_at;
    Py_hash_t method_name_hash = -1;
    // Parameters self first, then positional ones only (no keyword-only
    // parameter, no *args or **kwargs): a call by position binds each
    // argument, and each default, straight to its place. For such a layout,
    // the parameter at each place of the call tuple, and the name's half of
    // its pair's hash.
    bool binds_by_position = false;
    Py_ssize_t required_count = 0;  // self and the parameters without a default
    // For a layout that binds by position, what each place of the call tuple
    // takes, in the tuple's order.
    struct PositionalPlace {
        Py_ssize_t parameter;         // the positional parameter at the place
        PyObject* default_value;      // its default, borrowed from `defaults`, or null
        PyObject* plain_default;      // the default again where it is plain, else null
        Py_hash_t plain_default_pair; // and the hash of its pair with the name
        PairHash name;                // the name's half of the pair's hash
    };
    std::vector<PositionalPlace> positional_places;
    // A code object without any parameter but self: every call is the same,
    // and shares one bound call and one hash.
    BoundCallRef constant_call;
    Py_hash_t constant_hash = -1;

    std::uint32_t holders = 1;
    static void destroy(ParameterLayout* layout) noexcept(false) { delete layout; }

    std::size_t kept_count() const noexcept { return kept_names.size(); }

    // The parameter a keyword names, or -1; positional-only parameters, *args
    // and **kwargs cannot be named. Runs no Python code.
    Py_ssize_t keyword_index(PyObject* name) const noexcept;
    bool is_positional_only(PyObject* name) const noexcept;
};

using LayoutRef = CountedRef<ParameterLayout>;

// Keeps inspect.Parameter.empty, which layouts must recognise as "no
// default". Run once, before the first layout is derived.
bool prepare_parameter_layouts(PyObject* inspect_parameter_empty);

// What a decorator keeps between calls: the layout for the code object and
// defaults its function had at the last call.
class BindingCache {
public:
    // Native binding needs the interpreter shortcuts: set once, when the
    // decorator is built.
    void allow_native(bool allowed) noexcept {
        native_allowed_ = allowed;
        const InterpreterShortcuts& objects = shortcuts;
        positional_ready_ = allowed && objects.function_dict_offset > 0 && objects.code.offset > 0 &&
                            objects.defaults.offset > 0 && call_hash_is_native();
    }
    bool native_allowed() const noexcept { return native_allowed_; }
    // Whether calls may be identified by position (PositionalIdentity): native
    // binding, a function's code, defaults and attributes read in place, and
    // the call hash computed natively.
    bool positional_ready() const noexcept { return positional_ready_; }

    // layout_for, where positional_ready(): the code and defaults read in place.
    const LayoutRef& positional_layout_for(PyObject* method_name, PyObject* func) {
        const InterpreterShortcuts& objects = shortcuts;
        if (code_ != nullptr && objects.code.read_borrowed(func) == code_ &&
            objects.defaults.read_borrowed(func) == defaults_) {
            return current_;
        }
        return derive_layout_for(method_name, func);
    }

    // The layout kept for `func`'s current code and defaults, derived first
    // when it is not the one kept. The caller copies the reference before
    // anything can run Python code. Empty with an exception set on failure.
    const LayoutRef& layout_for(PyObject* method_name, PyObject* func) {
        const InterpreterShortcuts& objects = shortcuts;
        if (objects.code.offset <= 0 || objects.defaults.offset <= 0) return read_layout_for(method_name, func);
        // Compared with copies kept here, so that a call reads no other block.
        if (code_ != nullptr && objects.code.read_borrowed(func) == code_ &&
            objects.defaults.read_borrowed(func) == defaults_) {
            return current_;
        }
        return derive_layout_for(method_name, func);
    }

private:
    // layout_for where the code and defaults cannot be read in place.
    const LayoutRef& read_layout_for(PyObject* method_name, PyObject* func);
    const LayoutRef& derive_layout_for(PyObject* method_name, PyObject* func);

    LayoutRef current_;
    PyObject* code_ = nullptr;      // borrowed from current_
    PyObject* defaults_ = nullptr;  // borrowed from current_
    bool native_allowed_ = false;
    bool positional_ready_ = false;
};

}  // namespace lineage_store
