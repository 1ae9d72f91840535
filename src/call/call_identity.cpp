// call_identity.cpp: binding, hashing and comparing the calls of decorated
// methods.
#include "call/call_identity.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "call/reference_binding.h"
#include "call/tuple_hash.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

struct BindingObjects {
    // Attributes of a function that inspect.signature consults before its
    // code object: where one is present, inspect decides.
    std::array<PyObject*, 5> signature_overrides{};
    // inspect.Parameter.empty: a default that inspect reads as no default.
    PyObject* parameter_empty = nullptr;
};

// Filled once, like the shortcuts.
BindingObjects binding_objects;

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }

}  // namespace

LINEAGE_STORE_LETS_FORCED_UNWIND_PASS bool prepare_call_identity() {
    return guarded(false, [] {
        if (!prepare_interpreter_shortcuts()) return false;
        if (binding_objects.signature_overrides[0] != nullptr) return true;
        BindingObjects found;
        found.signature_overrides = {intern("__signature__"), intern("__wrapped__"), intern("__text_signature__"),
                                     intern("_partialmethod"), intern("__partialmethod__")};
        if (std::ranges::find(found.signature_overrides, nullptr) != found.signature_overrides.end()) return false;
        if (!prepare_call_hash()) return false;
        binding_objects = found;
        return true;
    });
}

bool native_binding_ready() noexcept { return binding_objects.parameter_empty != nullptr; }

bool prepare_reference_binding() {
    if (binding_objects.parameter_empty != nullptr) return true;
    PyRef inspect = inspect_module();
    if (!inspect) return false;
    PyRef parameter = PyRef::steal(into_python([&] { return PyObject_GetAttrString(inspect.get(), "Parameter"); }));
    if (!parameter) return false;
    PyObject* empty = into_python([&] { return PyObject_GetAttrString(parameter.get(), "empty"); });
    if (empty == nullptr) return false;
    binding_objects.parameter_empty = empty;  // owned for the rest of the process
    return prepare_parameter_layouts(empty);
}

// ---------------------------------------------------------------------------
// Identifying natively

namespace {

// Whether `func` has an attribute that inspect reads before its code, which
// leaves the call to inspect: 1 or 0, or -1 with an exception set.
// `attributes` is its __dict__ as read in place, or null where the
// interpreter gives no way to.
int signature_overridden(PyObject* func, PyObject* attributes) {
    PyRef held;
    if (attributes == nullptr) {
        held = PyRef::steal(PyObject_GenericGetDict(func, nullptr));
        if (!held) return -1;
        attributes = held.get();
    }
    if (PyDict_Size(attributes) <= 0) return 0;
    // Looking up interned str keys runs no Python code.
    for (PyObject* name : binding_objects.signature_overrides) {
        if (PyDict_GetItemWithError(attributes, name) != nullptr) return 1;
        if (PyErr_Occurred()) return -1;
    }
    return 0;
}

}  // namespace

// The whole identify step of a plain function's call: the layout of its code
// and defaults, the arguments bound in call-tuple order, and the call hash
// from the argument hashes, as hashing the call tuple would give it (the
// arguments hashed in the tuple's order, so that an exception is the one
// hashing the tuple would raise). Any call this does not understand goes to
// inspect.
bool CallIdentity::identify(BindingCache& cache, PyObject* method_name, PyObject* func,
                            const CallArguments& arguments) {
    method_name_ = method_name;
    PositionalIdentity by_position;
    const int positional = by_position.identify(cache, method_name, func, arguments);
    if (positional != 0) {
        if (positional < 0) return false;
        take_over(by_position);
        return true;
    }
    if (!cache.native_allowed() || !Py_IS_TYPE(func, shortcuts.function_type)) {
        return identify_through_inspect(func, arguments);
    }
    // A function whose attributes inspect reads before its code: inspect decides.
    PyObject* attributes = shortcuts.function_dict_offset > 0 ? function_attribute_dict(func) : nullptr;
    if (shortcuts.function_dict_offset <= 0 || (attributes != nullptr && PyDict_Size(attributes) > 0)) {
        const int overridden = signature_overridden(func, attributes);
        if (overridden != 0) return overridden > 0 && identify_through_inspect(func, arguments);
    }
    // Held: hashing the arguments below may run Python code that calls this
    // method again after its __code__ was replaced.
    layout_ = cache.layout_for(method_name, func);
    if (!layout_) return false;
    const ParameterLayout& layout = *layout_;
    if (!layout.native) return identify_through_inspect(func, arguments);
    // A method of self alone, called with the instance alone: always the
    // same call, whose bound call is at hand.
    if (layout.constant_call && arguments.positional_count() == 1 && arguments.keyword_count() == 0 &&
        layout.positional_count == 1 && layout.keyword_only_count == 0 && !layout.has_var_positional) {
        hash_ = layout.constant_hash;
        bound_call_ = layout.constant_call;
        return true;
    }
    const int bound = bind_natively(func, arguments);
    if (bound <= 0) return bound == 0 && identify_through_inspect(func, arguments);
    if (!call_hash_is_native()) {
        PyObject* tuple = call_tuple();
        if (tuple == nullptr) return false;
        hash_ = call_tuple_hash(tuple);
        if (hash_ == -1) explain_unhashable_in(tuple);
        return hash_ != -1;
    }
    CallHasher call_hash;
    for (std::size_t j = 0; j < layout.kept_count(); ++j) {
        PyObject* value = values_[j];
        Py_hash_t value_hash = layout.plain_default_hash_at[j];
        if (value == nullptr) {
            value_hash = collected_hash(j);  // of *args or **kwargs; an error explained there
            if (value_hash == -1) return false;
        } else if (value != layout.plain_default_at[j]) {
            value_hash = into_python([&] { return PyObject_Hash(value); });
            if (value_hash == -1) return explain_unhashable(layout.kept_names[j]), false;
        }
        call_hash.add_argument(layout.name_hashes[j], value_hash);
    }
    hash_ = call_hash.finish(layout.method_name_hash);
    return true;
}

