#include "table/queries.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include "bitset/bitset.hpp"
#include "common/errors.hpp"
#include "common/thread_scratch.hpp"
#include "distances/rf_tiles.hpp"
#include "distances/weighted_tiles.hpp"
#include "pool/pool.hpp"

namespace kestrilune {
namespace {

// Runs the tiles of d over rows x cols; the sink takes either tile type (Tile<std::uint32_t>
// or Tile<double>). Both kernels give each tile bit rows or length columns over only what its
// blocks hold. `row_owned` (weighted only) gives each row block to one task, columns in
// order.
template <class Sink>
void tiles(const Distances& d, std::span<const std::uint32_t> rows,
           std::span<const std::uint32_t> cols, Sink&& sink, const TileOptions& options,
           bool row_owned = false) {
    if (d.metric == Metric::Rf) {
        require(!row_owned, "RF tiles are not handed out by row block");
        const SplitSets sets{d.table->indptr, d.table->ids};
        // Every sink here reads a tile through Tile::at, which follows the indices of a tile
        // given per distinct tree.
        TileOptions o = options;
        o.indexed = true;
        rf_tiles(sets, rows, cols, [&](const Tile<std::uint32_t>& t) { sink(t); }, o);
        return;
    }
    TileOptions o = options;
    o.row_owned = row_owned;
    weighted_tiles(d.metric, d.weighted->sets(), rows, cols,
                   [&](const Tile<double>& t) { sink(t); }, o);
}

template <class T>
T* cell_ptr(const CellOut& out, std::int64_t offset) {
    return static_cast<T*>(out.base) + offset;
}

// Calls fn.template operator()<T>() with T the C++ type of the cell type.
template <class Fn>
decltype(auto) with_cell_type(CellType type, Fn&& fn) {
    switch (type) {
        case CellType::U8:
            return fn.template operator()<std::uint8_t>();
        case CellType::U16:
            return fn.template operator()<std::uint16_t>();
        case CellType::U32:
            return fn.template operator()<std::uint32_t>();
        case CellType::U64:
            return fn.template operator()<std::uint64_t>();
        case CellType::I32:
            return fn.template operator()<std::int32_t>();
        case CellType::I64:
            return fn.template operator()<std::int64_t>();
        case CellType::F32:
            return fn.template operator()<float>();
        case CellType::F64:
            break;
    }
    return fn.template operator()<double>();
}

std::size_t held_by_all(const SplitTable& table) {
    std::vector<std::uint32_t> holders(table.n_splits(), 0);
    for (const std::uint32_t id : table.ids) {
        ++holders[id];
    }
    return static_cast<std::size_t>(
        std::count(holders.begin(), holders.end(), static_cast<std::uint32_t>(table.n_trees())));
}

std::size_t leaf_count(const SplitTable& table) {
    std::vector<std::uint64_t> all(table.n_words, 0);
    for (std::size_t s = 0; s < table.n_splits(); ++s) {
        const std::span<const std::uint64_t> w = table.split_words(s);
        for (std::size_t k = 0; k < w.size(); ++k) {
            all[k] |= w[k];
        }
    }
    return count_ones(all);
}

}  // namespace

std::uint64_t rf_bound(const SplitTable& table, std::span<const std::uint32_t> rows,
                       std::span<const std::uint32_t> cols) {
    auto largest = [&](std::span<const std::uint32_t> list) {
        std::uint64_t most = 0;
        for (const std::uint32_t t : list) {
            most = std::max<std::uint64_t>(most, table.tree_ids(t).size());
        }
        return most;
    };
    const std::uint64_t shared = held_by_all(table);
    const std::uint64_t sum = largest(rows) + largest(cols);
    return sum > 2 * shared ? sum - 2 * shared : 0;
}

void write_block(const Distances& d, std::span<const std::uint32_t> rows,
                        std::span<const std::uint32_t> cols, const CellOut& out,
                        const TileOptions& options) {
    with_cell_type(out.type, [&]<class T>() {
        tiles(
            d, rows, cols,
            [&](const auto& t) {
                for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                    T* row = cell_ptr<T>(out, static_cast<std::int64_t>(r) * out.row_stride);
                    for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                        row[static_cast<std::int64_t>(c) * out.col_stride] =
                            static_cast<T>(t.at(r, c));
                    }
                }
                // The transpose goes row by row of the output too: writing it down the
                // columns would touch a cache line per cell.
                for (std::size_t c = t.mirrored ? t.col_begin : t.col_end; c < t.col_end; ++c) {
                    T* row = cell_ptr<T>(out, static_cast<std::int64_t>(c) * out.row_stride);
                    for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                        row[static_cast<std::int64_t>(r) * out.col_stride] =
                            static_cast<T>(t.at(r, c));
                    }
                }
            },
            options);
    });
}

