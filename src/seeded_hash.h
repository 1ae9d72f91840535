// Hash maps and sets keyed by call hashes, each with its own random seed.
//
// Call hashes come from Python's hash of user-chosen arguments, and CPython's
// integer hash is trivially invertible, so a caller could pick arguments whose
// call hashes all land in one bucket of an unseeded table. Every table built
// here mixes a seed of its own into the hash, drawn from a per-thread
// generator that the operating system seeds, so bucket placement cannot be
// predicted from the keys.
#pragma once

#include <cstdint>
#include <random>
#include <unordered_map>
#include <unordered_set>

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

template <typename Key>
struct SeededHash {
    std::uint64_t seed;

    SeededHash() : seed(next_random_u64()) {}

    std::size_t operator()(const Key& key) const noexcept {
        return static_cast<std::size_t>(splitmix64(static_cast<std::uint64_t>(key) ^ seed));
    }
};

template <typename Key, typename Value>
using SeededMap = std::unordered_map<Key, Value, SeededHash<Key>>;

template <typename Key>
using SeededSet = std::unordered_set<Key, SeededHash<Key>>;

}  // namespace lineage_store
