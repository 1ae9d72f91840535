// signature_checks.h: the checks made of a decorated function through
// inspect: that a serialisable method takes only self, and which parameters
// a function has. They run Python code (inspect): never inside a section.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace lineage_store {

// Succeeds when func's only parameter is named "self"; otherwise ValueError
// listing the parameter names (or the exception of inspect).
bool validate_self_only_method(PyObject* func);

// The parameters of `func` as inspect sees them: a new list of
// (name, kind) pairs, kind being "positional", "keyword", "*args" or
// "**kwargs" (positional-or-keyword parameters are "positional"), and the
// text of its signature. Empty with an exception set on failure.
struct FunctionParameters {
    PyRef parameters;
    PyRef signature_text;
};
bool function_parameters(PyObject* func, FunctionParameters& out);

}  // namespace lineage_store
