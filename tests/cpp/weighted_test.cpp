// Weighted RF and branch score against a naive dense fold, compared bit for bit.
//
// The reference spreads every tree into a dense row of m cells (0.0 where the tree lacks
// an id) and folds each cell over k = 0 .. m-1 in ascending order from -0.0, rounding every
// product and difference on its own. The kernels compute the same cells sparsely; random
// inputs mix ordinary lengths with signed zeros, infinities, NaN, tiny and huge values,
// and ids held by every, many or few trees, so both the dense-column and the sparse paths
// of the kernels run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "distances/distances.hpp"
#include "distances/weighted_tiles.hpp"
#include "reference_folds.hpp"
#include "variants.hpp"

namespace kestrilune {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) {
    return std::bit_cast<std::uint64_t>(v);
}

using reference::rounded;

std::vector<double> naive_wrf(const Snapshots& s) {
    return reference::wrf(s);
}
std::vector<double> naive_kf(const Snapshots& s) {
    return reference::kf(s);
}

// Every cell bit for bit; reports the first few differing cells.
void expect_same_bits(const std::vector<double>& actual, const std::vector<double>& expected,
                      std::size_t n) {
    ASSERT_EQ(actual.size(), expected.size());
    int reported = 0;
    for (std::size_t c = 0; c < actual.size() && reported < 5; ++c) {
        if (bits(actual[c]) != bits(expected[c])) {
            ADD_FAILURE() << "cell (" << c / n << ", " << c % n << "): got " << actual[c] << " [0x"
                          << std::hex << bits(actual[c]) << "], want " << std::dec << expected[c]
                          << " [0x" << std::hex << bits(expected[c]) << "]";
            ++reported;
        }
    }
}

std::vector<double> run_kernel(Metric metric, const Snapshots& s,
                               std::atomic<std::uint64_t>* counter,
                               dispatch::Features features = dispatch::features()) {
    const std::size_t n = s.trees.size();
    // Pre-filled with a NaN pattern, so a cell the kernel forgets to write shows up.
    std::vector<double> cells(n * n, std::bit_cast<double>(std::uint64_t{0x7ff4dead0000beef}));
    if (metric == Metric::Wrf) {
        wrf_matrix(s, counter, cells.data(), features);
    } else {
        kf_matrix(s, counter, cells.data(), features);
    }
    return cells;
}

std::vector<double> naive(Metric metric, const Snapshots& s) {
    return metric == Metric::Wrf ? naive_wrf(s) : naive_kf(s);
}

// ---------------------------------------------------------------------------------------
// Random tree sets
// ---------------------------------------------------------------------------------------

struct Shape {
    std::size_t n_trees;
    std::uint32_t universe;
    double special_rate;  // chance that a length is a special value
    unsigned seed;
    // Each id held by a run of consecutive trees, mostly by one tree alone, and numbered in
    // the order the runs start, as the collection numbers them: the ids of a block of trees
    // then come together, so tiles switch between storing their cells by rows and by
    // columns.
    bool runs = false;
};

std::ostream& operator<<(std::ostream& os, const Shape& s) {
    return os << "n" << s.n_trees << "_m" << s.universe << "_special" << s.special_rate << "_seed"
              << s.seed << (s.runs ? "_runs" : "");
}

double random_length(std::mt19937_64& rng, double special_rate) {
    static const double kSpecial[] = {0.0,     -0.0,    kNaN,   -kNaN,  kInf,  -kInf,
                                      1e-300,  -1e-300, 5e-324, 1e-160, 1e300, -1e300,
                                      1.5e154, 0.1,     0.2,    0.3};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (unit(rng) < special_rate) {
        return kSpecial[rng() % std::size(kSpecial)];
    }
    const double v = std::uniform_real_distribution<double>(1e-3, 3.0)(rng);
    return rng() % 10 == 0 ? -v : v;
}

