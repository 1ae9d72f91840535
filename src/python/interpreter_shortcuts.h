// interpreter_shortcuts.h: shortcuts into the running interpreter that the
// limited API does not spell but lets a module find and check for itself.
//
// They are: reading a function's __code__, __defaults__ and __kwdefaults__
// where the function keeps them, the place where a function keeps its
// attribute dict and where a tuple keeps its items, making a bound method
// without going through MethodType's call, calling with vectorcall where the
// running interpreter exports it, the context variables API, where a thread
// state keeps its current context, int's and str's own comparisons, and the
// type flags that let the interpreter call a decorator as a method.
//
// Each shortcut is probed at import on sample objects and left unset where
// the probe disagrees, so every user keeps a plain way beside it. They are
// fetched once, at import, for the one interpreter the module lives in. A
// build made without shortcuts finds none anywhere, as on an interpreter
// that every probe fails on, so that the plain ways are built and tested as
// the live path.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "python/py_ref.h"

namespace lineage_store {

// An attribute of FunctionType read through its descriptor: the type is
// immutable, so this is what getattr would find, without the search. Where
// the function keeps it at a known place (`offset`, confirmed at import),
// read from there instead: the descriptor's audit event and call cost more
// than the rest of a cache hit's identity. A null there reads as None, as
// the descriptor has it.
struct FunctionAttribute {
    PyObject* descriptor = nullptr;
    descrgetfunc get = nullptr;
    Py_ssize_t offset = 0;

    // A new reference, or nullptr with an exception set. The descriptor
    // raises an audit event, whose hooks are Python code.
    PyObject* read(PyObject* func, PyTypeObject* function_type) const {
        if (offset > 0) return Py_NewRef(read_borrowed(func));
        return into_python([&] { return get(descriptor, func, reinterpret_cast<PyObject*>(function_type)); });
    }

    // The attribute as a borrowed reference; only where `offset` is known.
    PyObject* read_borrowed(PyObject* func) const noexcept {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(func) + offset);
        return value != nullptr ? value : Py_None;
    }
};

// The signature of a vectorcall: a callable, its arguments, their count (with
// the offset flag), and the keyword names or null.
using VectorcallFunction = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);

struct InterpreterShortcuts {
    // Set once the shortcuts are fetched.
    PyTypeObject* function_type = nullptr;
    PyObject* method_type = nullptr;
    // MethodType's constructor, or null where it is called instead.
    newfunc method_new = nullptr;
    // The argument tuple handed to method_new, refilled at each use while no
    // other use is in progress.
    PyObject* method_arguments = nullptr;
    bool method_arguments_in_use = false;
    // FunctionType's __get__, where it makes a bound method of any first
    // argument as MethodType does (see interpreter_shortcuts.cpp).
    descrgetfunc function_get = nullptr;
    // Where a function keeps its attribute dict, or 0 where that is not
    // known to be a plain pointer at a fixed offset.
    Py_ssize_t function_dict_offset = 0;
    FunctionAttribute code;
    FunctionAttribute defaults;
    FunctionAttribute kwdefaults;
    // PyObject_Vectorcall where the running interpreter's stable ABI has it
    // (3.12 on), looked up at import so that the one wheel still loads on
    // 3.10; null elsewhere.
    PyObject* (*vectorcall)(PyObject*, PyObject* const*, std::size_t, PyObject*) = nullptr;
    // Where PyObject_Vectorcall is not at hand (3.10 and 3.11): the
    // function type's own vectorcall, exported there, which every plain
    // function's calls go through. Called for exact functions only.
    PyObject* (*function_vectorcall)(PyObject*, PyObject* const*, std::size_t, PyObject*) = nullptr;
    // PyVectorcall_Function, exported from 3.12 on though the stable ABI
    // does not name it: the function a callable's vectorcall goes through,
    // or null where it has none.
    VectorcallFunction (*vectorcall_of)(PyObject*) = nullptr;
    // Where a function keeps the vectorcall it is called through, or 0
    // where that is not known.
    Py_ssize_t function_vectorcall_offset = 0;
    // PyObject_VectorcallDict, exported by every interpreter from 3.9 on
    // though the stable ABI names it only from 3.12: a call with positional
    // arguments alone then needs no tuple where vectorcall is not at hand.
    PyObject* (*vectorcall_dict)(PyObject*, PyObject* const*, std::size_t, PyObject*) = nullptr;
    // _PyDict_NewPresized, exported by every interpreter from 3.6 on though
    // no API names it, taken on 3.10 to 3.15: a dict with room for a count of
    // entries given beforehand, so that filling it never grows its table
    // again.
    PyObject* (*dict_presized)(Py_ssize_t) = nullptr;
    // Where a tuple keeps its item pointers (tuple.__basicsize__, confirmed
    // on a sample), or 0 where that is not known.
    Py_ssize_t tuple_items_offset = 0;
    // Where a thread state keeps the contextvars context that runs now, or
    // -1 where that is not known (see current_context below).
    Py_ssize_t thread_context_offset = -1;
    // int's and str's own comparisons, confirmed on samples (see
    // exact_int_or_str_equal below).
    richcmpfunc int_compare = nullptr;
    richcmpfunc str_compare = nullptr;
};

