// decorator_factory.cpp: the factories' options, and building a decorator
// from them.
#include "decorated/decorator_factory.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "call/reference_binding.h"
#include "call/signature_checks.h"
#include "decorated/decorator.h"
#include "decorated/dependency_declarations.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "store/usage_warnings.h"

namespace lineage_store {

namespace {

// What tells the two factories apart.
struct FactoryKind {
    const char* python_name;
    bool track_runtime_dependencies_default;
};

constexpr FactoryKind manual_kind{"lineage_stored", false};
constexpr FactoryKind automagic_kind{"automagically_lineage_stored", true};

struct FactoryRecord {
    const FactoryKind* kind;
    ReleasingVector<DeclaredDependency> dependencies;
    bool use_cache;
    bool track_runtime_dependencies;
    bool serialisable;
};

struct FactoryObject {
    PyObject_HEAD
    FactoryRecord* factory_record;
};

FactoryObject* as_factory(PyObject* self) noexcept { return reinterpret_cast<FactoryObject*>(self); }

// NumPy's boolean scalars are accepted as booleans, recognised by their type's
// name and module so that NumPy never has to be imported here.
int is_numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    PyRef module = PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__module__"); }));
    PyRef name = PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__name__"); }));
    if (!module || !name) {
        PyErr_Clear();
        return 0;
    }
    if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) return 0;
    return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

// Reads a boolean option: only bool (or a NumPy boolean) is accepted, so that
// a function passed by mistake, or 0 and 1, are refused.
bool read_bool_option(const FactoryKind& kind, const char* option, PyObject* value, bool fallback, bool& out) {
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    if (PyBool_Check(value) || is_numpy_bool(value)) {
        const int truth = into_python([&] { return PyObject_IsTrue(value); });
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyRef type_name = type_name_of(value);
    if (!type_name) return false;
    // The decorator written without parentheses hands the function over as
    // the first option.
    const bool decorated_bare = std::string_view(option) == "use_cache" && PyCallable_Check(value);
    into_python([&] {
        return PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %S%s", kind.python_name, option,
                            type_name.get(),
                            decorated_bare ? " (write the decorator with parentheses: @lineage_stored() or "
                                             "@automagically_lineage_stored())"
                                           : "");
    });
    return false;
}

PyObject* factory_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs, const FactoryKind& kind) {
    static const char* const names[] = {"use_cache", "dependencies", "track_runtime_dependencies", "serialisable"};
    PyObject* bound[4];
    if (!bind_arguments(kind.python_name, args, kwargs, names, bound, 0)) return nullptr;
    auto factory_record = std::make_unique<FactoryRecord>();
    factory_record->kind = &kind;
    // Every boolean is checked before dependencies is looked at.
    if (!read_bool_option(kind, "use_cache", bound[0], true, factory_record->use_cache) ||
        !read_bool_option(kind, "track_runtime_dependencies", bound[2], kind.track_runtime_dependencies_default,
                          factory_record->track_runtime_dependencies) ||
        !read_bool_option(kind, "serialisable", bound[3], false, factory_record->serialisable)) {
        return nullptr;
    }
    if (bound[1] != nullptr && bound[1] != Py_None && !parse_dependencies(bound[1], factory_record->dependencies)) {
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* self = into_python([&] { return alloc(cls, 0); });
    if (self == nullptr) return nullptr;
    as_factory(self)->factory_record = factory_record.release();
    return self;
}

PyObject* manual_factory_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] { return factory_new(cls, args, kwargs, manual_kind); });
}

PyObject* automagic_factory_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] { return factory_new(cls, args, kwargs, automagic_kind); });
}

// Functions whose call makes a generator or an async generator cannot be
// cached: that object can be iterated only once, so a stored one would come
// back exhausted. A coroutine function is cached by its awaited result: its
// calls return coroutines of their own (async_call). inspect tells them apart
// (it also sees through functools.partial and marked coroutine functions);
// any other callable passes.
struct OneShotKind {
    const char* inspect_test;
    const char* what;
    const char* advice;
};

constexpr OneShotKind one_shot_kinds[] = {
    {"isgeneratorfunction", "a generator function",
     "a generator can be iterated only once, so a stored one would be served exhausted; return a list or tuple"},
    {"isasyncgenfunction", "an async generator function",
     "an async generator can be iterated only once, so a stored one would be served exhausted; cache a plain "
     "method"},
};