Snapshots random_snapshots(const Shape& shape) {
    std::mt19937_64 rng(shape.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    // How widely each id is held: by every tree, by most, by some, by a handful.
    const double kShare[] = {1.0, 0.9, 0.5, 0.3, 0.05, 2.0 / static_cast<double>(shape.n_trees)};
    std::vector<double> share(shape.universe);
    for (double& p : share) {
        p = kShare[rng() % std::size(kShare)];
    }
    Snapshots s;
    if (shape.runs) {
        const std::size_t n = shape.n_trees;
        const std::size_t kLength[] = {1, 1, 1, 1, 2, 3, n / 4 + 1, n};
        std::vector<std::pair<std::size_t, std::size_t>> runs(shape.universe);  // first, end
        for (auto& [first, end] : runs) {
            first = rng() % n;
            end = std::min(n, first + kLength[rng() % std::size(kLength)]);
        }
        std::sort(runs.begin(), runs.end());
        s.trees.resize(n);
        for (std::uint32_t id = 0; id < shape.universe; ++id) {
            for (std::size_t t = runs[id].first; t < runs[id].second; ++t) {
                s.trees[t].ids.push_back(id);
                s.trees[t].lengths.push_back(random_length(rng, shape.special_rate));
            }
        }
        return s;
    }
    for (std::size_t t = 0; t < shape.n_trees; ++t) {
        InternSnap tree;
        if (rng() % 25 != 0) {  // now and then a tree without ids
            for (std::uint32_t id = 0; id < shape.universe; ++id) {
                if (unit(rng) < share[id]) {
                    tree.ids.push_back(id);
                    tree.lengths.push_back(random_length(rng, shape.special_rate));
                }
            }
        }
        // Now and then a lengths list shorter or longer than the ids: entries past the
        // shorter list count as absent.
        const unsigned odd = static_cast<unsigned>(rng() % 20);
        if (odd == 0) {
            tree.lengths.resize(tree.lengths.size() / 2);
        } else if (odd == 1) {
            tree.lengths.push_back(kNaN);
            tree.lengths.push_back(7.0);
        }
        s.trees.push_back(std::move(tree));
    }
    return s;
}

// One compiled variant of one kernel.
struct KernelVariant {
    Metric metric;
    dispatch::VariantInfo variant;
};

void PrintTo(const KernelVariant& k, std::ostream* os) {
    *os << (k.metric == Metric::Wrf ? "WRF " : "KF ") << k.variant.name;
}

std::vector<KernelVariant> kernel_variants() {
    std::vector<KernelVariant> all;
    for (const dispatch::VariantInfo& v : wrf_kernel_variants()) {
        all.push_back({Metric::Wrf, v});
    }
    for (const dispatch::VariantInfo& v : kf_kernel_variants()) {
        all.push_back({Metric::Kf, v});
    }
    return all;
}

class WeightedRandom : public testing::TestWithParam<std::tuple<KernelVariant, Shape>> {};

TEST_P(WeightedRandom, MatchesDenseFoldBitForBit) {
    const auto& [kernel, shape] = GetParam();
    KESTRILUNE_SKIP_UNLESS_RUNNABLE(kernel.variant);
    const Snapshots s = random_snapshots(shape);
    const std::size_t n = s.trees.size();
    std::atomic<std::uint64_t> counter{0};
    const std::vector<double> cells = run_kernel(kernel.metric, s, &counter, kernel.variant.needs);
    expect_same_bits(cells, naive(kernel.metric, s), n);
    EXPECT_EQ(counter.load(), n * (n - 1) / 2);
}

// Every compiled variant of both kernels. Dense columns start at max(16, n / 8) trees per
// id: small n keep every id sparse, n = 200 makes widely held ids dense. 731 trees make a
// matrix above 4 MiB, written past the caches, rows starting off the 16-byte boundaries.
INSTANTIATE_TEST_SUITE_P(
    VariantsAndShapes, WeightedRandom,
    testing::Combine(testing::ValuesIn(kernel_variants()),
                     testing::Values(Shape{2, 5, 0.0, 1}, Shape{3, 9, 0.3, 2},
                                     Shape{17, 40, 0.0, 3}, Shape{17, 40, 0.1, 4},
                                     Shape{40, 200, 0.02, 5}, Shape{64, 90, 0.0, 6},
                                     Shape{200, 300, 0.0, 7}, Shape{200, 300, 0.01, 8},
                                     Shape{200, 150, 0.2, 9}, Shape{130, 1000, 0.0, 10},
                                     Shape{7, 70, 0.5, 11}, Shape{201, 64, 0.005, 12},
                                     Shape{150, 1500, 0.01, 13, true},
                                     Shape{300, 900, 0.0, 14, true},
                                     Shape{731, 30, 0.05, 15})),
    [](const testing::TestParamInfo<std::tuple<KernelVariant, Shape>>& param_info) {
        // std::get, not a structured binding: its comma would split the macro's arguments.
        const KernelVariant& kernel = std::get<0>(param_info.param);
        const Shape& shape = std::get<1>(param_info.param);
        std::ostringstream name;
        name << (kernel.metric == Metric::Wrf ? "wrf_" : "kf_") << kernel.variant.name << "_n"
             << shape.n_trees << "_m" << shape.universe << "_case" << shape.seed
             << (shape.runs ? "_runs" : "");
        return name.str();
    });

TEST(WeightedRandomOrder, ScratchReusedAcrossCallSizes) {
    // Per-thread scratch grows with the largest call and is reused by smaller ones; the
    // results must not depend on what ran before.
    for (const Shape shape : {Shape{200, 120, 0.01, 21}, Shape{5, 30, 0.1, 22},
                              Shape{150, 80, 0.0, 23}, Shape{3, 4, 0.0, 24}}) {
        SCOPED_TRACE(testing::PrintToString(shape));
        const Snapshots s = random_snapshots(shape);
        for (const Metric metric : {Metric::Wrf, Metric::Kf}) {
            expect_same_bits(run_kernel(metric, s, nullptr), naive(metric, s), s.trees.size());
        }
    }
}

// ---------------------------------------------------------------------------------------
// Tiles over any rectangle: every delivered cell against the dense fold of the same pair
// ---------------------------------------------------------------------------------------

// The trees in compressed rows, entries past the shorter list dropped.
struct Csr {
    std::vector<std::int64_t> offsets{0};
    std::vector<std::uint32_t> ids;
    std::vector<double> lengths;
    std::vector<double> norms;
    LengthSets sets;
};

Csr csr_of(const Snapshots& s) {
    Csr c;
    for (const InternSnap& t : s.trees) {
        const std::size_t n = std::min(t.ids.size(), t.lengths.size());
        c.ids.insert(c.ids.end(), t.ids.begin(), t.ids.begin() + static_cast<std::ptrdiff_t>(n));
        c.lengths.insert(c.lengths.end(), t.lengths.begin(),
                         t.lengths.begin() + static_cast<std::ptrdiff_t>(n));
        c.offsets.push_back(static_cast<std::int64_t>(c.ids.size()));
    }
    c.sets = {c.offsets, c.ids, c.lengths, {}, 0};
    for (const InternSnap& t : s.trees) {
        c.sets.universe =
            std::max<std::size_t>(c.sets.universe, t.ids.empty() ? 0 : t.ids.back() + 1);
    }
    c.norms = length_norms(c.sets);
    c.sets.norms = c.norms;
    return c;
}

struct Layout {
    const char* name;
    bool symmetric;  // cols = rows; otherwise rows are random picks, cols all trees reversed
    std::size_t tile_size;
    bool row_owned;
};

class WeightedTiles : public testing::TestWithParam<std::tuple<KernelVariant, Shape>> {};

TEST_P(WeightedTiles, EveryCellOnceAndAsTheDenseFold) {
    const auto& [kernel, shape] = GetParam();
    KESTRILUNE_SKIP_UNLESS_RUNNABLE(kernel.variant);
    const Snapshots s = random_snapshots(shape);
    const Csr csr = csr_of(s);
    const std::size_t n = s.trees.size();
    std::mt19937 rng(shape.seed);
    for (const Layout layout :
         {Layout{"symmetric", true, 0, false}, Layout{"small", true, 7, false},
          Layout{"one diagonal tile, split", true, 256, false},
          Layout{"rectangle", false, 16, false}, Layout{"row owned", true, 32, true}}) {
        SCOPED_TRACE(layout.name);
        std::vector<std::uint32_t> rows(n);
        std::vector<std::uint32_t> cols(n);
        for (std::uint32_t t = 0; t < n; ++t) {
            rows[t] = t;
            cols[t] = static_cast<std::uint32_t>(n - 1 - t);
        }
        if (layout.symmetric) {
            cols = rows;
        } else {  // repeats included: a tree against itself is a pair like any other
            rows.resize(n / 2 + 3);
            for (std::uint32_t& t : rows) {
                t = static_cast<std::uint32_t>(rng() % n);
            }
        }
        // The listed trees as positions of their own (plus a tree that keeps the id
        // universe), so that the dense fold gives every position pair, repeats included.
        Snapshots listed;
        for (const auto* list : {&rows, &cols}) {
            for (const std::uint32_t t : *list) {
                listed.trees.push_back(s.trees[t]);
            }
        }
        if (csr.sets.universe > 0) {
            listed.trees.push_back(
                InternSnap{{static_cast<std::uint32_t>(csr.sets.universe - 1)}, {}});
        }
        const std::vector<double> want = naive(kernel.metric, listed);
        const std::size_t width = listed.trees.size();
        std::vector<double> got(rows.size() * cols.size(), kNaN);
        std::vector<int> seen(rows.size() * cols.size(), 0);
        TileOptions options;
        options.tile_size = layout.tile_size;
        options.row_owned = layout.row_owned;
        options.features = kernel.variant.needs;
        std::atomic<std::uint64_t> progress{0};
        options.progress = &progress;
        const Metric metric = kernel.metric;
        weighted_tiles(
            metric, csr.sets, rows, cols,
            [&](const Tile<double>& t) {
                for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                    for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                        got[r * cols.size() + c] = t.at(r, c);
                        ++seen[r * cols.size() + c];
                        if (t.mirrored) {
                            got[c * cols.size() + r] = t.at(r, c);
                            ++seen[c * cols.size() + r];
                        }
                    }
                }
            },
            options);
        const bool folded = layout.symmetric && !layout.row_owned;
        EXPECT_EQ(progress.load(), folded ? n * (n - 1) / 2 : rows.size() * cols.size());
        std::vector<double> expected(got.size());
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (std::size_t c = 0; c < cols.size(); ++c) {
                const std::size_t at = r * cols.size() + c;
                ASSERT_EQ(seen[at], 1) << r << ", " << c;
                // A tree against itself is zero, like the module's diagonal, even where
                // the fold is NaN; two copies of a tree are an ordinary pair.
                expected[at] = rows[r] == cols[c] ? 0.0 : want[r * width + rows.size() + c];
            }
        }
        expect_same_bits(got, expected, cols.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    VariantsAndShapes, WeightedTiles,
    testing::Combine(testing::ValuesIn(kernel_variants()),
                     testing::Values(Shape{3, 9, 0.3, 2}, Shape{17, 40, 0.1, 4},
                                     Shape{200, 300, 0.01, 8}, Shape{200, 150, 0.2, 9},
                                     Shape{130, 1000, 0.0, 10},
                                     Shape{150, 1500, 0.01, 13, true})),
    [](const testing::TestParamInfo<std::tuple<KernelVariant, Shape>>& param_info) {
        const KernelVariant& kernel = std::get<0>(param_info.param);
        const Shape& shape = std::get<1>(param_info.param);
        std::ostringstream name;
        name << (kernel.metric == Metric::Wrf ? "wrf_" : "kf_") << kernel.variant.name << "_n"
             << shape.n_trees << "_case" << shape.seed << (shape.runs ? "_runs" : "");
        return name.str();
    });

