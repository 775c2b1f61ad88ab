#include "bitset/bitset.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <unordered_set>
#include <vector>

#include "variants.hpp"

namespace kestrilune {
namespace {

using Words = std::vector<std::uint64_t>;

Bitset with_leaves(std::size_t n_leaves, std::initializer_list<std::size_t> leaves) {
    Bitset b = Bitset::zeros(words_for_leaves(n_leaves));
    for (std::size_t i : leaves) {
        b.set(i);
    }
    return b;
}

// ---------------------------------------------------------------------------------------
// Order

struct OrderCase {
    const char* label;
    Words a;
    Words b;
    std::strong_ordering expected;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.label; }

class BitsetOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(BitsetOrder, ComparesWordZeroFirstAsUnsigned) {
    const OrderCase& c = GetParam();
    const Bitset a{c.a};
    const Bitset b{c.b};
    EXPECT_EQ(compare_words(c.a, c.b), c.expected);
    EXPECT_EQ(a <=> b, c.expected);
    EXPECT_EQ(b <=> a, 0 <=> (a <=> b));  // antisymmetric
    EXPECT_EQ(a == b, c.expected == 0);
}

constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

// `n` words of all ones except word `at`, which holds `value`: long equal prefixes.
Words long_words(std::size_t n, std::size_t at, std::uint64_t value) {
    Words words(n, ~std::uint64_t{0});
    words[at] = value;
    return words;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitsetOrder,
    ::testing::Values(
        OrderCase{"leaf0_before_leaf1", {1}, {2}, std::strong_ordering::less},
        OrderCase{"leaf1_before_pair", {2}, {3}, std::strong_ordering::less},
        OrderCase{"pair_before_leaf2", {3}, {4}, std::strong_ordering::less},
        OrderCase{"leaf63_is_largest_word", {kTop}, {kTop - 1}, std::strong_ordering::greater},
        OrderCase{"leaf64_before_leaf0", {0, 1}, {1, 0}, std::strong_ordering::less},
        OrderCase{"second_word_decides_on_tie", {5, kTop}, {5, 1}, std::strong_ordering::greater},
        OrderCase{"equal_two_words", {7, 9}, {7, 9}, std::strong_ordering::equal},
        OrderCase{"shorter_prefix_first", {7}, {7, 0}, std::strong_ordering::less},
        OrderCase{"first_word_beats_length", {8}, {7, 0}, std::strong_ordering::greater},
        OrderCase{"empty_before_anything", {}, {0}, std::strong_ordering::less},
        OrderCase{"empty_equals_empty", {}, {}, std::strong_ordering::equal},
        // 0x100 > 0x01 as words, though its lowest byte is the smaller one.
        OrderCase{"long_prefix_then_word_compare", long_words(20, 13, 0x100),
                  long_words(20, 13, 0x01), std::strong_ordering::greater},
        OrderCase{"long_prefix_last_word", long_words(17, 16, 1), long_words(17, 16, 2),
                  std::strong_ordering::less},
        OrderCase{"long_equal", long_words(24, 0, 5), long_words(24, 0, 5),
                  std::strong_ordering::equal},
        OrderCase{"long_shorter_prefix_first", long_words(16, 3, 0), long_words(17, 3, 0),
                  std::strong_ordering::less}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(BitsetOrderSort, SortsSixtyFiveLeafSetsWordByWord) {
    std::vector<Bitset> sets = {with_leaves(65, {0}), with_leaves(65, {64}),
                                with_leaves(65, {0, 64}), with_leaves(65, {1}),
                                with_leaves(65, {63})};
    std::sort(sets.begin(), sets.end());
    const std::vector<Bitset> expected = {with_leaves(65, {64}), with_leaves(65, {0}),
                                          with_leaves(65, {0, 64}), with_leaves(65, {1}),
                                          with_leaves(65, {63})};
    EXPECT_EQ(sets, expected);
}

// ---------------------------------------------------------------------------------------
// Complement: padding bits of the last word stay zero

struct ComplementCase {
    std::size_t n_leaves;
    Words input;
    Words expected;
};

void PrintTo(const ComplementCase& c, std::ostream* os) {
    *os << c.n_leaves << " leaves, " << c.input.size() << " words";
}

class BitsetComplement : public ::testing::TestWithParam<ComplementCase> {};

constexpr std::uint64_t kAll = ~std::uint64_t{0};

TEST_P(BitsetComplement, InvertsAndMasksLastWord) {
    const ComplementCase& c = GetParam();
    const Bitset input{c.input};
    const Bitset result = input.complement(c.n_leaves);
    EXPECT_EQ(result.words, c.expected);
    EXPECT_EQ(result.complement(c.n_leaves), input);
    EXPECT_EQ(input.count_ones() + result.count_ones(), c.n_leaves);

    Words in_place = c.input;
    complement_in_place(in_place, c.n_leaves);
    EXPECT_EQ(in_place, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitsetComplement,
    ::testing::Values(ComplementCase{0, {}, {}},  // no words at all
                      ComplementCase{1, {0}, {1}},
                      ComplementCase{4, {0b0011}, {0b1100}},
                      ComplementCase{63, {1}, {(kAll >> 1) & ~std::uint64_t{1}}},  // padding bit 63
                      ComplementCase{64, {1}, {kAll - 1}},  // nothing masked
                      ComplementCase{64, {0}, {kAll}},
                      ComplementCase{65, {0, 0}, {kAll, 1}},
                      ComplementCase{70, {1, 0}, {kAll - 1, 0x3f}},  // leaves 64 to 69
                      ComplementCase{128, {kAll, 0}, {0, kAll}},
                      ComplementCase{130, {1, 0, 2}, {kAll - 1, kAll, 1}}));        //

// ---------------------------------------------------------------------------------------
// Counting, setting, union

class BitsetCount : public ::testing::TestWithParam<dispatch::VariantInfo> {};

TEST_P(BitsetCount, MatchesBitByBitCountOnRandomWords) {
    KESTRILUNE_SKIP_UNLESS_RUNNABLE(GetParam());
    const auto count = [&](const Words& words) {
        return detail::count_ones_with(words, GetParam().needs);
    };
    std::mt19937_64 rng(7);
    for (std::size_t n_words : {0u, 1u, 2u, 3u, 17u}) {
        Words words(n_words);
        std::size_t expected = 0;
        for (std::uint64_t& w : words) {
            w = rng() & rng();
            for (int bit = 0; bit < 64; ++bit) {
                expected += (w >> bit) & 1u;
            }
        }
        EXPECT_EQ(count(words), expected) << n_words << " words";
        EXPECT_EQ(count_ones(words), expected) << n_words << " words, dispatch level";
    }
    EXPECT_EQ(count(Words{kAll, kAll, kAll}), 192u);
}

INSTANTIATE_TEST_SUITE_P(Variants, BitsetCount, ::testing::ValuesIn(detail::count_ones_variants()),
                         variant_name);

TEST(BitsetMembers, SetTestAndFirstLeaf) {
    Bitset b = Bitset::zeros(words_for_leaves(130));
    EXPECT_EQ(b.words.size(), 3u);
    EXPECT_FALSE(b.has_first_leaf());
    b.set(129);
    b.set(64);
    EXPECT_EQ(b.words, (Words{0, 1, 2}));
    EXPECT_TRUE(b.test(64));
    EXPECT_FALSE(b.test(0));
    EXPECT_FALSE(b.has_first_leaf());
    b.set(0);
    EXPECT_TRUE(b.has_first_leaf());
    EXPECT_EQ(b.count_ones(), 3u);
    EXPECT_FALSE(Bitset::zeros(0).has_first_leaf());
    EXPECT_TRUE(Bitset::zeros(0).words.empty());
}

TEST(BitsetMembers, UnionCoversTheShorterWordCount) {
    Bitset a{{0b01, 0}};
    a.union_with(Bitset{{0b10, 4}});
    EXPECT_EQ(a.words, (Words{0b11, 4}));
    Bitset shorter{{0b100}};
    shorter.union_with(Bitset{{0b001, kAll}});
    EXPECT_EQ(shorter.words, (Words{0b101}));
    Bitset longer{{0, 0}};
    longer.union_with(Bitset{{8}});
    EXPECT_EQ(longer.words, (Words{8, 0}));
}

// ---------------------------------------------------------------------------------------
// Hashing

TEST(BitsetHashing, EqualSetsHashEqualAndDistinctSetsSpread) {
    EXPECT_EQ(with_leaves(70, {3, 66}).hash(), with_leaves(70, {66, 3}).hash());
    // The word count takes part: trailing zero words make a different key.
    EXPECT_NE(hash_words(Words{}), hash_words(Words{0}));
    EXPECT_NE(hash_words(Words{5}), hash_words(Words{5, 0}));

    std::unordered_set<Bitset, BitsetHash> seen;
    std::unordered_set<std::uint64_t> hashes;
    for (std::size_t i = 0; i < 130; ++i) {
        for (std::size_t j = i; j < 130; ++j) {
            Bitset b = with_leaves(130, {i, j});
            hashes.insert(b.hash());
            seen.insert(std::move(b));
        }
    }
    EXPECT_EQ(seen.size(), 130u * 131u / 2u);
    EXPECT_EQ(hashes.size(), seen.size());  // no collision among these small sets
}

// ---------------------------------------------------------------------------------------
// Little-endian bytes

TEST(BitsetBytes, TwelveLeavesGiveTwoBytes) {
    const std::vector<std::uint8_t> bytes = with_leaves(12, {0, 8, 11}).to_le_bytes(2);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x01, 0x09}));
}

TEST(BitsetBytes, WordsFollowOneAnotherLeastSignificantByteFirst) {
    const Bitset b{{0x8877665544332211ULL, 0x0000000000000a0bULL}};
    EXPECT_EQ(b.to_le_bytes(10), (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                                             0x77, 0x88, 0x0b, 0x0a}));
    EXPECT_EQ(b.to_le_bytes(3), (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));
    EXPECT_TRUE(b.to_le_bytes(0).empty());
    EXPECT_EQ(with_leaves(65, {64}).to_le_bytes(9),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

}  // namespace
}  // namespace kestrilune
