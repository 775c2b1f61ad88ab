// Snapshots: the whole tree set of one call, reduced to global partition ids.
//
// Every tree is cleaned of [&...] annotations, parsed, leaf-translated and snapshotted
// once: tree 0 on the calling thread, the others in parallel on the worker pool. A tree
// written in the plain form of tree files is read in one pass straight to its partitions
// (read_plain_newick, TreeSplits::from_shape); any other text takes the full parser,
// which also words every failure, so both give the same results and messages. Each tree
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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitset/bitset.hpp"
#include "common/result.hpp"
#include "common/sizes.hpp"
#include "io/io.hpp"

namespace kestrilune {

struct InternSnap {
    std::vector<std::uint32_t> ids;  // global partition ids, strictly ascending
    std::vector<double> lengths;     // lengths[k] belongs to ids[k]; empty without lengths
};

// A failure of a tree set: what kind, which input tree (when one tree is at fault) and the
// message the bindings show, word for word. Tree indices count from tree 0 of the input.
enum class TreeSetErrorKind : std::uint8_t {
    TooFewTrees,          // fewer than 2 names, or fewer than 2 texts
    Arguments,            // names and map_indices differ in length; a map index out of range
    FewerTreesThanNames,  // the source ended before every name had its tree
    Parse,                // a text is not a tree
    DuplicateLeaves,      // tree 0 names a leaf twice (or has two unnamed leaves)
    DifferentLeafSet,     // a tree's leaves are not tree 0's
    Snapshot,             // a parsed tree cannot be reduced to its splits
    Source,               // the text source failed; its own error stands (no message here)
};

// "too_few_trees", "arguments", "fewer_trees_than_names", "parse", "duplicate_leaves",
// "different_leaf_set", "snapshot", "source": the kind's name as the bindings show it.
std::string_view kind_name(TreeSetErrorKind kind) noexcept;

struct TreeSetError {
    TreeSetErrorKind kind;
    std::optional<std::size_t> tree_index;  // the input tree at fault, if one is
    std::string message;
};

struct TreeItem {
    std::string_view newick;        // borrowed for the duration of the call
    const TranslateMap* translate;  // never null
};

struct Snapshots {
    std::vector<InternSnap> trees;        // one per input tree, in input order
    std::vector<Bitset> splits;             // splits[id] is the leaf set of partition id
    std::vector<std::string> leaf_names;  // tree 0's named leaves, sorted byte-wise
    std::size_t n_words = 0;              // words per Bitset

    // Returns the snapshots or the message of the first failing tree (the failure with the
    // lowest tree index, so the message does not depend on thread timing; the collector
    // below gives it as a TreeSetError). Messages:
    //   "Failed to parse newick at index <i>: <parser text>"
    //   "Trees have duplicate leaf names. All leaf names must be unique."
    //   "Tree <i> has a different leaf set than tree 0. All trees must share the same taxa."
    //   "Failed to snapshot tree at index <i>: <tree text>"
    static Result<Snapshots, std::string> from_newick_iter_opts(std::span<const TreeItem> items,
                                                                bool rooted, bool keep_lengths);

    std::size_t n_splits() const noexcept { return splits.size(); }

    // Exports for NumPy. Columns are the partition ids sorted by ascending Bitset order,
    // which depends only on the set of distinct partitions, not on the order of the trees.

    // column map: entry id is the column of partition id.
    std::vector<std::size_t> sorted_split_id_to_col() const;

    // Writes trees.size() x n_splits() bytes into `out` (row = tree in input order): 1 where
    // the tree holds the column's partition, else 0. Returns the column list (entry c is
    // the id shown in column c).
    std::vector<std::size_t> build_presence_matrix(std::uint8_t* out) const;

    // Writes trees.size() x n_splits() doubles into `out`: the tree's branch length of the
    // column's partition, 0.0 where it lacks it. Returns the column list.
    std::vector<std::size_t> build_branch_length_matrix(double* out) const;

    // Bytes per row of the clade bytes: (leaf_names.size() + 7) / 8.
    std::size_t clade_row_bytes() const noexcept { return (leaf_names.size() + 7) / 8; }

    // Writes one row of clade_row_bytes() per entry of `columns`: leaf i of the partition is
    // bit i % 8 of byte i / 8.
    void build_split_bytes(std::span<const std::size_t> columns, std::uint8_t* out) const;
};

// The same collection, fed a chunk of trees at a time, so that a caller can stream texts
// from a source too large to hold at once and report progress between chunks:
//
//     auto collector = SnapshotCollector::start(items[0], rooted, keep_lengths);  // tree 0
//     collector->add(next_items);    // trees 1, 2, ... in input order, any number of calls
//     Snapshots s = std::move(*collector).finish();
//
// Messages and ids are those of Snapshots::from_newick_iter_opts over all items at once;
// tree indices in errors and messages count from tree 0 across calls.
class SnapshotCollector {
  public:
    // `chunk_bytes`: about how many bytes of partition sets add() reduces at a time.
    static Result<SnapshotCollector, TreeSetError> start(
        const TreeItem& first, bool rooted, bool keep_lengths,
        std::size_t chunk_bytes = sizes::kChunkBytes);
    SnapshotCollector(SnapshotCollector&&) noexcept;
    SnapshotCollector& operator=(SnapshotCollector&&) noexcept;
    ~SnapshotCollector();

    // Reduces and interns the next trees. Returns the error of the first failing tree
    // (lowest index); the collector then holds the trees before that chunk's call only.
    std::optional<TreeSetError> add(std::span<const TreeItem> items);

    // Trees collected so far.
    std::size_t size() const noexcept;

    // The translate maps of the items added so far may be freed: the collector keeps a
    // label table per map it has met, keyed by the map's address, and forgets them here, so
    // that a later map at a recycled address is never taken for an old one.
    void forget_translate_maps() noexcept;

    // keep_splits false leaves the result's splits empty (n_splits() is then 0).
    Snapshots finish(bool keep_splits = true) &&;

    // Tree 0's leaves, the interning table and the trees so far; defined in snapshots.cpp,
    // whose chunk steps work on it.
    struct State;

  private:
    explicit SnapshotCollector(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The checks of the tree-set arguments that run before any tree is read: at least two
// names (unless `need_two` is false: one part of a tree set read in several calls), one map
// index per name, every map index below the number of translate maps. Returns the first
// failed check (kind TooFewTrees or Arguments; a map index out of range names its tree).
std::optional<TreeSetError> validate_iter_args(std::size_t names_len,
                                              std::span<const std::uint64_t> map_indices,
                                              std::size_t translate_maps_len,
                                              bool need_two = true);

}  // namespace kestrilune
