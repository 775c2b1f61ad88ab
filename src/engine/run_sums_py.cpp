// kestrilune_tools._engine.RunSums: the whole-number sums of stats/run_sums over a run's
// distance matrix, fed block by block of rows from NumPy (see kestrilune_tools.converge.ess).
//
//     s = RunSums(n, max_lag)
//     lagged, total, row_upper = s.add_block(rows_u8, row0)   # per row of the block
//     s.diag, s.col_upper                                       # after the last block
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/args_py.hpp"
#include "engine/arrays_py.hpp"
#include "engine/gil_py.hpp"
#include "stats/run_sums.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrilune::engine {
namespace {

template <class T>
using Block = nb::ndarray<const T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

template <class T>
nb::tuple add(stats::RunSums& self, const Block<T>& block, nb::handle row0_arg) {
    const std::size_t rows = block.shape(0);
    if (block.shape(1) != self.n) {
        throw nb::value_error("a block must hold rows of n distances");
    }
    if (rows > self.n) {
        throw nb::index_error("block rows lie outside the matrix");
    }
    const std::size_t row0 = int_arg(row0_arg, "row0", 0, self.n - rows);
    stats::BlockSums out;
    bool exact = true;
    {
        // Safe: the block's buffer is kept alive by the caller's argument for the whole
        // call, and only native data is touched.
        ReleasedGil unlocked;
        std::uint64_t top = 0;
        for (std::size_t i = 0; i < rows * self.n; ++i) {
            top = std::max<std::uint64_t>(top, block.data()[i]);
        }
        exact = stats::fits(self.n, top);
        if (exact) {
            stats::add_block(block.data(), rows, row0, self, out);
        }
    }
    if (!exact) {
        throw nb::value_error("distances too large for exact 64-bit sums");
    }
    const std::size_t width = self.max_lag + 1;
    return nb::make_tuple<nb::rv_policy::automatic>(
        owned_array(std::move(out.lagged), {rows, width}),
        owned_array(std::move(out.total), {rows}), owned_array(std::move(out.row_upper), {rows}));
}

}  // namespace

void bind_run_sums(nb::module_& m) {
    nb::class_<stats::RunSums>(
        m, "RunSums",
        "Exact whole-number sums over the n x n distance matrix of one run, gathered block "
        "by block of rows: per row, the lagged products sum_t d(i,t) d(i,t+k) (k = "
        "0..max_lag), the row sum and the sum of d(i,j)^2 over j > i; over the matrix, the "
        "diagonal sums diag[k] = sum_t d(t,t+k)^2 and col_upper[j] = sum_{i<j} d(i,j)^2.")
        .def(
            "__init__",
            [](stats::RunSums* self, nb::handle n_arg, nb::handle max_lag_arg) {
                const std::size_t n = int_arg(n_arg, "n", 0, UINT32_MAX);
                const std::size_t max_lag = int_arg(max_lag_arg, "max_lag", 0, n > 0 ? n - 1 : 0);
                new (self) stats::RunSums(n, max_lag);
            },
            "n"_a, "max_lag"_a,
            "Sums for an n x n matrix (n from 0 to 2**32 - 1), lags 0 .. max_lag (below n).")
        .def_ro("n", &stats::RunSums::n)
        .def_ro("max_lag", &stats::RunSums::max_lag)
        .def("add_block", &add<std::uint8_t>, "block"_a, "row0"_a)
        .def("add_block", &add<std::uint16_t>, "block"_a, "row0"_a)
        .def("add_block", &add<std::uint32_t>, "block"_a, "row0"_a,
             "Adds rows row0.. of the matrix (a C-contiguous uint8/16/32 array of shape "
             "(rows, n)); returns (lagged (rows, max_lag + 1), total (rows,), row_upper "
             "(rows,)), all int64. The GIL is released while the block is summed.")
        .def_prop_ro(
            "diag",
            [](const stats::RunSums& s) {
                return owned_array(std::vector<std::int64_t>(s.diag), {s.diag.size()});
            },
            nb::rv_policy::move,
            "(n,) int64 copy: diag[k] = sum over t of d(t, t+k)^2 over the rows added")
        .def_prop_ro(
            "col_upper",
            [](const stats::RunSums& s) {
                return owned_array(std::vector<std::int64_t>(s.col_upper), {s.col_upper.size()});
            },
            nb::rv_policy::move,
            "(n,) int64 copy: col_upper[j] = sum over i < j of d(i, j)^2 over the rows added");
}

}  // namespace kestrilune::engine
