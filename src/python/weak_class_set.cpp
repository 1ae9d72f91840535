// weak_class_set.cpp: membership by weak reference.
#include "python/weak_class_set.h"

#include <utility>

#include "python/process_objects.h"

namespace lineage_store {

WeakClassSet::~WeakClassSet() noexcept(false) {
    // Each reference is released out of the map, which is left whole.
    while (!classes_.empty()) {
        PyRef last = std::move(classes_.begin()->second);
        classes_.erase(classes_.begin());
    }
}

namespace {

// Whether `reference` still refers to `cls`: 1, 0 when its class has died, -1
// with an exception set. Calling a weak reference runs no Python code.
int refers_to(PyObject* reference, PyTypeObject* cls) {
    PyRef referent = PyRef::steal(PyObject_CallNoArgs(reference));
    if (!referent) return -1;
    return referent.get() == reinterpret_cast<PyObject*>(cls) ? 1 : 0;
}

}  // namespace

int WeakClassSet::contains(PyTypeObject* cls) {
    const auto entry = classes_.find(cls);
    if (entry == classes_.end()) return 0;
    const int live = refers_to(entry->second.get(), cls);
    if (live != 0) return live;
    // A class that died left its address to this one.
    PyRef dead = std::move(entry->second);
    classes_.erase(entry);
    return 0;
}

void WeakClassSet::add(PyTypeObject* cls) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    PyRef reference = PyRef::steal(into_python([&] { return PyWeakref_NewRef(type, nullptr); }));
    if (!reference) {
        PyErr_Clear();
        return;
    }
    sweep_if_grown();
    PyRef& entry = classes_[cls];
    PyRef replaced = std::exchange(entry, std::move(reference));  // a dead class's, released last
}

void WeakClassSet::sweep_if_grown() {
    if (classes_.size() < 2 * size_after_sweep_ + 16) return;
    for (auto entry = classes_.begin(); entry != classes_.end();) {
        const int live = refers_to(entry->second.get(), entry->first);
        if (live < 0) PyErr_Clear();  // kept, to be looked at again next time
        if (live == 0) {
            PyRef dead = std::move(entry->second);
            entry = classes_.erase(entry);
        } else {
            ++entry;
        }
    }
    size_after_sweep_ = classes_.size();
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
