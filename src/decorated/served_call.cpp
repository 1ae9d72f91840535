// served_call.cpp: the call of a decorated async method served the value
// found when it was made.
#include "decorated/served_call.h"

#include <cstdint>
#include <utility>

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
    const StoreRecord* store_record = as_store(args[0])->store_record;
    if (store_record == nullptr || store_record->graph.running_count() > 0) Py_RETURN_FALSE;
    const std::uint32_t now = store_record->graph.version();
    if (args[1] == last_version.token) return Py_NewRef(last_version.version == now ? Py_True : Py_False);
    const unsigned long version = PyLong_AsUnsignedLong(args[1]);
    if (version == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    return Py_NewRef(version == now ? Py_True : Py_False);
}

PyMethodDef driver_functions[] = {
    {"unmoved", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(driver_unmoved)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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

PyObject* call_served_otherwise(PyObject* served_function, PyObject* const* vector, std::size_t total) {
    if (shortcuts.vectorcall_dict != nullptr) return shortcuts.vectorcall_dict(served_function, vector, total, nullptr);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(total)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < total; ++i) {
        if (PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(vector[i])) < 0) return nullptr;
    }
    return PyObject_Call(served_function, tuple.get(), nullptr);
}

bool prepare_served_calls(PyObject* globals) {
    for (PyMethodDef* definition = driver_functions; definition->ml_name != nullptr; ++definition) {
        PyRef function = PyRef::steal(PyCFunction_New(definition, nullptr));
        if (!function || PyDict_SetItemString(globals, definition->ml_name, function.get()) < 0) return false;
    }
    return true;
}

}  // namespace lineage_store
