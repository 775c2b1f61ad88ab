// Weighted RF and branch score.
//
// Every cell must equal, bit for bit, a fold over all ids k = 0 .. m-1 in ascending order
// of dense per-tree length rows (0.0 where a tree lacks k), one accumulator starting at
// -0.0. Doing that literally costs m steps per pair, and m (all distinct splits of the
// call) is often a hundred times a tree's own split count. Instead only the terms that
// can change a cell are added, in ascending id order:
//
// - A term that is +0.0 or -0.0 leaves every accumulator unchanged except the starting
//   -0.0 (-0.0 + +0.0 = +0.0), and an accumulator that has left -0.0 never returns to it
//   (x + y is -0.0 only when both are -0.0). So a fold that starts at +0.0 and skips zero
//   terms gives the same bits whenever m > 0.
// - WRF: |D[i][k] - D[j][k]| is zero when neither tree holds k, so a cell takes the ids
//   either of its trees holds. Tiles of row trees x column trees walk the ids their two
//   blocks hold (wrf_events.hpp); the module's matrix is the symmetric call of those tiles.
// - KF: D[i][k] * D[j][k] with a finite factor and a zero one is +-0.0, a no-op for dot
//   (and the sign of an all-zero dot never reaches the cell: s_i + s_j - (dot + dot) is the
//   same for +-0.0). Only ids held by both trees contribute, except that an inf or NaN
//   length times 0.0 is NaN; NaN absorbs every later term, so those are applied in any
//   order. The squared norms follow the same rule. One row tree is compared with a set of
//   column trees at once, walking the row tree's ids.
//
// For KF the column trees' lengths are gathered by id (LengthColumns): ids that many of
// them hold as dense columns (0.0 where absent), so the dense passes read them directly;
// rarer ids as lists, scattered into a per-thread zero column, used and cleared again. The
// module's KF takes all trees as columns once, row i against the columns after it; KF tiles
// gather one block of column trees at a time. Memory is the id lists plus the dense
// columns, never n x m.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "common/errors.hpp"
#include "common/thread_scratch.hpp"
#include "distances/distances.hpp"
#include "distances/matrix_writer.hpp"
#include "distances/tile_side.hpp"
#include "distances/weighted_tiles.hpp"
#include "distances/wrf_events.hpp"
#include "pool/pool.hpp"

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
    RowScratch& scratch = thread_scratch<RowScratch>();
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
};

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

void kf_row_baseline(const RowJob& job, double* out) {
    kf_row_body(job, out);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void kf_row_avx2(const RowJob& job, double* out) {
    kf_row_body(job, out);
}
[[gnu::target("avx512f")]] void kf_row_avx512(const RowJob& job, double* out) {
    kf_row_body(job, out);
}
#endif

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

}  // namespace

// The module's KF: all trees as columns once, then the rows in parallel.
void kf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter, double* cells,
               dispatch::Features features) {
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
    columns.norms.resize(n);
    for (std::size_t t = 0; t < n; ++t) {
        columns.norms[t] = squared_norm(tree(t).lengths, m);
    }
    const RowFn row_fn = dispatch::pick(kKfRows, features).fn;
    fill_symmetric_rows<double>(n, counter, cells, [&](std::size_t i, double* row) {
        const RowJob job{&columns, slot_of.data(), tree(i), columns.norms[i], i + 1};
        row_fn(job, row);
    });
}

// The module's WRF: the whole set as one symmetric call of the tiles, each tile writing its
// cells and their mirror images.
void wrf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter, double* cells,
                dispatch::Features features) {
    const std::vector<InternSnap>& trees = snapshots.trees;
    const std::size_t n = trees.size();
    if (n == 0) {
        return;
    }
    checked_cells(n, n, sizeof(double));
    require(n < kAbsent, "too many trees for 32-bit indices");
    std::vector<std::int64_t> offsets(n + 1, 0);
    for (std::size_t t = 0; t < n; ++t) {
        offsets[t + 1] = offsets[t] + static_cast<std::int64_t>(tree_lengths(trees[t]).ids.size());
    }
    std::vector<std::uint32_t> ids;
    std::vector<double> lengths;
    ids.reserve(static_cast<std::size_t>(offsets[n]));
    lengths.reserve(static_cast<std::size_t>(offsets[n]));
    for (const InternSnap& tree : trees) {
        const TreeLengths tl = tree_lengths(tree);
        ids.insert(ids.end(), tl.ids.begin(), tl.ids.end());
        lengths.insert(lengths.end(), tl.lengths.begin(), tl.lengths.end());
    }
    std::vector<std::uint32_t> all(n);
    std::iota(all.begin(), all.end(), std::uint32_t{0});
    LengthSets sets;
    sets.offsets = offsets;
    sets.ids = ids;
    sets.lengths = lengths;
    sets.universe = id_universe(trees);
    TileOptions options;
    options.progress = counter;
    options.features = features;
    weighted_tiles(Metric::Wrf, sets, all, all, detail::MatrixWriter<double>(cells, n), options);
}

