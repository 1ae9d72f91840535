#include "decorator.h"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>

#include "call_identity.h"
#include "interpreter_shortcuts.h"
#include "python_boundary.h"

namespace lineage_store {

namespace {

struct DecoratorObject {
    PyObject_HEAD
    DecoratorRecord* record;
    VectorcallFunction vectorcall;
};

DecoratorObject* as_decorator(PyObject* self) noexcept { return reinterpret_cast<DecoratorObject*>(self); }

PyTypeObject* decorator_type() noexcept;

// The bookkeeping of one decorated call in progress: its call_stack entry and,
// while the wrapped function runs, its computation. Whatever way the call
// ends, the destructor takes both back out.
//
// The final removal takes no borrow: call_stack and the record of
// computations are only ever touched in short sections that run no Python
// code, so under the interpreter lock no reader can be in the middle of them.
// Leaving an entry behind instead would make a dead call the innermost one.
//
// Except on a daemon thread being ended at interpreter exit: that thread
// unwinds without the interpreter lock while the finalising thread may be
// clearing this very store, so it leaves the store alone.
class CallInProgress {
public:
    CallInProgress(StoreObject* store, CallHash hash) noexcept : store_(store), hash_(hash) {}
    CallInProgress(const CallInProgress&) = delete;
    CallInProgress& operator=(const CallInProgress&) = delete;

    ~CallInProgress() {
        StoreRecord* record = store_->record;
        if (!pushed_ || record == nullptr || must_abandon_python_state()) return;
        if (computing_) record->dependency_graph.end_computation(hash_, marks_at_start_);
        const void* thread = current_thread_token();
        auto& stack = record->call_stack;
        for (auto entry = stack.rbegin(); entry != stack.rend(); ++entry) {
            if (entry->thread == thread) {
                stack.erase(std::next(entry).base());
                break;
            }
        }
    }

    void push(StoreRecord& record, bool tracks_runtime_dependencies) {
        record.call_stack.push_back({hash_, tracks_runtime_dependencies, current_thread_token()});
        pushed_ = true;
    }

    void start_computation(CallGraph& graph) {
        marks_at_start_ = graph.begin_computation(hash_);
        computing_ = true;
    }

    // Ends the computation; true when an invalidation reached the call while
    // it ran, so that the result may have been computed from stale inputs.
    bool finish_computation(CallGraph& graph) {
        computing_ = false;
        return graph.end_computation(hash_, marks_at_start_);
    }

private:
    StoreObject* store_;
    CallHash hash_;
    bool pushed_ = false;
    bool computing_ = false;
    std::uint64_t marks_at_start_ = 0;
};

// Decides the state of `hash` after a successful computation from the states
// of the calls it was computed from. An overlapped computation (one that an
// invalidation reached while it ran, or whose function changed under it) is
// neither validated nor invalidated further: what reached it decided that.
// The rules that make a call permanently invalid hold for it all the same.
void decide_state(CallGraph& graph, CallHash hash, bool use_cache, bool overlapped) {
    if (!use_cache) graph.permanently_invalidate(hash);
    bool any_invalid = false;
    for (CallHash parent : graph.parents_of(hash)) {
        ValidationState state = graph.state_of(parent);
        if (state == ValidationState::PermanentlyInvalid) {
            graph.permanently_invalidate(hash);
            return;
        }
        any_invalid = any_invalid || state == ValidationState::Invalid;
    }
    if (overlapped) return;
    if (any_invalid) {
        graph.temporarily_invalidate(hash);
    } else {
        graph.validate(hash);
    }
}

// The innermost call in progress on this thread, if it tracks runtime
// dependencies, depends on `hash`. A collided call has no identity of its
// own in the graph, so nothing could invalidate the caller when its value
// changes: the caller's result must not be stored either.
void record_edge_from_innermost_call(StoreRecord& record, CallHash hash, bool collided) {
    const void* thread = current_thread_token();
    for (auto entry = record.call_stack.rbegin(); entry != record.call_stack.rend(); ++entry) {
        if (entry->thread != thread) continue;
        if (!entry->tracks_runtime_dependencies) return;
        if (collided) {
            record.dependency_graph.mark_computation(entry->hash);
        } else {
            record.dependency_graph.add_dependencies(entry->hash, std::span<const CallHash>(&hash, 1));
        }
        return;
    }
}

// Small enough to be inlined: most calls, hits above all, are made outside
// any other decorated call.
void record_runtime_edge(StoreRecord& record, CallHash hash, bool collided) {
    if (!record.call_stack.empty()) record_edge_from_innermost_call(record, hash, collided);
}

PyObject* call_decorated(DecoratorObject* self, const CallArguments& arguments) {
    DecoratorRecord& decorator = *self->record;
    // Our own reference: the garbage collector may clear the decorator's while
    // the wrapped function runs, if the class dies meanwhile.
    PyRef func = decorator.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    if (!arguments.ok()) return nullptr;
    if (arguments.positional_count() == 0) {
        PyErr_SetString(PyExc_ValueError, "lineage_stored can only be used as an instance method decorator");
        return nullptr;
    }
    PyObject* instance = arguments.positional(0);
    if (!is_store(instance)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "the decorated method's class must inherit from LineageStoreBase");
        }
        return nullptr;
    }
    // Held for the whole call: the wrapped function may drop every other
    // reference to the instance.
    PyRef held_instance = PyRef::borrow(instance);
    StoreObject* store = reinterpret_cast<StoreObject*>(instance);

