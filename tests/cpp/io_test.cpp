// Tests of the preprocessing around the parser: removal of "[&...]" annotations and the
// translation of leaf labels through a translate map.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "io/io.hpp"

namespace kestrilune {
namespace {

struct StripCase {
    const char* label;
    std::string text;
    std::string expected;
};

class StripAnnotations : public testing::TestWithParam<StripCase> {};

TEST_P(StripAnnotations, Output) {
    const std::string out = strip_beast_annotations(GetParam().text);
    EXPECT_EQ(out, GetParam().expected);
    EXPECT_LE(out.size(), GetParam().text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StripAnnotations,
    testing::Values(
        StripCase{"node_annotation", "(A[&rate=1.0]:0.5,B);", "(A:0.5,B);"},
        StripCase{"plain_comment_kept", "(A[note]:0.5,B);", "(A[note]:0.5,B);"},
        StripCase{"root_annotation", "(A,B)[&R];", "(A,B);"},
        StripCase{"annotation_at_start_keeps_following_blank", "[&R] (A,B);", " (A,B);"},
        StripCase{"spans_do_not_nest", "(A[&a[b]c]:1,B);", "(Ac]:1,B);"},
        StripCase{"open_annotation_runs_to_end", "(A,B);[&x", "(A,B);"},
        StripCase{"open_annotation_just_opened", "(A,B);[&", "(A,B);"},
        StripCase{"lone_bracket_at_end_kept", "(A,B);[", "(A,B);["},
        StripCase{"bracket_before_annotation", "(A[[&x]:1,B);", "(A[:1,B);"},
        StripCase{"close_outside_span_kept", "(A],B);", "(A],B);"},
        StripCase{"ampersand_not_directly_after_bracket", "(A[ &x]:1,B);", "(A[ &x]:1,B);"},
        StripCase{"quotes_give_no_protection", "(\"A[&x]\",B);", "(\"A\",B);"},
        StripCase{"many_annotations", "((1[&a=1]:0.1[&r=2],2[&b={1,2}]:0.2)[&c]:0.3,3:0.4[&d]);",
                  "((1:0.1,2:0.2):0.3,3:0.4);"},
        StripCase{"empty", "", ""}, StripCase{"only_annotation", "[&everything]", ""},
        StripCase{"non_ascii_kept", "(\xC3\xA9[&\xE2\x80\x80]:1,\xFF\x80[x]);",
                  "(\xC3\xA9:1,\xFF\x80[x]);"},
        StripCase{"text_without_brackets", "(A:1,B:2);", "(A:1,B:2);"}),
    [](const testing::TestParamInfo<StripCase>& param) { return param.param.label; });

TEST(StripAnnotationsInput, NulBytesAreOrdinary) {
    const std::string text("(A\0[&x]B,C);", 12);
    EXPECT_EQ(strip_beast_annotations(text), std::string("(A\0B,C);", 8));
}

std::vector<std::optional<std::string>> names_of(const Tree& tree) {
    std::vector<std::optional<std::string>> names;
    for (const Node& node : tree.nodes) {
        names.push_back(node.name);
    }
    return names;
}

Tree parse(std::string_view text) {
    auto result = Tree::from_newick(text);
    EXPECT_TRUE(result.has_value()) << text;
    return result ? std::move(result).value() : Tree{};
}

using Names = std::vector<std::optional<std::string>>;
constexpr std::nullopt_t kNone = std::nullopt;

TEST(RenameLeaves, MappedLeavesRenamedUnknownLeavesLoseTheirLabel) {
    Tree tree = parse("(1,2,3);");
    rename_leaf_nodes(tree, {{"1", "Human"}, {"2", "Chimp"}});
    EXPECT_EQ(names_of(tree), (Names{kNone, "Human", "Chimp", kNone}));
}

TEST(RenameLeaves, EmptyMapChangesNothing) {
    Tree tree = parse("((1,2)3,x)4;");
    const Names before = names_of(tree);
    rename_leaf_nodes(tree, {});
    EXPECT_EQ(names_of(tree), before);
}

TEST(RenameLeaves, InternalNodesAndRootAreNeverRenamed) {
    Tree tree = parse("((1,2)1,3)2;");
    rename_leaf_nodes(tree, {{"1", "Human"}, {"2", "Chimp"}, {"3", "Gorilla"}});
    EXPECT_EQ(names_of(tree), (Names{"2", "1", "Human", "Chimp", "Gorilla"}));
}

TEST(RenameLeaves, UnnamedLeavesStayUnnamed) {
    Tree tree = parse("(,1,);");
    rename_leaf_nodes(tree, {{"", "Empty"}, {"1", "One"}});
    EXPECT_EQ(names_of(tree), (Names{kNone, kNone, "One", kNone}));
}

TEST(RenameLeaves, KeysMatchTheParsedNameExactly) {
    // The parser drops unquoted blanks and keeps double quotes; the lookup uses that name,
    // byte for byte.
    Tree tree = parse("(1 0,\"2\",a,A,\xC3\xA9);");
    rename_leaf_nodes(tree,
                      {{"10", "Ten"}, {"\"2\"", "Two"}, {"a", "lower"}, {"\xC3\xA9", "e-acute"}});
    EXPECT_EQ(names_of(tree), (Names{kNone, "Ten", "Two", "lower", kNone, "e-acute"}));
}

TEST(RenameLeaves, PipelineOnAnnotatedText) {
    const std::string text = strip_beast_annotations(
        "((1[&rate=0.7]:0.5,2[&rate=1.1]:0.25)[&posterior=1.0]:0.1,3:0.75)[&R];");
    Tree tree = parse(text);
    rename_leaf_nodes(tree, {{"1", "Human"}, {"2", "Chimp"}, {"3", "Gorilla"}});
    EXPECT_EQ(names_of(tree), (Names{kNone, kNone, "Human", "Chimp", "Gorilla"}));
    EXPECT_EQ(tree.nodes[2].parent_edge, 0.5);
    EXPECT_EQ(tree.nodes[1].parent_edge, 0.1);
    for (const Node& node : tree.nodes) {
        EXPECT_FALSE(node.comment);
    }
}

}  // namespace
}  // namespace kestrilune
