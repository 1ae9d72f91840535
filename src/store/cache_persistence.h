// cache_persistence.h: dump_cache and load_cache: the values of an instance's
// serialisable methods as a plain dict, and such a dict put back into a store.
#pragma once

#include <Python.h>

#include <span>

namespace lineage_store {

// Their entries in LineageStoreBase's method table, in table order.
std::span<const PyMethodDef> cache_persistence_methods() noexcept;

}  // namespace lineage_store