void write_condensed(const Distances& d, std::span<const std::uint32_t> index,
                            const CellOut& out, const TileOptions& options) {
    const auto m = static_cast<std::int64_t>(index.size());
    with_cell_type(out.type, [&]<class T>() {
        tiles(
            d, index, index,
            [&](const auto& t) {
                for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                    const auto i = static_cast<std::int64_t>(r);
                    const std::int64_t row_start = i * m - i * (i + 1) / 2 - i - 1;
                    for (std::size_t c = std::max(t.col_begin, r + 1); c < t.col_end; ++c) {
                        const std::int64_t at = row_start + static_cast<std::int64_t>(c);
                        *cell_ptr<T>(out, at * out.col_stride) = static_cast<T>(t.at(r, c));
                    }
                }
            },
            options);
    });
}

void row_sums(const Distances& d, std::span<const std::uint32_t> rows,
                     std::span<const std::uint32_t> cols, std::span<double> sums,
                     const TileOptions& options) {
    require(sums.size() == rows.size(), "one sum per row");
    if (d.metric != Metric::Rf) {
        // One task per row block, columns in order: each row adds its cells in a fixed
        // order, whatever the pool does.
        std::fill(sums.begin(), sums.end(), 0.0);
        tiles(
            d, rows, cols,
            [&](const auto& t) {
                for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                    double s = sums[r];
                    for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                        s += t.at(r, c);
                    }
                    sums[r] = s;
                }
            },
            options, true);
        return;
    }
    // RF sums are exact integers, so each pair is computed once and its tile's partial
    // sums are added under a lock, once per tile.
    std::vector<std::uint64_t> total(rows.size(), 0);
    std::vector<std::uint64_t> col_total(cols.size(), 0);
    std::mutex lock;
    tiles(
        d, rows, cols,
        [&](const auto& t) {
            auto& by_row = thread_scratch<struct ByRow, std::vector<std::uint64_t>>();
            auto& by_col = thread_scratch<struct ByCol, std::vector<std::uint64_t>>();
            by_row.assign(t.row_end - t.row_begin, 0);
            by_col.assign(t.col_end - t.col_begin, 0);
            for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                    const auto v = static_cast<std::uint64_t>(t.at(r, c));
                    by_row[r - t.row_begin] += v;
                    by_col[c - t.col_begin] += v;
                }
            }
            std::lock_guard guard(lock);
            for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                total[r] += by_row[r - t.row_begin];
            }
            if (t.mirrored) {  // the transpose adds this tile's columns to their rows
                for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                    total[c] += by_col[c - t.col_begin];
                }
            }
        },
        options);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        sums[r] = static_cast<double>(total[r]);
    }
}

