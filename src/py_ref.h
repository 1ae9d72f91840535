// Owned references to Python objects.
//
// PyRef owns exactly one strong reference (or none) and releases it in its
// destructor, so an early return can never leak or double-release. Taking a
// reference is always spelled out at the call site: steal() adopts a new
// reference returned by the C API, borrow() takes a new one on an object we
// were only lent.
//
// At interpreter exit CPython ends daemon threads with pthread_exit when they
// try to take the interpreter lock back, which happens only inside Python code
// (or a call that released the lock). The thread then unwinds its C++ frames
// without the lock, with abi::__forced_unwind. Every call from this module
// into Python code that has references of ours alive in the frames around it
// goes through into_python(), which marks the thread as being ended before the
// unwind reaches those frames; from then on a PyRef destroyed on that thread
// abandons its reference instead of releasing it: the process is ending, and
// touching an object without the lock could crash it. Nothing user code can
// do (emptying atexit, running its hooks early) changes this, because the
// mark comes from the unwind itself. Releasing members are not noexcept: a
// release may run a finaliser, and a thread ended inside it unwinds through
// them.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <utility>

// glibc's forced unwind carries no C++ object, so a handler that catches it to
// rethrow binds its reference to null, which UBSan's null check reports. Marks
// the functions holding such a handler. Inlined into a caller, the handler
// would be checked by the caller's rules, so sanitized builds (ASan always
// comes with UBSan here) keep these functions out of line.
#if defined(__SANITIZE_ADDRESS__)
#define LINEAGE_STORE_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize("null"), noinline))
#elif defined(__GNUC__)
#define LINEAGE_STORE_LETS_FORCED_UNWIND_PASS __attribute__((no_sanitize("null")))
#else
#define LINEAGE_STORE_LETS_FORCED_UNWIND_PASS
#endif

namespace lineage_store {

namespace thread_ending {

// Whether any thread of the process has been marked: one relaxed load keeps
// the normal path from reading the thread-local mark.
inline std::atomic<bool> any_thread_marked{false};
inline thread_local bool this_thread_marked = false;

}  // namespace thread_ending

// Marks the calling thread as being ended by the interpreter.
inline void note_thread_ended() noexcept {
    thread_ending::this_thread_marked = true;
    thread_ending::any_thread_marked.store(true, std::memory_order_relaxed);
}

// Whether this thread must leave Python objects alone: it is being ended at
// interpreter exit and no longer holds the interpreter lock.
inline bool must_abandon_python_state() noexcept {
    return thread_ending::any_thread_marked.load(std::memory_order_relaxed) && thread_ending::this_thread_marked;
}

// Runs `enter`, a call into the C API that may run Python code, and marks the
// thread if it is ended in there (see above). Use it for every such call made
// while references of ours are alive in the enclosing frames.
template <typename Enter>
LINEAGE_STORE_LETS_FORCED_UNWIND_PASS inline auto into_python(Enter&& enter) -> decltype(enter()) {
    try {
        return enter();
    } catch (const abi::__forced_unwind&) {
        note_thread_ended();
        throw;
    }
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
        if (object == nullptr || must_abandon_python_state()) return;
        // A finaliser may run, and the thread may be ended inside it.
        into_python([object] { Py_DECREF(object); });
    }

    PyObject* object_ = nullptr;
};

// Releases, in a loop of our own, the references `refs_of(item)` names in
// each item of `items`, when it goes out of scope. Standard containers
// destroy their items in noexcept destructors, and a release may run a
// finaliser inside which the thread is ended at interpreter exit: the unwind
// must pass through a frame that lets it. Declare it after the container.
template <typename Container, typename RefsOf>
class ReleasedInTurn {
public:
    ReleasedInTurn(Container& items, RefsOf refs_of) : items_(items), refs_of_(refs_of) {}
    ReleasedInTurn(const ReleasedInTurn&) = delete;
    ReleasedInTurn& operator=(const ReleasedInTurn&) = delete;
    ~ReleasedInTurn() noexcept(false) {
        for (auto& item : items_) refs_of_(item);
    }

private:
    Container& items_;
    RefsOf refs_of_;
};

}  // namespace lineage_store
