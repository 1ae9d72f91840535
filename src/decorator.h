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

namespace lineage_store {

struct DecoratorRecord {
    PyRef func;
    std::vector<CallHash> dependency_hashes;
    PyRef method_name;  // an exact str: the wrapped function's __name__
    bool use_cache = true;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    // The only part that changes after decoration: the parameter layout of
    // func's current code object, kept between calls.
    BindingCache binding;
    // Nothing here may refer back to the decorator: a decorator made without
    // a class must go with its last reference, not wait for the cycle
    // collector.
};

// A new LineageStoreDecorator owning `record`; nullptr with an exception set.
PyObject* new_decorator(DecoratorRecord&& record);

// Whether `object` is a LineageStoreDecorator built with serialisable=True.
bool is_serialisable_decorator(PyObject* object) noexcept;

}  // namespace lineage_store
