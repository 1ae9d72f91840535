// async_call.cpp: the object behind each call of a decorated async method,
// and the driver that makes the coroutine awaiting it.
#include "decorated/async_call.h"

#include <structmember.h>

#include <cstdint>
#include <utility>

#include "decorated/async_computation.h"
#include "decorated/async_driver_source.h"  // generated from async_driver.py
#include "decorated/call_steps.h"
#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/decorator_record.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// The driver

// The driver's `named`, made at import. The module is imported in the main
// interpreter alone, so it is made there and kept for the rest of the process,
// with the namespace it runs in.
PyObject* named_driver = nullptr;

bool prepare_driver() {
    if (named_driver != nullptr) return true;
    PyRef code = PyRef::steal(into_python(
        [] { return Py_CompileString(async_driver_source, "<lineage_store async driver>", Py_file_input); }));
    PyRef globals = new_dict();
    PyRef name = PyRef::steal(PyUnicode_FromString("lineage_store"));
    if (!code || !globals || !name) return false;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) {
        return false;
    }
    PyRef ran = PyRef::steal(into_python([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!ran) return false;
    PyObject* named = PyDict_GetItemString(globals.get(), "named");          // borrowed
    PyObject* shared_class = PyDict_GetItemString(globals.get(), "Shared");  // borrowed
    if (named == nullptr || shared_class == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is incomplete");
        return false;
    }
    if (!prepare_computations(shared_class)) return false;
    named_driver = Py_NewRef(named);
    return true;
}

// The coroutine function of the async method of `decorator`: the driver
// under the method's names, so that a coroutine never awaited, or a traceback
// through it, names the method. Made at the method's first call, so that a
// call pays nothing for it. Borrowed; null with an exception set.
PyObject* coroutine_function_of(DecoratorRecord& decorator) {
    if (decorator.async_driver) return decorator.async_driver.get();
    PyRef func = decorator.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    PyRef qualname = PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__qualname__"); }));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();  // a callable without one (a partial) is named by the method name
        qualname = decorator.method_name.new_ref();
    }
    PyRef made = PyRef::steal(into_python([&] {
        return PyObject_CallFunctionObjArgs(named_driver, decorator.method_name.get(), qualname.get(), nullptr);
    }));
    if (!made) return nullptr;
    // Made by the first call's own Python code: a call it ran may have made it too.
    if (!decorator.async_driver) decorator.async_driver = std::move(made);
    return decorator.async_driver.get();
}

// ---------------------------------------------------------------------------
// The call

// call(): what awaiting the call gives when it is served now (the stored
// value, the very object), else the call object itself: the driver then
// waits, computes, or runs the method inline as `call.inline` says. Warnings
// name the frame `stacklevel` up from the caller, the line that awaited.
PyObject* look(PyObject* self, int stacklevel) {
    AwaitedCall* call = as_call(self);
    // The value found when the call was made, while the store is unchanged
    // and computes nothing that this call could be a dependency of.
    if (call->found != nullptr) {
        PyObject* found = std::exchange(call->found, nullptr);
        const StoreRecord* store_record = as_store(call->instance)->store_record;
        if (store_record != nullptr && store_record->graph.version() == call->found_at &&
            store_record->graph.running_count() == 0) {
            return found;
        }
        PyRef stale = PyRef::steal(found);
    }
    return python_boundary([&]() -> PyObject* {
        AwaitedState& state = call->state;
        DecoratorRecord& decorator = decorator_of(call);
        CallSite site{call->decorator, decorator, call->instance, as_store(call->instance), {}, false, stacklevel};
        const StoreRecord* store_record = site.store->store_record;
        if (store_record != nullptr && store_record->graph.running_count() > 0) {
            site.context = ContextView::current();
            if (PyErr_Occurred()) return nullptr;
        }
        Step step;
        if (state.position != kNoNode) {
            if (!serve_registered(site, state.position, step)) return nullptr;
        } else {
            BoundCallKey key(state.hash, state.call);
            BoundCallRef replaced_call;
            const bool ok = find_or_register(site, key, step, replaced_call);
            replaced_call.reset();  // with no section open
            if (!ok) return nullptr;
            state.position = step.position;
        }
        if (!warn_if_untracked(site, step)) return nullptr;
        state.run_inline = step.next == Next::RunInline;
        if (step.next == Next::Serve) return step.value.release();
        return Py_NewRef(self);
    });
}

// The driver's outer coroutine calls the object, with the awaiting frame its
// caller's; its inner one calls look_again, a frame further down.
PyObject* awaited_vectorcall(PyObject* self, PyObject* const*, std::size_t, PyObject*) { return look(self, 2); }
PyObject* awaited_call(PyObject* self, PyObject*, PyObject*) { return look(self, 2); }
PyObject* awaited_look_again(PyObject* self, PyObject*) { return look(self, 3); }

// call.run(): the method's own coroutine, with the call's arguments.
PyObject* awaited_run(PyObject* self, PyObject*) {
    return python_boundary([&] { return run_method(as_call(self)); });
}

PyObject* awaited_inline(PyObject* self, void*) { return PyBool_FromLong(as_call(self)->state.run_inline); }

// The key of the call's computation in `loop` in the driver's map.
// call.computing(loop): the Shared entry of the computation of this call
// that a task of `loop` is running, or None.
PyObject* awaited_computing(PyObject* self, PyObject* loop) {
    return python_boundary([&] { return computation_in_progress(as_call(self), loop); });
}

