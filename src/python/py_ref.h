// py_ref.h: owned references to Python objects, counted records, and the one
// gateway into Python code.
//
// Must go through into_python(): every C API call that can run Python code
// (a call, hashing, a comparison, an attribute lookup or assignment, %S and %R
// formatting, a warning, a dict or set insertion, allocating an object the
// collector tracks, releasing a reference) made while references of ours are
// alive in the frames around it.
//
// Why: at interpreter exit CPython ends daemon threads with pthread_exit
// when they try to take the interpreter lock back, which happens only inside
// Python code. The thread then unwinds its C++ frames without the lock, with
// abi::__forced_unwind. into_python() marks the thread before the unwind
// reaches our frames; from then on every owner below abandons its reference
// instead of releasing it: the process is ending, and touching an object
// without the lock could crash it. The unwind must always go on (it is only
// ever caught to be rethrown), and a frame it meets must not be noexcept, or
// the process aborts. So nothing that releases a reference is noexcept.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

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

// Out of line, so that the thread-local lookup (a call into the dynamic
// loader from a shared object) is made only once some thread is marked; the
// compiler may otherwise compute its address ahead of the test.
[[gnu::noinline, gnu::cold]] inline bool this_thread_is_marked() noexcept { return this_thread_marked; }

}  // namespace thread_ending

// Marks the calling thread as being ended by the interpreter. Out of line,
// like the test above: the gateway's handler calls it, and inlined there it
// lets the compiler look the thread-local up on every call through the gateway.
[[gnu::noinline, gnu::cold]] inline void note_thread_ended() noexcept {
    thread_ending::this_thread_marked = true;
    thread_ending::any_thread_marked.store(true, std::memory_order_relaxed);
}

// Whether this thread must leave Python objects alone: it is being ended at
// interpreter exit and no longer holds the interpreter lock.
inline bool must_abandon_python_state() noexcept {
    return thread_ending::any_thread_marked.load(std::memory_order_relaxed) && thread_ending::this_thread_is_marked();
}

// The gateway: runs `enter`, a call into the C API that may run Python code,
// and marks the thread if it is ended in there.
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
            // Swapped first, released after: the release may run a finaliser
            // that looks at whatever holds this PyRef.
            release_reference(std::exchange(object_, std::exchange(other.object_, nullptr)));
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

    void reset() noexcept(false) { release_reference(std::exchange(object_, nullptr)); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    static void release_reference(PyObject* object) noexcept(false) {
        if (object == nullptr || must_abandon_python_state()) return;
        into_python([object] { Py_DECREF(object); });
    }

    PyObject* object_ = nullptr;
};

// One holder of a record shared without atomics: records are only ever
// copied or released with the interpreter lock held. `Shared` keeps the count
// in a member `holders` and frees itself in a static `destroy(Shared*)`,
// which may release Python references and so run any code.
template <typename Shared>
class CountedRef {
public:
    CountedRef() noexcept = default;
    explicit CountedRef(const Shared* shared) noexcept : shared_(const_cast<Shared*>(shared)) {
        if (shared_ != nullptr) ++shared_->holders;
    }
    CountedRef(const CountedRef& other) noexcept : CountedRef(other.shared_) {}
    CountedRef(CountedRef&& other) noexcept : shared_(std::exchange(other.shared_, nullptr)) {}
    CountedRef& operator=(CountedRef&& other) noexcept(false) {
        if (this != &other) release(std::exchange(shared_, std::exchange(other.shared_, nullptr)));
        return *this;
    }
    CountedRef& operator=(const CountedRef& other) noexcept(false) { return *this = CountedRef(other); }
    ~CountedRef() noexcept(false) { release(shared_); }

    // Adopts one made with holders == 1.
    static CountedRef adopt(Shared* shared) noexcept {
        CountedRef adopted;
        adopted.shared_ = shared;
        return adopted;
    }

    const Shared* get() const noexcept { return shared_; }
    const Shared* operator->() const noexcept { return shared_; }
    const Shared& operator*() const noexcept { return *shared_; }
    explicit operator bool() const noexcept { return shared_ != nullptr; }

    void reset() noexcept(false) { release(std::exchange(shared_, nullptr)); }

private:
    static void release(Shared* shared) noexcept(false) {
        // A thread ended at interpreter exit leaves the count alone too:
        // another thread may be using it.
        if (shared == nullptr || must_abandon_python_state() || --shared->holders > 0) return;
        Shared::destroy(shared);
    }

    Shared* shared_ = nullptr;
};

// The one owner of a record that is not shared. `Record` frees itself in a
// static `discard(Record*)`, which may release Python references and so run
// any code: that is why this is not std::unique_ptr, whose destructor and
// reset are noexcept.
template <typename Record>
class UniqueRecord {
public:
    UniqueRecord() noexcept = default;
    explicit UniqueRecord(Record* adopted) noexcept : record_(adopted) {}
    UniqueRecord(const UniqueRecord&) = delete;
    UniqueRecord& operator=(const UniqueRecord&) = delete;
    UniqueRecord(UniqueRecord&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    UniqueRecord& operator=(UniqueRecord&& other) noexcept(false) {
        if (this != &other) discard(std::exchange(record_, std::exchange(other.record_, nullptr)));
        return *this;
    }
    ~UniqueRecord() noexcept(false) { discard(record_); }

    Record* get() const noexcept { return record_; }
    Record* operator->() const noexcept { return record_; }
    Record& operator*() const noexcept { return *record_; }
    explicit operator bool() const noexcept { return record_ != nullptr; }

    void reset() noexcept(false) { discard(std::exchange(record_, nullptr)); }

private:
    static void discard(Record* record) noexcept(false) {
        if (record != nullptr) Record::discard(record);
    }

    Record* record_ = nullptr;
};

// A vector whose items (owners of Python references) are released one by
// one in a frame that lets a forced unwind pass: std::vector destroys its
// items in a noexcept destructor, and a release may run a finaliser inside
// which the thread is ended at interpreter exit.
template <typename T>
class ReleasingVector : public std::vector<T> {
public:
    using std::vector<T>::vector;
    ReleasingVector() = default;
    ReleasingVector(ReleasingVector&&) noexcept = default;
    ReleasingVector& operator=(ReleasingVector&& other) noexcept(false) {
        release_all();
        std::vector<T>::operator=(std::move(other));
        return *this;
    }
    ~ReleasingVector() noexcept(false) { release_all(); }

    void release_all() noexcept(false) {
        while (!this->empty()) {
            T last = std::move(this->back());
            this->pop_back();
        }
    }
};

// Objects the collector tracks. Allocating one may start a collection, which
// runs finalisers, so each goes through the gateway. Empty with an exception
// set on failure.
inline PyRef new_tuple(Py_ssize_t size) {
    return PyRef::steal(into_python([&] { return PyTuple_New(size); }));
}
inline PyRef new_pair(PyObject* first, PyObject* second) {
    return PyRef::steal(into_python([&] { return PyTuple_Pack(2, first, second); }));
}
inline PyRef new_dict() {
    return PyRef::steal(into_python([] { return PyDict_New(); }));
}
inline PyRef new_list(Py_ssize_t size) {
    return PyRef::steal(into_python([&] { return PyList_New(size); }));
}
inline PyRef new_set() {
    return PyRef::steal(into_python([] { return PySet_New(nullptr); }));
}

}  // namespace lineage_store
