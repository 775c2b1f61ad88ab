#include "snapshot/snapshots.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <optional>
#include <utility>

#include "common/errors.hpp"
#include "pool/pool.hpp"
#include "snapshot/snapshot.hpp"

namespace kestrilune {
namespace {

// A text like "(A,B),(C,D);" parses into two parentless groups. Its second group's leaves
// would get bits but no edges, so it is refused as a parse failure.
constexpr std::string_view kSeveralTopLevelGroups =
    "The text holds more than one top-level group; a tree has a single root.";

struct TreeResult {
    Snapshot snapshot;
    std::size_t n_unnamed_leaves = 0;
};

// Clean, parse, check for a single root, translate, snapshot. Returns the failure message.
std::optional<std::string> reduce_tree(const TreeItem& item, std::size_t index, bool rooted,
                                       TreeResult& out) {
    const std::string clean = strip_beast_annotations(item.newick);
    Result<Tree, NewickParseError> parsed = Tree::from_newick(clean);
    if (!parsed) {
        return "Failed to parse newick at index " + std::to_string(index) + ": " +
               std::string(parsed.error().message());
    }
    Tree& tree = parsed.value();
    if (tree.count_top_level() > 1) {
        return "Failed to parse newick at index " + std::to_string(index) + ": " +
               std::string(kSeveralTopLevelGroups);
    }
    rename_leaf_nodes(tree, *item.translate);
    Result<Snapshot, TreeError> snapshot = Snapshot::from_tree(tree, rooted);
    if (!snapshot) {
        return "Failed to snapshot tree at index " + std::to_string(index) + ": " +
               snapshot.error().message();
    }
    out.snapshot = std::move(snapshot).value();
    out.n_unnamed_leaves = 0;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && !node.name) {
            ++out.n_unnamed_leaves;
        }
    }
    return std::nullopt;
}

// Open-addressing table from partition words to id. It stores only (hash, id); the key of
// an id is bips[id], so every distinct partition is stored once.
class InternTable {
public:
    explicit InternTable(std::vector<Bitset>& bips) : bips_(bips) { slots_.assign(1024, Slot{}); }

    std::uint32_t intern(std::span<const std::uint64_t> words) {
        const std::uint64_t hash = hash_words(words);
        std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (slots_[i].id != kEmpty) {
            if (slots_[i].hash == hash &&
                std::equal(words.begin(), words.end(), bips_[slots_[i].id].words.begin())) {
                return slots_[i].id;
            }
            i = (i + 1) & mask;
        }
        require(bips_.size() < kEmpty, "more than 2^32 - 1 distinct partitions in one call");
        const auto id = static_cast<std::uint32_t>(bips_.size());
        bips_.push_back(Bitset{std::vector<std::uint64_t>(words.begin(), words.end())});
        slots_[i] = Slot{hash, id};
        if (2 * bips_.size() > slots_.size()) {
            grow();
        }
        return id;
    }

private:
    static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t id = kEmpty;
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.size() * 2, Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.id == kEmpty) {
                continue;
            }
            std::size_t i = static_cast<std::size_t>(slot.hash) & mask;
            while (slots_[i].id != kEmpty) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }

    std::vector<Bitset>& bips_;
    std::vector<Slot> slots_;
};

// Gives every partition of every snapshot its global id, tree by tree in input order, and
// sorts each tree's (id, length) pairs by id. Ids are distinct within a tree, so the order
// is fully determined.
void intern_all(std::vector<TreeResult>& results, bool keep_lengths, Snapshots& out) {
    InternTable table(out.bips);
    out.trees.resize(results.size());
    std::vector<std::pair<std::uint32_t, double>> pairs;
    for (std::size_t t = 0; t < results.size(); ++t) {
        Snapshot& snapshot = results[t].snapshot;
        require(snapshot.n_words == out.n_words, "snapshots of one call differ in word count");
        pairs.clear();
        pairs.reserve(snapshot.size());
        for (std::size_t k = 0; k < snapshot.size(); ++k) {
            pairs.emplace_back(table.intern(snapshot.partition(k)), snapshot.lengths[k]);
        }
        std::sort(pairs.begin(), pairs.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        InternSnap& tree = out.trees[t];
        tree.ids.reserve(pairs.size());
        for (const auto& [id, length] : pairs) {
            tree.ids.push_back(id);
        }
        if (keep_lengths) {
            tree.lengths.reserve(pairs.size());
            for (const auto& [id, length] : pairs) {
                tree.lengths.push_back(length);
            }
        }
        snapshot = Snapshot{};  // release the tree's partition storage as soon as it is interned
    }
}

bool has_adjacent_duplicates(const std::vector<std::string>& sorted) {
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

}  // namespace

Result<Snapshots, std::string> Snapshots::from_newick_iter_opts(std::span<const TreeItem> items,
                                                                bool rooted, bool keep_lengths) {
    Snapshots out;
    const std::size_t n = items.size();
    if (n == 0) {
        return out;
    }
    std::vector<TreeResult> results(n);

    // Tree 0 alone, first, on the calling thread: its leaves are the reference for all
    // others. Leaf names in a snapshot are sorted with unnamed leaves as "", so two unnamed
    // leaves (or a repeated name) show up as adjacent equal names.
    if (auto failure = reduce_tree(items[0], 0, rooted, results[0])) {
        return unexpected(std::move(*failure));
    }
    const std::vector<std::string>& reference = results[0].snapshot.leaf_names;
    if (has_adjacent_duplicates(reference)) {
        return unexpected(
            std::string("Trees have duplicate leaf names. All leaf names must be unique."));
    }

    // Trees 1..n-1 in parallel. A tree passes only when its leaves match tree 0's one for
    // one (same names, same number of unnamed leaves): comparing name sets alone would let
    // trees whose bits mean different leaves be compared. After a failure, trees with a
    // higher index are not started, and the lowest failing index wins, so the reported
    // message is the same on every run.
    std::atomic<std::size_t> first_failure{n};
    std::mutex failure_mutex;
    std::string failure_message;
    pool::parallel_for(1, n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (first_failure.load(std::memory_order_relaxed) < i) {
                return;
            }
            std::optional<std::string> failure = reduce_tree(items[i], i, rooted, results[i]);
            if (!failure && results[i].snapshot.leaf_names != reference) {
                failure = "Tree " + std::to_string(i) +
                          " has a different leaf set than tree 0. All trees must share the "
                          "same taxa.";
            }
            if (failure) {
                // Only failing tasks take this lock, once each, on their way out.
                std::lock_guard lock(failure_mutex);
                if (i < first_failure.load(std::memory_order_relaxed)) {
                    first_failure.store(i, std::memory_order_relaxed);
                    failure_message = std::move(*failure);
                }
                return;
            }
            results[i].snapshot.leaf_names = {};  // equal to tree 0's; no need to keep a copy
        }
    });
    if (first_failure.load() < n) {
        return unexpected(std::move(failure_message));
    }

    // Tree 0's named leaves: the unnamed ones (at most one here) sort first as "".
    std::vector<std::string>& names0 = results[0].snapshot.leaf_names;
    const std::size_t skip = std::min(results[0].n_unnamed_leaves, names0.size());
    out.leaf_names.assign(std::make_move_iterator(names0.begin() + static_cast<std::ptrdiff_t>(skip)),
                          std::make_move_iterator(names0.end()));
    out.n_words = results[0].snapshot.n_words;
    intern_all(results, keep_lengths, out);
    return out;
}

}  // namespace kestrilune
