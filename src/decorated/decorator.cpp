// decorator.cpp: the LineageStoreDecorator type: a data descriptor that makes
// bound methods as a function does and refuses assignment, what tools read of
// the method behind it, its life; its call slots are decorated_call's.
#include "decorated/decorator.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "call/reference_binding.h"
#include "decorated/decorated_call.h"
#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// The descriptor

PyObject* decorator_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    const bool native = as_decorator(self)->decorator_record.caches.binding.native_allowed();
    return python_boundary([&] { return new_bound_method(self, instance, native); });
}

int decorator_set(PyObject*, PyObject*, PyObject* value) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete descriptor");
    } else {
        PyErr_SetString(PyExc_TypeError, "cannot assign to decorated method");
    }
    return -1;
}

// abc reads this to find abstract methods: a decorated abstract method keeps
// its class abstract.
PyObject* decorator_is_abstract(PyObject* self, void*) {
    return python_boundary([&]() -> PyObject* {
        PyRef func = as_decorator(self)->decorator_record.options.func.new_ref();
        if (!func) return Py_NewRef(Py_False);
        PyRef marked =
            PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__isabstractmethod__"); }));
        if (!marked) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            return Py_NewRef(Py_False);
        }
        const int truth = into_python([&] { return PyObject_IsTrue(marked.get()); });
        if (truth < 0) return nullptr;
        return PyBool_FromLong(truth);
    });
}

// abc.abstractmethod applied on top of a decorator lands here.
int decorator_refuse_abstract_marking(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError,
                    "a lineage_stored method cannot be marked abstract from outside: put @abc.abstractmethod "
                    "below the lineage_stored decorator, not above it (__isabstractmethod__ reports the "
                    "decorated function's)");
    return -1;
}

// What tools read to see the method behind the decorator: inspect.signature
// (and so frameworks that build requests from it, pydoc, IPython, jedi)
// unwraps `__wrapped__`. The decorator takes over no name or docstring of
// the function; tools that want those follow this to it.
PyObject* decorator_wrapped(PyObject* self, void*) {
    PyRef func = as_decorator(self)->decorator_record.options.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_AttributeError, "decorated method has been cleared");
        return nullptr;
    }
    return func.release();
}

// The object inspect.markcoroutinefunction puts on a callable it marks, or
// null with no exception set where this interpreter's inspect has none
// (before 3.12). Found once, by marking a throwaway object, since the
// module-level name of the marker differs between versions.
PyRef coroutine_marker() {
    static PyObject* kept = nullptr;
    if (kept != nullptr) return PyRef::borrow(kept);
    PyRef inspect = inspect_module();
    if (!inspect) return {};
    PyRef mark =
        PyRef::steal(into_python([&] { return PyObject_GetAttrString(inspect.get(), "markcoroutinefunction"); }));
    if (!mark) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        return {};
    }
    PyRef types = PyRef::steal(into_python([] { return PyImport_ImportModule("types"); }));
    if (!types) return {};
    PyRef marked =
        PyRef::steal(into_python([&] { return PyObject_CallMethod(types.get(), "SimpleNamespace", nullptr); }));
    if (!marked) return {};
    PyRef done =
        PyRef::steal(into_python([&] { return PyObject_CallFunctionObjArgs(mark.get(), marked.get(), nullptr); }));
    if (!done) return {};
    PyRef marker =
        PyRef::steal(into_python([&] { return PyObject_GetAttrString(marked.get(), "_is_coroutine_marker"); }));
    if (!marker) return {};
    // Kept for the rest of the process, which outlives every use of it.
    if (kept == nullptr) kept = marker.new_ref().release();
    return marker;
}

// inspect.iscoroutinefunction (and asyncio's, which asks it) reads this
// mark: a decorated async def, called through an instance or the class,
// returns a coroutine, and frameworks await what such a callable returns.
// Present only on async methods, and only where inspect has the mark; read
// rarely (when a framework registers a callable), so it asks inspect.
PyObject* decorator_coroutine_marker(PyObject* self, void*) {
    return python_boundary([&]() -> PyObject* {
        PyRef func = as_decorator(self)->decorator_record.options.func.new_ref();
        if (func) {
            PyRef inspect = inspect_module();
            if (!inspect) return nullptr;
            PyRef verdict = PyRef::steal(into_python(
                [&] { return PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", func.get()); }));
            if (!verdict) return nullptr;
            const int is_coroutine_function = into_python([&] { return PyObject_IsTrue(verdict.get()); });
            if (is_coroutine_function < 0) return nullptr;
            if (is_coroutine_function) {
                PyRef marker = coroutine_marker();
                if (marker) return marker.release();
                if (PyErr_Occurred()) return nullptr;
            }
        }
        PyErr_SetString(PyExc_AttributeError, "'LineageStoreDecorator' object has no attribute '_is_coroutine_marker'");
        return nullptr;
    });
}

PyGetSetDef decorator_getset[] = {
    {"__isabstractmethod__", decorator_is_abstract, decorator_refuse_abstract_marking,
     "Whether the decorated function is an abstract method.", nullptr},
    {"__wrapped__", decorator_wrapped, nullptr, "The decorated function.", nullptr},
    {"_is_coroutine_marker", decorator_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int decorator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_decorator(self)->decorator_record.options.func.get());
    return 0;
}

int decorator_clear(PyObject* self) {
    return guarded(0, [&] {
        as_decorator(self)->decorator_record.options.func.reset();
        return 0;
    });
}

void decorator_dealloc(PyObject* self) {
    free_instance(self, [&] { std::destroy_at(&as_decorator(self)->decorator_record); });
}

// The object holds C++ members (containers) that make it a non-standard-layout
// type, where offsetof is conditionally supported: GCC and Clang give the
// member's real offset, as the interpreter needs it, and warn.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(DecoratorObject, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

// clang-format off
PyType_Slot decorator_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_set)},
    {Py_tp_getset, decorator_getset},
    {Py_tp_members, decorator_members},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};
// clang-format on

// Called through vectorcall. Not a method descriptor: that flag would let a
// value in the instance's __dict__ under the method's name shadow it for call
// syntax, which a data descriptor refuses, so `obj.m(...)` and `obj.m` both
// reach __get__ and its bound method.
PyType_Spec decorator_spec = {
    "builtins.LineageStoreDecorator",
    static_cast<int>(sizeof(DecoratorObject)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                              Py_TPFLAGS_IMMUTABLETYPE | type_has_vectorcall),
    decorator_slots,
};

}  // namespace

PyObject* new_decorator(DecoratorOptions&& options) {
    return python_boundary([&]() -> PyObject* {
        if (!prepare_reference_binding()) return nullptr;
        PyTypeObject* type = DecoratorType::made_from(decorator_spec);
        if (type == nullptr) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = into_python([&] { return alloc(type, 0); });
        if (self == nullptr) return nullptr;
        // Made at once, before anything can reach the object (the collector
        // runs only where an allocation can start it), so that every slot
        // and every reader of a class dict finds the record made.
        DecoratorObject* decorator = as_decorator(self);
        DecoratorRecord& record = *std::construct_at(&decorator->decorator_record, std::move(options));
        record.caches.binding.allow_native(native_binding_ready());
        decorator->vectorcall = record.options.is_async ? async_decorator_vectorcall : decorator_vectorcall;
        return self;
    });
}

}  // namespace lineage_store
