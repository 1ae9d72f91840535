// class_methods.cpp: reading a class's decorated methods, and keeping what was read per class.
#include "store/class_methods.h"

#include <unordered_map>

#include "python/class_version.h"
#include "python/process_objects.h"
#include "python/python_boundary.h"
#include "python/str_equality.h"
#include "store/class_attributes.h"
#include "store/decorator_record.h"

namespace lineage_store {

// ---------------------------------------------------------------------------
// Names

namespace {

// The hash of a str as str's own hash computes it: a subclass's __hash__ is
// Python code, and attribute lookup hashes the exact str it is given anyway.
std::uint64_t name_hash(PyObject* text) noexcept {
    static const auto str_hash = reinterpret_cast<hashfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_hash));
    return static_cast<std::uint64_t>(str_hash(text));
}

std::uint64_t address_key(PyObject* object) noexcept { return reinterpret_cast<std::uintptr_t>(object); }

// The key_at of an index that is first made while it holds nothing, and so
// is never asked for a key: it grows from its own slots.
std::uint64_t never_asked(SeededIndex::Position) noexcept { return 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Questions

const ClassMethods::Method* ClassMethods::under_attribute(PyObject* name) const {
    const auto found = by_attribute_.find(
        name_hash(name), [&](SeededIndex::Position position) { return same_str(methods_[position].attribute, name); });
    return found == SeededIndex::kNotFound ? nullptr : &methods_[found];
}

const ClassMethods::Method* ClassMethods::first_named(PyObject* method_name) const {
    const auto found = by_method_name_.find(name_hash(method_name), [&](SeededIndex::Position position) {
        return same_str(methods_[position].method_name, method_name);
    });
    return found == SeededIndex::kNotFound ? nullptr : &methods_[found];
}

ClassMethods::Seen ClassMethods::seen(PyObject* decorator) const {
    const auto found = by_decorator_.find(address_key(decorator), [&](SeededIndex::Position position) {
        return methods_[position].decorator == decorator;
    });
    if (found == SeededIndex::kNotFound) return {};
    const Method& first = methods_[found];
    return {first.attribute, first.shared_with == none ? nullptr : methods_[first.shared_with].attribute};
}

int ClassMethods::property_getter(PyObject* decorator) const {
    if (property_getters_.contains(decorator)) return 1;
    return property_subclasses_ ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Reading a class

namespace {

// What reading a class needs from the interpreter, found once and kept for
// the process: type's own readers of a class's MRO and dict, and the
// property type.
struct Readers {
    PyObject* mro = nullptr;
    descrgetfunc get_mro = nullptr;
    PyObject* dict = nullptr;
    descrgetfunc get_dict = nullptr;
    PyTypeObject* property = nullptr;
    PyObject* fget = nullptr;  // the name
};

// type.__dict__[name], and its __get__. False with an exception set.
bool type_descriptor(PyObject* type_dict, const char* name, PyObject*& descriptor, descrgetfunc& get) {
    PyRef found = PyRef::steal(into_python([&] { return PyMapping_GetItemString(type_dict, name); }));
    if (!found) return false;
    get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(found.get()), Py_tp_descr_get));
    if (get == nullptr) {
        PyErr_Format(PyExc_TypeError, "type.%s has no __get__", name);
        return false;
    }
    descriptor = found.release();
    return true;
}

const Readers* readers() {
    static Readers found;
    if (found.fget != nullptr) return &found;
    auto* type = reinterpret_cast<PyObject*>(&PyType_Type);
    PyRef type_dict = PyRef::steal(into_python([&] { return PyObject_GetAttrString(type, "__dict__"); }));
    if (!type_dict) return nullptr;
    Readers made;
    if (!type_descriptor(type_dict.get(), "__mro__", made.mro, made.get_mro) ||
        !type_descriptor(type_dict.get(), "__dict__", made.dict, made.get_dict)) {
        return nullptr;
    }
    PyRef builtins = PyRef::steal(into_python([] { return PyImport_ImportModule("builtins"); }));
    if (!builtins) return nullptr;
    PyRef property = PyRef::steal(into_python([&] { return PyObject_GetAttrString(builtins.get(), "property"); }));
    if (!property) return nullptr;
    if (!PyType_Check(property.get())) {
        PyErr_SetString(PyExc_TypeError, "builtins.property is not a type");
        return nullptr;
    }
    made.fget = PyUnicode_InternFromString("fget");
    if (made.fget == nullptr) return nullptr;
    made.property = reinterpret_cast<PyTypeObject*>(property.release());
    found = made;
    return &found;
}

}  // namespace

