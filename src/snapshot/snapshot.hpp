// Snapshot: one tree reduced to its edges as leaf sets, in a canonical form that makes the
// snapshots of different trees comparable.
//   rooted:   every non-root node contributes its clade (the leaves below it).
//   unrooted: one-leaf sets stay as they are; the set of all leaves is dropped; a set that
//             lacks exactly one leaf is the pendant edge of that leaf seen from the other
//             side and becomes that leaf's one-leaf set; every other set is written as the
//             side without leaf 0.
// Equal sets are then merged (lengths added in ascending node-id order of the edges), which
// joins the two edges at a bifurcating root and the edges around a single-child node.
//
//     Snapshot s = Snapshot::from_tree(tree, /*rooted=*/false).value();
//     // s.partition(k): the words of partition k, ascending Bitset order; s.lengths[k]
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune {

// The leaves of a reference tree: its leaf names sorted byte-wise (unnamed leaves as ""),
// no name twice, and a lookup from a name to its bit.
class LeafOrder {
public:
    // Precondition: sorted and free of duplicates.
    explicit LeafOrder(std::vector<std::string> sorted_names);
    LeafOrder(const LeafOrder&) = delete;  // the lookup holds views of names_
    LeafOrder& operator=(const LeafOrder&) = delete;

    std::optional<std::uint32_t> find(std::string_view name) const;
    std::size_t size() const noexcept { return names_.size(); }
    const std::vector<std::string>& names() const noexcept { return names_; }

private:
    std::vector<std::string> names_;
    std::unordered_map<std::string_view, std::uint32_t> bits_;
};

struct Snapshot {
    // Partition k occupies words [k * n_words, (k + 1) * n_words). Partitions are in
    // ascending Bitset order, no two equal.
    std::vector<std::uint64_t> words;
    std::vector<double> lengths;          // lengths[k] is the branch length of partition k
    std::vector<std::string> leaf_names;  // sorted byte-wise; position i is leaf bit i
    std::size_t n_words = 0;              // (number of leaves + 63) / 64

    std::size_t size() const noexcept { return lengths.size(); }
    std::span<const std::uint64_t> partition(std::size_t k) const noexcept {
        return {words.data() + k * n_words, n_words};
    }

    // Leaves are all childless nodes; an unnamed leaf takes the empty name. Missing branch
    // lengths count as 0.0. Uses a scratch table private to the calling thread, so several
    // threads may snapshot different trees at once. Deep trees are fine (no recursion).
    static Result<Snapshot, TreeError> from_tree(const Tree& tree, bool rooted);

    // The same for a tree that should have the leaves of `order`: each leaf takes the bit
    // of its name there, which saves sorting the names again. Gives nullopt when the leaves
    // are not those of `order` one for one (a name missing, extra or repeated), and no
    // leaf_names (they are order.names()).
    static Result<std::optional<Snapshot>, TreeError> from_tree_in_order(const Tree& tree,
                                                                        bool rooted,
                                                                        const LeafOrder& order);

};

// A tree's partitions as a Snapshot holds them (the same sets, canonical form and merged
// lengths), but not sorted: in ascending node-id order of each set's first edge, with the
// hash_words of each. Sorting is left to whoever needs an order, which in a posterior
// sample is seldom more than the few partitions seen for the first time.
struct TreeSplits {
    std::vector<std::uint64_t> words;   // partition k: words [k * n_words, (k + 1) * n_words)
    std::vector<double> lengths;
    std::vector<std::uint64_t> hashes;  // hash_words of each partition
    std::size_t n_words = 0;

    std::size_t size() const noexcept { return lengths.size(); }
    std::span<const std::uint64_t> partition(std::size_t k) const noexcept {
        return {words.data() + k * n_words, n_words};
    }

    // From a shape read by read_plain_newick whose leaves have their bits: leaf_bits[k] is
    // the bit of shape.leaf_nodes[k], each of 0 .. leaf_bits.size() - 1 exactly once (the
    // caller checks). Uses the calling thread's scratch tables, as Snapshot::from_tree does.
    static TreeSplits from_shape(const TreeShape& shape, bool rooted,
                                     std::span<const std::uint32_t> leaf_bits);
    // The same into this object, whose storage is reused from tree to tree.
    void assign_shape(const TreeShape& shape, bool rooted,
                      std::span<const std::uint32_t> leaf_bits);
};

}  // namespace kestrilune
