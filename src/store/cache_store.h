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

    // A call looked for in one section and compared with Python code outside
    // it is known to be where it was found while the graph's version has not
    // moved.
    CallGraph graph;
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

// The guard: holds one store for its lifetime, unless the store was found in
// use (PanicException set then).
class StoreSection {
public:
    // Opens `store` for `access`, raising PanicException ("Already borrowed"
    // when writing is refused, "Already mutably borrowed" when reading is)
    // if a section is open already. Writing makes the record on first use,
    // unless `make_record` is false; making it may throw std::bad_alloc.
    static StoreSection open(StoreObject* store, Access access, bool make_record = true) {
        if (store->in_use) return refuse(access);
        if (access == Access::Write && make_record && store->store_record == nullptr)
            store->store_record = new StoreRecord();
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
    static StoreSection refuse(Access access) noexcept;

    StoreObject* store_;
};

// ---------------------------------------------------------------------------
// Finding calls
//
// Several nodes may share a call hash; the node of a call is the one whose
// bound call is equal to it. Pointer and plain comparisons settle that inside
// a section; comparisons that take an argument's __eq__ are made outside,
// on bound calls held by the caller, and the section that uses the verdict
// checks that the graph's version has not moved meanwhile.

// The candidates only Python code can tell apart from a call, copied out of a
// section. Declare them before the section, so that they outlive it: the
// last hold of a bound call may release Python references.
struct Undecided {
    std::uint32_t version = 0;
    SmallArray<std::pair<NodePosition, BoundCallRef>, 2> candidates;
};

// In a section: the node among those filed under `hash` for which
// `equal(bound call)` (1, 0 or -1, see plain_equal) gives 1; kNoNode when
// none does, with `undecided` holding those for which it gave -1.
template <typename Equal>
NodePosition find_call(const StoreRecord& store_record, CallHash hash, Equal equal, Undecided& undecided) {
    undecided.version = store_record.graph.version();
    return store_record.graph.find(hash, [&](NodePosition position) {
        const BoundCallRef* call = store_record.graph.node(position).call_value();
        if (call == nullptr) return false;
        const int verdict = equal(**call);
        if (verdict < 0) undecided.candidates.push_back({position, *call});
        return verdict > 0;
    });
}

// What the Python comparisons of one lookup found, kept from one look to the
// next. Whether two calls' arguments are equal does not depend on the store,
// so a look made because Python code moved the store runs Python code only
// for candidates it has not compared yet: it looks again only when that code
// added or renamed a colliding call meanwhile, and gives up after
// kMaxLooks. Declare it before the sections, like Undecided: it holds
// bound calls.
class Verdicts {
public:
    // Looks of one lookup, the first included. One that still finds the
    // store moved after that many is answered as a call the store cannot
    // tell apart: computed and not stored, or not found.
    static constexpr unsigned kMaxLooks = 8;

