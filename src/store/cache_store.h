// cache_store.h: the per-instance cache store behind LineageStoreBase: the
// object's layout, its record, the guard around every access to the record,
// and the lookup of calls in it.
//
// Every access to a record happens in a StoreSection, and no Python code ever
// runs inside one: nothing is hashed, compared (but for the interpreter's own
// plain types), built as a collected object (whose allocation may start a
// garbage collection) or released (which may run a finaliser) in a section.
// Hashing and comparing happen before it opens or after it closes, on
// references copied out of it; replaced references are released after it
// closes. So under the interpreter lock no thread can meet another thread's
// section and no Python code can meet its own thread's: a store found in use
// is an internal error, never something to wait for.
//
// A free-threaded interpreter would need more: the interpreter lock no longer
// orders threads, so a store in use would be a real contention to wait out (a
// short spin, then a lock per store), the computations in progress would need
// the same guard as the tables they sit beside, and the references copied out
// in a section would have to be taken before any other thread could release
// them. The wheel is built for the stable ABI, which free-threaded
// interpreters do not load, so none of this arises yet.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "call/bound_call.h"
#include "call/call_arguments.h"
#include "graph/dependency_graph.h"
#include "python/py_ref.h"

namespace lineage_store {

using CallHash = std::int64_t;
using CallGraph = MethodDependencyGraph<CallHash, BoundCallRef, PyRef>;

// One computation in progress, as the calls it makes see it.
struct ComputationFrame {
    struct StoreObject* store;  // the instance; a frame holds it until it ends
    PyObject* decorator;        // a frame holds it until it ends
    NodePosition node;
    CallGraph::ComputationSlot slot;  // the computation's slot in the store's graph
    bool tracks_runtime_dependencies;
};

// The cached values live in the graph's nodes, next to each call's state and
// its bound call, so that the decorated call finds all three with one lookup.
struct StoreRecord {
    // From the interpreter's small-block allocator, with no header per
    // block: a store is made and freed with the interpreter lock held. But
    // for a thread ended at interpreter exit while releasing the record's
    // values: it no longer holds the lock, and leaves the block to the
    // ending process.
    static void* operator new(std::size_t size) {
        void* block = PyMem_Malloc(size);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    static void operator delete(void* block) noexcept {
        if (!must_abandon_python_state()) PyMem_Free(block);
    }

    explicit StoreRecord(PyObject* cls) noexcept : cls(PyRef::borrow(cls)) {}

    // A call looked for in one section and compared with Python code outside
    // it is known to be where it was found while the graph's version has not
    // moved.
    CallGraph graph;
    // The class whose methods made the store's calls: held, so that no other
    // class can take its address while the store names it (see
    // store_follows_class).
    PyRef cls;
};

struct StoreObject {
    PyObject_HEAD
    // Made at the first call that registers or stores anything: an instance
    // that never caches costs two words.
    StoreRecord* store_record;
    // A section is open.
    bool in_use;
};

inline StoreObject* as_store(PyObject* self) noexcept { return reinterpret_cast<StoreObject*>(self); }

// What a section is for: the internal error names the access refused.
enum class Access { Read, Write };

// Who opens a section, named by the internal error raised when the store is
// found in use already: `what` ends "... when <what>", or, when the section
// is opened for a call of a decorated method (`method_name`, a str), "... when
// a call of <method_name>() <what>".
struct Purpose {
    const char* what;
    PyObject* method_name = nullptr;  // borrowed
};

// The guard: holds one store for its lifetime, unless the store was found in
// use (PanicException set then).
class StoreSection {
public:
    // Opens `store` for `access`, raising PanicException ("Already borrowed"
    // when writing is refused, "Already mutably borrowed" when reading is,
    // then the store's class and `purpose`) if a section is open already.
    // Writing makes the record on first use, unless `make_record` is false;
    // making it may throw std::bad_alloc. Runs no Python code but to name the
    // class in that error.
    static StoreSection open(StoreObject* store, Access access, const Purpose& purpose, bool make_record = true) {
        if (store->in_use) return refuse(store, access, purpose);
        if (access == Access::Write && make_record && store->store_record == nullptr)
            store->store_record = new StoreRecord(reinterpret_cast<PyObject*>(Py_TYPE(store)));
        store->in_use = true;
        return StoreSection(store);
    }

    StoreSection(const StoreSection&) = delete;
    StoreSection& operator=(const StoreSection&) = delete;
    StoreSection(StoreSection&& other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
    StoreSection& operator=(StoreSection&&) = delete;
    ~StoreSection() {
        if (store_ != nullptr) store_->in_use = false;
    }

    // False when the store was in use: PanicException is set.
    bool opened() const noexcept { return store_ != nullptr; }
    // Null only for a store that has never recorded anything, opened for
    // reading or without making the record.
    StoreRecord* store_record() const noexcept { return store_->store_record; }

private:
    explicit StoreSection(StoreObject* store) noexcept : store_(store) {}
    // PanicException for a store found in use; an empty section.
    static StoreSection refuse(StoreObject* store, Access access, const Purpose& purpose);

    StoreObject* store_;
};

// Whether the store's calls were made under its instance's class as it is
// now: false once `__class__` was set to another class, until the store has
// followed it (follow_class, in class_change).
inline bool store_follows_class(const StoreObject* store) noexcept {
    const StoreRecord* store_record = store->store_record;
    return store_record == nullptr || store_record->cls.get() == reinterpret_cast<PyObject*>(Py_TYPE(store));
}

// The stored value of `node` when its call is Valid, else null. Borrowed.
inline PyObject* valid_value(const CallGraph::Node& node) noexcept {
    if (node.state() != ValidationState::Valid) return nullptr;
    const PyRef* value = node.stored_value();
    return value == nullptr ? nullptr : value->get();
}
inline PyObject* valid_value(const CallGraph& graph, NodePosition position) noexcept {
    return valid_value(graph.node(position));
}

// The registered node under `hash` that a lookup by hash answers for: the
// call first made among those whose hash it is (a value set for a call
// before it is made does not make it registered). kNoNode when there is none.
inline NodePosition first_registered(const StoreRecord& store_record, CallHash hash) {
    return store_record.graph.first_registered(hash);
}

// Adds a node for a call that no node has yet (a value set or loaded for a
// call never made, a declared dependency never called), or an unregistered
// one's bound call when it has none. May throw std::bad_alloc.
NodePosition add_unregistered_node(StoreRecord& store_record, CallHash hash, const BoundCallRef& call);

// Sets the value of the call at `position` by hand, in a section: what was
// computed from the call becomes invalid, but for the calls `keep_valid`
// names, then the call is valid with `value`. The value it replaced is
// handed back, to be released after the section.
template <typename KeepValid>
[[nodiscard]] PyRef set_by_hand(CallGraph& graph, NodePosition position, PyObject* value, KeepValid keep_valid) {
    graph.temporarily_invalidate_from(position, keep_valid);
    PyRef replaced = graph.store_value_at(position, PyRef::borrow(value));
    graph.validate_at(position);
    return replaced;
}

}  // namespace lineage_store
