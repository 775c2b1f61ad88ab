// What annotated sample trees say about chosen clades: for every clade, how many trees hold
// it and, from each of those trees, the node's height, its branch length and the values of
// its "[&key=value,...]" comments; optionally the height of the clade's most recent common
// ancestor in every tree. This is the reading behind TreeAnnotator's node annotations in
// kestrilune_tools.analyses.summaries.annotate, done natively for the texts that BEAST,
// MrBayes and RevBayes write.
//
//     NodeComments pass(n_leaves, clade_words, /*with_ca=*/true);
//     const std::size_t labels = pass.add_labels(label_to_leaf);
//     for (...) if (!pass.add(text, labels)) { /* left to the full reader, from this tree */ }
//
// The reader takes a text only where it reads it as the full reader does: a text with a
// quoted label, a blank or quote inside a comment, an unquoted value that is not a plain
// decimal number, a number that is not plain decimal (inf, nan, 1_000), an unknown taxon,
// a branch without a length or anything malformed is declined, and nothing of it is kept:
// the caller reads that tree, and the ones after it, with the full reader (which also
// gives the errors their words). Numbers are converted correctly rounded, as Python's
// float() converts them; heights are computed with the same operations in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrilune::stats {

class NodeComments {
public:
    // clade_words: n_clades rows of ceil(n_leaves / 64) words, bit l of word l / 64 for
    // leaf l, every row non-empty and distinct.
    NodeComments(std::size_t n_leaves, std::span<const std::uint64_t> clade_words, bool with_ca);

    // A table from label to leaf (each text names its leaves through one); returns its
    // number for add().
    std::size_t add_labels(std::unordered_map<std::string, std::int32_t> labels);

    // Reads one tree. False: declined (see above), and nothing of it kept.
    bool add(std::string_view text, std::size_t labels);

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
    // Per clade, one height per tree read (empty without with_ca).
    const std::vector<double>& ca_heights(std::size_t clade) const noexcept { return ca_[clade]; }

private:
    // A node's comment values, the last of each key (an empty value keeps the one before).
    enum class Kind : std::uint8_t { Number, Text, Skipped };
    struct Entry {
        std::uint32_t key;
        Kind kind;
        double number;
        std::string_view text;
    };

    bool read_comment(std::string_view body, std::size_t node);
    std::uint32_t key_of(std::string_view key);
    void set_entry(std::size_t node, const Entry& entry);
    std::int64_t clade_of(const std::uint64_t* words) const noexcept;
    std::uint32_t new_node(std::int32_t parent, std::int32_t leaf);
    void push(std::size_t clade, std::uint32_t key, double number);
    void push_text(std::size_t clade, std::uint32_t key, std::string_view text);

    std::size_t n_leaves_;
    std::size_t n_words_;
    bool with_ca_;
    std::vector<std::uint64_t> clade_words_;
    std::vector<std::int32_t> low_leaf_;         // per clade: its lowest leaf
    std::vector<std::int64_t> slots_;            // open addressing: clade or -1
    std::vector<std::unordered_map<std::string, std::int32_t>> labels_;
    std::vector<std::string> keys_;
    std::unordered_map<std::string, std::uint32_t> key_ids_;
    std::vector<std::int64_t> counts_;
    std::vector<std::vector<Values>> values_;
    std::vector<std::vector<double>> ca_;

    // Per tree, reused: nodes in preorder.
    std::vector<std::int32_t> parent_;
    std::vector<double> length_;
    std::vector<std::uint8_t> has_length_;
    std::vector<std::int32_t> leaf_;
    std::vector<std::vector<Entry>> entries_;  // per node (kept across trees for reuse)
    std::vector<std::int32_t> stack_;
    std::vector<std::uint64_t> masks_;
    std::vector<double> depth_;
    std::vector<std::int64_t> clade_;
    std::vector<std::int32_t> node_of_leaf_;
    std::vector<double> ca_found_;  // per clade, this tree's common-ancestor height
};

}  // namespace kestrilune::stats
