// call_context.cpp: frames of computations in progress, one context variable
// naming each context's innermost.
#include "decorated/call_context.h"

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

struct Frame {
    PyObject_HEAD
    PyObject* outer;  // the frame current when this one was set, or null; held
    ComputationFrame computation;
    bool ended;
};

Frame* as_frame(PyObject* object) noexcept { return reinterpret_cast<Frame*>(object); }

// How many frames exist, in every context of the process. While there are
// none, no context can hold one, and a miss that begins a computation need
// not read the context variable at all: most programs never make a frame.
std::atomic<std::size_t> frames_alive{0};

// What an ended frame lets go of: its instance and decorator. Nulls them in
// the frame before releasing them.
void let_go(Frame* frame) {
    PyRef instance = PyRef::steal(reinterpret_cast<PyObject*>(std::exchange(frame->computation.store, nullptr)));
    PyRef decorator = PyRef::steal(std::exchange(frame->computation.decorator, nullptr));
}

void frame_dealloc(PyObject* self) {
    PyObject* outer = nullptr;
    free_instance(self, [&] {
        // Only a frame never set, or whose end() was given up at interpreter
        // exit, still holds them.
        let_go(as_frame(self));
        outer = std::exchange(as_frame(self)->outer, nullptr);
    });
    frames_alive.fetch_sub(1, std::memory_order_relaxed);
    // A chain that only this frame held goes one frame at a time, not by
    // recursion: a copied context may hold the innermost of thousands.
    while (outer != nullptr && Py_REFCNT(outer) == 1) {
        PyObject* next = std::exchange(as_frame(outer)->outer, nullptr);
        Py_DECREF(outer);
        outer = next;
    }
    Py_XDECREF(outer);
}

// clang-format off
PyType_Slot frame_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_doc, const_cast<char*>("A decorated computation in progress, as a context sees it.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec frame_spec = {
    "lineage_store.ComputationFrame",
    static_cast<int>(sizeof(Frame)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_slots,
};

PyTypeObject* frame_type() {
    static PyTypeObject* type = nullptr;
    return type_made_once(type, frame_spec);
}

// The context variable that holds the current frame. Borrowed; null with an
// exception set.
PyObject* context_variable() {
    static PyObject* kept = nullptr;
    return kept_for_process(kept, []() -> PyRef {
        if (context_variables.make != nullptr) {
            return PyRef::steal(context_variables.make("lineage_store_computations", nullptr));
        }
        PyRef contextvars = PyRef::steal(into_python([] { return PyImport_ImportModule("contextvars"); }));
        if (!contextvars) return {};
        return PyRef::steal(into_python(
            [&] { return PyObject_CallMethod(contextvars.get(), "ContextVar", "s", "lineage_store_computations"); }));
    });
}

// The current context's innermost frame, or an empty PyRef when it has none
// (no exception then). Empty with an exception set on failure.
PyRef read_frame(PyObject* variable) {
    if (frames_alive.load(std::memory_order_relaxed) == 0) return {};
    PyRef value;
    if (context_variables.get != nullptr) {
        PyObject* found = nullptr;
        if (into_python([&] { return context_variables.get(variable, nullptr, &found); }) < 0) return {};
        value = PyRef::steal(found);
    } else {
        value = PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "get", "O", Py_None); }));
    }
    // None stands for no frame where a computation had to put one back.
    if (value && value.get() == Py_None) return {};
    return value;
}

// Makes `value` the current context's; the token that undoes it, or empty
// with an exception set.
PyRef set_frame(PyObject* variable, PyObject* value) {
    return PyRef::steal(into_python([&] {
        return context_variables.set != nullptr ? context_variables.set(variable, value)
                                                : PyObject_CallMethod(variable, "set", "O", value);
    }));
}

// Undoes the setting that made `token`; false with an exception set.
bool reset_frame(PyObject* variable, PyObject* token) {
    if (context_variables.reset != nullptr) {
        return into_python([&] { return context_variables.reset(variable, token); }) == 0;
    }
    return bool(PyRef::steal(into_python([&] { return PyObject_CallMethod(variable, "reset", "O", token); })));
}

// Walks the frames of a context from `innermost` out, calling `visit(frame)`
// on each that has not ended until it returns true. The frame visit stopped
// at, or null.
template <typename Visit>
const ComputationFrame* walk(PyObject* innermost, Visit visit) noexcept {
    for (PyObject* at = innermost; at != nullptr; at = as_frame(at)->outer) {
        const Frame* frame = as_frame(at);
        if (!frame->ended && visit(frame->computation)) return &frame->computation;
    }
    return nullptr;
}

