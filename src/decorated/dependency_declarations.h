// dependency_declarations.h: the `dependencies` option of the factories,
// parsed into the calls it names.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace lineage_store {

struct DeclaredDependency {
    PyRef method_name;  // an exact str
    PyRef kwargs;       // the user's own dict, not a copy
};

// Parses a factory's `dependencies` list: each element a str, or a
// (str, dict) tuple. Returns false with TypeError or ValueError set.
bool parse_dependencies(PyObject* dependencies, ReleasingVector<DeclaredDependency>& out);

}  // namespace lineage_store
