// The plain-text reader against the full parser: whatever text it accepts, it must read as
// Tree::from_newick reads the annotation-free text, and the partitions of its shape must
// be the snapshot's.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bitset/bitset.hpp"
#include "io/io.hpp"
#include "random_newick.hpp"
#include "reference_readers.hpp"
#include "snapshot/snapshot.hpp"
#include "tree/common_length.hpp"
#include "tree/newick_bytes.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune {
namespace {

using testing_support::NewickGen;
using testing_support::NewickStyle;

// Checks one text; returns whether the plain reader took it. Reading without the lengths'
// values takes the same texts, with the same nodes and leaves.
bool check_text(const std::string& text) {
    TreeShape shape;
    TreeShape unconverted;
    const bool taken = read_plain_newick(text, shape);
    EXPECT_EQ(read_plain_newick(text, unconverted, false), taken) << text;
    if (!taken) {
        return false;
    }
    EXPECT_EQ(unconverted.parent, shape.parent) << text;
    EXPECT_EQ(unconverted.leaf_labels, shape.leaf_labels) << text;
    const Result<Tree, NewickParseError> tree = Tree::from_newick(strip_beast_annotations(text));
    EXPECT_TRUE(tree) << "the full parser refuses a text the plain reader took: " << text;
    if (tree) {
        EXPECT_EQ(tree->count_top_level(), 1u) << text;
        EXPECT_EQ(reference::shape_difference(shape, *tree), "") << text;
    }
    return true;
}

TEST(ReadPlainNewick, TakesEveryTreeWrittenAsTreeFilesWriteThem) {
    NewickGen gen(1);
    for (int k = 0; k < 3000; ++k) {
        NewickStyle style;
        style.n_leaves = 1 + gen.uniform(40);
        const std::string text = gen.tree(style);
        ASSERT_TRUE(check_text(text)) << text;
    }
}

TEST(ReadPlainNewick, AgreesWithTheFullParserOnQuirksNoiseAndDamage) {
    NewickGen gen(2);
    std::size_t taken = 0, declined = 0;
    for (int k = 0; k < 60000; ++k) {
        NewickStyle style;
        style.n_leaves = 1 + gen.uniform(12);
        style.quirk_rate = 0.5;
        std::string text;
        switch (k % 3) {
            case 0:
                text = gen.tree(style);
                break;
            case 1:
                text = gen.noise(1 + gen.uniform(30));
                break;
            default:
                text = gen.mutate(gen.mutate(gen.tree(style)));
        }
        (check_text(text) ? taken : declined) += 1;
    }
    // Both ways are exercised.
    EXPECT_GT(taken, 10000u);
    EXPECT_GT(declined, 10000u);
}

struct FormCase {
    const char* what;
    const char* text;
    bool plain;
};

class ReadPlainNewickForms : public testing::TestWithParam<FormCase> {};

// What tree files write is plain; what only the lenient parser makes sense of is not.
TEST_P(ReadPlainNewickForms, TakesOrDeclines) {
    EXPECT_EQ(check_text(GetParam().text), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReadPlainNewickForms,
    testing::Values(
        FormCase{"mrbayes", "[&U] (1:2.000000e-02,(2:1.5e-01,3:3.0E-2):0.1,4:0.5);", true},
        FormCase{"beast", "[&R] ((1:[&rate=0.7]14.9,2[&r=1]:1):[&x]2,3:4)[&y];", true},
        FormCase{"blanks_between_tokens", " ( 1 : 0.5 ,\n\t2 ) ; trailing", true},
        FormCase{"root_name_and_length", "(A,B)root:0.0;", true},
        FormCase{"unnamed_leaves", "(,(,):1);", true},
        FormCase{"quoted_label", "(\"A\",B);", false}, FormCase{"comment", "(A[note],B);", false},
        FormCase{"blank_inside_a_name", "(A B,C);", false},
        FormCase{"annotation_inside_a_name", "(A[&x]B,C);", false},
        FormCase{"text_before_a_group", "(A,x(B,C));", false},
        FormCase{"group_after_a_group", "((A,B)(C,D));", false},
        FormCase{"two_top_level_groups", "(A,B),(C,D);", false},
        FormCase{"bad_length", "(A:1x,B);", false}, FormCase{"bad_root_length", "(A,B):y;", false},
        FormCase{"unclosed_annotation", "(A,B)[&x;", false},
        FormCase{"no_semicolon", "(A,B)", false}, FormCase{"not_a_group", "A;", false},
        FormCase{"non_ascii_label", "(\xC3\xA9,B);", false}),
    [](const auto& param_info) { return std::string(param_info.param.what); });

// ---- Partitions of a shape ------------------------------------------------------------------

// Partition words -> length bits.
using PartitionMap = std::map<std::vector<std::uint64_t>, std::uint64_t>;

PartitionMap as_map(const TreeSplits& p) {
    PartitionMap out;
    for (std::size_t k = 0; k < p.size(); ++k) {
        const auto words = p.partition(k);
        EXPECT_EQ(p.hashes[k], hash_words(words));
        const bool fresh = out.emplace(std::vector<std::uint64_t>(words.begin(), words.end()),
                                       std::bit_cast<std::uint64_t>(p.lengths[k]))
                               .second;
        EXPECT_TRUE(fresh) << "a partition twice";
    }
    return out;
}

PartitionMap as_map(const Snapshot& s) {
    PartitionMap out;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const auto words = s.partition(k);
        out.emplace(std::vector<std::uint64_t>(words.begin(), words.end()),
                    std::bit_cast<std::uint64_t>(s.lengths[k]));
    }
    return out;
}

TEST(TreeSplits, FromAShapeAreTheSnapshotsOfTheParsedTree) {
    NewickGen gen(3);
    for (int k = 0; k < 3000; ++k) {
        NewickStyle style;
        style.n_leaves = 1 + gen.uniform(k % 10 == 0 ? 200 : 20);
        const std::string text = gen.tree(style);
        const bool rooted = k % 2 == 0;
        Tree tree = Tree::from_newick(strip_beast_annotations(text)).value();
        const Snapshot reference = Snapshot::from_tree(tree, rooted).value();
        const LeafOrder order(reference.leaf_names);

        TreeShape shape;
        ASSERT_TRUE(read_plain_newick(text, shape)) << text;
        std::vector<std::uint32_t> bits;
        for (const std::string_view label : shape.leaf_labels) {
            bits.push_back(order.find(label).value());
        }
        const TreeSplits parts = TreeSplits::from_shape(shape, rooted, bits);
        EXPECT_EQ(parts.n_words, reference.n_words);
        ASSERT_EQ(as_map(parts), as_map(reference)) << text << (rooted ? " rooted" : "");
    }
}

// ---- Lengths converted as they are read ------------------------------------------------------

// read_common_length against parse_branch_length: where it takes a number (a prefix of the
// text, which the reader uses only when the text's run of name bytes ends there) it must
// give the bits of that prefix; it may decline anything.
void check_length(const std::string& text, bool must_take) {
    const std::string padded = text + ",";  // a byte that ends the run
    double value = -1.0;
    const std::size_t n = read_common_length(padded.data(), padded.data() + padded.size(), value);
    EXPECT_TRUE(!must_take || n == text.size()) << text;
    // Unconverted, the same extent, also with more than 32 bytes of text left.
    const std::string long_padded = padded + "0123456789.0123456789e01234567890123456789";
    double untouched = 0.0;
    EXPECT_EQ(read_common_length(padded.data(), padded.data() + padded.size(), untouched, false),
              n)
        << text;
    EXPECT_EQ(read_common_length(long_padded.data(), long_padded.data() + long_padded.size(),
                                 untouched, false),
              n)
        << text;
    if (n == 0) {
        return;
    }
    ASSERT_LE(n, text.size()) << text;
    const std::optional<double> reference = parse_branch_length(text.substr(0, n));
    ASSERT_TRUE(reference.has_value()) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(*reference))
        << text;
    // The same at the very end of the text.
    EXPECT_EQ(read_common_length(text.data(), text.data() + text.size(), value), n) << text;
}

