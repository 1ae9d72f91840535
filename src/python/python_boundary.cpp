// python_boundary.cpp: the internal error type, exception conversion and
// argument matching shared by every Python-facing function.
#include "python/python_boundary.h"

#include <exception>
#include <new>
#include <stdexcept>

namespace lineage_store {

PyObject* panic_exception_type() noexcept {
    // Types live for the rest of the process, so this reference is never
    // released; the interpreter lock serialises the first creation.
    static PyObject* panic_type = nullptr;
    if (panic_type == nullptr) {
        panic_type =
            PyErr_NewExceptionWithDoc("lineage_store.PanicException",
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

PyRef type_name_of(PyObject* object) {
    // A metaclass may compute __name__ in Python.
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__name__"); }));
}

bool utf8_view(PyObject* text, std::string_view& out) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

PyRef exact_str(PyObject* text, const char* what) {
    if (PyUnicode_CheckExact(text)) return PyRef::borrow(text);
    if (!PyUnicode_Check(text)) {
        PyRef name = type_name_of(text);
        if (name) {
            into_python([&] { return PyErr_Format(PyExc_TypeError, "%s must be a str, not %S", what, name.get()); });
        }
        return {};
    }
    // The contents as they are stored: a subclass's own methods are not asked.
    std::string_view contents;
    if (!utf8_view(text, contents)) return {};
    return PyRef::steal(PyUnicode_FromStringAndSize(contents.data(), static_cast<Py_ssize_t>(contents.size())));
}

bool require_str(const char* function_name, const char* parameter, PyObject* value) {
    if (PyUnicode_Check(value)) return true;
    PyRef name = type_name_of(value);
    if (name) {
        into_python([&] {
            return PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %S", function_name, parameter,
                                name.get());
        });
    }
    return false;
}

namespace {

// Places the keyword argument `key`=`value` of a call of `function_name`:
// in `bound` at its name's index, or in `*rest`; false with TypeError set.
bool bind_keyword(const char* function_name, PyObject* key, PyObject* value, std::span<const char* const> names,
                  std::span<PyObject*> bound, PyRef* rest) {
    std::size_t index = names.size();
    // Compared by contents: a str subclass's __eq__ is not asked.
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
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_name, names[index]);
            return false;
        }
        bound[index] = value;
        return true;
    }
    // Formatting or inserting the key may run a str subclass's __str__ or __hash__.
    PyRef held_key = PyRef::borrow(key);
    if (rest == nullptr) {
        into_python([&] {
            return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_name,
                                held_key.get());
        });
        return false;
    }
    if (!*rest) {
        *rest = new_dict();
        if (!*rest) return false;
    }
    PyRef held_value = PyRef::borrow(value);
    return into_python([&] { return PyDict_SetItem(rest->get(), held_key.get(), held_value.get()); }) == 0;
}

}  // namespace

bool bind_arguments(const char* function_name, PyObject* args, PyObject* kwargs, std::span<const char* const> names,
                    std::span<PyObject*> bound, std::size_t required, PyRef* rest) {
    for (PyObject*& slot : bound) slot = nullptr;
    Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", function_name,
                     static_cast<Py_ssize_t>(names.size()), names.size() == 1 ? "" : "s", given);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
        if (!bind_keyword(function_name, key, value, names, bound, rest)) return false;
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

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
SavedException::SavedException() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
#pragma GCC diagnostic pop

SavedException::~SavedException() noexcept(false) {
    if (type_ == nullptr) return;
    if (must_abandon_python_state()) return;  // the thread is being ended: nothing is raised any more
    // sys.unraisablehook is Python code.
    if (PyErr_Occurred() != nullptr) into_python([] { PyErr_WriteUnraisable(nullptr); });
    PyErr_Restore(type_, value_, traceback_);
}

TakenException TakenException::take() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    // The only way to take the raised exception that the oldest stable ABI we
    // build for offers; newer headers mark it deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) into_python([&] { return (PyErr_NormalizeException(&type, &value, &traceback), 0); });
#pragma GCC diagnostic pop
    return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void add_note_to_raised(PyObject* note) {
    TakenException raised = TakenException::take();
    if (raised.value) {
        PyRef added =
            PyRef::steal(into_python([&] { return PyObject_CallMethod(raised.value.get(), "add_note", "O", note); }));
        // No add_note before 3.11, or a note refused: the exception stays as it was.
        if (!added) PyErr_Clear();
    }
    raised.restore();
}

std::nullptr_t stop_iteration_with(PyRef value) {
    if (value.get() == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    // Made by hand: a tuple given as the value alone would become its arguments.
    PyRef stop = PyRef::steal(
        into_python([&] { return PyObject_CallFunctionObjArgs(PyExc_StopIteration, value.get(), nullptr); }));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    return nullptr;
}

}  // namespace lineage_store
