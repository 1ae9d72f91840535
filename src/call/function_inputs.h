// function_inputs.h: what a call's identity was computed from (the function's
// code and defaults, and what only some calls hold), kept until its
// computation ends, and whether the function still has them.
#pragma once

#include <Python.h>

#include <utility>

#include "call/parameter_layout.h"
#include "graph/small_array.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

// What only some calls hold, made when first needed: the function's
// __kwdefaults__ and the defaults taken from it (either may be replaced while
// the arguments are hashed or the function runs), and what the inspect path
// read of a plain function, with the call tuple it made.
struct CallHoldings {
    struct TakenDefault {
        PyObject* name;  // borrowed from the layout
        PyRef value;
    };
    PyRef kwdefaults_dict;
    SmallArray<TakenDefault, 2> kwdefaults;
    PyRef kwdefaults_copy;
    PyRef code;
    PyRef defaults;
    PyRef call_tuple;

    // Frees `held`, which only some calls have: out of line, so that an
    // owner without any is freed with one test.
    static void discard(CallHoldings* held) noexcept(false);
};

using HoldingsRef = UniqueRecord<CallHoldings>;

// What a call's identity was computed from, kept until its computation
// ends: the function's code and defaults.
class FunctionInputs {
public:
    FunctionInputs() noexcept = default;
    // The inputs of a call identified from its layout, or through inspect
    // (no layout), with what only some calls hold.
    explicit FunctionInputs(LayoutRef layout, HoldingsRef holdings = {}) noexcept
        : layout_(std::move(layout)), holdings_(std::move(holdings)) {}
    FunctionInputs(FunctionInputs&&) noexcept = default;
    FunctionInputs& operator=(FunctionInputs&&) = default;

    // Whether the function's __code__, __defaults__ and __kwdefaults__ (and
    // the keyword-only defaults in it) are still those the identity was
    // computed from. A result computed after one of them changed may belong
    // to another call. Runs no Python code.
    bool unchanged(PyObject* func) const {
        // A call bound natively that took no keyword-only default, the
        // common miss: its function's code and defaults, read in place.
        const InterpreterShortcuts& objects = shortcuts;
        if (!holdings_ && layout_ && layout_->code && objects.code.offset > 0 && objects.defaults.offset > 0 &&
            Py_TYPE(func) == objects.function_type) {
            return objects.code.read_borrowed(func) == layout_->code.get() &&
                   objects.defaults.read_borrowed(func) == layout_->defaults.get();
        }
        return unchanged_otherwise(func);
    }

private:
    bool unchanged_otherwise(PyObject* func) const;

    LayoutRef layout_;
    HoldingsRef holdings_;
};

}  // namespace lineage_store
