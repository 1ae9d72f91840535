// call_identity.h: the decorated call's own way to its call identity.
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
#include "call/parameter_layout.h"
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

class CallIdentity;

// The identity of the commonest call, made with nothing a lookup does not
// need: a plain function whose layout binds by position (self, then
// positional parameters only; see ParameterLayout::binds_by_position),
// called by position with no more arguments than it has parameters and
// enough for those without a default, and whose attributes hold nothing
// inspect would read first. A hit is served from it alone; any other step
// takes it over into a CallIdentity, hashed already.
class PositionalIdentity {
public:
    // Calls of more parameters than this (self aside) are identified by
    // CallIdentity::identify alone.
    static constexpr std::size_t kMaxKept = 8;

    // 1 when the call is of that kind and identified; 0 when it is not (no
    // Python code has run then); -1 with the exception of hashing set.
    int identify(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments);

    Py_hash_t hash() const noexcept { return hash_; }
    PyObject* method_name() const noexcept { return method_name_; }

    // The bound call of this call, for registration. Runs no Python code and
    // allocates no collected object, so it may be made in a store section.
    // Empty with MemoryError set on failure.
    BoundCallRef make_bound_call() const noexcept;

    // The arguments, in the call tuple's order: size() of them.
    std::size_t size() const noexcept { return size_; }
    PyObject* value(std::size_t j) const noexcept { return values_[j]; }

    // Hands over the layout the identity was computed from, held; the
    // identity is done with after this.
    LayoutRef take_layout() noexcept { return held_layout_ ? std::move(held_layout_) : LayoutRef(layout_); }

    // Hands over what the identity was computed from, for the computation;
    // the identity is done with after this.
    FunctionInputs take_inputs() noexcept { return FunctionInputs(take_layout()); }

    // Whether `registered` is this call: 1, 0, or -1 when only Python code can
    // tell. Made by this decorator's layout with the very argument objects,
    // or ones that compare natively, it is decided here, inline.
    int matches_without_python(const BoundCall& registered) const noexcept {
        if (registered.method_name() != method_name_ || registered.size() != size_) return -1;
        const ParameterLayout& layout = *layout_;
        for (std::size_t j = 0; j < size_; ++j) {
            if (registered.name(j) != layout.kept_names[j]) return -1;
            PyObject* theirs = registered.value(j);
            PyObject* ours = values_[j];
            if (theirs == ours) continue;
            // Two ints or two str of their exact types: compared by the
            // interpreter's own code, which runs no Python code, warns of
            // nothing and cannot fail.
            const bool same_plain_type =
                Py_TYPE(theirs) == Py_TYPE(ours) && (PyLong_CheckExact(ours) || PyUnicode_CheckExact(ours));
            const int equal =
                same_plain_type ? PyObject_RichCompareBool(theirs, ours, Py_EQ) : plain_equal(theirs, ours);
            if (equal <= 0) return equal;
        }
        return 1;
    }

private:
    // Borrowed from the decorator's binding cache while no Python code can
    // have run; held from the first argument whose hash may run some (code
    // that may replace the function's code, and so the cached layout).
    const ParameterLayout* layout_ = nullptr;
    LayoutRef held_layout_;
    PyObject* method_name_ = nullptr;  // borrowed from the decorator
    Py_hash_t hash_ = -1;
    std::size_t size_ = 0;
    PyObject* values_[kMaxKept];  // borrowed from the call or the layout's defaults
};

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
