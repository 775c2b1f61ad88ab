// Weighted Robinson-Foulds and branch-score distances for any rectangle of a tree set,
// handed out tile by tile (the weighted counterpart of rf_tiles.hpp, with the same tile
// shape). The module's WRF matrix is one symmetric call of these tiles; its KF matrix uses
// the same row kernel as the KF tiles (weighted.cpp).
//
// Input: per tree its ids ascending with their lengths in compressed rows (LengthSets),
// where the ascending id order is the order of the sums, and `universe`, the number of ids
// of the whole set. Every value is bit for bit the fold that pairwise_wrf_dense and
// pairwise_kf_dense compute over the same set (all ids 0 .. universe-1 in ascending order,
// a missing id counting as 0.0), whatever the tiling, the lists or the pool size. A tree
// against itself (the same index in both lists) is 0.0, the module's diagonal.
//
//     weighted_tiles(WeightedMetric::Wrf, sets, rows, cols, [&](const WeightedTile& t) {
//         for (std::size_t r = t.row_begin; r < t.row_end; ++r)
//             for (std::size_t c = t.col_begin; c < t.col_end; ++c)
//                 out[r * n_cols + c] = t.at(r, c);   // and [c * n_cols + r] when t.mirrored
//     });
//
// WRF: every block of positions is gathered by id once; a tile walks the ids its row block
// and column block hold, in ascending order, and gives each id's term to the cells it
// changes (wrf_events.hpp), so a pair costs about the ids its two trees hold, however many
// distinct ids the whole set has. KF: a tile gathers its column trees' lengths by id (ids
// many of them hold as dense columns, the rest as short lists) and runs the row kernel for
// every row tree against them, so a pair costs about the row tree's ids.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/function_ref.hpp"
#include "dispatch/dispatch.hpp"

namespace kestrilune {

// Tree t holds ids[offsets[t] .. offsets[t + 1]) (strictly ascending, each below
// `universe`) with lengths[k] beside ids[k]. `norms`, needed for KF only, holds per tree
// the sum of its squared lengths (see length_norms).
struct LengthSets {
    std::span<const std::int64_t> offsets;
    std::span<const std::uint32_t> ids;
    std::span<const double> lengths;
    std::span<const double> norms;
    std::size_t universe = 0;

    std::size_t n_trees() const noexcept { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::span<const std::uint32_t> tree_ids(std::size_t t) const noexcept {
        return ids.subspan(static_cast<std::size_t>(offsets[t]),
                           static_cast<std::size_t>(offsets[t + 1] - offsets[t]));
    }
    std::span<const double> tree_lengths(std::size_t t) const noexcept {
        return lengths.subspan(static_cast<std::size_t>(offsets[t]),
                               static_cast<std::size_t>(offsets[t + 1] - offsets[t]));
    }
};

// Per tree: its squared lengths added in id order, from +0.0 (-0.0 when universe is 0),
// the s_t of the KF kernel.
std::vector<double> length_norms(const LengthSets& sets);

enum class WeightedMetric { Wrf, Kf };

// Row positions [row_begin, row_end) against column positions [col_begin, col_end); the
// values live during the sink call only. Same meaning of `mirrored` and `diagonal` as
// RfTile: in a symmetric call a tile above the diagonal stands for its transpose too, and a
// tile on the diagonal is a complete square with a zero diagonal.
struct WeightedTile {
    std::size_t row_begin = 0;
    std::size_t row_end = 0;
    std::size_t col_begin = 0;
    std::size_t col_end = 0;
    const double* values = nullptr;  // row-major, `stride` values per row
    std::size_t stride = 0;
    bool mirrored = false;
    bool diagonal = false;

    double at(std::size_t r, std::size_t c) const noexcept {
        return values[(r - row_begin) * stride + (c - col_begin)];
    }
    std::uint64_t pairs() const noexcept;
};

struct WeightedTileOptions {
    std::atomic<std::uint64_t>* progress = nullptr;  // += pairs() after each tile (relaxed)
    std::size_t tile_size = 0;                       // positions per side; 0 picks one
    // The tiles of one row block go to one task in ascending column order, so that a sink
    // adding along rows adds in a fixed order (a symmetric call is then not folded).
    bool row_owned = false;
    dispatch::Features features = dispatch::features();
};

// Calls sink once per tile, from several workers at once. Equal row and column lists make
// a symmetric call (unless row_owned): each unordered position pair is delivered once.
// Preconditions (checked, an InternalError before any tile): indices below n_trees(),
// ids below universe, norms present for KF.
void weighted_tiles(WeightedMetric metric, const LengthSets& sets,
                    std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols,
                    FunctionRef<void(const WeightedTile&)> sink,
                    const WeightedTileOptions& options = {});

}  // namespace kestrilune
