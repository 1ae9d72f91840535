// positional_identity.cpp: identifying the commonest call by position, and its
// bound call.
#include "call/positional_identity.h"

#include "call/tuple_hash.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"

namespace lineage_store {

void PositionalIdentity::note_unhashable(std::size_t j) const {
    PyObject* method_name = method_name_;
    note_unhashable_argument(layout_->kept_names[j], [&] {
        return PyRef::steal(into_python(
            [&] { return PyUnicode_FromFormat("while identifying a call of the cached method %R", method_name); }));
    });
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
