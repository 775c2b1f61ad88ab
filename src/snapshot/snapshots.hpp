// Snapshots: the whole tree set of one call, reduced to global partition ids.
//
// Every tree is cleaned of [&...] annotations, parsed, leaf-translated and snapshotted
// once: tree 0 on the calling thread, the others in parallel on the worker pool. Each tree
// must have exactly tree 0's leaves (the same names, one for one). Every distinct partition
// of the set gets a 32-bit id in order of first appearance (tree 0 first, each tree in
// ascending Bitset order), and each tree keeps its ids ascending, with their lengths when
// asked for.
//
//     std::vector<TreeItem> items = {{"(A,(B,C));", &map}, {"(B,(A,C));", &map}};
//     Result<Snapshots, std::string> s = Snapshots::from_newick_iter_opts(items, false, true);
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitset/bitset.hpp"
#include "common/result.hpp"
#include "io/io.hpp"

namespace kestrilune {

struct InternSnap {
    std::vector<std::uint32_t> ids;  // global partition ids, strictly ascending
    std::vector<double> lengths;     // lengths[k] belongs to ids[k]; empty without lengths
};

struct TreeItem {
    std::string_view newick;       // borrowed for the duration of the call
    const TranslateMap* translate;  // never null
};

struct Snapshots {
    std::vector<InternSnap> trees;         // one per input tree, in input order
    std::vector<Bitset> bips;              // bips[id] is the leaf set of partition id
    std::vector<std::string> leaf_names;   // tree 0's named leaves, sorted byte-wise
    std::size_t n_words = 0;               // words per Bitset

    // Returns the snapshots or the message of the first failing tree (the failure with the
    // lowest tree index, so the message does not depend on thread timing). Messages:
    //   "Failed to parse newick at index <i>: <parser text>"
    //   "Trees have duplicate leaf names. All leaf names must be unique."
    //   "Tree <i> has a different leaf set than tree 0. All trees must share the same taxa."
    //   "Failed to snapshot tree at index <i>: <tree text>"
    static Result<Snapshots, std::string> from_newick_iter_opts(std::span<const TreeItem> items,
                                                                bool rooted, bool keep_lengths);

    std::size_t n_bip() const noexcept { return bips.size(); }
};

}  // namespace kestrilune
