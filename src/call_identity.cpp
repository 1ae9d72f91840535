#include "call_identity.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include "interpreter_shortcuts.h"
#include "py_introspection_utils.h"
#include "python_boundary.h"

namespace lineage_store {

namespace {

// ---------------------------------------------------------------------------
// What native binding needs beside the interpreter's shortcuts

// Flags of a code object; their values are part of the language's data model
// (inspect.CO_VARARGS, inspect.CO_VARKEYWORDS).
constexpr long code_has_var_positional = 0x04;
constexpr long code_has_var_keyword = 0x08;

struct BindingObjects {
    // Attributes of a function that inspect.signature consults before its
    // code object: where one is present, inspect decides.
    std::array<PyObject*, 5> signature_overrides{};
    // inspect.Parameter.empty: a default that inspect reads as no default.
    PyObject* parameter_empty = nullptr;
    // Whether this unit's tuple hash is the interpreter's.
    bool tuple_hash_matches = false;
};

// Filled in the main interpreter only, like the shortcuts.
BindingObjects binding_objects;

// ---------------------------------------------------------------------------
// CPython's tuple hash (xxHash-based, unchanged since 3.8), fed one item hash
// at a time so that a call hash needs no tuple.

class TupleHash {
public:
    void add(Py_hash_t item_hash) noexcept {
        accumulator_ += static_cast<Py_uhash_t>(item_hash) * prime_2;
        accumulator_ = rotate(accumulator_);
        accumulator_ *= prime_1;
        ++length_;
    }

    Py_hash_t finish() const noexcept {
        Py_uhash_t result = accumulator_ + (length_ ^ (prime_5 ^ 3527539UL));
        if (result == static_cast<Py_uhash_t>(-1)) return 1546275796;
        return static_cast<Py_hash_t>(result);
    }

private:
    static constexpr bool wide = sizeof(Py_uhash_t) > 4;
    static constexpr Py_uhash_t prime_1 = wide ? static_cast<Py_uhash_t>(11400714785074694791ULL) : 2654435761UL;
    static constexpr Py_uhash_t prime_2 = wide ? static_cast<Py_uhash_t>(14029467366897019727ULL) : 2246822519UL;
    static constexpr Py_uhash_t prime_5 = wide ? static_cast<Py_uhash_t>(2870177450012600261ULL) : 374761393UL;

    static Py_uhash_t rotate(Py_uhash_t x) noexcept {
        constexpr unsigned bits = wide ? 31 : 13;
        return (x << bits) | (x >> (8 * sizeof(Py_uhash_t) - bits));
    }

