#include "snapshot/snapshot.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <string_view>
#include <utility>

#include "bitset/bitset.hpp"
#include "common/errors.hpp"

namespace kestrilune {

namespace {

constexpr std::size_t kNoLeaf = std::numeric_limits<std::size_t>::max();

enum NodeState : std::uint8_t { kUnseen = 0, kOpen = 1, kDone = 2 };

struct Frame {
    NodeId node;
    std::size_t next_child;  // position in the node's children of the next child to visit
};

// Scratch tables of one thread, indexed by node id. Every tree of a call is snapshotted
// once, often thousands per thread, so the tables are reused: each call overwrites what it
// reads, and they only grow.
struct Scratch {
    std::vector<std::uint64_t> words;     // row node_id * n_words: the leaves below the node
    std::vector<std::size_t> leaf_index;  // the node's bit for a leaf, kNoLeaf otherwise
    std::vector<std::uint8_t> state;      // NodeState of the traversal
    std::vector<Frame> stack;             // pending nodes of the post-order walk
    std::vector<NodeId> ids;              // leaves by name, then the edges in sorted order
    std::vector<std::pair<std::uint64_t, NodeId>> keys;  // sort keys, see sort_by_sets
};

// The words table holds one row per node, so it grows with the square of the leaf count:
// a tree of 20,000 leaves needs 100 MB. Past this size it is given back after the call,
// so that one huge tree does not pin that much memory in every worker for the life of the
// process; trees below it keep the table from call to call.
constexpr std::size_t kMaxKeptWords = (std::size_t{64} << 20) / sizeof(std::uint64_t);

struct TrimOnExit {
    Scratch& scratch;
    ~TrimOnExit() {
        if (scratch.words.capacity() > kMaxKeptWords) {
            std::vector<std::uint64_t>().swap(scratch.words);
        }
    }
};

thread_local Scratch tls_scratch;

std::string_view name_of(const Node& node) noexcept {
    return node.name ? std::string_view(*node.name) : std::string_view();
}

// Unrooted form of one edge, given the leaves on the side away from the root. Returns
// false when the edge is dropped. Tested in this order:
//  - one leaf: a pendant edge keeps its one-leaf set, whichever side leaf 0 is on;
//  - all leaves: the set of the root itself, not a split;
//  - all leaves but one: once the root is gone, this edge (from the root to the sibling
//    of a single leaf) and that leaf's pendant edge are one edge. It becomes the missing
//    leaf's one-leaf set, so the merge adds its length to the pendant edge; dropping it
//    would make the distances depend on where the tree was rooted;
//  - otherwise the side without leaf 0, so both sides of a split look the same.
bool canonicalize_unrooted(std::span<std::uint64_t> row, std::size_t n_leaves) noexcept {
    const std::size_t ones = count_ones(row);
    if (ones == 1) {
        return true;
    }
    if (ones >= n_leaves) {
        return false;
    }
    if (ones + 1 == n_leaves || (row[0] & 1u) != 0) {
        complement_in_place(row, n_leaves);
    }
    return true;
}

// Sorts node ids by their sets in ascending Bitset order, node id breaking ties.
//
// Most-significant word first: the ids are sorted as (word w, id) pairs, which compares
// plain integers held side by side, and only runs that tie on word w are sorted again by
// word w + 1. Sets of one tree seldom share their first words, so most of the work is one
// sort of pairs; an indirect comparison through the table would load two rows per step.
void sort_by_sets(std::vector<NodeId>& ids, const std::uint64_t* table, std::size_t n_words,
                  std::vector<std::pair<std::uint64_t, NodeId>>& keys) {
    struct Range {
        std::size_t begin, end, word;
    };
    keys.resize(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        keys[k] = {0, ids[k]};
    }
    std::vector<Range> pending;
    if (n_words > 0 && ids.size() > 1) {
        pending.push_back({0, ids.size(), 0});
    }
    while (!pending.empty()) {
        const Range r = pending.back();
        pending.pop_back();
        for (std::size_t k = r.begin; k < r.end; ++k) {
            keys[k].first = table[keys[k].second * n_words + r.word];
        }
        std::sort(keys.begin() + static_cast<std::ptrdiff_t>(r.begin),
                  keys.begin() + static_cast<std::ptrdiff_t>(r.end));
        if (r.word + 1 == n_words) {
            continue;  // ties here are equal sets, already in node-id order
        }
        for (std::size_t a = r.begin; a < r.end;) {
            std::size_t b = a + 1;
            while (b < r.end && keys[b].first == keys[a].first) {
                ++b;
            }
            if (b - a > 1) {
                pending.push_back({a, b, r.word + 1});
            }
            a = b;
        }
    }
    for (std::size_t k = 0; k < ids.size(); ++k) {
        ids[k] = keys[k].second;
    }
}

}  // namespace

// Steps and cost (n nodes, w words per set):
//  1. leaves sorted by name (node id breaks ties): O(L log L) string compares;
//  2. the set below every node reachable from the root, by a post-order walk on an
//     explicit stack (a caterpillar tree is as deep as it has leaves, too deep for the
//     call stack of a worker thread), each child's row ORed into its parent's: O(n w);
//  3. each edge (every reached node but the root) canonicalised in place: O(n w);
//  4. edges sorted by their set, node id breaking ties, then equal sets merged. Lengths
//     of a merged run are added in ascending node-id order, so the sums do not depend on
//     the sort algorithm: O(n log n) set compares.
Result<Snapshot, TreeError> Snapshot::from_tree(const Tree& tree, bool rooted) {
    Scratch& s = tls_scratch;
    TrimOnExit trim{s};
    const std::vector<Node>& nodes = tree.nodes;
    const std::size_t n_nodes = nodes.size();

    s.ids.clear();
    for (NodeId id = 0; id < n_nodes; ++id) {
        if (nodes[id].children.empty()) {
            s.ids.push_back(id);
        }
    }
    std::sort(s.ids.begin(), s.ids.end(), [&nodes](NodeId a, NodeId b) {
        const int c = name_of(nodes[a]).compare(name_of(nodes[b]));
        return c != 0 ? c < 0 : a < b;
    });

    Snapshot snap;
    const std::size_t n_leaves = s.ids.size();
    const std::size_t n_words = words_for_leaves(n_leaves);
    snap.n_words = n_words;
    snap.leaf_names.reserve(n_leaves);
    s.leaf_index.assign(n_nodes, kNoLeaf);
    for (std::size_t i = 0; i < n_leaves; ++i) {
        snap.leaf_names.emplace_back(name_of(nodes[s.ids[i]]));
        s.leaf_index[s.ids[i]] = i;
    }

    const Result<NodeId, TreeError> root = tree.get_root();
    if (!root) {
        return unexpected(root.error());
    }

    if (s.words.size() < n_nodes * n_words) {
        s.words.resize(n_nodes * n_words);
    }
    std::uint64_t* const table = s.words.data();
    auto row = [table, n_words](NodeId id) {
        return std::span<std::uint64_t>(table + id * n_words, n_words);
    };
    auto or_into = [&row](NodeId child, NodeId parent) {
        const std::span<const std::uint64_t> from = row(child);
        const std::span<std::uint64_t> to = row(parent);
        for (std::size_t w = 0; w < from.size(); ++w) {
            to[w] |= from[w];
        }
    };
    auto open = [&](NodeId id) {
        s.state[id] = kOpen;
        const std::span<std::uint64_t> r = row(id);
        std::fill(r.begin(), r.end(), std::uint64_t{0});
        s.stack.push_back(Frame{id, 0});
    };

    s.state.assign(n_nodes, kUnseen);
    s.stack.clear();
    open(*root);
    while (!s.stack.empty()) {
        Frame& top = s.stack.back();
        const std::vector<NodeId>& children = nodes[top.node].children;
        if (top.next_child < children.size()) {
            const NodeId child = children[top.next_child++];
            if (child >= n_nodes) {
                return unexpected(TreeError{TreeErrorKind::MissingNode, child});
            }
            if (s.state[child] == kDone) {
                or_into(child, top.node);  // reached before through another parent
            } else {
                // A node still open is its own ancestor. Trees built by the parser or by
                // add_child cannot hold a cycle; only a hand-edited node array can.
                require(s.state[child] == kUnseen, "tree has a cycle");
                open(child);  // invalidates `top`
            }
            continue;
        }
        const NodeId done = top.node;
        if (children.empty()) {
            assert(s.leaf_index[done] != kNoLeaf);
            const std::size_t leaf = s.leaf_index[done];
            row(done)[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
        }
        s.state[done] = kDone;
        s.stack.pop_back();
        if (!s.stack.empty()) {
            or_into(done, s.stack.back().node);
        }
    }

    // Every reached node but the root is the lower end of one edge.
    s.ids.clear();
    for (NodeId id = 0; id < n_nodes; ++id) {
        if (s.state[id] != kDone || id == *root) {
            continue;
        }
        if (rooted || canonicalize_unrooted(row(id), n_leaves)) {
            s.ids.push_back(id);
        }
    }
    sort_by_sets(s.ids, table, n_words, s.keys);

    snap.words.reserve(s.ids.size() * n_words);
    snap.lengths.reserve(s.ids.size());
    NodeId run_first = 0;
    for (std::size_t k = 0; k < s.ids.size(); ++k) {
        const NodeId id = s.ids[k];
        const double length = nodes[id].parent_edge.value_or(0.0);
        const std::span<const std::uint64_t> set = row(id);
        if (k > 0 && std::equal(set.begin(), set.end(), row(run_first).begin())) {
            snap.lengths.back() += length;
            continue;
        }
        run_first = id;
        snap.words.insert(snap.words.end(), set.begin(), set.end());
        snap.lengths.push_back(length);
    }
    return snap;
}

}  // namespace kestrilune
