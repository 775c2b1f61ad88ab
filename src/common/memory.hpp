// How much memory the process may use, so that a size that cannot fit is refused before it
// is allocated: a MemoryError that says what was too large, rather than an allocation that
// Linux grants (it overcommits) and the out-of-memory killer ends later.
//
//     require_fits(bytes_of_cells(n, n, 4), "the distance matrix of " + std::to_string(n) +
//                                               " trees");
//
// The limit is the least of: the physical memory, the memory limit of the process's
// cgroup (containers, batch schedulers) and the RLIMIT_AS and RLIMIT_DATA soft limits. It
// is read afresh on each call (a few small files), so call it per stage, not per item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrilune {

std::uint64_t memory_limit_bytes();

// a * b * c, or UINT64_MAX when the product does not fit.
std::uint64_t bytes_of_cells(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept;

// Throws TooLarge when `bytes` exceeds the limit, with the message
// "<what> needs <bytes>, more than the <limit> of memory this process may use".
void require_fits(std::uint64_t bytes, const std::string& what);

// Gives the same TooLarge for a limit the caller already read.
void require_fits(std::uint64_t bytes, std::uint64_t limit, const std::string& what);

// Hands the free pages of the heap back to the system (glibc's malloc_trim; nothing
// elsewhere). Many small blocks freed in a stretch stay mapped otherwise, so a stage that
// frees its input while it writes its output would hold both at its peak.
//
// With `worth` above zero, only when the heap holds at least that many free bytes: a trim
// hands the pages back a block at a time, one system call each, and the next call that
// allocates faults them in again, which for a call of a few milliseconds costs more than
// the memory it would save.
void return_free_memory(std::size_t worth = 0) noexcept;

// "1.5 GB", "300.0 MB", "512 bytes": decimal units, one decimal.
std::string format_bytes(std::uint64_t bytes);

}  // namespace kestrilune
