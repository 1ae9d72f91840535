// weak_class_set.h: classes remembered without being kept alive.
//
// A decorator remembers the classes it has checked without keeping them
// alive (it may belong to a base class that outlives them), and a class that
// has died is never taken for a new one that reuses its address.
#pragma once

#include <Python.h>

#include "py_ref.h"

namespace lineage_store {

class WeakClassSet {
public:
    // 1 when `cls` is in the set, 0 when not, -1 with an exception set.
    int contains(PyTypeObject* cls);
    // Adds `cls`; a class that cannot be weakly referenced is simply not
    // remembered.
    void add(PyTypeObject* cls);

private:
    ReleasingVector<PyRef> classes_;  // weak references
};

// One class, watched: is() compares a pointer, which the class's death sets
// to null, so that a decorated call can ask "the class checked last?" for
// the cost of a comparison.
class WatchedClass {
public:
    bool is(PyTypeObject* cls) const noexcept {
        return watch_ && reinterpret_cast<const Watch*>(watch_.get())->cls == cls;
    }
    // Watches `cls` from now on. False with an exception set.
    bool watch(PyTypeObject* cls);
    void reset() noexcept(false) {
        weak_.reset();
        watch_.reset();
    }

    // The callback of a watched class's weak reference: the class's death
    // sets `cls` to null. Not a collected type: it refers to nothing.
    struct Watch {
        PyObject_HEAD
        PyTypeObject* cls;  // borrowed: compared only, while the class lives
    };

private:
    PyRef watch_;  // the object the class's weak reference calls when it dies
    PyRef weak_;   // the weak reference, with that object as its callback
};
}  // namespace lineage_store
