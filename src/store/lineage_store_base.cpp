// lineage_store_base.cpp: the LineageStoreBase type.
#include "store/lineage_store_base.h"

#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "store/cache_persistence.h"
#include "store/cache_store.h"
#include "store/store_queries.h"
#include "store/store_views.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// Construction, garbage collection and destruction

PyObject* store_new(PyTypeObject* cls, PyObject*, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        // object.__new__ rather than a bare allocation, so that what it checks
        // (abstract methods of an ABC subclass, for one) still holds.
        auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        if (object_new == nullptr) return nullptr;
        PyRef no_arguments = new_tuple(0);
        if (!no_arguments) return nullptr;
        PyObject* self = into_python([&] { return object_new(cls, no_arguments.get(), nullptr); });
        if (self == nullptr) return nullptr;
        // The record is made when the store first records something.
        as_store(self)->store_record = nullptr;
        as_store(self)->in_use = false;
        return self;
    });
}

// Records whose destruction was put off because this thread was already
// destroying one. A store can hold the only reference to another store, and
// that one to a third: destroying them one inside the other would take a
// stack frame per link, and a long chain overflows the stack. The outermost
// destruction destroys them one after the other instead. (Instances of
// Python subclasses are also protected by CPython's own deallocator; plain
// LineageStoreBase instances are not, and the limited API has no trashcan.)
thread_local std::vector<StoreRecord*> records_to_destroy;
thread_local bool destroying_records = false;

void destroy_record(StoreRecord* store_record) {
    if (store_record == nullptr) return;
    if (destroying_records) {
        try {
            records_to_destroy.push_back(store_record);
            return;
        } catch (const std::bad_alloc&) {
            delete store_record;  // no memory to put it off: destroyed in place, as a nested release
            return;
        }
    }
    destroying_records = true;
    struct Done {
        ~Done() { destroying_records = false; }
    } done;
    delete store_record;
    while (!records_to_destroy.empty()) {
        StoreRecord* next = records_to_destroy.back();
        records_to_destroy.pop_back();
        delete next;
    }
}

void store_dealloc(PyObject* self) {
    // Detached first, so that a finaliser run by the release finds the object
    // empty.
    free_instance(self, [&] { destroy_record(std::exchange(as_store(self)->store_record, nullptr)); });
}

int store_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    const StoreRecord* store_record = as_store(self)->store_record;
    if (store_record == nullptr) return 0;
    Py_VISIT(store_record->cls.get());
    const CallGraph& graph = store_record->graph;
    for (std::size_t position = 0; position < graph.size(); ++position) {
        const CallGraph::Node& node = graph.node(static_cast<NodePosition>(position));
        if (const PyRef* value = node.stored_value()) Py_VISIT(value->get());
        if (const BoundCallRef* call = node.call_value()) {
            if (const int visited = (*call)->traverse(visit, arg)) return visited;
        }
    }
    return 0;
}

int store_clear(PyObject* self) {
    return guarded(0, [&] {
        StoreObject* store = as_store(self);
        // A store in use is in use further up some call chain and so cannot be
        // garbage; leave it alone rather than change tables under their reader.
        if (store->store_record == nullptr || store->in_use) return 0;
        // Moved out first and released afterwards, so that a finaliser run by
        // the release finds the store empty and consistent; released like a
        // deallocated store's record, so that a long chain of stores caught in
        // a cycle is released without deep recursion.
        destroy_record(std::exchange(store->store_record, nullptr));
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Pickling and copying
//
// An instance pickles and copies as a plain object of its class would: its
// class and its __dict__ and __slots__ state. The store is not part of it; the
// copy is made by LineageStoreBase.__new__ and so starts with an empty store.

// Without __getnewargs__, object's reduction refuses any instance whose type
// is larger than object plus __dict__ and slots, which ours always is.
PyObject* store_getnewargs(PyObject*, PyObject*) {
    return python_boundary([] { return new_tuple(0).release(); });
}

// Protocols 0 and 1 would take copyreg's older path, which calls the nearest
// native base on the instance and pickles what it returns: a bare store, which
// cannot be pickled. The protocol 2 reduction (copyreg.__newobj__ with the
// class, plus the state) loads under every protocol, so ask object for that.
PyObject* store_reduce_ex(PyObject* self, PyObject* protocol) {
    return python_boundary([&]() -> PyObject* {
        // __index__ of the protocol may be Python code.
        const long requested = into_python([&] { return PyLong_AsLong(protocol); });
        if (requested == -1 && PyErr_Occurred()) return nullptr;
        auto* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        PyRef object_reduce_ex =
            PyRef::steal(into_python([&] { return PyObject_GetAttrString(object_type, "__reduce_ex__"); }));
        if (!object_reduce_ex) return nullptr;
        PyRef effective = requested >= 2 ? PyRef::borrow(protocol) : PyRef::steal(PyLong_FromLong(2));
        if (!effective) return nullptr;
        // copyreg, and a subclass's __reduce__ or __getstate__, are Python code.
        return into_python(
            [&] { return PyObject_CallFunctionObjArgs(object_reduce_ex.get(), self, effective.get(), nullptr); });
    });
}

// clang-format off
const PyMethodDef pickling_methods[] = {
    {"__getnewargs__", store_getnewargs, METH_NOARGS, "__getnewargs__($self, /)\n--\n\n"},
    {"__reduce_ex__", store_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
};
// clang-format on

// The method table: the queries first, then the pickling hooks, the views,
// and dump and load. Static: the type refers to it for the rest of the
// process. May throw std::bad_alloc.
const PyMethodDef* store_methods() {
    static const std::vector<PyMethodDef> methods = [] {
        std::vector<PyMethodDef> all;
        const auto queries = store_query_methods();
        const auto views = store_view_methods();
        const auto persistence = cache_persistence_methods();
        all.assign(queries.begin(), queries.end());
        all.insert(all.end(), std::begin(pickling_methods), std::end(pickling_methods));
        all.insert(all.end(), views.begin(), views.end());
        all.insert(all.end(), persistence.begin(), persistence.end());
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return methods.data();
}

PyTypeObject* created_store_type = nullptr;

}  // namespace

PyTypeObject* create_lineage_store_base_type() {
    PyObject* created = python_boundary([&]() -> PyObject* {
        // clang-format off
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(store_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
            {Py_tp_methods, const_cast<PyMethodDef*>(store_methods())},
            {Py_tp_doc, const_cast<char*>("LineageStoreBase(*_args, **_kwargs)\n--\n\n")},
            {0, nullptr},
        };
        // clang-format on
        PyType_Spec spec = {
            "builtins.LineageStoreBase",
            static_cast<int>(sizeof(StoreObject)),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
            slots,
        };
        return reinterpret_cast<PyObject*>(type_made_once(created_store_type, spec));
    });
    return reinterpret_cast<PyTypeObject*>(created);
}

PyTypeObject* lineage_store_base_type() noexcept {
    if (created_store_type == nullptr) PyErr_SetString(PyExc_SystemError, "LineageStoreBase has not been created yet");
    return created_store_type;
}

}  // namespace lineage_store