    Py_uhash_t accumulator_ = prime_5;
    Py_uhash_t length_ = 0;
};

Py_hash_t pair_hash(Py_hash_t first, Py_hash_t second) noexcept {
    TupleHash hash;
    hash.add(first);
    hash.add(second);
    return hash.finish();
}

// The hash of `object` with every tuple in it hashed by TupleHash.
Py_hash_t hash_composed(PyObject* object) {
    if (!PyTuple_CheckExact(object)) return PyObject_Hash(object);
    TupleHash hash;
    Py_ssize_t size = PyTuple_Size(object);
    for (Py_ssize_t i = 0; i < size; ++i) {
        Py_hash_t item = hash_composed(PyTuple_GetItem(object, i));
        if (item == -1) return -1;
        hash.add(item);
    }
    return hash.finish();
}

// Checked on samples shaped like call tuples; if an interpreter ever hashes
// tuples otherwise, call hashes come from built tuples instead.
bool tuple_hash_matches_interpreter() {
    PyRef big = PyRef::steal(PyLong_FromUnsignedLongLong(~0ULL));
    if (!big) return false;
    PyRef samples[] = {
        PyRef::steal(Py_BuildValue("()")),
        PyRef::steal(Py_BuildValue("(i)", -1)),
        PyRef::steal(Py_BuildValue("(s())", "m")),
        PyRef::steal(Py_BuildValue("(s((si)(s(idsO))))", "m", "a", 1, "b", 7, 2.5, "x", big.get())),
        PyRef::steal(Py_BuildValue("(OOO(()))", Py_None, Py_True, big.get())),
    };
    for (const PyRef& sample : samples) {
        if (!sample) return false;
        Py_hash_t expected = PyObject_Hash(sample.get());
        if (expected == -1 || hash_composed(sample.get()) != expected) return false;
    }
    return true;
}

PyObject* intern(const char* text) noexcept { return PyUnicode_InternFromString(text); }
}  // namespace

LINEAGE_STORE_LETS_FORCED_UNWIND_PASS bool prepare_call_identity() {
    try {
        if (!prepare_interpreter_shortcuts()) return false;
        if (shortcuts_here() == nullptr || binding_objects.signature_overrides[0] != nullptr) return true;
        BindingObjects found;
        found.signature_overrides = {intern("__signature__"), intern("__wrapped__"), intern("__text_signature__"),
                                     intern("_partialmethod"), intern("__partialmethod__")};
        if (std::ranges::find(found.signature_overrides, nullptr) != found.signature_overrides.end()) return false;
        found.tuple_hash_matches = tuple_hash_matches_interpreter();
        if (PyErr_Occurred()) return false;
        binding_objects = found;
        return true;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_current_exception();
        return false;
    }
}

bool fast_path_here() noexcept {
    return shortcuts_here() != nullptr && binding_objects.parameter_empty != nullptr;
}

bool prepare_reference_binding() {
    if (shortcuts_here() == nullptr || binding_objects.parameter_empty != nullptr) return true;
    PyRef inspect = inspect_module();
    if (!inspect) return false;
    PyRef parameter = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return false;
    PyObject* empty = PyObject_GetAttrString(parameter.get(), "empty");
    if (empty == nullptr) return false;
    binding_objects.parameter_empty = empty;  // owned for the rest of the process
    return true;
}

// ---------------------------------------------------------------------------
// Call arguments

CallArguments::CallArguments(PyObject* args, PyObject* kwargs) : args_(args), kwargs_(kwargs) {
    positional_count_ = PyTuple_Size(args);
    if (positional_count_ < 0) {
        ok_ = false;
        positional_count_ = 0;
        return;
    }
    positional_ = tuple_items(args);
    if (positional_ == nullptr) {
        positional_copy_.resize(static_cast<std::size_t>(positional_count_));
        for (Py_ssize_t i = 0; i < positional_count_; ++i) {
            positional_copy_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
        }
        positional_ = positional_copy_.data();
    }
    if (kwargs == nullptr) return;
    Py_ssize_t size = PyDict_Size(kwargs);
    if (size < 0) {
        ok_ = false;
        return;
    }
    keyword_names_.resize(static_cast<std::size_t>(size));
    keyword_values_copy_.resize(static_cast<std::size_t>(size));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (keyword_count_ < size && PyDict_Next(kwargs, &position, &key, &value)) {
        keyword_names_[static_cast<std::size_t>(keyword_count_)] = key;
        keyword_values_copy_[static_cast<std::size_t>(keyword_count_)] = value;
        ++keyword_count_;
    }
    keyword_values_ = keyword_values_copy_.data();
}

CallArguments::CallArguments(PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames)
    : kwnames_(kwnames), positional_(args), positional_count_(positional_count), keyword_values_(args + positional_count) {
    if (kwnames == nullptr) return;
    Py_ssize_t size = PyTuple_Size(kwnames);
    if (size < 0) {
        ok_ = false;
        return;
    }
    keyword_names_.resize(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) keyword_names_[static_cast<std::size_t>(i)] = tuple_item(kwnames, i);
    keyword_count_ = size;
}

PyRef CallArguments::args_tuple() const {
    if (args_ != nullptr) return PyRef::borrow(args_);
    PyRef tuple = PyRef::steal(PyTuple_New(positional_count_));
    if (!tuple) return {};
    for (Py_ssize_t i = 0; i < positional_count_; ++i) {
        PyTuple_SetItem(tuple.get(), i, Py_NewRef(positional_[i]));
    }
    return tuple;
}

PyRef CallArguments::kwargs_dict() const {
    if (args_ != nullptr || keyword_count_ == 0) return PyRef::borrow(kwargs_);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (Py_ssize_t i = 0; i < keyword_count_; ++i) {
        if (PyDict_SetItem(dict.get(), keyword_name(i), keyword_value(i)) < 0) return {};
    }
    return dict;
}

PyObject* CallArguments::call(PyObject* func) const {
    // Received as a vector: passed on as one, with no tuple or dict to build.
    if (args_ == nullptr && shortcuts.vectorcall != nullptr) {
        return into_python([&] {
            return shortcuts.vectorcall(func, positional_, static_cast<std::size_t>(positional_count_), kwnames_);
        });
    }
    PyRef args = args_tuple();
    if (!args) return nullptr;
    PyRef kwargs = kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return nullptr;
    return into_python([&] { return PyObject_Call(func, args.get(), kwargs.get()); });
}

// ---------------------------------------------------------------------------
// Parameter layouts

struct ParameterLayout {
    std::size_t holders = 0;
    PyRef code;
    // False when inspect must bind every call of this code: parameter names
    // that inspect would reject or merge.
    bool native = false;
    Py_ssize_t positional_count = 0;
    Py_ssize_t positional_only_count = 0;
    Py_ssize_t keyword_only_count = 0;
    bool has_var_positional = false;
    bool has_var_keyword = false;
    // In parameter order: positional, keyword-only, *args, then **kwargs.
    std::vector<PyRef> names;
    // The parameters of the call tuple (all but "self"), as indices into
    // `names`, sorted by name; and the hash of each of their names.
    std::vector<std::size_t> order;
    std::vector<Py_hash_t> name_hashes;
    // The names of those parameters in that order, borrowed from `names`.
    std::vector<PyObject*> kept_names;
    // Where the **kwargs parameter sits in `order`, or -1. Its value, like
    // that of *args, is not a slot of the call: both are null in the bound
    // values, and this tells them apart.
    std::ptrdiff_t var_keyword_position = -1;
    Py_hash_t method_name_hash = -1;
    // A code object without any parameter but self: every call is the same,
    // and shares one tuple and one record.
    PyRef constant_call_tuple;
    CallRecordRef constant_record;
    Py_hash_t constant_hash = -1;

