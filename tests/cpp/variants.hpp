// Kernel variants as test parameters. A variant the processor cannot run is skipped with
// the features it lacks, so the test log says what went unexecuted on this machine:
//
//     class Kernel : public testing::TestWithParam<dispatch::VariantInfo> {};
//     TEST_P(Kernel, MatchesReference) {
//         KESTRILUNE_SKIP_UNLESS_RUNNABLE(GetParam());
//         run_kernel(..., GetParam().needs);
//     }
//     INSTANTIATE_TEST_SUITE_P(Variants, Kernel, testing::ValuesIn(rf_kernel_variants()),
//                              variant_name);
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "dispatch/dispatch.hpp"

namespace kestrilune::dispatch {

inline std::string feature_names(Features features) {
    std::string names;
    const auto add = [&](Features bit, const char* name) {
        if ((features & bit) != 0) {
            names += names.empty() ? name : std::string(" ") + name;
        }
    };
    add(kPopcnt, "popcnt");
    add(kAvx2, "avx2");
    add(kAvx512f, "avx512f");
    add(kAvx512Vpopcntdq, "avx512vpopcntdq");
    return names.empty() ? "nothing" : names;
}

inline void PrintTo(const VariantInfo& v, std::ostream* os) {
    *os << v.name;
}

inline Features missing_features(const VariantInfo& v) {
    return v.needs & ~cpu_features();
}

}  // namespace kestrilune::dispatch

#define KESTRILUNE_SKIP_UNLESS_RUNNABLE(variant)                           \
    if (::kestrilune::dispatch::missing_features(variant) != 0)            \
    GTEST_SKIP() << "variant " << (variant).name << " needs "              \
                 << ::kestrilune::dispatch::feature_names(                 \
                        ::kestrilune::dispatch::missing_features(variant)) \
                 << ", which this processor lacks"

namespace kestrilune {

inline std::string variant_name(const testing::TestParamInfo<dispatch::VariantInfo>& info) {
    return std::string(info.param.name);
}

}  // namespace kestrilune
