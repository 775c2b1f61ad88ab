// A small tree set (one text per line) through the collection, every compiled variant of the
// module's kernels, its exports, and the split table's blocks.
//
// Each text set runs rooted and unrooted, without a translate map and with numbers for
// names. The collection (one pass over plain texts, interned in parallel) equals the
// tree-by-tree reference of reference_readers.hpp, with and without lengths: the same
// message, or the same ids, lengths, partitions and leaf names. When it succeeds: every RF,
// WRF and KF variant the processor can run gives the reference fold's matrix bit for bit
// (and the full progress count); the presence, branch-length and clade exports agree with
// the trees' ids; the split table built from the same collection gives the module's cells
// bit for bit, and its byte form reads back to the same bytes.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "distances/distances.hpp"
#include "fuzz_checks.hpp"
#include "reference_folds.hpp"
#include "reference_readers.hpp"
#include "snapshot/snapshots.hpp"
#include "table/queries.hpp"
#include "table/split_table.hpp"

namespace kestrilune::fuzz {
namespace {

constexpr std::size_t kMaxTrees = 12;

// Byte for byte (so NaN payloads and signed zeros count).
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

template <class T>
using Kernel = void (*)(const Snapshots&, std::atomic<std::uint64_t>*, T*, dispatch::Features);

// Every variant the processor can run against `expected`; returns the matrix.
template <class T>
std::vector<T> check_variants(const Snapshots& s,
                              const std::vector<dispatch::VariantInfo>& variants, Kernel<T> kernel,
                              const std::vector<T>& expected, const char* name) {
    const std::size_t n = s.trees.size();
    for (const dispatch::VariantInfo& v : variants) {
        if ((v.needs & ~dispatch::cpu_features()) != 0) {
            continue;
        }
        std::vector<T> cells(n * n);
        std::atomic<std::uint64_t> counter{0};
        kernel(s, &counter, cells.data(), v.needs);
        check(same_bits(cells, expected), name, std::string(v.name));
        check(counter.load() == n * (n - 1) / 2, "progress count", name);
    }
    return expected;
}

void check_exports(const Snapshots& s) {
    const std::size_t n = s.trees.size();
    const std::size_t m = s.n_splits();
    std::vector<std::uint8_t> presence(n * m);
    const std::vector<std::size_t> columns = s.build_presence_matrix(presence.data());
    check(columns.size() == m, "column count");
    std::vector<double> lengths(n * m);
    check(s.build_branch_length_matrix(lengths.data()) == columns, "columns differ");
    for (std::size_t c = 1; c < m; ++c) {
        check(s.splits[columns[c - 1]] < s.splits[columns[c]], "columns not in Bitset order");
    }
    for (std::size_t t = 0; t < n; ++t) {
        const InternSnap& tree = s.trees[t];
        for (std::size_t c = 0; c < m; ++c) {
            const auto at = std::lower_bound(tree.ids.begin(), tree.ids.end(), columns[c]);
            const bool held = at != tree.ids.end() && *at == columns[c];
            check(presence[t * m + c] == (held ? 1 : 0), "presence cell");
            const double want =
                held ? tree.lengths[static_cast<std::size_t>(at - tree.ids.begin())] : 0.0;
            check(std::memcmp(&lengths[t * m + c], &want, sizeof want) == 0, "length cell");
        }
    }
    const std::size_t row_bytes = s.clade_row_bytes();
    std::vector<std::uint8_t> clades(m * row_bytes);
    s.build_split_bytes(columns, clades.data());
    for (std::size_t c = 0; c < m; ++c) {
        const std::vector<std::uint8_t> want = s.splits[columns[c]].to_le_bytes(row_bytes);
        check(std::equal(want.begin(), want.end(), clades.begin() + c * row_bytes), "clade bytes");
    }
}

void check_table(Snapshots s, bool rooted, const std::vector<std::uint32_t>& rf,
                 const std::vector<double>& wrf, const std::vector<double>& kf) {
    const std::size_t n = s.trees.size();
    std::vector<std::string> names(n, "t");
    const SplitTable table = SplitTable::from_snapshots(std::move(s), names, {}, rooted, true);
    const WeightedView view = WeightedView::from_table(table);
    std::vector<std::uint32_t> index(n);
    for (std::size_t t = 0; t < n; ++t) {
        index[t] = static_cast<std::uint32_t>(t);
    }
    const auto n_stride = static_cast<std::int64_t>(n);
    std::vector<std::uint32_t> rf_cells(n * n);
    write_block(Distances{&table, Metric::Rf, nullptr}, index, index,
                CellOut{rf_cells.data(), CellType::U32, n_stride, 1}, TileOptions{});
    check(rf_cells == rf, "split table RF");
    for (const Metric metric : {Metric::Wrf, Metric::Kf}) {
        std::vector<double> cells(n * n);
        write_block(Distances{&table, metric, &view}, index, index,
                    CellOut{cells.data(), CellType::F64, n_stride, 1}, TileOptions{});
        check(same_bits(cells, metric == Metric::Wrf ? wrf : kf), "split table weighted");
    }
    const std::vector<std::uint8_t> bytes = table.to_bytes();
    Result<SplitTable, std::string> back = SplitTable::from_bytes(bytes);
    check(back.has_value(), "byte form refused", back ? "" : back.error());
    check(back->to_bytes() == bytes, "byte form does not round-trip");
}

void run(std::string_view input) {
    std::vector<std::string_view> texts;
    while (texts.size() < kMaxTrees && !input.empty()) {
        const std::size_t end = std::min(input.find('\n'), input.size());
        texts.push_back(input.substr(0, end));
        input.remove_prefix(std::min(end + 1, input.size()));
    }
    for (const TranslateMap* map : {&empty_map(), &numbers_map()}) {
        std::vector<TreeItem> items;
        for (const std::string_view text : texts) {
            items.push_back(TreeItem{text, map});
        }
        for (const bool rooted : {false, true}) {
            Result<Snapshots, std::string> s =
                Snapshots::from_newick_iter_opts(items, rooted, true);
            const std::string difference = reference::collection_difference(
                s, reference::reference_collection(items, rooted, true));
            check(difference.empty(),
                  "collection differs from the tree-by-tree reference:", difference);
            const std::string without_lengths = reference::collection_difference(
                Snapshots::from_newick_iter_opts(items, rooted, false),
                reference::reference_collection(items, rooted, false));
            check(without_lengths.empty(), "collection without lengths differs:", without_lengths);
            if (!s) {
                check(!s.error().empty(), "empty failure message");
                continue;
            }
            check(s->trees.size() == items.size(), "tree count");
            for (const InternSnap& tree : s->trees) {
                check(std::adjacent_find(tree.ids.begin(), tree.ids.end(),
                                         [](auto a, auto b) { return a >= b; }) == tree.ids.end(),
                      "ids not ascending");
                check(tree.lengths.size() == tree.ids.size(), "lengths beside ids");
            }
            const auto rf = check_variants<std::uint32_t>(
                *s, rf_kernel_variants(), rf_matrix, reference::rf(*s), "RF variant");
            const auto wrf = check_variants<double>(*s, wrf_kernel_variants(), wrf_matrix,
                                                    reference::wrf(*s), "WRF variant");
            const auto kf = check_variants<double>(*s, kf_kernel_variants(), kf_matrix,
                                                   reference::kf(*s), "KF variant");
            check_exports(*s);
            check_table(std::move(s).value(), rooted, rf, wrf, kf);
        }
    }
}

}  // namespace
}  // namespace kestrilune::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrilune::fuzz::run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