    Py_ssize_t var_positional_index() const noexcept { return positional_count + keyword_only_count; }

    bool is_positional_only(PyObject* name) const noexcept {
        for (Py_ssize_t i = 0; i < positional_only_count; ++i) {
            if (PyUnicode_Compare(names[static_cast<std::size_t>(i)].get(), name) == 0) return true;
        }
        return false;
    }

    // The parameter a keyword names, or -1; positional-only parameters, *args
    // and **kwargs cannot be named.
    Py_ssize_t keyword_index(PyObject* name) const noexcept {
        const Py_ssize_t end = positional_count + keyword_only_count;
        for (Py_ssize_t i = positional_only_count; i < end; ++i) {
            if (names[static_cast<std::size_t>(i)].get() == name) return i;
        }
        for (Py_ssize_t i = positional_only_count; i < end; ++i) {
            if (PyUnicode_Compare(names[static_cast<std::size_t>(i)].get(), name) == 0) return i;
        }
        return -1;
    }
};

LayoutRef::LayoutRef(ParameterLayout* layout) noexcept : layout_(layout) {
    if (layout_ != nullptr) ++layout_->holders;
}

LayoutRef::~LayoutRef() {
    if (layout_ != nullptr && --layout_->holders == 0) delete layout_;
}

namespace {

bool read_count(PyObject* code, const char* name, Py_ssize_t& out) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(code, name));
    if (!value) return false;
    out = PyLong_AsSsize_t(value.get());
    return !(out == -1 && PyErr_Occurred());
}

// Names inspect.Parameter accepts for any kind of parameter.
bool is_plain_parameter_name(PyObject* name, std::string_view utf8) {
    static constexpr std::string_view keywords[] = {
        "False",  "None",   "True",    "and",      "as",       "assert", "async", "await",  "break",
        "class",  "continue", "def",   "del",      "elif",     "else",   "except", "finally", "for",
        "from",   "global", "if",      "import",   "in",       "is",     "lambda", "nonlocal", "not",
        "or",     "pass",   "raise",   "return",   "try",      "while",  "with",   "yield",
    };
    return PyUnicode_IsIdentifier(name) == 1 && std::ranges::find(keywords, utf8) == std::end(keywords);
}

// Derives the layout of `code` for a decorator named `method_name`. A new
// layout (not yet held), or nullptr with an exception set.
ParameterLayout* derive_layout(PyObject* method_name, PyObject* code) {
    auto layout = std::make_unique<ParameterLayout>();
    layout->code = PyRef::borrow(code);
    Py_ssize_t flags = 0;
    if (!read_count(code, "co_argcount", layout->positional_count) ||
        !read_count(code, "co_posonlyargcount", layout->positional_only_count) ||
        !read_count(code, "co_kwonlyargcount", layout->keyword_only_count) || !read_count(code, "co_flags", flags)) {
        return nullptr;
    }
    layout->has_var_positional = (flags & code_has_var_positional) != 0;
    layout->has_var_keyword = (flags & code_has_var_keyword) != 0;
    PyRef varnames = PyRef::steal(PyObject_GetAttrString(code, "co_varnames"));
    if (!varnames) return nullptr;
    const Py_ssize_t count = layout->positional_count + layout->keyword_only_count +
                             (layout->has_var_positional ? 1 : 0) + (layout->has_var_keyword ? 1 : 0);
    const bool plausible = PyTuple_Check(varnames.get()) && PyTuple_Size(varnames.get()) >= count &&
                           layout->positional_only_count <= layout->positional_count;
    if (!plausible) return layout.release();

    std::vector<std::string_view> utf8_names;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GetItem(varnames.get(), i);
        std::string_view utf8;
        if (!PyUnicode_CheckExact(name) || !utf8_view(name, utf8)) {
            PyErr_Clear();
            return layout.release();
        }
        if (!is_plain_parameter_name(name, utf8) || std::ranges::find(utf8_names, utf8) != utf8_names.end()) {
            return layout.release();
        }
        utf8_names.push_back(utf8);
        layout->names.push_back(PyRef::borrow(name));
    }
    for (std::size_t i = 0; i < utf8_names.size(); ++i) {
        if (utf8_names[i] != "self") layout->order.push_back(i);
    }
    // UTF-8 byte order is code-point order, the order of the call tuple.
    std::ranges::sort(layout->order, [&](std::size_t a, std::size_t b) { return utf8_names[a] < utf8_names[b]; });
    const std::size_t var_keyword_index = static_cast<std::size_t>(count - 1);
    for (std::size_t j = 0; j < layout->order.size(); ++j) {
        if (layout->has_var_keyword && layout->order[j] == var_keyword_index) {
            layout->var_keyword_position = static_cast<std::ptrdiff_t>(j);
        }
    }
    for (std::size_t index : layout->order) {
        Py_hash_t hash = PyObject_Hash(layout->names[index].get());
        if (hash == -1) return nullptr;
        layout->name_hashes.push_back(hash);
        layout->kept_names.push_back(layout->names[index].get());
    }
    layout->method_name_hash = PyObject_Hash(method_name);
    if (layout->method_name_hash == -1) return nullptr;
    if (layout->order.empty()) {
        PyRef no_arguments = PyRef::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        layout->constant_call_tuple = PyRef::steal(PyTuple_Pack(2, method_name, no_arguments.get()));
        if (!layout->constant_call_tuple) return nullptr;
        layout->constant_hash = PyObject_Hash(layout->constant_call_tuple.get());
        if (layout->constant_hash == -1) return nullptr;
        layout->constant_record = CallRecordRef::make(method_name, 0);
        if (!layout->constant_record) return nullptr;
    }
    layout->native = true;
    return layout.release();
}

}  // namespace

