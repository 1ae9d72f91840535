#include "lineage_store_base.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "py_introspection_utils.h"
#include "python_boundary.h"
#include "usage_warnings.h"

namespace lineage_store {

const void* current_thread_token() noexcept {
    // Numbered rather than the address of a thread-local: glibc gives a new
    // thread the thread-local block of one that has ended, and a dead thread
    // may still have an entry in some call_stack (one that was inside a
    // decorated call when another thread forked). The counter is copied into
    // a forked child, so the child's new threads never take a number of its
    // parent's threads either.
    static std::atomic<std::uintptr_t> last_token{0};
    thread_local std::uintptr_t token = 0;
    if (token == 0) token = last_token.fetch_add(1, std::memory_order_relaxed) + 1;
    return reinterpret_cast<const void*>(token);
}

// ---------------------------------------------------------------------------
// Borrow flag

StoreBorrow StoreBorrow::take(StoreObject* store, BorrowMode mode) noexcept {
    if (store->record == nullptr) return StoreBorrow(nullptr, mode);
    std::atomic<std::intptr_t>& flag = store->borrow_flag;
    if (mode == BorrowMode::Exclusive) {
        std::intptr_t free = 0;
        if (!flag.compare_exchange_strong(free, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return StoreBorrow(nullptr, mode);
        }
    } else {
        std::intptr_t count = flag.load(std::memory_order_relaxed);
        do {
            if (count == -1) return StoreBorrow(nullptr, mode);
        } while (!flag.compare_exchange_weak(count, count + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    return StoreBorrow(store, mode);
}

StoreBorrow::StoreBorrow(StoreBorrow&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)), mode_(other.mode_) {}

StoreBorrow::~StoreBorrow() {
    if (store_ == nullptr) return;
    if (mode_ == BorrowMode::Exclusive) {
        store_->borrow_flag.store(0, std::memory_order_release);
    } else {
        store_->borrow_flag.fetch_sub(1, std::memory_order_release);
    }
}

const char* StoreBorrow::refusal_message(BorrowMode mode) noexcept {
    return mode == BorrowMode::Exclusive ? "Already borrowed" : "Already mutably borrowed";
}

// A call costs one node, one index slot or two, and the record of its
// arguments.
static_assert(sizeof(CallGraph::Node) == 32);

namespace {

PyObject* borrowed(const PyRef* reference) noexcept { return reference == nullptr ? nullptr : reference->get(); }

const CallRecord* call_of(const CallGraph::Node* node) noexcept {
    const CallRecordRef* call = node == nullptr ? nullptr : node->call_value();
    return call == nullptr ? nullptr : call->get();
}

}  // namespace

PyRef lookup_valid(const StoreRecord& record, CallHash hash) noexcept {
    const CallGraph::Node* node = record.dependency_graph.find(hash);
    if (node == nullptr || node->state() != ValidationState::Valid) return {};
    return PyRef::borrow(borrowed(node->stored_value()));
}

PyRef store_value(StoreRecord& record, CallHash hash, PyRef value) {
    return record.dependency_graph.store_value(hash, std::move(value));
}

bool find_registered_call(const StoreRecord& record, CallHash hash, RegisteredCall& out) noexcept {
    const CallGraph::Node* node = record.dependency_graph.find(hash);
    if (node == nullptr || !node->has_state()) return false;
    out.state = node->state();
    out.call = call_of(node);
    out.value = borrowed(node->stored_value());
    return true;
}

CallRecordRef registered_call(const StoreRecord& record, CallHash hash) noexcept {
    return CallRecordRef(call_of(record.dependency_graph.find(hash)));
}

int is_different_call(const CallRecord* registered, PyObject* call_tuple) {
    if (registered == nullptr) return 0;
    PyRef registered_tuple = call_tuple_of(*registered);
    if (!registered_tuple) return -1;
    int equal = into_python([&] { return PyObject_RichCompareBool(registered_tuple.get(), call_tuple, Py_EQ); });
    return equal < 0 ? -1 : !equal;
}

namespace {

// Takes the borrow a store method needs. Since no Python code runs under a
// borrow, finding the store held is an internal error.
StoreBorrow borrow_for_method(PyObject* self, BorrowMode mode) {
    StoreBorrow borrow = StoreBorrow::take(as_store(self), mode);
    if (!borrow) raise_panic(StoreBorrow::refusal_message(mode));
    return borrow;
}

// Takes the borrow `mode` for the call `call_tuple` hashed to `hash`, once it
// is known whether a different call is registered under that hash (the two
// collide). The comparison runs the arguments' __eq__, so it is made with the
// store free, on the registered record held in `compared`, which the caller
// releases after its borrow. Registration is the only thing that can change
// a hash's record, once, so this tries at most twice. An empty borrow with an
// exception set on failure.
StoreBorrow borrow_for_call(PyObject* self, BorrowMode mode, CallHash hash, PyObject* call_tuple,
                            CallRecordRef& compared, bool& collides) {
    for (;;) {
        compared.reset();  // with the store free: it may hold the last reference
        {
            StoreBorrow look = borrow_for_method(self, BorrowMode::Shared);
            if (!look) return look;
            compared = registered_call(look.record(), hash);
        }
        const int different = is_different_call(compared.get(), call_tuple);
        if (different < 0) return StoreBorrow::none();
        collides = different != 0;
        StoreBorrow borrow = borrow_for_method(self, mode);
        if (!borrow) return borrow;
        if (call_of(borrow.record().dependency_graph.find(hash)) == compared.get()) return borrow;
    }
}

bool require_str(const char* function_name, const char* parameter, PyObject* value) noexcept {
    if (PyUnicode_Check(value)) return true;
    PyRef name = type_name_of(value);
    if (name) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %S", function_name, parameter,
                     name.get());
    }
    return false;
}

// The display key of a registered call: the method name for a call without
// arguments, its call tuple otherwise. A new reference, or nullptr with an
// exception set. Not noexcept: building the tuple may start a collection,
// and a thread ended in a finaliser there must unwind through here.
PyObject* display_key(const CallRecord& call) {
    PyObject* method_name = call.method_name();
    if (!PyUnicode_Check(method_name)) {
        PyErr_SetString(PyExc_TypeError, "a registered call's method name is not a str");
        return nullptr;
    }
    if (call.size() != 0) return call_tuple_of(call).release();
    // An exact str is immutable and cannot be told from a copy of itself.
    if (PyUnicode_CheckExact(method_name)) return Py_NewRef(method_name);
    std::string_view name;
    if (!utf8_view(method_name, name)) return nullptr;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// What a listing copies out of the store under its borrow, one entry per
// registered call, in table order: held records, so that the listing is
// built after the borrow is released. Building it hashes the call tuples,
// which runs the arguments' __hash__ and __eq__, and that code may use the
// store; the listing shows the store as it was when it was taken.
template <typename Shown>
struct ListedCall {
    CallRecordRef call;
    Shown shown;
};

template <typename Shown>
using Listing = std::vector<ListedCall<Shown>>;

// Copies, for each registered call for which `shown_of(node, out)` holds,
// its record and `out`. Runs no Python code; call it under a borrow, with
// `listing` declared before the borrow so that it outlives it.
template <typename Shown, typename ShownOf>
void take_listing(const CallGraph& graph, Listing<Shown>& listing, ShownOf shown_of) {
    listing.reserve(graph.nodes().size());
    for (const CallGraph::Node& node : graph.nodes()) {
        const CallRecord* call = call_of(&node);
        Shown shown{};
        if (call == nullptr || !shown_of(node, shown)) continue;
        listing.push_back({CallRecordRef(call), std::move(shown)});
    }
}

// A new dict from the display key of each listed call to `value_of(shown)`
// (a new reference, or an empty PyRef with an exception set).
template <typename Shown, typename ValueOf>
PyObject* dict_by_display_key(const Listing<Shown>& listing, ValueOf value_of) {
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const ListedCall<Shown>& listed : listing) {
        PyRef value = value_of(listed.shown);
        if (!value) return nullptr;
        PyRef key = PyRef::steal(display_key(*listed.call));
        if (!key) return nullptr;
        if (into_python([&] { return PyDict_SetItem(result.get(), key.get(), value.get()); }) < 0) return nullptr;
    }
    return result.release();
}

const char* state_text(ValidationState state) noexcept {
    switch (state) {
        case ValidationState::Valid: return "valid";
        case ValidationState::Invalid: return "invalid";
        case ValidationState::PermanentlyInvalid: return "permanently invalid";
    }
    return "permanently invalid";
}

// ---------------------------------------------------------------------------
// Construction, garbage collection and destruction

PyObject* store_new(PyTypeObject* cls, PyObject*, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        auto record = std::make_unique<StoreRecord>();
        // object.__new__ rather than a bare allocation, so that what it checks
        // (abstract methods of an ABC subclass, for one) still holds.
        auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        if (object_new == nullptr) return nullptr;
        PyRef no_arguments = PyRef::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        PyObject* self = object_new(cls, no_arguments.get(), nullptr);
        if (self == nullptr) return nullptr;
        StoreObject* store = as_store(self);
        new (&store->borrow_flag) std::atomic<std::intptr_t>(0);
        store->record = record.release();
        return self;
    });
}

bool is_borrowed(const StoreObject* store) noexcept {
    return store->borrow_flag.load(std::memory_order_relaxed) != 0;
}

// Records whose destruction was put off because this thread was already
// destroying one. A store can hold the only reference to another store, and
// that one to a third: destroying them one inside the other would take a
// stack frame per link, and a long chain overflows the stack. The outermost
// destruction destroys them one after the other instead. (Instances of
// Python subclasses are also protected by CPython's own deallocator; plain
// LineageStoreBase instances are not, and the limited API has no trashcan.)
thread_local std::vector<StoreRecord*> records_to_destroy;
thread_local bool destroying_records = false;

void destroy_record(StoreRecord* record) {
    if (record == nullptr) return;
    if (destroying_records) {
        try {
            records_to_destroy.push_back(record);
            return;
        } catch (const std::bad_alloc&) {
            delete record;  // no memory to put it off: destroyed in place, as a nested release
            return;
        }
    }
    destroying_records = true;
    struct Done {
        ~Done() { destroying_records = false; }
    } done;
    delete record;
    while (!records_to_destroy.empty()) {
        StoreRecord* next = records_to_destroy.back();
        records_to_destroy.pop_back();
        delete next;
    }
}

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Detached first, so that a finaliser run by the release finds the object
    // empty.
    destroy_record(std::exchange(as_store(self)->record, nullptr));
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

int store_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    StoreRecord* record = as_store(self)->record;
    if (record == nullptr) return 0;
    for (const CallGraph::Node& node : record->dependency_graph.nodes()) {
        Py_VISIT(borrowed(node.stored_value()));
        if (const CallRecord* call = call_of(&node)) {
            if (int visited = call->traverse(visit, arg)) return visited;
        }
    }
    return 0;
}

