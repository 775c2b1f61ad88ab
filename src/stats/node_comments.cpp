// See node_comments.hpp. The reading follows annotate._parse step by step on the texts it
// takes: a comment belongs to the node last opened, closed or named, a word after ':' is
// that node's length, a word after '(' or ',' a leaf, any other word an internal label.
#include "stats/node_comments.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "tree/common_length.hpp"

namespace kestrilune::stats {
namespace {

constexpr std::int64_t kNoClade = -1;

// Bytes the full reader treats as a separator or leaves to another token; blanks beside.
bool is_blank(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
// Bytes whose reading is not plain here: other control bytes (some are blanks to Python)
// and every non-ASCII byte (a Unicode blank would be one too).
bool is_unusual(unsigned char c) noexcept {
    return (c < 0x20 && !is_blank(c)) || c >= 0x7f;
}
bool is_word(unsigned char c) noexcept {
    switch (c) {
        case '(': case ')': case ',': case ';': case ':': case '[': case ']': case '\'':
            return false;
        default:
            return !is_blank(c);
    }
}

// A decimal number as Python's float() reads one and converts it (correctly rounded):
// [+-] digits [. digits] [e [+-] digits], at least one mantissa digit. Anything else
// (inf, nan, underscores, out of range) is left to the full reader.
bool plain_number(std::string_view s, double& out) noexcept {
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        std::size_t exponent_digits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++exponent_digits;
        }
        if (exponent_digits == 0) {
            return false;
        }
    }
    if (i != n) {
        return false;
    }
    const char* first = s.data() + (s[0] == '+' ? 1 : 0);
    const char* last = s.data() + n;
    if (read_common_length(first, last, out) == static_cast<std::size_t>(last - first)) {
        return true;  // the usual forms, converted quickly (also to the nearest double)
    }
    const auto [end, ec] = std::from_chars(first, last, out, std::chars_format::general);
    return ec == std::errc() && end == last;
}

std::uint64_t hash_of(const std::uint64_t* words, std::size_t n) noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL;
    for (std::size_t k = 0; k < n; ++k) {
        h = (h ^ words[k]) * 0xff51afd7ed558ccdULL;
        h ^= h >> 32;
    }
    return h;
}

}  // namespace

NodeComments::NodeComments(std::size_t n_leaves, std::span<const std::uint64_t> clade_words,
                           bool with_ca)
    : n_leaves_(n_leaves), n_words_((n_leaves + 63) / 64), with_ca_(with_ca) {
    if (n_words_ == 0 || clade_words.size() % n_words_ != 0) {
        throw std::invalid_argument("clade words do not make whole rows");
    }
    clade_words_.assign(clade_words.begin(), clade_words.end());
    const std::size_t n_clades = clade_words.size() / n_words_;
    std::size_t capacity = 16;
    while (capacity < 2 * n_clades) {
        capacity *= 2;
    }
    slots_.assign(capacity, kNoClade);
    low_leaf_.assign(n_clades, -1);
    for (std::size_t c = 0; c < n_clades; ++c) {
        const std::uint64_t* words = clade_words_.data() + c * n_words_;
        for (std::size_t k = 0; k < n_words_ && low_leaf_[c] < 0; ++k) {
            if (words[k] != 0) {
                low_leaf_[c] = static_cast<std::int32_t>(k * 64 + std::countr_zero(words[k]));
            }
        }
        if (low_leaf_[c] < 0 || static_cast<std::size_t>(low_leaf_[c]) >= n_leaves ||
            (n_leaves % 64 != 0 && (words[n_words_ - 1] >> (n_leaves % 64)) != 0)) {
            throw std::invalid_argument("a clade is empty or names a leaf beyond the taxa");
        }
        std::size_t i = hash_of(words, n_words_) & (capacity - 1);
        while (slots_[i] != kNoClade) {
            if (std::equal(words, words + n_words_,
                           clade_words_.data() + static_cast<std::size_t>(slots_[i]) * n_words_)) {
                throw std::invalid_argument("a clade is given twice");
            }
            i = (i + 1) & (capacity - 1);
        }
        slots_[i] = static_cast<std::int64_t>(c);
    }
    keys_ = {"height", "length"};
    key_ids_ = {{"height", 0}, {"length", 1}};
    counts_.assign(n_clades, 0);
    values_.resize(n_clades);
    ca_.resize(with_ca ? n_clades : 0);
    ca_found_.resize(n_clades);
}

std::size_t NodeComments::add_labels(std::unordered_map<std::string, std::int32_t> labels) {
    for (const auto& [label, leaf] : labels) {
        if (leaf < 0 || static_cast<std::size_t>(leaf) >= n_leaves_) {
            throw std::invalid_argument("label '" + label + "' names a leaf beyond the taxa");
        }
    }
    labels_.push_back(std::move(labels));
    return labels_.size() - 1;
}

