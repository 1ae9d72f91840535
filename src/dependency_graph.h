// The per-instance graph of registered calls: their validation states, the
// edges "this call was computed from that one", the normalised call tuple of
// each call, and invalidation along the edges.
//
// Plain C++ with no Python in it: it is generic over the key that names a call
// and the value kept per call, so it can be tested without an interpreter. The
// store instantiates it with call hashes and owned call tuples. No operation
// calls back into its caller, so none can observe the graph half-updated.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "seeded_hash.h"

namespace lineage_store {

enum class ValidationState : std::uint8_t {
    Valid = 0,
    Invalid = 1,
    PermanentlyInvalid = 2,
};

template <typename Key, typename Value>
class MethodDependencyGraph {
public:
    using KeySet = SeededSet<Key>;

    bool contains_call(Key call) const { return validation_states_.contains(call); }

    // A call without a state has never been registered and is never served.
    ValidationState state_of(Key call) const {
        auto found = validation_states_.find(call);
        return found == validation_states_.end() ? ValidationState::PermanentlyInvalid : found->second;
    }

    // Registers a new call. Returns the call value previously kept under the
    // key, if any, so that the caller can let go of it once the graph is
    // consistent again (releasing it may run arbitrary code).
    [[nodiscard]] Value add_call(Key call, Value call_value, std::span<const Key> parents) {
        validation_states_[call] = ValidationState::Invalid;
        Value previous = std::exchange(call_values_[call], std::move(call_value));
        add_dependencies(call, parents);
        return previous;
    }

    void add_dependencies(Key child, std::span<const Key> parents) {
        children_.try_emplace(child);
        for (Key parent : parents) {
            children_[parent].insert(child);
            parents_[child].insert(parent);
        }
    }

    // The calls that `call` was computed from. Served by the reverse index, so
    // the cost follows the number of parents, not the size of the graph.
    std::vector<Key> parents_of(Key call) const {
        auto found = parents_.find(call);
        if (found == parents_.end()) return {};
        return {found->second.begin(), found->second.end()};
    }

    void permanently_invalidate(Key call) { validation_states_[call] = ValidationState::PermanentlyInvalid; }

    void validate(Key call) {
        auto found = validation_states_.find(call);
        if (found != validation_states_.end() && found->second == ValidationState::Invalid) {
            found->second = ValidationState::Valid;
        }
    }

    // `start` first, then every call reachable from it through the children
    // edges, each once, depth first. Cycles are allowed, hence the visited set.
    std::vector<Key> methods_to_invalidate(Key start) const {
        if (children_.empty()) return {start};
        std::vector<Key> result;
        std::vector<Key> stack{start};
        KeySet visited{start};
        while (!stack.empty()) {
            Key current = stack.back();
            stack.pop_back();
            result.push_back(current);
            auto found = children_.find(current);
            if (found == children_.end()) continue;
            for (Key child : found->second) {
                if (visited.insert(child).second) stack.push_back(child);
            }
        }
        return result;
    }

    // Every Valid call among `start` and its descendants becomes Invalid. The
    // walk goes on through calls that are already invalid. A computation in
    // progress for any call the walk reaches is marked: whatever it read may
    // be older than the change that caused this walk.
    void temporarily_invalidate(Key start) {
        temporarily_invalidate(start, [](Key) { return false; });
    }

    // The same walk, leaving Valid the calls for which `keep_valid` holds; the
    // walk still goes on through them to their descendants.
    template <typename KeepValid>
    void temporarily_invalidate(Key start, KeepValid keep_valid) {
        for (Key call : methods_to_invalidate(start)) {
            auto found = validation_states_.find(call);
            if (found != validation_states_.end() && found->second == ValidationState::Valid && !keep_valid(call)) {
                found->second = ValidationState::Invalid;
            }
            mark_computation(call);
        }
    }

    // Computations in progress. A computation notes the mark count when it
    // starts; if the count has moved when it ends, an invalidation reached the
    // call meanwhile and the result must not be trusted.
    std::uint64_t begin_computation(Key call) {
        Computations& computations = computing_[call];
        ++computations.running;
        return computations.marks;
    }

    // Ends one computation of `call` and tells whether it was marked.
    bool end_computation(Key call, std::uint64_t marks_at_start) {
        auto found = computing_.find(call);
        if (found == computing_.end()) return true;
        bool marked = found->second.marks != marks_at_start;
        if (--found->second.running == 0) computing_.erase(found);
        return marked;
    }

    void mark_computation(Key call) {
        auto found = computing_.find(call);
        if (found != computing_.end()) ++found->second.marks;
    }

    const SeededMap<Key, ValidationState>& validation_states() const { return validation_states_; }
    const SeededMap<Key, KeySet>& children() const { return children_; }
    const SeededMap<Key, Value>& call_values() const { return call_values_; }

private:
    struct Computations {
        std::uint32_t running = 0;
        std::uint64_t marks = 0;
    };

    SeededMap<Key, ValidationState> validation_states_;
    SeededMap<Key, KeySet> children_;
    SeededMap<Key, Value> call_values_;
    // Reverse of children_: parents_[c] holds p exactly when children_[p] holds c.
    SeededMap<Key, KeySet> parents_;
    SeededMap<Key, Computations> computing_;
};

}  // namespace lineage_store
