// What the tiled kernels hand out (rf_tiles.hpp, weighted_tiles.hpp): one tile of a
// rectangle of tree positions, and the options of a tiled call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "dispatch/dispatch.hpp"

namespace kestrilune {

// One tile of results: row positions [row_begin, row_end) of the row list against column
// positions [col_begin, col_end) of the column list. The values live only during the sink
// call (a buffer of the worker that computed them). T is std::uint32_t for RF, double for
// WRF and KF.
template <class T>
struct Tile {
    std::size_t row_begin = 0;
    std::size_t row_end = 0;
    std::size_t col_begin = 0;
    std::size_t col_end = 0;
    const T* values = nullptr;  // row-major, `stride` values per row
    std::size_t stride = 0;
    // Only for a sink that asked for them (TileOptions::indexed), and only where a block
    // holds repeated trees: `values` then has a row and a column per distinct tree, and
    // value (r, c) is values[row_of[r - row_begin] * stride + col_of[c - col_begin]].
    const std::uint32_t* row_of = nullptr;
    const std::uint32_t* col_of = nullptr;
    // Symmetric call (equal lists), tile above the diagonal: it also stands for its
    // transpose, value (c, r) = value (r, c), which no other tile delivers. Tiles on the
    // diagonal are complete squares (zero diagonal, both triangles) and not mirrored.
    bool mirrored = false;
    // Symmetric call, tile on the diagonal (its row and column ranges are equal).
    bool diagonal = false;

    T at(std::size_t r, std::size_t c) const noexcept {
        if (row_of != nullptr) {
            return values[row_of[r - row_begin] * stride + col_of[c - col_begin]];
        }
        return values[(r - row_begin) * stride + (c - col_begin)];
    }
    // Position pairs this tile stands for: rows x columns, or for a diagonal tile the
    // unordered pairs of distinct positions.
    std::uint64_t pairs() const noexcept {
        const std::uint64_t rows = row_end - row_begin;
        return diagonal ? rows * (rows - (rows > 0 ? 1 : 0)) / 2 : rows * (col_end - col_begin);
    }
};

struct TileOptions {
    // Receives pairs() of every tile once its sink has returned (relaxed additions). A
    // symmetric call over n positions adds n(n-1)/2 in total, a rectangle rows x cols.
    std::atomic<std::uint64_t>* progress = nullptr;
    // Positions per tile side, at most 256; 0 picks a size for the input.
    std::size_t tile_size = 0;
    // Weighted tiles only: the tiles of one row block go to one task in ascending column
    // order, so that a sink adding along rows adds in a fixed order (a symmetric call is
    // then not folded).
    bool row_owned = false;
    // RF tiles only: the sink takes tiles with row_of and col_of (values per distinct tree)
    // instead of values spread to every position.
    bool indexed = false;
    // The kernel runs the best compiled variant these features allow; all give the same
    // values.
    dispatch::Features features = dispatch::features();
};

}  // namespace kestrilune
