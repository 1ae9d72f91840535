// loop_waiters.cpp: the tasks of a loop waiting for a computation, woken
// with its outcome, and the task computing it, watched.
#include "decorated/loop_waiters.h"

#include <utility>

#include "python/process_objects.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

// Names of the attributes and methods waking reaches, made at import in the
// main interpreter and kept for the rest of the process.
struct Names {
    PyObject* outcomes[4] = {};
    PyObject* outcome = nullptr;
    PyObject* value = nullptr;
    PyObject* waiters = nullptr;
    PyObject* trio = nullptr;
    PyObject* loop = nullptr;
    PyObject* done = nullptr;
    PyObject* callbacks = nullptr;
    PyObject* remove_done_callback = nullptr;
    PyObject* set_result = nullptr;
    PyObject* call_soon = nullptr;
    PyObject* context = nullptr;
    PyObject* is_closed = nullptr;
    PyObject* is_set = nullptr;
    PyObject* set = nullptr;
};
Names names;

// How often one waiter's steps may fail before it is given up: far more than
// interrupts arrive in a row, few enough that a loop refusing every step
// costs little.
constexpr int kTriesPerWaiter = 100;

// ---------------------------------------------------------------------------
// The callback of a waiter's future, called once however often it is scheduled

// A callback taken off a waiter's future, with the future it is called with.
// Calling it calls the callback at most once: scheduling it is the step that
// may be cut short after the loop took it, so it may be scheduled twice.
struct WakeUp {
    PyObject_HEAD
    PyObject* callback;  // held until called; null then
    PyObject* future;    // held likewise
};

WakeUp* as_wake_up(PyObject* self) noexcept { return reinterpret_cast<WakeUp*>(self); }

PyObject* wake_up_call(PyObject* self, PyObject*, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        WakeUp* wake_up = as_wake_up(self);
        PyRef callback = PyRef::steal(std::exchange(wake_up->callback, nullptr));
        PyRef future = PyRef::steal(std::exchange(wake_up->future, nullptr));
        if (!callback) return Py_NewRef(Py_None);
        return into_python([&] { return PyObject_CallFunctionObjArgs(callback.get(), future.get(), nullptr); });
    });
}

int wake_up_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_wake_up(self)->callback);
    Py_VISIT(as_wake_up(self)->future);
    return 0;
}

int wake_up_clear(PyObject* self) {
    return guarded(0, [&] {
        PyRef callback = PyRef::steal(std::exchange(as_wake_up(self)->callback, nullptr));
        PyRef future = PyRef::steal(std::exchange(as_wake_up(self)->future, nullptr));
        return 0;
    });
}

void wake_up_dealloc(PyObject* self) {
    free_instance(self, [&] { wake_up_clear(self); });
}

// clang-format off
PyType_Slot wake_up_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(wake_up_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(wake_up_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wake_up_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(wake_up_dealloc)},
    {Py_tp_doc, const_cast<char*>("A task waiting for a lineage-stored computation, woken once.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec wake_up_spec = {
    "lineage_store.WakeUp",
    static_cast<int>(sizeof(WakeUp)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION),
    wake_up_slots,
};

PyTypeObject* wake_up_type = nullptr;  // made at import, kept for the process

PyRef new_wake_up(PyObject* callback, PyObject* future) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(wake_up_type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(wake_up_type, 0); }));
    if (made) {
        as_wake_up(made.get())->callback = Py_NewRef(callback);
        as_wake_up(made.get())->future = Py_NewRef(future);
    }
    return made;
}

// ---------------------------------------------------------------------------
// Waking, one step at a time

// Takes `step` (true when done, false with an exception set) until it
// succeeds or `tries` run out. The first exception is kept: as an interrupt
// when a later try went past it, as a refusal when none did (unless
// `refusal_noted` is false: a step that may fail as a matter of course).
template <typename Step>
bool attempt(WakeFailures& failures, int& tries, Step&& step, bool refusal_noted = true) {
    TakenException first;
    while (true) {
        if (step()) {
            if (first.value && !failures.interrupt.value) failures.interrupt = std::move(first);
            return true;
        }
        TakenException raised = TakenException::take();
        if (!first.value) first = std::move(raised);
        if (--tries <= 0) {
            if (refusal_noted && first.value && !failures.refusal.value) failures.refusal = std::move(first);
            return false;
        }
    }
}