// ---------------------------------------------------------------------------------------
// Hand-made cases
// ---------------------------------------------------------------------------------------

Snapshots from_trees(std::vector<InternSnap> trees) {
    Snapshots s;
    s.trees = std::move(trees);
    return s;
}

TEST(WeightedKernels, KnownDistances) {
    // A = {p: 1.0, q: 2.0}, B = {p: 1.5, r: 1.0} with p, q, r = ids 0, 1, 2, plus three
    // pendant ids 3, 4, 5 of length 1.0 in both.
    const Snapshots s = from_trees({InternSnap{{0, 1, 3, 4, 5}, {1.0, 2.0, 1.0, 1.0, 1.0}},
                                    InternSnap{{0, 2, 3, 4, 5}, {1.5, 1.0, 1.0, 1.0, 1.0}}});
    const std::vector<double> wrf = run_kernel(Metric::Wrf, s, nullptr);
    const std::vector<double> kf = run_kernel(Metric::Kf, s, nullptr);
    EXPECT_EQ(bits(wrf[1]), bits(3.5));
    EXPECT_EQ(bits(kf[1]), bits(std::sqrt(5.25)));
    EXPECT_EQ(bits(wrf[0]), bits(0.0));
    EXPECT_EQ(bits(kf[3]), bits(0.0));
}