void nearest(const Distances& d, std::span<const std::uint32_t> index, std::size_t k,
                    std::span<std::int64_t> neighbours, std::span<double> distances,
                    const TileOptions& options) {
    require(k < index.size() && neighbours.size() == index.size() * k &&
                distances.size() == index.size() * k,
            "nearest: k and output sizes");
    std::fill(neighbours.begin(), neighbours.end(), -1);
    std::fill(distances.begin(), distances.end(), std::numeric_limits<double>::infinity());
    // Every row keeps its k best (distance, position) pairs in ascending order, NaN after
    // every number: a total order (positions differ), so the result does not depend on
    // which tile comes first. A tile finds each of its rows' best k alone, then merges them
    // in under the lock.
    using Candidate = std::pair<double, std::int64_t>;
    const auto before = [](const Candidate& a, const Candidate& b) {
        if (a.first < b.first) {
            return true;
        }
        if (a.first > b.first) {
            return false;
        }
        if (a.first == b.first) {
            return a.second < b.second;
        }
        // Unordered: one or both NaN.
        const bool a_nan = std::isnan(a.first);
        return a_nan != std::isnan(b.first) ? !a_nan : a.second < b.second;
    };
    std::mutex lock;
    auto merge = [&](std::size_t row, std::vector<Candidate>& found) {
        std::int64_t* nb = neighbours.data() + row * k;
        double* dist = distances.data() + row * k;
        for (std::size_t q = 0; q < k && nb[q] >= 0; ++q) {
            found.emplace_back(dist[q], nb[q]);
        }
        const std::size_t keep = std::min(k, found.size());
        std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(keep),
                          found.end(), before);
        for (std::size_t q = 0; q < keep; ++q) {
            dist[q] = found[q].first;
            nb[q] = found[q].second;
        }
    };
    tiles(
        d, index, index,
        [&](const auto& t) {
            auto& best = thread_scratch<struct Best, std::vector<std::vector<Candidate>>>();
            const std::size_t n_rows = t.row_end - t.row_begin;
            const std::size_t n_cols = t.col_end - t.col_begin;
            best.resize(std::max(best.size(), n_rows + n_cols));
            auto offer = [&](std::vector<Candidate>& list, double v, std::size_t pos) {
                list.emplace_back(v, static_cast<std::int64_t>(pos));
                if (list.size() >= 4 * k + 16) {  // trim now and then: memory stays O(k)
                    std::nth_element(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(k),
                                     list.end(), before);
                    list.resize(k);
                }
            };
            for (std::size_t q = 0; q < n_rows + n_cols; ++q) {
                best[q].clear();
            }
            for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                    if (c == r) {
                        continue;
                    }
                    const auto v = static_cast<double>(t.at(r, c));
                    offer(best[r - t.row_begin], v, c);
                    if (t.mirrored) {
                        offer(best[n_rows + c - t.col_begin], v, r);
                    }
                }
            }
            std::lock_guard guard(lock);
            for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                merge(r, best[r - t.row_begin]);
            }
            if (t.mirrored) {
                for (std::size_t c = t.col_begin; c < t.col_end; ++c) {
                    merge(c, best[n_rows + c - t.col_begin]);
                }
            }
        },
        options);
}

void histogram(const Distances& d, std::span<const std::uint32_t> index,
                      std::span<const double> edges, std::span<std::int64_t> counts,
                      const TileOptions& options) {
    require(edges.size() >= 2 && counts.size() == edges.size() - 1, "histogram: bins");
    std::fill(counts.begin(), counts.end(), 0);
    std::mutex lock;
    const std::size_t n_bins = counts.size();
    tiles(
        d, index, index,
        [&](const auto& t) {
            auto& local = thread_scratch<struct Local, std::vector<std::int64_t>>();
            local.assign(n_bins, 0);
            for (std::size_t r = t.row_begin; r < t.row_end; ++r) {
                for (std::size_t c = t.diagonal ? r + 1 : t.col_begin; c < t.col_end; ++c) {
                    const double v = t.at(r, c);
                    if (!(v >= edges.front() && v <= edges.back())) {
                        continue;
                    }
                    auto bin = static_cast<std::size_t>(
                        std::upper_bound(edges.begin(), edges.end(), v) - edges.begin());
                    bin = std::min(bin, n_bins) - 1;
                    ++local[bin];
                }
            }
            std::lock_guard guard(lock);
            for (std::size_t b = 0; b < n_bins; ++b) {
                counts[b] += local[b];
            }
        },
        options);
}

