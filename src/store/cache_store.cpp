// cache_store.cpp: the section guard of the cache store, and nodes for calls never made.
#include "store/cache_store.h"

#include <memory>

#include "python/python_boundary.h"

namespace lineage_store {

// A call costs one node, and its bound call beside it; a store that has
// recorded something, its record too, which holds its first node.
static_assert(sizeof(CallGraph::Node) == 32);
static_assert(sizeof(StoreRecord) <= 152);  // the graph, with its first computation slot

StoreSection StoreSection::refuse(StoreObject* store, Access access, const Purpose& purpose) {
    const char* refused = access == Access::Write ? "Already borrowed" : "Already mutably borrowed";
    if (PyErr_Occurred() != nullptr) return StoreSection(nullptr);
    // Where the fault was met, for whoever reads the report: the class, by
    // its __qualname__ (read with no section open), and what opened the store.
    auto* cls = reinterpret_cast<PyObject*>(Py_TYPE(store));
    PyRef class_name = PyRef::steal(into_python([&] { return PyObject_GetAttrString(cls, "__qualname__"); }));
    if (!class_name || !PyUnicode_CheckExact(class_name.get())) {
        PyErr_Clear();
        class_name = PyRef::steal(PyUnicode_FromString("?"));
    }
    PyRef message;
    if (class_name) {
        message = PyRef::steal(
            purpose.method_name != nullptr
                ? PyUnicode_FromFormat("%s: the store of a %U instance was in use by another operation when a call "
                                       "of %U() %s",
                                       refused, class_name.get(), purpose.method_name, purpose.what)
                : PyUnicode_FromFormat("%s: the store of a %U instance was in use by another operation when %s",
                                       refused, class_name.get(), purpose.what));
    }
    const char* text = message ? PyUnicode_AsUTF8AndSize(message.get(), nullptr) : nullptr;
    PyErr_Clear();
    raise_panic(text != nullptr ? text : refused);
    return StoreSection(nullptr);
}

NodePosition add_unregistered_node(StoreRecord& store_record, CallHash hash, const BoundCallRef& call) {
    return store_record.graph.add_node(hash, BoundCallRef(call));
}

}  // namespace lineage_store
