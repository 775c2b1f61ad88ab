// Tree: a parsed phylogenetic tree as an arena of Nodes addressed by id, and the Newick
// parser that builds it. The parser is a single lenient left-to-right pass: white space
// outside double quotes is dropped, double-quoted labels keep their quotes, `[...]` text
// becomes the node's comment, text written before `(` joins the next completed node.
//
//     Result<Tree, NewickParseError> tree = Tree::from_newick("((A:1,B:2)X:3,C:4);");
//     // nodes: 0 root, 1 X, 2 A, 3 B, 4 C
//
// Invariant of every tree built through add_child (and so of every parsed tree): a node's
// parent has a smaller id than the node itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "tree/node.hpp"

namespace kestrilune {

enum class TreeErrorKind { MissingNode, NoRoot };

struct TreeError {
    TreeErrorKind kind = TreeErrorKind::NoRoot;
    NodeId node = 0;  // the id that was looked up, for MissingNode

    // "There is no node with index: <id>" or "No root node found".
    std::string message() const;
};

enum class NewickParseErrorKind {
    WhitespaceInLength,
    UnclosedGroup,
    MissingSemicolon,
    UnmatchedClose,
    TreeFailure,
    BadLength,
    // A `;` with no node to finish, as in "A;", ";" or "(A,B),C;".
    NothingToFinish,
};

struct NewickParseError {
    NewickParseErrorKind kind = NewickParseErrorKind::MissingSemicolon;
    std::optional<TreeError> tree_error;  // set for TreeFailure; not part of the message

    // The fixed English text of the kind, e.g. "Missing a closing bracket.".
    std::string_view message() const noexcept;
};

struct Tree {
    std::vector<Node> nodes;  // node id = index; ids are never reused

    // Parses one Newick tree from UTF-8 text; characters after the first `;` are not read.
    // Invalid UTF-8 is read byte by byte as ordinary characters, never out of bounds.
    static Result<Tree, NewickParseError> from_newick(std::string_view text);

    // The same, building the tree in the node array of `storage` (an earlier tree, whose
    // nodes are dropped), so that a thread parsing many trees keeps one array and does not
    // ask the allocator for a large block per tree.
    static Result<Tree, NewickParseError> from_newick(std::string_view text, Tree storage);

    // Appends `node` as a new child of `parent` with branch length `edge`; returns its id.
    Result<NodeId, TreeError> add_child(Node node, NodeId parent, std::optional<double> edge);

    Result<const Node*, TreeError> get(NodeId id) const;
    Result<Node*, TreeError> get_mut(NodeId id);

    // Ids of all nodes without children, ascending (left to right in the text).
    std::vector<NodeId> get_leaves() const;

    // The first parentless node in id order (node 0 for a parsed tree), or NoRoot.
    Result<NodeId, TreeError> get_root() const;

    // Number of parentless nodes. A text such as "(A,B),(C,D);" parses into two; such a
    // text holds more than one tree and is refused by the snapshot collection.
    std::size_t count_top_level() const;
};

// Converts a branch-length text: optional sign, then a decimal number with optional
// fraction and exponent ("1", "1.", ".5", "2.5e-3"), or inf / infinity / nan in any case.
// Correctly rounded; anything else (empty text included) is nullopt.
std::optional<double> parse_branch_length(std::string_view text);

}  // namespace kestrilune
