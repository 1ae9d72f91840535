// store_views.cpp: listing the store's values, graph and states.
//
// A view copies what it shows out of the store in one section, as held bound
// calls and references, and builds its dict after the section: building it
// hashes the keys, which runs the arguments' __hash__ and __eq__, and that
// code may use the store. A view shows the store as it was when it was taken.
#include "store/store_views.h"

#include <vector>

#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/class_change.h"

namespace lineage_store {

namespace {

// One registered call as a view shows it, and what the view shows of it.
template <typename Shown>
struct ListedCall {
    BoundCallRef call;
    Shown shown;
};

template <typename Shown>
using Listing = ReleasingVector<ListedCall<Shown>>;

// Copies, for each registered call for which `shown_of(position, out)` holds,
// its bound call and `out`, in table order. Runs no Python code: call it in a
// section, with `listing` declared before the section so that it outlives it.
template <typename Shown, typename ShownOf>
void take_listing(const CallGraph& graph, Listing<Shown>& listing, ShownOf shown_of) {
    listing.reserve(graph.size());
    for (std::size_t position = 0; position < graph.size(); ++position) {
        const CallGraph::Node& node = graph.node(static_cast<NodePosition>(position));
        if (!node.is_registered()) continue;
        Shown shown{};
        if (!shown_of(static_cast<NodePosition>(position), shown)) continue;
        listing.push_back({*node.call_value(), std::move(shown)});
    }
}

// The display key of a registered call: the method name for a call without
// arguments, its call tuple otherwise. Empty with an exception set.
PyRef display_key(const BoundCall& call) {
    PyObject* method_name = call.method_name();
    if (!PyUnicode_Check(method_name)) {
        PyErr_SetString(PyExc_TypeError, "a registered call's method name is not a str");
        return {};
    }
    if (call.size() != 0) return call_tuple_of(call);
    // An exact str is immutable and cannot be told from a copy of itself.
    if (PyUnicode_CheckExact(method_name)) return PyRef::borrow(method_name);
    std::string_view name;
    if (!utf8_view(method_name, name)) return {};
    return PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// Sets `dict[key] = value`; hashing the key runs the arguments' __hash__.
bool set_item(PyObject* dict, const PyRef& key, const PyRef& value) {
    return into_python([&] { return PyDict_SetItem(dict, key.get(), value.get()); }) == 0;
}

// Fills `set` with the keys of `dict` (each keys[j]), then takes out each
// keys[j] for which `keep[j]` is false: only those are hashed again.
bool fill_from_keys(PyObject* set, PyObject* dict, const ReleasingVector<PyRef>& keys, const std::vector<bool>& keep) {
    PyRef updated = PyRef::steal(into_python([&] { return PyObject_CallMethod(set, "update", "O", dict); }));
    if (!updated) return false;
    for (std::size_t j = 0; j < keys.size(); ++j) {
        if (keep[j]) continue;
        if (into_python([&] { return PySet_Discard(set, keys[j].get()); }) < 0) return false;
    }
    return true;
}

// A new dict from the display key of each listed call to `value_of(shown)`
// (a PyRef, empty with an exception set on failure). Lets go of each bound
// call once its key is made.
template <typename Shown, typename ValueOf>
PyObject* dict_by_display_key(Listing<Shown>& listing, ValueOf value_of) {
    PyRef result = new_dict_with_room(static_cast<Py_ssize_t>(listing.size()));
    if (!result) return nullptr;
    for (ListedCall<Shown>& listed : listing) {
        PyRef key = display_key(*listed.call);
        if (!key) return nullptr;
        listed.call.reset();  // while its block is at hand
        PyRef value = value_of(listed.shown);
        if (!value || !set_item(result.get(), key, value)) return nullptr;
    }
    return result.release();
}

PyObject* get_cached_values(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        if (!store_follows_class_now(as_store(self))) return nullptr;
        Listing<PyRef> listing;
        {
            StoreSection section = StoreSection::open(as_store(self), Access::Read, {"get_cached_values() read it"});
            if (!section.opened()) return nullptr;
            if (const StoreRecord* store_record = section.store_record()) {
                const CallGraph& graph = store_record->graph;
                take_listing(graph, listing, [&](NodePosition position, PyRef& out) {
                    const PyRef* value = graph.node(position).stored_value();
                    if (value == nullptr) return false;
                    out = value->new_ref();
                    return true;
                });
            }
        }
        return dict_by_display_key(listing, [](const PyRef& value) { return value.new_ref(); });
    });
}

PyObject* get_dependency_graph(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        if (!store_follows_class_now(as_store(self))) return nullptr;
        // Each listed call shows the range of `children` that holds the
        // listing indices of the calls computed from it.
        struct ChildRange {
            std::size_t begin = 0, end = 0;
        };
        Listing<ChildRange> listing;
        std::vector<std::size_t> children;
        {
            StoreSection section = StoreSection::open(as_store(self), Access::Read, {"get_dependency_graph() read it"});
            if (!section.opened()) return nullptr;
            if (const StoreRecord* store_record = section.store_record()) {
                const CallGraph& graph = store_record->graph;
                // Where each registered node is listed, for its parents' sets.
                std::vector<std::size_t> listed_at(graph.size(), SIZE_MAX);
                std::size_t next = 0;
                for (std::size_t position = 0; position < graph.size(); ++position) {
                    if (graph.node(static_cast<NodePosition>(position)).is_registered()) listed_at[position] = next++;
                }
                take_listing(graph, listing, [&](NodePosition position, ChildRange& out) {
                    out.begin = children.size();
                    for (NodePosition child : graph.children(position)) {
                        if (listed_at[child] != SIZE_MAX) children.push_back(listed_at[child]);
                    }
                    out.end = children.size();
                    return true;
                });
            }
        }
        // Each key is built once, and shared by the dict and the sets. A
        // bound call is let go as soon as its key holds what it held, while
        // its block is still at hand.
        ReleasingVector<PyRef> keys;
        keys.reserve(listing.size());
        for (ListedCall<ChildRange>& listed : listing) {
            keys.push_back(display_key(*listed.call));
            if (!keys.back()) return nullptr;
            listed.call.reset();
        }
        // Every set is in the dict before any is filled, so that a set of
        // most calls can be filled from the dict's keys, with the hashes the
        // dict already holds, and each of its keys is hashed once fewer.
        PyRef result = new_dict_with_room(static_cast<Py_ssize_t>(listing.size()));
        if (!result) return nullptr;
        ReleasingVector<PyRef> sets;
        sets.reserve(listing.size());
        for (std::size_t i = 0; i < listing.size(); ++i) {
            sets.push_back(new_set());
            if (!sets.back() || !set_item(result.get(), keys[i], sets.back())) return nullptr;
        }
        // Two calls shown by equal keys share an entry: a set filled from the
        // keys would then take one for the other.
        const bool keys_distinct = PyDict_Size(result.get()) == static_cast<Py_ssize_t>(listing.size());
        std::vector<bool> is_child;
        for (std::size_t i = 0; i < listing.size(); ++i) {
            PyObject* set = sets[i].get();
            const std::size_t begin = listing[i].shown.begin, end = listing[i].shown.end;
            if (keys_distinct && 4 * (end - begin) >= 3 * listing.size()) {
                is_child.assign(listing.size(), false);
                for (std::size_t c = begin; c < end; ++c) is_child[children[c]] = true;
                if (!fill_from_keys(set, result.get(), keys, is_child)) return nullptr;
                continue;
            }
            for (std::size_t c = begin; c < end; ++c) {
                PyObject* key = keys[children[c]].get();
                if (into_python([&] { return PySet_Add(set, key); }) < 0) return nullptr;
            }
        }
        return result.release();
    });
}

