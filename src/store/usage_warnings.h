// usage_warnings.h: the checks that tell users about uses that are legal but
// cannot do what they were written for, and the one refusal made of a class
// at its first decorated call.
//
// Each warning is a RuntimeWarning that names the method, says what happened
// and what to do instead. Issuing one runs Python code (filters,
// showwarning, and an exception where a filter turns it into an error), so
// every function here is called with no store section open; each returns
// false with an exception set when the check or the warning raised.
//
// None of this runs on a cache hit or a repeated miss: only at the first
// call of a decorator on a class, on updates and queries of calls never
// made, and when a computation that does not track its dependencies makes a
// decorated call it did not declare.
#pragma once

#include <Python.h>

#include "python/py_ref.h"
#include "store/decorator_record.h"

namespace lineage_store {

// The checks made once per decorator and class, at the decorator's first
// call on an instance of `cls`: refuses (TypeError) two distinct decorated
// methods that register under the same method name, and warns about
// declared dependencies that name no decorated method of the class, or
// whose keywords do not name exactly that method's parameters. Sets
// `resolved` to whether instances of `cls` see the decorator as one of their
// attributes, or as the getter of a property that is one; when they do not
// (an override hides it and it is reached through super() or its class, or
// the class has it nowhere, as when it is called with an instance of an
// unrelated class), nothing is checked: its calls there have no entries of
// their own.
bool check_class_at_first_call(PyTypeObject* cls, PyObject* decorator, DecoratorRecord& decorator_record,
                               bool& resolved);

// At decoration, of a method whose declared dependencies (`dependencies`,
// their bound calls) name its own method name `method_name`: every call of
// it would depend on a call that can never be valid, so it would never be
// cached. Warns at the line that applied the decorator.
bool warn_about_self_dependency(PyObject* func, PyObject* method_name,
                                const ReleasingVector<BoundCallRef>& dependencies);

// After update_cached_value stored a value for a call that `instance` has
// never registered: warns when no decorated call will ever be served it (no
// decorated method of that name, or one with use_cache=False), or when the
// keywords do not name that method's parameters. `keywords` may be null.
bool warn_about_unused_update(PyObject* instance, PyObject* method_name, PyObject* keywords);

// After get_cached_value found nothing for a call `instance` has never
// registered: warns when the method or the keywords cannot be right.
bool warn_about_unanswerable_query(PyObject* instance, PyObject* method_name, PyObject* keywords);

// A computation of `caller` that does not track its dependencies made a
// decorated call of `callee_name` on the same instance that it did not
// declare: warns once per caller, callee and class that its cached result
// will not follow changes to that call.
bool warn_about_untracked_call(DecoratorRecord& caller, PyObject* callee_name, PyTypeObject* cls, int stacklevel);

// A computation of `decorator_record`'s method, a sync one, returned `result`, a
// coroutine, a generator or an async generator, which was therefore not
// stored: warns once per decorator what to do instead.
bool warn_about_single_use_result(DecoratorRecord& decorator_record, PyObject* result, int stacklevel);

}  // namespace lineage_store
