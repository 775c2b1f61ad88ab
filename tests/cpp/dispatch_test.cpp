// The dispatch level: names, the environment rule, the picking of a variant, and (when the
// suite runs with KESTRILUNE_ISA set, as CI does once per level) that the level is in force.
#include "dispatch/dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "variants.hpp"

namespace kestrilune::dispatch {
namespace {

struct EnvCase {
    const char* name;
    const char* value;  // nullptr: unset
    Level cpu;
    Level expected;
};

class LevelFromEnv : public testing::TestWithParam<EnvCase> {};

TEST_P(LevelFromEnv, LowersButNeverRaises) {
    const EnvCase& c = GetParam();
    EXPECT_EQ(level_from_env(c.value, c.cpu), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LevelFromEnv,
    testing::Values(EnvCase{"Unset", nullptr, Level::Avx512, Level::Avx512},
                    EnvCase{"Lower", "baseline", Level::Avx512, Level::Baseline},
                    EnvCase{"Middle", "avx2", Level::Avx512, Level::Avx2},
                    EnvCase{"Same", "avx2", Level::Avx2, Level::Avx2},
                    EnvCase{"HigherThanCpu", "avx512", Level::Avx2, Level::Avx2},
                    EnvCase{"AnyCase", "AVX2", Level::Avx512, Level::Avx2},
                    EnvCase{"Unknown", "sse4", Level::Avx512, Level::Avx512},
                    EnvCase{"Empty", "", Level::Avx2, Level::Avx2},
                    EnvCase{"TrailingSpace", "baseline ", Level::Avx2, Level::Avx2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DispatchLevels, NamesRoundTripAndLevelsNest) {
    for (const Level level : kLevels) {
        EXPECT_EQ(parse_level(name(level)), level);
        EXPECT_EQ(level_of(allowed(level)), level) << name(level);
    }
    EXPECT_EQ(allowed(Level::Baseline), kNone);
    EXPECT_EQ(allowed(Level::Avx2) & ~allowed(Level::Avx512), kNone);
    // AVX-512F without AVX2 reported (a broken hypervisor) stays at the baseline level.
    EXPECT_EQ(level_of(kAvx512f), Level::Baseline);
    EXPECT_EQ(level_of(kPopcnt), Level::Baseline);
}

TEST(DispatchPick, TakesTheFirstVariantWhoseNeedsAreAvailable) {
    constexpr Variant<int> table[] = {
        {"wide", kPopcnt | kAvx512f | kAvx512Vpopcntdq, 3},
        {"popcnt", kPopcnt, 2},
        {"baseline", kNone, 1},
    };
    EXPECT_EQ(pick(table, allowed(Level::Avx512)).fn, 3);
    EXPECT_EQ(pick(table, kPopcnt | kAvx2 | kAvx512f).fn, 2);  // AVX-512 without VPOPCNTDQ
    EXPECT_EQ(pick(table, kAvx512Vpopcntdq).fn, 1);
    EXPECT_EQ(pick(table, kNone).fn, 1);
}

TEST(DispatchProcess, FeaturesFollowTheLevelInForce) {
    EXPECT_EQ(features(), cpu_features() & allowed(level()));
    EXPECT_LE(level(), level_of(cpu_features()));
    const char* forced = std::getenv("KESTRILUNE_ISA");
    if (forced == nullptr) {
        EXPECT_EQ(level(), level_of(cpu_features()));
        return;
    }
    // A suite run for one level must not quietly run another: a misspelt name would.
    const std::optional<Level> wanted = parse_level(forced);
    ASSERT_TRUE(wanted.has_value()) << "KESTRILUNE_ISA=" << forced << " names no level";
    if (*wanted > level_of(cpu_features())) {
        GTEST_SKIP() << "this processor cannot run level " << forced;
    }
    EXPECT_EQ(level(), *wanted);
}

}  // namespace
}  // namespace kestrilune::dispatch
