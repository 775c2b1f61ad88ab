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
    std::vector<std::uint64_t> hashes;  // hash_words of each partition, for interning
    std::vector<std::uint32_t> ids;     // global id of each partition, once interned
    std::size_t n_unnamed_leaves = 0;
};

// Clean, parse, check for a single root and translate. Returns the failure message.
// `out` may hold an earlier tree of the thread: its node array is reused.
std::optional<std::string> parse_tree(const TreeItem& item, std::size_t index, Tree& out) {
    const std::string clean = strip_beast_annotations(item.newick);
    Result<Tree, NewickParseError> parsed = Tree::from_newick(clean, std::move(out));
    if (!parsed) {
        return "Failed to parse newick at index " + std::to_string(index) + ": " +
               std::string(parsed.error().message());
    }
    out = std::move(parsed).value();
    if (out.count_top_level() > 1) {
        return "Failed to parse newick at index " + std::to_string(index) + ": " +
               std::string(kSeveralTopLevelGroups);
    }
    rename_leaf_nodes(out, *item.translate);
    return std::nullopt;
}

std::string snapshot_failure(std::size_t index, const TreeError& error) {
    return "Failed to snapshot tree at index " + std::to_string(index) + ": " + error.message();
}

void hash_partitions(TreeResult& result) {
    result.hashes.resize(result.snapshot.size());
    for (std::size_t k = 0; k < result.snapshot.size(); ++k) {
        result.hashes[k] = hash_words(result.snapshot.partition(k));
    }
}

// Tree 0: parsed and snapshotted on its own; its leaves become the reference.
std::optional<std::string> reduce_first_tree(const TreeItem& item, bool rooted, TreeResult& out) {
    Tree tree;
    if (auto failure = parse_tree(item, 0, tree)) {
        return failure;
    }
    Result<Snapshot, TreeError> snapshot = Snapshot::from_tree(tree, rooted);
    if (!snapshot) {
        return snapshot_failure(0, snapshot.error());
    }
    out.snapshot = std::move(snapshot).value();
    hash_partitions(out);
    out.n_unnamed_leaves = 0;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && !node.name) {
            ++out.n_unnamed_leaves;
        }
    }
    return std::nullopt;
}

// Tree i >= 1: its leaves must be those of tree 0 one for one.
std::optional<std::string> reduce_tree(const TreeItem& item, std::size_t index, bool rooted,
                                       const LeafOrder& leaves, TreeResult& out) {
    // Each worker parses many trees; one node array per thread serves them all. A very
    // large one is not kept beyond the tree that needed it.
    thread_local Tree tree;
    struct Trim {
        ~Trim() {
            if (tree.nodes.capacity() > (std::size_t{1} << 16)) {
                tree = Tree{};
            }
        }
    } trim;
    if (auto failure = parse_tree(item, index, tree)) {
        return failure;
    }
    Result<std::optional<Snapshot>, TreeError> snapshot =
        Snapshot::from_tree_in_order(tree, rooted, leaves);
    if (!snapshot) {
        return snapshot_failure(index, snapshot.error());
    }
    if (!snapshot.value()) {
        return "Tree " + std::to_string(index) +
               " has a different leaf set than tree 0. All trees must share the same taxa.";
    }
    out.snapshot = std::move(*snapshot.value());
    hash_partitions(out);
    return std::nullopt;
}

// Open-addressing table from partition words to id. It stores only (hash, id); the words
// of id k are row k of one flat array, so every distinct partition is stored once and a
// probe compares against contiguous memory.
class InternTable {
public:
    explicit InternTable(std::size_t n_words) : n_words_(n_words) { slots_.assign(1024, Slot{}); }

    std::size_t size() const noexcept { return n_ids_; }

    // `hash` is hash_words(words), computed by the caller (in parallel, per tree).
    std::uint32_t intern(std::span<const std::uint64_t> words, std::uint64_t hash) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (slots_[i].id != kEmpty) {
            if (slots_[i].hash == hash &&
                std::equal(words.begin(), words.end(), words_.begin() + offset(slots_[i].id))) {
                return slots_[i].id;
            }
            i = (i + 1) & mask;
        }
        if (n_ids_ == kEmpty) {
            // Ids are 32-bit: a limit of the input's size, not a broken invariant.
            throw TooLarge("the trees hold more than 4294967295 distinct splits, more than "
                           "one call can number");
        }
        const auto id = static_cast<std::uint32_t>(n_ids_++);
        words_.insert(words_.end(), words.begin(), words.end());
        slots_[i] = Slot{hash, id};
        if (2 * n_ids_ > slots_.size()) {
            grow();
        }
        return id;
    }

    // The partitions by id, as Bitsets.
    std::vector<Bitset> bitsets() const {
        std::vector<Bitset> out;
        out.reserve(n_ids_);
        for (std::size_t id = 0; id < n_ids_; ++id) {
            const auto first = words_.begin() + offset(id);
            out.push_back(Bitset{std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(n_words_))});
        }
        return out;
    }

