// str_equality.h: the one rule by which the module tells two names apart.
#pragma once

#include <Python.h>

namespace lineage_store {

// Whether `a` and `b` are the same object, or both str (subclasses too) of
// the same characters: what a dict keyed by exact str finds equal, told
// without running Python code (a subclass's __eq__ is not asked), and never
// failing.
inline bool same_str(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace lineage_store
