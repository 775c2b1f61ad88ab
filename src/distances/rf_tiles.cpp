// Tiled RF: see rf_tiles.hpp for the contract.
//
// Steps and cost (n positions per list, b per block, S splits per tree):
//  1. Identical trees: every listed tree's id list is hashed and looked up once, so trees
//     with equal lists share one representative. O(n S).
//  2. Blocks of b consecutive positions, in parallel: the block's distinct trees (first
//     occurrence order) and the sorted union of their split ids, each with its holders
//     (the distinct trees that hold it). O(n S log(b S)); memory about a byte per id held
//     plus two words per union entry.
//  3. Tiles (row block x column block), in parallel, each on one worker's scratch:
//     a. merge the two unions. A split in only one block is shared by no pair. A split
//        held by every distinct tree of both blocks adds 1 to every pair (`common`); one
//        held by every tree of one block, to the bases of its holders in the other; one
//        held by few trees, to the few cells it touches (the rare splits of diffuse sets).
//        Every other split gets a bit column;
//     b. bit rows over the columns for the distinct trees of both blocks;
//     c. for every pair of distinct trees: base_r + base_c - 2 popcount(A & B), then the
//        sparse cell changes;
//     d. spread to positions when a block holds repeated trees (unless the sink takes the
//        distinct trees' values with their indices), and hand to the sink.
//     O(b S + pairs x W + sparse changes), W the tile's column words: only the splits
//     whose holders vary within both blocks cost bits, not the splits of the whole call.
#include "distances/rf_tiles.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/thread_scratch.hpp"
#include "distances/tile_side.hpp"
#include "pool/pool.hpp"

namespace kestrilune {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// ---- Step 1: identical trees --------------------------------------------------------------

// Four independent chains over the ids (each a multiply and a shift per id), joined at the
// end: one chain waited on its multiply at every id.
std::uint64_t hash_ids(std::span<const std::uint32_t> ids) noexcept {
    constexpr std::uint64_t kMul = 0xBF58476D1CE4E5B9ull;
    std::uint64_t h[4] = {0x9E3779B97F4A7C15ull ^ ids.size(), 0x632BE59BD9B4E019ull,
                          0x85EBCA77C2B2AE63ull, 0xC2B2AE3D27D4EB4Full};
    std::size_t k = 0;
    for (; k + 4 <= ids.size(); k += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) {
            h[lane] = (h[lane] ^ ids[k + lane]) * kMul;
            h[lane] ^= h[lane] >> 31;
        }
    }
    for (; k < ids.size(); ++k) {
        h[0] = (h[0] ^ ids[k]) * kMul;
        h[0] ^= h[0] >> 31;
    }
    std::uint64_t joined = h[0];
    for (std::size_t lane = 1; lane < 4; ++lane) {
        joined = (joined ^ h[lane]) * kMul;
        joined ^= joined >> 31;
    }
    return joined;
}

bool strictly_ascending(std::span<const std::uint32_t> ids) noexcept {
    for (std::size_t k = 1; k < ids.size(); ++k) {
        if (ids[k] <= ids[k - 1]) {
            return false;
        }
    }
    return true;
}

// representative[t] for every listed tree t: the first listed tree (in `listed` order) with
// the same id list. Unlisted entries stay kNone.
std::vector<std::uint32_t> representatives(const SplitSets& sets,
                                           std::span<const std::uint32_t> listed) {
    std::vector<std::uint64_t> hashes(listed.size());
    pool::parallel_for(0, listed.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const std::span<const std::uint32_t> ids = sets.tree(listed[k]);
            require(strictly_ascending(ids), "split ids of a tree are not strictly ascending");
            hashes[k] = hash_ids(ids);
        }
    });
    std::vector<std::uint32_t> rep(sets.n_trees(), kNone);
    std::size_t n_slots = 16;
    while (n_slots < 2 * listed.size()) {
        n_slots *= 2;
    }
    std::vector<std::uint32_t> slots(n_slots, kNone);  // listed index of a representative
    for (std::size_t k = 0; k < listed.size(); ++k) {
        const std::uint32_t tree = listed[k];
        if (rep[tree] != kNone) {
            continue;  // listed twice
        }
        const std::span<const std::uint32_t> ids = sets.tree(tree);
        std::size_t s = static_cast<std::size_t>(hashes[k]) & (n_slots - 1);
        for (;; s = (s + 1) & (n_slots - 1)) {
            if (slots[s] == kNone) {
                slots[s] = static_cast<std::uint32_t>(k);
                rep[tree] = tree;
                break;
            }
            const std::uint32_t other = listed[slots[s]];
            const std::span<const std::uint32_t> other_ids = sets.tree(other);
            if (hashes[slots[s]] == hashes[k] &&
                std::equal(ids.begin(), ids.end(), other_ids.begin(), other_ids.end())) {
                rep[tree] = other;
                break;
            }
        }
    }
    return rep;
}

