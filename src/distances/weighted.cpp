// Weighted RF and branch score.
//
// Every cell must equal, bit for bit, a fold over all ids k = 0 .. m-1 in ascending order
// of dense per-tree length rows (0.0 where a tree lacks k), one accumulator starting at
// -0.0. Doing that literally costs m steps per pair, and m (all distinct partitions of the
// call) is often a hundred times a tree's own partition count. Instead one row tree is
// compared with a whole set of column trees at once, walking the ids in ascending order
// and updating only the cells a term can change:
//
// - A term that is +0.0 or -0.0 leaves every accumulator unchanged except the starting
//   -0.0 (-0.0 + +0.0 = +0.0), and an accumulator that has left -0.0 never returns to it
//   (x + y is -0.0 only when both are -0.0). So a fold that starts at +0.0 and skips zero
//   terms gives the same bits whenever m > 0.
// - WRF: |D[i][k] - D[j][k]| is zero when neither tree holds k. For an id of the row tree
//   every column gets a term (a dense, vectorised pass over the row); for any other id
//   only the column trees that hold it do.
// - KF: D[i][k] * D[j][k] with a finite factor and a zero one is +-0.0, a no-op for dot
//   (and the sign of an all-zero dot never reaches the cell: s_i + s_j - (dot + dot) is the
//   same for +-0.0). Only ids held by both trees contribute, except that an inf or NaN
//   length times 0.0 is NaN; NaN absorbs every later term, so those are applied in any
//   order. The squared norms follow the same rule.
//
// The column trees' lengths are gathered by id (LengthColumns): ids that many of them hold
// as dense columns (0.0 where absent), so the dense passes read them directly; rarer ids
// as lists, scattered into a per-thread zero column, used and cleared again. The module's
// matrices take all trees as columns once, row i against the columns after it; tiles
// (weighted_tiles) gather one block of column trees at a time. Memory is the id lists plus
// the dense columns, never n x m.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/errors.hpp"
#include "distances/distances.hpp"
#include "distances/tile_side.hpp"
#include "distances/weighted_tiles.hpp"

