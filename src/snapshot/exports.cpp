// Byte exports of a finished Snapshots, written straight into caller buffers (the buffers
// of the bytes objects handed to Python).
#include <algorithm>
#include <cstring>
#include <numeric>

#include "common/errors.hpp"
#include "pool/pool.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune {
namespace {

std::vector<std::size_t> invert(const std::vector<std::size_t>& column_of_id) {
    std::vector<std::size_t> id_of_column(column_of_id.size());
    for (std::size_t id = 0; id < column_of_id.size(); ++id) {
        id_of_column[column_of_id[id]] = id;
    }
    return id_of_column;
}

// Calls fill(tree, row_start) for every tree in parallel; each task owns its rows. A block
// writes about kBlockBytes, since a stop request waits for the blocks running: the pool's
// own choice (an eighth of a worker's share of the trees) wrote 73 MB of fresh pages at
// 10,000 trees with 14,589 splits, and Ctrl-C waited up to 200 ms.
template <class Fill>
void for_each_row(const Snapshots& s, std::size_t cell_bytes, Fill&& fill) {
    constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
    const std::size_t row_bytes = std::max<std::size_t>(1, s.n_splits() * cell_bytes);
    const std::size_t grain = std::max<std::size_t>(1, kBlockBytes / row_bytes);
    pool::parallel_for(
        0, s.trees.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                fill(s.trees[t], t * s.n_splits());
            }
        },
        grain);
}

}  // namespace

std::vector<std::size_t> Snapshots::sorted_split_id_to_col() const {
    std::vector<std::size_t> ids(splits.size());
    std::iota(ids.begin(), ids.end(), std::size_t{0});
    // The Bitsets are distinct, so the order has no ties.
    std::sort(ids.begin(), ids.end(),
              [&](std::size_t a, std::size_t b) { return splits[a] < splits[b]; });
    return invert(ids);
}

std::vector<std::size_t> Snapshots::build_presence_matrix(std::uint8_t* out) const {
    const std::vector<std::size_t> column = sorted_split_id_to_col();
    if (splits.empty()) {
        return {};
    }
    for_each_row(*this, 1, [&](const InternSnap& tree, std::size_t row) {
        std::memset(out + row, 0, n_splits());
        for (const std::uint32_t id : tree.ids) {
            require(id < column.size(), "partition id out of range");
            out[row + column[id]] = 1;
        }
    });
    return invert(column);
}

std::vector<std::size_t> Snapshots::build_branch_length_matrix(double* out) const {
    const std::vector<std::size_t> column = sorted_split_id_to_col();
    if (splits.empty()) {
        return {};
    }
    for_each_row(*this, sizeof(double), [&](const InternSnap& tree, std::size_t row) {
        std::fill(out + row, out + row + n_splits(), 0.0);
        const std::size_t n = std::min(tree.ids.size(), tree.lengths.size());
        for (std::size_t p = 0; p < n; ++p) {
            require(tree.ids[p] < column.size(), "partition id out of range");
            out[row + column[tree.ids[p]]] = tree.lengths[p];
        }
    });
    return invert(column);
}

void Snapshots::build_split_bytes(std::span<const std::size_t> columns,
                                        std::uint8_t* out) const {
    const std::size_t row_bytes = clade_row_bytes();
    require(row_bytes <= 8 * n_words, "more leaf names than leaf bits");
    for (std::size_t c = 0; c < columns.size(); ++c) {
        require(columns[c] < splits.size(), "column id out of range");
        write_le_bytes(splits[columns[c]].words, out + c * row_bytes, row_bytes);
    }
}

}  // namespace kestrilune