class ClassMethodsReader {
public:
    // Reads `cls`, at `version`, into `view`; `held` receives the copies of
    // the class dicts that the view borrows from. False with an exception set.
    static bool read(PyTypeObject* cls, std::uint32_t version, ClassMethods& view, ReleasingVector<PyRef>& held) {
        const Readers* found = readers();
        if (found == nullptr) return false;
        view.version_ = version;
        auto* type = reinterpret_cast<PyObject*>(cls);
        PyRef mro = PyRef::steal(
            into_python([&] { return found->get_mro(found->mro, type, reinterpret_cast<PyObject*>(Py_TYPE(type))); }));
        if (!mro) return false;
        if (!PyTuple_Check(mro.get())) {
            PyErr_SetString(PyExc_TypeError, "a class without a method resolution order");
            return false;
        }
        ClassMethodsReader reader(view, *found);
        const Py_ssize_t classes = PyTuple_Size(mro.get());
        for (Py_ssize_t c = 0; c < classes; ++c) {
            PyObject* klass = mro_class(mro.get(), c);
            if (klass == nullptr) return false;
            PyRef proxy = PyRef::steal(into_python(
                [&] { return found->get_dict(found->dict, klass, reinterpret_cast<PyObject*>(Py_TYPE(klass))); }));
            if (!proxy) return false;
            // A copy of the class's own dict: a plain dict, walked without
            // an iterator, holding every name and value while it is read.
            PyRef dict = PyRef::steal(into_python([&] { return PyObject_CallMethod(proxy.get(), "copy", nullptr); }));
            if (!dict) return false;
            if (!PyDict_Check(dict.get())) {
                PyErr_SetString(PyExc_TypeError, "a class dict's copy is not a dict");
                return false;
            }
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            Py_ssize_t position = 0;
            while (PyDict_Next(dict.get(), &position, &name, &value)) {
                // Attribute lookup is made with a str, and finds no other key.
                if (PyUnicode_Check(name) && reader.first_definition(name) && !reader.add(name, value)) return false;
            }
            held.push_back(std::move(dict));
        }
        reader.finish();
        return true;
    }

private:
    ClassMethodsReader(ClassMethods& view, const Readers& found) noexcept : view(view), found(found) {}

    ClassMethods& view;
    const Readers& found;
    std::vector<PyObject*> decided = {};  // every name met so far, to keep the first definition of each
    SeededIndex decided_index = {};
    // How many first methods of a method name, and of a decorator, there are.
    std::size_t method_names = 0;
    std::size_t decorators = 0;

    using Method = ClassMethods::Method;
    static constexpr std::uint32_t none = ClassMethods::none;

    bool first_definition(PyObject* name) {
        const std::uint64_t hash = name_hash(name);
        const auto met =
            decided_index.find(hash, [&](SeededIndex::Position position) { return same_str(decided[position], name); });
        if (met != SeededIndex::kNotFound) return false;
        decided_index.reserve_one_more(decided.size(), never_asked);
        decided_index.insert(hash, static_cast<SeededIndex::Position>(decided.size()));
        decided.push_back(name);
        return true;
    }

    bool add(PyObject* name, PyObject* value) {
        const DecoratorRecord* decorator_record = decorator_record_of(value);
        if (decorator_record != nullptr) {
            // One the collector has cleared is no method any more.
            if (decorator_record->options.method_name)
                add_method(name, value, decorator_record->options.method_name.get());
            return true;
        }
        if (Py_IS_TYPE(value, found.property)) {
            // A property's getter is a member: reading it runs no Python code.
            PyRef getter = PyRef::steal(PyObject_GetAttr(value, found.fget));
            if (!getter) return false;
            if (decorator_record_of(getter.get()) != nullptr) view.property_getters_.insert(getter.get());
        } else if (PyObject_TypeCheck(value, found.property)) {
            view.property_subclasses_ = true;
        }
        return true;
    }

    void add_method(PyObject* name, PyObject* decorator, PyObject* method_name) {
        std::vector<Method>& methods = view.methods_;
        const auto index = static_cast<std::uint32_t>(methods.size());
        Method& method = methods.emplace_back(Method{name, decorator, method_name, index, none, false, none});
        view.by_attribute_.reserve_one_more(index, never_asked);
        view.by_attribute_.insert(name_hash(name), index);

        const std::uint64_t name_key = name_hash(method_name);
        const auto first_of_name = view.by_method_name_.find(name_key, [&](SeededIndex::Position position) {
            return same_str(methods[position].method_name, method_name);
        });
        if (first_of_name == SeededIndex::kNotFound) {
            view.by_method_name_.reserve_one_more(method_names++, never_asked);
            view.by_method_name_.insert(name_key, index);
        } else {
            method.first_of_name = first_of_name;
            Method& first = methods[first_of_name];
            if (first.other_of_name == none && first.decorator != decorator) first.other_of_name = index;
        }
        const auto first_of_decorator = view.by_decorator_.find(
            address_key(decorator),
            [&](SeededIndex::Position position) { return methods[position].decorator == decorator; });
        if (first_of_decorator == SeededIndex::kNotFound) {
            view.by_decorator_.reserve_one_more(decorators++, never_asked);
            view.by_decorator_.insert(address_key(decorator), index);
            method.first_of_decorator = true;
        }
    }

