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
// The calling thread waits until every block is done; in a pool of one worker that finds
// the worker idle, it runs the blocks itself in the worker's place (still one thread runs
// blocks), and hands the rest to the worker once another thread queues a loop or its
// StopPoll (below) is due. Blocks are handed out dynamically,
// so rows of unequal cost balance out. A body that throws stops the loop early (no new
// blocks are started); after the join the caller gets std::bad_alloc, TooLarge or
// InternalError, never the worker's exception object itself. Several threads may run loops
// at once, and the workers share themselves between their loops, so a short loop started
// beside a long one finishes in about the time of one block of the long one. Keep a block
// to a few milliseconds of work: that is also how quickly a loop can be stopped.
// A child made by fork() gets a fresh pool on its first loop.
//
// Stopping a long call (Ctrl-C). A thread that may be asked to stop installs a StopPoll
// for the scope of its long work; the poll is the caller's own function, so the pool knows
// nothing of what "asked to stop" means (in the kestrilune module it runs the interpreter's
// signal handlers):
//
//     bool check_signals(void* state);              // true: stop
//     {
//         pool::StopPoll poll(&check_signals, &state);
//         run_long_work();  // its parallel_for calls may throw pool::Stopped
//     }
//
// While that thread waits for one of its loops it wakes every kPollInterval and calls the
// poll (without any pool lock held). When the poll answers true, the loop hands out no
// further block, the blocks already running finish, and parallel_for throws Stopped. The
// answer sticks for the rest of the scope: every later parallel_for on the thread throws
// Stopped at once, and check_stop() lets sequential code between loops stop as well. A
// scope also polls a loop it runs inline (one block, no workers, a loop nested in a
// block) between blocks. Without a StopPoll a loop never polls and never throws Stopped.
// Scopes nest; the innermost one is used. Worker threads never poll.
//
// The poll may throw (a thread ended by the runtime, e.g. abi::__forced_unwind when an
// exiting interpreter ends a daemon thread): the loop is then stopped, the pool waits for
// the blocks in flight to finish, so no worker touches the unwinding stack afterwards, and
// the exception continues unchanged.
#pragma once

#include <chrono>
#include <concepts>
#include <cstddef>
#include <exception>
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

// How often a waiting caller with a StopPoll asks it.
inline constexpr std::chrono::milliseconds kPollInterval{20};

// Thrown on the polling thread once its StopPoll has answered "stop". Not derived from
// std::exception, so that generic handlers do not mistake it for an internal error.
struct Stopped {};

using PollFn = bool (*)(void* context);

// Installs a stop poll for the calling thread until the end of the scope (see above).
class StopPoll {
public:
    StopPoll(PollFn fn, void* context) noexcept;
    ~StopPoll();
    StopPoll(const StopPoll&) = delete;
    StopPoll& operator=(const StopPoll&) = delete;

    // Calls the poll if kPollInterval has passed since the last call (or the scope began)
    // and remembers a "stop". True once stopped. May throw what the poll throws.
    bool poll_if_due();
    // Time left until the next poll is due (zero or negative: due now).
    std::chrono::steady_clock::duration until_due() const noexcept;
    bool stopped() const noexcept { return stopped_; }

private:
    PollFn fn_;
    void* context_;
    StopPoll* previous_;
    std::chrono::steady_clock::time_point last_poll_;
    bool stopped_ = false;
};

// The innermost StopPoll of the calling thread, or nullptr.
StopPoll* current_stop_poll() noexcept;

// For sequential stretches of long work on a thread that may hold a StopPoll: polls when
// due and throws Stopped once stopped. Costs a clock read when no poll is due; nothing
// without a StopPoll.
void check_stop();

namespace detail {

enum class Failure { None, OutOfMemory, TooLarge, Internal, Stopped };

struct Outcome {
    Failure failure = Failure::None;
    std::string message;  // for Internal and TooLarge
};

using BlockFn = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs fn(context, b, e) over blocks covering [begin, end) of at most `grain` indices
// (0: chosen from the range and the pool size), polling the thread's StopPoll while it
// waits. Throws only what a poll throws, after the loop has fully ended.
Outcome run_blocks(std::size_t begin, std::size_t end, std::size_t grain, BlockFn fn,
                   void* context);

[[noreturn]] void rethrow(Outcome&& outcome);

}  // namespace detail

template <class Body>
    requires std::invocable<Body&, std::size_t, std::size_t>
void parallel_for(std::size_t begin, std::size_t end, Body&& body, std::size_t grain = 0) {
    using B = std::remove_reference_t<Body>;
    detail::Outcome outcome = detail::run_blocks(
        begin, end, grain,
        [](void* context, std::size_t b, std::size_t e) { (*static_cast<B*>(context))(b, e); },
        static_cast<void*>(std::addressof(body)));
    if (outcome.failure != detail::Failure::None) {
        detail::rethrow(std::move(outcome));
    }
}

}  // namespace kestrilune::pool
