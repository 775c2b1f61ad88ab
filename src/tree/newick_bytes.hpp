// What each byte means to the Newick readers (Tree::from_newick and read_plain_newick), in
// one table so that both read the text alike.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

}  // namespace kestrilune::detail
