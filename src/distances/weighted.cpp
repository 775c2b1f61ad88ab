// Weighted RF and branch score.
//
// Every cell must equal, bit for bit, a fold over all ids k = 0 .. m-1 in ascending order
// of dense per-tree length rows (0.0 where a tree lacks k), one accumulator starting at
// -0.0. Doing that literally costs m steps per pair, and m (all distinct partitions of the
// call) is often a hundred times a tree's own partition count. Instead each row i of the
// matrix is computed for all j > i at once, walking the ids in ascending order and updating
// only the cells a term can change:
//
// - A term that is +0.0 or -0.0 leaves every accumulator unchanged except the starting
//   -0.0 (-0.0 + +0.0 = +0.0), and an accumulator that has left -0.0 never returns to it
//   (x + y is -0.0 only when both are -0.0). So a fold that starts at +0.0 and skips zero
//   terms gives the same bits whenever m > 0.
// - WRF: |D[i][k] - D[j][k]| is zero when neither tree holds k. For an id of tree i every
//   j > i gets a term (a dense, vectorised pass over the row); for any other id only the
//   trees that hold it do.
// - KF: D[i][k] * D[j][k] with a finite factor and a zero one is +-0.0, a no-op for dot
//   (and the sign of an all-zero dot never reaches the cell: s_i + s_j - (dot + dot) is the
//   same for +-0.0). Only ids held by both trees contribute, except that an inf or NaN
//   length times 0.0 is NaN; NaN absorbs every later term, so those are applied in any
//   order. The squared norms follow the same rule.
//
// Ids that many trees hold are also kept as dense columns (0.0 where absent), so the dense
// passes read them directly; rarer ids are scattered into a per-thread zero column, used
// and cleared again. Memory is the id lists plus the dense columns, never n x m.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/errors.hpp"
#include "distances/distances.hpp"

