// Unit tests for lineage_store::MethodDependencyGraph (header-only, no Python).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/dependency_graph.h"

using lineage_store::ValidationState;
using Key = std::int64_t;
using lineage_store::NodePosition;

// The graph names calls by position; these tests name them by key, each key
// one call (the first node added with it), as a store whose keys never
// collide would. Everything goes through the graph's own position-based
// operations, the walk that updates and loads take above all.
class Graph : public lineage_store::MethodDependencyGraph<Key, std::string> {
public:
    bool contains_call(Key call) const {
        const NodePosition position = first_with_key(call);
        return position != lineage_store::kNoNode && node(position).has_state();
    }
    // A call without a state has never been registered and is never served.
    ValidationState state_of(Key call) const {
        const NodePosition position = first_with_key(call);
        return position == lineage_store::kNoNode ? ValidationState::PermanentlyInvalid : state_at(position);
    }
    // Registers a new call; returns the call value the node held before.
    [[nodiscard]] std::string add_call(Key call, std::string call_value, std::span<const Key> parents) {
        const NodePosition position = find_or_add(call);
        add_dependencies(call, parents);
        register_with_state(position, ValidationState::Invalid);
        return set_call_value(position, std::move(call_value));
    }
    void add_dependencies(Key child, std::span<const Key> parents) {
        if (parents.empty()) return;
        const NodePosition position = find_or_add(child);
        for (Key parent : parents) link(position, find_or_add(parent));
    }
    std::vector<Key> parents_of(Key call) const { return keys_at(call, &Graph::parents); }
    std::vector<Key> children_of(Key call) const { return keys_at(call, &Graph::children); }
    void permanently_invalidate(Key call) { permanently_invalidate_at(find_or_add(call)); }
    void validate(Key call) {
        const NodePosition position = first_with_key(call);
        if (position != lineage_store::kNoNode) validate_at(position);
    }
    void temporarily_invalidate(Key start) {
        // A key the graph has never met has no state and no descendants.
        const NodePosition position = first_with_key(start);
        if (position != lineage_store::kNoNode) temporarily_invalidate_from(position);
    }
    // The calls a walk from `start` reaches, in the walk's order, each as
    // often as the walk reached it. Every call reached must be Valid: the
    // walk asks about Valid calls only, and is told to keep them Valid.
    std::vector<Key> methods_to_invalidate(Key start) {
        const NodePosition position = first_with_key(start);
        if (position == lineage_store::kNoNode) return {start};
        std::vector<Key> reached;
        temporarily_invalidate_from(position, [&](NodePosition at) {
            reached.push_back(node(at).key());
            return true;
        });
        return reached;
    }
    // Gives every node a Valid state, registered or not.
    void validate_all() {
        for (std::size_t position = 0; position < size(); ++position) {
            register_with_state(static_cast<NodePosition>(position), ValidationState::Valid);
        }
    }
    [[nodiscard]] std::string store_value(Key call, std::string value) {
        return store_value_at(find_or_add(call), std::move(value));
    }

private:
    NodePosition find_or_add(Key key) {
        const NodePosition position = first_with_key(key);
        return position != lineage_store::kNoNode ? position : add_node(key);
    }
    using Ends = std::span<const NodePosition> (MethodDependencyGraph::*)(NodePosition) const noexcept;
    std::vector<Key> keys_at(Key call, Ends end) const {
        std::vector<Key> keys;
        const NodePosition position = first_with_key(call);
        if (position == lineage_store::kNoNode) return keys;
        for (NodePosition at : (this->*end)(position)) keys.push_back(node(at).key());
        return keys;
    }
};
using MaybeState = std::optional<ValidationState>;  // nullopt: edges only, no entry
constexpr auto kValid = ValidationState::Valid, kInvalid = ValidationState::Invalid;
constexpr auto kPerm = ValidationState::PermanentlyInvalid;
constexpr MaybeState kNone;

static std::span<const Key> keys(std::initializer_list<Key> list) { return {list.begin(), list.size()}; }

static void put(Graph& g, Key call, MaybeState state, std::initializer_list<Key> parents = {}) {
    if (!state) return g.add_dependencies(call, keys(parents));
    EXPECT_EQ(g.add_call(call, "call" + std::to_string(call), keys(parents)), "");
    EXPECT_EQ(g.state_of(call), kInvalid);  // a new call starts Invalid
    if (*state == kValid) g.validate(call);
    if (*state == kPerm) g.permanently_invalidate(call);
}

static MaybeState state(const Graph& g, Key k) { return g.contains_call(k) ? MaybeState(g.state_of(k)) : kNone; }

