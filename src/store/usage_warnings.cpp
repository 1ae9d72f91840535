// usage_warnings.cpp: finding a class's decorated methods, comparing keywords
// with their parameters, and the warnings and refusal built on that.
#include "store/usage_warnings.h"

#include <string>
#include <string_view>

#include "call/signature_checks.h"
#include "python/python_boundary.h"
#include "store/class_attributes.h"

namespace lineage_store {

namespace {

bool same_text(PyObject* a, PyObject* b) noexcept {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

struct DecoratedMethod {
    PyRef attribute;  // the name it is found under
    PyRef decorator;
    DecoratorRecord* decorator_record() const noexcept { return decorator_record_of(decorator.get()); }
};

// The decorated methods that instances of `cls` see, by attribute name.
bool decorated_methods_of(PyTypeObject* cls, ReleasingVector<DecoratedMethod>& out) {
    ReleasingVector<ClassAttribute> attributes;
    if (!class_decorators(cls, false, attributes)) return false;
    for (ClassAttribute& attribute : attributes) {
        if (!decorator_record_of(attribute.value.get())->method_name) continue;
        out.push_back({std::move(attribute.name), std::move(attribute.value)});
    }
    return true;
}

PyRef qualified_name(PyTypeObject* cls) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    return PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__qualname__"); }));
}

// Issued at the line `stacklevel` Python frames up: 1 is the frame that
// called into the module.
bool warn(PyRef message, int stacklevel = 1) {
    if (!message) return false;
    std::string_view text;
    if (!utf8_view(message.get(), text)) return false;
    const std::string terminated(text);
    return into_python([&] { return PyErr_WarnEx(PyExc_RuntimeWarning, terminated.c_str(), stacklevel); }) == 0;
}

template <typename... Arguments>
PyRef format(const char* text, Arguments... arguments) {
    return PyRef::steal(into_python([&] { return PyUnicode_FromFormat(text, arguments...); }));
}

// "'a', 'b'" from a list of str.
PyRef listed(PyObject* names) {
    PyRef parts = new_list(0);
    if (!parts) return {};
    for (Py_ssize_t i = 0; i < PyList_Size(names); ++i) {
        PyRef text = PyRef::steal(into_python([&] { return PyObject_Repr(PyList_GetItem(names, i)); }));
        if (!text || into_python([&] { return PyList_Append(parts.get(), text.get()); }) < 0) return {};
    }
    PyRef separator = PyRef::steal(PyUnicode_FromString(", "));
    if (!separator) return {};
    return PyRef::steal(into_python([&] { return PyUnicode_Join(separator.get(), parts.get()); }));
}

// What is wrong with naming a call of `decorator_record`'s method by the keyword names
// `given` (a list of str), as a text like "missing 'a'; unknown 'b'"; an
// empty str when nothing is. Empty PyRef with an exception set on failure.
PyRef keyword_mismatch(const DecoratorRecord& decorator_record, PyObject* given, PyRef& signature_text) {
    if (!decorator_record.func) return PyRef::steal(PyUnicode_FromString(""));  // a decorator the collector cleared
    FunctionParameters parameters;
    if (!function_parameters(decorator_record.func.get(), parameters)) return {};
    signature_text = std::move(parameters.signature_text);
    PyRef missing = new_list(0), unknown = new_list(0);
    if (!missing || !unknown) return {};
    PyObject* listed_parameters = parameters.parameters.get();
    const Py_ssize_t count = PyList_Size(listed_parameters);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GetItem(PyList_GetItem(listed_parameters, i), 0);
        if (PyUnicode_CompareWithASCIIString(name, "self") == 0) continue;
        bool named = false;
        for (Py_ssize_t g = 0; !named && g < PyList_Size(given); ++g) named = same_text(PyList_GetItem(given, g), name);
        if (!named && into_python([&] { return PyList_Append(missing.get(), name); }) < 0) return {};
    }
    for (Py_ssize_t g = 0; g < PyList_Size(given); ++g) {
        PyObject* name = PyList_GetItem(given, g);
        bool known = PyUnicode_CompareWithASCIIString(name, "self") == 0;
        for (Py_ssize_t i = 0; !known && i < count; ++i) {
            known = same_text(PyTuple_GetItem(PyList_GetItem(listed_parameters, i), 0), name);
        }
        if (!known && into_python([&] { return PyList_Append(unknown.get(), name); }) < 0) return {};
    }
    PyRef missing_text = listed(missing.get()), unknown_text = listed(unknown.get());
    if (!missing_text || !unknown_text) return {};
    const bool any_missing = PyList_Size(missing.get()) > 0, any_unknown = PyList_Size(unknown.get()) > 0;
    if (any_missing && any_unknown) return format("missing %U; unknown %U", missing_text.get(), unknown_text.get());
    if (any_missing) return format("missing %U", missing_text.get());
    if (any_unknown) return format("unknown %U", unknown_text.get());
    return PyRef::steal(PyUnicode_FromString(""));
}

// The keyword names of a dict, as a list (none for null).
PyRef keyword_names(PyObject* keywords) {
    if (keywords == nullptr) return new_list(0);
    return PyRef::steal(into_python([&] { return PyDict_Keys(keywords); }));
}

enum class Found { Nothing, OnlyByAttribute, Method };

// The last class found to have no decorated method at all. Updates of calls
// never made come in runs on plain classes (links of a chain of stores built
// in a loop, say), and a class does not gain decorated methods after its
// instances are used as a rule: one that does only makes these warnings less
// accurate, never a value.
WatchedClass& last_class_without_methods() {
    // Kept for the rest of the process, and never released: it may outlive
    // the interpreter's own objects at exit.
    static auto* kept = new WatchedClass();
    return *kept;
}

// How `method_name` names a decorated method of `cls`: the method whose
// registered name it is (first found), or an attribute whose decorator
// registers under another name, or nothing.
bool find_method(PyTypeObject* cls, PyObject* method_name, Found& found, PyRef& decorator) {
    found = Found::Nothing;
    WatchedClass& without_methods = last_class_without_methods();
    if (without_methods.is(cls)) return true;
    ReleasingVector<DecoratedMethod> methods;
    if (!decorated_methods_of(cls, methods)) return false;
    if (methods.empty() && !without_methods.watch(cls)) PyErr_Clear();
    for (const DecoratedMethod& method : methods) {
        if (same_text(method.decorator_record()->method_name.get(), method_name)) {
            found = Found::Method;
            decorator = method.decorator.new_ref();
            return true;
        }
    }
    for (const DecoratedMethod& method : methods) {
        if (same_text(method.attribute.get(), method_name)) {
            found = Found::OnlyByAttribute;
            decorator = method.decorator.new_ref();
            return true;
        }
    }
    return true;
}

// The warning for an update or query that names its method wrongly or with
// the wrong keywords. `what` is "update_cached_value" or "get_cached_value".
bool check_named_call(const char* what, PyObject* instance, PyObject* method_name, PyObject* keywords,
                      bool warn_when_never_stored) {
    PyTypeObject* cls = Py_TYPE(instance);
    // Held: the code run below may give the instance another __class__.
    PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(cls));
    Found found = Found::Nothing;
    PyRef decorator;
    if (!find_method(cls, method_name, found, decorator)) return false;
    PyRef owner = qualified_name(cls);
    if (!owner) return false;
    if (found == Found::Nothing) {
        return warn(format("%s(%R, ...): %S has no decorated method named %R, so %s; name the method by its "
                           "function's __name__",
                           what, method_name, owner.get(), method_name,
                           warn_when_never_stored ? "the value is stored but nothing will ever read it"
                                                  : "it can never find a value"));
    }
    DecoratorRecord& decorator_record = *decorator_record_of(decorator.get());
    if (found == Found::OnlyByAttribute) {
        return warn(format("%s(%R, ...): %R is the attribute of a decorated method of %S whose calls are "
                           "recorded under its function's name, %R: name it %R",
                           what, method_name, method_name, owner.get(), decorator_record.method_name.get(),
                           decorator_record.method_name.get()));
    }
    PyRef given = keyword_names(keywords);
    if (!given) return false;
    PyRef signature;
    PyRef mismatch = keyword_mismatch(decorator_record, given.get(), signature);
    if (!mismatch) return false;
    if (PyUnicode_GetLength(mismatch.get()) > 0) {
        return warn(format("%s(%R, ...): the keywords do not name the parameters of %S.%U%U: %U; name every "
                           "parameter but self, defaults included (*args as a tuple, **kwargs as a tuple of "
                           "(name, value) pairs sorted by name)",
                           what, method_name, owner.get(), decorator_record.method_name.get(), signature.get(),
                           mismatch.get()));
    }
    if (warn_when_never_stored && !decorator_record.use_cache) {
        return warn(format("%s(%R, ...): %S.%U is decorated with use_cache=False, so it runs at every call and "
                           "the value is stored but never served",
                           what, method_name, owner.get(), method_name));
    }
    return true;
}

}  // namespace

