#include "tree/shape.hpp"

#include <optional>

#include "tree/common_length.hpp"
#include "tree/newick_bytes.hpp"
#include "tree/tree_impl.hpp"

namespace kestrilune {
namespace {

using detail::ByteClass;
using detail::kByteClass;

// A name or number: bytes [begin, end) of the text, empty when absent.
struct Field {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    bool empty() const noexcept { return begin == end; }
};

// The reader's state. It follows NewickParser (tree_impl.cpp) step by step on the texts it
// accepts and gives up (returns false) wherever that parser would join texts, take a
// quote or comment, or fail.
class PlainReader {
public:
    PlainReader(std::string_view text, TreeShape& shape, bool convert_lengths) noexcept
        : text_(text.data()), size_(text.size()), shape_(shape), convert_lengths_(convert_lengths) {}

    bool run();

private:
    std::string_view view(Field f) const noexcept { return {text_ + f.begin, f.end - f.begin}; }

    // Skips "[&...]" from `i` (at '['): one past its first ']', or false when the text has
    // none (strip_beast_annotations then drops the rest of the text, the ';' with it).
    bool skip_annotation(std::size_t& i) const noexcept;

    std::uint32_t add_node(std::uint32_t parent) {
        const auto id = static_cast<std::uint32_t>(shape_.parent.size());
        shape_.parent.push_back(parent);
        shape_.length.push_back(0.0);
        return id;
    }

    // ',' or ')': the node before it gets its name and length (a new leaf when no group
    // was just closed).
    bool complete_node();

    bool ordinary_at(std::size_t i) const noexcept {
        return i < size_ && kByteClass[static_cast<unsigned char>(text_[i])] == ByteClass::Ordinary;
    }

    // The steps of the reading loop, each from `i` at its first byte to one past its last,
    // false where the loop gives up. The loop takes one step per byte class met; after a
    // ',', '(' or ')' the steps a tree file's next node usually takes ("label:[&...]1.5")
    // follow straight on, the same steps in the same order, and whatever else comes is
    // left to the loop.
    bool read_field(std::size_t& i);  // a run of name bytes: the name or length
    bool read_colon(std::size_t& i);  // ':', then an annotation and a length, if present
    bool read_node_start(std::size_t& i) {  // after ',' or '(': a label, then a colon
        if (ordinary_at(i)) {
            if (!read_field(i)) {
                return false;
            }
            if (i < size_ && text_[i] == ':') {
                return read_colon(i);
            }
        }
        return true;
    }

    // The length's value, converted as the field was read, or by parse_branch_length;
    // false when it is no number. (An optional<double> passed through memory here stalled
    // every node on its store-to-load forwarding.)
    bool length_value(double& value) const {
        if (length_converted_) {
            value = length_value_;
            return true;
        }
        const std::optional<double> parsed = parse_branch_length(view(length_));
        if (!parsed) {
            return false;
        }
        value = *parsed;
        return true;
    }

