// What each byte means to the Newick readers (Tree::from_newick and read_plain_newick), in
// one table so that both read the text alike.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrilune::detail {

// Bytes from 0x80 up start (or continue) a multi-byte character and are decoded only when
// met; the ASCII path never decodes.
enum class ByteClass : std::uint8_t {
    Ordinary,  // appended to the pending name or length
    Space,     // ASCII white space
    Quote,
    OpenBracket,
    CloseBracket,
    Colon,
    OpenParen,
    Comma,
    CloseParen,
    Semicolon,
    NonAscii,
};

constexpr std::array<ByteClass, 256> make_byte_classes() {
    std::array<ByteClass, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) {
        table[b] = b < 0x80 ? ByteClass::Ordinary : ByteClass::NonAscii;
    }
    for (std::size_t b = 0x09; b <= 0x0D; ++b) {
        table[b] = ByteClass::Space;
    }
    table[' '] = ByteClass::Space;
    table['"'] = ByteClass::Quote;
    table['['] = ByteClass::OpenBracket;
    table[']'] = ByteClass::CloseBracket;
    table[':'] = ByteClass::Colon;
    table['('] = ByteClass::OpenParen;
    table[','] = ByteClass::Comma;
    table[')'] = ByteClass::CloseParen;
    table[';'] = ByteClass::Semicolon;
    return table;
}

inline constexpr std::array<ByteClass, 256> kByteClass = make_byte_classes();

// The position of the first ']' in text[from, size), or `size` when there is none: the end
// of a "[&...]" annotation, which spans do not nest. Annotations are most of the bytes of
// BEAST files and mostly short (a few tens of bytes), too short for a call of memchr to pay
// for its setup. SSE2 is part of every x86-64 processor (the baseline level of
// dispatch.hpp), so no dispatch is needed; elsewhere the bytes are compared one by one.
inline std::size_t find_close_bracket(const char* text, std::size_t from,
                                      std::size_t size) noexcept {
#if defined(__SSE2__)
    const __m128i close = _mm_set1_epi8(']');
    while (size - from >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, close)));
        if (mask != 0) {
            return from + static_cast<std::size_t>(std::countr_zero(mask));
        }
        from += 16;
    }
#endif
    while (from < size && text[from] != ']') {
        ++from;
    }
    return from;
}

}  // namespace kestrilune::detail
