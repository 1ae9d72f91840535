#include "python_boundary.h"

#include <exception>
#include <stdexcept>

namespace lineage_store {

PyObject* panic_exception_type() noexcept {
    // Types live for the rest of the process, so this reference is never
    // released; the GIL serialises the first creation.
    static PyObject* panic_type = nullptr;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "lineage_store.PanicException",
            "Raised when an internal invariant of a lineage store is broken mid-operation.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

std::nullptr_t raise_panic(const char* message) noexcept {
    if (PyErr_Occurred() != nullptr) return nullptr;
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown internal error in lineage_store");
    }
}

PyRef type_name_of(PyObject* object) noexcept {
    return PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
}

bool utf8_view(PyObject* text, std::string_view& out) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool bind_arguments(const char* function_name, PyObject* args, PyObject* kwargs,
                    std::span<const char* const> names, std::span<PyObject*> bound, std::size_t required,
                    PyRef* rest) noexcept {
    for (PyObject*& slot : bound) slot = nullptr;
    Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", function_name,
                     static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s", given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t index = names.size();
            if (PyUnicode_Check(key)) {
                for (std::size_t i = 0; i < names.size(); ++i) {
                    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                        index = i;
                        break;
                    }
                }
            }
            if (index < names.size()) {
                if (bound[index] != nullptr) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_name,
                                 names[index]);
                    return false;
                }
                bound[index] = value;
                continue;
            }
            if (rest == nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_name, key);
                return false;
            }
            if (!*rest) {
                *rest = PyRef::steal(PyDict_New());
                if (!*rest) return false;
            }
            if (PyDict_SetItem(rest->get(), key, value) < 0) return false;
        }
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function_name, names[i],
                         static_cast<Py_ssize_t>(i + 1));
            return false;
        }
    }
    return true;
}

}  // namespace lineage_store
