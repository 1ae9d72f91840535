// edge_list.h: the positions of the nodes at one end of a node's edges.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "graph/seeded_index.h"

namespace lineage_store {

using NodePosition = SeededIndex::Position;
constexpr NodePosition kNoNode = SeededIndex::kNotFound;

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

}  // namespace lineage_store
