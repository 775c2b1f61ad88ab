// Tests of the tree model and the Newick parser: structure and numbering of parsed trees,
// names, lengths and comments, every error message, Unicode white space, invalid UTF-8 and
// the branch-length grammar.
#include <bit>
#include <charconv>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tree/tree_impl.hpp"

namespace kestrilune {
namespace {

using Kind = NewickParseErrorKind;

// Parses a copy of `text` held in a heap block of exactly its size, so that AddressSanitizer
// catches a read even one byte past the end (a std::string would offer its terminator).
Result<Tree, NewickParseError> parse_exact(const std::string& text) {
    std::unique_ptr<char[]> block(new char[text.size() == 0 ? 1 : text.size()]);
    std::memcpy(block.get(), text.data(), text.size());
    return Tree::from_newick(std::string_view(block.get(), text.size()));
}

Tree parse_ok(const std::string& text) {
    auto result = parse_exact(text);
    EXPECT_TRUE(result.has_value()) << "text: " << text << " error: " << result.error().message();
    return result ? std::move(result).value() : Tree{};
}

std::vector<std::optional<std::string>> leaf_names(const Tree& tree) {
    std::vector<std::optional<std::string>> names;
    for (NodeId id : tree.get_leaves()) {
        names.push_back(tree.nodes[id].name);
    }
    return names;
}

std::vector<std::optional<double>> parent_edges(const Tree& tree) {
    std::vector<std::optional<double>> edges;
    for (const Node& node : tree.nodes) {
        edges.push_back(node.parent_edge);
    }
    return edges;
}

using Names = std::vector<std::optional<std::string>>;
using Edges = std::vector<std::optional<double>>;
constexpr std::nullopt_t kNone = std::nullopt;

// ---- Structure and numbering ----------------------------------------------------------------

TEST(NewickStructure, NodesNumberedInCreationOrder) {
    const Tree tree = parse_ok("((A:1,B:2)X:3,C:4);");
    ASSERT_EQ(tree.nodes.size(), 5u);
    const Names names = {kNone, "X", "A", "B", "C"};
    for (NodeId id = 0; id < 5; ++id) {
        EXPECT_EQ(tree.nodes[id].id, id);
        EXPECT_EQ(tree.nodes[id].name, names[id]) << id;
    }
    const Node& root = tree.nodes[0];
    EXPECT_FALSE(root.parent);
    EXPECT_FALSE(root.parent_edge);
    EXPECT_EQ(root.children, (std::vector<NodeId>{1, 4}));
    ASSERT_TRUE(root.child_edges);
    EXPECT_EQ(root.child_edges->entries(), (std::vector<ChildEdges::Entry>{{1, 3.0}, {4, 4.0}}));

    const Node& x = tree.nodes[1];
    EXPECT_EQ(x.parent, NodeId{0});
    EXPECT_EQ(x.parent_edge, 3.0);
    EXPECT_EQ(x.children, (std::vector<NodeId>{2, 3}));
    ASSERT_TRUE(x.child_edges);
    EXPECT_EQ(x.child_edges->entries(), (std::vector<ChildEdges::Entry>{{2, 1.0}, {3, 2.0}}));

    EXPECT_EQ(tree.nodes[2].parent, NodeId{1});
    EXPECT_EQ(tree.nodes[4].parent, NodeId{0});
    EXPECT_EQ(tree.get_leaves(), (std::vector<NodeId>{2, 3, 4}));
    EXPECT_EQ(tree.get_root().value(), NodeId{0});
}

TEST(NewickStructure, NoLengthsMeansNoChildEdges) {
    const Tree tree = parse_ok("(A,B);");
    ASSERT_EQ(tree.nodes.size(), 3u);
    EXPECT_EQ(tree.nodes[0].children, (std::vector<NodeId>{1, 2}));
    EXPECT_EQ(leaf_names(tree), (Names{"A", "B"}));
    for (const Node& node : tree.nodes) {
        EXPECT_FALSE(node.parent_edge);
        EXPECT_FALSE(node.child_edges);
        EXPECT_FALSE(node.comment);
    }
}

TEST(NewickStructure, ChildEdgesOnlyForChildrenWithLengths) {
    const Tree three = parse_ok("(A:0.1,B:0.2,C:0.3);");
    ASSERT_TRUE(three.nodes[0].child_edges);
    EXPECT_EQ(three.nodes[0].child_edges->entries(),
              (std::vector<ChildEdges::Entry>{{1, 0.1}, {2, 0.2}, {3, 0.3}}));

    const Tree partial = parse_ok("(A:1,B,C:3);");
    ASSERT_TRUE(partial.nodes[0].child_edges);
    EXPECT_EQ(partial.nodes[0].child_edges->entries(),
              (std::vector<ChildEdges::Entry>{{1, 1.0}, {3, 3.0}}));
}

TEST(NewickStructure, RootLengthKeptWithoutChildEdge) {
    const Tree tree = parse_ok("(A,B)R:5;");
    EXPECT_EQ(tree.nodes[0].name, "R");
    EXPECT_EQ(tree.nodes[0].parent_edge, 5.0);
    EXPECT_FALSE(tree.nodes[0].child_edges);
}

TEST(NewickStructure, OnlyTheFirstTreeIsRead) {
    const Tree tree = parse_ok("(A,B);(C,D,E);garbage((");
    EXPECT_EQ(tree.nodes.size(), 3u);
    EXPECT_EQ(leaf_names(tree), (Names{"A", "B"}));
}

TEST(NewickStructure, TwoTopLevelGroupsParse) {
    const Tree tree = parse_ok("(A,B),(C,D);");
    ASSERT_EQ(tree.nodes.size(), 6u);
    EXPECT_FALSE(tree.nodes[0].parent);
    EXPECT_FALSE(tree.nodes[3].parent);
    EXPECT_EQ(tree.count_top_level(), 2u);
    EXPECT_EQ(tree.get_root().value(), NodeId{0});
    EXPECT_EQ(tree.get_leaves(), (std::vector<NodeId>{1, 2, 4, 5}));
    EXPECT_EQ(leaf_names(tree), (Names{"A", "B", "C", "D"}));
}

TEST(NewickStructure, LengthOnTopLevelGroupBeforeCommaIsDropped) {
    const Tree tree = parse_ok("(A,B):7,(C,D):8;");
    EXPECT_FALSE(tree.nodes[0].parent_edge);    // completed by ',' without a parent
    EXPECT_EQ(tree.nodes[3].parent_edge, 8.0);  // finished by ';'
}

TEST(NewickStructure, DeepNestingDoesNotRecurse) {
    constexpr int kDepth = 200000;
    std::string text(kDepth, '(');
    text += "A";
    for (int k = 0; k < kDepth; ++k) {
        text += ",B)";
    }
    text += ";";
    const Tree tree = parse_ok(text);
    EXPECT_EQ(tree.nodes.size(), static_cast<std::size_t>(2 * kDepth + 1));
}

// ---- Names, lengths and comments ------------------------------------------------------------

struct NamesCase {
    const char* label;
    std::string text;
    Names leaves;
    std::optional<std::string> root;
};

class NewickNames : public testing::TestWithParam<NamesCase> {};

TEST_P(NewickNames, LeafAndRootNames) {
    const Tree tree = parse_ok(GetParam().text);
    EXPECT_EQ(leaf_names(tree), GetParam().leaves);
    EXPECT_EQ(tree.nodes[0].name, GetParam().root);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewickNames,
    testing::Values(
        NamesCase{"blanks_between_tokens", " ( A , B ) ; ", {"A", "B"}, kNone},
        NamesCase{"ascii_white_space", "(\tA\n,\r\nB\v\f)\n;", {"A", "B"}, kNone},
        NamesCase{"blank_inside_unquoted_name", "(Homo sapiens,B);", {"Homosapiens", "B"}, kNone},
        NamesCase{"double_quotes_keep_blanks_and_quotes",
                  "(\"Homo sapiens\",B);",
                  {"\"Homo sapiens\"", "B"},
                  kNone},
        NamesCase{"special_characters_inside_double_quotes",
                  "(\"a(b),c:d;[e]\",B);",
                  {"\"a(b),c:d;[e]\"", "B"},
                  kNone},
        NamesCase{
            "single_quotes_are_ordinary", "('Homo sapiens',B);", {"'Homosapiens'", "B"}, kNone},
        NamesCase{"quoted_part_inside_a_name", "(x\"a b\"y z,B);", {"x\"a b\"yz", "B"}, kNone},
        NamesCase{"text_before_group_joins_next_node", "X(A,B);", {"XA", "B"}, kNone},
        NamesCase{"name_after_comment_extends_name", "(A:1[c]2,B);", {"A2", "B"}, kNone},
        NamesCase{"internal_and_root_names", "((A,B)X,C)R;", {"A", "B", "C"}, "R"},
        NamesCase{"missing_names", "(,);", {kNone, kNone}, kNone},
        NamesCase{
            "stray_characters_are_kept", "(A!@#$%^&*=B,{C}/\\);", {"A!@#$%^&*=B", "{C}/\\"}, kNone},
        // Non-ASCII characters that are not white space stay, byte for byte.
        NamesCase{"non_ascii_letters",
                  "(\xC3\xA9t\xC3\xA9,\xE4\xB8\xAD,\xF0\x9F\x8C\xB3);",
                  {"\xC3\xA9t\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x8C\xB3"},
                  kNone},
        NamesCase{
            "no_break_space_dropped", "(Homo\xC2\xA0sapiens,B);", {"Homosapiens", "B"}, kNone},
        NamesCase{"no_break_space_kept_when_quoted",
                  "(\"Homo\xC2\xA0sapiens\",B);",
                  {"\"Homo\xC2\xA0sapiens\"", "B"},
                  kNone},
        NamesCase{"unicode_white_space_between_tokens",
                  "\xE3\x80\x80(\xE2\x80\xA8"
                  "A\xE2\x80\xA9,\xC2\x85"
                  "B)\xE1\x9A\x80;",
                  {"A", "B"},
                  kNone},
        // Bytes that do not start a complete, valid sequence are ordinary characters.
        NamesCase{"invalid_lead_byte", "(A\xFF,B\xC0);", {"A\xFF", "B\xC0"}, kNone},
        NamesCase{"stray_continuation_byte", "(\x80\xBF,B);", {"\x80\xBF", "B"}, kNone},
        NamesCase{"sequence_cut_by_ascii", "(A\xE2\x80,B\xC2);", {"A\xE2\x80", "B\xC2"}, kNone},
        NamesCase{"overlong_no_break_space_is_not_white_space",
                  "(A\xC1\xA0,B\xE0\x82\xA0);",
                  {"A\xC1\xA0", "B\xE0\x82\xA0"},
                  kNone},
        NamesCase{"encoded_surrogate_kept", "(A\xED\xA0\x80,B);", {"A\xED\xA0\x80", "B"}, kNone},
        NamesCase{
            "invalid_byte_before_white_space", "(A\xE2\xC2\xA0Z,B);", {"A\xE2Z", "B"}, kNone}),
    [](const testing::TestParamInfo<NamesCase>& param) { return param.param.label; });

// Every character with the Unicode White_Space property is dropped from an unquoted name.
TEST(NewickWhiteSpace, EveryUnicodeWhiteSpaceCharacterIsDropped) {
    const std::vector<std::string> spaces = {"\t",           "\n",           "\v",
                                             "\f",           "\r",           " ",
                                             "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
                                             "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
                                             "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
                                             "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
                                             "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
                                             "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                             "\xE3\x80\x80"};
    for (const std::string& space : spaces) {
        const Tree tree = parse_ok("(A" + space + "B,C);");
        EXPECT_EQ(tree.nodes[1].name, "AB") << "white space bytes of length " << space.size();
        auto quoted_length = parse_exact("(A:\"1" + space + "\",B);");
        ASSERT_FALSE(quoted_length.has_value());
        EXPECT_EQ(quoted_length.error().kind, Kind::WhitespaceInLength);
    }
    // Neighbours of white-space code points are ordinary characters.
    const std::vector<std::string> not_spaces = {"\xC2\x84",     "\xC2\xA1",     "\xE2\x80\x8B",
                                                 "\xE2\x80\xAE", "\xE2\x81\xA0", "\xE3\x80\x81",
                                                 "\x7F"};
    for (const std::string& other : not_spaces) {
        const Tree tree = parse_ok("(A" + other + "B,C);");
        EXPECT_EQ(tree.nodes[1].name, "A" + other + "B");
    }
}

struct LengthsCase {
    const char* label;
    std::string text;
    Edges edges;  // parent_edge of every node, in id order
};

class NewickLengths : public testing::TestWithParam<LengthsCase> {};

TEST_P(NewickLengths, ParentEdges) {
    const Tree tree = parse_ok(GetParam().text);
    EXPECT_EQ(parent_edges(tree), GetParam().edges);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NewickLengths,
    testing::Values(
        LengthsCase{"plain", "(A:1,B:2.5);", {kNone, 1.0, 2.5}},
        LengthsCase{"empty_length_is_absent", "(A:,B);", {kNone, kNone, kNone}},
        LengthsCase{"exponent_and_negative", "(A:1e-3,B:-2);", {kNone, 0.001, -2.0}},
        LengthsCase{"blanks_inside_unquoted_length",
                    "(A: 1 . 5 ,B:\xC2\xA0"
                    "2);",
                    {kNone, 1.5, 2.0}},
        LengthsCase{"quoted_length_without_blanks", "(A:\"1.5\",B:\"\");", {kNone, 1.5, kNone}},
        LengthsCase{"root_length", "(A:1,B:2)R:5;", {5.0, 1.0, 2.0}},
        LengthsCase{"internal_length", "((A:1,B:2)X:3,C:4);", {kNone, 3.0, 1.0, 2.0, 4.0}},
        LengthsCase{"comment_inside_length", "(A:1[&x]5,B:2[c]);", {kNone, 1.0, 2.0}}),
    [](const testing::TestParamInfo<LengthsCase>& param) { return param.param.label; });

TEST(NewickComments, CommentsGoToTheCompletedNode) {
    const Tree tree = parse_ok("(A[&x=1]:1,B[one][two],C[],D[a \"b\" (c),;])[root];");
    EXPECT_EQ(tree.nodes[1].comment, "&x=1");
    EXPECT_EQ(tree.nodes[1].parent_edge, 1.0);
    EXPECT_EQ(tree.nodes[2].comment, "onetwo");
    EXPECT_FALSE(tree.nodes[3].comment);
    EXPECT_EQ(tree.nodes[4].comment, "a \"b\" (c),;");
    EXPECT_EQ(tree.nodes[0].comment, "root");
}

TEST(NewickComments, CommentBeforeGroupJoinsNextNode) {
    const Tree tree = parse_ok("[c](A,B);");
    EXPECT_FALSE(tree.nodes[0].comment);
    EXPECT_EQ(tree.nodes[1].comment, "c");
}

// ---- Failures -----------------------------------------------------------------------------

struct ErrorCase {
    const char* label;
    std::string text;
    Kind kind;
    const char* message;
};

class NewickErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(NewickErrors, KindAndMessage) {
    auto result = parse_exact(GetParam().text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, GetParam().kind);
    EXPECT_EQ(result.error().message(), GetParam().message);
}

constexpr const char* kMissingSemicolon = "The tree is missin a semi colon at the end.";
constexpr const char* kUnclosed = "Missing a closing bracket.";
constexpr const char* kUnmatched = "Parent node of subtree not found";
constexpr const char* kBadLength = "Could not parse a branch length";
constexpr const char* kWhitespace = "Cannot have whitespace in number field.";
constexpr const char* kNothing = "No node to finish before the semi colon.";

INSTANTIATE_TEST_SUITE_P(
    Cases, NewickErrors,
    testing::Values(
        ErrorCase{"empty", "", Kind::MissingSemicolon, kMissingSemicolon},
        ErrorCase{"no_semicolon", "(A,B)", Kind::MissingSemicolon, kMissingSemicolon},
        ErrorCase{"blanks_only", " \n\t", Kind::MissingSemicolon, kMissingSemicolon},
        ErrorCase{"unclosed_quote_takes_semicolon", "(\"A,B);", Kind::MissingSemicolon,
                  kMissingSemicolon},
        ErrorCase{"unclosed_comment_takes_semicolon", "(A[note,B);", Kind::MissingSemicolon,
                  kMissingSemicolon},
        ErrorCase{"truncated_sequence_at_end", "(A,B)C\xE2\x80", Kind::MissingSemicolon,
                  kMissingSemicolon},
        ErrorCase{"lead_byte_at_end", "(A,\xF0", Kind::MissingSemicolon, kMissingSemicolon},
        ErrorCase{"truncated_sequence_at_end_of_length", "(A:1\xE3", Kind::MissingSemicolon,
                  kMissingSemicolon},
        ErrorCase{"unclosed_group", "((A,B);", Kind::UnclosedGroup, kUnclosed},
        ErrorCase{"open_only", "(;", Kind::UnclosedGroup, kUnclosed},
        ErrorCase{"extra_close", "(A,B));", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"bad_length", "(A:abc,B);", Kind::BadLength, kBadLength},
        ErrorCase{"bad_root_length", "(A,B)R:x;", Kind::BadLength, kBadLength},
        ErrorCase{"bad_dropped_length", "(A,B):x,(C,D);", Kind::BadLength, kBadLength},
        ErrorCase{"incomplete_exponent", "(A:1e,B);", Kind::BadLength, kBadLength},
        ErrorCase{"non_ascii_in_length", "(A:1\xC3\xA9,B);", Kind::BadLength, kBadLength},
        ErrorCase{"sign_inside_length", "(A:1-2,B);", Kind::BadLength, kBadLength},
        ErrorCase{"blank_in_quoted_length", "(A:\"1 2\",B);", Kind::WhitespaceInLength,
                  kWhitespace},
        ErrorCase{"tab_in_quoted_length", "(A:1\"\t\",B);", Kind::WhitespaceInLength, kWhitespace},
        ErrorCase{"no_break_space_in_quoted_length", "(A:\"\xC2\xA0\"1,B);",
                  Kind::WhitespaceInLength, kWhitespace},
        // Shapes with no node to complete or finish.
        ErrorCase{"comma_outside_groups", "A,B;", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"lone_comma", ",;", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"close_outside_groups", "A);", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"lone_close", ")", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"comma_after_top_level_group", "(A,B),,(C,D);", Kind::UnmatchedClose, kUnmatched},
        ErrorCase{"leaf_only", "A;", Kind::NothingToFinish, kNothing},
        ErrorCase{"semicolon_only", ";", Kind::NothingToFinish, kNothing},
        ErrorCase{"blank_then_semicolon", "  [c] ;", Kind::NothingToFinish, kNothing},
        ErrorCase{"leaf_after_top_level_group", "(A,B),C;", Kind::NothingToFinish, kNothing}),
    [](const testing::TestParamInfo<ErrorCase>& param) { return param.param.label; });

TEST(NewickErrors, EveryKindHasItsMessage) {
    const std::vector<std::pair<Kind, std::string_view>> table = {
        {Kind::WhitespaceInLength, kWhitespace},
        {Kind::UnclosedGroup, kUnclosed},
        {Kind::MissingSemicolon, kMissingSemicolon},
        {Kind::UnmatchedClose, kUnmatched},
        {Kind::TreeFailure, "Problem with building the tree."},
        {Kind::BadLength, kBadLength},
        {Kind::NothingToFinish, kNothing}};
    for (const auto& [kind, message] : table) {
        EXPECT_EQ((NewickParseError{kind, std::nullopt}.message()), message);
    }
    // What TreeFailure carries is not shown.
    const NewickParseError failure{Kind::TreeFailure, TreeError{TreeErrorKind::MissingNode, 7}};
    EXPECT_EQ(failure.message(), "Problem with building the tree.");
}

// Random texts over the parser's alphabet, and random edits of a text that uses every
// feature: every parse ends in a tree or an error, never out of bounds, and every tree it
// returns is well formed.
TEST(NewickRobustness, RandomTextsGiveWellFormedTreesOrErrors) {
    const std::vector<std::string> pieces = {
        "(",        ")",    ",",    ";",        ":",   "[",   "]", "[&",       "\"",
        " ",        "A",    "b1",   "1",        ".5",  "e-3", "-", "\xC2\xA0", "\xE2\x80\x80",
        "\xC3\xA9", "\xE2", "\x80", "\xF0\x9F", "\xFF"};
    const std::string seed_text =
        "((A:1,\"B b\":2.5e-1)X[c]:3,(C\xC2\xA0"
        "c:\"4\",D[&x]:.5)Y:-1,'E e':inf)R:0;";
    std::mt19937_64 rng(12345);
    std::size_t n_trees = 0;
    for (int round = 0; round < 40000; ++round) {
        std::string text;
        if (round % 2 == 0) {
            const int n_pieces = static_cast<int>(rng() % 24);
            for (int k = 0; k < n_pieces; ++k) {
                text += pieces[rng() % pieces.size()];
            }
        } else {
            text = seed_text;
            const int n_edits = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < n_edits; ++k) {
                const std::size_t at = rng() % (text.size() + 1);
                if (rng() % 2 == 0 && at < text.size()) {
                    text.erase(at, 1);
                } else {
                    text.insert(at, pieces[rng() % pieces.size()]);
                }
            }
        }
        auto result = parse_exact(text);
        if (!result) {
            continue;
        }
        ++n_trees;
        const Tree& tree = result.value();
        for (const Node& node : tree.nodes) {
            ASSERT_LT(node.id, tree.nodes.size());
            EXPECT_EQ(&tree.nodes[node.id], &node);
            if (node.parent) {
                ASSERT_LT(*node.parent, node.id) << text;
                const auto& siblings = tree.nodes[*node.parent].children;
                EXPECT_NE(std::find(siblings.begin(), siblings.end(), node.id), siblings.end());
            }
            for (NodeId child : node.children) {
                ASSERT_LT(child, tree.nodes.size());
                EXPECT_EQ(tree.nodes[child].parent, node.id);
            }
            const std::size_t n_edges = node.child_edges ? node.child_edges->size() : 0;
            std::size_t n_children_with_length = 0;
            for (NodeId child : node.children) {
                const std::optional<double> edge = tree.nodes[child].parent_edge;
                if (edge) {
                    ++n_children_with_length;
                    ASSERT_TRUE(node.child_edges) << text;
                    const std::optional<double> recorded = node.child_edges->find(child);
                    ASSERT_TRUE(recorded) << text;
                    EXPECT_TRUE(*recorded == *edge || (std::isnan(*recorded) && std::isnan(*edge)));
                }
            }
            EXPECT_EQ(n_edges, n_children_with_length) << text;
        }
    }
    EXPECT_GT(n_trees, 2000u);  // the edits do produce trees, not only errors
}

// ---- Tree operations -------------------------------------------------------------------------

TEST(TreeOperations, LookupsAndErrors) {
    Tree tree = parse_ok("(A,B);");
    EXPECT_EQ(tree.get(2).value()->name, "B");
    EXPECT_FALSE(tree.get(3).has_value());
    EXPECT_EQ(tree.get(3).error().message(), "There is no node with index: 3");
    EXPECT_EQ(tree.get_mut(99).error().message(), "There is no node with index: 99");
    auto added = tree.add_child(Node{}, 42, 1.0);
    ASSERT_FALSE(added.has_value());
    EXPECT_EQ(added.error().node, 42u);
    EXPECT_EQ(tree.nodes.size(), 3u);
    EXPECT_EQ(Tree{}.get_root().error().message(), "No root node found");
}

// ---- Branch lengths -------------------------------------------------------------------------

struct LengthCase {
    const char* text;
    double expected;
};

class BranchLengthAccepted : public testing::TestWithParam<LengthCase> {};

TEST_P(BranchLengthAccepted, ConvertsCorrectlyRounded) {
    const std::optional<double> value = parse_branch_length(GetParam().text);
    ASSERT_TRUE(value.has_value()) << GetParam().text;
    const double expected = GetParam().expected;
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(*value));
    } else {
        // Bit-for-bit, which also tells +0.0 from -0.0.
        EXPECT_EQ(std::memcmp(&*value, &expected, sizeof(double)), 0)
            << GetParam().text << " gave " << *value << ", expected " << expected;
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr double kMax = std::numeric_limits<double>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, BranchLengthAccepted,
    testing::Values(
        LengthCase{"1", 1.0}, LengthCase{"1.", 1.0}, LengthCase{".5", 0.5}, LengthCase{"+1.5", 1.5},
        LengthCase{"-2", -2.0}, LengthCase{"0.1", 0.1}, LengthCase{"2.5e-3", 0.0025},
        LengthCase{"1E5", 1e5}, LengthCase{"1e+5", 1e5}, LengthCase{"-.5e1", -5.0},
        LengthCase{"007", 7.0}, LengthCase{"0", 0.0}, LengthCase{"+0", 0.0}, LengthCase{"-0", -0.0},
        LengthCase{"-0.0e10", -0.0}, LengthCase{"0e999999999999999999999", 0.0},
        LengthCase{"123456789012345678901234567890", 1.2345678901234568e29},
        LengthCase{"0.000000000000000000000000001e330", 1e303},
        LengthCase{"9007199254740993", 9007199254740992.0},  // ties to even
        LengthCase{"inf", kInf}, LengthCase{"-Infinity", -kInf}, LengthCase{"+INF", kInf},
        LengthCase{"iNfInItY", kInf}, LengthCase{"nan", kNaN}, LengthCase{"-NaN", kNaN},
        // Out of range: infinity or zero with the sign kept.
        LengthCase{"1e999", kInf}, LengthCase{"-1e999", -kInf},
        LengthCase{"1e99999999999999999999", kInf}, LengthCase{"1e-999", 0.0},
        LengthCase{"-1e-999", -0.0}, LengthCase{"1e-99999999999999999999", 0.0},
        LengthCase{"1000000000000000000000e-350", 0.0},
        LengthCase{"0.00000000000000000001e330", kInf}, LengthCase{"1.7976931348623157e308", kMax},
        LengthCase{"1.7976931348623158e308", kMax}, LengthCase{"1.7976931348623159e308", kInf},
        // Denormals and the rounding boundary below the smallest one.
        LengthCase{"4.9e-324", kDenormMin}, LengthCase{"-4.9e-324", -kDenormMin},
        LengthCase{"2.4703282292062328e-324", kDenormMin},
        LengthCase{"2.4703282292062327e-324", 0.0},
        LengthCase{"2.2250738585072011e-308", 2.2250738585072009e-308},
        LengthCase{"1e-320", 1e-320}));

class BranchLengthRejected : public testing::TestWithParam<const char*> {};

TEST_P(BranchLengthRejected, IsNotANumber) {
    EXPECT_FALSE(parse_branch_length(GetParam()).has_value()) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Cases, BranchLengthRejected,
                         testing::Values("", "+", "-", ".", "+.", "1e", "1e+", "1E-", "e5", ".e5",
                                         "-.e1", "1_000", " 1", "1 ", "0x10", "0X1p3", "1,5",
                                         "1.5.2", "1e5.5", "1e5e5", "++1", "+-1", "--1", "-+1",
                                         "nan(1)", "nan()", "infin", "infinityy", "inf5", "5inf",
                                         "nana", "+-inf", "1d5", "abc", "\xD9\xA3"));

}  // namespace
}  // namespace kestrilune

