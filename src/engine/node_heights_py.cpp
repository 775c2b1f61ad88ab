// kestrilune_tools._engine.node_heights: node heights and common-ancestor heights of a
// chunk of rooted trees of a split table (see stats/node_heights.hpp), for the dated
// summary trees of kestrilune_tools.analyses.summaries.
//
//     h, ca = node_heights(indptr, ids, parents, lengths, leaf_of_split, t0, t1, plan,
//                          progress=None)
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/args_py.hpp"
#include "engine/arrays_py.hpp"
#include "engine/counter_py.hpp"
#include "engine/gil_py.hpp"
#include "stats/node_heights.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrilune::engine {
namespace {

template <class T>
using Column = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Plan = nb::ndarray<const std::int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class T>
std::span<const T> span_of(const Column<T>& a) {
    return {a.data(), a.shape(0)};
}

nb::tuple py_node_heights(const Column<std::int64_t>& indptr, const Column<std::uint32_t>& ids,
                          const Column<std::int32_t>& parents, const Column<double>& lengths,
                          const Column<std::int32_t>& leaf_of_split, nb::handle t0_arg,
                          nb::handle t1_arg, const Plan& plan, nb::handle progress) {
    const std::size_t n_trees = indptr.shape(0) > 0 ? indptr.shape(0) - 1 : 0;
    const std::size_t t1 = int_arg(t1_arg, "t1", 0, n_trees);
    const std::size_t t0 = int_arg(t0_arg, "t0", 0, t1);
    if (plan.shape(1) != 2 && plan.shape(0) != 0) {
        throw nb::value_error("plan must be (rows, 2)");
    }
    if (indptr.shape(0) == 0 ||
        static_cast<std::uint64_t>(indptr.data()[t1] - indptr.data()[t0]) > ids.shape(0)) {
        throw nb::value_error("indptr does not describe ids");
    }
    const std::size_t T = t1 - t0;
    const auto E = static_cast<std::size_t>(indptr.data()[t1] - indptr.data()[t0]);
    const std::span<const stats::PlanRow> rows_of_plan(
        reinterpret_cast<const stats::PlanRow*>(plan.data()), plan.shape(0));
    std::vector<double> h(E + T);
    std::vector<double> ca(rows_of_plan.size() * T);
    const stats::TreeRows rows{span_of(indptr), span_of(ids), span_of(parents), span_of(lengths),
                               span_of(leaf_of_split)};
    const CounterCell cell = counter_cell(progress);
    start_counter(progress, T);
    std::optional<std::string> bad;
    // Safe: the core reads the argument arrays, which the caller keeps alive, and writes
    // only the two vectors. Ctrl-C stops the loop between blocks of trees.
    run_stoppable([&] {
        bad = stats::node_heights(rows, t0, t1, rows_of_plan, h, ca, cell ? cell.get() : nullptr);
    });
    if (bad) {
        throw nb::value_error(bad->c_str());
    }
    const std::size_t n_rows = rows_of_plan.size();
    return nb::make_tuple(owned_array(std::move(h), {E + T}),
                          owned_array(std::move(ca), {n_rows, T}));
}

template <class T>
using Out = nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

void py_gather_by_row(const Column<std::uint32_t>& ids, const Column<std::int32_t>& row_of_split,
                      const Column<double>& a, const Column<double>& b,
                      const Column<std::int64_t>& starts, Out<std::int64_t>& filled,
                      Out<double>& out_a, Out<double>& out_b) {
    std::optional<std::string> bad;
    {
        // Safe: the arrays are the caller's, alive for the call; a chunk takes well under a
        // millisecond, so there is no stop point.
        nb::gil_scoped_release unlocked;
        bad = stats::gather_by_row(span_of(ids), span_of(row_of_split), span_of(a), span_of(b),
                                   span_of(starts), {filled.data(), filled.shape(0)},
                                   {out_a.data(), out_a.shape(0)},
                                   {out_b.data(), out_b.shape(0)});
    }
    if (bad) {
        throw nb::value_error(bad->c_str());
    }
}

}  // namespace

void bind_node_heights(nb::module_& m) {
    m.def("gather_by_row", &py_gather_by_row, "ids"_a, "row_of_split"_a, "a"_a, "b"_a,
          "starts"_a, "filled"_a.noconvert(), "out_a"_a.noconvert(), "out_b"_a.noconvert(),
          "The values of chosen splits, each split's in one run: for every entry e, in order, "
          "whose row r = row_of_split[ids[e]] (int32) is not negative, at = starts[r] + "
          "filled[r] (int64; filled counts up) gets out_a[at] = a[e], out_b[at] = b[e] "
          "(float64). ValueError for a split id or row out of range or a run that would pass "
          "starts[r + 1]; the outputs are then partly written. The GIL is released.");
    m.def("node_heights", &py_node_heights, "indptr"_a, "ids"_a, "parents"_a, "lengths"_a,
          "leaf_of_split"_a, "t0"_a, "t1"_a, "plan"_a, "progress"_a = nb::none(),
          "Heights of trees t0..t1 of a rooted split table (indptr int64, ids uint32, parents "
          "int32, lengths float64; leaf_of_split: int32 per split, its leaf for a clade of one "
          "leaf, else -1): (h, ca). h: every entry's height, then every tree's root height, "
          "as BEAST reads trees (lengths not above 0 count as 0; heights from the highest "
          "tip). ca: (rows, t1 - t0), the height in each tree of each plan row's node; plan "
          "(rows, 2) int64, row r = (leaf, -1) a tip, (-1, -1) the root, (a, b) with a, b < r "
          "the most recent common ancestor of rows a and b. The GIL is released; progress "
          "counts trees; Ctrl-C stops it.");
}

}  // namespace kestrilune::engine
