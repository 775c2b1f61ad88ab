// The tiled RF kernel against a plain symmetric-difference count, on symmetric and
// rectangular position lists, with repeated trees and every tile shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <numeric>
#include <random>
#include <vector>

#include "common/errors.hpp"
#include "distances/rf_tiles.hpp"

namespace kestrilune {
namespace {

struct Csr {
    std::vector<std::int64_t> offsets{0};
    std::vector<std::uint32_t> ids;

    void add(const std::vector<std::uint32_t>& tree) {
        ids.insert(ids.end(), tree.begin(), tree.end());
        offsets.push_back(static_cast<std::int64_t>(ids.size()));
    }
    SplitSets view() const { return SplitSets{offsets, ids}; }
};

// An MCMC-like sample: ids below `always` are in every tree; the others drift, each tree
// flipping a few ids of the one before it; every `repeat`-th tree copies an earlier one.
Csr drifting_sample(std::size_t n_trees, std::uint32_t universe, std::uint32_t always,
                    std::size_t repeat, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<std::uint32_t>> trees;
    std::vector<std::uint8_t> held(universe, 0);
    for (std::uint32_t id = 0; id < universe; ++id) {
        held[id] = id < always || rng() % 4 == 0;
    }
    Csr csr;
    for (std::size_t t = 0; t < n_trees; ++t) {
        std::vector<std::uint32_t> tree;
        if (repeat > 0 && t > 0 && t % repeat == 0) {
            tree = trees[rng() % trees.size()];
        } else {
            for (int flips = 0; flips < 3 && universe > always; ++flips) {
                const std::uint32_t id = always + rng() % (universe - always);
                held[id] ^= 1;
            }
            for (std::uint32_t id = 0; id < universe; ++id) {
                if (held[id] != 0) {
                    tree.push_back(id);
                }
            }
        }
        csr.add(tree);
        trees.push_back(std::move(tree));
    }
    return csr;
}

std::uint32_t symmetric_difference(std::span<const std::uint32_t> a,
                                   std::span<const std::uint32_t> b) {
    std::vector<std::uint32_t> out;
    std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return static_cast<std::uint32_t>(out.size());
}

// Every delivered value, checked against the oracle, and how often each position pair was
// delivered (a mirrored tile delivers its transpose too).
struct Collected {
    std::vector<std::uint32_t> value;
    std::vector<std::atomic<std::uint32_t>> times;
    std::atomic<std::uint64_t> wrong{0};
    std::atomic<std::uint64_t> pairs{0};
    Collected(std::size_t n_rows, std::size_t n_cols)
        : value(n_rows * n_cols), times(n_rows * n_cols) {}
};

void collect(const Csr& csr, const std::vector<std::uint32_t>& rows,
                      const std::vector<std::uint32_t>& cols, const TileOptions& options,
                      Collected& out) {
    const SplitSets sets = csr.view();
    const std::size_t n_cols = cols.size();
    rf_tiles(
        sets, rows, cols,
        [&](const Tile<std::uint32_t>& tile) {
            out.pairs += tile.pairs();
            for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
                for (std::size_t c = tile.col_begin; c < tile.col_end; ++c) {
                    const std::uint32_t v = tile.at(r, c);
                    if (v != symmetric_difference(sets.tree(rows[r]), sets.tree(cols[c]))) {
                        ++out.wrong;
                    }
                    ++out.times[r * n_cols + c];
                    if (tile.mirrored) {
                        ++out.times[c * n_cols + r];
                    }
                }
            }
        },
        options);
}

struct Case {
    const char* name;
    std::size_t n_trees;
    std::uint32_t universe;
    std::uint32_t always;
    std::size_t repeat;  // every repeat-th tree copies an earlier one (0: none)
    std::size_t tile;    // 0: picked
};

class RfTilesCases : public testing::TestWithParam<Case> {};

TEST_P(RfTilesCases, SymmetricListDeliversEveryPairOnceAndExact) {
    const Case& c = GetParam();
    const Csr csr = drifting_sample(c.n_trees, c.universe, c.always, c.repeat, 7);
    std::vector<std::uint32_t> all(c.n_trees);
    std::iota(all.begin(), all.end(), 0u);
    Collected out(all.size(), all.size());
    std::atomic<std::uint64_t> progress{0};
    TileOptions options;
    options.progress = &progress;
    options.tile_size = c.tile;
    collect(csr, all, all, options, out);
    EXPECT_EQ(out.wrong.load(), 0u);
    for (std::size_t k = 0; k < out.times.size(); ++k) {
        ASSERT_EQ(out.times[k].load(), 1u) << "pair " << k / all.size() << "," << k % all.size();
    }
    const std::uint64_t n = all.size();
    EXPECT_EQ(progress.load(), n * (n - 1) / 2);
    EXPECT_EQ(out.pairs.load(), n * (n - 1) / 2);
}

TEST_P(RfTilesCases, RectangleOfShuffledRepeatedPositions) {
    const Case& c = GetParam();
    const Csr csr = drifting_sample(c.n_trees, c.universe, c.always, c.repeat, 11);
    std::mt19937 rng(3);
    std::vector<std::uint32_t> rows, cols;
    for (std::size_t k = 0; k < c.n_trees + 5; ++k) {
        rows.push_back(static_cast<std::uint32_t>(rng() % c.n_trees));
    }
    for (std::size_t k = 0; k < c.n_trees / 2 + 1; ++k) {
        cols.push_back(static_cast<std::uint32_t>(rng() % c.n_trees));
    }
    Collected out(rows.size(), cols.size());
    std::atomic<std::uint64_t> progress{0};
    TileOptions options;
    options.progress = &progress;
    options.tile_size = c.tile;
    collect(csr, rows, cols, options, out);
    EXPECT_EQ(out.wrong.load(), 0u);
    for (std::size_t k = 0; k < out.times.size(); ++k) {
        ASSERT_EQ(out.times[k].load(), 1u);
    }
    EXPECT_EQ(progress.load(), rows.size() * cols.size());
}

// Universes around word boundaries of the tile bit rows (0 to 4 words take fixed loops,
// eight and more the vector path), tiles of one position up to the whole list.
INSTANTIATE_TEST_SUITE_P(
    Shapes, RfTilesCases,
    testing::Values(Case{"two_trees", 2, 10, 3, 0, 0}, Case{"no_ids", 9, 0, 0, 0, 0},
                    Case{"all_common", 20, 12, 12, 0, 0}, Case{"one_word", 70, 60, 10, 0, 16},
                    Case{"two_words", 70, 140, 10, 5, 16}, Case{"five_words", 90, 330, 3, 4, 32},
                    Case{"vector_words", 60, 1500, 40, 3, 0}, Case{"tile_of_one", 13, 40, 2, 2, 1},
                    Case{"odd_tiles", 101, 200, 20, 7, 3}, Case{"all_repeats", 40, 80, 5, 1, 8},
                    Case{"picked", 700, 400, 30, 9, 0}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(RfTilesContract, EmptyListsDeliverNothing) {
    const Csr csr = drifting_sample(5, 10, 2, 0, 1);
    const std::vector<std::uint32_t> some{0, 1}, none;
    int calls = 0;
    rf_tiles(csr.view(), none, some, [&](const Tile<std::uint32_t>&) { ++calls; });
    rf_tiles(csr.view(), some, none, [&](const Tile<std::uint32_t>&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST(RfTilesContract, BrokenInputIsAnInternalErrorBeforeAnyTile) {
    Csr unsorted;
    unsorted.add({1, 2});
    unsorted.add({3, 3});
    Csr fine;
    fine.add({1});
    fine.add({2});
    const std::vector<std::uint32_t> both{0, 1}, beyond{0, 2};
    int calls = 0;
    const auto sink = [&](const Tile<std::uint32_t>&) { ++calls; };
    EXPECT_THROW(rf_tiles(unsorted.view(), both, both, sink), InternalError);
    EXPECT_THROW(rf_tiles(fine.view(), beyond, both, sink), InternalError);
    EXPECT_THROW(rf_tiles(fine.view(), both, beyond, sink), InternalError);
    const std::vector<std::int64_t> bad_offsets{0, 5, 1};
    EXPECT_THROW(rf_tiles(SplitSets{bad_offsets, fine.ids}, both, both, sink), InternalError);
    EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace kestrilune