const LayoutRef& BindingCache::derive_layout_for(PyObject* method_name, PyObject* code) {
    static const LayoutRef none;
    ParameterLayout* derived = derive_layout(method_name, code);
    if (derived == nullptr) return none;
    // A call still holding the previous layout keeps it alive; the caller
    // copies the reference it gets before anything else can run.
    current_ = LayoutRef(derived);
    current_code_ = code;
    return current_;
}

// ---------------------------------------------------------------------------
// Identity of a call

// An exception from hashing an argument is the one hashing the call tuple
// would raise: the arguments are hashed in the tuple's order.
int CallIdentity::identify_natively(BindingCache& cache, PyObject* func, const CallArguments& arguments) {
    const InterpreterShortcuts& objects = shortcuts;
    PyObject* method_name = method_name_;
    code_ = PyRef::steal(objects.code.read(func, objects.function_type));
    if (!code_) return -1;
    PyRef attributes;
    if (objects.function_dict_offset > 0) {
        // Held: a lookup below may run a key's __eq__, which could replace
        // the function's __dict__.
        attributes = PyRef::borrow(function_attribute_dict(func));
    } else {
        attributes = PyRef::steal(PyObject_GenericGetDict(func, nullptr));
        if (!attributes) return -1;
    }
    if (attributes && PyDict_Size(attributes.get()) > 0) {
        for (PyObject* name : binding_objects.signature_overrides) {
            if (PyDict_GetItemWithError(attributes.get(), name) != nullptr) return 0;
            if (PyErr_Occurred()) return -1;
        }
    }

    // The cache's own reference, good until Python code runs: none does
    // before the layout is either done with or held.
    const LayoutRef& current = cache.layout_for(method_name, code_.get());
    if (!current) return -1;
    if (!current->native) return 0;
    const Py_ssize_t given = arguments.positional_count();
    // A method of self alone, called with the instance alone: always the
    // same call, whose record is at hand.
    if (current->constant_call_tuple && given == 1 && current->positional_count == 1 &&
        arguments.keyword_count() == 0 && current->keyword_only_count == 0 && !current->has_var_positional) {
        hash_ = current->constant_hash;
        record_ = current->constant_record;
        return 1;
    }
    // Held: hashing the arguments below may run Python code that calls this
    // method again after its __code__ was replaced.
    layout_ = current;
    const ParameterLayout& parameters = *layout_;
    if (given > parameters.positional_count && !parameters.has_var_positional) return 0;
    SmallArray<PyObject*, 8> slots;
    slots.resize(parameters.names.size());
    std::fill_n(slots.data(), slots.size(), nullptr);
    const Py_ssize_t bound_positionally = std::min(given, parameters.positional_count);
    for (Py_ssize_t i = 0; i < bound_positionally; ++i) slots[static_cast<std::size_t>(i)] = arguments.positional(i);
    for (Py_ssize_t k = 0; k < arguments.keyword_count(); ++k) {
        PyObject* name = arguments.keyword_name(k);
        if (!PyUnicode_CheckExact(name)) return 0;
        Py_ssize_t index = parameters.keyword_index(name);
        if (index < 0) {
            // inspect's treatment of a positional-only name given as a keyword
            // has changed between versions: it decides.
            if (!parameters.has_var_keyword || parameters.is_positional_only(name)) return 0;
            if (!var_keywords_) {
                var_keywords_ = std::make_unique<CollectedKeywords>();
                var_keywords_->names.reserve(static_cast<std::size_t>(arguments.keyword_count()));
                var_keywords_->values.reserve(static_cast<std::size_t>(arguments.keyword_count()));
            }
            var_keywords_->names.push_back(name);
            var_keywords_->values.push_back(arguments.keyword_value(k));
            continue;
        }
        if (slots[static_cast<std::size_t>(index)] != nullptr) return 0;
        slots[static_cast<std::size_t>(index)] = arguments.keyword_value(k);
    }
    if (var_keywords_ && !sort_var_keywords()) return -1;

    // Defaults are read at every call that needs them: the function's
    // __defaults__ and __kwdefaults__ may be reassigned at any time.
    for (Py_ssize_t i = bound_positionally; i < parameters.positional_count; ++i) {
        PyObject*& slot = slots[static_cast<std::size_t>(i)];
        if (slot != nullptr) continue;
        if (!defaults_) {
            defaults_ = PyRef::steal(objects.defaults.read(func, objects.function_type));
            if (!defaults_) return -1;
        }
        if (!PyTuple_Check(defaults_.get())) return 0;
        const Py_ssize_t default_count = Py_SIZE(defaults_.get());
        const Py_ssize_t default_index = i - (parameters.positional_count - default_count);
        if (default_count > parameters.positional_count || default_index < 0) return 0;
        slot = tuple_item(defaults_.get(), default_index);
        if (slot == nullptr || slot == binding_objects.parameter_empty) return 0;
    }
    if (parameters.keyword_only_count > 0) kwdefaults_.resize(static_cast<std::size_t>(parameters.keyword_only_count));
    for (Py_ssize_t k = 0; k < parameters.keyword_only_count; ++k) {
        const Py_ssize_t i = parameters.positional_count + k;
        PyObject*& slot = slots[static_cast<std::size_t>(i)];
        if (slot != nullptr) continue;
        if (!kwdefaults_dict_) {
            kwdefaults_dict_ = PyRef::steal(objects.kwdefaults.read(func, objects.function_type));
            if (!kwdefaults_dict_) return -1;
        }
        if (!PyDict_Check(kwdefaults_dict_.get())) return 0;
        slot = PyDict_GetItemWithError(kwdefaults_dict_.get(), parameters.names[static_cast<std::size_t>(i)].get());
        if (slot == nullptr) {
            if (PyErr_Occurred()) return -1;
            return 0;
        }
        if (slot == binding_objects.parameter_empty) return 0;
        kwdefaults_[static_cast<std::size_t>(k)] = PyRef::borrow(slot);
    }

    // Bound: every parameter but *args and **kwargs has its argument.
    const std::size_t kept_count = parameters.order.size();
    // The slots of *args and **kwargs were never filled, so their entries
    // stay null.
    values_.resize(kept_count);
    PyObject** values = values_.data();
    PyObject* const* bound = slots.data();
    const std::size_t* order = parameters.order.data();
    for (std::size_t j = 0; j < kept_count; ++j) values[j] = bound[order[j]];
    var_positional_count_ = std::max<Py_ssize_t>(given - parameters.positional_count, 0);
    var_positional_ = var_positional_count_ > 0 ? arguments.positional_from(parameters.positional_count) : nullptr;

    if (!binding_objects.tuple_hash_matches) {
        PyObject* tuple = call_tuple();
        if (tuple == nullptr) return -1;
        hash_ = into_python([&] { return PyObject_Hash(tuple); });
        return hash_ == -1 ? -1 : 1;
    }
    if (kept_count == 0) {
        hash_ = parameters.constant_hash;
        return 1;
    }
    TupleHash argument_pairs;
    for (std::size_t j = 0; j < kept_count; ++j) {
        Py_hash_t value_hash;
        if (values[j] == nullptr && static_cast<std::ptrdiff_t>(j) == parameters.var_keyword_position) {
            TupleHash items;
            for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
                Py_hash_t name_hash = PyObject_Hash(var_keyword_name(i));
                if (name_hash == -1) return -1;
                Py_hash_t item = into_python([&] { return PyObject_Hash(var_keyword_value(i)); });
                if (item == -1) return -1;
                items.add(pair_hash(name_hash, item));
            }
            value_hash = items.finish();
        } else if (values[j] == nullptr) {
            TupleHash items;
            for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
                Py_hash_t item = into_python([&] { return PyObject_Hash(var_positional_[i]); });
                if (item == -1) return -1;
                items.add(item);
            }
            value_hash = items.finish();
        } else {
            value_hash = into_python([&] { return PyObject_Hash(values[j]); });
            if (value_hash == -1) return -1;
        }
        argument_pairs.add(pair_hash(parameters.name_hashes[j], value_hash));
    }
    hash_ = pair_hash(parameters.method_name_hash, argument_pairs.finish());
    return 1;
}