    // What was found of comparing the call `probe` names (0 for the call
    // looked up, 1 + d for its declared dependency d) with `registered`: 1
    // or 0, or -1 when they were never compared.
    int of(std::uint32_t probe, const BoundCall& registered) const noexcept {
        if (!found_) return -1;
        for (const Verdict& verdict : found_->known) {
            if (verdict.probe == probe && verdict.registered.get() == &registered) return verdict.equal;
        }
        return -1;
    }
    // May throw std::bad_alloc.
    void note(std::uint32_t probe, const BoundCallRef& registered, bool equal) {
        if (!found_) found_ = std::make_unique<Found>();
        found_->known.push_back({probe, registered, equal});
    }
    // Counts a look made because the store moved after a comparison; false
    // once there have been too many.
    bool may_look_again() noexcept { return ++looks_ < kMaxLooks; }

private:
    struct Verdict {
        std::uint32_t probe;
        BoundCallRef registered;  // held, so that its address names it
        bool equal;
    };
    struct Found {
        std::vector<Verdict> known;
    };
    // Made at the first comparison: a lookup that compares nothing with
    // Python code (every hit) pays one pointer for it.
    std::unique_ptr<Found> found_;
    unsigned looks_ = 1;
};

// Outside any section: the undecided candidate that `equal(bound call)` (1,
// 0, or -1 with an exception set) finds equal, asked only of candidates that
// `verdicts` knows nothing of under `probe`, and each answer noted there. Its
// position, kNoNode when none is, or false with an exception set.
template <typename Equal>
bool decide_with_python(const Undecided& undecided, Verdicts& verdicts, std::uint32_t probe, Equal equal,
                        NodePosition& out) {
    out = kNoNode;
    for (std::size_t i = 0; i < undecided.candidates.size(); ++i) {
        const BoundCallRef& candidate = undecided.candidates[i].second;
        int verdict = verdicts.of(probe, *candidate);
        if (verdict < 0) {
            verdict = equal(*candidate);
            if (verdict < 0) return false;
            verdicts.note(probe, candidate, verdict > 0);
        }
        if (verdict > 0) {
            out = undecided.candidates[i].first;
            return true;
        }
    }
    return true;
}

// RuntimeError for a call that Python code kept the store from telling
// apart; returns false.
bool refuse_undecidable();

// Finds the node of the call `call` (held by the caller) among those under
// `hash`, comparing with Python code outside any section where it must, then
// runs `use(StoreRecord* store_record, NodePosition position)` in a section for
// `access` in which `position` is known to be that call's node (kNoNode when
// the store has none; `store_record` is null only when reading a store that has
// never recorded anything). Returns what `use` returns, or false with an
// exception set. When the store kept moving under the comparisons for
// Verdicts::kMaxLooks looks, nothing is used: `undecidable` is set when
// given, for the caller to answer as it sees fit, and RuntimeError raised
// otherwise.
template <typename Use>
bool with_call_node(StoreObject* store, Access access, CallHash hash, const BoundCall& call, Use use,
                    bool* undecidable = nullptr) {
    Verdicts verdicts;  // outlives the sections: it holds bound calls
    for (;;) {
        Undecided undecided;  // outlives the sections: it holds bound calls
        {
            StoreSection section = StoreSection::open(store, access);
            if (!section.opened()) return false;
            StoreRecord* store_record = section.store_record();
            if (store_record == nullptr) return use(store_record, kNoNode);
            const NodePosition found = find_call(
                *store_record, hash,
                [&](const BoundCall& registered) { return calls_equal_without_python(registered, call); }, undecided);
            if (found != kNoNode || undecided.candidates.empty()) return use(store_record, found);
        }
        NodePosition decided = kNoNode;
        if (!decide_with_python(
                undecided, verdicts, 0, [&](const BoundCall& registered) { return calls_equal(registered, call); },
                decided)) {
            return false;
        }
        StoreSection section = StoreSection::open(store, access);
        if (!section.opened()) return false;
        if (section.store_record()->graph.version() == undecided.version) return use(section.store_record(), decided);
        // A node was added or replaced meanwhile: look again, comparing only
        // what was not compared yet.
        if (!verdicts.may_look_again()) {
            if (undecidable == nullptr) return refuse_undecidable();
            *undecidable = true;
            return true;
        }
    }
}

// The stored value of `position` when its call is Valid, else null. Borrowed.
inline PyObject* valid_value(const CallGraph& graph, NodePosition position) noexcept {
    const CallGraph::Node& node = graph.node(position);
    if (node.state() != ValidationState::Valid) return nullptr;
    const PyRef* value = node.stored_value();
    return value == nullptr ? nullptr : value->get();
}

// The node of a call found valid by `valid_node_of`: its value, borrowed
// (until anything may run Python code), and the graph's version then, by
// which a later look tells whether anything has changed since.
struct ValidNode {
    PyObject* value = nullptr;
    std::uint32_t version = 0;
};

// The hit at its cheapest, for a call whose arguments are all plain: the
// valid value `store` holds for `call`, a bound call its decorator made.
// None (a null value, with no exception set) whenever anything else must be
// decided first: the store has no such call, or only an invalid or
// unregistered one, or one another decorator registered, or it is computing
// (the call may depend on, or be, a computation in progress), or in use.
// Runs no Python code and opens no section: it changes nothing.
inline ValidNode valid_node_of(const StoreObject* store, CallHash hash, const BoundCall& call) noexcept {
    const StoreRecord* store_record = store->store_record;
    if (store_record == nullptr || store->in_use || store_record->graph.running_count() > 0) return {};
    const CallGraph& graph = store_record->graph;
    ValidNode found;
    graph.find(hash, [&](NodePosition position) {
        const CallGraph::Node& node = graph.node(position);
        // A node holds a call once it is registered: a value set by hand
        // before the call was made holds none, and the call registers itself.
        const BoundCallRef* registered = node.call_value();
        if (registered == nullptr) return false;
        if (registered->get() != &call) {
            if (calls_equal_without_python(**registered, call) != 1) return false;
            // The call, registered by another method of the same name (each
            // decorator's bound calls hold its own name object): not served.
            if ((*registered)->method_name() != call.method_name()) return true;
        }
        found.value = valid_value(graph, position);
        return true;
    });
    found.version = graph.version();
    return found;
}

// The same, for a call that returns its value: a new reference, or null.
inline PyObject* valid_value_of(const StoreObject* store, CallHash hash, const BoundCall& call) noexcept {
    PyObject* value = valid_node_of(store, hash, call).value;
    return value != nullptr ? Py_NewRef(value) : nullptr;
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
