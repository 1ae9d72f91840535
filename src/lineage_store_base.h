// The per-instance cache store behind LineageStoreBase: its record, the borrow
// flag that guards it, the lookup of valid values, and the type object with
// all of its Python methods.
//
// Every access to a record goes through a StoreBorrow, and no Python code ever
// runs while one is held: nothing is hashed, compared, built as a tracked
// object (whose allocation may start a garbage collection) or released (which
// may run a finaliser) under a borrow. Hashing and comparing happen before it
// is taken or after it is released, on references copied out of the store;
// replaced references are released after it ends. So under the interpreter
// lock no thread can meet another thread's borrow and no Python code can meet
// its own thread's: a borrow found held is an internal error, never a wait.
//
// A free-threaded interpreter would need more: the interpreter lock no longer
// orders threads, so a conflicting borrow would be a real contention to wait
// out (a short spin, then a lock per store), call_stack and the record of
// computations would need the same guard as the tables they sit beside, and
// the references copied out under a borrow would have to be taken before any
// other thread could release them. The wheel is built for the stable ABI,
// which free-threaded interpreters do not load, so none of this arises yet.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "call_record.h"
#include "dependency_graph.h"
#include "py_ref.h"

namespace lineage_store {

using CallHash = std::int64_t;
using CallGraph = MethodDependencyGraph<CallHash, CallRecordRef, PyRef>;

// One decorated call in progress. Entries belong to the thread that pushed
// them: runtime dependencies are recorded against the innermost call of the
// same thread, so threads sharing an instance never see each other's calls.
struct CallStackEntry {
    CallHash hash;
    bool tracks_runtime_dependencies;
    const void* thread;
};

// The cached values live in the graph's nodes, next to each call's state and
// the record of its arguments, so that the decorated call finds all three
// with one lookup.
struct StoreRecord {
    CallGraph dependency_graph;
    std::vector<CallStackEntry> call_stack;
};

struct StoreObject {
    PyObject_HEAD
    // 0 free, n > 0 n shared borrows, -1 one exclusive borrow.
    std::atomic<std::intptr_t> borrow_flag;
    StoreRecord* record;
};

// A token that tells threads apart for the call stack. Never shared by two
// threads of a process, including threads that have ended and threads of the
// parent of a forked process.
const void* current_thread_token() noexcept;

enum class BorrowMode { Shared, Exclusive };

// Holds a borrow of one store for its lifetime. An empty guard means the
// store was held in a conflicting way (an internal error, see above) or has
// no record; nothing was taken then.
class StoreBorrow {
public:
    static StoreBorrow take(StoreObject* store, BorrowMode mode) noexcept;
    // A guard that holds nothing.
    static StoreBorrow none() noexcept { return StoreBorrow(nullptr, BorrowMode::Shared); }

    StoreBorrow(const StoreBorrow&) = delete;
    StoreBorrow& operator=(const StoreBorrow&) = delete;
    StoreBorrow(StoreBorrow&& other) noexcept;
    StoreBorrow& operator=(StoreBorrow&&) = delete;
    ~StoreBorrow();

    explicit operator bool() const noexcept { return store_ != nullptr; }
    StoreRecord& record() const noexcept { return *store_->record; }

    // The text of the refusal for `mode`: "Already borrowed" when exclusive use
    // is refused, "Already mutably borrowed" when shared use is refused.
    static const char* refusal_message(BorrowMode mode) noexcept;

private:
    StoreBorrow(StoreObject* store, BorrowMode mode) noexcept : store_(store), mode_(mode) {}

    StoreObject* store_;
    BorrowMode mode_;
};

// A new reference to the value stored for `hash` when the call is Valid and a
// value is stored; an empty PyRef otherwise. Runs no Python code.
PyRef lookup_valid(const StoreRecord& record, CallHash hash) noexcept;

// Stores `value` under `hash` and hands back the reference it replaced, for
// the caller to release once it no longer holds the store.
[[nodiscard]] PyRef store_value(StoreRecord& record, CallHash hash, PyRef value);

// What the decorated call needs to know about a registered call, found with
// one lookup. Borrowed, valid only while the borrow is held.
struct RegisteredCall {
    ValidationState state;
    const CallRecord* call;  // null only for a state created without registration
    PyObject* value;         // null when no value is stored
};

// False when `hash` has no validation state. Runs no Python code.
bool find_registered_call(const StoreRecord& record, CallHash hash, RegisteredCall& out) noexcept;

// The record of the call registered under `hash`, held; empty when the hash
// has none. Runs no Python code.
CallRecordRef registered_call(const StoreRecord& record, CallHash hash) noexcept;

// Whether `call_tuple` is a different call from the one `registered` under
// the same hash (their hashes collide): 1 if so, 0 when it is the same call
// or nothing is registered, -1 with an exception set. Builds the registered
// call's tuple and runs the arguments' __eq__, so no borrow may be held
// across it.
int is_different_call(const CallRecord* registered, PyObject* call_tuple);

inline StoreObject* as_store(PyObject* self) noexcept { return reinterpret_cast<StoreObject*>(self); }

// Creates the LineageStoreBase type object once per process, with this
// unit's methods followed by `more_methods` (dump and load come from the unit
// above). Later calls return the same type. Borrowed; nullptr with an
// exception set on failure.
PyTypeObject* create_lineage_store_base_type(std::span<const PyMethodDef> more_methods) noexcept;

// The type created above: a borrowed reference, or nullptr with an exception
// set before the module has created it.
PyTypeObject* lineage_store_base_type() noexcept;

inline bool is_store(PyObject* object) noexcept {
    PyTypeObject* base = lineage_store_base_type();
    return base != nullptr && PyObject_TypeCheck(object, base);
}

}  // namespace lineage_store
