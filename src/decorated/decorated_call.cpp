// decorated_call.cpp: the call of a decorated method: its steps (identify,
// find, register, compute, store) run in turn, from the decorator's
// vectorcall and tp_call to the result, served or computed and stored.
#include "decorated/decorated_call.h"

#include <cstddef>
#include <utility>

#include "call/call_arguments.h"
#include "call/call_identity.h"
#include "decorated/async_call.h"
#include "decorated/call_context.h"
#include "decorated/call_steps.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/class_change.h"
#include "store/lineage_store_base.h"
#include "store/usage_warnings.h"

namespace lineage_store {

namespace {

// The slot of the computation begun for a call: held from the section that
// began it until the call's result is handed to the store step, which ends
// the computation, and given back here whichever other way the call ends
// (the function raised, a warning filter raised, the context could not be
// entered, the thread is being ended at interpreter exit).
class HeldSlot {
public:
    HeldSlot() noexcept = default;
    HeldSlot(const HeldSlot&) = delete;
    HeldSlot& operator=(const HeldSlot&) = delete;
    ~HeldSlot() { give_back(); }

    void hold(StoreObject* store, CallGraph::ComputationSlot slot) noexcept {
        store_ = store;
        slot_ = slot;
    }
    void give_back() noexcept {
        if (store_ != nullptr) lineage_store::give_back(std::exchange(store_, nullptr), slot_);
    }
    // The slot, for the step that ends the computation itself.
    CallGraph::ComputationSlot hand_over() noexcept {
        store_ = nullptr;
        return slot_;
    }

private:
    StoreObject* store_ = nullptr;  // borrowed: the call's arguments hold the instance
    CallGraph::ComputationSlot slot_;  // set with store_
};

// What a computation needs of the steps before it, and keeps while the
// function runs: the function, what the call's identity was computed from,
// its frame among the context's computations, and its slot. The steps' own
// state (the identity above all) is gone by then, so that only this and the
// call's own arguments stay on the stack while the function runs, however
// deep decorated methods call each other. It is engaged when it holds the
// function. Every member starts empty and is cheap to make so: a hit makes
// nothing of the ticket but its empty members.
//
// The members go in the reverse of their order here: the slot first, so that
// nothing the others release (which may run Python code, and begin
// computations) can find it still held; then the context, the inputs and the
// function. Each is released even when one before it unwinds (a thread ended
// at interpreter exit), which std::optional would not allow: its reset is
// noexcept.
class Ticket {
public:
    Ticket() noexcept = default;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() noexcept(false) = default;

    explicit operator bool() const noexcept { return static_cast<bool>(func_); }

    // Engages the ticket with the function to run and the inputs its call was
    // identified from, and makes `computation`, when the call has one of its
    // own, the context's innermost (its slot is held already); false with an
    // exception set when the decorator's function has been cleared or the
    // computation could not be entered.
    bool engage(const DecoratorRecord& decorator, FunctionInputs inputs = {},
                const ComputationFrame* computation = nullptr) {
        func_ = decorator.options.func.new_ref();
        if (!func_) {
            PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
            return false;
        }
        inputs_ = std::move(inputs);
        return computation == nullptr || in_context_.begin(*computation);
    }