void CallIdentity::take_over(PositionalIdentity& identified) noexcept {
    method_name_ = identified.method_name();
    hash_ = identified.hash();
    layout_ = identified.take_layout();
    self_given_ = true;
    const std::size_t size = identified.size();
    if (size == 0 && layout_->constant_call) {
        bound_call_ = layout_->constant_call;
        return;
    }
    values_.resize_for_overwrite(size);
    for (std::size_t j = 0; j < size; ++j) values_[j] = identified.value(j);
}

// Puts each argument in its place in the call tuple's order, and gives every
// parameter not given its default. 0 for any call that inspect must bind (an
// error among them, so that the message is inspect's), -1 with an exception
// set.
int CallIdentity::bind_natively(PyObject* func, const CallArguments& arguments) {
    const ParameterLayout& layout = *layout_;
    const Py_ssize_t given = arguments.positional_count();
    if (given > layout.positional_count && !layout.has_var_positional) return 0;
    values_.assign(layout.kept_count(), nullptr);
    PyObject** values = values_.data();
    const Py_ssize_t bound_positionally = std::min(given, layout.positional_count);
    for (Py_ssize_t i = 0; i < bound_positionally; ++i) {
        const std::int32_t place = layout.place_of[static_cast<std::size_t>(i)];
        if (place >= 0) values[place] = arguments.positional(i);
    }
    self_given_ = layout.self_index >= 0 && layout.self_index < bound_positionally;
    var_positional_count_ = std::max<Py_ssize_t>(given - layout.positional_count, 0);
    var_positional_ = var_positional_count_ > 0 ? arguments.positional_from(layout.positional_count) : nullptr;
    for (Py_ssize_t k = 0; k < arguments.keyword_count(); ++k) {
        PyObject* name = arguments.keyword_name(k);
        if (!PyUnicode_CheckExact(name)) return 0;
        const Py_ssize_t index = layout.keyword_index(name);
        if (index < 0) {
            // inspect's treatment of a positional-only name given as a keyword
            // has changed between versions: it decides.
            if (!layout.has_var_keyword || layout.is_positional_only(name)) return 0;
            var_keywords_.push_back(name);
            var_keywords_.push_back(arguments.keyword_value(k));
            continue;
        }
        // Bound by position already: inspect's TypeError.
        if (index < bound_positionally) return 0;
        const std::int32_t place = layout.place_of[static_cast<std::size_t>(index)];
        if (place < 0) {
            // "self" given by keyword: bound, and left out of the identity.
            self_given_ = true;
            continue;
        }
        if (values[place] != nullptr) return 0;
        values[place] = arguments.keyword_value(k);
    }
    if (var_keyword_count() > 1) sort_var_keywords();
    // The defaults. "self" too is left out of the identity but must still be
    // bound: without an argument or a default, inspect raises.
    for (Py_ssize_t i = 0; i < layout.positional_count + layout.keyword_only_count; ++i) {
        const std::int32_t place = layout.place_of[static_cast<std::size_t>(i)];
        if (place < 0 ? self_given_ : values[place] != nullptr) continue;
        PyObject* value = nullptr;
        if (i < layout.positional_count) {
            value = layout.positional_defaults[static_cast<std::size_t>(i)];
        } else if (const int found = keyword_only_default(func, i, place >= 0, value); found <= 0) {
            return found;
        }
        if (value == nullptr) return 0;
        if (place >= 0) values[place] = value;
    }
    return 1;
}

