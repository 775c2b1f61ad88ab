#include "tree/tree_impl.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "common/sizes.hpp"
#include "tree/newick_bytes.hpp"

namespace kestrilune {

std::string TreeError::message() const {
    switch (kind) {
        case TreeErrorKind::MissingNode:
            return "There is no node with index: " + std::to_string(node);
        case TreeErrorKind::NoRoot:
            return "No root node found";
    }
    return "No root node found";
}

Result<NodeId, TreeError> Tree::add_child(Node node, NodeId parent, std::optional<double> edge) {
    if (parent >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, parent});
    }
    const NodeId id = nodes.size();
    node.id = id;
    node.parent = parent;
    node.parent_edge = edge;
    nodes.push_back(std::move(node));
    Node& p = nodes[parent];
    p.children.push_back(id);
    p.set_child_edge(id, edge);
    return id;
}

Result<const Node*, TreeError> Tree::get(NodeId id) const {
    if (id >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, id});
    }
    return &nodes[id];
}

Result<Node*, TreeError> Tree::get_mut(NodeId id) {
    if (id >= nodes.size()) {
        return unexpected(TreeError{TreeErrorKind::MissingNode, id});
    }
    return &nodes[id];
}

std::vector<NodeId> Tree::get_leaves() const {
    std::vector<NodeId> leaves;
    for (const Node& node : nodes) {
        if (node.children.empty()) {
            leaves.push_back(node.id);
        }
    }
    return leaves;
}

Result<NodeId, TreeError> Tree::get_root() const {
    for (const Node& node : nodes) {
        if (!node.parent) {
            return node.id;
        }
    }
    return unexpected(TreeError{TreeErrorKind::NoRoot, 0});
}

std::size_t Tree::count_top_level() const {
    std::size_t count = 0;
    for (const Node& node : nodes) {
        count += node.parent ? 0 : 1;
    }
    return count;
}

// ---------------------------------------------------------------------------------------
// Newick parser: Tree::from_newick, NewickParseError::message, parse_branch_length.
// ---------------------------------------------------------------------------------------

std::string_view NewickParseError::message() const noexcept {
    switch (kind) {
        case NewickParseErrorKind::WhitespaceInLength:
            return "Cannot have whitespace in number field.";
        case NewickParseErrorKind::UnclosedGroup:
            return "Missing a closing bracket.";
        case NewickParseErrorKind::MissingSemicolon:
            return "The tree is missin a semi colon at the end.";
        case NewickParseErrorKind::UnmatchedClose:
            return "Parent node of subtree not found";
        case NewickParseErrorKind::TreeFailure:
            return "Problem with building the tree.";
        case NewickParseErrorKind::BadLength:
            return "Could not parse a branch length";
        case NewickParseErrorKind::NothingToFinish:
            return "No node to finish before the semi colon.";
    }
    return "Problem with building the tree.";
}

namespace {

// ---- Branch lengths ---------------------------------------------------------------------

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) noexcept {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (ascii_lower(text[k]) != lower_word[k]) {
            return false;
        }
    }
    return true;
}

// from_chars reports a value beyond the double range as result_out_of_range and leaves the
// output alone, where a correctly rounding conversion gives infinity (overflow) or zero
// (underflow). Every such value lies either above DBL_MAX or below half the smallest
// denormal, so the sign of its decimal exponent in scientific notation tells the two apart.
// `number` is a validated unsigned decimal: digits, optional '.', digits, optional exponent.
double out_of_range_magnitude(std::string_view number) noexcept {
    std::int64_t int_digits = 0;      // digits before the '.'
    std::int64_t first_nonzero = -1;  // index of the first nonzero digit among all digits
    std::int64_t digit_index = 0;
    bool after_point = false;
    std::size_t k = 0;
    for (; k < number.size(); ++k) {
        const char c = number[k];
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!is_digit(c)) {
            break;  // the exponent marker
        }
        if (first_nonzero < 0 && c != '0') {
            first_nonzero = digit_index;
        }
        ++digit_index;
        int_digits += after_point ? 0 : 1;
    }
    if (first_nonzero < 0) {
        return 0.0;  // all digits zero; from_chars does not report this, kept for safety
    }
    // Exponent, saturated: anything beyond a billion is far outside the double range.
    constexpr std::int64_t kSaturated = 1'000'000'000;
    std::int64_t exponent = 0;
    if (k < number.size()) {
        ++k;  // 'e' or 'E'
        bool negative = false;
        if (number[k] == '+' || number[k] == '-') {
            negative = number[k] == '-';
            ++k;
        }
        for (; k < number.size(); ++k) {
            if (exponent < kSaturated) {
                exponent = exponent * 10 + (number[k] - '0');
            }
        }
        exponent = negative ? -exponent : exponent;
    }
    const std::int64_t scientific = int_digits - 1 - first_nonzero + exponent;
    return scientific >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

