#include "dispatch/dispatch.hpp"

#include <cstdlib>

namespace kestrilune::dispatch {

std::string_view name(Level level) noexcept {
    switch (level) {
        case Level::Baseline:
            return "baseline";
        case Level::Avx2:
            return "avx2";
        case Level::Avx512:
            return "avx512";
    }
    return "baseline";
}

std::optional<Level> parse_level(std::string_view text) noexcept {
    for (const Level level : kLevels) {
        const std::string_view want = name(level);
        if (text.size() != want.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t c = 0; c < text.size() && same; ++c) {
            const char lower =
                (text[c] >= 'A' && text[c] <= 'Z') ? static_cast<char>(text[c] + 32) : text[c];
            same = lower == want[c];
        }
        if (same) {
            return level;
        }
    }
    return std::nullopt;
}

Features allowed(Level level) noexcept {
    switch (level) {
        case Level::Baseline:
            return kNone;
        case Level::Avx2:
            return kPopcnt | kAvx2;
        case Level::Avx512:
            return kPopcnt | kAvx2 | kAvx512f | kAvx512Vpopcntdq;
    }
    return kNone;
}

Level level_of(Features features) noexcept {
    // Every processor with AVX2 has popcnt, every one with AVX-512F has AVX2; a level needs
    // all of its defining features so that forcing it never enables more than it names.
    const Features avx2 = kPopcnt | kAvx2;
    if ((features & (avx2 | kAvx512f)) == (avx2 | kAvx512f)) {
        return Level::Avx512;
    }
    if ((features & avx2) == avx2) {
        return Level::Avx2;
    }
    return Level::Baseline;
}

Level level_from_env(const char* value, Level cpu) noexcept {
    if (value == nullptr) {
        return cpu;
    }
    const std::optional<Level> wanted = parse_level(value);
    if (!wanted || *wanted > cpu) {
        return cpu;
    }
    return *wanted;
}

namespace {

Features detect() noexcept {
    Features found = kNone;
#if defined(__x86_64__)
    // The CPU model may not be filled in yet when a module loads. libgcc also checks that
    // the operating system saves the AVX and AVX-512 registers before reporting those.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("popcnt")) {
        found |= kPopcnt;
    }
    if (__builtin_cpu_supports("avx2")) {
        found |= kAvx2;
    }
    if (__builtin_cpu_supports("avx512f")) {
        found |= kAvx512f;
    }
    if (__builtin_cpu_supports("avx512vpopcntdq")) {
        found |= kAvx512Vpopcntdq;
    }
#endif
    return found;
}

}  // namespace

Features cpu_features() noexcept {
    static const Features cached = detect();
    return cached;
}

Level level() noexcept {
    static const Level cached =
        level_from_env(std::getenv("KESTRILUNE_ISA"), level_of(cpu_features()));
    return cached;
}

Features features() noexcept {
    static const Features cached = cpu_features() & allowed(level());
    return cached;
}

}  // namespace kestrilune::dispatch
