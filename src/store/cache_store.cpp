// cache_store.cpp: the section guard and lookups of the cache store.
#include "store/cache_store.h"

#include <memory>

#include "python/python_boundary.h"

namespace lineage_store {

// A call costs one node, and its bound call beside it; a store that has
// recorded something, its record too, which holds its first node.
static_assert(sizeof(CallGraph::Node) == 32);
static_assert(sizeof(StoreRecord) <= 112);

StoreSection StoreSection::refuse(Access access) noexcept {
    raise_panic(access == Access::Write ? "Already borrowed" : "Already mutably borrowed");
    return StoreSection(nullptr);
}

NodePosition first_registered(const StoreRecord& record, CallHash hash) noexcept {
    NodePosition first = kNoNode;
    record.graph.find(hash, [&](NodePosition position) {
        if (record.graph.node(position).is_registered() && position < first) first = position;
        return false;
    });
    return first;
}

NodePosition add_unregistered_node(StoreRecord& record, CallHash hash, const BoundCallRef& call) {
    return record.graph.add_node(hash, BoundCallRef(call));
}

}  // namespace lineage_store
