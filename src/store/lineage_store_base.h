// lineage_store_base.h: the LineageStoreBase type: an instance's life (its
// store made, traversed, cleared and destroyed with it), pickling and
// copying, and the method table that gathers the store's methods from the
// units that hold them (queries, views, dump and load).
#pragma once

#include <Python.h>

namespace lineage_store {

// Creates the LineageStoreBase type object once per process; later calls
// return the same type. Borrowed; nullptr with an exception set on failure.
PyTypeObject* create_lineage_store_base_type();

// The type created above: a borrowed reference, or nullptr with an exception
// set before the module has created it.
PyTypeObject* lineage_store_base_type() noexcept;

inline bool is_store(PyObject* object) noexcept {
    PyTypeObject* base = lineage_store_base_type();
    return base != nullptr && PyObject_TypeCheck(object, base);
}

}  // namespace lineage_store
