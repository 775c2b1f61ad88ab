// Writes the tiles of a symmetric tiled call into a full n x n row-major matrix: each tile
// its cells and, above the diagonal, their mirror images, so that every cell is written by
// exactly one tile.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/thread_scratch.hpp"
#include "distances/tile.hpp"
#include "distances/tile_side.hpp"

namespace kestrilune::detail {

// Matrices of at least this many bytes are written past the caches.
inline constexpr std::size_t kStreamedMatrixBytes = std::size_t{4} << 20;

// Copies `bytes` (a multiple of 4, `to` 4-byte aligned) with stores that bypass the caches:
// a large matrix is not read again by the call that writes it, and a cached store would
// first read each of its lines in and evict what the tiles read. On one thread this took
// 9% off the whole RF call for 10,000 trees of 50 taxa (a 400 MB matrix) and 3-6% for
// 4,000 and 2,000 trees (64 and 16 MB).
inline void stream_bytes(void* to, const void* from, std::size_t bytes) noexcept {
#if defined(__SSE2__)
    auto* out = static_cast<char*>(to);
    const auto* in = static_cast<const char*>(from);
    const auto word = [&](std::size_t k) {
        int value;
        std::memcpy(&value, in + k, sizeof(value));
        _mm_stream_si32(reinterpret_cast<int*>(out + k), value);
    };
    std::size_t k = 0;
    for (; k < bytes && (reinterpret_cast<std::uintptr_t>(out + k) & 15) != 0; k += 4) {
        word(k);
    }
    for (; k + 16 <= bytes; k += 16) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + k),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k)));
    }
    for (; k < bytes; k += 4) {
        word(k);
    }
#else
    std::memcpy(to, from, bytes);
#endif
}

template <class T>
class MatrixWriter {
    static_assert(sizeof(T) % 4 == 0 && alignof(T) >= 4);

public:
    // n * n * sizeof(T) must fit (the callers check it first).
    MatrixWriter(T* cells, std::size_t n) noexcept
        : cells_(cells), n_(n), streamed_(n * n * sizeof(T) >= kStreamedMatrixBytes) {}

