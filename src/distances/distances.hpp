// Distance kernels over a finished Snapshots, and fill_symmetric, the parallel pairwise fill
// they share. Every kernel writes an n x n row-major matrix straight into a caller-provided
// buffer (typically the buffer of the bytes object that will be returned), with a zero
// diagonal and the lower triangle a copy of the upper one.
//
//     std::vector<std::uint32_t> rf(n * n);
//     rf_matrix(snapshots, &counter, rf.data());
//
// The counter, when given, counts finished pairs with relaxed additions: the length kernels
// add n - i - 1 after row i, the RF kernel the pairs of each tile.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dispatch/dispatch.hpp"
#include "distances/metric.hpp"
#include "pool/pool.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune {

namespace detail {

// n * m cells of `cell_bytes` each; a size that cannot be represented is an InternalError,
// raised before anything is allocated.
std::size_t checked_cells(std::size_t n, std::size_t m, std::size_t cell_bytes);

// 1 + the largest id of any tree (the last of each ascending list), or 0 without ids.
std::size_t id_universe(const std::vector<InternSnap>& trees);

// Copies the upper triangle into the lower one in square tiles, so that the column-wise
// writes stay within a few cache lines at a time. Bands of tile rows run on the pool: band
// ib writes only the lower-triangle cells of columns ib .. ib + 63, so bands never share a
// cell, and a stop request is seen between bands (a billion cells take seconds). One band
// is a block: the pool's own choice, an eighth of a worker's share, made Ctrl-C wait
// 70-340 ms at 10,000 trees (the lower triangle's pages are first touched here).
template <class T>
void mirror_upper_to_lower(T* cells, std::size_t n) {
    constexpr std::size_t kTile = 64;
    const std::size_t n_bands = (n + kTile - 1) / kTile;
    pool::parallel_for(0, n_bands, [cells, n](std::size_t band_begin, std::size_t band_end) {
        for (std::size_t ib = band_begin * kTile; ib < std::min(band_end * kTile, n);
             ib += kTile) {
            const std::size_t i_end = std::min(ib + kTile, n);
            for (std::size_t jb = ib; jb < n; jb += kTile) {
                const std::size_t j_end = std::min(jb + kTile, n);
                for (std::size_t i = ib; i < i_end; ++i) {
                    for (std::size_t j = std::max(jb, i + 1); j < j_end; ++j) {
                        cells[j * n + i] = cells[i * n + j];
                    }
                }
            }
        }
    }, 1);
}

}  // namespace detail

// Fills the n x n matrix `cells`: blocks of rows in parallel on the pool, block_fn(begin,
// end) writing cells j = i+1 .. n-1 of every row i in [begin, end); after a block, one
// counter addition of n - i - 1 per row; then the mirror copy.
// The diagonal is set to T{}. A block lets a kernel reuse each row j it loads for several
// rows i. `max_rows` caps the rows of a block (0: no cap of the caller's).
template <class T, class BlockFn>
    requires std::invocable<BlockFn&, std::size_t, std::size_t>
void fill_symmetric_blocks(std::size_t n, std::atomic<std::uint64_t>* counter, T* cells,
                           BlockFn&& block_fn, std::size_t max_rows = 0) {
    if (n == 0) {
        return;
    }
    // Row i costs n - i - 1 pairs; small blocks keep the two ends of the triangle balanced.
    // A block is also what a stop request waits for, and what a loop started beside this
    // one waits for before it gets a worker: at most about a million pairs, a few
    // milliseconds, in multiples of eight rows (the RF kernel's tile).
    constexpr std::size_t kMaxPairsPerBlock = std::size_t{1} << 20;
    std::size_t grain = std::max<std::size_t>(1, n / (32 * pool::size()));
    grain = std::min(grain, std::max<std::size_t>(8, kMaxPairsPerBlock / n / 8 * 8));
    if (max_rows != 0) {
        grain = std::min(grain, max_rows);
    }
    pool::parallel_for(
        0, n,
        [&](std::size_t begin, std::size_t end) {
            block_fn(begin, end);
            for (std::size_t i = begin; i < end; ++i) {
                cells[i * n + i] = T{};
                if (counter != nullptr) {
                    // Relaxed: the counter only reports progress and orders no other memory.
                    counter->fetch_add(n - i - 1, std::memory_order_relaxed);
                }
            }
        },
        grain);
    detail::mirror_upper_to_lower(cells, n);
}

// The same, one row at a time: row_fn(i, row) with `row` pointing at cell (i, 0). Each row
// is a block of its own: a row of the length kernels costs n pair sums over every split
// of a tree, milliseconds already.
template <class T, class RowFn>
    requires std::invocable<RowFn&, std::size_t, T*>
void fill_symmetric_rows(std::size_t n, std::atomic<std::uint64_t>* counter, T* cells,
                         RowFn&& row_fn) {
    fill_symmetric_blocks<T>(
        n, counter, cells,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                row_fn(i, cells + i * n);
            }
        },
        1);
}

// The same with a per-pair function: cell (i, j) = pair(i, j) for i < j, converted to T.
template <class T, class PairFn>
    requires std::invocable<PairFn&, std::size_t, std::size_t>
void fill_symmetric(std::size_t n, std::atomic<std::uint64_t>* counter, T* cells,
                    PairFn&& pair) {
    fill_symmetric_rows<T>(n, counter, cells, [&](std::size_t i, T* row) {
        for (std::size_t j = i + 1; j < n; ++j) {
            row[j] = static_cast<T>(pair(i, j));
        }
    });
}

// Weighted Robinson-Foulds and the Kuhner-Felsenstein branch score over the per-tree
// lengths (a split a tree lacks counts with length 0.0; pendant edges count). Every
// cell is bit for bit the value of these sums over all ids k = 0 .. m-1 of the call in
// ascending order, each with one accumulator that starts at -0.0:
//   WRF(i, j) = sum of |D[i][k] - D[j][k]|
//   KF(i, j)  = sqrt(max((s_i + s_j) - (dot + dot), +0.0)), NaN -> +0.0, where
//               s_t = sum of D[t][k] * D[t][k] and dot = sum of D[i][k] * D[j][k]
// with every product and difference rounded on its own. `cells` holds trees.size()^2
// values; the trees must carry their lengths.
//
// WRF runs the symmetric weighted tiles (weighted_tiles.hpp) over the whole set; KF gathers
// every tree's lengths by id once and runs the rows against them.
//
// Every kernel runs the best of its compiled variants that `features` allows (the process's
// dispatch level unless a test names other features); all variants give the same bits.
void wrf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter, double* cells,
                dispatch::Features features = dispatch::features());
void kf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter, double* cells,
               dispatch::Features features = dispatch::features());

// Robinson-Foulds: the number of splits found in exactly one of the two trees,
// |A| + |B| - 2 |A & B| narrowed to its low 32 bits, computed tile by tile (rf_tiles.hpp).
// `cells` holds trees.size()^2 values. The counter receives the pairs of each tile as it
// finishes, n(n-1)/2 in total.
void rf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
               std::uint32_t* cells, dispatch::Features features = dispatch::features());

// The compiled variants of each kernel, best first.
std::vector<dispatch::VariantInfo> rf_kernel_variants();
std::vector<dispatch::VariantInfo> wrf_kernel_variants();
std::vector<dispatch::VariantInfo> kf_kernel_variants();

}  // namespace kestrilune
