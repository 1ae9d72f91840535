// call_steps.cpp: finding, registering, serving and storing the calls of
// decorated methods.
#include "decorated/call_steps.h"

#include <type_traits>
#include <utility>

#include "call/call_identity.h"
#include "python/python_boundary.h"
#include "store/usage_warnings.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// The serve-or-begin step, which ends the find step

// In a section: the innermost computation of this store in this context
// depends on `position`, if it tracks; if it does not, it should have
// declared the call, and is noted in `step` for a warning when it did not.
void note_call(const CallSite& site, CallGraph& graph, NodePosition position, Step& step) {
    const ComputationFrame innermost = site.context.innermost_of(site.store);
    if (innermost.store == nullptr) return;
    if (innermost.tracks_runtime_dependencies) {
        graph.link(innermost.node, position);
        return;
    }
    const DecoratorRecord* caller = decorator_record_of(innermost.decorator);
    if (caller != nullptr && caller->options.use_cache && !graph.depends_on(innermost.node, position)) {
        step.untracked_caller = PyRef::borrow(innermost.decorator);
    }
}

// In a section, for the registered node of the call: serves its valid value,
// or begins its computation. Runs no Python code.
void serve_or_begin(const CallSite& site, CallGraph& graph, NodePosition position, Step& step) {
    step.position = position;
    // The very call this context is computing further out (a task or a
    // worker it made, calling back): that runs as part of the computation in
    // progress, which nothing must serve, register or store on its behalf,
    // nor wait for.
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
    if (site.begin_computations) step.slot = graph.begin_computation(position);
}

// A call the store could not tell apart from others because Python code run
// by the comparisons kept changing it: it runs uncached, as a call with no
// entry of its own.
void give_up_looking(Step& step) noexcept {
    step.next = Next::RunInline;
    step.position = kNoNode;
}

// Whether the registered node at `position` was registered by this call's
// decorator: every bound call a decorator makes holds its own method name
// object, so one that holds another is another method's call of the same
// name (of the class an instance had before its __class__ was changed). The
// bound call holds that name, so the address is no other's while the node
// exists.
bool registered_here(const CallSite& site, const CallGraph& graph, NodePosition position) noexcept {
    return (*graph.node(position).call_value())->method_name() == site.decorator_record.options.method_name.get();
}

// ---------------------------------------------------------------------------
// The register step

// The nodes of the declared dependencies. Each entry is kNoNode for a
// dependency the store has no node for, or, with an Undecided of its own, for
// one only Python can tell. What Python comparisons found of a dependency
// d is kept in the lookup's verdicts under 1 + d.
struct DependencyNodes {
    SmallArray<NodePosition, 4> positions;
    SmallArray<std::pair<std::size_t, Undecided>, 1> undecided;
};

std::uint32_t dependency_probe(std::size_t d) noexcept { return static_cast<std::uint32_t>(d + 1); }

void find_dependencies(const StoreRecord& store_record, const DecoratorRecord& decorator, const Verdicts& verdicts,
                       DependencyNodes& out) {
    for (std::size_t d = 0; d < decorator.options.dependency_calls.size(); ++d) {
        const BoundCall& dependency = *decorator.options.dependency_calls[d];
        Undecided undecided;
        const NodePosition found = find_call(
            store_record, decorator.options.dependency_hashes[d],
            [&](const BoundCall& registered) {
                const int verdict = calls_equal_without_python(registered, dependency);
                return verdict >= 0 ? verdict : verdicts.of(dependency_probe(d), registered);
            },
            undecided);
        out.positions.push_back(found);
        if (found == kNoNode && !undecided.candidates.empty()) out.undecided.push_back({d, std::move(undecided)});
    }
}