// ---- Step 2: blocks -----------------------------------------------------------------------

template <class T>
T* sized(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) {
        v.resize(n);
    }
    return v.data();
}

// A worker's table for numbering the distinct split ids of one block: open addressing with
// a generation stamp per slot, so that starting a new block does not clear the table. It
// starts small and doubles when half full: the trees of a block mostly share their splits,
// and a table sized for every entry spread a few thousand ids over megabytes, a cache miss
// each.
struct UnionScratch {
    struct Slot {
        std::uint32_t stamp;  // == generation: the slot is in use
        std::uint32_t key;    // split id
        std::uint32_t value;  // its number, in order of first meeting
    };
    std::vector<Slot> table;  // the first `capacity` slots are in use
    std::size_t capacity = 0;
    std::uint32_t generation = 0;
    unsigned shift = 64;
    std::vector<std::uint32_t> slot_ids;    // per number: the split id
    std::vector<std::uint32_t> slot_count;  // per number: its holders
    std::vector<std::uint32_t> entry_slot;  // per entry of the block's trees: its number
    std::vector<std::uint64_t> order;
    std::vector<std::uint32_t> position;
    std::vector<std::uint32_t> cursor;

    void reset() {
        slot_ids.clear();
        slot_count.clear();
        start_table(64);
    }

    std::uint32_t slot_of(std::uint32_t id) {
        const std::size_t mask = capacity - 1;
        std::size_t h = home(id);
        while (table[h].stamp == generation) {
            if (table[h].key == id) {
                ++slot_count[table[h].value];
                return table[h].value;
            }
            h = (h + 1) & mask;
        }
        const auto number = static_cast<std::uint32_t>(slot_ids.size());
        table[h] = Slot{generation, id, number};
        slot_ids.push_back(id);
        slot_count.push_back(1);
        if (2 * slot_ids.size() > capacity) {
            start_table(2 * capacity);
            for (std::uint32_t v = 0; v < slot_ids.size(); ++v) {
                place(slot_ids[v], v);
            }
        }
        return number;
    }

private:
    std::size_t home(std::uint32_t id) const noexcept {
        return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> shift);
    }

    // An empty table of `slots` (a power of two) slots.
    void start_table(std::size_t slots) {
        capacity = slots;
        shift = 64 - static_cast<unsigned>(std::countr_zero(slots));
        if (table.size() < slots || ++generation == 0) {
            table.assign(std::max(table.size(), slots), Slot{0, 0, 0});
            generation = 1;
        }
    }

    void place(std::uint32_t id, std::uint32_t number) {
        std::size_t h = home(id);
        while (table[h].stamp == generation) {
            h = (h + 1) & (capacity - 1);
        }
        table[h] = Slot{generation, id, number};
    }
};

UnionScratch& union_scratch() {
    return thread_scratch<UnionScratch>();
}

struct Block {
    std::size_t begin = 0;  // positions [begin, end) of its list
    std::size_t end = 0;
    bool identity = true;                     // distinct_of[p] == p for every position
    std::vector<std::uint32_t> distinct_of;   // per position in the block: its distinct tree
    std::vector<std::uint32_t> sizes;         // per distinct tree: number of its splits
    std::vector<std::uint32_t> splits;        // the union of their split ids, ascending
    std::vector<std::uint32_t> holder_start;  // union entry e: holders [start[e], start[e+1])
    std::vector<std::uint8_t> holders;        // of `holders`: distinct trees, ascending