// `object`'s method `name` (a future's, an event's or a loop's), called with
// `argument` or with nothing.
PyRef call_waiter_method(PyObject* object, PyObject* name, PyObject* argument = nullptr) {
    return PyRef::steal(into_python([&] { return PyObject_CallMethodObjArgs(object, name, argument, nullptr); }));
}

// A callback of a waiter's future and the context it runs in.
struct TakenCallback {
    PyRef callback;
    PyRef context;
};
using TakenCallbacks = ReleasingVector<TakenCallback>;

// One try at finishing the asyncio future `future` with its callbacks taken
// off first, into `taken`: asyncio's own futures (the C one and the Python
// one both list them in `_callbacks`) then schedule nothing and, for the C
// one, run no Python code, where scheduling them itself calls loop.call_soon,
// cut short in which they would all be dropped. Each is kept before it is
// removed, so that a try cut short after a removal loses none, and kept once
// (by identity), so that one found again on the next try is not kept twice.
// A future of another kind, which does not list them, schedules its own.
bool finish_without_callbacks(PyObject* future, TakenCallbacks& taken) {
    PyRef done = call_waiter_method(future, names.done);
    if (!done) return false;
    if (done.get() == Py_True) return true;
    PyRef listed = PyRef::steal(into_python([&] { return PyObject_GetAttr(future, names.callbacks); }));
    if (!listed && !PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    // A snapshot: removing a callback may change the list itself.
    PyRef pairs = listed && listed.get() != Py_None
                      ? PyRef::steal(into_python([&] { return PySequence_Tuple(listed.get()); }))
                      : new_tuple(0);
    if (!pairs) return false;
    for (Py_ssize_t i = 0; i < PyTuple_Size(pairs.get()); ++i) {
        PyObject* pair = PyTuple_GetItem(pairs.get(), i);  // borrowed, held by `pairs`
        if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) continue;  // left to set_result to schedule
        PyObject* callback = PyTuple_GetItem(pair, 0);
        PyObject* context = PyTuple_GetItem(pair, 1);
        bool known = false;
        for (const TakenCallback& held : taken) {
            known = known || (held.callback.get() == callback && held.context.get() == context);
        }
        if (!known) taken.push_back({PyRef::borrow(callback), PyRef::borrow(context)});
        if (!call_waiter_method(future, names.remove_done_callback, callback)) return false;
    }
    return static_cast<bool>(call_waiter_method(future, names.set_result, Py_None));
}

// One try at loop.call_soon(wake_up, context=context).
bool schedule(PyObject* loop, PyObject* wake_up, PyObject* context) {
    PyRef call_soon = PyRef::steal(into_python([&] { return PyObject_GetAttr(loop, names.call_soon); }));
    PyRef arguments = call_soon ? PyRef::steal(into_python([&] { return PyTuple_Pack(1, wake_up); })) : PyRef();
    PyRef keywords = arguments ? new_dict() : PyRef();
    if (!keywords || into_python([&] { return PyDict_SetItem(keywords.get(), names.context, context); }) < 0) {
        return false;
    }
    PyRef handle =
        PyRef::steal(into_python([&] { return PyObject_Call(call_soon.get(), arguments.get(), keywords.get()); }));
    return static_cast<bool>(handle);
}

// Wakes the asyncio waiter `future` of `loop`: finished with its result,
// and each callback it had (the waiting task's wake-up) scheduled on the loop.
void wake_future(PyObject* loop, PyObject* future, WakeFailures& failures) {
    int tries = kTriesPerWaiter;
    TakenCallbacks taken;
    attempt(failures, tries, [&] { return finish_without_callbacks(future, taken); });
    // The callbacks taken are scheduled even when finishing failed: a task
    // woken to an unfinished future raises, where it would otherwise wait
    // forever.
    for (TakenCallback& callback : taken) {
        PyRef wake_up;
        attempt(failures, tries, [&] {
            if (!wake_up) wake_up = new_wake_up(callback.callback.get(), future);
            return wake_up && schedule(loop, wake_up.get(), callback.context.get());
        });
    }
}

