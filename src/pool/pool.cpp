// The process-wide worker pool.
//
// A loop becomes a Job on the caller's stack: the range cut into blocks of `grain` indices,
// handed out one at a time through an atomic block counter. The caller links the job into
// the pool's list of open jobs, wakes workers for it and waits until it is done, polling
// its StopPoll between waits if it has one. A worker enters the open job with the fewest
// workers inside (ties go to the job queued after the one it left last, so equal jobs take
// turns) and runs its blocks. It leaves when the job has no block left to hand out, and
// also, after its current block, when another job has been queued since it entered, so
// that the workers spread over all open jobs instead of serving the oldest one to its end.
// A worker that finds no block left unlinks the job; a job is done when it is unlinked and
// the last worker inside has left, and that worker wakes the caller. The pool mutex is
// taken when a worker enters or leaves a job, never per block.
#include "pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

#include "common/forced_unwind.hpp"

namespace kestrilune::pool {

namespace {

// More workers than this is a typo in the environment, not a machine.
constexpr std::size_t kMaxThreads = 4096;

// Workers get at least this much stack, whatever RLIMIT_STACK says: tree code recurses once
// per tree level, and a thread stack size that follows `ulimit -s` would make the deepest
// tree that works depend on the shell the user started Python from.
constexpr std::size_t kMinWorkerStackBytes = std::size_t{8} << 20;

// An unsigned decimal number with an optional leading '+', nothing else. An empty string,
// any other character or a value that does not fit is not a number.
bool parse_count(const char* text, std::size_t& out) {
    if (text == nullptr) {
        return false;
    }
    if (*text == '+') {
        ++text;
    }
    if (*text == '\0') {
        return false;
    }
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        const auto digit = static_cast<std::size_t>(*text - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

using detail::BlockFn;
using detail::Failure;
using detail::Outcome;

class Pool;

// One parallel loop. Lives on the stack of the thread that called run_blocks, which does not
// return (nor unwind past it) before `done`, so workers may keep a plain pointer to it.
struct Job {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t grain = 1;
    std::size_t n_blocks = 0;
    BlockFn fn = nullptr;
    void* context = nullptr;

    // Block k covers [begin + k * grain, min(end, begin + (k + 1) * grain)). Relaxed order is
    // enough: the counter only hands out distinct numbers; the body's writes reach the caller
    // through the pool mutex taken when a worker leaves the job.
    std::atomic<std::size_t> next_block{0};
    // Set by the first failing block; a hint to stop handing out blocks, so relaxed loads do.
    std::atomic<bool> failed{false};
    // Set when the caller was asked to stop, or a nested loop was; also only a hint.
    std::atomic<bool> stopped{false};
    Outcome outcome;  // written once, by the thread that set `failed`

    // Guarded by the pool mutex.
    Job* previous_open = nullptr;
    Job* next_open = nullptr;
    bool open = false;         // in the list of jobs that may still hand out blocks
    std::uint64_t serial = 0;  // queue order
    std::size_t n_inside = 0;  // workers that took the job and have not left it yet
    bool done = false;
    std::condition_variable done_cv;
};

void record_failure(Job& job, Failure failure, const char* message) noexcept {
    if (job.failed.exchange(true, std::memory_order_relaxed)) {
        return;  // only the first failure is reported
    }
    job.outcome.failure = failure;
    if (message != nullptr) {
        try {
            job.outcome.message = message;
        } catch (...) {
            job.outcome.failure = Failure::OutOfMemory;
        }
    }
}

bool closed(const Job& job) noexcept {
    return job.failed.load(std::memory_order_relaxed) ||
           job.stopped.load(std::memory_order_relaxed);
}

// Runs blocks of `job` until none is left, the job is closed, or leave() says so after a
// block. Returns true when the job has nothing more to hand out. Exceptions of the body are
// recorded, never thrown; only leave() may throw.
template <class Leave>
KESTRILUNE_FORCED_UNWIND_HANDLER bool run_blocks_until(Job& job, Leave&& leave) {
    while (!closed(job)) {
        const std::size_t block = job.next_block.fetch_add(1, std::memory_order_relaxed);
        if (block >= job.n_blocks) {
            return true;
        }
        const std::size_t b = job.begin + block * job.grain;
        const std::size_t e = job.end - b > job.grain ? b + job.grain : job.end;
        try {
            job.fn(job.context, b, e);
        } catch (abi::__forced_unwind&) {
            // The thread is being ended (only a caller running blocks inline can be: a loop
            // nested in its block polled). Nothing else is inside this job, so let it go.
            throw;
        } catch (const Stopped&) {
            job.stopped.store(true, std::memory_order_relaxed);  // a nested loop was stopped
        } catch (const TooLarge& error) {
            record_failure(job, Failure::TooLarge, error.what());
        } catch (const std::bad_alloc&) {
            record_failure(job, Failure::OutOfMemory, nullptr);
        } catch (const std::exception& error) {
            record_failure(job, Failure::Internal, error.what());
        } catch (...) {
            record_failure(job, Failure::Internal, "unknown error in a worker task");
        }
        if (leave()) {
            return false;
        }
    }
    return true;
}

// The whole loop on the calling thread, polling its StopPoll (if any) between blocks.
void run_inline(Job& job, StopPoll* poll) {
    run_blocks_until(job, [&job, poll] {
        if (poll != nullptr && poll->poll_if_due()) {
            job.stopped.store(true, std::memory_order_relaxed);
        }
        return false;
    });
}

Outcome outcome_of(Job& job) {
    // A stop wins over a failure: the caller asked to stop and is told it stopped.
    if (job.stopped.load(std::memory_order_relaxed)) {
        return Outcome{Failure::Stopped, {}};
    }
    return std::move(job.outcome);
}

// Set in every worker thread, so a loop started from inside a block runs inline instead of
// waiting for workers that may all be busy waiting themselves.
thread_local const Pool* t_worker_of = nullptr;

// Set in a caller while it runs its loop in the place of the pool's only worker (see
// Pool::try_take_place): a loop nested in one of its blocks runs inline as well, since the
// worker does not run while its place is taken.
thread_local const Pool* t_in_place_of = nullptr;

// The innermost StopPoll of each thread.
thread_local StopPoll* t_stop_poll = nullptr;

class Pool {
public:
    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Starts up to `n_threads` workers and returns how many exist. A thread that cannot be
    // created (EAGAIN, no memory for its stack) ends the ramp-up; the pool keeps the workers
    // it has, and with none at all every loop runs on its caller.
    std::size_t start(std::size_t n_threads) {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) {
            return 0;
        }
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        std::size_t stack_bytes = 0;
        if (pthread_attr_getstacksize(&attr, &stack_bytes) == 0 &&
            stack_bytes < kMinWorkerStackBytes) {
            pthread_attr_setstacksize(&attr, kMinWorkerStackBytes);
        }

        // Workers inherit the creating thread's signal mask. Block the asynchronous signals
        // in them, so SIGINT, SIGCHLD and friends go to a thread of the application (in
        // Python, the main thread, which is the one that acts on them). Faults stay unblocked:
        // a blocked SIGSEGV raised by the thread itself would kill the process silently.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
            sigdelset(&all, fault);
        }
        const bool mask_changed = pthread_sigmask(SIG_BLOCK, &all, &previous) == 0;

        std::size_t started = 0;
        for (; started < n_threads; ++started) {
            pthread_t thread;
            if (pthread_create(&thread, &attr, &Pool::worker_main, this) != 0) {
                break;
            }
        }

        if (mask_changed) {
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        pthread_attr_destroy(&attr);
        n_workers_ = started;

        // Wait until every worker is parked on the work queue. A fork() right after the first
        // loop then never copies a thread that is still half-way through its start-up, where
        // the C runtime (and sanitizer runtimes even more so) allocates under internal locks.
        std::unique_lock<std::mutex> lock(mutex_);
        started_cv_.wait(lock, [this, started] { return n_parked_ == started; });
        return started;
    }

    std::size_t n_workers() const { return n_workers_; }

    bool is_worker_thread() const { return t_worker_of == this; }
    bool holds_place() const { return t_in_place_of == this; }

    // A pool of one worker that is idle (no open job, none running): the caller may take
    // the worker's place and run its loop itself, so that the loop's data stays in the
    // caller's caches and neither thread waits for the other to wake; the pool still runs
    // one thread's blocks at a time. On one thread this took a tenth off the RF call on the
    // BEAST sample, which makes a dozen loops of about half a millisecond each. The worker
    // does not enter any job until the place is given back.
    // `arrivals` gets the count of loops queued so far (see arrivals()).
    bool try_take_place(std::uint64_t& arrivals) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (n_workers_ != 1 || head_ != nullptr || n_running_ != 0 || place_taken_) {
            return false;
        }
        place_taken_ = true;
        t_in_place_of = this;
        arrivals = arrivals_.load(std::memory_order_relaxed);
        return true;
    }

    void give_back_place() noexcept {
        t_in_place_of = nullptr;
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            place_taken_ = false;
            queued = head_ != nullptr;
        }
        if (queued) {
            work_cv_.notify_all();
        }
    }

