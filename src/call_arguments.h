// call_arguments.h: the arguments of one call as the decorator received
// them, through either call protocol: a vector with keyword names, or a
// positional tuple and keyword dict.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "py_ref.h"

namespace lineage_store {

// A small array whose first N elements live inline, so that a call with few
// arguments needs no allocation. Its elements are destroyed one by one in a
// frame that lets a forced unwind pass (see py_ref.h).
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
        while (size_ > 0) {
            --size_;
            data()[size_].~T();
        }
        std::free(std::exchange(heap_, nullptr));
        heap_capacity_ = 0;
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

// Borrowed throughout; valid for the duration of the call that received them.
class CallArguments {
public:
    // The vectorcall form.
    CallArguments(PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames) noexcept;
    // The tuple and dict form (kwargs may be null). Check ok() afterwards.
    CallArguments(PyObject* args, PyObject* kwargs);
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;

    // False with an exception set when the tuple form could not be read.
    bool ok() const noexcept { return ok_; }
    Py_ssize_t positional_count() const noexcept { return positional_count_; }
    Py_ssize_t keyword_count() const noexcept { return keyword_count_; }
    PyObject* positional(Py_ssize_t i) const noexcept { return positional_[i]; }
    PyObject* const* positional_from(Py_ssize_t i) const noexcept { return positional_ + i; }
    PyObject* keyword_name(Py_ssize_t i) const noexcept { return keyword_names_[i]; }
    PyObject* keyword_value(Py_ssize_t i) const noexcept { return keyword_values_[i]; }

    // The positional tuple and the keyword dict (null when there are no
    // keywords), as received or built from the vector.
    PyRef args_tuple() const;
    PyRef kwargs_dict() const;

    // func(*args, **kwargs). A new reference, or nullptr with an exception set.
    PyObject* call(PyObject* func) const;

private:
    bool ok_ = true;
    PyObject* args_ = nullptr;
    PyObject* kwargs_ = nullptr;
    PyObject* kwnames_ = nullptr;
    PyObject* const* positional_ = nullptr;
    Py_ssize_t positional_count_ = 0;
    PyObject* const* keyword_names_ = nullptr;
    PyObject* const* keyword_values_ = nullptr;
    Py_ssize_t keyword_count_ = 0;
    // The tuple form's items where the tuple's own array cannot be read, and
    // its keywords: names, then values.
    std::vector<PyObject*> copied_;
};

}  // namespace lineage_store
