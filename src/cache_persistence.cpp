#include "cache_persistence.h"

#include <algorithm>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "decorator.h"
#include "lineage_store_base.h"
#include "py_introspection_utils.h"
#include "python_boundary.h"

namespace lineage_store {

namespace {

bool is_dunder(std::string_view name) noexcept { return name.size() >= 2 && name.substr(0, 2) == "__"; }

// The instance type's method resolution order, or nullptr with
// PanicException set.
PyRef method_resolution_order(PyObject* self) {
    PyRef mro = PyRef::steal(
        into_python([&] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"); }));
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

PyRef class_dict(PyObject* cls) {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "__mro__ entry is not a type");
        return {};
    }
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(cls, "__dict__"); }));
}

std::mt19937_64& shuffle_generator() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seeds{device(), device(), device(), device()};
        return std::mt19937_64(seeds);
    }();
    return generator;
}

// The names whose first definition along the MRO is a serialisable decorated
// method, most derived class first and in random order within a class.
bool serialisable_method_names(PyObject* self, std::vector<PyRef>& selected) {
    PyRef mro = method_resolution_order(self);
    if (!mro) return false;
    std::unordered_set<std::string> decided;
    Py_ssize_t classes = PyTuple_Size(mro.get());
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyRef dict = class_dict(PyTuple_GetItem(mro.get(), c));
        if (!dict) return false;
        PyRef items_view = PyRef::steal(into_python([&] { return PyObject_CallMethod(dict.get(), "items", nullptr); }));
        if (!items_view) return false;
        PyRef items_list = PyRef::steal(PySequence_List(items_view.get()));
        if (!items_list) return false;
        std::vector<PyRef> items;
        Py_ssize_t count = PyList_Size(items_list.get());
        items.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(count, 0)));
        for (Py_ssize_t i = 0; i < count; ++i) items.push_back(PyRef::borrow(PyList_GetItem(items_list.get(), i)));
        std::shuffle(items.begin(), items.end(), shuffle_generator());
        for (const PyRef& item : items) {
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
            std::string_view text;
            if (!utf8_view(name, text)) return false;
            if (is_dunder(text) || !decided.emplace(text).second) continue;
            if (is_serialisable_decorator(PyTuple_GetItem(item.get(), 1))) selected.push_back(PyRef::borrow(name));
        }
    }
    return true;
}

PyObject* dump_cache(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        std::vector<PyRef> names;
        if (!serialisable_method_names(self, names)) return nullptr;
        PyRef result = PyRef::steal(PyDict_New());
        if (!result) return nullptr;
        for (const PyRef& name : names) {
            PyRef method = PyRef::steal(into_python([&] { return PyObject_GetAttr(self, name.get()); }));
            if (!method) return nullptr;
            PyRef value = PyRef::steal(into_python([&] { return PyObject_CallNoArgs(method.get()); }));
            if (!value) return nullptr;
            if (into_python([&] { return PyDict_SetItem(result.get(), name.get(), value.get()); }) < 0) return nullptr;
        }
        return result.release();
    });
}

