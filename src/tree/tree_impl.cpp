#include "tree/tree_impl.hpp"

#include <utility>

namespace kestrilune {

std::string TreeError::message() const {
    switch (kind) {
        case TreeErrorKind::MissingNode:
            return "There is no node with index: " + std::to_string(node);
        case TreeErrorKind::NoRoot:
            return "No root node found";
    }
    return "No root node found";
}

Result<NodeId, TreeError> Tree::add_child(Node node, NodeId parent, std::optional<double> edge) {
    if (parent >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, parent});
    }
    const NodeId id = nodes.size();
    node.id = id;
    node.parent = parent;
    node.parent_edge = edge;
    nodes.push_back(std::move(node));
    Node& p = nodes[parent];
    p.children.push_back(id);
    p.set_child_edge(id, edge);
    return id;
}

Result<const Node*, TreeError> Tree::get(NodeId id) const {
    if (id >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, id});
    }
    return &nodes[id];
}

Result<Node*, TreeError> Tree::get_mut(NodeId id) {
    if (id >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, id});
    }
    return &nodes[id];
}

std::vector<NodeId> Tree::get_leaves() const {
    std::vector<NodeId> leaves;
    for (const Node& node : nodes) {
        if (node.children.empty()) {
            leaves.push_back(node.id);
        }
    }
    return leaves;
}

Result<NodeId, TreeError> Tree::get_root() const {
    for (const Node& node : nodes) {
        if (!node.parent) {
            return node.id;
        }
    }
    return unexpected(TreeError{TreeErrorKind::NoRoot, 0});
}

std::size_t Tree::count_top_level() const {
    std::size_t count = 0;
    for (const Node& node : nodes) {
        count += node.parent ? 0 : 1;
    }
    return count;
}

// ---------------------------------------------------------------------------------------
// Newick parser: Tree::from_newick, NewickParseError::message, parse_branch_length.
// ---------------------------------------------------------------------------------------

}  // namespace kestrilune
