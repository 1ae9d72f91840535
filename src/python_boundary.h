// What every Python-facing function needs at its edge: the module's internal
// error type, conversion of C++ exceptions into Python ones, and matching of
// call arguments to named parameters with the interpreter's own wording.
//
// Forced unwinding: at interpreter exit CPython ends daemon threads with
// pthread_exit, which unwinds their C++ frames with abi::__forced_unwind. It
// must always go on (catch it only to rethrow), and a frame it meets must not
// be noexcept, or the process aborts. So the boundary below is not noexcept,
// and neither is any function on a path that runs Python code.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <initializer_list>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "py_ref.h"

namespace lineage_store {

// The exception raised when an internal invariant breaks mid-operation (a
// store found held where it must be free, a dict changed under a load). It
// derives from BaseException only, so `except Exception` does not swallow it.
// Created once per process; returns a borrowed reference or nullptr with an
// exception set.
PyObject* panic_exception_type() noexcept;

// Raises PanicException(message); always returns nullptr. An exception that
// is already set stands instead: a refusal that comes from a wait for the
// store cut short by a signal (KeyboardInterrupt) reports the interruption.
std::nullptr_t raise_panic(const char* message) noexcept;

// Converts an escaping C++ exception into the matching Python exception.
// Called from a catch-all handler that has already let a forced unwind pass.
LINEAGE_STORE_LETS_FORCED_UNWIND_PASS void set_error_from_current_exception();

// Runs `body` and turns any C++ exception into a Python one, so that nothing
// but a Python exception ever crosses back into the interpreter. `body` returns
// a new reference or nullptr with an exception set. A forced unwind passes:
// the thread is being ended and nothing may touch the interpreter on its way.
template <typename Body>
LINEAGE_STORE_LETS_FORCED_UNWIND_PASS PyObject* python_boundary(Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        note_thread_ended();
        throw;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Deallocation shared by the module's types, each of which owns one C++
// record through its `record` pointer. The record is detached before it is
// destroyed, so a finaliser run by its release finds the object empty.
template <typename Object>
void dealloc_with_record(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(reinterpret_cast<Object*>(self)->record, nullptr);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Matches a call's positional tuple and keyword dict to the named parameters
// of `function_name`. On success `bound[i]` holds a borrowed reference to the
// argument of `names[i]`, or nullptr when it was not given; the first
// `required` parameters must be given. Keywords that name no parameter go
// into `*rest` (a new dict, or left empty when there are none) when `rest` is
// not null, and raise TypeError otherwise. Returns false with TypeError set.
bool bind_arguments(const char* function_name, PyObject* args, PyObject* kwargs,
                    std::span<const char* const> names, std::span<PyObject*> bound, std::size_t required,
                    PyRef* rest = nullptr) noexcept;

// The type name of an object, for error messages ("int", "NoneType").
PyRef type_name_of(PyObject* object) noexcept;

// A str's contents as UTF-8; false with an exception set when not encodable.
bool utf8_view(PyObject* text, std::string_view& out) noexcept;

}  // namespace lineage_store