namespace kestrilune {
namespace {

using detail::checked_cells;
using detail::id_universe;

constexpr std::size_t kSparse = std::numeric_limits<std::size_t>::max();
constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

// The ids and lengths one tree contributes (entries past the shorter list count as absent).
struct TreeLengths {
    std::span<const std::uint32_t> ids;
    std::span<const double> lengths;
};

TreeLengths tree_lengths(const InternSnap& t) {
    const std::size_t n = std::min(t.ids.size(), t.lengths.size());
    return {std::span(t.ids).first(n), std::span(t.lengths).first(n)};
}

// The lengths of a set of column trees (local positions 0 .. n_cols-1) by id. Slot q
// stands for id present[q]; its entries are ascending by column.
struct LengthColumns {
    std::size_t n_cols = 0;
    std::vector<std::uint32_t> present;  // ids held by some column tree, ascending
    std::vector<std::size_t> start;      // entries of slot q: [start[q], start[q + 1])
    std::vector<std::uint32_t> col;
    std::vector<double> length;
    std::vector<std::size_t> dense_at;      // per slot: offset of its dense column, or kSparse
    std::vector<double> dense;              // n_cols values per dense column
    std::vector<std::uint32_t> non_finite;  // slots with an inf or NaN length, ascending
    std::vector<double> norms;              // per column tree (KF)
    std::vector<std::size_t> fill;          // scratch of the build
};

// Gathers tree(0 .. n_cols-1). `slot_of` (one entry per id, all kAbsent on entry) is left
// mapping every present id to its slot; reset it with release_slots.
template <class TreeAt>
void gather_columns(LengthColumns& c, std::size_t n_cols, TreeAt&& tree, std::uint32_t* slot_of) {
    require(n_cols < kAbsent, "too many trees");
    c.n_cols = n_cols;
    c.present.clear();
    for (std::size_t t = 0; t < n_cols; ++t) {
        for (const std::uint32_t id : tree(t).ids) {
            if (slot_of[id] == kAbsent) {
                slot_of[id] = 0;
                c.present.push_back(id);
            }
        }
    }
    std::sort(c.present.begin(), c.present.end());
    const std::size_t n_slots = c.present.size();
    for (std::size_t q = 0; q < n_slots; ++q) {
        slot_of[c.present[q]] = static_cast<std::uint32_t>(q);
    }
    c.start.assign(n_slots + 1, 0);
    for (std::size_t t = 0; t < n_cols; ++t) {
        for (const std::uint32_t id : tree(t).ids) {
            ++c.start[slot_of[id] + 1];
        }
    }
    for (std::size_t q = 0; q < n_slots; ++q) {
        c.start[q + 1] += c.start[q];
    }
    c.col.resize(c.start[n_slots]);
    c.length.resize(c.start[n_slots]);
    c.fill.assign(c.start.begin(), c.start.end() - 1);
    for (std::size_t t = 0; t < n_cols; ++t) {  // columns ascending: entries stay sorted
        const TreeLengths tl = tree(t);
        for (std::size_t p = 0; p < tl.ids.size(); ++p) {
            const std::size_t at = c.fill[slot_of[tl.ids[p]]]++;
            c.col[at] = static_cast<std::uint32_t>(t);
            c.length[at] = tl.lengths[p];
        }
    }

    // Dense columns for ids held by at least an eighth of the columns: at most eight times
    // as many columns as the average tree has ids.
    const std::size_t threshold = std::max<std::size_t>(16, n_cols / 8);
    c.dense_at.assign(n_slots, kSparse);
    std::size_t n_dense = 0;
    for (std::size_t q = 0; q < n_slots; ++q) {
        if (c.start[q + 1] - c.start[q] >= threshold) {
            c.dense_at[q] = n_dense++ * n_cols;
        }
    }
    c.dense.assign(checked_cells(n_dense, n_cols, sizeof(double)), 0.0);
    c.non_finite.clear();
    for (std::size_t q = 0; q < n_slots; ++q) {
        for (std::size_t e = c.start[q]; e < c.start[q + 1]; ++e) {
            if (c.dense_at[q] != kSparse) {
                c.dense[c.dense_at[q] + c.col[e]] = c.length[e];
            }
            if (!std::isfinite(c.length[e]) && (c.non_finite.empty() || c.non_finite.back() != q)) {
                c.non_finite.push_back(static_cast<std::uint32_t>(q));
            }
        }
    }
}

void release_slots(const LengthColumns& c, std::uint32_t* slot_of) {
    for (const std::uint32_t id : c.present) {
        slot_of[id] = kAbsent;
    }
}

// Per-thread scratch: accumulators for one row and a column that is all zero between
// uses. Grows, never shrinks.
struct RowScratch {
    std::vector<double> acc;
    std::vector<double> column;
};

RowScratch& row_scratch(std::size_t n) {
    thread_local RowScratch scratch;
    if (scratch.acc.size() < n) {
        scratch.acc.resize(n);
        scratch.column.assign(n, 0.0);
    }
    return scratch;
}

// Calls fn(column, length) for the entries of slot q at columns >= first.
template <class Fn>
[[gnu::always_inline]] inline void for_entries_from(const LengthColumns& c, std::size_t q,
                                                    std::size_t first, Fn&& fn) {
    for (std::size_t e = c.start[q + 1]; e > c.start[q] && c.col[e - 1] >= first; --e) {
        fn(c.col[e - 1], c.length[e - 1]);
    }
}

// The values of slot q for every column: its dense column, or the scratch column with the
// entries from `first` on scattered into it (cleared again by unscatter).
[[gnu::always_inline]] inline const double* column_of(const LengthColumns& c, std::size_t q,
                                                      std::size_t first, double* scratch) {
    if (c.dense_at[q] != kSparse) {
        return c.dense.data() + c.dense_at[q];
    }
    for_entries_from(c, q, first, [&](std::uint32_t j, double v) { scratch[j] = v; });
    return scratch;
}

[[gnu::always_inline]] inline void unscatter(const LengthColumns& c, std::size_t q,
                                             std::size_t first, double* scratch) {
    if (c.dense_at[q] == kSparse) {
        for_entries_from(c, q, first, [&](std::uint32_t j, double) { scratch[j] = 0.0; });
    }
}

// One row tree against the columns [first, n_cols) of a LengthColumns: out[j] for those j.
struct RowJob {
    const LengthColumns* columns;
    const std::uint32_t* slot_of;  // id -> slot of `columns`, kAbsent if no column holds it
    TreeLengths row;
    double norm;  // KF: s of the row tree
    std::size_t first;
    bool empty_universe;  // no ids at all: WRF is the empty sum, -0.0
};

[[gnu::always_inline]] inline void wrf_row_body(const RowJob& job, double* out) {
    const LengthColumns& c = *job.columns;
    const std::size_t n = c.n_cols;
    const std::size_t first = job.first;
    if (job.empty_universe) {
        std::fill(out + first, out + n, -0.0);
        return;
    }
    RowScratch& scratch = row_scratch(n);
    double* __restrict acc = scratch.acc.data();
    double* scratch_column = scratch.column.data();
    std::fill(acc + first, acc + n, 0.0);
    const std::span<const std::uint32_t> ids = job.row.ids;
    const std::span<const double> lengths = job.row.lengths;
    const std::size_t own = ids.size();
    const std::size_t n_slots = c.present.size();
    std::size_t p = 0;
    std::size_t q = 0;
    while (p < own || q < n_slots) {
        if (q == n_slots || (p < own && ids[p] < c.present[q])) {
            // An id of the row tree that no column tree holds.
            const double a = lengths[p++];
            for (std::size_t j = first; j < n; ++j) {
                acc[j] += std::fabs(a - 0.0);
            }
        } else if (p < own && ids[p] == c.present[q]) {
            const double a = lengths[p++];
            const double* __restrict x = column_of(c, q, first, scratch_column);
            for (std::size_t j = first; j < n; ++j) {
                acc[j] += std::fabs(a - x[j]);
            }
            unscatter(c, q, first, scratch_column);
            ++q;
        } else {
            for_entries_from(c, q, first,
                             [&](std::uint32_t j, double v) { acc[j] += std::fabs(0.0 - v); });
            ++q;
        }
    }
    std::copy(acc + first, acc + n, out + first);
}

[[gnu::always_inline]] inline void kf_row_body(const RowJob& job, double* out) {
    const LengthColumns& c = *job.columns;
    const std::size_t n = c.n_cols;
    const std::size_t first = job.first;
    RowScratch& scratch = row_scratch(n);
    double* __restrict dot = scratch.acc.data();
    double* scratch_column = scratch.column.data();
    std::fill(dot + first, dot + n, -0.0);
    const std::span<const std::uint32_t> ids = job.row.ids;
    const std::span<const double> lengths = job.row.lengths;
    const std::size_t own = ids.size();
    for (std::size_t p = 0; p < own; ++p) {
        const std::uint32_t q = job.slot_of[ids[p]];
        const double a = lengths[p];
        if (q == kAbsent) {
            if (!std::isfinite(a)) {  // a * 0.0 is NaN for every column
                for (std::size_t j = first; j < n; ++j) {
                    dot[j] += a * 0.0;
                }
            }
            continue;
        }
        if (c.dense_at[q] == kSparse && std::isfinite(a)) {
            // a * 0.0 is a zero term: only the trees holding the id matter.
            for_entries_from(c, q, first, [&](std::uint32_t j, double v) { dot[j] += a * v; });
            continue;
        }
        const double* __restrict x = column_of(c, q, first, scratch_column);
        for (std::size_t j = first; j < n; ++j) {
            dot[j] += a * x[j];
        }
        unscatter(c, q, first, scratch_column);
    }
    // 0.0 times an inf or NaN length of an id the row tree lacks: NaN, whatever its position.
    std::size_t p = 0;
    for (const std::uint32_t q : c.non_finite) {
        const std::uint32_t k = c.present[q];
        while (p < own && ids[p] < k) {
            ++p;
        }
        if (p < own && ids[p] == k) {
            continue;
        }
        for_entries_from(c, q, first, [&](std::uint32_t j, double v) { dot[j] += 0.0 * v; });
    }
    const double s_i = job.norm;
    const double* norms = c.norms.data();
    for (std::size_t j = first; j < n; ++j) {
        const double d = (s_i + norms[j]) - (dot[j] + dot[j]);
        out[j] = d > 0.0 ? std::sqrt(d) : 0.0;  // max(d, +0.0) with NaN -> +0.0
    }
}

// Each row loop is compiled for the baseline target and, on x86-64, for AVX2 and AVX-512,
// so the dense passes use the widest vectors the dispatch level allows. Lanes are different
// cells; each cell still adds its terms one at a time in id order.
using RowFn = void (*)(const RowJob&, double*);

void wrf_row_baseline(const RowJob& job, double* out) {
    wrf_row_body(job, out);
}
void kf_row_baseline(const RowJob& job, double* out) {
    kf_row_body(job, out);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void wrf_row_avx2(const RowJob& job, double* out) {
    wrf_row_body(job, out);
}
[[gnu::target("avx2")]] void kf_row_avx2(const RowJob& job, double* out) {
    kf_row_body(job, out);
}
[[gnu::target("avx512f")]] void wrf_row_avx512(const RowJob& job, double* out) {
    wrf_row_body(job, out);
}
[[gnu::target("avx512f")]] void kf_row_avx512(const RowJob& job, double* out) {
    kf_row_body(job, out);
}
#endif

constexpr dispatch::Variant<RowFn> kWrfRows[] = {
#if defined(__x86_64__)
    {"avx512", dispatch::kAvx512f, wrf_row_avx512},
    {"avx2", dispatch::kAvx2, wrf_row_avx2},
#endif
    {"baseline", dispatch::kNone, wrf_row_baseline},
};

constexpr dispatch::Variant<RowFn> kKfRows[] = {
#if defined(__x86_64__)
    {"avx512", dispatch::kAvx512f, kf_row_avx512},
    {"avx2", dispatch::kAvx2, kf_row_avx2},
#endif
    {"baseline", dispatch::kNone, kf_row_baseline},
};

// Sum of squared lengths in id order; see the file comment for why the zero terms of the
// ids a tree lacks can be left out when the universe is not empty.
double squared_norm(std::span<const double> lengths, std::size_t universe) {
    double s = universe == 0 ? -0.0 : 0.0;
    for (const double v : lengths) {
        s += v * v;
    }
    return s;
}

// Shared by both module kernels: all trees as columns once, then the rows in parallel.
void run_length_kernel(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                       double* cells, WeightedMetric metric, dispatch::Features features) {
    const std::size_t n = snapshots.trees.size();
    if (n == 0) {
        return;
    }
    checked_cells(n, n, sizeof(double));
    const std::size_t m = id_universe(snapshots.trees);
    auto tree = [&](std::size_t t) { return tree_lengths(snapshots.trees[t]); };
    std::vector<std::uint32_t> slot_of(m, kAbsent);
    LengthColumns columns;
    gather_columns(columns, n, tree, slot_of.data());
    if (metric == WeightedMetric::Kf) {
        columns.norms.resize(n);
        for (std::size_t t = 0; t < n; ++t) {
            columns.norms[t] = squared_norm(tree(t).lengths, m);
        }
    }
    const RowFn row_fn = metric == WeightedMetric::Wrf ? dispatch::pick(kWrfRows, features).fn
                                                       : dispatch::pick(kKfRows, features).fn;
    fill_symmetric_rows<double>(n, counter, cells, [&](std::size_t i, double* row) {
        const RowJob job{&columns, slot_of.data(),
                         tree(i),  columns.norms.empty() ? 0.0 : columns.norms[i],
                         i + 1,    m == 0};
        row_fn(job, row);
    });
}

// ---- Tiles ---------------------------------------------------------------------------------

// What a worker keeps between tiles: the gathered columns, the id -> slot map (all
// kAbsent between tiles) and the tile's values. Grows, never shrinks.
struct TileScratch {
    LengthColumns columns;
    std::vector<std::uint32_t> slot_of;
    std::vector<double> values;
};

}  // namespace

std::vector<double> length_norms(const LengthSets& sets) {
    std::vector<double> norms(sets.n_trees());
    for (std::size_t t = 0; t < norms.size(); ++t) {
        norms[t] = squared_norm(sets.tree_lengths(t), sets.universe);
    }
    return norms;
}

std::uint64_t WeightedTile::pairs() const noexcept {
    const std::uint64_t rows = row_end - row_begin;
    return diagonal ? rows * (rows - (rows > 0 ? 1 : 0)) / 2 : rows * (col_end - col_begin);
}

WeightedTilesStatus weighted_tiles(WeightedMetric metric, const LengthSets& sets,
                                   std::span<const std::uint32_t> rows,
                                   std::span<const std::uint32_t> cols,
                                   FunctionRef<void(const WeightedTile&)> sink,
                                   const WeightedTileOptions& options) {
    const std::size_t n_trees = sets.n_trees();
    for (const std::span<const std::uint32_t> list : {rows, cols}) {
        for (const std::uint32_t t : list) {
            require(t < n_trees, "tree index out of range");
        }
    }
    require(sets.ids.size() == sets.lengths.size(), "one length per id");
    for (const std::uint32_t id : sets.ids) {
        require(id < sets.universe, "split id outside the universe");
    }
    require(metric == WeightedMetric::Wrf || sets.norms.size() == n_trees, "KF needs norms");
    require(sets.universe < kAbsent, "too many ids");

    const bool symmetric =
        !options.row_owned && std::equal(rows.begin(), rows.end(), cols.begin(), cols.end());
    const std::size_t side =
        detail::tile_side(std::max(rows.size(), cols.size()), options.tile_size);
    const std::size_t row_blocks = (rows.size() + side - 1) / side;
    const std::size_t col_blocks = (cols.size() + side - 1) / side;
    // Task: one tile (I, J), or with row_owned a whole row block.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks;
    for (std::size_t i = 0; i < row_blocks; ++i) {
        if (options.row_owned) {
            tasks.emplace_back(i, 0);
            continue;
        }
        for (std::size_t j = symmetric ? i : 0; j < col_blocks; ++j) {
            tasks.emplace_back(i, j);
        }
    }
    const RowFn row_fn = metric == WeightedMetric::Wrf
                             ? dispatch::pick(kWrfRows, options.features).fn
                             : dispatch::pick(kKfRows, options.features).fn;
    const bool empty_universe = sets.universe == 0;

    std::atomic<bool> skipped{false};
    pool::parallel_for(
        0, tasks.size(),
        [&](std::size_t begin, std::size_t end) {
            thread_local TileScratch scratch;
            if (scratch.slot_of.size() < sets.universe) {
                scratch.slot_of.resize(sets.universe, kAbsent);
            }
            scratch.values.resize(side * side);
            for (std::size_t task = begin; task < end; ++task) {
                const std::size_t i = tasks[task].first;
                const std::size_t j_first = options.row_owned ? 0 : tasks[task].second;
                const std::size_t j_last = options.row_owned ? col_blocks : j_first + 1;
                for (std::size_t j = j_first; j < j_last; ++j) {
                    // Relaxed: the flag is a request, it orders no data.
                    if (options.stop != nullptr && options.stop->load(std::memory_order_relaxed)) {
                        skipped.store(true, std::memory_order_relaxed);
                        return;
                    }
                    WeightedTile tile;
                    tile.row_begin = i * side;
                    tile.row_end = std::min(rows.size(), tile.row_begin + side);
                    tile.col_begin = j * side;
                    tile.col_end = std::min(cols.size(), tile.col_begin + side);
                    tile.diagonal = symmetric && i == j;
                    tile.mirrored = symmetric && i != j;
                    tile.stride = tile.col_end - tile.col_begin;
                    tile.values = scratch.values.data();

                    LengthColumns& c = scratch.columns;
                    const std::uint32_t* col_trees = cols.data() + tile.col_begin;
                    gather_columns(
                        c, tile.stride,
                        [&](std::size_t t) {
                            return TreeLengths{sets.tree_ids(col_trees[t]),
                                               sets.tree_lengths(col_trees[t])};
                        },
                        scratch.slot_of.data());
                    if (metric == WeightedMetric::Kf) {
                        c.norms.resize(tile.stride);
                        for (std::size_t t = 0; t < tile.stride; ++t) {
                            c.norms[t] = sets.norms[col_trees[t]];
                        }
                    }
                    for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
                        const std::uint32_t tree = rows[r];
                        double* out = scratch.values.data() + (r - tile.row_begin) * tile.stride;
                        const std::size_t first = tile.diagonal ? r - tile.row_begin + 1 : 0;
                        const RowJob job{&c,
                                         scratch.slot_of.data(),
                                         {sets.tree_ids(tree), sets.tree_lengths(tree)},
                                         metric == WeightedMetric::Kf ? sets.norms[tree] : 0.0,
                                         first,
                                         empty_universe};
                        row_fn(job, out);
                        // A tree against itself is the module's diagonal, 0.0, even where
                        // its fold is not (an inf or NaN length gives NaN there).
                        for (std::size_t k = first; k < tile.stride; ++k) {
                            if (col_trees[k] == tree) {
                                out[k] = 0.0;
                            }
                        }
                    }
                    release_slots(c, scratch.slot_of.data());
                    if (tile.diagonal) {  // zero diagonal, lower triangle from the upper one
                        double* v = scratch.values.data();
                        for (std::size_t a = 0; a < tile.stride; ++a) {
                            v[a * tile.stride + a] = 0.0;
                            for (std::size_t b = 0; b < a; ++b) {
                                v[a * tile.stride + b] = v[b * tile.stride + a];
                            }
                        }
                    }
                    sink(tile);
                    if (options.progress != nullptr) {
                        // Relaxed: the counter only reports progress.
                        options.progress->fetch_add(tile.pairs(), std::memory_order_relaxed);
                    }
                }
            }
        },
        1);
    return skipped.load() ? WeightedTilesStatus::Stopped : WeightedTilesStatus::Done;
}

std::vector<dispatch::VariantInfo> wrf_kernel_variants() {
    return dispatch::describe(kWrfRows);
}
std::vector<dispatch::VariantInfo> kf_kernel_variants() {
    return dispatch::describe(kKfRows);
}

void pairwise_wrf_dense(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                        double* cells, dispatch::Features features) {
    run_length_kernel(snapshots, counter, cells, WeightedMetric::Wrf, features);
}

void pairwise_kf_dense(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                       double* cells, dispatch::Features features) {
    run_length_kernel(snapshots, counter, cells, WeightedMetric::Kf, features);
}

}  // namespace kestrilune