LINEAGE_STORE_LETS_FORCED_UNWIND_PASS int store_clear(PyObject* self) {
    StoreObject* store = as_store(self);
    // A borrowed store is in use further up some call chain and so cannot be
    // garbage; leave it alone rather than change tables under their reader.
    if (store->record == nullptr || is_borrowed(store)) return 0;
    try {
        // Moved out first and released afterwards, so that a finaliser run by
        // the release finds the store empty and consistent; released like a
        // deallocated store's record, so that a long chain of stores caught
        // in a cycle is released without deep recursion.
        auto emptied = std::make_unique<StoreRecord>();
        std::swap(emptied->dependency_graph, store->record->dependency_graph);
        destroy_record(emptied.release());
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(self);
    }
    return 0;
}


// ---------------------------------------------------------------------------
// Pickling and copying
//
// An instance pickles and copies as a plain object of its class would: its
// class and its __dict__ and __slots__ state. The store is not part of it; the
// copy is made by LineageStoreBase.__new__ and so starts with an empty store.

// Without __getnewargs__, object's reduction refuses any instance whose type
// is larger than object plus __dict__ and slots, which ours always is.
PyObject* store_getnewargs(PyObject*, PyObject*) noexcept { return PyTuple_New(0); }

// Protocols 0 and 1 would take copyreg's older path, which calls the nearest
// native base on the instance and pickles what it returns: a bare store, which
// cannot be pickled. The protocol 2 reduction (copyreg.__newobj__ with the
// class, plus the state) loads under every protocol, so ask object for that.
// Not noexcept: object's reduction runs Python code (copyreg, a subclass's
// __reduce__ or __getstate__).
PyObject* store_reduce_ex(PyObject* self, PyObject* protocol) {
    long requested = PyLong_AsLong(protocol);
    if (requested == -1 && PyErr_Occurred()) return nullptr;
    PyRef object_reduce_ex =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__"));
    if (!object_reduce_ex) return nullptr;
    PyRef effective = requested >= 2 ? PyRef::borrow(protocol) : PyRef::steal(PyLong_FromLong(2));
    if (!effective) return nullptr;
    return PyObject_CallFunctionObjArgs(object_reduce_ex.get(), self, effective.get(), nullptr);
}

