// dependency_declarations.cpp: the `dependencies` option of the factories,
// parsed.
#include "decorated/dependency_declarations.h"

#include "python/python_boundary.h"

namespace lineage_store {

bool parse_dependencies(PyObject* dependencies, ReleasingVector<DeclaredDependency>& out) {
    if (!PyList_Check(dependencies)) {
        PyRef name = type_name_of(dependencies);
        if (name)
            into_python([&] { PyErr_Format(PyExc_TypeError, "dependencies must be a list, not %S", name.get()); });
        return false;
    }
    ReleasingVector<DeclaredDependency> parsed;
    // An allocation below may run a finaliser that shrinks the list, so the
    // walk stops at its current length and holds each element it reads.
    Py_ssize_t length = PyList_Size(dependencies);
    for (Py_ssize_t i = 0; i < length && i < PyList_Size(dependencies); ++i) {
        PyRef held = PyRef::borrow(PyList_GetItem(dependencies, i));
        if (!held) return false;
        PyObject* element = held.get();
        if (PyTuple_Check(element) && PyTuple_Size(element) == 2) {
            PyRef method_name = exact_str(PyTuple_GetItem(element, 0), "dependency method name");
            if (!method_name) return false;
            PyObject* kwargs = PyTuple_GetItem(element, 1);
            if (!PyDict_Check(kwargs)) {
                PyRef name = type_name_of(kwargs);
                if (name) {
                    into_python([&] {
                        PyErr_Format(PyExc_TypeError, "dependency arguments must be a dict, not %S", name.get());
                    });
                }
                return false;
            }
            parsed.push_back({std::move(method_name), PyRef::borrow(kwargs)});
        } else if (PyUnicode_Check(element)) {
            PyRef method_name = exact_str(element, "dependency method name");
            if (!method_name) return false;
            PyRef kwargs = new_dict();
            if (!kwargs) return false;
            parsed.push_back({std::move(method_name), std::move(kwargs)});
        } else {
            PyErr_SetString(PyExc_ValueError, "Dependency must be a tuple (str, dict) or a str");
            return false;
        }
    }
    out = std::move(parsed);
    return true;
}

}  // namespace lineage_store
