#include "usage_warnings.h"

#include <algorithm>

namespace lineage_store {

namespace {

DecoratedMethodNameReader decorated_method_name = nullptr;

bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

// 1 when a class on `cls`'s MRO has a decorated method that is `name` by its
// attribute name or by the name it registered (its function's __name__, which
// is what queries and dependencies must use), 0 when none has, -1 with an
// exception set. Class dicts only: an instance cannot hold a decorated method
// (the decorator is a data descriptor of the class).
int class_has_decorated_method(PyTypeObject* cls, PyObject* name) {
    if (decorated_method_name == nullptr) return 0;
    auto* type = reinterpret_cast<PyObject*>(cls);
    PyRef mro = PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__mro__"); }));
    if (!mro) return -1;
    if (!PyTuple_Check(mro.get())) {
        PyErr_SetString(PyExc_TypeError, "__mro__ is not a tuple");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(mro.get()); ++i) {
        PyRef klass = PyRef::borrow(PyTuple_GetItem(mro.get(), i));
        PyRef namespace_ = PyRef::steal(into_python([&] { return PyObject_GetAttrString(klass.get(), "__dict__"); }));
        if (!namespace_) return -1;
        PyRef items = PyRef::steal(into_python([&] { return PyMapping_Items(namespace_.get()); }));
        if (!items) return -1;
        for (Py_ssize_t j = 0; j < PyList_Size(items.get()); ++j) {
            PyObject* item = PyList_GetItem(items.get(), j);
            if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) continue;
            PyObject* registered = decorated_method_name(PyTuple_GetItem(item, 1));
            if (registered == nullptr) continue;
            if (same_text(registered, name) || same_text(PyTuple_GetItem(item, 0), name)) return 1;
        }
    }
    return 0;
}

PyRef class_name(PyTypeObject* cls) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__qualname__"); }));
}

}  // namespace

void recognise_decorated_methods_with(DecoratedMethodNameReader reader) noexcept { decorated_method_name = reader; }

bool warn_about_unserved_update(PyObject* instance, PyObject* method_name, PyObject* call_tuple) {
    PyTypeObject* cls = Py_TYPE(instance);
    // Held: the code run below may assign the instance another __class__.
    PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(cls));
    int known = class_has_decorated_method(cls, method_name);
    if (known < 0) return false;
    PyRef owner = class_name(cls);
    if (!owner) return false;
    if (!known) {
        return into_python([&] {
                   return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                           "update_cached_value(%R, ...): %S has no decorated method named %R, so "
                                           "the value is stored but nothing will ever read it; name the method by "
                                           "its function's __name__",
                                           method_name, owner.get(), method_name);
               }) == 0;
    }
    return into_python([&] {
               return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                       "update_cached_value(%R, ...): this %S has never made the call %R, so the "
                                       "value is stored but will not be served (the call's first computation "
                                       "replaces it); make the call first, naming every argument the call "
                                       "records, defaults included",
                                       method_name, owner.get(), call_tuple);
           }) == 0;
}

int CheckedClasses::contains(PyTypeObject* cls) {
    // Dead entries go as they are met: the list stays as short as the
    // number of live classes the decorator served.
    for (auto entry = classes_.begin(); entry != classes_.end();) {
        PyRef referent = PyRef::steal(PyObject_CallNoArgs(entry->get()));
        if (!referent) return -1;
        if (referent.get() == reinterpret_cast<PyObject*>(cls)) return 1;
        if (referent.get() == Py_None) {
            entry = classes_.erase(entry);
        } else {
            ++entry;
        }
    }
    return 0;
}

void CheckedClasses::add(PyTypeObject* cls) {
    PyRef reference = PyRef::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(cls), nullptr));
    if (!reference) {
        PyErr_Clear();
        return;
    }
    classes_.push_back(std::move(reference));
}

bool warn_about_unknown_dependencies(PyObject* instance, PyObject* method_name,
                                     std::span<const PyRef> dependency_names, CheckedClasses& checked) {
    PyTypeObject* cls = Py_TYPE(instance);
    // Held: the code run below may assign the instance another __class__.
    PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(cls));
    int seen = checked.contains(cls);
    if (seen != 0) return seen > 0;
    std::vector<PyObject*> unknown;
    for (const PyRef& name : dependency_names) {
        if (std::ranges::any_of(unknown, [&](PyObject* listed) { return same_text(listed, name.get()); })) continue;
        int known = class_has_decorated_method(cls, name.get());
        if (known < 0) return false;
        if (!known) unknown.push_back(name.get());
    }
    if (!unknown.empty()) {
        PyRef reprs = PyRef::steal(PyList_New(0));
        if (!reprs) return false;
        for (PyObject* name : unknown) {
            PyRef text = PyRef::steal(into_python([&] { return PyObject_Repr(name); }));
            if (!text || PyList_Append(reprs.get(), text.get()) < 0) return false;
        }
        PyRef separator = PyRef::steal(PyUnicode_FromString(", "));
        if (!separator) return false;
        PyRef listed = PyRef::steal(PyUnicode_Join(separator.get(), reprs.get()));
        if (!listed) return false;
        PyRef owner = class_name(cls);
        if (!owner) return false;
        int warned = into_python([&] {
            return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                    "%S.%U declares a dependency on %U, but no decorated method of %S has that "
                                    "name, so %U can never be cached and runs at every call; name each dependency "
                                    "by its function's __name__",
                                    owner.get(), method_name, listed.get(), owner.get(), method_name);
        });
        if (warned < 0) {
            // Not remembered: the next first call warns again, which keeps an
            // "error" filter failing until the declaration is fixed.
            return false;
        }
    }
    checked.add(cls);
    return true;
}

}  // namespace lineage_store