    std::size_t n_distinct() const noexcept { return sizes.size(); }
    std::uint32_t n_holders(std::size_t e) const noexcept {
        return holder_start[e + 1] - holder_start[e];
    }
    std::span<const std::uint8_t> holders_of(std::size_t e) const noexcept {
        return {holders.data() + holder_start[e], n_holders(e)};
    }
};

Block build_block(const SplitSets& sets, std::span<const std::uint32_t> list,
                  const std::vector<std::uint32_t>& rep, std::size_t begin, std::size_t end) {
    Block block;
    block.begin = begin;
    block.end = end;
    const std::size_t n = end - begin;

    // Distinct trees in order of first occurrence: sort (representative, position) so
    // that equal trees form groups whose first entry is their first position, then number
    // the groups by that position.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> by_rep(n);
    for (std::size_t p = 0; p < n; ++p) {
        by_rep[p] = {rep[list[begin + p]], static_cast<std::uint32_t>(p)};
    }
    std::sort(by_rep.begin(), by_rep.end());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> firsts;  // (first position, rep)
    for (std::size_t k = 0; k < n; ++k) {
        if (k == 0 || by_rep[k].first != by_rep[k - 1].first) {
            firsts.emplace_back(by_rep[k].second, by_rep[k].first);
        }
    }
    std::sort(firsts.begin(), firsts.end());
    block.distinct_of.resize(n);
    for (std::size_t u = 0; u < firsts.size(); ++u) {
        auto k = static_cast<std::size_t>(
            std::lower_bound(by_rep.begin(), by_rep.end(), std::pair{firsts[u].second, 0u}) -
            by_rep.begin());
        for (; k < n && by_rep[k].first == firsts[u].second; ++k) {
            block.distinct_of[by_rep[k].second] = static_cast<std::uint32_t>(u);
        }
    }
    for (std::size_t p = 0; p < n; ++p) {
        block.identity = block.identity && block.distinct_of[p] == p;
    }

    // Union of the distinct trees' splits with their holders. Ids are numbered in order of
    // first meeting through a hash table, then only the distinct ids are sorted (far fewer
    // than the entries when the block's trees are alike), and the holders are placed by a
    // counting pass, ascending since the trees are visited in order.
    const std::size_t n_distinct = firsts.size();
    block.sizes.resize(n_distinct);
    std::size_t n_entries = 0;
    for (std::size_t u = 0; u < n_distinct; ++u) {
        block.sizes[u] = static_cast<std::uint32_t>(sets.tree(firsts[u].second).size());
        n_entries += block.sizes[u];
    }
    require(n_entries < kNone, "a tile block holds more than 2^32 - 1 splits");
    UnionScratch& s = union_scratch();
    s.reset();
    std::uint32_t* entry_slot = sized(s.entry_slot, n_entries);
    for (std::size_t u = 0, e = 0; u < n_distinct; ++u) {
        for (const std::uint32_t id : sets.tree(firsts[u].second)) {
            entry_slot[e++] = s.slot_of(id);
        }
    }
    const std::size_t n_union = s.slot_ids.size();
    std::vector<std::uint64_t>& order = s.order;  // (id, slot), ascending
    order.resize(n_union);
    for (std::size_t k = 0; k < n_union; ++k) {
        order[k] = (std::uint64_t{s.slot_ids[k]} << 32) | k;
    }
    std::sort(order.begin(), order.end());
    std::uint32_t* position = sized(s.position, n_union);  // slot -> union entry
    block.splits.resize(n_union);
    block.holder_start.resize(n_union + 1);
    std::uint32_t start = 0;
    for (std::size_t k = 0; k < n_union; ++k) {
        const auto slot = static_cast<std::uint32_t>(order[k]);
        position[slot] = static_cast<std::uint32_t>(k);
        block.splits[k] = static_cast<std::uint32_t>(order[k] >> 32);
        block.holder_start[k] = start;
        start += s.slot_count[slot];
    }
    block.holder_start[n_union] = start;
    std::uint32_t* cursor = sized(s.cursor, n_union);
    std::copy(block.holder_start.begin(), block.holder_start.end() - 1, cursor);
    block.holders.resize(n_entries);
    for (std::size_t u = 0, e = 0; u < n_distinct; ++u) {
        for (std::size_t k = 0; k < block.sizes[u]; ++k) {
            block.holders[cursor[position[entry_slot[e++]]]++] = static_cast<std::uint8_t>(u);
        }
    }
    return block;
}

