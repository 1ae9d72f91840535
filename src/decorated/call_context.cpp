// call_context.cpp: frames of computations in progress, one context variable
// naming each context's innermost.
#include "decorated/call_context.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
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
    PyObject* outer;  // the frame current when this one was made, or null; held
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

int frame_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Frame* frame = as_frame(self);
    Py_VISIT(frame->outer);
    Py_VISIT(reinterpret_cast<PyObject*>(frame->computation.store));
    Py_VISIT(frame->computation.decorator);
    return 0;
}

// The collector clears a frame only in garbage: no step of its computation
// can run again, and what finalisers run meanwhile finds it ended.
int frame_clear(PyObject* self) {
    return guarded(0, [&] {
        Frame* frame = as_frame(self);
        frame->ended = true;
        let_go(frame);
        PyRef outer = PyRef::steal(std::exchange(frame->outer, nullptr));
        return 0;
    });
}

void frame_dealloc(PyObject* self) {
    PyRef outer;
    free_instance(self, [&] {
        // Only a frame never set, or whose end() was given up at interpreter
        // exit, still holds them.
        let_go(as_frame(self));
        outer = PyRef::steal(std::exchange(as_frame(self)->outer, nullptr));
    });
    frames_alive.fetch_sub(1, std::memory_order_relaxed);
    // A chain that only this frame held goes one frame at a time, not by
    // recursion: a copied context may hold the innermost of thousands. Each
    // frame released here has no outer left to release in its turn.
    while (outer && Py_REFCNT(outer.get()) == 1) {
        PyRef next = PyRef::steal(std::exchange(as_frame(outer.get())->outer, nullptr));
        outer = std::move(next);
    }
}

