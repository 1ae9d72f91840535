// cache_persistence.cpp: dumping the values of serialisable methods, and
// loading them back.
#include "store/cache_persistence.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "call/reference_binding.h"
#include "call/tuple_hash.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/call_lookup.h"
#include "store/class_attributes.h"
#include "store/class_change.h"
#include "store/decorator_record.h"

namespace lineage_store {

namespace {

// Calls the method `name` of `self`, found in the class as `decorator`, with
// no arguments. Where the class looks attributes up the ordinary way, the
// decorator (a data descriptor, so never shadowed by the instance's dict) is
// what getattr would make a bound method of, and it is called directly;
// otherwise through getattr, whatever the class makes of it. `called`, when given, is set to
// the decorator whose call that was, or left empty when getattr gave
// anything but a decorated method bound to an instance.
PyRef call_method(PyObject* self, PyObject* name, PyObject* decorator, PyRef* called = nullptr) {
    auto getattro = reinterpret_cast<getattrofunc>(PyType_GetSlot(Py_TYPE(self), Py_tp_getattro));
    if (decorator != nullptr && getattro == PyObject_GenericGetAttr) {
        if (called != nullptr) *called = PyRef::borrow(decorator);
        return PyRef::steal(into_python([&] {
            return shortcuts.vectorcall_dict != nullptr ? shortcuts.vectorcall_dict(decorator, &self, 1, nullptr)
                                                        : PyObject_CallFunctionObjArgs(decorator, self, nullptr);
        }));
    }
    PyRef method = PyRef::steal(into_python([&] { return PyObject_GetAttr(self, name); }));
    if (!method) return {};
    if (called != nullptr && shortcuts.method_type != nullptr &&
        Py_IS_TYPE(method.get(), reinterpret_cast<PyTypeObject*>(shortcuts.method_type))) {
        PyRef func = PyRef::steal(into_python([&] { return PyObject_GetAttrString(method.get(), "__func__"); }));
        if (!func) return {};
        if (decorator_record_of(func.get()) != nullptr) *called = std::move(func);
    }
    return PyRef::steal(into_python([&] { return PyObject_CallNoArgs(method.get()); }));
}

PyObject* dump_cache(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        if (!store_follows_class_now(as_store(self))) return nullptr;
        ReleasingVector<ClassAttribute> methods;
        std::vector<std::size_t> class_ends;
        if (!serialisable_methods(Py_TYPE(self), methods, &class_ends)) return nullptr;
        // Class by class, most derived first; within a class in an order
        // drawn afresh at every dump, so that nothing comes to rely on one.
        std::size_t begin = 0;
        for (std::size_t end : class_ends) {
            shuffle(methods, begin, end);
            begin = end;
        }
        PyRef result = new_dict();
        if (!result) return nullptr;
        for (const ClassAttribute& method : methods) {
            PyRef value = call_method(self, method.name.get(), method.value.get());
            if (!value) return nullptr;
            if (into_python([&] { return PyDict_SetItem(result.get(), method.name.get(), value.get()); }) < 0) {
                return nullptr;
            }
        }
        return result.release();
    });
}

// The serialisable decorated methods an instance of `cls` sees, by name: a
// dict from each name to its decorator. Names that begin with "__" are never
// dumped, so never loaded either.
PyRef serialisable_methods_by_name(PyTypeObject* cls) {
    ReleasingVector<ClassAttribute> methods;
    if (!serialisable_methods(cls, methods)) return {};
    PyRef by_name = new_dict();
    if (!by_name) return {};
    for (const ClassAttribute& method : methods) {
        if (into_python([&] { return PyDict_SetItem(by_name.get(), method.name.get(), method.value.get()); }) < 0) {
            return {};
        }
    }
    return by_name;
}

// Whether `name` is an attribute of the instance: defined by a class along
// its MRO or in its own dict. Nothing is looked up through descriptors.
// 1, 0, or -1 with an exception set.
int is_defined(PyObject* self, PyObject* name) {
    ReleasingVector<ClassAttribute> attributes;
    if (!class_attributes(Py_TYPE(self), attributes)) return -1;
    for (const ClassAttribute& attribute : attributes) {
        if (PyUnicode_Compare(attribute.name.get(), name) == 0) return 1;
    }
    PyRef instance_dict = PyRef::steal(into_python([&] { return PyObject_GetAttrString(self, "__dict__"); }));
    if (!instance_dict) {
        PyErr_Clear();
        return 0;
    }
    return into_python([&] { return PySequence_Contains(instance_dict.get(), name); });
}

