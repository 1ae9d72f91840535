// interpreter_shortcuts.cpp: finding and checking the shortcuts into the
// running interpreter at import.
#include "python/interpreter_shortcuts.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>

#include "python/py_ref.h"
#include "python/python_boundary.h"

#if defined(__GLIBC__) && defined(__x86_64__)
// glibc 2.34 moved dlsym into libc under a new symbol version. Binding to
// the original version keeps release wheels loadable on the older systems
// that their manylinux tag promises; every glibc since has it.
__asm__(".symver dlsym, dlsym@GLIBC_2.2.5");
#endif

#ifndef LINEAGE_STORE_INTERPRETER_SHORTCUTS
#define LINEAGE_STORE_INTERPRETER_SHORTCUTS 1
#endif

namespace lineage_store {

bool interpreter_shortcuts_built() noexcept { return LINEAGE_STORE_INTERPRETER_SHORTCUTS != 0; }

InterpreterShortcuts shortcuts;
ContextVariableFunctions context_variables;
SingleUseTypes single_use_types;

namespace {

// types.<name> when it is a static type (one that no interpreter frees),
// else null. False with an exception set.
bool fetch_static_type(PyObject* types, const char* name, PyTypeObject*& out) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(types, name));
    if (!type) return false;
    if (PyType_Check(type.get()) &&
        !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.get())) & Py_TPFLAGS_HEAPTYPE)) {
        out = reinterpret_cast<PyTypeObject*>(type.get());
    }
    return true;
}

bool fetch_single_use_types(PyObject* types) {
    if (single_use_types.coroutine != nullptr) return true;
    SingleUseTypes found;
    if (!fetch_static_type(types, "CoroutineType", found.coroutine) ||
        !fetch_static_type(types, "GeneratorType", found.generator) ||
        !fetch_static_type(types, "AsyncGeneratorType", found.async_generator)) {
        return false;
    }
    single_use_types = found;
    return true;
}

// An attribute for a probe, or nothing; never leaves an exception set, so that
// the next probe starts clean.
PyRef probed_attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) PyErr_Clear();
    return value;
}

// Whether `bound` is types.MethodType(callable, instance).
bool is_method_of(PyObject* bound, PyObject* method_type, PyObject* callable, PyObject* instance) {
    if (bound == nullptr || !Py_IS_TYPE(bound, reinterpret_cast<PyTypeObject*>(method_type))) return false;
    return probed_attribute(bound, "__func__").get() == callable &&
           probed_attribute(bound, "__self__").get() == instance;
}

long running_hexversion() noexcept {
    PyObject* version = PySys_GetObject("hexversion");  // borrowed
    long hexversion = version != nullptr && PyLong_Check(version) ? PyLong_AsLong(version) : 0;
    if (hexversion == -1) PyErr_Clear();
    return hexversion;
}

// From 3.10 to 3.15 FunctionType's __get__ is, in its entirety,
//     if (obj == Py_None || obj == NULL) return Py_NewRef(func);
//     return PyMethod_New(func, obj);
// It never looks inside its first argument, so called with a decorator it
// makes types.MethodType(decorator, obj) exactly as MethodType's constructor
// would, without the constructor's argument parsing, and without any object
// kept per decorator that would refer back to it. Used only on those
// versions, whose source is known, and only once it has made a sample that
// is no function a bound method; later versions take the constructor.
void fetch_function_get(PyObject* function_type, PyObject* method_type, InterpreterShortcuts& found) {
    const long hexversion = running_hexversion();
    if (hexversion < 0x030A0000 || hexversion >= 0x03100000) return;
    auto get =
        reinterpret_cast<descrgetfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(function_type), Py_tp_descr_get));
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* len = builtins != nullptr ? PyDict_GetItemString(builtins, "len") : nullptr;
    PyRef instance = PyRef::steal(PyLong_FromLong(7654321));
    if (get == nullptr || len == nullptr || !instance) {
        PyErr_Clear();
        return;
    }
    PyRef bound = PyRef::steal(get(len, instance.get(), reinterpret_cast<PyObject*>(Py_TYPE(instance.get()))));
    if (is_method_of(bound.get(), method_type, len, instance.get())) found.function_get = get;
    PyErr_Clear();
}