TEST(DependencyGraph, ParentsOfAgreesWithScanOfChildren) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<Key> node(-12, 12);
        Graph g;
        for (int i = 0; i < 80; ++i) {
            std::vector<Key> parents(rng() % 4);  // may repeat a parent
            for (Key& p : parents) p = node(rng);
            Key child = node(rng);
            if (i % 2 == 0 && !g.contains_call(child)) (void)g.add_call(child, "v", parents);
            else g.add_dependencies(child, parents);
        }
        for (Key call = -13; call <= 13; ++call) {
            std::multiset<Key> expected;
            for (Key parent = -13; parent <= 13; ++parent) {
                for (Key child : g.children_of(parent))
                    if (child == call) expected.insert(parent);
            }
            std::vector<Key> actual = g.parents_of(call);
            EXPECT_EQ(std::multiset<Key>(actual.begin(), actual.end()), expected) << "seed " << seed << ", " << call;
        }
    }
}

TEST(DependencyGraph, MethodsToInvalidateListsStartFirstThenEveryReachableCallOnce) {
    struct Case {
        const char* name;
        std::vector<std::pair<Key, Key>> edges;
        Key start;
        std::set<Key> reached;
    };
    for (const Case& c : std::vector<Case>{{"EmptyGraph", {}, 5, {5}},
                                           {"UnknownStart", {{1, 2}}, 9, {9}},
                                           {"SelfLoop", {{1, 1}}, 1, {1}},
                                           {"Chain", {{1, 2}, {2, 3}, {3, 4}}, 2, {2, 3, 4}},
                                           {"Cycle", {{1, 2}, {2, 1}}, 1, {1, 2}},
                                           {"Diamond", {{1, 2}, {1, 3}, {2, 4}, {3, 4}}, 1, {1, 2, 3, 4}},
                                           {"CycleBackToStart", {{1, 2}, {2, 3}, {3, 1}, {3, 4}}, 2, {1, 2, 3, 4}}}) {
        Graph g;
        for (auto [parent, child] : c.edges) g.add_dependencies(child, keys({parent}));
        g.validate_all();
        std::vector<Key> order = g.methods_to_invalidate(c.start);
        EXPECT_EQ(order.at(0), c.start) << c.name;
        EXPECT_EQ(order.size(), c.reached.size()) << c.name << ": a call was listed twice";
        EXPECT_EQ(std::set<Key>(order.begin(), order.end()), c.reached) << c.name;
    }
}

TEST(DependencyGraph, StateTransitionTable) {
    const MaybeState from[] = {kNone, kValid, kInvalid, kPerm};
    const MaybeState to[4][4] = {
        // columns: validate, walk from it, walk from its parent, permanently invalidate
        {kNone, kNone, kNone, kPerm},
        {kValid, kInvalid, kInvalid, kPerm},
        {kValid, kInvalid, kInvalid, kPerm},  // from Valid, from Invalid
        {kPerm, kPerm, kPerm, kPerm},
    };
    const Key parent = 1, call = 2;
    for (int i = 0; i < 16; ++i) {
        const int row = i / 4, op = i % 4;
        Graph g;
        put(g, parent, kValid);
        put(g, call, from[row], {parent});
        if (op == 0) g.validate(call);
        if (op == 1 || op == 2) g.temporarily_invalidate(op == 1 ? call : parent);
        if (op == 3) g.permanently_invalidate(call);
        EXPECT_EQ(state(g, call), to[row][op]) << "from row " << row << ", operation " << op;
    }
}

TEST(DependencyGraph, ValidGrandchildBehindNonValidCallIsInvalidated) {
    for (MaybeState middle_state : {MaybeState(kInvalid), MaybeState(kPerm), kNone}) {
        Graph g;
        const Key start = 1, middle = 2, grandchild = 3;
        put(g, start, kValid);
        put(g, middle, middle_state, {start});
        put(g, grandchild, kValid, {middle});
        g.temporarily_invalidate(start);
        EXPECT_EQ(state(g, start), kInvalid);
        EXPECT_EQ(state(g, grandchild), kInvalid);
        g.validate(grandchild);  // started from the non-Valid call itself: same outcome, no entry created
        g.temporarily_invalidate(middle);
        EXPECT_EQ(state(g, grandchild), kInvalid);
        EXPECT_EQ(state(g, middle), middle_state);
        EXPECT_EQ(g.state_of(middle), middle_state.value_or(kPerm));  // an unknown call is never served
    }
}

