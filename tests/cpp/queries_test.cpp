// The split table's queries (blocks, condensed triangle, row sums, nearest neighbours,
// histogram, lag sums, RF bound, concatenation) against plain loops over the same table:
// RF as the symmetric difference of two trees' ids, WRF as the dense fold over every split
// in order of first appearance, KF through weighted_pair (the one-pair path).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/pool.hpp"
#include "random_newick.hpp"
#include "table/queries.hpp"

namespace kestrilune {
namespace {

const TranslateMap kNoMap;

std::vector<std::string> random_texts(std::size_t n_trees, std::size_t n_leaves, unsigned seed) {
    testing_support::NewickGen gen(seed);
    testing_support::NewickStyle style;
    style.n_leaves = n_leaves;
    style.annotations = false;
    style.odd_lengths = false;
    std::vector<std::string> texts;
    for (std::size_t t = 0; t < n_trees; ++t) {
        // Every fifth tree repeats an earlier one: zero distances and ties for nearest().
        texts.push_back(t % 5 == 4 ? texts[t / 2] : gen.tree(style));
    }
    return texts;
}

SplitTable table_of(const std::vector<std::string>& texts, bool rooted) {
    std::vector<TreeItem> items;
    for (const std::string& text : texts) {
        items.push_back(TreeItem{text, &kNoMap});
    }
    auto s = Snapshots::from_newick_iter_opts(items, rooted, true);
    EXPECT_TRUE(s) << (s ? "" : s.error());
    SplitTable t = SplitTable::from_snapshots(
        std::move(s).value(), std::vector<std::string>(texts.size(), "t"), {}, rooted, true);
    for (std::size_t k = 0; k < t.n_trees(); ++k) {
        t.groups[k] = static_cast<std::int32_t>(k % 3);  // three interleaved runs
    }
    return t;
}

double naive_rf(const SplitTable& t, std::uint32_t a, std::uint32_t b) {
    std::vector<std::uint32_t> out;
    std::set_symmetric_difference(t.tree_ids(a).begin(), t.tree_ids(a).end(),
                                  t.tree_ids(b).begin(), t.tree_ids(b).end(),
                                  std::back_inserter(out));
    return static_cast<double>(out.size());
}

// One accumulator from -0.0 over every split of the table in order of first appearance, a
// split a tree lacks counting as +0.0.
double naive_wrf(const SplitTable& t, std::uint32_t a, std::uint32_t b) {
    std::vector<double> la(t.n_splits(), 0.0);
    std::vector<double> lb(t.n_splits(), 0.0);
    for (std::size_t k = 0; k < t.tree_ids(a).size(); ++k) {
        la[t.first_seen[t.tree_ids(a)[k]]] = t.tree_lengths(a)[k];
    }
    for (std::size_t k = 0; k < t.tree_ids(b).size(); ++k) {
        lb[t.first_seen[t.tree_ids(b)[k]]] = t.tree_lengths(b)[k];
    }
    double acc = -0.0;
    for (std::size_t r = 0; r < t.n_splits(); ++r) {
        acc += std::fabs(la[r] - lb[r]);
    }
    return acc;
}

struct Fixture {
    SplitTable table;
    WeightedView view;
    Fixture(const std::vector<std::string>& texts, bool rooted)
        : table(table_of(texts, rooted)), view(WeightedView::from_table(table)) {}

    Distances of(Metric m) const { return Distances{&table, m, m == Metric::Rf ? nullptr : &view}; }