    CallIdentity call;
    if (!identify_call(decorator.binding, decorator.method_name.get(), func.get(), arguments, call)) {
        return nullptr;
    }
    const CallHash hash = call.hash();

    // Registration. A call registered before with these very argument objects
    // is known to be the same call without running any Python code, so a
    // valid value of it is served right here, together with its runtime edge.
    // Such a hit skips call_stack: nothing could see its entry.
    CallRecordRef registered;
    bool registered_before = false;
    bool same_call = false;
    {
        StoreBorrow borrow = StoreBorrow::take(store, BorrowMode::Exclusive);
        if (!borrow) return raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        StoreRecord& record = borrow.record();
        RegisteredCall found;
        if (find_registered_call(record, hash, found)) {
            registered_before = true;
            same_call = found.call != nullptr && call.is_identical_to(found.call);
            if (same_call && found.state == ValidationState::Valid && found.value != nullptr) {
                record_runtime_edge(record, hash, false);
                return Py_NewRef(found.value);
            }
            registered = CallRecordRef(found.call);
        }
    }
    // Declared before the call's bookkeeping so that a replaced value is
    // released after the call has left call_stack: a finaliser that calls a
    // decorated method must not find this call still in progress.
    PyRef replaced;
    CallInProgress in_progress(store, hash);
    PyRef result;
    bool registered_now = false;
    if (!registered_before) {
        // A first call is never served, so this check costs a hit nothing.
        if (!decorator.dependency_names.empty() &&
            !warn_about_unknown_dependencies(instance, decorator.method_name.get(), decorator.dependency_names,
                                             decorator.dependency_checked_classes)) {
            return nullptr;
        }
        // Built with the store free: allocating may run a finaliser.
        const CallRecordRef& made = call.record();
        if (!made) return nullptr;
        CallRecordRef previous_call;  // released after the borrow
        StoreBorrow borrow = StoreBorrow::take(store, BorrowMode::Exclusive);
        if (!borrow) return raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        StoreRecord& record = borrow.record();
        CallGraph& graph = record.dependency_graph;
        if (graph.contains_call(hash)) {
            registered = registered_call(record, hash);
        } else {
            previous_call = graph.add_call(hash, made, decorator.dependency_hashes);
            // A call registered just now has no value to serve and no other
            // call under its hash to collide with: its edge, its entry in
            // call_stack and the start of its computation go in this same
            // section.
            record_runtime_edge(record, hash, false);
            in_progress.push(record, decorator.track_runtime_dependencies);
            in_progress.start_computation(graph);
            registered_now = true;
        }
    }
    // A call registered under this hash whose arguments are not equal to ours
    // is a different call whose hash collides with ours: it must neither be
    // served that call's value nor disturb it. Compared with the store free:
    // __eq__ is the user's code.
    int different = same_call || registered_now ? 0 : call.differs_from(registered.get());
    if (different < 0) return nullptr;
    const bool collided = different != 0;

    // Equal arguments, other objects: the same call. Its value is served in
    // one section, as for identical arguments, provided that the node still
    // holds the record compared above (held by us, so its address names it).
    // Anything else (no valid value, a store changed meanwhile) takes the
    // full path below.
    if (!collided && registered_before && !same_call) {
        StoreBorrow borrow = StoreBorrow::take(store, BorrowMode::Exclusive);
        if (!borrow) return raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        StoreRecord& record = borrow.record();
        RegisteredCall found;
        if (find_registered_call(record, hash, found) && found.call == registered.get() &&
            found.state == ValidationState::Valid && found.value != nullptr) {
            record_runtime_edge(record, hash, false);
            return Py_NewRef(found.value);
        }
    }

    // Runtime edge, push and lookup in one section: none of them runs Python
    // code, and each needs the store.
    if (!registered_now) {
        StoreBorrow borrow = StoreBorrow::take(store, BorrowMode::Exclusive);
        if (!borrow) return raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        StoreRecord& record = borrow.record();
        record_runtime_edge(record, hash, collided);
        // A collided call records no runtime edges of its own for the same
        // reason: they would be charged to the other call.
        in_progress.push(record, !collided && decorator.track_runtime_dependencies);
        if (!collided) {
            result = lookup_valid(record, hash);
            if (!result) in_progress.start_computation(record.dependency_graph);
        }
    }
    if (result) return result.release();

