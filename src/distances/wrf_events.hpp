// Weighted Robinson-Foulds for one tile of row trees x column trees, walking the ids that
// either side holds in ascending order (the order of every cell's sum) and giving each id's
// term to every cell it changes, in whichever direction is cheap for that id.
//
// A cell's fold adds |D[i][k] - D[j][k]| for every id k either tree holds, one at a time in
// id order, from +0.0 (a term of +0.0 is a no-op for an accumulator that is not -0.0, so the
// ids neither tree holds can be left out; see weighted.cpp). An id held by rows Ri and
// columns Cj changes the cells of those rows and those columns: a row's cells are one
// contiguous vector when the tile's accumulators are stored by rows, a column's when they
// are stored by columns. Diffuse sets hold most ids in one tree only, a run of row trees'
// ids and then a run of column trees' ids, so the tile switches its storage between the two
// (a transpose) where a run of ids favours the other one; the switch points come from a
// shortest path over the ids' costs in both storages. MCMC samples hold most ids in many
// trees of both sides: those ids update the whole tile at once.
//
// Every cell still receives exactly its own terms, each rounded on its own, in ascending
// id order, so the values are those of the module's dense fold, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dispatch/dispatch.hpp"
#include "distances/weighted_tiles.hpp"

namespace kestrilune::detail {

// The trees of one block of positions (at most kMaxTileSide of them), gathered by id: the
// ascending ids some tree of the block holds, then a sentinel (UINT32_MAX); the trees
// holding ids[q] are entries [start[q], start[q + 1]), ascending by position.
struct IdBlock {
    std::size_t n_trees = 0;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> start;
    std::vector<std::uint16_t> position;
    std::vector<double> length;
};

void gather_block(IdBlock& block, const LengthSets& sets, std::span<const std::uint32_t> trees);

// Fills out[r * stride + c] for the tile rows x cols (r < rows.n_trees, c < cols.n_trees).
using WrfTileFn = void (*)(const IdBlock& rows, const IdBlock& cols, double* out,
                           std::size_t stride);

// The cells above the diagonal of block x block (r < c, each tree against the later ones;
// the rest of out[0 .. n) x [0 .. n) is left unspecified), by tile_fn on parts of the
// block: the upper right quarter as one tile, the two halves on the diagonal the same way,
// down to kDiagonalLeaf trees. A tree set whose ids come tree by tree (each tree's new ids
// after the earlier trees' ones) gives a tile of a block against itself every id from both
// sides, so each cell pays a single addition per id of its column tree across all the
// lines; a quarter above the diagonal holds earlier trees against later ones, whose ids
// come one side after the other.
inline constexpr std::size_t kDiagonalLeaf = 8;
void wrf_diagonal_tile(WrfTileFn tile_fn, const IdBlock& block, double* out, std::size_t stride);

WrfTileFn pick_wrf_tile(dispatch::Features features);
std::vector<dispatch::VariantInfo> wrf_tile_variants();

}  // namespace kestrilune::detail