private:
    static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t id = kEmpty;
    };

    std::ptrdiff_t offset(std::size_t id) const noexcept {
        return static_cast<std::ptrdiff_t>(id * n_words_);
    }

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

    std::size_t n_words_;
    std::size_t n_ids_ = 0;
    std::vector<std::uint64_t> words_;
    std::vector<Slot> slots_;
};

// Gives every partition of one snapshot its global id, in the snapshot's order. Called for
// the trees in input order, so ids follow first appearance.
void assign_ids(InternTable& table, std::size_t n_words, TreeResult& result) {
    const Snapshot& snapshot = result.snapshot;
    require(snapshot.n_words == n_words, "snapshots of one call differ in word count");
    result.ids.resize(snapshot.size());
    for (std::size_t k = 0; k < snapshot.size(); ++k) {
        result.ids[k] = table.intern(snapshot.partition(k), result.hashes[k]);
    }
}

// Stores a tree's ids (and lengths) sorted by id, then releases its snapshot. Ids are
// distinct within a tree, so the sorted order is fully determined. Trees are independent
// here, so this runs in parallel.
void store_tree(TreeResult& result, bool keep_lengths, InternSnap& tree) {
    thread_local std::vector<std::pair<std::uint32_t, double>> pairs;
    pairs.clear();
    for (std::size_t k = 0; k < result.ids.size(); ++k) {
        pairs.emplace_back(result.ids[k], result.snapshot.lengths[k]);
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
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
    result = TreeResult{};  // the partition storage goes as soon as it is stored
}

bool has_adjacent_duplicates(const std::vector<std::string>& sorted) {
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

}  // namespace

// The collection's state between chunks: tree 0's leaves, the interning table and the
// trees reduced so far.
struct SnapshotCollector::State {
    State(std::vector<std::string> sorted_names, std::size_t n_words)
        : leaves(std::move(sorted_names)), table(n_words) {}

    LeafOrder leaves;
    InternTable table;
    Snapshots out;
    std::size_t n_unnamed = 0;
    std::size_t chunk = 0;  // trees reduced at a time
    bool rooted = false;
    bool keep_lengths = false;
};

SnapshotCollector::SnapshotCollector(std::unique_ptr<State> state) : state_(std::move(state)) {}
SnapshotCollector::SnapshotCollector(SnapshotCollector&&) noexcept = default;
SnapshotCollector& SnapshotCollector::operator=(SnapshotCollector&&) noexcept = default;
SnapshotCollector::~SnapshotCollector() = default;

std::size_t SnapshotCollector::size() const noexcept {
    return state_->out.trees.size();
}

Result<SnapshotCollector, std::string> SnapshotCollector::start(const TreeItem& first, bool rooted,
                                                                bool keep_lengths) {
    // Tree 0 alone, first, on the calling thread: its leaves are the reference for all
    // others. Leaf names in a snapshot are sorted with unnamed leaves as "", so two unnamed
    // leaves (or a repeated name) show up as adjacent equal names.
    TreeResult result;
    if (auto failure = reduce_first_tree(first, rooted, result)) {
        return unexpected(std::move(*failure));
    }
    if (has_adjacent_duplicates(result.snapshot.leaf_names)) {
        return unexpected(
            std::string("Trees have duplicate leaf names. All leaf names must be unique."));
    }
    auto state =
        std::make_unique<State>(std::move(result.snapshot.leaf_names), result.snapshot.n_words);
    state->n_unnamed = result.n_unnamed_leaves;
    state->rooted = rooted;
    state->keep_lengths = keep_lengths;
    state->out.n_words = result.snapshot.n_words;
    // Trees are reduced in chunks: each chunk in parallel, then interned in input order on
    // the calling thread and released, so that the per-tree partition sets of at most one
    // chunk (about 16 MB) are alive at a time, not those of the whole set.
    const std::size_t snapshot_bytes = result.snapshot.words.size() * sizeof(std::uint64_t) +
                                       result.snapshot.size() * 2 * sizeof(double);
    state->chunk = std::max<std::size_t>(
        16 * pool::size(), (std::size_t{16} << 20) / std::max<std::size_t>(snapshot_bytes, 1));
    assign_ids(state->table, state->out.n_words, result);
    store_tree(result, keep_lengths, state->out.trees.emplace_back());
    return SnapshotCollector(std::move(state));
}

std::optional<std::string> SnapshotCollector::add(std::span<const TreeItem> items) {
    State& st = *state_;
    Snapshots& out = st.out;
    const std::size_t offset = out.trees.size();  // input index of items[0]
    const std::size_t n = offset + items.size();
    out.trees.reserve(n);
    // A tree passes only when its leaves match tree 0's one for one (same names, same
    // number of unnamed leaves): comparing name sets alone would let trees whose bits mean
    // different leaves be compared. After a failure no tree with a higher index is started,
    // and the lowest failing index wins, so the message does not depend on thread timing.
    std::vector<TreeResult> results;
    for (std::size_t chunk_begin = offset; chunk_begin < n; chunk_begin += st.chunk) {
        const std::size_t chunk_end = std::min(n, chunk_begin + st.chunk);
        results.resize(chunk_end - chunk_begin);
        std::atomic<std::size_t> first_failure{n};
        std::mutex failure_mutex;
        std::string failure_message;
        pool::parallel_for(chunk_begin, chunk_end, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (first_failure.load(std::memory_order_relaxed) < i) {
                    return;
                }
                TreeResult& result = results[i - chunk_begin];
                std::optional<std::string> failure =
                    reduce_tree(items[i - offset], i, st.rooted, st.leaves, result);
                if (failure) {
                    // Only failing tasks take this lock, once each, on their way out.
                    std::lock_guard lock(failure_mutex);
                    if (i < first_failure.load(std::memory_order_relaxed)) {
                        first_failure.store(i, std::memory_order_relaxed);
                        failure_message = std::move(*failure);
                    }
                    return;
                }
            }
        });
        if (first_failure.load() < n) {
            out.trees.resize(offset);
            return failure_message;
        }
        // Ids in input order on this thread (first appearance decides them), then the
        // per-tree sorting in parallel.
        for (TreeResult& result : results) {
            assign_ids(st.table, out.n_words, result);
        }
        out.trees.resize(chunk_end);
        pool::parallel_for(chunk_begin, chunk_end, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                store_tree(results[i - chunk_begin], st.keep_lengths, out.trees[i]);
            }
        });
    }
    return std::nullopt;
}

