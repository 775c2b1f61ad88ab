#include "bitset/bitset.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace kestrilune {

std::strong_ordering compare_words(std::span<const std::uint64_t> a,
                                   std::span<const std::uint64_t> b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    // Sets of big trees share long equal prefixes (the clades along a caterpillar differ
    // in one leaf); memcmp skips those a block at a time, faster than a word-wise loop
    // with an exit in it. Its sign is not the word order, so the block that differs is
    // searched word by word.
    constexpr std::size_t kBlock = 8;
    std::size_t w = 0;
    while (w + kBlock <= n &&
           std::memcmp(a.data() + w, b.data() + w, kBlock * sizeof(std::uint64_t)) == 0) {
        w += kBlock;
    }
    for (; w < n; ++w) {
        if (a[w] != b[w]) {
            return a[w] < b[w] ? std::strong_ordering::less : std::strong_ordering::greater;
        }
    }
    return a.size() <=> b.size();
}

namespace {

__extension__ typedef unsigned __int128 Uint128;  // g++ extension; -Wpedantic wants the marker

// wyhash's mixing step: the high and the low half of the full 128-bit product, XORed. One
// multiply carries every input bit into both halves, which a plain 64-bit multiply (which
// only moves bits upward) does not.
inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
    const Uint128 product = static_cast<Uint128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kSeed = 0xa0761d6478bd642fULL;  // wyhash's constants
constexpr std::uint64_t kMul = 0xe7037ed1a0b428dbULL;

}  // namespace

std::uint64_t hash_words(std::span<const std::uint64_t> words) noexcept {
    // The word count goes in first, so that arrays differing only by trailing zero words
    // hash apart. Two words per multiply, as wyhash takes its input: the chain of
    // dependent multiplies is what a hash of a few words waits on.
    std::uint64_t h = mum(kSeed ^ static_cast<std::uint64_t>(words.size()), kMul);
    std::size_t w = 0;
    for (; w + 2 <= words.size(); w += 2) {
        h = mum(words[w] ^ kSeed, words[w + 1] ^ h);
    }
    if (w < words.size()) {
        h = mum(words[w] ^ kSeed, h ^ kMul);
    }
    return mum(h, kSeed ^ kMul);
}

namespace {

using CountOnesFn = std::size_t (*)(std::span<const std::uint64_t>) noexcept;

// Baseline x86-64 has no popcnt instruction, so the builtin becomes a call to libgcc's
// __popcountdi2. Every x86-64 processor of the last fifteen years has the instruction, so a
// second copy is compiled for it and picked at run time.
std::size_t count_ones_baseline(std::span<const std::uint64_t> words) noexcept {
    std::size_t total = 0;
    for (const std::uint64_t word : words) {
        total += static_cast<std::size_t>(__builtin_popcountll(word));
    }
    return total;
}

#if defined(__x86_64__)
[[gnu::target("popcnt")]] std::size_t count_ones_popcnt(
    std::span<const std::uint64_t> words) noexcept {
    std::size_t total = 0;
    for (const std::uint64_t word : words) {
        total += static_cast<std::size_t>(__builtin_popcountll(word));
    }
    return total;
}
#endif

constexpr dispatch::Variant<CountOnesFn> kCountOnes[] = {
#if defined(__x86_64__)
    {"popcnt", dispatch::kPopcnt, count_ones_popcnt},
#endif
    {"baseline", dispatch::kNone, count_ones_baseline},
};

}  // namespace

std::size_t count_ones(std::span<const std::uint64_t> words) noexcept {
    static const CountOnesFn fn = dispatch::pick(kCountOnes, dispatch::features()).fn;
    return fn(words);
}

namespace detail {

std::vector<dispatch::VariantInfo> count_ones_variants() {
    return dispatch::describe(kCountOnes);
}

std::size_t count_ones_with(std::span<const std::uint64_t> words,
                            dispatch::Features features) noexcept {
    return dispatch::pick(kCountOnes, features).fn(words);
}

}  // namespace detail

void complement_in_place(std::span<std::uint64_t> words, std::size_t n_leaves) noexcept {
    assert(words.size() == words_for_leaves(n_leaves));
    for (std::uint64_t& word : words) {
        word = ~word;
    }
    // Keep the padding bits of the last word zero, so equality and order stay word-wise.
    const std::size_t used = n_leaves % 64;
    if (used != 0 && !words.empty()) {
        words[words.size() - 1] &= ~(~std::uint64_t{0} << used);
    }
}

void write_le_bytes(std::span<const std::uint64_t> words, std::uint8_t* out,
                    std::size_t n_bytes) noexcept {
    assert(n_bytes <= 8 * words.size());
    // Shifts rather than memcpy, so the bytes come out the same on any host byte order.
    for (std::size_t b = 0; b < n_bytes; ++b) {
        out[b] = static_cast<std::uint8_t>(words[b / 8] >> (8 * (b % 8)));
    }
}

void Bitset::set(std::size_t i) noexcept {
    assert(i / 64 < words.size());
    words[i / 64] |= std::uint64_t{1} << (i % 64);
}

bool Bitset::test(std::size_t i) const noexcept {
    assert(i / 64 < words.size());
    return ((words[i / 64] >> (i % 64)) & 1u) != 0;
}

void Bitset::union_with(const Bitset& other) noexcept {
    const std::size_t n = std::min(words.size(), other.words.size());
    for (std::size_t w = 0; w < n; ++w) {
        words[w] |= other.words[w];
    }
}

Bitset Bitset::complement(std::size_t n_leaves) const {
    Bitset result = *this;
    complement_in_place(result.words, n_leaves);
    return result;
}

std::vector<std::uint8_t> Bitset::to_le_bytes(std::size_t n_bytes) const {
    std::vector<std::uint8_t> bytes(n_bytes);
    write_le_bytes(words, bytes.data(), n_bytes);
    return bytes;
}

}  // namespace kestrilune