// **kwargs in the call tuple's order: sorted by name in code-point order. The
// names of one call are distinct exact str, so comparing them runs no Python
// code; insertion sort, as there are rarely more than a few.
void CallIdentity::sort_var_keywords() noexcept {
    const Py_ssize_t collected = var_keyword_count();
    PyObject** pairs = var_keywords_.data();
    for (Py_ssize_t i = 1; i < collected; ++i) {
        PyObject* name = pairs[2 * i];
        PyObject* value = pairs[2 * i + 1];
        Py_ssize_t at = i;
        for (; at > 0 && PyUnicode_Compare(pairs[2 * (at - 1)], name) > 0; --at) {
            pairs[2 * at] = pairs[2 * (at - 1)];
            pairs[2 * at + 1] = pairs[2 * (at - 1) + 1];
        }
        pairs[2 * at] = name;
        pairs[2 * at + 1] = value;
    }
}

// The default of keyword-only parameter `i` in `value`, read from the
// function's __kwdefaults__ at every call that needs it: the dict may change
// in place. One that fills a place of the identity is `taken`, kept to be
// checked when the computation ends. 0 when it has none (inspect raises the
// TypeError), -1 with an exception set.
int CallIdentity::keyword_only_default(PyObject* func, Py_ssize_t i, bool taken, PyObject*& value) {
    CallHoldings& held = holdings();
    if (!held.kwdefaults_dict) {
        held.kwdefaults_dict = PyRef::steal(shortcuts.kwdefaults.read(func, shortcuts.function_type));
        if (!held.kwdefaults_dict) return -1;
    }
    if (!PyDict_Check(held.kwdefaults_dict.get())) return 0;
    PyObject* name = layout_->names[static_cast<std::size_t>(i)].get();
    // A str key of our own: the lookup runs no Python code.
    value = PyDict_GetItemWithError(held.kwdefaults_dict.get(), name);
    if (value == nullptr) return PyErr_Occurred() ? -1 : 0;
    if (value == binding_objects.parameter_empty) return 0;
    if (taken) held.kwdefaults.push_back({name, PyRef::borrow(value)});
    return 1;
}

// The hash of the *args or **kwargs tuple at place `j` of the call tuple, as
// hashing that tuple would give it; -1 with an exception set.
Py_hash_t CallIdentity::collected_hash(std::size_t j) {
    const ParameterLayout& layout = *layout_;
    TupleHash items;
    if (static_cast<std::int32_t>(j) == layout.var_keyword_place) {
        for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
            const Py_hash_t name_hash = PyObject_Hash(var_keyword_name(i));  // an exact str
            if (name_hash == -1) return -1;
            const Py_hash_t item = into_python([&] { return PyObject_Hash(var_keyword_value(i)); });
            if (item == -1) return explain_unhashable(layout.kept_names[j]), -1;
            items.add(pair_hash(name_hash, item));
        }
        return items.finish();
    }
    for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
        const Py_hash_t item = into_python([&] { return PyObject_Hash(var_positional_[i]); });
        if (item == -1) return explain_unhashable(layout.kept_names[j]), -1;
        items.add(item);
    }
    return items.finish();
}

void CallIdentity::explain_unhashable(PyObject* parameter_name) {
    note_unhashable_argument(parameter_name, [&] {
        return PyRef::steal(into_python(
            [&] { return PyUnicode_FromFormat("while identifying a call of the cached method %R", method_name_); }));
    });
}

// Which argument of `call_tuple` its hash failed on: found again, on this
// error path only.
void CallIdentity::explain_unhashable_in(PyObject* call_tuple) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef unhashable;
    {
        SavedException raised;  // set again when this block ends
        PyObject* pairs = PyTuple_GetItem(call_tuple, 1);
        for (Py_ssize_t j = 0; pairs != nullptr && !unhashable && j < PyTuple_Size(pairs); ++j) {
            PyRef pair = PyRef::borrow(PyTuple_GetItem(pairs, j));
            if (into_python([&] { return PyObject_Hash(PyTuple_GetItem(pair.get(), 1)); }) != -1) continue;
            PyErr_Clear();
            unhashable = PyRef::borrow(PyTuple_GetItem(pair.get(), 0));
        }
    }
    if (unhashable) explain_unhashable(unhashable.get());
}

// ---------------------------------------------------------------------------
// Binding through inspect

