#include "table/split_table.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include "bitset/bitset.hpp"
#include "common/errors.hpp"
#include "common/memory.hpp"
#include "pool/pool.hpp"

namespace kestrilune {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the byte form is written and read in native order, which must be little-endian");

// The byte form: an 8-byte header whose last byte is the version, then each array as a u64
// element count followed by its raw little-endian elements, strings as a u64 byte count and
// their UTF-8 bytes. Version 2 ends with a u64 checksum of every byte before it; version 1
// (the same body, no checksum) is still read, and checked as thoroughly otherwise.
constexpr char kMagic[8] = {'K', 'S', 'T', 'A', 'B', 'L', 'E', '2'};
constexpr std::size_t kVersionAt = 7;
constexpr std::uint64_t kFlagRooted = 1;
constexpr std::uint64_t kFlagLengths = 2;

// A 64-bit checksum of the byte form: the bytes taken 8 at a time (the tail zero-padded),
// each folded in by the round of XXH64, h = rotl(h + word * P2, 31) * P1, then the
// length and XXH64's final avalanche. A round is a bijection in the word for a given h,
// so a change confined to one 8-byte word (any single-bit flip, any edit of one field)
// always changes the result; the rotation spreads every bit over the whole state, so
// changes to several words cancel with odds near 2^-64. It detects damage, not
// tampering: anyone can recompute it.
std::uint64_t checksum(std::span<const std::uint8_t> bytes) noexcept {
    constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
    constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
    constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
    const auto round = [](std::uint64_t h, std::uint64_t word) {
        return std::rotl(h + word * kP2, 31) * kP1;
    };
    std::uint64_t h = kP3;
    std::size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, 8);
        h = round(h, word);
    }
    std::uint64_t tail = 0;
    if (at < bytes.size()) {
        std::memcpy(&tail, bytes.data() + at, bytes.size() - at);
    }
    h = round(round(h, tail), static_cast<std::uint64_t>(bytes.size()));
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    return h ^ (h >> 32);
}

class Writer {
public:
    void raw(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out.insert(out.end(), p, p + n);
    }
    void u64(std::uint64_t v) { raw(&v, sizeof v); }
    template <class T>
    void array(const std::vector<T>& v) {
        u64(v.size());
        raw(v.data(), v.size() * sizeof(T));
    }
    void strings(const std::vector<std::string>& v) {
        u64(v.size());
        for (const std::string& s : v) {
            u64(s.size());
            raw(s.data(), s.size());
        }
    }
    std::vector<std::uint8_t> out;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool raw(void* data, std::size_t n) {
        if (n > bytes_.size() - at_) {
            return false;
        }
        if (n > 0) {
            std::memcpy(data, bytes_.data() + at_, n);
        }
        at_ += n;
        return true;
    }
    bool u64(std::uint64_t& v) { return raw(&v, sizeof v); }
    template <class T>
    bool array(std::vector<T>& v) {
        std::uint64_t n = 0;
        if (!u64(n) || n > (bytes_.size() - at_) / sizeof(T)) {
            return false;
        }
        v.resize(n);
        return raw(v.data(), n * sizeof(T));
    }
    bool strings(std::vector<std::string>& v) {
        std::uint64_t n = 0;
        if (!u64(n) || n > (bytes_.size() - at_) / sizeof(std::uint64_t)) {
            return false;
        }
        v.resize(n);
        for (std::string& s : v) {
            std::uint64_t size = 0;
            if (!u64(size) || size > bytes_.size() - at_) {
                return false;
            }
            s.assign(reinterpret_cast<const char*>(bytes_.data() + at_), size);
            at_ += size;
        }
        return true;
    }
    bool at_end() const noexcept { return at_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Everything a kernel or an export relies on; from_bytes refuses a table that breaks it.
std::optional<std::string> check_invariants(const SplitTable& t) {
    const std::size_t n_splits = t.first_seen.size();
    if (t.indptr.empty() || t.indptr.front() != 0 ||
        t.indptr.back() != static_cast<std::int64_t>(t.ids.size())) {
        return "tree offsets do not cover the split ids";
    }
    if (t.groups.size() != t.n_trees() || t.tree_names.size() < t.n_trees()) {
        return "one group and one name per tree expected";
    }
    if (t.has_lengths ? t.lengths.size() != t.ids.size() : !t.lengths.empty()) {
        return "branch lengths do not match the split ids";
    }
    // The leaves are the named ones, plus at most one unnamed leaf (bit 0); n_words is
    // what that many leaves take, and no set holds a bit beyond the last leaf.
    const std::size_t named = t.leaf_names.size();
    if (t.n_words != words_for_leaves(named) && t.n_words != words_for_leaves(named + 1)) {
        return "leaf sets of " + std::to_string(t.n_words) + " words do not fit " +
               std::to_string(named) + " leaves";
    }
    if ((t.n_words == 0 && n_splits != 0) ||
        t.words.size() / std::max<std::size_t>(t.n_words, 1) != n_splits ||
        t.words.size() != n_splits * t.n_words) {
        return "leaf sets do not match the number of splits";
    }
    for (std::size_t i = 1; i < named; ++i) {
        if (!(t.leaf_names[i - 1] < t.leaf_names[i])) {
            return std::string("leaf names are not sorted and unique");
        }
    }
    const std::size_t max_leaves = std::min(named + 1, 64 * t.n_words);
    const std::uint64_t last_word_mask =
        max_leaves % 64 == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << (max_leaves % 64)) - 1;
    for (std::size_t s = 0; s < n_splits; ++s) {
        const std::span<const std::uint64_t> w = t.split_words(s);
        if ((w.back() & ~last_word_mask) != 0) {
            return "leaf set " + std::to_string(s) + " holds a leaf beyond the last one";
        }
        if (s > 0 && compare_words(t.split_words(s - 1), w) != std::strong_ordering::less) {
            return "leaf sets are not sorted and unique (at set " + std::to_string(s) + ")";
        }
    }
    if (n_splits > std::numeric_limits<std::uint32_t>::max()) {
        return "too many splits";
    }
    for (std::size_t tree_i = 0; tree_i < t.n_trees(); ++tree_i) {
        if (t.indptr[tree_i + 1] < t.indptr[tree_i] || t.groups[tree_i] < 0) {
            return "tree offsets or groups out of order";
        }
        const std::span<const std::uint32_t> ids = t.tree_ids(tree_i);
        for (std::size_t k = 0; k < ids.size(); ++k) {
            if (ids[k] >= n_splits || (k > 0 && ids[k] <= ids[k - 1])) {
                return "split ids of a tree are not ascending ids of the table";
            }
        }
    }
    std::vector<std::uint8_t> seen(n_splits, 0);
    for (const std::uint32_t rank : t.first_seen) {
        if (rank >= n_splits || seen[rank] != 0) {
            return "first-appearance ranks are not a permutation";
        }
        seen[rank] = 1;
    }
    return std::nullopt;
}

}  // namespace

