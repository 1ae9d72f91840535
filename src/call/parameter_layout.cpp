// parameter_layout.cpp: deriving a function's parameter layout.
#include "call/parameter_layout.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <string_view>

#include "call/tuple_hash.h"
#include "python/python_boundary.h"

namespace lineage_store {

namespace {

// Flags of a code object; their values are part of the language's data model
// (inspect.CO_VARARGS, inspect.CO_VARKEYWORDS).
constexpr long code_has_var_positional = 0x04;
constexpr long code_has_var_keyword = 0x08;

// inspect.Parameter.empty: a default that inspect reads as no default. Set
// once by prepare_parameter_layouts; kept for the rest of the process.
PyObject* parameter_empty = nullptr;

bool read_count(PyObject* code, const char* name, Py_ssize_t& out) {
    PyRef value = PyRef::steal(into_python([&] { return PyObject_GetAttrString(code, name); }));
    if (!value) return false;
    out = PyLong_AsSsize_t(value.get());
    return !(out == -1 && PyErr_Occurred());
}

// Names inspect.Parameter accepts for any kind of parameter.
bool is_plain_parameter_name(PyObject* name, std::string_view utf8) {
    static constexpr std::string_view keywords[] = {
        "False", "None",     "True",  "and",    "as",   "assert", "async",  "await",    "break",
        "class", "continue", "def",   "del",    "elif", "else",   "except", "finally",  "for",
        "from",  "global",   "if",    "import", "in",   "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise", "return", "try",  "while",  "with",   "yield",
    };
    return PyUnicode_IsIdentifier(name) == 1 && std::ranges::find(keywords, utf8) == std::end(keywords);
}

// Fills in what the positional defaults give. False when inspect would read
// them otherwise (not a tuple, more defaults than parameters, a default that
// is inspect's own marker for none).
bool take_positional_defaults(ParameterLayout& layout) {
    layout.positional_defaults.assign(static_cast<std::size_t>(layout.positional_count), nullptr);
    PyObject* defaults = layout.defaults.get();
    if (defaults == Py_None) return true;
    if (!PyTuple_Check(defaults)) return false;
    const Py_ssize_t count = PyTuple_Size(defaults);
    if (count > layout.positional_count) return false;
    const Py_ssize_t first = layout.positional_count - count;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyTuple_GetItem(defaults, i);
        if (value == nullptr || value == parameter_empty) return false;
        layout.positional_defaults[static_cast<std::size_t>(first + i)] = value;
    }
    return true;
}

// The parameters' names, each a plain name given once, into `layout.names`,
// with their UTF-8 in `utf8_names`. False when calls must go to inspect.
bool read_parameter_names(ParameterLayout& layout, PyObject* varnames, Py_ssize_t count,
                          std::vector<std::string_view>& utf8_names) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GetItem(varnames, i);
        std::string_view utf8;
        if (!PyUnicode_CheckExact(name) || !utf8_view(name, utf8)) return false;
        if (!is_plain_parameter_name(name, utf8) || std::ranges::find(utf8_names, utf8) != utf8_names.end()) {
            return false;
        }
        utf8_names.push_back(utf8);
        layout.names.push_back(PyRef::borrow(name));
    }
    return true;
}

