// call_context.cpp: frames of computations in progress, kept per execution
// context in one context variable.
#include "call_context.h"

#include <utility>
#include <vector>

#include "interpreter_shortcuts.h"
#include "python_boundary.h"

namespace lineage_store {

namespace {

CallFrame* as_frame(PyObject* object) noexcept { return reinterpret_cast<CallFrame*>(object); }

void frame_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    CallFrame* frame = as_frame(self);
    PyRef outer = PyRef::steal(std::exchange(frame->outer, nullptr));
    PyRef decorator = PyRef::steal(std::exchange(frame->decorator, nullptr));
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
    // Released last, with this frame gone: a chain is released link by link.
}

// clang-format off
PyType_Slot frame_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_doc, const_cast<char*>("A decorated call being computed.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec frame_spec = {
    "lineage_store.CallFrame",
    static_cast<int>(sizeof(CallFrame)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_slots,
};

PyTypeObject* frame_type() {
    // Created once per process, like the module's other types.
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&frame_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// The context variable of the running interpreter, made on first use there
// and kept for the rest of the process. Borrowed; null with an exception set.
PyObject* context_variable() {
    static std::vector<std::pair<std::int64_t, PyObject*>> made;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    for (const auto& [id, variable] : made) {
        if (id == interpreter) return variable;
    }
    PyObject* variable = nullptr;
    if (context_variables.make != nullptr) {
        variable = context_variables.make("lineage_store_computation", nullptr);
    } else {
        PyRef contextvars = PyRef::steal(into_python([] { return PyImport_ImportModule("contextvars"); }));
        if (!contextvars) return nullptr;
        variable = into_python([&] {
            return PyObject_CallMethod(contextvars.get(), "ContextVar", "s", "lineage_store_computation");
        });
    }
    if (variable == nullptr) return nullptr;
    made.emplace_back(interpreter, variable);
    return variable;
}

}  // namespace

PyRef current_frame() {
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
    // None stands for no frame where a frame's end had to put one back.
    if (value && value.get() == Py_None) return {};
    return value;
}

const CallFrame* innermost_frame_of(PyObject* head, const void* store) noexcept {
    for (PyObject* at = head; at != nullptr; at = as_frame(at)->outer) {
        const CallFrame* frame = as_frame(at);
        if (frame->active && frame->store == store) return frame;
    }
    return nullptr;
}

bool computing_in_chain(PyObject* head, const void* store, NodePosition node) noexcept {
    for (PyObject* at = head; at != nullptr; at = as_frame(at)->outer) {
        const CallFrame* frame = as_frame(at);
        if (frame->active && frame->store == store && frame->node == node) return true;
    }
    return false;
}

bool PushedFrame::push(PyObject* decorator, const void* store, NodePosition node, std::uint32_t slot, bool tracks) {
    PyObject* variable = context_variable();
    if (variable == nullptr) return false;
    PyTypeObject* type = frame_type();
    if (type == nullptr) return false;
    PyRef outer = current_frame();
    if (!outer && PyErr_Occurred()) return false;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    // Not a collected type: the allocation runs no collection.
    PyRef made = PyRef::steal(alloc(type, 0));
    if (!made) return false;
    CallFrame* frame = as_frame(made.get());
    frame->outer = outer.release();
    frame->decorator = Py_NewRef(decorator);
    frame->store = store;
    frame->node = node;
    frame->slot = slot;
    frame->tracks_runtime_dependencies = tracks;
    frame->active = true;
    PyRef token;
    if (context_variables.set != nullptr) {
        token = PyRef::steal(into_python([&] { return context_variables.set(variable, made.get()); }));
    } else {
        token = PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "set", "O", made.get()); }));
    }
    if (!token) return false;
    frame_ = std::move(made);
    token_ = std::move(token);
    return true;
}

void PushedFrame::pop() noexcept(false) {
    if (!frame_ || must_abandon_python_state()) return;
    // The computation's own exception, if it raised one, stays what is raised.
    SavedException raised;
    CallFrame* frame = as_frame(frame_.get());
    frame->active = false;
    PyObject* variable = context_variable();
    if (variable != nullptr) {
        int reset = 0;
        if (context_variables.reset != nullptr) {
            reset = into_python([&] { return context_variables.reset(variable, token_.get()); });
        } else {
            PyRef done = PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "reset", "O", token_.get()); }));
            reset = done ? 0 : -1;
        }
        if (reset < 0) {
            // The token belongs to another context than the current one, which
            // only code that switched contexts under the computation can
            // cause: the outer frame is made innermost here instead.
            PyErr_Clear();
            PyRef put_back = PyRef::steal(into_python([&] {
                return context_variables.set != nullptr
                           ? context_variables.set(variable, frame->outer != nullptr ? frame->outer : Py_None)
                           : PyObject_CallMethod(variable, "set", "O", frame->outer != nullptr ? frame->outer : Py_None);
            }));
            if (!put_back) PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    token_.reset();
    PyRef decorator = PyRef::steal(std::exchange(frame->decorator, nullptr));
    frame_.reset();
}

}  // namespace lineage_store