// FunctionType keeps its attribute dict behind a pointer at
// FunctionType.__dictoffset__, null until first needed. Confirmed on a new
// function before it is read that way.
bool fetch_function_dict_offset(PyObject* function_type, InterpreterShortcuts& found) {
    PyRef offset_object = PyRef::steal(PyObject_GetAttrString(function_type, "__dictoffset__"));
    if (!offset_object) return false;
    const Py_ssize_t offset = PyLong_AsSsize_t(offset_object.get());
    if (offset == -1 && PyErr_Occurred()) return false;
    if (offset <= 0) return true;
    PyRef code = PyRef::steal(Py_CompileString("def sample(): pass\n", "<lineage_store>", Py_file_input));
    PyRef namespace_dict = PyRef::steal(PyDict_New());
    if (!code || !namespace_dict) return false;
    PyRef ran = PyRef::steal(PyEval_EvalCode(code.get(), namespace_dict.get(), namespace_dict.get()));
    if (!ran) return false;
    PyObject* sample = PyDict_GetItemString(namespace_dict.get(), "sample");  // borrowed
    if (sample == nullptr || !Py_IS_TYPE(sample, reinterpret_cast<PyTypeObject*>(function_type))) return true;
    auto stored_dict = [&] { return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(sample) + offset); };
    PyRef dict = PyRef::steal(PyObject_GenericGetDict(sample, nullptr));
    if (!dict) return false;
    if (PyObject_SetAttrString(sample, "probe", Py_True) < 0) return false;
    if (stored_dict() == dict.get() && PyDict_GetItemString(dict.get(), "probe") == Py_True) {
        found.function_dict_offset = offset;
    }
    return true;
}

// A tuple's items follow its fixed part, whose size tuple.__basicsize__
// gives (it grew a cached hash in later versions). Confirmed on a sample
// before items are read that way.
bool fetch_tuple_items_offset(InterpreterShortcuts& found) {
    PyRef basic_size =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__basicsize__"));
    PyRef item_size = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyTuple_Type), "__itemsize__"));
    if (!basic_size || !item_size) return false;
    const Py_ssize_t offset = PyLong_AsSsize_t(basic_size.get());
    const Py_ssize_t item = PyLong_AsSsize_t(item_size.get());
    if ((offset == -1 || item == -1) && PyErr_Occurred()) return false;
    if (offset <= 0 || item != static_cast<Py_ssize_t>(sizeof(PyObject*))) return true;
    PyRef sample = PyRef::steal(Py_BuildValue("(OiOs)", Py_None, 1234567, Py_True, "x"));
    if (!sample) return false;
    auto items = reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(sample.get()) + offset);
    for (Py_ssize_t i = 0; i < 4; ++i) {
        if (items[i] != PyTuple_GetItem(sample.get(), i)) return true;
    }
    found.tuple_items_offset = offset;
    return true;
}

// The place of one attribute in a function object: the one pointer slot
// that holds `value` in `sample`, or 0 when there is not exactly one.
Py_ssize_t slot_holding(PyObject* sample, Py_ssize_t size, PyObject* value) {
    Py_ssize_t found = 0;
    for (Py_ssize_t offset = sizeof(PyObject); offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) <= size;
         offset += sizeof(PyObject*)) {
        if (*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(sample) + offset) != value) continue;
        if (found != 0) return 0;
        found = offset;
    }
    return found;
}

