// store_queries.h: the store's methods that read one cached value, set one by
// hand, and empty the cache: get_cached_value, get_cached_value_by_hash,
// update_cached_value and clear_cache.
#pragma once

#include <Python.h>

#include <span>

namespace lineage_store {

// Their entries in LineageStoreBase's method table, in table order.
std::span<const PyMethodDef> store_query_methods() noexcept;

}  // namespace lineage_store
