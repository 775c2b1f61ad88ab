// read_common_length: the branch lengths tree files write ("0.0123", "2.000000e-02",
// "14.940313381040394", "1.5E-4"), converted in the same pass that finds where they end,
// for the plain reader's hot loop. Everything else is left to parse_branch_length.
//
//     double value;
//     std::size_t n = read_common_length(p, end, value);  // 0: not a common form
//
// A common form is an optional sign, at most 19 digits in all with an optional '.', and an
// optional exponent of at most 4 digits, with the value digits x 10^power for a power of
// ten within 10^±27. When it returns n > 0, bytes [p, p + n) are such a number and `value`
// is parse_branch_length of exactly those bytes, bit for bit: both give the double nearest
// to the decimal (ties to even). The byte at p + n, if any, is not part of the number, and
// the caller decides whether the run of text goes on. With `convert` false it finds the same
// n and leaves `value` alone, for readers that only check a length: converting the 17
// digits BEAST writes took a good part of reading its trees.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrilune {

namespace detail {

// The double nearest to mantissa x 10^power (ties to even), for 0 < mantissa < 2^64 and
// power in [-27, 27], by integer arithmetic: mantissa x 5^power is at most 2^127, and
// mantissa / 5^-power is taken as a 64-bit quotient with its remainder (the sticky bit).
// The result is a normal double, scaled by a power of two.
inline double nearest_double(std::uint64_t mantissa, int power) noexcept {
    static constexpr std::uint64_t kPow5[] = {1,
                                              5,
                                              25,
                                              125,
                                              625,
                                              3125,
                                              15625,
                                              78125,
                                              390625,
                                              1953125,
                                              9765625,
                                              48828125,
                                              244140625,
                                              1220703125,
                                              6103515625,
                                              30517578125,
                                              152587890625,
                                              762939453125,
                                              3814697265625,
                                              19073486328125,
                                              95367431640625,
                                              476837158203125,
                                              2384185791015625,
                                              11920928955078125,
                                              59604644775390625,
                                              298023223876953125,
                                              1490116119384765625,
                                              7450580596923828125};
    __extension__ typedef unsigned __int128 u128;  // a g++ extension; -Wpedantic wants the marker
    std::uint64_t top = 0;  // the leading bits, at least 54 of them
    int scale = 0;          // value = (top + fraction) x 2^scale
    bool sticky = false;    // the fraction is not zero
    if (power >= 0) {
        const u128 product = static_cast<u128>(mantissa) * kPow5[power];
        const auto high = static_cast<std::uint64_t>(product >> 64);
        const int drop = high == 0 ? 0 : 64 - std::countl_zero(high);
        top = static_cast<std::uint64_t>(product >> drop);
        sticky = drop != 0 && (static_cast<std::uint64_t>(product) << (64 - drop)) != 0;
        scale = drop + power;
    } else {
        const std::uint64_t divisor = kPow5[-power];
        const int shift = 63 + std::bit_width(divisor) - std::bit_width(mantissa);
        const u128 numerator = static_cast<u128>(mantissa) << shift;
        top = static_cast<std::uint64_t>(numerator / divisor);  // in [2^62, 2^64)
        sticky = numerator != static_cast<u128>(top) * divisor;
        scale = power - shift;
    }
    const int bits = std::bit_width(top);
    if (bits <= 53) {
        return static_cast<double>(top) * std::bit_cast<double>(
                                              static_cast<std::uint64_t>(1023 + scale) << 52);
    }
    const int cut = bits - 53;
    std::uint64_t kept = top >> cut;
    const std::uint64_t rest = top & ((std::uint64_t{1} << cut) - 1);
    const std::uint64_t half = std::uint64_t{1} << (cut - 1);
    kept += (rest > half || (rest == half && (sticky || (kept & 1) != 0))) ? 1 : 0;
    return static_cast<double>(kept) *
           std::bit_cast<double>(static_cast<std::uint64_t>(1023 + scale + cut) << 52);
}

// The digits before and after an optional '.' at q, one at a time, each given to `add`;
// q ends one past them, n_digits counts them, power is minus the count after the point.
template <class Add>
inline void read_digit_runs(const char*& q, const char* end, std::ptrdiff_t& n_digits,
                            std::int64_t& power, Add add) noexcept {
    const auto digit = [](char c) {
        return static_cast<unsigned>(static_cast<unsigned char>(c) - '0');
    };
    const char* const int_begin = q;
    while (q < end && digit(*q) < 10) {
        add(digit(*q));
        ++q;
    }
    n_digits = q - int_begin;
    if (q < end && *q == '.') {
        ++q;
        const char* const frac_begin = q;
        while (q < end && digit(*q) < 10) {
            add(digit(*q));
            ++q;
        }
        power = -(q - frac_begin);
        n_digits += q - frac_begin;
    }
}

// The digits of a number before and after an optional '.' at q, as read_common_length
// reads them, without their value: `nonzero` is 1 when some digit is not 0, which is all
// that decides whether it takes the number. Where 32 bytes remain, their extent comes from
// vector compares of those bytes: one digit at a time, the 17 digits BEAST writes after the
// point were a third of reading its trees.
inline void scan_mantissa(const char*& q, const char* end, std::uint64_t& nonzero,
                          std::ptrdiff_t& n_digits, std::int64_t& power) noexcept {
#if defined(__SSE2__)
    if (end - q >= 32) {
        const auto bits = [q](char low, char high) {
            const auto half = [&](const char* at) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(low));
                const auto top = static_cast<char>(high - low);
                const __m128i in = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(top)), offset);
                return static_cast<std::uint32_t>(_mm_movemask_epi8(in));
            };
            return half(q) | (half(q + 16) << 16);
        };
        const std::uint32_t digits = bits('0', '9');
        const std::uint32_t nonzeros = bits('1', '9');
        // More than 19 digits (every run that reaches the end of the 32 bytes has more) are
        // declined by the caller whatever follows.
        const int whole = std::countr_one(digits);
        n_digits = whole;
        if (whole > 19) {
            return;
        }
        std::uint32_t run = (1u << whole) - 1;
        int fraction = 0;
        if (q[whole] == '.') {
            fraction = std::countr_one(digits >> (whole + 1));
            n_digits += fraction;
            if (n_digits > 19) {
                return;
            }
            run |= ((1u << fraction) - 1) << (whole + 1);
            q += whole + 1 + fraction;
        } else {
            q += whole;
        }
        power = -fraction;
        nonzero = (run & nonzeros) != 0 ? 1 : 0;
        return;
    }