bool warn_about_unused_update(PyObject* instance, PyObject* method_name, PyObject* keywords) {
    return check_named_call("update_cached_value", instance, method_name, keywords, true);
}

bool warn_about_unanswerable_query(PyObject* instance, PyObject* method_name, PyObject* keywords) {
    return check_named_call("get_cached_value", instance, method_name, keywords, false);
}

namespace {

// The attribute under which instances of the class see `decorator`, or null
// when an override hides it. Borrowed from `methods`.
PyObject* attribute_of(const ReleasingVector<DecoratedMethod>& methods, PyObject* decorator) noexcept {
    PyObject* ours = nullptr;
    for (const DecoratedMethod& method : methods) {
        if (method.decorator.get() == decorator) ours = method.attribute.get();
    }
    return ours;
}

// Two distinct decorated methods registered under one name would share their
// calls, and so each other's results: a TypeError. `ours` is the attribute
// of `decorator`, or null when the class does not show it.
bool refuse_shared_name(const ReleasingVector<DecoratedMethod>& methods, PyObject* owner, PyObject* decorator,
                        PyObject* ours, const DecoratorRecord& decorator_record) {
    if (ours == nullptr) return true;
    for (const DecoratedMethod& method : methods) {
        if (method.decorator.get() == decorator ||
            !same_text(method.decorator_record()->method_name.get(), decorator_record.method_name.get())) {
            continue;
        }
        into_python([&] {
            return PyErr_Format(PyExc_TypeError,
                                "%S has two decorated methods, %R and %R, whose functions are both named %R: their "
                                "calls would be recorded under that one name and share their cached results; give "
                                "each function its own name",
                                owner, ours, method.attribute.get(), decorator_record.method_name.get());
        });
        return false;
    }
    return true;
}

// A declared dependency naming `by_name`'s method must give exactly its
// parameters as keywords.
bool check_dependency_keywords(const BoundCall& dependency, const DecoratedMethod& by_name, PyObject* owner,
                               const DecoratorRecord& decorator_record) {
    PyRef given = new_list(0);
    if (!given) return false;
    for (std::size_t j = 0; j < dependency.size(); ++j) {
        if (into_python([&] { return PyList_Append(given.get(), dependency.name(j)); }) < 0) return false;
    }
    PyRef signature;
    PyRef mismatch = keyword_mismatch(*by_name.decorator_record(), given.get(), signature);
    if (!mismatch) return false;
    if (PyUnicode_GetLength(mismatch.get()) == 0) return true;
    PyObject* name = dependency.method_name();
    return warn(format("%S.%U declares a dependency on %R whose keywords do not name the parameters of %U%U: %U; "
                       "so the dependency matches no call and %U can never be cached; name every parameter but "
                       "self, defaults included",
                       owner, decorator_record.method_name.get(), name, name, signature.get(), mismatch.get(),
                       decorator_record.method_name.get()));
}

// The dependencies in `unknown` that name not even an attribute, in one
// warning.
bool warn_about_nameless(const ReleasingVector<DecoratedMethod>& methods, PyObject* unknown, PyObject* owner,
                         const DecoratorRecord& decorator_record) {
    PyRef nameless = new_list(0);
    if (!nameless) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(unknown); ++i) {
        PyObject* name = PyList_GetItem(unknown, i);
        bool attribute = false;
        for (const DecoratedMethod& method : methods) attribute = attribute || same_text(method.attribute.get(), name);
        if (!attribute && into_python([&] { return PyList_Append(nameless.get(), name); }) < 0) return false;
    }
    if (PyList_Size(nameless.get()) == 0) return true;
    PyRef names = listed(nameless.get());
    if (!names) return false;
    return warn(format("%S.%U declares a dependency on %U, but no decorated method of %S has that name, so %U can "
                       "never be cached and runs at every call; name each dependency by its function's __name__",
                       owner, decorator_record.method_name.get(), names.get(), owner,
                       decorator_record.method_name.get()));
}

