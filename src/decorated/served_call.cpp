// served_call.cpp: the call of a decorated async method served the value
// found when it was made.
#include "decorated/served_call.h"

#include <structmember.h>

#include <utility>

#include "decorated/async_computation.h"
#include "decorated/awaited_call.h"
#include "python/interpreter_shortcuts.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

// The object of a call whose valid value was found when it was made, with
// nothing computing in its store: most awaits are served that value, and
// need nothing but a check that the store has not moved since. So this holds
// what that check needs and, for when the store has moved, the call as
// received (its values inline, positional then keyword) with what its
// identity was: from them it then makes the AwaitedCall the call would have
// had from the start, and looks the call up as the driver does.
struct ServedCall {
    PyObject_VAR_HEAD
    VectorcallFunction vectorcall;  // the first look
    PyObject* decorator;            // held, as are the others
    PyObject* kwnames;              // or null
    PyObject* found;                // the value, until it is served
    PyObject* awaited;              // the AwaitedCall, once the store moved; or null
    std::uint32_t found_at;
    NodePosition position;
    CallHash hash;
    Py_ssize_t positional_count;
    Py_ssize_t item_count;  // 0 once cleared
    Py_ssize_t capacity;    // the items it has room for
    bool has_inputs;        // `inputs` below is constructed
    FunctionInputs inputs;
    PyObject* items[1];  // item_count of them: the instance first
};

ServedCall* as_served(PyObject* self) noexcept { return reinterpret_cast<ServedCall*>(self); }

// Served calls freed with room for kKeptItems items, kept for the next
// calls: allocating and freeing one costs as much as the rest of a hit's own
// work. They hold nothing but their type while kept. The module lives in the
// main interpreter alone, whose lock guards this.
constexpr Py_ssize_t kKeptItems = 4;
struct KeptServedCalls {
    static constexpr int kMost = 16;
    ServedCall* calls[kMost] = {};
    int count = 0;
};
KeptServedCalls kept_served_calls;

// The first look of a call whose store moved after it was made: its
// AwaitedCall, made now, looked up as the driver's first look does. The value
// served, or the served call itself, whose `awaited` the driver then drives.
[[gnu::noinline]] PyObject* look_moved(PyObject* self) {
    ServedCall* served = as_served(self);
    if (served->awaited == nullptr) {
        if (served->item_count == 0) {
            PyErr_SetString(PyExc_RuntimeError, "awaited call has been cleared");
            return nullptr;
        }
        CallArguments arguments(served->items, served->positional_count, served->kwnames);
        PyRef made = new_awaited_call(served->decorator, arguments);
        if (!made) return nullptr;
        AwaitedState& state = as_call(made.get())->state;
        state.hash = served->hash;
        state.position = served->position;
        state.inputs = std::move(served->inputs);
        served->awaited = made.release();
    }
    PyRef found = PyRef::steal(look_awaited(served->awaited, 2));  // the same frames as the driver's first look
    if (found.get() == served->awaited) return Py_NewRef(self);
    return found.release();
}

PyObject* served_vectorcall(PyObject* self, PyObject* const*, std::size_t, PyObject*) {
    ServedCall* served = as_served(self);
    if (served->found != nullptr && unmoved(served->items[0], served->found_at)) {
        return std::exchange(served->found, nullptr);
    }
    // The stale value is released inside the boundary: its finaliser may run
    // any code.
    return python_boundary([&] {
        PyRef::steal(std::exchange(served->found, nullptr)).reset();
        return look_moved(self);
    });
}

PyObject* served_call(PyObject* self, PyObject*, PyObject*) { return served_vectorcall(self, nullptr, 0, nullptr); }

PyObject* served_awaited(PyObject* self, void*) {
    PyObject* awaited = as_served(self)->awaited;
    if (awaited != nullptr) return Py_NewRef(awaited);
    PyErr_SetString(PyExc_RuntimeError, "the awaited call is served at once");
    return nullptr;
}

int served_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    ServedCall* served = as_served(self);
    Py_VISIT(served->decorator);
    Py_VISIT(served->kwnames);
    Py_VISIT(served->found);
    Py_VISIT(served->awaited);
    for (Py_ssize_t i = 0; i < served->item_count; ++i) Py_VISIT(served->items[i]);
    return 0;
}

