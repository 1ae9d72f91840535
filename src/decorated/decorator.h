// decorator.h: LineageStoreDecorator, the object a factory puts in place of
// a method. It makes bound methods as a function does, refuses assignment
// and deletion through instances, and its call serves results from the
// instance's store or computes, registers, validates and stores them.
#pragma once

#include <Python.h>

#include "store/decorator_record.h"

namespace lineage_store {

// A new LineageStoreDecorator made with `options`; nullptr with an exception set.
PyObject* new_decorator(DecoratorOptions&& options);

}  // namespace lineage_store
