// call_context.h: the decorated computations in progress, as each execution
// context sees them.
//
// Every thread, asyncio task and greenlet runs in a context of its own
// (contextvars), and a task, a `to_thread` worker or a greenlet given a copy
// of a context starts from what that context held when it was copied. One
// context variable holds the context's innermost computation: a frame that
// points to the frame it replaced. A synchronous computation sets the
// variable to a new frame when it begins and resets it with its token when it
// ends; an awaited one sets its frame for each step of its coroutine and
// resets it when the step ends, so that computations interleaved in one
// context (driven by hand) each see only their own. Frames never change but
// for being marked ended, so what a context sees of the computations in
// progress is its own chain of frames, which nothing done in another thread,
// task or greenlet can change: a copy made while a computation runs keeps
// seeing that computation, and only it.
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
// left behind by a computation that ended names nothing. A frame is a small
// Python object, because a context variable holds one, and the collector
// sees what it holds: a context, a task or a pending awaited computation may
// be all that keeps it, in a cycle with the instance.
//
// One kind of computation sets no frame: a synchronous one that does not
// track its dependencies, begun in a context that sees no computation. Its
// frame would make no call record anything (a computation that does not
// track records nothing, and there is none further out); setting and
// resetting the variable would cost the interpreter more than the rest of a
// miss. Such a computation is marked in its store's computation slot
// instead, with the identity of the context it runs in, only so that the calls made in that
// same context can be warned about (undeclared) or run as part of it (the
// same call). Greenlets swap the thread's context on every switch, so the
// calls of another greenlet, even one that switched in while it runs, never
// count for it; nor do those of a copy of its context (a task, a worker),
// which is another context: they compute on their own, as they would outside
// it. Where the running interpreter does not let the context be known this
// way, every computation sets a frame.
#pragma once

#include <Python.h>

#include <cstdint>

#include "graph/edge_list.h"
#include "python/py_ref.h"
#include "store/cache_store.h"

namespace lineage_store {

// The computations of `store` the current context sees, from its innermost
// frame. Read it with no store section open. Then, in a section of the store,
// look through it.
class ContextView {
public:
    // Empty with an exception set on failure (check PyErr_Occurred()).
    static ContextView current(const StoreObject* store);

    // Whether the context sees any computation at all.
    bool any() const noexcept { return frame_ || bare_context_ != nullptr; }

    // The innermost computation of `store` that has not ended (its store
    // null when there is none). Runs no Python code.
    ComputationFrame innermost_of(const StoreObject* store) const noexcept;

    // Whether a computation of `store` for `node` is in progress in this
    // context: the same call is being computed further out. Runs no Python code.
    bool computing(const StoreObject* store, NodePosition node) const noexcept;

private:
    PyRef frame_;
    // The context that runs now, when the store keeps computations that set
    // no frame in it; else null. Only compared, never used.
    const void* bare_context_ = nullptr;
};

// A synchronous computation's frame, the current context's innermost while
// its function runs: for as long as this lives or until end().
class BegunComputation {
public:
    BegunComputation() noexcept = default;
    BegunComputation(const BegunComputation&) = delete;
    BegunComputation& operator=(const BegunComputation&) = delete;
    ~BegunComputation() noexcept(false) {
        if (begun()) end();
    }

    // Makes a frame for `computation` the current context's innermost,
    // unless the computation needs none (see above). With no store section
    // open: making a frame may start a collection. False with an exception set.
    bool begin(const ComputationFrame& computation);
    // Marks the frame ended and makes the frame it replaced current again. On
    // a thread being ended at interpreter exit, does nothing.
    void end() noexcept(false);
    // Ends it as end() does, and returns the computation it had begun, whose
    // store and decorator the caller holds. Only while begun.
    ComputationFrame end_returning() noexcept(false);
    bool begun() const noexcept { return frame_ || bare_.store != nullptr; }

private:
    PyRef frame_;
    PyRef token_;
    // Set when begun with no frame: the computation, whose store and
    // decorator the caller holds.
    ComputationFrame bare_{};
};

// An awaited computation's frame: made when the computation begins, with the
// frames its context sees then further out, and the current context's
// innermost for each step of the method's coroutine (resume() to suspend()),
// in whichever context the step runs.
class AsyncComputationScope {
public:
    AsyncComputationScope() noexcept = default;
    AsyncComputationScope(const AsyncComputationScope&) = delete;
    AsyncComputationScope& operator=(const AsyncComputationScope&) = delete;
    ~AsyncComputationScope() noexcept(false) { end(); }

    // Makes the frame, with no store section open. False with an exception set.
    bool begin(const ComputationFrame& computation);
    // Before a step: the frame becomes the current context's innermost.
    // False with an exception set.
    bool resume();
    // After a step, however it ended: the frame it replaced is current again.
    // The exception being raised, if any, stays what is raised.
    void suspend() noexcept(false);
    // Marks the frame ended (suspending first, within a step), and lets it go.
    void end() noexcept(false);
    // The frame, for the collector, while begun.
    PyObject* frame_object() const noexcept { return frame_.get(); }

private:
    PyRef frame_;
    PyRef token_;  // while a step runs
};

}  // namespace lineage_store
