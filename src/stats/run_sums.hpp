// Whole-number sums over a run's distance matrix that the topological ESS measures need,
// gathered block by block of rows so that the matrix is never held whole.
//
//     RunSums run(n, max_lag);
//     BlockSums rows;
//     for (each block of rows [row0, row0 + m) of the n x n matrix, row-major)
//         add_block(block.data(), m, row0, run, rows);  // rows: per-row sums of this block
//     // run.diag[k]: sum over t of d(t, t+k)^2; run.col_upper[j]: sum over i < j of d(i, j)^2
//
// Per row i of a block: lagged[k] = sum over t < n - k of d(i, t) d(i, t + k) for
// k = 0..max_lag (the uncentred autocovariances of the distance trace to tree i), the sum
// of the row, and row_upper = sum over j > i of d(i, j)^2. Every sum is an exact integer,
// so the result is the same for any number of threads and any order of the blocks.
// Precondition: n * max^2 < 2^63 for the largest distance max (see fits()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrilune::stats {

struct RunSums {
    RunSums(std::size_t n_trees, std::size_t lags);
    std::size_t n = 0;
    std::size_t max_lag = 0;
    std::vector<std::int64_t> diag;       // n cells: lag 0..n-1
    std::vector<std::int64_t> col_upper;  // n cells
};

struct BlockSums {
    std::vector<std::int64_t> lagged;     // rows x (max_lag + 1), row-major
    std::vector<std::int64_t> total;      // rows
    std::vector<std::int64_t> row_upper;  // rows
};

// Whether sums of n products of values up to max_value stay exact in 64 bits.
bool fits(std::size_t n, std::uint64_t max_value) noexcept;

// Adds rows [row0, row0 + rows) of the n x n matrix (run.n columns each) to `run`, and
// writes their own sums to `out` (resized). Rows are spread over the worker pool.
template <class T>
void add_block(const T* block, std::size_t rows, std::size_t row0, RunSums& run, BlockSums& out);

extern template void add_block<std::uint8_t>(const std::uint8_t*, std::size_t, std::size_t,
                                             RunSums&, BlockSums&);
extern template void add_block<std::uint16_t>(const std::uint16_t*, std::size_t, std::size_t,
                                              RunSums&, BlockSums&);
extern template void add_block<std::uint32_t>(const std::uint32_t*, std::size_t, std::size_t,
                                              RunSums&, BlockSums&);

}  // namespace kestrilune::stats