std::vector<Block> build_blocks(const SplitSets& sets, std::span<const std::uint32_t> list,
                                const std::vector<std::uint32_t>& rep, std::size_t tile) {
    const std::size_t n_blocks = (list.size() + tile - 1) / tile;
    std::vector<Block> blocks(n_blocks);
    pool::parallel_for(
        0, n_blocks,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b) {
                blocks[b] =
                    build_block(sets, list, rep, b * tile, std::min(list.size(), (b + 1) * tile));
            }
        },
        1);
    return blocks;
}

// ---- Step 3: tiles ------------------------------------------------------------------------

// How a split held by both blocks, but not by all their distinct trees, enters the tile
// when it gets no bit column. With HR, HC its holders among the distinct row and column
// trees, it adds 1 to the shared count of the pairs HR x HC:
enum class Form : std::uint8_t {
    Cells,       // a few pairs: change each of their cells
    AllRows,     // HR is every row tree: lower the column bases of HC
    AllColumns,  // HC is every column tree: lower the row bases of HR
};

struct SparseSplit {
    std::uint32_t r;  // union entry in the row block
    std::uint32_t c;  // union entry in the column block
    Form form;
};

// A bit column costs each pair 1/64 of a word; a cell change costs about as much as a few
// words. A split that touches at most pairs / kDenseDivisor cells changes them.
constexpr std::uint64_t kDenseDivisor = 256;

// Per-worker buffers, reused from tile to tile (they grow, never shrink).
struct TileScratch {
    std::vector<SparseSplit> sparse;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> dense;  // union entries, by column
    std::vector<std::uint64_t> bits_r;  // distinct row trees x words
    std::vector<std::uint64_t> bits_c;
    std::vector<std::uint32_t> base_r;  // per distinct row tree: its size, adjusted
    std::vector<std::uint32_t> base_c;  // per distinct column tree: size - 2 common, adjusted
    std::vector<std::uint32_t> values;  // distinct rows x distinct columns
    std::vector<std::uint32_t> spread;  // positions x positions
};

TileScratch& tile_scratch() {
    return thread_scratch<TileScratch>();
}

// What the pair loop reads: bit rows of both blocks over w words each.
struct TileBits {
    const std::uint64_t* rows;
    const std::uint64_t* cols;
    const std::uint32_t* row_base;
    const std::uint32_t* col_base;
    std::size_t n_rows;
    std::size_t n_cols;
    std::size_t words;
    std::uint32_t* out;  // n_rows x n_cols
};

// value = row base + column base - 2 (shared bits), in wrapping 32-bit arithmetic.
template <std::size_t W>
[[gnu::always_inline]] inline void pair_rows_fixed(const TileBits& t) {
    for (std::size_t u = 0; u < t.n_rows; ++u) {
        const std::uint64_t* a = t.rows + u * W;
        const std::uint32_t base = t.row_base[u];
        std::uint32_t* out = t.out + u * t.n_cols;
        for (std::size_t v = 0; v < t.n_cols; ++v) {
            const std::uint64_t* b = t.cols + v * W;
            std::uint32_t shared = 0;
            for (std::size_t w = 0; w < W; ++w) {
                shared += static_cast<std::uint32_t>(__builtin_popcountll(a[w] & b[w]));
            }
            out[v] = base + t.col_base[v] - 2 * shared;
        }
    }
}

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