TEST(WeightedKernels, EmptyCallLeavesCounterAlone) {
    const Snapshots none;
    std::atomic<std::uint64_t> counter{5};
    wrf_matrix(none, &counter, nullptr);
    kf_matrix(none, &counter, nullptr);
    EXPECT_EQ(counter.load(), 5u);
}

TEST(WeightedKernels, SingleTreeIsPositiveZero) {
    const Snapshots one = from_trees({InternSnap{{0, 1}, {kNaN, 2.0}}});
    for (const Metric metric : {Metric::Wrf, Metric::Kf}) {
        std::atomic<std::uint64_t> counter{5};
        const std::vector<double> cells = run_kernel(metric, one, &counter);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_EQ(bits(cells[0]), bits(0.0));
        EXPECT_EQ(counter.load(), 5u);
    }
}

TEST(WeightedKernels, NoIdsGivesNegativeZeroWrfAndPositiveZeroKf) {
    // m = 0: every WRF cell off the diagonal is the empty sum -0.0; the diagonal and every
    // KF cell are +0.0. Lengths without ids do not count.
    const Snapshots s = from_trees({InternSnap{}, InternSnap{{}, {1.0, 2.0}}, InternSnap{}});
    const std::vector<double> wrf = run_kernel(Metric::Wrf, s, nullptr);
    const std::vector<double> kf = run_kernel(Metric::Kf, s, nullptr);
    for (std::size_t c = 0; c < 9; ++c) {
        const bool diagonal = c % 4 == 0;
        EXPECT_EQ(bits(wrf[c]), bits(diagonal ? 0.0 : -0.0)) << c;
        EXPECT_EQ(bits(kf[c]), bits(0.0)) << c;
    }
}