// Whether `decorator` is the getter of a property that instances of `cls`
// see: read as an attribute, it is the class's own method. 1, 0, or -1 with
// an exception set.
int is_property_getter(PyTypeObject* cls, PyObject* decorator) {
    ReleasingVector<ClassAttribute> attributes;
    if (!class_attributes(cls, false, false, attributes)) return -1;
    PyRef builtins = PyRef::steal(into_python([] { return PyImport_ImportModule("builtins"); }));
    if (!builtins) return -1;
    PyRef property = PyRef::steal(into_python([&] { return PyObject_GetAttrString(builtins.get(), "property"); }));
    if (!property) return -1;
    if (!PyType_Check(property.get())) return 0;
    auto* property_type = reinterpret_cast<PyTypeObject*>(property.get());
    for (const ClassAttribute& attribute : attributes) {
        if (!PyObject_TypeCheck(attribute.value.get(), property_type)) continue;
        PyRef getter = PyRef::steal(into_python([&] { return PyObject_GetAttrString(attribute.value.get(), "fget"); }));
        if (!getter) return -1;
        if (getter.get() == decorator) return 1;
    }
    return 0;
}

}  // namespace

bool check_class_at_first_call(PyTypeObject* cls, PyObject* decorator, DecoratorRecord& decorator_record,
                               bool& resolved) {
    // Held: the code run below may drop the class.
    PyRef held_class = PyRef::borrow(reinterpret_cast<PyObject*>(cls));
    ReleasingVector<DecoratedMethod> methods;
    if (!decorated_methods_of(cls, methods)) return false;
    PyObject* ours = attribute_of(methods, decorator);
    if (ours == nullptr) {
        // Not an attribute of the class's instances: hidden by an override
        // (reached through super() or the class that defines it), or none of
        // the class's (called with an instance of an unrelated class, or of
        // a class an instance's __class__ was changed to). Its calls there
        // are not the method the class has under that name, and must not
        // share that method's entries. A property over it is the class's own.
        const int getter = is_property_getter(cls, decorator);
        if (getter < 0) return false;
        resolved = getter > 0;
        if (!resolved) return true;
    }
    PyRef owner = qualified_name(cls);
    if (!owner) return false;
    if (!refuse_shared_name(methods, owner.get(), decorator, ours, decorator_record)) return false;

    // Declared dependencies: each must name a decorated method by its
    // function's name, with exactly its parameters as keywords. Unknown names
    // are listed in one warning, each once.
    PyRef unknown = new_list(0);
    if (!unknown) return false;
    for (std::size_t d = 0; d < decorator_record.dependency_calls.size(); ++d) {
        const BoundCall& dependency = *decorator_record.dependency_calls[d];
        PyObject* name = dependency.method_name();
        const DecoratedMethod* by_name = nullptr;
        const DecoratedMethod* by_attribute = nullptr;
        for (const DecoratedMethod& method : methods) {
            if (by_name == nullptr && same_text(method.decorator_record()->method_name.get(), name)) by_name = &method;
            if (by_attribute == nullptr && same_text(method.attribute.get(), name)) by_attribute = &method;
        }
        if (by_name != nullptr) {
            if (!check_dependency_keywords(dependency, *by_name, owner.get(), decorator_record)) return false;
            continue;
        }
        const int listed_already = into_python([&] { return PySequence_Contains(unknown.get(), name); });
        if (listed_already < 0) return false;
        if (listed_already) continue;  // warned about once
        if (into_python([&] { return PyList_Append(unknown.get(), name); }) < 0) return false;
        if (by_attribute != nullptr &&
            !warn(format("%S.%U declares a dependency on %R, the attribute of a decorated method whose calls "
                         "are recorded under its function's name, %R, so %U can never be cached and runs at "
                         "every call; name the dependency %R",
                         owner.get(), decorator_record.method_name.get(), name,
                         by_attribute->decorator_record()->method_name.get(), decorator_record.method_name.get(),
                         by_attribute->decorator_record()->method_name.get()))) {
            return false;
        }
    }
    return warn_about_nameless(methods, unknown.get(), owner.get(), decorator_record);
}

