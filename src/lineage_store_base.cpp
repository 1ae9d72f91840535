#include "lineage_store_base.h"

#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "py_introspection_utils.h"
#include "python_boundary.h"

namespace lineage_store {

const void* current_thread_token() noexcept {
    thread_local const char token = 0;
    return &token;
}

// ---------------------------------------------------------------------------
// Borrow flag

StoreBorrow StoreBorrow::take(StoreObject* store, BorrowMode mode) noexcept {
    std::atomic<std::intptr_t>& flag = store->borrow_flag;
    if (store->record == nullptr) return StoreBorrow(nullptr, mode);
    if (mode == BorrowMode::Exclusive) {
        std::intptr_t expected = 0;
        if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire)) return StoreBorrow(nullptr, mode);
        return StoreBorrow(store, mode);
    }
    std::intptr_t current = flag.load(std::memory_order_relaxed);
    do {
        if (current == -1) return StoreBorrow(nullptr, mode);
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
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

// A call costs one node, one index slot or two, and its call tuple.
static_assert(sizeof(CallGraph::Node) == 32);

namespace {

PyObject* borrowed(const PyRef* reference) noexcept { return reference == nullptr ? nullptr : reference->get(); }

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
    out.call_tuple = borrowed(node->call_value());
    out.value = borrowed(node->stored_value());
    return true;
}

PyRef registered_call_tuple(const StoreRecord& record, CallHash hash) noexcept {
    const CallGraph::Node* node = record.dependency_graph.find(hash);
    return node == nullptr ? PyRef() : PyRef::borrow(borrowed(node->call_value()));
}

int is_different_call(PyObject* registered, PyObject* call_tuple) noexcept {
    if (registered == nullptr || registered == call_tuple) return 0;
    int equal = PyObject_RichCompareBool(registered, call_tuple, Py_EQ);
    return equal < 0 ? -1 : !equal;
}

namespace {

// Held across the comparison: __eq__ may drop every other reference to the
// registered tuple.
int collides_with_registered_call(const StoreRecord& record, CallHash hash, PyObject* call_tuple) noexcept {
    PyRef registered = registered_call_tuple(record, hash);
    return is_different_call(registered.get(), call_tuple);
}

// Takes the borrow a store method needs at entry, raising RuntimeError on
// refusal.
StoreBorrow borrow_for_method(PyObject* self, BorrowMode mode) noexcept {
    StoreBorrow borrow = StoreBorrow::take(as_store(self), mode);
    if (!borrow) PyErr_SetString(PyExc_RuntimeError, StoreBorrow::refusal_message(mode));
    return borrow;
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

// The display key of a call with a call tuple: the method name for a call
// without arguments, the call tuple itself otherwise. A new reference, or
// nullptr with an exception set.
PyObject* display_key(PyObject* call_tuple) noexcept {
    PyObject* method_name = PyTuple_GetItem(call_tuple, 0);
    if (method_name == nullptr) return nullptr;
    if (!PyUnicode_Check(method_name)) {
        PyErr_SetString(PyExc_TypeError, "call tuple does not start with a method name");
        return nullptr;
    }
    PyObject* arguments = PyTuple_GetItem(call_tuple, 1);
    if (arguments == nullptr) return nullptr;
    if (!PyTuple_Check(arguments)) {
        PyErr_SetString(PyExc_TypeError, "call tuple does not hold an argument tuple");
        return nullptr;
    }
    if (PyTuple_Size(arguments) != 0) return Py_NewRef(call_tuple);
    // An exact str is immutable and cannot be told from a copy of itself.
    if (PyUnicode_CheckExact(method_name)) return Py_NewRef(method_name);
    std::string_view name;
    if (!utf8_view(method_name, name)) return nullptr;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// A new dict from the display key of each call that `value_of(node)` gives a
// value to, walking the node table once in order. `value_of` returns an
// empty PyRef for a call to leave out, and reports failure through `failed`
// with an exception set. Calls without a call tuple have no display key and
// are left out.
//
// The shared borrow held by the caller keeps the table still while the keys
// are hashed into the result, which runs Python code.
template <typename ValueOf>
PyObject* listing_by_display_key(const CallGraph& graph, ValueOf value_of) {
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const CallGraph::Node& node : graph.nodes()) {
        const PyRef* call_tuple = node.call_value();
        if (call_tuple == nullptr) continue;
        bool failed = false;
        PyRef value = value_of(node, failed);
        if (failed) return nullptr;
        if (!value) continue;
        PyRef key = PyRef::steal(display_key(call_tuple->get()));
        if (!key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
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

PyObject* store_new(PyTypeObject* cls, PyObject*, PyObject*) noexcept {
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

int store_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    StoreRecord* record = as_store(self)->record;
    if (record == nullptr) return 0;
    for (const CallGraph::Node& node : record->dependency_graph.nodes()) {
        Py_VISIT(borrowed(node.stored_value()));
        Py_VISIT(borrowed(node.call_value()));
    }
    return 0;
}

int store_clear(PyObject* self) noexcept {
    StoreObject* store = as_store(self);
    // A borrowed store is in use further up some call chain and so cannot be
    // garbage; leave it alone rather than change tables under their reader.
    if (store->record == nullptr || store->borrow_flag.load() != 0) return 0;
    try {
        // Moved out first and released when this local goes, so that a
        // finaliser run by the release finds the store empty and consistent.
        CallGraph graph;
        std::swap(graph, store->record->dependency_graph);
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(self);
    }
    return 0;
}


// ---------------------------------------------------------------------------
// Cache queries and manual updates

PyObject* get_cached_value_by_hash(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"hash"};
        PyObject* bound[1];
        if (!bind_arguments("get_cached_value_by_hash", args, kwargs, names, bound, 1)) return nullptr;
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        PyRef index = PyRef::steal(PyNumber_Index(bound[0]));
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
        PyRef value = lookup_valid(borrow.record(), static_cast<CallHash>(hash));
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name"};
        PyObject* bound[1];
        PyRef rest;
        if (!bind_arguments("get_cached_value", args, kwargs, names, bound, 1, &rest)) return nullptr;
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        if (!require_str("get_cached_value", "method_name", bound[0])) return nullptr;
        PyRef method_name = exact_str(bound[0], "method_name");
        if (!method_name) return nullptr;
        NormalisedCall call;
        // No value can be cached for a call that cannot be hashed.
        if (!normalise_function_signature_and_hash(method_name.get(), nullptr, nullptr, rest.get(), call)) {
            PyErr_Clear();
            return Py_NewRef(Py_None);
        }
        int collides = collides_with_registered_call(borrow.record(), call.hash, call.call_tuple.get());
        if (collides < 0) return nullptr;
        PyRef value = collides ? PyRef() : lookup_valid(borrow.record(), call.hash);
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name", "value"};
        PyObject* bound[2];
        PyRef rest;
        if (!bind_arguments("update_cached_value", args, kwargs, names, bound, 2, &rest)) return nullptr;
        PyRef replaced;  // released after the borrow: its finaliser may use this store
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Exclusive);
            if (!borrow) return nullptr;
            if (!require_str("update_cached_value", "method_name", bound[0])) return nullptr;
            PyRef method_name = exact_str(bound[0], "method_name");
            if (!method_name) return nullptr;
            NormalisedCall call;
            if (!normalise_function_signature_and_hash(method_name.get(), nullptr, nullptr, rest.get(), call)) {
                return nullptr;
            }
            StoreRecord& record = borrow.record();
            int collides = collides_with_registered_call(record, call.hash, call.call_tuple.get());
            if (collides < 0) return nullptr;
            if (collides) {
                PyErr_Format(PyExc_ValueError,
                             "cannot update %R: its call hash belongs to a different cached call",
                             call.call_tuple.get());
                return nullptr;
            }
            record.dependency_graph.temporarily_invalidate(call.hash);
            replaced = store_value(record, call.hash, PyRef::borrow(bound[1]));
            record.dependency_graph.validate(call.hash);
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* clear_cache(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        std::vector<PyRef> released;  // outlives the borrow: finalisers may use this store
        {
            StoreBorrow borrow = borrow_for_method(self, BorrowMode::Exclusive);
            if (!borrow) return nullptr;
            released = borrow.record().dependency_graph.take_stored_values();
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* get_cached_values(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        // The shared borrow is held while keys are hashed into the result, so
        // nothing can change the tables being walked.
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        return listing_by_display_key(borrow.record().dependency_graph, [](const CallGraph::Node& node, bool&) {
            return PyRef::borrow(borrowed(node.stored_value()));
        });
    });
}

// ---------------------------------------------------------------------------
// Graph and validation views

PyObject* get_dependency_graph(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        const CallGraph& graph = borrow.record().dependency_graph;
        // Every registered call is listed, with the calls computed from it.
        return listing_by_display_key(graph, [&](const CallGraph::Node& node, bool& failed) -> PyRef {
            PyRef set = PyRef::steal(PySet_New(nullptr));
            failed = !set;
            for (NodePosition child : graph.children_of(node)) {
                if (failed) break;
                const PyRef* child_tuple = graph.nodes()[child].call_value();
                if (child_tuple == nullptr) continue;
                PyRef key = PyRef::steal(display_key(child_tuple->get()));
                failed = !key || PySet_Add(set.get(), key.get()) < 0;
            }
            return set;
        });
    });
}

PyObject* get_validation_state(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        // One text object per state, shared by the entries: str is immutable.
        PyRef texts[3];
        for (auto state : {ValidationState::Valid, ValidationState::Invalid, ValidationState::PermanentlyInvalid}) {
            PyRef& text = texts[static_cast<int>(state)];
            text = PyRef::steal(PyUnicode_FromString(state_text(state)));
            if (!text) return nullptr;
        }
        return listing_by_display_key(borrow.record().dependency_graph, [&](const CallGraph::Node& node, bool&) {
            return node.has_state() ? texts[static_cast<int>(node.state())].new_ref() : PyRef();
        });
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
    {"get_cached_values", get_cached_values, METH_NOARGS, "get_cached_values($self)\n--\n\n"},
    {"get_dependency_graph", get_dependency_graph, METH_NOARGS, "get_dependency_graph($self)\n--\n\n"},
    {"get_validation_state", get_validation_state, METH_NOARGS, "get_validation_state($self)\n--\n\n"},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_record<StoreObject>)},
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
