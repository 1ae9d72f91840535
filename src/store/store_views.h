// store_views.h: the store's listings as plain dicts: get_cached_values,
// get_dependency_graph and get_validation_state.
#pragma once

#include <Python.h>

#include <span>

namespace lineage_store {

// Their entries in LineageStoreBase's method table, in table order.
std::span<const PyMethodDef> store_view_methods() noexcept;

}  // namespace lineage_store
