#include "stats/clade_partitions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace kestrilune::stats {
namespace {

struct Clades {
    std::size_t n_words = 1;
    std::vector<std::uint64_t> words;
    std::vector<std::int64_t> sizes;

    void add(const std::vector<std::uint64_t>& row) {
        words.insert(words.end(), row.begin(), row.end());
        std::int64_t size = 0;
        for (const std::uint64_t w : row) {
            size += std::popcount(w);
        }
        sizes.push_back(size);
    }
};

// Every pair of disjoint clades whose union is a clade: the definition, in O(m^2) pairs.
std::vector<PartitionRow> brute_force(const Clades& c) {
    const std::size_t m = c.sizes.size();
    auto row = [&](std::size_t i) { return c.words.data() + i * c.n_words; };
    std::vector<PartitionRow> out;
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = a + 1; b < m; ++b) {
            std::vector<std::uint64_t> u(c.n_words);
            bool disjoint = true;
            for (std::size_t w = 0; w < c.n_words; ++w) {
                disjoint = disjoint && (row(a)[w] & row(b)[w]) == 0;
                u[w] = row(a)[w] | row(b)[w];
            }
            for (std::size_t p = 0; disjoint && p < m; ++p) {
                if (std::equal(u.begin(), u.end(), row(p))) {
                    out.push_back({static_cast<std::int64_t>(p), static_cast<std::int64_t>(a),
                                   static_cast<std::int64_t>(b)});
                }
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(CladePartitions, FiveTaxonExample) {
    // 6 x ((A,(B,C)),(D,E)), 2 x ((((A,B),C),D),E), 2 x ((((B,C),A),E),D): the observed
    // clades, leaves A..E as bits 0..4.
    const std::vector<std::uint64_t> rows = {0b00001, 0b00010, 0b00100, 0b01000, 0b10000, 0b00110,
                                             0b11000, 0b00011, 0b00111, 0b01111, 0b10111, 0b11111};
    Clades c;
    for (const std::uint64_t r : rows) {
        c.add({r});
    }
    std::atomic<std::uint64_t> progress{0};
    const auto parts = clade_partitions(c.words, 1, c.sizes, &progress);
    EXPECT_EQ(parts, brute_force(c));
    EXPECT_EQ(parts.size(), 10u);  // 3 at the root, 2 in ABC, one in each other clade
    EXPECT_EQ(progress.load(), rows.size());
    const std::set<PartitionRow> got(parts.begin(), parts.end());
    EXPECT_TRUE(got.count({11, 6, 8}));  // ABCDE = DE | ABC
    EXPECT_TRUE(got.count({11, 4, 9}));  // ABCDE = E | ABCD: not in a sample tree
    EXPECT_TRUE(got.count({8, 0, 5}));   // ABC = A | BC
}

// Clades of a few random rooted binary trees over n leaves, as CCD0 sees them.
Clades random_clades(std::size_t n_leaves, std::size_t n_trees, unsigned seed) {
    std::mt19937 rng(seed);
    Clades c;
    c.n_words = (n_leaves + 63) / 64;
    std::set<std::vector<std::uint64_t>> seen;
    for (std::size_t t = 0; t < n_trees; ++t) {
        std::vector<std::vector<std::uint64_t>> nodes;
        for (std::size_t leaf = 0; leaf < n_leaves; ++leaf) {
            std::vector<std::uint64_t> r(c.n_words, 0);
            r[leaf / 64] |= std::uint64_t{1} << (leaf % 64);
            nodes.push_back(r);
        }
        while (!nodes.empty()) {
            for (const auto& r : nodes) {
                if (seen.insert(r).second) {
                    c.add(r);
                }
            }
            if (nodes.size() == 1) {
                break;
            }
            std::shuffle(nodes.begin(), nodes.end(), rng);
            std::vector<std::uint64_t> joined(c.n_words);
            for (std::size_t w = 0; w < c.n_words; ++w) {
                joined[w] = nodes[0][w] | nodes[1][w];
            }
            nodes.erase(nodes.begin(), nodes.begin() + 2);
            nodes.push_back(joined);
        }
    }
    return c;
}

TEST(CladePartitions, MatchesAllPairsOnRandomTrees) {
    for (const auto& [n_leaves, n_trees] : {std::pair{7, 30}, {40, 12}, {70, 8}, {130, 4}}) {
        const Clades c = random_clades(n_leaves, n_trees, static_cast<unsigned>(n_leaves));
        EXPECT_EQ(clade_partitions(c.words, c.n_words, c.sizes, nullptr), brute_force(c))
            << n_leaves << " leaves";
    }
}

}  // namespace
}  // namespace kestrilune::stats
