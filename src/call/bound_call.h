// bound_call.h: a registered call's arguments, kept flat beside its node.
//
// A bound call holds the method name and, per parameter in the call tuple's
// order, the parameter's name and its value, as strong references in one
// small block. The normalised call tuple of the same call costs three tuples
// for a call with one argument and one more per further argument; it is
// built from the bound call only when something needs a Python tuple (a
// view's key, a warning), with no store section held.
//
// The value of a *args or **kwargs parameter is the tuple the call tuple
// holds for it (its items, or its (name, value) pairs), so that the tuple
// built from a bound call is equal to the call's tuple, item for item, and
// hashes alike.
//
// Bound calls are shared through BoundCallRef, counted without atomics.
// Copying one runs no Python code, so a store may hand one out inside a
// section; releasing the last one releases the Python references, which may
// run finalisers, so that happens with the store free.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "python/py_ref.h"

namespace lineage_store {

class BoundCall {
public:
    BoundCall(const BoundCall&) = delete;
    BoundCall& operator=(const BoundCall&) = delete;

    PyObject* method_name() const noexcept { return method_name_; }
    std::size_t size() const noexcept { return size_; }
    PyObject* name(std::size_t j) const noexcept { return items()[2 * j]; }
    PyObject* value(std::size_t j) const noexcept { return items()[2 * j + 1]; }
    // Parameter j's name and value, side by side, as its pair holds them.
    PyObject* const* pair(std::size_t j) const noexcept { return items() + 2 * j; }

    // Reports every Python object the bound call holds to `visit`.
    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(method_name_);
        for (std::size_t i = 0; i < 2 * size_; ++i) Py_VISIT(items()[i]);
        return 0;
    }

    // A bound call of `method_name` with `size` parameters, whose names and
    // values are set with set() before it is shared. Null with MemoryError
    // set on failure.
    static BoundCall* make(PyObject* method_name, std::size_t size) noexcept;
    // The same, with the names and values given at once: `values[j]` for
    // parameter j, named `names[j]`, each taken as a new reference.
    static BoundCall* make(PyObject* method_name, std::size_t size, PyObject* const* names,
                           PyObject* const* values) noexcept;

    // Takes over the two references for parameter `j`; only while unshared.
    void set(std::size_t j, PyRef name, PyRef value) noexcept {
        items()[2 * j] = name.release();
        items()[2 * j + 1] = value.release();
    }

    // Releases the references of a bound call nobody holds any more.
    static void destroy(BoundCall* call) noexcept(false);

    std::uint32_t holders = 1;

private:
    BoundCall(PyObject* method_name, std::size_t size) noexcept
        : size_(static_cast<std::uint32_t>(size)), method_name_(Py_NewRef(method_name)) {}
    // The block of a bound call, its items left for the caller to fill. Null
    // with MemoryError set.
    static BoundCall* allocate(PyObject* method_name, std::size_t size) noexcept;

    PyObject** items() noexcept { return reinterpret_cast<PyObject**>(this + 1); }
    PyObject* const* items() const noexcept { return reinterpret_cast<PyObject* const*>(this + 1); }

    std::uint32_t size_ = 0;
    PyObject* method_name_ = nullptr;
    // Followed by 2 * size_ references: name, value, name, value, ...
};

static_assert(sizeof(BoundCall) % alignof(PyObject*) == 0);

using BoundCallRef = CountedRef<BoundCall>;

// The bound call of a normalised call tuple (method name, ((name, value),
// ...)). Empty with an exception set when it has another shape.
BoundCallRef bound_call_of_tuple(PyObject* call_tuple);

// The normalised call tuple of `call`: a new tuple of the objects it holds,
// equal to the call's tuple and with its hash. Allocates collected objects:
// no store section may be held. Empty with an exception set on failure.
PyRef call_tuple_of(const BoundCall& call);

// Whether a == b can be told without running Python code: 1 when equal, 0
// when not, -1 when only Python code (an __eq__ of the user's, or the
// warning bytes compared with str or int gives under -b) can tell. Objects
// of the interpreter's own plain types (str, int, float, bool, bytes, None,
// and tuples of them) compare natively, but for those pairs. Sets no
// exception.
int plain_equal(PyObject* a, PyObject* b) noexcept;

// Whether `object` is of a type whose == the interpreter answers without
// running Python code, allocating collected objects or failing: str, int,
// float, bool, bytes and None, not subclasses.
inline bool is_plain(PyObject* object) noexcept {
    return PyUnicode_CheckExact(object) || PyLong_CheckExact(object) || PyFloat_CheckExact(object) ||
           PyBool_Check(object) || PyBytes_CheckExact(object) || object == Py_None;
}

// Whether two bound calls are the same call, as == on their call tuples
// would say, without running Python code: 1, 0, or -1 when only Python code
// can tell.
int calls_equal_without_python(const BoundCall& a, const BoundCall& b) noexcept;

// The same, running the arguments' __eq__ where it must: 1, 0, or -1 with an
// exception set. No store section may be held, and the caller holds both.
int calls_equal(const BoundCall& a, const BoundCall& b);

// Whether the collector could ever find `item` in a reference cycle: the
// interpreter's own rule for tuples (a tuple it has untracked counts as
// atomic, any other object of a collected type does not).
bool may_be_tracked(PyObject* item) noexcept;

}  // namespace lineage_store
