// awaited_call.cpp: the object of a call of a decorated async method that the
// driver drives, and its looks in the store.
#include "decorated/awaited_call.h"

#include <structmember.h>

#include <utility>

#include "decorated/async_computation.h"
#include "decorated/call_steps.h"
#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/decorator_record.h"

namespace lineage_store {

bool store_unmoved_since(PyObject* instance, std::uint32_t version) noexcept {
    const StoreRecord* store_record = as_store(instance)->store_record;
    return store_record != nullptr && store_record->graph.version() == version &&
           store_record->graph.running_count() == 0;
}

PyObject* look_awaited(PyObject* self, int stacklevel) {
    AwaitedCall* call = as_call(self);
    if (call->found != nullptr && store_unmoved_since(call->instance, call->found_at))
        return std::exchange(call->found, nullptr);
    return python_boundary([&]() -> PyObject* {
        // The stale value is released inside the boundary: its finaliser may
        // run any code.
        PyRef::steal(std::exchange(call->found, nullptr)).reset();
        AwaitedState& state = call->state;
        DecoratorRecord& decorator = decorator_of(call);
        CallSite site = CallSite::awaited(call->decorator, decorator, call->instance, stacklevel);
        if (!site.read_context()) return nullptr;
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

namespace {

// call(): the value to serve, or the call itself; the driver's coroutines
// call it from their own frames.
PyObject* awaited_vectorcall(PyObject* self, PyObject* const*, std::size_t, PyObject*) {
    return look_awaited(self, kDriverCallDepth);
}
PyObject* awaited_call(PyObject* self, PyObject*, PyObject*) { return look_awaited(self, kDriverCallDepth); }

// What `await call` uses of the driver, held for the process.
struct DriverSteps {
    PyObject* current_loop = nullptr;  // current_loop(): (the running loop or None, whether it is trio's)
    PyObject* wait_for = nullptr;      // wait_for(call, shared)
    PyObject* awaiting = nullptr;      // awaiting(awaitable)
};
DriverSteps driver_steps;

// The iterator that `await awaitable` drives: its type's __await__. An
// awaitable the interpreter knows otherwise (a generator-based coroutine), or
// none, is awaited by the driver's own coroutine, which raises as `await`
// does. Null with an exception set.
PyObject* await_iterator(PyRef awaitable) {
    auto await_of = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(awaitable.get()), Py_am_await));
    if (await_of == nullptr) {
        awaitable = PyRef::steal(
            into_python([&] { return PyObject_CallFunctionObjArgs(driver_steps.awaiting, awaitable.get(), nullptr); }));
        if (!awaitable) return nullptr;
        await_of = reinterpret_cast<unaryfunc>(PyType_GetSlot(Py_TYPE(awaitable.get()), Py_am_await));
        if (await_of == nullptr) {
            PyErr_SetString(PyExc_SystemError, "the driver's awaiting() made no coroutine");
            return nullptr;
        }
    }
    return into_python([&] { return await_of(awaitable.get()); });
}

// `await call`, for a call not served, as an iterator: the method's own
// coroutine when it runs as part of the same call in progress; else the wait
// for the computation of the same call that another task of the running
// loop runs (which gives its value, raises its error, or gives the call to
// look again); else the computation, begun. Nothing is begun before this, so
// an exception that unwinds the driver's frames first leaves nothing behind.
PyObject* await_unserved(PyObject* self) {
    AwaitedCall* call = as_call(self);
    if (call->state.run_inline) {
        PyRef awaitable = PyRef::steal(run_method(call));
        return awaitable ? await_iterator(std::move(awaitable)) : nullptr;
    }
    PyRef running = PyRef::steal(into_python([] { return PyObject_CallNoArgs(driver_steps.current_loop); }));
    if (!running) return nullptr;
    if (!PyTuple_Check(running.get()) || PyTuple_Size(running.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "the driver's current_loop() gave no (loop, trio) pair");
        return nullptr;
    }
    PyObject* loop = PyTuple_GetItem(running.get(), 0);  // borrowed, as is the next
    PyObject* trio = PyTuple_GetItem(running.get(), 1);
    PyRef shared = computation_in_progress(call, loop);
    if (!shared) return nullptr;
    if (shared.get() == Py_None) return start_computation(self, loop, trio);
    PyRef waiting = PyRef::steal(
        into_python([&] { return PyObject_CallFunctionObjArgs(driver_steps.wait_for, self, shared.get(), nullptr); }));
    return waiting ? await_iterator(std::move(waiting)) : nullptr;
}

PyObject* awaited_await(PyObject* self) {
    return python_boundary([&] { return await_unserved(self); });
}

int awaited_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    AwaitedCall* call = as_call(self);
    Py_VISIT(call->decorator);
    Py_VISIT(call->instance);
    Py_VISIT(call->args);
    Py_VISIT(call->kwargs);
    Py_VISIT(call->found);
    // The frame of its computation holds the instance and the decorator too.
    if (call->has_state) Py_VISIT(call->state.scope.frame_object());
    return 0;
}

int awaited_clear(PyObject* self) {
    return guarded(0, [&] {
        AwaitedCall* call = as_call(self);
        // A computation never settled gives its slot back before the store
        // can go.
        if (call->has_state && call->instance != nullptr) give_back_slot(call);
        if (call->has_state) call->state.scope.end();
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
// The object holds C++ members (containers) that make it a non-standard-layout
// type, where offsetof is conditionally supported: GCC and Clang give the
// member's real offset, as the interpreter needs it, and warn.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef awaited_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(AwaitedCall, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyType_Slot awaited_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(awaited_call)},
    {Py_am_await, reinterpret_cast<void*>(awaited_await)},
    {Py_tp_members, awaited_members},
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

}  // namespace

bool prepare_awaited_calls(PyObject* driver) {
    if (type_made_once(awaited_type, awaited_spec) == nullptr) return false;
    if (driver_steps.current_loop != nullptr) return true;
    // Borrowed from the namespace, then held.
    DriverSteps steps{PyDict_GetItemString(driver, "current_loop"), PyDict_GetItemString(driver, "wait_for"),
                      PyDict_GetItemString(driver, "awaiting")};
    if (steps.current_loop == nullptr || steps.wait_for == nullptr || steps.awaiting == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is incomplete");
        return false;
    }
    for (PyObject* kept : {steps.current_loop, steps.wait_for, steps.awaiting}) Py_INCREF(kept);
    driver_steps = steps;
    return true;
}

PyRef new_awaited_call(PyObject* decorator, const CallArguments& arguments) {
    PyRef args = arguments.args_tuple();
    if (!args) return {};
    PyRef kwargs = arguments.kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return {};
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(awaited_type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(awaited_type, 0); }));
    if (!made) return {};
    AwaitedCall* call = as_call(made.get());
    call->decorator = Py_NewRef(decorator);
    call->instance = Py_NewRef(arguments.positional(0));
    call->args = args.release();
    call->kwargs = kwargs.release();
    call->vectorcall = awaited_vectorcall;
    new (&call->state) AwaitedState();  // the object owns it from here on
    call->has_state = true;
    return made;
}

}  // namespace lineage_store
