// Distances of a split table over any rectangle of trees, handed out tile by tile.
//
// A tile is a block of row positions x a block of column positions of two index lists.
// Its values live in a buffer of the worker that computed them, during one sink call, so a
// caller can write any layout (square, condensed, narrowed) or reduce (row sums,
// histograms, nearest neighbours) without an n x n matrix.
//
//     pair_tiles<double>(rows, cols, wrf_pair, [&](const Tile<double>& t) { ... }, options);
//
// When rows and cols are the same sequence the call is symmetric: each unordered pair of
// positions is delivered once. Tiles above the diagonal stand for their transpose too
// (`mirrored`); tiles on the diagonal are complete squares with a zero diagonal.
//
// The weighted metrics (WRF, KF) are computed pair by pair from each tree's splits in the
// order the table first met them, so that every cell is bit for bit the module's cell for
// the table's trees (see weighted_pair below).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/errors.hpp"
#include "pool/pool.hpp"
#include "table/split_table.hpp"

namespace kestrilune {

template <class Value>
struct Tile {
    std::size_t row_begin = 0;
    std::size_t row_end = 0;
    std::size_t col_begin = 0;
    std::size_t col_end = 0;
    const Value* values = nullptr;  // row-major, `stride` values per row
    std::size_t stride = 0;
    bool mirrored = false;  // symmetric call, above the diagonal: stands for its transpose
    bool diagonal = false;  // symmetric call, on the diagonal

    Value at(std::size_t r, std::size_t c) const noexcept {
        return values[(r - row_begin) * stride + (c - col_begin)];
    }
    std::uint64_t pairs() const noexcept {
        const std::uint64_t rows = row_end - row_begin;
        return diagonal ? rows * (rows - (rows > 0 ? 1 : 0)) / 2 : rows * (col_end - col_begin);
    }
};

struct TileOptions {
    std::atomic<std::uint64_t>* progress = nullptr;  // += pairs() after each tile (relaxed)
    const std::atomic<bool>* stop = nullptr;         // checked before each tile
    std::size_t tile_size = 0;                       // positions per side; 0 picks one
    // Tiles of one row block go to one task, in ascending column order, so that a sink
    // summing along rows adds in a fixed order (symmetric calls are then not folded).
    bool row_owned = false;
};

enum class TilesStatus { Done, Stopped };

namespace detail {

constexpr std::size_t kTileSide = 128;

bool same_sequence(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b);

}  // namespace detail

// Calls sink(tile) once per tile, from several workers at once, with
// value (r, c) = pair(rows[r], cols[c]). Preconditions: every index below the table's tree
// count (the caller checks; a violation is an InternalError).
template <class Value, class Pair, class Sink>
requires std::invocable<Pair&, std::uint32_t, std::uint32_t> && std::invocable < Sink&,
    const Tile<Value>
& > TilesStatus pair_tiles(std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols,
                           Pair&& pair, Sink&& sink, const TileOptions& options = {}) {
    const bool symmetric = !options.row_owned && detail::same_sequence(rows, cols);
    const std::size_t side = options.tile_size > 0 ? options.tile_size : detail::kTileSide;
    const std::size_t row_blocks = (rows.size() + side - 1) / side;
    const std::size_t col_blocks = (cols.size() + side - 1) / side;
    // Task t: one tile (I, J), or a whole row block when row_owned.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks;
    for (std::size_t i = 0; i < row_blocks; ++i) {
        if (options.row_owned) {
            tasks.emplace_back(i, 0);
            continue;
        }
        for (std::size_t j = symmetric ? i : 0; j < col_blocks; ++j) {
            tasks.emplace_back(i, j);
        }
    }
    std::atomic<bool> stopped{false};
    pool::parallel_for(
        0, tasks.size(),
        [&](std::size_t begin, std::size_t end) {
            thread_local std::vector<Value> buffer;
            buffer.resize(side * side);
            for (std::size_t t = begin; t < end; ++t) {
                const std::size_t i = tasks[t].first;
                const std::size_t j_first = options.row_owned ? 0 : tasks[t].second;
                const std::size_t j_last = options.row_owned ? col_blocks : j_first + 1;
                for (std::size_t j = j_first; j < j_last; ++j) {
                    if (options.stop != nullptr && options.stop->load(std::memory_order_relaxed)) {
                        stopped.store(true, std::memory_order_relaxed);
                        return;
                    }
                    Tile<Value> tile;
                    tile.row_begin = i * side;
                    tile.row_end = std::min(rows.size(), tile.row_begin + side);
                    tile.col_begin = j * side;
                    tile.col_end = std::min(cols.size(), tile.col_begin + side);
                    tile.diagonal = symmetric && i == j;
                    tile.mirrored = symmetric && i != j;
                    tile.values = buffer.data();
                    tile.stride = tile.col_end - tile.col_begin;
                    for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
                        Value* out = buffer.data() + (r - tile.row_begin) * tile.stride;
                        for (std::size_t c = tile.col_begin; c < tile.col_end; ++c) {
                            out[c - tile.col_begin] =
                                tile.diagonal && c <= r ? Value{} : pair(rows[r], cols[c]);
                        }
                    }
                    if (tile.diagonal) {  // complete the square from its upper triangle
                        for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
                            for (std::size_t c = tile.col_begin; c < r; ++c) {
                                buffer[(r - tile.row_begin) * tile.stride + (c - tile.col_begin)] =
                                    tile.at(c, r);
                            }
                        }
                    }
                    sink(tile);
                    if (options.progress != nullptr) {
                        // Relaxed: the counter only reports progress.
                        options.progress->fetch_add(tile.pairs(), std::memory_order_relaxed);
                    }
                }
            }
        },
        1);
    return stopped.load() ? TilesStatus::Stopped : TilesStatus::Done;
}

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
};

enum class Weighted { Wrf, Kf };

// The cell of the module's WRF or KF kernel for trees a and b: a fold over every split of
// the table in rank order, one accumulator from -0.0, of |x_a - x_b| (WRF) or x_a * x_b
// (KF dot), a missing split counting as +0.0. Splits neither tree holds add +0.0 terms,
// which change an accumulator only while it is -0.0 (and an accumulator that has left
// -0.0 never returns to it), so they are applied as one +0.0 at the end. The terms of the
// splits only one tree holds are computed as written (0.0 - x, x * 0.0), so NaN and
// infinite lengths behave as in the dense sum.
double weighted_pair(const WeightedView& view, Weighted metric, std::uint32_t a,
                     std::uint32_t b) noexcept;

}  // namespace kestrilune