// ---------------------------------------------------------------------------
// Cache queries and manual updates

PyObject* get_cached_value_by_hash(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"hash"};
        PyObject* bound[1];
        if (!bind_arguments("get_cached_value_by_hash", args, kwargs, names, bound, 1)) return nullptr;
        // Converted before the borrow: __index__ is the user's code.
        PyRef index = PyRef::steal(into_python([&] { return PyNumber_Index(bound[0]); }));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            PyRef type_name = type_name_of(bound[0]);
            if (type_name) {
                PyErr_Format(PyExc_TypeError, "get_cached_value_by_hash() argument 'hash' must be int, not %S",
                             type_name.get());
            }
            return nullptr;
        }
        long long hash = PyLong_AsLongLong(index.get());
        if (hash == -1 && PyErr_Occurred()) return nullptr;
        PyRef value;  // released after the borrow, like every reference taken under it
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
            if (!borrow) return nullptr;
            value = lookup_valid(borrow.record(), static_cast<CallHash>(hash));
        }
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name"};
        PyObject* bound[1];
        PyRef rest;
        if (!bind_arguments("get_cached_value", args, kwargs, names, bound, 1, &rest)) return nullptr;
        if (!require_str("get_cached_value", "method_name", bound[0])) return nullptr;
        PyRef method_name = exact_str(bound[0], "method_name");
        if (!method_name) return nullptr;
        NormalisedCall call;
        // No value can be cached for a call that cannot be hashed. Only
        // errors are answered that way: KeyboardInterrupt or SystemExit raised
        // by an argument's __hash__ is not the query's answer.
        if (!normalise_function_signature_and_hash(method_name.get(), nullptr, nullptr, rest.get(), call)) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            return Py_NewRef(Py_None);
        }
        CallRecordRef compared;
        PyRef value;
        bool collides = false;
        {
            StoreBorrow borrow =
                borrow_for_call(self, BorrowMode::Shared, call.hash, call.call_tuple.get(), compared, collides);
            if (!borrow) return nullptr;
            if (!collides) value = lookup_valid(borrow.record(), call.hash);
        }
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name", "value"};
        PyObject* bound[2];
        PyRef rest;
        if (!bind_arguments("update_cached_value", args, kwargs, names, bound, 2, &rest)) return nullptr;
        if (!require_str("update_cached_value", "method_name", bound[0])) return nullptr;
        PyRef method_name = exact_str(bound[0], "method_name");
        if (!method_name) return nullptr;
        NormalisedCall call;
        if (!normalise_function_signature_and_hash(method_name.get(), nullptr, nullptr, rest.get(), call)) {
            return nullptr;
        }
        CallRecordRef compared;
        PyRef replaced;  // released after the borrow: its finaliser may use this store
        bool collides = false;
        bool call_was_made = false;
        {
            StoreBorrow borrow =
                borrow_for_call(self, BorrowMode::Exclusive, call.hash, call.call_tuple.get(), compared, collides);
            if (!borrow) return nullptr;
            if (!collides) {
                CallGraph& graph = borrow.record().dependency_graph;
                RegisteredCall registered;
                call_was_made = find_registered_call(borrow.record(), call.hash, registered);
                graph.temporarily_invalidate(call.hash);
                replaced = store_value(borrow.record(), call.hash, PyRef::borrow(bound[1]));
                graph.validate(call.hash);
            }
        }
        if (collides) {
            PyErr_Format(PyExc_ValueError, "cannot update %R: its call hash belongs to a different cached call",
                         call.call_tuple.get());
            return nullptr;
        }
        // Warned once the update is complete: a filter that makes the warning
        // an error leaves the store exactly as updated.
        if (!call_was_made && !warn_about_unserved_update(self, method_name.get(), call.call_tuple.get())) {
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        std::vector<PyRef> released;  // outlives the borrow: finalisers may use this store
        ReleasedInTurn release_each(released, [](PyRef& value) { value.reset(); });
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Exclusive);
            if (!borrow) return nullptr;
            released = borrow.record().dependency_graph.take_stored_values();
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* get_cached_values(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        Listing<PyRef> listing;
        ReleasedInTurn release_each(listing, [](ListedCall<PyRef>& call) {
            call.shown.reset();
            call.call.reset();
        });
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
            if (!borrow) return nullptr;
            take_listing(borrow.record().dependency_graph, listing, [](const CallGraph::Node& node, PyRef& out) {
                out = PyRef::borrow(borrowed(node.stored_value()));
                return bool(out);
            });
        }
        return dict_by_display_key(listing, [](const PyRef& value) { return value.new_ref(); });
    });
}

