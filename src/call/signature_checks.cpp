// signature_checks.cpp: what inspect says of a decorated function's
// parameters.
#include "call/signature_checks.h"

#include <string>

#include "call/reference_binding.h"
#include "python/python_boundary.h"

namespace lineage_store {

bool validate_self_only_method(PyObject* func) {
    return guarded(false, [&] {
        PyRef inspect = inspect_module();
        if (!inspect) return false;
        PyRef signature =
            PyRef::steal(into_python([&] { return PyObject_CallMethod(inspect.get(), "signature", "O", func); }));
        if (!signature) return false;
        PyRef parameters =
            PyRef::steal(into_python([&] { return PyObject_GetAttrString(signature.get(), "parameters"); }));
        if (!parameters) return false;
        PyRef names = PyRef::steal(into_python([&] { return PySequence_List(parameters.get()); }));
        if (!names) return false;
        if (!PyList_Check(names.get())) {
            PyErr_SetString(PyExc_TypeError, "list() did not return a list");
            return false;
        }
        ReleasingVector<PyRef> held;  // keeps the names alive while their UTF-8 is read
        std::string rendered = "[";
        Py_ssize_t count = PyList_Size(names.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyList_GetItem(names.get(), i);
            if (name == nullptr) return false;
            if (!PyUnicode_Check(name)) {
                PyErr_SetString(PyExc_TypeError, "parameter name must be a str");
                return false;
            }
            held.push_back(PyRef::borrow(name));
            std::string_view text;
            if (!utf8_view(name, text)) return false;
            if (i > 0) rendered += ", ";
            rendered += '"';
            for (char c : text) {
                if (c == '"' || c == '\\') rendered += '\\';
                rendered += c;
            }
            rendered += '"';
            if (count == 1 && text == "self") return true;
        }
        rendered += ']';
        std::string message = "Serialisable method must have exactly one parameter named 'self', got: " + rendered;
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return false;
    });
}

bool function_parameters(PyObject* func, FunctionParameters& out) {
    return guarded(false, [&] {
        PyRef inspect = inspect_module();
        if (!inspect) return false;
        auto attribute = [](PyObject* object, const char* name) {
            return PyRef::steal(into_python([&] { return PyObject_GetAttrString(object, name); }));
        };
        PyRef signature =
            PyRef::steal(into_python([&] { return PyObject_CallMethod(inspect.get(), "signature", "O", func); }));
        if (!signature) return false;
        PyRef parameter_class = attribute(inspect.get(), "Parameter");
        if (!parameter_class) return false;
        PyRef var_positional = attribute(parameter_class.get(), "VAR_POSITIONAL");
        PyRef var_keyword = attribute(parameter_class.get(), "VAR_KEYWORD");
        PyRef keyword_only = attribute(parameter_class.get(), "KEYWORD_ONLY");
        PyRef parameters = attribute(signature.get(), "parameters");
        if (!var_positional || !var_keyword || !keyword_only || !parameters) return false;
        PyRef values =
            PyRef::steal(into_python([&] { return PyObject_CallMethod(parameters.get(), "values", nullptr); }));
        if (!values) return false;
        PyRef iterator = PyRef::steal(into_python([&] { return PyObject_GetIter(values.get()); }));
        if (!iterator) return false;
        PyRef listed = new_list(0);
        if (!listed) return false;
        while (PyRef parameter = PyRef::steal(into_python([&] { return PyIter_Next(iterator.get()); }))) {
            PyRef name = attribute(parameter.get(), "name");
            PyRef kind = attribute(parameter.get(), "kind");
            if (!name || !kind) return false;
            const char* kind_text = kind.get() == var_positional.get() ? "*args"
                                    : kind.get() == var_keyword.get()  ? "**kwargs"
                                    : kind.get() == keyword_only.get() ? "keyword"
                                                                       : "positional";
            PyRef entry = PyRef::steal(into_python([&] { return Py_BuildValue("(Os)", name.get(), kind_text); }));
            if (!entry || into_python([&] { return PyList_Append(listed.get(), entry.get()); }) < 0) return false;
        }
        if (PyErr_Occurred()) return false;
        PyRef text = PyRef::steal(into_python([&] { return PyObject_Str(signature.get()); }));
        if (!text) return false;
        out.parameters = std::move(listed);
        out.signature_text = std::move(text);
        return true;
    });
}

}  // namespace lineage_store