bool warn_about_self_dependency(PyObject* func, PyObject* method_name,
                                const ReleasingVector<BoundCallRef>& dependencies) {
    bool names_itself = false;
    for (const BoundCallRef& dependency : dependencies) {
        names_itself = names_itself || same_text(dependency->method_name(), method_name);
    }
    if (!names_itself) return true;
    PyRef name = PyRef::steal(into_python([&] { return PyObject_GetAttrString(func, "__qualname__"); }));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();  // a callable without one (a partial) is named by its method name
        name = PyRef::borrow(method_name);
    }
    return warn(format("%S declares a dependency on %R, its own method: each of its calls would depend on a call "
                       "that can never be valid, so it will never be cached and runs at every call; remove %R "
                       "from its dependencies",
                       name.get(), method_name, method_name));
}

bool warn_about_untracked_call(DecoratorRecord& caller, PyObject* callee_name, PyTypeObject* cls, int stacklevel) {
    auto* type = reinterpret_cast<PyObject*>(cls);
    PyRef held_class = PyRef::borrow(type);
    ReleasingVector<DecoratorRecord::WarnedCall>& warned = caller.staleness_warned;
    for (auto entry = warned.begin(); entry != warned.end();) {
        // Calling a weak reference runs no Python code.
        PyRef owner = PyRef::steal(PyObject_CallNoArgs(entry->owner.get()));
        if (!owner) return false;
        if (owner.get() == Py_None) {
            // A class that has died: its entry goes, so the list stays as
            // short as the live classes warned about.
            DecoratorRecord::WarnedCall dead = std::move(*entry);
            entry = warned.erase(entry);
            continue;
        }
        if (owner.get() == type && same_text(entry->callee.get(), callee_name)) return true;
        ++entry;
    }
    PyRef weak_owner = PyRef::steal(into_python([&] { return PyWeakref_NewRef(type, nullptr); }));
    if (!weak_owner) return false;
    PyRef owner = qualified_name(cls);
    if (!owner) return false;
    // Remembered once issued: a filter that makes it an error fails the
    // call again next time, until the method is fixed.
    const bool warned_now =
        warn(format("%S.%U called %S.%U, which it does not declare as a dependency and does not track at run "
                    "time, so its cached result will not follow changes to that call; declare the dependency or "
                    "use automagically_lineage_stored",
                    owner.get(), caller.method_name.get(), owner.get(), callee_name),
             stacklevel);
    if (!warned_now) return false;
    warned.push_back({PyRef::borrow(callee_name), std::move(weak_owner)});
    return true;
}

bool warn_about_single_use_result(DecoratorRecord& decorator_record, PyObject* result, int stacklevel) {
    if (decorator_record.single_use_warned) return true;
    const PyTypeObject* type = Py_TYPE(result);
    const char* kind = type == single_use_types.coroutine   ? "a coroutine"
                       : type == single_use_types.generator ? "a generator"
                                                            : "an async generator";
    PyRef name;
    if (decorator_record.func)
        name = PyRef::steal(
            into_python([&] { return PyObject_GetAttrString(decorator_record.func.get(), "__qualname__"); }));
    if (!name) {
        PyErr_Clear();
        name = PyRef::borrow(decorator_record.method_name.get());
    }
    if (!warn(format("cached method %S returned %s, which can be consumed only once: it was returned but not cached, "
                     "so the method runs at every call and nothing computed from it is cached. Make the method "
                     "'async def' to cache its awaited value, or return a list or a tuple",
                     name.get(), kind),
              stacklevel)) {
        return false;
    }
    decorator_record.single_use_warned = true;
    return true;
}

}  // namespace lineage_store
