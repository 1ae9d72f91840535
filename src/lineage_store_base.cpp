#include "lineage_store_base.h"

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "decorator.h"
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

PyRef lookup_valid(const StoreRecord& record, CallHash hash) noexcept {
    if (record.dependency_graph.state_of(hash) != ValidationState::Valid) return {};
    auto found = record.cached_values.find(hash);
    if (found == record.cached_values.end()) return {};
    return found->second.new_ref();
}

PyRef registered_call_tuple(const StoreRecord& record, CallHash hash) noexcept {
    auto found = record.dependency_graph.call_values().find(hash);
    return found == record.dependency_graph.call_values().end() ? PyRef() : found->second.new_ref();
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

StoreObject* as_store(PyObject* self) noexcept { return reinterpret_cast<StoreObject*>(self); }

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

// The display key of a call: the method name for a call without arguments,
// the call tuple itself otherwise. 1 with `out` set, 0 when the call has no
// call tuple, -1 with an exception set.
int display_key(const CallGraph& graph, CallHash hash, PyRef& out) noexcept {
    auto found = graph.call_values().find(hash);
    if (found == graph.call_values().end()) return 0;
    PyObject* call_tuple = found->second.get();
    PyObject* method_name = PyTuple_GetItem(call_tuple, 0);
    if (method_name == nullptr) return -1;
    std::string_view name;
    if (!PyUnicode_Check(method_name)) {
        PyErr_SetString(PyExc_TypeError, "call tuple does not start with a method name");
        return -1;
    }
    if (!utf8_view(method_name, name)) return -1;
    PyObject* arguments = PyTuple_GetItem(call_tuple, 1);
    if (arguments == nullptr) return -1;
    if (!PyTuple_Check(arguments)) {
        PyErr_SetString(PyExc_TypeError, "call tuple does not hold an argument tuple");
        return -1;
    }
    if (PyTuple_Size(arguments) == 0) {
        out = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    } else {
        out = found->second.new_ref();
    }
    return out ? 1 : -1;
}

// A new dict from the display key of each call in `table` to
// `value_of(entry)`; calls without a display key are left out. `value_of`
// returns an empty PyRef with an exception set on failure.
template <typename Table, typename ValueOf>
PyObject* listing_by_display_key(const CallGraph& graph, const Table& table, ValueOf value_of) {
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [hash, entry] : table) {
        PyRef key;
        int has_key = display_key(graph, hash, key);
        if (has_key < 0) return nullptr;
        if (has_key == 0) continue;
        PyRef value = value_of(entry);
        if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
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
    for (const auto& [hash, value] : record->cached_values) Py_VISIT(value.get());
    for (const auto& [hash, call_tuple] : record->dependency_graph.call_values()) Py_VISIT(call_tuple.get());
    return 0;
}

int store_clear(PyObject* self) noexcept {
    StoreObject* store = as_store(self);
    // A borrowed store is in use further up some call chain and so cannot be
    // garbage; leave it alone rather than change tables under their reader.
    if (store->record == nullptr || store->borrow_flag.load() != 0) return 0;
    try {
        // Moved out first and released when these locals go, so that a
        // finaliser run by the release finds the store empty and consistent.
        SeededMap<CallHash, PyRef> values;
        CallGraph graph;
        std::swap(values, store->record->cached_values);
        std::swap(graph, store->record->dependency_graph);
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
            replaced = std::exchange(record.cached_values[call.hash], PyRef::borrow(bound[1]));
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
            auto& values = borrow.record().cached_values;
            released.reserve(values.size());
            for (auto& [hash, value] : values) released.push_back(std::move(value));
            values.clear();  // keeps the bucket array
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
        const StoreRecord& record = borrow.record();
        return listing_by_display_key(record.dependency_graph, record.cached_values,
                                      [](const PyRef& value) { return value.new_ref(); });
    });
}

// ---------------------------------------------------------------------------
// Graph and validation views

PyObject* get_dependency_graph(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        const CallGraph& graph = borrow.record().dependency_graph;
        // Walk a copy: hashing display keys runs Python code.
        const SeededMap<CallHash, CallGraph::KeySet> children = graph.children();
        return listing_by_display_key(graph, children, [&](const CallGraph::KeySet& members) -> PyRef {
            std::vector<PyRef> member_keys;
            member_keys.reserve(members.size());
            for (CallHash child : members) {
                PyRef child_key;
                int has_key = display_key(graph, child, child_key);
                if (has_key < 0) return {};
                if (has_key) member_keys.push_back(std::move(child_key));
            }
            PyRef set = PyRef::steal(PySet_New(nullptr));
            if (!set) return {};
            for (const PyRef& key : member_keys) {
                if (PySet_Add(set.get(), key.get()) < 0) return {};
            }
            return set;
        });
    });
}

