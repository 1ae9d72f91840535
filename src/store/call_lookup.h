// call_lookup.h: the one way a call is found in a store: its node among
// those filed under its hash, compared without Python code inside a section
// and with Python's == outside one where only that can tell, looked for
// again when the store moved meanwhile.
//
// Several nodes may share a call hash; the node of a call is the one whose
// bound call is equal to it. Pointer and plain comparisons decide that inside
// a section; comparisons that take an argument's __eq__ are made outside, on
// bound calls held by the lookup, and the section that uses the verdict
// checks that the graph's version has not moved meanwhile. So a comparison
// that can run Python code, warn or fail is made only where a dict keyed by
// the call would make it: after the hashes agreed, with no section open.
//
// Every user finds calls through with_call_node: the decorated call (sync and
// awaited), the queries, the updates and the loads. Its one case without a
// section, look_quietly, serves the commonest hit and finds the commonest
// miss absent.
//
// A key names a call: `hash()`, `equals_without_python(const BoundCall&)`
// (1, 0, or -1 when only Python code can tell; runs none) and
// `equals(const BoundCall&)` (1, 0, or -1 with an exception set; may run
// Python code, and the caller holds the bound call).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "call/bound_call.h"
#include "graph/small_array.h"
#include "store/cache_store.h"

namespace lineage_store {

// A call named by its bound call: the key of a call looked up after its
// arguments are gone, or named by a method name and keywords.
class BoundCallKey {
public:
    BoundCallKey(CallHash hash, BoundCallRef call) noexcept : hash_(hash), call_(std::move(call)) {}

