// class_change.cpp: the calls of methods a new class does not have,
// invalidated when a store follows its instance to that class.
#include "store/class_change.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "store/class_methods.h"

namespace lineage_store {

bool follow_class(StoreObject* store) {
    // A store in use (a view being built further up, whose hashing runs the
    // code that asks) follows at its next use.
    if (store->in_use) return true;
    PyTypeObject* cls = Py_TYPE(store);
    const PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(cls));
    // The name objects of the decorators the class has: each decorator's
    // calls hold its own, so they tell whose calls a node's are. Held, and
    // read with no section open: reading the class may run Python code.
    ReleasingVector<PyRef> held_names;
    std::vector<PyObject*> names;  // compared by address
    {
        ClassMethodsUse methods = class_methods(cls);
        if (!methods) return false;
        for (const ClassMethods::Method& method : methods->methods()) {
            held_names.push_back(PyRef::borrow(method.method_name));
            names.push_back(method.method_name);
        }
    }
    std::sort(names.begin(), names.end());
    PyRef replaced;  // released after the section: the class it names may go with it
    {
        StoreSection section =
            StoreSection::open(store, Access::Write, {"it followed its instance to another class"}, false);
        if (!section.opened()) return false;
        StoreRecord* store_record = section.store_record();
        // Code run above may have made the store follow already.
        if (store_record == nullptr || store_record->cls.get() == held_class.get()) return true;
        CallGraph& graph = store_record->graph;
        for (std::size_t at = 0; at < graph.size(); ++at) {
            const auto position = static_cast<NodePosition>(at);
            const CallGraph::Node& node = graph.node(position);
            if (!node.is_registered()) continue;
            PyObject* name = (*node.call_value())->method_name();
            if (!std::binary_search(names.begin(), names.end(), name)) graph.temporarily_invalidate_from(position);
        }
        replaced = std::exchange(store_record->cls, PyRef::borrow(held_class.get()));
    }
    return true;
}

}  // namespace lineage_store
