// python_boundary.h: what every function the interpreter calls needs at its
// edge: the module's internal error type, the one guard that turns C++
// exceptions into Python ones, and matching of call arguments to named
// parameters with the interpreter's own wording.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

#include "python/py_ref.h"

namespace lineage_store {

// The exception raised when an internal invariant breaks mid-operation (a
// store found in use where nothing can hold it, a dict changed under a load).
// It derives from BaseException only, so `except Exception` does not swallow
// it. Created once per process; a borrowed reference, or nullptr with an
// exception set.
PyObject* panic_exception_type() noexcept;

// Raises PanicException(message) unless an exception is already set; always
// returns nullptr.
std::nullptr_t raise_panic(const char* message) noexcept;

// Converts the C++ exception being handled into the matching Python one.
// Called from a catch-all handler that has already let a forced unwind pass.
LINEAGE_STORE_LETS_FORCED_UNWIND_PASS void set_error_from_current_exception();

// The guard: runs `body` and turns any C++ exception escaping it into a
// Python exception, returning `failure` then, so that nothing but a Python
// exception ever crosses back into the interpreter. A forced unwind passes:
// the thread is being ended and nothing may touch the interpreter on its way.
template <typename Result, typename Body>
LINEAGE_STORE_LETS_FORCED_UNWIND_PASS Result guarded(Result failure, Body&& body) {
    try {
        return body();
    } catch (const abi::__forced_unwind&) {
        note_thread_ended();
        throw;
    } catch (...) {
        set_error_from_current_exception();
        return failure;
    }
}

// The guard for slots that return a new reference or nullptr.
template <typename Body>
PyObject* python_boundary(Body&& body) {
    return guarded<PyObject*>(nullptr, std::forward<Body>(body));
}

// Matches a call's positional tuple and keyword dict to the named parameters
// of `function_name`. On success `bound[i]` holds a borrowed reference to the
// argument of `names[i]`, or nullptr when it was not given; the first
// `required` parameters must be given. Keywords that name no parameter go
// into `*rest` (a new dict, or left empty when there are none) when `rest` is
// not null, and raise TypeError otherwise. Returns false with TypeError set.
bool bind_arguments(const char* function_name, PyObject* args, PyObject* kwargs, std::span<const char* const> names,
                    std::span<PyObject*> bound, std::size_t required, PyRef* rest = nullptr);

// The type name of an object, for error messages ("int", "NoneType"). Empty
// with an exception set on failure.
PyRef type_name_of(PyObject* object);

// A str's contents as UTF-8; false with an exception set when not encodable.
bool utf8_view(PyObject* text, std::string_view& out) noexcept;

// `text` as an exact str: the object itself when it is one, a new plain str
// with the same contents for a str subclass, whose __hash__ and __eq__ must
// never take part in naming a method. TypeError naming `what` otherwise.
PyRef exact_str(PyObject* text, const char* what);

// TypeError "<function>() argument '<parameter>' must be str, not <type>"
// unless `value` is a str; false then.
bool require_str(const char* function_name, const char* parameter, PyObject* value);

// What the interpreter expects of an iterator that returns `value`: null,
// with StopIteration(value) raised.
std::nullptr_t stop_iteration_with(PyRef value);

// Keeps the exception being raised aside for its lifetime, so that cleanup
// may call into the C API, and raises it again at the end. An exception the
// cleanup leaves set gives way to the kept one, which is reported.
class SavedException {
public:
    SavedException() noexcept;
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException() noexcept(false);

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The exception being raised, taken so that it is raised no more, and
// normalised: `value` is an instance of `type` (normalising may instantiate
// the class, which runs Python code). All empty when none is raised.
struct TakenException {
    PyRef type;
    PyRef value;
    PyRef traceback;

    static TakenException take();
    // Raises it again.
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

// Adds `note` to the exception being raised where the running interpreter
// has notes (3.11 on); leaves it as it is elsewhere or when that fails.
void add_note_to_raised(PyObject* note);

// Adds to the TypeError being raised, which an argument of a cached call
// could not be hashed by, the note "<where>: argument <name> must be
// hashable, ...". `where()` makes the note's start as a str with the error
// put aside, since formatting runs repr(). Another exception is left alone.
template <typename Where>
void note_unhashable_argument(PyObject* argument_name, Where&& where) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef note;
    {
        SavedException raised;  // set again when this block ends
        PyRef start = where();
        if (start) {
            note = PyRef::steal(into_python([&] {
                return PyUnicode_FromFormat(
                    "%U: argument %R must be hashable, like every argument of a cached call (a tuple or a frozenset "
                    "in place of a list, a set or a dict)",
                    start.get(), argument_name);
            }));
        }
        if (!note) PyErr_Clear();
    }
    if (note) add_note_to_raised(note.get());
}

}  // namespace lineage_store
