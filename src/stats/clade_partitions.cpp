#include "stats/clade_partitions.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <tuple>

#include "common/errors.hpp"
#include "pool/pool.hpp"

namespace kestrilune::stats {
namespace {

// Clades per block of the parallel loop: a large clade has thousands of candidates, so a
// few hundred clades are a few milliseconds of work, the unit the pool balances and stops.
constexpr std::size_t kGrain = 256;

std::uint64_t mix(std::uint64_t x) noexcept {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Open-addressing table from a row of words to its clade, with a Bloom filter in front:
// most rows looked up (the rest of a clade after a candidate child) are not clades, and the
// filter, a sixteenth of the table's size, answers them from cache. Read-only once built,
// so the workers share it without locks.
class RowIndex {
  public:
    RowIndex(std::span<const std::uint64_t> words, std::size_t n_words, std::size_t n_rows)
        : words_(words), n_words_(n_words) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * n_rows));
        mask_ = capacity - 1;
        slots_.assign(capacity, -1);
        filter_.assign(std::max<std::size_t>(1, capacity / 8), 0);  // 8 bits per slot
        filter_bits_ = filter_.size() * 64 - 1;
        for (std::size_t c = 0; c < n_rows; ++c) {
            const std::uint64_t h = hash(row(c));
            std::size_t slot = h & mask_;
            while (slots_[slot] >= 0) {
                slot = (slot + 1) & mask_;
            }
            slots_[slot] = static_cast<std::int64_t>(c);
            for (const std::uint64_t bit : {h >> 40, h >> 16}) {
                filter_[(bit & filter_bits_) / 64] |= std::uint64_t{1} << (bit % 64);
            }
        }
    }

    // The clade whose row equals `key`, or -1.
    std::int64_t find(const std::uint64_t* key) const noexcept {
        const std::uint64_t h = hash(key);
        for (const std::uint64_t bit : {h >> 40, h >> 16}) {
            if ((filter_[(bit & filter_bits_) / 64] >> (bit % 64) & 1) == 0) {
                return -1;
            }
        }
        std::size_t slot = h & mask_;
        while (slots_[slot] >= 0) {
            const std::int64_t c = slots_[slot];
            if (std::equal(key, key + n_words_, row(static_cast<std::size_t>(c)))) {
                return c;
            }
            slot = (slot + 1) & mask_;
        }
        return -1;
    }

  private:
    const std::uint64_t* row(std::size_t c) const noexcept { return words_.data() + c * n_words_; }
    std::uint64_t hash(const std::uint64_t* key) const noexcept {
        std::uint64_t h = 0;
        for (std::size_t w = 0; w < n_words_; ++w) {
            h = (h ^ key[w]) * 0x9E3779B97F4A7C15ULL + w;
        }
        return mix(h);
    }

    std::span<const std::uint64_t> words_;
    std::size_t n_words_;
    std::size_t mask_ = 0;
    std::vector<std::int64_t> slots_;
    std::vector<std::uint64_t> filter_;
    std::uint64_t filter_bits_ = 0;
};

// The lowest leaf of each clade.
std::vector<std::size_t> lowest_leaves(std::span<const std::uint64_t> words, std::size_t n_words,
                                       std::size_t m) {
    std::vector<std::size_t> low(m, 0);
    for (std::size_t c = 0; c < m; ++c) {
        const std::uint64_t* r = words.data() + c * n_words;
        std::size_t w = 0;
        while (w + 1 < n_words && r[w] == 0) {
            ++w;
        }
        low[c] = 64 * w + static_cast<std::size_t>(std::countr_zero(r[w]));
    }
    return low;
}

// Clades grouped by lowest leaf, each group by increasing size: a clade's candidate
// children are the front of its group, up to the first clade as large as itself. The rows
// and sizes are copied in that order, so that a clade's candidates are read as one
// sequential run of memory rather than one cache miss each.
struct Groups {
    std::vector<std::size_t> order;        // clade at each position
    std::vector<std::size_t> group_begin;  // per position: the first of its group
    std::vector<std::uint64_t> rows;       // n_words per position
    std::vector<std::int64_t> sizes;       // per position

    const std::uint64_t* row(std::size_t pos, std::size_t n_words) const noexcept {
        return rows.data() + pos * n_words;
    }
};

