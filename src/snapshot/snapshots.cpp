#include "snapshot/snapshots.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>

#include "common/errors.hpp"
#include "common/sizes.hpp"
#include "common/thread_scratch.hpp"
#include "pool/pool.hpp"
#include "snapshot/snapshot.hpp"

namespace kestrilune {
namespace {

// A text like "(A,B),(C,D);" parses into two parentless groups. Its second group's leaves
// would get bits but no edges, so it is refused as a parse failure.
constexpr std::string_view kSeveralTopLevelGroups =
    "The text holds more than one top-level group; a tree has a single root.";

// One reduced tree on its way into the collection.
struct TreeResult {
    TreeSplits parts;
    bool sorted = false;                  // parts in ascending Bitset order (from a Snapshot)
    std::vector<std::uint32_t> ids;       // global id of each partition, once interned
    std::vector<std::uint32_t> absent;    // partitions the table lacked when looked up
    std::vector<std::string> leaf_names;  // tree 0: its sorted leaf names
    std::size_t n_unnamed_leaves = 0;     // tree 0
};

TreeSetError parse_failure(std::size_t index, std::string_view parser_text) {
    return {TreeSetErrorKind::Parse, index,
            "Failed to parse newick at index " + std::to_string(index) + ": " +
                std::string(parser_text)};
}

// Clean, parse, check for a single root and translate. Returns the failure.
// `out` may hold an earlier tree of the thread: its node array is reused.
std::optional<TreeSetError> parse_tree(const TreeItem& item, std::size_t index, Tree& out) {
    const std::string clean = strip_beast_annotations(item.newick);
    Result<Tree, NewickParseError> parsed = Tree::from_newick(clean, std::move(out));
    if (!parsed) {
        return parse_failure(index, parsed.error().message());
    }
    out = std::move(parsed).value();
    if (out.count_top_level() > 1) {
        return parse_failure(index, kSeveralTopLevelGroups);
    }
    rename_leaf_nodes(out, *item.translate);
    return std::nullopt;
}

TreeSetError snapshot_failure(std::size_t index, const TreeError& error) {
    return {TreeSetErrorKind::Snapshot, index,
            "Failed to snapshot tree at index " + std::to_string(index) + ": " + error.message()};
}

// A Snapshot's partitions (ascending Bitset order) as a TreeResult.
void take_snapshot(Snapshot&& snapshot, TreeResult& out) {
    out.parts.words = std::move(snapshot.words);
    out.parts.lengths = std::move(snapshot.lengths);
    out.parts.n_words = snapshot.n_words;
    out.parts.hashes.resize(out.parts.size());
    for (std::size_t k = 0; k < out.parts.size(); ++k) {
        out.parts.hashes[k] = hash_words(out.parts.partition(k));
    }
    out.sorted = true;
    out.leaf_names = std::move(snapshot.leaf_names);
}

// Tree 0: parsed and snapshotted on its own; its leaves become the reference.
std::optional<TreeSetError> reduce_first_tree(const TreeItem& item, bool rooted, TreeResult& out) {
    Tree tree;
    if (auto failure = parse_tree(item, 0, tree)) {
        return failure;
    }
    Result<Snapshot, TreeError> snapshot = Snapshot::from_tree(tree, rooted);
    if (!snapshot) {
        return snapshot_failure(0, snapshot.error());
    }
    take_snapshot(std::move(snapshot).value(), out);
    out.n_unnamed_leaves = 0;
    for (const Node& node : tree.nodes) {
        if (node.children.empty() && !node.name) {
            ++out.n_unnamed_leaves;
        }
    }
    return std::nullopt;
}

// Leaf bits by label, for one translate map: the bit, in tree 0's leaf order, of the name
// rename_leaf_nodes gives a leaf so labelled, or kMissing when tree 0 has no such leaf.
// Built once per map and call, so a leaf costs one lookup instead of two string maps.
class LabelBits {
  public:
    static constexpr std::uint32_t kMissing = std::numeric_limits<std::uint32_t>::max();

