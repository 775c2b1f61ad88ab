#include "distances/distances.hpp"

#include <limits>
#include <vector>

#include "common/errors.hpp"

namespace kestrilune {

namespace detail {

std::size_t checked_cells(std::size_t n, std::size_t m, std::size_t cell_bytes) {
    std::size_t cells = 0;
    std::size_t bytes = 0;
    require(!__builtin_mul_overflow(n, m, &cells) &&
                !__builtin_mul_overflow(cells, cell_bytes, &bytes),
            "matrix size overflows the address space");
    return cells;
}

std::size_t id_universe(const std::vector<InternSnap>& trees) {
    std::size_t universe = 0;
    for (const InternSnap& tree : trees) {
        if (!tree.ids.empty()) {
            universe = std::max<std::size_t>(universe, std::size_t{tree.ids.back()} + 1);
        }
    }
    return universe;
}

}  // namespace detail

namespace {

using detail::checked_cells;
using detail::id_universe;

constexpr std::uint32_t kNoColumn = std::numeric_limits<std::uint32_t>::max();

// ---------------------------------------------------------------------------------------
// RF pair loop. popcount(a AND b) summed over a row; four independent accumulators so
// that the adds do not wait on each other. Compiled twice: once for the baseline target
// (where __builtin_popcountll is a library call) and once with the popcnt instruction,
// chosen once per call.
// ---------------------------------------------------------------------------------------

struct PackedRows {
    const std::uint64_t* words;   // n * n_words
    const std::uint64_t* counts;  // set bits per row
    std::size_t n;
    std::size_t n_words;
};

[[gnu::always_inline]] inline std::uint64_t and_popcount(const std::uint64_t* a,
                                                         const std::uint64_t* b,
                                                         std::size_t n_words) {
    std::uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    std::size_t w = 0;
    for (; w + 4 <= n_words; w += 4) {
        c0 += static_cast<std::uint64_t>(__builtin_popcountll(a[w] & b[w]));
        c1 += static_cast<std::uint64_t>(__builtin_popcountll(a[w + 1] & b[w + 1]));
        c2 += static_cast<std::uint64_t>(__builtin_popcountll(a[w + 2] & b[w + 2]));
        c3 += static_cast<std::uint64_t>(__builtin_popcountll(a[w + 3] & b[w + 3]));
    }
    for (; w < n_words; ++w) {
        c0 += static_cast<std::uint64_t>(__builtin_popcountll(a[w] & b[w]));
    }
    return (c0 + c1) + (c2 + c3);
}

[[gnu::always_inline]] inline void rf_row_body(const PackedRows& p, std::size_t i,
                                               std::uint32_t* row) {
    const std::uint64_t* a = p.words + i * p.n_words;
    const std::uint64_t count_i = p.counts[i];
    for (std::size_t j = i + 1; j < p.n; ++j) {
        const std::uint64_t shared = and_popcount(a, p.words + j * p.n_words, p.n_words);
        // Wrapping arithmetic; the true value |A| + |B| - 2|A & B| is never negative.
        row[j] = static_cast<std::uint32_t>(count_i + p.counts[j] - 2 * shared);
    }
}

void rf_row_baseline(const PackedRows& p, std::size_t i, std::uint32_t* row) {
    rf_row_body(p, i, row);
}

using RfRowFn = void (*)(const PackedRows&, std::size_t, std::uint32_t*);

#if defined(__x86_64__) && !defined(__POPCNT__)
[[gnu::target("popcnt")]] void rf_row_popcnt(const PackedRows& p, std::size_t i,
                                             std::uint32_t* row) {
    rf_row_body(p, i, row);
}

RfRowFn pick_rf_row() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") ? rf_row_popcnt : rf_row_baseline;
}
#else
RfRowFn pick_rf_row() { return rf_row_baseline; }
#endif

}  // namespace

void pairwise_rf_packed(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                        std::uint32_t* cells) {
    const std::vector<InternSnap>& trees = snapshots.trees;
    const std::size_t n = trees.size();
    if (n == 0) {
        return;
    }
    checked_cells(n, n, sizeof(std::uint64_t));

    // Occurrences of every id, then columns for the ids that not every tree holds, in
    // ascending id order. Partitions held by all trees (the pendant edges among them) are
    // in both trees of every pair and cost no bits.
    const std::size_t universe = id_universe(trees);
    std::vector<std::uint32_t> occurrences(universe, 0);
    for (const InternSnap& tree : trees) {
        for (const std::uint32_t id : tree.ids) {
            require(id < universe, "partition ids out of ascending order");
            ++occurrences[id];
        }
    }
    std::vector<std::uint32_t> column(universe, kNoColumn);
    std::size_t n_columns = 0;
    for (std::size_t id = 0; id < universe; ++id) {
        if (occurrences[id] < n) {
            column[id] = static_cast<std::uint32_t>(n_columns++);
        }
    }
    occurrences = {};

    const std::size_t n_words = (n_columns + 63) / 64;
    std::vector<std::uint64_t> packed(checked_cells(n, n_words, sizeof(std::uint64_t)), 0);
    if (n_words > 0) {
        pool::parallel_for(0, n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                std::uint64_t* row = packed.data() + t * n_words;
                for (const std::uint32_t id : trees[t].ids) {
                    const std::uint32_t c = column[id];
                    if (c != kNoColumn) {
                        row[c / 64] |= std::uint64_t{1} << (c % 64);
                    }
                }
            }
        });
    }

    // Set bits per row without counting them: every id without a column is in every tree.
    std::vector<std::uint64_t> counts(n);
    const std::uint64_t shared_by_all = universe - n_columns;
    for (std::size_t t = 0; t < n; ++t) {
        counts[t] = static_cast<std::uint64_t>(trees[t].ids.size()) - shared_by_all;
    }

    const PackedRows rows{packed.data(), counts.data(), n, n_words};
    const RfRowFn rf_row = pick_rf_row();
    fill_symmetric_rows<std::uint32_t>(n, counter, cells, [&](std::size_t i, std::uint32_t* row) {
        rf_row(rows, i, row);
    });
}

}  // namespace kestrilune
