// Owned references to Python objects.
//
// PyRef owns exactly one strong reference (or none) and releases it in its
// destructor, so an early return can never leak or double-release. Taking a
// reference is always spelled out at the call site: steal() adopts a new
// reference returned by the C API, borrow() takes a new one on an object we
// were only lent.
//
// At interpreter exit CPython ends daemon threads with pthread_exit, which
// unwinds their C++ frames without the interpreter lock. A PyRef destroyed on
// such a thread abandons its reference instead of releasing it: the process
// is ending, and touching an object without the lock could crash it. Its
// releasing members are not noexcept because a release may run a finaliser,
// and a thread ended inside that finaliser unwinds through them.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace lineage_store {

// Set by the module's atexit hook, before CPython marks itself finalising and
// so before any daemon thread can be ended; never cleared while the
// interpreter lives.
inline std::atomic<bool> interpreter_exiting{false};

// True on every thread except the one finalising the interpreter.
bool off_the_finalising_thread() noexcept;

// Whether this thread must leave Python objects alone: the interpreter is
// exiting and this thread is (or may soon be) a daemon being ended. One
// relaxed load on the normal path.
inline bool must_abandon_python_state() noexcept {
    return interpreter_exiting.load(std::memory_order_relaxed) && off_the_finalising_thread();
}

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

    PyRef& operator=(PyRef&& other) noexcept(false) {
        if (this != &other) {
            // Swap first, release after: the release may run a finaliser that
            // looks at whatever holds this PyRef.
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            release_reference(old);
        }
        return *this;
    }

    ~PyRef() noexcept(false) { release_reference(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference over to the caller (typically the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // A new strong reference for a second owner.
    PyRef new_ref() const noexcept { return borrow(object_); }

    void reset() noexcept(false) {
        PyObject* old = std::exchange(object_, nullptr);
        release_reference(old);
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    static void release_reference(PyObject* object) noexcept(false) {
        if (object != nullptr && !must_abandon_python_state()) Py_DECREF(object);
    }

    PyObject* object_ = nullptr;
};

}  // namespace lineage_store
