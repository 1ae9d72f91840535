// class_attributes.cpp: walking a class's method resolution order.
#include "store/class_attributes.h"

#include <algorithm>
#include <cstdint>
#include <random>

#include "python/python_boundary.h"
#include "store/decorator_record.h"

namespace lineage_store {

namespace {

std::mt19937_64& shuffle_generator() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seeds{device(), device(), device(), device()};
        return std::mt19937_64(seeds);
    }();
    return generator;
}

// The type's method resolution order, or empty with PanicException set.
PyRef method_resolution_order(PyTypeObject* cls) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    PyRef mro = PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__mro__"); }));
    if (!mro) {
        PyErr_Clear();
        raise_panic("Cannot get `__mro__` from object.");
        return {};
    }
    if (!PyTuple_Check(mro.get())) {
        raise_panic("Unexpected type in `__mro__` attribute. Expected a tuple.");
        return {};
    }
    return mro;
}

// The items of one class's dict, as a list read in full.
PyRef class_dict_items(PyObject* klass) {
    if (!PyType_Check(klass)) {
        PyErr_SetString(PyExc_TypeError, "__mro__ entry is not a type");
        return {};
    }
    PyRef dict = PyRef::steal(into_python([&] { return PyObject_GetAttrString(klass, "__dict__"); }));
    if (!dict) return {};
    PyRef view = PyRef::steal(into_python([&] { return PyObject_CallMethod(dict.get(), "items", nullptr); }));
    if (!view) return {};
    return PyRef::steal(into_python([&] { return PySequence_List(view.get()); }));
}

}  // namespace

namespace {

// A uniform draw from [0, range), for 0 < range < 2^32: the high half of a
// 32-bit draw times `range`, with the few draws whose low half would favour
// some results drawn again (Lemire's method). No division but for the
// threshold, met only when the low half is below `range`.
std::uint32_t draw_below(std::mt19937_64& generator, std::uint32_t range) {
    std::uint64_t product = (generator() >> 32) * range;
    auto low = static_cast<std::uint32_t>(product);
    if (low < range) {
        const std::uint32_t threshold = static_cast<std::uint32_t>(-range) % range;
        while (low < threshold) {
            product = (generator() >> 32) * range;
            low = static_cast<std::uint32_t>(product);
        }
    }
    return static_cast<std::uint32_t>(product >> 32);
}

}  // namespace

void shuffle(ReleasingVector<ClassAttribute>& out, std::size_t begin, std::size_t end) {
    std::mt19937_64& generator = shuffle_generator();
    if (end - begin > UINT32_MAX) {
        std::shuffle(out.begin() + static_cast<std::ptrdiff_t>(begin), out.begin() + static_cast<std::ptrdiff_t>(end),
                     generator);
        return;
    }
    // Fisher-Yates: each place from the last down takes one of the items
    // not yet placed, itself included.
    for (std::size_t left = end - begin; left > 1; --left) {
        const std::size_t chosen = begin + draw_below(generator, static_cast<std::uint32_t>(left));
        std::swap(out[begin + left - 1], out[chosen]);
    }
}

namespace {

// The type of a class's __dict__ as the interpreter makes it (a read-only
// proxy of the class's own dict). Borrowed, kept for the process; null with
// an exception set.
PyTypeObject* class_dict_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        auto* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        PyRef sample = PyRef::steal(into_python([&] { return PyObject_GetAttrString(object_type, "__dict__"); }));
        if (!sample) return nullptr;
        type = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(sample.get()))));
    }
    return type;
}

// serialisable_methods by way of class_attributes, for a class whose
// __dict__ a metaclass makes something else than the interpreter's proxy.
bool serialisable_methods_from_items(PyTypeObject* cls, ReleasingVector<ClassAttribute>& out) {
    ReleasingVector<ClassAttribute> attributes;
    if (!class_attributes(cls, attributes)) return false;
    for (ClassAttribute& attribute : attributes) {
        const DecoratorRecord* decorator_record = decorator_record_of(attribute.value.get());
        if (decorator_record == nullptr || !decorator_record->options.serialisable || is_dunder(attribute.name.get()))
            continue;
        out.push_back(std::move(attribute));
    }
    return true;
}

}  // namespace

PyObject* mro_class(PyObject* mro, Py_ssize_t index) {
    PyObject* klass = PyTuple_GetItem(mro, index);
    if (klass != nullptr && !PyType_Check(klass)) {
        PyErr_SetString(PyExc_TypeError, "__mro__ entry is not a type");
        return nullptr;
    }
    return klass;
}

