// Robinson-Foulds distances for any rectangle of a tree set, handed out tile by tile.
//
// Input: the split ids of every tree in compressed rows (SplitSets), a list of row trees
// and a list of column trees. Output: RF(row tree, column tree) for every position pair,
// delivered to a sink one tile (a block of row positions x a block of column positions) at
// a time, from the worker pool, so that a caller can write any layout (square, condensed,
// narrowed) or reduce (row sums, histograms, nearest neighbours) without an n x n matrix.
//
//     std::vector<std::uint32_t> all(n);  // 0 .. n-1
//     std::iota(all.begin(), all.end(), 0u);
//     rf_tiles(sets, all, all, [&](const Tile<std::uint32_t>& t) {
//         for (std::size_t r = t.row_begin; r < t.row_end; ++r)
//             for (std::size_t c = t.col_begin; c < t.col_end; ++c)
//                 matrix[r * n + c] = t.at(r, c);   // and [c * n + r] when t.mirrored
//     });
//
// The cost of a pair follows what its two tiles share, not the number of distinct splits
// of the call: each tile gets bit rows over only the splits held by some row tree and some
// column tree of the tile and not by all of them, and trees with identical split lists are
// computed once per tile. Every value is |A| + |B| - 2|A & B|, exact, the same bits on
// every processor and pool size.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/function_ref.hpp"
#include "dispatch/dispatch.hpp"
#include "distances/tile.hpp"

namespace kestrilune {

// Split ids per tree in compressed rows: tree t holds ids[offsets[t] .. offsets[t + 1]),
// strictly ascending. offsets has n_trees + 1 entries, starting at 0 and never decreasing
// (the layout of a CSR matrix's indptr and indices, so NumPy arrays can be viewed as is).
struct SplitSets {
    std::span<const std::int64_t> offsets;
    std::span<const std::uint32_t> ids;

    std::size_t n_trees() const noexcept { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::span<const std::uint32_t> tree(std::size_t t) const noexcept {
        return ids.subspan(static_cast<std::size_t>(offsets[t]),
                           static_cast<std::size_t>(offsets[t + 1] - offsets[t]));
    }
};

// The compiled variants of the pair loop, best first.
std::vector<dispatch::VariantInfo> rf_tile_variants();

// Calls sink once per tile, from several worker threads at once (each call on its own
// tile: a sink writing the cells of its tile needs no lock). When rows and cols hold the
// same sequence the call is symmetric: each unordered position pair is delivered once
// (see Tile::mirrored); otherwise every (row, column) position pair is delivered once.
// A stop request of the pool (pool::Stopped) ends the call between tiles.
//
// Preconditions (checked; a violation is an InternalError before any tile is delivered):
// every entry of rows and cols is below sets.n_trees(), offsets are as described, the
// ids of every listed tree strictly ascend, and options.row_owned is false. A sink may
// throw std::bad_alloc; it ends the call after the running tiles, and the caller gets the
// exception (pool::parallel_for).
void rf_tiles(const SplitSets& sets, std::span<const std::uint32_t> rows,
              std::span<const std::uint32_t> cols,
              FunctionRef<void(const Tile<std::uint32_t>&)> sink, const TileOptions& options = {});

}  // namespace kestrilune