TEST(ReadCommonLength, GivesTheBitsOfTheFullConversion) {
    struct Case {
        const char* text;
        bool taken;
    };
    const Case cases[] = {
        {"0.0123", true}, {"2.000000e-02", true}, {"14.940313381040394", true},
        {"1.5173576858399203E-4", true}, {"-0", true}, {"+1.", true}, {".5", true},
        {"235.64125280511848", true}, {"9007199254740993", true},   // 2^53 + 1: a tie, to even
        {"9007199254740995", true},                                   // a tie, up to even
        {"90071992547409930e-1", false},                              // 20 digits
        {"9007199254740993.0", true}, {"0.9007199254740993e16", true},
        {"18446744073709551615", false}, {"9999999999999999999", true},
        {"1e27", true}, {"1e-27", true}, {"1234567890123456789e-27", true},
        {"1234567890123456789e27", true}, {"1e28", false}, {"1e00005", false},
        {"4.9406564584124654e-324", false}, {"1.7976931348623157e308", false},
        {"", false}, {"-", false}, {".", false}, {"1e", false}, {"1e+", false}, {"e5", false},
        {"inf", false}, {"nan", false}, {"0x10", false}, {"1.2.3", false}, {"--1", false},
        {"0e22", true}, {"0.0e-21", true}, {"0.0e-22", false}, {"0e23", false}, {"0.000e25", false},
        {"1234567890123456789012345678901234567890", false}, {"0.0000000000000000000000000000001", false},
    };
    for (const Case& c : cases) {
        check_length(c.text, c.taken);
    }
}