SplitTable SplitTable::from_snapshots(Snapshots&& snapshots, std::vector<std::string> tree_names,
                                      std::vector<std::int32_t> groups, bool rooted,
                                      bool keep_lengths) {
    const std::size_t n = snapshots.trees.size();
    require(tree_names.size() >= n, "fewer tree names than trees");
    require(groups.empty() || groups.size() >= n, "fewer groups than trees");
    SplitTable t;
    t.rooted = rooted;
    t.n_words = snapshots.n_words;
    t.leaf_names = std::move(snapshots.leaf_names);
    t.tree_names = std::move(tree_names);
    t.groups = std::move(groups);
    t.groups.resize(n, 0);

    // Columns: ids sorted by their leaf sets. first_seen maps a column back to the id, whose
    // order is the order of first appearance.
    const std::vector<std::size_t> column_of = snapshots.sorted_split_id_to_col();
    const std::size_t n_splits = column_of.size();
    t.first_seen.resize(n_splits);
    t.words.resize(n_splits * t.n_words);
    for (std::size_t id = 0; id < n_splits; ++id) {
        t.first_seen[column_of[id]] = static_cast<std::uint32_t>(id);
        const std::vector<std::uint64_t>& w = snapshots.splits[id].words;
        require(w.size() == t.n_words, "split word counts differ");
        std::copy(w.begin(), w.end(),
                  t.words.begin() + static_cast<std::ptrdiff_t>(column_of[id] * t.n_words));
    }
    snapshots.splits = {};

    t.indptr.resize(n + 1);
    t.indptr[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const InternSnap& s = snapshots.trees[i];
        require(!keep_lengths || s.lengths.size() == s.ids.size(), "lengths missing");
        t.indptr[i + 1] = t.indptr[i] + static_cast<std::int64_t>(s.ids.size());
    }
    t.has_lengths = keep_lengths;
    // In stages, the freed snapshots handed back after each and the table's arrays grown
    // within their reserved room (pages are touched as they are filled), so the snapshots
    // and the table are never held whole at once.
    const auto total = static_cast<std::size_t>(t.indptr[n]);
    t.ids.reserve(total);
    if (t.has_lengths) {
        t.lengths.reserve(total);
    }
    constexpr std::size_t kStages = 32;
    for (std::size_t stage = 0; stage < kStages; ++stage) {
        const std::size_t filled = static_cast<std::size_t>(t.indptr[n * (stage + 1) / kStages]);
        t.ids.resize(filled);
        if (t.has_lengths) {
            t.lengths.resize(filled);
        }
        pool::parallel_for(n * stage / kStages, n * (stage + 1) / kStages,
                           [&](std::size_t begin, std::size_t end) {
            std::vector<std::pair<std::uint32_t, double>> pairs;
            for (std::size_t i = begin; i < end; ++i) {
                InternSnap& s = snapshots.trees[i];
                pairs.clear();
                for (std::size_t k = 0; k < s.ids.size(); ++k) {
                    pairs.emplace_back(static_cast<std::uint32_t>(column_of[s.ids[k]]),
                                       t.has_lengths ? s.lengths[k] : 0.0);
                }
                // Columns are distinct within a tree, so the order is fully determined.
                std::sort(pairs.begin(), pairs.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
                const auto at = static_cast<std::size_t>(t.indptr[i]);
                for (std::size_t k = 0; k < pairs.size(); ++k) {
                    t.ids[at + k] = pairs[k].first;
                    if (t.has_lengths) {
                        t.lengths[at + k] = pairs[k].second;
                    }
                }
                s = InternSnap{};
            }
        });
        return_free_memory();
    }
    snapshots.trees = {};
    return_free_memory();
    return t;
}

std::vector<std::uint8_t> SplitTable::to_bytes() const {
    Writer w;
    w.raw(kMagic, sizeof kMagic);
    w.u64((rooted ? kFlagRooted : 0) | (has_lengths ? kFlagLengths : 0));
    w.u64(n_words);
    w.strings(leaf_names);
    w.strings(tree_names);
    w.array(groups);
    w.array(indptr);
    w.array(ids);
    w.array(lengths);
    w.array(words);
    w.array(first_seen);
    w.u64(checksum(w.out));
    return std::move(w.out);
}

Result<SplitTable, std::string> SplitTable::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, kVersionAt) != 0) {
        return unexpected(std::string("not a split table (unknown header)"));
    }
    const char version = static_cast<char>(bytes[kVersionAt]);
    if (version == '2') {
        std::uint64_t stored = 0;
        if (bytes.size() < sizeof kMagic + sizeof stored) {
            return unexpected(std::string("damaged split table: sizes do not match its length"));
        }
        bytes = bytes.first(bytes.size() - sizeof stored);
        std::memcpy(&stored, bytes.data() + bytes.size(), sizeof stored);
        if (stored != checksum(bytes)) {
            return unexpected(std::string(
                "damaged split table: checksum mismatch (the bytes were changed or cut)"));
        }
    } else if (version != '1') {
        return unexpected(std::string("split table of an unknown version (byte ") +
                          std::to_string(static_cast<int>(bytes[kVersionAt])) +
                          "): this version reads versions 1 and 2");
    }
    Reader r(bytes);
    char magic[sizeof kMagic] = {};
    r.raw(magic, sizeof magic);
    SplitTable t;
    std::uint64_t flags = 0;
    std::uint64_t n_words = 0;
    const bool complete = r.u64(flags) && r.u64(n_words) && r.strings(t.leaf_names) &&
                          r.strings(t.tree_names) && r.array(t.groups) && r.array(t.indptr) &&
                          r.array(t.ids) && r.array(t.lengths) && r.array(t.words) &&
                          r.array(t.first_seen) && r.at_end();
    if (!complete || (flags & ~(kFlagRooted | kFlagLengths)) != 0 ||
        n_words > std::numeric_limits<std::uint32_t>::max()) {
        return unexpected(std::string("damaged split table: sizes do not match its length"));
    }
    t.rooted = (flags & kFlagRooted) != 0;
    t.has_lengths = (flags & kFlagLengths) != 0;
    t.n_words = static_cast<std::size_t>(n_words);
    if (auto problem = check_invariants(t)) {
        return unexpected("damaged split table: " + *problem);
    }
    return t;
}