namespace {

// ---- Tiles ---------------------------------------------------------------------------------

// What a worker keeps between tiles: the gathered columns, the id -> slot map (all
// kAbsent between tiles) and the tile's values. Grows, never shrinks.
struct TileScratch {
    LengthColumns columns;
    std::vector<std::uint32_t> slot_of;
    std::vector<double> values;
};

// KF of one tile: the column trees gathered by id, then each row tree against them. On a
// diagonal tile only the cells above the diagonal are computed.
void compute_kf_tile(const Tile<double>& tile, const LengthSets& sets,
                     std::span<const std::uint32_t> rows, const std::uint32_t* col_trees,
                     RowFn kf_fn, TileScratch& scratch) {
    LengthColumns& c = scratch.columns;
    gather_columns(
        c, tile.stride,
        [&](std::size_t t) {
            return TreeLengths{sets.tree_ids(col_trees[t]), sets.tree_lengths(col_trees[t])};
        },
        scratch.slot_of.data());
    c.norms.resize(tile.stride);
    for (std::size_t t = 0; t < tile.stride; ++t) {
        c.norms[t] = sets.norms[col_trees[t]];
    }
    for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
        const std::uint32_t tree = rows[r];
        double* out = scratch.values.data() + (r - tile.row_begin) * tile.stride;
        const std::size_t first = tile.diagonal ? r - tile.row_begin + 1 : 0;
        const RowJob job{&c, scratch.slot_of.data(),
                         {sets.tree_ids(tree), sets.tree_lengths(tree)}, sets.norms[tree], first};
        kf_fn(job, out);
    }
    release_slots(c, scratch.slot_of.data());
}

// The preconditions of weighted_tiles (an InternalError before any tile).
void check_tile_inputs(Metric metric, const LengthSets& sets,
                       std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols) {
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
    require(metric == Metric::Wrf || metric == Metric::Kf, "weighted tiles are WRF or KF");
    require(metric == Metric::Wrf || sets.norms.size() == n_trees, "KF needs norms");
    require(sets.universe < kAbsent, "too many ids");
}

// The tasks of a call: one tile (I, J) each, the upper triangle of a symmetric call, or
// with row_owned a whole row block (I, 0).
std::vector<std::pair<std::uint32_t, std::uint32_t>> tile_tasks(std::size_t row_blocks,
                                                                std::size_t col_blocks,
                                                                bool symmetric, bool row_owned) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks;
    for (std::size_t i = 0; i < row_blocks; ++i) {
        if (row_owned) {
            tasks.emplace_back(i, 0);
            continue;
        }
        for (std::size_t j = symmetric ? i : 0; j < col_blocks; ++j) {
            tasks.emplace_back(i, j);
        }
    }
    return tasks;
}

// Every block of `side` positions of `list` gathered by id, on the pool.
std::vector<detail::IdBlock> gather_blocks(const LengthSets& sets,
                                           std::span<const std::uint32_t> list, std::size_t side) {
    std::vector<detail::IdBlock> blocks((list.size() + side - 1) / side);
    pool::parallel_for(
        0, blocks.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b) {
                const std::size_t at = b * side;
                detail::gather_block(blocks[b], sets,
                                     list.subspan(at, std::min(side, list.size() - at)));
            }
        },
        1);
    return blocks;
}

// A tree against itself is the module's diagonal, 0.0, even where its fold is not (an inf
// or NaN length gives NaN there); a diagonal tile gets its lower triangle from the upper
// one. `values` holds the tile's cells, tile.stride per row.
void finish_tile(const Tile<double>& tile, std::span<const std::uint32_t> rows,
                 const std::uint32_t* col_trees, double* values) {
    for (std::size_t r = tile.row_begin; r < tile.row_end; ++r) {
        double* out = values + (r - tile.row_begin) * tile.stride;
        for (std::size_t k = 0; k < tile.stride; ++k) {
            if (col_trees[k] == rows[r]) {
                out[k] = 0.0;
            }
        }
    }
    if (tile.diagonal) {
        for (std::size_t a = 0; a < tile.stride; ++a) {
            values[a * tile.stride + a] = 0.0;
            for (std::size_t b = 0; b < a; ++b) {
                values[a * tile.stride + b] = values[b * tile.stride + a];
            }
        }
    }
}

}  // namespace