// load_cache reads data that users keep in files and move between machines,
// so a key is only called when it names a serialisable decorated method, by
// the same rule dump_cache uses to write it; nothing else is called, looked
// up through descriptors, or run. The decorator, borrowed from `methods`, or
// null with an exception set.
PyObject* loadable_method(PyObject* self, PyObject* methods, PyObject* name) {
    // An exact str key of our own: the lookup runs no Python code.
    PyObject* decorator = PyDict_GetItemWithError(methods, name);
    if (decorator != nullptr || PyErr_Occurred()) return decorator;
    const int defined = is_defined(self, name);
    if (defined < 0) return nullptr;
    if (!defined) {
        PyRef type_name = type_name_of(self);
        if (type_name) {
            into_python([&] {
                return PyErr_Format(PyExc_AttributeError, "'%S' object has no attribute '%U'", type_name.get(), name);
            });
        }
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError,
                 "load_cache() refuses key '%U': it does not name a serialisable lineage-stored method", name);
    return nullptr;
}

// ValueError "Failed to hash '{name}': {type}: {message}" in place of the
// exception raised by hashing.
void report_hash_failure(PyObject* name) {
    TakenException raised = TakenException::take();
    PyRef error_type_name = raised.value ? type_name_of(raised.value.get()) : PyRef();
    if (!error_type_name) return;
    into_python([&] {
        return PyErr_Format(PyExc_ValueError, "Failed to hash '%U': %S: %S", name, error_type_name.get(),
                            raised.value.get());
    });
}

// Stores one loaded value of the key `name` for the call of `method_name`
// without arguments, the way a manual update does: what was computed from
// the call's old value becomes invalid, then the call is valid with the
// loaded value. Two exceptions keep a dump whole in any order of its keys:
// calls this load has already stored stay valid (a dump agrees with itself),
// and loading the very object that a valid call holds changes nothing.
bool store_loaded_value(PyObject* self, PyObject* name, PyObject* method_name, PyObject* value,
                        std::unordered_set<NodePosition>& loaded) {
    if (!store_follows_class_now(as_store(self))) return false;
    const Py_hash_t hash = hash_of_call_without_arguments(method_name);
    if (hash == -1) {
        report_hash_failure(name);
        return false;
    }
    BoundCall* made = BoundCall::make(method_name, 0);
    if (made == nullptr) return false;
    const BoundCallRef call = BoundCallRef::adopt(made);
    BoundCallKey key(hash, call);
    PyRef replaced;  // released after the section: its finaliser may use this store
    return with_call_node(as_store(self), Access::Write, {"load_cache() stored a value in it"}, key,
                          [&](StoreRecord* store_record, NodePosition position) {
                              CallGraph& graph = store_record->graph;
                              if (position == kNoNode) position = add_unregistered_node(*store_record, hash, call);
                              const bool holds_it_already = graph.state_at(position) == ValidationState::Valid &&
                                                            valid_value(graph, position) == value;
                              if (!holds_it_already) {
                                  replaced = set_by_hand(graph, position, value, [&](NodePosition reached) {
                                      return loaded.contains(reached);
                                  });
                              }
                              loaded.insert(position);
                              return true;
                          });
}

PyObject* load_cache(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"data"};
        PyObject* bound[1];
        if (!bind_arguments("load_cache", args, kwargs, names, bound, 1)) return nullptr;
        PyObject* data = bound[0];
        if (!PyDict_Check(data)) {
            PyRef type_name = type_name_of(data);
            if (type_name) {
                into_python([&] {
                    return PyErr_Format(PyExc_TypeError, "load_cache() argument 'data' must be dict, not %S",
                                        type_name.get());
                });
            }
            return nullptr;
        }
        PyRef held_data = PyRef::borrow(data);
        PyRef methods;  // read once, when the first key needs it
        std::unordered_set<NodePosition> loaded;
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
                if (type_name) {
                    into_python([&] {
                        return PyErr_Format(PyExc_TypeError, "load_cache() keys must be str, not %S", type_name.get());
                    });
                }
                return nullptr;
            }
            // The key's text alone names the method: a str subclass's own
            // __hash__ and __eq__ never decide what is loaded.
            PyRef name = exact_str(key.get(), "key");
            if (!name) return nullptr;
            if (!methods) {
                methods = serialisable_methods_by_name(Py_TYPE(self));
                if (!methods) return nullptr;
            }
            PyObject* decorator = loadable_method(self, methods.get(), name.get());
            if (decorator == nullptr) return nullptr;
            PyRef held_decorator = PyRef::borrow(decorator);
            PyRef called;
            PyRef computed = call_method(self, name.get(), decorator, &called);
            if (!computed) return nullptr;
            // Stored where the decorated call looks for it: under the name of
            // its function, which a private name, an alias or a function
            // named otherwise does not share with the key.
            const DecoratorRecord* called_record = called ? decorator_record_of(called.get()) : nullptr;
            PyObject* method_name = called_record != nullptr ? called_record->options.method_name.get() : name.get();
            if (!store_loaded_value(self, name.get(), method_name, value.get(), loaded)) return nullptr;
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
