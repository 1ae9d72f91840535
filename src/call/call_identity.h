// call_identity.h: the decorated call's own way to its call identity.
//
// The commonest call is identified by position first (positional_identity);
// this unit identifies every other, and takes that one over where a step
// needs more than a hit does.
//
// A call of a plain Python function is bound natively, from its parameter
// layout (parameter_layout) and defaults, and its call hash is computed from
// the argument hashes with the interpreter's tuple-hash algorithm
// (tuple_hash), so that a call already in the store is recognised without
// building its call tuple. A call that is registered keeps its arguments as a
// bound call (bound_call); its tuple is built only where one is needed.
//
// Binding through inspect (reference_binding) stays the reference: any
// call this unit does not understand (not a plain function, a __signature__
// or __wrapped__ attribute, a parameter list inspect would reject, any
// binding error) is handed to it, so results and error messages are always
// inspect's.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "call/bound_call.h"
#include "call/call_arguments.h"
#include "call/function_inputs.h"
#include "call/parameter_layout.h"
#include "call/positional_identity.h"
#include "python/interpreter_shortcuts.h"
#include "python/py_ref.h"

namespace lineage_store {

// Run once at module import: fetches what native binding needs and checks
// that the interpreter hashes tuples the way tuple_hash computes it. False
// with an exception set.
bool prepare_call_identity();

// Run when a decorator is built, so that inspect is at hand before any
// decorated call (also for calls from finalisers late in shutdown, when
// nothing can be imported any more). False with an exception set.
bool prepare_reference_binding();

// Whether what native binding needs has been fetched (by the two preparations
// above). Asked once per decorator.
bool native_binding_ready() noexcept;

// The identity of one call: its hash, and what is needed to build its bound
// call or its normalised call tuple, or to compare it with a registered call.
class CallIdentity {
public:
    CallIdentity() = default;
    CallIdentity(const CallIdentity&) = delete;
    CallIdentity& operator=(const CallIdentity&) = delete;

    // Computes the identity of `arguments` passed to `func`, the decorated
    // method's wrapped callable, into this new identity. Natively where it
    // can, through inspect otherwise. False with the exception of the
    // binding or of hashing set.
    bool identify(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments);

    Py_hash_t hash() const noexcept { return hash_; }
    PyObject* method_name() const noexcept { return method_name_; }

    // Whether `registered` is this call, decided without running Python code:
    // 1 when it is, 0 when it is another call, -1 when only an argument's
    // __eq__ (Python code) can tell. Arguments of the interpreter's own plain
    // types (str, int, float, bytes, None, and tuples of them) compare
    // natively.
    int equals_without_python(const BoundCall& registered) const noexcept;

    // Whether `registered` is this call: 1 if so, 0 if not, -1 with an
    // exception set. The same comparisons, in the same order, as comparing
    // the two call tuples with ==, so it runs the arguments' __eq__: no
    // store section may be held across it, and the caller holds `registered`.
    int equals(const BoundCall& registered);

    // The bound call of this call, for registration: built at the first
    // request and kept. Allocates tuples for *args and **kwargs, so no store
    // section may be held. Empty with an exception set on failure.
    const BoundCallRef& bound_call() {
        if (!bound_call_) make_bound_call(false);
        return bound_call_;
    }

    // Makes the bound call unless it is made already: 1 when bound_call() has
    // it, -1 with an exception set. `in_section` makes it only where that
    // runs no Python code and allocates no collected object, so that it may
    // be made in a store section (a call bound natively that fills no *args
    // or **kwargs tuple), and answers 0 for any other call, whose bound call
    // is made with no section open.
    int make_bound_call(bool in_section);

    // The normalised call tuple, built at the first request and kept.
    // Borrowed from this object; nullptr with an exception set.
    PyObject* call_tuple();

    // Takes over `identified`, which is done with after this.
    void take_over(PositionalIdentity& identified) noexcept;

    // Hands over what the identity was computed from, for the computation;
    // the identity is done with after this.
    FunctionInputs take_inputs() noexcept { return FunctionInputs(std::move(layout_), std::move(holdings_)); }

private:
    int bind_natively(PyObject* func, const CallArguments& arguments);
    void sort_var_keywords() noexcept;
    int keyword_only_default(PyObject* func, Py_ssize_t i, bool taken, PyObject*& value);
    Py_hash_t collected_hash(std::size_t j);
    bool identify_through_inspect(PyObject* func, const CallArguments& arguments);
    // Keeps what inspect will read of a plain function, for FunctionInputs::unchanged.
    bool note_function_inputs(PyObject* func);
    // The value of the call tuple's parameter j: the argument, or the tuple
    // of *args or **kwargs. Empty with an exception set on failure.
    PyRef parameter_value(std::size_t j, bool atomic) const;
    bool arguments_atomic() const noexcept;
    Py_ssize_t var_keyword_count() const noexcept { return static_cast<Py_ssize_t>(var_keywords_.size() / 2); }
    PyObject* var_keyword_name(Py_ssize_t i) const noexcept { return var_keywords_[2 * static_cast<std::size_t>(i)]; }
    PyObject* var_keyword_value(Py_ssize_t i) const noexcept {
        return var_keywords_[2 * static_cast<std::size_t>(i) + 1];
    }
    // Adds the parameter to an unhashable argument's TypeError.
    void explain_unhashable(PyObject* parameter_name);
    void explain_unhashable_in(PyObject* call_tuple);

    Py_hash_t hash_ = -1;
    PyObject* method_name_ = nullptr;  // borrowed from the decorator
    // The argument of each parameter of the call tuple, in its order,
    // borrowed from the call or from the layout's defaults, or held below;
    // the entries of *args and **kwargs stay null: the items of *args are a
    // range of the call's positional arguments, and those of **kwargs are
    // kept below.
    SmallArray<PyObject*, 6> values_;
    PyObject* const* var_positional_ = nullptr;
    Py_ssize_t var_positional_count_ = 0;
    bool self_given_ = false;
    // The keywords that **kwargs collects, as name, value, name, value, ...,
    // borrowed from the call and sorted by name once bound.
    SmallArray<PyObject*, 8> var_keywords_;
    BoundCallRef bound_call_;

    CallHoldings& holdings() {
        if (!holdings_) holdings_ = HoldingsRef(new CallHoldings());
        return *holdings_;
    }
    LayoutRef layout_;  // set when bound natively
    HoldingsRef holdings_;
};

}  // namespace lineage_store
