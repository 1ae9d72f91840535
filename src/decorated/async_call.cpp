// async_call.cpp: the object behind each call of a decorated async method,
// and the driver that makes the coroutine awaiting it.
#include "decorated/async_call.h"

#include <structmember.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "decorated/call_context.h"
#include "decorated/call_steps.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/decorator_record.h"

namespace lineage_store {

namespace {

// The driver, run by every awaited call. It keeps, per call and event loop,
// the computation in progress and the tasks waiting for its outcome; it asks
// the call's object to serve, start, run and store.
constexpr const char* driver_source = R"(import sys

# The computations in progress, by (id of the instance, node of the call): one
# per event loop, with the tasks of that loop waiting for its outcome.
running = {}


class Shared:
    __slots__ = ("loop", "trio", "waiters", "outcome", "value")

    def __init__(self, loop, trio):
        self.loop, self.trio, self.waiters, self.outcome, self.value = loop, trio, [], None, None


def current_loop():
    asyncio = sys.modules.get("asyncio")
    if asyncio is not None:
        try:
            return asyncio.get_running_loop(), False
        except RuntimeError:
            pass
    trio = sys.modules.get("trio")
    if trio is not None:
        try:
            return trio.lowlevel.current_trio_token(), True
        except RuntimeError:
            pass
    return None, False


async def wait_for(shared):
    if shared.trio:
        event = sys.modules["trio"].Event()
        shared.waiters.append(event)
        await event.wait()
    else:
        waiter = shared.loop.create_future()
        shared.waiters.append(waiter)
        await waiter


def settle(key, shared, outcome, value):
    shared.outcome, shared.value = outcome, value
    entries = running.get(key)
    if entries is not None:
        entries[:] = [entry for entry in entries if entry is not shared]
        if not entries:
            del running[key]
    for waiter in shared.waiters:
        if shared.trio:
            waiter.set()
        elif not waiter.done():
            waiter.set_result(None)


def ended_early(error):
    if isinstance(error, GeneratorExit):
        return True
    asyncio = sys.modules.get("asyncio")
    if asyncio is not None and isinstance(error, asyncio.CancelledError):
        return True
    trio = sys.modules.get("trio")
    return trio is not None and isinstance(error, trio.Cancelled)


# What awaiting a call does: small, so that making its coroutine costs little,
# for the call whose value is served as it was found when the call was made.
async def lineage_stored_call(call):
    found = call()
    if found is not call:
        return found
    return await serve_or_compute(call)


async def serve_or_compute(call):
    while True:
        if call.inline:
            return await call.run()
        loop, trio = current_loop()
        key = call.key
        if loop is not None:
            shared = next((entry for entry in running.get(key, ()) if entry.loop is loop), None)
            if shared is not None:
                await wait_for(shared)
                if shared.outcome == "value":
                    return shared.value
                if shared.outcome == "error":
                    raise shared.value
                # Cancelled, or computed from inputs that changed while it
                # ran: look again, and one of the waiters computes.
                found = call.look_again()
                if found is not call:
                    return found
                continue
        own = None
        if loop is not None:
            own = Shared(loop, trio)
            running.setdefault(key, []).append(own)
        try:
            call.start()
            value = call.succeeded(await call.run())
        except BaseException as error:
            call.failed()
            if own is not None:
                settle(key, own, "cancelled" if ended_early(error) else "error", error)
            raise
        if own is not None:
            settle(key, own, "overlapped" if call.overlapped else "value", value)
        return value
)";

// The driver of the running interpreter, made on first use there and kept
// for the rest of the process. Borrowed; null with an exception set.
PyInterpreterState* main_interpreter = nullptr;
PyObject* main_driver = nullptr;

PyObject* driver() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (interpreter == main_interpreter) return main_driver;
    static std::vector<std::pair<std::int64_t, PyObject*>> others;
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    for (const auto& [other, made] : others) {
        if (other == id) return made;
    }
    PyRef code =
        PyRef::steal(into_python([] { return Py_CompileString(driver_source, "<lineage_store>", Py_file_input); }));
    PyRef globals = new_dict();
    PyRef name = PyRef::steal(PyUnicode_FromString("lineage_store"));
    if (!code || !globals || !name) return nullptr;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) {
        return nullptr;
    }
    PyRef ran = PyRef::steal(into_python([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!ran) return nullptr;
    PyObject* made = PyDict_GetItemString(globals.get(), "lineage_stored_call");  // borrowed
    if (made == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is missing");
        return nullptr;
    }
    Py_INCREF(made);  // kept for the rest of the process, with its globals
    if (id == 0) {
        main_interpreter = interpreter;
        main_driver = made;
    } else {
        others.emplace_back(id, made);
    }
    return made;
}

// What an awaited call knows of itself between the driver's steps.
struct AwaitedState {
    CallHash hash = 0;
    BoundCallRef call;  // made when no registered node was found at the call
    NodePosition position = kNoNode;
    FunctionInputs inputs;
    CallGraph::ComputationSlot slot = 0;
    bool computing = false;
    bool run_inline = false;
    // The computation ended overlapped by an invalidation, a clear or a
    // change of the function: its value, not stored, is its awaiter's alone.
    bool overlapped = false;
    AsyncComputationScope scope;
};

struct AwaitedCall {
    PyObject_HEAD
    VectorcallFunction vectorcall;  // look: the driver calls the object itself
    PyObject* decorator;            // held, as are the others
    PyObject* instance;
    PyObject* args;
    PyObject* kwargs;  // or null
    // The call's valid value when the call was made, and the graph's version
    // then: served as it is while nothing in the store has changed.
    PyObject* found;
    std::uint32_t found_at;
    bool has_state;  // `state` below is constructed
    AwaitedState state;
};

AwaitedCall* as_call(PyObject* self) noexcept { return reinterpret_cast<AwaitedCall*>(self); }

DecoratorRecord& record_of(AwaitedCall* call) noexcept { return *decorator_record_of(call->decorator); }

// Gives back the call's computation, when one is begun and not ended.
void give_back(AwaitedCall* call) {
    AwaitedState& state = call->state;
    if (!state.computing) return;
    state.computing = false;
    lineage_store::give_back(as_store(call->instance), state.slot);
}

// call(): the call's value when it is served, else the call itself; the
// call's `inline` then says whether it runs as part of the same call in
// progress.
PyObject* look(PyObject* self, int stacklevel) {
    AwaitedCall* call = as_call(self);
    // The value found when the call was made, while the store is unchanged
    // and computes nothing that this call could be a dependency of.
    if (call->found != nullptr) {
        PyObject* found = std::exchange(call->found, nullptr);
        const StoreRecord* record = as_store(call->instance)->record;
        if (record != nullptr && record->graph.version() == call->found_at && record->graph.running_count() == 0) {
            return found;
        }
        PyRef stale = PyRef::steal(found);
    }
    return python_boundary([&]() -> PyObject* {
        AwaitedState& state = call->state;
        DecoratorRecord& record = record_of(call);
        CallSite site{call->decorator, record, call->instance, as_store(call->instance), {}, false, stacklevel};
        const StoreRecord* store_record = site.store->record;
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
            const bool found = find_or_register(site, key, step, replaced_call);
            replaced_call.reset();  // with no section open
            if (!found) return nullptr;
            state.position = step.position;
        }
        if (!warn_if_untracked(site, step)) return nullptr;
        state.run_inline = step.next == Next::RunInline;
        if (step.next == Next::Serve) return step.value.release();
        return Py_NewRef(self);
    });
}

