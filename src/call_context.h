// call_context.h: the decorated computations in progress, as each execution
// context sees them.
//
// Every thread, asyncio task and greenlet runs in a context of its own
// (contextvars). The innermost computation in progress in the current context
// is the value of one context variable, a frame; each frame points to the one
// that was innermost when it began. So computations that interleave on one
// thread (greenlets, tasks) never see each other's frames. A task created
// inside a computation starts with a copy of its creator's context: until it
// starts a computation of its own, the calls it makes count as its creator's,
// which can only invalidate more, never serve a stale value.
//
// A frame is a small Python object, because a context variable holds one;
// it is not tracked by the collector: it refers only to the frames older than
// itself and, while its computation runs, to its decorator.
#pragma once

#include <Python.h>

#include <cstdint>

#include "edge_list.h"
#include "py_ref.h"

namespace lineage_store {

struct CallFrame {
    PyObject_HEAD
    PyObject* outer;      // the frame innermost before this one, or null; held
    PyObject* decorator;  // the decorator computing, held while active
    const void* store;    // which store, compared only while active
    NodePosition node;
    std::uint32_t slot;  // the computation's slot in the store's graph
    bool tracks_runtime_dependencies;
    bool active;
};

// The frame innermost in the current context, or an empty PyRef when there is
// none (no exception then). May allocate a context for the thread, and so run
// Python code: call it with no store section open. Empty with an exception set
// on failure (check PyErr_Occurred).
PyRef current_frame();

// The innermost active frame of `store` in the chain from `head`, or null.
// Runs no Python code, so it may be used in a section.
const CallFrame* innermost_frame_of(PyObject* head, const void* store) noexcept;

// Whether the chain from `head` has an active frame of `store` computing
// `node`: the same call is in progress further out in this context.
bool computing_in_chain(PyObject* head, const void* store, NodePosition node) noexcept;

// One frame pushed for the duration of a computation in the current context.
class PushedFrame {
public:
    PushedFrame() noexcept = default;
    PushedFrame(const PushedFrame&) = delete;
    PushedFrame& operator=(const PushedFrame&) = delete;
    ~PushedFrame() noexcept(false) { pop(); }

    // Makes a frame innermost in the current context. False with an exception set.
    bool push(PyObject* decorator, const void* store, NodePosition node, std::uint32_t slot, bool tracks);

    // Ends the frame: it is no longer active, and its outer frame is innermost
    // again. Leaves the current context alone on a thread being ended.
    void pop() noexcept(false);

    const CallFrame* frame() const noexcept { return reinterpret_cast<const CallFrame*>(frame_.get()); }

private:
    PyRef frame_;
    PyRef token_;
};

}  // namespace lineage_store
