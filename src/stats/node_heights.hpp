// Node heights of rooted trees held as split-table rows, and the heights of the most recent
// common ancestors of given clades in each tree (TreeAnnotator's "common ancestor" heights).
//
//     TreeRows rows{indptr, ids, parents, lengths, leaf_of_split};
//     std::vector<double> h(E + T), ca(plan.size() * T);
//     std::optional<std::string> bad = node_heights(rows, t0, t1, plan, h, ca, &progress);
//
// A tree t holds the entries indptr[t] .. indptr[t + 1]: split ids ascending, each with the
// id of its parent split (-1: the root, which has no entry) and its branch length. Trees
// t0..t1 give E = indptr[t1] - indptr[t0] entries. A node's depth is its parent's depth plus
// its length, lengths not above 0 counted as 0 (as BEAST reads them), the root's depth 0;
// its height is the tree's largest leaf depth minus its depth. h[e - indptr[t0]] is entry
// e's height, h[E + t - t0] tree t's root height.
//
// The plan names clades by how they are made, one row each, rows in order:
//   {leaf, -1}: the tip of that leaf;   {-1, -1}: the root;
//   {a, b} with a, b < r: the most recent common ancestor of rows a and b.
// ca[r * T + (t - t0)] is the height of row r's node in tree t.
//
// Every value is computed from the same operations in the same order for any thread count.
// Runs on the worker pool (blocks of trees); a stop request ends it with pool::Stopped.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrilune::stats {

struct TreeRows {
    std::span<const std::int64_t> indptr;         // n_trees + 1, from 0, non-decreasing
    std::span<const std::uint32_t> ids;           // indptr.back() split ids
    std::span<const std::int32_t> parents;        // beside ids: parent split id or -1
    std::span<const double> lengths;              // beside ids
    std::span<const std::int32_t> leaf_of_split;  // per split: its leaf if it has one, else -1
};

using PlanRow = std::array<std::int64_t, 2>;

// The heights (see above) of trees t0..t1, or what is wrong with the input (nothing is
// then promised about h and ca). h must hold E + T values, ca plan.size() * T. `progress`
// (may be null) gets one addition per tree.
std::optional<std::string> node_heights(const TreeRows& rows, std::size_t t0, std::size_t t1,
                                        std::span<const PlanRow> plan, std::span<double> h,
                                        std::span<double> ca,
                                        std::atomic<std::uint64_t>* progress);

// The values of chosen splits, each split's in one run (what the annotation passes keep of
// a chunk of trees): for every entry e, in order, whose row r = row_of_split[ids[e]] is not
// negative, at = starts[r] + filled[r]++ gets out_a[at] = a[e] and out_b[at] = b[e]. So each
// run holds its split's values in entry order, that is tree order. Rows number 0 ..
// filled.size() - 1 and starts has one more value. Returns what is wrong with the input (a
// split id beyond row_of_split, a row beyond filled, a run that would pass its end, arrays
// shorter than ids or than a run's end); the outputs are then partly written.
std::optional<std::string> gather_by_row(std::span<const std::uint32_t> ids,
                                         std::span<const std::int32_t> row_of_split,
                                         std::span<const double> a, std::span<const double> b,
                                         std::span<const std::int64_t> starts,
                                         std::span<std::int64_t> filled,
                                         std::span<double> out_a, std::span<double> out_b);

}  // namespace kestrilune::stats