// Where a function keeps its __code__, __defaults__ and __kwdefaults__: found
// on a sample by their values, then confirmed by assigning each attribute
// (None too, for the two that may be unset) and reading the slot back. Any
// doubt leaves the descriptors in use.
bool fetch_function_slots(PyObject* function_type, InterpreterShortcuts& found) {
    PyRef basic_size = PyRef::steal(PyObject_GetAttrString(function_type, "__basicsize__"));
    if (!basic_size) return false;
    const Py_ssize_t size = PyLong_AsSsize_t(basic_size.get());
    if (size == -1 && PyErr_Occurred()) return false;
    PyRef code = PyRef::steal(Py_CompileString("def sample(a, b=(1,), *, c=(2,)): pass\n"
                                               "def other(a, b=(3,), *, c=(4,)): pass\n",
                                               "<lineage_store>", Py_file_input));
    PyRef namespace_dict = PyRef::steal(PyDict_New());
    if (!code || !namespace_dict) return false;
    PyRef ran = PyRef::steal(PyEval_EvalCode(code.get(), namespace_dict.get(), namespace_dict.get()));
    if (!ran) return false;
    PyObject* sample = PyDict_GetItemString(namespace_dict.get(), "sample");  // borrowed
    PyObject* other = PyDict_GetItemString(namespace_dict.get(), "other");    // borrowed
    if (sample == nullptr || other == nullptr || !Py_IS_TYPE(sample, reinterpret_cast<PyTypeObject*>(function_type))) {
        return true;
    }
    FunctionAttribute* attributes[] = {&found.code, &found.defaults, &found.kwdefaults};
    const char* names[] = {"__code__", "__defaults__", "__kwdefaults__"};
    Py_ssize_t offsets[3] = {};
    for (int i = 0; i < 3; ++i) {
        PyRef current = PyRef::steal(PyObject_GetAttrString(sample, names[i]));
        PyRef replacement = PyRef::steal(PyObject_GetAttrString(other, names[i]));
        if (!current || !replacement) return false;
        offsets[i] = slot_holding(sample, size, current.get());
        if (offsets[i] == 0) return true;
        auto slot = [&] { return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(sample) + offsets[i]); };
        if (PyObject_SetAttrString(sample, names[i], replacement.get()) < 0) return false;
        if (slot() != replacement.get()) return true;
        if (i > 0) {
            if (PyObject_SetAttrString(sample, names[i], Py_None) < 0) return false;
            if (slot() != nullptr && slot() != Py_None) return true;
        }
    }
    for (int i = 0; i < 3; ++i) attributes[i]->offset = offsets[i];
    return true;
}

// Where a function keeps the vectorcall it is called through: the one slot
// of two samples that holds the function the interpreter reports for them
// (or, where it reports none, the function type's own). Read there, a
// function's own vectorcall costs a load, not a call. Any doubt leaves the
// offset unknown.
bool fetch_function_vectorcall_offset(PyObject* function_type, InterpreterShortcuts& found) {
    PyRef basic_size = PyRef::steal(PyObject_GetAttrString(function_type, "__basicsize__"));
    if (!basic_size) return false;
    const Py_ssize_t size = PyLong_AsSsize_t(basic_size.get());
    if (size == -1 && PyErr_Occurred()) return false;
    PyRef code =
        PyRef::steal(Py_CompileString("def sample(): pass\ndef other(a): pass\n", "<lineage_store>", Py_file_input));
    PyRef namespace_dict = PyRef::steal(PyDict_New());
    if (!code || !namespace_dict) return false;
    PyRef ran = PyRef::steal(PyEval_EvalCode(code.get(), namespace_dict.get(), namespace_dict.get()));
    if (!ran) return false;
    PyObject* samples[] = {PyDict_GetItemString(namespace_dict.get(), "sample"),  // borrowed
                           PyDict_GetItemString(namespace_dict.get(), "other")};
    Py_ssize_t offset = 0;
    for (PyObject* sample : samples) {
        if (sample == nullptr || !Py_IS_TYPE(sample, reinterpret_cast<PyTypeObject*>(function_type))) return true;
        const VectorcallFunction expected =
            found.vectorcall_of != nullptr ? found.vectorcall_of(sample) : found.function_vectorcall;
        if (expected == nullptr) return true;
        Py_ssize_t at = 0;
        for (Py_ssize_t place = sizeof(PyObject); place + static_cast<Py_ssize_t>(sizeof(expected)) <= size;
             place += sizeof(expected)) {
            VectorcallFunction held = nullptr;
            std::memcpy(&held, reinterpret_cast<char*>(sample) + place, sizeof(held));
            if (held != expected) continue;
            if (at != 0) return true;
            at = place;
        }
        if (at == 0 || (offset != 0 && at != offset)) return true;
        offset = at;
    }
    found.function_vectorcall_offset = offset;
    return true;
}