TEST(DependencyGraph, EndOfComputationReportsWhetherAWalkOrMarkReachedTheCall) {
    // Graph 1 -> 2 -> 3 and 1 -> 4; the computation is of 2. The action walks from `target` or marks it.
    struct Case {
        const char* name;
        Key target;
        bool mark;
        bool before_begin;
        bool marked;
    };
    for (const Case& c : std::vector<Case>{{"WalkFromUnrelated", 0, false, false, false},
                                           {"WalkFromCall", 2, false, false, true},
                                           {"WalkFromParent", 1, false, false, true},
                                           {"ExplicitMark", 2, true, false, true},
                                           {"WalkFromChild", 3, false, false, false},
                                           {"WalkFromSibling", 4, false, false, false},
                                           {"MarkOtherCall", 3, true, false, false},
                                           {"WalkBeforeBegin", 1, false, true, false},
                                           {"MarkBeforeBegin", 2, true, true, false}}) {
        Graph g;
        for (auto [from, to] : {std::pair<Key, Key>{1, 2}, {2, 3}, {1, 4}}) g.add_dependencies(to, keys({from}));
        auto act = [&] {
            c.mark ? g.mark_computations_of(g.first_with_key(c.target)) : g.temporarily_invalidate(c.target);
        };
        if (c.before_begin) act();
        const auto slot = g.begin_computation(g.first_with_key(2));
        if (!c.before_begin) act();
        EXPECT_EQ(g.end_computation(slot), c.marked) << c.name;
    }
}

TEST(DependencyGraph, OverlappingComputationsAreMarkedIndependently) {
    for (bool first_ends_first : {true, false}) {
        Graph g;
        const auto five = g.add_node(5), six = g.add_node(6);
        const auto first = g.begin_computation(five);
        g.mark_computations_of(five);  // only the first is running
        const auto second = g.begin_computation(five), third = g.begin_computation(five);
        const auto other = g.begin_computation(six);
        EXPECT_EQ(g.running_count(), 4u);
        EXPECT_EQ(g.end_computation(first_ends_first ? first : second), first_ends_first);
        EXPECT_EQ(g.end_computation(first_ends_first ? second : first), !first_ends_first);
        g.temporarily_invalidate(5);  // third still running
        EXPECT_TRUE(g.end_computation(third)) << first_ends_first;
        EXPECT_FALSE(g.node(five).is_computing());
        const auto fourth = g.begin_computation(five);  // every computation of 5 ended: starts unmarked
        EXPECT_FALSE(g.end_computation(fourth)) << first_ends_first;
        g.mark_all_computations();  // what emptying the cache does
        EXPECT_TRUE(g.end_computation(other)) << first_ends_first;
        EXPECT_EQ(g.running_count(), 0u);
    }
}

TEST(DependencyGraph, NodesSharingAKeyAreCallsOfTheirOwn) {
    // Below and above the size at which the graph starts indexing its keys.
    for (int padding : {0, 20}) {
        Graph g;
        for (Key k = 100; k < 100 + padding; ++k) (void)g.add_node(k);
        const auto placeholder = g.add_node(7, std::string("declared"));
        const auto first = g.add_node(7, std::string("first"));
        const auto second = g.add_node(7, std::string("second"));
        EXPECT_EQ(g.first_with_key(7), placeholder) << padding;  // none registered yet: the first added
        g.register_with_state(second, kValid);
        g.register_with_state(first, kInvalid);
        EXPECT_EQ(g.first_with_key(7), first) << padding;  // the first registered
        std::set<lineage_store::NodePosition> found;
        g.find(7, [&](lineage_store::NodePosition at) { return found.insert(at), false; });
        EXPECT_EQ(found, (std::set<lineage_store::NodePosition>{placeholder, first, second})) << padding;
        g.link(first, placeholder);
        g.temporarily_invalidate_from(placeholder);  // reaches first only
        EXPECT_EQ(g.state_at(second), kValid) << padding;
        EXPECT_TRUE(g.depends_on(first, placeholder) && !g.depends_on(second, placeholder)) << padding;
        EXPECT_EQ(g.set_call_value(placeholder, "taken up"), "declared") << padding;
    }
}