    double naive(Metric m, std::uint32_t a, std::uint32_t b) const {
        switch (m) {
            case Metric::Rf:
                return naive_rf(table, a, b);
            case Metric::Wrf:
                return naive_wrf(table, a, b);
            case Metric::Kf:
                break;
        }
        return weighted_pair(view, Metric::Kf, a, b);
    }
};

const Fixture& unrooted() {
    static const Fixture f(random_texts(23, 11, 7), false);
    return f;
}
const Fixture& rooted() {
    static const Fixture f(random_texts(23, 11, 8), true);
    return f;
}

std::vector<std::uint32_t> all_trees(const SplitTable& t) {
    std::vector<std::uint32_t> v(t.n_trees());
    for (std::size_t k = 0; k < v.size(); ++k) {
        v[k] = static_cast<std::uint32_t>(k);
    }
    return v;
}

bool same_bits(double a, double b) { return std::signbit(a) == std::signbit(b) && a == b; }

const Metric kMetrics[] = {Metric::Rf, Metric::Wrf, Metric::Kf};
const std::size_t kTileSizes[] = {0, 1, 3, 8};

TEST(QueriesBlocks, EveryCellIsThePairsDistanceForAnyRowsColsAndTileSize) {
    for (const Fixture* f : {&unrooted(), &rooted()}) {
        const std::vector<std::uint32_t> all = all_trees(f->table);
        const std::vector<std::uint32_t> some = {5, 0, 17, 5, 22, 9};  // unsorted, repeated
        const std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>> shapes[] = {
            {all, all}, {some, all}, {all, some}, {some, some}};
        for (const Metric m : kMetrics) {
            for (const auto& [rows, cols] : shapes) {
                for (const std::size_t tile : kTileSizes) {
                    // Column-major output (strides swapped): the mirrored path writes it too.
                    std::vector<double> out(rows.size() * cols.size(), -1.0);
                    const CellOut where{out.data(), CellType::F64, 1,
                                        static_cast<std::int64_t>(rows.size())};
                    write_block(f->of(m), rows, cols, where, TileOptions{.tile_size = tile});
                    for (std::size_t r = 0; r < rows.size(); ++r) {
                        for (std::size_t c = 0; c < cols.size(); ++c) {
                            ASSERT_TRUE(same_bits(out[c * rows.size() + r],
                                                  f->naive(m, rows[r], cols[c])))
                                << static_cast<int>(m) << " tile " << tile << " (" << r << ", "
                                << c << ")";
                        }
                    }
                }
            }
        }
    }
}

TEST(QueriesBlocks, NarrowCellTypesHoldTheRfValuesWithinTheBound) {
    const Fixture& f = unrooted();
    const std::vector<std::uint32_t> all = all_trees(f.table);
    const std::uint64_t bound = rf_bound(f.table, all, all);
    std::uint64_t largest = 0;
    for (const std::uint32_t a : all) {
        for (const std::uint32_t b : all) {
            largest = std::max(largest, static_cast<std::uint64_t>(naive_rf(f.table, a, b)));
        }
    }
    EXPECT_GE(bound, largest);

    const std::size_t n = all.size();
    std::vector<std::uint8_t> u8(n * n);
    std::vector<std::int32_t> i32(n * n);
    std::vector<float> f32(n * n);
    write_block(f.of(Metric::Rf), all, all, CellOut{u8.data(), CellType::U8,
                                                              static_cast<std::int64_t>(n), 1},
                          {});
    write_block(f.of(Metric::Rf), all, all, CellOut{i32.data(), CellType::I32,
                                                              static_cast<std::int64_t>(n), 1},
                          {});
    write_block(f.of(Metric::Rf), all, all, CellOut{f32.data(), CellType::F32,
                                                              static_cast<std::int64_t>(n), 1},
                          {});
    for (std::size_t k = 0; k < n * n; ++k) {
        const double want = naive_rf(f.table, all[k / n], all[k % n]);
        EXPECT_EQ(u8[k], want);
        EXPECT_EQ(i32[k], want);
        EXPECT_EQ(f32[k], want);
    }
}

TEST(QueriesCondensed, SquareformOrderWithAStride) {
    const Fixture& f = rooted();
    const std::vector<std::uint32_t> index = {3, 1, 4, 1, 5, 9, 2, 6, 21, 20};
    const std::size_t m = index.size();
    for (const Metric m_ : kMetrics) {
        for (const std::size_t tile : kTileSizes) {
            std::vector<double> out(2 * m * (m - 1) / 2, -7.0);
            write_condensed(f.of(m_), index, CellOut{out.data(), CellType::F64, 0, 2},
                                      TileOptions{.tile_size = tile});
            std::size_t at = 0;
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t j = i + 1; j < m; ++j, ++at) {
                    ASSERT_TRUE(same_bits(out[2 * at], f.naive(m_, index[i], index[j])))
                        << i << ", " << j;
                    ASSERT_EQ(out[2 * at + 1], -7.0);  // the stride's gaps are left alone
                }
            }
        }
    }
}

