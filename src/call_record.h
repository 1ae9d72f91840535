// A registered call's arguments, kept flat beside its node: the method name
// and, per parameter in the call tuple's order, the parameter's name and its
// value, as strong references in one small block. The normalised call tuple
// of the same call costs three tuples for a call with one argument and one
// more per further argument; it is built from the record only when something needs a Python
// tuple (a view's key, a query's collision check), with no store held.
//
// The value of a *args or **kwargs parameter is the tuple the call tuple
// holds for it (its items, or its (name, value) pairs), so that the tuple
// built from a record is equal to the call's tuple, item for item, and
// hashes alike.
//
// A record is shared through CallRecordRef, counted without atomics: it is
// only ever copied or released with the interpreter lock held. Copying a
// reference runs no Python code, so a store may hand one out under a borrow;
// releasing the last one releases the Python references, which may run
// finalisers, so that happens with the store free.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "py_ref.h"

namespace lineage_store {

class CallRecord {
public:
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    PyObject* method_name() const noexcept { return method_name_; }
    std::size_t size() const noexcept { return size_; }
    PyObject* name(std::size_t j) const noexcept { return items()[2 * j]; }
    PyObject* value(std::size_t j) const noexcept { return items()[2 * j + 1]; }

    // Reports every Python object the record holds to `visit`.
    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(method_name_);
        for (std::size_t i = 0; i < 2 * size_; ++i) Py_VISIT(items()[i]);
        return 0;
    }

private:
    friend class CallRecordRef;
    CallRecord() = default;

    PyObject** items() noexcept { return reinterpret_cast<PyObject**>(this + 1); }
    PyObject* const* items() const noexcept { return reinterpret_cast<PyObject* const*>(this + 1); }

    std::uint32_t holders_ = 0;
    std::uint32_t size_ = 0;
    PyObject* method_name_ = nullptr;
    // Followed by 2 * size_ references: name, value, name, value, ...
};

static_assert(sizeof(CallRecord) % alignof(PyObject*) == 0);

// One holder of a CallRecord.
class CallRecordRef {
public:
    CallRecordRef() noexcept = default;
    explicit CallRecordRef(const CallRecord* record) noexcept : record_(const_cast<CallRecord*>(record)) {
        if (record_ != nullptr) ++record_->holders_;
    }
    CallRecordRef(const CallRecordRef& other) noexcept : CallRecordRef(other.record_) {}
    CallRecordRef(CallRecordRef&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    CallRecordRef& operator=(CallRecordRef&& other) noexcept(false) {
        if (this != &other) {
            // Swapped first, released after: see PyRef.
            CallRecord* old = std::exchange(record_, std::exchange(other.record_, nullptr));
            release(old);
        }
        return *this;
    }
    CallRecordRef& operator=(const CallRecordRef& other) noexcept(false) { return *this = CallRecordRef(other); }
    ~CallRecordRef() noexcept(false) { release(record_); }

    // A record for a call of `method_name` with `size` parameters, whose
    // names and values are set with set() before the record is shared.
    // Empty with MemoryError set on failure.
    static CallRecordRef make(PyObject* method_name, std::size_t size) noexcept;

    // Takes over the two references for parameter `j`.
    void set(std::size_t j, PyRef name, PyRef value) noexcept {
        record_->items()[2 * j] = name.release();
        record_->items()[2 * j + 1] = value.release();
    }

    // The record of a normalised call tuple (method name, ((name, value),
    // ...)). Empty with an exception set when it has another shape.
    static CallRecordRef of_call_tuple(PyObject* call_tuple) noexcept;

    const CallRecord* get() const noexcept { return record_; }
    const CallRecord* operator->() const noexcept { return record_; }
    const CallRecord& operator*() const noexcept { return *record_; }
    explicit operator bool() const noexcept { return record_ != nullptr; }

    void reset() noexcept(false) { release(std::exchange(record_, nullptr)); }

private:
    static void release(CallRecord* record) noexcept(false) {
        // A thread ended at interpreter exit leaves the count alone too:
        // another thread may be using it.
        if (record == nullptr || must_abandon_python_state() || --record->holders_ > 0) return;
        destroy(record);
    }
    // Releases the references of a record nobody holds any more.
    static void destroy(CallRecord* record) noexcept(false);

    CallRecord* record_ = nullptr;
};

// The normalised call tuple of `record`: a new tuple of the objects it
// holds, equal to the call's tuple and with its hash. Allocates tracked
// objects: no store may be held. Empty with an exception set on failure.
PyRef call_tuple_of(const CallRecord& record);

}  // namespace lineage_store
