// Unit tests for lineage_store::MethodDependencyGraph (header-only, no Python).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dependency_graph.h"

namespace {

using lineage_store::MethodDependencyGraph;
using lineage_store::ValidationState;
using Key = std::int64_t;
using Graph = MethodDependencyGraph<Key, std::string>;
using Edges = std::vector<std::pair<Key, Key>>;  // {parent, child}
constexpr auto kValid = ValidationState::Valid;
constexpr auto kInvalid = ValidationState::Invalid;
constexpr auto kPerm = ValidationState::PermanentlyInvalid;

std::span<const Key> keys(std::initializer_list<Key> list) { return {list.begin(), list.size()}; }

void reg(Graph& g, Key h, std::initializer_list<Key> parents = {}) {
    EXPECT_EQ(g.add_call(h, "call" + std::to_string(h), keys(parents)), "");
}

void reg_valid(Graph& g, Key h, std::initializer_list<Key> parents = {}) {
    reg(g, h, parents);
    g.validate(h);
}

void link(Graph& g, const Edges& edges) {
    for (auto [parent, child] : edges) g.add_dependencies(child, keys({parent}));
}

TEST(DependencyGraph, RegistrationStoresValueAndStartsInvalid) {
    Graph g;
    EXPECT_FALSE(g.contains_call(7));
    EXPECT_EQ(g.state_of(7), kPerm);
    reg(g, 7);
    EXPECT_TRUE(g.contains_call(7));
    EXPECT_EQ(g.state_of(7), kInvalid);
    EXPECT_EQ(g.call_values().at(7), "call7");
    EXPECT_TRUE(g.children().at(7).empty());
}

TEST(DependencyGraph, MoveOnlyValueIsMovedNotCopied) {
    MethodDependencyGraph<Key, std::unique_ptr<int>> g;  // compiles only if values are never copied
    auto value = std::make_unique<int>(42);
    const int* address = value.get();
    EXPECT_EQ(g.add_call(1, std::move(value), {}), nullptr);
    EXPECT_EQ(g.call_values().at(1).get(), address);
}

TEST(DependencyGraph, AddDependenciesIsIdempotentAndCreatesChildEntries) {
    Graph g;
    g.add_dependencies(2, keys({1, 1}));
    g.add_dependencies(2, keys({1}));
    EXPECT_EQ(g.children().at(1), Graph::KeySet{2});
    EXPECT_TRUE(g.children().at(2).empty());
    EXPECT_EQ(g.parents_of(2), std::vector<Key>{1});
    EXPECT_TRUE(g.parents_of(1).empty());
    EXPECT_FALSE(g.contains_call(1));  // edges alone register nothing
    EXPECT_FALSE(g.contains_call(2));
}

TEST(DependencyGraph, ParentsOfAgreesWithScanOfChildren) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<Key> node(-12, 12);
        Graph g;
        for (int i = 0; i < 80; ++i) {
            std::vector<Key> parents(rng() % 4);
            for (Key& p : parents) p = node(rng);
            Key child = node(rng);
            if (i % 2 == 0 && !g.contains_call(child)) {
                (void)g.add_call(child, "v", parents);
            } else {
                g.add_dependencies(child, parents);
            }
        }
        for (Key h = -13; h <= 13; ++h) {
            std::multiset<Key> expected;
            for (const auto& [parent, children] : g.children()) {
                if (children.contains(h)) expected.insert(parent);
            }
            std::vector<Key> actual = g.parents_of(h);
            EXPECT_EQ(std::multiset<Key>(actual.begin(), actual.end()), expected) << "seed " << seed << " key " << h;
        }
    }
}

struct WalkCase {
    const char* name;
    Edges edges;
    Key start;
    std::set<Key> reached;
};
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class MethodsToInvalidate : public testing::TestWithParam<WalkCase> {};

TEST_P(MethodsToInvalidate, StartFirstThenEveryReachableCallOnce) {
    const WalkCase& c = GetParam();
    Graph g;
    link(g, c.edges);
    std::vector<Key> order = g.methods_to_invalidate(c.start);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), c.start);
    EXPECT_EQ(order.size(), c.reached.size()) << "a call was listed twice";
    EXPECT_EQ(std::set<Key>(order.begin(), order.end()), c.reached);
}

