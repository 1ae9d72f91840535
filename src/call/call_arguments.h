// call_arguments.h: the arguments of one call as the decorator received
// them, through either call protocol: a vector with keyword names, or a
// positional tuple and keyword dict.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>

#include "graph/small_array.h"
#include "python/py_ref.h"

namespace lineage_store {

// Borrowed throughout; valid for the duration of the call that received them.
class CallArguments {
public:
    // The vectorcall form.
    CallArguments(PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames) noexcept
        : kwnames_(kwnames),
          positional_(args),
          positional_count_(positional_count),
          keyword_values_(args + positional_count) {
        if (kwnames != nullptr) read_keyword_names();
    }
    // The tuple and dict form (kwargs may be null). Check ok() afterwards.
    CallArguments(PyObject* args, PyObject* kwargs);
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;
    ~CallArguments() {
        if (copied_ != nullptr) std::free(copied_);
    }

    // False with an exception set when the arguments could not be read: the
    // tuple form, or the keyword names where a tuple's item array is not at
    // hand and they are copied.
    bool ok() const noexcept { return ok_; }
    Py_ssize_t positional_count() const noexcept { return positional_count_; }
    Py_ssize_t keyword_count() const noexcept { return keyword_count_; }
    PyObject* positional(Py_ssize_t i) const noexcept { return positional_[i]; }
    PyObject* const* positional_from(Py_ssize_t i) const noexcept { return positional_ + i; }
    PyObject* keyword_name(Py_ssize_t i) const noexcept { return keyword_names_[i]; }
    PyObject* keyword_value(Py_ssize_t i) const noexcept { return keyword_values_[i]; }

    // The positional tuple and the keyword dict (null when there are no
    // keywords), as received or built from the vector.
    PyRef args_tuple() const;
    PyRef kwargs_dict() const;
    // The keyword names in the order of keyword_value(), as received or
    // built from the dict; null when there are no keywords.
    PyRef keyword_names() const;

    // func(*args, **kwargs). A new reference, or nullptr with an exception set.
    PyObject* call(PyObject* func) const;

private:
    void read_keyword_names() noexcept;
    // `count` pointers of our own, or false with MemoryError set.
    bool copy_space(std::size_t count) noexcept;

    bool ok_ = true;
    PyObject* args_ = nullptr;
    PyObject* kwargs_ = nullptr;
    PyObject* kwnames_ = nullptr;
    PyObject* const* positional_ = nullptr;
    Py_ssize_t positional_count_ = 0;
    PyObject* const* keyword_names_ = nullptr;
    PyObject* const* keyword_values_ = nullptr;
    Py_ssize_t keyword_count_ = 0;
    // The tuple form's items where the tuple's own array cannot be read, and
    // its keywords: names, then values; malloc'ed, as rarely needed.
    PyObject** copied_ = nullptr;
};

}  // namespace lineage_store