std::int64_t NodeComments::clade_of(const std::uint64_t* words) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash_of(words, n_words_) & mask;; i = (i + 1) & mask) {
        const std::int64_t c = slots_[i];
        if (c == kNoClade ||
            std::equal(words, words + n_words_,
                       clade_words_.data() + static_cast<std::size_t>(c) * n_words_)) {
            return c;
        }
    }
}

std::uint32_t NodeComments::key_of(std::string_view key) {
    const auto found = key_ids_.find(std::string(key));
    if (found != key_ids_.end()) {
        return found->second;
    }
    const auto id = static_cast<std::uint32_t>(keys_.size());
    keys_.emplace_back(key);
    key_ids_.emplace(keys_.back(), id);
    return id;
}

std::uint32_t NodeComments::new_node(std::int32_t parent, std::int32_t leaf) {
    const auto id = static_cast<std::uint32_t>(parent_.size());
    parent_.push_back(parent);
    length_.push_back(0.0);
    has_length_.push_back(0);
    leaf_.push_back(leaf);
    if (entries_.size() <= id) {
        entries_.emplace_back();
    }
    entries_[id].clear();
    return id;
}

void NodeComments::set_entry(std::size_t node, const Entry& entry) {
    for (Entry& e : entries_[node]) {
        if (e.key == entry.key) {
            e = entry;  // a later value of a key replaces the earlier one
            return;
        }
    }
    entries_[node].push_back(entry);
}

// The pairs of "[&body]", as annotate._PAIR finds them in a body without blanks or
// single quotes: key=number, key="text", key={...} (kept by the full reader as a list,
// which is not summarised, but it replaces an earlier value of its key) or key= (nothing).
bool NodeComments::read_comment(std::string_view body, std::size_t node) {
    for (const char ch : body) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_blank(c) || is_unusual(c) || c == '\'') {
            return false;
        }
    }
    std::size_t p = 0;
    const std::size_t n = body.size();
    while (p < n) {
        if (body[p] == ',') {
            ++p;
            continue;
        }
        std::size_t q = p;
        while (q < n && body[q] != '=' && body[q] != ',' && body[q] != '{' && body[q] != '}' &&
               body[q] != '"') {
            ++q;
        }
        if (q == p || q == n || body[q] != '=') {
            return false;
        }
        Entry entry{key_of(body.substr(p, q - p)), Kind::Skipped, 0.0, {}};
        const std::size_t v = q + 1;
        std::size_t end;
        if (v < n && (body[v] == '"' || body[v] == '{')) {
            const std::size_t close = body.find(body[v] == '"' ? '"' : '}', v + 1);
            if (close == std::string_view::npos) {
                return false;
            }
            end = close + 1;
            if (end < n && body[end] != ',') {
                return false;
            }
            if (body[v] == '"') {
                entry.kind = Kind::Text;
                entry.text = body.substr(v + 1, close - v - 1);
            }
        } else {
            end = std::min(body.find(',', v), n);
            if (end == v) {
                p = end;  // "key=" gives nothing and keeps an earlier value
                continue;
            }
            if (!plain_number(body.substr(v, end - v), entry.number)) {
                return false;
            }
            entry.kind = Kind::Number;
        }
        set_entry(node, entry);
        p = end;
    }
    return true;
}

