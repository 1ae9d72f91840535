// class_change.h: a store following its instance to another class.
#pragma once

#include <Python.h>

#include "store/cache_store.h"

namespace lineage_store {

// After the instance's `__class__` was set to another class: what was
// computed by a method the new class does not have (another method of the
// same name, or none) is no longer the instance's. Every call registered by
// such a method becomes invalid, and so does everything computed from it;
// calls of methods the class still has stay as they are. Then the store
// names the new class. With no section open; false with an exception set.
// Made where store_follows_class is false, before anything reads the store.
bool follow_class(StoreObject* store);

// The same, as the first step of every use of the store: true at once
// while it follows its class.
inline bool store_follows_class_now(StoreObject* store) { return store_follows_class(store) || follow_class(store); }

}  // namespace lineage_store
