// call_context.h: the decorated computations in progress, as each execution
// context sees them.
//
// Every thread, asyncio task and greenlet runs in a context of its own
// (contextvars); computations that interleave on one thread (greenlets,
// tasks) must never see each other's calls. One context variable holds the
// context's current scope: a root scope made for it at its first
// computation, or the scope of an asynchronous computation in progress. A
// scope keeps the synchronous computations begun in it, innermost last, and
// points to the scope that was current when it was made, so the computations
// a context sees are its scope's, then its outer scope's, and so on.
//
// Synchronous computations never interleave within a scope: they run to
// their end without handing the thread to another task, and greenlets start
// with contexts of their own. So a scope's computations form a stack that
// only the thread using it changes; a thread that finds a scope in use by
// another thread (a context copied into a worker thread) makes a root scope
// of its own for the context. A task created inside a computation starts
// with a copy of its creator's context: until it begins a computation of its
// own, the calls it makes count as its creator's, which can only invalidate
// more, never serve a stale value.
//
// A scope is a small Python object, because a context variable holds one; it
// is not tracked by the collector: it refers only to older scopes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "graph/edge_list.h"
#include "python/py_ref.h"

namespace lineage_store {

// One computation in progress, as the calls it makes see it.
struct StoreObject;

struct ComputationFrame {
    StoreObject* store;    // borrowed: the computation's caller holds the instance
    PyObject* decorator;   // borrowed: the computation's caller holds it
    NodePosition node;
    std::uint32_t slot;    // the computation's slot in the store's graph
    bool tracks_runtime_dependencies;
};

// The computations the current context sees, from its current scope. Read it
// with no store section open: the first read in a thread may make the thread's
// context, which allocates. Then, in a section, look through it.
class ContextView {
public:
    // Empty with an exception set on failure (check PyErr_Occurred()).
    static ContextView current();

    // Whether the context sees any computation at all.
    bool any() const noexcept { return bool(scope_); }

    // The innermost computation of `store`, or null. Runs no Python code.
    const ComputationFrame* innermost_of(const void* store) const noexcept;

    // Whether a computation of `store` for `node` is in progress in this
    // context: the same call is being computed further out. Runs no Python code.
    bool computing(const void* store, NodePosition node) const noexcept;

private:
    PyRef scope_;
};

// An asynchronous computation: a scope of its own, made the current
// context's while the computation runs, across its awaits. The calls made in
// the task that awaits it see it as their innermost computation.
class AsyncComputationScope {
public:
    AsyncComputationScope() noexcept = default;
    AsyncComputationScope(const AsyncComputationScope&) = delete;
    AsyncComputationScope& operator=(const AsyncComputationScope&) = delete;
    ~AsyncComputationScope() noexcept(false) { end(); }

    // False with an exception set.
    bool begin(const ComputationFrame& frame);
    // The outer scope is the current context's again; on a thread being ended
    // at interpreter exit, leaves the context alone.
    void end() noexcept(false);
    bool begun() const noexcept { return bool(scope_); }

private:
    PyRef scope_;
    PyRef token_;
};

// A synchronous computation, begun in the current context's scope for as long
// as this lives.
class BegunComputation {
public:
    BegunComputation() noexcept = default;
    BegunComputation(const BegunComputation&) = delete;
    BegunComputation& operator=(const BegunComputation&) = delete;
    ~BegunComputation() noexcept(false) { end(); }

    // False with an exception set.
    bool begin(const ComputationFrame& frame);
    // Leaves the scope; on a thread being ended at interpreter exit, leaves it
    // alone.
    void end() noexcept(false);
    bool begun() const noexcept { return bool(scope_); }
    // The frame begun; only while begun.
    const ComputationFrame& frame() const noexcept;

private:
    PyRef scope_;
    std::size_t depth_ = 0;  // where the frame sits in its scope, plus one
};

}  // namespace lineage_store
