// process_objects.h: what the module makes once and keeps for the process (its
// types, made from their specs, and the objects it uses on every call), and
// how an instance of any of its types is freed. The module lives in the main
// interpreter alone, which outlives every use of what it keeps.
#pragma once

#include <Python.h>

#include <utility>

#include "python/py_ref.h"

namespace lineage_store {

// The type made from `spec` at its first use and kept for the life of the
// process: every module object made from the module's definition shares it.
// Borrowed; null with an exception set.
inline PyTypeObject* type_made_once(PyTypeObject*& made, PyType_Spec& spec) {
    if (made == nullptr) made = reinterpret_cast<PyTypeObject*>(into_python([&] { return PyType_FromSpec(&spec); }));
    return made;
}

// The object `make` returns at the first use, kept for the life of the
// process. Borrowed; null with an exception set (and made again next time).
template <typename Make>
PyObject* kept_for_process(PyObject*& kept, Make&& make) {
    if (kept == nullptr) kept = make().release();
    return kept;
}

// Frees an instance of one of the module's heap types once `release` has let
// go of what it holds. A collected instance leaves the collector first, so
// that a finaliser run by the release never meets it half torn down.
template <typename Release>
void free_instance(PyObject* self, Release&& release) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    release();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The deallocation of a type that owns one C++ object through the pointer
// `Object::*owned`. The object is detached before it is destroyed, so a
// finaliser run by its release finds the instance empty.
template <typename Object, typename Owned, Owned* Object::* owned>
void dealloc_owning(PyObject* self) {
    free_instance(self, [&] { delete std::exchange(reinterpret_cast<Object*>(self)->*owned, nullptr); });
}

}  // namespace lineage_store