Groups group_by_lowest_leaf(std::span<const std::uint64_t> words, std::size_t n_words,
                            std::span<const std::int64_t> sizes) {
    const std::size_t m = sizes.size();
    const std::vector<std::size_t> low = lowest_leaves(words, n_words, m);
    Groups g;
    g.order.resize(m);
    std::iota(g.order.begin(), g.order.end(), std::size_t{0});
    std::sort(g.order.begin(), g.order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(low[a], sizes[a], a) < std::tie(low[b], sizes[b], b);
    });
    g.group_begin.assign(m, 0);
    for (std::size_t pos = 1; pos < m; ++pos) {
        g.group_begin[pos] =
            low[g.order[pos]] == low[g.order[pos - 1]] ? g.group_begin[pos - 1] : pos;
    }
    g.rows.resize(m * n_words);
    g.sizes.resize(m);
    for (std::size_t pos = 0; pos < m; ++pos) {
        std::copy_n(words.data() + g.order[pos] * n_words, n_words,
                    g.rows.begin() + static_cast<std::ptrdiff_t>(pos * n_words));
        g.sizes[pos] = sizes[g.order[pos]];
    }
    return g;
}

// Appends to `found` every partition of the clade at position pos: each smaller clade of
// its group inside it whose rest is a clade too. `rest` is n_words of scratch.
void partitions_at(const Groups& g, const RowIndex& index, std::size_t n_words, std::size_t pos,
                   std::uint64_t* rest, std::vector<PartitionRow>& found) {
    const std::int64_t size = g.sizes[pos];
    if (size < 2) {
        return;
    }
    const std::uint64_t* parent = g.row(pos, n_words);
    const auto last = static_cast<std::size_t>(
        std::lower_bound(g.sizes.begin() + static_cast<std::ptrdiff_t>(g.group_begin[pos]),
                         g.sizes.begin() + static_cast<std::ptrdiff_t>(pos), size) -
        g.sizes.begin());
    for (std::size_t k = g.group_begin[pos]; k < last; ++k) {
        const std::uint64_t* child = g.row(k, n_words);
        std::uint64_t outside = 0;  // without early exit: no branch per word
        for (std::size_t w = 0; w < n_words; ++w) {
            outside |= child[w] & ~parent[w];
        }
        if (outside != 0) {
            continue;
        }
        for (std::size_t w = 0; w < n_words; ++w) {
            rest[w] = parent[w] & ~child[w];
        }
        const std::int64_t other = index.find(rest);
        if (other >= 0) {
            const auto a = static_cast<std::int64_t>(g.order[k]);
            found.push_back(
                {static_cast<std::int64_t>(g.order[pos]), std::min(a, other), std::max(a, other)});
        }
    }
}

// The lists joined and sorted (freeing each as it is copied).
std::vector<PartitionRow> join_sorted(std::vector<std::vector<PartitionRow>>& found) {
    std::size_t total = 0;
    for (const auto& f : found) {
        total += f.size();
    }
    std::vector<PartitionRow> out;
    out.reserve(total);
    for (auto& f : found) {
        out.insert(out.end(), f.begin(), f.end());
        std::vector<PartitionRow>().swap(f);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

std::vector<PartitionRow> clade_partitions(std::span<const std::uint64_t> words,
                                           std::size_t n_words, std::span<const std::int64_t> sizes,
                                           std::atomic<std::uint64_t>* progress) {
    const std::size_t m = sizes.size();
    require(n_words >= 1 && words.size() == m * n_words,
            "clade_partitions: words do not hold one row per clade");
    const Groups groups = group_by_lowest_leaf(words, n_words, sizes);
    const RowIndex index(words, n_words, m);

    // Each position writes only its own list, so the workers need no lock; the lists are
    // joined and sorted afterwards, which makes the result independent of the schedule.
    std::vector<std::vector<PartitionRow>> found(m);
    pool::parallel_for(
        std::size_t{0}, m,
        [&](std::size_t begin, std::size_t end) {
            std::vector<std::uint64_t> rest(n_words);
            for (std::size_t pos = begin; pos < end; ++pos) {
                partitions_at(groups, index, n_words, pos, rest.data(), found[pos]);
            }
            if (progress != nullptr) {
                progress->fetch_add(end - begin, std::memory_order_relaxed);
            }
        },
        kGrain);
    return join_sorted(found);
}

}  // namespace kestrilune::stats
