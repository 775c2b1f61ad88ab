// The plain-text reader against the full parser: whatever text it accepts, it must read as
// Tree::from_newick reads the annotation-free text, and the partitions of its shape must
// be the snapshot's.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <string>
#include <vector>

#include "bitset/bitset.hpp"
#include "io/io.hpp"
#include "random_newick.hpp"
#include "reference_readers.hpp"
#include "snapshot/snapshot.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune {
namespace {

using testing_support::NewickGen;
using testing_support::NewickStyle;

// Checks one text; returns whether the plain reader took it.
bool check_text(const std::string& text) {
    TreeShape shape;
    if (!read_plain_newick(text, shape)) {
        return false;
    }
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

}  // namespace
}  // namespace kestrilune
