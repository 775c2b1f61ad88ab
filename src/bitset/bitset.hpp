// Bitset: a set of leaves, one bit per leaf. Leaf i is bit (i % 64) of word (i / 64).
// Invariant: bits at positions n_leaves and above are always zero, so equality, hashing
// and ordering work on whole words.
//
// Ascending Bitset order compares word 0 first, then word 1, ..., each word as an unsigned
// integer; with fewer than 65 leaves it is the numeric order of the set's value:
// {0} < {1} < {0,1} < {2}. With 65 leaves {64} (words 0, 1) sorts before {0} (words 1, 0).
//
// The free functions on word spans serve flat storage (snapshot scratch tables) without a
// Bitset per set.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dispatch/dispatch.hpp"

namespace kestrilune {

inline std::size_t words_for_leaves(std::size_t n_leaves) { return (n_leaves + 63) / 64; }

// Ascending Bitset order over two word arrays (a shorter array that is a prefix of the
// other sorts first).
std::strong_ordering compare_words(std::span<const std::uint64_t> a,
                                   std::span<const std::uint64_t> b) noexcept;

// Whether the n words at a and at b are equal. Every word is read, without an exit on the
// first difference: the lookups that call it compare after their 64-bit hashes matched,
// when the arrays are nearly always equal, and a loop with no branch in it runs through
// a short array faster than a call to memcmp.
inline bool equal_words(const std::uint64_t* a, const std::uint64_t* b, std::size_t n) noexcept {
    std::uint64_t differ = 0;
    for (std::size_t w = 0; w < n; ++w) {
        differ |= a[w] ^ b[w];
    }
    return differ == 0;
}

// Fast unkeyed hash over the word count and the words; equal arrays hash equal.
std::uint64_t hash_words(std::span<const std::uint64_t> words) noexcept;

// Uses the popcnt instruction where the dispatch level allows it.
std::size_t count_ones(std::span<const std::uint64_t> words) noexcept;

namespace detail {
// The compiled variants of count_ones, best first, and count_ones with the variant that
// `features` selects (for tests that run each one).
std::vector<dispatch::VariantInfo> count_ones_variants();
std::size_t count_ones_with(std::span<const std::uint64_t> words,
                            dispatch::Features features) noexcept;
}  // namespace detail

// Inverts every word in place, then clears the bits at n_leaves and above in the last word.
void complement_in_place(std::span<std::uint64_t> words, std::size_t n_leaves) noexcept;

// Writes the first `n_bytes` bytes of the words, each word least significant byte first.
// Precondition: n_bytes <= 8 * words.size().
void write_le_bytes(std::span<const std::uint64_t> words, std::uint8_t* out,
                    std::size_t n_bytes) noexcept;

struct Bitset {
    std::vector<std::uint64_t> words;

    static Bitset zeros(std::size_t n_words) { return Bitset{std::vector<std::uint64_t>(n_words)}; }

    // Precondition: i / 64 < words.size().
    void set(std::size_t i) noexcept;
    bool test(std::size_t i) const noexcept;
    // OR of other's words into this one, over the shorter of the two word counts.
    void union_with(const Bitset& other) noexcept;
    std::size_t count_ones() const noexcept { return kestrilune::count_ones(words); }
    bool has_first_leaf() const noexcept { return !words.empty() && (words[0] & 1u) != 0; }
    // Precondition: words.size() == words_for_leaves(n_leaves).
    Bitset complement(std::size_t n_leaves) const;
    std::uint64_t hash() const noexcept { return hash_words(words); }
    std::vector<std::uint8_t> to_le_bytes(std::size_t n_bytes) const;

    friend bool operator==(const Bitset& a, const Bitset& b) noexcept = default;
    friend std::strong_ordering operator<=>(const Bitset& a, const Bitset& b) noexcept {
        return compare_words(a.words, b.words);
    }
};

struct BitsetHash {
    std::size_t operator()(const Bitset& b) const noexcept { return b.hash(); }
};

}  // namespace kestrilune