    // Loops queued so far: a caller in the worker's place gives it back when this changes.
    std::uint64_t arrivals() const noexcept { return arrivals_.load(std::memory_order_relaxed); }

    // Opens the job, wakes workers for it and waits until it is done. With a poll, waits in
    // slices and asks the poll between them; on "stop", or when the poll throws, closes the
    // job and waits for the blocks in flight before returning or letting the exception on.
    //
    // `arrival` false: the rest of a loop its caller began in the worker's place. It is not
    // news to a worker busy elsewhere: counted as an arrival, it would draw the worker away
    // from the loop whose arrival made the caller hand it over, and keep it until the next.
    void run(Job& job, StopPoll* poll, bool arrival = true) {
        std::unique_lock<std::mutex> lock(mutex_);
        link(job, arrival);
        // A job of two blocks needs two workers; waking the rest would only make them find
        // nothing to do and go back to sleep. Busy workers notice the new job after their
        // current block through `arrivals_`.
        const std::size_t to_wake = std::min(job.n_blocks, n_workers_);
        lock.unlock();
        if (to_wake >= n_workers_) {
            work_cv_.notify_all();
        } else {
            for (std::size_t i = 0; i < to_wake; ++i) {
                work_cv_.notify_one();
            }
        }
        lock.lock();
        const auto is_done = [&job] { return job.done; };
        if (poll == nullptr) {
            job.done_cv.wait(lock, is_done);
            return;
        }
        try {
            while (!job.done) {
                const auto wait = poll->until_due();
                if (wait > std::chrono::steady_clock::duration::zero()) {
                    job.done_cv.wait_for(lock, wait);
                    continue;
                }
                // The poll may run arbitrary code of the caller's (signal handlers), so no
                // pool lock is held while it runs.
                lock.unlock();
                const bool stop = poll->poll_if_due();
                lock.lock();
                if (stop) {
                    close_for_caller(job);
                    job.done_cv.wait(lock, is_done);
                }
            }
        } catch (...) {
            // Typically abi::__forced_unwind: the runtime is ending this thread. The job
            // lives on the stack that is about to unwind, so no worker may be left in it.
            if (!lock.owns_lock()) {
                lock.lock();
            }
            close_for_caller(job);
            job.done_cv.wait(lock, is_done);
            throw;
        }
    }