LagSums lag_sums(const Distances& d, std::size_t n_groups, std::size_t max_lag,
                 const TileOptions& options) {
    const SplitTable& table = *d.table;
    std::vector<std::vector<std::uint32_t>> members(n_groups);
    for (std::size_t t = 0; t < table.n_trees(); ++t) {
        const auto g = static_cast<std::size_t>(table.groups[t]);
        require(g < n_groups, "group out of range");
        members[g].push_back(static_cast<std::uint32_t>(t));
    }
    // WRF and KF leave out the trees with a NaN or infinite length (whose cells are NaN,
    // infinite, or for KF 0.0 by its convention).
    std::vector<std::uint8_t> left_out(table.n_trees(), 0);
    if (d.metric != Metric::Rf) {
        for (std::size_t t = 0; t < table.n_trees(); ++t) {
            for (const double length : table.tree_lengths(t)) {
                left_out[t] |= static_cast<std::uint8_t>(!std::isfinite(length));
            }
        }
    }
    LagSums out;
    out.pairs.assign(n_groups * max_lag, 0);
    out.sum.assign(n_groups * max_lag, 0.0);
    out.sum_sq.assign(n_groups * max_lag, 0.0);
    // One task per (group, lag): its pairs in ascending t, so the sums do not depend on
    // the pool.
    pool::parallel_for(
        0, n_groups * max_lag,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t task = begin; task < end; ++task) {
                const std::vector<std::uint32_t>& trees = members[task / max_lag];
                const std::size_t lag = task % max_lag + 1;
                double s = 0.0;
                double s2 = 0.0;
                std::int64_t n = 0;
                for (std::size_t t = 0; t + lag < trees.size(); ++t) {
                    if (left_out[trees[t]] != 0 || left_out[trees[t + lag]] != 0) {
                        continue;
                    }
                    const double v = d.pair(trees[t], trees[t + lag]);
                    s += v;
                    s2 += v * v;
                    ++n;
                }
                out.pairs[task] = n;
                out.sum[task] = s;
                out.sum_sq[task] = s2;
                if (options.progress != nullptr) {
                    const std::size_t visited = trees.size() > lag ? trees.size() - lag : 0;
                    options.progress->fetch_add(static_cast<std::uint64_t>(visited),
                                                std::memory_order_relaxed);
                }
            }
        },
        1);
    return out;
}

Result<SplitTable, std::string> concat(const SplitTable& a, const SplitTable& b) {
    if (a.leaf_names != b.leaf_names || a.n_words != b.n_words || leaf_count(a) != leaf_count(b)) {
        return unexpected("Tree " + std::to_string(a.n_trees()) +
                          " has a different leaf set than tree 0. All trees must share the "
                          "same taxa.");
    }
    require(a.rooted == b.rooted, "tables of different comparison modes");
    SplitTable out;
    out.rooted = a.rooted;
    out.has_lengths = a.has_lengths && b.has_lengths;
    out.n_words = a.n_words;
    out.leaf_names = a.leaf_names;
    out.tree_names.assign(a.tree_names.begin(),
                          a.tree_names.begin() + static_cast<std::ptrdiff_t>(a.n_trees()));
    out.tree_names.insert(out.tree_names.end(), b.tree_names.begin(),
                          b.tree_names.begin() + static_cast<std::ptrdiff_t>(b.n_trees()));

    // Both tables list their splits in ascending leaf-set order: one merge gives the joint
    // columns and the (order-keeping) maps from each table's ids to them.
    std::vector<std::uint32_t> a_to(a.n_splits());
    std::vector<std::uint32_t> b_to(b.n_splits());
    std::vector<std::uint8_t> b_new(b.n_splits(), 0);
    std::size_t i = 0;
    std::size_t j = 0;
    std::uint32_t n_joint = 0;
    while (i < a.n_splits() || j < b.n_splits()) {
        const std::uint32_t joint = n_joint++;
        std::strong_ordering order = std::strong_ordering::less;
        if (i == a.n_splits()) {
            order = std::strong_ordering::greater;
        } else if (j < b.n_splits()) {
            order = compare_words(a.split_words(i), b.split_words(j));
        }
        const std::span<const std::uint64_t> w = order > 0 ? b.split_words(j) : a.split_words(i);
        out.words.insert(out.words.end(), w.begin(), w.end());
        if (order <= 0) {
            a_to[i++] = joint;
        }
        if (order >= 0) {
            b_new[j] = order > 0;
            b_to[j++] = joint;
        }
    }
    // First appearance: a's splits as in a; then b's new ones as the trees of b meet them,
    // each tree in ascending leaf-set order (its ascending ids).
    out.first_seen.assign(n_joint, 0);
    for (std::size_t s = 0; s < a.n_splits(); ++s) {
        out.first_seen[a_to[s]] = a.first_seen[s];
    }
    auto rank = static_cast<std::uint32_t>(a.n_splits());
    for (std::size_t t = 0; t < b.n_trees(); ++t) {
        for (const std::uint32_t id : b.tree_ids(t)) {
            if (b_new[id] == 1) {
                out.first_seen[b_to[id]] = rank++;
                b_new[id] = 2;
            }
        }
    }
    out.indptr = a.indptr;
    for (std::size_t t = 1; t < b.indptr.size(); ++t) {
        out.indptr.push_back(a.indptr.back() + b.indptr[t]);
    }
    out.ids.reserve(a.ids.size() + b.ids.size());
    for (const std::uint32_t id : a.ids) {
        out.ids.push_back(a_to[id]);
    }
    for (const std::uint32_t id : b.ids) {
        out.ids.push_back(b_to[id]);
    }
    if (out.has_lengths) {
        out.lengths = a.lengths;
        out.lengths.insert(out.lengths.end(), b.lengths.begin(), b.lengths.end());
    }
    // b's groups are numbered after a's; the joined numbers must stay group numbers.
    const std::int64_t offset =
        a.groups.empty() ? 0
                         : std::int64_t{*std::max_element(a.groups.begin(), a.groups.end())} + 1;
    const std::int64_t b_last =
        b.groups.empty() ? -1 : *std::max_element(b.groups.begin(), b.groups.end());
    if (offset + b_last > INT32_MAX) {
        return unexpected("cannot join: the second table's groups, numbered after the first's (" +
                          std::to_string(offset) + " and up), would pass 2**31 - 1");
    }
    out.groups = a.groups;
    for (const std::int32_t g : b.groups) {
        out.groups.push_back(static_cast<std::int32_t>(g + offset));
    }
    return out;
}

