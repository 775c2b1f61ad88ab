#include "tree/node.hpp"

#include <algorithm>

namespace kestrilune {

void ChildEdges::set(NodeId child, double length) {
    // Fast path: the parser records children in ascending id order.
    if (entries_.empty() || entries_.back().first < child) {
        entries_.emplace_back(child, length);
        return;
    }
    auto it = std::lower_bound(entries_.begin(), entries_.end(), child,
                               [](const Entry& e, NodeId id) { return e.first < id; });
    if (it != entries_.end() && it->first == child) {
        it->second = length;
    } else {
        entries_.insert(it, Entry{child, length});
    }
}

std::optional<double> ChildEdges::find(NodeId child) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), child,
                               [](const Entry& e, NodeId id) { return e.first < id; });
    if (it != entries_.end() && it->first == child) {
        return it->second;
    }
    return std::nullopt;
}

void Node::set_child_edge(NodeId child, std::optional<double> edge) {
    if (!edge) {
        return;
    }
    if (!child_edges) {
        child_edges.emplace();
        child_edges->reserve(children.size());  // one allocation for all the children
    }
    child_edges->set(child, *edge);
}

}  // namespace kestrilune
