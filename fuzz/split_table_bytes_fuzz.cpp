// The byte form of a split table (what a pickled SplitTable holds, read back from any file):
// from_bytes must refuse a damaged buffer with a message, and a table it accepts must be
// safe to use: it writes itself back to the same bytes, and its blocks, parents and split
// counts run without touching memory outside it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_checks.hpp"
#include "table/queries.hpp"
#include "table/split_table.hpp"

namespace kestrilune::fuzz {
namespace {

// Keeps a run short: an accepted table of many trees would spend the time on n^2 cells.
constexpr std::size_t kMaxTreesToQuery = 64;

void run(std::span<const std::uint8_t> bytes) {
    Result<SplitTable, std::string> table = SplitTable::from_bytes(bytes);
    if (!table) {
        check(!table.error().empty(), "empty refusal message");
        return;
    }
    // Version 2 writes itself back byte for byte; version 1 (no checksum) comes back as
    // version 2: the same body under the new header, then the checksum.
    const std::vector<std::uint8_t> again = table->to_bytes();
    std::vector<std::uint8_t> body(bytes.begin(), bytes.end());
    if (bytes.size() > 7 && bytes[7] == '1') {
        check(again.size() == bytes.size() + 8, "version 1 rewritten to the wrong size");
        body[7] = '2';
        body.insert(body.end(), again.end() - 8, again.end());
    }
    check(again == body, "accepted bytes do not round-trip");
    const std::size_t n = std::min(table->n_trees(), kMaxTreesToQuery);
    std::vector<std::uint32_t> index(n);
    for (std::size_t t = 0; t < n; ++t) {
        index[t] = static_cast<std::uint32_t>(t);
    }
    std::vector<double> cells(n * n);
    const CellOut out{cells.data(), CellType::F64, static_cast<std::int64_t>(n), 1};
    write_block(Distances{table.operator->(), Metric::Rf, nullptr}, index, index, out, {});
    if (table->has_lengths) {
        const WeightedView view = WeightedView::from_table(*table);
        write_block(Distances{table.operator->(), Metric::Wrf, &view}, index, index, out, {});
        write_block(Distances{table.operator->(), Metric::Kf, &view}, index, index, out, {});
    }
    split_parents(*table);
    std::size_t n_groups = 0;
    for (const std::int32_t g : table->groups) {
        n_groups = std::max(n_groups, static_cast<std::size_t>(g) + 1);
    }
    if (n_groups <= kMaxTreesToQuery) {  // a huge group number asks for a huge table
        split_counts(*table, n_groups);
    }
}

}  // namespace
}  // namespace kestrilune::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestrilune::fuzz::run(std::span<const std::uint8_t>(data, size));
    return 0;
}