int served_clear(PyObject* self) {
    return guarded(0, [&] {
        ServedCall* served = as_served(self);
        PyRef decorator = PyRef::steal(std::exchange(served->decorator, nullptr));
        PyRef kwnames = PyRef::steal(std::exchange(served->kwnames, nullptr));
        PyRef found = PyRef::steal(std::exchange(served->found, nullptr));
        PyRef awaited = PyRef::steal(std::exchange(served->awaited, nullptr));
        const Py_ssize_t count = std::exchange(served->item_count, 0);
        for (Py_ssize_t i = 0; i < count; ++i) PyRef item = PyRef::steal(std::exchange(served->items[i], nullptr));
        return 0;
    });
}

void served_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    served_clear(self);
    ServedCall* served = as_served(self);
    if (served->has_inputs) {
        served->has_inputs = false;
        served->inputs.~FunctionInputs();
    }
    // Checked after the release, which may have run code that kept others.
    KeptServedCalls& kept = kept_served_calls;
    if (served->capacity == kKeptItems && kept.count < KeptServedCalls::kMost) {
        kept.calls[kept.count++] = served;  // with its reference to its type
        return;
    }
    free_instance(self, [] {});
}

// clang-format off
PyGetSetDef served_getset[] = {
    {"awaited", served_awaited, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef served_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(ServedCall, vectorcall)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot served_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(served_call)},
    {Py_tp_members, served_members},
    {Py_tp_getset, served_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(served_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(served_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(served_dealloc)},
    {Py_tp_doc, const_cast<char*>("A call of a lineage-stored async method, served the value found when it was made.")},
    {0, nullptr},
};
// clang-format on

PyType_Spec served_spec = {
    "lineage_store.ServedCall",
    static_cast<int>(sizeof(ServedCall)),
    static_cast<int>(sizeof(PyObject*)),
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                              type_has_vectorcall),
    served_slots,
};

PyTypeObject* served_type = nullptr;  // made at import, kept for the process

// A served call with room for `count` items, its fields null, tracked by the
// collector; null with an exception set.
ServedCall* allocate_served_call(Py_ssize_t count) {
    KeptServedCalls& kept = kept_served_calls;
    if (count <= kKeptItems && kept.count > 0) {
        ServedCall* served = kept.calls[--kept.count];
        Py_INCREF(served);  // from the 0 it was kept at, as a new object's count starts
        PyObject_GC_Track(served);
        return served;
    }
    const Py_ssize_t capacity = count < kKeptItems ? kKeptItems : count;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(served_type, Py_tp_alloc));
    ServedCall* served = reinterpret_cast<ServedCall*>(into_python([&] { return alloc(served_type, capacity); }));
    if (served != nullptr) served->capacity = capacity;
    return served;
}

}  // namespace

bool prepare_served_calls() { return type_made_once(served_type, served_spec) != nullptr; }

PyRef new_served_call(PyObject* decorator, const CallArguments& arguments, CallHash hash, FunctionInputs inputs,
                      FoundNode& found) {
    const Py_ssize_t positional_count = arguments.positional_count();
    const Py_ssize_t count = positional_count + arguments.keyword_count();
    PyRef kwnames;
    if (arguments.keyword_count() > 0) {
        kwnames = arguments.keyword_names();
        if (!kwnames) return {};
    }
    ServedCall* served = allocate_served_call(count);
    if (served == nullptr) return {};
    PyRef made = PyRef::steal(reinterpret_cast<PyObject*>(served));
    served->vectorcall = served_vectorcall;
    served->decorator = Py_NewRef(decorator);
    served->kwnames = kwnames.release();
    for (Py_ssize_t i = 0; i < positional_count; ++i) served->items[i] = Py_NewRef(arguments.positional(i));
    for (Py_ssize_t i = positional_count; i < count; ++i) {
        served->items[i] = Py_NewRef(arguments.keyword_value(i - positional_count));
    }
    served->positional_count = positional_count;
    served->item_count = count;
    served->found = found.value.release();
    served->found_at = found.version;
    served->position = found.position;
    served->hash = hash;
    new (&served->inputs) FunctionInputs(std::move(inputs));  // the object owns it from here on
    served->has_inputs = true;
    return made;
}

}  // namespace lineage_store
