// See node_comments.hpp. The reading follows annotate._parse step by step on the texts it
// takes: a comment belongs to the node last opened, closed or named, a word after ':' is
// that node's length, a word after '(' or ',' a leaf, any other word an internal label.
#include "stats/node_comments.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <iterator>
#include <system_error>
#include <utility>

#include "bitset/bitset.hpp"
#include "common/thread_scratch.hpp"
#include "pool/pool.hpp"
#include "tree/common_length.hpp"
#include "tree/newick_bytes.hpp"

namespace kestrilune::stats {
namespace {

constexpr std::int64_t kNoClade = -1;
constexpr std::uint32_t kNoKey = 0xffffffffu;

// What a byte is to the reader. Blanks are ASCII white space; "Bad" bytes make it decline:
// a quote, a ']' outside a comment, other control bytes (some are blanks to Python) and
// every non-ASCII byte (a Unicode blank would be one too).
enum class Byte : std::uint8_t { Word, Blank, Open, Close, Comma, Colon, Semicolon, Bracket, Bad };

// From the Newick readers' table (tree/newick_bytes.hpp), where Python's reader differs:
// '"' is part of a word to it, and a single quote starts a quoted label.
constexpr std::array<Byte, 256> make_bytes() {
    using detail::ByteClass;
    std::array<Byte, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) {
        switch (detail::kByteClass[b]) {
            case ByteClass::Ordinary: case ByteClass::Quote: table[b] = Byte::Word; break;
            case ByteClass::Space: table[b] = Byte::Blank; break;
            case ByteClass::OpenParen: table[b] = Byte::Open; break;
            case ByteClass::CloseParen: table[b] = Byte::Close; break;
            case ByteClass::Comma: table[b] = Byte::Comma; break;
            case ByteClass::Colon: table[b] = Byte::Colon; break;
            case ByteClass::Semicolon: table[b] = Byte::Semicolon; break;
            case ByteClass::OpenBracket: table[b] = Byte::Bracket; break;
            case ByteClass::CloseBracket: case ByteClass::NonAscii: table[b] = Byte::Bad; break;
        }
        if ((b < 0x20 && table[b] != Byte::Blank) || b == 0x7f || b == '\'') {
            table[b] = Byte::Bad;
        }
    }
    return table;
}
constexpr std::array<Byte, 256> kBytes = make_bytes();

// Bytes a comment's body may hold here: no blank, quote or unusual byte.
constexpr std::array<bool, 256> make_comment_bytes() {
    std::array<bool, 256> table{};
    for (std::size_t b = 0; b < 256; ++b) {
        table[b] = b > 0x20 && b < 0x7f && b != '\'';
    }
    return table;
}
constexpr std::array<bool, 256> kCommentBytes = make_comment_bytes();

Byte byte_at(std::string_view text, std::size_t i) noexcept {
    return kBytes[static_cast<unsigned char>(text[i])];
}

// The digits of s from i on: how many, i moved past them.
std::size_t skip_digits(std::string_view s, std::size_t& i) noexcept {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        ++i;
    }
    return i - from;
}

