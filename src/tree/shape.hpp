// TreeShape: what a snapshot reads of a parsed tree (each node's parent and branch length,
// the leaves' labels), read straight from the Newick text of a tree file in one pass, with
// its [&...] annotations skipped in place and no allocation per node.
//
//     TreeShape shape;                                  // reused from tree to tree
//     if (read_plain_newick("((1:0.5[&rate=1],2:1)[&x]:2,3);", shape)) {
//         // nodes 0 (root), 1, 2 (label "1"), 3 ("2"), 4 ("3"); leaf_labels in text order
//     }
//
// It takes only plain text, the form tree files are written in, and says so by returning
// true; anything else (quotes, comments, non-ASCII bytes, a blank inside a name or number,
// text the full parser would join in its lenient way, and every malformed text) returns
// false, and Tree::from_newick on strip_beast_annotations(text) decides, with its messages.
// For plain text the shape is that of Tree::from_newick(strip_beast_annotations(text)):
// the same node ids, parents, branch lengths of every node but the root, and leaf labels.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace kestrilune {

struct TreeShape {
    static constexpr std::uint32_t kNoParent = std::numeric_limits<std::uint32_t>::max();

    std::vector<std::uint32_t> parent;          // node 0 is the root (kNoParent); a parent precedes
                                                // its children
    std::vector<double> length;                 // branch length to the parent; 0.0 when absent
    std::vector<std::uint32_t> leaf_nodes;      // the leaves, ascending (text order)
    std::vector<std::string_view> leaf_labels;  // as written (views into the text), or ""
    std::vector<std::uint32_t> open_groups;     // reading state, kept for its capacity

    std::size_t size() const noexcept { return parent.size(); }
};

// Plain text: after white space between tokens and [&...] annotations, one group "(...)"
// holding further groups and leaves separated by commas; every name and number one run
// of ASCII characters other than the Newick punctuation and '"', '[', ']'; numbers as
// parse_branch_length takes them; then the root's optional name and number and ';'.
// With `lengths` false the same texts are taken, every length checked as a number, but the
// lengths in `shape` are not their values (0.0 where the number has a common form).
bool read_plain_newick(std::string_view text, TreeShape& shape, bool lengths = true);

}  // namespace kestrilune