void end_frame(PyRef& frame, PyRef& token) {
    as_frame(frame.get())->ended = true;
    let_go(as_frame(frame.get()));
    PyObject* variable = context_variable();
    if (variable == nullptr || !reset_frame(variable, token.get())) {
        // Ended in another context than its own (a coroutine closed outside
        // the task that ran it): that one is left as it is; the frame, ended,
        // counts for nothing wherever it still is.
        PyErr_Clear();
    }
    token.reset();
    frame.reset();
}

}  // namespace

// The computations of this thread that set no frame, innermost last, each
// with the object that began it, which lives on the stack of the call
// computing it and removes the entry before that call returns or unwinds.
// Its store and decorator are the caller's, held until then.
struct BareComputation {
    const BegunComputation* owner;
    ComputationFrame computation;
};

namespace {

std::vector<BareComputation>& bare_computations() noexcept {
    thread_local std::vector<BareComputation> computations;
    return computations;
}

// The innermost computation of this thread that set no frame for which
// `match(computation)` holds, or null.
template <typename Match>
const ComputationFrame* innermost_bare(Match match) noexcept {
    const std::vector<BareComputation>& computations = bare_computations();
    for (auto at = computations.rbegin(); at != computations.rend(); ++at) {
        if (match(at->computation)) return &at->computation;
    }
    return nullptr;
}

// The entry of a computation that set no frame in `computations`: the
// innermost, as a rule.
std::vector<BareComputation>::iterator bare_entry_of(std::vector<BareComputation>& computations,
                                                     const BegunComputation* owner) noexcept {
    auto at = computations.end();
    while (at != computations.begin() && (at - 1)->owner != owner) --at;
    return at - 1;
}

}  // namespace

ContextView ContextView::current() {
    ContextView view;
    if (PyObject* variable = context_variable()) view.frame_ = read_frame(variable);
    view.bare_ = !bare_computations().empty();
    return view;
}

const ComputationFrame* ContextView::innermost_of(const StoreObject* store) const noexcept {
    auto of_store = [&](const ComputationFrame& frame) { return frame.store == store; };
    const ComputationFrame* found = walk(frame_.get(), of_store);
    return found != nullptr || !bare_ ? found : innermost_bare(of_store);
}

bool ContextView::computing(const StoreObject* store, NodePosition node) const noexcept {
    auto same_call = [&](const ComputationFrame& frame) { return frame.store == store && frame.node == node; };
    return walk(frame_.get(), same_call) != nullptr || (bare_ && innermost_bare(same_call) != nullptr);
}

bool BegunComputation::begin(const ComputationFrame& computation, bool synchronous) {
    // With no frame anywhere, the context holds none to read.
    PyObject* variable = nullptr;
    PyRef outer;
    if (frames_alive.load(std::memory_order_relaxed) > 0 || !synchronous || computation.tracks_runtime_dependencies) {
        variable = context_variable();
        if (variable == nullptr) return false;
        outer = read_frame(variable);
        if (!outer && PyErr_Occurred()) return false;
    }
    if (synchronous && !outer && !computation.tracks_runtime_dependencies) {
        std::vector<BareComputation>& computations = bare_computations();
        try {
            computations.push_back({this, computation});
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        bare_ = &computations;
        return true;
    }
    PyTypeObject* type = frame_type();
    if (type == nullptr) return false;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef made = PyRef::steal(alloc(type, 0));  // not a collected type: no collection starts
    if (!made) return false;
    frames_alive.fetch_add(1, std::memory_order_relaxed);
    Frame* frame = as_frame(made.get());
    frame->outer = outer.release();
    frame->computation = computation;
    Py_INCREF(reinterpret_cast<PyObject*>(computation.store));
    Py_INCREF(computation.decorator);
    PyRef token = set_frame(variable, made.get());
    if (!token) return false;
    frame_ = std::move(made);
    token_ = std::move(token);
    return true;
}

const ComputationFrame& BegunComputation::frame() const noexcept {
    return bare_ != nullptr ? bare_entry_of(*bare_, this)->computation : as_frame(frame_.get())->computation;
}

void BegunComputation::end() noexcept(false) {
    if (bare_ != nullptr) {
        // Not the innermost only where greenlets of one thread end their
        // computations out of order.
        bare_->erase(bare_entry_of(*bare_, this));
        bare_ = nullptr;
        return;
    }
    if (!frame_ || must_abandon_python_state()) return;
    if (PyErr_Occurred()) {
        // The computation's own exception stays what is raised.
        SavedException raised;
        end_frame(frame_, token_);
    } else {
        end_frame(frame_, token_);
    }
}

}  // namespace lineage_store
