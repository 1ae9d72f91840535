// class_version.h: a stamp of what a class's instances see, read where the
// interpreter keeps it for its own attribute cache.
//
// The interpreter caches attribute lookups on a class under the class's
// version tag. It sets the tag to 0 whenever the class or a class along its
// MRO changes (a class attribute set or deleted, __bases__ assigned; each
// change reaches every subclass), and a tag it gives out is never given out
// again, to any class. So the same nonzero tag read twice means that nothing
// an attribute lookup on the class's instances reads has changed in between.
//
// The limited API does not spell the tag. Its place, and the behaviour
// above, are checked on sample classes at the first use; where either
// disagrees, every class reads 0, "unknown", and whoever keeps something per
// class reads the class again at each use.
#pragma once

#include <Python.h>

#include <cstdint>

namespace lineage_store {

// The stamp of `cls` as it is now, 0 when unknown. Never runs Python code.
std::uint32_t class_version(PyTypeObject* cls) noexcept;

// The same, after asking the interpreter to give `cls` a tag if it has none
// (a class changed since its last lookup): a lookup on the class, which may
// run Python code (the collector, started by allocating the exception of a
// missed lookup). Called with no exception set; sets none.
std::uint32_t class_version_given(PyTypeObject* cls);

}  // namespace lineage_store
