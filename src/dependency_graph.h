// The per-instance graph of calls: their validation states, the edges "this
// call was computed from that one", what names each call (its arguments) and
// its cached value, and invalidation along the edges.
//
// Plain C++ with no Python in it: it is generic over the key that names a call
// and the values kept per call, so it can be tested without an interpreter.
// The store instantiates it with call hashes, call records and owned Python
// references. No operation calls back into its caller, so none can observe
// the graph half-updated.
//
// Layout: one dense table of nodes, one per key the store has met, in the
// order they were met; a seeded index from key to node; edges as node
// positions. A node exists for every key that has a state, a call value, a
// stored value, an edge or a computation. A node without a state is a key the graph knows
// only from the outside: a value stored for a call never made, or a declared
// dependency never called. Nodes are never removed, so positions are stable.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "seeded_hash.h"

namespace lineage_store {

enum class ValidationState : std::uint8_t {
    Valid = 0,
    Invalid = 1,
    PermanentlyInvalid = 2,
};

using NodePosition = SeededIndex::Position;

// The positions of the nodes at one end of a node's edges, each once, in the
// order they were added. Up to two live inline (most calls have at most a
// parent or two); longer lists move to the heap, and from kIndexedFrom
// entries on keep an open-addressing set of their members next to the list,
// so that adding an edge between two busy nodes does not scan a long list.
class EdgeList {
public:
    EdgeList() noexcept : inline_{} {}
    EdgeList(EdgeList&& other) noexcept : size_(other.size_), capacity_(other.capacity_) {
        if (is_inline()) {
            std::memcpy(inline_, other.inline_, sizeof inline_);
        } else {
            heap_ = other.heap_;
        }
        other.size_ = 0;
        other.capacity_ = kInlineCapacity;
    }
    EdgeList& operator=(EdgeList&& other) noexcept {
        if (this != &other) {
            this->~EdgeList();
            new (this) EdgeList(std::move(other));
        }
        return *this;
    }
    EdgeList(const EdgeList&) = delete;
    EdgeList& operator=(const EdgeList&) = delete;
    ~EdgeList() {
        if (!is_inline()) delete[] heap_;
    }

    std::span<const NodePosition> items() const noexcept { return {data(), size_}; }
    std::size_t size() const noexcept { return size_; }

    bool contains(NodePosition node) const noexcept {
        if (!is_indexed()) return std::find(data(), data() + size_, node) != data() + size_;
        const NodePosition* set = heap_ + capacity_;
        const std::uint32_t mask = 2 * capacity_ - 1;
        for (std::uint32_t i = set_slot(node); set[i] != kFree; i = (i + 1) & mask) {
            if (set[i] == node) return true;
        }
        return false;
    }

    // Makes room for one more entry; may throw std::bad_alloc, changing nothing.
    void reserve_one_more() {
        if (size_ < capacity_) return;
        const std::uint32_t capacity = capacity_ * 2;
        const bool indexed = capacity >= kIndexedFrom;
        auto grown = std::make_unique<NodePosition[]>(indexed ? 3 * std::size_t{capacity} : capacity);
        std::copy(data(), data() + size_, grown.get());
        if (!is_inline()) delete[] heap_;
        heap_ = grown.release();
        capacity_ = capacity;
        if (indexed) {
            std::fill(heap_ + capacity_, heap_ + 3 * std::size_t{capacity_}, kFree);
            for (std::uint32_t i = 0; i < size_; ++i) add_to_set(heap_[i]);
        }
    }

    // Appends after reserve_one_more; the caller has checked that `node` is
    // not in the list yet.
    void push_back(NodePosition node) noexcept {
        mutable_data()[size_++] = node;
        if (is_indexed()) add_to_set(node);
    }

private:
    static constexpr std::uint32_t kInlineCapacity = 2;
    static constexpr std::uint32_t kIndexedFrom = 32;
    static constexpr NodePosition kFree = SeededIndex::kNotFound;