bool identify_call(BindingCache& cache, PyObject* method_name, PyObject* func, const CallArguments& arguments,
                   CallIdentity& out) {
    out.method_name_ = method_name;
    if (cache.native_allowed() && Py_IS_TYPE(func, shortcuts.function_type)) {
        int bound = out.identify_natively(cache, func, arguments);
        if (bound != 0) return bound > 0;
        out.layout_ = LayoutRef();
        out.defaults_.reset();
        out.kwdefaults_dict_.reset();
        if (!out.note_function_inputs(func)) return false;
    }
    PyRef args = arguments.args_tuple();
    if (!args) return false;
    PyRef kwargs = arguments.kwargs_dict();
    if (!kwargs && PyErr_Occurred()) return false;
    NormalisedCall normalised;
    if (!normalise_function_signature_and_hash(method_name, func, args.get(), kwargs.get(), normalised)) return false;
    out.hash_ = normalised.hash;
    out.call_tuple_ = std::move(normalised.call_tuple);
    return true;
}

// inspect reads all three, so all three are kept, and the keyword-only
// defaults as they are now: the dict may be changed in place.
bool CallIdentity::note_function_inputs(PyObject* func) {
    const InterpreterShortcuts& objects = shortcuts;
    code_ = PyRef::steal(objects.code.read(func, objects.function_type));
    defaults_ = PyRef::steal(objects.defaults.read(func, objects.function_type));
    kwdefaults_dict_ = PyRef::steal(objects.kwdefaults.read(func, objects.function_type));
    if (!code_ || !defaults_ || !kwdefaults_dict_) return false;
    if (PyDict_Check(kwdefaults_dict_.get())) {
        kwdefaults_copy_ = PyRef::steal(PyDict_Copy(kwdefaults_dict_.get()));
        if (!kwdefaults_copy_) return false;
    }
    return true;
}