    // The computation, with the store free.
    result = PyRef::steal(arguments.call(func.get()));
    if (!result || collided) return result.release();
    // The function reads its code and defaults again when it runs: if they
    // changed since the call was identified, the result may be another call's.
    const bool function_changed = !call.inputs_unchanged(func.get());

    {
        StoreBorrow borrow = StoreBorrow::take(store, BorrowMode::Exclusive);
        if (!borrow) return raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        StoreRecord& record = borrow.record();
        CallGraph& graph = record.dependency_graph;
        // A computation that an invalidation reached while it ran may have
        // read inputs older than the change: its result is returned but not
        // stored.
        const bool overlapped = in_progress.finish_computation(graph) || function_changed;
        decide_state(graph, hash, decorator.use_cache, overlapped);
        if (!overlapped && graph.state_of(hash) == ValidationState::Valid) {
            replaced = store_value(record, hash, result.new_ref());
        }
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Slots

// The slots that run Python code are not noexcept: a thread ended by the
// interpreter at exit unwinds through them.
PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&] {
        CallArguments arguments(args, kwargs);
        return call_decorated(as_decorator(self), arguments);
    });
}

PyObject* decorator_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return python_boundary([&] {
        const auto positional_count = static_cast<Py_ssize_t>(nargsf & ~vectorcall_arguments_offset);
        CallArguments arguments(args, positional_count, kwnames);
        return call_decorated(as_decorator(self), arguments);
    });
}

PyObject* decorator_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    DecoratorRecord* record = as_decorator(self)->record;
    return python_boundary([&] { return new_bound_method(self, instance, record->binding.native_allowed()); });
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
        DecoratorRecord* record = as_decorator(self)->record;
        PyRef func = record == nullptr ? PyRef() : record->func.new_ref();
        if (!func) return Py_NewRef(Py_False);
        PyRef marked =
            PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__isabstractmethod__"); }));
        if (!marked) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            return Py_NewRef(Py_False);
        }
        int truth = into_python([&] { return PyObject_IsTrue(marked.get()); });
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
    DecoratorRecord* record = as_decorator(self)->record;
    if (record != nullptr) {
        Py_VISIT(record->func.get());
    }
    return 0;
}

int decorator_clear(PyObject* self) {
    DecoratorRecord* record = as_decorator(self)->record;
    if (record != nullptr) {
        record->func.reset();
    }
    return 0;
}


// clang-format off
PyType_Slot decorator_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(decorator_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(decorator_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(decorator_set)},
    {Py_tp_getset, decorator_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(decorator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decorator_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_record<DecoratorObject>)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};
// clang-format on

PyMemberDef decorator_vectorcall_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(DecoratorObject, vectorcall)), READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The same slots with the member that tells the interpreter where each
// decorator keeps its vectorcall function.
PyType_Slot decorator_vectorcall_slots[std::size(decorator_slots) + 1] = {};

PyType_Spec decorator_spec = {
    "builtins.LineageStoreDecorator",
    static_cast<int>(sizeof(DecoratorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decorator_slots,
};

bool vectorcall_enabled = false;

PyTypeObject* decorator_type() noexcept {
    // Created when the first decorator is built, once per process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        vectorcall_enabled = interpreter_has_limited_vectorcall();
        if (vectorcall_enabled) {
            std::copy(std::begin(decorator_slots), std::end(decorator_slots) - 1, decorator_vectorcall_slots);
            decorator_vectorcall_slots[std::size(decorator_slots) - 1] = {Py_tp_members, decorator_vectorcall_members};
            decorator_spec.flags |= type_has_vectorcall;
            decorator_spec.slots = decorator_vectorcall_slots;
        }
        type = PyType_FromSpec(&decorator_spec);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyObject* new_decorator(DecoratorRecord&& record) {
    return python_boundary([&]() -> PyObject* {
        if (!prepare_reference_binding()) return nullptr;
        record.binding.allow_native(fast_path_here());
        PyTypeObject* type = decorator_type();
        if (type == nullptr) return nullptr;
        recognise_decorated_methods_with(decorated_method_name);
        auto owned = std::make_unique<DecoratorRecord>(std::move(record));
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        DecoratorRecord* record = owned.release();
        as_decorator(self)->record = record;
        as_decorator(self)->vectorcall = vectorcall_enabled ? decorator_vectorcall : nullptr;
        return self;
    });
}

PyObject* decorated_method_name(PyObject* object) noexcept {
    PyTypeObject* type = decorator_type();
    if (type == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    if (!Py_IS_TYPE(object, type) || as_decorator(object)->record == nullptr) return nullptr;
    return as_decorator(object)->record->method_name.get();
}

bool is_serialisable_decorator(PyObject* object) noexcept {
    PyTypeObject* type = decorator_type();
    if (type == nullptr) {
        PyErr_Clear();
        return false;
    }
    return Py_IS_TYPE(object, type) && as_decorator(object)->record != nullptr &&
           as_decorator(object)->record->serialisable;
}

}  // namespace lineage_store