bool NodeComments::add(std::string_view text, std::size_t labels_index) {
    if (labels_index >= labels_.size()) {
        throw std::invalid_argument("no such label table");
    }
    const auto& labels = labels_[labels_index];
    parent_.clear();
    length_.clear();
    has_length_.clear();
    leaf_.clear();
    stack_.clear();
    std::int64_t current = -1;  // the node a comment or a length belongs to
    bool after_colon = false;
    char prev = 0;  // the first byte of the token before, comments aside
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (is_blank(c)) {
            ++i;
            continue;
        }
        if (is_unusual(c) || c == '\'' || c == ']') {
            return false;
        }
        if (c == '[') {
            const std::size_t close = text.find(']', i + 1);
            if (close == std::string_view::npos) {
                return false;
            }
            if (current >= 0 && i + 1 < close && text[i + 1] == '&' &&
                !read_comment(text.substr(i + 2, close - i - 2),
                              static_cast<std::size_t>(current))) {
                return false;
            }
            i = close + 1;
            continue;
        }
        if (c == ';') {
            break;
        }
        switch (c) {
            case '(':
                stack_.push_back(static_cast<std::int32_t>(
                    new_node(stack_.empty() ? -1 : stack_.back(), -1)));
                current = -1;
                ++i;
                break;
            case ',':
                current = -1;
                ++i;
                break;
            case ')':
                if (stack_.empty()) {
                    return false;
                }
                current = stack_.back();
                stack_.pop_back();
                ++i;
                break;
            case ':':
                after_colon = true;
                prev = ':';
                ++i;
                continue;
            default: {
                std::size_t j = i;
                while (j < n && is_word(static_cast<unsigned char>(text[j]))) {
                    if (is_unusual(static_cast<unsigned char>(text[j]))) {
                        return false;
                    }
                    ++j;
                }
                const std::string_view word = text.substr(i, j - i);
                if (after_colon) {
                    const auto node = static_cast<std::size_t>(current);
                    if (current < 0 || !plain_number(word, length_[node])) {
                        return false;
                    }
                    has_length_[node] = 1;
                } else if (prev == '(' || prev == ',') {
                    const auto found = labels.find(std::string(word));
                    if (found == labels.end()) {
                        return false;
                    }
                    current = new_node(stack_.empty() ? -1 : stack_.back(), found->second);
                }
                i = j;
                break;
            }
        }
        after_colon = false;
        prev = static_cast<char>(c);
    }
    const std::size_t n_nodes = parent_.size();
    if (!stack_.empty() || n_nodes == 0) {
        return false;
    }
    for (std::size_t k = 1; k < n_nodes; ++k) {
        if (!has_length_[k]) {
            return false;
        }
    }

    // Leaf sets, children into parents from the last node back (preorder).
    masks_.assign(n_nodes * n_words_, 0);
    for (std::size_t k = 0; k < n_nodes; ++k) {
        if (leaf_[k] >= 0) {
            masks_[k * n_words_ + static_cast<std::size_t>(leaf_[k]) / 64] |=
                std::uint64_t{1} << (static_cast<std::size_t>(leaf_[k]) % 64);
        }
    }
    for (std::size_t k = n_nodes; k-- > 1;) {
        const auto p = static_cast<std::size_t>(parent_[k]);
        for (std::size_t w = 0; w < n_words_; ++w) {
            masks_[p * n_words_ + w] |= masks_[k * n_words_ + w];
        }
    }
    // Heights as BEAST reads a tree: lengths not above 0 count as 0.
    depth_.assign(n_nodes, 0.0);
    for (std::size_t k = 1; k < n_nodes; ++k) {
        const double x = length_[k];
        const double up = depth_[static_cast<std::size_t>(parent_[k])];
        depth_[k] = x > 0.0 ? up + x : up;
    }
    double top = 0.0;
    for (std::size_t k = 0; k < n_nodes; ++k) {
        if (leaf_[k] >= 0 && depth_[k] > top) {
            top = depth_[k];
        }
    }
    if (with_ca_) {
        node_of_leaf_.assign(n_leaves_, -1);
        for (std::size_t k = 0; k < n_nodes; ++k) {
            if (leaf_[k] >= 0) {
                node_of_leaf_[static_cast<std::size_t>(leaf_[k])] = static_cast<std::int32_t>(k);
            }
        }
        for (std::size_t c = 0; c < n_clades(); ++c) {
            std::int32_t k = node_of_leaf_[static_cast<std::size_t>(low_leaf_[c])];
            const std::uint64_t* want = clade_words_.data() + c * n_words_;
            for (;;) {
                if (k < 0) {
                    return false;  // a taxon missing from the tree
                }
                const std::uint64_t* have = masks_.data() + static_cast<std::size_t>(k) * n_words_;
                bool holds = true;
                for (std::size_t w = 0; w < n_words_; ++w) {
                    holds = holds && (have[w] & want[w]) == want[w];
                }
                if (holds) {
                    break;
                }
                k = parent_[static_cast<std::size_t>(k)];
            }
            ca_found_[c] = top - depth_[static_cast<std::size_t>(k)];
        }
    }

    // The tree is taken: its values go to the clades.
    for (std::size_t k = 0; k < n_nodes; ++k) {
        const std::int64_t found = clade_of(masks_.data() + k * n_words_);
        if (found == kNoClade) {
            continue;
        }
        const auto clade = static_cast<std::size_t>(found);
        ++counts_[clade];
        push(clade, 0, top - depth_[k]);
        push(clade, 1, has_length_[k] ? length_[k] : 0.0);
        for (const Entry& e : entries_[k]) {
            if (e.kind == Kind::Number) {
                push(clade, e.key, e.number);
            } else if (e.kind == Kind::Text) {
                push_text(clade, e.key, e.text);
            }
        }
    }
    if (with_ca_) {
        for (std::size_t c = 0; c < n_clades(); ++c) {
            ca_[c].push_back(ca_found_[c]);
        }
    }
    return true;
}

void NodeComments::push(std::size_t clade, std::uint32_t key, double number) {
    std::vector<Values>& all = values_[clade];
    for (Values& v : all) {
        if (v.key == key) {
            v.numbers.push_back(number);
            return;
        }
    }
    all.push_back(Values{key, {number}, {}});
}

void NodeComments::push_text(std::size_t clade, std::uint32_t key, std::string_view text) {
    std::vector<Values>& all = values_[clade];
    Values* values = nullptr;
    for (Values& v : all) {
        if (v.key == key) {
            values = &v;
            break;
        }
    }
    if (values == nullptr) {
        all.push_back(Values{key, {}, {}});
        values = &all.back();
    }
    for (Text& t : values->texts) {
        if (t.value == text) {
            ++t.count;
            return;
        }
    }
    values->texts.push_back(Text{std::string(text), 1});
}

}  // namespace kestrilune::stats