// 1 when inspect's `test` holds for func, 0 when not, -1 with an exception set.
int inspect_says(PyObject* inspect, const char* test, PyObject* func) {
    PyRef verdict = PyRef::steal(into_python([&] { return PyObject_CallMethod(inspect, test, "O", func); }));
    if (!verdict) return -1;
    return into_python([&] { return PyObject_IsTrue(verdict.get()); });
}

// Refuses what cannot be cached, and tells a coroutine function, which is
// cached by its awaited result, but never dumped: dump_cache and load_cache
// are synchronous.
bool classify_results(const FactoryRecord& factory, PyObject* func, PyObject* method_name, bool& is_async) {
    PyRef inspect = inspect_module();
    if (!inspect) return false;
    if (factory.use_cache) {
        for (const OneShotKind& one_shot : one_shot_kinds) {
            const int is_one_shot = inspect_says(inspect.get(), one_shot.inspect_test, func);
            if (is_one_shot < 0) return false;
            if (is_one_shot) {
                into_python([&] {
                    return PyErr_Format(PyExc_TypeError,
                                        "%s() cannot cache %R, %s: %s, or pass use_cache=False to run it at every call",
                                        factory.kind->python_name, method_name, one_shot.what, one_shot.advice);
                });
                return false;
            }
        }
    }
    if (!factory.use_cache && !factory.serialisable) return true;
    const int coroutine = inspect_says(inspect.get(), "iscoroutinefunction", func);
    if (coroutine < 0) return false;
    if (coroutine && factory.serialisable) {
        into_python([&] {
            return PyErr_Format(PyExc_TypeError,
                                "%s() cannot make %R serialisable: it is a coroutine function, and dump_cache and "
                                "load_cache are synchronous; drop serialisable=True, or dump a plain method that "
                                "returns the value",
                                factory.kind->python_name, method_name);
        });
        return false;
    }
    is_async = coroutine && factory.use_cache;
    return true;
}

// staticmethod, classmethod and property objects wrap the function a cached
// method needs; decorating them would fail only when called, or (a property
// on 3.13) silently make a bound method of the wrong thing.
bool refuse_method_wrappers(const FactoryKind& kind, PyObject* func) {
    struct Wrapper {
        const char* name;
        const char* advice;
    };
    static constexpr Wrapper wrappers[] = {
        {"staticmethod", "a cached method is an instance method: decorate a plain function that takes self"},
        {"classmethod", "a cached method is an instance method: decorate a plain function that takes self"},
        {"property",
         "decorate the plain getter function; @property may go above @lineage_stored() to read it as an attribute"},
    };
    // The builtin types themselves (the limited API does not export them).
    PyRef builtins = PyRef::steal(into_python([] { return PyImport_ImportModule("builtins"); }));
    if (!builtins) return false;
    for (const Wrapper& wrapper : wrappers) {
        PyRef type = PyRef::steal(into_python([&] { return PyObject_GetAttrString(builtins.get(), wrapper.name); }));
        if (!type) return false;
        if (!PyType_Check(type.get())) continue;
        if (PyObject_TypeCheck(func, reinterpret_cast<PyTypeObject*>(type.get()))) {
            PyErr_Format(PyExc_TypeError, "%s() cannot decorate a %s object: %s", kind.python_name, wrapper.name,
                         wrapper.advice);
            return false;
        }
    }
    return true;
}

// A str equal to `name` that is no other object: the decorator's own name,
// held by every call it registers, so that a call registered by another
// decorator of the same name (the method of the class an instance had
// before its __class__ was changed) is told from its own by one address.
// Made one character longer and cut back: a str made at its length may be
// one the interpreter shares, as it shares every one-character str.
PyRef own_copy(PyObject* name) {
    PyRef padding = PyRef::steal(PyUnicode_FromString(" "));
    if (!padding) return {};
    PyObject* copy = into_python([&] { return PyUnicode_Concat(name, padding.get()); });
    if (copy == nullptr) return {};
    // Cut back to the name's own characters, of its own kind: the padding
    // is ASCII.
    if (PyUnicode_Resize(&copy, PyUnicode_GetLength(name)) < 0) {
        PyRef::steal(copy).reset();
        return {};
    }
    return PyRef::steal(copy);
}