TEST(QueriesReductions, RowSumsInColumnOrder) {
    const Fixture& f = unrooted();
    const std::vector<std::uint32_t> all = all_trees(f.table);
    const std::vector<std::uint32_t> rows = {7, 2, 2, 19};
    for (const Metric m : kMetrics) {
        for (const auto* r : {&all, &rows}) {
            for (const std::size_t tile : kTileSizes) {
                std::vector<double> sums(r->size(), -1.0);
                row_sums(f.of(m), *r, all, sums, TileOptions{.tile_size = tile});
                for (std::size_t k = 0; k < r->size(); ++k) {
                    double want = 0.0;
                    for (const std::uint32_t c : all) {
                        want += f.naive(m, (*r)[k], c);
                    }
                    ASSERT_TRUE(same_bits(sums[k], want)) << static_cast<int>(m) << " row " << k;
                }
            }
        }
    }
}

TEST(QueriesReductions, NearestOthersWithTiesToTheLowerPosition) {
    const Fixture& f = unrooted();
    const std::vector<std::uint32_t> index = all_trees(f.table);
    const std::size_t n = index.size();
    for (const Metric m : kMetrics) {
        for (const std::size_t k : {std::size_t{1}, std::size_t{4}, n - 1}) {
            std::vector<std::int64_t> nb(n * k);
            std::vector<double> dist(n * k);
            nearest(f.of(m), index, k, nb, dist, TileOptions{.tile_size = 3});
            for (std::size_t r = 0; r < n; ++r) {
                std::vector<std::pair<double, std::int64_t>> want;
                for (std::size_t c = 0; c < n; ++c) {
                    if (c != r) {
                        want.emplace_back(f.naive(m, index[r], index[c]),
                                          static_cast<std::int64_t>(c));
                    }
                }
                std::sort(want.begin(), want.end());
                for (std::size_t q = 0; q < k; ++q) {
                    ASSERT_EQ(nb[r * k + q], want[q].second) << "row " << r << " rank " << q;
                    ASSERT_EQ(dist[r * k + q], want[q].first);
                }
            }
        }
    }
}