// ---------------------------------------------------------------------------
// Graph and validation views

PyObject* get_dependency_graph(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        // Each listed call shows the range of `children` that holds the
        // records of the calls computed from it.
        struct ChildRange {
            std::size_t begin = 0, end = 0;
        };
        Listing<ChildRange> listing;
        std::vector<CallRecordRef> children;
        ReleasedInTurn release_listing(listing, [](ListedCall<ChildRange>& call) { call.call.reset(); });
        ReleasedInTurn release_children(children, [](CallRecordRef& child) { child.reset(); });
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
            if (!borrow) return nullptr;
            const CallGraph& graph = borrow.record().dependency_graph;
            // Every registered call is listed, with the calls computed from it.
            take_listing(graph, listing, [&](const CallGraph::Node& node, ChildRange& out) {
                out.begin = children.size();
                for (NodePosition child : graph.children_of(node)) {
                    const CallRecord* child_call = call_of(&graph.nodes()[child]);
                    if (child_call != nullptr) children.emplace_back(child_call);
                }
                out.end = children.size();
                return true;
            });
        }
        return dict_by_display_key(listing, [&](const ChildRange& range) -> PyRef {
            PyRef set = PyRef::steal(PySet_New(nullptr));
            for (std::size_t i = range.begin; set && i < range.end; ++i) {
                PyRef key = PyRef::steal(display_key(*children[i]));
                if (!key || into_python([&] { return PySet_Add(set.get(), key.get()); }) < 0) set.reset();
            }
            return set;
        });
    });
}

