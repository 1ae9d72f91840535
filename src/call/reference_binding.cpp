// reference_binding.cpp: a call's arguments bound through inspect, the
// normalised call tuple and its hash.
#include "call/reference_binding.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "call/tuple_hash.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

struct ArgumentPair {
    std::string_view name_utf8;
    PyRef name;
    PyRef value;
};

PyRef import_module(const char* name) {
    PyRef module_name = PyRef::steal(PyUnicode_FromString(name));
    if (!module_name) return {};
    return PyRef::steal(into_python([&] { return PyImport_Import(module_name.get()); }));
}

}  // namespace

PyRef inspect_module() {
    static PyObject* kept = nullptr;
    return PyRef::borrow(kept_for_process(kept, [] { return import_module("inspect"); }));
}

namespace {

// A **kwargs parameter's dict is recorded as its (name, value) pairs sorted
// by name: keyword order then does not matter, and the call tuple hashes
// whenever the values do. Other parameters keep their values.
bool record_var_keyword_as_pairs(PyObject* inspect, PyObject* signature, PyObject* arguments) {
    // apply_defaults leaves a dict for a **kwargs parameter, so a mapping
    // without one has none and is spared the walk over the signature.
    bool holds_dict = false;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (!holds_dict && PyDict_Next(arguments, &position, &key, &value)) holds_dict = PyDict_Check(value);
    if (!holds_dict) return true;
    PyRef parameter_class = PyRef::steal(into_python([&] { return PyObject_GetAttrString(inspect, "Parameter"); }));
    if (!parameter_class) return false;
    PyRef var_keyword =
        PyRef::steal(into_python([&] { return PyObject_GetAttrString(parameter_class.get(), "VAR_KEYWORD"); }));
    if (!var_keyword) return false;
    PyRef parameters = PyRef::steal(into_python([&] { return PyObject_GetAttrString(signature, "parameters"); }));
    if (!parameters) return false;
    PyRef values = PyRef::steal(into_python([&] { return PyObject_CallMethod(parameters.get(), "values", nullptr); }));
    if (!values) return false;
    PyRef iterator = PyRef::steal(into_python([&] { return PyObject_GetIter(values.get()); }));
    if (!iterator) return false;
    while (PyRef parameter = PyRef::steal(into_python([&] { return PyIter_Next(iterator.get()); }))) {
        PyRef kind = PyRef::steal(into_python([&] { return PyObject_GetAttrString(parameter.get(), "kind"); }));
        if (!kind) return false;
        if (kind.get() != var_keyword.get()) continue;
        PyRef name = PyRef::steal(into_python([&] { return PyObject_GetAttrString(parameter.get(), "name"); }));
        if (!name) return false;
        // The name is a str subclass's only where inspect made it one.
        PyRef given = PyRef::borrow(into_python([&] { return PyDict_GetItemWithError(arguments, name.get()); }));
        if (!given) return PyErr_Occurred() == nullptr;
        if (!PyDict_Check(given.get())) return true;
        PyRef pairs = sorted_argument_pairs(given.get(), false);
        return pairs && into_python([&] { return PyDict_SetItem(arguments, name.get(), pairs.get()); }) == 0;
    }
    return PyErr_Occurred() == nullptr;
}

// The argument mapping of a call bound to func's signature, defaults applied.
PyRef bound_arguments(PyObject* func, PyObject* args, PyObject* kwargs) {
    PyRef inspect = inspect_module();
    if (!inspect) return {};
    PyRef signature_function =
        PyRef::steal(into_python([&] { return PyObject_GetAttrString(inspect.get(), "signature"); }));
    if (!signature_function) return {};
    PyRef signature = PyRef::steal(
        into_python([&] { return PyObject_CallFunctionObjArgs(signature_function.get(), func, nullptr); }));
    if (!signature) return {};
    PyRef bind = PyRef::steal(into_python([&] { return PyObject_GetAttrString(signature.get(), "bind"); }));
    if (!bind) return {};
    PyRef bound = PyRef::steal(into_python([&] { return PyObject_Call(bind.get(), args, kwargs); }));
    if (!bound) return {};
    PyRef applied =
        PyRef::steal(into_python([&] { return PyObject_CallMethod(bound.get(), "apply_defaults", nullptr); }));
    if (!applied) return {};
    PyRef arguments = PyRef::steal(into_python([&] { return PyObject_GetAttrString(bound.get(), "arguments"); }));
    if (!arguments) return {};
    if (!PyDict_Check(arguments.get())) {
        PyErr_SetString(PyExc_TypeError, "bound arguments are not a dict");
        return {};
    }
    if (!record_var_keyword_as_pairs(inspect.get(), signature.get(), arguments.get())) return {};
    return arguments;
}

}  // namespace

PyRef sorted_argument_pairs(PyObject* mapping, bool drop_self) {
    // No Python code runs while the mapping is walked, so it cannot change
    // under us; references are taken before anything else happens.
    ReleasingVector<ArgumentPair> pairs;
    pairs.reserve(static_cast<std::size_t>(PyDict_Size(mapping)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(mapping, &position, &key, &value)) {
        PyRef name = exact_str(key, "argument name");
        if (!name) return {};
        std::string_view name_utf8;
        if (!utf8_view(name.get(), name_utf8)) return {};
        if (drop_self && name_utf8 == "self") continue;
        pairs.push_back({name_utf8, std::move(name), PyRef::borrow(value)});
    }
    // Byte order of UTF-8 is code-point order; names are unique, so
    // stability never matters but costs nothing.
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const ArgumentPair& a, const ArgumentPair& b) { return a.name_utf8 < b.name_utf8; });

    PyRef tuple = new_tuple(static_cast<Py_ssize_t>(pairs.size()));
    if (!tuple) return {};
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        PyRef pair = new_pair(pairs[i].name.get(), pairs[i].value.get());
        if (!pair) return {};
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return tuple;
}

bool normalise_function_signature_and_hash(PyObject* method_name, PyObject* func, PyObject* args, PyObject* kwargs,
                                           NormalisedCall& out) {
    return guarded(false, [&] {
        PyRef mapping;
        if (func != nullptr) {
            mapping = bound_arguments(func, args, kwargs);
        } else {
            mapping = kwargs != nullptr ? PyRef::borrow(kwargs) : new_dict();
        }
        if (!mapping) return false;
        PyRef arguments = sorted_argument_pairs(mapping.get(), true);
        if (!arguments) return false;
        out.call_tuple = new_pair(method_name, arguments.get());
        if (!out.call_tuple) return false;
        const Py_hash_t hash = call_tuple_hash(out.call_tuple.get());
        if (hash == -1) return false;
        out.hash = static_cast<std::int64_t>(hash);
        return true;
    });
}

bool name_call(PyObject* method_name, PyObject* keywords, NamedCall& out) {
    NormalisedCall normalised;
    if (!normalise_function_signature_and_hash(method_name, nullptr, nullptr, keywords, normalised)) return false;
    out.hash = normalised.hash;
    out.call = bound_call_of_tuple(normalised.call_tuple.get());
    return bool(out.call);
}

}  // namespace lineage_store
