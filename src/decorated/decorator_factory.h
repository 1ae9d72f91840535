// decorator_factory.h: the two decorator factories, `lineage_stored` and
// `automagically_lineage_stored`: they hold the options given in a class body
// and, applied to a method, build its LineageStoreDecorator.
#pragma once

#include <Python.h>

namespace lineage_store {

// The factory type objects, created once per process on first use; borrowed
// references, or nullptr with an exception set.
PyTypeObject* manual_factory_type();
PyTypeObject* automagic_factory_type();

}  // namespace lineage_store