INSTANTIATE_TEST_SUITE_P(
    Graphs, MethodsToInvalidate,
    testing::Values(WalkCase{"EmptyGraph", {}, 5, {5}},
                    WalkCase{"UnknownStart", {{1, 2}}, 9, {9}},
                    WalkCase{"Leaf", {{1, 2}}, 2, {2}},
                    WalkCase{"Chain", {{1, 2}, {2, 3}, {3, 4}}, 2, {2, 3, 4}},
                    WalkCase{"Cycle", {{1, 2}, {2, 1}}, 1, {1, 2}},
                    WalkCase{"SelfLoop", {{1, 1}}, 1, {1}},
                    WalkCase{"Diamond", {{1, 2}, {1, 3}, {2, 4}, {3, 4}}, 1, {1, 2, 3, 4}},
                    WalkCase{"CycleBackToStart", {{1, 2}, {2, 3}, {3, 1}, {3, 4}}, 2, {1, 2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DependencyGraph, MethodsToInvalidateIsDepthFirst) {
    // In a tree, a depth-first order lists each subtree contiguously.
    Graph g;
    link(g, {{1, 2}, {1, 3}, {2, 4}, {2, 5}, {3, 6}, {3, 7}});
    std::vector<Key> order = g.methods_to_invalidate(1);
    ASSERT_EQ(order.size(), 7u);
    for (auto [root, subtree] : {std::pair<Key, std::set<Key>>{2, {2, 4, 5}}, {3, {3, 6, 7}}}) {
        auto at = std::ranges::find(order, root);
        ASSERT_NE(at, order.end());
        ASSERT_LE(at + 3, order.end());
        EXPECT_EQ(std::set<Key>(at, at + 3), subtree) << "subtree of " << root << " interleaved";
    }
}

enum class Op { Validate, TempAsStart, TempViaParent, Perm };
using MaybeState = std::optional<ValidationState>;  // nullopt: no entry

TEST(DependencyGraph, StateTransitionTable) {
    struct Row { MaybeState from; Op op; MaybeState to; };
    const std::vector<Row> table = {
        {std::nullopt, Op::Validate, std::nullopt},  {std::nullopt, Op::TempAsStart, std::nullopt},
        {std::nullopt, Op::TempViaParent, std::nullopt}, {std::nullopt, Op::Perm, kPerm},
        {kValid, Op::Validate, kValid},     {kValid, Op::TempAsStart, kInvalid},
        {kValid, Op::TempViaParent, kInvalid}, {kValid, Op::Perm, kPerm},
        {kInvalid, Op::Validate, kValid},   {kInvalid, Op::TempAsStart, kInvalid},
        {kInvalid, Op::TempViaParent, kInvalid}, {kInvalid, Op::Perm, kPerm},
        {kPerm, Op::Validate, kPerm},       {kPerm, Op::TempAsStart, kPerm},
        {kPerm, Op::TempViaParent, kPerm},  {kPerm, Op::Perm, kPerm},
    };
    const Key parent = 1, h = 2;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Row& row = table[i];
        Graph g;
        reg_valid(g, parent);
        if (row.from) {
            reg(g, h, {parent});
            if (*row.from == kValid) g.validate(h);
            if (*row.from == kPerm) g.permanently_invalidate(h);
        } else {
            g.add_dependencies(h, keys({parent}));
        }
        switch (row.op) {
            case Op::Validate: g.validate(h); break;
            case Op::TempAsStart: g.temporarily_invalidate(h); break;
            case Op::TempViaParent: g.temporarily_invalidate(parent); break;
            case Op::Perm: g.permanently_invalidate(h); break;
        }
        MaybeState now = g.contains_call(h) ? MaybeState(g.state_of(h)) : std::nullopt;
        EXPECT_EQ(now, row.to) << "row " << i;
    }
}

class WalkThrough : public testing::TestWithParam<MaybeState> {};

TEST_P(WalkThrough, ValidGrandchildBehindNonValidCallIsInvalidated) {
    Graph g;
    const Key start = 1, middle = 2, grandchild = 3;
    reg_valid(g, start);
    if (GetParam()) {
        reg(g, middle, {start});
        if (*GetParam() == kPerm) g.permanently_invalidate(middle);
    } else {
        g.add_dependencies(middle, keys({start}));
    }
    reg_valid(g, grandchild, {middle});
    g.temporarily_invalidate(start);
    EXPECT_EQ(g.state_of(start), kInvalid);
    EXPECT_EQ(g.state_of(grandchild), kInvalid);
    // Started from the non-Valid call itself: same outcome, no entry created.
    g.validate(grandchild);
    g.temporarily_invalidate(middle);
    EXPECT_EQ(g.state_of(grandchild), kInvalid);
    EXPECT_EQ(g.contains_call(middle), GetParam().has_value());
    EXPECT_EQ(g.state_of(middle), GetParam().value_or(kPerm));
}

INSTANTIATE_TEST_SUITE_P(MiddleState, WalkThrough, testing::Values(MaybeState(kInvalid), MaybeState(kPerm), std::nullopt));

// Graph for the mark tests: 1 -> 2 -> 3, and 1 -> 4. The computation is of 2.
struct MarkCase {
    const char* name;
    void (*between)(Graph&);  // runs between begin and end
    void (*before)(Graph&);   // runs before begin
    bool marked;
};
void PrintTo(const MarkCase& c, std::ostream* os) { *os << c.name; }

class ComputationMarks : public testing::TestWithParam<MarkCase> {};

TEST_P(ComputationMarks, EndReportsWhetherAWalkReachedTheCall) {
    Graph g;
    link(g, {{1, 2}, {2, 3}, {1, 4}});
    GetParam().before(g);
    std::uint64_t token = g.begin_computation(2);
    GetParam().between(g);
    EXPECT_EQ(g.end_computation(2, token), GetParam().marked);
}

void nothing(Graph&) {}
INSTANTIATE_TEST_SUITE_P(
    Walks, ComputationMarks,
    testing::Values(MarkCase{"Nothing", nothing, nothing, false},
                    MarkCase{"WalkFromCall", [](Graph& g) { g.temporarily_invalidate(2); }, nothing, true},
                    MarkCase{"WalkFromParent", [](Graph& g) { g.temporarily_invalidate(1); }, nothing, true},
                    MarkCase{"ExplicitMark", [](Graph& g) { g.mark_computation(2); }, nothing, true},
                    MarkCase{"WalkFromChild", [](Graph& g) { g.temporarily_invalidate(3); }, nothing, false},
                    MarkCase{"WalkFromSibling", [](Graph& g) { g.temporarily_invalidate(4); }, nothing, false},
                    MarkCase{"MarkOtherCall", [](Graph& g) { g.mark_computation(3); }, nothing, false},
                    MarkCase{"WalkBeforeBegin", nothing, [](Graph& g) { g.temporarily_invalidate(1); }, false},
                    MarkCase{"MarkBeforeBegin", nothing, [](Graph& g) { g.mark_computation(2); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DependencyGraph, OverlappingComputationsAreMarkedIndependently) {
    for (bool first_ends_first : {true, false}) {
        Graph g;
        std::uint64_t first = g.begin_computation(5);
        g.mark_computation(5);  // only the first is running
        std::uint64_t second = g.begin_computation(5);
        std::uint64_t third = g.begin_computation(5);
        std::uint64_t ends_first = first_ends_first ? first : second;
        std::uint64_t ends_second = first_ends_first ? second : first;
        EXPECT_EQ(g.end_computation(5, ends_first), first_ends_first) << "the first one alone was marked";
        EXPECT_EQ(g.end_computation(5, ends_second), !first_ends_first) << "the first one alone was marked";
        g.temporarily_invalidate(5);  // third still running
        EXPECT_TRUE(g.end_computation(5, third)) << first_ends_first;
        // Every computation of 5 has ended: the next one starts unmarked.
        std::uint64_t fourth = g.begin_computation(5);
        EXPECT_FALSE(g.end_computation(5, fourth)) << first_ends_first;
    }
}

}  // namespace
