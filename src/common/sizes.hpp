// Size thresholds of the tree pipeline (parser, snapshots, collection), in one place, each
// with the reason for its value. None changes a result: they bound memory and balance work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrilune::sizes {

// Parser: nodes reserved before a text is read, size / 4 + 1 (a node takes four bytes or
// more, "A:1,"), at most this many. Growing the node array moves every node and, measured
// on trees of a thousand leaves, doubled the parse time; the cap keeps a huge text (or one
// followed by a long tail after its ';') from reserving gigabytes up front.
inline constexpr std::size_t kMaxReservedNodes = std::size_t{1} << 15;

// Workers keep the node arrays of the trees they read (Tree, TreeShape) for the next tree;
// arrays of more nodes than this (a tree of 32,000 leaves) are released after the tree, so
// that one huge tree does not pin its arrays in every worker for the life of the process.
inline constexpr std::size_t kMaxKeptNodes = std::size_t{1} << 16;

// Snapshot scratch: the table of leaf sets has one row per node, so it grows with the square
// of the leaf count (100 MB for 20,000 leaves). Beyond this many bytes it is released after
// the tree, for the same reason as above.
inline constexpr std::size_t kMaxKeptTableBytes = std::size_t{64} << 20;

// Snapshot scratch tables below this size are allocated without asking how much memory the
// process may use (the check reads /proc and the cgroup files).
inline constexpr std::uint64_t kCheckedTableBytes = std::uint64_t{64} << 20;

// Collection: trees are reduced a chunk at a time, then interned and their partition sets
// released, so that the sets of about this many bytes are alive at once, not those of the
// whole call.
inline constexpr std::size_t kChunkBytes = std::size_t{16} << 20;

// The same for a call that holds all its texts before it reads them and does nothing else
// meanwhile (the kestrilune module's functions): there a chunk this small is still in the
// caches when its trees are interned, and a split new in a chunk is looked up again by fewer
// of its later trees. Measured on one thread, 16 MB took 5-10% longer on MCMC-like sets
// and faulted twice the heap pages in each call; but reading 10^5 trees of 200 taxa a file
// chunk at a time, with lengths, on two threads took 4.9-5.2 s with 2 MB against 4.3 s with
// 16 MB, so the chunked readers keep kChunkBytes.
inline constexpr std::size_t kHeldChunkBytes = std::size_t{2} << 20;

// A chunk's results are kept by the calling thread for its next call up to this many bytes
// (a chunk of kHeldChunkBytes comes to about that much), and released beyond.
inline constexpr std::size_t kMaxKeptResultBytes = std::size_t{4} << 20;

// ... but at least this many trees per worker in a chunk, so that every worker has work
// between the chunk's sequential interning steps.
inline constexpr std::size_t kMinChunkTreesPerWorker = 16;

// The first chunk after tree 0 holds at most this many trees per worker: its trees find few
// partitions in the interning table, which leaves their interning to the calling thread
// alone; a short first chunk fills the table.
inline constexpr std::size_t kFirstChunkTreesPerWorker = 32;

}  // namespace kestrilune::sizes
