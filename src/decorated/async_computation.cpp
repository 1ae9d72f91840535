// async_computation.cpp: the computation of an awaited call, from its start
// to its one settlement, and the computations in progress of each event loop.
#include "decorated/async_computation.h"

#include <utility>

#include "decorated/call_steps.h"
#include "decorated/loop_waiters.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"

namespace lineage_store {

namespace {

// The computations in progress, made at import in the main interpreter (the
// module is imported nowhere else) and kept for the rest of the process.
struct Registry {
    PyObject* shared_class = nullptr;  // the driver's Shared(loop, trio)
    // Each computation shared with the other tasks of its loop, by (instance,
    // node, loop) as addresses. Each key is only ever used by the thread that
    // runs its loop, and every read or write of the map is one call that runs
    // no Python code (the keys are tuples of ints), so threads running loops
    // at once cannot undo each other's changes. A key's instance and loop
    // cannot be freed, and their addresses reused, while its entry is there:
    // the computation holds both.
    PyObject* running = nullptr;
    PyTypeObject* computation_type = nullptr;
    // Whether the end of the task computing must be watched (see watch_task).
    bool watch_tasks = false;
};
Registry registry;

// The key of the computation of `call` in `loop`.
PyRef running_key(AwaitedCall* call, PyObject* loop) {
    const auto instance = reinterpret_cast<Py_ssize_t>(call->instance);
    const auto loop_address = reinterpret_cast<Py_ssize_t>(loop);
    const unsigned int position = call->state.position;
    return PyRef::steal(into_python([&] { return Py_BuildValue("(nIn)", instance, position, loop_address); }));
}

// ---------------------------------------------------------------------------
// The computation: what the task computing the call awaits

// The driver awaits this in place of the method's coroutine, which it runs
// (made at the first send, so that one never run is never made). It settles
// the computation, once, in whichever way it ends: when the method's
// coroutine returns or raises, when it is closed or thrown into, or when the
// object goes unfinished (an exception raised in the driver's own frames by
// a trace hook or signal handler drops it). Settling runs no Python code of
// the driver's, so nothing can cut it short.
struct Computation {
    PyObject_HEAD
    PyObject* call;     // the AwaitedCall, held
    PyObject* running;  // the method's coroutine, held while it runs
    PyObject* shared;   // its Shared entry in the driver's map, held; null when not shared
    PyObject* key;      // its key there, held
    // A weak reference to the asyncio task computing, whose end settles the
    // computation if nothing else did (see watch_task); or null.
    PyObject* task;
    bool started;
    bool settled;
};

Computation* as_computation(PyObject* self) noexcept { return reinterpret_cast<Computation*>(self); }

// Whether `error` ends the computation early rather than fail it: the task
// was cancelled (asyncio's and trio's cancellations derive from
// BaseException alone), its coroutine closed, or the program interrupted.
// Its waiters then look again, and one of them computes; an Exception reaches
// them all.
bool ended_early(PyObject* error) { return error == nullptr || !PyErr_GivenExceptionMatches(error, PyExc_Exception); }

// Where settle_computation passes on an exception met while waking the waiters.
enum class Delivery {
    // A send or throw of the task computing, or the done callback of its
    // task: raised there, in the loop, which lets an interrupt through.
    Raise,
    // A close, or a finaliser: CPython would report it there as unraisable.
    Later,
};

// Ends the computation, once: leaves its context scope, ends its slot in the
// store (storing `result`, for a computation that returned one), removes its
// entry from the driver's map, publishes the outcome and wakes the waiters.
// Any exception being raised is kept aside meanwhile. False with an exception
// set when storing the value failed (that is then the computation's outcome)
// or, delivered to be raised, when waking met one (which goes first: every
// waiter is woken, and the interrupt goes on).
bool settle_computation(Computation* computation, Outcome outcome, PyObject* result, Delivery delivery) {
    if (computation->settled) return true;
    computation->settled = true;
    PyRef store_error;
    WakeFailures failures;
    {
        SavedException raised;
        AwaitedCall* call = as_call(computation->call);
        AwaitedState& state = call->state;
        // The entry first, which nothing can then keep from going: the map
        // runs no Python code, and the objects of its key are alive.
        PyRef shared = PyRef::steal(std::exchange(computation->shared, nullptr));
        PyRef key = PyRef::steal(std::exchange(computation->key, nullptr));
        if (key && PyDict_GetItemWithError(registry.running, key.get()) == shared.get()) {
            PyDict_DelItem(registry.running, key.get());
        }
        PyErr_Clear();
        stop_watching_task(reinterpret_cast<PyObject*>(computation),
                           PyRef::steal(std::exchange(computation->task, nullptr)));
        state.scope.end();
        if (outcome == Outcome::Value) {
            DecoratorRecord& decorator = decorator_of(call);
            // The method reads its code and defaults again when it runs: if they
            // changed since the call was identified, the value may be another call's.
            PyRef func = decorator.options.func.new_ref();
            const bool function_changed = !func || !state.inputs.unchanged(func.get());
            PyRef replaced;  // released after the section: its finaliser may use this store
            bool overlapped = false;
            if (store_result(as_store(call->instance), state.position, state.slot, decorator.options.use_cache,
                             function_changed, result, replaced, &overlapped)) {
                state.computing = false;
                if (overlapped) outcome = Outcome::Overlapped;
            } else {
                store_error = std::move(TakenException::take().value);
                state.computing = false;  // given back by store_result
                outcome = Outcome::Error;
                result = store_error.get();
            }
            replaced.reset();
        } else {
            give_back_slot(call);
        }
        if (shared) failures = publish_outcome(shared.get(), outcome, outcome == Outcome::Cancelled ? nullptr : result);
        if (delivery == Delivery::Later) {
            failures.pass_on_later(shared.get());
        } else if (failures.interrupt.value) {
            failures.report_refusal(shared.get());
        }
    }
    if (delivery == Delivery::Raise && failures.any()) {
        store_error.reset();
        failures.raise_now();
        return false;
    }
    if (!store_error) return true;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(store_error.get())), store_error.get());
    return false;
}

