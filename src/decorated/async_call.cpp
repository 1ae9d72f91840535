// async_call.cpp: the call of a decorated async method: the driver, and which
// object of the call its coroutine is made over.
#include "decorated/async_call.h"

#include <cstdint>
#include <utility>

#include "decorated/async_computation.h"
#include "decorated/async_driver_source.h"  // generated from async_driver.py
#include "decorated/awaited_call.h"
#include "decorated/call_steps.h"
#include "decorated/served_call.h"
#include "python/interpreter_shortcuts.h"
#include "python/python_boundary.h"
#include "store/cache_store.h"
#include "store/call_lookup.h"
#include "store/decorator_record.h"
#include "store/lineage_store_base.h"

namespace lineage_store {

namespace {

// What the store held for a call when it was made.
struct FoundNode {
    NodePosition position = kNoNode;  // its registered node, if plain comparisons found one
    PyRef value;                      // the node's value, when the call is valid
    std::uint32_t version = 0;        // the graph's version then
    bool running = false;             // whether the store was computing then
};

PyRef new_driven_call(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity, FoundNode& found);

// ---------------------------------------------------------------------------
// The driver

// The driver's `named`, made at import. The module is imported in the main
// interpreter alone, so it is made there and kept for the rest of the process,
// with the namespace it runs in.
PyObject* named_driver = nullptr;

// The vectorcall of the coroutine functions `named` makes, plain functions
// all, where the interpreter lets it be found: called directly, making a
// coroutine skips the generic call's checks. Null otherwise.
VectorcallFunction driver_vectorcall = nullptr;

// moved(decorator, kwnames, *items): the AwaitedCall of the call of
// `decorator` with `items`, the last len(kwnames) of them by keyword (None for
// none), identified now, made when its store moved before a served call was
// awaited: the driver's first look then finds the call, or registers it.
PyObject* driver_moved(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return python_boundary([&]() -> PyObject* {
        PyObject* kwnames = count >= 2 && args[1] != Py_None ? args[1] : nullptr;
        const Py_ssize_t keywords = kwnames != nullptr && PyTuple_Check(kwnames) ? PyTuple_Size(kwnames) : 0;
        DecoratorRecord* decorator = count >= 3 ? decorator_record_of(args[0]) : nullptr;
        if (decorator == nullptr || (kwnames != nullptr && !PyTuple_Check(kwnames)) || keywords >= count - 2 ||
            !is_store(args[2])) {
            PyErr_SetString(PyExc_TypeError, "moved() takes a decorator, keyword names and the arguments of its call");
            return nullptr;
        }
        PyRef func = decorator->options.func.new_ref();
        if (!func) {
            PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
            return nullptr;
        }
        CallArguments arguments(args + 2, count - 2 - keywords, kwnames);
        if (!arguments.ok()) return nullptr;
        CallIdentity identity;
        if (!identity.identify(decorator->caches.binding, decorator->options.method_name.get(), func.get(),
                               arguments)) {
            return nullptr;
        }
        FoundNode found;  // none: the first look finds the call, or registers it
        return new_driven_call(args[0], arguments, identity, found).release();
    });
}

PyMethodDef moved_definition = {"moved", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(driver_moved)),
                                METH_FASTCALL, nullptr};

// Whether the driver's global `name` is the int `expected`.
bool driver_constant_is(PyObject* globals, const char* name, long expected) {
    PyObject* value = PyDict_GetItemString(globals, name);  // borrowed
    return value != nullptr && PyLong_Check(value) && PyLong_AsLong(value) == expected;
}

bool prepare_driver() {
    if (named_driver != nullptr) return true;
    PyRef code = PyRef::steal(into_python(
        [] { return Py_CompileString(async_driver_source, "<lineage_store async driver>", Py_file_input); }));
    PyRef globals = new_dict();
    PyRef name = PyRef::steal(PyUnicode_FromString("lineage_store"));
    if (!code || !globals || !name) return false;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0 || !prepare_served_calls(globals.get())) {
        return false;
    }
    PyRef moved = PyRef::steal(PyCFunction_New(&moved_definition, nullptr));
    if (!moved || PyDict_SetItemString(globals.get(), "moved", moved.get()) < 0) return false;
    PyRef ran = PyRef::steal(into_python([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!ran) return false;
    // Borrowed, both.
    PyObject* named = PyDict_GetItemString(globals.get(), "named");
    PyObject* shared_class = PyDict_GetItemString(globals.get(), "Shared");
    // What the driver and this side must agree on.
    if (named == nullptr || shared_class == nullptr ||
        !driver_constant_is(globals.get(), "CALL_DEPTH", kDriverCallDepth) ||
        !driver_constant_is(globals.get(), "MOST_SERVED_ARGUMENTS", kMostServedItems)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is incomplete");
        return false;
    }
    if (!prepare_computations(shared_class) || !prepare_awaited_calls(globals.get())) return false;
    named_driver = Py_NewRef(named);
    if (Py_TYPE(named) == shortcuts.function_type) driver_vectorcall = function_vectorcall_of(named);
    return true;
}

// The coroutine functions of the async method of `decorator`: the driver's
// under the method's names, so that a coroutine never awaited, or a
// traceback through it, names the method. Made at the method's first call,
// so that a call pays nothing for them. False with an exception set.
[[gnu::noinline]] bool make_coroutine_functions(DecoratorRecord& decorator) {
    PyRef func = decorator.options.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return false;
    }
    PyRef qualname = PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__qualname__"); }));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();  // a callable without one (a partial) is named by the method name
        qualname = decorator.options.method_name.new_ref();
    }
    PyRef made = PyRef::steal(into_python([&] {
        return PyObject_CallFunctionObjArgs(named_driver, decorator.options.method_name.get(), qualname.get(), nullptr);
    }));
    if (!made) return false;
    PyObject* served =
        PyTuple_Check(made.get()) && PyTuple_Size(made.get()) == 2 ? PyTuple_GetItem(made.get(), 1) : nullptr;
    if (served == nullptr || !PyTuple_Check(served) || PyTuple_Size(served) != 2 * kMostServedItems) {
        PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is incomplete");
        return false;
    }
    // Made by the first call's own Python code: a call it ran may have made them too.
    if (!decorator.caches.async_driver) {
        decorator.caches.async_served = PyRef::borrow(served);
        decorator.caches.async_driver = PyRef::borrow(PyTuple_GetItem(made.get(), 0));
    }
    return true;
}

