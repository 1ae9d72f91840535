// stable_table.h: an append-only table whose entries never move once added.
//
// Segments double in size (1, 2, 4, ... entries), so a small store stays
// small, a large one never copies its entries to grow, and no outgrown block
// is left behind in the allocator's free lists. The first segment may live
// inside the table itself, so that a table of one entry allocates nothing.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace lineage_store {

template <typename T, bool kFirstSegmentInline>
class StableTable {
public:
    StableTable() noexcept = default;
    StableTable(StableTable&& other) noexcept(std::is_nothrow_move_constructible_v<T>)
        : bases_(std::exchange(other.bases_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          allocated_segments_(std::exchange(other.allocated_segments_, 0)) {
        if constexpr (kFirstSegmentInline) {
            if (size_ > 0) {
                new (inline_entry()) T(std::move(*other.inline_entry()));
                other.inline_entry()->~T();
            }
        }
    }
    StableTable& operator=(StableTable&&) = delete;
    StableTable(const StableTable&) = delete;
    StableTable& operator=(const StableTable&) = delete;
    // As nothrow as T's: a value released here may run a finaliser, and a
    // thread ended inside it at interpreter exit must be able to unwind.
    ~StableTable() noexcept(std::is_nothrow_destructible_v<T>) {
        for (std::size_t i = 0; i < size_; ++i) (*this)[i].~T();
        for (std::size_t segment = kFirstSegmentInline ? 1 : 0; segment < allocated_segments_; ++segment) {
            std::free(reinterpret_cast<void*>(bases_[segment] + first_of(segment) * sizeof(T)));
        }
        std::free(bases_);
    }

    std::size_t size() const noexcept { return size_; }

    T& operator[](std::size_t i) noexcept {
        if (kFirstSegmentInline && i == 0) return *inline_entry();
        return *reinterpret_cast<T*>(bases_[segment_of(i)] + i * sizeof(T));
    }
    const T& operator[](std::size_t i) const noexcept { return const_cast<StableTable&>(*this)[i]; }

    // Adds an entry at the end; on failure the table is unchanged.
    template <typename... Arguments>
    T& emplace_back(Arguments&&... arguments) {
        T* slot = nullptr;
        if (kFirstSegmentInline && size_ == 0) {
            slot = inline_entry();
        } else {
            const std::size_t segment = segment_of(size_);
            if (segment >= allocated_segments_) add_segment(segment);
            slot = reinterpret_cast<T*>(bases_[segment] + size_ * sizeof(T));
        }
        T* entry = new (slot) T(std::forward<Arguments>(arguments)...);
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
    // Segment s holds the positions whose count (position + 1) has its
    // highest set bit at bit s: from 2^s - 1 on, 2^s of them.
    static std::size_t segment_of(std::size_t i) noexcept {
        return static_cast<std::size_t>(std::bit_width(i + 1) - 1);
    }
    static std::size_t first_of(std::size_t segment) noexcept { return (std::size_t{1} << segment) - 1; }

    // Whole cache lines for segments that span several: an entry then never
    // straddles two. Through aligned_alloc rather than the aligned operator
    // new, which would tie the module to a newer C++ runtime than release
    // wheels may assume.
    static T* allocate_segment(std::size_t entries) {
        const std::size_t bytes = entries * sizeof(T);
        void* memory = nullptr;
        if (bytes >= 256) {
            memory = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        } else {
            memory = std::malloc(bytes);
        }
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }

    void add_segment(std::size_t segment) {
        // Room for the pointer first, so that a failure leaves nothing behind.
        auto grown = static_cast<std::uintptr_t*>(std::realloc(bases_, (segment + 1) * sizeof(std::uintptr_t)));
        if (grown == nullptr) throw std::bad_alloc();
        bases_ = grown;
        if (kFirstSegmentInline && allocated_segments_ == 0) {
            bases_[0] = 0;  // the inline entry, reached without it
            allocated_segments_ = 1;
        }
        const T* block = allocate_segment(std::size_t{1} << segment);
        bases_[segment] = reinterpret_cast<std::uintptr_t>(block) - first_of(segment) * sizeof(T);
        allocated_segments_ = segment + 1;
    }

    T* inline_entry() noexcept { return std::launder(reinterpret_cast<T*>(&inline_storage_)); }

    // Per segment, the address its block would have if it began with
    // position 0, so that position i is at bases_[segment] + i * sizeof(T):
    // an integer, as that address lies outside the block.
    std::uintptr_t* bases_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t allocated_segments_ = 0;
    struct Empty {};
    [[no_unique_address]] alignas(
        T) std::conditional_t<kFirstSegmentInline, unsigned char[sizeof(T)], Empty> inline_storage_;
};

}  // namespace lineage_store