[[gnu::always_inline]] inline void pair_rows_any(const TileBits& t) {
    for (std::size_t u = 0; u < t.n_rows; ++u) {
        const std::uint64_t* a = t.rows + u * t.words;
        const std::uint32_t base = t.row_base[u];
        std::uint32_t* out = t.out + u * t.n_cols;
        for (std::size_t v = 0; v < t.n_cols; ++v) {
            const auto shared =
                static_cast<std::uint32_t>(and_popcount(a, t.cols + v * t.words, t.words));
            out[v] = base + t.col_base[v] - 2 * shared;
        }
    }
}

[[gnu::always_inline]] inline void pair_rows_body(const TileBits& t) {
    switch (t.words) {
        case 0:
            pair_rows_fixed<0>(t);
            return;
        case 1:
            pair_rows_fixed<1>(t);
            return;
        case 2:
            pair_rows_fixed<2>(t);
            return;
        case 3:
            pair_rows_fixed<3>(t);
            return;
        case 4:
            pair_rows_fixed<4>(t);
            return;
        default:
            pair_rows_any(t);
    }
}

using PairRowsFn = void (*)(const TileBits&);

void pair_rows_baseline(const TileBits& t) {
    pair_rows_body(t);
}

#if defined(__x86_64__)
[[gnu::target("popcnt")]] void pair_rows_popcnt(const TileBits& t) {
    pair_rows_body(t);
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

// Up to four words the fixed loops (vectorised over the columns by the compiler); from
// eight words, eight at a time per vector.
[[gnu::target("avx512f,avx512vpopcntdq,popcnt")]] void pair_rows_avx512(const TileBits& t) {
    if (t.words < 8) {
        pair_rows_body(t);
        return;
    }
    const std::size_t full = t.words / 8 * 8;
    const auto tail = static_cast<__mmask8>((1u << (t.words % 8)) - 1);
    for (std::size_t u = 0; u < t.n_rows; ++u) {
        const std::uint64_t* a = t.rows + u * t.words;
        const std::uint32_t base = t.row_base[u];
        std::uint32_t* out = t.out + u * t.n_cols;
        for (std::size_t v = 0; v < t.n_cols; ++v) {
            const auto shared = static_cast<std::uint32_t>(
                and_popcount_avx512(a, t.cols + v * t.words, full, tail));
            out[v] = base + t.col_base[v] - 2 * shared;
        }
    }
}

#endif

constexpr dispatch::Variant<PairRowsFn> kPairRows[] = {
#if defined(__x86_64__)
    {"avx512", dispatch::kPopcnt | dispatch::kAvx512f | dispatch::kAvx512Vpopcntdq,
     pair_rows_avx512},
    {"popcnt", dispatch::kPopcnt, pair_rows_popcnt},
#endif
    {"baseline", dispatch::kNone, pair_rows_baseline},
};

// Adds `delta` to values[u][v] for u in rows, v in cols.
void add_to_cells(std::span<const std::uint8_t> rows, std::span<const std::uint8_t> cols,
                  std::uint32_t delta, std::uint32_t* values, std::size_t n_cols) {
    for (const std::uint8_t u : rows) {
        std::uint32_t* row = values + std::size_t{u} * n_cols;
        for (const std::uint8_t v : cols) {
            row[v] += delta;
        }
    }
}

void add_to_bases(std::span<const std::uint8_t> trees, std::uint32_t delta, std::uint32_t* base) {
    for (const std::uint8_t u : trees) {
        base[u] += delta;
    }
}

// 3a. Sorts the splits both blocks hold into `common` (held by every distinct tree of
// both), sparse forms and bit columns.
std::uint32_t classify_shared_splits(const Block& rb, const Block& cb, TileScratch& s) {
    const std::uint64_t n_r = rb.n_distinct();
    const std::uint64_t n_c = cb.n_distinct();
    const std::uint64_t column_cost = n_r * n_c / kDenseDivisor;
    s.sparse.clear();
    s.dense.clear();
    std::uint32_t common = 0;
    for (std::size_t i = 0, j = 0; i < rb.splits.size() && j < cb.splits.size();) {
        if (rb.splits[i] < cb.splits[j]) {
            ++i;
            continue;
        }
        if (cb.splits[j] < rb.splits[i]) {
            ++j;
            continue;
        }
        const std::uint64_t a = rb.n_holders(i);
        const std::uint64_t c = cb.n_holders(j);
        const auto sparse = [&](Form form) {
            s.sparse.push_back(
                SparseSplit{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), form});
        };
        if (a == n_r && c == n_c) {
            ++common;
        } else if (a == n_r) {
            sparse(Form::AllRows);
        } else if (c == n_c) {
            sparse(Form::AllColumns);
        } else if (a * c <= column_cost) {
            sparse(Form::Cells);
        } else {
            s.dense.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
        }
        ++i;
        ++j;
    }
    return common;
}