bool CallIdentity::inputs_unchanged(PyObject* func) const {
    if (!code_) return true;
    const InterpreterShortcuts& objects = shortcuts;
    PyRef code = PyRef::steal(objects.code.read(func, objects.function_type));
    if (code.get() != code_.get()) return false;
    if (defaults_) {
        PyRef defaults = PyRef::steal(objects.defaults.read(func, objects.function_type));
        if (defaults.get() != defaults_.get()) return false;
    }
    if (!kwdefaults_dict_) return true;
    PyRef kwdefaults = PyRef::steal(objects.kwdefaults.read(func, objects.function_type));
    if (kwdefaults.get() != kwdefaults_dict_.get()) return false;
    if (!PyDict_Check(kwdefaults.get())) return true;
    // The values themselves, by identity: looking them up by their str names
    // runs no Python code.
    if (layout_) {
        const ParameterLayout& parameters = *layout_;
        for (std::size_t k = 0; k < kwdefaults_.size(); ++k) {
            if (!kwdefaults_[k]) continue;
            PyObject* name = parameters.names[static_cast<std::size_t>(parameters.positional_count) + k].get();
            if (PyDict_GetItemWithError(kwdefaults.get(), name) != kwdefaults_[k].get()) {
                PyErr_Clear();
                return false;
            }
        }
        return true;
    }
    if (!kwdefaults_copy_) return true;
    if (PyDict_Size(kwdefaults.get()) != PyDict_Size(kwdefaults_copy_.get())) return false;
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwdefaults_copy_.get(), &position, &name, &value)) {
        if (!PyUnicode_CheckExact(name) || PyDict_GetItemWithError(kwdefaults.get(), name) != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

namespace {

// Whether the collector could ever find `item` in a reference cycle: the
// interpreter's own rule for tuples (a tuple it has untracked counts as
// atomic, any other object of a collected type does not).
bool may_be_tracked(PyObject* item) noexcept {
    if ((PyType_GetFlags(Py_TYPE(item)) & Py_TPFLAGS_HAVE_GC) == 0) return false;
    return !PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item);
}

// Whether none of `items` could take part in a cycle.
bool all_atomic(PyObject* const* items, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (items[i] != nullptr && may_be_tracked(items[i])) return false;
    }
    return true;
}

}  // namespace

bool CallIdentity::arguments_atomic() const noexcept {
    bool atomic = all_atomic(values_.data(), static_cast<Py_ssize_t>(values_.size())) &&
                  all_atomic(var_positional_, var_positional_count_);
    for (Py_ssize_t i = 0; atomic && i < var_keyword_count(); ++i) {
        atomic = !may_be_tracked(var_keyword_value(i));
    }
    return atomic;
}

PyRef CallIdentity::parameter_value(std::size_t j, bool atomic) const {
    if (values_[j] != nullptr) return PyRef::borrow(values_[j]);
    PyRef value;
    if (static_cast<std::ptrdiff_t>(j) == layout_->var_keyword_position) {
        value = PyRef::steal(PyTuple_New(var_keyword_count()));
        if (!value) return {};
        for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
            PyObject* pair = PyTuple_Pack(2, var_keyword_name(i), var_keyword_value(i));
            if (pair == nullptr) return {};
            if (atomic) PyObject_GC_UnTrack(pair);
            PyTuple_SetItem(value.get(), i, pair);
        }
    } else {
        value = PyRef::steal(PyTuple_New(var_positional_count_));
        if (!value) return {};
        for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
            PyTuple_SetItem(value.get(), i, Py_NewRef(var_positional_[i]));
        }
    }
    if (atomic) PyObject_GC_UnTrack(value.get());
    return value;
}