// A decimal number as Python's float() reads one and converts it (correctly rounded):
// [+-] digits [. digits] [e [+-] digits], at least one mantissa digit. Anything else
// (inf, nan, underscores, out of range) is left to the full reader.
bool plain_number(std::string_view s, double& out) noexcept {
    std::size_t i = 0;
    const std::size_t n = s.size();
    auto skip_sign = [&] {
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
    };
    skip_sign();
    std::size_t digits = skip_digits(s, i);
    if (i < n && s[i] == '.') {
        ++i;
        digits += skip_digits(s, i);
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        skip_sign();
        if (skip_digits(s, i) == 0) {
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

// A worker's buffers for one text, reused from text to text.
struct Scratch {
    std::vector<std::int32_t> parent;
    std::vector<double> length;
    std::vector<std::uint8_t> has_length;
    std::vector<std::int32_t> leaf;
    std::vector<std::int32_t> stack;
    std::vector<std::vector<NodeComments::Entry>> entries;  // per node
    std::vector<std::uint64_t> masks;
    std::vector<double> depth;
    std::vector<std::int32_t> node_of_leaf;

    std::uint32_t new_node(std::int32_t up, std::int32_t leaf_index) {
        const auto id = static_cast<std::uint32_t>(parent.size());
        parent.push_back(up);
        length.push_back(0.0);
        has_length.push_back(0);
        leaf.push_back(leaf_index);
        if (entries.size() <= id) {
            entries.emplace_back();
        }
        entries[id].clear();
        return id;
    }
};

// A later value of a key replaces the earlier one of the node; a new key goes last.
void set_entry(std::vector<NodeComments::Entry>& entries, const NodeComments::Entry& entry) {
    for (NodeComments::Entry& e : entries) {
        if (e.key == entry.key) {
            e = entry;
            return;
        }
    }
    entries.push_back(entry);
}

// The pairs of "[&body]", as annotate._PAIR finds them in a body without blanks or
// single quotes: key=number, key="text", key={...} (kept by the full reader as a list,
// which is not summarised, but it replaces an earlier value of its key) or key= (nothing).
bool read_comment(std::string_view body, std::vector<NodeComments::Entry>& entries) {
    using Kind = NodeComments::Kind;
    for (const char ch : body) {
        if (!kCommentBytes[static_cast<unsigned char>(ch)]) {
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
        NodeComments::Entry entry{body.substr(p, q - p), Kind::Skipped, 0.0, {}};
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
        set_entry(entries, entry);
        p = end;
    }
    return true;
}

}  // namespace

Result<NodeComments, std::string> NodeComments::make(std::size_t n_leaves,
                                                     std::span<const std::uint64_t> clade_words,
                                                     bool with_ca) {
    NodeComments out;
    out.n_leaves_ = n_leaves;
    out.n_words_ = (n_leaves + 63) / 64;
    out.with_ca_ = with_ca;
    const std::size_t n_words = out.n_words_;
    if (n_words == 0 || clade_words.size() % n_words != 0) {
        return unexpected(std::string("clade words do not make whole rows"));
    }
    out.clade_words_.assign(clade_words.begin(), clade_words.end());
    const std::size_t n_clades = clade_words.size() / n_words;
    std::size_t capacity = 16;
    while (capacity < 2 * n_clades) {
        capacity *= 2;
    }
    out.slots_.assign(capacity, kNoClade);
    out.low_leaf_.assign(n_clades, -1);
    for (std::size_t c = 0; c < n_clades; ++c) {
        const std::uint64_t* words = out.clade_words_.data() + c * n_words;
        for (std::size_t k = 0; k < n_words && out.low_leaf_[c] < 0; ++k) {
            if (words[k] != 0) {
                out.low_leaf_[c] = static_cast<std::int32_t>(k * 64 + std::countr_zero(words[k]));
            }
        }
        if (out.low_leaf_[c] < 0 ||
            (n_leaves % 64 != 0 && (words[n_words - 1] >> (n_leaves % 64)) != 0)) {
            return unexpected(std::string("a clade is empty or names a leaf beyond the taxa"));
        }
        std::size_t i = hash_words({words, n_words}) & (capacity - 1);
        while (out.slots_[i] != kNoClade) {
            const auto other = static_cast<std::size_t>(out.slots_[i]);
            if (std::equal(words, words + n_words, out.clade_words_.data() + other * n_words)) {
                return unexpected(std::string("a clade is given twice"));
            }
            i = (i + 1) & (capacity - 1);
        }
        out.slots_[i] = static_cast<std::int64_t>(c);
    }
    out.keys_ = {"height", "length"};
    out.key_ids_ = {{"height", 0}, {"length", 1}};
    out.next_key_.assign(out.keys_.size() + 1, kNoKey);
    out.counts_.assign(n_clades, 0);
    out.values_.resize(n_clades);
    out.ca_.resize(with_ca ? n_clades : 0);
    return out;
}

Result<std::size_t, std::string> NodeComments::add_labels(
    std::unordered_map<std::string, std::int32_t> labels) {
    for (const auto& [label, leaf] : labels) {
        if (leaf < 0 || static_cast<std::size_t>(leaf) >= n_leaves_) {
            return unexpected("label '" + label + "' names a leaf beyond the taxa");
        }
    }
    labels_.emplace_back(std::make_move_iterator(labels.begin()),
                         std::make_move_iterator(labels.end()));
    return labels_.size() - 1;
}

std::int64_t NodeComments::clade_of(const std::uint64_t* words) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash_words({words, n_words_}) & mask;; i = (i + 1) & mask) {
        const std::int64_t c = slots_[i];
        if (c == kNoClade ||
            std::equal(words, words + n_words_,
                       clade_words_.data() + static_cast<std::size_t>(c) * n_words_)) {
            return c;
        }
    }
}

std::uint32_t NodeComments::key_of(std::string_view key) {
    const auto found = key_ids_.find(key);
    if (found != key_ids_.end()) {
        return found->second;
    }
    const auto id = static_cast<std::uint32_t>(keys_.size());
    keys_.emplace_back(key);
    key_ids_.emplace(keys_.back(), id);
    next_key_.push_back(kNoKey);
    return id;
}

std::size_t NodeComments::add(std::span<const std::string_view> texts,
                              std::span<const std::size_t> tables) {
    const std::size_t n = std::min(texts.size(), tables.size());
    for (std::size_t k = 0; k < n; ++k) {
        if (tables[k] >= labels_.size()) {
            return 0;  // checked by the caller; here only kept from reading past the tables
        }
    }
    if (reads_.size() < n) {
        reads_.resize(n);
    }
    pool::parallel_for(0, n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            reads_[k].taken = read(texts[k], labels_[tables[k]], reads_[k]);
        }
    });
    std::size_t taken = 0;
    while (taken < n && reads_[taken].taken) {
        take(reads_[taken]);
        ++taken;
    }
    return taken;
}

