// call_context.cpp: scopes of computations in progress, one context variable
// naming each context's current scope.
#include "decorated/call_context.h"

#include <utility>
#include <vector>

#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

struct Scope {
    PyObject_HEAD
    PyObject* outer;  // the scope current when this one was made, or null; held
    // The synchronous computations begun in this scope, innermost last;
    // made at the first. A heap block: the object itself is not a C++ one.
    std::vector<ComputationFrame>* frames;
    unsigned long owner;  // the thread whose computations are in `frames`
    // An asynchronous computation's own scope: the computation, while it runs.
    bool computing;
    ComputationFrame computation;
};

Scope* as_scope(PyObject* object) noexcept { return reinterpret_cast<Scope*>(object); }

void scope_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Scope* scope = as_scope(self);
    delete std::exchange(scope->frames, nullptr);
    PyRef outer = PyRef::steal(std::exchange(scope->outer, nullptr));
    PyRef decorator = PyRef::steal(scope->computing ? std::exchange(scope->computation.decorator, nullptr) : nullptr);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
    // The outer scope is released last, with this one gone.
}

// clang-format off
PyType_Slot scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
    {Py_tp_doc, const_cast<char*>("The decorated computations in progress that a context sees.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec scope_spec = {
    "lineage_store.ComputationScope",
    static_cast<int>(sizeof(Scope)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scope_slots,
};

PyTypeObject* scope_type() {
    // Created once per process, like the module's other types.
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&scope_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// The context variable of the running interpreter, made on first use there
// and kept for the rest of the process. Borrowed; null with an exception set.
PyObject* context_variable() {
    static PyInterpreterState* main_interpreter = nullptr;
    static PyObject* main_variable = nullptr;
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (interpreter == main_interpreter) return main_variable;
    static std::vector<std::pair<std::int64_t, PyObject*>> others;
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    for (const auto& [other, variable] : others) {
        if (other == id) return variable;
    }
    PyObject* variable = nullptr;
    if (context_variables.make != nullptr) {
        variable = context_variables.make("lineage_store_computations", nullptr);
    } else {
        PyRef contextvars = PyRef::steal(into_python([] { return PyImport_ImportModule("contextvars"); }));
        if (!contextvars) return nullptr;
        variable = into_python(
            [&] { return PyObject_CallMethod(contextvars.get(), "ContextVar", "s", "lineage_store_computations"); });
    }
    if (variable == nullptr) return nullptr;
    if (id == 0) {
        main_interpreter = interpreter;
        main_variable = variable;
    } else {
        others.emplace_back(id, variable);
    }
    return variable;
}

// The current context's scope, or an empty PyRef when it has none (no
// exception then). Empty with an exception set on failure.
PyRef read_scope() {
    PyObject* variable = context_variable();
    if (variable == nullptr) return {};
    PyRef value;
    if (context_variables.get != nullptr) {
        PyObject* found = nullptr;
        if (into_python([&] { return context_variables.get(variable, nullptr, &found); }) < 0) return {};
        value = PyRef::steal(found);
    } else {
        value = PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "get", "O", Py_None); }));
    }
    // None stands for no scope where an ended computation had to put one back.
    if (value && value.get() == Py_None) return {};
    return value;
}

// Makes `scope` the current context's; the token that undoes it, or empty
// with an exception set.
PyRef set_scope(PyObject* variable, PyObject* scope) {
    return PyRef::steal(into_python([&] {
        return context_variables.set != nullptr ? context_variables.set(variable, scope)
                                                : PyObject_CallMethod(variable, "set", "O", scope);
    }));
}

// A new scope within `outer` (may be null). Empty with an exception set.
PyRef make_scope(PyObject* outer) {
    PyTypeObject* type = scope_type();
    if (type == nullptr) return {};
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef made = PyRef::steal(alloc(type, 0));  // not a collected type: no collection starts
    if (!made) return {};
    as_scope(made.get())->outer = Py_XNewRef(outer);
    return made;
}

// A new root scope within `outer` (may be null), made the current context's.
PyRef enter_new_scope(PyObject* outer) {
    PyObject* variable = context_variable();
    if (variable == nullptr) return {};
    PyRef made = make_scope(outer);
    if (!made) return {};
    // The token is not kept: a root scope stays its context's for good.
    PyRef token = set_scope(variable, made.get());
    if (!token) return {};
    return made;
}

}  // namespace

