// Warnings for uses that are legal but do nothing that their author can have
// meant: a manual update that no call will ever read, a declared dependency
// on a method the class does not have. Each is a RuntimeWarning that names
// the method, says what happened and what to do instead.
//
// Issuing a warning runs Python code (filters, showwarning, and an exception
// where a filter turns it into an error), so every function here is called
// with no store borrowed; each returns false with that exception set.
//
// This unit sits below the store and the decorator, so it cannot know the
// decorator's type: the decorator unit tells it how to recognise one.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "py_ref.h"

namespace lineage_store {

// The name a decorated method registered (its function's __name__), borrowed
// from `object`; null, with no exception set, when `object` is not one.
using DecoratedMethodNameReader = PyObject* (*)(PyObject* object) noexcept;

// Set by the decorator unit before the first decorator exists: until then no
// class can have a decorated method.
void recognise_decorated_methods_with(DecoratedMethodNameReader reader) noexcept;

// After update_cached_value stored a value under a call that has no state on
// `instance`, so that nothing will serve it: warns that the call was never
// made, or that no decorated method of the class has that name at all.
bool warn_about_unserved_update(PyObject* instance, PyObject* method_name, PyObject* call_tuple);

// The classes one decorator has checked its declared dependencies against.
// Held through weak references: a decorator must not keep the classes it
// served alive (it usually belongs to one of them), and a dead entry is never
// taken for a new class that reuses its address.
class CheckedClasses {
public:
    // 1 when `cls` was checked, 0 when not, -1 with an exception set.
    int contains(PyTypeObject* cls);
    // Remembers `cls`; a class that cannot be weakly referenced is simply
    // checked again next time.
    void add(PyTypeObject* cls);

private:
    std::vector<PyRef> classes_;  // weak references
};

// At the first computation of a decorated method of type(instance): warns,
// once per decorator and class, about declared dependencies that name no
// decorated method of the class (such a method can never be cached).
bool warn_about_unknown_dependencies(PyObject* instance, PyObject* method_name,
                                     std::span<const PyRef> dependency_names, CheckedClasses& checked);

}  // namespace lineage_store
