// bound_call.cpp: making, releasing and converting bound calls.
#include "call/bound_call.h"

#include <algorithm>
#include <new>

#include "python/interpreter_shortcuts.h"
#include "python/str_equality.h"

namespace lineage_store {

BoundCall* BoundCall::allocate(PyObject* method_name, std::size_t size) noexcept {
    // The interpreter's small-block allocator: for blocks this small it is
    // faster than the C library's and adds no header to each.
    void* block = size <= UINT32_MAX / 2 ? PyMem_Malloc(sizeof(BoundCall) + 2 * size * sizeof(PyObject*)) : nullptr;
    if (block == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    return new (block) BoundCall(method_name, size);
}

BoundCall* BoundCall::make(PyObject* method_name, std::size_t size) noexcept {
    BoundCall* call = allocate(method_name, size);
    if (call != nullptr) std::fill_n(call->items(), 2 * size, nullptr);
    return call;
}

void BoundCall::destroy(BoundCall* call) noexcept(false) {
    // Nobody else can reach the bound call now, so a finaliser run by one of
    // these releases finds nothing half-released. A thread ended inside one,
    // or at interpreter exit before, leaves the rest, and the block, to the
    // ending process. One pass through the gateway serves them all: a large
    // store frees many bound calls at once.
    if (must_abandon_python_state()) return;
    PyObject** items = call->items();
    into_python([&] {
        Py_CLEAR(call->method_name_);
        for (std::size_t i = 0; i < 2 * std::size_t{call->size_}; ++i) Py_CLEAR(items[i]);
    });
    call->~BoundCall();
    PyMem_Free(call);
}

BoundCall* BoundCall::make(PyObject* method_name, std::size_t size, PyObject* const* names,
                           PyObject* const* values) noexcept {
    BoundCall* call = allocate(method_name, size);
    if (call == nullptr) return nullptr;
    PyObject** items = call->items();
    for (std::size_t j = 0; j < size; ++j) {
        items[2 * j] = Py_NewRef(names[j]);
        items[2 * j + 1] = Py_NewRef(values[j]);
    }
    return call;
}

BoundCallRef bound_call_of_tuple(PyObject* call_tuple) {
    PyObject* pairs = nullptr;
    bool shaped = PyTuple_Check(call_tuple) && PyTuple_Size(call_tuple) == 2 &&
                  PyTuple_Check(pairs = PyTuple_GetItem(call_tuple, 1));
    const Py_ssize_t size = shaped ? PyTuple_Size(pairs) : 0;
    for (Py_ssize_t j = 0; shaped && j < size; ++j) {
        PyObject* pair = PyTuple_GetItem(pairs, j);
        shaped = PyTuple_Check(pair) && PyTuple_Size(pair) == 2;
    }
    if (!shaped) {
        PyErr_SetString(PyExc_SystemError, "a normalised call is not (method name, ((name, value), ...))");
        return {};
    }
    BoundCall* made = BoundCall::make(PyTuple_GetItem(call_tuple, 0), static_cast<std::size_t>(size));
    if (made == nullptr) return {};
    for (Py_ssize_t j = 0; j < size; ++j) {
        PyObject* pair = PyTuple_GetItem(pairs, j);
        made->set(static_cast<std::size_t>(j), PyRef::borrow(PyTuple_GetItem(pair, 0)),
                  PyRef::borrow(PyTuple_GetItem(pair, 1)));
    }
    return BoundCallRef::adopt(made);
}

bool may_be_tracked(PyObject* item) noexcept {
    if ((PyType_GetFlags(Py_TYPE(item)) & Py_TPFLAGS_HAVE_GC) == 0) return false;
    return !PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item);
}

namespace {

// A new tuple of `size` items, each a new reference to `items[i]`: made
// with its size known, its items written in place where the item array's
// place is known. Untracked when `atomic`. Empty with an exception set.
PyRef tuple_of(Py_ssize_t size, PyObject* const* items, bool atomic) {
    PyRef tuple = new_tuple(size);
    if (!tuple) return {};
    fill_new_tuple(tuple.get(), size, items);
    if (atomic) PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

}  // namespace

PyRef call_tuple_of(const BoundCall& call) {
    const auto size = static_cast<Py_ssize_t>(call.size());
    // A tuple of atoms leaves the collector at once, as the collector itself
    // would leave it at its first pass: a view of many calls then does not
    // fill the young generation with tuples to scan.
    bool atomic = true;
    for (std::size_t j = 0; atomic && j < call.size(); ++j) atomic = !may_be_tracked(call.value(j));
    PyRef pairs = new_tuple(size);
    if (!pairs) return {};
    for (Py_ssize_t j = 0; j < size; ++j) {
        PyRef pair = tuple_of(2, call.pair(static_cast<std::size_t>(j)), atomic);
        if (!pair) return {};
        fill_new_tuple_item(pairs.get(), j, pair.release());
    }
    if (atomic) PyObject_GC_UnTrack(pairs.get());
    PyObject* const outer[] = {call.method_name(), pairs.get()};
    return tuple_of(2, outer, atomic);
}

namespace {

// Whether == between two plain values can warn: under -b, bytes compared with
// str or int (bool included) issues a BytesWarning, which runs the warnings
// machinery's Python code, and raises under -bb. Nothing else among them
// can.
bool may_warn(PyObject* a, PyObject* b) noexcept {
    const auto str_or_int = [](PyObject* object) { return PyUnicode_CheckExact(object) || PyLong_Check(object); };
    return (PyBytes_CheckExact(a) && str_or_int(b)) || (PyBytes_CheckExact(b) && str_or_int(a));
}

}  // namespace

int plain_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return 1;
    if (PyTuple_CheckExact(a) && PyTuple_CheckExact(b)) {
        const Py_ssize_t size = PyTuple_Size(a);
        if (size != PyTuple_Size(b)) return 0;
        int verdict = 1;
        for (Py_ssize_t i = 0; i < size; ++i) {
            const int item = plain_equal(tuple_item(a, i), tuple_item(b, i));
            if (item == 0) return 0;
            if (item < 0) verdict = -1;  // a later item may still tell them apart
        }
        return verdict;
    }
    if (!is_plain(a) || !is_plain(b) || may_warn(a, b)) return -1;
    // Plain values of these pairs compare in C and warn about nothing. Only a
    // float against an int too large for it allocates, and may fail for
    // memory: undecided then, so that the comparison made outside, with no
    // section open, raises that error itself.
    const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0) {
        PyErr_Clear();
        return -1;
    }
    return equal;
}

int calls_equal_without_python(const BoundCall& a, const BoundCall& b) noexcept {
    if (&a == &b) return 1;
    if (!same_str(a.method_name(), b.method_name()) || a.size() != b.size()) return 0;
    int verdict = 1;
    for (std::size_t j = 0; j < a.size(); ++j) {
        if (!same_str(a.name(j), b.name(j))) return 0;
        const int item = plain_equal(a.value(j), b.value(j));
        if (item == 0) return 0;
        if (item < 0) verdict = -1;
    }
    return verdict;
}

int calls_equal(const BoundCall& a, const BoundCall& b) {
    const int settled = calls_equal_without_python(a, b);
    if (settled >= 0) return settled;
    // Names and sizes match: == on each value in turn, as == on the call
    // tuples would make them. Both bound calls are held and never change, so
    // every object read here outlives the __eq__ calls.
    for (std::size_t j = 0; j < a.size(); ++j) {
        const int equal = into_python([&] { return PyObject_RichCompareBool(a.value(j), b.value(j), Py_EQ); });
        if (equal <= 0) return equal;
    }
    return 1;
}

}  // namespace lineage_store
