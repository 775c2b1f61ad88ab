// The clade-partition graph of a CCD0 (Berling et al. 2025): every way to split an observed
// clade into two observed clades, whether or not a sample tree split it that way.
//
//     // words: one row of n_words 64-bit words per clade (leaf i is bit i % 64 of word
//     // i / 64, padding bits zero), no two rows equal; sizes: leaves of each clade
//     std::vector<PartitionRow> parts = clade_partitions(words, n_words, sizes, &progress);
//     // parts[k] = {clade, child_a, child_b}: child_a | child_b == clade, disjoint,
//     // child_a < child_b; rows ascending, the same for any number of threads
//
// Cost: the child holding a clade's lowest leaf has that leaf as its own lowest leaf, so
// it is sought among the smaller clades with the same lowest leaf (a subset test of a few
// words each); its partner is looked up in a hash table of the rows. About
// sum over leaves l of (clades whose lowest leaf is l)^2 / 2 subset tests.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrilune::stats {

using PartitionRow = std::array<std::int64_t, 3>;

// Preconditions: words.size() == sizes.size() * n_words, n_words >= 1, rows distinct and
// non-empty, sizes[c] == popcount of row c. `progress` (may be null) gets one addition per
// clade examined. Runs on the worker pool; a stop request (pool::StopPoll) ends it with
// pool::Stopped.
std::vector<PartitionRow> clade_partitions(std::span<const std::uint64_t> words,
                                           std::size_t n_words, std::span<const std::int64_t> sizes,
                                           std::atomic<std::uint64_t>* progress);

}  // namespace kestrilune::stats
