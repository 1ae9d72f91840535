// LineageStoreDecorator: the object a factory puts in place of a method. It
// binds like a method, refuses assignment and deletion through instances, and
// its call serves results from the instance's store or computes, registers,
// validates and stores them.
#pragma once

#include <Python.h>

#include <vector>

#include "call_identity.h"
#include "lineage_store_base.h"
#include "py_ref.h"
#include "usage_warnings.h"

namespace lineage_store {

struct DecoratorRecord {
    PyRef func;
    std::vector<CallHash> dependency_hashes;
    // The method names of the declared dependencies, in declaration order.
    std::vector<PyRef> dependency_names;
    PyRef method_name;  // an exact str: the wrapped function's __name__
    bool use_cache = true;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    // The only part that changes after decoration: the parameter layout of
    // func's current code object, kept between calls.
    BindingCache binding;
    // The classes whose instances have had their first computation checked
    // against the declared dependencies.
    CheckedClasses dependency_checked_classes;
    // Nothing here may refer back to the decorator: a decorator made without
    // a class must go with its last reference, not wait for the cycle
    // collector.
};

// A new LineageStoreDecorator owning `record`; nullptr with an exception set.
PyObject* new_decorator(DecoratorRecord&& record);

// The name `object` registered (its function's __name__) when it is a
// LineageStoreDecorator, borrowed; null otherwise, with no exception set.
PyObject* decorated_method_name(PyObject* object) noexcept;

// Whether `object` is a LineageStoreDecorator built with serialisable=True.
bool is_serialisable_decorator(PyObject* object) noexcept;

}  // namespace lineage_store