#endif
    unsigned any = 0;
    read_digit_runs(q, end, n_digits, power, [&any](unsigned digit) { any |= digit; });
    nonzero = any != 0 ? 1 : 0;
}

}  // namespace detail

inline std::size_t read_common_length(const char* p, const char* end, double& value,
                                      bool convert = true) noexcept {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    auto digit = [](char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); };
    const char* q = p;
    bool negative = false;
    if (q < end && (*q == '-' || *q == '+')) {
        negative = *q == '-';
        ++q;
    }
    // Without `convert`, 1 stands for any mantissa other than 0: the tests below take the
    // same numbers.
    std::uint64_t mantissa = 0;
    std::ptrdiff_t n_digits = 0;
    std::int64_t power = 0;
    if (!convert) {
        detail::scan_mantissa(q, end, mantissa, n_digits, power);
    } else {
        detail::read_digit_runs(q, end, n_digits, power, [&mantissa](unsigned d) {
            mantissa = mantissa * 10 + d;
        });
    }
    // More than 19 digits may have wrapped around the 64 bits; such numbers take the full
    // conversion anyway.
    if (n_digits == 0 || n_digits > 19) {
        return 0;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        ++q;
        bool exponent_negative = false;
        if (q < end && (*q == '+' || *q == '-')) {
            exponent_negative = *q == '-';
            ++q;
        }
        const char* const exp_begin = q;
        std::int64_t exponent = 0;
        while (q < end && digit(*q) < 10) {
            if (q - exp_begin == 4) {
                return 0;
            }
            exponent = exponent * 10 + digit(*q);
            ++q;
        }
        if (q == exp_begin) {
            return 0;
        }
        power += exponent_negative ? -exponent : exponent;
    }
    const bool exact_factors = mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22;
    if (!convert) {
        return exact_factors || (mantissa != 0 && power >= -27 && power <= 27)
                   ? static_cast<std::size_t>(q - p)
                   : 0;
    }
    double magnitude = 0;
    if (exact_factors) {
        // Clinger's fast path: both factors are exact doubles, so one operation rounds.
        const double m = static_cast<double>(mantissa);
        magnitude = power < 0 ? m / kPow10[-power] : m * kPow10[power];
    } else if (mantissa != 0 && power >= -27 && power <= 27) {
        magnitude = detail::nearest_double(mantissa, static_cast<int>(power));
    } else {
        return 0;
    }
    value = negative ? -magnitude : magnitude;
    return static_cast<std::size_t>(q - p);
}

}  // namespace kestrilune
