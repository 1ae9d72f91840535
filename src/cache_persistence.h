// dump_cache and load_cache: the values of an instance's serialisable methods
// as a plain dict, and such a dict put back into a store. This unit sits above
// the decorator, whose type tells which methods are serialisable.
#pragma once

#include <Python.h>

#include <span>

namespace lineage_store {

// The two methods that LineageStoreBase gets from this unit.
std::span<const PyMethodDef> cache_persistence_methods() noexcept;

}  // namespace lineage_store
