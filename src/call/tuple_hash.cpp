// tuple_hash.cpp: the call hash, and the check that TupleHash is the
// interpreter's tuple hash.
#include "call/tuple_hash.h"

#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

namespace {

// The hash of `object` with every tuple in it hashed by TupleHash. Only ever
// given the samples below, whose items hash without Python code.
Py_hash_t hash_composed(PyObject* object) {
    if (!PyTuple_CheckExact(object)) return PyObject_Hash(object);
    TupleHash hash;
    const Py_ssize_t size = PyTuple_Size(object);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Py_hash_t item = hash_composed(PyTuple_GetItem(object, i));
        if (item == -1) return -1;
        hash.add(item);
    }
    return hash.finish();
}

bool check_samples() {
    PyRef big = PyRef::steal(PyLong_FromUnsignedLongLong(~0ULL));
    if (!big) return false;
    PyRef samples[] = {
        PyRef::steal(Py_BuildValue("()")),
        PyRef::steal(Py_BuildValue("(i)", -1)),
        PyRef::steal(Py_BuildValue("(s())", "m")),
        PyRef::steal(Py_BuildValue("(s((si)(s(idsO))))", "m", "a", 1, "b", 7, 2.5, "x", big.get())),
        PyRef::steal(Py_BuildValue("(OOO(()))", Py_None, Py_True, big.get())),
    };
    for (const PyRef& sample : samples) {
        if (!sample) return false;
        const Py_hash_t expected = PyObject_Hash(sample.get());
        if (expected == -1 || hash_composed(sample.get()) != expected) return false;
    }
    return true;
}

}  // namespace

bool prepare_call_hash() {
    native_call_hash = interpreter_shortcuts_built() && check_samples();
    return !PyErr_Occurred();
}


Py_hash_t call_tuple_hash(PyObject* call_tuple) {
    return into_python([&] { return PyObject_Hash(call_tuple); });
}

Py_hash_t hash_of_call_without_arguments(PyObject* name) {
    if (native_call_hash) {
        const Py_hash_t name_hash = PyObject_Hash(name);  // an exact str: no Python code
        return name_hash == -1 ? -1 : CallHasher().finish(name_hash);
    }
    PyRef empty = new_tuple(0);
    if (!empty) return -1;
    PyRef call = new_pair(name, empty.get());
    if (!call) return -1;
    return call_tuple_hash(call.get());
}

}  // namespace lineage_store