PyObject* get_validation_state(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        Listing<ValidationState> listing;
        ReleasedInTurn release_each(listing, [](ListedCall<ValidationState>& call) { call.call.reset(); });
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
            if (!borrow) return nullptr;
            take_listing(borrow.record().dependency_graph, listing,
                         [](const CallGraph::Node& node, ValidationState& out) {
                             out = node.state();
                             return node.has_state();
                         });
        }
        // One text object per state, shared by the entries: str is immutable.
        PyRef texts[3];
        for (auto state : {ValidationState::Valid, ValidationState::Invalid, ValidationState::PermanentlyInvalid}) {
            PyRef& text = texts[static_cast<int>(state)];
            text = PyRef::steal(PyUnicode_FromString(state_text(state)));
            if (!text) return nullptr;
        }
        return dict_by_display_key(listing,
                                   [&](ValidationState state) { return texts[static_cast<int>(state)].new_ref(); });
    });
}

// ---------------------------------------------------------------------------
// The type

// clang-format off
const PyMethodDef own_methods[] = {
    {"get_cached_value_by_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_cached_value_by_hash)),
     METH_VARARGS | METH_KEYWORDS, "get_cached_value_by_hash($self, hash)\n--\n\n"},
    {"get_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "get_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"__getnewargs__", store_getnewargs, METH_NOARGS, "__getnewargs__($self, /)\n--\n\n"},
    {"__reduce_ex__", store_reduce_ex, METH_O, "__reduce_ex__($self, protocol, /)\n--\n\n"},
    {"get_cached_values", get_cached_values, METH_NOARGS, "get_cached_values($self)\n--\n\n"},
    {"get_dependency_graph", get_dependency_graph, METH_NOARGS, "get_dependency_graph($self)\n--\n\n"},
    {"get_validation_state", get_validation_state, METH_NOARGS, "get_validation_state($self)\n--\n\n"},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {Py_tp_methods, nullptr},  // filled in by create_lineage_store_base_type
    {Py_tp_doc, const_cast<char*>("LineageStoreBase(*_args, **_kwargs)\n--\n\n")},
    {0, nullptr},
};
// clang-format on

PyType_Spec store_spec = {
    "builtins.LineageStoreBase",
    static_cast<int>(sizeof(StoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    store_slots,
};

PyTypeObject* created_store_type = nullptr;

}  // namespace

PyTypeObject* create_lineage_store_base_type(std::span<const PyMethodDef> more_methods) noexcept {
    if (created_store_type != nullptr) return created_store_type;
    return python_boundary([&]() -> PyObject* {
        // Static: the type refers to its method table for the rest of the process.
        static std::vector<PyMethodDef> methods;
        methods.assign(std::begin(own_methods), std::end(own_methods));
        methods.insert(methods.end(), more_methods.begin(), more_methods.end());
        methods.push_back({nullptr, nullptr, 0, nullptr});
        for (PyType_Slot& slot : store_slots) {
            if (slot.slot == Py_tp_methods) slot.pfunc = methods.data();
        }
        created_store_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&store_spec));
        return reinterpret_cast<PyObject*>(created_store_type);
    }) == nullptr ? nullptr : created_store_type;
}

PyTypeObject* lineage_store_base_type() noexcept {
    if (created_store_type == nullptr) PyErr_SetString(PyExc_SystemError, "LineageStoreBase has not been created yet");
    return created_store_type;
}

}  // namespace lineage_store
