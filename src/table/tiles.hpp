// Pieces the split-table queries share: the options of a tiled call, and the distances of
// single pairs (the lag sums and one-off cells) with the per-tree data the weighted metrics
// need.
//
// Blocks of many pairs go through the tiled kernels of distances/ (rf_tiles for RF,
// weighted_tiles for WRF and KF); weighted_pair gives the same cell for one pair, by a
// merge of the two trees' splits in the order the table first met them (the module's
// summation order).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distances/weighted_tiles.hpp"
#include "table/split_table.hpp"

namespace kestrilune {

// RF of two trees: |A| + |B| - 2 |A & B| by merging their ascending id lists.
std::uint32_t rf_pair(const SplitTable& table, std::uint32_t a, std::uint32_t b) noexcept;

// The per-tree data of the weighted metrics: each tree's split ranks (order of first
// appearance) ascending, with their lengths, and the squared norm of every tree.
struct WeightedView {
    std::vector<std::int64_t> indptr;  // as the table's
    std::vector<std::uint32_t> ranks;  // ascending within a tree
    std::vector<double> lengths;
    std::vector<double> norms;  // KF: sum of squared lengths, in rank order
    std::size_t universe = 0;   // distinct splits of the table

    static WeightedView from_table(const SplitTable& table);

    // The arrays as the input of weighted_tiles (valid while the view lives).
    LengthSets sets() const noexcept { return {indptr, ranks, lengths, norms, universe}; }
};

// The cell of the module's WRF or KF kernel for trees a and b: a fold over every split of
// the table in rank order, one accumulator from -0.0, of |x_a - x_b| (WRF) or x_a * x_b
// (KF dot), a missing split counting as +0.0. Splits neither tree holds add +0.0 terms,
// which change an accumulator only while it is -0.0 (and an accumulator that has left
// -0.0 never returns to it), so they are applied as one +0.0 at the end. The terms of the
// splits only one tree holds are computed as written (0.0 - x, x * 0.0), so NaN and
// infinite lengths behave as in the dense sum.
double weighted_pair(const WeightedView& view, Metric metric, std::uint32_t a,
                     std::uint32_t b) noexcept;

}  // namespace kestrilune