// The method's coroutine raised (or could not be made): the computation
// settles with that exception, which goes on.
PySendResult fail(Computation* computation, Delivery delivery = Delivery::Raise) {
    TakenException raised = TakenException::take();
    PyRef running = PyRef::steal(std::exchange(computation->running, nullptr));
    const Outcome outcome = ended_early(raised.value.get()) ? Outcome::Cancelled : Outcome::Error;
    TakenException instead;  // an interrupt met while waking the waiters goes on in its place
    if (!settle_computation(computation, outcome, raised.value.get(), delivery)) instead = TakenException::take();
    running.reset();
    if (instead.value) {
        raised = TakenException();
        instead.restore();
    } else {
        raised.restore();
    }
    return PYGEN_ERROR;
}

// The method's coroutine returned `value` (owned): the computation settles
// with it. PYGEN_RETURN with `value` in `out`, or an error when storing failed.
PySendResult succeed(Computation* computation, PyObject* value, PyObject** out) {
    PyRef result = PyRef::steal(value);
    PyRef running = PyRef::steal(std::exchange(computation->running, nullptr));
    running.reset();
    if (!settle_computation(computation, Outcome::Value, result.get(), Delivery::Raise)) return PYGEN_ERROR;
    *out = result.release();
    return PYGEN_RETURN;
}

// One step of the method's coroutine (a send, a throw, a close), for as long
// as this lives or until suspend(): the computation's frame is the context's
// innermost, so that the calls the step makes count for this computation and
// no other, whatever runs in the same context between steps.
class ResumedStep {
public:
    explicit ResumedStep(Computation* computation)
        : scope_(as_call(computation->call)->state.scope), resumed_(scope_.resume()) {}
    ResumedStep(const ResumedStep&) = delete;
    ResumedStep& operator=(const ResumedStep&) = delete;
    ~ResumedStep() noexcept(false) { suspend(); }

    // False with an exception set when the frame could not be set.
    bool resumed() const noexcept { return resumed_; }
    void suspend() noexcept(false) {
        if (std::exchange(resumed_, false)) scope_.suspend();
    }

private:
    AsyncComputationScope& scope_;
    bool resumed_;
};

// Makes the method's coroutine at the first send or throw.
bool start(Computation* computation) {
    if (computation->started) return true;
    computation->started = true;
    computation->running = run_method(as_call(computation->call));
    return computation->running != nullptr;
}

PySendResult send_into(Computation* computation, PyObject* argument, PyObject** out) {
    if (computation->settled) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    ResumedStep step(computation);
    if (!step.resumed() || !start(computation)) {
        step.suspend();
        return fail(computation);
    }
    PyObject* sent = nullptr;
    const PySendResult status = into_python([&] { return PyIter_Send(computation->running, argument, &sent); });
    step.suspend();
    if (status == PYGEN_NEXT) {
        *out = sent;
        return PYGEN_NEXT;
    }
    if (status == PYGEN_RETURN) return succeed(computation, sent, out);
    return fail(computation);
}