namespace kestrilune {
namespace {

using detail::checked_cells;
using detail::id_universe;

constexpr std::size_t kSparse = std::numeric_limits<std::size_t>::max();

// The lengths of a call by partition id (compressed columns).
struct LengthColumns {
    std::size_t n_trees = 0;
    std::size_t m = 0;                  // id universe
    std::vector<std::size_t> start;     // entries of id k: [start[k], start[k + 1])
    std::vector<std::uint32_t> tree;    // ascending within an id
    std::vector<double> length;
    std::vector<std::size_t> dense_at;  // per id: offset of its dense column, or kSparse
    std::vector<double> dense;          // n_trees values per dense column
    std::vector<std::uint32_t> non_finite_ids;  // ids with an inf or NaN length, ascending
};

// Entries a tree contributes: its ids paired with its lengths, over the shorter list.
std::size_t n_entries(const InternSnap& t) { return std::min(t.ids.size(), t.lengths.size()); }

LengthColumns length_columns(const std::vector<InternSnap>& trees) {
    LengthColumns c;
    c.n_trees = trees.size();
    c.m = id_universe(trees);
    require(c.n_trees < std::numeric_limits<std::uint32_t>::max(), "too many trees");
    c.start.assign(c.m + 1, 0);
    for (const InternSnap& t : trees) {
        for (std::size_t p = 0; p < n_entries(t); ++p) {
            require(t.ids[p] < c.m, "partition ids out of ascending order");
            ++c.start[t.ids[p] + 1];
        }
    }
    for (std::size_t k = 0; k < c.m; ++k) {
        c.start[k + 1] += c.start[k];
    }
    c.tree.resize(c.start[c.m]);
    c.length.resize(c.start[c.m]);
    std::vector<std::size_t> fill(c.start.begin(), c.start.end() - 1);
    for (std::size_t t = 0; t < trees.size(); ++t) {  // trees ascending: entries stay sorted
        for (std::size_t p = 0; p < n_entries(trees[t]); ++p) {
            const std::size_t at = fill[trees[t].ids[p]]++;
            c.tree[at] = static_cast<std::uint32_t>(t);
            c.length[at] = trees[t].lengths[p];
        }
    }

    // Dense columns for ids held by at least an eighth of the trees: at most eight times as
    // many columns as the average tree has partitions.
    const std::size_t threshold = std::max<std::size_t>(16, c.n_trees / 8);
    c.dense_at.assign(c.m, kSparse);
    std::size_t n_dense = 0;
    for (std::size_t k = 0; k < c.m; ++k) {
        if (c.start[k + 1] - c.start[k] >= threshold) {
            c.dense_at[k] = n_dense++ * c.n_trees;
        }
    }
    c.dense.assign(checked_cells(n_dense, c.n_trees, sizeof(double)), 0.0);
    for (std::size_t k = 0; k < c.m; ++k) {
        for (std::size_t e = c.start[k]; e < c.start[k + 1]; ++e) {
            if (c.dense_at[k] != kSparse) {
                c.dense[c.dense_at[k] + c.tree[e]] = c.length[e];
            }
            if (!std::isfinite(c.length[e]) &&
                (c.non_finite_ids.empty() || c.non_finite_ids.back() != k)) {
                c.non_finite_ids.push_back(static_cast<std::uint32_t>(k));
            }
        }
    }
    return c;
}

// Per-thread scratch: accumulators for one matrix row and a column that is all zero
// between uses. Grows, never shrinks.
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

// Calls fn(tree, length) for the entries of id k that belong to trees after `i`.
template <class Fn>
[[gnu::always_inline]] inline void for_entries_after(const LengthColumns& c, std::size_t k,
                                                     std::size_t i, Fn&& fn) {
    for (std::size_t e = c.start[k + 1]; e > c.start[k] && c.tree[e - 1] > i; --e) {
        fn(c.tree[e - 1], c.length[e - 1]);
    }
}

// The values of id k for every tree: its dense column, or the scratch column with the
// entries after `i` scattered into it (cleared again by unscatter).
[[gnu::always_inline]] inline const double* column_of(const LengthColumns& c, std::size_t k,
                                                      std::size_t i, double* scratch) {
    if (c.dense_at[k] != kSparse) {
        return c.dense.data() + c.dense_at[k];
    }
    for_entries_after(c, k, i, [&](std::uint32_t t, double v) { scratch[t] = v; });
    return scratch;
}

[[gnu::always_inline]] inline void unscatter(const LengthColumns& c, std::size_t k, std::size_t i,
                                             double* scratch) {
    if (c.dense_at[k] == kSparse) {
        for_entries_after(c, k, i, [&](std::uint32_t t, double) { scratch[t] = 0.0; });
    }
}

// Row i of the WRF matrix: cells j = i+1 .. n-1.
[[gnu::always_inline]] inline void wrf_row_body(const LengthColumns& c, const InternSnap& ti,
                                                std::size_t i, double* row) {
    const std::size_t n = c.n_trees;
    const std::size_t first = i + 1;
    if (c.m == 0) {
        std::fill(row + first, row + n, -0.0);  // the empty sum
        return;
    }
    RowScratch& scratch = row_scratch(n);
    double* __restrict acc = scratch.acc.data();
    double* scratch_column = scratch.column.data();
    std::fill(acc + first, acc + n, 0.0);
    const std::size_t own = n_entries(ti);
    std::size_t p = 0;
    for (std::size_t k = 0; k < c.m; ++k) {
        if (p < own && ti.ids[p] == k) {
            const double a = ti.lengths[p++];
            const double* __restrict x = column_of(c, k, i, scratch_column);
            for (std::size_t j = first; j < n; ++j) {
                acc[j] += std::fabs(a - x[j]);
            }
            unscatter(c, k, i, scratch_column);
        } else {
            for_entries_after(c, k, i,
                              [&](std::uint32_t j, double v) { acc[j] += std::fabs(0.0 - v); });
        }
    }
    std::copy(acc + first, acc + n, row + first);
}

struct KfInputs {
    const LengthColumns* columns;
    const double* norms;  // s_t
};

// Row i of the KF matrix.
[[gnu::always_inline]] inline void kf_row_body(const KfInputs& in, const InternSnap& ti,
                                               std::size_t i, double* row) {
    const LengthColumns& c = *in.columns;
    const std::size_t n = c.n_trees;
    const std::size_t first = i + 1;
    RowScratch& scratch = row_scratch(n);
    double* __restrict dot = scratch.acc.data();
    double* scratch_column = scratch.column.data();
    std::fill(dot + first, dot + n, -0.0);
    const std::size_t own = n_entries(ti);
    for (std::size_t p = 0; p < own; ++p) {
        const std::size_t k = ti.ids[p];
        const double a = ti.lengths[p];
        if (c.dense_at[k] == kSparse && std::isfinite(a)) {
            // a * 0.0 is a zero term: only the trees holding k matter.
            for_entries_after(c, k, i, [&](std::uint32_t j, double v) { dot[j] += a * v; });
            continue;
        }
        const double* __restrict x = column_of(c, k, i, scratch_column);
        for (std::size_t j = first; j < n; ++j) {
            dot[j] += a * x[j];
        }
        unscatter(c, k, i, scratch_column);
    }
    // 0.0 times an inf or NaN length of an id tree i lacks: NaN, whatever its position.
    std::size_t p = 0;
    for (const std::uint32_t k : c.non_finite_ids) {
        while (p < own && ti.ids[p] < k) {
            ++p;
        }
        if (p < own && ti.ids[p] == k) {
            continue;
        }
        for_entries_after(c, k, i, [&](std::uint32_t j, double v) { dot[j] += 0.0 * v; });
    }
    const double s_i = in.norms[i];
    for (std::size_t j = first; j < n; ++j) {
        const double q = (s_i + in.norms[j]) - (dot[j] + dot[j]);
        row[j] = q > 0.0 ? std::sqrt(q) : 0.0;  // max(q, +0.0) with NaN -> +0.0
    }
}

// Each row loop is compiled for the baseline target and, on x86-64, for AVX2 and AVX-512,
// so the dense passes use the widest vectors the dispatch level allows. Lanes are different
// cells; each cell still adds its terms one at a time in id order.
struct Rows {
    const LengthColumns* columns;
    const std::vector<InternSnap>* trees;
    KfInputs kf;
};

using RowFn = void (*)(const Rows&, std::size_t, double*);

void wrf_row_baseline(const Rows& r, std::size_t i, double* row) {
    wrf_row_body(*r.columns, (*r.trees)[i], i, row);
}
void kf_row_baseline(const Rows& r, std::size_t i, double* row) {
    kf_row_body(r.kf, (*r.trees)[i], i, row);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void wrf_row_avx2(const Rows& r, std::size_t i, double* row) {
    wrf_row_body(*r.columns, (*r.trees)[i], i, row);
}
[[gnu::target("avx2")]] void kf_row_avx2(const Rows& r, std::size_t i, double* row) {
    kf_row_body(r.kf, (*r.trees)[i], i, row);
}
[[gnu::target("avx512f")]] void wrf_row_avx512(const Rows& r, std::size_t i, double* row) {
    wrf_row_body(*r.columns, (*r.trees)[i], i, row);
}
[[gnu::target("avx512f")]] void kf_row_avx512(const Rows& r, std::size_t i, double* row) {
    kf_row_body(r.kf, (*r.trees)[i], i, row);
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

// Sum of squared lengths of each tree, in id order; see the file comment for why the
// zero terms of the ids a tree lacks can be left out when m > 0.
std::vector<double> squared_norms(const std::vector<InternSnap>& trees, std::size_t m) {
    std::vector<double> norms(trees.size(), m == 0 ? -0.0 : 0.0);
    for (std::size_t t = 0; t < trees.size(); ++t) {
        double s = norms[t];
        for (std::size_t p = 0; p < n_entries(trees[t]); ++p) {
            const double v = trees[t].lengths[p];
            s += v * v;
        }
        norms[t] = s;
    }
    return norms;
}

}  // namespace

namespace {

// Shared by both kernels: columns, then the rows in parallel with the picked row loop.
template <class Prepare>
void run_length_kernel(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                       double* cells, RowFn row_fn, Prepare&& prepare) {
    const std::size_t n = snapshots.trees.size();
    if (n == 0) {
        return;
    }
    checked_cells(n, n, sizeof(double));
    const LengthColumns columns = length_columns(snapshots.trees);
    const std::vector<double> norms = prepare(columns);
    const Rows rows{&columns, &snapshots.trees, KfInputs{&columns, norms.data()}};
    fill_symmetric_rows<double>(n, counter, cells,
                                [&](std::size_t i, double* row) { row_fn(rows, i, row); });
}

}  // namespace

std::vector<dispatch::VariantInfo> wrf_kernel_variants() {
    return dispatch::describe(kWrfRows);
}
std::vector<dispatch::VariantInfo> kf_kernel_variants() {
    return dispatch::describe(kKfRows);
}

void pairwise_wrf_dense(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                        double* cells, dispatch::Features features) {
    run_length_kernel(snapshots, counter, cells, dispatch::pick(kWrfRows, features).fn,
                      [](const LengthColumns&) { return std::vector<double>(); });
}

void pairwise_kf_dense(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
                       double* cells, dispatch::Features features) {
    run_length_kernel(
        snapshots, counter, cells, dispatch::pick(kKfRows, features).fn,
        [&](const LengthColumns& columns) { return squared_norms(snapshots.trees, columns.m); });
}

}  // namespace kestrilune
