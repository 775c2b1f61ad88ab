#include "pool/pool.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kestrilune::pool {
namespace {

// ---------------------------------------------------------------------------------------------
// Pool size from the environment

struct EnvCase {
    const char* name;
    const char* rayon_num_threads;  // nullptr: unset
    const char* rayon_rs_num_cpus;
    std::size_t available;
    std::size_t expected;
};

class ThreadCountFromEnv : public ::testing::TestWithParam<EnvCase> {};

TEST_P(ThreadCountFromEnv, FollowsTheSizingRule) {
    const EnvCase& c = GetParam();
    EXPECT_EQ(thread_count_from_env(c.rayon_num_threads, c.rayon_rs_num_cpus, c.available),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ThreadCountFromEnv,
    ::testing::Values(
        EnvCase{"BothUnset", nullptr, nullptr, 6, 6}, EnvCase{"PositiveCount", "4", nullptr, 6, 4},
        EnvCase{"FirstVariableWins", "4", "2", 6, 4},
        EnvCase{"ZeroMeansAvailableNotFallback", "0", "3", 6, 6},
        EnvCase{"LeadingPlus", "+3", nullptr, 6, 3}, EnvCase{"LeadingZeros", "007", nullptr, 6, 7},
        EnvCase{"LettersFallBack", "abc", "5", 6, 5}, EnvCase{"NegativeFallsBack", "-1", "5", 6, 5},
        EnvCase{"LeadingSpaceIsNotANumber", " 2", nullptr, 6, 6},
        EnvCase{"TrailingSpaceIsNotANumber", "2 ", "3", 6, 3},
        EnvCase{"HexIsNotANumber", "0x10", nullptr, 6, 6},
        EnvCase{"PlusAloneIsNotANumber", "+", "2", 6, 2},
        EnvCase{"DoublePlusIsNotANumber", "++2", nullptr, 6, 6}, EnvCase{"BothEmpty", "", "", 6, 6},
        EnvCase{"SecondVariableZero", nullptr, "0", 6, 6},
        EnvCase{"SecondVariableWithPlus", "x", "+2", 6, 2},
        EnvCase{"SecondVariableNegative", "abc", "-2", 6, 6},
        EnvCase{"OverflowIsNotANumber", "99999999999999999999999", "7", 6, 7},
        EnvCase{"LargestValueIsCapped", "18446744073709551615", nullptr, 6, 4096},
        EnvCase{"AbsurdCountIsCapped", "100000", nullptr, 6, 4096},
        EnvCase{"AbsurdSecondIsCapped", nullptr, "100000", 6, 4096},
        EnvCase{"NoProcessorsKnownMeansOne", nullptr, nullptr, 0, 1},
        EnvCase{"ZeroWithNoProcessorsKnown", "0", nullptr, 0, 1}),
    [](const ::testing::TestParamInfo<EnvCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------
// Every index exactly once, in well-formed blocks

struct RangeCase {
    std::size_t begin;
    std::size_t end;
    std::size_t grain;
};

class ParallelForCoverage : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ParallelForCoverage, VisitsEveryIndexOnceInBlocksOfAtMostGrain) {
    const RangeCase c = GetParam();
    const std::size_t n = c.end > c.begin ? c.end - c.begin : 0;
    std::vector<std::atomic<int>> visits(n);
    std::atomic<bool> bad_block{false};
    parallel_for(
        c.begin, c.end,
        [&](std::size_t b, std::size_t e) {
            if (b < c.begin || e > c.end || b >= e || (c.grain != 0 && e - b > c.grain)) {
                bad_block = true;
                return;
            }
            for (std::size_t i = b; i < e; ++i) {
                visits[i - c.begin].fetch_add(1, std::memory_order_relaxed);
            }
        },
        c.grain);
    EXPECT_FALSE(bad_block);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(visits[i].load(), 1) << "index " << c.begin + i;
    }
}

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Ranges, ParallelForCoverage,
    ::testing::Values(RangeCase{0, 0, 0}, RangeCase{5, 5, 3}, RangeCase{7, 3, 0},
                      RangeCase{0, 1, 0}, RangeCase{41, 42, 0}, RangeCase{0, 2, 0},
                      RangeCase{0, 1000, 0}, RangeCase{0, 1000, 1}, RangeCase{0, 1000, 7},
                      RangeCase{0, 1000, 999}, RangeCase{0, 1000, 1000}, RangeCase{0, 1000, 5000},
                      RangeCase{123, 1234, 0}, RangeCase{3, 17, 4}, RangeCase{0, 100000, 0},
                      RangeCase{kMax - 10, kMax, 3}, RangeCase{kMax - 10, kMax, 0}));

// ---------------------------------------------------------------------------------------------
// Who runs the blocks

// Runs `body` on a pool worker (never on the caller while the pool has workers).
template <class Body>
void on_a_worker(Body body) {
    parallel_for(
        0, 2,
        [&](std::size_t b, std::size_t) {
            if (b == 0) {
                body();
            }
        },
        1);
}

TEST(PoolThreads, CallerWaitsWhileWorkersRunTheBlocks) {
    if (size() == 1) {
        GTEST_SKIP() << "an idle one-worker pool lets the caller run the loop";
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<int> on_caller{0};
    parallel_for(
        0, 64,
        [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() == caller) {
                on_caller.fetch_add(1);
            }
        },
        1);
    EXPECT_EQ(on_caller.load(), 0);
}

TEST(PoolThreads, WorkersHaveRoomyStacksAndLeaveSignalsToTheApplication) {
    if (size() == 1) {
        GTEST_SKIP() << "an idle one-worker pool lets the caller run the loop";
    }
    std::size_t stack_bytes = 0;
    bool sigint_blocked = false;
    bool sigsegv_blocked = true;
    on_a_worker([&] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stack_bytes);
            pthread_attr_destroy(&attr);
        }
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        sigint_blocked = sigismember(&mask, SIGINT) == 1;
        sigsegv_blocked = sigismember(&mask, SIGSEGV) == 1;
    });
    EXPECT_GE(stack_bytes, std::size_t{8} << 20);
    EXPECT_TRUE(sigint_blocked);
    EXPECT_FALSE(sigsegv_blocked);
}

