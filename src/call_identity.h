// The decorated call's own way to its call identity: binds a call of a plain
// Python function natively, from its code object and defaults, and computes
// the call hash from the argument hashes with the interpreter's tuple-hash
// algorithm, so that a call already in the store is recognised without
// building its call tuple. A call that is registered keeps its arguments as
// a record (call_record); the tuple is built only where one is needed.
//
// Binding through inspect (py_introspection_utils) stays the reference: any
// call this unit does not understand (not a plain function, a __signature__
// or __wrapped__ attribute, a parameter list inspect would reject, any
// binding error) is handed to it, so results and error messages are always
// inspect's. Native binding reads functions through the interpreter's
// shortcuts (interpreter_shortcuts), so it runs in the main interpreter only;
// other interpreters take the reference path.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "call_record.h"
#include "py_ref.h"

namespace lineage_store {

// Run once at module import: fetches what the fast path needs and checks that
// the interpreter hashes tuples the way this unit computes it. False with an
// exception set.
bool prepare_call_identity();

// Run when a decorator is built, so that inspect is at hand before any
// decorated call (also for calls from finalisers late in shutdown, when
// nothing can be imported any more). False with an exception set.
bool prepare_reference_binding();

// Whether the objects kept for the fast path belong to the interpreter that
// runs now. Asked once per decorator: a decorator lives in one interpreter.
bool fast_path_here() noexcept;

// A small array whose first N elements live inline, so that a call with few
// arguments needs no allocation.
template <typename T, std::size_t N>
class SmallArray {
public:
    SmallArray() = default;
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;

    void resize(std::size_t size) {
        if (size > N) heap_ = std::make_unique<T[]>(size);
        size_ = size;
    }
    T* data() noexcept { return heap_ ? heap_.get() : inline_.data(); }
    const T* data() const noexcept { return heap_ ? heap_.get() : inline_.data(); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    std::size_t size() const noexcept { return size_; }

private:
    std::array<T, N> inline_;  // raw pointers stay uninitialised until written
    std::unique_ptr<T[]> heap_;
    std::size_t size_ = 0;
};

// The arguments of one call as the decorator received them, through either
// call protocol: a positional tuple and keyword dict, or a vector with keyword
// names. Borrowed throughout; valid for the duration of that call.
class CallArguments {
public:
    CallArguments(PyObject* args, PyObject* kwargs);
    CallArguments(PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames);
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;

    // False with an exception set when the tuple form could not be read.
    bool ok() const noexcept { return ok_; }
    Py_ssize_t positional_count() const noexcept { return positional_count_; }
    Py_ssize_t keyword_count() const noexcept { return keyword_count_; }
    PyObject* positional(Py_ssize_t i) const noexcept { return positional_[i]; }
    PyObject* const* positional_from(Py_ssize_t i) const noexcept { return positional_ + i; }
    PyObject* keyword_name(Py_ssize_t i) const noexcept { return keyword_names_[static_cast<std::size_t>(i)]; }
    PyObject* keyword_value(Py_ssize_t i) const noexcept { return keyword_values_[i]; }

    // The positional tuple and the keyword dict (null when there are no
    // keywords), as received or built from the vector.
    PyRef args_tuple() const;
    PyRef kwargs_dict() const;

    // func(*args, **kwargs).
    PyObject* call(PyObject* func) const;

private:
    bool ok_ = true;
    PyObject* args_ = nullptr;
    PyObject* kwargs_ = nullptr;
    PyObject* kwnames_ = nullptr;
    PyObject* const* positional_ = nullptr;
    Py_ssize_t positional_count_ = 0;
    PyObject* const* keyword_values_ = nullptr;
    Py_ssize_t keyword_count_ = 0;
    SmallArray<PyObject*, 8> keyword_names_;
    SmallArray<PyObject*, 8> positional_copy_;
    SmallArray<PyObject*, 8> keyword_values_copy_;
};

struct ParameterLayout;

// One holder of a ParameterLayout. Only ever copied with the interpreter lock
// held, so the count needs no atomics.
class LayoutRef {
public:
    LayoutRef() noexcept = default;
    explicit LayoutRef(ParameterLayout* layout) noexcept;
    LayoutRef(const LayoutRef& other) noexcept : LayoutRef(other.layout_) {}
    LayoutRef(LayoutRef&& other) noexcept : layout_(std::exchange(other.layout_, nullptr)) {}
    LayoutRef& operator=(LayoutRef other) noexcept {
        std::swap(layout_, other.layout_);
        return *this;
    }
    ~LayoutRef();

    const ParameterLayout* get() const noexcept { return layout_; }
    const ParameterLayout* operator->() const noexcept { return layout_; }
    const ParameterLayout& operator*() const noexcept { return *layout_; }
    explicit operator bool() const noexcept { return layout_ != nullptr; }

private:
    ParameterLayout* layout_ = nullptr;
};

// What a decorator keeps between calls: the parameter layout of the code
// object its function had at the last call. Reassigning the function's
// __code__ makes the next call derive a new one.
class BindingCache {
public:
    // Native binding needs the objects of the fast path: set once, when the
    // decorator is built.
    void allow_native(bool allowed) noexcept { native_allowed_ = allowed; }
    bool native_allowed() const noexcept { return native_allowed_; }

