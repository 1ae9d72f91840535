// loop_waiters.cpp: the tasks of a loop waiting for a computation, woken
// with its outcome, and the task computing it, watched.
#include "decorated/loop_waiters.h"

#include <utility>

#include "python/python_boundary.h"

namespace lineage_store {

namespace {

// Outcome names and the Shared attributes they are published in, made at
// import in the main interpreter and kept for the rest of the process.
struct Names {
    PyObject* outcomes[4] = {};
    PyObject* outcome = nullptr;
    PyObject* value = nullptr;
    PyObject* waiters = nullptr;
    PyObject* trio = nullptr;
};
Names names;

// Wakes the tasks waiting for `shared`, now settled. A waiter that cannot be
// woken (its loop refuses, or a hook raises in there) is reported and the
// others are woken all the same.
void wake_waiters(PyObject* shared) {
    PyRef waiters = PyRef::steal(into_python([&] { return PyObject_GetAttr(shared, names.waiters); }));
    PyRef trio = PyRef::steal(into_python([&] { return PyObject_GetAttr(shared, names.trio); }));
    if (!waiters || !trio || !PyList_Check(waiters.get())) {
        into_python([&] { return (PyErr_WriteUnraisable(shared), 0); });
        return;
    }
    const bool on_trio = trio.get() == Py_True;
    // By index: the list may grow while a waker runs Python code.
    for (Py_ssize_t i = 0; i < PyList_Size(waiters.get()); ++i) {
        PyRef waiter = PyRef::borrow(PyList_GetItem(waiters.get(), i));
        PyRef woken = PyRef::steal(into_python([&]() -> PyObject* {
            if (on_trio) return PyObject_CallMethod(waiter.get(), "set", nullptr);
            PyRef done = PyRef::steal(PyObject_CallMethod(waiter.get(), "done", nullptr));
            if (!done) return nullptr;
            if (done.get() == Py_True) return Py_NewRef(Py_None);
            return PyObject_CallMethod(waiter.get(), "set_result", "O", Py_None);
        }));
        if (!woken) into_python([&] { return (PyErr_WriteUnraisable(waiter.get()), 0); });
    }
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
    made.outcome = PyUnicode_InternFromString("outcome");
    made.value = PyUnicode_InternFromString("value");
    made.waiters = PyUnicode_InternFromString("waiters");
    made.trio = PyUnicode_InternFromString("trio");
    if (made.outcome == nullptr || made.value == nullptr || made.waiters == nullptr || made.trio == nullptr)
        return false;
    names = made;
    return true;
}

// Publishes the outcome in `shared` and wakes its waiters.
void publish(PyObject* shared, Outcome outcome, PyObject* value) {
    PyObject* name = names.outcomes[static_cast<int>(outcome)];
    if (into_python([&] { return PyObject_SetAttr(shared, names.value, value ? value : Py_None); }) < 0 ||
        into_python([&] { return PyObject_SetAttr(shared, names.outcome, name); }) < 0) {
        into_python([&] { return (PyErr_WriteUnraisable(shared), 0); });
    }
    wake_waiters(shared);
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