bool serialisable_methods(PyTypeObject* cls, ReleasingVector<ClassAttribute>& out,
                          std::vector<std::size_t>* class_ends) {
    PyRef mro = method_resolution_order(cls);
    if (!mro) return false;
    PyTypeObject* proxy_type = class_dict_type();
    if (proxy_type == nullptr) return false;
    ReleasingVector<PyRef> dicts;  // of the classes walked so far, for "first definition"
    const Py_ssize_t classes = PyTuple_Size(mro.get());
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyObject* klass = mro_class(mro.get(), c);
        if (klass == nullptr) return false;
        PyRef dict = PyRef::steal(into_python([&] { return PyObject_GetAttrString(klass, "__dict__"); }));
        if (!dict) return false;
        if (!Py_IS_TYPE(dict.get(), proxy_type)) {
            // Read as attribute lookup reads it, whatever the metaclass made.
            out.release_all();
            if (class_ends != nullptr) class_ends->assign(1, 0);
            if (!serialisable_methods_from_items(cls, out)) return false;
            if (class_ends != nullptr) class_ends->back() = out.size();
            return true;
        }
        // A dict's keys and values come in the same order: walked side by
        // side, with no (name, value) tuple made for each entry.
        PyRef keys = PyRef::steal(into_python([&] { return PyObject_CallMethod(dict.get(), "keys", nullptr); }));
        PyRef values = PyRef::steal(into_python([&] { return PyObject_CallMethod(dict.get(), "values", nullptr); }));
        if (!keys || !values) return false;
        PyRef key_iterator = PyRef::steal(into_python([&] { return PyObject_GetIter(keys.get()); }));
        PyRef value_iterator = PyRef::steal(into_python([&] { return PyObject_GetIter(values.get()); }));
        if (!key_iterator || !value_iterator) return false;
        for (;;) {
            PyRef name = PyRef::steal(into_python([&] { return PyIter_Next(key_iterator.get()); }));
            PyRef value = PyRef::steal(into_python([&] { return PyIter_Next(value_iterator.get()); }));
            if (!name || !value) break;
            const DecoratorRecord* decorator_record = decorator_record_of(value.get());
            if (decorator_record == nullptr || !PyUnicode_Check(name.get())) continue;
            if (!decorator_record->options.serialisable || is_dunder(name.get())) continue;
            bool hidden = false;
            for (const PyRef& earlier : dicts) {
                const int defined = into_python([&] { return PySequence_Contains(earlier.get(), name.get()); });
                if (defined < 0) return false;
                hidden = hidden || defined > 0;
            }
            if (!hidden) out.push_back({std::move(name), std::move(value)});
        }
        if (PyErr_Occurred()) return false;
        if (class_ends != nullptr) class_ends->push_back(out.size());
        dicts.push_back(std::move(dict));
    }
    return true;
}

bool is_dunder(PyObject* name) noexcept {
    std::string_view text;
    if (!utf8_view(name, text)) {
        PyErr_Clear();
        return false;
    }
    return text.size() >= 2 && text.substr(0, 2) == "__";
}

bool class_attributes(PyTypeObject* cls, ReleasingVector<ClassAttribute>& out) {
    PyRef mro = method_resolution_order(cls);
    if (!mro) return false;
    // The names decided so far: a set of str, whose lookups run no Python
    // code for exact str (a class dict's keys almost always are).
    PyRef decided = new_set();
    if (!decided) return false;
    const Py_ssize_t classes = PyTuple_Size(mro.get());
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyRef items = class_dict_items(PyTuple_GetItem(mro.get(), c));
        if (!items) return false;
        const Py_ssize_t count = PyList_Size(items.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyRef item = PyRef::borrow(PyList_GetItem(items.get(), i));
            if (!PyTuple_Check(item.get())) {
                PyErr_SetString(PyExc_TypeError, "class __dict__ item is not a tuple");
                return false;
            }
            if (PyTuple_Size(item.get()) != 2) {
                PyErr_SetString(PyExc_ValueError, "class __dict__ item is not a (name, value) pair");
                return false;
            }
            PyObject* name = PyTuple_GetItem(item.get(), 0);
            if (!PyUnicode_Check(name)) {
                PyErr_SetString(PyExc_TypeError, "class __dict__ key is not a str");
                return false;
            }
            const int seen = into_python([&] { return PySet_Contains(decided.get(), name); });
            if (seen < 0) return false;
            if (seen) continue;
            if (into_python([&] { return PySet_Add(decided.get(), name); }) < 0) return false;
            out.push_back({PyRef::borrow(name), PyRef::borrow(PyTuple_GetItem(item.get(), 1))});
        }
    }
    return true;
}

}  // namespace lineage_store