    const char* text_;
    std::size_t size_;
    TreeShape& shape_;
    bool convert_lengths_;
    bool in_length_ = false;  // after ':', until ',' or ')'
    Field name_;
    Field length_;
    bool length_converted_ = false;  // length_value_ holds length_'s value
    double length_value_ = 0.0;
    std::uint32_t current_ = TreeShape::kNoParent;  // the group just closed, if any
};

bool PlainReader::skip_annotation(std::size_t& i) const noexcept {
    if (i + 1 >= size_ || text_[i + 1] != '&') {
        return false;  // a comment, which the full parser keeps
    }
    const std::size_t close = detail::find_close_bracket(text_, i + 2, size_);
    if (close == size_) {
        return false;
    }
    i = close + 1;
    return true;
}

bool PlainReader::complete_node() {
    std::vector<std::uint32_t>& groups = shape_.open_groups;
    std::uint32_t target = current_;
    if (target == TreeShape::kNoParent) {
        if (groups.empty()) {
            return false;
        }
        target = add_node(groups.back());
        shape_.leaf_nodes.push_back(target);
        shape_.leaf_labels.push_back(view(name_));
    }
    if (!length_.empty() && !length_value(shape_.length[target])) {
        return false;
    }
    name_ = Field{};
    length_ = Field{};
    length_converted_ = false;
    return true;
}

bool PlainReader::read_field(std::size_t& i) {
    // One run per field: a second run would be joined to the first.
    Field& field = in_length_ ? length_ : name_;
    if (!field.empty()) {
        return false;
    }
    const std::size_t begin = i;
    if (in_length_) {
        // A length in a common form is converted as it is read; any other run is read as a
        // name is, and converted when its node completes.
        const std::size_t n =
            read_common_length(text_ + i, text_ + size_, length_value_, convert_lengths_);
        if (n != 0 && !ordinary_at(i + n)) {
            i += n;
            field = Field{static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(i)};
            length_converted_ = true;
            return true;
        }
    }
    do {
        ++i;
    } while (ordinary_at(i));
    field = Field{static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(i)};
    return true;
}

bool PlainReader::read_colon(std::size_t& i) {
    in_length_ = true;
    ++i;
    // BEAST writes each node's annotation right after the colon.
    if (i < size_ && text_[i] == '[' && !skip_annotation(i)) {
        return false;
    }
    return !ordinary_at(i) || read_field(i);
}

bool PlainReader::run() {
    if (size_ >= std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    shape_.parent.clear();
    shape_.length.clear();
    shape_.leaf_nodes.clear();
    shape_.leaf_labels.clear();
    std::vector<std::uint32_t>& groups = shape_.open_groups;
    groups.clear();

    std::size_t i = 0;
    while (i < size_) {
        switch (kByteClass[static_cast<unsigned char>(text_[i])]) {
            case ByteClass::Ordinary:
                if (!read_field(i)) {
                    return false;
                }
                break;
            case ByteClass::Space:
                ++i;
                break;
            case ByteClass::OpenBracket:
                if (!skip_annotation(i)) {
                    return false;
                }
                break;
            case ByteClass::Colon:
                if (!read_colon(i)) {
                    return false;
                }
                break;
            case ByteClass::OpenParen:
                // Text before '(' or right after a closed group would be joined to a later
                // node. (After the root group closes it stays current, since a ',' at the
                // top level is declined, so a second top-level group is declined here too.)
                if (!name_.empty() || !length_.empty() || current_ != TreeShape::kNoParent) {
                    return false;
                }
                groups.push_back(add_node(groups.empty() ? TreeShape::kNoParent : groups.back()));
                ++i;
                if (!read_node_start(i)) {
                    return false;
                }
                break;
            case ByteClass::Comma:
                if (groups.empty() || !complete_node()) {
                    return false;
                }
                current_ = TreeShape::kNoParent;
                in_length_ = false;
                ++i;
                if (!read_node_start(i)) {
                    return false;
                }
                break;
            case ByteClass::CloseParen:
                if (groups.empty() || !complete_node()) {
                    return false;
                }
                current_ = groups.back();
                groups.pop_back();
                in_length_ = false;
                ++i;
                if (i < size_ && text_[i] == ':' && !read_colon(i)) {
                    return false;
                }
                break;
            case ByteClass::Semicolon: {
                // The root group (node 0) just closed. Its length is checked but not kept:
                // it is no edge.
                double root_length = 0.0;
                return groups.empty() && current_ == 0 &&
                       (length_.empty() || length_value(root_length));
            }
            case ByteClass::Quote:
            case ByteClass::CloseBracket:
            case ByteClass::NonAscii:
                return false;
        }
    }
    return false;  // no ';'
}

}  // namespace

bool read_plain_newick(std::string_view text, TreeShape& shape, bool lengths) {
    return PlainReader(text, shape, lengths).run();
}

}  // namespace kestrilune