ContextView ContextView::current() {
    ContextView view;
    view.scope_ = read_scope();
    return view;
}

const ComputationFrame* ContextView::innermost_of(const void* store) const noexcept {
    for (PyObject* at = scope_.get(); at != nullptr; at = as_scope(at)->outer) {
        const Scope* scope = as_scope(at);
        if (const std::vector<ComputationFrame>* frames = scope->frames) {
            for (auto frame = frames->rbegin(); frame != frames->rend(); ++frame) {
                if (frame->store == store) return &*frame;
            }
        }
        if (scope->computing && scope->computation.store == store) return &scope->computation;
    }
    return nullptr;
}

bool ContextView::computing(const void* store, NodePosition node) const noexcept {
    for (PyObject* at = scope_.get(); at != nullptr; at = as_scope(at)->outer) {
        const Scope* scope = as_scope(at);
        if (const std::vector<ComputationFrame>* frames = scope->frames) {
            for (const ComputationFrame& frame : *frames) {
                if (frame.store == store && frame.node == node) return true;
            }
        }
        if (scope->computing && scope->computation.store == store && scope->computation.node == node) return true;
    }
    return false;
}

bool AsyncComputationScope::begin(const ComputationFrame& frame) {
    PyObject* variable = context_variable();
    if (variable == nullptr) return false;
    PyRef outer = read_scope();
    if (!outer && PyErr_Occurred()) return false;
    PyRef made = make_scope(outer.get());
    if (!made) return false;
    Scope* scope = as_scope(made.get());
    scope->computation = frame;
    Py_INCREF(frame.decorator);  // held while the computation runs, across awaits
    scope->computing = true;
    PyRef token = set_scope(variable, made.get());
    if (!token) return false;  // the scope goes with its decorator reference
    scope_ = std::move(made);
    token_ = std::move(token);
    return true;
}

void AsyncComputationScope::end() noexcept(false) {
    if (!scope_ || must_abandon_python_state()) return;
    // The computation's own exception, if it raised one, stays what is raised.
    SavedException raised;
    Scope* scope = as_scope(scope_.get());
    scope->computing = false;
    PyRef decorator = PyRef::steal(std::exchange(scope->computation.decorator, nullptr));
    PyObject* variable = context_variable();
    if (variable != nullptr) {
        int reset = 0;
        if (context_variables.reset != nullptr) {
            reset = into_python([&] { return context_variables.reset(variable, token_.get()); });
        } else {
            PyRef done =
                PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "reset", "O", token_.get()); }));
            reset = done ? 0 : -1;
        }
        // A coroutine closed outside the task that ran it (dropped
        // unfinished) ends in another context: that one is left alone, and
        // the scope, no longer computing, stays inert where it is.
        if (reset < 0) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    token_.reset();
    scope_.reset();
}

bool BegunComputation::begin(const ComputationFrame& frame) {
    PyRef scope = read_scope();
    if (!scope && PyErr_Occurred()) return false;
    const unsigned long thread = PyThread_get_thread_ident();
    // A context's first computation, or one in a worker thread given a copy
    // of a context whose scope another thread is using: a scope of its own.
    if (!scope || (as_scope(scope.get())->frames != nullptr && !as_scope(scope.get())->frames->empty() &&
                   as_scope(scope.get())->owner != thread)) {
        scope = enter_new_scope(scope.get());
        if (!scope) return false;
    }
    Scope* entered = as_scope(scope.get());
    if (entered->frames == nullptr) entered->frames = new std::vector<ComputationFrame>();
    entered->frames->push_back(frame);
    entered->owner = thread;
    depth_ = entered->frames->size();
    scope_ = std::move(scope);
    return true;
}

const ComputationFrame& BegunComputation::frame() const noexcept {
    return (*as_scope(scope_.get())->frames)[depth_ - 1];
}

void BegunComputation::end() noexcept(false) {
    if (!scope_ || must_abandon_python_state()) return;
    std::vector<ComputationFrame>& frames = *as_scope(scope_.get())->frames;
    // Computations in one scope end innermost first, so this one is on top.
    if (frames.size() >= depth_) frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(depth_ - 1));
    scope_.reset();
}

}  // namespace lineage_store