// Row i of a triangle costs n - i - 1 units: the first rows are the expensive ones.
TEST(PoolBalance, TriangularRowsAllCompleteAndSpreadOverWorkers) {
    constexpr std::size_t n = 3000;
    std::vector<double> row_sums(n, -1.0);
    std::mutex ids_mutex;
    std::set<std::thread::id> ids;
    std::atomic<int> blocks_started{0};
    const bool several_workers = size() > 1;
    parallel_for(0, n, [&](std::size_t b, std::size_t e) {
        {
            std::lock_guard<std::mutex> lock(ids_mutex);
            ids.insert(std::this_thread::get_id());
        }
        blocks_started.fetch_add(1);
        // The most expensive block holds its thread until another block has started, so the
        // check below does not depend on how fast the other workers wake up.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (b == 0 && several_workers && blocks_started.load() < 2 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t i = b; i < e; ++i) {
            double sum = 0.0;
            for (std::size_t j = i + 1; j < n; ++j) {
                sum += 1.0 / static_cast<double>(i + j + 1);
            }
            row_sums[i] = sum;
        }
    });
    for (std::size_t i = 0; i < n; ++i) {
        double expected = 0.0;
        for (std::size_t j = i + 1; j < n; ++j) {
            expected += 1.0 / static_cast<double>(i + j + 1);
        }
        ASSERT_EQ(row_sums[i], expected) << "row " << i;
    }
    if (several_workers) {
        EXPECT_GE(ids.size(), 2U);
    }
}

