#include "call_record.h"

#include <algorithm>
#include <new>

namespace lineage_store {

CallRecordRef CallRecordRef::make(PyObject* method_name, std::size_t size) noexcept {
    if (size > UINT32_MAX / 2) {
        PyErr_NoMemory();
        return {};
    }
    // The interpreter's small-block allocator: for blocks this small it is
    // faster than the C library's and adds no header to each.
    void* block = PyMem_Malloc(sizeof(CallRecord) + 2 * size * sizeof(PyObject*));
    if (block == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    auto* record = new (block) CallRecord();
    record->size_ = static_cast<std::uint32_t>(size);
    record->method_name_ = Py_NewRef(method_name);
    std::fill_n(record->items(), 2 * size, nullptr);
    return CallRecordRef(record);
}

void CallRecordRef::destroy(CallRecord* record) noexcept(false) {
    // Nobody else can reach the record now, so a finaliser run by one of
    // these releases finds nothing half-released. A thread ended inside one
    // leaves the rest, and the block, to the ending process.
    PyRef::steal(std::exchange(record->method_name_, nullptr)).reset();
    PyObject** items = record->items();
    for (std::size_t i = 0; i < 2 * std::size_t{record->size_}; ++i) {
        PyRef::steal(std::exchange(items[i], nullptr)).reset();
    }
    record->~CallRecord();
    PyMem_Free(record);
}

CallRecordRef CallRecordRef::of_call_tuple(PyObject* call_tuple) noexcept {
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
    CallRecordRef record = make(PyTuple_GetItem(call_tuple, 0), static_cast<std::size_t>(size));
    if (!record) return {};
    for (Py_ssize_t j = 0; j < size; ++j) {
        PyObject* pair = PyTuple_GetItem(pairs, j);
        record.set(static_cast<std::size_t>(j), PyRef::borrow(PyTuple_GetItem(pair, 0)),
                   PyRef::borrow(PyTuple_GetItem(pair, 1)));
    }
    return record;
}

PyRef call_tuple_of(const CallRecord& record) {
    const auto size = static_cast<Py_ssize_t>(record.size());
    PyRef pairs = PyRef::steal(PyTuple_New(size));
    if (!pairs) return {};
    for (Py_ssize_t j = 0; j < size; ++j) {
        PyObject* pair = PyTuple_Pack(2, record.name(static_cast<std::size_t>(j)),
                                      record.value(static_cast<std::size_t>(j)));
        if (pair == nullptr) return {};
        PyTuple_SetItem(pairs.get(), j, pair);
    }
    return PyRef::steal(PyTuple_Pack(2, record.method_name(), pairs.get()));
}

}  // namespace lineage_store