// Wakes the trio waiter `event` (a trio.Event). Its set() is protected from
// trio's KeyboardInterrupt, and taken again while the event is not set.
void wake_event(PyObject* event, WakeFailures& failures) {
    int tries = kTriesPerWaiter;
    attempt(failures, tries, [&] {
        PyRef is_set = call_waiter_method(event, names.is_set);
        return is_set && (is_set.get() == Py_True || call_waiter_method(event, names.set));
    });
}

// Whether `loop` is closed: a closed loop runs nothing again, so its waiters
// are left as they are. A loop that cannot say is taken to be open.
bool loop_closed(PyObject* loop, WakeFailures& failures) {
    int tries = kTriesPerWaiter;
    bool closed = false;
    attempt(
        failures, tries,
        [&] {
            PyRef answer = call_waiter_method(loop, names.is_closed);
            closed = answer && answer.get() == Py_True;
            return static_cast<bool>(answer);
        },
        false);
    return closed;
}

// Wakes the tasks waiting for `shared`, now settled, each whatever happens
// while the others are woken.
void wake_waiters(PyObject* shared, WakeFailures& failures) {
    PyRef waiters = PyRef::steal(into_python([&] { return PyObject_GetAttr(shared, names.waiters); }));
    PyRef trio = waiters ? PyRef::steal(into_python([&] { return PyObject_GetAttr(shared, names.trio); })) : PyRef();
    PyRef loop = trio ? PyRef::steal(into_python([&] { return PyObject_GetAttr(shared, names.loop); })) : PyRef();
    if (!loop || !PyList_Check(waiters.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a computation's waiters are not a list");
        failures.refusal = TakenException::take();
        return;
    }
    const bool on_trio = trio.get() == Py_True;
    if (PyList_Size(waiters.get()) == 0 || (!on_trio && loop_closed(loop.get(), failures))) return;
    // By index: the list may grow while a step runs Python code.
    for (Py_ssize_t i = 0; i < PyList_Size(waiters.get()); ++i) {
        PyRef waiter = PyRef::borrow(PyList_GetItem(waiters.get(), i));
        if (on_trio) {
            wake_event(waiter.get(), failures);
        } else {
            wake_future(loop.get(), waiter.get(), failures);
        }
    }
}

// Raises `exception` (a reference handed over) in the main thread, run from
// the interpreter's pending calls: where a signal handler's exception is
// raised, between two bytecodes.
int raise_in_main_thread(void* exception) noexcept {
    auto* value = static_cast<PyObject*>(exception);
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
    return -1;
}

// What a task's done callback is, for the task computing: `computation._task_done`.
PyRef task_done_callback(PyObject* computation) {
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(computation, "_task_done"); }));
}

}  // namespace

bool prepare_waiters() {
    if (names.waiters != nullptr) return true;
    Names made;
    const char* outcomes[] = {"value", "error", "cancelled", "overlapped"};
    for (int i = 0; i < 4; ++i) {
        made.outcomes[i] = PyUnicode_InternFromString(outcomes[i]);
        if (made.outcomes[i] == nullptr) return false;
    }
    const std::pair<PyObject**, const char*> named[] = {
        {&made.outcome, "outcome"},
        {&made.value, "value"},
        {&made.waiters, "waiters"},
        {&made.trio, "trio"},
        {&made.loop, "loop"},
        {&made.done, "done"},
        {&made.callbacks, "_callbacks"},
        {&made.remove_done_callback, "remove_done_callback"},
        {&made.set_result, "set_result"},
        {&made.call_soon, "call_soon"},
        {&made.context, "context"},
        {&made.is_closed, "is_closed"},
        {&made.is_set, "is_set"},
        {&made.set, "set"},
    };
    for (const auto& [slot, text] : named) {
        *slot = PyUnicode_InternFromString(text);
        if (*slot == nullptr) return false;
    }
    if (type_made_once(wake_up_type, wake_up_spec) == nullptr) return false;
    names = made;
    return true;
}

