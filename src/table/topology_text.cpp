#include "table/topology_text.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "pool/pool.hpp"

namespace kestrilune {

namespace {

// Scratch of one worker, grown to the largest tree it meets and reused for the next.
struct Writer {
    const SplitTable& table;
    std::span<const std::int32_t> parents;
    std::span<const std::string> labels;
    std::vector<std::uint32_t> smallest;  // per entry: its smallest leaf
    std::vector<std::uint32_t> order;     // entries by smallest leaf
    std::vector<std::uint32_t> up;        // per entry: its parent entry, or n for the root
    std::vector<std::uint32_t> start;     // children of entry e: kids[start[e] .. start[e + 1]]
    std::vector<std::uint32_t> kids;
    std::vector<std::uint32_t> fill;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> stack;  // (entry, next child)

    std::uint32_t smallest_leaf(std::uint32_t id) const {
        const std::span<const std::uint64_t> w = table.split_words(id);
        for (std::size_t word = 0; word < w.size(); ++word) {
            if (w[word] != 0) {
                const auto bit = static_cast<std::size_t>(std::countr_zero(w[word]));
                return static_cast<std::uint32_t>(64 * word + bit);
            }
        }
        return 0;
    }

    // A split without child entries (the table keeps every leaf, so only a leaf) is
    // written as its leaves.
    void write_leaves(std::uint32_t id, std::string& out) const {
        const std::span<const std::uint64_t> w = table.split_words(id);
        std::size_t n_leaves = 0;
        for (const std::uint64_t x : w) {
            n_leaves += static_cast<std::size_t>(std::popcount(x));
        }
        const bool single = n_leaves == 1;
        if (!single) {
            out += '(';
        }
        bool first = true;
        for (std::size_t word = 0; word < w.size(); ++word) {
            for (std::uint64_t bits = w[word]; bits != 0; bits &= bits - 1) {
                if (!first) {
                    out += ',';
                }
                first = false;
                out += labels[64 * word + static_cast<std::size_t>(std::countr_zero(bits))];
            }
        }
        if (!single) {
            out += ')';
        }
    }

    void write(std::size_t tree_i, std::string& out) {
        const std::span<const std::uint32_t> ids = table.tree_ids(tree_i);
        const std::span<const std::int32_t> par =
            parents.subspan(static_cast<std::size_t>(table.indptr[tree_i]), ids.size());
        const auto n = static_cast<std::uint32_t>(ids.size());
        smallest.resize(n);
        order.resize(n);
        up.resize(n);
        for (std::uint32_t e = 0; e < n; ++e) {
            smallest[e] = smallest_leaf(ids[e]);
            order[e] = e;
            // ids ascend within a tree: the parent's entry by binary search
            up[e] = par[e] < 0 ? n
                               : static_cast<std::uint32_t>(
                                     std::lower_bound(ids.begin(), ids.end(),
                                                      static_cast<std::uint32_t>(par[e])) -
                                     ids.begin());
        }
        // Siblings are disjoint, so their smallest leaves differ: listing children in this
        // order sorts every node's children.
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return smallest[a] != smallest[b] ? smallest[a] < smallest[b] : a < b;
        });
        start.assign(n + 2, 0);
        for (std::uint32_t e = 0; e < n; ++e) {
            ++start[up[e] + 1];
        }
        for (std::uint32_t e = 0; e <= n; ++e) {
            start[e + 1] += start[e];
        }
        kids.resize(n);
        fill.assign(start.begin(), start.end() - 1);
        for (const std::uint32_t e : order) {
            kids[fill[up[e]]++] = e;
        }
        // Depth first from the root (entry n), without recursion: a caterpillar is deep.
        stack.clear();
        stack.emplace_back(n, start[n]);
        out += '(';
        while (!stack.empty()) {
            auto& [node, next] = stack.back();
            if (next == start[node + 1]) {
                out += ')';
                stack.pop_back();
                continue;
            }
            if (next != start[node]) {
                out += ',';
            }
            const std::uint32_t child = kids[next++];
            if (start[child] == start[child + 1]) {
                write_leaves(ids[child], out);
            } else {
                out += '(';
                stack.emplace_back(child, start[child]);
            }
        }
        out += ';';
    }
};

}  // namespace

std::vector<std::string> topology_newicks(const SplitTable& table,
                                          std::span<const std::int32_t> parents,
                                          std::span<const std::uint32_t> trees,
                                          std::span<const std::string> labels,
                                          std::atomic<std::uint64_t>* progress) {
    std::vector<std::string> texts(trees.size());
    pool::parallel_for(0, trees.size(), [&](std::size_t begin, std::size_t end) {
        Writer writer{table, parents, labels, {}, {}, {}, {}, {}, {}, {}};
        for (std::size_t k = begin; k < end; ++k) {
            writer.write(trees[k], texts[k]);
        }
        if (progress != nullptr) {
            progress->fetch_add(end - begin, std::memory_order_relaxed);
        }
    }, 256);
    return texts;
}

}  // namespace kestrilune