SplitTable take(const SplitTable& table, std::span<const std::uint32_t> trees) {
    SplitTable out;
    out.rooted = table.rooted;
    out.has_lengths = table.has_lengths;
    out.n_words = table.n_words;
    out.leaf_names = table.leaf_names;
    // New ids keep the ascending leaf-set order of the old ones, over the splits used.
    constexpr std::uint32_t kUnused = UINT32_MAX;
    std::vector<std::uint32_t> to(table.n_splits(), kUnused);
    std::size_t n_entries = 0;
    for (const std::uint32_t t : trees) {
        for (const std::uint32_t id : table.tree_ids(t)) {
            to[id] = 0;
        }
        n_entries += table.tree_ids(t).size();
    }
    std::uint32_t n_used = 0;
    for (std::size_t id = 0; id < to.size(); ++id) {
        if (to[id] != kUnused) {
            to[id] = n_used++;
            const std::span<const std::uint64_t> w = table.split_words(id);
            out.words.insert(out.words.end(), w.begin(), w.end());
        }
    }
    // First appearance as a call over these trees meets the splits: tree by tree, each in
    // ascending leaf-set order (its ascending ids).
    out.first_seen.assign(n_used, kUnused);
    std::uint32_t rank = 0;
    out.indptr.reserve(trees.size() + 1);
    out.indptr.push_back(0);
    out.ids.reserve(n_entries);
    if (out.has_lengths) {
        out.lengths.reserve(n_entries);
    }
    for (const std::uint32_t t : trees) {
        for (const std::uint32_t id : table.tree_ids(t)) {
            const std::uint32_t joint = to[id];
            if (out.first_seen[joint] == kUnused) {
                out.first_seen[joint] = rank++;
            }
            out.ids.push_back(joint);
        }
        if (out.has_lengths) {
            const std::span<const double> l = table.tree_lengths(t);
            out.lengths.insert(out.lengths.end(), l.begin(), l.end());
        }
        out.indptr.push_back(static_cast<std::int64_t>(out.ids.size()));
        out.tree_names.push_back(t < table.tree_names.size() ? table.tree_names[t] : "");
        if (!table.groups.empty()) {
            out.groups.push_back(table.groups[t]);
        }
    }
    return out;
}

}  // namespace kestrilune
