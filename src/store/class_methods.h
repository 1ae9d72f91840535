// class_methods.h: the decorated methods a class's instances see, read once
// per state of the class and shared by every check made of it.
//
// The checks made at each decorator's first call on a class, and the
// warnings about updates and queries, ask which decorated methods the class
// has, by attribute and by method name. Read from the class dicts at each
// ask, a class of n decorated methods would cost n * n to start using; read
// once, it costs n.
//
// A view is read as attribute lookup on an instance reads the class: along
// the class's own MRO, in its own dicts, whatever a metaclass says __mro__ or
// __dict__ is. It is kept, without keeping the class alive, for as long as
// the class's version (class_version.h) stays the same: any class attribute
// set or deleted on the class or along its MRO, or new bases, and the next
// use reads the class again. Where the version is unknown, every use reads
// the class again.
//
// The references in a kept view are borrowed from the class dicts, which hold
// them for as long as the version stays, as the interpreter's own attribute
// cache holds its entries; a view is therefore valid only until Python code
// runs, and a user takes what it needs (as references of its own) before it
// runs any.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "graph/seeded_index.h"
#include "python/py_ref.h"

namespace lineage_store {

class ClassMethods {
public:
    struct Method {
        PyObject* attribute;  // the class dict's key, a str
        PyObject* decorator;
        PyObject* method_name;  // the decorator's
        std::uint32_t first_of_name;  // the first method of its method name
        // In the first method of each method name: the first method of that
        // name whose decorator is another one.
        std::uint32_t other_of_name;
        // Whether it is the first method of its decorator, and then the
        // first method of its method name whose decorator is another one.
        bool first_of_decorator;
        std::uint32_t shared_with;
    };

    // The method under attribute `name` (a str), or null.
    const Method* under_attribute(PyObject* name) const;
    // The first method, most derived class first, whose decorator registers
    // its calls under `method_name` (a str); null when there is none.
    const Method* first_named(PyObject* method_name) const;

    // How the instances see `decorator`: under which attribute (the first in
    // MRO order when they see it under several), and the attribute of the
    // first other decorated method that registers its calls under the same
    // method name. Null for what they do not see.
    struct Seen {
        PyObject* attribute = nullptr;
        PyObject* shared_with = nullptr;
    };
    Seen seen(PyObject* decorator) const;

    // 1 when `decorator` is the getter of a property the instances see, 0
    // when not, -1 when only the getters of instances of property
    // subclasses, read by the caller, can tell.
    int property_getter(PyObject* decorator) const;

    // Every decorated method the instances see, most derived class first.
    const std::vector<Method>& methods() const noexcept { return methods_; }

    // The class's version when it was read.
    std::uint32_t version() const noexcept { return version_; }

private:
    friend class ClassMethodsReader;
    static constexpr std::uint32_t none = UINT32_MAX;

    std::uint32_t version_ = 0;
    std::vector<Method> methods_;  // most derived class first, each class in its dict's order
    // Positions in `methods_`: of each method by its attribute's hash, and of
    // the first method of each method name and of each decorator.
    SeededIndex by_attribute_;
    SeededIndex by_method_name_;
    SeededIndex by_decorator_;
    std::unordered_set<PyObject*> property_getters_;  // compared only
    bool property_subclasses_ = false;
};

// One use of a class's view: valid until Python code runs. A view read for
// this use holds what it borrows from (copies of the class dicts) until the
// use ends, which releases them.
class ClassMethodsUse {
public:
    explicit operator bool() const noexcept { return view_ != nullptr; }
    const ClassMethods& operator*() const noexcept { return *view_; }
    const ClassMethods* operator->() const noexcept { return view_; }

private:
    friend ClassMethodsUse class_methods(PyTypeObject* cls);
    const ClassMethods* view_ = nullptr;
    std::unique_ptr<ClassMethods> read_now_;  // a view not kept
    ReleasingVector<PyRef> held_;
};

// The view of `cls` as it is now: kept, or read now (which may run Python
// code). Empty with an exception set when reading the class failed: a
// TypeError for an MRO entry that is not a type, or whatever reading a dict
// raised.
ClassMethodsUse class_methods(PyTypeObject* cls);

}  // namespace lineage_store