namespace kestrilune {
namespace {

// Short decimal lengths take an exact shortcut instead of the full conversion; both must
// give the same double for every text.
TEST(BranchLengthConversion, ShortcutAgreesWithFullConversion) {
    std::mt19937_64 rng(42);
    for (int trial = 0; trial < 200000; ++trial) {
        std::string text;
        const int int_digits = static_cast<int>(rng() % 6);
        const int frac_digits = static_cast<int>(rng() % 22);
        for (int d = 0; d < int_digits; ++d) {
            text += static_cast<char>('0' + rng() % 10);
        }
        if (int_digits == 0 || rng() % 2 == 0) {
            text += '.';
            for (int d = 0; d < frac_digits || (int_digits == 0 && d == 0); ++d) {
                text += static_cast<char>('0' + rng() % 10);
            }
        }
        if (rng() % 3 == 0) {
            text += (rng() % 2 == 0) ? "e-" : "e";
            text += std::to_string(rng() % 30);
        }
        double expected = 0.0;
        const auto [ptr, ec] =
            std::from_chars(text.data(), text.data() + text.size(), expected);
        ASSERT_EQ(ec, std::errc()) << text;
        const std::optional<double> got = parse_branch_length(text);
        ASSERT_TRUE(got.has_value()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(expected))
            << text;
    }
}

}  // namespace
}  // namespace kestrilune
