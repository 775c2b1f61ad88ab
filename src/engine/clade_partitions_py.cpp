// kestrilune_tools._engine.clade_partitions: the clade-partition graph of a CCD0 (see
// stats/clade_partitions.hpp), for kestrilune_tools.summarize.
//
//     parts = clade_partitions(words, sizes, progress=None)   # (p, 3) int64
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/arrays_py.hpp"
#include "engine/counter_py.hpp"
#include "engine/gil_py.hpp"
#include "stats/clade_partitions.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrilune::engine {
namespace {

using Words = InLeafSets;
using Sizes = InColumn<std::int64_t>;

nb::ndarray<nb::numpy, std::int64_t> py_clade_partitions(const Words& words, const Sizes& sizes,
                                                         nb::handle progress) {
    const std::size_t m = words.shape(0);
    const std::size_t n_words = words.shape(1);
    if (sizes.shape(0) != m || n_words == 0) {
        throw nb::value_error("words must be (clades, n_words >= 1) and sizes (clades,)");
    }
    const CounterCell cell = counter_cell(progress);
    start_counter(progress, m);
    std::vector<stats::PartitionRow> parts;
    // Safe: the core reads the two arrays, which the caller's arguments keep alive, and
    // writes only native memory. Ctrl-C stops the loop between blocks.
    run_stoppable([&] {
        parts = stats::clade_partitions(std::span<const std::uint64_t>(words.data(), m * n_words),
                                        n_words, std::span<const std::int64_t>(sizes.data(), m),
                                        cell ? cell.get() : nullptr);
    });
    auto* heap = new std::vector<stats::PartitionRow>(std::move(parts));
    nb::capsule owner(
        heap, [](void* p) noexcept { delete static_cast<std::vector<stats::PartitionRow>*>(p); });
    const std::size_t shape[2] = {heap->size(), 3};
    return nb::ndarray<nb::numpy, std::int64_t>(heap->empty() ? nullptr : heap->front().data(), 2,
                                                shape, owner);
}

}  // namespace

void bind_clade_partitions(nb::module_& m) {
    m.def("clade_partitions", &py_clade_partitions, "words"_a, "sizes"_a, "progress"_a = nb::none(),
          "Every (clade, child_a, child_b) with child_a | child_b == clade, disjoint, child_a < "
          "child_b, over the rows of words ((clades, n_words) uint64 leaf sets, distinct; "
          "sizes: (clades,) int64 leaf counts): the clade partitions of a CCD0. (p, 3) int64, "
          "rows ascending. The GIL is released; progress counts clades; Ctrl-C stops it.");
}

}  // namespace kestrilune::engine