// A tuple of atoms leaves the collector at once, as the collector itself
// would leave it at its first pass; the tuples of *args and **kwargs kept in
// records likewise, so that stored calls do not fill the young generation.
// The names (keyword names included) and the method name are str, so the
// arguments decide for every tuple of the call at once.
PyObject* CallIdentity::call_tuple() {
    if (call_tuple_) return call_tuple_.get();
    if (!layout_) {
        // A call known by its record alone.
        call_tuple_ = call_tuple_of(*record_);
        return call_tuple_.get();
    }
    const ParameterLayout& parameters = *layout_;
    if (parameters.constant_call_tuple) {
        call_tuple_ = parameters.constant_call_tuple.new_ref();
        return call_tuple_.get();
    }
    const std::size_t kept = parameters.order.size();
    const bool atomic = arguments_atomic();
    PyRef pairs = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kept)));
    if (!pairs) return nullptr;
    for (std::size_t j = 0; j < kept; ++j) {
        PyRef value = parameter_value(j, atomic);
        if (!value) return nullptr;
        PyObject* pair = PyTuple_Pack(2, parameters.kept_names[j], value.get());
        if (pair == nullptr) return nullptr;
        if (atomic) PyObject_GC_UnTrack(pair);
        PyTuple_SetItem(pairs.get(), static_cast<Py_ssize_t>(j), pair);
    }
    if (atomic) PyObject_GC_UnTrack(pairs.get());
    call_tuple_ = PyRef::steal(PyTuple_Pack(2, method_name_, pairs.get()));
    if (call_tuple_ && atomic) PyObject_GC_UnTrack(call_tuple_.get());
    return call_tuple_.get();
}

const CallRecordRef& CallIdentity::record() {
    if (record_) return record_;
    if (!layout_) {
        // Bound through inspect: the tuple is at hand.
        record_ = CallRecordRef::of_call_tuple(call_tuple_.get());
        return record_;
    }
    const ParameterLayout& parameters = *layout_;
    if (parameters.constant_record) {
        record_ = parameters.constant_record;
        return record_;
    }
    const std::size_t kept = parameters.order.size();
    CallRecordRef made = CallRecordRef::make(method_name_, kept);
    if (!made) return record_;
    // The record is no object of the collector's; only the tuples of *args
    // and **kwargs are, so only a call with them asks whether they may be
    // left out of it.
    bool collected_tuples = false;
    for (std::size_t j = 0; j < kept; ++j) collected_tuples = collected_tuples || values_[j] == nullptr;
    const bool atomic = collected_tuples && arguments_atomic();
    for (std::size_t j = 0; j < kept; ++j) {
        PyRef value = values_[j] != nullptr ? PyRef::borrow(values_[j]) : parameter_value(j, atomic);
        if (!value) return record_;
        made.set(j, PyRef::borrow(parameters.kept_names[j]), std::move(value));
    }
    record_ = std::move(made);
    return record_;
}