TEST(DependencyGraph, EdgesStayUniqueAndMirroredAtEveryListSize) {
    // Hubs with many parents and many children push both ends of an edge
    // past the inline and the unindexed list sizes; duplicates are frequent.
    for (unsigned seed : {7u, 8u, 9u}) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<Key> node(0, 79);
        std::map<Key, std::set<Key>> expected;  // parent -> children
        Graph g;
        for (int i = 0; i < 6000; ++i) {
            Key parent = i % 3 == 0 ? node(rng) % 4 : node(rng), child = i % 5 == 0 ? 4 + node(rng) % 4 : node(rng);
            if (i % 7 == 0 && !g.contains_call(child)) (void)g.add_call(child, "v", keys({parent}));
            else g.add_dependencies(child, keys({parent}));
            expected[parent].insert(child);
        }
        for (Key call = 0; call < 80; ++call) {
            std::vector<Key> children = g.children_of(call), parents = g.parents_of(call);
            std::set<Key> expected_parents;
            for (const auto& [parent, members] : expected)
                if (members.contains(call)) expected_parents.insert(parent);
            EXPECT_EQ(std::multiset<Key>(children.begin(), children.end()),
                      std::multiset<Key>(expected[call].begin(), expected[call].end()))
                << "seed " << seed << ", " << call;
            EXPECT_EQ(std::multiset<Key>(parents.begin(), parents.end()),
                      std::multiset<Key>(expected_parents.begin(), expected_parents.end()))
                << "seed " << seed << ", " << call;
        }
    }
}

TEST(DependencyGraph, EveryKeyIsFoundAfterTheIndexGrows) {
    // Keys alike in their low or high bits, negative keys, and a key equal to a free slot's mark.
    std::vector<Key> all;
    for (Key i = 0; i < 4000; ++i) all.insert(all.end(), {i << 32, -i - 1, i * 0x10000, (i << 40) | 0xFFFFFFFF});
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    Graph g;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i % 2 == 0) (void)g.add_call(all[i], "call", {});
        else (void)g.store_value(all[i], "value" + std::to_string(i));
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto position = g.first_with_key(all[i]);
        ASSERT_NE(position, lineage_store::kNoNode) << all[i];
        EXPECT_EQ(g.node(position).key(), all[i]);
        EXPECT_EQ(g.contains_call(all[i]), i % 2 == 0) << all[i];
    }
    EXPECT_EQ(g.first_with_key(12345), lineage_store::kNoNode);
    EXPECT_EQ(g.size(), all.size());
}

TEST(DependencyGraph, StoredValuesKeepToTheirOwnCall) {
    struct Case {
        const char* name;
        MaybeState state;
    };
    for (const Case& c : std::vector<Case>{{"Unregistered", kNone},
                                           {"Valid", kValid},
                                           {"Invalid", kInvalid},
                                           {"PermanentlyInvalid", kPerm}}) {
        Graph g;
        put(g, 1, kValid);
        put(g, 2, c.state, {1});
        EXPECT_EQ(g.store_value(2, "two"), "") << c.name;
        EXPECT_EQ(g.store_value(2, "second"), "two") << c.name;
        EXPECT_EQ(g.node(g.first_with_key(1)).stored_value(), nullptr) << c.name;
        EXPECT_EQ(state(g, 2), c.state) << c.name;  // storing touches no state
        if (!c.state) {  // registering a call that already has a value keeps the value
            EXPECT_EQ(g.add_call(2, "call2", {}), "") << c.name;
            EXPECT_EQ(*g.node(g.first_with_key(2)).call_value(), "call2") << c.name;
        }
        std::vector<std::string> taken;
        g.take_stored_values(taken);
        EXPECT_EQ(taken, std::vector<std::string>{"second"}) << c.name;
        EXPECT_EQ(g.node(g.first_with_key(2)).stored_value(), nullptr) << c.name;
        EXPECT_EQ(g.children_of(1), std::vector<Key>{2}) << c.name;  // the graph itself stays
    }
}

TEST(DependencyGraph, WalksStayCorrectWhenTheirMarksStartOver) {
    // Walk marks are 24 bits wide: this many walks make them start over at
    // least once. A cycle would loop forever if a stale mark went unnoticed.
    Graph g;
    put(g, 1, kValid);
    put(g, 2, kValid, {1});
    g.add_dependencies(1, keys({2}));
    for (int walk = 0; walk < (1 << 24) + 3; ++walk) g.temporarily_invalidate(2);
    put(g, 3, kValid, {2});
    g.validate_all();
    EXPECT_EQ(g.methods_to_invalidate(1), (std::vector<Key>{1, 2, 3}));
    g.temporarily_invalidate(1);
    EXPECT_EQ(state(g, 1), kInvalid);
    EXPECT_EQ(state(g, 3), kInvalid);
}