    PyObject* func() const noexcept { return func_.get(); }
    FunctionInputs& inputs() noexcept { return inputs_; }
    BegunComputation& in_context() noexcept { return in_context_; }
    HeldSlot& slot() noexcept { return slot_; }
    // Whether the call runs as part of the same call in progress, with no
    // computation of its own.
    bool runs_inline() const noexcept { return !in_context_.begun(); }

private:
    PyRef func_;
    FunctionInputs inputs_;
    BegunComputation in_context_;  // leaves the context when it goes, if it entered it
    HeldSlot slot_;
};

// The store step for a result that can be consumed only once (a coroutine, a
// generator): returned, never stored, and the call decided as one of a
// method that caches nothing, so that nothing computed from it is stored
// either. The decorator is warned about once.
[[gnu::noinline]] PyObject* finish_single_use(DecoratorRecord& decorator, StoreObject* store, NodePosition position,
                                              CallGraph::ComputationSlot slot, PyRef& result) {
    PyRef replaced;  // released after the section: its finaliser may use this store
    if (!store_result(store, position, slot, false, false, result.get(), replaced)) return nullptr;
    replaced.reset();
    if (warn_about_single_use_result(decorator, result.get(), 1)) {
        return result.release();
    }
    // A warning filter raised: a coroutine nobody will await is closed, so
    // that it is not reported as never awaited.
    SavedException raised;  // set again when this block ends
    if (Py_TYPE(result.get()) == single_use_types.coroutine) {
        PyRef closed = PyRef::steal(into_python([&] { return PyObject_CallMethod(result.get(), "close", nullptr); }));
        if (!closed) PyErr_Clear();
    }
    result.reset();
    return nullptr;
}

// The store step, once the function has returned `result` (null with an
// exception set when it raised): decides the call's state and stores the
// result in a last section.
[[gnu::noinline]] PyObject* finish_computing(Ticket& ticket, PyObject* result_or_null) {
    PyRef result = PyRef::steal(result_or_null);
    if (ticket.runs_inline()) return result.release();
    const ComputationFrame frame = ticket.in_context().end_returning();
    StoreObject* store = frame.store;  // the caller holds the instance
    DecoratorRecord& decorator = as_decorator(frame.decorator)->decorator_record;  // the caller holds the decorator
    const bool use_cache = decorator.options.use_cache;
    const NodePosition position = frame.node;
    if (!result) return nullptr;  // the ticket gives the slot back
    // The function reads its code and defaults again when it runs: if they
    // changed since the call was identified, the result may be another call's.
    const bool function_changed = !ticket.inputs().unchanged(ticket.func());
    const CallGraph::ComputationSlot slot = ticket.slot().hand_over();  // the store step ends it
    if (use_cache && is_single_use(result.get())) return finish_single_use(decorator, store, position, slot, result);
    PyRef replaced;  // released after the section: its finaliser may use this store
    if (!store_result(store, position, slot, use_cache, function_changed, result.get(), replaced)) {
        return nullptr;
    }
    replaced.reset();
    return result.release();
}

// ---------------------------------------------------------------------------
// The call

// TypeError for a first argument that is not an instance of a store class.
std::nullptr_t refuse_instance(PyObject* instance) {
    if (PyErr_Occurred()) return nullptr;
    PyTypeObject* base = lineage_store_base_type();
    if (base != nullptr && PyType_Check(instance) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(instance), base)) {
        // A method called through the class with the class itself first.
        into_python([&] {
            return PyErr_Format(PyExc_TypeError,
                                "the decorated method's class must inherit from LineageStoreBase; it was called with "
                                "the class %R in place of an instance: call it on an instance",
                                instance);
        });
        return nullptr;
    }
    PyErr_SetString(PyExc_TypeError, "the decorated method's class must inherit from LineageStoreBase");
    return nullptr;
}

// What the steps before the function decide: the call's result (a hit above
// all), an error (with the exception set), or to compute it, with the
// ticket engaged for the compute step.
struct ServeOrCompute {
    enum class Kind { Value, Error, Compute };
    Kind kind;
    PyObject* value;  // a new reference for Value, else null