    bool is_inline() const noexcept { return capacity_ == kInlineCapacity; }
    bool is_indexed() const noexcept { return capacity_ >= kIndexedFrom; }
    const NodePosition* data() const noexcept { return is_inline() ? inline_ : heap_; }
    NodePosition* mutable_data() noexcept { return is_inline() ? inline_ : heap_; }

    // Fibonacci hashing into the 2 * capacity_ slots of the member set.
    // Positions are dense and assigned in order, which this spreads well.
    std::uint32_t set_slot(NodePosition node) const noexcept {
        const int bits = std::countr_zero(2 * capacity_);
        return static_cast<std::uint32_t>((std::uint64_t{node} * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
    }

    void add_to_set(NodePosition node) noexcept {
        NodePosition* set = heap_ + capacity_;
        const std::uint32_t mask = 2 * capacity_ - 1;
        std::uint32_t i = set_slot(node);
        while (set[i] != kFree) i = (i + 1) & mask;
        set[i] = node;
    }

    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = kInlineCapacity;
    union {
        NodePosition inline_[kInlineCapacity];
        NodePosition* heap_;  // capacity_ entries, then 2 * capacity_ set slots when indexed
    };
};

// An append-only table whose entries never move once added: segments that
// double in size (8, 16, 32, ... entries), so a small store stays small, a
// large one never copies its entries to grow, and no outgrown block is left
// behind in the allocator's free lists.
template <typename T>
class StableTable {
public:
    StableTable() noexcept = default;
    StableTable(StableTable&& other) noexcept
        : segments_(std::exchange(other.segments_, {})), size_(std::exchange(other.size_, 0)) {}
    StableTable& operator=(StableTable&& other) noexcept {
        if (this != &other) {
            this->~StableTable();
            new (this) StableTable(std::move(other));
        }
        return *this;
    }
    StableTable(const StableTable&) = delete;
    StableTable& operator=(const StableTable&) = delete;
    // As nothrow as T's: a value released here may run a finaliser, and a
    // thread ended inside it at interpreter exit must be able to unwind.
    ~StableTable() noexcept(std::is_nothrow_destructible_v<T>) {
        for (std::size_t i = 0; i < size_; ++i) (*this)[i].~T();
        for (std::size_t segment = 0; segment < segments_.size(); ++segment) {
            std::free(segments_[segment]);
        }
    }

    std::size_t size() const noexcept { return size_; }

    T& operator[](std::size_t i) noexcept {
        const Place place = place_of(i);
        return segments_[place.segment][place.offset];
    }
    const T& operator[](std::size_t i) const noexcept { return const_cast<StableTable&>(*this)[i]; }

    // Adds an entry at the end; on failure the table is unchanged.
    template <typename... Arguments>
    T& emplace_back(Arguments&&... arguments) {
        const Place place = place_of(size_);
        if (place.segment == segments_.size()) {
            segments_.reserve(place.segment + 1);
            segments_.push_back(allocate_segment(capacity_of(place.segment)));
        }
        T* entry = new (&segments_[place.segment][place.offset]) T(std::forward<Arguments>(arguments)...);
        ++size_;
        return *entry;
    }

    class const_iterator {
    public:
        const_iterator(const StableTable* table, std::size_t i) noexcept : table_(table), i_(i) {}
        const T& operator*() const noexcept { return (*table_)[i_]; }
        const_iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        bool operator!=(const const_iterator& other) const noexcept { return i_ != other.i_; }

    private:
        const StableTable* table_;
        std::size_t i_;
    };
    const_iterator begin() const noexcept { return {this, 0}; }
    const_iterator end() const noexcept { return {this, size_}; }

private:
    static constexpr int kFirstSegmentBits = 3;
    static constexpr std::size_t kFirstSegment = std::size_t{1} << kFirstSegmentBits;
    // Whole cache lines: a 32-byte entry then never straddles two.
    static constexpr std::size_t kAlignment = alignof(T) > 64 ? alignof(T) : 64;

    // Through aligned_alloc rather than the aligned operator new, which would
    // tie the module to a newer C++ runtime than release wheels may assume.
    static T* allocate_segment(std::size_t entries) {
        const std::size_t bytes = (entries * sizeof(T) + kAlignment - 1) / kAlignment * kAlignment;
        void* memory = std::aligned_alloc(kAlignment, bytes);
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }

    struct Place {
        std::size_t segment;
        std::size_t offset;
    };

    // Counting from kFirstSegment instead of 0, segment s holds the counts
    // whose highest set bit is bit s + kFirstSegmentBits; the offset is the
    // count without that bit.
    static Place place_of(std::size_t i) noexcept {
        const std::size_t count = i + kFirstSegment;
        const int top = std::bit_width(count) - 1;
        return {static_cast<std::size_t>(top - kFirstSegmentBits), count - (std::size_t{1} << top)};
    }
    static std::size_t capacity_of(std::size_t segment) noexcept { return kFirstSegment << segment; }

    std::vector<T*> segments_;
    std::size_t size_ = 0;
};

template <typename Key, typename CallValue, typename StoredValue = CallValue>
class MethodDependencyGraph {
public:
    // One call the graph knows. The call value and the stored value are
    // present only when set; a node without a state is not a registered call
    // and counts as PermanentlyInvalid.
    class Node {
    public:
        explicit Node(Key key) : key_(key) {}

        Key key() const noexcept { return key_; }
        bool has_state() const noexcept { return flags_ & kHasState; }
        ValidationState state() const noexcept {
            return has_state() ? static_cast<ValidationState>(state_) : ValidationState::PermanentlyInvalid;
        }
        const CallValue* call_value() const noexcept { return flags_ & kHasCallValue ? &call_value_ : nullptr; }
        const StoredValue* stored_value() const noexcept {
            return flags_ & kHasStoredValue ? &stored_value_ : nullptr;
        }

    private:
        friend class MethodDependencyGraph;

        static constexpr std::uint32_t kHasState = 1, kHasCallValue = 2, kHasStoredValue = 4, kComputing = 8;

        void set_state(ValidationState state) noexcept {
            state_ = static_cast<std::uint32_t>(state);
            flags_ |= kHasState;
        }
        bool is(ValidationState state) const noexcept {
            return has_state() && state_ == static_cast<std::uint32_t>(state);
        }
        void clear_flag(std::uint32_t flag) noexcept { flags_ &= ~flag & 0x3F; }

        // 32 bytes with call hashes and Python references for the values.
        Key key_;
        CallValue call_value_{};
        StoredValue stored_value_{};
        std::uint32_t edges_ = 0;  // 1 + position in edge_lists_; 0 while the node has no edges
        // Equal to the graph's walk_epoch_ once the current walk has reached the node.
        mutable std::uint32_t walk_mark_ : 24 = 0;
        std::uint32_t state_ : 2 = 0;
        std::uint32_t flags_ : 6 = 0;
    };

    bool contains_call(Key call) const noexcept {
        const Node* node = find(call);
        return node != nullptr && node->has_state();
    }

    // A call without a state has never been registered and is never served.
    ValidationState state_of(Key call) const noexcept {
        const Node* node = find(call);
        return node == nullptr ? ValidationState::PermanentlyInvalid : node->state();
    }

    // The node of `call`, or nullptr. Nodes never move and are never removed,
    // so the pointer stays valid for as long as the graph lives.
    const Node* find(Key call) const noexcept {
        const Node* found = nullptr;
        index_.find(static_cast<std::uint64_t>(call), [&](NodePosition position) {
            const Node& node = nodes_[position];
            if (node.key_ != call) return false;
            found = &node;
            return true;
        });
        return found;
    }

    // Every node, in the order the graph met their keys.
    const StableTable<Node>& nodes() const noexcept { return nodes_; }

    // The nodes that depend on `node`: positions in nodes().
    std::span<const NodePosition> children_of(const Node& node) const noexcept {
        return node.edges_ == 0 ? std::span<const NodePosition>() : edge_lists_[node.edges_ - 1].children.items();
    }

    // Registers a new call; the caller has checked contains_call. Returns the
    // call value previously kept under the key, if any, so that the caller
    // can let go of it once the graph is consistent again (releasing it may
    // run arbitrary code).
    [[nodiscard]] CallValue add_call(Key call, CallValue call_value, std::span<const Key> parents) {
        NodePosition position = find_or_add(call);
        // The edges first: they are all that can fail, and a failure then
        // leaves no half-registered call behind.
        link_parents(position, parents);
        Node& node = nodes_[position];
        node.set_state(ValidationState::Invalid);
        node.flags_ |= Node::kHasCallValue;
        return std::exchange(node.call_value_, std::move(call_value));
    }

    void add_dependencies(Key child, std::span<const Key> parents) {
        if (parents.empty()) return;
        link_parents(find_or_add(child), parents);
    }

    // The calls that `call` was computed from, in the order the edges were
    // added. Served by the reverse lists, so the cost follows the number of
    // parents, not the size of the graph.
    std::vector<Key> parents_of(Key call) const {
        const Node* node = find(call);
        if (node == nullptr || node->edges_ == 0) return {};
        std::vector<Key> parents;
        const EdgeList& list = edge_lists_[node->edges_ - 1].parents;
        parents.reserve(list.size());
        for (NodePosition parent : list.items()) parents.push_back(nodes_[parent].key_);
        return parents;
    }

    // The calls that depend on `call`, in the order the edges were added.
    std::vector<Key> children_of(Key call) const {
        const Node* node = find(call);
        std::vector<Key> children;
        if (node == nullptr) return children;
        for (NodePosition child : children_of(*node)) children.push_back(nodes_[child].key_);
        return children;
    }

    void permanently_invalidate(Key call) { nodes_[find_or_add(call)].set_state(ValidationState::PermanentlyInvalid); }

    void validate(Key call) noexcept {
        NodePosition position = position_of(call);
        if (position == SeededIndex::kNotFound) return;
        Node& node = nodes_[position];
        if (node.is(ValidationState::Invalid)) node.set_state(ValidationState::Valid);
    }

    // `start` first, then every call reachable from it through the children
    // edges, each once, depth first.
    std::vector<Key> methods_to_invalidate(Key start) const {
        NodePosition position = position_of(start);
        if (position == SeededIndex::kNotFound) return {start};
        std::vector<Key> result;
        walk(position, [&](NodePosition reached) { result.push_back(nodes_[reached].key_); });
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
    // walk still goes on through them to their descendants. `keep_valid` must
    // not use the graph: the walk's marks and stack are the graph's own.
    template <typename KeepValid>
    void temporarily_invalidate(Key start, KeepValid keep_valid) {
        NodePosition position = position_of(start);
        // A key the graph has never met has no state and no computation.
        if (position == SeededIndex::kNotFound) return;
        walk(position, [&](NodePosition reached) {
            Node& node = nodes_[reached];
            if (node.is(ValidationState::Valid) && !keep_valid(node.key_)) node.set_state(ValidationState::Invalid);
            if (node.flags_ & Node::kComputing) mark_computation_at(reached);
        });
    }

    // Computations in progress. A computation notes the mark count when it
    // starts; if the count has moved when it ends, an invalidation reached the
    // call meanwhile and the result must not be trusted.
    std::uint64_t begin_computation(Key call) {
        NodePosition position = find_or_add(call);
        Computations& computations = computing_[position];
        nodes_[position].flags_ |= Node::kComputing;
        ++computations.running;
        return computations.marks;
    }

    // Ends one computation of `call` and tells whether it was marked. Never
    // adds to the graph, so it may run while a reader walks the tables.
    bool end_computation(Key call, std::uint64_t marks_at_start) noexcept {
        NodePosition position = position_of(call);
        if (position == SeededIndex::kNotFound) return true;
        auto found = computing_.find(position);
        if (found == computing_.end()) return true;
        bool marked = found->second.marks != marks_at_start;
        if (--found->second.running == 0) {
            computing_.erase(found);
            nodes_[position].clear_flag(Node::kComputing);
        }
        return marked;
    }

    void mark_computation(Key call) noexcept {
        NodePosition position = position_of(call);
        if (position != SeededIndex::kNotFound) mark_computation_at(position);
    }

    // Stores `value` for `call`, registered or not, and hands back the value
    // it replaced.
    [[nodiscard]] StoredValue store_value(Key call, StoredValue value) {
        Node& node = nodes_[find_or_add(call)];
        node.flags_ |= Node::kHasStoredValue;
        return std::exchange(node.stored_value_, std::move(value));
    }

    // Takes every stored value out of the graph, which keeps its calls, their
    // states and their edges.
    std::vector<StoredValue> take_stored_values() {
        std::vector<StoredValue> taken;
        taken.reserve(nodes_.size());
        for (std::size_t position = 0; position < nodes_.size(); ++position) {
            Node& node = nodes_[position];
            if (!(node.flags_ & Node::kHasStoredValue)) continue;
            node.clear_flag(Node::kHasStoredValue);
            taken.push_back(std::exchange(node.stored_value_, StoredValue{}));
        }
        return taken;
    }

private:
    struct NodeEdges {
        EdgeList children;  // the nodes computed from this one
        EdgeList parents;   // the reverse: the nodes this one was computed from
    };

    struct Computations {
        std::uint32_t running = 0;
        std::uint64_t marks = 0;
    };

    void mark_computation_at(NodePosition position) noexcept {
        if (!(nodes_[position].flags_ & Node::kComputing)) return;
        auto found = computing_.find(position);
        if (found != computing_.end()) ++found->second.marks;
    }

    NodePosition position_of(Key call) const noexcept {
        return index_.find(static_cast<std::uint64_t>(call),
                           [&](NodePosition position) { return nodes_[position].key_ == call; });
    }

    NodePosition find_or_add(Key call) {
        NodePosition position = position_of(call);
        if (position != SeededIndex::kNotFound) return position;
        index_.reserve_one_more(nodes_.size(), [this](NodePosition at) { return nodes_[at].key_; });
        nodes_.emplace_back(call);
        position = static_cast<NodePosition>(nodes_.size() - 1);
        index_.insert(static_cast<std::uint64_t>(call), position);
        return position;
    }

    EdgeList& list_of(NodePosition position, EdgeList NodeEdges::*end) {
        Node& node = nodes_[position];
        if (node.edges_ == 0) {
            edge_lists_.emplace_back();
            node.edges_ = static_cast<std::uint32_t>(edge_lists_.size());
        }
        return edge_lists_[node.edges_ - 1].*end;
    }

    void link_parents(NodePosition child, std::span<const Key> parents) {
        for (Key parent_key : parents) {
            NodePosition parent = find_or_add(parent_key);
            EdgeList& children = list_of(parent, &NodeEdges::children);
            EdgeList& parents_of_child = list_of(child, &NodeEdges::parents);
            // The edge is in both lists or in neither: ask the shorter one.
            bool present = children.size() <= parents_of_child.size() ? children.contains(child)
                                                                        : parents_of_child.contains(parent);
            if (present) continue;
            children.reserve_one_more();
            parents_of_child.reserve_one_more();
            children.push_back(child);
            parents_of_child.push_back(parent);
        }
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
        std::vector<NodePosition>& stack = walk_stack_;
        stack.clear();
        stack.push_back(start);
        nodes_[start].walk_mark_ = epoch;
        while (!stack.empty()) {
            const NodePosition reached = stack.back();
            stack.pop_back();
            visit(reached);
            for (NodePosition child : children_of(nodes_[reached])) {
                if (nodes_[child].walk_mark_ == epoch) continue;
                nodes_[child].walk_mark_ = epoch;
                stack.push_back(child);
            }
        }
    }

    // Walk marks take 24 bits of a node; after that many walks they all start over.
    static constexpr std::uint32_t kWalkEpochs = 1u << 24;

    StableTable<Node> nodes_;
    SeededIndex index_;
    StableTable<NodeEdges> edge_lists_;
    std::unordered_map<NodePosition, Computations> computing_;
    mutable std::uint32_t walk_epoch_ = 0;
    mutable std::vector<NodePosition> walk_stack_;  // kept between walks to spare the allocation
};

}  // namespace lineage_store
