// usage_warnings.cpp: finding a class's decorated methods, comparing keywords
// with their parameters, and the warnings and refusal built on that.
#include "store/usage_warnings.h"

#include <string>
#include <string_view>

#include "call/signature_checks.h"
#include "python/python_boundary.h"
#include "python/str_equality.h"
#include "store/class_attributes.h"
#include "store/class_methods.h"

namespace lineage_store {

namespace {

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
    if (!decorator_record.options.func)
        return PyRef::steal(PyUnicode_FromString(""));  // a decorator the collector cleared
    FunctionParameters parameters;
    if (!function_parameters(decorator_record.options.func.get(), parameters)) return {};
    signature_text = std::move(parameters.signature_text);
    PyRef missing = new_list(0), unknown = new_list(0);
    if (!missing || !unknown) return {};
    PyObject* listed_parameters = parameters.parameters.get();
    const Py_ssize_t count = PyList_Size(listed_parameters);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GetItem(PyList_GetItem(listed_parameters, i), 0);
        if (PyUnicode_CompareWithASCIIString(name, "self") == 0) continue;
        bool named = false;
        for (Py_ssize_t g = 0; !named && g < PyList_Size(given); ++g) named = same_str(PyList_GetItem(given, g), name);
        if (!named && into_python([&] { return PyList_Append(missing.get(), name); }) < 0) return {};
    }
    for (Py_ssize_t g = 0; g < PyList_Size(given); ++g) {
        PyObject* name = PyList_GetItem(given, g);
        bool known = PyUnicode_CompareWithASCIIString(name, "self") == 0;
        for (Py_ssize_t i = 0; !known && i < count; ++i) {
            known = same_str(PyTuple_GetItem(PyList_GetItem(listed_parameters, i), 0), name);
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
PyRef dict_keys_list(PyObject* keywords) {
    if (keywords == nullptr) return new_list(0);
    return PyRef::steal(into_python([&] { return PyDict_Keys(keywords); }));
}

enum class Found { Nothing, OnlyByAttribute, Method };

// How `method_name` names a decorated method of `cls`: the method whose
// registered name it is (first found), or an attribute whose decorator
// registers under another name, or nothing.
bool find_method(PyTypeObject* cls, PyObject* method_name, Found& found, PyRef& decorator) {
    found = Found::Nothing;
    ClassMethodsUse methods = class_methods(cls);
    if (!methods) return false;
    if (const ClassMethods::Method* named = methods->first_named(method_name)) {
        found = Found::Method;
        decorator = PyRef::borrow(named->decorator);
    } else if (const ClassMethods::Method* attribute = methods->under_attribute(method_name)) {
        found = Found::OnlyByAttribute;
        decorator = PyRef::borrow(attribute->decorator);
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
                           what, method_name, method_name, owner.get(), decorator_record.options.method_name.get(),
                           decorator_record.options.method_name.get()));
    }
    PyRef given = dict_keys_list(keywords);
    if (!given) return false;
    PyRef signature;
    PyRef mismatch = keyword_mismatch(decorator_record, given.get(), signature);
    if (!mismatch) return false;
    if (PyUnicode_GetLength(mismatch.get()) > 0) {
        return warn(format("%s(%R, ...): the keywords do not name the parameters of %S.%U%U: %U; name every "
                           "parameter but self, defaults included (*args as a tuple, **kwargs as a tuple of "
                           "(name, value) pairs sorted by name)",
                           what, method_name, owner.get(), decorator_record.options.method_name.get(), signature.get(),
                           mismatch.get()));
    }
    if (warn_when_never_stored && !decorator_record.options.use_cache) {
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

// What the checks made once per decorator and class read of the class, taken
// from its view before any Python code runs, as references of their own.
struct ClassCheck {
    PyRef ours;  // the attribute under which the instances see the decorator, or null
    int property_getter = 0;  // without `ours`: 1, 0, or -1 when to be read
    PyRef shared_with;  // the attribute of another decorated method of the same method name
    // Per declared dependency: the decorated method it names by method name,
    // and, by attribute, the method name of the one under that attribute.
    struct Named {
        PyRef by_name;
        PyRef method_name_of_attribute;
    };
    ReleasingVector<Named> dependencies;
};

bool read_class_check(PyTypeObject* cls, PyObject* decorator, const DecoratorRecord& decorator_record,
                      ClassCheck& check) {
    ClassMethodsUse methods = class_methods(cls);
    if (!methods) return false;
    const ClassMethods::Seen seen = methods->seen(decorator);
    if (seen.attribute != nullptr) {
        check.ours = PyRef::borrow(seen.attribute);
        check.shared_with = PyRef::borrow(seen.shared_with);
    } else {
        check.property_getter = methods->property_getter(decorator);
    }
    check.dependencies.reserve(decorator_record.options.dependency_calls.size());
    for (const BoundCallRef& dependency : decorator_record.options.dependency_calls) {
        ClassCheck::Named& named = check.dependencies.emplace_back();
        PyObject* name = dependency->method_name();
        if (const ClassMethods::Method* by_name = methods->first_named(name)) {
            named.by_name = PyRef::borrow(by_name->decorator);
        }
        if (const ClassMethods::Method* by_attribute = methods->under_attribute(name)) {
            const DecoratorRecord* registered = decorator_record_of(by_attribute->decorator);
            if (registered != nullptr) named.method_name_of_attribute = registered->options.method_name.new_ref();
        }
    }
    return true;
}

// Two distinct decorated methods registered under one name would share their
// calls, and so each other's results: a TypeError.
bool refuse_shared_name(const ClassCheck& check, PyObject* owner, const DecoratorRecord& decorator_record) {
    if (!check.ours || !check.shared_with) return true;
    into_python([&] {
        return PyErr_Format(PyExc_TypeError,
                            "%S has two decorated methods, %R and %R, whose functions are both named %R: their "
                            "calls would be recorded under that one name and share their cached results; give "
                            "each function its own name",
                            owner, check.ours.get(), check.shared_with.get(),
                            decorator_record.options.method_name.get());
    });
    return false;
}

// A declared dependency naming `by_name`'s method must give exactly its
// parameters as keywords.
bool check_dependency_keywords(const BoundCall& dependency, const DecoratorRecord& by_name, PyObject* owner,
                               const DecoratorRecord& decorator_record) {
    PyRef given = new_list(0);
    if (!given) return false;
    for (std::size_t j = 0; j < dependency.size(); ++j) {
        if (into_python([&] { return PyList_Append(given.get(), dependency.name(j)); }) < 0) return false;
    }
    PyRef signature;
    PyRef mismatch = keyword_mismatch(by_name, given.get(), signature);
    if (!mismatch) return false;
    if (PyUnicode_GetLength(mismatch.get()) == 0) return true;
    PyObject* name = dependency.method_name();
    return warn(format("%S.%U declares a dependency on %R whose keywords do not name the parameters of %U%U: %U; "
                       "so the dependency matches no call and %U can never be cached; name every parameter but "
                       "self, defaults included",
                       owner, decorator_record.options.method_name.get(), name, name, signature.get(), mismatch.get(),
                       decorator_record.options.method_name.get()));
}

// The dependencies that name not even an attribute (`nameless`), in one
// warning.
bool warn_about_nameless(PyObject* nameless, PyObject* owner, const DecoratorRecord& decorator_record) {
    if (PyList_Size(nameless) == 0) return true;
    PyRef names = listed(nameless);
    if (!names) return false;
    return warn(format("%S.%U declares a dependency on %U, but no decorated method of %S has that name, so %U can "
                       "never be cached and runs at every call; name each dependency by its function's __name__",
                       owner, decorator_record.options.method_name.get(), names.get(), owner,
                       decorator_record.options.method_name.get()));
}

// Whether `decorator` is the getter of a property that instances of `cls`
// see, read from every property: for a class with instances of property
// subclasses, whose getters only they can tell. 1, 0, or -1 with an
// exception set.
int is_property_getter(PyTypeObject* cls, PyObject* decorator) {
    ReleasingVector<ClassAttribute> attributes;
    if (!class_attributes(cls, attributes)) return -1;
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
    ClassCheck check;
    if (!read_class_check(cls, decorator, decorator_record, check)) return false;
    if (!check.ours) {
        // Not an attribute of the class's instances: hidden by an override
        // (reached through super() or the class that defines it), or none of
        // the class's (called with an instance of an unrelated class, or of
        // a class an instance's __class__ was changed to). Its calls there
        // are not the method the class has under that name, and must not
        // share that method's entries. A property over it is the class's own.
        if (check.property_getter < 0) check.property_getter = is_property_getter(cls, decorator);
        if (check.property_getter < 0) return false;
        resolved = check.property_getter > 0;
        if (!resolved) return true;
    }
    if (!check.shared_with && decorator_record.options.dependency_calls.empty()) return true;  // nothing to tell
    PyRef owner = qualified_name(cls);
    if (!owner) return false;
    if (!refuse_shared_name(check, owner.get(), decorator_record)) return false;

    // Declared dependencies: each must name a decorated method by its
    // function's name, with exactly its parameters as keywords. Unknown names
    // are listed in one warning, each once.
    PyRef unknown = new_list(0), nameless = new_list(0);
    if (!unknown || !nameless) return false;
    for (std::size_t d = 0; d < decorator_record.options.dependency_calls.size(); ++d) {
        const BoundCall& dependency = *decorator_record.options.dependency_calls[d];
        const ClassCheck::Named& named = check.dependencies[d];
        PyObject* name = dependency.method_name();
        if (named.by_name) {
            const DecoratorRecord& by_name = *decorator_record_of(named.by_name.get());
            if (!check_dependency_keywords(dependency, by_name, owner.get(), decorator_record)) return false;
            continue;
        }
        const int listed_already = into_python([&] { return PySequence_Contains(unknown.get(), name); });
        if (listed_already < 0) return false;
        if (listed_already) continue;  // warned about once
        if (into_python([&] { return PyList_Append(unknown.get(), name); }) < 0) return false;
        PyObject* registered_as = named.method_name_of_attribute.get();
        if (registered_as == nullptr) {
            if (into_python([&] { return PyList_Append(nameless.get(), name); }) < 0) return false;
            continue;
        }
        if (!warn(format("%S.%U declares a dependency on %R, the attribute of a decorated method whose calls "
                         "are recorded under its function's name, %R, so %U can never be cached and runs at "
                         "every call; name the dependency %R",
                         owner.get(), decorator_record.options.method_name.get(), name, registered_as,
                         decorator_record.options.method_name.get(), registered_as))) {
            return false;
        }
    }
    return warn_about_nameless(nameless.get(), owner.get(), decorator_record);
}

bool warn_about_self_dependency(PyObject* func, PyObject* method_name,
                                const ReleasingVector<BoundCallRef>& dependencies) {
    bool names_itself = false;
    for (const BoundCallRef& dependency : dependencies) {
        names_itself = names_itself || same_str(dependency->method_name(), method_name);
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
    ReleasingVector<DecoratorCaches::WarnedCall>& warned = caller.caches.staleness_warned;
    for (auto entry = warned.begin(); entry != warned.end();) {
        // Calling a weak reference runs no Python code.
        PyRef owner = PyRef::steal(PyObject_CallNoArgs(entry->owner.get()));
        if (!owner) return false;
        if (owner.get() == Py_None) {
            // A class that has died: its entry goes, so the list stays as
            // short as the live classes warned about.
            DecoratorCaches::WarnedCall dead = std::move(*entry);
            entry = warned.erase(entry);
            continue;
        }
        if (owner.get() == type && same_str(entry->callee.get(), callee_name)) return true;
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
                    owner.get(), caller.options.method_name.get(), owner.get(), callee_name),
             stacklevel);
    if (!warned_now) return false;
    warned.push_back({PyRef::borrow(callee_name), std::move(weak_owner)});
    return true;
}

bool warn_about_single_use_result(DecoratorRecord& decorator_record, PyObject* result, int stacklevel) {
    if (decorator_record.caches.single_use_warned) return true;
    const PyTypeObject* type = Py_TYPE(result);
    const char* kind = type == single_use_types.coroutine   ? "a coroutine"
                       : type == single_use_types.generator ? "a generator"
                                                            : "an async generator";
    PyRef name;
    if (decorator_record.options.func)
        name = PyRef::steal(
            into_python([&] { return PyObject_GetAttrString(decorator_record.options.func.get(), "__qualname__"); }));
    if (!name) {
        PyErr_Clear();
        name = PyRef::borrow(decorator_record.options.method_name.get());
    }
    if (!warn(format("cached method %S returned %s, which can be consumed only once: it was returned but not cached, "
                     "so the method runs at every call and nothing computed from it is cached. Make the method "
                     "'async def' to cache its awaited value, or return a list or a tuple",
                     name.get(), kind),
              stacklevel)) {
        return false;
    }
    decorator_record.caches.single_use_warned = true;
    return true;
}

}  // namespace lineage_store
