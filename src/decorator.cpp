// decorator.cpp: the decorated call, and the LineageStoreDecorator type.
//
// A call goes through these steps, each a function below, handing what it
// found to the next in a CallSite and a Step:
//   1. identify the call: bind and hash its arguments (call_identity), with
//      no section open;
//   2. find its node and serve a valid value, or begin its computation, in
//      one section (serve_or_begin); where only an argument's __eq__ can tell
//      which node is the call's, compare outside and come back;
//   3. register a call the store has never made, with its declared
//      dependencies, and begin its computation, in one section (register);
//   4. compute with no section open, then decide the call's state and store
//      its result in a last section (compute_and_store).
// A hit takes steps 1 and 2 only, in one section, and allocates nothing.
#include "decorator.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>

#include "cache_store.h"
#include "call_arguments.h"
#include "call_context.h"
#include "call_identity.h"
#include "interpreter_shortcuts.h"
#include "lineage_store_base.h"
#include "python_boundary.h"
#include "usage_warnings.h"

namespace lineage_store {

namespace {

DecoratorObject* as_decorator(PyObject* self) noexcept { return reinterpret_cast<DecoratorObject*>(self); }

// ---------------------------------------------------------------------------
// The state the steps hand each other

struct CallSite {
    PyObject* decorator;  // the LineageStoreDecorator called
    DecoratorRecord& record;
    PyObject* instance;
    StoreObject* store;
    // The computations in progress that this context sees, read before the
    // first section whenever the store has any in progress (none of this
    // store's can appear in this context later but by this call's own
    // doing). Empty otherwise.
    ContextView context;
};

enum class Next {
    Serve,      // `value` is the result
    Compute,    // run the function; its computation holds `slot`
    RunInline,  // the same call is in progress in this context: run the function as part of it
    Register,   // the store has never made the call; `position` is its unregistered node, if any
};

struct Step {
    Next next = Next::Register;
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    PyRef value;
    // A computation that does not track its dependencies made this call
    // without declaring it: its decorator, to be warned about once the
    // section is closed.
    PyRef untracked_caller;
};

// ---------------------------------------------------------------------------
// Step 2: serve, or begin computing

// In a section: the innermost computation of this store in this context
// depends on `position`, if it tracks; if it does not, it should have
// declared the call, and is noted in `step` for a warning when it did not.
void note_call(const CallSite& site, CallGraph& graph, NodePosition position, Step& step) {
    const ComputationFrame* innermost = site.context.innermost_of(site.store);
    if (innermost == nullptr) return;
    if (innermost->tracks_runtime_dependencies) {
        graph.link(innermost->node, position);
        return;
    }
    const DecoratorRecord* caller = decorator_record_of(innermost->decorator);
    if (caller != nullptr && caller->use_cache && !graph.depends_on(innermost->node, position)) {
        step.untracked_caller = PyRef::borrow(innermost->decorator);
    }
}

// In a section, for the registered node of the call: serves its valid value,
// or begins its computation. Runs no Python code.
void serve_or_begin(const CallSite& site, CallGraph& graph, NodePosition position, Step& step) {
    step.position = position;
    // An override calling super() makes the very call it is computing:
    // that runs as part of the computation in progress, which nothing must
    // serve, register or store on its behalf.
    if (site.context.any() && site.context.computing(site.store, position)) {
        step.next = Next::RunInline;
        return;
    }
    if (site.context.any()) note_call(site, graph, position, step);
    if (PyObject* value = valid_value(graph, position)) {
        step.next = Next::Serve;
        step.value = PyRef::borrow(value);
        return;
    }
    step.next = Next::Compute;
    step.slot = graph.begin_computation(position);
}

// Finds the call's node and takes step 2 on it, comparing arguments with
// Python code outside the section where only that can tell. A Register step
// when the store has never made the call, with `version` the graph's at
// the look that found it absent.
bool find_and_serve(const CallSite& site, CallIdentity& identity, Step& step, std::uint32_t& version) {
    const CallHash hash = identity.hash();
    for (;;) {
        Undecided undecided;  // outlives the sections: it holds bound calls
        {
            StoreSection section = StoreSection::open(site.store, Access::Write);
            if (!section.opened()) return false;
            StoreRecord& record = *section.record();
            const NodePosition found = find_call(
                record, hash, [&](const BoundCall& registered) { return identity.equals_without_python(registered); },
                undecided);
            if (found != kNoNode && record.graph.node(found).is_registered()) {
                serve_or_begin(site, record.graph, found, step);
                return true;
            }
            if (undecided.candidates.empty()) {
                step.next = Next::Register;
                step.position = found;
                version = record.graph.version();
                return true;
            }
        }
        NodePosition decided = kNoNode;
        if (!decide_with_python(
                undecided, [&](const BoundCall& registered) { return identity.equals(registered); }, decided)) {
            return false;
        }
        StoreSection section = StoreSection::open(site.store, Access::Write);
        if (!section.opened()) return false;
        StoreRecord& record = *section.record();
        if (record.graph.version() != undecided.version) continue;  // changed meanwhile: look again
        if (decided != kNoNode && record.graph.node(decided).is_registered()) {
            serve_or_begin(site, record.graph, decided, step);
            return true;
        }
        step.next = Next::Register;
        step.position = decided;
        version = record.graph.version();
        return true;
    }
}

// ---------------------------------------------------------------------------
// Step 3: register

// The nodes of the declared dependencies. Each entry is kNoNode for a
// dependency the store has no node for, or, with an Undecided of its own, for
// one only Python can tell. `decided` carries, from one look to the next,
// the answers Python comparisons gave (kNoNode: none of the candidates).
struct DependencyNodes {
    SmallArray<NodePosition, 4> positions;
    SmallArray<std::pair<std::size_t, Undecided>, 1> undecided;
};
using DependencyDecisions = SmallArray<std::pair<std::size_t, NodePosition>, 1>;

void find_dependencies(const StoreRecord& record, const DecoratorRecord& decorator,
                       const DependencyDecisions& decided, DependencyNodes& out) {
    for (std::size_t d = 0; d < decorator.dependency_calls.size(); ++d) {
        const auto known = std::find_if(decided.data(), decided.data() + decided.size(),
                                        [&](const auto& decision) { return decision.first == d; });
        if (known != decided.data() + decided.size()) {
            out.positions.push_back(known->second);
            continue;
        }
        const BoundCall& dependency = *decorator.dependency_calls[d];
        Undecided undecided;
        const NodePosition found = find_call(
            record, decorator.dependency_hashes[d],
            [&](const BoundCall& registered) { return calls_equal_without_python(registered, dependency); }, undecided);
        out.positions.push_back(found);
        if (found == kNoNode && !undecided.candidates.empty()) out.undecided.push_back({d, std::move(undecided)});
    }
}

// In a section, with every declared dependency's node known: registers the
// call (a new node, or the unregistered one a value set by hand or a declared
// dependency made for it), links its declared dependencies, sets its state,
// then serves a value set by hand before the call was ever made, or begins
// the computation.
void register_in_section(const CallSite& site, StoreRecord& record, CallIdentity& identity, const BoundCallRef& call,
                         NodePosition position, DependencyNodes& dependencies, BoundCallRef& replaced_call, Step& step) {
    const DecoratorRecord& decorator = site.record;
    CallGraph& graph = record.graph;
    if (position == kNoNode) {
        position = graph.add_node(identity.hash(), BoundCallRef(call));
    } else {
        // Named from now on by the call's own arguments.
        replaced_call = graph.set_call_value(position, BoundCallRef(call));
    }
    bool dependencies_usable = true;
    for (std::size_t d = 0; d < dependencies.positions.size(); ++d) {
        NodePosition parent = dependencies.positions[d];
        if (parent == kNoNode) {
            parent = add_unregistered_node(record, decorator.dependency_hashes[d], decorator.dependency_calls[d]);
        }
        graph.link(position, parent);
        dependencies_usable = dependencies_usable && graph.node(parent).is_registered() &&
                              graph.state_at(parent) != ValidationState::PermanentlyInvalid;
    }
    // A value set by hand for the call before it was ever made is its
    // result, unless the method never stores one or what the call was
    // declared to depend on can never be valid.
    const bool preset = graph.node(position).stored_value() != nullptr && decorator.use_cache && dependencies_usable;
    graph.register_with_state(position, preset ? ValidationState::Valid : ValidationState::Invalid);
    serve_or_begin(site, graph, position, step);
}

// Registers the call found absent at `version` (step.position holds its
// unregistered node, if any), comparing declared dependencies with Python
// code outside the section where only that can tell. False with an exception
// set; `retry` when the store changed meanwhile and the call must be looked
// for again.
bool register_call(const CallSite& site, CallIdentity& identity, Step& step, std::uint32_t version, bool& retry,
                   BoundCallRef& replaced_call) {
    retry = false;
    // Built with no section open: allocating may start a collection.
    const BoundCallRef& call = identity.bound_call();
    if (!call) return false;
    DependencyDecisions decided;
    for (;;) {
        DependencyNodes dependencies;  // outlives the section: it holds bound calls
        {
            StoreSection section = StoreSection::open(site.store, Access::Write);
            if (!section.opened()) return false;
            StoreRecord& record = *section.record();
            if (record.graph.version() != version) {
                retry = true;
                return true;
            }
            find_dependencies(record, site.record, decided, dependencies);
            if (dependencies.undecided.empty()) {
                register_in_section(site, record, identity, call, step.position, dependencies, replaced_call, step);
                return true;
            }
        }
        for (std::size_t u = 0; u < dependencies.undecided.size(); ++u) {
            const std::size_t d = dependencies.undecided[u].first;
            const BoundCall& dependency = *site.record.dependency_calls[d];
            NodePosition found = kNoNode;
            if (!decide_with_python(
                    dependencies.undecided[u].second,
                    [&](const BoundCall& registered) { return calls_equal(registered, dependency); }, found)) {
                return false;
            }
            decided.push_back({d, found});
        }
    }
}

// ---------------------------------------------------------------------------
// Step 4: compute and store

// Decides the state of `position` after a successful computation from the
// states of the calls it was computed from. An overlapped computation (one
// that an invalidation or clear_cache reached while it ran, or whose function
// changed under it) is neither validated nor invalidated further: what
// reached it decided that. The rules that make a call permanently invalid
// hold for it all the same.
void decide_state(CallGraph& graph, NodePosition position, bool use_cache, bool overlapped) {
    if (!use_cache) graph.permanently_invalidate_at(position);
    bool any_invalid = false;
    for (NodePosition parent : graph.parents(position)) {
        const ValidationState state = graph.state_at(parent);
        if (state == ValidationState::PermanentlyInvalid) {
            graph.permanently_invalidate_at(position);
            return;
        }
        any_invalid = any_invalid || state == ValidationState::Invalid;
    }
    if (overlapped) return;
    if (any_invalid) {
        graph.temporarily_invalidate_from(position);
    } else {
        graph.validate_at(position);
    }
}

// A computation begun in a section, ended in another; if the call ends
// otherwise (the function raised), its slot is given back here. No section
// is taken for that: slots are only ever touched in sections that run no
// Python code, so under the interpreter lock no reader can be inside one.
// A daemon thread being ended at interpreter exit leaves the store alone.
class Computation {
public:
    Computation(StoreObject* store, CallGraph::ComputationSlot slot) noexcept : store_(store), slot_(slot) {}
    Computation(const Computation&) = delete;
    Computation& operator=(const Computation&) = delete;
    ~Computation() {
        if (active_ && store_->record != nullptr && !must_abandon_python_state()) {
            store_->record->graph.end_computation(slot_);
        }
    }

