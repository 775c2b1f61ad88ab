// One tree text through each step of the collection, and through the collection itself.
//
// Steps: annotation stripping, parsing, leaf translation (no map, and numbers to names),
// the snapshot in both modes, from scratch and in a given leaf order. Each result keeps
// its invariants, and the collection of the text (as trees 0 and 1, so that both the
// first-tree and the later-tree paths run) agrees with the steps: the same failure
// message, or the same partitions and lengths, bit for bit. Whatever text the one-pass
// reader of plain tree text takes, the full parser reads the same: one top-level group,
// the same parents, leaves and labels, every non-root length bit for bit.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "reference_readers.hpp"
#include "snapshot/snapshots.hpp"
#include "tree/shape.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune::fuzz {
namespace {

void check_tree(const Tree& tree) {
    for (std::size_t id = 0; id < tree.nodes.size(); ++id) {
        const Node& node = tree.nodes[id];
        check(node.id == id, "node id is not its index");
        if (node.parent) {
            check(*node.parent < id, "parent id not below the node's");
        }
        for (const NodeId child : node.children) {
            check(child < tree.nodes.size() && tree.nodes[child].parent == id,
                  "child without its parent link");
        }
    }
}

bool unique_names(const std::vector<std::string>& sorted) {
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i - 1] == sorted[i]) {
            return false;
        }
    }
    return true;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The collection of the text twice against the steps' outcome: `expected_failure` when a
// step failed, else the snapshot of tree 0.
void check_collection(std::string_view text, const TranslateMap& map, bool rooted,
                      const std::optional<std::string>& expected_failure,
                      const std::optional<Snapshot>& expected) {
    const TreeItem items[] = {{text, &map}, {text, &map}};
    Result<Snapshots, std::string> s = Snapshots::from_newick_iter_opts(items, rooted, true);
    if (expected_failure) {
        check(!s && s.error() == *expected_failure, "collection failure differs",
              (s ? std::string("(success)") : s.error()) + " vs " + *expected_failure);
        return;
    }
    if (!s) {
        // Only tree 0's leaves can make the call fail now: duplicate names (two unnamed
        // leaves among them).
        check(!unique_names(expected->leaf_names) &&
                  s.error() == "Trees have duplicate leaf names. All leaf names must be unique.",
              "collection failed where the steps succeed", s.error());
        return;
    }
    check(unique_names(expected->leaf_names), "duplicate leaf names accepted");
    check(s->trees.size() == 2 && s->trees[0].ids == s->trees[1].ids, "the same text differs");
    check(s->trees[1].lengths.size() == s->trees[0].lengths.size(), "lengths differ");
    check(s->splits.size() == expected->size() && s->n_words == expected->n_words,
          "partition count differs");
    const InternSnap& tree = s->trees[0];
    check(tree.ids.size() == expected->size() && tree.lengths.size() == expected->size(),
          "tree 0 partition count");
    for (std::size_t k = 0; k < tree.ids.size(); ++k) {
        // Tree 0's partitions take ids 0, 1, ... in ascending Bitset order.
        check(tree.ids[k] == k, "tree 0 ids not in first-seen order");
        const auto words = expected->partition(k);
        check(std::vector<std::uint64_t>(words.begin(), words.end()) == s->splits[k].words,
              "partition differs");
        check(same_bits(tree.lengths[k], expected->lengths[k]) &&
                  same_bits(s->trees[1].lengths[k], expected->lengths[k]),
              "length differs");
    }
}

void check_plain_reader(std::string_view text, const Result<Tree, NewickParseError>& parsed) {
    TreeShape shape;
    if (!read_plain_newick(text, shape)) {
        return;
    }
    check(parsed.has_value(), "the full parser refuses a text the plain reader took",
          parsed ? "" : std::string(parsed.error().message()));
    check(parsed->count_top_level() == 1, "plain text with more than one top-level group");
    const std::string difference = reference::shape_difference(shape, *parsed);
    check(difference.empty(), "plain reader differs from the full parser:", difference);
}

void run(std::string_view text) {
    const std::string clean = strip_beast_annotations(text);
    check(clean.size() <= text.size(), "stripping made the text longer");
    Result<Tree, NewickParseError> parsed = Tree::from_newick(clean);
    check_plain_reader(text, parsed);
    std::optional<std::string> parse_failure;
    if (!parsed) {
        check(!parsed.error().message().empty(), "empty parse message");
        parse_failure =
            "Failed to parse newick at index 0: " + std::string(parsed.error().message());
    } else {
        check_tree(*parsed);
        if (parsed->count_top_level() > 1) {
            parse_failure =
                "Failed to parse newick at index 0: The text holds more than one top-level "
                "group; a tree has a single root.";
        }
    }

    for (const TranslateMap* map : {&empty_map(), &numbers_map()}) {
        std::optional<Tree> tree;
        if (!parse_failure) {
            tree = *parsed;
            rename_leaf_nodes(*tree, *map);
            check_tree(*tree);
        }
        for (const bool rooted : {false, true}) {
            std::optional<std::string> failure = parse_failure;
            std::optional<Snapshot> snapshot;
            if (tree) {
                Result<Snapshot, TreeError> s = Snapshot::from_tree(*tree, rooted);
                if (!s) {
                    failure = "Failed to snapshot tree at index 0: " + s.error().message();
                } else {
                    check_snapshot(*s);
                    snapshot = std::move(s).value();
                    if (unique_names(snapshot->leaf_names)) {
                        const LeafOrder order(snapshot->leaf_names);
                        auto again = Snapshot::from_tree_in_order(*tree, rooted, order);
                        check(again && again.value(), "in-order snapshot refused its own leaves");
                        check(again.value()->words == snapshot->words, "in-order words differ");
                        check(again.value()->lengths.size() == snapshot->lengths.size(),
                              "in-order lengths differ");
                        for (std::size_t k = 0; k < snapshot->lengths.size(); ++k) {
                            check(same_bits(again.value()->lengths[k], snapshot->lengths[k]),
                                  "in-order length differs");
                        }
                    }
                }
            }
            check_collection(text, *map, rooted, failure, snapshot);
        }
    }
}

}  // namespace
}  // namespace kestrilune::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrilune::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
