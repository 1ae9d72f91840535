// call_arguments.cpp: reading either call protocol, and calling on with it.
#include "call/call_arguments.h"

#include "python/interpreter_shortcuts.h"

namespace lineage_store {

bool CallArguments::copy_space(std::size_t count) noexcept {
    copied_ = static_cast<PyObject**>(std::malloc((count > 0 ? count : 1) * sizeof(PyObject*)));
    if (copied_ != nullptr) return true;
    ok_ = false;
    PyErr_NoMemory();
    return false;
}

void CallArguments::read_keyword_names() noexcept {
    keyword_count_ = PyTuple_Size(kwnames_);
    keyword_names_ = tuple_items(kwnames_);
    if (keyword_names_ != nullptr) return;
    // Without the tuple's own array, the names are read one by one.
    if (!copy_space(static_cast<std::size_t>(keyword_count_))) {
        keyword_count_ = 0;
        return;
    }
    for (Py_ssize_t i = 0; i < keyword_count_; ++i) copied_[i] = PyTuple_GetItem(kwnames_, i);
    keyword_names_ = copied_;
}

CallArguments::CallArguments(PyObject* args, PyObject* kwargs) : args_(args), kwargs_(kwargs) {
    positional_count_ = PyTuple_Size(args);
    if (positional_count_ < 0) {
        ok_ = false;
        positional_count_ = 0;
        return;
    }
    const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    if (keywords < 0) {
        ok_ = false;
        return;
    }
    positional_ = tuple_items(args);
    const std::size_t positional_copied = positional_ == nullptr ? static_cast<std::size_t>(positional_count_) : 0;
    const std::size_t copied = positional_copied + 2 * static_cast<std::size_t>(keywords);
    if (copied == 0) return;
    if (!copy_space(copied)) {
        positional_count_ = 0;
        return;
    }
    for (std::size_t i = 0; i < positional_copied; ++i) copied_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (positional_ == nullptr) positional_ = copied_;
    if (keywords == 0) return;
    PyObject** names = copied_ + positional_copied;
    PyObject** values = names + keywords;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (keyword_count_ < keywords && PyDict_Next(kwargs, &position, &key, &value)) {
        names[keyword_count_] = key;
        values[keyword_count_] = value;
        ++keyword_count_;
    }
    keyword_names_ = names;
    keyword_values_ = values;
}

PyRef CallArguments::args_tuple() const {
    if (args_ != nullptr) return PyRef::borrow(args_);
    PyRef tuple = new_tuple(positional_count_);
    if (!tuple) return {};
    for (Py_ssize_t i = 0; i < positional_count_; ++i) PyTuple_SetItem(tuple.get(), i, Py_NewRef(positional_[i]));
    return tuple;
}

PyRef CallArguments::kwargs_dict() const {
    if (args_ != nullptr || keyword_count_ == 0) return PyRef::borrow(kwargs_);
    PyRef dict = new_dict();
    if (!dict) return {};
    for (Py_ssize_t i = 0; i < keyword_count_; ++i) {
        // The names are exact str as the interpreter passes them; inserting
        // may still allocate, so through the gateway.
        if (into_python([&] { return PyDict_SetItem(dict.get(), keyword_name(i), keyword_value(i)); }) < 0) return {};
    }
    return dict;
}

PyRef CallArguments::keyword_names() const {
    if (kwnames_ != nullptr || keyword_count_ == 0) return PyRef::borrow(kwnames_);
    PyRef names = new_tuple(keyword_count_);
    if (!names) return {};
    for (Py_ssize_t i = 0; i < keyword_count_; ++i) PyTuple_SetItem(names.get(), i, Py_NewRef(keyword_name(i)));
    return names;
}

PyObject* CallArguments::call(PyObject* func) const {
    if (!ok_) return nullptr;  // the keywords could not be read: calling without them would be another call
    const auto positional = static_cast<std::size_t>(positional_count_);
    // Received as a vector: passed on as one, with no tuple or dict to build.
    if (args_ == nullptr && shortcuts.vectorcall != nullptr) {
        return into_python([&] { return shortcuts.vectorcall(func, positional_, positional, kwnames_); });
    }
    if (keyword_count_ == 0 && shortcuts.vectorcall_dict != nullptr) {
        return into_python([&] { return shortcuts.vectorcall_dict(func, positional_, positional, nullptr); });
    }
    PyRef kwargs = kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return nullptr;
    if (args_ == nullptr && shortcuts.vectorcall_dict != nullptr) {
        return into_python([&] { return shortcuts.vectorcall_dict(func, positional_, positional, kwargs.get()); });
    }
    PyRef args = args_tuple();
    if (!args) return nullptr;
    return into_python([&] { return PyObject_Call(func, args.get(), kwargs.get()); });
}

}  // namespace lineage_store