    // Pools orphaned by fork() in a child process, kept reachable on purpose (see on_fork_child).
    Pool* next_abandoned = nullptr;

private:
    static void* worker_main(void* self) {
        static_cast<Pool*>(self)->worker_loop();
        return nullptr;
    }

    [[noreturn]] void worker_loop() noexcept {
        t_worker_of = this;
        std::unique_lock<std::mutex> lock(mutex_);
        ++n_parked_;
        started_cv_.notify_one();
        std::uint64_t last_serial = 0;
        for (;;) {
            work_cv_.wait(lock, [this] { return head_ != nullptr && !place_taken_; });
            Job& job = pick(last_serial);
            ++job.n_inside;
            ++n_running_;
            const std::uint64_t seen = arrivals_.load(std::memory_order_relaxed);
            lock.unlock();

            // Relaxed: a new arrival only needs to be noticed soon, not at once.
            const bool finished = run_blocks_until(
                job, [&] { return arrivals_.load(std::memory_order_relaxed) != seen; });

            lock.lock();
            --n_running_;
            last_serial = job.serial;
            if (finished) {
                unlink(job);  // no block is left, so nobody else may enter the job
            }
            if (--job.n_inside == 0 && !job.open) {
                job.done = true;
                // Notify under the lock: once it is released the caller may return and the
                // job (and its condition variable) is gone.
                job.done_cv.notify_one();
            }
        }
    }

