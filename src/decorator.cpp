// decorator.cpp: the LineageStoreDecorator type, and the call of a decorated
// method that returns its result: the steps of call_steps, run in turn.
#include "decorator.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>

#include "async_call.h"
#include "cache_store.h"
#include "call_arguments.h"
#include "call_context.h"
#include "call_identity.h"
#include "call_steps.h"
#include "interpreter_shortcuts.h"
#include "lineage_store_base.h"
#include "python_boundary.h"
#include "usage_warnings.h"

namespace lineage_store {

namespace {

DecoratorObject* as_decorator(PyObject* self) noexcept { return reinterpret_cast<DecoratorObject*>(self); }


// What a computation needs of the steps before it, once they are done: the
// call's node and computation slot, and what its identity was computed from.
// The steps' own state (the identity above all) is gone by then, so that
// only this stays on the stack while the function runs, however deep
// decorated methods call each other.
struct Ticket {
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    FunctionInputs inputs;
    bool run_inline = false;
};

// Step 4: runs the function with no section open, then decides the call's
// state and stores its result in a last section.
[[gnu::noinline]] PyObject* compute_and_store(PyObject* self, const CallArguments& arguments, Ticket& ticket) {
    // Our own references for the computation: the function may drop every
    // other reference to the class, and with it the decorator.
    PyRef held_decorator = PyRef::borrow(self);
    DecoratorRecord& decorator = as_decorator(self)->record;
    PyRef func = decorator.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    if (ticket.run_inline) return arguments.call(func.get());
    PyObject* instance = arguments.positional(0);
    PyRef held_instance = PyRef::borrow(instance);
    StoreObject* store = as_store(instance);
    Computation computation(store, ticket.slot);
    PyRef result;
    {
        BegunComputation in_context;
        if (!in_context.begin({store, self, ticket.position, ticket.slot, decorator.track_runtime_dependencies})) {
            return nullptr;
        }
        result = PyRef::steal(arguments.call(func.get()));
    }
    if (!result) return nullptr;
    // The function reads its code and defaults again when it runs: if they
    // changed since the call was identified, the result may be another call's.
    const bool function_changed = !ticket.inputs.unchanged(func.get());
    PyRef replaced;  // released after the section: its finaliser may use this store
    if (!store_result(store, ticket.position, ticket.slot, decorator.use_cache, function_changed, result.get(),
                      replaced)) {
        return nullptr;
    }
    computation.handed_over();
    replaced.reset();
    return result.release();
}

// ---------------------------------------------------------------------------
// The call

// TypeError for a first argument that is not an instance of a store class.
std::nullptr_t refuse_instance(PyObject* instance) {
    if (PyErr_Occurred()) return nullptr;
    PyTypeObject* base = lineage_store_base_type();
    if (base != nullptr && PyType_Check(instance) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(instance), base)) {
        // A method called through the class with the class itself first.
        into_python([&] {
            return PyErr_Format(PyExc_TypeError,
                                "the decorated method's class must inherit from LineageStoreBase; it was called with "
                                "the class %R in place of an instance: call it on an instance",
                                instance);
        });
        return nullptr;
    }
    PyErr_SetString(PyExc_TypeError, "the decorated method's class must inherit from LineageStoreBase");
    return nullptr;
}

// Everything a call can take but a plain hit: warning about an undeclared
// call, running as part of the same call in progress, beginning a
// computation (a ticket for step 4). Kept out of the hit's way.
[[gnu::noinline]] PyObject* call_beyond_a_hit(const CallSite& site, CallIdentity& identity, Step& step,
                                               Ticket& ticket) {
    if (!warn_if_untracked(site, step)) return nullptr;
    switch (step.next) {
        case Next::Serve:
            return step.value.release();
        case Next::RunInline:
            ticket.run_inline = true;
            return nullptr;
        case Next::Compute:
            ticket.position = step.position;
            ticket.slot = step.slot;
            ticket.inputs = identity.take_inputs();
            return nullptr;
        case Next::Register:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "a decorated call ended unregistered");
    return nullptr;
}

// The checks made once per decorator and class, the first time, for a class
// already known to derive from LineageStoreBase.
bool check_class(PyObject* decorator, DecoratorRecord& record, PyTypeObject* cls) {
    const int checked = record.checked_classes.contains(cls);
    if (checked < 0) return false;
    if (checked == 0) {
        if (!check_class_at_first_call(cls, decorator, record)) return false;
        // Not remembered when a check raised: the next call checks again,
        // which keeps an "error" warning filter failing until the class is fixed.
        record.checked_classes.add(cls);
    }
    // A class that cannot be weakly referenced is looked up in the set again
    // next time.
    if (!record.last_checked_class.watch(cls)) PyErr_Clear();
    return true;
}

// Steps 1 to 3: a result (a hit above all), an error, or, when this returns
// null with no exception set, a ticket for step 4.
[[gnu::noinline]] PyObject* call_decorated(PyObject* self, const CallArguments& arguments, Ticket& ticket) {
    DecoratorRecord& decorator = as_decorator(self)->record;
    if (!arguments.ok()) return nullptr;
    if (arguments.positional_count() == 0) {
        PyErr_SetString(PyExc_ValueError, "lineage_stored can only be used as an instance method decorator");
        return nullptr;
    }
    PyObject* instance = arguments.positional(0);
    // The class of the last call was a store class, and has been checked: a
    // call on another instance of it costs one comparison.
    if (!decorator.last_checked_class.is(Py_TYPE(instance))) {
        if (!is_store(instance)) return refuse_instance(instance);
        if (!check_class(self, decorator, Py_TYPE(instance))) return nullptr;
    }
    // Borrowed: the caller holds the decorator, and with it its record, whose
    // function the collector clears only once nothing can call it.
    PyObject* func = decorator.func.get();
    if (func == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    CallIdentity identity;
    if (!identify_call(decorator.binding, decorator.method_name.get(), func, arguments, identity)) return nullptr;
    if (decorator.is_async) return call_async(self, arguments, identity);
    CallSite site{self, decorator, instance, as_store(instance), {}};
    const StoreRecord* record = site.store->record;
    if (record != nullptr && record->graph.running_count() > 0) {
        site.context = ContextView::current();
        if (PyErr_Occurred()) return nullptr;
    }
    Step step;
    BoundCallRef replaced_call;
    const bool found = find_or_register(site, identity, step, replaced_call);
    replaced_call.reset();  // with no section open
    if (!found) return nullptr;
    if (step.next == Next::Serve && !step.untracked_caller) return step.value.release();
    return call_beyond_a_hit(site, identity, step, ticket);
}

// A decorated call through either protocol.
PyObject* call(PyObject* self, const CallArguments& arguments) {
    Ticket ticket;
    PyObject* done = call_decorated(self, arguments, ticket);
    if (done != nullptr || PyErr_Occurred()) return done;
    return compute_and_store(self, arguments, ticket);
}

// ---------------------------------------------------------------------------
// Slots

// The slots that run Python code are not noexcept: a thread ended by the
// interpreter at exit unwinds through them.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] {
        CallArguments arguments(args, kwargs);
        return call(self, arguments);
    });
}

PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return python_boundary([&] {
        const auto positional_count = static_cast<Py_ssize_t>(nargsf & ~vectorcall_arguments_offset);
        CallArguments arguments(args, positional_count, kwnames);
        return call(self, arguments);
    });
}

PyObject* decorator_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    const bool native = as_decorator(self)->record.binding.native_allowed();
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
        PyRef func = as_decorator(self)->record.func.new_ref();
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

PyGetSetDef decorator_getset[] = {
    {"__isabstractmethod__", decorator_is_abstract, decorator_refuse_abstract_marking,
     "Whether the decorated function is an abstract method.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int decorator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (as_decorator(self)->has_record) Py_VISIT(as_decorator(self)->record.func.get());
    return 0;
}

int decorator_clear(PyObject* self) {
    return guarded(0, [&] {
        if (as_decorator(self)->has_record) as_decorator(self)->record.func.reset();
        return 0;
    });
}

void decorator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    DecoratorObject* decorator = as_decorator(self);
    if (decorator->has_record) {
        decorator->has_record = false;
        decorator->record.~DecoratorRecord();
    }
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(DecoratorObject, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

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

// Called through vectorcall, and as a method: `obj.m(...)` calls the
// decorator with the instance first, as a bound method would, without making
// one. Attribute access (`obj.m`) still makes a bound method.
PyType_Spec decorator_spec = {
    "builtins.LineageStoreDecorator",
    static_cast<int>(sizeof(DecoratorObject)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                              Py_TPFLAGS_IMMUTABLETYPE | type_has_vectorcall | type_is_method_descriptor),
    decorator_slots,
};

PyTypeObject* decorator_type() noexcept {
    // Created when the first decorator is built, once per process.
    if (decorator_type_object == nullptr) {
        decorator_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decorator_spec));
    }
    return decorator_type_object;
}

}  // namespace

PyObject* new_decorator(DecoratorRecord&& record) {
    return python_boundary([&]() -> PyObject* {
        if (!prepare_reference_binding()) return nullptr;
        record.binding.allow_native(native_binding_here());
        PyTypeObject* type = decorator_type();
        if (type == nullptr) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = into_python([&] { return alloc(type, 0); });
        if (self == nullptr) return nullptr;
        DecoratorObject* decorator = as_decorator(self);
        new (&decorator->record) DecoratorRecord(std::move(record));
        decorator->has_record = true;
        decorator->vectorcall = decorator_vectorcall;
        return self;
    });
}

}  // namespace lineage_store