// Bit rows of the distinct trees of both blocks over the dense columns.
void pack_bits(const Block& rb, const Block& cb, std::size_t words, TileScratch& s) {
    std::uint64_t* bits_r = sized(s.bits_r, rb.n_distinct() * words);
    std::uint64_t* bits_c = sized(s.bits_c, cb.n_distinct() * words);
    std::fill(bits_r, bits_r + rb.n_distinct() * words, std::uint64_t{0});
    std::fill(bits_c, bits_c + cb.n_distinct() * words, std::uint64_t{0});
    for (std::size_t k = 0; k < s.dense.size(); ++k) {
        const std::uint64_t bit = std::uint64_t{1} << (k % 64);
        for (const std::uint8_t u : rb.holders_of(s.dense[k].first)) {
            bits_r[u * words + k / 64] |= bit;
        }
        for (const std::uint8_t v : cb.holders_of(s.dense[k].second)) {
            bits_c[v * words + k / 64] |= bit;
        }
    }
}

// Returns the tile's pair count.
std::uint64_t run_tile(const Block& rb, const Block& cb, bool symmetric, bool indexed,
                       PairRowsFn pair_rows, FunctionRef<void(const Tile<std::uint32_t>&)> sink) {
    TileScratch& s = tile_scratch();
    const std::size_t n_r = rb.n_distinct();
    const std::size_t n_c = cb.n_distinct();

    // 3a.
    const std::uint32_t common = classify_shared_splits(rb, cb, s);

    // Bases: value(u, v) = base_r[u] + base_c[v] - 2 (bits shared) + cell changes, all in
    // wrapping 32-bit arithmetic, whose sum is the low 32 bits of the exact value.
    std::uint32_t* base_r = sized(s.base_r, n_r);
    std::uint32_t* base_c = sized(s.base_c, n_c);
    std::copy(rb.sizes.begin(), rb.sizes.end(), base_r);
    for (std::size_t v = 0; v < n_c; ++v) {
        base_c[v] = cb.sizes[v] - 2 * common;
    }
    for (const SparseSplit& split : s.sparse) {
        if (split.form == Form::AllRows) {
            add_to_bases(cb.holders_of(split.c), -2u, base_c);
        } else if (split.form == Form::AllColumns) {
            add_to_bases(rb.holders_of(split.r), -2u, base_r);
        }
    }

    // 3b, 3c.
    const std::size_t words = (s.dense.size() + 63) / 64;
    pack_bits(rb, cb, words, s);
    std::uint32_t* values = sized(s.values, n_r * n_c);
    pair_rows(TileBits{s.bits_r.data(), s.bits_c.data(), base_r, base_c, n_r, n_c, words, values});
    for (const SparseSplit& split : s.sparse) {
        if (split.form == Form::Cells) {
            add_to_cells(rb.holders_of(split.r), cb.holders_of(split.c), -2u, values, n_c);
        }
    }

    // 3d. Positions.
    Tile<std::uint32_t> tile;
    tile.row_begin = rb.begin;
    tile.row_end = rb.end;
    tile.col_begin = cb.begin;
    tile.col_end = cb.end;
    tile.diagonal = symmetric && &rb == &cb;
    tile.mirrored = symmetric && !tile.diagonal;
    if (rb.identity && cb.identity) {
        tile.values = values;
        tile.stride = n_c;
    } else if (indexed && 2 * n_r * n_c <= (rb.end - rb.begin) * (cb.end - cb.begin)) {
        // At most half the cells distinct: the sink gathers each distinct row and column
        // once. With fewer repeats, spreading first costs less than gathering per position.
        tile.values = values;
        tile.stride = n_c;
        tile.row_of = rb.distinct_of.data();
        tile.col_of = cb.distinct_of.data();
    } else {
        const std::size_t rows = rb.end - rb.begin;
        const std::size_t cols = cb.end - cb.begin;
        std::uint32_t* spread = sized(s.spread, rows * cols);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::uint32_t* from = values + rb.distinct_of[r] * n_c;
            std::uint32_t* to = spread + r * cols;
            for (std::size_t c = 0; c < cols; ++c) {
                to[c] = from[cb.distinct_of[c]];
            }
        }
        tile.values = spread;
        tile.stride = cols;
    }
    sink(tile);
    return tile.pairs();
}

}  // namespace

