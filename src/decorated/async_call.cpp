// async_call.cpp: the call of a decorated async method: the driver, and which
// object of the call its coroutine is made over.
#include "decorated/async_call.h"

#include <type_traits>
#include <utility>

#include "decorated/async_computation.h"
#include "decorated/async_driver_source.h"  // generated from async_driver.py
#include "decorated/awaited_call.h"
#include "decorated/call_steps.h"
#include "decorated/served_call.h"
#include "python/interpreter_shortcuts.h"
#include "store/cache_store.h"
#include "store/decorator_record.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// The driver

// The driver's `named`, made at import. The module is imported in the main
// interpreter alone, so it is made there and kept for the rest of the process,
// with the namespace it runs in.
PyObject* named_driver = nullptr;

bool prepare_driver() {
    if (named_driver != nullptr) return true;
    PyRef code = PyRef::steal(into_python(
        [] { return Py_CompileString(async_driver_source, "<lineage_store async driver>", Py_file_input); }));
    PyRef globals = new_dict();
    PyRef name = PyRef::steal(PyUnicode_FromString("lineage_store"));
    if (!code || !globals || !name) return false;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) {
        return false;
    }
    PyRef ran = PyRef::steal(into_python([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!ran) return false;
    PyObject* named = PyDict_GetItemString(globals.get(), "named");          // borrowed
    PyObject* shared_class = PyDict_GetItemString(globals.get(), "Shared");  // borrowed
    if (named == nullptr || shared_class == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the driver of awaited calls is incomplete");
        return false;
    }
    if (!prepare_computations(shared_class)) return false;
    named_driver = Py_NewRef(named);
    return true;
}

// The coroutine function of the async method of `decorator`: the driver
// under the method's names, so that a coroutine never awaited, or a traceback
// through it, names the method. Made at the method's first call, so that a
// call pays nothing for it. Borrowed; null with an exception set.
PyObject* coroutine_function_of(DecoratorRecord& decorator) {
    if (decorator.async_driver) return decorator.async_driver.get();
    PyRef func = decorator.func.new_ref();
    if (!func) {
        PyErr_SetString(PyExc_RuntimeError, "decorated method has been cleared");
        return nullptr;
    }
    PyRef qualname = PyRef::steal(into_python([&] { return PyObject_GetAttrString(func.get(), "__qualname__"); }));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();  // a callable without one (a partial) is named by the method name
        qualname = decorator.method_name.new_ref();
    }
    PyRef made = PyRef::steal(into_python([&] {
        return PyObject_CallFunctionObjArgs(named_driver, decorator.method_name.get(), qualname.get(), nullptr);
    }));
    if (!made) return nullptr;
    // Made by the first call's own Python code: a call it ran may have made it too.
    if (!decorator.async_driver) decorator.async_driver = std::move(made);
    return decorator.async_driver.get();
}

// The registered node of the call `key` names, when the store has one that
// plain comparisons recognise, with its valid value and the graph's version;
// none otherwise (the driver finds or registers it when the call is awaited).
// Runs no Python code; false with PanicException set.
template <typename Key>
bool find_registered_node(StoreObject* store, Key& key, FoundNode& out) {
    Undecided undecided;  // outlives the section: it may hold bound calls
    StoreSection section = StoreSection::open(store, Access::Read);
    if (!section.opened()) return false;
    if (section.store_record() == nullptr) return true;
    const CallGraph& graph = section.store_record()->graph;
    const NodePosition found = find_call(
        *section.store_record(), key.hash(),
        [&](const BoundCall& registered) { return key.equals_without_python(registered); }, undecided);
    if (!undecided.candidates.empty() || found == kNoNode || !graph.node(found).is_registered()) return true;
    if (PyObject* value = valid_value(graph, found)) {
        out.value = PyRef::borrow(value);
        if constexpr (std::is_same_v<Key, CallIdentity>) out.registered = *graph.node(found).call_value();
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
    return into_python([&] {
        if (shortcuts.vectorcall != nullptr) return shortcuts.vectorcall(coroutine_function, &call_object, 1, nullptr);
        // The driver is a plain function, called through its own vectorcall where that is not at hand.
        if (shortcuts.function_vectorcall != nullptr && Py_TYPE(coroutine_function) == shortcuts.function_type) {
            return shortcuts.function_vectorcall(coroutine_function, &call_object, 1, nullptr);
        }
        return shortcuts.vectorcall_dict != nullptr
                   ? shortcuts.vectorcall_dict(coroutine_function, &call_object, 1, nullptr)
                   : PyObject_CallFunctionObjArgs(coroutine_function, call_object, nullptr);
    });
}

}  // namespace

bool prepare_async_calls() { return prepare_awaited_calls() && prepare_served_calls() && prepare_driver(); }

PyObject* call_async(PyObject* decorator, const CallArguments& arguments, CallIdentity& identity) {
    DecoratorRecord& decorator_record = *decorator_record_of(decorator);
    PyObject* coroutine_function = coroutine_function_of(decorator_record);
    if (coroutine_function == nullptr) return nullptr;
    FoundNode found;
    if (!find_registered_node(as_store(arguments.positional(0)), identity, found)) return nullptr;
    if (!found.value || found.running) {
        return coroutine_of(coroutine_function, new_driven_call(decorator, arguments, identity, found));
    }
    // Served at once unless the store moves before the await, and received
    // again, served without binding.
    decorator_record.remembered.remember(arguments, identity, found.registered);
    return coroutine_of(coroutine_function,
                        new_served_call(decorator, arguments, identity.hash(), identity.take_inputs(), found));
}

PyObject* call_async_remembered(PyObject* decorator, const CallArguments& arguments,
                                const RememberedCall::Match& match) {
    // Held before anything may run Python code, which may remember another
    // call in the place of this one.
    BoundCallKey key(match.hash, BoundCallRef(match.call));
    LayoutRef layout(match.layout);
    PyObject* coroutine_function = coroutine_function_of(*decorator_record_of(decorator));
    if (coroutine_function == nullptr) return nullptr;
    FoundNode found;
    if (!find_registered_node(as_store(arguments.positional(0)), key, found)) return nullptr;
    if (!found.value || found.running) return nullptr;
    return coroutine_of(coroutine_function,
                        new_served_call(decorator, arguments, key.hash(), FunctionInputs(std::move(layout)), found));
}

}  // namespace lineage_store
