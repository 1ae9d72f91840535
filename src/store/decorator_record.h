// decorator_record.h: what a LineageStoreDecorator holds, and how any unit
// recognises one.
//
// The type itself, with its call and descriptor protocol, lives in the
// decorator unit; this header sits low in the layering so that the units the
// store's methods come from (warnings, dump and load) can read decorators
// found in class dicts without depending on the unit above them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "call/bound_call.h"
#include "call/call_identity.h"
#include "call/parameter_layout.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"
#include "python/weak_class_set.h"

namespace lineage_store {

struct DecoratorRecord {
    PyRef func;
    // The declared dependencies, in declaration order: their call hashes,
    // and their bound calls, by which the registered calls they name are
    // recognised.
    std::vector<std::int64_t> dependency_hashes;
    ReleasingVector<BoundCallRef> dependency_calls;
    // An exact str equal to the wrapped function's __name__, and this
    // decorator's own object: every bound call it makes holds it, which
    // tells its registered calls from another decorator's of the same name.
    PyRef method_name;
    bool use_cache = true;
    bool track_runtime_dependencies = false;
    bool serialisable = false;
    // An async method whose results are cached: its calls return coroutines.
    bool is_async = false;
    // A call of this (sync) method returned a coroutine or a generator, and
    // the warning about it has been given.
    bool single_use_warned = false;
    // What changes after decoration, all of it caches of what the class and
    // the function say: the parameter layout of func's current code, the
    // last call as it was received, the classes whose first call made the
    // checks that run once per class, the classes whose instances reach
    // another implementation under this method's name (an override), and the
    // calls this method's computations were warned about.
    BindingCache binding;
    WeakClassSet checked_classes;
    WeakClassSet overridden_in;
    // The class of the last call, checked: a call on another instance of it
    // costs one comparison.
    WatchedClass last_checked_class;
    struct WarnedCall {
        PyRef callee;  // method name
        PyRef owner;   // weak reference to the class
    };
    ReleasingVector<WarnedCall> staleness_warned;
    // An async method's coroutine functions, made at its first call: the
    // awaited calls' driver under the method's names, and its function for
    // a call served the value found when it was made.
    PyRef async_driver;
    PyRef async_served;
    // Nothing here may refer back to the decorator: a decorator made without
    // a class must go with its last reference, not wait for the collector.
};

// The record lives inside the object: a call reaches it without following a
// pointer to another block.
struct DecoratorObject {
    PyObject_HEAD
    VectorcallFunction vectorcall;
    bool has_decorator_record;  // the record below is constructed
    DecoratorRecord decorator_record;
};

// `self` as the decorator it is known to be (a slot's own object).
inline DecoratorObject* as_decorator(PyObject* self) noexcept { return reinterpret_cast<DecoratorObject*>(self); }

// The LineageStoreDecorator type once the first decorator has been built,
// null before: until then no class can hold one. Set by the decorator unit.
inline PyTypeObject* decorator_type_object = nullptr;

// The record of `object` when it is a LineageStoreDecorator, else null.
inline DecoratorRecord* decorator_record_of(PyObject* object) noexcept {
    if (decorator_type_object == nullptr || !Py_IS_TYPE(object, decorator_type_object)) return nullptr;
    auto* decorator = reinterpret_cast<DecoratorObject*>(object);
    return decorator->has_decorator_record ? &decorator->decorator_record : nullptr;
}

}  // namespace lineage_store
