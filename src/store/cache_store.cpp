// cache_store.cpp: the section guard of the cache store, and nodes for calls never made.
#include "store/cache_store.h"

#include <memory>

#include "python/python_boundary.h"

namespace lineage_store {

// A call costs one node, and its bound call beside it; a store that has
// recorded something, its record too, which holds its first node.
static_assert(sizeof(CallGraph::Node) == 32);
static_assert(sizeof(StoreRecord) <= 152);  // the graph, with its first computation slot

StoreSection StoreSection::refuse(Access access) noexcept {
    raise_panic(access == Access::Write ? "Already borrowed" : "Already mutably borrowed");
    return StoreSection(nullptr);
}

NodePosition add_unregistered_node(StoreRecord& store_record, CallHash hash, const BoundCallRef& call) {
    return store_record.graph.add_node(hash, BoundCallRef(call));
}

}  // namespace lineage_store
