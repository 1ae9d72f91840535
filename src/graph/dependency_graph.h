// dependency_graph.h: the per-instance graph of calls: their validation
// states, the edges "this call was computed from that one", what names each
// call (its arguments) and its cached value, the computations in progress,
// and invalidation along the edges.
//
// Plain C++ with no Python in it: it is generic over the key that names a call
// and the values kept per call, so it can be tested without an interpreter.
// The store instantiates it with call hashes, argument records and owned
// Python references. No operation calls back into its caller, so none can
// observe the graph half-updated.
//
// Layout: one dense table of nodes, in the order they were added, and edges
// as node positions. Nodes never move and are never removed, so a position
// names a node for the life of the graph. Several nodes may share a key:
// calls whose hashes collide but whose arguments differ are different calls.
// Which node a call is, when keys collide, is for the caller to decide (it
// compares the call values, which may take Python code); the graph finds the
// candidates. A small graph finds them by scanning its few nodes; from
// kScanLimit nodes on, through a seeded index.
//
// A node without a state is not a registered call and counts as
// PermanentlyInvalid: a value stored for a call never made, or a declared
// dependency never called. It may still hold a call value, so that the call
// it stands for can be recognised when it is made.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "graph/computation_slots.h"
#include "graph/edge_list.h"
#include "graph/seeded_index.h"
#include "graph/small_array.h"
#include "graph/stable_table.h"

namespace lineage_store {

enum class ValidationState : std::uint8_t {
    Valid = 0,
    Invalid = 1,
    PermanentlyInvalid = 2,
};

template <typename Key, typename CallValue, typename StoredValue = CallValue>
class MethodDependencyGraph {
public:
    class Node {
    public:
        explicit Node(Key key) : key_(key) {}
        Node(Key key, CallValue call) : key_(key), call_value_(std::move(call)), flags_(kHasCallValue) {}

        Key key() const noexcept { return key_; }
        bool has_state() const noexcept { return flags_ & kHasState; }
        ValidationState state() const noexcept {
            return has_state() ? static_cast<ValidationState>(state_) : ValidationState::PermanentlyInvalid;
        }
        // A registered call: it has a state and the value that names it.
        bool is_registered() const noexcept {
            return (flags_ & (kHasState | kHasCallValue)) == (kHasState | kHasCallValue);
        }
        const CallValue* call_value() const noexcept { return flags_ & kHasCallValue ? &call_value_ : nullptr; }
        const StoredValue* stored_value() const noexcept { return flags_ & kHasStoredValue ? &stored_value_ : nullptr; }
        bool is_computing() const noexcept { return flags_ & kComputing; }

    private:
        friend class MethodDependencyGraph;

        static constexpr std::uint32_t kHasState = 1, kHasCallValue = 2, kHasStoredValue = 4, kComputing = 8;
        // Registered in a node made before its call was (see register_late),
        // and, of those, one registered while no other node of its key was.
        static constexpr std::uint32_t kRegisteredLate = 16, kFirstOfKey = 32;

        void set_state(ValidationState state) noexcept {
            state_ = static_cast<std::uint32_t>(state);
            flags_ |= kHasState;
        }
        bool is(ValidationState state) const noexcept {
            return has_state() && state_ == static_cast<std::uint32_t>(state);
        }
        void clear_flag(std::uint32_t flag) noexcept { flags_ &= ~flag & 0x3F; }

        // 32 bytes with call hashes, argument records and Python references.
        Key key_;
        CallValue call_value_{};
        StoredValue stored_value_{};
        std::uint32_t edges_ = 0;  // 1 + position in edge_lists_; 0 while the node has no edges
        // Equal to the graph's walk_epoch_ once the current walk has reached the node.
        mutable std::uint32_t walk_mark_ : 24 = 0;
        std::uint32_t state_ : 2 = 0;
        std::uint32_t flags_ : 6 = 0;
    };

    // Graphs this small are searched by scanning their nodes.
    static constexpr std::size_t kScanLimit = 8;

    MethodDependencyGraph() = default;
    MethodDependencyGraph(MethodDependencyGraph&& other) noexcept(std::is_nothrow_move_constructible_v<Node>)
        : nodes_(std::move(other.nodes_)),
          index_(std::move(other.index_)),
          edge_lists_(std::move(other.edge_lists_)),
          running_(std::move(other.running_)),
          walk_epoch_(other.walk_epoch_),
          version_(other.version_) {}
    MethodDependencyGraph& operator=(MethodDependencyGraph&&) = delete;
    MethodDependencyGraph(const MethodDependencyGraph&) = delete;
    MethodDependencyGraph& operator=(const MethodDependencyGraph&) = delete;

