// What the split-table engine answers: blocks of the distance matrix in any layout, and
// reductions that never hold the matrix (row sums, nearest neighbours, histograms, the
// mean distance at lag k within a run).
//
//     const Distances d{&table, Metric::Rf, nullptr};
//     write_block(d, rows, cols, CellOut{out, CellType::U16, n_cols, 1}, options);
//
// Every value is the module's cell for the same pair of the table's trees: RF exact, WRF
// and KF in the module's summation order. Results do not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "table/split_table.hpp"
#include "table/tiles.hpp"

namespace kestrilune {

// The distance of a metric over one table. `weighted` is needed (non-null) for WRF and KF.
struct Distances {
    const SplitTable* table = nullptr;
    Metric metric = Metric::Rf;
    const WeightedView* weighted = nullptr;

    double pair(std::uint32_t a, std::uint32_t b) const noexcept {
        if (metric == Metric::Rf) {
            return rf_pair(*table, a, b);
        }
        return weighted_pair(*weighted, metric, a, b);
    }
};

// The largest RF value any pair of the listed trees can have: the two largest split counts
// less twice the splits every tree of the table holds. Picks the narrowest cell type.
std::uint64_t rf_bound(const SplitTable& table, std::span<const std::uint32_t> rows,
                       std::span<const std::uint32_t> cols);

enum class CellType { U8, U16, U32, U64, I32, I64, F32, F64 };

// Where cell (r, c) of a block goes: base + r * row_stride + c * col_stride elements (a
// NumPy array's strides over its item size; a memmap is fine). For a condensed output only
// col_stride is used.
struct CellOut {
    void* base = nullptr;
    CellType type = CellType::U32;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 1;
};

// Cells (r, c) = d(rows[r], cols[c]).
void write_block(const Distances& d, std::span<const std::uint32_t> rows,
                        std::span<const std::uint32_t> cols, const CellOut& out,
                        const TileOptions& options);

// The upper triangle of the matrix over `index`, in the order of
// scipy.spatial.distance.squareform: (i, j), i < j, at i * m - i * (i + 1) / 2 + j - i - 1,
// m = index.size().
void write_condensed(const Distances& d, std::span<const std::uint32_t> index,
                            const CellOut& out, const TileOptions& options);

// sums[r] = sum over c of d(rows[r], cols[c]): exact integers for RF; for WRF and KF added
// in column order.
void row_sums(const Distances& d, std::span<const std::uint32_t> rows,
                     std::span<const std::uint32_t> cols, std::span<double> sums,
                     const TileOptions& options);

// The k nearest other trees of every listed tree (among the listed trees): neighbours[r * k
// + q] is a position into `index`, nearest first, ties to the lower position, NaN distances
// last; distances beside them. Precondition: k < index.size().
void nearest(const Distances& d, std::span<const std::uint32_t> index, std::size_t k,
                    std::span<std::int64_t> neighbours, std::span<double> distances,
                    const TileOptions& options);

// Counts of the distances of all pairs i < j of `index` in the bins [edges[b], edges[b+1])
// (the last bin closed, as numpy.histogram). Values outside the edges are not counted.
void histogram(const Distances& d, std::span<const std::uint32_t> index,
                      std::span<const double> edges, std::span<std::int64_t> counts,
                      const TileOptions& options);

// For every group g and lag k = 1 .. max_lag: over the pairs (t, u) of trees of group g
// where u is k trees after t within the group (in table order), their number, the sum of d
// and the sum of d^2 (each added in ascending t). For WRF and KF, pairs with a tree that
// holds a NaN or infinite branch length are left out of all three. Outputs are (n_groups x
// max_lag).
struct LagSums {
    std::vector<std::int64_t> pairs;
    std::vector<double> sum;
    std::vector<double> sum_sq;
};
LagSums lag_sums(const Distances& d, std::size_t n_groups, std::size_t max_lag,
                 const TileOptions& options);

// A table of the trees of `a` followed by those of `b`, as if both had been read in one
// call: ids, first appearances and leaf sets joint, so its cells are the module's cells for
// the concatenated trees. Needs the same leaves (names and count); else the module's
// message for the first tree of `b`, indexed after the trees of `a`. The groups of `b` are
// numbered after those of `a`; an error if that passes 2**31 - 1.
Result<SplitTable, std::string> concat(const SplitTable& a, const SplitTable& b);

// A table of the trees `trees` of `table` (in that order; repeats allowed) as if they alone
// had been read in one call: only the splits they hold, in ascending leaf-set order, first
// appearances counted among them, so its cells are the module's cells for those trees
// alone (the weighted distances' summation order included). Groups and names follow the
// trees. Precondition: every entry of `trees` is below table.n_trees().
SplitTable take(const SplitTable& table, std::span<const std::uint32_t> trees);

}  // namespace kestrilune