std::vector<double> length_norms(const LengthSets& sets) {
    std::vector<double> norms(sets.n_trees());
    for (std::size_t t = 0; t < norms.size(); ++t) {
        norms[t] = squared_norm(sets.tree_lengths(t), sets.universe);
    }
    return norms;
}

void weighted_tiles(Metric metric, const LengthSets& sets,
                    std::span<const std::uint32_t> rows, std::span<const std::uint32_t> cols,
                    FunctionRef<void(const Tile<double>&)> sink,
                    const TileOptions& options) {
    check_tile_inputs(metric, sets, rows, cols);
    const bool same_lists = std::equal(rows.begin(), rows.end(), cols.begin(), cols.end());
    const bool symmetric = !options.row_owned && same_lists;
    const std::size_t side =
        detail::tile_side(std::max(rows.size(), cols.size()), options.tile_size);
    const std::size_t row_blocks = (rows.size() + side - 1) / side;
    const std::size_t col_blocks = (cols.size() + side - 1) / side;
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> tasks =
        tile_tasks(row_blocks, col_blocks, symmetric, options.row_owned);
    const bool wrf = metric == Metric::Wrf;
    const RowFn kf_fn = dispatch::pick(kKfRows, options.features).fn;
    const detail::WrfTileFn wrf_fn = detail::pick_wrf_tile(options.features);
    const bool empty_universe = sets.universe == 0;

    // WRF: every block of positions gathered by id once, for all the tiles it takes part in.
    std::vector<detail::IdBlock> row_ids;
    std::vector<detail::IdBlock> col_ids_own;
    if (wrf && !empty_universe) {
        row_ids = gather_blocks(sets, rows, side);
        if (!same_lists) {
            col_ids_own = gather_blocks(sets, cols, side);
        }
    }
    const std::vector<detail::IdBlock>& col_ids = same_lists ? row_ids : col_ids_own;

    // The tile (i, j): its values into the worker's scratch, finished, then to the sink.
    auto run_tile = [&](std::size_t i, std::size_t j, TileScratch& scratch) {
        Tile<double> tile;
        tile.row_begin = i * side;
        tile.row_end = std::min(rows.size(), tile.row_begin + side);
        tile.col_begin = j * side;
        tile.col_end = std::min(cols.size(), tile.col_begin + side);
        tile.diagonal = symmetric && i == j;
        tile.mirrored = symmetric && i != j;
        tile.stride = tile.col_end - tile.col_begin;
        tile.values = scratch.values.data();

        const std::uint32_t* col_trees = cols.data() + tile.col_begin;
        double* const values = scratch.values.data();
        if (!wrf) {
            compute_kf_tile(tile, sets, rows, col_trees, kf_fn, scratch);
        } else if (empty_universe) {  // every fold is the empty sum
            std::fill_n(values, (tile.row_end - tile.row_begin) * tile.stride, -0.0);
        } else if (tile.diagonal) {  // finish_tile fills the lower triangle
            detail::wrf_diagonal_tile(wrf_fn, row_ids[i], values, tile.stride);
        } else {
            wrf_fn(row_ids[i], col_ids[j], values, tile.stride);
        }
        finish_tile(tile, rows, col_trees, values);
        sink(tile);
        if (options.progress != nullptr) {
            // Relaxed: the counter only reports progress.
            options.progress->fetch_add(tile.pairs(), std::memory_order_relaxed);
        }
    };

    pool::parallel_for(
        0, tasks.size(),
        [&](std::size_t begin, std::size_t end) {
            TileScratch& scratch = thread_scratch<TileScratch>();
            if (scratch.slot_of.size() < sets.universe) {
                scratch.slot_of.resize(sets.universe, kAbsent);
            }
            scratch.values.resize(side * side);
            for (std::size_t task = begin; task < end; ++task) {
                const std::size_t i = tasks[task].first;
                const std::size_t j_first = options.row_owned ? 0 : tasks[task].second;
                const std::size_t j_last = options.row_owned ? col_blocks : j_first + 1;
                for (std::size_t j = j_first; j < j_last; ++j) {
                    run_tile(i, j, scratch);
                }
            }
        },
        1);
}

std::vector<dispatch::VariantInfo> wrf_kernel_variants() {
    return detail::wrf_tile_variants();
}
std::vector<dispatch::VariantInfo> kf_kernel_variants() {
    return dispatch::describe(kKfRows);
}

}  // namespace kestrilune