std::vector<dispatch::VariantInfo> rf_tile_variants() {
    return dispatch::describe(kPairRows);
}

void rf_tiles(const SplitSets& sets, std::span<const std::uint32_t> rows,
              std::span<const std::uint32_t> cols,
              FunctionRef<void(const Tile<std::uint32_t>&)> sink,
              const TileOptions& options) {
    require(!options.row_owned, "RF tiles are not handed out by row block");
    if (rows.empty() || cols.empty()) {
        return;
    }
    const std::size_t n_trees = sets.n_trees();
    require(sets.offsets.size() == n_trees + 1 && sets.offsets[0] == 0 &&
                static_cast<std::uint64_t>(sets.offsets[n_trees]) <= sets.ids.size(),
            "split set offsets do not describe the id array");
    for (std::size_t t = 0; t < n_trees; ++t) {
        require(sets.offsets[t] <= sets.offsets[t + 1], "split set offsets decrease");
    }
    const bool symmetric = std::equal(rows.begin(), rows.end(), cols.begin(), cols.end());
    for (const std::uint32_t t : rows) {
        require(t < n_trees, "row tree index out of range");
    }
    if (!symmetric) {
        for (const std::uint32_t t : cols) {
            require(t < n_trees, "column tree index out of range");
        }
    }

    std::vector<std::uint32_t> listed(rows.begin(), rows.end());
    if (!symmetric) {
        listed.insert(listed.end(), cols.begin(), cols.end());
    }
    const std::vector<std::uint32_t> rep = representatives(sets, listed);
    listed = {};

    const std::size_t tile =
        detail::tile_side(std::max(rows.size(), cols.size()), options.tile_size);
    const std::vector<Block> row_blocks = build_blocks(sets, rows, rep, tile);
    const std::vector<Block> col_blocks =
        symmetric ? std::vector<Block>() : build_blocks(sets, cols, rep, tile);
    const std::vector<Block>& cblocks = symmetric ? row_blocks : col_blocks;

    // Tiles in row-major order, so that a worker's consecutive tiles share their row block.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tiles;
    for (std::size_t bi = 0; bi < row_blocks.size(); ++bi) {
        for (std::size_t bj = symmetric ? bi : 0; bj < cblocks.size(); ++bj) {
            tiles.emplace_back(static_cast<std::uint32_t>(bi), static_cast<std::uint32_t>(bj));
        }
    }

    const PairRowsFn pair_rows = dispatch::pick(kPairRows, options.features).fn;
    pool::parallel_for(
        0, tiles.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint64_t pairs =
                    run_tile(row_blocks[tiles[k].first], cblocks[tiles[k].second], symmetric,
                             options.indexed, pair_rows, sink);
                if (options.progress != nullptr) {
                    // Relaxed: the counter only reports progress and orders no other memory.
                    options.progress->fetch_add(pairs, std::memory_order_relaxed);
                }
            }
        },
        1);
}

}  // namespace kestrilune