    // The layout kept for `code`, derived first when it is not the one kept.
    // Empty with an exception set on failure.
    const LayoutRef& layout_for(PyObject* method_name, PyObject* code) {
        if (current_ && code == current_code_) return current_;
        return derive_layout_for(method_name, code);
    }

private:
    const LayoutRef& derive_layout_for(PyObject* method_name, PyObject* code);

    LayoutRef current_;
    PyObject* current_code_ = nullptr;  // borrowed: current_ holds it
    bool native_allowed_ = false;
};

// The identity of one call: its hash, and what is needed to build its
// normalised call tuple or its record, or to compare it with a registered
// call.
class CallIdentity {
public:
    CallIdentity() = default;
    CallIdentity(const CallIdentity&) = delete;
    CallIdentity& operator=(const CallIdentity&) = delete;

    Py_hash_t hash() const noexcept { return hash_; }

    // The normalised call tuple, built at the first request and kept.
    // Borrowed from this object; nullptr with an exception set.
    PyObject* call_tuple();

    // The record of this call, for registration: built at the first request
    // and kept. Allocates tracked objects for *args and **kwargs, so no
    // store may be held. Empty with an exception set on failure.
    const CallRecordRef& record();

    // Whether `registered` holds exactly this call's method name, parameter
    // names and argument objects. Compares pointers only: runs no Python code.
    bool is_identical_to(const CallRecord* registered) const noexcept {
        return (record_ && registered == record_.get()) || has_identical_items(registered);
    }

    // Whether the function's __code__, __defaults__ and __kwdefaults__ (and
    // the keyword-only defaults in it) are still those this identity was
    // computed from. A result computed after one of them changed may belong
    // to another call than this identity's. Runs no Python code.
    bool inputs_unchanged(PyObject* func) const;

    // Whether `registered` is a different call from this one: 1 if so, 0 if
    // it is equal (or null), -1 with an exception set. The same comparisons,
    // in the same order, as comparing the two call tuples with ==, so it runs
    // the arguments' __eq__: no store may be held across it, and the caller
    // holds the record.
    int differs_from(const CallRecord* registered);

private:
    friend bool identify_call(BindingCache&, PyObject*, PyObject*, const CallArguments&, CallIdentity&);

    // 1 when bound and hashed natively, 0 when inspect must bind this call,
    // -1 with an exception set.
    int identify_natively(BindingCache& cache, PyObject* func, const CallArguments& arguments);
    // Keeps what inspect will read of a plain function, for inputs_unchanged.
    bool note_function_inputs(PyObject* func);
    int differs_natively(const CallRecord& registered);
    bool shape_matches(const CallRecord& registered) const;
    bool has_identical_items(const CallRecord* registered) const noexcept;
    // The value of the call tuple's parameter j: the argument, or the tuple
    // of *args or **kwargs. Untracked when `atomic`. Empty with an exception
    // set on failure.
    PyRef parameter_value(std::size_t j, bool atomic) const;
    // Whether none of the call's arguments could take part in a cycle.
    bool arguments_atomic() const noexcept;
    bool has_identical_keywords(PyObject* registered_pairs) const noexcept;
    // Puts the **kwargs entries in the call tuple's order. False with an
    // exception set.
    bool sort_var_keywords();

    Py_hash_t hash_ = -1;
    PyObject* method_name_ = nullptr;  // borrowed from the decorator
    LayoutRef layout_;                 // set when bound natively
    // Argument of each parameter of the call tuple, in its order, borrowed
    // from the call, from `defaults_` or from `kwdefaults_`; the entries of
    // *args and **kwargs stay null: the items of *args are a range of the
    // call's positional arguments, and those of **kwargs are kept below.
    SmallArray<PyObject*, 8> values_;
    // What the identity read of a plain function, held: each may be replaced
    // (or, for the keyword-only defaults, changed in place) while the
    // arguments are hashed or the function runs. `code_` is empty for a
    // callable that is not a plain function.
    PyRef code_;
    PyRef defaults_;
    PyRef kwdefaults_dict_;
    // Values taken from __kwdefaults__ by keyword-only parameter (bound
    // natively), or a copy of the whole dict (bound through inspect).
    SmallArray<PyRef, 4> kwdefaults_;
    PyRef kwdefaults_copy_;
    PyObject* const* var_positional_ = nullptr;
    Py_ssize_t var_positional_count_ = 0;
    // The keywords that **kwargs collects, borrowed from the call, sorted by
    // name once bound. Made only for a call that has some, so that every
    // other call (a hit above all) pays one null pointer for them.
    struct CollectedKeywords {
        std::vector<PyObject*> names;
        std::vector<PyObject*> values;
    };
    std::unique_ptr<CollectedKeywords> var_keywords_;
    Py_ssize_t var_keyword_count() const noexcept {
        return var_keywords_ ? static_cast<Py_ssize_t>(var_keywords_->names.size()) : 0;
    }
    PyObject* var_keyword_name(Py_ssize_t i) const noexcept {
        return var_keywords_->names[static_cast<std::size_t>(i)];
    }
    PyObject* var_keyword_value(Py_ssize_t i) const noexcept {
        return var_keywords_->values[static_cast<std::size_t>(i)];
    }
    PyRef call_tuple_;
    CallRecordRef record_;
};

// Computes the identity of `arguments` passed to `func`, the decorated
// method's wrapped callable. Natively where it can, through inspect
// otherwise. False with the exception of the binding or of hashing set.
bool identify_call(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments,
                   CallIdentity& out);

}  // namespace lineage_store