// The first definition of `name` along the MRO: 1 with `out` set, 0 when no
// class defines it, -1 with an exception set.
int first_definition(PyObject* mro, PyObject* name, PyRef& out) {
    Py_ssize_t classes = PyTuple_Size(mro);
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyRef dict = class_dict(PyTuple_GetItem(mro, c));
        if (!dict) return -1;
        out = PyRef::steal(PyObject_GetItem(dict.get(), name));
        if (out) return 1;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

// load_cache reads data that users keep in files and move between machines,
// so a key is only looked up and called when it names a serialisable
// decorated method, by the same rule dump_cache uses to write it.
bool check_loadable_name(PyObject* self, PyObject* name) {
    std::string_view text;
    if (!utf8_view(name, text)) return false;
    PyRef mro = method_resolution_order(self);
    if (!mro) return false;
    PyRef definition;
    int defined = first_definition(mro.get(), name, definition);
    if (defined < 0) return false;
    if (defined == 0) {
        // Not defined by the class; an instance attribute of that name is
        // still something else than a serialisable method.
        PyRef instance_dict = PyRef::steal(into_python([&] { return PyObject_GetAttrString(self, "__dict__"); }));
        if (!instance_dict) PyErr_Clear();
        int in_instance = instance_dict ? PySequence_Contains(instance_dict.get(), name) : 0;
        if (in_instance < 0) return false;
        if (!in_instance) {
            PyRef type_name = type_name_of(self);
            if (type_name) {
                PyErr_Format(PyExc_AttributeError, "'%S' object has no attribute '%U'", type_name.get(), name);
            }
            return false;
        }
    } else if (!is_dunder(text) && is_serialisable_decorator(definition.get())) {
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "load_cache() refuses key '%U': it does not name a serialisable lineage-stored method", name);
    return false;
}

// The calls that one load_cache call has stored so far.
using LoadedCalls = std::unordered_set<CallHash>;

// Stores one loaded value under the no-argument call of `name`, the way a
// manual update does: what was computed from the call's old value becomes
// invalid, then the call is valid with the loaded value. Two exceptions keep
// a dump whole in any order of its keys: calls this load has already stored
// stay valid (a dump agrees with itself), and loading the very object that a
// valid call holds changes nothing.
bool store_loaded_value(PyObject* self, PyObject* name, PyObject* value, LoadedCalls& loaded) {
    NormalisedCall call;
    if (!normalise_function_signature_and_hash(name, nullptr, nullptr, nullptr, call)) {
        PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
        // The only way to take the raised exception that the oldest stable ABI
        // we build for offers; newer headers mark it deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Fetch(&type, &error, &traceback);
        PyErr_NormalizeException(&type, &error, &traceback);
#pragma GCC diagnostic pop
        PyRef held_type = PyRef::steal(type), held_error = PyRef::steal(error), held_tb = PyRef::steal(traceback);
        PyRef error_type_name = held_error ? type_name_of(held_error.get()) : PyRef();
        if (!error_type_name) return false;
        PyErr_Format(PyExc_ValueError, "Failed to hash '%U': %S: %S", name, error_type_name.get(), held_error.get());
        return false;
    }
    PyRef replaced;  // released after the borrow: its finaliser may use this store
    StoreBorrow borrow = StoreBorrow::take(as_store(self), BorrowMode::Exclusive);
    if (!borrow) {
        raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        return false;
    }
    StoreRecord& record = borrow.record();
    RegisteredCall registered;
    bool holds_it_already = find_registered_call(record, call.hash, registered) &&
                            registered.state == ValidationState::Valid && registered.value == value;
    if (!holds_it_already) {
        CallGraph& graph = record.dependency_graph;
        graph.temporarily_invalidate(call.hash, [&](CallHash reached) { return loaded.contains(reached); });
        replaced = store_value(record, call.hash, PyRef::borrow(value));
        graph.validate(call.hash);
    }
    loaded.insert(call.hash);
    return true;
}

PyObject* load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"data"};
        PyObject* bound[1];
        if (!bind_arguments("load_cache", args, kwargs, names, bound, 1)) return nullptr;
        PyObject* data = bound[0];
        if (!PyDict_Check(data)) {
            PyRef type_name = type_name_of(data);
            if (type_name) PyErr_Format(PyExc_TypeError, "load_cache() argument 'data' must be dict, not %S", type_name.get());
            return nullptr;
        }
        PyRef held_data = PyRef::borrow(data);
        LoadedCalls loaded;
        const Py_ssize_t size_at_start = PyDict_Size(data);
        Py_ssize_t still_expected = size_at_start;
        Py_ssize_t position = 0;
        for (;;) {
            if (PyDict_Size(data) != size_at_start) return raise_panic("dictionary changed size during iteration");
            PyObject* borrowed_key = nullptr;
            PyObject* borrowed_value = nullptr;
            if (!PyDict_Next(data, &position, &borrowed_key, &borrowed_value)) break;
            if (still_expected-- == 0) return raise_panic("dictionary keys changed during iteration");
            PyRef key = PyRef::borrow(borrowed_key);
            PyRef value = PyRef::borrow(borrowed_value);
            if (!PyUnicode_Check(key.get())) {
                PyRef type_name = type_name_of(key.get());
                if (type_name) PyErr_Format(PyExc_TypeError, "load_cache() keys must be str, not %S", type_name.get());
                return nullptr;
            }
            if (!check_loadable_name(self, key.get())) return nullptr;
            PyRef method = PyRef::steal(into_python([&] { return PyObject_GetAttr(self, key.get()); }));
            if (!method) return nullptr;
            PyRef computed = PyRef::steal(into_python([&] { return PyObject_CallNoArgs(method.get()); }));
            if (!computed) return nullptr;
            PyRef name = exact_str(key.get(), "key");
            if (!name || !store_loaded_value(self, name.get(), value.get(), loaded)) return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

// clang-format off
const PyMethodDef persistence_methods[] = {
    {"dump_cache", dump_cache, METH_NOARGS, "dump_cache($self)\n--\n\n"},
    {"load_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_cache)),
     METH_VARARGS | METH_KEYWORDS, "load_cache($self, data)\n--\n\n"},
};
// clang-format on

}  // namespace

std::span<const PyMethodDef> cache_persistence_methods() noexcept { return persistence_methods; }

}  // namespace lineage_store