    // Called with mutex_ held: the open job with the fewest workers inside; among those the
    // first queued after the one this worker left last, else the oldest.
    Job& pick(std::uint64_t last_serial) {
        Job* best = head_;
        bool best_is_next = best->serial > last_serial;
        for (Job* job = head_->next_open; job != nullptr; job = job->next_open) {
            const bool is_next = job->serial > last_serial;
            if (job->n_inside < best->n_inside ||
                (job->n_inside == best->n_inside && is_next && !best_is_next)) {
                best = job;
                best_is_next = is_next;
            }
        }
        return *best;
    }

    // Called with mutex_ held.
    void link(Job& job, bool arrival) {
        job.open = true;
        job.serial = ++serials_;
        job.previous_open = tail_;
        job.next_open = nullptr;
        if (tail_ == nullptr) {
            head_ = &job;
        } else {
            tail_->next_open = &job;
        }
        tail_ = &job;
        if (arrival) {
            arrivals_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Called with mutex_ held; a job already unlinked is left alone.
    void unlink(Job& job) {
        if (!job.open) {
            return;
        }
        job.open = false;
        (job.previous_open != nullptr ? job.previous_open->next_open : head_) = job.next_open;
        (job.next_open != nullptr ? job.next_open->previous_open : tail_) = job.previous_open;
        job.previous_open = nullptr;
        job.next_open = nullptr;
    }

    // Called with mutex_ held by the job's own caller: no block is handed out any more.
    void close_for_caller(Job& job) {
        job.stopped.store(true, std::memory_order_relaxed);
        unlink(job);
        if (job.n_inside == 0) {
            job.done = true;
        }
    }

    std::mutex mutex_;
    std::condition_variable work_cv_;
    std::condition_variable started_cv_;
    std::size_t n_parked_ = 0;  // workers that have reached the work queue
    std::size_t n_running_ = 0;  // workers inside a job
    bool place_taken_ = false;   // a caller runs its loop in the only worker's place
    Job* head_ = nullptr;       // open jobs, oldest first
    Job* tail_ = nullptr;
    std::uint64_t serials_ = 0;
    // Jobs opened so far; written under mutex_, read by busy workers without it.
    std::atomic<std::uint64_t> arrivals_{0};
    std::size_t n_workers_ = 0;  // written before any job is queued, then read-only
};

// The pool of this process. Created under g_create_mutex and never destroyed: its workers
// sleep until the process ends, and destroying it at exit would race with static
// destructors and with loops still running on other threads.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create_mutex;
bool g_fork_handlers_installed = false;  // guarded by g_create_mutex
Pool* g_abandoned = nullptr;             // touched only in the single-threaded child

// fork() copies only the thread that calls it. In the child the pool's workers do not
// exist, its mutex may be held by a thread that is gone, and queued jobs belong to stacks
// that are gone, so the child must never touch that pool again; it starts a fresh one on
// its first loop. Creation is serialised by g_create_mutex: it is held across fork() so the
// child never inherits it locked by a thread that no longer exists (a creation in progress
// in the parent finishes first, then the fork happens).
void on_fork_prepare() {
    g_create_mutex.lock();
}

void on_fork_parent() {
    g_create_mutex.unlock();
}

void on_fork_child() {
    // The old pool is leaked, deliberately: destroying a mutex in an unknown state or a
    // condition variable with waiters that vanished is undefined behaviour. It stays linked
    // from g_abandoned only so that leak checkers do not report it.
    Pool* old = g_pool.load(std::memory_order_relaxed);
    if (old != nullptr) {
        old->next_abandoned = g_abandoned;
        g_abandoned = old;
    }
    g_pool.store(nullptr, std::memory_order_relaxed);
    // The calling thread was the one that locked it in on_fork_prepare, and it is the thread
    // that survives in the child, so unlocking it here is well defined.
    g_create_mutex.unlock();
}

// Returns the pool, creating it on first use. Throws std::bad_alloc if the pool object
// cannot be allocated.
Pool& instance() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) {
        return *pool;
    }
    std::lock_guard<std::mutex> lock(g_create_mutex);
    if (Pool* pool = g_pool.load(std::memory_order_relaxed)) {
        return *pool;
    }
    if (!g_fork_handlers_installed) {
        // Installed once per process; a forked child inherits them.
        if (pthread_atfork(&on_fork_prepare, &on_fork_parent, &on_fork_child) != 0) {
            throw std::bad_alloc();  // its only documented failure is ENOMEM
        }
        g_fork_handlers_installed = true;
    }
    const std::size_t n_threads = thread_count_from_env(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
    auto* pool = new Pool();
    pool->start(n_threads);
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t available_processors) {
    const std::size_t fallback = std::clamp<std::size_t>(available_processors, 1, kMaxThreads);
    std::size_t count = 0;
    if (parse_count(rayon_num_threads, count)) {
        return count == 0 ? fallback : std::min(count, kMaxThreads);
    }
    if (parse_count(rayon_rs_num_cpus, count) && count > 0) {
        return std::min(count, kMaxThreads);
    }
    return fallback;
}

std::size_t available_processors() {
    // Start with the fixed-size set (1024 CPUs) and grow it while the kernel reports that its
    // mask does not fit (EINVAL).
    for (int n_cpus = CPU_SETSIZE; n_cpus <= (1 << 20); n_cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(n_cpus);
        if (set == nullptr) {
            break;
        }
        const std::size_t set_bytes = CPU_ALLOC_SIZE(n_cpus);
        CPU_ZERO_S(set_bytes, set);
        const int status = sched_getaffinity(0, set_bytes, set);
        const int count = status == 0 ? CPU_COUNT_S(set_bytes, set) : 0;
        const int error = errno;
        CPU_FREE(set);
        if (status == 0 && count > 0) {
            return static_cast<std::size_t>(count);
        }
        if (status != 0 && error != EINVAL) {
            break;
        }
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

std::size_t size() {
    // A pool whose threads could not be started runs loops on the caller: one thread.
    return std::max<std::size_t>(instance().n_workers(), 1);
}

StopPoll::StopPoll(PollFn fn, void* context) noexcept
    : fn_(fn),
      context_(context),
      previous_(t_stop_poll),
      last_poll_(std::chrono::steady_clock::now()) {
    t_stop_poll = this;
}

StopPoll::~StopPoll() {
    t_stop_poll = previous_;
}

std::chrono::steady_clock::duration StopPoll::until_due() const noexcept {
    return kPollInterval - (std::chrono::steady_clock::now() - last_poll_);
}

bool StopPoll::poll_if_due() {
    if (stopped_ || until_due() > std::chrono::steady_clock::duration::zero()) {
        return stopped_;
    }
    stopped_ = fn_(context_);
    // Counted from the end of the poll: one that waited (for a lock of the caller's, say)
    // is not repeated at once.
    last_poll_ = std::chrono::steady_clock::now();
    return stopped_;
}

StopPoll* current_stop_poll() noexcept {
    return t_stop_poll;
}

void check_stop() {
    if (t_stop_poll != nullptr && t_stop_poll->poll_if_due()) {
        throw Stopped{};
    }
}

namespace detail {

Outcome run_blocks(std::size_t begin, std::size_t end, std::size_t grain, BlockFn fn,
                   void* context) {
    if (end <= begin) {
        return {};
    }
    StopPoll* poll = t_stop_poll;
    if (poll != nullptr && poll->stopped()) {
        return Outcome{Failure::Stopped, {}};
    }
    const std::size_t n = end - begin;

    Job job;
    job.begin = begin;
    job.end = end;
    job.fn = fn;
    job.context = context;

    if (n == 1 || (grain != 0 && grain >= n)) {
        // One block: handing it to a worker would only add a round trip.
        job.grain = n;
        job.n_blocks = 1;
        run_inline(job, poll);
        return outcome_of(job);
    }

    Pool* pool = nullptr;
    try {
        pool = &instance();
    } catch (...) {
        return Outcome{Failure::OutOfMemory, {}};
    }
    const std::size_t n_workers = pool->n_workers();

    if (grain == 0) {
        // About eight blocks per worker: enough that rows of unequal cost even out, few
        // enough that the shared block counter is not contended.
        grain = std::max<std::size_t>(1, n / (8 * std::max<std::size_t>(n_workers, 1)));
    }
    // Keeps next_block far from wrapping around: every thread that enters the job takes at
    // most one number past the last block. Only a range of more than 2^63 indices changes
    // the grain here.
    grain = std::max(grain, n / (std::numeric_limits<std::size_t>::max() / 2) + 1);
    job.grain = grain;
    job.n_blocks = n / grain + (n % grain != 0 ? 1 : 0);

    if (n_workers == 0 || job.n_blocks == 1 || pool->is_worker_thread() || pool->holds_place()) {
        // No workers, nothing to share, or a loop nested in a block: the worker running the
        // outer block must not sleep waiting for workers that may all be doing the same.
        run_inline(job, poll);
    } else if (std::uint64_t seen = 0; pool->try_take_place(seen)) {
        // In the idle worker's place until the loop is done, another thread queues a loop,
        // or the caller's poll is due: then the place goes back after the current block,
        // and the worker runs the rest while the caller waits and polls as usual. (Polled
        // only between blocks, a loop of long blocks would answer a stop a block later.)
        bool finished = false;
        {
            struct GiveBack {
                Pool& pool;
                ~GiveBack() { pool.give_back_place(); }
            } give_back{*pool};
            finished = run_blocks_until(job, [&] {
                return pool->arrivals() != seen ||
                       (poll != nullptr &&
                        poll->until_due() <= std::chrono::steady_clock::duration::zero());
            });
        }
        if (!finished && !closed(job)) {
            pool->run(job, poll, false);
        }
    } else {
        pool->run(job, poll);
    }
    return outcome_of(job);
}

void rethrow(Outcome&& outcome) {
    switch (outcome.failure) {
        case Failure::OutOfMemory:
            throw std::bad_alloc();
        case Failure::TooLarge:
            throw TooLarge(std::move(outcome.message));
        case Failure::Stopped:
            throw Stopped{};
        case Failure::Internal:
            break;
        case Failure::None:
            throw InternalError("a loop without failure reported as failed");
    }
    throw InternalError(outcome.message);
}

}  // namespace detail

}  // namespace kestrilune::pool