// An unsigned decimal (digits, optional '.', digits, optional exponent) as scanned for
// Clinger's fast path: value = mantissa * 10^power, exact when `exact_digits` (at most 19
// significant digits, all of them in mantissa).
struct Decimal {
    std::uint64_t mantissa = 0;
    std::int64_t power = 0;
    bool exact_digits = true;
};

// Checks the grammar of `rest` and gathers its digits; nullopt when it is not a decimal.
// Checked here because from_chars stops early instead of failing on "1e" or "1e+", and
// accepts hexadecimal-looking prefixes such as the "0" of "0x10".
std::optional<Decimal> scan_decimal(std::string_view rest) noexcept {
    Decimal d;
    std::size_t j = 0;
    std::size_t n_digits = 0;
    std::size_t significant = 0;  // digits in mantissa, from the first non-zero one
    std::int64_t scale = 0;       // value = mantissa * 10^(scale + exponent)
    auto take_digit = [&](char c) {
        if (significant < 19) {
            d.mantissa = d.mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            significant += (d.mantissa != 0) ? 1 : 0;
            return true;
        }
        return false;  // too many digits for the fast path
    };
    while (j < rest.size() && is_digit(rest[j])) {
        if (!take_digit(rest[j])) {
            d.exact_digits = false;
        }
        ++j;
        ++n_digits;
    }
    if (j < rest.size() && rest[j] == '.') {
        ++j;
        while (j < rest.size() && is_digit(rest[j])) {
            d.exact_digits = take_digit(rest[j]) && d.exact_digits;
            --scale;
            ++j;
            ++n_digits;
        }
    }
    if (n_digits == 0) {
        return std::nullopt;
    }
    std::int64_t exponent = 0;
    if (j < rest.size() && (rest[j] == 'e' || rest[j] == 'E')) {
        ++j;
        bool exponent_negative = false;
        if (j < rest.size() && (rest[j] == '+' || rest[j] == '-')) {
            exponent_negative = rest[j] == '-';
            ++j;
        }
        const std::size_t exponent_begin = j;
        while (j < rest.size() && is_digit(rest[j])) {
            exponent = std::min<std::int64_t>(exponent * 10 + (rest[j] - '0'), 100000);
            ++j;
        }
        if (j == exponent_begin) {
            return std::nullopt;
        }
        exponent = exponent_negative ? -exponent : exponent;
    }
    if (j != rest.size()) {
        return std::nullopt;
    }
    d.power = scale + exponent;
    return d;
}

// Clinger's fast path: a mantissa up to 2^53 and a power of ten up to 10^22 are both exact
// doubles, so one multiplication or division rounds correctly, as the full conversion
// would. Typical lengths ("0.0123", "2.000000e-02") take it; nullopt for the others.
std::optional<double> fast_path_value(const Decimal& d) noexcept {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (!d.exact_digits || d.mantissa > (std::uint64_t{1} << 53) || d.power < -22 ||
        d.power > 22) {
        return std::nullopt;
    }
    const double m = static_cast<double>(d.mantissa);
    return d.power < 0 ? m / kPow10[-d.power] : m * kPow10[d.power];
}

// The correctly rounded value of a decimal that scan_decimal accepted, infinity or zero
// beyond the double range.
std::optional<double> full_conversion(std::string_view rest) noexcept {
    double magnitude = 0.0;
    const char* const first = rest.data();
    const char* const last = first + rest.size();
    const auto [ptr, ec] = std::from_chars(first, last, magnitude, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        return out_of_range_magnitude(rest);
    }
    if (ec != std::errc() || ptr != last) {
        return std::nullopt;  // not reached for text that passed scan_decimal
    }
    return magnitude;
}

