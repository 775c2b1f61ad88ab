// The Newick text of trees' topologies, written from the split table alone (no file is
// read again):
//
//     std::vector<std::string> texts =
//         topology_newicks(table, split_parents(table), trees, labels, &counter);
//
// Leaves are named labels[leaf] (leaf i is bit i of a leaf set: the order of leaf_names),
// written as given, so they must already be valid Newick words. No branch lengths. Every
// node lists its children by their smallest leaf, so trees of one topology give one text.
// A rooted tree is written from its root; an unrooted one as the table keeps it, rooted on
// its first leaf's neighbour: "(first leaf,...);".
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "table/split_table.hpp"

namespace kestrilune {

// Preconditions: parents is split_parents(table); every tree index is below n_trees();
// labels has one entry per leaf name. `progress` (may be null) is advanced by the trees
// written. Runs on the worker pool; a pending stop throws pool::Stopped, as its loops do.
std::vector<std::string> topology_newicks(const SplitTable& table,
                                          std::span<const std::int32_t> parents,
                                          std::span<const std::uint32_t> trees,
                                          std::span<const std::string> labels,
                                          std::atomic<std::uint64_t>* progress);

}  // namespace kestrilune