// Each parameter's place in the call tuple, self left out, with the hashes
// of the names in that order. False with an exception set.
bool place_parameters(ParameterLayout& layout, const std::vector<std::string_view>& utf8_names) {
    // UTF-8 byte order is code-point order, the order of the call tuple.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < utf8_names.size(); ++i) {
        if (utf8_names[i] != "self") {
            order.push_back(i);
        } else {
            layout.self_index = static_cast<Py_ssize_t>(i);
        }
    }
    std::ranges::sort(order, [&](std::size_t a, std::size_t b) { return utf8_names[a] < utf8_names[b]; });
    layout.place_of.assign(utf8_names.size(), -1);
    const auto var_positional_index = static_cast<std::size_t>(layout.positional_count + layout.keyword_only_count);
    const std::size_t var_keyword_index = var_positional_index + (layout.has_var_positional ? 1 : 0);
    for (std::size_t j = 0; j < order.size(); ++j) {
        const auto place = static_cast<std::int32_t>(j);
        layout.place_of[order[j]] = place;
        if (layout.has_var_positional && order[j] == var_positional_index) layout.var_positional_place = place;
        if (layout.has_var_keyword && order[j] == var_keyword_index) layout.var_keyword_place = place;
        PyObject* name = layout.names[order[j]].get();
        // Hashing an exact str runs no Python code.
        const Py_hash_t hash = PyObject_Hash(name);
        if (hash == -1) return false;
        layout.name_hashes.push_back(hash);
        layout.kept_names.push_back(name);
    }
    return true;
}

// What no call changes, hashed once: the plain positional defaults, the
// method's name, and the whole call of a method that takes self alone.
// False with an exception set.
bool hash_fixed_parts(ParameterLayout& layout, PyObject* method_name) {
    const std::size_t places = layout.kept_names.size();
    layout.plain_default_at.assign(places, nullptr);
    layout.plain_default_hash_at.assign(places, -1);
    for (Py_ssize_t i = 0; i < layout.positional_count; ++i) {
        PyObject* value = layout.positional_defaults[static_cast<std::size_t>(i)];
        const std::int32_t place = layout.place_of[static_cast<std::size_t>(i)];
        if (value == nullptr || place < 0 || !is_plain(value)) continue;
        // A plain object's hash runs no Python code.
        const Py_hash_t hash = PyObject_Hash(value);
        if (hash == -1) return false;
        layout.plain_default_at[static_cast<std::size_t>(place)] = value;
        layout.plain_default_hash_at[static_cast<std::size_t>(place)] = hash;
    }
    layout.method_name_hash = PyObject_Hash(method_name);
    if (layout.method_name_hash == -1) return false;
    if (places == 0) {
        BoundCall* constant = BoundCall::make(method_name, 0);
        if (constant == nullptr) return false;
        layout.constant_call = BoundCallRef::adopt(constant);
        // Through the one function every call without arguments is hashed
        // by, which takes the interpreter's tuple hash where TupleHash is not it.
        layout.constant_hash = hash_of_call_without_arguments(method_name);
        if (layout.constant_hash == -1) return false;
    }
    return true;
}

// Derives the layout of `func`'s code and defaults for a decorator named
// `method_name`. A layout that binds natively, one that leaves every call to
// inspect, or null with an exception set.
ParameterLayout* derive_layout(PyObject* method_name, PyObject* func) {
    auto layout = std::make_unique<ParameterLayout>();
    const InterpreterShortcuts& objects = shortcuts;
    layout->code = PyRef::steal(objects.code.read(func, objects.function_type));
    layout->defaults = PyRef::steal(objects.defaults.read(func, objects.function_type));
    if (!layout->code || !layout->defaults) return nullptr;
    PyObject* code = layout->code.get();
    Py_ssize_t flags = 0;
    if (!read_count(code, "co_argcount", layout->positional_count) ||
        !read_count(code, "co_posonlyargcount", layout->positional_only_count) ||
        !read_count(code, "co_kwonlyargcount", layout->keyword_only_count) || !read_count(code, "co_flags", flags)) {
        return nullptr;
    }
    layout->has_var_positional = (flags & code_has_var_positional) != 0;
    layout->has_var_keyword = (flags & code_has_var_keyword) != 0;
    PyRef varnames = PyRef::steal(into_python([&] { return PyObject_GetAttrString(code, "co_varnames"); }));
    if (!varnames) return nullptr;
    const Py_ssize_t count = layout->positional_count + layout->keyword_only_count +
                             (layout->has_var_positional ? 1 : 0) + (layout->has_var_keyword ? 1 : 0);
    const bool plausible = PyTuple_Check(varnames.get()) && PyTuple_Size(varnames.get()) >= count &&
                           layout->positional_only_count <= layout->positional_count;
    if (!plausible || !take_positional_defaults(*layout)) return layout.release();

    std::vector<std::string_view> utf8_names;
    if (!read_parameter_names(*layout, varnames.get(), count, utf8_names)) {
        if (PyErr_Occurred()) PyErr_Clear();
        return layout.release();
    }
    if (!place_parameters(*layout, utf8_names) || !hash_fixed_parts(*layout, method_name)) return nullptr;
    layout->native = true;
    layout->binds_by_position = layout->self_index == 0 && layout->keyword_only_count == 0 &&
                                !layout->has_var_positional && !layout->has_var_keyword;
    if (layout->binds_by_position) {
        for (std::size_t j = 0; j < layout->kept_count(); ++j) {
            const PairHash name(layout->name_hashes[j]);
            layout->positional_places.push_back(
                {0, nullptr, layout->plain_default_at[j], name.with_second(layout->plain_default_hash_at[j]), name});
        }
        for (Py_ssize_t i = 1; i < layout->positional_count; ++i) {
            auto& place =
                layout->positional_places[static_cast<std::size_t>(layout->place_of[static_cast<std::size_t>(i)])];
            place.parameter = i;
            place.default_value = layout->positional_defaults[static_cast<std::size_t>(i)];
        }
        layout->required_count = layout->positional_count;
        while (layout->required_count > 0 &&
               layout->positional_defaults[static_cast<std::size_t>(layout->required_count - 1)] != nullptr) {
            --layout->required_count;
        }
    }
    return layout.release();
}

}  // namespace

