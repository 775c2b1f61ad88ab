// The RF kernel against a plain symmetric-difference count, and fill_symmetric's contract.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "distances/distances.hpp"
#include "reference_folds.hpp"
#include "variants.hpp"

namespace kestrilune {
namespace {

// Random id sets over a universe, some ids held by every tree.
Snapshots random_snapshots(std::size_t n_trees, std::uint32_t universe, unsigned seed) {
    std::mt19937 rng(seed);
    Snapshots s;
    for (std::size_t t = 0; t < n_trees; ++t) {
        InternSnap tree;
        for (std::uint32_t id = 0; id < universe; ++id) {
            if (id % 7 == 0 || rng() % 3 == 0) {
                tree.ids.push_back(id);
            }
        }
        s.trees.push_back(std::move(tree));
    }
    return s;
}

using reference::symmetric_difference;

// (trees, universe): one tile, and enough trees for several tiles and their mirror images.
using RfShape = std::pair<std::size_t, std::uint32_t>;

class RfKernel : public testing::TestWithParam<std::tuple<dispatch::VariantInfo, RfShape>> {};

TEST_P(RfKernel, MatchesSymmetricDifference) {
    const auto& [variant, shape] = GetParam();
    KESTRILUNE_SKIP_UNLESS_RUNNABLE(variant);
    const auto [n_trees, universe] = shape;
    const Snapshots s = random_snapshots(n_trees, universe, universe);
    const std::size_t n = s.trees.size();
    std::vector<std::uint32_t> cells(n * n, 0xDEADBEEF);
    std::atomic<std::uint64_t> counter{0};
    rf_matrix(s, &counter, cells.data(), variant.needs);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            EXPECT_EQ(cells[i * n + j], symmetric_difference(s.trees[i], s.trees[j]))
                << i << "," << j;
        }
    }
    EXPECT_EQ(counter.load(), n * (n - 1) / 2);
}

// Every compiled variant, on universes around the word boundaries of the bit rows; up to
// 1500 ids, so that rows of eight words or more take the vector popcount path where there
// is one. 1,030 trees make a matrix above 4 MiB, written past the caches, with rows that
// start off the 16-byte boundaries. Universes of 4 and 9 ids repeat trees, so that tiles
// hand out each distinct tree's values once, on and off the diagonal.
INSTANTIATE_TEST_SUITE_P(
    VariantsAndUniverses, RfKernel,
    testing::Combine(testing::ValuesIn(rf_kernel_variants()),
                     testing::Values(RfShape{23, 0u}, RfShape{23, 1u}, RfShape{23, 7u},
                                     RfShape{23, 64u}, RfShape{23, 70u}, RfShape{23, 75u},
                                     RfShape{23, 300u}, RfShape{23, 1500u}, RfShape{301, 90u},
                                     RfShape{1030, 40u}, RfShape{301, 4u}, RfShape{1030, 9u})),
    [](const auto& param_info) {
        const RfShape shape = std::get<1>(param_info.param);
        return std::string(std::get<0>(param_info.param).name) + "_trees" +
               std::to_string(shape.first) + "_ids" + std::to_string(shape.second);
    });

TEST(RfKernel, PartitionsHeldByAllTreesCostNothing) {
    // A = {p, q, x}, B = {p, r, x}, C = {p, q, x} with p = 0, q = 1, r = 2, x = 3.
    Snapshots s;
    s.trees = {InternSnap{{0, 1, 3}, {}}, InternSnap{{0, 2, 3}, {}}, InternSnap{{0, 1, 3}, {}}};
    std::vector<std::uint32_t> cells(9);
    rf_matrix(s, nullptr, cells.data());
    EXPECT_EQ(cells, (std::vector<std::uint32_t>{0, 2, 0, 2, 0, 2, 0, 2, 0}));
}

TEST(RfKernel, EmptyAndSingleTree) {
    Snapshots none;
    std::atomic<std::uint64_t> counter{5};
    rf_matrix(none, &counter, nullptr);
    EXPECT_EQ(counter.load(), 5u);

    Snapshots one;
    one.trees = {InternSnap{{0, 1}, {}}};
    std::uint32_t cell = 7;
    rf_matrix(one, &counter, &cell);
    EXPECT_EQ(cell, 0u);
    EXPECT_EQ(counter.load(), 5u);
}

TEST(RfKernel, IdsOutOfOrderAreAnInternalError) {
    Snapshots s;
    s.trees = {InternSnap{{5, 1}, {}}, InternSnap{{0}, {}}};
    std::vector<std::uint32_t> cells(4);
    EXPECT_THROW(rf_matrix(s, nullptr, cells.data()), InternalError);
}

TEST(FillSymmetric, EveryPairOnceCounterTotalAndMirror) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 64u, 65u, 200u}) {
        std::vector<std::atomic<int>> calls(n * n);
        std::vector<double> cells(n * n, -1.0);
        std::atomic<std::uint64_t> counter{0};
        fill_symmetric<double>(n, &counter, cells.data(), [&](std::size_t i, std::size_t j) {
            calls[i * n + j].fetch_add(1);
            return static_cast<double>(i * 1000 + j);
        });
        EXPECT_EQ(counter.load(), n * (n > 0 ? n - 1 : 0) / 2);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                EXPECT_EQ(calls[i * n + j].load(), i < j ? 1 : 0);
                const double expected =
                    i == j ? 0.0 : static_cast<double>(std::min(i, j) * 1000 + std::max(i, j));
                EXPECT_EQ(cells[i * n + j], expected);
            }
        }
    }
}

}  // namespace
}  // namespace kestrilune