PySendResult computation_am_send(PyObject* self, PyObject* argument, PyObject** out) {
    return guarded(PYGEN_ERROR, [&] { return send_into(as_computation(self), argument, out); });
}

PyObject* computation_send(PyObject* self, PyObject* argument) {
    return python_boundary([&]() -> PyObject* {
        PyObject* out = nullptr;
        switch (send_into(as_computation(self), argument, &out)) {
            case PYGEN_NEXT: return out;
            case PYGEN_RETURN: return stop_iteration_with(PyRef::steal(out));
            default: return nullptr;
        }
    });
}

PyObject* computation_next(PyObject* self) { return computation_send(self, Py_None); }

// throw(...): thrown into the method's coroutine, as into the driver that
// awaits it.
PyObject* computation_throw(PyObject* self, PyObject* args) {
    return python_boundary([&]() -> PyObject* {
        Computation* computation = as_computation(self);
        if (computation->settled) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return nullptr;
        }
        ResumedStep step(computation);
        if (!step.resumed() || !start(computation)) {
            step.suspend();
            fail(computation);
            return nullptr;
        }
        // Thrown on as one exception: the (type, value, traceback) form of
        // throw() is deprecated from 3.12 on.
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &traceback)) return nullptr;
        const bool one_exception = value == nullptr || value == Py_None || PyExceptionInstance_Check(value);
        PyObject* exception = value != nullptr && value != Py_None ? value : type;
        if (one_exception && exception == value && traceback != nullptr && traceback != Py_None &&
            PyException_SetTraceback(value, traceback) < 0) {
            return nullptr;
        }
        PyRef thrown = PyRef::steal(into_python([&]() -> PyObject* {
            if (one_exception) return PyObject_CallMethod(computation->running, "throw", "O", exception);
            PyRef method = PyRef::steal(PyObject_GetAttrString(computation->running, "throw"));
            return method ? PyObject_Call(method.get(), args, nullptr) : nullptr;
        }));
        step.suspend();
        if (thrown) return thrown.release();
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            TakenException stop = TakenException::take();
            PyRef value = PyRef::steal(into_python([&] { return PyObject_GetAttrString(stop.value.get(), "value"); }));
            if (!value) {
                fail(computation);
                return nullptr;
            }
            PyObject* out = nullptr;
            if (succeed(computation, value.release(), &out) != PYGEN_RETURN) return nullptr;
            return stop_iteration_with(PyRef::steal(out));
        }
        fail(computation);
        return nullptr;
    });
}

// close(): the method's coroutine is closed; the computation ends unfinished.
PyObject* computation_close(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        Computation* computation = as_computation(self);
        PyRef running = PyRef::steal(std::exchange(computation->running, nullptr));
        PyRef closed = PyRef::borrow(Py_None);
        if (running) {
            // What the method does on its way out counts for the computation.
            ResumedStep step(computation);
            if (!step.resumed()) PyErr_Clear();
            closed = PyRef::steal(into_python([&] { return PyObject_CallMethod(running.get(), "close", nullptr); }));
        }
        if (!closed) {
            fail(computation, Delivery::Later);
            return nullptr;
        }
        settle_computation(computation, Outcome::Cancelled, nullptr, Delivery::Later);
        return closed.release();
    });
}