// The entry points of vectorcall, found where the interpreter's own symbols
// are; an interpreter loaded privately by its host just takes the plain
// ways.
bool fetch_vectorcalls(PyObject* function_type, InterpreterShortcuts& found) {
    if (running_hexversion() >= 0x030C0000) {
        found.vectorcall = reinterpret_cast<decltype(found.vectorcall)>(dlsym(RTLD_DEFAULT, "PyObject_Vectorcall"));
        found.vectorcall_of =
            reinterpret_cast<decltype(found.vectorcall_of)>(dlsym(RTLD_DEFAULT, "PyVectorcall_Function"));
    } else {
        found.function_vectorcall =
            reinterpret_cast<decltype(found.function_vectorcall)>(dlsym(RTLD_DEFAULT, "_PyFunction_Vectorcall"));
    }
    found.vectorcall_dict =
        reinterpret_cast<decltype(found.vectorcall_dict)>(dlsym(RTLD_DEFAULT, "PyObject_VectorcallDict"));
    // A private function, taken only on the versions whose source shows it
    // with this signature.
    const long hexversion = running_hexversion();
    if (hexversion >= 0x030A0000 && hexversion < 0x03100000) {
        found.dict_presized =
            reinterpret_cast<decltype(found.dict_presized)>(dlsym(RTLD_DEFAULT, "_PyDict_NewPresized"));
    }
    return fetch_function_vectorcall_offset(function_type, found);
}

// ---------------------------------------------------------------------------
// Where a thread state keeps its current context
//
// Found by entering fresh contexts and looking for them in the thread state:
// the one word that holds the first while it runs, holds a second entered
// inside it while that runs, holds the first again once the second is left,
// and neither once both are. The words looked through are 3.10's whole
// PyThreadState, the smallest of the versions this module runs on; later
// ones grew it, and keep the context well inside that.

constexpr std::size_t kThreadStateWordsScanned = 280 / sizeof(void*);

struct ContextProbe {
    PyObject* first = nullptr;   // a fresh Context, entered first
    PyObject* second = nullptr;  // another, entered inside the first
    PyObject* in_second = nullptr;  // the callable run in `second`
    bool holds[kThreadStateWordsScanned] = {};  // the words that agreed so far
};
ContextProbe* context_probe = nullptr;  // set only while probing, at import

// Narrows the probe's words to those that hold `context` now; with `first`,
// starts from every word that does.
void narrow_to(const void* context, bool first) noexcept {
    const char* state = reinterpret_cast<const char*>(PyThreadState_Get());
    for (std::size_t word = 0; word < kThreadStateWordsScanned; ++word) {
        const void* held = nullptr;
        std::memcpy(&held, state + word * sizeof(void*), sizeof(held));
        context_probe->holds[word] = (first || context_probe->holds[word]) && held == context;
    }
}

PyObject* probe_in_second(PyObject*, PyObject*) noexcept {
    narrow_to(context_probe->second, false);
    return Py_NewRef(Py_None);
}

PyObject* probe_in_first(PyObject*, PyObject*) {
    return python_boundary([]() -> PyObject* {
        narrow_to(context_probe->first, true);
        PyRef ran = PyRef::steal(into_python(
            [] { return PyObject_CallMethod(context_probe->second, "run", "O", context_probe->in_second); }));
        if (!ran) return nullptr;
        narrow_to(context_probe->first, false);
        return ran.release();
    });
}

PyMethodDef probe_in_first_def = {"probe_in_first", probe_in_first, METH_NOARGS, nullptr};
PyMethodDef probe_in_second_def = {"probe_in_second", probe_in_second, METH_NOARGS, nullptr};