TEST(DependencyGraph, CallsMarkedBeforeTheMarksStartOverAreReachedAgainAtTheSameMark) {
    // Marks are 24 bits wide and never 0, so every 2^24 - 1 walks a walk gets
    // the mark of the walk that many walks before it. The calls that earlier
    // walk reached, and no walk reached since, must not look reached already.
    constexpr int kWalksPerRound = (1 << 24) - 1;
    Graph g;
    put(g, 1, kValid);
    put(g, 2, kValid, {1});
    put(g, 3, kValid, {2});
    put(g, 10, kValid);  // reaches nothing of the chain
    EXPECT_EQ(g.methods_to_invalidate(1), (std::vector<Key>{1, 2, 3}));
    for (int walk = 1; walk < kWalksPerRound; ++walk) g.temporarily_invalidate(10);
    EXPECT_EQ(g.methods_to_invalidate(1), (std::vector<Key>{1, 2, 3}));
    g.temporarily_invalidate(1);  // the walk after: a mark the chain has never had
    EXPECT_EQ(state(g, 3), kInvalid);
}

TEST(DependencyGraph, AWalkKeepsValidWhatItIsToldToAndGoesOnThroughIt) {
    // What a load does: the calls it loads stay Valid, their descendants do not.
    Graph g;
    put(g, 1, kValid);
    put(g, 2, kValid, {1});
    put(g, 3, kValid, {2});
    put(g, 4, kValid);
    const NodePosition kept = g.first_with_key(2);
    g.temporarily_invalidate_from(g.first_with_key(1), [&](NodePosition at) { return at == kept; });
    EXPECT_EQ(state(g, 1), kInvalid);
    EXPECT_EQ(state(g, 2), kValid);
    EXPECT_EQ(state(g, 3), kInvalid);
    EXPECT_EQ(state(g, 4), kValid);
}

TEST(DependencyGraph, ConcludingStoresOnlyWhatItsParentsAndItsRunAllow) {
    // The computation of 2, which depends on 1; `parent` is 1's state when it ends.
    struct Case {
        const char* name;
        ValidationState parent;
        bool stores;
        bool walked_meanwhile;
        ValidationState after;
    };
    for (const Case& c :
         std::vector<Case>{{"ValidParent", ValidationState::Valid, true, false, ValidationState::Valid},
                           {"InvalidParent", ValidationState::Invalid, true, false, ValidationState::Invalid},
                           {"PermanentlyInvalidParent", ValidationState::PermanentlyInvalid, true, false,
                            ValidationState::PermanentlyInvalid},
                           {"NeverStores", ValidationState::Valid, false, false, ValidationState::PermanentlyInvalid},
                           {"WalkedWhileRunning", ValidationState::Valid, true, true, ValidationState::Invalid}}) {
        Graph g;
        (void)g.add_call(1, "one", {});
        (void)g.add_call(2, "two", keys({1}));
        if (c.parent == ValidationState::Valid) g.validate(1);
        if (c.parent == ValidationState::PermanentlyInvalid) g.permanently_invalidate(1);
        const NodePosition position = g.first_with_key(2);
        const auto slot = g.begin_computation(position);
        if (c.walked_meanwhile) g.temporarily_invalidate(2);
        bool overlapped = false;
        std::string value = "result";
        (void)g.conclude(slot, position, c.stores, overlapped, value);
        EXPECT_EQ(g.state_of(2), c.after) << c.name;
        EXPECT_EQ(g.node(position).stored_value() != nullptr, c.after == ValidationState::Valid) << c.name;
        EXPECT_EQ(overlapped, c.walked_meanwhile) << c.name;
        EXPECT_EQ(g.running_count(), 0u) << c.name;
    }
}

TEST(DependencyGraph, TheInnermostTaggedComputationIsTheLatestOfItsOwnContext) {
    Graph g;
    int here = 0, elsewhere = 0, owner = 0;
    std::vector<Graph::ComputationSlot> slots;
    for (Key call : {1, 2, 3}) {
        (void)g.add_call(call, "call", {});
        slots.push_back(g.begin_computation(g.first_with_key(call)));
    }
    g.tag_computation(slots[0], &here, &owner);
    g.tag_computation(slots[1], &here, &owner);
    g.tag_computation(slots[2], &elsewhere, &owner);
    const auto any = [](NodePosition) { return true; };
    EXPECT_EQ(g.innermost_in(&here, any), static_cast<std::int64_t>(slots[1]));
    EXPECT_EQ(g.innermost_in(&here, [&](NodePosition p) { return p == g.first_with_key(1); }),
              static_cast<std::int64_t>(slots[0]));
    EXPECT_EQ(g.innermost_in(&elsewhere, any), static_cast<std::int64_t>(slots[2]));
    (void)g.end_computation(slots[1]);
    EXPECT_EQ(g.innermost_in(&here, any), static_cast<std::int64_t>(slots[0]));
    (void)g.end_computation(slots[0]);
    EXPECT_FALSE(g.any_in(&here));
    EXPECT_TRUE(g.any_in(&elsewhere));
}
