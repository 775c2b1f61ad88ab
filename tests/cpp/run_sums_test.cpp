#include "stats/run_sums.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kestrilune::stats {
namespace {

// A symmetric matrix with zero diagonal, as a run's distances are.
std::vector<std::uint16_t> random_distances(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 300);
    std::vector<std::uint16_t> d(n * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            d[i * n + j] = d[j * n + i] = static_cast<std::uint16_t>(value(rng));
        }
    }
    return d;
}

struct Case {
    std::size_t n, max_lag, block;
};

class RunSumsMatchDirectSums : public ::testing::TestWithParam<Case> {};

TEST_P(RunSumsMatchDirectSums, ForAnyBlockSize) {
    const Case c = GetParam();
    const auto d = random_distances(c.n, static_cast<unsigned>(c.n * 31 + c.block));
    RunSums run(c.n, c.max_lag);
    BlockSums rows;
    for (std::size_t row0 = 0; row0 < c.n; row0 += c.block) {
        const std::size_t m = std::min(c.block, c.n - row0);
        add_block(d.data() + row0 * c.n, m, row0, run, rows);
        for (std::size_t r = 0; r < m; ++r) {
            const std::size_t i = row0 + r;
            std::int64_t total = 0, upper = 0;
            for (std::size_t j = 0; j < c.n; ++j) {
                total += d[i * c.n + j];
                if (j > i) {
                    upper += std::int64_t{d[i * c.n + j]} * d[i * c.n + j];
                }
            }
            EXPECT_EQ(rows.total[r], total);
            EXPECT_EQ(rows.row_upper[r], upper);
            for (std::size_t k = 0; k <= c.max_lag; ++k) {
                std::int64_t s = 0;
                for (std::size_t t = 0; t + k < c.n; ++t) {
                    s += std::int64_t{d[i * c.n + t]} * d[i * c.n + t + k];
                }
                EXPECT_EQ(rows.lagged[r * (c.max_lag + 1) + k], s) << "row " << i << " lag " << k;
            }
        }
    }
    for (std::size_t k = 0; k < c.n; ++k) {
        std::int64_t diag = 0, col = 0;
        for (std::size_t t = 0; t + k < c.n; ++t) {
            diag += std::int64_t{d[t * c.n + t + k]} * d[t * c.n + t + k];
        }
        for (std::size_t i = 0; i < k; ++i) {
            col += std::int64_t{d[i * c.n + k]} * d[i * c.n + k];
        }
        EXPECT_EQ(run.diag[k], diag) << "lag " << k;
        EXPECT_EQ(run.col_upper[k], col) << "column " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, RunSumsMatchDirectSums,
                         ::testing::Values(Case{1, 0, 1}, Case{5, 4, 2}, Case{40, 12, 7},
                                           Case{100, 30, 100}, Case{130, 41, 33}));

TEST(RunSumsFits, GuardsAgainstOverflow) {
    EXPECT_TRUE(fits(10000, 255));
    EXPECT_TRUE(fits(1, 3037000499u));   // 3037000499^2 < 2^63
    EXPECT_FALSE(fits(1, 3037000500u));  // its square passes 2^63 - 1
    EXPECT_FALSE(fits(2, 3037000499u));
    EXPECT_TRUE(fits(0, 1u << 31));
}

}  // namespace
}  // namespace kestrilune::stats
