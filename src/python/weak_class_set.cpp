// weak_class_set.cpp: membership by weak reference.
#include "python/weak_class_set.h"

#include "python/process_objects.h"

namespace lineage_store {

int WeakClassSet::contains(PyTypeObject* cls) {
    // Dead entries go as they are met: the set stays as small as the number
    // of live classes in it.
    for (auto entry = classes_.begin(); entry != classes_.end();) {
        // Calling a weak reference runs no Python code.
        PyRef referent = PyRef::steal(PyObject_CallNoArgs(entry->get()));
        if (!referent) return -1;
        if (referent.get() == reinterpret_cast<PyObject*>(cls)) return 1;
        if (referent.get() == Py_None) {
            PyRef dead = std::move(*entry);
            entry = classes_.erase(entry);
        } else {
            ++entry;
        }
    }
    return 0;
}

void WeakClassSet::add(PyTypeObject* cls) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    PyRef reference = PyRef::steal(into_python([&] { return PyWeakref_NewRef(type, nullptr); }));
    if (!reference) {
        PyErr_Clear();
        return;
    }
    classes_.push_back(std::move(reference));
}

namespace {

PyObject* class_died(PyObject* self, PyObject*, PyObject*) {
    *reinterpret_cast<WatchedClass::Watch*>(self)->cls = nullptr;
    return Py_NewRef(Py_None);
}

// clang-format off
PyType_Slot class_watch_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(class_died)},
    {0, nullptr},
};
// clang-format on

PyType_Spec class_watch_spec = {
    "lineage_store.ClassWatch",
    static_cast<int>(sizeof(WatchedClass::Watch)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    class_watch_slots,
};

PyTypeObject* class_watch_type() {
    static PyTypeObject* type = nullptr;
    return type_made_once(type, class_watch_spec);
}

}  // namespace

bool WatchedClass::watch(PyTypeObject* cls) {
    PyTypeObject* type = class_watch_type();
    if (type == nullptr) return false;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef watch = PyRef::steal(alloc(type, 0));  // not a collected type: no collection starts
    if (!watch) return false;
    reinterpret_cast<Watch*>(watch.get())->cls = &cls_;
    auto* referent = reinterpret_cast<PyObject*>(cls);
    PyRef weak = PyRef::steal(into_python([&] { return PyWeakref_NewRef(referent, watch.get()); }));
    if (!weak) return false;
    // The old weak reference goes first: released before its class dies,
    // its callback never runs, so it cannot clear the class set next.
    PyRef old_weak = std::exchange(weak_, std::move(weak));
    old_weak.reset();
    cls_ = cls;
    return true;
}

}  // namespace lineage_store
