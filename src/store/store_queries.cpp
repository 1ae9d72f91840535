// store_queries.cpp: reading one cached value, setting one by hand, and
// emptying the cache.
#include "store/store_queries.h"

#include "call/reference_binding.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/call_lookup.h"
#include "store/class_change.h"
#include "store/usage_warnings.h"

namespace lineage_store {

namespace {

// Adds to an unhashable keyword value's TypeError which argument it was.
void explain_unhashable_keyword(const char* function_name, PyObject* method_name, PyObject* keywords) {
    if (keywords == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef unhashable;
    {
        SavedException raised;  // set again when this block ends
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (!unhashable && PyDict_Next(keywords, &position, &name, &value)) {
            PyRef held_name = PyRef::borrow(name), held_value = PyRef::borrow(value);
            if (into_python([&] { return PyObject_Hash(held_value.get()); }) != -1) continue;
            PyErr_Clear();
            unhashable = std::move(held_name);
        }
    }
    if (!unhashable) return;
    note_unhashable_argument(unhashable.get(), [&] {
        return PyRef::steal(
            into_python([&] { return PyUnicode_FromFormat("in %s(%R, ...)", function_name, method_name); }));
    });
}

// Binds the arguments of get_cached_value or update_cached_value
// (`function_name`): `bound` gets those `names` names, the first being the
// method name, checked and made an exact str in `method_name`; `keywords` the
// named call's arguments. False with an exception set.
template <std::size_t N>
bool bind_named_call(const char* function_name, PyObject* args, PyObject* kwargs, const char* const (&names)[N],
                     PyObject* (&bound)[N], PyRef& keywords, PyRef& method_name) {
    if (!bind_arguments(function_name, args, kwargs, names, bound, N, &keywords)) return false;
    if (!require_str(function_name, "method_name", bound[0])) return false;
    method_name = exact_str(bound[0], "method_name");
    return bool(method_name);
}

PyObject* get_cached_value_by_hash(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"hash"};
        PyObject* bound[1];
        if (!bind_arguments("get_cached_value_by_hash", args, kwargs, names, bound, 1)) return nullptr;
        if (!store_follows_class_now(as_store(self))) return nullptr;
        // Converted before the section: __index__ is the user's code.
        PyRef index = PyRef::steal(into_python([&] { return PyNumber_Index(bound[0]); }));
        if (!index) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
            PyErr_Clear();
            PyRef type_name = type_name_of(bound[0]);
            if (type_name) {
                into_python([&] {
                    return PyErr_Format(PyExc_TypeError,
                                        "get_cached_value_by_hash() argument 'hash' must be int, not %S",
                                        type_name.get());
                });
            }
            return nullptr;
        }
        const long long hash = PyLong_AsLongLong(index.get());
        if (hash == -1 && PyErr_Occurred()) return nullptr;
        PyRef value;  // released after the section, like every reference taken in one
        {
            StoreSection section =
                StoreSection::open(as_store(self), Access::Read, {"get_cached_value_by_hash() read it"});
            if (!section.opened()) return nullptr;
            if (const StoreRecord* store_record = section.store_record()) {
                const NodePosition position = first_registered(*store_record, static_cast<CallHash>(hash));
                if (position != kNoNode) value = PyRef::borrow(valid_value(store_record->graph, position));
            }
        }
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* get_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name"};
        PyObject* bound[1];
        PyRef keywords, method_name;
        if (!bind_named_call("get_cached_value", args, kwargs, names, bound, keywords, method_name)) return nullptr;
        if (!store_follows_class_now(as_store(self))) return nullptr;
        NamedCall named;
        // No value can be cached for a call that cannot be hashed. Only
        // errors are answered that way: KeyboardInterrupt or SystemExit raised
        // by an argument's __hash__ is not the query's answer.
        if (!name_call(method_name.get(), keywords.get(), named)) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            return Py_NewRef(Py_None);
        }
        PyRef value;
        bool registered = false, undecidable = false;
        BoundCallKey key(named.hash, named.call);
        const bool ok = with_call_node(
            as_store(self), Access::Read, {"get_cached_value() looked a call up in it"}, key,
            [&](StoreRecord* store_record, NodePosition position) {
                if (position == kNoNode) return true;
                registered = store_record->graph.node(position).is_registered();
                value = PyRef::borrow(valid_value(store_record->graph, position));
                return true;
            },
            &undecidable);
        if (!ok) return nullptr;
        // A call the store could not tell apart is answered as not cached.
        if (undecidable) return Py_NewRef(Py_None);
        if (!registered && !warn_about_unanswerable_query(self, method_name.get(), keywords.get())) return nullptr;
        return value ? value.release() : Py_NewRef(Py_None);
    });
}