    // -----------------------------------------------------------------------
    // Nodes

    std::size_t size() const noexcept { return nodes_.size(); }
    const Node& node(NodePosition position) const noexcept { return nodes_[position]; }

    // Calls `visit(position)` for each node with `key` until it returns true;
    // returns that position, or kNoNode. The order is unspecified.
    template <typename Visit>
    NodePosition find(Key key, Visit visit) const {
        return find_node(key, [&](NodePosition position, const Node&) { return visit(position); });
    }
    // The same, handing `visit` the node too: (position, node).
    template <typename Visit>
    NodePosition find_node(Key key, Visit visit) const {
        if (index_.empty()) {
            for (std::size_t position = 0; position < nodes_.size(); ++position) {
                const Node& node = nodes_[position];
                if (node.key_ == key && visit(static_cast<NodePosition>(position), node)) {
                    return static_cast<NodePosition>(position);
                }
            }
            return kNoNode;
        }
        return index_.find(static_cast<std::uint64_t>(key), [&](NodePosition position) {
            const Node& node = nodes_[position];
            return node.key_ == key && visit(position, node);
        });
    }

    // The first node added with `key` whose state is set, or failing that the
    // first node added with `key`; kNoNode when there is none.
    NodePosition first_with_key(Key key) const {
        NodePosition first = kNoNode, first_with_state = kNoNode;
        find(key, [&](NodePosition position) {
            first = std::min(first, position);
            if (nodes_[position].has_state()) first_with_state = std::min(first_with_state, position);
            return false;
        });
        return first_with_state != kNoNode ? first_with_state : first;
    }

    // Adds a node for `key`, whether or not others have that key already,
    // with the value that names its call or without one.
    template <typename... CallValueIfAny>
    NodePosition add_node(Key key, CallValueIfAny&&... call_value) {
        if (nodes_.size() >= kScanLimit) {
            index_.reserve_one_more(nodes_.size(), [this](NodePosition at) { return nodes_[at].key_; });
        }
        nodes_.emplace_back(key, std::forward<CallValueIfAny>(call_value)...);
        const auto position = static_cast<NodePosition>(nodes_.size() - 1);
        if (!index_.empty()) index_.insert(static_cast<std::uint64_t>(key), position);
        ++version_;
        return position;
    }

    // Moves whenever a node is added, a node's call value is replaced, a
    // call stops being Valid or a stored value is replaced or taken: a caller
    // that found a call in the graph, or a call's valid value, then let the
    // graph alone for a while (to compare call values with Python code, or to
    // let a coroutine be awaited), knows what it found still holds while this
    // has not moved.
    std::uint32_t version() const noexcept { return version_; }

    // Replaces the value that names the node's call, and hands back the one it
    // held, for the caller to release once the graph is consistent again.
    [[nodiscard]] CallValue set_call_value(NodePosition position, CallValue call_value) {
        Node& node = nodes_[position];
        node.flags_ |= Node::kHasCallValue;
        ++version_;
        return std::exchange(node.call_value_, std::move(call_value));
    }

    // Gives an unregistered node its first state.
    void register_with_state(NodePosition position, ValidationState state) noexcept {
        nodes_[position].set_state(state);
    }

    // Gives its first state to a node made before its call registered (one
    // that stood for the call meanwhile), keeping track of the order of
    // registration: nodes register in the order they were added, but for
    // these.
    void register_late_with_state(NodePosition position, ValidationState state) {
        Node& node = nodes_[position];
        bool first = true;
        find(node.key_, [&](NodePosition other) {
            first = first && (other == position || !nodes_[other].is_registered());
            return !first;
        });
        node.flags_ |= Node::kRegisteredLate | (first ? Node::kFirstOfKey : 0);
        node.set_state(state);
    }

    // The registered node with `key` that registered first; kNoNode when
    // none has.
    NodePosition first_registered(Key key) const {
        NodePosition first_added = kNoNode, first_late = kNoNode;
        find(key, [&](NodePosition position) {
            const Node& node = nodes_[position];
            if (!node.is_registered()) return false;
            if (node.flags_ & Node::kFirstOfKey) first_late = position;
            if (!(node.flags_ & Node::kRegisteredLate)) first_added = std::min(first_added, position);
            return false;
        });
        // Either the first registered came late, when no other had, or it
        // was the first of those registered as they were added.
        return first_late != kNoNode ? first_late : first_added;
    }

    // -----------------------------------------------------------------------
    // Edges

