#include "io/io.hpp"

#include <cstring>

namespace kestrilune {

// '[', '&' and ']' are ASCII and never occur inside a multi-byte UTF-8 sequence, so working
// on bytes treats every character exactly as reading the text character by character would,
// and copies any other bytes (invalid UTF-8 included) through unchanged.
std::string strip_beast_annotations(std::string_view text) {
    std::string out;
    out.reserve(text.size());  // the output is never longer than the input
    const char* const chars = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const void* open = std::memchr(chars + i, '[', size - i);
        if (open == nullptr) {
            out.append(chars + i, size - i);
            break;
        }
        const std::size_t at = static_cast<const char*>(open) - chars;
        out.append(chars + i, at - i);
        if (at + 1 < size && chars[at + 1] == '&') {
            // An annotation: drop it up to and with the first ']' (spans do not nest); one
            // left open runs to the end of the text.
            const void* close = std::memchr(chars + at + 2, ']', size - at - 2);
            if (close == nullptr) {
                break;
            }
            i = static_cast<const char*>(close) - chars + 1;
        } else {
            // A plain comment, or a '[' at the end: keep the '[' and read on from the next
            // character, which may itself open an annotation.
            out.push_back('[');
            i = at + 1;
        }
    }
    return out;
}

void rename_leaf_nodes(Tree& tree, const TranslateMap& map) {
    if (map.empty()) {
        return;
    }
    // Same leaves and order as Tree::get_leaves, without building the id array.
    for (Node& node : tree.nodes) {
        if (!node.children.empty() || !node.name) {
            continue;
        }
        const auto found = map.find(*node.name);
        if (found == map.end()) {
            node.name.reset();  // a label the map does not know is not kept
        } else {
            *node.name = found->second;
        }
    }
}

}  // namespace kestrilune