// clang-format off
PyType_Slot frame_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(frame_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_doc, const_cast<char*>("A decorated computation in progress, as a context sees it.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec frame_spec = {
    "lineage_store.ComputationFrame",
    static_cast<int>(sizeof(Frame)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION),
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

// A frame for `computation`, holding its instance and decorator, with
// `outer` further out. Allocating a collected object may start a
// collection, so no store section may be open. Empty with an exception set.
PyRef make_frame(PyRef outer, const ComputationFrame& computation) {
    PyTypeObject* type = frame_type();
    if (type == nullptr) return {};
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef made = PyRef::steal(into_python([&] { return alloc(type, 0); }));
    if (!made) return {};
    frames_alive.fetch_add(1, std::memory_order_relaxed);
    Frame* frame = as_frame(made.get());
    frame->outer = outer.release();
    frame->computation = computation;
    Py_INCREF(reinterpret_cast<PyObject*>(computation.store));
    Py_INCREF(computation.decorator);
    return made;
}

// Walks the frames of a context from `innermost` out, calling `visit(frame)`
// on each that has not ended until it returns true. The frame visit stopped
// at, or null.
template <typename Visit>
const ComputationFrame* walk_frames(PyObject* innermost, Visit visit) noexcept {
    for (PyObject* at = innermost; at != nullptr; at = as_frame(at)->outer) {
        const Frame* frame = as_frame(at);
        if (!frame->ended && visit(frame->computation)) return &frame->computation;
    }
    return nullptr;
}

// Runs `body` with the exception being raised, if any, put aside: it stays
// what is raised.
template <typename Body>
void keeping_raised(Body&& body) {
    if (PyErr_Occurred()) {
        SavedException raised;
        body();
    } else {
        body();
    }
}

// Makes the frame that `token` replaced current again. Done in another
// context than the frame was set in (a coroutine closed outside the task
// that ran it), the reset fails and that context is left as it is: the
// frame, ended, counts for nothing wherever it still is.
void put_back(PyRef& token) {
    PyObject* variable = context_variable();
    if (variable == nullptr || !reset_frame(variable, token.get())) PyErr_Clear();
    token.reset();
}

// Marks `frame` ended, lets go of what it holds, and makes the frame it
// replaced current again where `token` is set.
void end_frame(PyRef& frame, PyRef& token) {
    as_frame(frame.get())->ended = true;
    let_go(as_frame(frame.get()));
    if (token) put_back(token);
    frame.reset();
}

// ---------------------------------------------------------------------------
// The computations that set no frame
//
// Each is marked in its store's computation slot with the context it runs in,
// by identity, and its decorator. The context is not held: while the
// computation runs, the context is its thread's current one or its
// switched-out greenlet's, and held there. Only one replaced under a
// switched-out greenlet (its gr_context set meanwhile) can be freed and its
// address taken by a new context, whose calls of the same store would then be
// warned about, or run uncached as the same call, never served a wrong value.
// Greenlets given one context object share it, as they share its variables.

// The innermost computation of `store` that set no frame in `context` whose
// node `match(node)` accepts; its store null when there is none.
template <typename Match>
ComputationFrame innermost_bare(const StoreObject* store, const void* context, Match match) noexcept {
    if (store->store_record == nullptr) return {};
    const CallGraph& graph = store->store_record->graph;
    const std::int64_t slot = graph.innermost_in(context, match);
    if (slot < 0) return {};
    const auto at = static_cast<CallGraph::ComputationSlot>(slot);
    return {const_cast<StoreObject*>(store), static_cast<PyObject*>(const_cast<void*>(graph.computation_owner(at))),
            graph.computed_node(at), at, false};
}

}  // namespace

// ---------------------------------------------------------------------------
// What a context sees

ContextView ContextView::current(const StoreObject* store) {
    ContextView view;
    if (PyObject* variable = context_variable()) view.frame_ = read_frame(variable);
    // Filled only where the thread's context can be known.
    if (store->store_record != nullptr && shortcuts.thread_context_offset >= 0) {
        const void* context = current_context();
        if (context != nullptr && store->store_record->graph.any_in(context)) view.bare_context_ = context;
    }
    return view;
}

ComputationFrame ContextView::innermost_of(const StoreObject* store) const noexcept {
    // A computation that set no frame began where the context saw none: it
    // is further out than every frame the context sees.
    auto of_store = [&](const ComputationFrame& frame) { return frame.store == store; };
    if (const ComputationFrame* found = walk_frames(frame_.get(), of_store)) return *found;
    if (bare_context_ == nullptr) return {};
    return innermost_bare(store, bare_context_, [](NodePosition) { return true; });
}

bool ContextView::computing(const StoreObject* store, NodePosition node) const noexcept {
    auto same_call = [&](const ComputationFrame& frame) { return frame.store == store && frame.node == node; };
    return walk_frames(frame_.get(), same_call) != nullptr ||
           (bare_context_ != nullptr &&
            innermost_bare(store, bare_context_, [&](NodePosition at) { return at == node; }).store != nullptr);
}

// ---------------------------------------------------------------------------
// A synchronous computation

bool BegunComputation::begin(const ComputationFrame& computation) {
    // The context it would be kept under, where it may set no frame: none in
    // a thread or greenlet that has not made one yet, where setting the frame
    // makes it.
    const void* context = nullptr;
    if (!computation.tracks_runtime_dependencies && shortcuts.thread_context_offset >= 0) {
        context = current_context();
    }
    // With no frame anywhere, the context holds none to read.
    PyObject* variable = nullptr;
    PyRef outer;
    if (context == nullptr || frames_alive.load(std::memory_order_relaxed) > 0) {
        variable = context_variable();
        if (variable == nullptr) return false;
        outer = read_frame(variable);
        if (!outer && PyErr_Occurred()) return false;
    }
    if (context != nullptr && !outer) {
        // Its slot was begun in the section that began it, with the store's record made.
        computation.store->store_record->graph.tag_computation(computation.slot, context, computation.decorator);
        bare_ = computation;
        return true;
    }
    PyRef made = make_frame(std::move(outer), computation);
    if (!made) return false;
    PyRef token = set_frame(variable, made.get());
    if (!token) return false;
    frame_ = std::move(made);
    token_ = std::move(token);
    return true;
}

void BegunComputation::end() noexcept(false) {
    if (bare_.store != nullptr) {
        // Its slot is ended by the store step, or given back, after this.
        const ComputationFrame ended = std::exchange(bare_, ComputationFrame{});
        if (ended.store->store_record != nullptr) {
            ended.store->store_record->graph.tag_computation(ended.slot, nullptr, nullptr);
        }
        return;
    }
    if (!frame_ || must_abandon_python_state()) return;
    keeping_raised([&] { end_frame(frame_, token_); });
}

ComputationFrame BegunComputation::end_returning() noexcept(false) {
    if (bare_.store != nullptr) {
        const ComputationFrame computation = bare_;
        end();
        return computation;
    }
    const ComputationFrame computation = as_frame(frame_.get())->computation;
    end();
    return computation;
}

// ---------------------------------------------------------------------------
// An awaited computation

bool AsyncComputationScope::begin(const ComputationFrame& computation) {
    PyObject* variable = context_variable();
    if (variable == nullptr) return false;
    PyRef outer = read_frame(variable);
    if (!outer && PyErr_Occurred()) return false;
    frame_ = make_frame(std::move(outer), computation);
    return bool(frame_);
}

bool AsyncComputationScope::resume() {
    if (!frame_) return true;  // ended: nothing to see
    PyObject* variable = context_variable();  // made by begin()
    token_ = set_frame(variable, frame_.get());
    return bool(token_);
}

void AsyncComputationScope::suspend() noexcept(false) {
    if (!token_ || must_abandon_python_state()) return;
    keeping_raised([&] { put_back(token_); });
}

void AsyncComputationScope::end() noexcept(false) {
    if (!frame_ || must_abandon_python_state()) return;
    keeping_raised([&] { end_frame(frame_, token_); });
}

}  // namespace lineage_store