// NaN and infinite lengths on some trees make their distances NaN, inf (or KF 0.0): nearest()
// ranks NaN after every number (ties still to the lower position), lag_sums() leaves those
// trees out.
TEST(QueriesReductions, NonFiniteDistancesRankLastAndLeaveTheLagSums) {
    SplitTable table = table_of(random_texts(23, 11, 9), false);
    for (std::size_t t = 0; t < table.n_trees(); t += 3) {
        table.lengths[static_cast<std::size_t>(table.indptr[t])] = t % 2 == 0 ? NAN : INFINITY;
    }
    const WeightedView view = WeightedView::from_table(table);
    const std::vector<std::uint32_t> index = all_trees(table);
    const std::size_t n = index.size();
    using Pair = std::pair<double, std::int64_t>;
    auto nan_last = [](const Pair& a, const Pair& b) {
        if (std::isnan(a.first) || std::isnan(b.first)) {
            return std::isnan(a.first) == std::isnan(b.first) ? a.second < b.second
                                                              : std::isnan(b.first);
        }
        return a < b;
    };
    for (const Metric m : {Metric::Wrf, Metric::Kf}) {
        const Distances d{&table, m, &view};
        for (const std::size_t k : {std::size_t{1}, std::size_t{4}}) {
            for (const std::size_t tile : kTileSizes) {
                std::vector<std::int64_t> nb(n * k);
                std::vector<double> dist(n * k);
                nearest(d, index, k, nb, dist, TileOptions{.tile_size = tile});
                for (std::size_t r = 0; r < n; ++r) {
                    std::vector<Pair> want;
                    for (std::size_t c = 0; c < n; ++c) {
                        if (c != r) {
                            want.emplace_back(d.pair(index[r], index[c]),
                                              static_cast<std::int64_t>(c));
                        }
                    }
                    std::sort(want.begin(), want.end(), nan_last);
                    for (std::size_t q = 0; q < k; ++q) {
                        ASSERT_EQ(nb[r * k + q], want[q].second)
                            << static_cast<int>(m) << " tile " << tile << " row " << r;
                    }
                }
            }
        }
        const LagSums got = lag_sums(d, 3, 4, TileOptions{});
        for (std::size_t g = 0; g < 3; ++g) {
            for (std::size_t lag = 1; lag <= 4; ++lag) {
                std::int64_t pairs = 0;
                double s = 0.0;
                for (std::size_t t = g; t + 3 * lag < n; t += 3) {
                    if (t % 3 != 0) {  // group 0 holds every tree with a bad length
                        ++pairs;
                        s += d.pair(static_cast<std::uint32_t>(t),
                                    static_cast<std::uint32_t>(t + 3 * lag));
                    }
                }
                EXPECT_EQ(got.pairs[g * 4 + lag - 1], pairs) << g << " lag " << lag;
                EXPECT_TRUE(same_bits(got.sum[g * 4 + lag - 1], s)) << g << " lag " << lag;
            }
        }
    }
}

TEST(QueriesReductions, HistogramOfPairsLastBinClosedOutsideValuesDropped) {
    const Fixture& f = rooted();
    const std::vector<std::uint32_t> index = all_trees(f.table);
    struct Case {
        Metric metric;
        std::vector<double> edges;
    };
    const Case cases[] = {
        {Metric::Rf, {0, 2, 4, 6, 8, 10}},  // integer values on the edges; larger ones dropped
        {Metric::Rf, {1, 64}},              // zeros (repeated trees) dropped
        {Metric::Wrf, {0.5, 1, 2, 4, 8, 16}},
        {Metric::Kf, {0, 0.25, 0.5, 1, 2, 4, 8}},
    };
    for (const Case& c : cases) {
        std::vector<std::int64_t> counts(c.edges.size() - 1, -1);
        histogram(f.of(c.metric), index, c.edges, counts, TileOptions{.tile_size = 4});
        std::vector<std::int64_t> want(counts.size(), 0);
        for (std::size_t i = 0; i < index.size(); ++i) {
            for (std::size_t j = i + 1; j < index.size(); ++j) {
                const double v = f.naive(c.metric, index[i], index[j]);
                for (std::size_t b = 0; b < want.size(); ++b) {
                    const bool last = b + 1 == want.size();
                    if (v >= c.edges[b] && (v < c.edges[b + 1] || (last && v == c.edges[b + 1]))) {
                        ++want[b];
                        break;
                    }
                }
            }
        }
        EXPECT_EQ(counts, want) << static_cast<int>(c.metric);
    }
}

TEST(QueriesReductions, LagSumsPerGroupInAscendingOrder) {
    const Fixture& f = unrooted();
    const std::size_t n_groups = 3;
    const std::size_t max_lag = 9;  // longer than group 2 (7 trees): empty lags count 0
    for (const Metric m : kMetrics) {
        std::atomic<std::uint64_t> progress{0};
        const LagSums got = lag_sums(f.of(m), n_groups, max_lag, TileOptions{.progress = &progress});
        std::uint64_t all_pairs = 0;
        for (std::size_t g = 0; g < n_groups; ++g) {
            std::vector<std::uint32_t> members;
            for (std::size_t t = 0; t < f.table.n_trees(); ++t) {
                if (static_cast<std::size_t>(f.table.groups[t]) == g) {
                    members.push_back(static_cast<std::uint32_t>(t));
                }
            }
            for (std::size_t lag = 1; lag <= max_lag; ++lag) {
                std::int64_t n = 0;
                double s = 0.0;
                double s2 = 0.0;
                for (std::size_t t = 0; t + lag < members.size(); ++t, ++n) {
                    const double v = f.naive(m, members[t], members[t + lag]);
                    s += v;
                    s2 += v * v;
                }
                const std::size_t at = g * max_lag + lag - 1;
                EXPECT_EQ(got.pairs[at], n);
                EXPECT_TRUE(same_bits(got.sum[at], s)) << g << " lag " << lag;
                EXPECT_TRUE(same_bits(got.sum_sq[at], s2)) << g << " lag " << lag;
                all_pairs += static_cast<std::uint64_t>(n);
            }
        }
        EXPECT_EQ(progress.load(), all_pairs);
    }
}