const char* state_text(ValidationState state) noexcept {
    switch (state) {
        case ValidationState::Valid: return "valid";
        case ValidationState::Invalid: return "invalid";
        case ValidationState::PermanentlyInvalid: return "permanently invalid";
    }
    return "permanently invalid";
}

PyObject* get_validation_state(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        if (!store_follows_class_now(as_store(self))) return nullptr;
        Listing<ValidationState> listing;
        {
            StoreSection section = StoreSection::open(as_store(self), Access::Read, {"get_validation_state() read it"});
            if (!section.opened()) return nullptr;
            if (const StoreRecord* store_record = section.store_record()) {
                const CallGraph& graph = store_record->graph;
                take_listing(graph, listing, [&](NodePosition position, ValidationState& out) {
                    out = graph.state_at(position);
                    return true;
                });
            }
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

// clang-format off
const PyMethodDef view_methods[] = {
    {"get_cached_values", get_cached_values, METH_NOARGS, "get_cached_values($self)\n--\n\n"},
    {"get_dependency_graph", get_dependency_graph, METH_NOARGS, "get_dependency_graph($self)\n--\n\n"},
    {"get_validation_state", get_validation_state, METH_NOARGS, "get_validation_state($self)\n--\n\n"},
};
// clang-format on

}  // namespace

std::span<const PyMethodDef> store_view_methods() noexcept { return view_methods; }

}  // namespace lineage_store
