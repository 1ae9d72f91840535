// positional_identity.cpp: identifying the commonest call by position, and its
// bound call.
#include "call/positional_identity.h"

#include "call/tuple_hash.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"

namespace lineage_store {

int PositionalIdentity::identify(BindingCache& cache, PyObject* method_name, PyObject* func,
                                 const CallArguments& arguments) {
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
            note_unhashable_argument(layout.kept_names[j], [&] {
                return PyRef::steal(into_python([&] {
                    return PyUnicode_FromFormat("while identifying a call of the cached method %R", method_name);
                }));
            });
            return -1;
        }
        call_hash.add_argument(place.name, value_hash);
    }
    hash_ = call_hash.finish(layout.method_name_hash);
    return 1;
}

int PositionalIdentity::values_match_from(const BoundCall& registered, std::size_t first) const noexcept {
    const ParameterLayout& layout = *layout_;
    for (std::size_t j = first; j < size_; ++j) {
        if (registered.name(j) != layout.kept_names[j]) return -1;
        PyObject* theirs = registered.value(j);
        PyObject* ours = values_[j];
        if (theirs == ours) continue;
        // Two ints or two str of their exact types: compared by the
        // interpreter's own code, which runs no Python code, warns of
        // nothing and cannot fail.
        const bool same_plain_type =
            Py_TYPE(theirs) == Py_TYPE(ours) && (PyLong_CheckExact(ours) || PyUnicode_CheckExact(ours));
        const int equal = same_plain_type ? exact_int_or_str_equal(theirs, ours) : plain_equal(theirs, ours);
        if (equal <= 0) return equal;
    }
    return 1;
}

BoundCallRef PositionalIdentity::make_bound_call() const noexcept {
    if (size_ == 0 && layout_->constant_call) return layout_->constant_call;
    BoundCall* made = BoundCall::make(method_name_, size_, layout_->kept_names.data(), values_);
    return made != nullptr ? BoundCallRef::adopt(made) : BoundCallRef();
}

}  // namespace lineage_store