    LabelBits(const TranslateMap& map, const LeafOrder& order) {
        const std::uint32_t unnamed = order.find("").value_or(kMissing);
        unnamed_ = unnamed;
        if (map.empty()) {
            // Names stay as written.
            unknown_ = kMissing;
            reserve(order.size());
            for (std::size_t bit = 0; bit < order.size(); ++bit) {
                insert(order.names()[bit], static_cast<std::uint32_t>(bit));
            }
        } else {
            // A label the map lacks leaves its leaf unnamed.
            unknown_ = unnamed;
            reserve(map.size());
            for (const auto& [label, name] : map) {
                insert(label, order.find(name).value_or(kMissing));
            }
        }
    }

    std::uint32_t find(std::string_view label) const noexcept {
        if (label.empty()) {
            return unnamed_;  // an unnamed leaf is never renamed
        }
        for (std::size_t i = hash(label) & mask_;; i = (i + 1) & mask_) {
            const Entry& e = entries_[i];
            if (e.bit == kEmpty) {
                return unknown_;
            }
            if (e.label == label) {
                return e.bit;
            }
        }
    }

  private:
    static constexpr std::uint32_t kEmpty = kMissing - 1;
    struct Entry {
        std::string_view label;  // a key of the map or a name of tree 0: they outlive the call
        std::uint32_t bit = kEmpty;
    };

    static std::size_t hash(std::string_view text) noexcept {
        std::uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
        for (const char c : text) {
            h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        }
        return static_cast<std::size_t>(h ^ (h >> 29));
    }

    void reserve(std::size_t n) {
        std::size_t size = 16;
        while (size < 2 * n) {
            size *= 2;
        }
        entries_.assign(size, Entry{});
        mask_ = size - 1;
    }

    void insert(std::string_view label, std::uint32_t bit) {
        std::size_t i = hash(label) & mask_;
        while (entries_[i].bit != kEmpty && entries_[i].label != label) {
            i = (i + 1) & mask_;
        }
        entries_[i] = Entry{label, bit};
    }