    static ServeOrCompute value_or_error(PyObject* value_or_null) noexcept {
        return {value_or_null != nullptr ? Kind::Value : Kind::Error, value_or_null};
    }
    static ServeOrCompute error() noexcept { return {Kind::Error, nullptr}; }
    static ServeOrCompute compute_if(bool engaged) noexcept { return {engaged ? Kind::Compute : Kind::Error, nullptr}; }
};

// The checks made once per decorator and class, the first time, for a class
// already known to derive from LineageStoreBase: 1 when the class's instances
// see this decorator as their method, 0 when an override hides it from them
// (it is reached through super() or its class), -1 with an exception set.
int check_class(PyObject* decorator, DecoratorRecord& decorator_record, PyTypeObject* cls) {
    const int checked = decorator_record.caches.checked_classes.contains(cls);
    if (checked < 0) return -1;
    if (checked == 0) {
        const int overridden = decorator_record.caches.overridden_in.contains(cls);
        if (overridden != 0) return overridden < 0 ? -1 : 0;
        bool resolved = true;
        if (!check_class_at_first_call(cls, decorator, decorator_record, resolved)) return -1;
        if (!resolved) {
            decorator_record.caches.overridden_in.add(cls);
            return 0;
        }
        // Not remembered when a check raised: the next call checks again,
        // which keeps an "error" warning filter failing until the class is fixed.
        decorator_record.caches.checked_classes.add(cls);
    }
    // A class that cannot be weakly referenced is looked up in the set again
    // next time.
    if (!decorator_record.caches.last_checked_class.watch(cls)) PyErr_Clear();
    return 1;
}

// A call reached through an implementation that the instance's class does
// not resolve for the method's name (an override's super(), or the base
// class named): it runs as part of the call that made it, as the code of
// the override would, with no entry of its own and no edge; the calls it
// makes count for the computation in progress. An async method's coroutine
// runs in the task that awaits it, with the same effect.
[[gnu::noinline]] ServeOrCompute run_as_part_of_caller(const DecoratorRecord& decorator, Ticket& ticket) {
    return ServeOrCompute::compute_if(ticket.engage(decorator));
}

// The find and register steps of a call identified as `identity`, with the
// warning about an undeclared call, then the ticket engaged for the compute
// step, with the call's computation begun unless it runs as part of the
// same call in progress.
[[gnu::noinline]] ServeOrCompute serve_through_lookup(PyObject* self, DecoratorRecord& decorator, PyObject* instance,
                                                      CallIdentity& identity, Ticket& ticket) {
    CallSite site = CallSite::returning(self, decorator, instance);
    if (!site.read_context()) return ServeOrCompute::error();
    Step step;
    BoundCallRef replaced_call;
    const bool ok = find_or_register(site, identity, step, replaced_call);
    replaced_call.reset();  // with no section open
    if (!ok) return ServeOrCompute::error();
    if (step.next == Next::Serve && !step.untracked_caller) return {ServeOrCompute::Kind::Value, step.value.release()};
    // Beyond a hit: the slot is held before anything can fail, so that
    // every way out gives it back.
    if (step.next == Next::Compute) ticket.slot().hold(site.store, step.slot);
    if (step.untracked_caller && !warn_if_untracked(site, step)) return ServeOrCompute::error();
    switch (step.next) {
        case Next::Serve: return ServeOrCompute::value_or_error(step.value.release());
        case Next::RunInline: return ServeOrCompute::compute_if(ticket.engage(decorator));
        case Next::Compute: break;
    }
    const ComputationFrame computation{site.store, self, step.position, step.slot,
                                       decorator.options.track_runtime_dependencies};
    return ServeOrCompute::compute_if(ticket.engage(decorator, identity.take_inputs(), &computation));
}

// The common miss: a call absent from a quiet store, registered and its
// computation begun in one section, the ticket engaged for the compute step.
inline ServeOrCompute compute_absent(PyObject* self, DecoratorRecord& decorator, PyObject* instance,
                                     PositionalIdentity& identity, Ticket& ticket) {
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    if (!register_absent(as_store(instance), identity, position, slot)) return ServeOrCompute::error();
    ticket.slot().hold(as_store(instance), slot);
    const ComputationFrame computation{as_store(instance), self, position, slot,
                                       decorator.options.track_runtime_dependencies};
    return ServeOrCompute::compute_if(ticket.engage(decorator, identity.take_inputs(), &computation));
}

// Beyond the cheapest hit, for a call identified by position: the common
// miss, found `absent` from a quiet store, registered in one section; any
// other call through the find and register steps.
[[gnu::noinline]] ServeOrCompute serve_positional(PyObject* self, DecoratorRecord& decorator, PyObject* instance,
                                                  PositionalIdentity& by_position, bool absent, Ticket& ticket) {
    if (absent && decorator.options.dependency_calls.empty()) {
        return compute_absent(self, decorator, instance, by_position, ticket);
    }
    CallIdentity identity;
    identity.take_over(by_position);
    return serve_through_lookup(self, decorator, instance, identity, ticket);
}

// Any other call: identified in full, then through the find and register steps.
[[gnu::noinline]] ServeOrCompute identify_and_serve(PyObject* self, DecoratorRecord& decorator, PyObject* instance,
                                                    PyObject* func, const CallArguments& arguments, Ticket& ticket) {
    CallIdentity identity;
    if (!identity.identify(decorator.caches.binding, decorator.options.method_name.get(), func, arguments)) {
        return ServeOrCompute::error();
    }
    // Its hit, found as the commonest is. Its node is this method's when the
    // bound call holds this decorator's own name object.
    const QuietLook look = look_quietly(as_store(instance), identity.hash(), [&](const BoundCall& registered) {
        return registered.method_name() == identity.method_name() ? identity.equals_without_python(registered) : -1;
    });
    if (look.value != nullptr) return {ServeOrCompute::Kind::Value, Py_NewRef(look.value)};
    return serve_through_lookup(self, decorator, instance, identity, ticket);
}

// The checks before identifying, the same for every call: the instance and its class, and
// the function, borrowed (the caller holds the decorator, and with it its
// record, whose function the collector clears only once nothing can call
// it). Null with an exception set. `as_part_of_caller` is set when the
// instance's class does not resolve this decorator for the method's name.
[[gnu::always_inline]] inline PyObject* checked_function(PyObject* self, const CallArguments& arguments,
                                                         bool& as_part_of_caller) {
    DecoratorRecord& decorator = as_decorator(self)->decorator_record;
    if (!arguments.ok()) return nullptr;
    if (arguments.positional_count() == 0) {
        PyErr_SetString(PyExc_ValueError, "lineage_stored can only be used as an instance method decorator");
        return nullptr;
    }
    PyObject* instance = arguments.positional(0);
    // The class of the last call was a store class, and has been checked: a
    // call on another instance of it costs one comparison.
    if (!decorator.caches.last_checked_class.is(Py_TYPE(instance))) {
        if (!is_store(instance)) return refuse_instance(instance);
        const int resolved = check_class(self, decorator, Py_TYPE(instance));
        if (resolved < 0) return nullptr;
        as_part_of_caller = resolved == 0;
    }
    PyObject* func = decorator.options.func.get();
    if (func == nullptr) PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
    return func;
}

// Identify, find and register, for a call that returns its result, received
// as a vector or as a tuple and a dict (`received`): the result (a hit above
// all), an error, or to compute, with the ticket holding the function and,
// unless the call runs inline, its computation begun. In a frame of its own,
// gone before the function runs.
template <typename... Received>
[[gnu::noinline]] ServeOrCompute start_call(PyObject* self, Ticket& ticket, Received... received) {
    const CallArguments arguments(received...);
    bool as_part_of_caller = false;
    PyObject* func = checked_function(self, arguments, as_part_of_caller);
    if (func == nullptr) return ServeOrCompute::error();
    DecoratorRecord& decorator = as_decorator(self)->decorator_record;
    if (as_part_of_caller) return run_as_part_of_caller(decorator, ticket);
    PyObject* instance = arguments.positional(0);
    if (!store_follows_class_now(as_store(instance))) return ServeOrCompute::error();
    // The hit at its cheapest: the commonest call, identified by position,
    // found valid in a store that computes nothing.
    PositionalIdentity by_position;
    const int positional =
        by_position.identify(decorator.caches.binding, decorator.options.method_name.get(), func, arguments);
    if (positional < 0) return ServeOrCompute::error();
    if (positional == 0) return identify_and_serve(self, decorator, instance, func, arguments, ticket);
    const QuietLook look = look_quietly(as_store(instance), by_position.hash(), [&](const BoundCall& registered) {
        return by_position.matches_without_python(registered);
    });
    if (look.value != nullptr) return {ServeOrCompute::Kind::Value, Py_NewRef(look.value)};
    return serve_positional(self, decorator, instance, by_position, look.absent, ticket);
}

// The call of an async method: its coroutine, or null with an exception set.
PyObject* call_awaited(PyObject* self, const CallArguments& arguments) {
    bool as_part_of_caller = false;
    PyObject* func = checked_function(self, arguments, as_part_of_caller);
    if (func == nullptr) return nullptr;
    // Its coroutine runs in the task that awaits it, as part of what runs there.
    if (as_part_of_caller) {
        const PyRef held = PyRef::borrow(func);  // the decorator's own reference may go while it runs
        return arguments.call(held.get());
    }
    if (!store_follows_class_now(as_store(arguments.positional(0)))) return nullptr;
    DecoratorRecord& decorator = as_decorator(self)->decorator_record;
    PositionalIdentity by_position;
    const int positional =
        by_position.identify(decorator.caches.binding, decorator.options.method_name.get(), func, arguments);
    if (positional < 0) return nullptr;
    if (positional > 0) return call_async_by_position(self, arguments, by_position);
    CallIdentity identity;
    if (!identity.identify(decorator.caches.binding, decorator.options.method_name.get(), func, arguments)) {
        return nullptr;
    }
    return call_async(self, arguments, identity);
}

// func(*args, **kwargs) for a call received as a vector, where it needs the
// keyword dict built.
[[gnu::noinline]] PyObject* call_with_keyword_dict(PyObject* func, PyObject* const* args, Py_ssize_t positional_count,
                                                   PyObject* kwnames) {
    CallArguments arguments(args, positional_count, kwnames);
    return arguments.call(func);
}

// A decorated call received as a tuple and a dict.
PyObject* tuple_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (as_decorator(self)->decorator_record.options.is_async) {
        CallArguments arguments(args, kwargs);
        return call_awaited(self, arguments);
    }
    Ticket ticket;
    const ServeOrCompute outcome = start_call(self, ticket, args, kwargs);
    if (outcome.kind != ServeOrCompute::Kind::Compute) return outcome.value;
    return finish_computing(ticket, into_python([&] { return PyObject_Call(ticket.func(), args, kwargs); }));
}

}  // namespace

