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
        : segments_(std::exchange(other.segments_, nullptr)),
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
            std::free(segments_[segment]);
        }
        std::free(segments_);
    }

    std::size_t size() const noexcept { return size_; }

    T& operator[](std::size_t i) noexcept {
        if (kFirstSegmentInline && i == 0) return *inline_entry();
        const Place place = place_of(i);
        return segments_[place.segment][place.offset];
    }
    const T& operator[](std::size_t i) const noexcept { return const_cast<StableTable&>(*this)[i]; }

    // Adds an entry at the end; on failure the table is unchanged.
    template <typename... Arguments>
    T& emplace_back(Arguments&&... arguments) {
        T* slot = nullptr;
        if (kFirstSegmentInline && size_ == 0) {
            slot = inline_entry();
        } else {
            const Place place = place_of(size_);
            if (place.segment >= allocated_segments_) add_segment(place.segment);
            slot = &segments_[place.segment][place.offset];
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
    struct Place {
        std::size_t segment;
        std::size_t offset;
    };

    // Segment s holds the positions whose count (position + 1) has its
    // highest set bit at bit s; the offset is the count without that bit.
    static Place place_of(std::size_t i) noexcept {
        const std::size_t count = i + 1;
        const int top = std::bit_width(count) - 1;
        return {static_cast<std::size_t>(top), count - (std::size_t{1} << top)};
    }

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
        auto grown = static_cast<T**>(std::realloc(segments_, (segment + 1) * sizeof(T*)));
        if (grown == nullptr) throw std::bad_alloc();
        segments_ = grown;
        if (kFirstSegmentInline && allocated_segments_ == 0) {
            segments_[0] = nullptr;  // the inline entry, reached without the pointer
            allocated_segments_ = 1;
        }
        segments_[segment] = allocate_segment(std::size_t{1} << segment);
        allocated_segments_ = segment + 1;
    }

    T* inline_entry() noexcept { return std::launder(reinterpret_cast<T*>(&inline_storage_)); }

    T** segments_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t allocated_segments_ = 0;
    struct Empty {};
    [[no_unique_address]] alignas(
        T) std::conditional_t<kFirstSegmentInline, unsigned char[sizeof(T)], Empty> inline_storage_;
};

}  // namespace lineage_store
