// Node: one vertex of a parsed tree. Nodes live in Tree::nodes (tree/tree_impl.hpp) and refer
// to each other by id, which is the node's index in that array.
//
//     Node leaf;
//     leaf.name = "A";
//     NodeId id = tree.add_child(std::move(leaf), root, 0.5).value();
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrilune {

using NodeId = std::uint64_t;

// A small map from child id to the length of the branch to that child, kept as a vector
// sorted by child id. The parser records children in ascending id order, so every insert
// it makes is an append.
class ChildEdges {
public:
    using Entry = std::pair<NodeId, double>;

    // Stores `length` under `child`, replacing an earlier value for the same child.
    void set(NodeId child, double length);
    std::optional<double> find(NodeId child) const;
    void reserve(std::size_t n) { entries_.reserve(n); }
    std::size_t size() const noexcept { return entries_.size(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }

private:
    std::vector<Entry> entries_;  // ascending child id, no id twice
};

struct Node {
    NodeId id = 0;                           // index in Tree::nodes
    std::optional<std::string> name;         // UTF-8
    std::optional<NodeId> parent;            // absent for a top-level group (the root)
    std::vector<NodeId> children;            // in the order they appear in the text
    std::optional<double> parent_edge;       // length of the branch to the parent
    std::optional<ChildEdges> child_edges;   // filled by the parser's edge pass
    std::optional<std::string> comment;      // text of bracketed comments, concatenated

    // Records the branch length to `child`; does nothing when `edge` is absent.
    void set_child_edge(NodeId child, std::optional<double> edge);
};

}  // namespace kestrilune
