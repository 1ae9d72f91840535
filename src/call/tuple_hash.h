// tuple_hash.h: the interpreter's tuple hash, fed one item hash at a time,
// so that a call hash needs no tuple.
//
// CPython hashes tuples with an xxHash-based algorithm, unchanged since 3.8.
// Whether the running interpreter still does is checked once at import on
// samples shaped like call tuples; where it does not, call hashes come from
// built tuples instead.
#pragma once

#include <Python.h>

namespace lineage_store {

class TupleHash {
public:
    void add(Py_hash_t item_hash) noexcept {
        accumulator_ += static_cast<Py_uhash_t>(item_hash) * prime_2;
        accumulator_ = rotate(accumulator_);
        accumulator_ *= prime_1;
        ++length_;
    }

    Py_hash_t finish() const noexcept {
        Py_uhash_t result = accumulator_ + (length_ ^ (prime_5 ^ 3527539UL));
        if (result == static_cast<Py_uhash_t>(-1)) return 1546275796;
        return static_cast<Py_hash_t>(result);
    }

private:
    static constexpr bool wide = sizeof(Py_uhash_t) > 4;
    static constexpr Py_uhash_t prime_1 = wide ? static_cast<Py_uhash_t>(11400714785074694791ULL) : 2654435761UL;
    static constexpr Py_uhash_t prime_2 = wide ? static_cast<Py_uhash_t>(14029467366897019727ULL) : 2246822519UL;
    static constexpr Py_uhash_t prime_5 = wide ? static_cast<Py_uhash_t>(2870177450012600261ULL) : 374761393UL;

    static Py_uhash_t rotate(Py_uhash_t x) noexcept {
        constexpr unsigned bits = wide ? 31 : 13;
        return (x << bits) | (x >> (8 * sizeof(Py_uhash_t) - bits));
    }

    Py_uhash_t accumulator_ = prime_5;
    Py_uhash_t length_ = 0;
};

// The hash of the 2-tuple (first, second) from its items' hashes.
// A pair's hash in two halves: the first item's, which a caller may keep,
// then the pair's from it and the second item's hash.
class PairHash {
public:
    explicit PairHash(Py_hash_t first) noexcept { hash_.add(first); }
    Py_hash_t with_second(Py_hash_t second) const noexcept {
        TupleHash pair = hash_;
        pair.add(second);
        return pair.finish();
    }

private:
    TupleHash hash_;
};

inline Py_hash_t pair_hash(Py_hash_t first, Py_hash_t second) noexcept {
    TupleHash hash;
    hash.add(first);
    hash.add(second);
    return hash.finish();
}

// ---------------------------------------------------------------------------
// The call hash, defined here once: the hash of the normalised call tuple
//     (method name, ((parameter name, value), ...))
// sorted by parameter name. Every path that hashes a call (a decorated call,
// a method that takes self alone, a query, an update, load_cache, a declared
// dependency) computes it through what follows: from the tuple itself
// (call_tuple_hash), or, where the interpreter's tuple hash is TupleHash,
// from the items' hashes with no tuple built (CallHasher). Whether it is, is
// checked once, at import, and every path asks the same question.

// Checks, on samples, whether TupleHash is the running interpreter's tuple
// hash, and remembers the answer. False with an exception set when a sample
// could not be made.
bool prepare_call_hash();

// Whether calls may be hashed natively (see above): set once, at import.
inline bool native_call_hash = false;
inline bool call_hash_is_native() noexcept { return native_call_hash; }

// A call hash from its items' hashes, only where call_hash_is_native().
class CallHasher {
public:
    // The next parameter in call-tuple order, by the hashes of its name and
    // of its value.
    void add_argument(Py_hash_t name_hash, Py_hash_t value_hash) noexcept {
        arguments_.add(pair_hash(name_hash, value_hash));
    }
    // The same, with the pair hashed already.
    void add_pair(Py_hash_t pair_hash) noexcept { arguments_.add(pair_hash); }
    // The same, with the name's half of the pair hashed already.
    void add_argument(const PairHash& name, Py_hash_t value_hash) noexcept {
        arguments_.add(name.with_second(value_hash));
    }
    Py_hash_t finish(Py_hash_t method_name_hash) const noexcept {
        return pair_hash(method_name_hash, arguments_.finish());
    }

private:
    TupleHash arguments_;
};

// The reference: the hash of the call tuple itself, which may run the
// values' __hash__. -1 with an exception set.
Py_hash_t call_tuple_hash(PyObject* call_tuple);

// The hash of (name, ()), the call of a method without arguments, for an
// exact str `name`; -1 with an exception set on failure.
Py_hash_t hash_of_call_without_arguments(PyObject* name);

}  // namespace lineage_store