PyObject* get_validation_state(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        StoreBorrow borrow = borrow_for_method(self, BorrowMode::Shared);
        if (!borrow) return nullptr;
        const CallGraph& graph = borrow.record().dependency_graph;
        // A table of its own with a fresh seed: the listing order says nothing
        // about the store's tables.
        const SeededMap<CallHash, ValidationState> states(graph.validation_states().begin(),
                                                          graph.validation_states().end());
        return listing_by_display_key(graph, states, [](ValidationState state) {
            return PyRef::steal(PyUnicode_FromString(state_text(state)));
        });
    });
}

// ---------------------------------------------------------------------------
// Cache dump and load

bool is_dunder(std::string_view name) noexcept { return name.size() >= 2 && name.substr(0, 2) == "__"; }

// The instance type's method resolution order, or nullptr with
// PanicException set.
PyRef method_resolution_order(PyObject* self) noexcept {
    PyRef mro = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__mro__"));
    if (!mro) {
        PyErr_Clear();
        raise_panic("Cannot get `__mro__` from object.");
        return {};
    }
    if (!PyTuple_Check(mro.get())) {
        raise_panic("Unexpected type in `__mro__` attribute. Expected a tuple.");
        return {};
    }
    return mro;
}

PyRef class_dict(PyObject* cls) noexcept {
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "__mro__ entry is not a type");
        return {};
    }
    return PyRef::steal(PyObject_GetAttrString(cls, "__dict__"));
}

std::mt19937_64& shuffle_generator() {
    thread_local std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seeds{device(), device(), device(), device()};
        return std::mt19937_64(seeds);
    }();
    return generator;
}

// The names whose first definition along the MRO is a serialisable decorated
// method, most derived class first and in random order within a class.
bool serialisable_method_names(PyObject* self, std::vector<PyRef>& selected) {
    PyRef mro = method_resolution_order(self);
    if (!mro) return false;
    std::unordered_set<std::string> decided;
    Py_ssize_t classes = PyTuple_Size(mro.get());
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyRef dict = class_dict(PyTuple_GetItem(mro.get(), c));
        if (!dict) return false;
        PyRef items_view = PyRef::steal(PyObject_CallMethod(dict.get(), "items", nullptr));
        if (!items_view) return false;
        PyRef items_list = PyRef::steal(PySequence_List(items_view.get()));
        if (!items_list) return false;
        std::vector<PyRef> items;
        Py_ssize_t count = PyList_Size(items_list.get());
        items.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(count, 0)));
        for (Py_ssize_t i = 0; i < count; ++i) items.push_back(PyRef::borrow(PyList_GetItem(items_list.get(), i)));
        std::shuffle(items.begin(), items.end(), shuffle_generator());
        for (const PyRef& item : items) {
            if (!PyTuple_Check(item.get())) {
                PyErr_SetString(PyExc_TypeError, "class __dict__ item is not a tuple");
                return false;
            }
            if (PyTuple_Size(item.get()) != 2) {
                PyErr_SetString(PyExc_ValueError, "class __dict__ item is not a (name, value) pair");
                return false;
            }
            PyObject* name = PyTuple_GetItem(item.get(), 0);
            if (!PyUnicode_Check(name)) {
                PyErr_SetString(PyExc_TypeError, "class __dict__ key is not a str");
                return false;
            }
            std::string_view text;
            if (!utf8_view(name, text)) return false;
            if (is_dunder(text) || !decided.emplace(text).second) continue;
            if (is_serialisable_decorator(PyTuple_GetItem(item.get(), 1))) selected.push_back(PyRef::borrow(name));
        }
    }
    return true;
}

PyObject* dump_cache(PyObject* self, PyObject*) noexcept {
    return python_boundary([&]() -> PyObject* {
        std::vector<PyRef> names;
        if (!serialisable_method_names(self, names)) return nullptr;
        PyRef result = PyRef::steal(PyDict_New());
        if (!result) return nullptr;
        for (const PyRef& name : names) {
            PyRef method = PyRef::steal(PyObject_GetAttr(self, name.get()));
            if (!method) return nullptr;
            PyRef value = PyRef::steal(PyObject_CallNoArgs(method.get()));
            if (!value) return nullptr;
            if (PyDict_SetItem(result.get(), name.get(), value.get()) < 0) return nullptr;
        }
        return result.release();
    });
}

