// The process-wide worker pool and parallel_for over an index range.
//
// The pool is created on first use and lives for the rest of the process. Its size is read
// once from the environment: RAYON_NUM_THREADS (a positive number sets the count, 0 means
// one worker per available processor), else RAYON_RS_NUM_CPUS read the same way, else one
// worker per processor the process may run on (its CPU affinity mask), else 1.
//
//     pool::parallel_for(0, n_rows, [&](std::size_t begin, std::size_t end) {
//         for (std::size_t row = begin; row < end; ++row) fill_row(row);
//     });
//
// The body receives half-open blocks [begin, end) and must not touch interpreter objects.
// The calling thread waits until every block is done. Blocks are handed out dynamically,
// so rows of unequal cost balance out. A body that throws stops the loop early (no new
// blocks are started); after the join the caller gets std::bad_alloc or InternalError,
// never the worker's exception object itself. Several threads may run loops at once.
// A child made by fork() gets a fresh pool on its first loop.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "common/errors.hpp"

namespace kestrilune::pool {

// The pool size rule above, as a pure function of the two variables' values (nullptr when
// unset) and the number of available processors.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available_processors);

// Processors the calling process may run on (sched_getaffinity), at least 1.
std::size_t available_processors();

// Number of worker threads of the pool; creates the pool if it does not exist yet.
std::size_t size();

namespace detail {

enum class Failure { None, OutOfMemory, Internal };

struct Outcome {
    Failure failure = Failure::None;
    std::string message;  // for Internal
};

using BlockFn = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs fn(context, b, e) over blocks covering [begin, end) of at most `grain` indices
// (0: chosen from the range and the pool size). Never throws.
Outcome run_blocks(std::size_t begin, std::size_t end, std::size_t grain, BlockFn fn,
                   void* context) noexcept;

}  // namespace detail

template <class Body>
    requires std::invocable<Body&, std::size_t, std::size_t>
void parallel_for(std::size_t begin, std::size_t end, Body&& body, std::size_t grain = 0) {
    using B = std::remove_reference_t<Body>;
    detail::Outcome outcome = detail::run_blocks(
        begin, end, grain,
        [](void* context, std::size_t b, std::size_t e) { (*static_cast<B*>(context))(b, e); },
        static_cast<void*>(std::addressof(body)));
    if (outcome.failure == detail::Failure::OutOfMemory) {
        throw std::bad_alloc();
    }
    if (outcome.failure == detail::Failure::Internal) {
        throw InternalError(outcome.message);
    }
}

}  // namespace kestrilune::pool