// _task_done(task): the task computing has ended; the computation settles
// unless it did already.
PyObject* computation_task_done(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        Computation* computation = as_computation(self);
        if (!computation->settled) {
            PyRef running = PyRef::steal(std::exchange(computation->running, nullptr));
            running.reset();
            if (!settle_computation(computation, Outcome::Cancelled, nullptr, Delivery::Raise)) return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* computation_await(PyObject* self) { return Py_NewRef(self); }

int computation_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Computation* computation = as_computation(self);
    Py_VISIT(computation->call);
    Py_VISIT(computation->running);
    Py_VISIT(computation->shared);
    Py_VISIT(computation->task);
    return 0;
}

// A computation that goes unfinished settles as cancelled: its waiters look
// again. Its coroutine goes first, so that what the method does on its way
// out still counts for the computation.
void end_unfinished(Computation* computation) {
    PyRef running = PyRef::steal(std::exchange(computation->running, nullptr));
    running.reset();
    if (!computation->settled && computation->call != nullptr) {
        settle_computation(computation, Outcome::Cancelled, nullptr, Delivery::Later);
    }
}

int computation_clear(PyObject* self) {
    return guarded(0, [&] {
        Computation* computation = as_computation(self);
        SavedException raised;
        end_unfinished(computation);
        PyRef call = PyRef::steal(std::exchange(computation->call, nullptr));
        PyRef task = PyRef::steal(std::exchange(computation->task, nullptr));
        return 0;
    });
}

void computation_dealloc(PyObject* self) {
    free_instance(self, [&] { computation_clear(self); });
}

// clang-format off
PyMethodDef computation_methods[] = {
    {"send", computation_send, METH_O, nullptr},
    {"throw", computation_throw, METH_VARARGS, nullptr},
    {"close", computation_close, METH_NOARGS, nullptr},
    {"_task_done", computation_task_done, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot computation_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(computation_await)},
    {Py_am_send, reinterpret_cast<void*>(computation_am_send)},
    {Py_tp_iter, reinterpret_cast<void*>(computation_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(computation_next)},
    {Py_tp_methods, computation_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(computation_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(computation_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(computation_dealloc)},
    {Py_tp_doc, const_cast<char*>("The computation of a lineage-stored async call, as the task computing it awaits it.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec computation_spec = {
    "lineage_store.Computation",
    static_cast<int>(sizeof(Computation)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION),
    computation_slots,
};

}  // namespace

void give_back_slot(AwaitedCall* call) {
    AwaitedState& state = call->state;
    if (!state.computing) return;
    state.computing = false;
    give_back(as_store(call->instance), state.slot);
}

PyObject* run_method(AwaitedCall* call) {
    PyRef func = decorator_of(call).options.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    return into_python([&] { return PyObject_Call(func.get(), call->args, call->kwargs); });
}

bool prepare_computations(PyObject* shared_class) {
    if (registry.running != nullptr) return true;
    Registry made;
    if (type_made_once(made.computation_type, computation_spec) == nullptr) return false;
    made.running = PyDict_New();
    if (made.running == nullptr || !prepare_waiters()) return false;
    PyObject* hexversion = PySys_GetObject("hexversion");  // borrowed
    made.watch_tasks = hexversion == nullptr || !PyLong_Check(hexversion) || PyLong_AsLong(hexversion) < 0x030C0000;
    PyErr_Clear();
    made.shared_class = Py_NewRef(shared_class);
    registry = made;
    return true;
}

PyRef computation_in_progress(AwaitedCall* call, PyObject* loop) {
    if (loop == Py_None) return PyRef::borrow(Py_None);
    PyRef key = running_key(call, loop);
    if (!key) return {};
    PyObject* shared = PyDict_GetItemWithError(registry.running, key.get());  // borrowed
    if (shared != nullptr) return PyRef::borrow(shared);
    return PyErr_Occurred() ? PyRef() : PyRef::borrow(Py_None);
}

PyObject* start_computation(PyObject* self, PyObject* loop, PyObject* trio) {
    AwaitedCall* call = as_call(self);
    AwaitedState& state = call->state;
    // What runs Python code comes first, while nothing is begun.
    PyRef key;
    PyRef shared;
    if (loop != Py_None) {
        key = running_key(call, loop);
        if (!key) return nullptr;
        shared = PyRef::steal(
            into_python([&] { return PyObject_CallFunctionObjArgs(registry.shared_class, loop, trio, nullptr); }));
        if (!shared) return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(registry.computation_type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(registry.computation_type, 0); }));
    if (!made) return nullptr;
    StoreObject* store = as_store(call->instance);
    {
        StoreSection section = StoreSection::open(
            store, Access::Write, {"began its computation", decorator_of(call).options.method_name.get()});
        if (!section.opened()) return nullptr;
        state.slot = section.store_record()->graph.begin_computation(state.position);
        state.computing = true;
    }
    Computation* computation = as_computation(made.get());
    computation->call = Py_NewRef(self);
    // From here on the computation settles however it ends: `made` does it
    // when it goes unfinished.
    if (!state.scope.begin({store, call->decorator, state.position, state.slot,
                            decorator_of(call).options.track_runtime_dependencies})) {
        return nullptr;
    }
    if (shared) {
        // One read and one write of the map, with no Python code between.
        PyObject* entry = PyDict_GetItemWithError(registry.running, key.get());  // borrowed
        if (entry == nullptr && PyErr_Occurred()) return nullptr;
        // An entry made meanwhile, by code a hook ran: this computation
        // goes unshared.
        if (entry == nullptr) {
            if (PyDict_SetItem(registry.running, key.get(), shared.get()) < 0) return nullptr;
            computation->shared = shared.release();
            computation->key = key.release();
        }
        if (registry.watch_tasks && trio != Py_True) computation->task = watch_task(made.get()).release();
    }
    return made.release();
}

}  // namespace lineage_store