bool WakeFailures::raise_now() {
    if (!any()) return false;
    (interrupt.value ? interrupt : refusal).restore();
    return true;
}

void WakeFailures::report_refusal(PyObject* where) {
    if (!refusal.value) return;
    refusal.restore();
    into_python([&] { return (PyErr_WriteUnraisable(where), 0); });
}

void WakeFailures::pass_on_later(PyObject* where) {
    report_refusal(where);
    if (!interrupt.value) return;
    PyObject* value = interrupt.value.get();
    if (Py_AddPendingCall(raise_in_main_thread, value) == 0) {
        static_cast<void>(interrupt.value.release());  // the pending call owns it now
        return;
    }
    // The interpreter's queue is full: a KeyboardInterrupt is delivered as
    // SIGINT would deliver it, anything else reported.
    if (PyErr_GivenExceptionMatches(value, PyExc_KeyboardInterrupt)) {
        PyErr_SetInterrupt();
        return;
    }
    interrupt.restore();
    into_python([&] { return (PyErr_WriteUnraisable(where), 0); });
}

WakeFailures publish_outcome(PyObject* shared, Outcome outcome, PyObject* value) {
    WakeFailures failures;
    PyObject* name = names.outcomes[static_cast<int>(outcome)];
    int tries = kTriesPerWaiter;
    attempt(failures, tries, [&] {
        return into_python([&] { return PyObject_SetAttr(shared, names.value, value ? value : Py_None); }) == 0 &&
               into_python([&] { return PyObject_SetAttr(shared, names.outcome, name); }) == 0;
    });
    wake_waiters(shared, failures);
    return failures;
}

// The end of the asyncio task computing settles the computation if nothing
// else did first. An exception met where the driver's frame suspends (a trace
// hook's, on 3.10) ends that frame without unwinding its stack, so the
// awaitable stays alive as long as the exception's traceback, and the task is
// the only one to know that it will never be driven again. The task holds the
// callback, and the callback the computation; the computation only refers to
// the task weakly, so that nothing keeps it alive but a driver or the task.
// From 3.12 on, such an exception unwinds the frame's stack, and the
// awaitable settles as it goes: no task is watched there.
// Errors are cleared: without the watch, the computation still settles in
// every other way.
PyRef watch_task(PyObject* computation) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    PyObject* asyncio =
        modules != nullptr && PyDict_Check(modules) ? PyDict_GetItemString(modules, "asyncio") : nullptr;
    if (asyncio == nullptr) return {};
    PyRef task = PyRef::steal(into_python([&] { return PyObject_CallMethod(asyncio, "current_task", nullptr); }));
    PyRef callback = task && task.get() != Py_None ? task_done_callback(computation) : PyRef();
    PyRef weak_task = callback ? PyRef::steal(PyWeakref_NewRef(task.get(), nullptr)) : PyRef();
    PyRef added = weak_task ? PyRef::steal(into_python([&] {
        return PyObject_CallMethod(task.get(), "add_done_callback", "O", callback.get());
    }))
                            : PyRef();
    if (!added) {
        PyErr_Clear();
        return {};
    }
    return weak_task;
}

// Takes the callback of watch_task off the task, which is done or will not
// need it.
void stop_watching_task(PyObject* computation, PyRef weak_task) {
    if (!weak_task) return;
    PyRef held = PyRef::steal(PyObject_CallNoArgs(weak_task.get()));  // calling a weak reference runs no Python code
    if (!held || held.get() == Py_None) {
        PyErr_Clear();
        return;
    }
    PyRef callback = task_done_callback(computation);
    PyRef removed = callback ? PyRef::steal(into_python([&] {
        return PyObject_CallMethod(held.get(), "remove_done_callback", "O", callback.get());
    }))
                             : PyRef();
    PyErr_Clear();
}


}  // namespace lineage_store