bool prepare_parameter_layouts(PyObject* inspect_parameter_empty) {
    if (parameter_empty == nullptr) parameter_empty = Py_NewRef(inspect_parameter_empty);
    return true;
}

Py_ssize_t ParameterLayout::keyword_index(PyObject* name) const noexcept {
    const Py_ssize_t end = positional_count + keyword_only_count;
    // The interpreter interns keyword names, so identity almost always decides.
    for (Py_ssize_t i = positional_only_count; i < end; ++i) {
        if (names[static_cast<std::size_t>(i)].get() == name) return i;
    }
    for (Py_ssize_t i = positional_only_count; i < end; ++i) {
        if (PyUnicode_Compare(names[static_cast<std::size_t>(i)].get(), name) == 0) return i;
    }
    return -1;
}

bool ParameterLayout::is_positional_only(PyObject* name) const noexcept {
    for (Py_ssize_t i = 0; i < positional_only_count; ++i) {
        if (PyUnicode_Compare(names[static_cast<std::size_t>(i)].get(), name) == 0) return true;
    }
    return false;
}

namespace {
const LayoutRef no_layout;
}  // namespace

// Read through the descriptors, which costs two calls, but deriving the
// layout at every call would cost far more.
const LayoutRef& BindingCache::read_layout_for(PyObject* method_name, PyObject* func) {
    if (code_ != nullptr) {
        const InterpreterShortcuts& objects = shortcuts;
        PyRef code = PyRef::steal(objects.code.read(func, objects.function_type));
        if (!code) return no_layout;
        PyRef defaults = PyRef::steal(objects.defaults.read(func, objects.function_type));
        if (!defaults) return no_layout;
        // Both still held by the function: releasing them runs no finaliser.
        if (code.get() == code_ && defaults.get() == defaults_) return current_;
    }
    return derive_layout_for(method_name, func);
}

const LayoutRef& BindingCache::derive_layout_for(PyObject* method_name, PyObject* func) {
    ParameterLayout* derived = derive_layout(method_name, func);
    if (derived == nullptr) return no_layout;
    // Installed first, released after: a call still holding the previous
    // layout keeps it alive, and the release may run a finaliser.
    LayoutRef previous = std::exchange(current_, LayoutRef::adopt(derived));
    code_ = derived->code.get();
    defaults_ = derived->defaults.get();
    previous.reset();
    return current_;
}

}  // namespace lineage_store
