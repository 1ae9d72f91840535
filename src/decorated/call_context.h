// call_context.h: the decorated computations in progress, as each execution
// context sees them.
//
// Every thread, asyncio task and greenlet runs in a context of its own
// (contextvars), and a task, a `to_thread` worker or a greenlet given a copy
// of a context starts from what that context held when it was copied. One
// context variable holds the context's innermost computation: a frame that
// points to the frame it replaced. Each computation, sync or async, sets the
// variable to a new frame when it begins and resets it with its token when it
// ends. Frames never change but for being marked ended, so what a context
// sees of the computations in progress is its own chain of frames, which
// nothing done in another thread, task or greenlet can change: a copy made
// while a computation runs keeps seeing that computation, and only it.
//
// A copy may outlive the computation it was made in (a task left running,
// a greenlet switched to later). That computation's frame is then marked
// ended and counts for nothing: the copy's calls count for the computations
// further out that still run (one that awaits the task uses what it read),
// and for none when none does.
//
// A frame holds its store's instance and its decorator for as long as its
// computation runs, and lets both go when it ends, so the store, the node
// and the decorator a frame names are always there to be used: a frame
// left behind by a computation that ended names nothing.
//
// A frame is a small Python object, because a context variable holds one. It
// is not tracked by the collector: while it holds the instance and the
// decorator, so does the caller that runs its computation.
//
// One kind of computation sets no frame: a synchronous one that does not
// track its dependencies, begun in a context that sees no computation. Its
// frame would make no call record anything, in its context or in any copy
// made while it runs (a computation that does not track records nothing,
// and there is none further out); setting and resetting the variable would
// cost the interpreter more than the rest of a miss. Such a computation is
// kept in a list of its thread instead, innermost last, only so that the
// calls it makes can be warned about (undeclared) or run as part of it
// (the same call); a context that sees a computation of the same store
// never reads that list.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "graph/edge_list.h"
#include "python/py_ref.h"
#include "store/cache_store.h"

namespace lineage_store {

// One computation in progress, as the calls it makes see it.
struct ComputationFrame {
    StoreObject* store;   // the instance; a frame holds it until it ends
    PyObject* decorator;  // a frame holds it until it ends
    NodePosition node;
    CallGraph::ComputationSlot slot;  // the computation's slot in the store's graph
    bool tracks_runtime_dependencies;
};

struct BareComputation;

// The computations the current context sees, from its innermost frame. Read
// it with no store section open: reading may make the thread's context,
// which allocates. Then, in a section of the called store, look through it.
class ContextView {
public:
    // Empty with an exception set on failure (check PyErr_Occurred()).
    static ContextView current();

    // Whether the context sees any computation at all.
    bool any() const noexcept { return frame_ || bare_; }

    // The innermost computation of `store` that has not ended, or null. Runs
    // no Python code.
    const ComputationFrame* innermost_of(const StoreObject* store) const noexcept;

    // Whether a computation of `store` for `node` is in progress in this
    // context: the same call is being computed further out. Runs no Python code.
    bool computing(const StoreObject* store, NodePosition node) const noexcept;

private:
    PyRef frame_;
    bool bare_ = false;  // the thread runs computations that set no frame
};

// A computation's frame, the current context's innermost for as long as this
// lives or until end(): a synchronous computation's while its function runs,
// an asynchronous one's across its awaits (the calls made in the task that
// awaits it see it as their innermost computation).
class BegunComputation {
public:
    BegunComputation() noexcept = default;
    BegunComputation(const BegunComputation&) = delete;
    BegunComputation& operator=(const BegunComputation&) = delete;
    ~BegunComputation() noexcept(false) { end(); }

    // Makes a frame for `computation` the current context's innermost,
    // unless `synchronous` and the computation needs none (see above). False
    // with an exception set.
    bool begin(const ComputationFrame& computation, bool synchronous = false);
    // Marks the frame ended and makes the frame it replaced current again. A
    // computation ended in another context than the one it began in (a
    // coroutine closed outside the task that ran it) leaves that context
    // alone. On a thread being ended at interpreter exit, does nothing.
    void end() noexcept(false);
    bool begun() const noexcept { return frame_ || bare_ != nullptr; }
    // The computation begun; only while begun.
    const ComputationFrame& frame() const noexcept;

private:
    PyRef frame_;
    PyRef token_;
    // Set when begun with no frame: its thread's list, which holds it.
    std::vector<BareComputation>* bare_ = nullptr;
};

// An asynchronous computation's frame is begun and ended the same way.
using AsyncComputationScope = BegunComputation;

}  // namespace lineage_store
