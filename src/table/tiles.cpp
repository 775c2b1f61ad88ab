#include "table/tiles.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/errors.hpp"
#include "pool/pool.hpp"

namespace kestrilune {

std::uint32_t rf_pair(const SplitTable& table, std::uint32_t a, std::uint32_t b) noexcept {
    const std::span<const std::uint32_t> x = table.tree_ids(a);
    const std::span<const std::uint32_t> y = table.tree_ids(b);
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t shared = 0;
    while (i < x.size() && j < y.size()) {
        const std::uint32_t u = x[i];
        const std::uint32_t v = y[j];
        shared += u == v;
        i += u <= v;
        j += v <= u;
    }
    return static_cast<std::uint32_t>(x.size() + y.size() - 2 * shared);
}

WeightedView WeightedView::from_table(const SplitTable& table) {
    require(table.has_lengths, "weighted distances need a table made with lengths");
    WeightedView v;
    v.indptr = table.indptr;
    v.universe = table.n_splits();
    v.ranks.resize(table.ids.size());
    v.lengths.resize(table.ids.size());
    pool::parallel_for(0, table.n_trees(), [&](std::size_t begin, std::size_t end) {
        std::vector<std::pair<std::uint32_t, double>> pairs;
        for (std::size_t t = begin; t < end; ++t) {
            const std::span<const std::uint32_t> ids = table.tree_ids(t);
            const std::span<const double> tree_lengths = table.tree_lengths(t);
            pairs.clear();
            for (std::size_t k = 0; k < ids.size(); ++k) {
                pairs.emplace_back(table.first_seen[ids[k]], tree_lengths[k]);
            }
            std::sort(pairs.begin(), pairs.end(),
                      [](const auto& p, const auto& q) { return p.first < q.first; });
            const auto at = static_cast<std::size_t>(table.indptr[t]);
            for (std::size_t k = 0; k < pairs.size(); ++k) {
                v.ranks[at + k] = pairs[k].first;
                v.lengths[at + k] = pairs[k].second;
            }
        }
    });
    v.norms = length_norms(v.sets());
    return v;
}

double weighted_pair(const WeightedView& view, Metric metric, std::uint32_t a,
                     std::uint32_t b) noexcept {
    const auto a0 = static_cast<std::size_t>(view.indptr[a]);
    const auto a1 = static_cast<std::size_t>(view.indptr[a + 1]);
    const auto b0 = static_cast<std::size_t>(view.indptr[b]);
    const auto b1 = static_cast<std::size_t>(view.indptr[b + 1]);
    const std::uint32_t* ra = view.ranks.data();
    const double* la = view.lengths.data();
    std::size_t i = a0;
    std::size_t j = b0;
    std::size_t n_union = 0;
    double acc = -0.0;
    if (metric == Metric::Wrf) {
        while (i < a1 || j < b1) {
            const std::uint32_t u = i < a1 ? ra[i] : UINT32_MAX;
            const std::uint32_t w = j < b1 ? ra[j] : UINT32_MAX;
            if (u == w) {
                acc += std::fabs(la[i++] - la[j++]);
            } else if (u < w) {
                acc += std::fabs(la[i++] - 0.0);
            } else {
                acc += std::fabs(0.0 - la[j++]);
            }
            ++n_union;
        }
        return n_union < view.universe ? acc + 0.0 : acc;
    }
    while (i < a1 || j < b1) {
        const std::uint32_t u = i < a1 ? ra[i] : UINT32_MAX;
        const std::uint32_t w = j < b1 ? ra[j] : UINT32_MAX;
        if (u == w) {
            acc += la[i++] * la[j++];
        } else if (u < w) {
            acc += la[i++] * 0.0;
        } else {
            acc += 0.0 * la[j++];
        }
        ++n_union;
    }
    const double dot = n_union < view.universe ? acc + 0.0 : acc;
    const double q = (view.norms[a] + view.norms[b]) - (dot + dot);
    return q > 0.0 ? std::sqrt(q) : 0.0;  // max(q, +0.0) with NaN -> +0.0
}

}  // namespace kestrilune
