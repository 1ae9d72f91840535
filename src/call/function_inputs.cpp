// function_inputs.cpp: whether a function still has the code and defaults a
// call's identity was computed from, and freeing what only some calls hold.
#include "call/function_inputs.h"

namespace lineage_store {

void CallHoldings::discard(CallHoldings* held) noexcept(false) { delete held; }

bool FunctionInputs::unchanged_otherwise(PyObject* func) const {
    const InterpreterShortcuts& objects = shortcuts;
    const CallHoldings* held = holdings_.get();
    PyObject* code = layout_ ? layout_->code.get() : held != nullptr ? held->code.get() : nullptr;
    PyObject* defaults = layout_ ? layout_->defaults.get() : held != nullptr ? held->defaults.get() : nullptr;
    if (code == nullptr) return true;  // not a plain function
    if (objects.code.offset > 0 && objects.defaults.offset > 0 && Py_TYPE(func) == objects.function_type) {
        // Read in place, as every miss does this.
        if (objects.code.read_borrowed(func) != code || objects.defaults.read_borrowed(func) != defaults) return false;
    } else {
        PyRef current_code = PyRef::steal(objects.code.read(func, objects.function_type));
        PyRef current_defaults = PyRef::steal(objects.defaults.read(func, objects.function_type));
        if (current_code.get() != code || current_defaults.get() != defaults) {
            PyErr_Clear();
            return false;
        }
    }
    if (held == nullptr || !held->kwdefaults_dict) return true;
    PyRef kwdefaults = PyRef::steal(objects.kwdefaults.read(func, objects.function_type));
    if (!kwdefaults) {
        PyErr_Clear();
        return false;
    }
    if (kwdefaults.get() != held->kwdefaults_dict.get()) return false;
    if (!PyDict_Check(kwdefaults.get())) return true;
    // The values themselves, by identity: looking them up by their str names
    // runs no Python code.
    if (layout_) {
        for (std::size_t k = 0; k < held->kwdefaults.size(); ++k) {
            const CallHoldings::TakenDefault& taken = held->kwdefaults[k];
            if (PyDict_GetItemWithError(kwdefaults.get(), taken.name) != taken.value.get()) {
                PyErr_Clear();
                return false;
            }
        }
        return true;
    }
    if (!held->kwdefaults_copy) return true;
    if (PyDict_Size(kwdefaults.get()) != PyDict_Size(held->kwdefaults_copy.get())) return false;
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(held->kwdefaults_copy.get(), &position, &name, &value)) {
        if (!PyUnicode_CheckExact(name) || PyDict_GetItemWithError(kwdefaults.get(), name) != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace lineage_store