// call.compute(loop, trio): the computation of this call, begun; what the
// driver awaits in place of the method's coroutine.
PyObject* awaited_compute(PyObject* self, PyObject* args) {
    return python_boundary([&]() -> PyObject* {
        PyObject* loop = nullptr;
        PyObject* trio = nullptr;
        if (!PyArg_UnpackTuple(args, "compute", 2, 2, &loop, &trio)) return nullptr;
        return start_computation(self, loop, trio);
    });
}

int awaited_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    AwaitedCall* call = as_call(self);
    Py_VISIT(call->decorator);
    Py_VISIT(call->instance);
    Py_VISIT(call->args);
    Py_VISIT(call->kwargs);
    Py_VISIT(call->found);
    return 0;
}

int awaited_clear(PyObject* self) {
    return guarded(0, [&] {
        AwaitedCall* call = as_call(self);
        // A computation never settled gives its slot back before the store
        // can go.
        if (call->has_state && call->instance != nullptr) give_back_slot(call);
        PyRef decorator = PyRef::steal(std::exchange(call->decorator, nullptr));
        PyRef instance = PyRef::steal(std::exchange(call->instance, nullptr));
        PyRef args = PyRef::steal(std::exchange(call->args, nullptr));
        PyRef kwargs = PyRef::steal(std::exchange(call->kwargs, nullptr));
        PyRef found = PyRef::steal(std::exchange(call->found, nullptr));
        return 0;
    });
}

void awaited_dealloc(PyObject* self) {
    free_instance(self, [&] {
        awaited_clear(self);
        AwaitedCall* call = as_call(self);
        if (call->has_state) {
            call->has_state = false;
            call->state.~AwaitedState();
        }
    });
}

// clang-format off
PyMethodDef awaited_methods[] = {
    {"look_again", awaited_look_again, METH_NOARGS, nullptr},
    {"run", awaited_run, METH_NOARGS, nullptr},
    {"computing", awaited_computing, METH_O, nullptr},
    {"compute", awaited_compute, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef awaited_getset[] = {
    {"inline", awaited_inline, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef awaited_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(AwaitedCall, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot awaited_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(awaited_call)},
    {Py_tp_members, awaited_members},
    {Py_tp_methods, awaited_methods},
    {Py_tp_getset, awaited_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(awaited_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(awaited_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(awaited_dealloc)},
    {Py_tp_doc, const_cast<char*>("A call of a lineage-stored async method, as its coroutine drives it.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec awaited_spec = {
    "lineage_store.AwaitedCall",
    static_cast<int>(sizeof(AwaitedCall)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                              type_has_vectorcall),
    awaited_slots,
};

PyTypeObject* awaited_type = nullptr;  // made at import, kept for the process

// The registered node of the call of `identity`, when the store has one that
// plain comparisons recognise, with its valid value and the graph's version;
// kNoNode otherwise (the driver finds or registers it when the call is
// awaited). Runs no Python code; false with PanicException set.
bool find_registered_node(StoreObject* store, CallIdentity& identity, AwaitedCall& call, NodePosition& out) {
    out = kNoNode;
    Undecided undecided;  // outlives the section: it may hold bound calls
    StoreSection section = StoreSection::open(store, Access::Read);
    if (!section.opened()) return false;
    if (section.store_record() == nullptr) return true;
    const CallGraph& graph = section.store_record()->graph;
    const NodePosition found = find_call(
        *section.store_record(), identity.hash(),
        [&](const BoundCall& registered) { return identity.equals_without_python(registered); }, undecided);
    if (!undecided.candidates.empty() || found == kNoNode || !graph.node(found).is_registered()) return true;
    if (PyObject* value = valid_value(graph, found)) {
        call.found = Py_NewRef(value);
        call.found_at = graph.version();
    }
    out = found;
    return true;
}

}  // namespace

bool prepare_async_calls() {
    if (type_made_once(awaited_type, awaited_spec) == nullptr) return false;
    return prepare_driver();
}

PyObject* call_async(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity) {
    PyObject* coroutine_function = coroutine_function_of(*decorator_record_of(decorator));
    if (coroutine_function == nullptr) return nullptr;
    PyObject* instance = arguments.positional(0);
    PyRef args = arguments.args_tuple();
    if (!args) return nullptr;
    PyRef kwargs = arguments.kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(awaited_type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(awaited_type, 0); }));
    if (!made) return nullptr;
    AwaitedCall* call = as_call(made.get());
    call->decorator = Py_NewRef(decorator);
    call->instance = Py_NewRef(instance);
    call->args = args.release();
    call->kwargs = kwargs.release();
    call->vectorcall = awaited_vectorcall;
    new (&call->state) AwaitedState();  // the object owns it from here on
    call->has_state = true;
    AwaitedState& state = call->state;
    state.hash = identity.hash();
    if (!find_registered_node(as_store(instance), identity, *call, state.position)) return nullptr;
    if (state.position == kNoNode) {
        state.call = identity.bound_call();  // what the call is, for the driver to find or register
        if (!state.call) return nullptr;
    }
    state.inputs = identity.take_inputs();
    PyObject* call_object = made.get();
    return into_python([&] {
        return shortcuts.vectorcall_dict != nullptr
                   ? shortcuts.vectorcall_dict(coroutine_function, &call_object, 1, nullptr)
                   : PyObject_CallFunctionObjArgs(coroutine_function, call_object, nullptr);
    });
}

}  // namespace lineage_store