// Called by the driver's outer coroutine, whose caller is the awaiting
// frame; look_again by the inner one, a frame further down.
PyObject* awaited_vectorcall(PyObject* self, PyObject* const*, std::size_t, PyObject*) { return look(self, 2); }
PyObject* awaited_call(PyObject* self, PyObject*, PyObject*) { return look(self, 2); }
PyObject* awaited_look_again(PyObject* self, PyObject*) { return look(self, 3); }

// call.start(): begins the computation, in the store and in the awaiting
// task's context.
PyObject* awaited_start(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        AwaitedCall* call = as_call(self);
        AwaitedState& state = call->state;
        StoreObject* store = as_store(call->instance);
        {
            StoreSection section = StoreSection::open(store, Access::Write);
            if (!section.opened()) return nullptr;
            state.slot = section.record()->graph.begin_computation(state.position);
            state.computing = true;
        }
        if (!state.scope.begin(
                {store, call->decorator, state.position, state.slot, record_of(call).track_runtime_dependencies})) {
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

// call.run(): the method's own coroutine, with the call's arguments.
PyObject* awaited_run(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        AwaitedCall* call = as_call(self);
        PyRef func = record_of(call).func.new_ref();
        if (!func) {
            PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
            return nullptr;
        }
        return into_python([&] { return PyObject_Call(func.get(), call->args, call->kwargs); });
    });
}

