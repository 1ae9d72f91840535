// served_call.h: the call of a decorated async method whose valid value the
// store held, computing nothing, when the call was made: its coroutine is
// handed that value and the call as received, with no object for the call,
// and awaited, it serves the value unless the store has moved meanwhile.
#pragma once

#include <Python.h>

#include <cstdint>

#include "call/call_arguments.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

// Puts `unmoved(instance, version)`, which the served coroutine calls at
// await, into the driver's namespace `globals` before its source runs. False
// with an exception set.
bool prepare_served_calls(PyObject* globals);

// The int of the version last handed to a served coroutine, kept for the
// next: a store that serves again and again hands out the same one, with no
// int made per call. The module lives in the main interpreter alone, whose
// lock guards this.
struct LastVersion {
    PyObject* token = nullptr;  // held for the process
    std::uint32_t version = 0;
};
extern LastVersion last_version;

// Makes the token of `version`, the last from now on. Borrowed; null with an
// exception set.
PyObject* new_version_token(std::uint32_t version);

// An int of the store version `version`, to hand to a served coroutine:
// the same object while served calls find the same version. Borrowed, valid
// until the next call; null with an exception set. Runs no Python code.
inline PyObject* version_token(std::uint32_t version) {
    if (last_version.token != nullptr && last_version.version == version) return last_version.token;
    return new_version_token(version);
}

// The most arguments (the instance among them) a call can have and still be
// served this way: the served coroutine takes them as parameters of its own.
// The driver's MOST_SERVED_ARGUMENTS.
inline constexpr Py_ssize_t kMostServedItems = 7;

// Whether the call received as `arguments` can be served this way.
inline bool can_be_served(const CallArguments& arguments) noexcept {
    return arguments.positional_count() + arguments.keyword_count() <= kMostServedItems;
}

// function(*vector), where its vectorcall is not known.
PyObject* call_driver_otherwise(PyObject* function, PyObject* const* vector, std::size_t total);

// function(*vector) for a function of the driver (a plain function), through
// `vectorcall`, its own, where that is known: the generic call's checks are
// for callables that may misreport an error. A new reference, or null with
// an exception set.
inline PyObject* call_driver_function(VectorcallFunction vectorcall, PyObject* function, PyObject* const* vector,
                                      std::size_t total) {
    return into_python([&]() -> PyObject* {
        if (vectorcall != nullptr) return vectorcall(function, vector, total, nullptr);
        if (shortcuts.vectorcall != nullptr) return shortcuts.vectorcall(function, vector, total, nullptr);
        return call_driver_otherwise(function, vector, total);
    });
}

// The coroutine of the driver's lineage_stored_served for the call of
// `decorator` with `arguments`, which can_be_served, served `found` while the
// store's version is `version` (version_token's). `served_functions` are the
// driver's SERVED, under the method's names, called through `vectorcall`
// where it is known. A new reference, or null with an exception set.
inline PyObject* served_coroutine(PyObject* served_functions, VectorcallFunction vectorcall, PyObject* decorator,
                                  const CallArguments& arguments, PyObject* found, PyObject* version) {
    const Py_ssize_t positional_count = arguments.positional_count();
    const Py_ssize_t count = positional_count + arguments.keyword_count();
    PyObject* vector[4 + kMostServedItems] = {found, version, decorator};
    Py_ssize_t first = 3;
    PyRef kwnames;
    if (arguments.keyword_count() > 0) {
        kwnames = arguments.keyword_names();
        if (!kwnames) return nullptr;
        vector[first++] = kwnames.get();
    }
    for (Py_ssize_t i = 0; i < positional_count; ++i) vector[first + i] = arguments.positional(i);
    for (Py_ssize_t i = positional_count; i < count; ++i) {
        vector[first + i] = arguments.keyword_value(i - positional_count);
    }
    // Checked when they were made: kMostServedItems without keywords, then as many with.
    PyObject* served_function = tuple_item(served_functions, count - 1 + (kwnames ? kMostServedItems : 0));
    return call_driver_function(vectorcall, served_function, vector, static_cast<std::size_t>(first + count));
}

}  // namespace lineage_store