// The offset, or -1 when the probe disagrees anywhere. Never leaves an
// exception set.
Py_ssize_t probed_thread_context_offset() {
    PyRef contextvars = PyRef::steal(PyImport_ImportModule("contextvars"));
    PyRef context_class = contextvars ? probed_attribute(contextvars.get(), "Context") : PyRef();
    if (!context_class) {
        PyErr_Clear();
        return -1;
    }
    PyRef first = PyRef::steal(PyObject_CallNoArgs(context_class.get()));
    PyRef second = PyRef::steal(PyObject_CallNoArgs(context_class.get()));
    PyRef in_first = PyRef::steal(PyCFunction_NewEx(&probe_in_first_def, nullptr, nullptr));
    PyRef in_second = PyRef::steal(PyCFunction_NewEx(&probe_in_second_def, nullptr, nullptr));
    if (!first || !second || !in_first || !in_second) {
        PyErr_Clear();
        return -1;
    }
    ContextProbe probe;
    probe.first = first.get();
    probe.second = second.get();
    probe.in_second = in_second.get();
    context_probe = &probe;
    PyRef ran = PyRef::steal(PyObject_CallMethod(first.get(), "run", "O", in_first.get()));
    const char* state = reinterpret_cast<const char*>(PyThreadState_Get());
    Py_ssize_t found = -1;
    for (std::size_t word = 0; ran && word < kThreadStateWordsScanned; ++word) {
        const void* held = nullptr;
        std::memcpy(&held, state + word * sizeof(void*), sizeof(held));
        if (!probe.holds[word] || held == first.get() || held == second.get()) continue;
        if (found >= 0) {
            found = -1;
            break;
        }
        found = static_cast<Py_ssize_t>(word * sizeof(void*));
    }
    context_probe = nullptr;
    PyErr_Clear();
    return found;
}

bool fetch_function_attribute(PyObject* function_type, const char* name, FunctionAttribute& out) {
    PyRef attributes = PyRef::steal(PyObject_GetAttrString(function_type, "__dict__"));
    if (!attributes) return false;
    PyRef descriptor = PyRef::steal(PyMapping_GetItemString(attributes.get(), name));
    if (!descriptor) return false;
    out.get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
    if (out.get == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "FunctionType.%s is not a descriptor", name);
        return false;
    }
    out.descriptor = descriptor.release();  // owned for the rest of the process
    return true;
}

// A type's own comparison, where == on two equal and two unequal samples of
// it (equal objects that are not the same one) answers True and False;
// else null.
richcmpfunc probed_comparison(PyTypeObject* type, PyObject* sample, PyObject* equal, PyObject* other) {
    auto compare = reinterpret_cast<richcmpfunc>(PyType_GetSlot(type, Py_tp_richcompare));
    if (compare == nullptr || sample == nullptr || equal == nullptr || other == nullptr || sample == equal) {
        PyErr_Clear();
        return nullptr;
    }
    PyRef same = PyRef::steal(compare(sample, equal, Py_EQ));
    PyRef differ = PyRef::steal(compare(sample, other, Py_EQ));
    PyErr_Clear();
    return same.get() == Py_True && differ.get() == Py_False ? compare : nullptr;
}

// int's and str's comparisons, each probed on samples of its type.
void fetch_comparisons(InterpreterShortcuts& found) {
    PyRef large = PyRef::steal(PyLong_FromLong(7654321));
    PyRef large_again = PyRef::steal(PyLong_FromLong(7654321));
    PyRef larger = PyRef::steal(PyLong_FromLong(7654322));
    found.int_compare = probed_comparison(&PyLong_Type, large.get(), large_again.get(), larger.get());
    PyRef text = PyRef::steal(PyUnicode_FromString("lineage_store probe"));
    PyRef text_again = PyRef::steal(PyUnicode_FromString("lineage_store probe"));
    PyRef other_text = PyRef::steal(PyUnicode_FromString("lineage_store probf"));
    found.str_compare = probed_comparison(&PyUnicode_Type, text.get(), text_again.get(), other_text.get());
}

// Every probe, each leaving its shortcut unset where it disagrees. False with
// an exception set.
bool fetch_shortcuts(PyObject* function_type, PyObject* method_type, InterpreterShortcuts& found) {
    // Calling MethodType runs its constructor and nothing else (its __init__
    // is object's), so the constructor alone makes the same object.
    found.method_new =
        reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(method_type), Py_tp_new));
    if (found.method_new == nullptr) PyErr_Clear();
    found.method_arguments = PyTuple_Pack(2, Py_None, Py_None);
    if (found.method_arguments == nullptr) return false;
    fetch_function_get(function_type, method_type, found);
    if (!fetch_function_dict_offset(function_type, found)) return false;
    if (!fetch_tuple_items_offset(found)) return false;
    if (!fetch_function_slots(function_type, found)) return false;
    if (!fetch_vectorcalls(function_type, found)) return false;
    found.thread_context_offset = probed_thread_context_offset();
    fetch_comparisons(found);
    ContextVariableFunctions context;
    context.make = reinterpret_cast<decltype(context.make)>(dlsym(RTLD_DEFAULT, "PyContextVar_New"));
    context.get = reinterpret_cast<decltype(context.get)>(dlsym(RTLD_DEFAULT, "PyContextVar_Get"));
    context.set = reinterpret_cast<decltype(context.set)>(dlsym(RTLD_DEFAULT, "PyContextVar_Set"));
    context.reset = reinterpret_cast<decltype(context.reset)>(dlsym(RTLD_DEFAULT, "PyContextVar_Reset"));
    if (context.make != nullptr && context.get != nullptr && context.set != nullptr && context.reset != nullptr) {
        context_variables = context;
    }
    return true;
}

}  // namespace

