// weak_class_set.h: classes remembered without being kept alive.
//
// A decorator remembers the classes it has checked without keeping them
// alive (it may belong to a base class that outlives them), and a class that
// has died is never taken for a new one that reuses its address.
#pragma once

#include <Python.h>

#include <cstddef>
#include <unordered_map>

#include "python/py_ref.h"

namespace lineage_store {

class WeakClassSet {
public:
    WeakClassSet() = default;
    WeakClassSet(const WeakClassSet&) = delete;
    WeakClassSet& operator=(const WeakClassSet&) = delete;
    ~WeakClassSet() noexcept(false);

    // 1 when `cls` is in the set, 0 when not, -1 with an exception set.
    // One look by address, however many classes the set holds: a decorator
    // of a base class is checked against each of its subclasses in turn
    // when their instances' calls alternate.
    int contains(PyTypeObject* cls);
    // Adds `cls`; a class that cannot be weakly referenced is simply not
    // remembered.
    void add(PyTypeObject* cls);

private:
    // Lets go of the entries whose class has died, once the set has doubled
    // since the last time: dead entries cost a sweep in proportion to what
    // was added since.
    void sweep_if_grown();

    // The weak reference of each class by its address. An address reused by
    // a new class still holds the dead one's reference, which tells them apart.
    std::unordered_map<PyTypeObject*, PyRef> classes_;
    std::size_t size_after_sweep_ = 0;
};

// One class, watched: is() compares a pointer, which the class's death sets
// to null, so that a decorated call can ask "the class checked last?" for
// the cost of a comparison. Not to be moved once watching: the class's weak
// reference writes into it.
class WatchedClass {
public:
    WatchedClass() noexcept = default;
    WatchedClass(const WatchedClass&) = delete;
    WatchedClass& operator=(const WatchedClass&) = delete;
    // A new one watches nothing; only an unwatched one is moved.
    WatchedClass(WatchedClass&&) noexcept {}

    bool is(PyTypeObject* cls) const noexcept { return cls_ == cls; }
    // Watches `cls` from now on. False with an exception set.
    bool watch(PyTypeObject* cls);
    void reset() noexcept(false) {
        cls_ = nullptr;
        weak_.reset();
    }

    // The callback of a watched class's weak reference: the class's death
    // sets the watching object's pointer to null. Not a collected type.
    struct Watch {
        PyObject_HEAD
        PyTypeObject** cls;  // the watching object's, which outlives its weak reference
    };

private:
    PyTypeObject* cls_ = nullptr;  // borrowed: compared only, while the class lives
    PyRef weak_;                   // the class's weak reference, whose callback clears cls_
};
}  // namespace lineage_store