// "inf", "infinity" or "nan" in any case; from_chars would also take "nan(...)" and a
// prefix of "infinity", so only the three words are matched, here.
std::optional<double> word_magnitude(std::string_view rest) noexcept {
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity")) {
        return std::numeric_limits<double>::infinity();
    }
    if (equals_ignoring_case(rest, "nan")) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return std::nullopt;
}

// The magnitude of an unsigned length: a word, or a decimal by the fast path where it
// applies, else by the full conversion.
std::optional<double> unsigned_magnitude(std::string_view rest) noexcept {
    if (!is_digit(rest[0]) && rest[0] != '.') {
        return word_magnitude(rest);
    }
    const std::optional<Decimal> decimal = scan_decimal(rest);
    if (!decimal) {
        return std::nullopt;
    }
    if (const std::optional<double> fast = fast_path_value(*decimal)) {
        return fast;
    }
    return full_conversion(rest);
}

}  // namespace

std::optional<double> parse_branch_length(std::string_view text) {
    std::size_t k = 0;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
        negative = text[k] == '-';
        ++k;
    }
    const std::string_view rest = text.substr(k);
    if (rest.empty()) {
        return std::nullopt;
    }
    const std::optional<double> magnitude = unsigned_magnitude(rest);
    if (!magnitude) {
        return std::nullopt;
    }
    return negative ? -*magnitude : *magnitude;
}

namespace {

using detail::ByteClass;
using detail::kByteClass;

struct Decoded {
    std::size_t length;  // bytes taken by the character
    bool space;          // Unicode White_Space
};

constexpr bool is_continuation(unsigned char b) noexcept {
    return (b & 0xC0) == 0x80;
}

// Decodes the character at p (p < end, *p >= 0x80). A byte that does not start a valid and
// complete UTF-8 sequence (stray continuation byte, overlong form, surrogate, beyond
// U+10FFFF, or cut short by the end of the text) is one ordinary character of one byte.
Decoded decode_non_ascii(const unsigned char* p, const unsigned char* end) noexcept {
    const std::size_t available = static_cast<std::size_t>(end - p);
    const unsigned char b0 = p[0];
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (available >= 2 && is_continuation(p[1])) {
            const unsigned cp = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
            return {2, cp == 0x85 || cp == 0xA0};
        }
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
        if (available >= 3 && p[1] >= lo && p[1] <= hi && is_continuation(p[2])) {
            const unsigned cp = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            const bool space = cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
                               cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
            return {3, space};
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;  // no overlong forms
        const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
        if (available >= 4 && p[1] >= lo && p[1] <= hi && is_continuation(p[2]) &&
            is_continuation(p[3])) {
            return {4, false};  // no white space outside the basic plane
        }
    }
    return {1, false};
}

// ---- The parser -----------------------------------------------------------------------------

// One left-to-right pass over the text. The pending texts are reused buffers: a pending
// text is present exactly when it is non-empty, since every append adds at least one byte.
class NewickParser {
  public:
    NewickParser(std::string_view text, Tree storage) noexcept
        : begin_(reinterpret_cast<const unsigned char*>(text.data())),
          size_(text.size()),
          tree_(std::move(storage)) {
        tree_.nodes.clear();  // keeps the capacity
    }

    Result<Tree, NewickParseError> run();

  private:
    enum class Mode { Name, Length, Comment };

    static NewickParseError parse_error(NewickParseErrorKind kind,
                                        std::optional<TreeError> cause = std::nullopt) {
        return NewickParseError{kind, cause};
    }

    std::string& pending_text() noexcept { return mode_ == Mode::Name ? name_ : length_; }

    // Index just past the run of characters that start at `i` and are all appended to a
    // pending text: ordinary ASCII bytes and non-ASCII characters that are not white space.
    std::size_t scan_run(std::size_t i) const noexcept;

    // Appends the text from `i` up to the next `stop` byte to `into`; returns the index of
    // that byte, or the text's size when there is none (the rest was appended).
    std::size_t append_until(std::size_t i, char stop, std::string& into) const;

