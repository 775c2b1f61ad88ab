// Which instruction-set extensions the kernels may use, decided once per process.
//
// The processor is asked once. The environment variable KESTRILUNE_ISA, read once like the
// pool size, may lower the level, so that every compiled kernel variant can be run (and
// every test suite rerun) on one machine:
//
//     KESTRILUNE_ISA=baseline   plain x86-64: no popcnt instruction, nothing beyond SSE2
//     KESTRILUNE_ISA=avx2       adds popcnt and AVX2
//     KESTRILUNE_ISA=avx512     adds AVX-512F, and VPOPCNTDQ where the processor has it
//
// A level above what the processor has is lowered to the processor's level; a value that
// is not one of these names is ignored, as the pool size variables ignore one that is not
// a number. Every variant of a kernel gives the same bits, so the level changes speed only.
//
// A kernel family is a table of variants, best first, each with the features it needs; the
// last one needs nothing:
//
//     constexpr dispatch::Variant<RowFn> kRows[] = {
//         {"avx512", dispatch::kAvx512f, row_avx512},
//         {"avx2", dispatch::kAvx2, row_avx2},
//         {"baseline", dispatch::kNone, row_baseline},
//     };
//     const RowFn row = dispatch::pick(kRows, dispatch::features()).fn;
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrilune::dispatch {

// A set of instruction-set features, one bit each.
using Features = std::uint32_t;
inline constexpr Features kNone = 0;
inline constexpr Features kPopcnt = 1u << 0;
inline constexpr Features kAvx2 = 1u << 1;
inline constexpr Features kAvx512f = 1u << 2;
inline constexpr Features kAvx512Vpopcntdq = 1u << 3;

enum class Level : std::uint8_t { Baseline, Avx2, Avx512 };
inline constexpr Level kLevels[] = {Level::Baseline, Level::Avx2, Level::Avx512};

std::string_view name(Level level) noexcept;
// The level a KESTRILUNE_ISA value names ("baseline", "avx2", "avx512", any letter case).
std::optional<Level> parse_level(std::string_view text) noexcept;

// The features a level allows at most: a processor at that level may lack some (VPOPCNTDQ).
Features allowed(Level level) noexcept;
// The highest level whose defining features are all in `features`.
Level level_of(Features features) noexcept;

// The level rule above, as a pure function of the variable's value (nullptr when unset)
// and the processor's level.
Level level_from_env(const char* value, Level cpu) noexcept;

// What the processor and the operating system support (x86-64; kNone elsewhere). Cached.
Features cpu_features() noexcept;
// The level in force: the processor's, lowered by KESTRILUNE_ISA. Cached.
Level level() noexcept;
// The features kernels may use: cpu_features() within allowed(level()). Cached.
Features features() noexcept;

template <class Fn>
struct Variant {
    std::string_view name;
    Features needs;
    Fn fn;
};

// The first variant whose needs are all available.
template <class Fn, std::size_t N>
constexpr const Variant<Fn>& pick(const Variant<Fn> (&table)[N], Features available) noexcept {
    static_assert(N > 0);
    for (const Variant<Fn>& variant : table) {
        if ((variant.needs & ~available) == 0) {
            return variant;
        }
    }
    return table[N - 1];  // needs nothing, by the table rule
}

// A variant without its function: what tests and diagnostics list.
struct VariantInfo {
    std::string_view name;
    Features needs;
};

template <class Fn, std::size_t N>
std::vector<VariantInfo> describe(const Variant<Fn> (&table)[N]) {
    std::vector<VariantInfo> infos;
    for (const Variant<Fn>& variant : table) {
        infos.push_back(VariantInfo{variant.name, variant.needs});
    }
    return infos;
}

}  // namespace kestrilune::dispatch