// call.succeeded(value): ends the computation and stores its value when the
// call ends valid; returns the value.
PyObject* awaited_succeeded(PyObject* self, PyObject* value) {
    return python_boundary([&]() -> PyObject* {
        AwaitedCall* call = as_call(self);
        AwaitedState& state = call->state;
        state.scope.end();
        DecoratorRecord& record = record_of(call);
        // The method reads its code and defaults again when it runs: if they
        // changed since the call was identified, the value may be another call's.
        PyRef func = record.func.new_ref();
        const bool function_changed = !func || !state.inputs.unchanged(func.get());
        PyRef replaced;  // released after the section: its finaliser may use this store
        if (!store_result(as_store(call->instance), state.position, state.slot, record.use_cache, function_changed,
                          value, replaced, &state.overlapped)) {
            return nullptr;
        }
        state.computing = false;
        replaced.reset();
        return Py_NewRef(value);
    });
}

// call.failed(): the computation raised or was cancelled; nothing is stored.
PyObject* awaited_failed(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        AwaitedCall* call = as_call(self);
        call->state.scope.end();
        give_back(call);
        return Py_NewRef(Py_None);
    });
}

PyObject* awaited_inline(PyObject* self, void*) { return PyBool_FromLong(as_call(self)->state.run_inline); }

PyObject* awaited_overlapped(PyObject* self, void*) { return PyBool_FromLong(as_call(self)->state.overlapped); }

// (id of the instance, node of the call): the call, for as long as its
// computation runs, which holds the instance.
PyObject* awaited_key(PyObject* self, void*) {
    return python_boundary([&] {
        AwaitedCall* call = as_call(self);
        const auto id = reinterpret_cast<Py_ssize_t>(call->instance);
        const unsigned int position = call->state.position;
        return into_python([&] { return Py_BuildValue("(nI)", id, position); });
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
        // A computation never finished (its coroutine dropped unawaited to
        // the end) gives its slot back before the store can go.
        if (call->has_state && call->instance != nullptr) give_back(call);
        PyRef decorator = PyRef::steal(std::exchange(call->decorator, nullptr));
        PyRef instance = PyRef::steal(std::exchange(call->instance, nullptr));
        PyRef args = PyRef::steal(std::exchange(call->args, nullptr));
        PyRef kwargs = PyRef::steal(std::exchange(call->kwargs, nullptr));
        PyRef found = PyRef::steal(std::exchange(call->found, nullptr));
        return 0;
    });
}

void awaited_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    awaited_clear(self);
    AwaitedCall* call = as_call(self);
    if (call->has_state) {
        call->has_state = false;
        call->state.~AwaitedState();
    }
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// clang-format off
PyMethodDef awaited_methods[] = {
    {"look_again", awaited_look_again, METH_NOARGS, nullptr},
    {"start", awaited_start, METH_NOARGS, nullptr},
    {"run", awaited_run, METH_NOARGS, nullptr},
    {"succeeded", awaited_succeeded, METH_O, nullptr},
    {"failed", awaited_failed, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef awaited_getset[] = {
    {"inline", awaited_inline, nullptr, nullptr, nullptr},
    {"overlapped", awaited_overlapped, nullptr, nullptr, nullptr},
    {"key", awaited_key, nullptr, nullptr, nullptr},
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

PyTypeObject* awaited_type() {
    // Created once per process, like the module's other types.
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&awaited_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// The registered node of the call of `identity`, when the store has one that
// plain comparisons recognise, with its valid value and the graph's version;
// kNoNode otherwise (the driver finds or registers it when the call is
// awaited). Runs no Python code; false with PanicException set.
bool find_registered_node(StoreObject* store, CallIdentity& identity, AwaitedCall& call, NodePosition& out) {
    out = kNoNode;
    Undecided undecided;  // outlives the section: it may hold bound calls
    StoreSection section = StoreSection::open(store, Access::Read);
    if (!section.opened()) return false;
    if (section.record() == nullptr) return true;
    const CallGraph& graph = section.record()->graph;
    const NodePosition found = find_call(
        *section.record(), identity.hash(),
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

bool prepare_async_calls() { return awaited_type() != nullptr && driver() != nullptr; }

PyObject* call_async(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity) {
    PyTypeObject* type = awaited_type();
    PyObject* drive = driver();
    if (type == nullptr || drive == nullptr) return nullptr;
    PyObject* instance = arguments.positional(0);
    PyRef args = arguments.args_tuple();
    if (!args) return nullptr;
    PyRef kwargs = arguments.kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(type, 0); }));
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
        return shortcuts.vectorcall_dict != nullptr ? shortcuts.vectorcall_dict(drive, &call_object, 1, nullptr)
                                                    : PyObject_CallFunctionObjArgs(drive, call_object, nullptr);
    });
}

}  // namespace lineage_store