    // Takes indexed tiles (TileOptions::indexed).
    void operator()(const Tile<T>& tile) const {
        if (tile.row_of != nullptr) {
            put_indexed(tile);
        } else {
            put_plain(tile);
        }
#if defined(__SSE2__)
        if (streamed_) {
            _mm_sfence();  // the streamed cells are seen by whoever learns the tile is done
        }
#endif
    }

private:
    void put_plain(const Tile<T>& tile) const noexcept {
        const std::size_t width = tile.col_end - tile.col_begin;
        for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
            put(cells_ + r * n_ + tile.col_begin, tile.values + (r - tile.row_begin) * tile.stride,
                width);
        }
        if (tile.mirrored) {
            put_mirror(tile, width);
        }
    }

    // A tile whose blocks hold repeated trees: positions of one distinct tree have equal
    // rows (and, mirrored, equal columns), so each distinct row is gathered from the
    // distinct values once and written at every position it stands for, and so is each
    // distinct column. Spreading the values to positions first and transposing that for
    // the mirror touched every cell twice more.
    void put_indexed(const Tile<T>& tile) const {
        const std::size_t height = tile.row_end - tile.row_begin;
        const std::size_t width = tile.col_end - tile.col_begin;
        std::vector<T>& line = thread_scratch<struct IndexedLines, std::vector<T>>();
        line.resize(kMaxTileSide * kMaxTileSide);
        bool made[kMaxTileSide] = {};
        for (std::size_t r = 0; r < height; ++r) {
            const std::uint32_t d = tile.row_of[r];
            T* row = line.data() + std::size_t{d} * kMaxTileSide;
            if (!made[d]) {
                made[d] = true;
                const T* from = tile.values + std::size_t{d} * tile.stride;
                for (std::size_t c = 0; c < width; ++c) {
                    row[c] = from[tile.col_of[c]];
                }
            }
            put(cells_ + (tile.row_begin + r) * n_ + tile.col_begin, row, width);
        }
        if (!tile.mirrored) {
            return;
        }
        std::fill(made, made + kMaxTileSide, false);
        for (std::size_t c = 0; c < width; ++c) {
            const std::uint32_t d = tile.col_of[c];
            T* column = line.data() + std::size_t{d} * kMaxTileSide;
            if (!made[d]) {
                made[d] = true;
                const T* from = tile.values + d;
                for (std::size_t r = 0; r < height; ++r) {
                    column[r] = from[std::size_t{tile.row_of[r]} * tile.stride];
                }
            }
            put(cells_ + (tile.col_begin + c) * n_ + tile.row_begin, column, height);
        }
    }

    // The transpose, a cache line's worth of columns at a time: every line of the tile is
    // read once (column by column, each of a tile's lines was read once per value in it,
    // from further out than the first-level cache once the tile is wide).
    void put_mirror(const Tile<T>& tile, std::size_t width) const noexcept {
        constexpr std::size_t kGroup = 64 / sizeof(T);
        T columns[kGroup][kMaxTileSide];
        const std::size_t height = tile.row_end - tile.row_begin;
        for (std::size_t c0 = 0; c0 < width; c0 += kGroup) {
            const std::size_t group = std::min(kGroup, width - c0);
            const T* from = tile.values + c0;
            if (group == kGroup) {
                std::size_t r = 0;
#if defined(__SSE2__)
                if constexpr (sizeof(T) == 4) {
                    // Four rows at a time, each 4 x 4 square turned by unpacking.
                    for (; r + 4 <= height; r += 4, from += 4 * tile.stride) {
                        for (std::size_t k = 0; k < kGroup; k += 4) {
                            const auto load = [&](std::size_t row) {
                                return _mm_loadu_si128(
                                    reinterpret_cast<const __m128i*>(from + row * tile.stride + k));
                            };
                            const __m128i a = load(0), b = load(1), c = load(2), d = load(3);
                            const __m128i ab_lo = _mm_unpacklo_epi32(a, b);
                            const __m128i ab_hi = _mm_unpackhi_epi32(a, b);
                            const __m128i cd_lo = _mm_unpacklo_epi32(c, d);
                            const __m128i cd_hi = _mm_unpackhi_epi32(c, d);
                            const auto store = [&](std::size_t j, __m128i v) {
                                _mm_storeu_si128(reinterpret_cast<__m128i*>(&columns[k + j][r]), v);
                            };
                            store(0, _mm_unpacklo_epi64(ab_lo, cd_lo));
                            store(1, _mm_unpackhi_epi64(ab_lo, cd_lo));
                            store(2, _mm_unpacklo_epi64(ab_hi, cd_hi));
                            store(3, _mm_unpackhi_epi64(ab_hi, cd_hi));
                        }
                    }
                }
#endif
                for (; r < height; ++r, from += tile.stride) {
                    for (std::size_t k = 0; k < kGroup; ++k) {
                        columns[k][r] = from[k];
                    }
                }
            } else {
                for (std::size_t r = 0; r < height; ++r, from += tile.stride) {
                    for (std::size_t k = 0; k < group; ++k) {
                        columns[k][r] = from[k];
                    }
                }
            }
            for (std::size_t k = 0; k < group; ++k) {
                put(cells_ + (tile.col_begin + c0 + k) * n_ + tile.row_begin, columns[k], height);
            }
        }
    }

    void put(T* to, const T* from, std::size_t count) const noexcept {
        if (streamed_) {
            stream_bytes(to, from, count * sizeof(T));
        } else {
            std::copy(from, from + count, to);
        }
    }

    T* cells_;
    std::size_t n_;
    bool streamed_;
};

}  // namespace kestrilune::detail