    // Ends the computation in a section: true when an invalidation or
    // clear_cache reached it while it ran.
    bool end(CallGraph& graph) noexcept {
        active_ = false;
        return graph.end_computation(slot_);
    }

private:
    StoreObject* store_;
    CallGraph::ComputationSlot slot_;
    bool active_ = true;
};

// What a computation needs of the steps before it, once they are done: the
// call's node and computation slot, and what its identity was computed from.
// The steps' own state (the identity above all) is gone by then, so that
// only this stays on the stack while the function runs, however deep
// decorated methods call each other.
struct Ticket {
    NodePosition position = kNoNode;
    CallGraph::ComputationSlot slot = 0;
    FunctionInputs inputs;
    bool run_inline = false;
};

// Step 4: runs the function with no section open, then decides the call's
// state and stores its result in a last section.
[[gnu::noinline]] PyObject* compute_and_store(PyObject* self, const CallArguments& arguments, Ticket& ticket) {
    // Our own references for the computation: the function may drop every
    // other reference to the class, and with it the decorator.
    PyRef held_decorator = PyRef::borrow(self);
    DecoratorRecord& decorator = as_decorator(self)->record;
    PyRef func = decorator.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    if (ticket.run_inline) return arguments.call(func.get());
    PyObject* instance = arguments.positional(0);
    PyRef held_instance = PyRef::borrow(instance);
    StoreObject* store = as_store(instance);
    Computation computation(store, ticket.slot);
    PyRef result;
    {
        BegunComputation in_context;
        if (!in_context.begin({store, self, ticket.position, ticket.slot, decorator.track_runtime_dependencies})) {
            return nullptr;
        }
        result = PyRef::steal(arguments.call(func.get()));
    }
    if (!result) return nullptr;
    // The function reads its code and defaults again when it runs: if they
    // changed since the call was identified, the result may be another call's.
    const bool function_changed = !ticket.inputs.unchanged(func.get());
    PyRef replaced;  // released after the section: its finaliser may use this store
    {
        StoreSection section = StoreSection::open(store, Access::Write);
        if (!section.opened()) return nullptr;
        CallGraph& graph = section.record()->graph;
        const bool overlapped = computation.end(graph) || function_changed;
        decide_state(graph, ticket.position, decorator.use_cache, overlapped);
        if (!overlapped && graph.state_at(ticket.position) == ValidationState::Valid) {
            replaced = graph.store_value_at(ticket.position, result.new_ref());
        }
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

// Everything a call can take but a plain hit: registering, warning about an
// undeclared call, running as part of the same call in progress, beginning a
// computation (a ticket for step 4). Kept out of the hit's way.
[[gnu::noinline]] PyObject* call_beyond_a_hit(const CallSite& site, CallIdentity& identity, Step& step,
                                               std::uint32_t version, Ticket& ticket) {
    BoundCallRef replaced_call;  // released with no section open
    while (step.next == Next::Register) {
        bool retry = false;
        if (!register_call(site, identity, step, version, retry, replaced_call)) return nullptr;
        if (!retry) break;
        if (!find_and_serve(site, identity, step, version)) return nullptr;
    }
    replaced_call.reset();
    if (step.untracked_caller) {
        DecoratorRecord* caller = decorator_record_of(step.untracked_caller.get());
        if (caller != nullptr &&
            !warn_about_untracked_call(*caller, site.record.method_name.get(), Py_TYPE(site.instance))) {
            // An error filter: the computation begun is given back.
            if (step.next == Next::Compute) Computation given_back(site.store, step.slot);
            return nullptr;
        }
    }
    switch (step.next) {
        case Next::Serve:
            return step.value.release();
        case Next::RunInline:
            ticket.run_inline = true;
            return nullptr;
        case Next::Compute:
            ticket.position = step.position;
            ticket.slot = step.slot;
            ticket.inputs = identity.take_inputs();
            return nullptr;
        case Next::Register:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "a decorated call ended unregistered");
    return nullptr;
}

// The checks made once per decorator and class, the first time, for a class
// already known to derive from LineageStoreBase.
bool check_class(PyObject* decorator, DecoratorRecord& record, PyTypeObject* cls) {
    const int checked = record.checked_classes.contains(cls);
    if (checked < 0) return false;
    if (checked == 0) {
        if (!check_class_at_first_call(cls, decorator, record)) return false;
        // Not remembered when a check raised: the next call checks again,
        // which keeps an "error" warning filter failing until the class is fixed.
        record.checked_classes.add(cls);
    }
    // A class that cannot be weakly referenced is looked up in the set again
    // next time.
    if (!record.last_checked_class.watch(cls)) PyErr_Clear();
    return true;
}

// Steps 1 to 3: a result (a hit above all), an error, or, when this returns
// null with no exception set, a ticket for step 4.
[[gnu::noinline]] PyObject* call_decorated(PyObject* self, const CallArguments& arguments, Ticket& ticket) {
    DecoratorRecord& decorator = as_decorator(self)->record;
    if (!arguments.ok()) return nullptr;
    if (arguments.positional_count() == 0) {
        PyErr_SetString(PyExc_ValueError, "lineage_stored can only be used as an instance method decorator");
        return nullptr;
    }
    PyObject* instance = arguments.positional(0);
    // The class of the last call was a store class, and has been checked: a
    // call on another instance of it costs one comparison.
    if (!decorator.last_checked_class.is(Py_TYPE(instance))) {
        if (!is_store(instance)) return refuse_instance(instance);
        if (!check_class(self, decorator, Py_TYPE(instance))) return nullptr;
    }
    // Borrowed: the caller holds the decorator, and with it its record, whose
    // function the collector clears only once nothing can call it.
    PyObject* func = decorator.func.get();
    if (func == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    CallIdentity identity;
    if (!identify_call(decorator.binding, decorator.method_name.get(), func, arguments, identity)) return nullptr;
    CallSite site{self, decorator, instance, as_store(instance), {}};
    const StoreRecord* record = site.store->record;
    if (record != nullptr && record->graph.running_count() > 0) {
        site.context = ContextView::current();
        if (PyErr_Occurred()) return nullptr;
    }
    Step step;
    std::uint32_t version = 0;
    if (!find_and_serve(site, identity, step, version)) return nullptr;
    if (step.next == Next::Serve && !step.untracked_caller) return step.value.release();
    return call_beyond_a_hit(site, identity, step, version, ticket);
}

// A decorated call through either protocol.
PyObject* call(PyObject* self, const CallArguments& arguments) {
    Ticket ticket;
    PyObject* done = call_decorated(self, arguments, ticket);
    if (done != nullptr || PyErr_Occurred()) return done;
    return compute_and_store(self, arguments, ticket);
}

// ---------------------------------------------------------------------------
// Slots

// The slots that run Python code are not noexcept: a thread ended by the
// interpreter at exit unwinds through them.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] {
        CallArguments arguments(args, kwargs);
        return call(self, arguments);
    });
}

PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return python_boundary([&] {
        const auto positional_count = static_cast<Py_ssize_t>(nargsf & ~vectorcall_arguments_offset);
        CallArguments arguments(args, positional_count, kwnames);
        return call(self, arguments);
    });
}

PyObject* decorator_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    const bool native = as_decorator(self)->record.binding.native_allowed();
    return python_boundary([&] { return new_bound_method(self, instance, native); });
}

