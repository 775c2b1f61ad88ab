// The side of the square tiles that rf_tiles and weighted_tiles hand out.
#pragma once

#include <algorithm>
#include <cstddef>

#include "pool/pool.hpp"

namespace kestrilune::detail {

// Large enough that a tile's setup (merging or gathering the splits of its two blocks)
// stays below its pair work, small enough that the tile's bit columns stay few when splits
// drift along the list (MCMC samples) and that tiles balance between workers. At most 256,
// so that a distinct tree of an RF block fits a byte.
inline constexpr std::size_t kMaxTileSide = 256;
inline constexpr std::size_t kMinTileSide = 32;

// The side asked for (capped), or for 0 one giving at least four blocks per worker where
// the list allows it, so that the tiles balance.
inline std::size_t tile_side(std::size_t n_positions, std::size_t requested) {
    if (requested > 0) {
        return std::min(requested, kMaxTileSide);
    }
    const std::size_t per_worker = (n_positions + 4 * pool::size() - 1) / (4 * pool::size());
    return std::clamp(per_worker, kMinTileSide, kMaxTileSide);
}

}  // namespace kestrilune::detail
