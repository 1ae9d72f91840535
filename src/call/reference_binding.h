// reference_binding.h: the reference binding of a call through inspect: its
// arguments bound to the function's signature, defaults applied, sorted into
// the normalised call tuple and hashed.
//
// Everything here may run Python code (inspect, __hash__ of arguments), so no
// caller may hold a store section across these functions.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/bound_call.h"
#include "python/py_ref.h"

namespace lineage_store {

struct NormalisedCall {
    std::int64_t hash = 0;
    // (method name, ((parameter name, value), ...)) sorted by parameter name,
    // without "self".
    PyRef call_tuple;
};

// With `func`, binds `args` and `kwargs` to func's signature through inspect
// and applies its defaults; without it, `kwargs` alone (or nothing) is the
// argument mapping and `args` is ignored. `kwargs` may be null. Returns false
// with the Python exception that caused the failure set, unchanged; when only
// the hashing failed, `out.call_tuple` holds the tuple that could not be
// hashed.
//
// This is the reference for every call identity; the decorated call's native
// binder (call_identity) hands it whatever it does not handle itself.
bool normalise_function_signature_and_hash(PyObject* method_name, PyObject* func, PyObject* args, PyObject* kwargs,
                                           NormalisedCall& out);

// A call named by its method name and keywords, as the store's queries and
// updates and a factory's declared dependencies name one: hashed and bound
// as it stands, nothing bound to a signature and no default filled in.
struct NamedCall {
    std::int64_t hash = 0;
    BoundCallRef call;
};

// Names the call of `method_name` (an exact str) with `keywords` (a dict, or
// null for none). False with the exception of hashing set.
bool name_call(PyObject* method_name, PyObject* keywords, NamedCall& out);

// The entries of the dict `mapping` as a tuple of (name, value) pairs sorted
// by name in code-point order, names made exact str; without the entry
// "self" when `drop_self`. Empty with an exception set on failure.
PyRef sorted_argument_pairs(PyObject* mapping, bool drop_self);

// The module inspect, imported once and kept, so that binding needs no
// import per call and still works late in shutdown, when imports fail.
PyRef inspect_module();

}  // namespace lineage_store