bool NodeComments::read(std::string_view text, const Labels& labels, Read& out) const {
    Scratch& s = thread_scratch<Scratch>();
    s.parent.clear();
    s.length.clear();
    s.has_length.clear();
    s.leaf.clear();
    s.stack.clear();
    std::int64_t current = -1;  // the node a comment or a length belongs to
    bool after_colon = false;
    char prev = 0;  // the first byte of the token before, comments aside
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const Byte b = byte_at(text, i);
        if (b == Byte::Blank) {
            ++i;
            continue;
        }
        if (b == Byte::Bad) {
            return false;
        }
        if (b == Byte::Bracket) {
            const std::size_t close = detail::find_close_bracket(text.data(), i + 1, n);
            if (close == n) {
                return false;
            }
            if (current >= 0 && i + 1 < close && text[i + 1] == '&' &&
                !read_comment(text.substr(i + 2, close - i - 2),
                              s.entries[static_cast<std::size_t>(current)])) {
                return false;
            }
            i = close + 1;
            continue;
        }
        if (b == Byte::Semicolon) {
            break;
        }
        const char c = text[i];
        switch (b) {
            case Byte::Open:
                s.stack.push_back(static_cast<std::int32_t>(
                    s.new_node(s.stack.empty() ? -1 : s.stack.back(), -1)));
                current = -1;
                ++i;
                break;
            case Byte::Comma:
                current = -1;
                ++i;
                break;
            case Byte::Close:
                if (s.stack.empty()) {
                    return false;
                }
                current = s.stack.back();
                s.stack.pop_back();
                ++i;
                break;
            case Byte::Colon:
                after_colon = true;
                prev = ':';
                ++i;
                continue;
            default: {  // a word: its bytes up to a separator, a blank or a bad byte
                std::size_t j = i + 1;
                while (j < n && byte_at(text, j) == Byte::Word) {
                    ++j;
                }
                if (j < n && byte_at(text, j) == Byte::Bad) {
                    return false;
                }
                const std::string_view word = text.substr(i, j - i);
                if (after_colon) {
                    const auto node = static_cast<std::size_t>(current);
                    if (current < 0 || !plain_number(word, s.length[node])) {
                        return false;
                    }
                    s.has_length[node] = 1;
                } else if (prev == '(' || prev == ',') {
                    const auto found = labels.find(word);
                    if (found == labels.end()) {
                        return false;
                    }
                    current = s.new_node(s.stack.empty() ? -1 : s.stack.back(), found->second);
                }
                i = j;
                break;
            }
        }
        after_colon = false;
        prev = c;
    }
    const std::size_t n_nodes = s.parent.size();
    if (!s.stack.empty() || n_nodes == 0) {
        return false;
    }
    for (std::size_t k = 1; k < n_nodes; ++k) {
        if (!s.has_length[k]) {
            return false;
        }
    }

    // Leaf sets, children into parents from the last node back (preorder).
    const std::size_t w = n_words_;
    s.masks.assign(n_nodes * w, 0);
    for (std::size_t k = 0; k < n_nodes; ++k) {
        if (s.leaf[k] >= 0) {
            const auto leaf = static_cast<std::size_t>(s.leaf[k]);
            s.masks[k * w + leaf / 64] |= std::uint64_t{1} << (leaf % 64);
        }
    }
    for (std::size_t k = n_nodes; k-- > 1;) {
        const auto p = static_cast<std::size_t>(s.parent[k]);
        for (std::size_t x = 0; x < w; ++x) {
            s.masks[p * w + x] |= s.masks[k * w + x];
        }
    }
    // Heights as BEAST reads a tree: lengths not above 0 count as 0.
    s.depth.assign(n_nodes, 0.0);
    for (std::size_t k = 1; k < n_nodes; ++k) {
        const double x = s.length[k];
        const double up = s.depth[static_cast<std::size_t>(s.parent[k])];
        s.depth[k] = x > 0.0 ? up + x : up;
    }
    double top = 0.0;
    for (std::size_t k = 0; k < n_nodes; ++k) {
        if (s.leaf[k] >= 0 && s.depth[k] > top) {
            top = s.depth[k];
        }
    }
    out.ca.clear();
    if (with_ca_) {
        s.node_of_leaf.assign(n_leaves_, -1);
        for (std::size_t k = 0; k < n_nodes; ++k) {
            if (s.leaf[k] >= 0) {
                s.node_of_leaf[static_cast<std::size_t>(s.leaf[k])] = static_cast<std::int32_t>(k);
            }
        }
        for (std::size_t c = 0; c < n_clades(); ++c) {
            std::int32_t k = s.node_of_leaf[static_cast<std::size_t>(low_leaf_[c])];
            const std::uint64_t* want = clade_words_.data() + c * w;
            for (;;) {
                if (k < 0) {
                    return false;  // a taxon missing from the tree
                }
                const std::uint64_t* have = s.masks.data() + static_cast<std::size_t>(k) * w;
                bool holds = true;
                for (std::size_t x = 0; x < w; ++x) {
                    holds = holds && (have[x] & want[x]) == want[x];
                }
                if (holds) {
                    break;
                }
                k = s.parent[static_cast<std::size_t>(k)];
            }
            out.ca.push_back(top - s.depth[static_cast<std::size_t>(k)]);
        }
    }
    out.nodes.clear();
    out.entries.clear();
    for (std::size_t k = 0; k < n_nodes; ++k) {
        const std::int64_t clade = clade_of(s.masks.data() + k * w);
        if (clade == kNoClade) {
            continue;
        }
        out.nodes.push_back(Node{clade, top - s.depth[k], s.has_length[k] ? s.length[k] : 0.0,
                                 static_cast<std::uint32_t>(out.entries.size()),
                                 static_cast<std::uint32_t>(s.entries[k].size())});
        out.entries.insert(out.entries.end(), s.entries[k].begin(), s.entries[k].end());
    }
    return true;
}

void NodeComments::take(const Read& read) {
    for (const Node& node : read.nodes) {
        const auto clade = static_cast<std::size_t>(node.clade);
        ++counts_[clade];
        push(clade, 0, node.height);
        push(clade, 1, node.length);
        // Nodes name their keys in the same order node after node: the key that came after
        // the previous one last time is tried first.
        std::size_t previous = 0;  // the key before, plus 1 (0: none yet)
        for (std::uint32_t e = 0; e < node.n_entries; ++e) {
            const Entry& entry = read.entries[node.first_entry + e];
            std::uint32_t id = next_key_[previous];
            if (id >= keys_.size() || keys_[id] != entry.key) {
                id = key_of(entry.key);  // may add a key (and grow next_key_)
                next_key_[previous] = id;
            }
            previous = id + 1;
            if (entry.kind == Kind::Number) {
                push(clade, id, entry.number);
            } else if (entry.kind == Kind::Text) {
                push_text(clade, id, entry.text);
            }
        }
    }
    if (with_ca_) {
        for (std::size_t c = 0; c < n_clades(); ++c) {
            ca_[c].push_back(read.ca[c]);
        }
    }
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
