// Weighted Robinson-Foulds and branch-score distances for any rectangle of a tree set,
// handed out tile by tile (the weighted counterpart of rf_tiles.hpp, with the same tile
// shape). The module's WRF matrix is one symmetric call of these tiles; its KF matrix uses
// the same row kernel as the KF tiles (weighted.cpp).
//
// Input: per tree its ids ascending with their lengths in compressed rows (LengthSets),
// where the ascending id order is the order of the sums, and `universe`, the number of ids
// of the whole set. Every value is bit for bit the fold that wrf_matrix and kf_matrix
// compute over the same set (all ids 0 .. universe-1 in ascending order,
// a missing id counting as 0.0), whatever the tiling, the lists or the pool size. A tree
// against itself (the same index in both lists) is 0.0, the module's diagonal.
//
//     weighted_tiles(Metric::Wrf, sets, rows, cols, [&](const Tile<double>& t) {
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
#include "distances/metric.hpp"
#include "distances/tile.hpp"

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

// Calls sink once per tile, from several workers at once. Equal row and column lists make
// a symmetric call (unless row_owned): each unordered position pair is delivered once.
// Preconditions (checked, an InternalError before any tile): metric Wrf or Kf, indices
// below n_trees(), ids below universe, norms present for KF.
void weighted_tiles(Metric metric, const LengthSets& sets,
                    std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols,
                    FunctionRef<void(const Tile<double>&)> sink, const TileOptions& options = {});

}  // namespace kestrilune