TEST(WeightedKernels, IdsWithoutLengthsCountAsAbsent) {
    // Ids but no lengths: m > 0, every length is absent, so each fold adds +0.0 terms and
    // the WRF cells are +0.0, not the empty sum. A longer lengths list is cut to the ids.
    const Snapshots s = from_trees({InternSnap{{0, 3}, {}}, InternSnap{{1}, {}},
                                    InternSnap{{0, 2}, {2.0}}, InternSnap{{2}, {0.5, kNaN}}});
    const std::vector<double> wrf = run_kernel(Metric::Wrf, s, nullptr);
    const std::vector<double> kf = run_kernel(Metric::Kf, s, nullptr);
    EXPECT_EQ(bits(wrf[0 * 4 + 1]), bits(0.0));
    EXPECT_EQ(bits(wrf[0 * 4 + 2]), bits(2.0));
    EXPECT_EQ(bits(wrf[2 * 4 + 3]), bits(2.5));
    EXPECT_EQ(bits(kf[2 * 4 + 3]), bits(std::sqrt(4.25)));
    expect_same_bits(wrf, naive_wrf(s), 4);
    expect_same_bits(kf, naive_kf(s), 4);
}

TEST(WeightedKernels, NegativeKfSumIsClampedToZero) {
    // 1.1 against the next double: the expanded form cancels to a negative value.
    const double next = std::nextafter(1.1, 2.0);
    const Snapshots s = from_trees(
        {InternSnap{{0, 1, 2}, {0.3, 0.7, 1.1}}, InternSnap{{0, 1, 2}, {0.3, 0.7, next}}});
    double s0 = -0.0, s1 = -0.0, dot = -0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        const double a = s.trees[0].lengths[k];
        const double b = s.trees[1].lengths[k];
        s0 += rounded(a * a);
        s1 += rounded(b * b);
        dot += rounded(a * b);
    }
    ASSERT_LT((s0 + s1) - (dot + dot), 0.0) << "the example no longer cancels below zero";
    const std::vector<double> kf = run_kernel(Metric::Kf, s, nullptr);
    EXPECT_EQ(bits(kf[1]), bits(0.0));
    EXPECT_EQ(bits(kf[2]), bits(0.0));
}

TEST(WeightedKernels, NonFiniteLengths) {
    // Tree 0 holds id 1 with +inf, which trees 1 and 2 lack: in KF the term 0.0 * inf is
    // NaN, so those cells are 0.0 even though the squared norms alone would give inf. In
    // WRF the cells are inf. Tree 3 has a NaN: its WRF cells are NaN and its KF cells 0.0.
    const Snapshots s = from_trees({InternSnap{{0, 1}, {1.0, kInf}}, InternSnap{{0, 2}, {1.0, 2.0}},
                                    InternSnap{{0}, {3.0}}, InternSnap{{0, 3}, {1.0, kNaN}}});
    const std::vector<double> wrf = run_kernel(Metric::Wrf, s, nullptr);
    const std::vector<double> kf = run_kernel(Metric::Kf, s, nullptr);
    EXPECT_EQ(wrf[0 * 4 + 1], kInf);
    EXPECT_EQ(bits(kf[0 * 4 + 1]), bits(0.0));
    EXPECT_EQ(bits(kf[0 * 4 + 2]), bits(0.0));
    for (std::size_t j = 0; j < 3; ++j) {
        EXPECT_TRUE(std::isnan(wrf[3 * 4 + j])) << j;
        EXPECT_EQ(bits(kf[3 * 4 + j]), bits(0.0)) << j;
    }
    EXPECT_EQ(bits(kf[1 * 4 + 2]), bits(std::sqrt(8.0)));
    expect_same_bits(wrf, naive_wrf(s), 4);
    expect_same_bits(kf, naive_kf(s), 4);
}

}  // namespace
}  // namespace kestrilune