    // `child` depends on `parent`. An edge that exists already is left alone.
    // May throw std::bad_alloc, changing nothing.
    void link(NodePosition child, NodePosition parent) {
        EdgeList& children = list_of(parent, &NodeEdges::children);
        EdgeList& parents_of_child = list_of(child, &NodeEdges::parents);
        // The edge is in both lists or in neither: ask the shorter one.
        const bool present =
            children.size() <= parents_of_child.size() ? children.contains(child) : parents_of_child.contains(parent);
        if (present) return;
        children.reserve_one_more();
        parents_of_child.reserve_one_more();
        children.push_back(child);
        parents_of_child.push_back(parent);
    }

    // The nodes computed from `position`, and the nodes it was computed from,
    // each in the order the edges were added.
    std::span<const NodePosition> children(NodePosition position) const noexcept {
        const Node& node = nodes_[position];
        return node.edges_ == 0 ? std::span<const NodePosition>() : edge_lists_[node.edges_ - 1].children.items();
    }
    std::span<const NodePosition> parents(NodePosition position) const noexcept {
        const Node& node = nodes_[position];
        return node.edges_ == 0 ? std::span<const NodePosition>() : edge_lists_[node.edges_ - 1].parents.items();
    }
    bool depends_on(NodePosition child, NodePosition parent) const noexcept {
        const Node& node = nodes_[child];
        return node.edges_ != 0 && edge_lists_[node.edges_ - 1].parents.contains(parent);
    }

    // -----------------------------------------------------------------------
    // States

    ValidationState state_at(NodePosition position) const noexcept { return nodes_[position].state(); }

    void validate_at(NodePosition position) noexcept {
        Node& node = nodes_[position];
        if (node.is(ValidationState::Invalid)) node.set_state(ValidationState::Valid);
    }

    void permanently_invalidate_at(NodePosition position) noexcept { permanently_invalidate_node(nodes_[position]); }

    // Every Valid call among `start` and its descendants becomes Invalid,
    // except those for which `keep_valid(position)` holds; the walk goes on
    // through calls that are already invalid or kept. Each computation in
    // progress for a call the walk reaches is marked: whatever it read may be
    // older than the change that caused this walk. `keep_valid` must not use
    // the graph: the walk's marks are the graph's own.
    template <typename KeepValid>
    void temporarily_invalidate_from(NodePosition start, KeepValid keep_valid) {
        ++version_;
        walk(start, [&](NodePosition reached) {
            Node& node = nodes_[reached];
            if (node.is(ValidationState::Valid) && !keep_valid(reached)) node.set_state(ValidationState::Invalid);
            if (node.flags_ & Node::kComputing) mark_computations_of(reached);
        });
    }
    void temporarily_invalidate_from(NodePosition start) {
        temporarily_invalidate_from(start, [](NodePosition) { return false; });
    }

    // -----------------------------------------------------------------------
    // Stored values

    // Stores `value` at the node and hands back the value it replaced.
    [[nodiscard]] StoredValue store_value_at(NodePosition position, StoredValue value) {
        Node& node = nodes_[position];
        node.flags_ |= Node::kHasStoredValue;
        ++version_;
        return std::exchange(node.stored_value_, std::move(value));
    }

    // Takes every stored value out of the graph, which keeps its calls, their
    // states and their edges.
    template <typename Taken>
    void take_stored_values(Taken& taken) {
        ++version_;
        taken.reserve(taken.size() + nodes_.size());
        for (std::size_t position = 0; position < nodes_.size(); ++position) {
            Node& node = nodes_[position];
            if (!(node.flags_ & Node::kHasStoredValue)) continue;
            node.clear_flag(Node::kHasStoredValue);
            taken.push_back(std::exchange(node.stored_value_, StoredValue{}));
        }
    }

    // -----------------------------------------------------------------------
    // Computations in progress
    //
    // An invalidation that reaches a call marks every computation of it; a
    // computation ends by saying whether it was marked.

    using ComputationSlot = ComputationSlots::Slot;

    // May throw std::bad_alloc, changing nothing.
    ComputationSlot begin_computation(NodePosition position) {
        const ComputationSlot slot = running_.begin(position);
        nodes_[position].flags_ |= Node::kComputing;
        return slot;
    }

    // Ends the computation in `slot`: true when an invalidation reached it.
    bool end_computation(ComputationSlot slot) noexcept {
        const NodePosition position = running_.node_of(slot);
        const bool marked = running_.end(slot);
        if (!running_.computes(position)) nodes_[position].clear_flag(Node::kComputing);
        return marked;
    }

    void mark_computations_of(NodePosition position) noexcept { running_.mark_computations_of(position); }
    void mark_all_computations() noexcept { running_.mark_all(); }