int decorator_set(PyObject*, PyObject*, PyObject* value) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "can't delete descriptor");
    } else {
        PyErr_SetString(PyExc_TypeError, "cannot assign to decorated method");
    }
    return -1;
}

// abc reads this to find abstract methods: a decorated abstract method keeps
// its class abstract.
PyObject* decorator_is_abstract(PyObject* self, void*) {
    return python_boundary([&]() -> PyObject* {
        PyRef func = as_decorator(self)->record.func.new_ref();
        if (!func) return Py_NewRef(Py_False);
        PyRef marked =
            PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__isabstractmethod__"); }));
        if (!marked) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            return Py_NewRef(Py_False);
        }
        const int truth = into_python([&] { return PyObject_IsTrue(marked.get()); });
        if (truth < 0) return nullptr;
        return PyBool_FromLong(truth);
    });
}

// abc.abstractmethod applied on top of a decorator lands here.
int decorator_refuse_abstract_marking(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError,
                    "a lineage_stored method cannot be marked abstract from outside: put @abc.abstractmethod "
                    "below the lineage_stored decorator, not above it (__isabstractmethod__ reports the "
                    "decorated function's)");
    return -1;
}

PyGetSetDef decorator_getset[] = {
    {"__isabstractmethod__", decorator_is_abstract, decorator_refuse_abstract_marking,
     "Whether the decorated function is an abstract method.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int decorator_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (as_decorator(self)->has_record) Py_VISIT(as_decorator(self)->record.func.get());
    return 0;
}

int decorator_clear(PyObject* self) {
    return guarded(0, [&] {
        if (as_decorator(self)->has_record) as_decorator(self)->record.func.reset();
        return 0;
    });
}

void decorator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    DecoratorObject* decorator = as_decorator(self);
    if (decorator->has_record) {
        decorator->has_record = false;
        decorator->record.~DecoratorRecord();
    }
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyMemberDef decorator_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(DecoratorObject, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// clang-format off
PyType_Slot decorator_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_set)},
    {Py_tp_getset, decorator_getset},
    {Py_tp_members, decorator_members},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decorator_dealloc)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};
