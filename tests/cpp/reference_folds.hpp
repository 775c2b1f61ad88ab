// The distance matrices of a Snapshots computed the slow, obvious way, as oracles for the
// kernels (the C++ tests and the fuzzers of fuzz/ compare against them bit for bit).
//
// RF counts the symmetric difference of two id lists. WRF and KF spread every tree into a
// dense row of m cells (0.0 where the tree lacks an id) and fold each cell over k = 0 ..
// m-1 in ascending order from -0.0, rounding every product and difference on its own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "snapshot/snapshots.hpp"

namespace kestrilune::reference {

// Forces a value to be rounded to double on its own, so the reference never fuses a
// multiply into the following add, whatever -ffp-contract it is built with.
inline double rounded(double v) {
    volatile double r = v;
    return r;
}

inline std::uint64_t symmetric_difference(const InternSnap& a, const InternSnap& b) {
    std::vector<std::uint32_t> out;
    std::set_symmetric_difference(a.ids.begin(), a.ids.end(), b.ids.begin(), b.ids.end(),
                                  std::back_inserter(out));
    return out.size();
}

inline std::vector<std::uint32_t> rf(const Snapshots& s) {
    const std::size_t n = s.trees.size();
    std::vector<std::uint32_t> out(n * n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            out[i * n + j] =
                static_cast<std::uint32_t>(symmetric_difference(s.trees[i], s.trees[j]));
        }
    }
    return out;
}

struct DenseRows {
    std::size_t m = 0;
    std::vector<double> cells;  // n x m
};

inline DenseRows dense_rows(const Snapshots& s) {
    DenseRows d;
    for (const InternSnap& t : s.trees) {
        if (!t.ids.empty()) {
            d.m = std::max<std::size_t>(d.m, std::size_t{t.ids.back()} + 1);
        }
    }
    d.cells.assign(s.trees.size() * d.m, 0.0);
    for (std::size_t t = 0; t < s.trees.size(); ++t) {
        const InternSnap& tree = s.trees[t];
        for (std::size_t p = 0; p < std::min(tree.ids.size(), tree.lengths.size()); ++p) {
            d.cells[t * d.m + tree.ids[p]] = tree.lengths[p];
        }
    }
    return d;
}

inline std::vector<double> wrf(const Snapshots& s) {
    const std::size_t n = s.trees.size();
    const DenseRows d = dense_rows(s);
    std::vector<double> out(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            double acc = -0.0;
            for (std::size_t k = 0; k < d.m; ++k) {
                acc += std::fabs(rounded(d.cells[i * d.m + k] - d.cells[j * d.m + k]));
            }
            out[i * n + j] = out[j * n + i] = acc;
        }
    }
    return out;
}

inline std::vector<double> kf(const Snapshots& s) {
    const std::size_t n = s.trees.size();
    const DenseRows d = dense_rows(s);
    std::vector<double> norms(n, -0.0);
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t k = 0; k < d.m; ++k) {
            const double v = d.cells[t * d.m + k];
            norms[t] += rounded(v * v);
        }
    }
    std::vector<double> out(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            double dot = -0.0;
            for (std::size_t k = 0; k < d.m; ++k) {
                dot += rounded(d.cells[i * d.m + k] * d.cells[j * d.m + k]);
            }
            const double q = (norms[i] + norms[j]) - (dot + dot);
            // The larger of q and +0.0; a NaN q gives +0.0.
            const double clamped = std::isnan(q) ? 0.0 : (q > 0.0 ? q : 0.0);
            out[i * n + j] = out[j * n + i] = std::sqrt(clamped);
        }
    }
    return out;
}

}  // namespace kestrilune::reference
