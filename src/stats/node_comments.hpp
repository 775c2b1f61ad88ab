// What annotated sample trees say about chosen clades: for every clade, how many trees hold
// it and, from each of those trees, the node's height, its branch length and the values of
// its "[&key=value,...]" comments; optionally the height of the clade's most recent common
// ancestor in every tree. This is the reading behind TreeAnnotator's node annotations in
// kestrilune_tools.analyses.summaries.annotate, done natively for the texts that BEAST,
// MrBayes and RevBayes write.
//
//     Result<NodeComments, std::string> made = NodeComments::make(n_leaves, words, true);
//     NodeComments& pass = made.value();
//     const std::size_t labels = pass.add_labels(label_to_leaf).value();
//     std::size_t taken = pass.add(texts, tables);  // texts before the first one declined
//
// The reader takes a text only where it reads it as the full reader does: a text with a
// quoted label, a blank or quote inside a comment, an unquoted value that is not a plain
// decimal number, a number that is not plain decimal (inf, nan, 1_000), an unknown taxon,
// a branch without a length or anything malformed is declined, and nothing of it is kept:
// the caller reads that tree, and the ones after it, with the full reader (which also
// gives the errors their words). Numbers are converted correctly rounded, as Python's
// float() converts them; heights are computed with the same operations in the same order.
// The texts of one add() are read in parallel on the worker pool, then taken in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.hpp"

namespace kestrilune::stats {

class NodeComments {
public:
    // clade_words: n_clades rows of ceil(n_leaves / 64) words, bit l of word l / 64 for
    // leaf l, every row non-empty, within the leaves and distinct.
    static Result<NodeComments, std::string> make(std::size_t n_leaves,
                                                  std::span<const std::uint64_t> clade_words,
                                                  bool with_ca);

    // A table from label to leaf (each text names its leaves through one); its number for
    // add().
    Result<std::size_t, std::string> add_labels(
        std::unordered_map<std::string, std::int32_t> labels);
    std::size_t n_label_tables() const noexcept { return labels_.size(); }

    // Reads texts[k] through label table tables[k] (each below n_label_tables()), in
    // parallel, and takes them in order up to the first one declined; returns how many
    // were taken. Nothing of a declined text, or of any after it, is kept.
    std::size_t add(std::span<const std::string_view> texts,
                    std::span<const std::size_t> tables);

    // Results. Key 0 is "height", key 1 "length"; values are in the order of the trees.
    struct Text {
        std::string value;
        std::int64_t count = 0;
    };
    struct Values {
        std::size_t key = 0;
        std::vector<double> numbers;
        std::vector<Text> texts;  // in order of first appearance
    };
    std::size_t n_clades() const noexcept { return counts_.size(); }
    const std::vector<std::string>& keys() const noexcept { return keys_; }
    std::int64_t count(std::size_t clade) const noexcept { return counts_[clade]; }
    // Per clade, one entry per key it has seen a value for, in order of first appearance.
    std::vector<Values>& values(std::size_t clade) noexcept { return values_[clade]; }
    // Per clade, one height per tree taken (empty without with_ca).
    const std::vector<double>& ca_heights(std::size_t clade) const noexcept { return ca_[clade]; }

    // What one text gives, read on a worker (see node_comments.cpp).
    enum class Kind : std::uint8_t { Number, Text, Skipped };
    struct Entry {
        std::string_view key;
        Kind kind;
        double number;
        std::string_view text;
    };
    struct Node {
        std::int64_t clade;
        double height;
        double length;
        std::uint32_t first_entry;
        std::uint32_t n_entries;
    };
    struct Read {
        bool taken = false;
        std::vector<Node> nodes;     // the nodes holding a chosen clade, in preorder
        std::vector<Entry> entries;  // their comment values, the last of each key
        std::vector<double> ca;      // per clade (with_ca)
    };

private:
    // Label tables looked up by the text's own bytes (no string made per leaf).
    struct ViewHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    using Labels = std::unordered_map<std::string, std::int32_t, ViewHash, std::equal_to<>>;

    NodeComments() = default;

    bool read(std::string_view text, const Labels& labels, Read& out) const;
    std::int64_t clade_of(const std::uint64_t* words) const noexcept;
    std::uint32_t key_of(std::string_view key);
    void take(const Read& read);
    void push(std::size_t clade, std::uint32_t key, double number);
    void push_text(std::size_t clade, std::uint32_t key, std::string_view text);

    std::size_t n_leaves_ = 0;
    std::size_t n_words_ = 0;
    bool with_ca_ = false;
    std::vector<std::uint64_t> clade_words_;
    std::vector<std::int32_t> low_leaf_;  // per clade: its lowest leaf
    std::vector<std::int64_t> slots_;     // open addressing: clade or -1
    std::vector<Labels> labels_;
    std::vector<std::string> keys_;
    std::unordered_map<std::string, std::uint32_t, ViewHash, std::equal_to<>> key_ids_;
    std::vector<std::uint32_t> next_key_;  // per key + 1 (0: a node's first), the key after
    std::vector<std::int64_t> counts_;
    std::vector<std::vector<Values>> values_;
    std::vector<std::vector<double>> ca_;
    std::vector<Read> reads_;  // one per text of an add(), kept for reuse
};

}  // namespace kestrilune::stats