TEST(ReadCommonLength, AgreesOnRandomDecimals) {
    std::mt19937_64 rng(7);
    char buffer[64];
    for (int k = 0; k < 200000; ++k) {
        std::string text;
        switch (k % 4) {
            case 0: {  // what programs print: %.Ng and %.Ne of doubles over many scales
                const double x =
                    std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 120));
                std::snprintf(buffer, sizeof buffer, k % 8 == 0 ? "%.*e" : "%.*g",
                              1 + static_cast<int>(rng() % 18), x);
                text = buffer;
                break;
            }
            default: {  // digit strings with a point anywhere and an exponent or not
                const int n_digits = 1 + static_cast<int>(rng() % 20);
                const int point = static_cast<int>(rng() % (n_digits + 2)) - 1;
                if (rng() % 4 == 0) {
                    text += rng() % 2 ? '-' : '+';
                }
                for (int d = 0; d < n_digits; ++d) {
                    if (d == point) {
                        text += '.';
                    }
                    // Runs of 9s and 0s reach the ties and the carries.
                    const auto r = rng() % 10;
                    text += static_cast<char>('0' + (r < 3 ? 9 : r < 5 ? 0 : rng() % 10));
                }
                if (rng() % 2) {
                    text += rng() % 2 ? 'e' : 'E';
                    const auto sign = rng() % 3;
                    text += sign == 0 ? "" : sign == 1 ? "-" : "+";
                    text += std::to_string(rng() % 40);
                }
            }
        }
        check_length(text, false);
    }
}

// The vector search for the end of an annotation against memchr: every start, every place
// of the first ']' (before, on and after the 16-byte blocks' edges, none at all), and
// '[' or '"' before it, which do not count.
TEST(FindCloseBracket, FindsWhatMemchrFinds) {
    std::mt19937_64 rng(11);
    for (std::size_t size = 0; size <= 70; ++size) {
        for (int trial = 0; trial < 40; ++trial) {
            std::string text(size, 'x');
            for (char& c : text) {
                const auto r = rng() % 16;
                c = r == 0 ? '[' : r == 1 ? '"' : r == 2 ? ']' : r == 3 ? '&' : 'a';
            }
            if (trial % 3 == 0) {
                std::replace(text.begin(), text.end(), ']', 'b');
            }
            for (std::size_t from = 0; from <= size; ++from) {
                const void* found = std::memchr(text.data() + from, ']', size - from);
                const std::size_t expected =
                    found == nullptr ? size : static_cast<const char*>(found) - text.data();
                ASSERT_EQ(detail::find_close_bracket(text.data(), from, size), expected)
                    << text << " from " << from;
            }
        }
    }
}

}  // namespace
}  // namespace kestrilune
