// served_call.cpp: the call of a decorated async method served the value
// found when it was made.
#include "decorated/served_call.h"

#include <cstdint>
#include <utility>

#include "decorated/awaited_call.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/lineage_store_base.h"

namespace lineage_store {

namespace {


// unmoved(instance, version): whether the store of `instance` is at
// `version` still, as version_token gave it, and computes nothing.
PyObject* driver_unmoved(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (count != 2 || !is_store(args[0]) || !PyLong_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "unmoved() takes an instance of a store class and its version");
        return nullptr;
    }
    // The token handed out last is known without reading the int.
    if (args[1] == last_version.token)
        return Py_NewRef(store_unmoved_since(args[0], last_version.version) ? Py_True : Py_False);
    const unsigned long version = PyLong_AsUnsignedLong(args[1]);
    if (version == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    const bool same = version == static_cast<std::uint32_t>(version) &&
                      store_unmoved_since(args[0], static_cast<std::uint32_t>(version));
    return Py_NewRef(same ? Py_True : Py_False);
}

PyMethodDef unmoved_definition = {
    "unmoved", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(driver_unmoved)), METH_FASTCALL, nullptr};

}  // namespace

LastVersion last_version;

PyObject* new_version_token(std::uint32_t version) {
    PyObject* token = PyLong_FromUnsignedLong(version);
    if (token == nullptr) return nullptr;
    // An int has no finaliser: releasing the one replaced runs no code.
    PyRef replaced = PyRef::steal(std::exchange(last_version.token, token));
    last_version.version = version;
    return token;
}

PyObject* call_driver_otherwise(PyObject* function, PyObject* const* vector, std::size_t total) {
    if (shortcuts.vectorcall_dict != nullptr) return shortcuts.vectorcall_dict(function, vector, total, nullptr);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(total)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < total; ++i) {
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(vector[i])) < 0) return nullptr;
    }
    return PyObject_Call(function, tuple.get(), nullptr);
}

bool prepare_served_calls(PyObject* globals) {
    PyRef function = PyRef::steal(PyCFunction_New(&unmoved_definition, nullptr));
    return function && PyDict_SetItemString(globals, "unmoved", function.get()) == 0;
}

}  // namespace lineage_store
