// computation_slots.h: the computations in progress on one graph, a slot
// each, so that two computations of one call are told apart: which node each
// computes, whether an invalidation reached it, and the context a computation
// that sets no frame runs in.
//
// Slots are reused, so a running graph allocates nothing per computation: the
// first slot lives in the graph, the others are grown one at a time, as many
// as computations ever ran side by side on it, a handful at most.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "graph/edge_list.h"

namespace lineage_store {

class ComputationSlots {
public:
    using Slot = std::uint32_t;

    ComputationSlots() = default;
    ComputationSlots(ComputationSlots&& other) noexcept
        : first_(other.first_),
          more_(std::exchange(other.more_, nullptr)),
          more_count_(std::exchange(other.more_count_, 0)),
          active_count_(std::exchange(other.active_count_, 0)),
          begun_count_(other.begun_count_) {}
    ~ComputationSlots() { std::free(more_); }
    ComputationSlots& operator=(ComputationSlots&&) = delete;
    ComputationSlots(const ComputationSlots&) = delete;
    ComputationSlots& operator=(const ComputationSlots&) = delete;

    // A slot for a computation of the node at `position`. May throw
    // std::bad_alloc, changing nothing.
    Slot begin(NodePosition position) {
        Slot slot = 0;
        while (slot < slots() && at(slot).active) ++slot;
        if (slot == slots()) {
            auto* grown = static_cast<Running*>(std::realloc(more_, slot * sizeof(Running)));
            if (grown == nullptr) throw std::bad_alloc();
            more_ = grown;
            ++more_count_;
        }
        at(slot) = Running{position, true, false, ++begun_count_, nullptr, nullptr};
        ++active_count_;
        return slot;
    }

    // Ends the computation in `slot`: true when an invalidation reached it.
    bool end(Slot slot) noexcept {
        Running& ended = at(slot);
        ended.active = false;
        --active_count_;
        return ended.marked;
    }

    // Whether a computation in progress computes the node at `position`.
    bool computes(NodePosition position) const noexcept {
        for (Slot slot = 0; slot < slots(); ++slot) {
            if (at(slot).active && at(slot).node == position) return true;
        }
        return false;
    }

    void mark_computations_of(NodePosition position) noexcept {
        for (Slot slot = 0; slot < slots(); ++slot) {
            if (at(slot).active && at(slot).node == position) at(slot).marked = true;
        }
    }

    void mark_all() noexcept {
        for (Slot slot = 0; slot < slots(); ++slot) at(slot).marked = at(slot).marked || at(slot).active;
    }

    // How many computations are in progress, on any thread.
    std::uint32_t count() const noexcept { return active_count_; }

    // Marks the computation in `slot` as one that `owner` runs in `context`,
    // both opaque here and only compared (see innermost_in), until it ends
    // or is marked again with a null context.
    void tag(Slot slot, const void* context, const void* owner) noexcept {
        at(slot).context = context;
        at(slot).owner = owner;
    }
    // Whether a computation in progress is tagged with `context`.
    bool any_in(const void* context) const noexcept {
        for (Slot slot = 0; slot < slots(); ++slot) {
            if (at(slot).active && at(slot).context == context) return true;
        }
        return false;
    }
    // The computation in progress tagged with `context` that began last among
    // those for whose node `match(node)` holds: its slot, or -1.
    template <typename Match>
    std::int64_t innermost_in(const void* context, Match match) const noexcept {
        std::int64_t found = -1;
        std::uint64_t latest = 0;
        for (Slot slot = 0; slot < slots(); ++slot) {
            const Running& running = at(slot);
            if (running.active && running.context == context && running.order > latest && match(running.node)) {
                found = slot;
                latest = running.order;
            }
        }
        return found;
    }
    NodePosition node_of(Slot slot) const noexcept { return at(slot).node; }
    const void* owner_of(Slot slot) const noexcept { return at(slot).owner; }

private:
    struct Running {
        NodePosition node = kNoNode;
        bool active = false;
        bool marked = false;
        std::uint64_t order = 0;  // the running count of computations begun on the graph, at its begin
        const void* context = nullptr;  // see tag
        const void* owner = nullptr;
    };

    Slot slots() const noexcept { return 1 + more_count_; }
    Running& at(Slot slot) noexcept { return slot == 0 ? first_ : more_[slot - 1]; }
    const Running& at(Slot slot) const noexcept { return slot == 0 ? first_ : more_[slot - 1]; }

    Running first_;
    Running* more_ = nullptr;  // malloc'ed, more_count_ long
    std::uint32_t more_count_ = 0;
    std::uint32_t active_count_ = 0;
    std::uint64_t begun_count_ = 0;
};

}  // namespace lineage_store
