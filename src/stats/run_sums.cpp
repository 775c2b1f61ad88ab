#include "stats/run_sums.hpp"

#include <algorithm>
#include <limits>

#include "pool/pool.hpp"

namespace kestrilune::stats {

namespace {

// Rows per task: each task keeps its own diag and col_upper partials (2n cells), merged
// after the loop, so no two tasks write one cell.
constexpr std::size_t kRowsPerTask = 32;

// lagged[k] += sum over t < n - k of x[t] x[t + k], for k = 0..max_lag. The loop over k is
// innermost and contiguous, so it vectorises. Products are summed in 32-bit lanes over runs
// of t short enough that no lane can overflow (all of a row of RF distances below 256),
// then added to the 64-bit totals; the last max_lag values of t, where some lags run past
// the end, are done apart.
template <class T>
void lagged_products(const T* x, std::size_t n, std::size_t max_lag, std::int64_t* lagged,
                     std::uint32_t* lanes) {
    const std::size_t width = max_lag + 1;
    const std::size_t full = n > max_lag ? n - max_lag : 0;
    std::uint64_t top = 0;
    for (std::size_t t = 0; t < n; ++t) {
        top = std::max<std::uint64_t>(top, x[t]);
    }
    const std::uint64_t max_product = top * top;
    if (max_product <= std::numeric_limits<std::uint32_t>::max()) {
        const std::size_t run =
            max_product == 0
                ? full
                : static_cast<std::size_t>(std::numeric_limits<std::uint32_t>::max() / max_product);
        for (std::size_t t0 = 0; t0 < full; t0 += run) {
            const std::size_t t1 = std::min(full, t0 + run);
            std::fill(lanes, lanes + width, 0u);
            for (std::size_t t = t0; t < t1; ++t) {
                const std::uint32_t xt = x[t];
                const T* ahead = x + t;
                for (std::size_t k = 0; k < width; ++k) {
                    lanes[k] += xt * static_cast<std::uint32_t>(ahead[k]);
                }
            }
            for (std::size_t k = 0; k < width; ++k) {
                lagged[k] += lanes[k];
            }
        }
    } else {
        for (std::size_t t = 0; t < full; ++t) {
            const std::int64_t xt = x[t];
            const T* ahead = x + t;
            for (std::size_t k = 0; k < width; ++k) {
                lagged[k] += xt * static_cast<std::int64_t>(ahead[k]);
            }
        }
    }
    for (std::size_t t = full; t < n; ++t) {
        const std::int64_t xt = x[t];
        for (std::size_t k = 0; k < width && t + k < n; ++k) {
            lagged[k] += xt * static_cast<std::int64_t>(x[t + k]);
        }
    }
}

}  // namespace

RunSums::RunSums(std::size_t n_trees, std::size_t lags)
    : n(n_trees), max_lag(lags), diag(n_trees, 0), col_upper(n_trees, 0) {}

bool fits(std::size_t n, std::uint64_t max_value) noexcept {
    if (max_value == 0 || n == 0) {
        return true;
    }
    // a * a * n <= L  exactly when  a <= (L / n) / a  in integer division.
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return max_value <= limit / n / max_value;
}

template <class T>
void add_block(const T* block, std::size_t rows, std::size_t row0, RunSums& run, BlockSums& out) {
    const std::size_t n = run.n;
    const std::size_t width = run.max_lag + 1;
    out.lagged.assign(rows * width, 0);
    out.total.assign(rows, 0);
    out.row_upper.assign(rows, 0);
    const std::size_t tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
    // partial[task]: diag (n cells) then col_upper (n cells) of that task's rows.
    std::vector<std::int64_t> partial(tasks * 2 * n, 0);
    pool::parallel_for(
        0, tasks,
        [&](std::size_t task_begin, std::size_t task_end) {
            std::vector<std::uint32_t> lanes(width);  // per block of tasks, not per row
            for (std::size_t task = task_begin; task < task_end; ++task) {
                std::int64_t* diag = partial.data() + task * 2 * n;
                std::int64_t* col = diag + n;
                const std::size_t r_end = std::min(rows, (task + 1) * kRowsPerTask);
                for (std::size_t r = task * kRowsPerTask; r < r_end; ++r) {
                    const T* x = block + r * n;
                    const std::size_t i = row0 + r;
                    lagged_products(x, n, run.max_lag, out.lagged.data() + r * width, lanes.data());
                    std::int64_t total = 0;
                    for (std::size_t j = 0; j < n; ++j) {
                        total += x[j];
                    }
                    std::int64_t upper = 0;
                    for (std::size_t j = i + 1; j < n; ++j) {
                        const std::int64_t v = x[j];
                        const std::int64_t sq = v * v;
                        upper += sq;
                        col[j] += sq;
                        diag[j - i] += sq;
                    }
                    out.total[r] = total;
                    out.row_upper[r] = upper;
                }
            }
        },
        1);
    for (std::size_t task = 0; task < tasks; ++task) {
        const std::int64_t* diag = partial.data() + task * 2 * n;
        const std::int64_t* col = diag + n;
        for (std::size_t j = 0; j < n; ++j) {
            run.diag[j] += diag[j];
            run.col_upper[j] += col[j];
        }
    }
}

template void add_block<std::uint8_t>(const std::uint8_t*, std::size_t, std::size_t, RunSums&,
                                      BlockSums&);
template void add_block<std::uint16_t>(const std::uint16_t*, std::size_t, std::size_t, RunSums&,
                                       BlockSums&);
template void add_block<std::uint32_t>(const std::uint32_t*, std::size_t, std::size_t, RunSums&,
                                       BlockSums&);

}  // namespace kestrilune::stats
