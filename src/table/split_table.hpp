// SplitTable: a tree set reduced once to its splits, kept in the compact form that every
// later question (blocks of the distance matrix, reductions, split frequencies, summary
// trees) is answered from, without the n x n matrix and without n x (all splits) arrays.
//
// Splits are numbered by column: ascending Bitset order of their leaf sets, the order of the
// module's snapshot exports, which depends only on which splits occur. Per tree the table
// keeps its split ids ascending in CSR form (ids[indptr[t] .. indptr[t + 1]]), with the
// branch lengths beside them when asked for. Per split it keeps the leaf set and the order
// in which the collection first met it (the module's split id), which fixes the
// summation order of the weighted distances.
//
//     Result<SplitTable, std::string> t = SplitTable::from_snapshots(std::move(s), names, groups);
//     t->tree_ids(7);           // split ids of tree 7, ascending
//     t->split_words(id);       // leaf set of split id (leaf i = bit i % 64 of word i / 64)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune {

struct SplitTable {
    bool rooted = false;
    bool has_lengths = false;
    std::size_t n_words = 0;                // words per leaf set
    std::vector<std::string> leaf_names;    // tree 0's named leaves, sorted byte-wise
    std::vector<std::string> tree_names;    // one per tree
    std::vector<std::int32_t> groups;       // one per tree: its run or file, from 0
    std::vector<std::int64_t> indptr;       // n_trees + 1 offsets into ids
    std::vector<std::uint32_t> ids;         // split ids, ascending within each tree
    std::vector<double> lengths;            // beside ids when has_lengths, else empty
    std::vector<std::uint64_t> words;       // n_splits * n_words: leaf sets in id order
    std::vector<std::uint32_t> first_seen;  // per split id: rank of first appearance

    std::size_t n_trees() const noexcept { return indptr.empty() ? 0 : indptr.size() - 1; }
    std::size_t n_splits() const noexcept { return first_seen.size(); }

    std::span<const std::uint32_t> tree_ids(std::size_t tree_i) const noexcept {
        return {ids.data() + indptr[tree_i],
                static_cast<std::size_t>(indptr[tree_i + 1] - indptr[tree_i])};
    }
    std::span<const double> tree_lengths(std::size_t tree_i) const noexcept {
        if (!has_lengths) {
            return {};
        }
        return {lengths.data() + indptr[tree_i],
                static_cast<std::size_t>(indptr[tree_i + 1] - indptr[tree_i])};
    }
    std::span<const std::uint64_t> split_words(std::size_t split_id) const noexcept {
        return {words.data() + split_id * n_words, n_words};
    }

    // Takes over a finished collection (its per-tree lists are released as they are
    // copied), made with lengths when keep_lengths. `groups` is empty (every tree in group 0) or
    // one non-negative entry per tree; `tree_names` may be longer than the tree set (surplus names
    // are kept, as the module keeps them), never shorter.
    static SplitTable from_snapshots(Snapshots&& snapshots, std::vector<std::string> tree_names,
                                     std::vector<std::int32_t> groups, bool rooted,
                                     bool keep_lengths);

    // A compact little-endian byte form and its inverse. to_bytes writes version 2, which
    // ends with a checksum; from_bytes reads it and version 1 (no checksum), checks every
    // size, offset and id and the leaf sets (n_words from the leaf names, ascending and
    // distinct, no bit past the last leaf), so a damaged or foreign buffer gives a
    // one-line message, never a bad table.
    std::vector<std::uint8_t> to_bytes() const;
    static Result<SplitTable, std::string> from_bytes(std::span<const std::uint8_t> bytes);
};

// For every entry of table.ids, the id of the smallest split of the same tree that strictly
// contains it, or -1 (the top splits of a tree, and unrooted the pendant edge of the first
// leaf, which is stored as that leaf). The splits of one tree are nested or disjoint, so
// this is the tree's topology: rooted, the parent clade; unrooted, the parent when the tree
// is rooted on the first leaf.
std::vector<std::int32_t> split_parents(const SplitTable& table);
// The same for the entries of trees t0..t1 only (indptr[t0] .. indptr[t1]), computed
// without the rest: what a pass over the trees a chunk at a time needs. `sizes` is
// split_sizes(table), which such a caller computes once.
std::vector<std::int32_t> split_parents(const SplitTable& table, std::size_t t0,
                                        std::size_t t1, std::span<const std::uint32_t> sizes);

// Per split id: the number of leaves in its leaf set.
std::vector<std::uint32_t> split_sizes(const SplitTable& table);

// (n_splits x n_groups) row-major: how many trees of each group hold each split.
// Preconditions: every group is below n_groups; n_splits * n_groups cells fit in a vector.
std::vector<std::int64_t> split_counts(const SplitTable& table, std::size_t n_groups);

}  // namespace kestrilune