// In a section, with every declared dependency's node known: registers the
// call (a new node, the unregistered one a value set by hand or a declared
// dependency made for it, or one another method of the same name
// registered), links its declared dependencies, sets its state, then serves
// a value set by hand before the call was ever made, or begins the
// computation.
template <typename Key>
void register_in_section(const CallSite& site, StoreRecord& store_record, Key& identity, const BoundCallRef& call,
                         NodePosition position, DependencyNodes& dependencies, BoundCallRef& replaced_call,
                         Step& step) {
    const DecoratorRecord& decorator = site.decorator_record;
    CallGraph& graph = store_record.graph;
    const bool made_before = position != kNoNode;
    // Another method's call: its value is that method's result, never this
    // one's, and what was computed from it is computed again, as after an
    // update.
    const bool taken_over = made_before && graph.node(position).is_registered();
    if (taken_over) graph.temporarily_invalidate_from(position);
    if (!made_before) {
        position = graph.add_node(identity.hash(), BoundCallRef(call));
    } else {
        // Named from now on by the call's own arguments.
        replaced_call = graph.set_call_value(position, BoundCallRef(call));
    }
    bool dependencies_usable = true;
    for (std::size_t d = 0; d < dependencies.positions.size(); ++d) {
        NodePosition parent = dependencies.positions[d];
        if (parent == kNoNode) {
            parent = add_unregistered_node(store_record, decorator.options.dependency_hashes[d],
                                           decorator.options.dependency_calls[d]);
        }
        graph.link(position, parent);
        dependencies_usable = dependencies_usable && graph.node(parent).is_registered() &&
                              graph.state_at(parent) != ValidationState::PermanentlyInvalid;
    }
    // A value set by hand for the call before it was ever made is its
    // result, unless the method never stores one or what the call was
    // declared to depend on can never be valid.
    const bool preset = !taken_over && graph.node(position).stored_value() != nullptr && decorator.options.use_cache &&
                        dependencies_usable;
    const ValidationState state = preset ? ValidationState::Valid : ValidationState::Invalid;
    if (made_before && !taken_over) {
        graph.register_late_with_state(position, state);
    } else {
        // A node taken over keeps its place among the calls of its hash, and
        // starts again as a call never computed, whatever the other method
        // made of it (a use_cache=False method leaves it PermanentlyInvalid).
        graph.register_with_state(position, state);
    }
    serve_or_begin(site, graph, position, step);
}

// The bound call of a call the store has never made, made in the section
// that registers it where that runs no Python code: 1 when the key has it,
// 0 when it must be made with no section open, -1 with an exception set.
int bound_call_in_section(CallIdentity& identity) { return identity.make_bound_call(true); }
int bound_call_in_section(BoundCallKey&) noexcept { return 1; }

}  // namespace

// Finds the call's node with the one lookup and takes the serve-or-begin step
// on it; registers a call the store has never made in the section of the
// look that found it absent. What that needs beyond the section (a bound call with tuples to
// make, declared dependencies only Python can recognise) is done between two
// looks, with what the comparisons found kept throughout, so the last look
// compares nothing again. The common hit and the common miss (no declared
// dependency, no *args or **kwargs tuple to make) take one look.
template <typename Key>
bool find_or_register(const CallSite& site, Key& key, Step& step, BoundCallRef& replaced_call) {
    const DecoratorRecord& decorator = site.decorator_record;
    Verdicts verdicts;  // outlives the sections: it holds bound calls
    bool prepared = false;
    for (;;) {
        DependencyNodes dependencies;  // outlives the section: it holds bound calls
        enum class Then { Done, Prepare, DecideDependencies } then = Then::Done;
        bool undecidable = false;
        const bool ok = with_call_node(
            site.store, Access::Write, {"looked itself up", site.decorator_record.options.method_name.get()}, key,
            verdicts,
            [&](StoreRecord* store_record, NodePosition found) {
                CallGraph& graph = store_record->graph;
                if (found != kNoNode && graph.node(found).is_registered() && registered_here(site, graph, found)) {
                    serve_or_begin(site, graph, found, step);
                    return true;
                }
                // Never made here, or made by another method of the same name:
                // registered in this section when nothing else is needed.
                if (!prepared) {
                    const int made = decorator.options.dependency_calls.empty() ? bound_call_in_section(key) : 0;
                    if (made < 0) return false;
                    if (made == 0) {
                        then = Then::Prepare;
                        return true;
                    }
                }
                if (!decorator.options.dependency_calls.empty()) {
                    find_dependencies(*store_record, decorator, verdicts, dependencies);
                    if (!dependencies.undecided.empty()) {
                        then = Then::DecideDependencies;
                        return true;
                    }
                }
                register_in_section(site, *store_record, key, key.bound_call(), found, dependencies, replaced_call,
                                    step);
                return true;
            },
            &undecidable);
        if (!ok) return false;
        if (undecidable) {
            give_up_looking(step);
            return true;
        }
        switch (then) {
            case Then::Done: return true;
            case Then::Prepare:
                // Made with no section open: allocating its tuples may start a collection.
                if (!key.bound_call()) return false;
                prepared = true;
                break;
            case Then::DecideDependencies:
                for (std::size_t u = 0; u < dependencies.undecided.size(); ++u) {
                    const std::size_t d = dependencies.undecided[u].first;
                    const BoundCall& dependency = *decorator.options.dependency_calls[d];
                    NodePosition decided = kNoNode;
                    if (!decide_with_python(
                            dependencies.undecided[u].second, verdicts, dependency_probe(d),
                            [&](const BoundCall& registered) { return calls_equal(registered, dependency); },
                            decided)) {
                        return false;
                    }
                }
                // What Python code ran meanwhile may have changed the store
                // without end: the looks are bounded.
                if (!verdicts.may_look_again()) {
                    give_up_looking(step);
                    return true;
                }
                break;
        }
    }
}