    CallHash hash() const noexcept { return hash_; }
    int equals_without_python(const BoundCall& registered) const noexcept {
        return calls_equal_without_python(registered, *call_);
    }
    int equals(const BoundCall& registered) { return calls_equal(registered, *call_); }
    const BoundCallRef& bound_call() const noexcept { return call_; }

private:
    CallHash hash_;
    BoundCallRef call_;
};

// The candidates only Python code can tell apart from a call, copied out of a
// section. Declare them before the section, so that they outlive it: the
// last hold of a bound call may release Python references.
struct Undecided {
    std::uint32_t version = 0;
    SmallArray<std::pair<NodePosition, BoundCallRef>, 2> candidates;
};

// In a section: the node among those filed under `hash` for which
// `equal(bound call)` (1, 0 or -1) gives 1; kNoNode when none does, with
// `undecided` holding those for which it gave -1.
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
    // or 0, or -1 when they were never compared. Found in constant time, so
    // that a lookup among many colliding calls costs what a dict's does.
    int of(std::uint32_t probe, const BoundCall& registered) const noexcept {
        if (!found_) return -1;
        const auto at = found_->known.find({probe, &registered});
        return at == found_->known.end() ? -1 : at->second.equal;
    }
    // May throw std::bad_alloc.
    void note(std::uint32_t probe, const BoundCallRef& registered, bool equal) {
        if (!found_) found_ = std::make_unique<Found>();
        found_->known.insert_or_assign(Probe{probe, registered.get()}, Verdict{registered, equal});
    }
    // Counts a look made because the store moved after a comparison; false
    // once there have been too many.
    bool may_look_again() noexcept { return ++looks_ < kMaxLooks; }

private:
    struct Probe {
        std::uint32_t probe;
        const BoundCall* registered;
        bool operator==(const Probe&) const = default;
    };
    struct ProbeHash {
        std::size_t operator()(const Probe& key) const noexcept {
            return std::hash<const void*>()(key.registered) ^ (std::size_t{key.probe} * 0x9E3779B97F4A7C15ULL);
        }
    };
    struct Verdict {
        BoundCallRef registered;  // held, so that its address names it
        bool equal;
    };
    struct Found {
        std::unordered_map<Probe, Verdict, ProbeHash> known;
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

// The one lookup. Finds the node of the call `key` names among those under
// its hash, comparing with Python code outside any section where it must,
// then runs `use(StoreRecord* store_record, NodePosition position)` in a
// section for `access`, opened for `purpose`, in which `position` is known to
// be that call's node (kNoNode when the store has none; `store_record` is
// null only when reading a store that has never recorded anything). Returns what `use` returns, or
// false with an exception set. `verdicts` may be the caller's, so that
// several lookups of one operation (a call, and the calls it was declared to
// depend on) share what they compared and their bound on looks. When the
// store kept moving under the comparisons for Verdicts::kMaxLooks looks,
// nothing is used: `undecidable` is set when given, for the caller to answer
// as it sees fit, and RuntimeError raised otherwise.
template <typename Key, typename Use>
bool with_call_node(StoreObject* store, Access access, const Purpose& purpose, Key& key, Verdicts& verdicts, Use use,
                    bool* undecidable = nullptr) {
    for (;;) {
        Undecided undecided;  // outlives the sections: it holds bound calls
        {
            StoreSection section = StoreSection::open(store, access, purpose);
            if (!section.opened()) return false;
            StoreRecord* store_record = section.store_record();
            if (store_record == nullptr) return use(store_record, kNoNode);
            const NodePosition found = find_call(
                *store_record, key.hash(),
                [&](const BoundCall& registered) {
                    const int verdict = key.equals_without_python(registered);
                    return verdict >= 0 ? verdict : verdicts.of(0, registered);
                },
                undecided);
            if (found != kNoNode || undecided.candidates.empty()) return use(store_record, found);
        }
        NodePosition decided = kNoNode;
        if (!decide_with_python(
                undecided, verdicts, 0, [&](const BoundCall& registered) { return key.equals(registered); }, decided)) {
            return false;
        }
        StoreSection section = StoreSection::open(store, access, purpose);
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

template <typename Key, typename Use>
bool with_call_node(StoreObject* store, Access access, const Purpose& purpose, Key& key, Use use,
                    bool* undecidable = nullptr) {
    Verdicts verdicts;  // outlives the sections: it holds bound calls
    return with_call_node(store, access, purpose, key, verdicts, use, undecidable);
}

// What a look at a quiet store found (see look_quietly): the call's valid
// value, borrowed (until anything may run Python code), or whether the store
// has no node the call could be, with the graph's version then, by which a
// later look tells whether anything has changed since.
struct QuietLook {
    PyObject* value = nullptr;
    bool absent = false;
    std::uint32_t version = 0;
};

// The lookup's case without a section, for the commonest hit and miss: in a
// store that is not in use and computes nothing (so that no computation in
// progress can depend on, be, or record the call), the valid value of the
// call that `equal(bound call)` (1 for the call's node) recognises without
// Python code, or `absent` when no node under the hash is the call or one
// `equal` cannot tell (-1). Anything else leaves both unset: a node found
// invalid or unregistered, an undecided one, a store in use or computing.
// Runs no Python code and opens no section: it changes nothing.
template <typename Equal>
inline QuietLook look_quietly(const StoreObject* store, CallHash hash, Equal equal) noexcept {
    const StoreRecord* store_record = store->store_record;
    if (store_record == nullptr) return {nullptr, !store->in_use, 0};
    if (store->in_use || store_record->graph.running_count() > 0) return {};
    const CallGraph& graph = store_record->graph;
    QuietLook found;
    bool undecided = false;
    const CallGraph::Node* node = nullptr;
    graph.find_node(hash, [&](NodePosition, const CallGraph::Node& candidate) {
        const BoundCallRef* registered = candidate.call_value();
        if (registered == nullptr) return false;
        const int verdict = equal(**registered);
        undecided = undecided || verdict < 0;
        if (verdict > 0) node = &candidate;
        return verdict > 0;
    });
    if (node != nullptr) {
        found.value = valid_value(*node);
    } else {
        found.absent = !undecided;
    }
    found.version = graph.version();
    return found;
}

}  // namespace lineage_store