// The first definition of `name` along the MRO: 1 with `out` set, 0 when no
// class defines it, -1 with an exception set.
int first_definition(PyObject* mro, PyObject* name, PyRef& out) noexcept {
    Py_ssize_t classes = PyTuple_Size(mro);
    for (Py_ssize_t c = 0; c < classes; ++c) {
        PyRef dict = class_dict(PyTuple_GetItem(mro, c));
        if (!dict) return -1;
        out = PyRef::steal(PyObject_GetItem(dict.get(), name));
        if (out) return 1;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

// load_cache reads data that users keep in files and move between machines,
// so a key is only looked up and called when it names a serialisable
// decorated method, by the same rule dump_cache uses to write it.
bool check_loadable_name(PyObject* self, PyObject* name) {
    std::string_view text;
    if (!utf8_view(name, text)) return false;
    PyRef mro = method_resolution_order(self);
    if (!mro) return false;
    PyRef definition;
    int defined = first_definition(mro.get(), name, definition);
    if (defined < 0) return false;
    if (defined == 0) {
        // Not defined by the class; an instance attribute of that name is
        // still something else than a serialisable method.
        PyRef instance_dict = PyRef::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!instance_dict) PyErr_Clear();
        int in_instance = instance_dict ? PySequence_Contains(instance_dict.get(), name) : 0;
        if (in_instance < 0) return false;
        if (!in_instance) {
            PyRef type_name = type_name_of(self);
            if (type_name) {
                PyErr_Format(PyExc_AttributeError, "'%S' object has no attribute '%U'", type_name.get(), name);
            }
            return false;
        }
    } else if (!is_dunder(text) && is_serialisable_decorator(definition.get())) {
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "load_cache() refuses key '%U': it does not name a serialisable lineage-stored method", name);
    return false;
}

// Stores one loaded value under the no-argument call of `name`.
bool store_loaded_value(PyObject* self, PyObject* name, PyObject* value) {
    NormalisedCall call;
    if (!normalise_function_signature_and_hash(name, nullptr, nullptr, nullptr, call)) {
        PyObject *type = nullptr, *error = nullptr, *traceback = nullptr;
        // The only way to take the raised exception that the oldest stable ABI
        // we build for offers; newer headers mark it deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        PyErr_Fetch(&type, &error, &traceback);
        PyErr_NormalizeException(&type, &error, &traceback);
#pragma GCC diagnostic pop
        PyRef held_type = PyRef::steal(type), held_error = PyRef::steal(error), held_tb = PyRef::steal(traceback);
        PyRef error_type_name = held_error ? type_name_of(held_error.get()) : PyRef();
        if (!error_type_name) return false;
        PyErr_Format(PyExc_ValueError, "Failed to hash '%U': %S: %S", name, error_type_name.get(), held_error.get());
        return false;
    }
    PyRef replaced;  // released after the borrow: its finaliser may use this store
    StoreBorrow borrow = StoreBorrow::take(as_store(self), BorrowMode::Exclusive);
    if (!borrow) {
        raise_panic(StoreBorrow::refusal_message(BorrowMode::Exclusive));
        return false;
    }
    replaced = std::exchange(borrow.record().cached_values[call.hash], PyRef::borrow(value));
    return true;
}

PyObject* load_cache(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"data"};
        PyObject* bound[1];
        if (!bind_arguments("load_cache", args, kwargs, names, bound, 1)) return nullptr;
        PyObject* data = bound[0];
        if (!PyDict_Check(data)) {
            PyRef type_name = type_name_of(data);
            if (type_name) PyErr_Format(PyExc_TypeError, "load_cache() argument 'data' must be dict, not %S", type_name.get());
            return nullptr;
        }
        PyRef held_data = PyRef::borrow(data);
        const Py_ssize_t size_at_start = PyDict_Size(data);
        Py_ssize_t still_expected = size_at_start;
        Py_ssize_t position = 0;
        for (;;) {
            if (PyDict_Size(data) != size_at_start) return raise_panic("dictionary changed size during iteration");
            PyObject* borrowed_key = nullptr;
            PyObject* borrowed_value = nullptr;
            if (!PyDict_Next(data, &position, &borrowed_key, &borrowed_value)) break;
            if (still_expected-- == 0) return raise_panic("dictionary keys changed during iteration");
            PyRef key = PyRef::borrow(borrowed_key);
            PyRef value = PyRef::borrow(borrowed_value);
            if (!PyUnicode_Check(key.get())) {
                PyRef type_name = type_name_of(key.get());
                if (type_name) PyErr_Format(PyExc_TypeError, "load_cache() keys must be str, not %S", type_name.get());
                return nullptr;
            }
            if (!check_loadable_name(self, key.get())) return nullptr;
            PyRef method = PyRef::steal(PyObject_GetAttr(self, key.get()));
            if (!method) return nullptr;
            PyRef computed = PyRef::steal(PyObject_CallNoArgs(method.get()));
            if (!computed) return nullptr;
            PyRef name = exact_str(key.get(), "key");
            if (!name || !store_loaded_value(self, name.get(), value.get())) return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

// ---------------------------------------------------------------------------
// The type

// clang-format off
PyMethodDef store_methods[] = {
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
    {"dump_cache", dump_cache, METH_NOARGS, "dump_cache($self)\n--\n\n"},
    {"load_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_cache)),
     METH_VARARGS | METH_KEYWORDS, "load_cache($self, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_record<StoreObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_clear)},
    {Py_tp_methods, store_methods},
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

}  // namespace

PyTypeObject* lineage_store_base_type() noexcept {
    // Created once per process and never released: every module object made
    // from our definition shares it.
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&store_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace lineage_store
