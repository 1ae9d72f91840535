// Owned references to Python objects.
//
// PyRef owns exactly one strong reference (or none) and releases it in its
// destructor, so an early return can never leak or double-release. Taking a
// reference is always spelled out at the call site: steal() adopts a new
// reference returned by the C API, borrow() takes a new one on an object we
// were only lent.
#pragma once

#include <Python.h>

#include <utility>

namespace lineage_store {

class PyRef {
public:
    PyRef() noexcept = default;

    // Adopts a reference the caller already owns (a "new reference" result).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }

    // Takes a reference of our own on an object we were lent.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            // Swap first, release after: the release may run a finaliser that
            // looks at whatever holds this PyRef.
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }

    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference over to the caller (typically the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // A new strong reference for a second owner.
    PyRef new_ref() const noexcept { return borrow(object_); }

    void reset() noexcept {
        PyObject* old = std::exchange(object_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace lineage_store
