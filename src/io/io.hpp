// Preprocessing around the Newick parser: removal of `[&...]` annotations that tree files
// attach to nodes and branches, and translation of leaf labels through a translate map
// (the number written in the tree -> the taxon name).
//
//     std::string clean = strip_beast_annotations("(1[&rate=0.7]:0.5,2);");  // "(1:0.5,2);"
//     rename_leaf_nodes(tree, {{"1", "Human"}, {"2", "Chimp"}});
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "tree/tree_impl.hpp"

namespace kestrilune {

using TranslateMap = std::unordered_map<std::string, std::string>;

// Removes every span that starts with "[&" and runs to the first "]" after it (that "]"
// included; an unclosed span runs to the end). Plain "[...]" comments stay. One pass, one
// allocation of the input's size.
std::string strip_beast_annotations(std::string_view text);

// Replaces each named leaf's name by map[name]; a name missing from a non-empty map is
// removed (the leaf becomes unnamed). An empty map changes nothing; internal nodes are
// never changed.
void rename_leaf_nodes(Tree& tree, const TranslateMap& map);

}  // namespace kestrilune
