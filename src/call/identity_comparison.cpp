// identity_comparison.cpp: a call's identity held against the calls a store
// has registered: the same call made by the same objects, told natively
// where the values allow it, and by Python's == where only that can tell.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "call/call_identity.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

bool equal_names(PyObject* registered, PyObject* ours) noexcept {
    return registered == ours || (PyUnicode_CheckExact(registered) && PyUnicode_Compare(registered, ours) == 0);
}

// Runs Python's == on two arguments, through the gateway. 1, 0 or -1.
int python_equal(PyObject* registered, PyObject* ours) {
    return into_python([&] { return PyObject_RichCompareBool(registered, ours, Py_EQ); });
}

}  // namespace

int CallIdentity::equals_without_python(const BoundCall& registered) const noexcept {
    if (bound_call_ && &registered == bound_call_.get()) return 1;
    if (!equal_names(registered.method_name(), method_name_)) return 0;
    if (!layout_) {
        // Bound through inspect: the tuple is at hand; compare it item by item.
        PyObject* pairs = PyTuple_GetItem(holdings_->call_tuple.get(), 1);
        if (pairs == nullptr || static_cast<std::size_t>(PyTuple_Size(pairs)) != registered.size()) return 0;
        int verdict = 1;
        for (std::size_t j = 0; j < registered.size(); ++j) {
            PyObject* pair = tuple_item(pairs, static_cast<Py_ssize_t>(j));
            if (!equal_names(registered.name(j), tuple_item(pair, 0))) return 0;
            const int item = plain_equal(registered.value(j), tuple_item(pair, 1));
            if (item == 0) return 0;
            if (item < 0) verdict = -1;
        }
        return verdict;
    }
    const ParameterLayout& layout = *layout_;
    const std::size_t kept = layout.kept_count();
    if (registered.size() != kept) return 0;
    int verdict = 1;
    for (std::size_t j = 0; j < kept; ++j) {
        if (!equal_names(registered.name(j), layout.kept_names[j])) return 0;
        PyObject* value = registered.value(j);
        int item = 1;
        if (values_[j] != nullptr) {
            item = value == values_[j] ? 1 : plain_equal(value, values_[j]);
        } else if (!PyTuple_CheckExact(value)) {
            item = -1;
        } else if (static_cast<std::int32_t>(j) == layout.var_keyword_place) {
            if (PyTuple_Size(value) != var_keyword_count()) return 0;
            for (Py_ssize_t i = 0; i < var_keyword_count() && item != 0; ++i) {
                PyObject* pair = tuple_item(value, i);
                if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2) {
                    item = -1;
                    continue;
                }
                if (!equal_names(tuple_item(pair, 0), var_keyword_name(i))) return 0;
                const int keyword = plain_equal(tuple_item(pair, 1), var_keyword_value(i));
                item = keyword == 0 ? 0 : std::min(item, keyword);
            }
        } else {
            if (PyTuple_Size(value) != var_positional_count_) return 0;
            for (Py_ssize_t i = 0; i < var_positional_count_ && item != 0; ++i) {
                const int positional = plain_equal(tuple_item(value, i), var_positional_[i]);
                item = positional == 0 ? 0 : std::min(item, positional);
            }
        }
        if (item == 0) return 0;
        if (item < 0) verdict = -1;
    }
    return verdict;
}

int CallIdentity::equals(const BoundCall& registered) {
    const int settled = equals_without_python(registered);
    if (settled >= 0) return settled;
    // Names and lengths match (or the comparison above would have settled
    // it): what is left is == on each value in turn, as == on the call tuples
    // would make them. The caller holds `registered`, whose objects never
    // change, and ours are held by the call or by this identity, so every
    // object read here outlives the __eq__ calls.
    PyObject* pairs = layout_ ? nullptr : PyTuple_GetItem(holdings_->call_tuple.get(), 1);
    for (std::size_t j = 0; j < registered.size(); ++j) {
        PyObject* value = registered.value(j);
        int equal = 1;
        if (pairs != nullptr) {
            equal = python_equal(value, tuple_item(tuple_item(pairs, static_cast<Py_ssize_t>(j)), 1));
        } else if (values_[j] != nullptr) {
            equal = python_equal(value, values_[j]);
        } else {
            // The tuple of *args or **kwargs, as the call tuple holds it.
            PyRef ours = parameter_value(j, false);
            equal = ours ? python_equal(value, ours.get()) : -1;
        }
        if (equal <= 0) return equal;
    }
    return 1;
}

}  // namespace lineage_store
