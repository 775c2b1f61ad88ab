#include "snapshot/snapshot.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bitset/bitset.hpp"
#include "common/errors.hpp"

namespace kestrilune {
namespace {

using Words = std::vector<std::uint64_t>;
using Lengths = std::vector<double>;
using Names = std::vector<std::string>;

// "t1042" for ('t', 1042). Appending avoids a false -Wrestrict of g++ 12 on "t" + string.
std::string numbered(char prefix, std::size_t i) {
    std::string name(1, prefix);
    name += std::to_string(i);
    return name;
}

// ---------------------------------------------------------------------------------------
// Building trees. Nodes get ids in pre-order, as the Newick parser hands them out: a group
// before its children, children left to right.

struct Shape {
    std::optional<std::string> name;
    std::optional<double> length;
    std::vector<Shape> children;
};

Shape leaf(std::optional<std::string> name, std::optional<double> length = std::nullopt) {
    return Shape{std::move(name), length, {}};
}

Shape group(std::vector<Shape> children, std::optional<double> length = std::nullopt) {
    return Shape{std::nullopt, length, std::move(children)};
}

void add_children(Tree& tree, NodeId parent, const Shape& shape) {
    for (const Shape& child : shape.children) {
        Node node;
        node.name = child.name;
        const NodeId id = tree.add_child(std::move(node), parent, child.length).value();
        add_children(tree, id, child);
    }
}

Tree build(const Shape& root) {
    Tree tree;
    tree.nodes.emplace_back();
    tree.nodes[0].name = root.name;
    tree.nodes[0].parent_edge = root.length;
    add_children(tree, 0, root);
    return tree;
}

Snapshot snapshot(const Tree& tree, bool rooted) {
    Result<Snapshot, TreeError> r = Snapshot::from_tree(tree, rooted);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return std::move(r).value();
}

// Partitions as bit values plus lengths, for trees of at most 64 leaves.
void expect_snapshot(const Snapshot& s, const Words& values, const Lengths& lengths) {
    ASSERT_EQ(s.n_words, 1u);
    EXPECT_EQ(s.words, values);
    EXPECT_EQ(s.lengths, lengths);
    EXPECT_EQ(s.size(), s.lengths.size());
}

// ((A:1,B:1):2,(C:1,D:1):3);
Shape two_cherries() {
    return group({group({leaf("A", 1), leaf("B", 1)}, 2), group({leaf("C", 1), leaf("D", 1)}, 3)});
}

// ---------------------------------------------------------------------------------------
// Small trees in both modes

struct Case {
    const char* label;
    const char* newick;  // the same tree as text; nullptr when the parser cannot write it
    Shape tree;
    bool rooted;
    Words values;
    Lengths lengths;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

class SnapshotCases : public ::testing::TestWithParam<Case> {};

TEST_P(SnapshotCases, PartitionsAndLengths) {
    const Case& c = GetParam();
    expect_snapshot(snapshot(build(c.tree), c.rooted), c.values, c.lengths);
}

// Parsed trees number their nodes as build() does, so merged lengths add up in the same order.
TEST_P(SnapshotCases, ParsedTextGivesTheSame) {
    const Case& c = GetParam();
    if (c.newick == nullptr) {
        GTEST_SKIP() << "no Newick text for this tree";
    }
    const Result<Tree, NewickParseError> parsed = Tree::from_newick(c.newick);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
    expect_snapshot(snapshot(parsed.value(), c.rooted), c.values, c.lengths);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotCases,
    ::testing::Values(
        Case{"cherries_rooted", "((A:1,B:1):2,(C:1,D:1):3);", two_cherries(), true,
             {1, 2, 3, 4, 8, 12}, {1, 1, 2, 1, 1, 3}},
        // {A,B} holds leaf 0, becomes {C,D} and merges with the other root edge.
        Case{"cherries_unrooted", "((A:1,B:1):2,(C:1,D:1):3);", two_cherries(), false,
             {1, 2, 4, 8, 12}, {1, 1, 1, 1, 5}},
        // The root edge above {A,B} and C's pendant edge are one edge.
        Case{"all_but_one_unrooted", "((A:1,B:1):2,C:4);",
             group({group({leaf("A", 1), leaf("B", 1)}, 2), leaf("C", 4)}),
             false,
             {1, 2, 4},
             {1, 1, 6}},
        Case{"all_but_one_rooted", "((A:1,B:1):2,C:4);",
             group({group({leaf("A", 1), leaf("B", 1)}, 2), leaf("C", 4)}),
             true,
             {1, 2, 3, 4},
             {1, 1, 2, 4}},
        // The single-child group shares C's set.
        Case{"single_child_rooted", "((A:1,B:1):1,(C:2):3,D:1);",
             group({group({leaf("A", 1), leaf("B", 1)}, 1), group({leaf("C", 2)}, 3),
                    leaf("D", 1)}),
             true,
             {1, 2, 3, 4, 8},
             {1, 1, 1, 5, 1}},
        Case{"single_child_unrooted", "((A:1,B:1):1,(C:2):3,D:1);",
             group({group({leaf("A", 1), leaf("B", 1)}, 1), group({leaf("C", 2)}, 3),
                    leaf("D", 1)}),
             false,
             {1, 2, 4, 8, 12},
             {1, 1, 5, 1, 1}},
        Case{"no_lengths_rooted", "((A,B),(C,D));",
             group({group({leaf("A"), leaf("B")}), group({leaf("C"), leaf("D")})}),
             true,
             {1, 2, 3, 4, 8, 12},
             {0, 0, 0, 0, 0, 0}},
        // The root's own length belongs to no edge.
        Case{"root_length_rooted", "(A:1,B:2)R:5;",
             Shape{"R", 5, {leaf("A", 1), leaf("B", 2)}},
             true,
             {1, 2},
             {1, 2}},
        Case{"root_length_unrooted", "(A:1,B:2)R:5;",
             Shape{"R", 5, {leaf("A", 1), leaf("B", 2)}},
             false,
             {1, 2},
             {1, 2}},
        Case{"single_leaf_rooted", nullptr, leaf("A", 3), true, {}, {}},
        Case{"single_leaf_unrooted", nullptr, leaf("A", 3), false, {}, {}},
        Case{"star_unrooted", "(C:3,A:1,B:2);",
             group({leaf("C", 3), leaf("A", 1), leaf("B", 2)}),
             false,
             {1, 2, 4},
             {1, 2, 3}}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(SnapshotUnrooted, SameTreeRootedElsewhereGivesSamePartitions) {
    // ((A:1,B:1):2,(C:1,D:1):3);  against  (A:0.5,(B:1,(C:1,D:1):5):0.5);
    const Snapshot a = snapshot(build(two_cherries()), false);
    const Snapshot b = snapshot(
        build(group({leaf("A", 0.5),
                     group({leaf("B", 1), group({leaf("C", 1), leaf("D", 1)}, 5)}, 0.5)})),
        false);
    expect_snapshot(a, {1, 2, 4, 8, 12}, {1, 1, 1, 1, 5});
    EXPECT_EQ(b.words, a.words);
    EXPECT_EQ(b.lengths, a.lengths);
}

// ---------------------------------------------------------------------------------------
// Leaf names and leaf indices

TEST(SnapshotLeafNames, SortedByUnsignedBytes) {
    // "\xc3\xa9" is UTF-8 e-acute: its bytes sort after every ASCII letter.
    const Snapshot s = snapshot(build(group({leaf("B", 1), leaf("a", 2), leaf("\xc3\xa9", 3),
                                              leaf("AB", 4), leaf("z", 5), leaf("A", 6)})),
                                true);
    EXPECT_EQ(s.leaf_names, (Names{"A", "AB", "B", "a", "z", "\xc3\xa9"}));
    expect_snapshot(s, {1, 2, 4, 8, 16, 32}, {6, 4, 1, 2, 5, 3});
}

TEST(SnapshotLeafNames, UnnamedAndEqualNamesKeepNodeIdOrder) {
    // ((X:1,Y:1):1,X:2,:7);  the first X (node 2) is leaf 1, the second (node 4) leaf 2;
    // the unnamed leaf takes the empty name and comes first.
    const Snapshot s = snapshot(
        build(group({group({leaf("X", 1), leaf("Y", 1)}, 1), leaf("X", 2), leaf(std::nullopt, 7)})),
        true);
    EXPECT_EQ(s.leaf_names, (Names{"", "X", "X", "Y"}));
    expect_snapshot(s, {1, 2, 4, 8, 10}, {7, 1, 2, 1, 1});
}

TEST(SnapshotLeafNames, LeavesOutsideTheRootGroupCountButAddNoEdges) {
    // Two top-level groups, (C:3,B:2) and (A:1,D:4): the second is not below the root.
    Tree tree = build(group({leaf("C", 3), leaf("B", 2)}));
    tree.nodes.emplace_back();
    const NodeId other = tree.nodes.size() - 1;
    tree.nodes[other].id = other;
    for (auto [name, length] : {std::pair{"A", 1.0}, std::pair{"D", 4.0}}) {
        Node node;
        node.name = name;
        ASSERT_TRUE(tree.add_child(std::move(node), other, length).has_value());
    }
    const Snapshot rooted = snapshot(tree, true);
    EXPECT_EQ(rooted.leaf_names, (Names{"A", "B", "C", "D"}));
    expect_snapshot(rooted, {2, 4}, {2, 3});
    expect_snapshot(snapshot(tree, false), {2, 4}, {2, 3});
}

// ---------------------------------------------------------------------------------------
// More than one word per set

// A random rooted binary tree with integer lengths; leaf names are shuffled so that text
// order and name order differ.
Tree random_rooted_tree(std::size_t n_leaves, std::mt19937_64& rng) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < n_leaves; ++i) {
        names.push_back(numbered('t', 1000 + i));
    }
    std::shuffle(names.begin(), names.end(), rng);
    std::function<Shape(std::size_t, std::size_t)> make = [&](std::size_t begin,
                                                             std::size_t end) -> Shape {
        const double length = static_cast<double>(rng() % 9 + 1);
        if (end - begin == 1) {
            return leaf(names[begin], length);
        }
        const std::size_t mid = begin + 1 + rng() % (end - begin - 1);
        return group({make(begin, mid), make(mid, end)}, length);
    };
    return build(make(0, n_leaves));
}

// The clades of a rooted tree computed the slow way: leaf names below each node.
std::map<Bitset, double> reference_clades(const Tree& tree, const Names& sorted_names) {
    const std::size_t n_words = words_for_leaves(sorted_names.size());
    std::function<Bitset(NodeId)> below = [&](NodeId id) {
        Bitset b = Bitset::zeros(n_words);
        const Node& node = tree.nodes[id];
        if (node.children.empty()) {
            const auto it = std::find(sorted_names.begin(), sorted_names.end(), *node.name);
            b.set(static_cast<std::size_t>(it - sorted_names.begin()));
        }
        for (NodeId child : node.children) {
            b.union_with(below(child));
        }
        return b;
    };
    std::map<Bitset, double> clades;
    for (NodeId id = 1; id < tree.nodes.size(); ++id) {
        clades[below(id)] += tree.nodes[id].parent_edge.value_or(0.0);
    }
    return clades;
}

void expect_well_formed(const Snapshot& s, std::size_t n_leaves, bool rooted) {
    ASSERT_EQ(s.n_words, words_for_leaves(n_leaves));
    ASSERT_EQ(s.words.size(), s.size() * s.n_words);
    for (std::size_t k = 0; k < s.size(); ++k) {
        if (k > 0) {
            EXPECT_TRUE(compare_words(s.partition(k - 1), s.partition(k)) < 0) << "at " << k;
        }
        if (n_leaves % 64 != 0) {
            EXPECT_EQ(s.partition(k)[s.n_words - 1] >> (n_leaves % 64), 0u) << "padding at " << k;
        }
        if (!rooted && count_ones(s.partition(k)) > 1) {
            EXPECT_EQ(s.partition(k)[0] & 1u, 0u) << "leaf 0 in split " << k;
        }
    }
}

TEST(SnapshotWideSets, RootedMatchesSlowReference) {
    std::mt19937_64 rng(11);
    for (std::size_t n_leaves : {63u, 64u, 65u, 130u}) {
        const Tree tree = random_rooted_tree(n_leaves, rng);
        const Snapshot s = snapshot(tree, true);
        expect_well_formed(s, n_leaves, true);
        EXPECT_EQ(s.size(), 2 * n_leaves - 2);  // every clade of a binary tree is distinct
        const std::map<Bitset, double> clades = reference_clades(tree, s.leaf_names);
        ASSERT_EQ(clades.size(), s.size());
        std::size_t k = 0;
        for (const auto& [set, length] : clades) {
            EXPECT_TRUE(std::ranges::equal(set.words, s.partition(k))) << n_leaves << ": " << k;
            EXPECT_EQ(length, s.lengths[k]) << n_leaves << ": " << k;
            ++k;
        }
    }
}

// An unrooted binary tree as an edge list: vertices below n_leaves are the leaves
// (named "u<vertex>"), the others are inner vertices.
struct Unrooted {
    std::size_t n_leaves = 0;
    std::size_t n_vertices = 0;
    std::vector<std::tuple<std::size_t, std::size_t, double>> edges;  // u, v, length
};

Unrooted random_unrooted_tree(std::size_t n_leaves, std::mt19937_64& rng) {
    // Start from a star of three leaves; each further leaf splits a random edge.
    Unrooted t{n_leaves, n_leaves + 1, {}};
    auto length = [&rng] { return static_cast<double>(rng() % 9 + 1); };
    const std::size_t center = n_leaves;
    for (std::size_t leaf_v = 0; leaf_v < 3; ++leaf_v) {
        t.edges.emplace_back(leaf_v, center, length());
    }
    for (std::size_t leaf_v = 3; leaf_v < n_leaves; ++leaf_v) {
        auto& [u, v, len] = t.edges[rng() % t.edges.size()];
        const std::size_t mid = t.n_vertices++;
        const std::size_t old_v = v;
        v = mid;
        t.edges.emplace_back(mid, old_v, len);
        t.edges.emplace_back(mid, leaf_v, length());
    }
    return t;
}

std::string vertex_name(std::size_t v) { return numbered('u', 1000 + v); }

// Roots the tree in the middle of edge `root_edge`, each half taking half its length.
Tree root_on_edge(const Unrooted& t, std::size_t root_edge) {
    std::vector<std::vector<std::pair<std::size_t, double>>> adjacent(t.n_vertices);
    for (const auto& [u, v, len] : t.edges) {
        adjacent[u].emplace_back(v, len);
        adjacent[v].emplace_back(u, len);
    }
    const auto& [ru, rv, rlen] = t.edges[root_edge];
    std::function<Shape(std::size_t, std::size_t, double)> grow = [&](std::size_t v,
                                                                     std::size_t from,
                                                                     double len) -> Shape {
        Shape shape{v < t.n_leaves ? std::optional(vertex_name(v)) : std::nullopt, len, {}};
        for (const auto& [w, wlen] : adjacent[v]) {
            if (w != from) {
                shape.children.push_back(grow(w, v, wlen));
            }
        }
        return shape;
    };
    return build(group({grow(ru, rv, rlen / 2), grow(rv, ru, rlen / 2)}));
}

// Each edge of the unrooted tree as a split: the one-leaf set for a pendant edge, else the
// side without leaf 0 (vertex 0 is the leaf with the smallest name).
std::map<Bitset, double> reference_splits(const Unrooted& t) {
    const std::size_t n_words = words_for_leaves(t.n_leaves);
    std::map<Bitset, double> splits;
    for (std::size_t e = 0; e < t.edges.size(); ++e) {
        const auto& [u, v, len] = t.edges[e];
        // The leaves on v's side: those below v when rooted on this edge.
        const Tree rooted = root_on_edge(t, e);
        const NodeId v_side = rooted.nodes[0].children[1];
        Bitset side = Bitset::zeros(n_words);
        std::vector<NodeId> todo = {v_side};
        while (!todo.empty()) {
            const Node& node = rooted.nodes[todo.back()];
            todo.pop_back();
            if (node.children.empty()) {
                side.set(std::stoul(node.name->substr(1)) - 1000);
            }
            todo.insert(todo.end(), node.children.begin(), node.children.end());
        }
        if (side.count_ones() != 1 && (side.has_first_leaf() || u < t.n_leaves)) {
            side = side.complement(t.n_leaves);
        }
        splits.emplace(std::move(side), len);
    }
    return splits;
}

TEST(SnapshotWideSets, UnrootedIsTheSameForEveryRootPosition) {
    std::mt19937_64 rng(5);
    for (std::size_t n_leaves : {5u, 64u, 130u}) {
        const Unrooted t = random_unrooted_tree(n_leaves, rng);
        const std::map<Bitset, double> splits = reference_splits(t);
        ASSERT_EQ(splits.size(), 2 * n_leaves - 3);
        for (std::size_t e = 0; e < t.edges.size(); ++e) {
            const Snapshot s = snapshot(root_on_edge(t, e), false);
            expect_well_formed(s, n_leaves, false);
            ASSERT_EQ(s.size(), splits.size()) << n_leaves << " leaves, root edge " << e;
            std::size_t k = 0;
            for (const auto& [set, length] : splits) {
                EXPECT_TRUE(std::ranges::equal(set.words, s.partition(k)))
                    << n_leaves << " leaves, root edge " << e << ", split " << k;
                EXPECT_EQ(length, s.lengths[k])
                    << n_leaves << " leaves, root edge " << e << ", split " << k;
                ++k;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Deep trees on a thread with a small stack

void run_on_small_stack(const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// (L0:1,(L1:1,(L2:1,...(Ln-2:1,Ln-1:1):1...):1):1);  as deep as it has leaves.
Tree caterpillar(std::size_t n_leaves) {
    Tree tree;
    tree.nodes.emplace_back();
    NodeId spine = 0;
    for (std::size_t i = 0; i < n_leaves; ++i) {
        Node node;
        node.name = numbered('L', 100000 + i);
        tree.add_child(std::move(node), spine, 1.0).value();
        if (i + 2 < n_leaves) {
            spine = tree.add_child(Node{}, spine, 1.0).value();
        }
    }
    return tree;
}

TEST(SnapshotDeepTrees, CaterpillarOnSmallStack) {
    const std::size_t n = 10000;
    const Tree tree = caterpillar(n);
    std::optional<Snapshot> rooted;
    std::optional<Snapshot> unrooted;
    run_on_small_stack([&] {
        rooted = Snapshot::from_tree(tree, true).value();
        unrooted = Snapshot::from_tree(tree, false).value();
    });
    ASSERT_TRUE(rooted && unrooted);
    EXPECT_EQ(rooted->size(), 2 * n - 2);
    EXPECT_EQ(unrooted->size(), 2 * n - 3);
    // No edge length is lost in either mode: 2n - 2 edges of length 1.
    const double total = 2.0 * n - 2.0;
    EXPECT_EQ(std::accumulate(rooted->lengths.begin(), rooted->lengths.end(), 0.0), total);
    EXPECT_EQ(std::accumulate(unrooted->lengths.begin(), unrooted->lengths.end(), 0.0), total);
    // The root edge above L1..Ln-1 joins L0's pendant edge.
    Bitset l0 = Bitset::zeros(unrooted->n_words);
    l0.set(0);
    std::size_t k = 0;
    while (k < unrooted->size() && !std::ranges::equal(unrooted->partition(k), l0.words)) {
        ++k;
    }
    ASSERT_LT(k, unrooted->size());
    EXPECT_EQ(unrooted->lengths[k], 2.0);
}

// 100,000 leaves: 199,997 splits of 1,563 words each, about 2.5 GB of result alone, and
// about as much again for the per-node sets. Too much for the instrumented build.
#if !defined(__SANITIZE_ADDRESS__)
// The same caterpillar written as Newick text, the way every tree of a call arrives.
std::string caterpillar_newick(std::size_t n_leaves) {
    std::string text;
    for (std::size_t i = 0; i + 1 < n_leaves; ++i) {
        text += "(L" + std::to_string(100000 + i) + ":1,";
    }
    text += "L" + std::to_string(100000 + n_leaves - 1) + ":1";
    for (std::size_t i = 0; i + 1 < n_leaves; ++i) {
        text += i + 2 < n_leaves ? "):1" : ")";
    }
    return text + ";";
}

TEST(SnapshotDeepTrees, HundredThousandLeafCaterpillarOnSmallStack) {
    const std::size_t n = 100000;
    std::optional<Snapshot> unrooted;
    run_on_small_stack([&] {
        const Tree tree = Tree::from_newick(caterpillar_newick(n)).value();
        unrooted = Snapshot::from_tree(tree, false).value();
    });
    ASSERT_TRUE(unrooted);
    EXPECT_EQ(unrooted->size(), 2 * n - 3);
    EXPECT_EQ(std::accumulate(unrooted->lengths.begin(), unrooted->lengths.end(), 0.0),
              2.0 * n - 2.0);
    // {L0} took the root edge above L1..Ln-1 (length 1 + 1); {L1, ..., Ln-1} is gone.
    std::size_t k = 0;
    while (k < unrooted->size() &&
           !(unrooted->partition(k)[0] == 1u &&
             std::all_of(unrooted->partition(k).begin() + 1, unrooted->partition(k).end(),
                         [](std::uint64_t w) { return w == 0; }))) {
        ++k;
    }
    ASSERT_LT(k, unrooted->size());
    EXPECT_EQ(unrooted->lengths[k], 2.0);
}
#endif

// A node array whose children come before their parents (not what the parser builds) takes
// the explicit-stack walk instead of the id-order sweeps; it too must not recurse.
TEST(SnapshotDeepTrees, ChildrenBeforeParentsOnSmallStack) {
    const std::size_t n = 10000;
    const Tree forward = caterpillar(n);
    Tree reversed;
    const std::size_t last = forward.nodes.size() - 1;
    for (std::size_t k = 0; k <= last; ++k) {
        Node node = forward.nodes[last - k];
        node.id = k;
        if (node.parent) {
            node.parent = last - *node.parent;
        }
        for (NodeId& child : node.children) {
            child = last - child;
        }
        node.child_edges.reset();
        reversed.nodes.push_back(std::move(node));
    }
    std::optional<Snapshot> expected;
    std::optional<Snapshot> walked;
    run_on_small_stack([&] {
        expected = Snapshot::from_tree(forward, false).value();
        walked = Snapshot::from_tree(reversed, false).value();
    });
    ASSERT_TRUE(expected && walked);
    EXPECT_EQ(walked->words, expected->words);
    EXPECT_EQ(walked->lengths, expected->lengths);
}

TEST(SnapshotDeepTrees, LongSingleChildChainMergesIntoOneEdge) {
    // (C:1,((((A:1,B:1):1):1)...):1);  with 100,000 single-child nodes above (A,B).
    const std::size_t depth = 100000;
    Tree tree = build(group({leaf("C", 1)}));
    NodeId chain = 0;
    for (std::size_t i = 0; i < depth; ++i) {
        chain = tree.add_child(Node{}, chain, 1.0).value();
    }
    add_children(tree, chain, group({leaf("A", 1), leaf("B", 1)}));
    std::optional<Snapshot> rooted;
    std::optional<Snapshot> unrooted;
    run_on_small_stack([&] {
        rooted = Snapshot::from_tree(tree, true).value();
        unrooted = Snapshot::from_tree(tree, false).value();
    });
    ASSERT_TRUE(rooted && unrooted);
    const double chain_length = static_cast<double>(depth);
    expect_snapshot(*rooted, {1, 2, 3, 4}, {1, 1, chain_length, 1});
    expect_snapshot(*unrooted, {1, 2, 4}, {1, 1, chain_length + 1});
}

// ---------------------------------------------------------------------------------------
// Errors and the per-thread scratch

TEST(SnapshotErrors, NoRootWhenEveryNodeHasAParent) {
    Tree empty;
    const auto r = Snapshot::from_tree(empty, false);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "No root node found");

    Tree loop = build(group({leaf("A"), leaf("B")}));
    loop.nodes[0].parent = 2;
    const auto r2 = Snapshot::from_tree(loop, true);
    ASSERT_FALSE(r2.has_value());
    EXPECT_EQ(r2.error().kind, TreeErrorKind::NoRoot);
}

TEST(SnapshotErrors, MissingChildNamesTheId) {
    Tree tree = build(group({leaf("A"), group({leaf("B"), leaf("C")})}));
    tree.nodes[2].children.push_back(17);
    const auto r = Snapshot::from_tree(tree, false);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, TreeErrorKind::MissingNode);
    EXPECT_EQ(r.error().message(), "There is no node with index: 17");
}

TEST(SnapshotErrors, CycleIsAnInternalErrorNotAHang) {
    Tree tree = build(group({leaf("A"), group({leaf("B"), leaf("C")})}));
    tree.nodes[2].children.push_back(0);
    EXPECT_THROW((void)Snapshot::from_tree(tree, true), InternalError);
}

TEST(SnapshotScratch, CallsDoNotSeeEachOther) {
    std::mt19937_64 rng(3);
    const Tree big = random_rooted_tree(200, rng);
    const Tree small = build(two_cherries());
    Tree broken = build(two_cherries());
    broken.nodes[1].children.push_back(99);

    const Snapshot first = snapshot(small, false);
    (void)snapshot(big, true);
    EXPECT_FALSE(Snapshot::from_tree(broken, false).has_value());
    const Snapshot again = snapshot(small, false);
    EXPECT_EQ(again.words, first.words);
    EXPECT_EQ(again.lengths, first.lengths);
    EXPECT_EQ(again.leaf_names, first.leaf_names);
}

TEST(SnapshotScratch, ThreadsAtOnceGiveTheSameResults) {
    std::mt19937_64 rng(9);
    std::vector<Tree> trees;
    for (std::size_t n_leaves : {4u, 70u, 20u, 130u, 7u, 65u}) {
        trees.push_back(random_rooted_tree(n_leaves, rng));
    }
    std::vector<Snapshot> expected;
    for (const Tree& tree : trees) {
        expected.push_back(snapshot(tree, false));
    }
    std::vector<std::vector<Snapshot>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (std::size_t i = 0; i < trees.size(); ++i) {
                    const std::size_t tree_i = (i + t) % trees.size();
                    Snapshot s = Snapshot::from_tree(trees[tree_i], false).value();
                    if (round == 0) {
                        got[t].push_back(std::move(s));
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t t = 0; t < got.size(); ++t) {
        for (std::size_t i = 0; i < trees.size(); ++i) {
            const Snapshot& s = got[t][i];
            const Snapshot& e = expected[(i + t) % trees.size()];
            EXPECT_EQ(s.words, e.words) << "thread " << t << ", tree " << i;
            EXPECT_EQ(s.lengths, e.lengths) << "thread " << t << ", tree " << i;
        }
    }
}

}  // namespace
}  // namespace kestrilune