    // One reader per mode, each taking text from `i` on and moving `i` past it.
    // In a comment: everything up to the next ']' (white space and quotes included).
    void read_comment(std::size_t& i);
    // In a double-quoted name: everything up to and with the closing quote.
    void read_quoted_name(std::size_t& i);
    // Elsewhere (an unquoted name, or a length, quoted or not): one run of a name or
    // length, one blank, or one punctuation character and what it does to the tree.
    std::optional<NewickParseError> read_token(std::size_t& i);

    std::optional<NewickParseError> open_group();
    std::optional<NewickParseError> complete_node();
    std::optional<NewickParseError> finish_tree();

    const unsigned char* begin_;
    std::size_t size_;

    Tree tree_;
    Mode mode_ = Mode::Name;
    bool quoted_ = false;
    std::string name_;
    std::string length_;
    std::string comment_;
    std::optional<NodeId> current_;
    std::vector<NodeId> groups_;  // open groups, innermost last
    bool finished_ = false;       // the ';' has been read
};

std::size_t NewickParser::scan_run(std::size_t i) const noexcept {
    const unsigned char* const end = begin_ + size_;
    while (i < size_) {
        const ByteClass cls = kByteClass[begin_[i]];
        if (cls == ByteClass::Ordinary) {
            ++i;
        } else if (cls == ByteClass::NonAscii) {
            const Decoded d = decode_non_ascii(begin_ + i, end);
            if (d.space) {
                break;
            }
            i += d.length;
        } else {
            break;
        }
    }
    return i;
}

std::optional<NewickParseError> NewickParser::open_group() {
    Node group;
    group.children.reserve(2);  // nearly every group has two children or more
    if (groups_.empty()) {
        group.id = tree_.nodes.size();
        groups_.push_back(group.id);
        tree_.nodes.push_back(std::move(group));
        return std::nullopt;
    }
    auto added = tree_.add_child(std::move(group), groups_.back(), std::nullopt);
    if (!added) {
        return parse_error(NewickParseErrorKind::TreeFailure, added.error());
    }
    groups_.push_back(*added);
    return std::nullopt;
}

std::optional<NewickParseError> NewickParser::complete_node() {
    NodeId target = 0;
    if (current_) {
        target = *current_;
    } else if (groups_.empty()) {
        // A ',' or ')' outside every group with nothing before it, as in "A,B;".
        return parse_error(NewickParseErrorKind::UnmatchedClose);
    } else {
        auto added = tree_.add_child(Node{}, groups_.back(), std::nullopt);
        if (!added) {
            return parse_error(NewickParseErrorKind::TreeFailure, added.error());
        }
        target = *added;
    }
    std::optional<double> length;
    if (!length_.empty()) {
        length = parse_branch_length(length_);
        if (!length) {
            return parse_error(NewickParseErrorKind::BadLength);
        }
    }
    Node& node = tree_.nodes[target];
    if (!name_.empty()) {
        node.name = name_;
    }
    if (node.parent) {
        node.parent_edge = length;  // a length on a top-level group is dropped
    }
    if (comment_.empty()) {
        node.comment.reset();
    } else {
        node.comment = comment_;
    }
    name_.clear();
    length_.clear();
    comment_.clear();
    return std::nullopt;
}

std::optional<NewickParseError> NewickParser::finish_tree() {
    if (!groups_.empty()) {
        return parse_error(NewickParseErrorKind::UnclosedGroup);
    }
    if (!current_) {
        // "A;", ";" or "(A,B),C;": the text ends on something that is not a closed group.
        return parse_error(NewickParseErrorKind::NothingToFinish);
    }
    Node& node = tree_.nodes[*current_];
    if (!length_.empty()) {
        const std::optional<double> length = parse_branch_length(length_);
        if (!length) {
            return parse_error(NewickParseErrorKind::BadLength);
        }
        node.parent_edge = length;  // also on the root
    }
    if (name_.empty()) {
        node.name.reset();
    } else {
        node.name = name_;
    }
    if (comment_.empty()) {
        node.comment.reset();
    } else {
        node.comment = comment_;
    }

    // Edge pass: every child's length, recorded on its parent in ascending child id order.
    for (NodeId id = 0; id < tree_.nodes.size(); ++id) {
        const Node& child = tree_.nodes[id];
        if (!child.parent || !child.parent_edge) {
            continue;
        }
        const std::optional<double> edge = child.parent_edge;
        auto parent = tree_.get_mut(*child.parent);
        if (!parent) {
            return parse_error(NewickParseErrorKind::TreeFailure, parent.error());
        }
        (*parent)->set_child_edge(id, edge);
    }
    return std::nullopt;
}

std::size_t NewickParser::append_until(std::size_t i, char stop, std::string& into) const {
    const void* found = std::memchr(begin_ + i, stop, size_ - i);
    const std::size_t at =
        found == nullptr
            ? size_
            : static_cast<std::size_t>(static_cast<const unsigned char*>(found) - begin_);
    into.append(reinterpret_cast<const char*>(begin_) + i, at - i);
    return at;
}

void NewickParser::read_comment(std::size_t& i) {
    const std::size_t at = append_until(i, ']', comment_);
    if (at < size_) {
        mode_ = Mode::Name;
    }
    i = std::min(at + 1, size_);
}

void NewickParser::read_quoted_name(std::size_t& i) {
    const std::size_t at = append_until(i, '"', name_);
    if (at < size_) {
        name_.push_back('"');
        quoted_ = false;
    }
    i = std::min(at + 1, size_);
}

std::optional<NewickParseError> NewickParser::read_token(std::size_t& i) {
    const char* const chars = reinterpret_cast<const char*>(begin_);
    switch (kByteClass[begin_[i]]) {
        case ByteClass::NonAscii: {
            const Decoded d = decode_non_ascii(begin_ + i, begin_ + size_);
            if (d.space) {
                if (quoted_) {  // only a length gets here while quoted
                    return parse_error(NewickParseErrorKind::WhitespaceInLength);
                }
                i += d.length;
                return std::nullopt;
            }
            const std::size_t end = scan_run(i + d.length);
            pending_text().append(chars + i, end - i);
            i = end;
            return std::nullopt;
        }
        case ByteClass::Ordinary: {
            const std::size_t end = scan_run(i + 1);
            pending_text().append(chars + i, end - i);
            i = end;
            return std::nullopt;
        }
        case ByteClass::Space:
            if (quoted_) {
                return parse_error(NewickParseErrorKind::WhitespaceInLength);
            }
            break;
        case ByteClass::Quote:
            quoted_ = !quoted_;
            if (mode_ == Mode::Name) {
                name_.push_back('"');
            }
            break;
        case ByteClass::OpenBracket:
            mode_ = Mode::Comment;
            break;
        case ByteClass::CloseBracket:
            mode_ = Mode::Name;
            break;
        case ByteClass::Colon:
            mode_ = Mode::Length;
            break;
        case ByteClass::OpenParen:
            if (auto error = open_group()) {
                return error;
            }
            break;
        case ByteClass::Comma:
            if (auto error = complete_node()) {
                return error;
            }
            current_.reset();
            mode_ = Mode::Name;
            break;
        case ByteClass::CloseParen:
            if (auto error = complete_node()) {
                return error;
            }
            if (groups_.empty()) {
                return parse_error(NewickParseErrorKind::UnmatchedClose);
            }
            current_ = groups_.back();
            groups_.pop_back();
            mode_ = Mode::Name;
            break;
        case ByteClass::Semicolon:
            if (auto error = finish_tree()) {
                return error;
            }
            finished_ = true;
            break;
    }
    ++i;  // the one character of a blank or punctuation
    return std::nullopt;
}

Result<Tree, NewickParseError> NewickParser::run() {
    tree_.nodes.reserve(std::min(size_ / 4 + 1, sizes::kMaxReservedNodes));
    std::size_t i = 0;
    while (i < size_ && !finished_) {
        if (mode_ == Mode::Comment) {
            read_comment(i);
        } else if (quoted_ && mode_ == Mode::Name) {
            read_quoted_name(i);
        } else if (auto error = read_token(i)) {
            return unexpected(*error);
        }
    }
    if (!finished_) {
        return unexpected(parse_error(NewickParseErrorKind::MissingSemicolon));
    }
    return std::move(tree_);
}

}  // namespace

Result<Tree, NewickParseError> Tree::from_newick(std::string_view text) {
    return NewickParser(text, Tree{}).run();
}

Result<Tree, NewickParseError> Tree::from_newick(std::string_view text, Tree storage) {
    return NewickParser(text, std::move(storage)).run();
}

}  // namespace kestrilune
