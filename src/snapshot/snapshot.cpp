#include "snapshot/snapshot.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <string_view>
#include <utility>

#include "bitset/bitset.hpp"
#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/sizes.hpp"
#include "common/thread_scratch.hpp"

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
    std::vector<std::uint8_t> seen;    // leaf bits already given, for from_tree_in_order
    std::vector<double> length;        // the node's branch length, 0.0 when it has none
    std::vector<std::uint32_t> slots;  // hash table of a tree's distinct sets
    std::vector<std::uint32_t> n_below;  // a shape's node: the number of leaves below it
    std::vector<std::uint32_t> n_children;  // a shape's node: its number of children
};

constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

// Releases the words table after a tree that needed a large one (sizes::kMaxKeptTableBytes).
struct TrimOnExit {
    Scratch& scratch;
    ~TrimOnExit() {
        if (scratch.words.capacity() > sizes::kMaxKeptTableBytes / sizeof(std::uint64_t)) {
            std::vector<std::uint64_t>().swap(scratch.words);
        }
    }
};

std::span<std::uint64_t> row_of(Scratch& s, NodeId id, std::size_t n_words) noexcept {
    return {s.words.data() + id * n_words, n_words};
}

void set_leaf_bit(std::span<std::uint64_t> row, std::size_t leaf) noexcept {
    row[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
}

void or_into(std::span<const std::uint64_t> from, std::span<std::uint64_t> to) noexcept {
    for (std::size_t w = 0; w < from.size(); ++w) {
        to[w] |= from[w];
    }
}

// Room for one set per node in s.words. The table holds one set per node, and the snapshot
// about as many again: L^2 / 4 bytes each for L leaves (2.5 GB each for a caterpillar of
// 100,000 leaves). A tree whose sets cannot fit is refused here rather than met by the
// out-of-memory killer.
void size_table(Scratch& s, std::size_t n_nodes, std::size_t n_words, std::size_t n_leaves) {
    const std::uint64_t table_bytes = bytes_of_cells(n_nodes, n_words, sizeof(std::uint64_t));
    if (table_bytes > sizes::kCheckedTableBytes) {
        require_fits(bytes_of_cells(table_bytes, 2, 1),
                     "the split table of a tree of " + std::to_string(n_leaves) + " leaves");
    }
    if (s.words.size() < n_nodes * n_words) {
        s.words.resize(n_nodes * n_words);
    }
}

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
bool canonicalize_unrooted(std::span<std::uint64_t> row, std::size_t ones,
                           std::size_t n_leaves) noexcept {
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
// Most-significant word first: a range is split into the sets whose word w is zero, which
// come first and are ordered by their later words, and the others, sorted as (word w, id)
// pairs, integers held side by side; runs that tie on word w are sorted again by word
// w + 1. With leaves spread over many words most small sets are zero in most words, so each
// set is sorted about once, at its first non-zero word, and no comparison loads two rows.
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
    const auto at = [&keys](std::size_t k) {
        return keys.begin() + static_cast<std::ptrdiff_t>(k);
    };
    while (!pending.empty()) {
        const Range r = pending.back();
        pending.pop_back();
        for (std::size_t k = r.begin; k < r.end; ++k) {
            keys[k].first = table[keys[k].second * n_words + r.word];
        }
        const bool last_word = r.word + 1 == n_words;
        std::size_t sorted_begin = r.begin;
        if (!last_word) {
            // Zero words first, in any order: the next word decides among them.
            sorted_begin = static_cast<std::size_t>(
                std::partition(at(r.begin), at(r.end),
                               [](const auto& key) { return key.first == 0; }) -
                keys.begin());
            if (sorted_begin - r.begin > 1) {
                pending.push_back({r.begin, sorted_begin, r.word + 1});
            }
        }
        std::sort(at(sorted_begin), at(r.end));
        if (last_word) {
            continue;  // ties here are equal sets, already in node-id order
        }
        for (std::size_t a = sorted_begin; a < r.end;) {
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

// The steps of one tree's reduction (defined below):
// step 2, fill leaf sets: the leaves below every node, one row of s.words per node;
std::optional<TreeError> fill_leaf_sets(const Tree& tree, NodeId root, std::size_t n_words,
                                        Scratch& s);
void fill_leaf_sets(const TreeShape& shape, std::span<const std::uint32_t> leaf_bits,
                    std::size_t n_words, Scratch& s);
// step 3, collect edges: the nodes whose edge counts, their rows canonicalised, in s.ids;
void collect_edges(std::size_t n_nodes, NodeId root, bool rooted, std::size_t n_leaves,
                   std::size_t n_words, bool all_reached, Scratch& s);
void collect_edges(const TreeShape& shape, bool rooted, std::size_t n_leaves,
                   std::size_t n_words, Scratch& s);
// step 4, merge equal sets: the edges in ascending set order, equal sets summed, into snap.
void merge_equal_sets(const double* length, std::size_t n_words, Scratch& s, Snapshot& snap);

// Steps 2 to 4 of a snapshot of a Tree, once every leaf has its bit in s.leaf_index.
std::optional<TreeError> reduce_edges(const Tree& tree, bool rooted, std::size_t n_leaves,
                                      Scratch& s, Snapshot& snap) {
    TrimOnExit trim{s};
    const std::size_t n_words = words_for_leaves(n_leaves);
    snap.n_words = n_words;
    const Result<NodeId, TreeError> root = tree.get_root();
    if (!root) {
        return root.error();
    }
    size_table(s, tree.nodes.size(), n_words, n_leaves);
    if (auto failure = fill_leaf_sets(tree, *root, n_words, s)) {
        return failure;
    }
    collect_edges(tree.nodes.size(), *root, rooted, n_leaves, n_words, false, s);
    merge_equal_sets(s.length.data(), n_words, s, snap);
    return std::nullopt;
}

}  // namespace

LeafOrder::LeafOrder(std::vector<std::string> sorted_names) : names_(std::move(sorted_names)) {
    bits_.reserve(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i) {
        bits_.emplace(names_[i], static_cast<std::uint32_t>(i));
    }
}

std::optional<std::uint32_t> LeafOrder::find(std::string_view name) const {
    const auto it = bits_.find(name);
    if (it == bits_.end()) {
        return std::nullopt;
    }
    return it->second;
}

// Steps and cost (n nodes, w words per set):
//  1. leaves sorted by name (node id breaks ties): O(L log L) string compares;
//  2. the set below every node reachable from the root, each child's row ORed into its
//     parent's, by two sweeps in id order (no recursion, so deep trees are fine): O(n w);
//  3. each edge (every reached node but the root) canonicalised in place: O(n w);
//  4. edges sorted by their set, node id breaking ties, then equal sets merged. Lengths
//     of a merged run are added in ascending node-id order, so the sums do not depend on
//     the sort algorithm: O(n log n) set compares.
Result<Snapshot, TreeError> Snapshot::from_tree(const Tree& tree, bool rooted) {
    Scratch& s = thread_scratch<Scratch>();
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
    snap.leaf_names.reserve(n_leaves);
    s.leaf_index.assign(n_nodes, kNoLeaf);
    for (std::size_t i = 0; i < n_leaves; ++i) {
        snap.leaf_names.emplace_back(name_of(nodes[s.ids[i]]));
        s.leaf_index[s.ids[i]] = i;
    }
    if (auto failure = reduce_edges(tree, rooted, n_leaves, s, snap)) {
        return unexpected(*failure);
    }
    return snap;
}

Result<std::optional<Snapshot>, TreeError> Snapshot::from_tree_in_order(const Tree& tree,
                                                                        bool rooted,
                                                                        const LeafOrder& order) {
    Scratch& s = thread_scratch<Scratch>();
    const std::vector<Node>& nodes = tree.nodes;
    const std::size_t n_nodes = nodes.size();
    const std::size_t n_leaves = order.size();

    // Each leaf takes the bit of its name in the reference; every bit exactly once.
    s.leaf_index.assign(n_nodes, kNoLeaf);
    s.seen.assign(n_leaves, 0);
    std::size_t found = 0;
    for (NodeId id = 0; id < n_nodes; ++id) {
        if (!nodes[id].children.empty()) {
            continue;
        }
        const std::optional<std::uint32_t> bit = order.find(name_of(nodes[id]));
        if (!bit || s.seen[*bit] != 0) {
            return std::optional<Snapshot>();
        }
        s.seen[*bit] = 1;
        s.leaf_index[id] = *bit;
        ++found;
    }
    if (found != n_leaves) {
        return std::optional<Snapshot>();
    }
    Snapshot snap;
    if (auto failure = reduce_edges(tree, rooted, n_leaves, s, snap)) {
        return unexpected(*failure);
    }
    return std::optional<Snapshot>(std::move(snap));
}

// Steps 2 and 3 as for a Tree; instead of step 4's sort, equal sets (where the shape allows
// any) are found through their hashes (a table of edge positions private to the thread),
// and the lengths of equal sets are added in ascending node-id order, as step 4 adds them.
TreeSplits TreeSplits::from_shape(const TreeShape& shape, bool rooted,
                                          std::span<const std::uint32_t> leaf_bits) {
    TreeSplits out;
    out.assign_shape(shape, rooted, leaf_bits);
    return out;
}

void TreeSplits::assign_shape(const TreeShape& shape, bool rooted,
                                  std::span<const std::uint32_t> leaf_bits) {
    Scratch& s = thread_scratch<Scratch>();
    TrimOnExit trim{s};
    const std::size_t n_leaves = leaf_bits.size();
    n_words = words_for_leaves(n_leaves);
    size_table(s, shape.size(), n_words, n_leaves);
    fill_leaf_sets(shape, leaf_bits, n_words, s);
    collect_edges(shape, rooted, n_leaves, n_words, s);

    // Room for every edge up front, so the loops below never reallocate.
    words.resize(s.ids.size() * n_words);
    lengths.clear();
    lengths.reserve(s.ids.size());
    hashes.clear();
    hashes.reserve(s.ids.size());

    // Two edges share a set only across a node of one child, or, unrooted, at a root of
    // two children (its two edges are one, and a split of all leaves but one is the other
    // leaf's pendant edge). Without those every edge's set is new, as the table below would
    // find, in the same order.
    bool may_repeat = !rooted && shape.size() > 0 && s.n_children[0] == 2;
    for (std::size_t id = 0; id < shape.size() && !may_repeat; ++id) {
        may_repeat = s.n_children[id] == 1;
    }
    if (!may_repeat) {
        std::uint64_t* out = words.data();
        for (const NodeId id : s.ids) {
            const std::uint64_t* const set = s.words.data() + id * n_words;
            out = std::copy(set, set + n_words, out);
            lengths.push_back(shape.length[id]);
            hashes.push_back(hash_words({set, n_words}));
        }
        return;
    }

    std::size_t n_slots = 16;
    while (n_slots < 2 * s.ids.size()) {
        n_slots *= 2;
    }
    s.slots.assign(n_slots, kNoSlot);
    for (const NodeId id : s.ids) {
        const std::uint64_t* const set = s.words.data() + id * n_words;
        const std::uint64_t hash = hash_words({set, n_words});
        std::size_t slot = static_cast<std::size_t>(hash) & (n_slots - 1);
        for (;; slot = (slot + 1) & (n_slots - 1)) {
            const std::uint32_t k = s.slots[slot];
            if (k == kNoSlot) {
                s.slots[slot] = static_cast<std::uint32_t>(lengths.size());
                std::copy(set, set + n_words, words.begin() + static_cast<std::ptrdiff_t>(
                                                                  lengths.size() * n_words));
                lengths.push_back(shape.length[id]);
                hashes.push_back(hash);
                break;
            }
            if (hashes[k] == hash && equal_words(set, words.data() + k * n_words, n_words)) {
                lengths[k] += shape.length[id];
                break;
            }
        }
    }
    words.resize(lengths.size() * n_words);
}

namespace {

// Step 2 for a Tree: the leaves below every node the root reaches (s.state kDone), and
// every node's branch length in s.length. s.words has room for every node (size_table).
std::optional<TreeError> fill_leaf_sets(const Tree& tree, NodeId root, std::size_t n_words,
                                        Scratch& s) {
    const std::vector<Node>& nodes = tree.nodes;
    const std::size_t n_nodes = nodes.size();
    const auto row = [&s, n_words](NodeId id) { return row_of(s, id, n_words); };
    auto open = [&](NodeId id) {
        s.state[id] = kOpen;
        const std::span<std::uint64_t> r = row(id);
        std::fill(r.begin(), r.end(), std::uint64_t{0});
        s.stack.push_back(Frame{id, 0});
    };

    // Lengths and the check for the fast walk, in one sequential pass over the nodes (the
    // merge visits them in set order, where every node would be a cache miss).
    s.length.resize(n_nodes);
    bool children_after_parents = true;
    for (NodeId id = 0; id < n_nodes; ++id) {
        s.length[id] = nodes[id].parent_edge.value_or(0.0);
        for (const NodeId child : nodes[id].children) {
            children_after_parents = children_after_parents && child > id && child < n_nodes;
        }
    }

    s.state.assign(n_nodes, kUnseen);
    if (children_after_parents) {
        // Every tree built by the parser or add_child: a child always has a larger id than
        // its parent, so one sweep in descending id order sees every child before its
        // parent, and one in ascending order finds what the root reaches. Both read the
        // nodes in memory order.
        std::fill(s.words.begin(), s.words.begin() + static_cast<std::ptrdiff_t>(n_nodes * n_words),
                  std::uint64_t{0});
        for (NodeId id = n_nodes; id-- > 0;) {
            const std::vector<NodeId>& children = nodes[id].children;
            if (children.empty()) {
                assert(s.leaf_index[id] != kNoLeaf);
                set_leaf_bit(row(id), s.leaf_index[id]);
            }
            for (const NodeId child : children) {
                or_into(row(child), row(id));
            }
        }
        s.state[root] = kDone;
        for (NodeId id = root; id < n_nodes; ++id) {
            if (s.state[id] == kDone) {
                for (const NodeId child : nodes[id].children) {
                    s.state[child] = kDone;
                }
            }
        }
        return std::nullopt;
    }

    // Any other node array: a post-order walk on an explicit stack (a caterpillar tree is as
    // deep as it has leaves, too deep for the call stack of a worker thread).
    s.stack.clear();
    open(root);
    while (!s.stack.empty()) {
        Frame& top = s.stack.back();
        const std::vector<NodeId>& children = nodes[top.node].children;
        if (top.next_child < children.size()) {
            const NodeId child = children[top.next_child++];
            if (child >= n_nodes) {
                return TreeError{TreeErrorKind::MissingNode, child};
            }
            if (s.state[child] == kDone) {
                or_into(row(child), row(top.node));  // reached before through another parent
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
            set_leaf_bit(row(done), s.leaf_index[done]);
        }
        s.state[done] = kDone;
        s.stack.pop_back();
        if (!s.stack.empty()) {
            or_into(row(done), row(s.stack.back().node));
        }
    }
    return std::nullopt;
}

// Step 2 for a shape: parents precede their children, so one descending sweep gives every
// node its leaves, and their number (which spares step 3 counting the bits); the shape is
// one tree, so the root reaches every node.
void fill_leaf_sets(const TreeShape& shape, std::span<const std::uint32_t> leaf_bits,
                    std::size_t n_words, Scratch& s) {
    const std::size_t n_nodes = shape.size();
    std::fill(s.words.begin(), s.words.begin() + static_cast<std::ptrdiff_t>(n_nodes * n_words),
              std::uint64_t{0});
    s.n_below.assign(n_nodes, 0);
    s.n_children.assign(n_nodes, 0);
    for (std::size_t k = 0; k < leaf_bits.size(); ++k) {
        set_leaf_bit(row_of(s, shape.leaf_nodes[k], n_words), leaf_bits[k]);
        s.n_below[shape.leaf_nodes[k]] = 1;
    }
    for (std::size_t id = n_nodes; id-- > 1;) {
        or_into(row_of(s, id, n_words), row_of(s, shape.parent[id], n_words));
        s.n_below[shape.parent[id]] += s.n_below[id];
        ++s.n_children[shape.parent[id]];
    }
}

// Step 3: every reached node but the root is the lower end of one edge; in unrooted mode
// its set is canonicalised in place, and an edge whose set is all leaves is dropped.
void collect_edges(std::size_t n_nodes, NodeId root, bool rooted, std::size_t n_leaves,
                   std::size_t n_words, bool all_reached, Scratch& s) {
    s.ids.clear();
    for (NodeId id = 0; id < n_nodes; ++id) {
        if ((!all_reached && s.state[id] != kDone) || id == root) {
            continue;
        }
        const std::span<std::uint64_t> row = row_of(s, id, n_words);
        if (rooted || canonicalize_unrooted(row, count_ones(row), n_leaves)) {
            s.ids.push_back(id);
        }
    }
}

// Step 3 for a shape: every node but the root, with the leaf counts of step 2. Leaves are
// distinct, so a node's count is the number of bits in its row.
void collect_edges(const TreeShape& shape, bool rooted, std::size_t n_leaves,
                   std::size_t n_words, Scratch& s) {
    s.ids.clear();
    for (NodeId id = 1; id < shape.size(); ++id) {
        if (rooted || canonicalize_unrooted(row_of(s, id, n_words), s.n_below[id], n_leaves)) {
            s.ids.push_back(id);
        }
    }
}

// Step 4: the edges sorted by set (node id breaking ties), equal sets merged into one
// partition whose length is the sum of theirs, added in ascending node-id order.
void merge_equal_sets(const double* length, std::size_t n_words, Scratch& s, Snapshot& snap) {
    const std::uint64_t* const table = s.words.data();
    sort_by_sets(s.ids, table, n_words, s.keys);
    snap.words.reserve(s.ids.size() * n_words);
    snap.lengths.reserve(s.ids.size());
    NodeId run_first = 0;
    for (std::size_t k = 0; k < s.ids.size(); ++k) {
        const NodeId id = s.ids[k];
        const std::uint64_t* set = table + id * n_words;
        if (k > 0 && std::equal(set, set + n_words, table + run_first * n_words)) {
            snap.lengths.back() += length[id];
            continue;
        }
        run_first = id;
        snap.words.insert(snap.words.end(), set, set + n_words);
        snap.lengths.push_back(length[id]);
    }
}

}  // namespace

}  // namespace kestrilune
