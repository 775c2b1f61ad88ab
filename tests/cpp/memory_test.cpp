#include "common/memory.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "common/errors.hpp"

namespace kestrilune {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(MemorySizes, ProductsSaturateInsteadOfWrapping) {
    EXPECT_EQ(bytes_of_cells(3, 5, 7), 105U);
    EXPECT_EQ(bytes_of_cells(std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1), kMax);
    EXPECT_EQ(bytes_of_cells(std::uint64_t{1} << 32, std::uint64_t{1} << 31, 4), kMax);
    EXPECT_EQ(bytes_of_cells(0, kMax, kMax), 0U);
}

TEST(MemorySizes, FormatsInDecimalUnits) {
    EXPECT_EQ(format_bytes(0), "0 bytes");
    EXPECT_EQ(format_bytes(999), "999 bytes");
    EXPECT_EQ(format_bytes(1000), "1.0 kB");
    EXPECT_EQ(format_bytes(1'500'000), "1.5 MB");
    EXPECT_EQ(format_bytes(999'960'000), "1.0 GB");
    EXPECT_EQ(format_bytes(std::uint64_t{160} * 1000 * 1000 * 1000), "160.0 GB");
    EXPECT_EQ(format_bytes(kMax), "more than 18 EB");
}

TEST(MemoryLimit, RefusesWhatExceedsTheLimitWithAMessage) {
    EXPECT_NO_THROW(require_fits(100, 100, "x"));
    try {
        require_fits(2'500'000'000, 2'000'000'000, "the distance matrix of 25000 trees");
        ADD_FAILURE() << "no exception";
    } catch (const TooLarge& error) {
        EXPECT_STREQ(error.what(),
                     "the distance matrix of 25000 trees needs 2.5 GB, more than the 2.0 GB of "
                     "memory this process may use");
    }
    EXPECT_THROW(require_fits(kMax, "anything"), std::bad_alloc);
}

TEST(MemoryLimit, FollowsTheAddressSpaceLimit) {
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer reserves terabytes of address space for its shadow memory, so a
    // process under a 3 GiB address-space cap cannot even start its allocator.
    GTEST_SKIP() << "an address-space cap leaves AddressSanitizer no room";
#endif
    const std::uint64_t unlimited = memory_limit_bytes();
    EXPECT_GT(unlimited, std::uint64_t{1} << 26);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit cap{std::uint64_t{3} << 30, std::uint64_t{3} << 30};
        if (setrlimit(RLIMIT_AS, &cap) != 0) {
            _exit(2);
        }
        _exit(memory_limit_bytes() == std::min(unlimited, std::uint64_t{3} << 30) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kestrilune
