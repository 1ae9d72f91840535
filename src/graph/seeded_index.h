// seeded_index.h: a seeded open-addressing index from 64-bit keys to
// positions in a table its owner keeps.
//
// Call hashes come from Python's hash of user-chosen arguments, and CPython's
// integer hash is trivially invertible, so a caller could pick arguments whose
// call hashes all land in one bucket of an unseeded table. Every index mixes a
// seed of its own into the hash, drawn from a per-thread generator that the
// operating system seeds, so bucket placement cannot be predicted from keys.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <utility>

namespace lineage_store {

// splitmix64: a fast generator for seeds and a good 64-bit finaliser.
inline std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A per-thread stream of random 64-bit values, seeded once from the OS.
inline std::uint64_t next_random_u64() {
    thread_local std::uint64_t state = [] {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }();
    state += 0x9e3779b97f4a7c15ULL;
    return splitmix64(state);
}

// Linear probing, eight bytes a slot (the position and 32 bits of the key's
// seeded hash, which also choose the slot). The keys themselves live in the owner's table, which is asked
// whether the entry at a position holds the key only when a slot's hash bits
// match, so a lookup usually touches one slot and the one entry it finds.
// Several positions may share a key. Entries are never removed, so there are
// no tombstones.
class SeededIndex {
public:
    using Position = std::uint32_t;
    static constexpr Position kNotFound = std::numeric_limits<Position>::max();
    // The largest table the index can address; kNotFound marks a free slot.
    static constexpr std::size_t kMaxEntries = kNotFound;

    SeededIndex() noexcept = default;
    SeededIndex(SeededIndex&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    SeededIndex& operator=(SeededIndex&& other) noexcept {
        if (this != &other) {
            free_block();
            slots_ = std::exchange(other.slots_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    SeededIndex(const SeededIndex&) = delete;
    SeededIndex& operator=(const SeededIndex&) = delete;
    ~SeededIndex() { free_block(); }

    bool empty() const noexcept { return capacity_ == 0; }

    // Calls `visit(position)` for each position filed under `key` (and, rarely,
    // another key with the same hash bits), in probe order, until it returns
    // true; returns that position, or kNotFound.
    template <typename Visit>
    Position find(std::uint64_t key, Visit visit) const noexcept(noexcept(visit(Position{}))) {
        if (capacity_ == 0) return kNotFound;
        const std::uint32_t bits = bits_of(key);
        const std::size_t mask = std::size_t{capacity_} - 1;
        for (std::size_t i = bits & mask;; i = (i + 1) & mask) {
            const Slot slot = slots_[i];
            if (slot.position == kNotFound) return kNotFound;
            if (slot.hash_bits == bits && visit(slot.position)) return slot.position;
        }
    }

    // Makes room for the owner's table to grow from `size` entries to one
    // more. The first slots are built from `key_at(0 .. size - 1)`; grown
    // slots are placed again from the bits the old ones kept, which are
    // their slots' bits too, so growing hashes no key. On failure
    // (std::bad_alloc, std::length_error) the index is unchanged.
    template <typename KeyAt>
    void reserve_one_more(std::size_t size, KeyAt key_at) {
        if (size >= kMaxEntries) throw std::length_error("too many calls in one store");
        // At most three quarters full, so that probe runs stay short.
        if ((size + 1) * 4 <= std::size_t{capacity_} * 3) return;
        std::size_t capacity = capacity_ == 0 ? 16 : std::size_t{capacity_} * 2;
        while ((size + 1) * 4 > capacity * 3) capacity *= 2;
        if (capacity > UINT32_MAX) throw std::length_error("too many calls in one store");
        // The block starts with the index's seed, drawn when it is first made.
        void* block = std::malloc((capacity + 1) * sizeof(Slot));
        if (block == nullptr) throw std::bad_alloc();
        const std::uint64_t seed = capacity_ == 0 ? next_random_u64() : this->seed();
        Slot* const old_slots = slots_;
        const std::uint32_t old_capacity = capacity_;
        slots_ = static_cast<Slot*>(block) + 1;
        capacity_ = static_cast<std::uint32_t>(capacity);
        std::memcpy(slots_ - 1, &seed, sizeof seed);
        std::fill(slots_, slots_ + capacity_, Slot{kNotFound, 0});
        if (old_capacity == 0) {
            for (std::size_t position = 0; position < size; ++position) {
                place(bits_of(static_cast<std::uint64_t>(key_at(static_cast<Position>(position)))),
                      static_cast<Position>(position));
            }
            return;
        }
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (old_slots[i].position != kNotFound) place(old_slots[i].hash_bits, old_slots[i].position);
        }
        std::free(old_slots - 1);
    }

    // Files `position` under `key`, after reserve_one_more.
    void insert(std::uint64_t key, Position position) noexcept { place(bits_of(key), position); }

private:
    struct Slot {
        Position position;
        std::uint32_t hash_bits;
    };

    std::uint64_t seed() const noexcept {
        std::uint64_t value;
        std::memcpy(&value, slots_ - 1, sizeof value);
        return value;
    }

    void free_block() noexcept {
        if (capacity_ != 0) std::free(slots_ - 1);
    }

    // 32 bits of the key's seeded hash: they choose its first slot and are
    // kept in the slot it takes.
    std::uint32_t bits_of(std::uint64_t key) const noexcept {
        return static_cast<std::uint32_t>(splitmix64(key ^ seed()) >> 32);
    }

    void place(std::uint32_t bits, Position position) noexcept {
        const std::size_t mask = std::size_t{capacity_} - 1;
        std::size_t i = bits & mask;
        while (slots_[i].position != kNotFound) i = (i + 1) & mask;
        slots_[i] = Slot{position, bits};
    }

    Slot* slots_ = nullptr;  // capacity_ slots, a power of two, after the seed
    std::uint32_t capacity_ = 0;
};

}  // namespace lineage_store