TEST(PoolNesting, LoopInsideABlockRunsWithoutDeadlock) {
    constexpr std::size_t outer = 16;
    constexpr std::size_t inner = 100;
    std::vector<std::atomic<int>> visits(outer * inner);
    parallel_for(
        0, outer,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                parallel_for(0, inner, [&](std::size_t ib, std::size_t ie) {
                    for (std::size_t j = ib; j < ie; ++j) {
                        visits[i * inner + j].fetch_add(1);
                    }
                });
            }
        },
        1);
    for (auto& v : visits) {
        ASSERT_EQ(v.load(), 1);
    }
}

// ---------------------------------------------------------------------------------------------
// Several callers at once

TEST(PoolConcurrentCallers, LoopsFromSeveralThreadsAllComplete) {
    constexpr int kCallers = 4;
    constexpr int kLoops = 200;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&, t] {
            for (int loop = 0; loop < kLoops; ++loop) {
                const std::size_t n = 1 + static_cast<std::size_t>((loop * 37 + t * 11) % 500);
                std::vector<std::atomic<int>> visits(n);
                parallel_for(
                    0, n,
                    [&](std::size_t b, std::size_t e) {
                        for (std::size_t i = b; i < e; ++i) {
                            visits[i].fetch_add(1, std::memory_order_relaxed);
                        }
                    },
                    static_cast<std::size_t>(loop % 5));
                for (auto& v : visits) {
                    if (v.load() != 1) {
                        wrong.fetch_add(1);
                    }
                }
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolConcurrentCallers, ShortLoopFinishesWhileALongOneHoldsAWorker) {
    // One caller's block waits for the other caller's loop to finish: this only completes if
    // a job that has handed out all its blocks stops holding up the queue.
    if (size() < 2) {
        GTEST_SKIP() << "needs a second worker to run the short loop";
    }
    std::atomic<bool> short_done{false};
    std::atomic<bool> long_started{false};
    std::thread long_caller([&] {
        parallel_for(
            0, 2,
            [&](std::size_t b, std::size_t) {
                if (b == 0) {
                    long_started = true;
                    while (!short_done) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                }
            },
            1);
    });
    while (!long_started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::atomic<int> sum{0};
    parallel_for(0, 100,
                 [&](std::size_t b, std::size_t e) { sum.fetch_add(static_cast<int>(e - b)); });
    short_done = true;
    long_caller.join();
    EXPECT_EQ(sum.load(), 100);
}

TEST(PoolConcurrentCallers, ShortLoopBesideALongLoopOfManyBlocksIsServedPromptly) {
    // The long loop keeps every worker busy with short blocks for as long as the short loop
    // has not finished (up to a minute). Workers that served only the oldest loop would not
    // reach the short one before that.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::atomic<bool> short_done{false};
    std::atomic<std::size_t> long_blocks{0};
    std::thread long_caller([&] {
        parallel_for(
            0, 1'000'000,
            [&](std::size_t, std::size_t) {
                long_blocks.fetch_add(1);
                if (!short_done && Clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            },
            1);
    });
    while (long_blocks.load() < 2 * size()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto start = Clock::now();
    for (int loop = 0; loop < 5; ++loop) {  // a call is several loops in a row
        std::atomic<std::size_t> sum{0};
        parallel_for(
            0, 64, [&](std::size_t b, std::size_t e) { sum.fetch_add(e - b); }, 1);
        ASSERT_EQ(sum.load(), 64U);
    }
    const auto waited = Clock::now() - start;
    short_done = true;
    long_caller.join();
    EXPECT_LT(waited, std::chrono::seconds(5));
}

// A pool of one worker (ctest runs every pool test once more with RAYON_NUM_THREADS=1): a
// caller that finds the worker idle runs its loop in the worker's place, a loop nested in
// its blocks too, and gives the place back when another thread queues a loop, which is
// then served within about one block.
TEST(PoolOneWorker, AnIdleCallerRunsItsLoopInTheWorkersPlace) {
    if (size() != 1) {
        GTEST_SKIP() << "needs a pool of one worker (RAYON_NUM_THREADS=1)";
    }
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<std::size_t> on_caller{0};
    std::atomic<std::size_t> nested{0};
    parallel_for(
        0, 64,
        [&](std::size_t, std::size_t) {
            on_caller.fetch_add(std::this_thread::get_id() == caller ? 1 : 0);
            parallel_for(0, 8, [&](std::size_t b, std::size_t e) { nested.fetch_add(e - b); }, 1);
        },
        1);
    EXPECT_EQ(on_caller.load(), 64U);
    EXPECT_EQ(nested.load(), 64U * 8);

    // A short loop started while a long one holds the place: the long one hands it over
    // and is queued again, after the short one, which must still be served first. Many
    // rounds, since the order in which the worker sees the two is up to the scheduler.
    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};
    for (int round = 0; round < 100; ++round) {
        const auto round_end = Clock::now() + std::chrono::seconds(3);
        std::atomic<bool> short_done{false};
        std::atomic<std::size_t> long_blocks{0};
        std::thread long_caller([&] {
            parallel_for(
                0, 100'000,
                [&](std::size_t, std::size_t) {
                    long_blocks.fetch_add(1);
                    if (!short_done && Clock::now() < round_end) {
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                    }
                },
                1);
        });
        while (long_blocks.load() < 2) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const auto start = Clock::now();
        std::atomic<std::size_t> sum{0};
        parallel_for(0, 64, [&](std::size_t b, std::size_t e) { sum.fetch_add(e - b); }, 1);
        longest = std::max(longest, Clock::now() - start);
        short_done = true;
        long_caller.join();
        ASSERT_EQ(sum.load(), 64U);
        ASSERT_EQ(long_blocks.load(), 100'000U);
    }
    EXPECT_LT(longest, std::chrono::seconds(1));
}

// ---------------------------------------------------------------------------------------------
// Stopping a loop through the caller's StopPoll

// A poll that answers "stop" from its `stop_at`-th call on, and remembers who called it.
struct CountingPoll {
    std::size_t stop_at = std::numeric_limits<std::size_t>::max();
    std::size_t calls = 0;
    std::set<std::thread::id> callers;

    static bool fn(void* self) {
        auto& poll = *static_cast<CountingPoll*>(self);
        poll.callers.insert(std::this_thread::get_id());
        return ++poll.calls >= poll.stop_at;
    }
};

// Blocks that take a while and record how many are running.
struct SlowBlocks {
    std::atomic<std::size_t> started{0};
    std::atomic<std::size_t> in_flight{0};
    std::chrono::milliseconds block_time{2};

    void operator()(std::size_t, std::size_t) {
        started.fetch_add(1);
        in_flight.fetch_add(1);
        std::this_thread::sleep_for(block_time);
        in_flight.fetch_sub(1);
    }
};

TEST(PoolStop, PollIsAskedInSlicesByTheCallerOnly) {
    CountingPoll poll;
    SlowBlocks blocks;
    StopPoll scope(&CountingPoll::fn, &poll);
    const auto start = std::chrono::steady_clock::now();
    parallel_for(0, 200 * size(), std::ref(blocks), 1);  // about 0.4 s
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(blocks.started.load(), 200 * size());
    EXPECT_EQ(poll.callers, std::set<std::thread::id>{std::this_thread::get_id()});
    // One poll per interval, give or take the scheduler.
    const auto intervals = static_cast<std::size_t>(elapsed / kPollInterval);
    EXPECT_GE(poll.calls + 2, intervals / 2);
    EXPECT_LE(poll.calls, intervals + 1);
}

TEST(PoolStop, StopEndsTheLoopAfterTheBlocksInFlightAndSticksForTheScope) {
    CountingPoll poll;
    poll.stop_at = 2;
    SlowBlocks blocks;
    {
        StopPoll scope(&CountingPoll::fn, &poll);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(parallel_for(0, 100'000, std::ref(blocks), 1), Stopped);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(blocks.in_flight.load(), 0U);  // every block that started has finished
        EXPECT_LT(blocks.started.load(), 100'000U);
        EXPECT_LT(elapsed, 2 * kPollInterval + std::chrono::seconds(1));
        EXPECT_TRUE(scope.stopped());

        // Later loops and sequential checks of the same scope stop at once, without a poll.
        const std::size_t calls = poll.calls;
        std::atomic<int> ran{0};
        EXPECT_THROW(parallel_for(0, 1000, [&](std::size_t, std::size_t) { ran = 1; }), Stopped);
        EXPECT_THROW(parallel_for(0, 1, [&](std::size_t, std::size_t) { ran = 1; }), Stopped);
        EXPECT_THROW(check_stop(), Stopped);
        EXPECT_EQ(ran.load(), 0);
        EXPECT_EQ(poll.calls, calls);
    }
    // Outside the scope everything runs again.
    EXPECT_NO_THROW(check_stop());
    std::atomic<std::size_t> total{0};
    parallel_for(0, 1000, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
    EXPECT_EQ(total.load(), 1000U);
}

TEST(PoolStop, LoopNestedInAnInlineBlockStopsTheOuterLoop) {
    CountingPoll poll;
    poll.stop_at = 1;
    SlowBlocks blocks;
    StopPoll scope(&CountingPoll::fn, &poll);
    // One block runs on the caller; the loop inside it goes to the workers and is polled.
    EXPECT_THROW(
        parallel_for(
            0, 1, [&](std::size_t, std::size_t) { parallel_for(0, 100'000, std::ref(blocks), 1); }),
        Stopped);
    EXPECT_LT(blocks.started.load(), 100'000U);
}

TEST(PoolStop, SequentialCheckPollsWhenDue) {
    CountingPoll poll;
    poll.stop_at = 1;
    StopPoll scope(&CountingPoll::fn, &poll);
    EXPECT_NO_THROW(check_stop());  // not due yet
    EXPECT_EQ(poll.calls, 0U);
    std::this_thread::sleep_for(kPollInterval + std::chrono::milliseconds(5));
    EXPECT_THROW(check_stop(), Stopped);
    EXPECT_EQ(poll.calls, 1U);
}

TEST(PoolStop, OnlyTheStoppedLoopEndsWhileOthersComplete) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> others;
    for (int t = 0; t < 3; ++t) {
        others.emplace_back([&] {
            for (int loop = 0; loop < 50; ++loop) {
                std::vector<std::atomic<int>> visits(300);
                parallel_for(
                    0, visits.size(),
                    [&](std::size_t b, std::size_t e) {
                        for (std::size_t i = b; i < e; ++i) {
                            visits[i].fetch_add(1);
                        }
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                    },
                    3);
                for (auto& v : visits) {
                    wrong += v.load() != 1;
                }
            }
        });
    }
    CountingPoll poll;
    poll.stop_at = 3;
    SlowBlocks blocks;
    {
        StopPoll scope(&CountingPoll::fn, &poll);
        EXPECT_THROW(parallel_for(0, 100'000, std::ref(blocks), 1), Stopped);
    }
    for (auto& t : others) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PoolStop, ThrowingPollLeavesNoWorkerInTheLoop) {
    struct PollError {};
    SlowBlocks blocks;
    blocks.block_time = std::chrono::milliseconds(10);
    auto throwing = [](void*) -> bool { throw PollError{}; };
    StopPoll scope(throwing, nullptr);
    EXPECT_THROW(parallel_for(0, 100'000, std::ref(blocks), 1), PollError);
    EXPECT_EQ(blocks.in_flight.load(), 0U);
    const std::size_t started = blocks.started.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(blocks.started.load(), started);
}

// The way an exiting interpreter ends a daemon thread that asks for its lock back:
// pthread_exit, which unwinds the thread's stack with abi::__forced_unwind.
TEST(PoolStop, ThreadEndedFromItsPollLeavesNoWorkerOnItsStack) {
    struct Shared {
        SlowBlocks blocks;
        std::atomic<std::size_t> in_flight_at_exit{~std::size_t{0}};
    } shared;
    shared.blocks.block_time = std::chrono::milliseconds(10);
    auto thread_main = [](void* arg) -> void* {
        auto& state = *static_cast<Shared*>(arg);
        // Destroyed as the forced unwind leaves this frame, after the loop's frames.
        struct AtExit {
            Shared& state;
            ~AtExit() { state.in_flight_at_exit = state.blocks.in_flight.load(); }
        } at_exit{state};
        StopPoll scope([](void*) -> bool { pthread_exit(nullptr); }, nullptr);
        parallel_for(0, 100'000, std::ref(state.blocks), 1);
        return nullptr;
    };
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, thread_main, &shared), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_EQ(shared.in_flight_at_exit.load(), 0U);
    const std::size_t started = shared.blocks.started.load();
    EXPECT_LT(started, 100'000U);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(shared.blocks.started.load(), started);

    std::atomic<std::size_t> total{0};
    parallel_for(0, 1000, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
    EXPECT_EQ(total.load(), 1000U);
}

// ---------------------------------------------------------------------------------------------
// Failing bodies

struct FailCase {
    const char* name;
    std::function<void()> raise;
    detail::Failure failure;
    const char* message;
};

class PoolFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(PoolFailure, FirstFailureIsReportedAndNewBlocksStop) {
    const FailCase& c = GetParam();
    constexpr std::size_t n = 2000;
    std::atomic<std::size_t> ran{0};
    auto body = [&](std::size_t b, std::size_t) {
        if (b == 0) {
            c.raise();
        }
        ran.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    using B = decltype(body);
    const detail::Outcome outcome = detail::run_blocks(
        0, n, 1, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<B*>(ctx))(b, e); },
        &body);
    EXPECT_EQ(outcome.failure, c.failure);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_LT(ran.load(), n - 1);

    // Same again through parallel_for, on the pool and on the inline single-block path.
    for (std::size_t grain : {std::size_t{1}, n}) {
        try {
            parallel_for(
                0, n,
                [&](std::size_t b, std::size_t) {
                    if (b == 0) {
                        c.raise();
                    }
                },
                grain);
            ADD_FAILURE() << "no exception, grain " << grain;
        } catch (const std::bad_alloc&) {
            EXPECT_EQ(c.failure, detail::Failure::OutOfMemory);
        } catch (const InternalError& error) {
            EXPECT_EQ(c.failure, detail::Failure::Internal);
            EXPECT_EQ(std::string(error.what()), c.message);
        }
    }

    // The pool is still usable.
    std::atomic<std::size_t> total{0};
    parallel_for(0, n, [&](std::size_t b, std::size_t e) { total.fetch_add(e - b); });
    EXPECT_EQ(total.load(), n);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PoolFailure,
    ::testing::Values(FailCase{"BadAlloc", [] { throw std::bad_alloc(); },
                               detail::Failure::OutOfMemory, ""},
                      FailCase{"RuntimeError", [] { throw std::runtime_error("row 7 broke"); },
                               detail::Failure::Internal, "row 7 broke"},
                      FailCase{"InternalError", [] { throw InternalError("bad invariant"); },
                               detail::Failure::Internal, "bad invariant"},
                      FailCase{"NotAnException", [] { throw 42; }, detail::Failure::Internal,
                               "unknown error in a worker task"}),
    [](const ::testing::TestParamInfo<FailCase>& p) { return std::string(p.param.name); });

TEST(PoolFailureConcurrent, EveryBlockThrowingStillReportsOnce) {
    try {
        parallel_for(
            0, 10000, [](std::size_t, std::size_t) { throw std::runtime_error("x"); }, 1);
        ADD_FAILURE() << "no exception";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "x");
    }
}

// ---------------------------------------------------------------------------------------------
// fork()

// Runs `child` in a forked child process and returns its exit code, or -1 if it did not exit
// normally within 60 seconds (a deadlocked child is killed, not waited on forever).
// The outermost child leads a process group, so a timeout also kills the grandchildren.
int run_in_child(const std::function<int()>& child) {
    static bool in_test_child = false;
    const pid_t pid = fork();
    if (pid < 0) {
        return -2;
    }
    if (pid == 0) {
        if (!in_test_child) {
            in_test_child = true;
            setpgid(0, 0);
        }
        int code = 99;
        try {
            code = child();
        } catch (...) {
            code = 98;
        }
        _exit(code);
    }
    if (!in_test_child) {
        setpgid(pid, pid);  // also here, so the group exists whichever side runs first
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(in_test_child ? pid : -pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// 0 when a parallel sum over [0, n) is right and used only real worker threads.
int child_sum_check() {
    constexpr std::size_t n = 10000;
    std::atomic<std::size_t> sum{0};
    parallel_for(
        0, n,
        [&](std::size_t b, std::size_t e) {
            std::size_t local = 0;
            for (std::size_t i = b; i < e; ++i) {
                local += i;
            }
            sum.fetch_add(local);
        },
        16);
    return sum.load() == n * (n - 1) / 2 ? 0 : 1;
}

TEST(PoolFork, ChildOfAProcessWithAnIdlePoolGetsAWorkingPool) {
    ASSERT_EQ(child_sum_check(), 0);  // the parent's pool exists and has run a loop
    EXPECT_EQ(run_in_child(child_sum_check), 0);
    EXPECT_EQ(run_in_child([] {
                  // A grandchild too: the handlers are inherited.
                  if (child_sum_check() != 0) {
                      return 1;
                  }
                  return run_in_child(child_sum_check);
              }),
              0);
    EXPECT_EQ(child_sum_check(), 0);  // and the parent's pool still works
}

TEST(PoolFork, ChildForkedDuringAnotherThreadsLoopGetsAWorkingPool) {
    std::atomic<bool> release{false};
    std::atomic<std::size_t> started{0};
    const std::size_t n_blocks = 4 * size();
    std::thread busy([&] {
        parallel_for(
            0, n_blocks,
            [&](std::size_t, std::size_t) {
                started.fetch_add(1);
                while (!release) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            },
            1);
    });
    while (started.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int child_code = run_in_child(child_sum_check);
    release = true;
    busy.join();
    EXPECT_EQ(child_code, 0);
    EXPECT_EQ(started.load(), n_blocks);
}

TEST(PoolFork, ChildReadsTheEnvironmentAgain) {
    size();  // make sure the parent's pool exists before the fork
    const int code = run_in_child([] {
        setenv("RAYON_NUM_THREADS", "3", 1);
        if (size() != 3) {
            return 1;
        }
        std::mutex ids_mutex;
        std::set<std::thread::id> ids;
        parallel_for(
            0, 3000,
            [&](std::size_t, std::size_t) {
                std::lock_guard<std::mutex> lock(ids_mutex);
                ids.insert(std::this_thread::get_id());
            },
            1);
        return ids.size() <= 3 && ids.count(std::this_thread::get_id()) == 0 ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

TEST(PoolFork, PoolSizeFollowsTheAffinityMask) {
    const int code = run_in_child([] {
        // Pin the child to the first CPU it may use, as `taskset -c N` would.
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) != 0) {
            return 10;
        }
        int first = 0;
        while (!CPU_ISSET(first, &set)) {
            ++first;
        }
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        if (sched_setaffinity(0, sizeof(set), &set) != 0) {
            return 11;
        }
        unsetenv("RAYON_NUM_THREADS");
        unsetenv("RAYON_RS_NUM_CPUS");
        if (available_processors() != 1) {
            return 1;
        }
        return size() == 1 ? child_sum_check() : 2;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace kestrilune::pool
