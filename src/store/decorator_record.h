// decorator_record.h: what a LineageStoreDecorator holds, and how any unit
// recognises one.
//
// The type itself, with its call and descriptor protocol, lives in the
// decorator unit; this header sits low in the layering so that the units the
// store's methods come from (warnings, dump and load) can read decorators
// found in class dicts without depending on the unit above them. The type
// object is kept here too, made from the decorator unit's spec.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "call/bound_call.h"
#include "call/call_identity.h"
#include "call/parameter_layout.h"
#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/py_ref.h"
#include "python/weak_class_set.h"

namespace lineage_store {

// What a decorator is made with, fixed when the factory applies it: the
// function and the factory's options.
struct DecoratorOptions {
    PyRef func;  // cleared by the collector alone, once nothing can call it
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
};

// What a decorator learns after it is made, all of it caches of what the
// class and the function say, or of what it has warned about: none is set
// by the factory, and each starts empty.
struct DecoratorCaches {
    // The parameter layout of func's current code.
    BindingCache binding;
    // The classes whose first call made the checks that run once per class,
    // and the classes whose instances reach another implementation under
    // this method's name (an override).
    WeakClassSet checked_classes;
    WeakClassSet overridden_in;
    // The class of the last call, checked: a call on another instance of it
    // costs one comparison.
    WatchedClass last_checked_class;
    // The calls this method's computations were warned about.
    struct WarnedCall {
        PyRef callee;  // method name
        PyRef owner;   // weak reference to the class
    };
    ReleasingVector<WarnedCall> staleness_warned;
    // A call of this (sync) method returned a coroutine or a generator, and
    // the warning about it has been given.
    bool single_use_warned = false;
    // An async method's coroutine functions, made at its first call: the
    // awaited calls' driver under the method's names, and its function for
    // a call served the value found when it was made.
    PyRef async_driver;
    PyRef async_served;
};

// Nothing here may refer back to the decorator: a decorator made without a
// class must go with its last reference, not wait for the collector.
struct DecoratorRecord {
    explicit DecoratorRecord(DecoratorOptions&& made_with) noexcept : options(std::move(made_with)) {}

    DecoratorOptions options;
    DecoratorCaches caches;
};

// The record lives inside the object: a call reaches it without following a
// pointer to another block. It is made as soon as the object is allocated,
// before anything can reach the object, and goes with it.
struct DecoratorObject {
    PyObject_HEAD
    VectorcallFunction vectorcall;
    DecoratorRecord decorator_record;
};

// `self` as the decorator it is known to be (a slot's own object).
inline DecoratorObject* as_decorator(PyObject* self) noexcept { return reinterpret_cast<DecoratorObject*>(self); }

// The LineageStoreDecorator type, kept for the process from the first
// decorator built; until then no class can hold one.
class DecoratorType {
public:
    // The type, made from `spec` (the decorator unit's) at the first call.
    // Borrowed; null with an exception set.
    static PyTypeObject* made_from(PyType_Spec& spec) { return type_made_once(type_, spec); }
    static bool is_instance(PyObject* object) noexcept { return type_ != nullptr && Py_IS_TYPE(object, type_); }

private:
    static inline PyTypeObject* type_ = nullptr;
};

// The record of `object` when it is a LineageStoreDecorator, else null.
inline DecoratorRecord* decorator_record_of(PyObject* object) noexcept {
    return DecoratorType::is_instance(object) ? &as_decorator(object)->decorator_record : nullptr;
}

}  // namespace lineage_store