    // Once every method is in: the method each decorator shares its method
    // name with, if any.
    void finish() noexcept {
        for (Method& method : view.methods_) {
            if (!method.first_of_decorator) continue;
            const Method& first = view.methods_[method.first_of_name];
            method.shared_with = first.decorator != method.decorator ? method.first_of_name : first.other_of_name;
        }
    }
};

// ---------------------------------------------------------------------------
// Views kept per class

namespace {

struct Kept {
    PyRef watch;  // a weak reference to the class, whose callback erases the entry
    std::unique_ptr<ClassMethods> view;
};

// The views kept, by class: of live classes only, since each class's death
// erases its entry before its address can be used again.
std::unordered_map<PyTypeObject*, Kept>& kept_views() {
    // Kept for the rest of the process, and never released: it may outlive
    // the interpreter's own objects at exit.
    static auto* kept = new std::unordered_map<PyTypeObject*, Kept>();
    return *kept;
}

// The callback of a kept class's weak reference. Not a collected type.
struct ClassWatch {
    PyObject_HEAD
    PyTypeObject* cls;  // compared only
};

// The class died: its entry goes. The weak reference released with it is
// the one calling, which the call's argument tuple holds until it returns.
PyObject* kept_class_died(PyObject* self, PyObject*, PyObject*) {
    return python_boundary([&]() -> PyObject* {
        auto& kept = kept_views();
        auto entry = kept.find(reinterpret_cast<ClassWatch*>(self)->cls);
        if (entry != kept.end()) {
            Kept gone = std::move(entry->second);  // released once the table is whole
            kept.erase(entry);
        }
        return Py_NewRef(Py_None);
    });
}

// clang-format off
PyType_Slot class_watch_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(kept_class_died)},
    {0, nullptr},
};
// clang-format on

PyType_Spec class_watch_spec = {
    "lineage_store.KeptClassWatch",
    static_cast<int>(sizeof(ClassWatch)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    class_watch_slots,
};

// A weak reference to `cls` whose callback erases its entry; empty with no
// exception set when the class cannot be watched.
PyRef watch(PyTypeObject* cls) {
    static PyTypeObject* watch_type = nullptr;
    PyTypeObject* type = type_made_once(watch_type, class_watch_spec);
    if (type == nullptr) {
        PyErr_Clear();
        return {};
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef callback = PyRef::steal(alloc(type, 0));  // not a collected type: no collection starts
    if (!callback) {
        PyErr_Clear();
        return {};
    }
    reinterpret_cast<ClassWatch*>(callback.get())->cls = cls;
    auto* referent = reinterpret_cast<PyObject*>(cls);
    PyRef weak = PyRef::steal(into_python([&] { return PyWeakref_NewRef(referent, callback.get()); }));
    if (!weak) PyErr_Clear();
    return weak;
}

// Keeps `view` for `cls`, taking it, unless the class has no entry yet and
// `new_watch` is empty (the class cannot be watched). Runs no Python code.
void keep(PyTypeObject* cls, std::unique_ptr<ClassMethods>& view, PyRef& new_watch) {
    auto& kept = kept_views();
    auto entry = kept.find(cls);
    if (entry != kept.end()) {
        // An older reading, or one that a use which ran while this one read
        // the class kept: this one replaces it.
        entry->second.view = std::move(view);
    } else if (new_watch) {
        kept.emplace(cls, Kept{std::move(new_watch), std::move(view)});
    }
}

}  // namespace

ClassMethodsUse class_methods(PyTypeObject* cls) {
    ClassMethodsUse use;
    const std::uint32_t version = class_version_given(cls);
    PyRef new_watch;
    if (version != 0) {
        auto& kept = kept_views();
        auto entry = kept.find(cls);
        if (entry == kept.end()) {
            new_watch = watch(cls);
        } else if (entry->second.view->version() == version) {
            use.view_ = entry->second.view.get();
            return use;
        }
    }
    auto view = std::make_unique<ClassMethods>();
    if (!ClassMethodsReader::read(cls, version, *view, use.held_)) return use;
    use.view_ = view.get();
    // Kept when nothing changed the class while it was read (the read may
    // run Python code: allocating the copies may start the collector). From
    // here to the caller's use of the view, no Python code runs.
    if (version != 0 && class_version(cls) == version) keep(cls, view, new_watch);
    use.read_now_ = std::move(view);  // null when kept
    return use;
}

}  // namespace lineage_store