// The driver's coroutine function for `decorator`, borrowed; null with an
// exception set.
inline PyObject* coroutine_function_of(DecoratorRecord& decorator) {
    if (!decorator.caches.async_driver && !make_coroutine_functions(decorator)) return nullptr;
    return decorator.caches.async_driver.get();
}

// The registered node of the call `identity` names, when the store has one that
// plain comparisons recognise and this method registered, with its valid
// value and the graph's version; none otherwise (the driver finds or
// registers it when the call is awaited).
// Runs no Python code; false with PanicException set.
bool find_registered_node(StoreObject* store, CallIdentity& identity, FoundNode& out) {
    Undecided undecided;  // outlives the section: it may hold bound calls
    StoreSection section = StoreSection::open(store, Access::Read, {"looked itself up", identity.method_name()});
    if (!section.opened()) return false;
    if (section.store_record() == nullptr) return true;
    const CallGraph& graph = section.store_record()->graph;
    const NodePosition found = find_call(
        *section.store_record(), identity.hash(),
        [&](const BoundCall& registered) { return identity.equals_without_python(registered); }, undecided);
    if (!undecided.candidates.empty() || found == kNoNode || !graph.node(found).is_registered()) return true;
    // Registered by another method of the same name: the driver's look takes it over.
    if ((*graph.node(found).call_value())->method_name() != identity.method_name()) return true;
    if (PyObject* value = valid_value(graph, found)) {
        out.value = PyRef::borrow(value);
        out.version = graph.version();
        out.running = graph.running_count() > 0;
    }
    out.position = found;
    return true;
}

// The AwaitedCall of a call the driver drives: found, waited for, computed.
PyRef new_driven_call(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity, FoundNode& found) {
    PyRef made = new_awaited_call(decorator, arguments);
    if (!made) return {};
    AwaitedCall* call = as_call(made.get());
    call->found = found.value.release();
    call->found_at = found.version;
    AwaitedState& state = call->state;
    state.hash = identity.hash();
    state.position = found.position;
    if (state.position == kNoNode) {
        state.call = identity.bound_call();  // what the call is, for the driver to find or register
        if (!state.call) return {};
    }
    state.inputs = identity.take_inputs();
    return made;
}

// The coroutine of the call `call` stands for: the driver's, under the
// method's names.
PyObject* coroutine_of(PyObject* coroutine_function, PyRef call) {
    if (!call) return nullptr;
    PyObject* call_object = call.get();
    return call_driver_function(driver_vectorcall, coroutine_function, &call_object, 1);
}

// The served coroutine of a call whose valid `value` (borrowed) was found at
// the graph's `version`: served at once unless the store moves before the
// await.
PyObject* served_now(DecoratorRecord& decorator_record, PyObject* decorator, const CallArguments& arguments,
                     PyObject* value, std::uint32_t version) {
    const PyRef held_value = PyRef::borrow(value);  // making the version token may run Python code
    const PyRef held_version = PyRef::borrow(version_token(version));
    if (!held_version) return nullptr;
    return served_coroutine(decorator_record.caches.async_served.get(), driver_vectorcall, decorator, arguments,
                            held_value.get(), held_version.get());
}

}  // namespace

bool prepare_async_calls() { return prepare_driver(); }

PyObject* call_async(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity) {
    DecoratorRecord& decorator_record = *decorator_record_of(decorator);
    PyObject* coroutine_function = coroutine_function_of(decorator_record);
    if (coroutine_function == nullptr) return nullptr;
    StoreObject* store = as_store(arguments.positional(0));
    FoundNode found;
    if (!find_registered_node(store, identity, found)) return nullptr;
    if (!found.value || found.running || !can_be_served(arguments)) {
        return coroutine_of(coroutine_function, new_driven_call(decorator, arguments, identity, found));
    }
    return served_now(decorator_record, decorator, arguments, found.value.get(), found.version);
}

PyObject* call_async_by_position(PyObject* decorator, const CallArguments& arguments, PositionalIdentity& by_position) {
    // Found as the commonest sync hit is: valid in a store that is not in use
    // and computes nothing, which is what a served coroutine needs.
    const QuietLook look =
        look_quietly(as_store(arguments.positional(0)), by_position.hash(),
                     [&](const BoundCall& registered) { return by_position.matches_without_python(registered); });
    if (look.value != nullptr && can_be_served(arguments)) {
        DecoratorRecord& decorator_record = *decorator_record_of(decorator);
        if (coroutine_function_of(decorator_record) == nullptr) return nullptr;
        return served_now(decorator_record, decorator, arguments, look.value, look.version);
    }
    CallIdentity identity;
    identity.take_over(by_position);
    return call_async(decorator, arguments, identity);
}

}  // namespace lineage_store