Snapshots SnapshotCollector::finish() && {
    State& st = *state_;
    st.out.bips = st.table.bitsets();
    // Tree 0's named leaves: the unnamed ones (at most one here) sort first as "".
    const std::vector<std::string>& names = st.leaves.names();
    st.out.leaf_names.assign(
        names.begin() + static_cast<std::ptrdiff_t>(std::min(st.n_unnamed, names.size())),
        names.end());
    Snapshots out = std::move(st.out);
    state_.reset();
    return out;
}

Result<Snapshots, std::string> Snapshots::from_newick_iter_opts(std::span<const TreeItem> items,
                                                                bool rooted, bool keep_lengths) {
    if (items.empty()) {
        return Snapshots{};
    }
    Result<SnapshotCollector, std::string> collector =
        SnapshotCollector::start(items[0], rooted, keep_lengths);
    if (!collector) {
        return unexpected(std::move(collector).error());
    }
    if (auto failure = collector->add(items.subspan(1))) {
        return unexpected(std::move(*failure));
    }
    return std::move(collector).value().finish();
}

std::optional<std::string> validate_iter_args(std::size_t names_len,
                                              std::span<const std::uint64_t> map_indices,
                                              std::size_t translate_maps_len) {
    if (names_len < 2) {
        return "Need at least 2 trees to compute pairwise distances";
    }
    if (names_len != map_indices.size()) {
        return "names length (" + std::to_string(names_len) + ") must equal map_indices length (" +
               std::to_string(map_indices.size()) + ")";
    }
    for (std::size_t i = 0; i < map_indices.size(); ++i) {
        if (map_indices[i] >= translate_maps_len) {
            return "map_indices[" + std::to_string(i) + "] = " + std::to_string(map_indices[i]) +
                   " is out of bounds (only " + std::to_string(translate_maps_len) +
                   " translate maps provided)";
        }
    }
    return std::nullopt;
}

}  // namespace kestrilune
