// The tree readers the slow, obvious way, as oracles for the fast paths (the C++ tests and
// the fuzzers of fuzz/ compare against them).
//
// reference_collection takes every tree through the full parser and the Tree snapshot, one
// after the other, ids from an ordered map; the collection reads plain texts in one pass and
// interns in parallel, and both must give the same ids, lengths (to the bit), partitions and
// messages. shape_difference compares what read_plain_newick read with the parsed tree.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "snapshot/snapshot.hpp"
#include "snapshot/snapshots.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune::reference {

// Empty when the shape is the parsed tree's, else what differs.
inline std::string shape_difference(const TreeShape& shape, const Tree& tree) {
    if (shape.size() != tree.nodes.size()) {
        return "node count";
    }
    std::vector<std::uint32_t> leaves;
    std::vector<std::string_view> labels;
    for (std::size_t id = 0; id < tree.nodes.size(); ++id) {
        const Node& node = tree.nodes[id];
        if (id == 0 ? node.parent.has_value() || shape.parent[0] != TreeShape::kNoParent
                    : !node.parent || *node.parent != shape.parent[id]) {
            return "parent of node " + std::to_string(id);
        }
        if (id > 0 && std::bit_cast<std::uint64_t>(node.parent_edge.value_or(0.0)) !=
                          std::bit_cast<std::uint64_t>(shape.length[id])) {
            return "length of node " + std::to_string(id);
        }
        if (node.children.empty()) {
            leaves.push_back(static_cast<std::uint32_t>(id));
            labels.push_back(node.name ? std::string_view(*node.name) : std::string_view());
        }
    }
    if (leaves != shape.leaf_nodes) {
        return "leaves";
    }
    if (labels != shape.leaf_labels) {
        return "labels";
    }
    return "";
}

inline Result<Snapshots, std::string> reference_collection(const std::vector<TreeItem>& items,
                                                           bool rooted, bool keep_lengths) {
    Snapshots out;
    std::map<std::vector<std::uint64_t>, std::uint32_t> ids;
    std::optional<LeafOrder> order;
    std::size_t n_unnamed = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string at = std::to_string(i);
        auto parsed = Tree::from_newick(strip_beast_annotations(items[i].newick));
        if (!parsed) {
            return unexpected("Failed to parse newick at index " + at + ": " +
                              std::string(parsed.error().message()));
        }
        Tree tree = std::move(parsed).value();
        if (tree.count_top_level() > 1) {
            return unexpected("Failed to parse newick at index " + at + ": " +
                              "The text holds more than one top-level group; a tree has a "
                              "single root.");
        }
        rename_leaf_nodes(tree, *items[i].translate);
        Snapshot snapshot;
        if (i == 0) {
            snapshot = Snapshot::from_tree(tree, rooted).value();
            const auto& names = snapshot.leaf_names;
            if (std::adjacent_find(names.begin(), names.end()) != names.end()) {
                return unexpected(
                    std::string("Trees have duplicate leaf names. All leaf names must be unique."));
            }
            for (const Node& node : tree.nodes) {
                n_unnamed += node.children.empty() && !node.name ? 1 : 0;
            }
            order.emplace(names);
            out.n_words = snapshot.n_words;
        } else {
            auto in_order = Snapshot::from_tree_in_order(tree, rooted, *order).value();
            if (!in_order) {
                return unexpected("Tree " + at +
                                  " has a different leaf set than tree 0. All trees must share "
                                  "the same taxa.");
            }
            snapshot = std::move(*in_order);
        }
        std::vector<std::pair<std::uint32_t, double>> tree_ids;
        for (std::size_t k = 0; k < snapshot.size(); ++k) {
            const auto words = snapshot.partition(k);
            std::vector<std::uint64_t> key(words.begin(), words.end());
            const auto [it, fresh] = ids.emplace(key, static_cast<std::uint32_t>(ids.size()));
            if (fresh) {
                out.splits.push_back(Bitset{key});
            }
            tree_ids.emplace_back(it->second, snapshot.lengths[k]);
        }
        std::sort(tree_ids.begin(), tree_ids.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        InternSnap& stored = out.trees.emplace_back();
        for (const auto& [id, length] : tree_ids) {
            stored.ids.push_back(id);
            if (keep_lengths) {
                stored.lengths.push_back(length);
            }
        }
    }
    if (order) {
        out.leaf_names.assign(order->names().begin() + static_cast<std::ptrdiff_t>(n_unnamed),
                              order->names().end());
    }
    return out;
}

// Empty when equal, else the first difference.
inline std::string collection_difference(const Result<Snapshots, std::string>& got,
                                         const Result<Snapshots, std::string>& want) {
    if (!want || !got) {
        if (!want && !got && got.error() == want.error()) {
            return "";
        }
        return "result: " + (got ? std::string("snapshots") : got.error()) + " | expected " +
               (want ? std::string("snapshots") : want.error());
    }
    if (got->trees.size() != want->trees.size()) {
        return "tree count";
    }
    for (std::size_t t = 0; t < got->trees.size(); ++t) {
        if (got->trees[t].ids != want->trees[t].ids) {
            return "ids of tree " + std::to_string(t);
        }
        const auto& a = got->trees[t].lengths;
        const auto& b = want->trees[t].lengths;
        if (a.size() != b.size() ||
            !std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
                return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
            })) {
            return "lengths of tree " + std::to_string(t);
        }
    }
    if (got->splits != want->splits) {
        return "partitions";
    }
    if (got->leaf_names != want->leaf_names || got->n_words != want->n_words) {
        return "leaf names";
    }
    return "";
}

}  // namespace kestrilune::reference
