#include "stats/node_heights.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "pool/pool.hpp"

namespace kestrilune::stats {
namespace {

// Trees per block of the parallel loop: a tree of a few hundred leaves is a few
// microseconds of work, so a block stays well under a millisecond.
constexpr std::size_t kGrain = 64;

constexpr std::size_t kNoTree = std::numeric_limits<std::size_t>::max();

// One worker's scratch, sized once per block for its largest tree: nothing is allocated
// per tree.
struct Scratch {
    std::vector<std::int32_t> up;     // parent node; the root is node n, its own parent
    std::vector<std::int32_t> level;  // edges from the root, -1 until known
    std::vector<double> depth;
    std::vector<std::int32_t> stack;
    std::vector<std::int32_t> tip;   // node of each leaf, -1 for none
    std::vector<std::int32_t> node;  // node of each plan row
    std::vector<std::int32_t> pos;   // per split id: its entry in the current tree, or -1
};

std::int32_t common_ancestor(std::int32_t a, std::int32_t b, const Scratch& s) noexcept {
    while (s.level[static_cast<std::size_t>(a)] > s.level[static_cast<std::size_t>(b)]) {
        a = s.up[static_cast<std::size_t>(a)];
    }
    while (s.level[static_cast<std::size_t>(b)] > s.level[static_cast<std::size_t>(a)]) {
        b = s.up[static_cast<std::size_t>(b)];
    }
    while (a != b) {
        a = s.up[static_cast<std::size_t>(a)];
        b = s.up[static_cast<std::size_t>(b)];
    }
    return a;
}

// Tree t's heights and plan rows into h (from entry offset `first`) and ca (column `col`
// of T); false when its rows do not make a rooted tree holding every leaf the plan names.
bool one_tree(const TreeRows& rows, std::size_t t, std::size_t first, std::size_t col,
              std::size_t T, std::span<const PlanRow> plan, std::span<double> h,
              std::span<double> ca, Scratch& s) {
    const auto i0 = static_cast<std::size_t>(rows.indptr[t]);
    const auto i1 = static_cast<std::size_t>(rows.indptr[t + 1]);
    const std::size_t n = i1 - i0;
    const auto root = static_cast<std::int32_t>(n);
    const std::uint32_t* ids = rows.ids.data() + i0;
    for (std::size_t k = 0; k < n; ++k) {  // ids are checked to be below pos.size()
        s.pos[ids[k]] = static_cast<std::int32_t>(k);
    }
    bool ok = true;
    for (std::size_t k = 0; k < n; ++k) {
        const std::int32_t p = rows.parents[i0 + k];
        if (p < 0) {
            s.up[k] = root;
            continue;
        }
        const std::int32_t at =
            static_cast<std::size_t>(p) < s.pos.size() ? s.pos[static_cast<std::size_t>(p)] : -1;
        if (at < 0 || static_cast<std::size_t>(at) == k) {
            ok = false;  // a parent the tree lacks, or the entry itself
            break;
        }
        s.up[k] = at;
    }
    for (std::size_t k = 0; k < n; ++k) {
        s.pos[ids[k]] = -1;
    }
    if (!ok) {
        return false;
    }
    s.up[n] = root;
    std::fill_n(s.level.begin(), n, -1);
    s.level[n] = 0;
    s.depth[n] = 0.0;
    for (std::size_t k = 0; k < n; ++k) {  // each node once, parents before children
        std::size_t top = 0;
        auto x = static_cast<std::int32_t>(k);
        while (s.level[static_cast<std::size_t>(x)] < 0) {
            if (top == n) {
                return false;  // a cycle
            }
            s.stack[top++] = x;
            x = s.up[static_cast<std::size_t>(x)];
        }
        while (top > 0) {
            const auto y = static_cast<std::size_t>(s.stack[--top]);
            const auto p = static_cast<std::size_t>(s.up[y]);
            const double x_len = rows.lengths[i0 + y];
            s.depth[y] = s.depth[p] + (x_len > 0.0 ? x_len : 0.0);
            s.level[y] = s.level[p] + 1;
        }
    }
    std::fill(s.tip.begin(), s.tip.end(), -1);
    double height = 0.0;  // the largest leaf depth
    for (std::size_t k = 0; k < n; ++k) {
        const std::int32_t leaf = rows.leaf_of_split[ids[k]];
        if (leaf >= 0) {
            s.tip[static_cast<std::size_t>(leaf)] = static_cast<std::int32_t>(k);
            height = std::max(height, s.depth[k]);
        }
    }
    for (std::size_t k = 0; k < n; ++k) {
        h[first + k] = height - s.depth[k];
    }
    const double root_height = height - s.depth[n];
    h[h.size() - T + col] = root_height;
    for (std::size_t r = 0; r < plan.size(); ++r) {
        const auto [a, b] = plan[r];
        std::int32_t v = root;
        if (b >= 0) {
            v = common_ancestor(s.node[static_cast<std::size_t>(a)],
                                s.node[static_cast<std::size_t>(b)], s);
        } else if (a >= 0) {
            v = s.tip[static_cast<std::size_t>(a)];
            if (v < 0) {
                return false;
            }
        }
        s.node[r] = v;
        ca[r * T + col] = v == root ? root_height : h[first + static_cast<std::size_t>(v)];
    }
    return true;
}

std::optional<std::string> check(const TreeRows& rows, std::size_t t0, std::size_t t1,
                                 std::span<const PlanRow> plan, std::size_t n_leaves,
                                 std::size_t h_size, std::size_t ca_size) {
    const std::size_t n_trees = rows.indptr.empty() ? 0 : rows.indptr.size() - 1;
    if (rows.indptr.empty() || rows.indptr[0] != 0 ||
        static_cast<std::uint64_t>(rows.indptr.back()) != rows.ids.size() ||
        rows.parents.size() != rows.ids.size() || rows.lengths.size() != rows.ids.size()) {
        return "indptr, ids, parents and lengths do not describe the same entries";
    }
    if (t0 > t1 || t1 > n_trees) {
        return "the trees asked for are not in the table";
    }
    for (std::size_t t = 0; t < n_trees; ++t) {
        if (rows.indptr[t + 1] < rows.indptr[t] ||
            rows.indptr[t + 1] - rows.indptr[t] >= std::numeric_limits<std::int32_t>::max()) {
            return "indptr must not decrease";
        }
    }
    const auto E = static_cast<std::size_t>(rows.indptr[t1] - rows.indptr[t0]);
    for (std::size_t e = static_cast<std::size_t>(rows.indptr[t0]);
         e < static_cast<std::size_t>(rows.indptr[t1]); ++e) {
        if (rows.ids[e] >= rows.leaf_of_split.size()) {
            return "a split id beyond leaf_of_split";
        }
    }
    for (std::size_t r = 0; r < plan.size(); ++r) {
        const auto [a, b] = plan[r];
        const bool ok = b < 0 ? b == -1 && a >= -1 && a < static_cast<std::int64_t>(n_leaves)
                              : a >= 0 && a < static_cast<std::int64_t>(r) &&
                                    b < static_cast<std::int64_t>(r);
        if (!ok) {
            return "plan row " + std::to_string(r) + " names no leaf, root or earlier rows";
        }
    }
    if (h_size != E + (t1 - t0) || ca_size != plan.size() * (t1 - t0)) {
        return "the output sizes do not match the trees and the plan";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> node_heights(const TreeRows& rows, std::size_t t0, std::size_t t1,
                                        std::span<const PlanRow> plan, std::span<double> h,
                                        std::span<double> ca,
                                        std::atomic<std::uint64_t>* progress) {
    std::int32_t top_leaf = -1;
    for (const std::int32_t leaf : rows.leaf_of_split) {
        top_leaf = std::max(top_leaf, leaf);
    }
    const auto n_leaves = static_cast<std::size_t>(top_leaf + 1);
    if (auto bad = check(rows, t0, t1, plan, n_leaves, h.size(), ca.size())) {
        return bad;
    }
    const std::size_t T = t1 - t0;
    std::atomic<std::size_t> first_bad{kNoTree};
    pool::parallel_for(
        t0, t1,
        [&](std::size_t begin, std::size_t end) {
            std::size_t most = 0;
            for (std::size_t t = begin; t < end; ++t) {
                most = std::max(most,
                                static_cast<std::size_t>(rows.indptr[t + 1] - rows.indptr[t]));
            }
            Scratch s;
            s.up.resize(most + 1);
            s.level.resize(most + 1);
            s.depth.resize(most + 1);
            s.stack.resize(most + 1);
            s.tip.resize(n_leaves);
            s.node.resize(plan.size());
            s.pos.assign(rows.leaf_of_split.size(), -1);
            for (std::size_t t = begin; t < end; ++t) {
                const auto first = static_cast<std::size_t>(rows.indptr[t] - rows.indptr[t0]);
                if (!one_tree(rows, t, first, t - t0, T, plan, h, ca, s)) {
                    std::size_t seen = first_bad.load(std::memory_order_relaxed);
                    while (t < seen && !first_bad.compare_exchange_weak(seen, t)) {
                    }
                    break;
                }
            }
            if (progress != nullptr) {
                progress->fetch_add(end - begin, std::memory_order_relaxed);
            }
        },
        kGrain);
    const std::size_t bad = first_bad.load();
    if (bad != kNoTree) {
        return "tree " + std::to_string(bad) +
               " is not a rooted tree holding every leaf (its rows name a parent it lacks, a "
               "cycle, or no tip for a leaf)";
    }
    return std::nullopt;
}

std::optional<std::string> gather_by_row(std::span<const std::uint32_t> ids,
                                         std::span<const std::int32_t> row_of_split,
                                         std::span<const double> a, std::span<const double> b,
                                         std::span<const std::int64_t> starts,
                                         std::span<std::int64_t> filled,
                                         std::span<double> out_a, std::span<double> out_b) {
    if (a.size() < ids.size() || b.size() < ids.size()) {
        return "fewer values than split ids";
    }
    if (starts.size() != filled.size() + 1) {
        return "starts must hold one value more than filled";
    }
    const std::size_t room = std::min(out_a.size(), out_b.size());
    for (std::size_t e = 0; e < ids.size(); ++e) {
        if (ids[e] >= row_of_split.size()) {
            return "split id " + std::to_string(ids[e]) + " beyond the rows of the splits";
        }
        const std::int32_t r = row_of_split[ids[e]];
        if (r < 0) {
            continue;
        }
        const auto row = static_cast<std::size_t>(r);
        if (row >= filled.size()) {
            return "row " + std::to_string(r) + " beyond the " + std::to_string(filled.size()) +
                   " rows";
        }
        const std::int64_t at = starts[row] + filled[row];
        if (at < starts[row] || at >= starts[row + 1] || static_cast<std::uint64_t>(at) >= room) {
            return "row " + std::to_string(r) + " has more values than its run holds";
        }
        out_a[static_cast<std::size_t>(at)] = a[e];
        out_b[static_cast<std::size_t>(at)] = b[e];
        ++filled[row];
    }
    return std::nullopt;
}

}  // namespace kestrilune::stats