bool CallIdentity::identify_through_inspect(PyObject* func, const CallArguments& arguments) {
    layout_.reset();
    values_.clear();
    var_keywords_.clear();
    holdings_.reset();
    if (PyObject_TypeCheck(func, shortcuts.function_type) && !note_function_inputs(func)) return false;
    PyRef args = arguments.args_tuple();
    if (!args) return false;
    PyRef kwargs = arguments.kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return false;
    NormalisedCall normalised;
    if (!normalise_function_signature_and_hash(method_name_, func, args.get(), kwargs.get(), normalised)) {
        if (normalised.call_tuple) explain_unhashable_in(normalised.call_tuple.get());
        return false;
    }
    hash_ = normalised.hash;
    holdings().call_tuple = std::move(normalised.call_tuple);
    return true;
}

// inspect reads all three, so all three are kept, and the keyword-only
// defaults as they are now: the dict may be changed in place.
bool CallIdentity::note_function_inputs(PyObject* func) {
    const InterpreterShortcuts& objects = shortcuts;
    CallHoldings& held = holdings();
    held.code = PyRef::steal(objects.code.read(func, objects.function_type));
    held.defaults = PyRef::steal(objects.defaults.read(func, objects.function_type));
    held.kwdefaults_dict = PyRef::steal(objects.kwdefaults.read(func, objects.function_type));
    if (!held.code || !held.defaults || !held.kwdefaults_dict) return false;
    if (PyDict_Check(held.kwdefaults_dict.get())) {
        held.kwdefaults_copy = PyRef::steal(into_python([&] { return PyDict_Copy(held.kwdefaults_dict.get()); }));
        if (!held.kwdefaults_copy) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Bound calls and call tuples

bool CallIdentity::arguments_atomic() const noexcept {
    for (std::size_t j = 0; j < values_.size(); ++j) {
        if (values_[j] != nullptr && may_be_tracked(values_[j])) return false;
    }
    for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
        if (may_be_tracked(var_positional_[i])) return false;
    }
    for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
        if (may_be_tracked(var_keyword_value(i))) return false;
    }
    return true;
}

PyRef CallIdentity::parameter_value(std::size_t j, bool atomic) const {
    if (values_[j] != nullptr) return PyRef::borrow(values_[j]);
    PyRef value;
    if (static_cast<std::int32_t>(j) == layout_->var_keyword_place) {
        value = new_tuple(var_keyword_count());
        if (!value) return {};
        for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
            PyRef pair = new_pair(var_keyword_name(i), var_keyword_value(i));
            if (!pair) return {};
            if (atomic) PyObject_GC_UnTrack(pair.get());
            PyTuple_SetItem(value.get(), i, pair.release());
        }
    } else {
        value = new_tuple(var_positional_count_);
        if (!value) return {};
        for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
            PyTuple_SetItem(value.get(), i, Py_NewRef(var_positional_[i]));
        }
    }
    // The tuples of *args and **kwargs kept in bound calls leave the
    // collector at once when nothing in them can form a cycle, as the
    // collector would leave them at its first pass, so that stored calls do
    // not fill the young generation.
    if (atomic) PyObject_GC_UnTrack(value.get());
    return value;
}

int CallIdentity::make_bound_call(bool in_section) {
    if (bound_call_) return 1;
    const bool collected_tuples = layout_ && (layout_->var_positional_place >= 0 || layout_->var_keyword_place >= 0);
    if (in_section && (!layout_ || collected_tuples)) return 0;
    if (!layout_) {
        // Bound through inspect: the tuple is at hand.
        bound_call_ = bound_call_of_tuple(holdings().call_tuple.get());
        return bound_call_ ? 1 : -1;
    }
    const ParameterLayout& layout = *layout_;
    const std::size_t kept = layout.kept_count();
    BoundCall* made = BoundCall::make(method_name_, kept);
    if (made == nullptr) return -1;
    BoundCallRef held = BoundCallRef::adopt(made);
    const bool atomic = collected_tuples && arguments_atomic();
    for (std::size_t j = 0; j < kept; ++j) {
        // A plain parameter's argument is taken as it is; only *args and
        // **kwargs need a tuple made.
        PyRef value = values_[j] != nullptr ? PyRef::borrow(values_[j]) : parameter_value(j, atomic);
        if (!value) return -1;
        made->set(j, PyRef::borrow(layout.kept_names[j]), std::move(value));
    }
    bound_call_ = std::move(held);
    return 1;
}

PyObject* CallIdentity::call_tuple() {
    PyRef& tuple = holdings().call_tuple;
    if (tuple) return tuple.get();
    const BoundCallRef& call = bound_call();
    if (!call) return nullptr;
    tuple = call_tuple_of(*call);
    return tuple.get();
}

}  // namespace lineage_store