    std::vector<Entry> entries_;
    std::size_t mask_ = 0;
    std::uint32_t unknown_ = kMissing;
    std::uint32_t unnamed_ = kMissing;
};

// Tree i >= 1 when its text is plain (read_plain_newick): read, leaves given their bits and
// snapshotted in one pass over the text, without building a Tree. Returns false when the
// text is not plain or its leaves are not tree 0's one for one; reduce_tree then decides,
// and words any failure.
bool reduce_plain_tree(const TreeItem& item, bool rooted, bool keep_lengths,
                       const LabelBits& labels, std::size_t n_leaves, TreeResult& out) {
    TreeShape& shape = thread_scratch<TreeShape>();
    auto& leaf_bits = thread_scratch<struct PlainLeafBits, std::vector<std::uint32_t>>();
    auto& seen = thread_scratch<struct PlainSeen, std::vector<std::uint8_t>>();
    struct Trim {
        TreeShape& shape;
        ~Trim() {
            if (shape.parent.capacity() > sizes::kMaxKeptNodes) {
                shape = TreeShape{};
            }
        }
    } trim{shape};
    if (!read_plain_newick(item.newick, shape, keep_lengths) ||
        shape.leaf_nodes.size() != n_leaves) {
        return false;
    }
    leaf_bits.resize(n_leaves);
    seen.assign(n_leaves, 0);
    for (std::size_t k = 0; k < n_leaves; ++k) {
        const std::uint32_t bit = labels.find(shape.leaf_labels[k]);
        if (bit == LabelBits::kMissing || seen[bit] != 0) {
            return false;
        }
        seen[bit] = 1;
        leaf_bits[k] = bit;
    }
    out.parts.assign_shape(shape, rooted, leaf_bits);
    out.sorted = false;
    return true;
}

// Tree i >= 1: its leaves must be those of tree 0 one for one.
std::optional<TreeSetError> reduce_tree(const TreeItem& item, std::size_t index, bool rooted,
                                        const LeafOrder& leaves, TreeResult& out) {
    // Each worker parses many trees; one node array per thread serves them all. A very
    // large one is not kept beyond the tree that needed it.
    Tree& tree = thread_scratch<Tree>();
    struct Trim {
        Tree& tree;
        ~Trim() {
            if (tree.nodes.capacity() > sizes::kMaxKeptNodes) {
                tree = Tree{};
            }
        }
    } trim{tree};
    if (auto failure = parse_tree(item, index, tree)) {
        return failure;
    }
    Result<std::optional<Snapshot>, TreeError> snapshot =
        Snapshot::from_tree_in_order(tree, rooted, leaves);
    if (!snapshot) {
        return snapshot_failure(index, snapshot.error());
    }
    if (!snapshot.value()) {
        return TreeSetError{
            TreeSetErrorKind::DifferentLeafSet, index,
            "Tree " + std::to_string(index) +
                " has a different leaf set than tree 0. All trees must share the same taxa."};
    }
    take_snapshot(std::move(*snapshot.value()), out);
    return std::nullopt;
}

// The words of every interned partition, one row of n_words per id. Grown with realloc, not
// by a vector's copy: a block of hundreds of megabytes (millions of splits of random trees)
// is then moved by remapping its pages, where the copy took 80 ms and faulted in every page
// again, a stretch of the calling thread that nothing could interrupt.
class WordRows {
  public:
    WordRows() = default;
    WordRows(WordRows&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    WordRows& operator=(WordRows&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~WordRows() { std::free(data_); }

    const std::uint64_t* data() const noexcept { return data_; }

    void append(std::span<const std::uint64_t> words) {
        if (words.size() > capacity_ - size_) {
            const std::size_t wanted =
                std::max(2 * capacity_, size_ + std::max<std::size_t>(words.size(), 1024));
            if (wanted > std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) {
                throw std::bad_alloc();
            }
            void* grown = std::realloc(data_, wanted * sizeof(std::uint64_t));
            if (grown == nullptr) {
                throw std::bad_alloc();
            }
            data_ = static_cast<std::uint64_t*>(grown);
            capacity_ = wanted;
        }
        if (!words.empty()) {
            std::memcpy(data_ + size_, words.data(), words.size() * sizeof(std::uint64_t));
        }
        size_ += words.size();
    }

  private:
    std::uint64_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Open-addressing table from partition words to id. It stores only (hash, id); the words
// of id k are row k of one flat array, so every distinct partition is stored once and a
// probe compares against contiguous memory.
class InternTable {
  public:
    explicit InternTable(std::size_t n_words) : n_words_(n_words) { slots_.assign(1024, Slot{}); }

    std::size_t size() const noexcept { return n_ids_; }

    // Bits that hold every id given so far.
    unsigned id_bits() const noexcept {
        return static_cast<unsigned>(std::bit_width(std::max<std::size_t>(n_ids_, 1) - 1));
    }

    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

    // The id of `words`, or kAbsent. Several threads may look up at once while nobody
    // interns.
    std::uint32_t find(std::span<const std::uint64_t> words, std::uint64_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(hash) & mask; slots_[i].id != kEmpty;
             i = (i + 1) & mask) {
            if (slots_[i].hash == hash &&
                equal_words(words.data(), words_.data() + offset(slots_[i].id), n_words_)) {
                return slots_[i].id;
            }
        }
        return kAbsent;
    }

    // Starts loading what find(..., hash) reads first: its slot, and the words of the id
    // there. A tree's lookups land all over the table; issued a few lookups ahead, the loads
    // overlap instead of each waiting in turn. `slot_only` when the slot may not be loaded
    // yet (reading its id would wait for it).
    void prefetch(std::uint64_t hash, bool slot_only) const noexcept {
        const Slot& slot = slots_[static_cast<std::size_t>(hash) & (slots_.size() - 1)];
        if (slot_only) {
            __builtin_prefetch(&slot);
            return;
        }
        if (slot.id != kEmpty) {
            const std::uint64_t* const words = words_.data() + offset(slot.id);
            __builtin_prefetch(words);
            __builtin_prefetch(words + (n_words_ > 0 ? n_words_ - 1 : 0));
        }
    }

    // `hash` is hash_words(words), computed by the caller (in parallel, per tree).
    std::uint32_t intern(std::span<const std::uint64_t> words, std::uint64_t hash) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        while (slots_[i].id != kEmpty) {
            if (slots_[i].hash == hash &&
                equal_words(words.data(), words_.data() + offset(slots_[i].id), n_words_)) {
                return slots_[i].id;
            }
            i = (i + 1) & mask;
        }
        if (n_ids_ == kEmpty) {
            // Ids are 32-bit: a limit of the input's size, not a broken invariant.
            throw TooLarge(
                "the trees hold more than 4294967295 distinct splits, more than "
                "one call can number");
        }
        const auto id = static_cast<std::uint32_t>(n_ids_++);
        words_.append(words);
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
            const std::uint64_t* const first = words_.data() + offset(id);
            out.push_back(Bitset{std::vector<std::uint64_t>(first, first + n_words_)});
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
    WordRows words_;
    std::vector<Slot> slots_;
};

// Interning, part one: the ids of the partitions the table holds already (most of them
// in a posterior sample, once past the first chunk), looked up in parallel while the table
// does not change.
void look_up_ids(const InternTable& table, std::size_t n_words, TreeResult& result) {
    const TreeSplits& parts = result.parts;
    require(parts.n_words == n_words, "snapshots of one call differ in word count");
    result.ids.resize(parts.size());
    result.absent.clear();
    constexpr std::size_t kAhead = 8;  // lookups between a prefetch and its use
    const std::size_t n = parts.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k + 2 * kAhead < n) {
            table.prefetch(parts.hashes[k + 2 * kAhead], true);
        }
        if (k + kAhead < n) {
            table.prefetch(parts.hashes[k + kAhead], false);
        }
        result.ids[k] = table.find(parts.partition(k), parts.hashes[k]);
        if (result.ids[k] == InternTable::kAbsent) {
            result.absent.push_back(static_cast<std::uint32_t>(k));
        }
    }
}

// Part two, on the calling thread for the trees in input order: of the partitions still
// missing (an earlier tree of the chunk may have added some), the new ones get the next ids
// in ascending Bitset order, so ids follow first appearance as interning each tree's
// sorted partitions one by one would give them.
void assign_new_ids(InternTable& table, TreeResult& result) {
    const TreeSplits& parts = result.parts;
    std::size_t n_new = 0;
    constexpr std::size_t kAhead = 8;
    const std::size_t n_absent = result.absent.size();
    for (std::size_t j = 0; j < n_absent; ++j) {
        // As in look_up_ids; here the tree's own words, reduced on another thread, are
        // out of cache too.
        if (j + 2 * kAhead < n_absent) {
            table.prefetch(parts.hashes[result.absent[j + 2 * kAhead]], true);
        }
        if (j + kAhead < n_absent) {
            const std::uint32_t ahead = result.absent[j + kAhead];
            table.prefetch(parts.hashes[ahead], false);
            const std::span<const std::uint64_t> words = parts.partition(ahead);
            __builtin_prefetch(words.data());
            __builtin_prefetch(words.data() + (words.empty() ? 0 : words.size() - 1));
        }
        const std::uint32_t k = result.absent[j];
        result.ids[k] = table.find(parts.partition(k), parts.hashes[k]);
        if (result.ids[k] == InternTable::kAbsent) {
            result.absent[n_new++] = k;
        }
    }
    result.absent.resize(n_new);
    if (!result.sorted) {
        std::sort(result.absent.begin(), result.absent.end(),
                  [&parts](std::uint32_t a, std::uint32_t b) {
                      return compare_words(parts.partition(a), parts.partition(b)) < 0;
                  });
    }
    for (const std::uint32_t k : result.absent) {
        result.ids[k] = table.intern(parts.partition(k), parts.hashes[k]);
    }
}

// Sorts `keys` (id << 32 | position) by id, ids distinct and below 2^id_bits. A tree's ids
// are a few hundred to a few thousand values of a small range, which least-significant-digit
// radix passes order in a few sweeps: a comparison sort of them cost as much as looking
// them up. `scratch` is the other buffer of the passes.
void sort_keys_by_id(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch,
                     unsigned id_bits) {
    constexpr unsigned kMaxDigitBits = 11;
    constexpr std::size_t kFewKeys = 64;
    if (keys.size() <= kFewKeys || id_bits == 0) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    const unsigned n_passes = (id_bits + kMaxDigitBits - 1) / kMaxDigitBits;
    const unsigned digit_bits = (id_bits + n_passes - 1) / n_passes;
    const std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
    std::array<std::uint32_t, std::size_t{1} << kMaxDigitBits> starts{};
    scratch.resize(keys.size());
    for (unsigned pass = 0; pass < n_passes; ++pass) {
        const unsigned shift = 32 + pass * digit_bits;
        const std::size_t n_digits = std::size_t{1} << digit_bits;
        std::fill(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(n_digits), 0u);
        for (const std::uint64_t key : keys) {
            ++starts[(key >> shift) & digit_mask];
        }
        std::uint32_t sum = 0;
        for (std::size_t d = 0; d < n_digits; ++d) {
            const std::uint32_t count = starts[d];
            starts[d] = sum;
            sum += count;
        }
        for (const std::uint64_t key : keys) {
            scratch[starts[(key >> shift) & digit_mask]++] = key;
        }
        keys.swap(scratch);
    }
}

// Stores a tree's ids (and lengths) sorted by id; its partition storage stays with `result`
// for the next tree of the same slot (a chunk's trees are alive together anyway). Ids are
// distinct within a tree, so the sorted order is fully determined. Trees are independent
// here, so this runs in parallel; every id is below 2^id_bits.
//
// Where the id range is small beside the tree (at most 64 ids per id the tree holds, as in
// a posterior sample, whose trees hold most of its few distinct splits), the ids are marked
// in a bitmap of the range instead and read back in order, each with its position.
void store_tree(TreeResult& result, bool keep_lengths, unsigned id_bits, InternSnap& tree) {
    constexpr unsigned kMaxBitmapIdBits = 20;  // a bitmap of 128 KB, positions of 4 MB
    const std::size_t n = result.ids.size();
    if (id_bits <= kMaxBitmapIdBits && (std::size_t{1} << id_bits) <= 64 * n) {
        // bit id: the tree holds id; position of id in result.ids
        auto& marks = thread_scratch<struct IdMarks, std::vector<std::uint64_t>>();
        auto& position = thread_scratch<struct IdPositions, std::vector<std::uint32_t>>();
        marks.assign(((std::size_t{1} << id_bits) + 63) / 64, 0);
        position.resize(std::size_t{1} << id_bits);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t id = result.ids[k];
            marks[id / 64] |= std::uint64_t{1} << (id % 64);
            position[id] = static_cast<std::uint32_t>(k);
        }
        tree.ids.resize(n);
        if (keep_lengths) {
            tree.lengths.resize(n);
        }
        std::size_t j = 0;
        for (std::size_t w = 0; w < marks.size(); ++w) {
            for (std::uint64_t bits = marks[w]; bits != 0; bits &= bits - 1) {
                const auto id = static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
                tree.ids[j] = id;
                if (keep_lengths) {
                    tree.lengths[j] = result.parts.lengths[position[id]];
                }
                ++j;
            }
        }
        result.leaf_names = {};
        return;
    }
    auto& keys = thread_scratch<struct IdKeys, std::vector<std::uint64_t>>();  // id << 32 | pos
    auto& scratch = thread_scratch<struct IdKeysScratch, std::vector<std::uint64_t>>();
    keys.resize(result.ids.size());
    for (std::size_t k = 0; k < result.ids.size(); ++k) {
        keys[k] = (std::uint64_t{result.ids[k]} << 32) | k;
    }
    sort_keys_by_id(keys, scratch, id_bits);
    tree.ids.resize(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        tree.ids[k] = static_cast<std::uint32_t>(keys[k] >> 32);
    }
    if (keep_lengths) {
        tree.lengths.resize(keys.size());
        for (std::size_t k = 0; k < keys.size(); ++k) {
            tree.lengths[k] = result.parts.lengths[static_cast<std::uint32_t>(keys[k])];
        }
    }
    result.leaf_names = {};
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
    std::unordered_map<const TranslateMap*, LabelBits> labels;  // per map met so far
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

Result<SnapshotCollector, TreeSetError> SnapshotCollector::start(const TreeItem& first,
                                                                 bool rooted, bool keep_lengths,
                                                                 std::size_t chunk_bytes) {
    // Tree 0 alone, first, on the calling thread: its leaves are the reference for all
    // others. Leaf names in a snapshot are sorted with unnamed leaves as "", so two unnamed
    // leaves (or a repeated name) show up as adjacent equal names.
    TreeResult result;
    if (auto failure = reduce_first_tree(first, rooted, result)) {
        return unexpected(std::move(*failure));
    }
    if (has_adjacent_duplicates(result.leaf_names)) {
        return unexpected(
            TreeSetError{TreeSetErrorKind::DuplicateLeaves, 0,
                         "Trees have duplicate leaf names. All leaf names must be unique."});
    }
    auto state = std::make_unique<State>(std::move(result.leaf_names), result.parts.n_words);
    state->n_unnamed = result.n_unnamed_leaves;
    state->rooted = rooted;
    state->keep_lengths = keep_lengths;
    state->out.n_words = result.parts.n_words;
    // Trees are reduced in chunks of about chunk_bytes, tree 0's partitions standing for
    // every tree's.
    const std::size_t snapshot_bytes = result.parts.words.size() * sizeof(std::uint64_t) +
                                       result.parts.size() * 2 * sizeof(double);
    state->chunk =
        std::max<std::size_t>(sizes::kMinChunkTreesPerWorker * pool::size(),
                              chunk_bytes / std::max<std::size_t>(snapshot_bytes, 1));
    look_up_ids(state->table, state->out.n_words, result);
    assign_new_ids(state->table, result);
    store_tree(result, keep_lengths, state->table.id_bits(), state->out.trees.emplace_back());
    return SnapshotCollector(std::move(state));
}

namespace {

// Reduces the trees [begin, end) of the input in parallel (items[k] is input tree
// offset + k) and looks up the ids the table knows. A tree passes only when its leaves
// match tree 0's one for one (same names, same number of unnamed leaves): comparing name
// sets alone would let trees whose bits mean different leaves be compared. After a failure
// no tree with a higher index is started, and the lowest failing index wins, so the
// message does not depend on thread timing.
std::optional<TreeSetError> reduce_chunk(const SnapshotCollector::State& st,
                                         std::span<const TreeItem> items, std::size_t offset,
                                         std::size_t begin, std::size_t end,
                                         std::vector<TreeResult>& results) {
    // Never shrunk: a short chunk (the first is) leaves the later entries for the next.
    if (results.size() < end - begin) {
        results.resize(end - begin);
    }
    std::atomic<std::size_t> first_failure{end};
    std::mutex failure_mutex;
    std::optional<TreeSetError> failure_found;
    pool::parallel_for(begin, end, [&](std::size_t block_begin, std::size_t block_end) {
        for (std::size_t i = block_begin; i < block_end; ++i) {
            if (first_failure.load(std::memory_order_relaxed) < i) {
                return;
            }
            TreeResult& result = results[i - begin];
            const TreeItem& item = items[i - offset];
            std::optional<TreeSetError> failure;
            if (!reduce_plain_tree(item, st.rooted, st.keep_lengths, st.labels.at(item.translate),
                                   st.leaves.size(), result)) {
                failure = reduce_tree(item, i, st.rooted, st.leaves, result);
            }
            if (!failure) {
                look_up_ids(st.table, st.out.n_words, result);
                continue;
            }
            // Only failing tasks take this lock, once each, on their way out.
            std::lock_guard lock(failure_mutex);
            if (i < first_failure.load(std::memory_order_relaxed)) {
                first_failure.store(i, std::memory_order_relaxed);
                failure_found = std::move(failure);
            }
            return;
        }
    });
    if (first_failure.load() < end) {
        return failure_found;
    }
    return std::nullopt;
}

// Gives the chunk's new partitions their ids, in input order on the calling thread (first
// appearance decides them), then stores every tree's ids sorted, in parallel.
void intern_chunk(SnapshotCollector::State& st, std::vector<TreeResult>& results, std::size_t begin,
                  std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        // Thousands of new splits a tree (random trees of many taxa) make this loop the
        // longest stretch of a call without a parallel loop's polls.
        pool::check_stop();
        assign_new_ids(st.table, results[i - begin]);
    }
    st.out.trees.resize(end);
    const unsigned id_bits = st.table.id_bits();
    pool::parallel_for(begin, end, [&](std::size_t block_begin, std::size_t block_end) {
        for (std::size_t i = block_begin; i < block_end; ++i) {
            store_tree(results[i - begin], st.keep_lengths, id_bits, st.out.trees[i]);
        }
    });
}

}  // namespace

std::optional<TreeSetError> SnapshotCollector::add(std::span<const TreeItem> items) {
    State& st = *state_;
    const std::size_t offset = st.out.trees.size();  // input index of items[0]
    const std::size_t n = offset + items.size();
    st.out.trees.reserve(n);
    for (const TreeItem& item : items) {
        if (!st.labels.contains(item.translate)) {
            st.labels.try_emplace(item.translate, *item.translate, st.leaves);
        }
    }
    // A chunk's results (five vectors a tree) stay with the calling thread for its next
    // call unless they are large: in calls on a few thousand small trees, making and
    // freeing them took a twentieth of the call.
    std::vector<TreeResult>& results = thread_scratch<struct ChunkResults, std::vector<TreeResult>>();
    struct Release {
        std::vector<TreeResult>& results;
        ~Release() {
            std::size_t bytes = results.capacity() * sizeof(TreeResult);
            for (const TreeResult& r : results) {
                bytes += (r.parts.words.capacity() + r.parts.hashes.capacity()) * 8 +
                         r.parts.lengths.capacity() * sizeof(double) +
                         (r.ids.capacity() + r.absent.capacity()) * 4;
            }
            if (bytes > sizes::kMaxKeptResultBytes) {
                results = {};
            }
        }
    } release{results};
    for (std::size_t begin = offset, end = offset; begin < n; begin = end) {
        const std::size_t chunk =
            begin == 1 ? std::min(st.chunk, sizes::kFirstChunkTreesPerWorker * pool::size())
                       : st.chunk;
        end = std::min(n, begin + chunk);
        if (auto failure = reduce_chunk(st, items, offset, begin, end, results)) {
            st.out.trees.resize(offset);
            return failure;
        }
        intern_chunk(st, results, begin, end);
    }
    return std::nullopt;
}

void SnapshotCollector::forget_translate_maps() noexcept {
    state_->labels.clear();
}

Snapshots SnapshotCollector::finish(bool keep_splits) && {
    State& st = *state_;
    if (keep_splits) {
        st.out.splits = st.table.bitsets();
    }
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
    Result<SnapshotCollector, TreeSetError> collector =
        SnapshotCollector::start(items[0], rooted, keep_lengths);
    if (!collector) {
        return unexpected(std::move(collector).error().message);
    }
    if (auto failure = collector->add(items.subspan(1))) {
        return unexpected(std::move(failure->message));
    }
    return std::move(collector).value().finish();
}

std::string_view kind_name(TreeSetErrorKind kind) noexcept {
    switch (kind) {
        case TreeSetErrorKind::TooFewTrees:
            return "too_few_trees";
        case TreeSetErrorKind::Arguments:
            return "arguments";
        case TreeSetErrorKind::FewerTreesThanNames:
            return "fewer_trees_than_names";
        case TreeSetErrorKind::Parse:
            return "parse";
        case TreeSetErrorKind::DuplicateLeaves:
            return "duplicate_leaves";
        case TreeSetErrorKind::DifferentLeafSet:
            return "different_leaf_set";
        case TreeSetErrorKind::Snapshot:
            return "snapshot";
        case TreeSetErrorKind::Source:
            return "source";
    }
    return "unknown";
}

std::optional<TreeSetError> validate_iter_args(std::size_t names_len,
                                               std::span<const std::uint64_t> map_indices,
                                               std::size_t translate_maps_len,
                                               bool need_two) {
    if (need_two && names_len < 2) {
        return TreeSetError{TreeSetErrorKind::TooFewTrees, std::nullopt,
                            "Need at least 2 trees to compute pairwise distances"};
    }
    if (names_len != map_indices.size()) {
        return TreeSetError{TreeSetErrorKind::Arguments, std::nullopt,
                            "names length (" + std::to_string(names_len) +
                                ") must equal map_indices length (" +
                                std::to_string(map_indices.size()) + ")"};
    }
    for (std::size_t i = 0; i < map_indices.size(); ++i) {
        if (map_indices[i] >= translate_maps_len) {
            return TreeSetError{TreeSetErrorKind::Arguments, i,
                                "map_indices[" + std::to_string(i) + "] = " +
                                    std::to_string(map_indices[i]) + " is out of bounds (only " +
                                    std::to_string(translate_maps_len) +
                                    " translate maps provided)"};
        }
    }
    return std::nullopt;
}

}  // namespace kestrilune
