#include "distances/distances.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
// RF pair loop: popcount(row_i AND row_j) over the packed words, for every j > i.
// Scalar version: four independent accumulators so the adds do not wait on each other.
// Built for the baseline target (where __builtin_popcountll is a library call), with the
// popcnt instruction, and with AVX-512 VPOPCNTDQ (eight words per step) for rows of eight
// words or more; one is picked per call. All give the same integer sums.
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

// Cell (i, j) from the shared count. Wrapping arithmetic; the true value
// |A| + |B| - 2|A & B| is never negative. The cell keeps the low 32 bits.
[[gnu::always_inline]] inline std::uint32_t rf_cell(const PackedRows& p, std::size_t i,
                                                    std::size_t j, std::uint64_t shared) {
    return static_cast<std::uint32_t>(p.counts[i] + p.counts[j] - 2 * shared);
}

// Rows are taken a tile at a time: every row j is loaded once for all rows i of the tile
// and stays in the first-level cache while they use it, instead of streaming the whole
// packed matrix from memory once per row.
constexpr std::size_t kRowTile = 8;

template <class PairFn>
[[gnu::always_inline]] inline void for_tile_pairs(const PackedRows& p, std::size_t begin,
                                                  std::size_t end, std::uint32_t* cells,
                                                  PairFn&& shared_count) {
    for (std::size_t i0 = begin; i0 < end; i0 += kRowTile) {
        const std::size_t i1 = std::min(i0 + kRowTile, end);
        for (std::size_t j = i0 + 1; j < p.n; ++j) {
            const std::uint64_t* b = p.words + j * p.n_words;
            const std::size_t i_end = std::min(i1, j);
            for (std::size_t i = i0; i < i_end; ++i) {
                cells[i * p.n + j] = rf_cell(p, i, j, shared_count(p.words + i * p.n_words, b));
            }
        }
    }
}

[[gnu::always_inline]] inline void rf_block_body(const PackedRows& p, std::size_t begin,
                                                 std::size_t end, std::uint32_t* cells) {
    for_tile_pairs(p, begin, end, cells, [&](const std::uint64_t* a, const std::uint64_t* b) {
        return and_popcount(a, b, p.n_words);
    });
}

void rf_block_baseline(const PackedRows& p, std::size_t begin, std::size_t end,
                       std::uint32_t* cells) {
    rf_block_body(p, begin, end, cells);
}

using RfBlockFn = void (*)(const PackedRows&, std::size_t, std::size_t, std::uint32_t*);

#if defined(__x86_64__)
[[gnu::target("popcnt")]] void rf_block_popcnt(const PackedRows& p, std::size_t begin,
                                               std::size_t end, std::uint32_t* cells) {
    rf_block_body(p, begin, end, cells);
}

[[gnu::target("avx512f,avx512vpopcntdq")]] inline std::uint64_t and_popcount_avx512(
    const std::uint64_t* a, const std::uint64_t* b, std::size_t full, __mmask8 tail) {
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t w = 0; w < full; w += 8) {
        const __m512i both = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
        acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(both));
    }
    if (tail != 0) {
        const __m512i both = _mm512_and_si512(_mm512_maskz_loadu_epi64(tail, a + full),
                                              _mm512_maskz_loadu_epi64(tail, b + full));
        acc = _mm512_add_epi64(acc, _mm512_popcnt_epi64(both));
    }
    // Lane sum through memory: g++ 12 warns falsely inside _mm512_reduce_add_epi64.
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, acc);
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// The tile loop of for_tile_pairs, spelled out: a lambda would not carry the target.
[[gnu::target("avx512f,avx512vpopcntdq")]] void rf_block_avx512(const PackedRows& p,
                                                               std::size_t begin,
                                                               std::size_t end,
                                                               std::uint32_t* cells) {
    const std::size_t full = p.n_words / 8 * 8;
    const auto tail = static_cast<__mmask8>((1u << (p.n_words % 8)) - 1);
    for (std::size_t i0 = begin; i0 < end; i0 += kRowTile) {
        const std::size_t i1 = std::min(i0 + kRowTile, end);
        for (std::size_t j = i0 + 1; j < p.n; ++j) {
            const std::uint64_t* b = p.words + j * p.n_words;
            const std::size_t i_end = std::min(i1, j);
            for (std::size_t i = i0; i < i_end; ++i) {
                const std::uint64_t* a = p.words + i * p.n_words;
                cells[i * p.n + j] = rf_cell(p, i, j, and_popcount_avx512(a, b, full, tail));
            }
        }
    }
}

RfBlockFn pick_rf_block(std::size_t n_words) {
    __builtin_cpu_init();
    // Below eight words a pair is a few scalar instructions; the vector reduction would
    // cost more than it saves.
    if (n_words >= 8 && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512vpopcntdq")) {
        return rf_block_avx512;
    }
    return __builtin_cpu_supports("popcnt") ? rf_block_popcnt : rf_block_baseline;
}
#else
RfBlockFn pick_rf_block(std::size_t) { return rf_block_baseline; }
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
    const RfBlockFn rf_block = pick_rf_block(n_words);
    fill_symmetric_blocks<std::uint32_t>(
        n, counter, cells,
        [&](std::size_t begin, std::size_t end) { rf_block(rows, begin, end, cells); });
}

}  // namespace kestrilune