std::vector<std::uint32_t> split_sizes(const SplitTable& table) {
    std::vector<std::uint32_t> size(table.n_splits());
    for (std::size_t s = 0; s < size.size(); ++s) {
        size[s] = static_cast<std::uint32_t>(count_ones(table.split_words(s)));
    }
    return size;
}

std::vector<std::int32_t> split_parents(const SplitTable& table) {
    return split_parents(table, 0, table.n_trees(), split_sizes(table));
}

std::vector<std::int32_t> split_parents(const SplitTable& table, std::size_t t0,
                                        std::size_t t1, std::span<const std::uint32_t> size) {
    require(t0 <= t1 && t1 <= table.n_trees(), "split_parents: trees out of range");
    require(size.size() == table.n_splits(), "split_parents: one size per split");
    require(table.n_splits() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()),
            "too many splits for 32-bit parent ids");
    const auto e0 = static_cast<std::size_t>(table.indptr.empty() ? 0 : table.indptr[t0]);
    const auto e1 = static_cast<std::size_t>(table.indptr.empty() ? 0 : table.indptr[t1]);
    std::vector<std::int32_t> parents(e1 - e0);
    // A tree costs the leaves of its splits plus a word-sized reset: blocks of about
    // kLeavesPerBlock leaves (a millisecond or two) keep Ctrl-C prompt on big trees.
    constexpr std::uint64_t kLeavesPerBlock = std::uint64_t{1} << 20;
    std::uint64_t work = 64 * table.n_words * (t1 - t0);
    for (std::size_t e = e0; e < e1; ++e) {
        work += size[table.ids[e]];
    }
    const std::uint64_t per_block =
        (t1 - t0) * kLeavesPerBlock / std::max<std::uint64_t>(work, 1);
    const auto grain = static_cast<std::size_t>(std::max<std::uint64_t>(per_block, 1));
    const std::size_t most = 64 * table.n_words;  // no split holds more leaves
    // Within one tree, splits that share a leaf are nested. Taking them from the largest
    // down and recording for every leaf the last split seen to hold it, the record of any
    // one leaf of a split is, when the split comes up, its smallest strict superset: every
    // split taken before is at least as large, and equal sizes are disjoint.
    pool::parallel_for(t0, t1, [&](std::size_t begin, std::size_t end) {
        std::vector<std::int32_t> owner(most);
        std::vector<std::uint32_t> order;
        std::vector<std::uint32_t> start(most + 2);
        for (std::size_t tree_i = begin; tree_i < end; ++tree_i) {
            const std::span<const std::uint32_t> ids = table.tree_ids(tree_i);
            const auto at = static_cast<std::size_t>(table.indptr[tree_i]) - e0;
            // Largest first, in entry order within a size: a counting sort.
            std::fill(start.begin(), start.end(), 0u);
            for (const std::uint32_t id : ids) {
                ++start[most - size[id] + 1];
            }
            for (std::size_t b = 1; b < start.size(); ++b) {
                start[b] += start[b - 1];
            }
            order.resize(ids.size());
            for (std::size_t k = 0; k < ids.size(); ++k) {
                order[start[most - size[ids[k]]]++] = static_cast<std::uint32_t>(k);
            }
            std::fill(owner.begin(), owner.end(), -1);
            for (const std::uint32_t k : order) {
                const std::span<const std::uint64_t> w = table.split_words(ids[k]);
                std::int32_t parent = -1;
                bool first = true;
                for (std::size_t word = 0; word < w.size(); ++word) {
                    for (std::uint64_t bits = w[word]; bits != 0; bits &= bits - 1) {
                        const std::size_t leaf =
                            64 * word + static_cast<std::size_t>(std::countr_zero(bits));
                        if (first) {
                            parent = owner[leaf];
                            first = false;
                        }
                        owner[leaf] = static_cast<std::int32_t>(ids[k]);
                    }
                }
                parents[at + k] = parent;
            }
        }
    }, grain);
    return parents;
}

std::vector<std::int64_t> split_counts(const SplitTable& table, std::size_t n_groups) {
    require(n_groups == 0 ||
                table.n_splits() <= std::vector<std::int64_t>().max_size() / n_groups,
            "split_counts: n_splits * n_groups too large");
    std::vector<std::int64_t> counts(table.n_splits() * n_groups, 0);
    for (std::size_t tree_i = 0; tree_i < table.n_trees(); ++tree_i) {
        const auto group = static_cast<std::size_t>(table.groups[tree_i]);
        require(group < n_groups, "group out of range");
        for (const std::uint32_t id : table.tree_ids(tree_i)) {
            ++counts[id * n_groups + group];
        }
    }
    return counts;
}

}  // namespace kestrilune