PyObject* update_cached_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return python_boundary([&]() -> PyObject* {
        static const char* const names[] = {"method_name", "value"};
        PyObject* bound[2];
        PyRef keywords, method_name;
        if (!bind_named_call("update_cached_value", args, kwargs, names, bound, keywords, method_name)) {
            return nullptr;
        }
        if (!store_follows_class_now(as_store(self))) return nullptr;
        // A value that can be consumed only once would be served again once
        // used up, and fail far from here. Left to the caller as it is:
        // theirs to await, iterate or close.
        if (Py_TYPE(bound[1]) == single_use_types.coroutine) {
            PyErr_SetString(PyExc_TypeError,
                            "update_cached_value() argument 'value' is a coroutine: await it first and store its "
                            "result");
            return nullptr;
        }
        if (is_single_use(bound[1])) {
            PyErr_Format(PyExc_TypeError,
                         "update_cached_value() argument 'value' is %s, which can be iterated only once, so the "
                         "next call would be served it exhausted: pass a list or tuple of its items",
                         Py_TYPE(bound[1]) == single_use_types.generator ? "a generator" : "an async generator");
            return nullptr;
        }
        NamedCall named;
        if (!name_call(method_name.get(), keywords.get(), named)) {
            explain_unhashable_keyword("update_cached_value", method_name.get(), keywords.get());
            return nullptr;
        }
        PyRef replaced;  // released after the section: its finaliser may use this store
        bool registered = false;
        BoundCallKey key(named.hash, named.call);
        const bool updated =
            with_call_node(as_store(self), Access::Write, {"update_cached_value() set a value in it"}, key,
                           [&](StoreRecord* store_record, NodePosition position) {
                               CallGraph& graph = store_record->graph;
                               // A call never made keeps the value in a node of its own,
                               // which its first decorated call then takes up.
                               if (position == kNoNode)
                                   position = add_unregistered_node(*store_record, named.hash, named.call);
                               registered = graph.node(position).is_registered();
                               replaced = set_by_hand(graph, position, bound[1], [](NodePosition) { return false; });
                               return true;
                           });
        if (!updated) return nullptr;
        replaced.reset();
        // Warned once the update is complete: a filter that makes the warning
        // an error leaves the store exactly as updated.
        if (!registered && !warn_about_unused_update(self, method_name.get(), keywords.get())) return nullptr;
        return Py_NewRef(Py_None);
    });
}

PyObject* clear_cache(PyObject* self, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        ReleasingVector<PyRef> released;  // outlives the section: finalisers may use this store
        {
            StoreSection section =
                StoreSection::open(as_store(self), Access::Write, {"clear_cache() cleared it"}, false);
            if (!section.opened()) return nullptr;
            if (section.store_record() == nullptr) return Py_NewRef(Py_None);
            CallGraph& graph = section.store_record()->graph;
            graph.take_stored_values(released);
            // A computation in progress may have read a value dropped here (a
            // value set by hand, say): its result must not be stored.
            graph.mark_all_computations();
        }
        released.release_all();
        return Py_NewRef(Py_None);
    });
}

// clang-format off
const PyMethodDef query_methods[] = {
    {"get_cached_value_by_hash", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_cached_value_by_hash)),
     METH_VARARGS | METH_KEYWORDS, "get_cached_value_by_hash($self, hash)\n--\n\n"},
    {"get_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "get_cached_value($self, method_name, **kwargs)\n--\n\n"},
    {"update_cached_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update_cached_value)),
     METH_VARARGS | METH_KEYWORDS, "update_cached_value($self, method_name, value, **kwargs)\n--\n\n"},
    {"clear_cache", clear_cache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
};
// clang-format on

}  // namespace

std::span<const PyMethodDef> store_query_methods() noexcept { return query_methods; }

}  // namespace lineage_store