// Applying a factory to a method builds its decorator.
PyObject* apply_factory(FactoryObject* self, PyObject* args, PyObject* kwargs) {
    const FactoryRecord& factory = *self->factory_record;
    static const char* const names[] = {"func"};
    PyObject* bound[1];
    if (!bind_arguments(factory.kind->python_name, args, kwargs, names, bound, 1)) return nullptr;
    PyObject* func = bound[0];

    PyRef name = PyRef::steal(into_python([&] { return PyObject_GetAttrString(func, "__name__"); }));
    if (!name) return nullptr;
    PyRef function_name = exact_str(name.get(), "__name__");
    if (!function_name) return nullptr;
    PyRef method_name = own_copy(function_name.get());
    if (!method_name) return nullptr;

    // Hashed now rather than when the factory was built: the dicts are the
    // user's own and are read as they are at each application. Each keeps
    // its bound call too: a registered call is the dependency only when its
    // arguments are equal, whatever the hashes say.
    std::vector<std::int64_t> dependency_hashes;
    ReleasingVector<BoundCallRef> dependency_calls;
    dependency_hashes.reserve(factory.dependencies.size());
    for (const DeclaredDependency& dependency : factory.dependencies) {
        NamedCall named;
        if (!name_call(dependency.method_name.get(), dependency.kwargs.get(), named)) return nullptr;
        dependency_hashes.push_back(named.hash);
        dependency_calls.push_back(std::move(named.call));
    }
    if (factory.serialisable && !validate_self_only_method(func)) return nullptr;
    bool is_async = false;
    if (!classify_results(factory, func, method_name.get(), is_async)) return nullptr;
    if (!refuse_method_wrappers(*factory.kind, func)) return nullptr;
    if (!warn_about_self_dependency(func, method_name.get(), dependency_calls)) return nullptr;

    DecoratorOptions options;
    options.func = PyRef::borrow(func);
    options.dependency_hashes = std::move(dependency_hashes);
    options.dependency_calls = std::move(dependency_calls);
    options.method_name = std::move(method_name);
    options.use_cache = factory.use_cache;
    options.track_runtime_dependencies = factory.track_runtime_dependencies;
    options.serialisable = factory.serialisable;
    options.is_async = is_async;
    return new_decorator(std::move(options));
}

PyObject* factory_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] { return apply_factory(as_factory(self), args, kwargs); });
}

int factory_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    FactoryRecord* factory_record = as_factory(self)->factory_record;
    if (factory_record == nullptr) return 0;
    for (const DeclaredDependency& dependency : factory_record->dependencies) Py_VISIT(dependency.kwargs.get());
    return 0;
}


// clang-format off
PyType_Slot manual_factory_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(manual_factory_new)},
    {Py_tp_call, reinterpret_cast<void*>(factory_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owning<FactoryObject, FactoryRecord, &FactoryObject::factory_record>)},
    {Py_tp_doc, const_cast<char*>(
        "lineage_stored(use_cache=True, dependencies=None, track_runtime_dependencies=False, serialisable=False)"
        "\n--\n\n")},
    {0, nullptr},
};

PyType_Slot automagic_factory_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(automagic_factory_new)},
    {Py_tp_call, reinterpret_cast<void*>(factory_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owning<FactoryObject, FactoryRecord, &FactoryObject::factory_record>)},
    {Py_tp_doc, const_cast<char*>(
        "automagically_lineage_stored(use_cache=True, dependencies=None, track_runtime_dependencies=True, "
        "serialisable=False)\n--\n\n")},
    {0, nullptr},
};
// clang-format on

// clang-format off
PyType_Spec manual_factory_spec = {
    "builtins.lineage_stored",
    static_cast<int>(sizeof(FactoryObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    manual_factory_slots,
};
// clang-format on

PyType_Spec automagic_factory_spec = {
    "builtins.automagically_lineage_stored",
    static_cast<int>(sizeof(FactoryObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    automagic_factory_slots,
};

}  // namespace

// Created once per process and never released: every module object made from
// our definition shares them.
PyTypeObject* manual_factory_type() {
    static PyTypeObject* type = nullptr;
    return type_made_once(type, manual_factory_spec);
}

PyTypeObject* automagic_factory_type() {
    static PyTypeObject* type = nullptr;
    return type_made_once(type, automagic_factory_spec);
}

}  // namespace lineage_store
