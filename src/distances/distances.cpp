#include "distances/distances.hpp"

#include <limits>
#include <numeric>
#include <vector>

#include "common/errors.hpp"
#include "distances/matrix_writer.hpp"
#include "distances/rf_tiles.hpp"

namespace kestrilune {

namespace detail {

std::size_t checked_cells(std::size_t n, std::size_t m, std::size_t cell_bytes) {
    std::size_t cells = 0;
    std::size_t bytes = 0;
    require(
        !__builtin_mul_overflow(n, m, &cells) && !__builtin_mul_overflow(cells, cell_bytes, &bytes),
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

using detail::checked_cells;

std::vector<dispatch::VariantInfo> rf_kernel_variants() {
    return rf_tile_variants();
}

void rf_matrix(const Snapshots& snapshots, std::atomic<std::uint64_t>* counter,
               std::uint32_t* cells, dispatch::Features features) {
    const std::vector<InternSnap>& trees = snapshots.trees;
    const std::size_t n = trees.size();
    if (n == 0) {
        return;
    }
    checked_cells(n, n, sizeof(std::uint64_t));
    require(n <= std::numeric_limits<std::uint32_t>::max(), "too many trees for 32-bit indices");

    // The per-tree id lists in compressed rows, as the tile kernel reads them.
    std::vector<std::int64_t> offsets(n + 1, 0);
    for (std::size_t t = 0; t < n; ++t) {
        offsets[t + 1] = offsets[t] + static_cast<std::int64_t>(trees[t].ids.size());
    }
    std::vector<std::uint32_t> ids;
    ids.reserve(static_cast<std::size_t>(offsets[n]));
    for (const InternSnap& tree : trees) {
        ids.insert(ids.end(), tree.ids.begin(), tree.ids.end());
    }
    std::vector<std::uint32_t> all(n);
    std::iota(all.begin(), all.end(), std::uint32_t{0});

    const SplitSets sets{offsets, ids};
    TileOptions options;
    options.progress = counter;
    options.features = features;
    options.indexed = true;
    rf_tiles(sets, all, all, detail::MatrixWriter<std::uint32_t>(cells, n), options);
}

}  // namespace kestrilune
