// module_registration.cpp: the module's entry point: the module definition
// (multi-phase initialisation) and the execution step that publishes the
// three types.

#include <Python.h>

#include "call/call_identity.h"
#include "decorated/async_call.h"
#include "decorated/decorator_factory.h"
#include "python/py_ref.h"
#include "python/python_boundary.h"
#include "store/lineage_store_base.h"

namespace lineage_store {

namespace {

// The module's `__all__` list, created when the module has none yet. The
// module may be any module object, whose attributes may be looked up and set
// by Python code: through the gateway.
PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(into_python([&] { return PyObject_GetAttrString(module, "__all__"); }));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        all = new_list(0);
        if (!all || into_python([&] { return PyObject_SetAttrString(module, "__all__", all.get()); }) < 0) return {};
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return {};
    }
    return all;
}

bool publish(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    PyRef all = all_list(module);
    if (!all) return false;
    PyRef python_name = PyRef::steal(PyUnicode_FromString(name));
    if (!python_name || PyList_Append(all.get(), python_name.get()) < 0) return false;
    return into_python(
               [&] { return PyObject_SetAttr(module, python_name.get(), reinterpret_cast<PyObject*>(type)); }) == 0;
}

int execute_module(PyObject* module) {
    return guarded(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "lineage_store can only be executed into a module object");
            return -1;
        }
        // The module's types, the driver of awaited calls and the shortcuts are
        // made once per process and kept: made in an interpreter that may end
        // first, they would be freed by the wrong one, or left pointing into its
        // memory. So the module lives in the main interpreter alone, and nothing
        // is made before another is refused.
        if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
            PyErr_SetString(PyExc_ImportError, "lineage_store can only be imported in the main interpreter");
            return -1;
        }
        if (!prepare_call_identity() || !prepare_async_calls()) return -1;
        const bool published = publish(module, "LineageStoreBase", create_lineage_store_base_type()) &&
                               publish(module, "lineage_stored", manual_factory_type()) &&
                               publish(module, "automagically_lineage_stored", automagic_factory_type());
        return published ? 0 : -1;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

// clang-format off
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "lineage_store",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};
// clang-format on

}  // namespace

}  // namespace lineage_store

PyMODINIT_FUNC PyInit_lineage_store(void) { return PyModuleDef_Init(&lineage_store::module_definition); }
