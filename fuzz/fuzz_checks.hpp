// Shared helpers of the fuzz harnesses: a check that aborts with a message (libFuzzer then
// saves the input), the translate maps the harnesses apply, and the invariants every
// Snapshot must keep.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bitset/bitset.hpp"
#include "io/io.hpp"
#include "snapshot/snapshot.hpp"

namespace kestrilune::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void check(bool condition, const char* what, const std::string& detail = {}) {
    if (!condition) {
        fail(what, detail);
    }
}

// No translation, and the numbers 1 .. 64 to taxon names, as a tree file's translate
// table gives them (the seed trees of MrBayes and BEAST files write their leaves so).
inline const TranslateMap& empty_map() {
    static const TranslateMap map;
    return map;
}

inline const TranslateMap& numbers_map() {
    static const TranslateMap map = [] {
        TranslateMap m;
        for (int i = 1; i <= 64; ++i) {
            m.emplace(std::to_string(i), "taxon_" + std::to_string(i));
        }
        return m;
    }();
    return map;
}

// Partitions strictly ascending, every one of n_words words with zero padding, one length
// each, leaf names sorted.
inline void check_snapshot(const Snapshot& s) {
    const std::size_t n_leaves = s.leaf_names.size();
    check(s.n_words == words_for_leaves(n_leaves), "snapshot word count");
    check(s.words.size() == s.size() * s.n_words, "snapshot words size");
    for (std::size_t k = 0; k < s.size(); ++k) {
        const auto words = s.partition(k);
        if (n_leaves % 64 != 0 && s.n_words > 0) {
            check((words[s.n_words - 1] >> (n_leaves % 64)) == 0, "padding bits set");
        }
        if (k > 0) {
            check(compare_words(s.partition(k - 1), words) < 0, "partitions not ascending");
        }
    }
    for (std::size_t i = 1; i < n_leaves; ++i) {
        check(s.leaf_names[i - 1] <= s.leaf_names[i], "leaf names not sorted");
    }
}

}  // namespace kestrilune::fuzz