// clang-format on

// Called through vectorcall, and as a method: `obj.m(...)` calls the
// decorator with the instance first, as a bound method would, without making
// one. Attribute access (`obj.m`) still makes a bound method.
PyType_Spec decorator_spec = {
    "builtins.LineageStoreDecorator",
    static_cast<int>(sizeof(DecoratorObject)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                              Py_TPFLAGS_IMMUTABLETYPE | type_has_vectorcall | type_is_method_descriptor),
    decorator_slots,
};

PyTypeObject* decorator_type() noexcept {
    // Created when the first decorator is built, once per process.
    if (decorator_type_object == nullptr) {
        decorator_type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decorator_spec));
    }
    return decorator_type_object;
}

}  // namespace

PyObject* new_decorator(DecoratorRecord&& record) {
    return python_boundary([&]() -> PyObject* {
        if (!prepare_reference_binding()) return nullptr;
        record.binding.allow_native(native_binding_here());
        PyTypeObject* type = decorator_type();
        if (type == nullptr) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = into_python([&] { return alloc(type, 0); });
        if (self == nullptr) return nullptr;
        DecoratorObject* decorator = as_decorator(self);
        new (&decorator->record) DecoratorRecord(std::move(record));
        decorator->has_record = true;
        decorator->vectorcall = decorator_vectorcall;
        return self;
    });
}

}  // namespace lineage_store
