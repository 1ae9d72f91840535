// class_attributes.h: the attributes a class's instances see, read from the
// class dicts along its method resolution order at each use, as the class
// says they are (its __mro__ and its classes' __dict__): how dump and load
// find the serialisable methods and the names an instance has.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "python/py_ref.h"

namespace lineage_store {

// The class at `index` of an MRO tuple, borrowed; null with TypeError set
// where a metaclass's mro() put something else there.
PyObject* mro_class(PyObject* mro, Py_ssize_t index);

struct ClassAttribute {
    PyRef name;  // a str
    PyRef value;
};

// Each name defined along the MRO of `cls` (the type object), once, with the
// first definition that attribute lookup finds: most derived class first,
// within one class in the class dict's order. False with an exception set:
// PanicException when the type has no usable __mro__, TypeError for an entry
// that is not a type or a dict item that is not a (str, value) tuple,
// ValueError for a tuple of another length, or whatever reading a class dict
// raised.
bool class_attributes(PyTypeObject* cls, ReleasingVector<ClassAttribute>& out);

// The serialisable decorated methods along the MRO of `cls`: each attribute
// whose name does not begin with "__" and whose first definition is a
// serialisable LineageStoreDecorator, with that decorator, most derived class
// first, in each class dict's order. `class_ends`, when given, receives where
// each class's methods end in `out`. Cheaper than class_attributes: it reads
// the class dicts' values and looks at the names of decorators only. Fails
// as class_attributes does.
bool serialisable_methods(PyTypeObject* cls, ReleasingVector<ClassAttribute>& out,
                          std::vector<std::size_t>* class_ends = nullptr);

// Puts out[begin, end) in a uniformly random order, drawn afresh at each call
// from a per-thread generator that the operating system seeds.
void shuffle(ReleasingVector<ClassAttribute>& out, std::size_t begin, std::size_t end);

// Whether `name` (a str) begins with "__".
bool is_dunder(PyObject* name) noexcept;

}  // namespace lineage_store