// Whether this build takes interpreter shortcuts at all. Where it does not,
// every probe, here and in the units above (the native call hash), reports
// "not found".
bool interpreter_shortcuts_built() noexcept;

// Filled once by prepare_interpreter_shortcuts and never changed afterwards
// (but for method_arguments' use mark); read directly by the hot paths above
// this unit.
extern InterpreterShortcuts shortcuts;

// Whether `a` == `b`, two objects of one exact type, int or str: 1 or 0, or
// -1 where it could not be told without Python code (never for these types;
// no exception is left set). Asked of the type's own comparison where it was
// taken: for two objects of its exact type it is all that == runs, and the
// generic comparison's checks (the recursion depth, a reflected operand)
// cost more than it does.
inline int exact_int_or_str_equal(PyObject* a, PyObject* b) noexcept {
    const richcmpfunc compare = PyLong_CheckExact(a) ? shortcuts.int_compare : shortcuts.str_compare;
    const PyRef result = PyRef::steal(compare != nullptr ? compare(a, b, Py_EQ) : PyObject_RichCompare(a, b, Py_EQ));
    if (!result) {
        PyErr_Clear();
        return -1;
    }
    return result.get() == Py_True ? 1 : result.get() == Py_False ? 0 : -1;
}

// The vectorcall that the plain function `func` is called through, where
// the running interpreter lets it be found; null otherwise. Calling it
// directly skips the generic call's checks, which a plain function's result
// never needs.
inline VectorcallFunction function_vectorcall_of(PyObject* func) noexcept {
    if (shortcuts.function_vectorcall_offset > 0) {
        return *reinterpret_cast<VectorcallFunction*>(reinterpret_cast<char*>(func) +
                                                      shortcuts.function_vectorcall_offset);
    }
    if (shortcuts.function_vectorcall != nullptr) return shortcuts.function_vectorcall;
    return shortcuts.vectorcall_of != nullptr ? shortcuts.vectorcall_of(func) : nullptr;
}

// Run once at module import. False with an exception set.
bool prepare_interpreter_shortcuts();

// The attribute dict of `func`, an exact FunctionType instance, as a
// borrowed reference that may be null (none made yet); only where
// shortcuts.function_dict_offset is set.
inline PyObject* function_attribute_dict(PyObject* func) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(func) + shortcuts.function_dict_offset);
}

// The contextvars context that runs now on this thread, by identity: what
// greenlet swaps on every switch, a task's step and Context.run enter, and
// what every thread has of its own. Null where this thread (or greenlet) has
// not made one yet. Only where shortcuts.thread_context_offset is known; the
// object is borrowed and must not be used, only compared.
inline const void* current_context() noexcept {
    const void* context = nullptr;
    std::memcpy(&context, reinterpret_cast<const char*>(PyThreadState_Get()) + shortcuts.thread_context_offset,
                sizeof(context));
    return context;
}

// Item `i` of `tuple`, borrowed, without a call into the interpreter where
// the item array's place is known; the caller has checked the type and size.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) noexcept {
    if (shortcuts.tuple_items_offset > 0) {
        return reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(tuple) + shortcuts.tuple_items_offset)[i];
    }
    return PyTuple_GetItem(tuple, i);
}

