// small_array.h: an array whose first few elements live inline.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

namespace lineage_store {

// The first N elements live inline, so that a call with few arguments, or a
// short walk, needs no allocation. Elements are destroyed one by one in a
// destructor that is as nothrow as theirs, so that a forced unwind from one
// of them passes (see py_ref.h).
template <typename T, std::size_t N>
class SmallArray {
public:
    SmallArray() noexcept = default;
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;
    SmallArray(SmallArray&& other) noexcept
        : heap_(std::exchange(other.heap_, nullptr)),
          heap_capacity_(std::exchange(other.heap_capacity_, 0)),
          size_(other.size_) {
        if (heap_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                new (inline_data() + i) T(std::move(other.inline_data()[i]));
                other.inline_data()[i].~T();
            }
        }
        other.size_ = 0;
    }
    SmallArray& operator=(SmallArray&&) = delete;
    ~SmallArray() noexcept(std::is_nothrow_destructible_v<T>) { clear(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& back() noexcept { return data()[size_ - 1]; }
    void pop_back() noexcept(std::is_nothrow_destructible_v<T>) {
        --size_;
        data()[size_].~T();
    }
    T* data() noexcept { return heap_ != nullptr ? heap_ : inline_data(); }
    const T* data() const noexcept { return heap_ != nullptr ? heap_ : inline_data(); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

    // Appends; may throw std::bad_alloc, changing nothing.
    void push_back(T item) {
        if (size_ == capacity()) grow();
        new (data() + size_) T(std::move(item));
        ++size_;
    }

    void clear() noexcept(std::is_nothrow_destructible_v<T>) {
        if constexpr (std::is_trivially_destructible_v<T>) {
            size_ = 0;
        } else {
            while (size_ > 0) {
                --size_;
                data()[size_].~T();
            }
        }
        if (heap_ != nullptr) {
            std::free(std::exchange(heap_, nullptr));
            heap_capacity_ = 0;
        }
    }

    // Makes the array `size` elements long, leaving them for the caller to
    // write; only for elements with nothing to construct or destroy. May
    // throw std::bad_alloc.
    void resize_for_overwrite(std::size_t size) {
        static_assert(std::is_trivial_v<T>);
        while (capacity() < size) grow();
        size_ = size;
    }

    // Makes the array `size` elements long, each made from `fill`; may throw
    // std::bad_alloc. Only for an empty array.
    void assign(std::size_t size, const T& fill) {
        while (capacity() < size) grow();
        for (std::size_t i = 0; i < size; ++i) new (data() + i) T(fill);
        size_ = size;
    }

private:
    std::size_t capacity() const noexcept { return heap_ != nullptr ? heap_capacity_ : N; }
    T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
    const T* inline_data() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }

    void grow() {
        const std::size_t capacity = 2 * this->capacity();
        auto* grown = static_cast<T*>(std::malloc(capacity * sizeof(T)));
        if (grown == nullptr) throw std::bad_alloc();
        T* old = data();
        for (std::size_t i = 0; i < size_; ++i) {
            new (grown + i) T(std::move(old[i]));
            old[i].~T();
        }
        std::free(heap_);
        heap_ = grown;
        heap_capacity_ = capacity;
    }

    alignas(T) unsigned char inline_[N * sizeof(T)];
    T* heap_ = nullptr;
    std::size_t heap_capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace lineage_store