    // The end of the computation in `slot` of the call at `position`, with
    // `value` its result: the call's state decided from the calls it was
    // computed from, and the value stored (moved from `value`) when it ends Valid. A call that
    // stores nothing (`stores` false) is PermanentlyInvalid from then on, and
    // so is one computed from a PermanentlyInvalid call. A computation
    // `overlapped` (reached by an invalidation while it ran, or so marked by
    // the caller) is neither validated nor invalidated further: what reached
    // it decided that. The value replaced is handed back, for the caller to
    // release once the graph is consistent again; `overlapped` says whether
    // the computation was.
    [[nodiscard]] StoredValue conclude(ComputationSlot slot, NodePosition position, bool stores, bool& overlapped,
                                       StoredValue& value) {
        overlapped = end_computation(slot) || overlapped;
        Node& node = nodes_[position];
        if (!stores) permanently_invalidate_node(node);
        bool any_invalid = false;
        if (node.edges_ != 0) {
            for (NodePosition parent : edge_lists_[node.edges_ - 1].parents.items()) {
                const ValidationState state = nodes_[parent].state();
                if (state == ValidationState::PermanentlyInvalid) {
                    permanently_invalidate_node(node);
                    return StoredValue{};
                }
                any_invalid = any_invalid || state == ValidationState::Invalid;
            }
        }
        if (overlapped) return StoredValue{};
        if (any_invalid) {
            temporarily_invalidate_from(position);
            return StoredValue{};
        }
        if (!node.is(ValidationState::Invalid) && !node.is(ValidationState::Valid)) return StoredValue{};
        node.set_state(ValidationState::Valid);
        node.flags_ |= Node::kHasStoredValue;
        ++version_;
        return std::exchange(node.stored_value_, std::move(value));
    }

    // How many computations are in progress, on any thread.
    std::uint32_t running_count() const noexcept { return running_.count(); }

    // See ComputationSlots: the context a computation runs in, when it sets no frame.
    void tag_computation(ComputationSlot slot, const void* context, const void* owner) noexcept {
        running_.tag(slot, context, owner);
    }
    bool any_in(const void* context) const noexcept { return running_.any_in(context); }
    template <typename Match>
    std::int64_t innermost_in(const void* context, Match match) const noexcept {
        return running_.innermost_in(context, match);
    }
    NodePosition computed_node(ComputationSlot slot) const noexcept { return running_.node_of(slot); }
    const void* computation_owner(ComputationSlot slot) const noexcept { return running_.owner_of(slot); }

private:
    struct NodeEdges {
        EdgeList children;  // the nodes computed from this one
        EdgeList parents;   // the reverse: the nodes this one was computed from
    };

    void permanently_invalidate_node(Node& node) noexcept {
        node.set_state(ValidationState::PermanentlyInvalid);
        ++version_;
    }

    EdgeList& list_of(NodePosition position, EdgeList NodeEdges::* end) {
        Node& node = nodes_[position];
        if (node.edges_ == 0) {
            edge_lists_.emplace_back();
            node.edges_ = static_cast<std::uint32_t>(edge_lists_.size());
        }
        return edge_lists_[node.edges_ - 1].*end;
    }

    // Calls `visit` once for `start` and once for every node reachable from
    // it, depth first, the most recently pushed first. Cycles are allowed:
    // the walk marks the nodes it reaches with a number of its own instead
    // of keeping a visited set.
    template <typename Visit>
    void walk(NodePosition start, Visit visit) const {
        if (++walk_epoch_ == kWalkEpochs) {
            for (const Node& node : nodes_) node.walk_mark_ = 0;
            walk_epoch_ = 1;
        }
        const std::uint32_t epoch = walk_epoch_;
        nodes_[start].walk_mark_ = epoch;
        if (children(start).empty()) {
            visit(start);
            return;
        }
        // Inline for the short walks most updates make.
        SmallArray<NodePosition, 16> stack;
        stack.push_back(start);
        while (!stack.empty()) {
            const NodePosition reached = stack.back();
            stack.pop_back();
            visit(reached);
            for (NodePosition child : children(reached)) {
                if (nodes_[child].walk_mark_ == epoch) continue;
                nodes_[child].walk_mark_ = epoch;
                stack.push_back(child);
            }
        }
    }

    // Walk marks take 24 bits of a node; after that many walks they all start over.
    static constexpr std::uint32_t kWalkEpochs = 1u << 24;

    StableTable<Node, true> nodes_;
    SeededIndex index_;
    StableTable<NodeEdges, false> edge_lists_;
    ComputationSlots running_;
    mutable std::uint32_t walk_epoch_ = 0;
    std::uint32_t version_ = 0;
};

}  // namespace lineage_store