// The item array of `tuple`, or null where its place is not known.
inline PyObject* const* tuple_items(PyObject* tuple) noexcept {
    if (shortcuts.tuple_items_offset == 0) return nullptr;
    return reinterpret_cast<PyObject* const*>(reinterpret_cast<char*>(tuple) + shortcuts.tuple_items_offset);
}

// A new dict with room for `size` entries where the interpreter can make
// one, a plain new dict otherwise. Its table holds keys of any type: for
// str keys alone, a plain dict's is smaller. Empty with an exception set.
inline PyRef new_dict_with_room(Py_ssize_t size) {
    if (shortcuts.dict_presized == nullptr) return new_dict();
    return PyRef::steal(into_python([&] { return shortcuts.dict_presized(size); }));
}

// Sets item `i` of `tuple`, a tuple just made whose item is still empty, to
// `item` (a reference it takes over): in place where the item array's place
// is known, with nothing to check or release.
inline void fill_new_tuple_item(PyObject* tuple, Py_ssize_t i, PyObject* item) noexcept {
    if (shortcuts.tuple_items_offset > 0) {
        reinterpret_cast<PyObject**>(reinterpret_cast<char*>(tuple) + shortcuts.tuple_items_offset)[i] = item;
    } else {
        PyTuple_SetItem(tuple, i, item);
    }
}

// Fills the `size` items of `tuple`, just made, with new references to
// `items`.
inline void fill_new_tuple(PyObject* tuple, Py_ssize_t size, PyObject* const* items) noexcept {
    for (Py_ssize_t i = 0; i < size; ++i) fill_new_tuple_item(tuple, i, Py_NewRef(items[i]));
}

// types.MethodType(callable, instance). With `fast`, built without going
// through the type's call where a shortcut allows: by FunctionType's __get__
// where it is known to be PyMethod_New and nothing else, otherwise by
// MethodType's constructor; else by calling the type kept here. Without, by
// the type `types` has in the running interpreter. A new reference, or
// nullptr with an exception set.
PyObject* new_bound_method(PyObject* callable, PyObject* instance, bool fast);

// A type flag of the 3.12 stable ABI that the 3.10 headers this module is
// built against do not spell; its value and meaning are the same on every
// interpreter from 3.10 on. A type with `type_has_vectorcall` and a
// __vectorcalloffset__ member is called through the function stored there.
constexpr unsigned long type_has_vectorcall = 1UL << 11;
constexpr std::size_t vectorcall_arguments_offset = std::size_t{1} << (8 * sizeof(std::size_t) - 1);

// The types of results that can be consumed only once (coroutines,
// generators, async generators): a cache that served one a second time would
// hand out a used-up object. The limited API names none of them. They are
// the interpreter's static types, the same objects in every interpreter of
// the process and never freed, so they are found once, by the first import,
// and held borrowed; none is subclassable, so an exact type test is the whole
// test. Null where not found: nothing is taken for one then.
struct SingleUseTypes {
    PyTypeObject* coroutine = nullptr;
    PyTypeObject* generator = nullptr;
    PyTypeObject* async_generator = nullptr;
};
extern SingleUseTypes single_use_types;

// Whether `object` is a coroutine, a generator or an async generator.
inline bool is_single_use(PyObject* object) noexcept {
    const PyTypeObject* type = Py_TYPE(object);
    return type == single_use_types.coroutine || type == single_use_types.generator ||
           type == single_use_types.async_generator;
}

// The context variables API: not in the limited API, exported by every
// interpreter from 3.7 on, found at import. Each is null where it was not
// found; the callers then use the contextvars module instead.
struct ContextVariableFunctions {
    PyObject* (*make)(const char* name, PyObject* default_value) = nullptr;
    int (*get)(PyObject* variable, PyObject* default_value, PyObject** value) = nullptr;
    PyObject* (*set)(PyObject* variable, PyObject* value) = nullptr;
    int (*reset)(PyObject* variable, PyObject* token) = nullptr;
};
extern ContextVariableFunctions context_variables;

}  // namespace lineage_store