TEST(QueriesStop, AStoppedScopeStopsEveryQuery) {
    const Fixture& f = unrooted();
    const std::vector<std::uint32_t> all = all_trees(f.table);
    const TileOptions o{.tile_size = 2};
    std::vector<double> cells(all.size() * all.size());
    std::vector<double> sums(all.size());
    pool::StopPoll scope([](void*) { return true; }, nullptr);
    std::this_thread::sleep_for(pool::kPollInterval + std::chrono::milliseconds(5));
    EXPECT_THROW(pool::check_stop(), pool::Stopped);
    for (const Metric m : kMetrics) {
        EXPECT_THROW(write_block(f.of(m), all, all,
                                 CellOut{cells.data(), CellType::F64,
                                         static_cast<std::int64_t>(all.size()), 1},
                                 o),
                     pool::Stopped);
        EXPECT_THROW(row_sums(f.of(m), all, all, sums, o), pool::Stopped);
    }
}

TEST(QueriesConcat, TwoTablesJoinAsIfReadInOneCall) {
    for (const bool is_rooted : {false, true}) {
        const std::vector<std::string> a = random_texts(9, 10, 21);
        const std::vector<std::string> b = random_texts(8, 10, 22);
        std::vector<std::string> ab = a;
        ab.insert(ab.end(), b.begin(), b.end());
        const SplitTable ta = table_of(a, is_rooted);
        const SplitTable tb = table_of(b, is_rooted);
        const SplitTable whole = table_of(ab, is_rooted);
        auto joint = concat(ta, tb);
        ASSERT_TRUE(joint) << joint.error();
        EXPECT_EQ(joint->indptr, whole.indptr);
        EXPECT_EQ(joint->ids, whole.ids);
        EXPECT_EQ(joint->words, whole.words);
        EXPECT_EQ(joint->first_seen, whole.first_seen);
        EXPECT_EQ(joint->lengths, whole.lengths);
        EXPECT_EQ(joint->leaf_names, whole.leaf_names);
        // b's runs follow a's: groups 0..2, then 3..5.
        for (std::size_t t = 0; t < ab.size(); ++t) {
            EXPECT_EQ(joint->groups[t], t < a.size() ? t % 3 : 3 + (t - a.size()) % 3);
        }
    }
    const SplitTable ta = table_of(random_texts(4, 10, 23), false);
    const SplitTable other = table_of(random_texts(4, 9, 24), false);
    auto refused = concat(ta, other);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(),
              "Tree 4 has a different leaf set than tree 0. All trees must share the same taxa.");
    // Groups numbered past 2**31 - 1 are refused, not wrapped (ta's groups are 0..2).
    SplitTable high = ta;
    std::fill(high.groups.begin(), high.groups.end(), INT32_MAX - 3);
    SplitTable higher = ta;
    std::fill(higher.groups.begin(), higher.groups.end(), INT32_MAX - 2);
    const auto joined = concat(ta, high);
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->groups.back(), INT32_MAX);
    EXPECT_TRUE(concat(high, ta));
    EXPECT_FALSE(concat(ta, higher));
    EXPECT_FALSE(concat(higher, ta));
    EXPECT_FALSE(concat(high, high));
}

}  // namespace
}  // namespace kestrilune