// ---------------------------------------------------------------------------
// The slots

PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] { return tuple_call(self, args, kwargs); });
}

// A decorated call received as a vector: what stays on the stack while the
// function runs is this frame alone, with the ticket and the arguments. The
// compute step calls the function with the vector as received, by the
// cheapest entry point the interpreter has.
PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const auto positional_count = static_cast<Py_ssize_t>(nargsf & ~vectorcall_arguments_offset);
    return python_boundary([&] {
        Ticket ticket;
        const ServeOrCompute outcome = start_call(self, ticket, args, positional_count, kwnames);
        if (outcome.kind != ServeOrCompute::Kind::Compute) return outcome.value;
        PyObject* func = ticket.func();
        const auto count = static_cast<std::size_t>(positional_count);
        PyObject* result = nullptr;
        // A plain function through its own vectorcall, read where the
        // function keeps it: the generic call's checks are for callables
        // that may misreport an error.
        if (shortcuts.function_vectorcall_offset > 0 && Py_TYPE(func) == shortcuts.function_type) {
            result = into_python([&] { return function_vectorcall_of(func)(func, args, count, kwnames); });
        } else if (shortcuts.vectorcall != nullptr) {
            result = into_python([&] { return shortcuts.vectorcall(func, args, count, kwnames); });
        } else if (kwnames == nullptr && shortcuts.vectorcall_dict != nullptr) {
            result = into_python([&] { return shortcuts.vectorcall_dict(func, args, count, nullptr); });
        } else {
            result = call_with_keyword_dict(func, args, positional_count, kwnames);
        }
        return finish_computing(ticket, result);
    });
}

// The vectorcall of an async method's decorator, chosen when it is made.
PyObject* async_decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const auto positional_count = static_cast<Py_ssize_t>(nargsf & ~vectorcall_arguments_offset);
    return python_boundary([&] {
        CallArguments arguments(args, positional_count, kwnames);
        return call_awaited(self, arguments);
    });
}

}  // namespace lineage_store
