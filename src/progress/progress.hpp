// Progress cells shared between a ProgressCounter (progress/progress_py.hpp), a running call
// and the worker threads that fill matrix rows. A cell is reference-counted, so a running
// call keeps it alive even when Python drops the counter. Every access is relaxed: the cell
// orders no other memory, it only counts finished pairs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace kestrilune {

using CounterCell = std::shared_ptr<std::atomic<std::uint64_t>>;

inline CounterCell make_counter_cell() { return std::make_shared<std::atomic<std::uint64_t>>(0); }

// Pairs of n trees: n * (n - 1), saturating at 2^64 - 1, then halved.
constexpr std::uint64_t pair_total(std::uint64_t n) noexcept {
    if (n < 2) {
        return 0;
    }
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(n, n - 1, &product)) {
        product = ~std::uint64_t{0};
    }
    return product / 2;
}

}  // namespace kestrilune