bool CallIdentity::sort_var_keywords() {
    // Code-point order, as the reference path sorts them; the names of one
    // call are distinct exact str, so comparing them runs no Python code.
    std::vector<PyObject*>& names = var_keywords_->names;
    std::vector<PyObject*>& values = var_keywords_->values;
    if (names.size() < 2) return true;
    std::vector<std::size_t> order(names.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::ranges::sort(order, [&](std::size_t a, std::size_t b) { return PyUnicode_Compare(names[a], names[b]) < 0; });
    if (PyErr_Occurred()) return false;
    std::vector<PyObject*> sorted_names(order.size());
    std::vector<PyObject*> sorted_values(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sorted_names[i] = names[order[i]];
        sorted_values[i] = values[order[i]];
    }
    names = std::move(sorted_names);
    values = std::move(sorted_values);
    return true;
}

bool CallIdentity::has_identical_keywords(PyObject* registered_pairs) const noexcept {
    if (!PyTuple_CheckExact(registered_pairs) || Py_SIZE(registered_pairs) != var_keyword_count()) return false;
    for (Py_ssize_t i = 0; i < var_keyword_count(); ++i) {
        PyObject* pair = PyTuple_GetItem(registered_pairs, i);
        if (!PyTuple_CheckExact(pair) || Py_SIZE(pair) != 2 ||
            PyTuple_GetItem(pair, 0) != var_keyword_name(i) ||
            PyTuple_GetItem(pair, 1) != var_keyword_value(i)) {
            return false;
        }
    }
    return true;
}

bool CallIdentity::has_identical_items(const CallRecord* registered) const noexcept {
    if (!layout_ || registered == nullptr) return false;
    const ParameterLayout& parameters = *layout_;
    if (parameters.constant_record) return registered == parameters.constant_record.get();
    const std::size_t kept = parameters.order.size();
    if (registered->method_name() != method_name_ || registered->size() != kept) return false;
    PyObject* const* names = parameters.kept_names.data();
    PyObject* const* values = values_.data();
    for (std::size_t j = 0; j < kept; ++j) {
        if (registered->name(j) != names[j]) return false;
        PyObject* value = registered->value(j);
        if (values[j] != nullptr) {
            if (value != values[j]) return false;
            continue;
        }
        if (static_cast<std::ptrdiff_t>(j) == parameters.var_keyword_position) {
            if (!has_identical_keywords(value)) return false;
            continue;
        }
        if (!PyTuple_CheckExact(value) || Py_SIZE(value) != var_positional_count_) return false;
        for (Py_ssize_t i = 0; i < var_positional_count_; ++i) {
            if (tuple_item(value, i) != var_positional_[i]) return false;
        }
    }
    return true;
}

namespace {

bool equal_names(PyObject* registered, PyObject* ours) noexcept {
    return registered == ours || (PyUnicode_CheckExact(registered) && PyUnicode_Compare(registered, ours) == 0);
}

}  // namespace

// Whether `registered` has the shape of this call's tuple, with the same
// method name and parameter names: checked without running Python code, so
// that comparing the argument values afterwards makes exactly the __eq__
// calls that comparing the whole tuples would.
bool CallIdentity::shape_matches(const CallRecord& registered) const {
    const ParameterLayout& parameters = *layout_;
    const std::size_t kept = parameters.order.size();
    if (!equal_names(registered.method_name(), method_name_) || registered.size() != kept) return false;
    for (std::size_t j = 0; j < kept; ++j) {
        if (!equal_names(registered.name(j), parameters.kept_names[j])) return false;
        PyObject* value = registered.value(j);
        if (values_[j] != nullptr) continue;
        if (!PyTuple_CheckExact(value)) return false;
        if (static_cast<std::ptrdiff_t>(j) != parameters.var_keyword_position) continue;
        // Pairs with a str name: comparing those names runs no Python code.
        for (Py_ssize_t i = 0; i < Py_SIZE(value); ++i) {
            PyObject* keyword = tuple_item(value, i);
            if (!PyTuple_CheckExact(keyword) || Py_SIZE(keyword) != 2 ||
                !PyUnicode_CheckExact(tuple_item(keyword, 0))) {
                return false;
            }
        }
    }
    return true;
}

int CallIdentity::differs_natively(const CallRecord& registered) {
    // The caller holds the record, and the tuples in it are immutable, so
    // every object read here outlives the __eq__ calls.
    for (std::size_t j = 0; j < values_.size(); ++j) {
        PyObject* value = registered.value(j);
        if (values_[j] != nullptr) {
            int equal = into_python([&] { return PyObject_RichCompareBool(value, values_[j], Py_EQ); });
            if (equal <= 0) return equal < 0 ? -1 : 1;
            continue;
        }
        if (static_cast<std::ptrdiff_t>(j) == layout_->var_keyword_position) {
            const Py_ssize_t size = Py_SIZE(value);
            for (Py_ssize_t i = 0; i < size && i < var_keyword_count(); ++i) {
                PyObject* keyword = PyTuple_GetItem(value, i);
                if (PyUnicode_Compare(PyTuple_GetItem(keyword, 0), var_keyword_name(i)) != 0) {
                    return 1;
                }
                int equal = into_python(
                    [&] { return PyObject_RichCompareBool(PyTuple_GetItem(keyword, 1), var_keyword_value(i), Py_EQ); });
                if (equal <= 0) return equal < 0 ? -1 : 1;
            }
            if (size != var_keyword_count()) return 1;
            continue;
        }
        const Py_ssize_t size = Py_SIZE(value);
        for (Py_ssize_t i = 0; i < size && i < var_positional_count_; ++i) {
            int equal = into_python(
                [&] { return PyObject_RichCompareBool(tuple_item(value, i), var_positional_[i], Py_EQ); });
            if (equal <= 0) return equal < 0 ? -1 : 1;
        }
        if (size != var_positional_count_) return 1;
    }
    return 0;
}

int CallIdentity::differs_from(const CallRecord* registered) {
    if (registered == nullptr || (record_ && registered == record_.get())) return 0;
    if (layout_ && shape_matches(*registered)) return differs_natively(*registered);
    PyRef theirs = call_tuple_of(*registered);
    if (!theirs) return -1;
    PyObject* ours = call_tuple();
    if (ours == nullptr) return -1;
    int equal = into_python([&] { return PyObject_RichCompareBool(theirs.get(), ours, Py_EQ); });
    return equal < 0 ? -1 : !equal;
}

}  // namespace lineage_store