bool register_absent(StoreObject* store, const PositionalIdentity& identity, NodePosition& position,
                     CallGraph::ComputationSlot& slot) {
    StoreSection section = StoreSection::open(store, Access::Write, {"registered itself", identity.method_name()});
    if (!section.opened()) return false;
    BoundCallRef call = identity.make_bound_call();
    if (!call) return false;
    CallGraph& graph = section.store_record()->graph;
    position = graph.add_node(identity.hash(), std::move(call));
    graph.register_with_state(position, ValidationState::Invalid);
    slot = graph.begin_computation(position);
    return true;
}

template bool find_or_register(const CallSite&, CallIdentity&, Step&, BoundCallRef&);
template bool find_or_register(const CallSite&, BoundCallKey&, Step&, BoundCallRef&);

bool serve_registered(const CallSite& site, NodePosition position, Step& step) {
    StoreSection section = StoreSection::open(site.store, Access::Write,
                                              {"looked itself up", site.decorator_record.options.method_name.get()});
    if (!section.opened()) return false;
    CallGraph& graph = section.store_record()->graph;
    if (!registered_here(site, graph, position)) {
        // Taken over since by another method of the same name: its value is
        // not this call's, and the call runs uncached.
        give_up_looking(step);
        return true;
    }
    serve_or_begin(site, graph, position, step);
    return true;
}

void begin_computation(CallGraph& graph, Step& step) { step.slot = graph.begin_computation(step.position); }

bool warn_if_untracked(const CallSite& site, Step& step) {
    if (!step.untracked_caller) return true;
    DecoratorRecord* caller = decorator_record_of(step.untracked_caller.get());
    if (caller == nullptr || warn_about_untracked_call(*caller, site.decorator_record.options.method_name.get(),
                                                       Py_TYPE(site.instance), site.warning_stacklevel)) {
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The store step

bool store_result(StoreObject* store, NodePosition position, CallGraph::ComputationSlot slot, bool use_cache,
                  bool function_changed, PyObject* result, PyRef& replaced, bool* overlapped_out) {
    PyRef value = PyRef::borrow(result);  // released after the section when not stored
    StoreSection section = StoreSection::open(store, Access::Write, {"a decorated call stored its result"});
    if (!section.opened()) {
        give_back(store, slot);
        return false;
    }
    bool overlapped = function_changed;
    replaced = section.store_record()->graph.conclude(slot, position, use_cache, overlapped, value);
    if (overlapped_out != nullptr) *overlapped_out = overlapped;
    return true;
}

}  // namespace lineage_store