bool prepare_interpreter_shortcuts() {
    PyRef types_name = PyRef::steal(PyUnicode_FromString("types"));
    if (!types_name) return false;
    PyRef types = PyRef::steal(PyImport_Import(types_name.get()));
    if (!types || !fetch_single_use_types(types.get())) return false;
    if (shortcuts.function_type != nullptr) return true;
    PyRef function_type = PyRef::steal(PyObject_GetAttrString(types.get(), "FunctionType"));
    PyRef method_type = PyRef::steal(PyObject_GetAttrString(types.get(), "MethodType"));
    if (!function_type || !method_type) return false;
    if (!PyType_Check(function_type.get()) || !PyType_Check(method_type.get())) {
        PyErr_SetString(PyExc_TypeError, "types.FunctionType and types.MethodType must be types");
        return false;
    }
    InterpreterShortcuts found;
    if (!fetch_function_attribute(function_type.get(), "__code__", found.code) ||
        !fetch_function_attribute(function_type.get(), "__defaults__", found.defaults) ||
        !fetch_function_attribute(function_type.get(), "__kwdefaults__", found.kwdefaults)) {
        return false;
    }
    if (interpreter_shortcuts_built() && !fetch_shortcuts(function_type.get(), method_type.get(), found)) return false;
    // Owned for the rest of the process.
    found.function_type = reinterpret_cast<PyTypeObject*>(function_type.release());
    found.method_type = method_type.release();
    shortcuts = found;
    return true;
}

PyObject* new_bound_method(PyObject* callable, PyObject* instance, bool fast) {
    if (fast && shortcuts.function_get != nullptr) {
        return shortcuts.function_get(callable, instance, reinterpret_cast<PyObject*>(Py_TYPE(instance)));
    }
    if (fast && shortcuts.method_new != nullptr) {
        auto method_type = reinterpret_cast<PyTypeObject*>(shortcuts.method_type);
        // A finaliser run by the allocation inside method_new may make a
        // bound method too: it finds the tuple in use and builds its own.
        if (shortcuts.method_arguments_in_use) {
            PyRef args = PyRef::steal(PyTuple_Pack(2, callable, instance));
            return args ? shortcuts.method_new(method_type, args.get(), nullptr) : nullptr;
        }
        PyObject* args = shortcuts.method_arguments;
        shortcuts.method_arguments_in_use = true;
        PyTuple_SetItem(args, 0, Py_NewRef(callable));
        PyTuple_SetItem(args, 1, Py_NewRef(instance));
        PyObject* method = shortcuts.method_new(method_type, args, nullptr);
        // Emptied again so that the tuple keeps no instance alive; the
        // caller still holds both objects, so no finaliser runs here.
        PyTuple_SetItem(args, 0, Py_NewRef(Py_None));
        PyTuple_SetItem(args, 1, Py_NewRef(Py_None));
        shortcuts.method_arguments_in_use = false;
        return method;
    }
    if (fast) {
        return into_python(
            [&] { return PyObject_CallFunctionObjArgs(shortcuts.method_type, callable, instance, nullptr); });
    }
    PyRef module_name = PyRef::steal(PyUnicode_FromString("types"));
    if (!module_name) return nullptr;
    PyRef types = PyRef::steal(PyImport_Import(module_name.get()));
    if (!types) return nullptr;
    PyRef method_type = PyRef::steal(PyObject_GetAttrString(types.get(), "MethodType"));
    if (!method_type) return nullptr;
    return PyObject_CallFunctionObjArgs(method_type.get(), callable, instance, nullptr);
}

}  // namespace lineage_store
