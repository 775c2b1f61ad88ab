// kestrilune_tools._engine: the split-table engine as a Python extension (nanobind).
//
// This file converts arguments and results and decides where the GIL is released; the
// work itself is in the core (snapshot/ for the collection, table/ for the table). Arrays
// handed to Python are read-only views of the table's own memory, kept alive by the
// SplitTable object they came from.
//
//     t = SplitTable(names, newicks, maps, map_indices, rooted=False, lengths=True)
//     t.indptr, t.ids, t.lengths, t.words      # zero-copy NumPy views
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "dispatch/dispatch.hpp"
#include "engine/args_py.hpp"
#include "engine/arrays_py.hpp"
#include "engine/counter_py.hpp"
#include "engine/gil_py.hpp"
#include "pool/pool.hpp"
#include "progress/newick_iter_py.hpp"
#include "progress/progress_py.hpp"
#include "snapshot/snapshots.hpp"
#include "table/queries.hpp"
#include "table/split_table.hpp"
#include "table/topology_text.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrilune::engine {
namespace {

// Texts are handed to the collection in chunks of this many bytes (or trees), so that
// memory holds one chunk of text, not the whole file, and Ctrl-C is looked at between
// chunks.
constexpr std::size_t kChunkBytes = std::size_t{16} << 20;
constexpr std::size_t kChunkTrees = 4096;

// kestrilune_tools._engine.TreeSetError, made at import.
PyObject* tree_set_error_type = nullptr;

// Raises a TreeSetError (a ValueError) with the error's message, .kind and .tree_index.
[[noreturn]] void raise_tree_set_error(const TreeSetError& error) {
    const nb::str message(error.message.data(), error.message.size());
    nb::object exc = nb::steal(PyObject_CallOneArg(tree_set_error_type, message.ptr()));
    if (!exc.is_valid()) {
        throw nb::python_error();
    }
    const std::string_view kind = kind_name(error.kind);
    exc.attr("kind") = nb::str(kind.data(), kind.size());
    exc.attr("tree_index") =
        error.tree_index ? nb::object(nb::int_(*error.tree_index)) : nb::none();
    PyErr_SetObject(tree_set_error_type, exc.ptr());
    throw nb::python_error();
}

// The Python object: the table, plus what is derived from it on first use.
struct PySplitTable {
    explicit PySplitTable(SplitTable t) : table(std::move(t)) {}

    SplitTable table;
    std::optional<std::vector<std::int32_t>> parents;
    std::optional<WeightedView> weighted;
    std::optional<std::vector<std::uint32_t>> sizes;  // split_sizes, for parents_of
};

template <class T>
using View1 = nb::ndarray<nb::numpy, const T, nb::ndim<1>>;

// A read-only 1-D view of `data`, owned by the Python object of `owner`.
template <class T>
View1<T> view(const PySplitTable& owner, const std::vector<T>& data) {
    const std::size_t shape[1] = {data.size()};
    return View1<T>(data.data(), 1, shape, nb::find(&owner));
}

// iter(newick_iter), or the Python error it raised.
nb::object iterator_of(nb::handle newick_iter) {
    nb::object iter = nb::steal(PyObject_GetIter(newick_iter.ptr()));
    if (!iter.is_valid()) {
        throw nb::python_error();
    }
    return iter;
}

// Texts parsed a chunk at a time (kChunkBytes or kChunkTrees).
ReadPolicy chunked_policy() {
    ReadPolicy policy;
    policy.chunk_bytes = kChunkBytes;
    policy.chunk_trees = kChunkTrees;
    return policy;
}

// Validates the arguments and reads `newick_iter` a chunk at a time into the collection
// (progress/newick_iter_py.hpp, the reader the kestrilune module shares), the GIL released
// while each chunk is parsed; `counter` (if any) counts the trees parsed. Errors: the
// iterator's own exception unchanged, TypeError for an item that is not a str,
// TreeSetError (a ValueError) with the module's messages.
Snapshots collect(const std::vector<std::string>& names, nb::handle newick_iter,
                  const std::vector<TranslateMap>& translate_maps,
                  const std::vector<std::uint64_t>& map_indices, bool rooted, bool keep_lengths,
                  const CounterCell& counter) {
    if (auto failure = validate_iter_args(names.size(), map_indices, translate_maps.size())) {
        raise_tree_set_error(*failure);
    }
    nb::object iter = iterator_of(newick_iter);
    const ReadPolicy policy = chunked_policy();
    Result<Snapshots, TreeSetError> snapshots = progress_py::read_newick_iter(
        iter.ptr(), {translate_maps, map_indices, rooted}, keep_lengths, policy,
        progress_py::ParseGil::Released, [&](std::size_t trees_done) {
            if (counter) {
                counter->store(trees_done, std::memory_order_relaxed);
            }
        });
    if (!snapshots) {
        if (snapshots.error().kind == TreeSetErrorKind::Source) {
            throw nb::python_error();  // the iterator's, the item check's or a signal's
        }
        raise_tree_set_error(snapshots.error());
    }
    return std::move(snapshots).value();
}

std::vector<std::int32_t> convert_groups(const std::optional<std::vector<std::int64_t>>& groups,
                                         std::size_t n_names) {
    std::vector<std::int32_t> out;
    if (!groups) {
        return out;
    }
    if (groups->size() != n_names) {
        throw nb::value_error(("groups has " + std::to_string(groups->size()) +
                               " entries; one per name (" + std::to_string(n_names) + ") is needed")
                                  .c_str());
    }
    out.reserve(groups->size());
    for (const std::int64_t g : *groups) {
        if (g < 0 || g > INT32_MAX) {
            throw nb::value_error("groups must be numbers from 0 to 2**31 - 1");
        }
        out.push_back(static_cast<std::int32_t>(g));
    }
    return out;
}

void py_init(PySplitTable* self, const std::vector<std::string>& names, nb::handle newick_iter,
             const std::vector<TranslateMap>& translate_maps,
             const std::vector<std::uint64_t>& map_indices, bool rooted, nb::handle progress,
             bool lengths, const std::optional<std::vector<std::int64_t>>& groups) {
    const CounterCell cell = counter_cell(progress);
    std::vector<std::int32_t> group_of = convert_groups(groups, names.size());
    if (cell) {
        start_counter(progress, names.size());
    }
    SplitTable table;
    {
        // Ctrl-C stops the parallel parse of a chunk and the table's construction too.
        progress_py::StopOnSignal stop;
        try {
            Snapshots snapshots =
                collect(names, newick_iter, translate_maps, map_indices, rooted, lengths, cell);
            ReleasedGil unlocked;  // safe: native data only
            table = SplitTable::from_snapshots(std::move(snapshots), names, std::move(group_of),
                                               rooted, lengths);
        } catch (const pool::Stopped&) {
            throw nb::python_error();  // the handler's exception is set
        }
    }
    if (cell) {
        cell->store(names.size(), std::memory_order_relaxed);
    }
    new (self) PySplitTable{std::move(table)};
}

SplitTable table_from_bytes(nb::bytes data) {
    Result<SplitTable, std::string> table =
        SplitTable::from_bytes({reinterpret_cast<const std::uint8_t*>(data.c_str()), data.size()});
    if (!table) {
        throw nb::value_error(table.error().c_str());
    }
    return std::move(table).value();
}

nb::bytes table_bytes(const PySplitTable& self) {
    const std::vector<std::uint8_t> bytes = self.table.to_bytes();
    return nb::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

const std::vector<std::int32_t>& parents_of(PySplitTable& self) {
    if (!self.parents) {
        // Computed with the GIL released and stopped by Ctrl-C; stored with the GIL held, so
        // that two threads asking at once each compute it and the first one's stays.
        std::vector<std::int32_t> parents;
        run_stoppable([&] { parents = split_parents(self.table); });
        if (!self.parents) {
            self.parents = std::move(parents);
        }
    }
    return *self.parents;
}

// The parents of the entries of trees t0..t1 alone: a slice of the whole array when it was
// computed already, else just those trees (so a pass a chunk at a time never holds it whole).
nb::ndarray<nb::numpy, std::int32_t> parents_range(PySplitTable& self, nb::handle t0_arg,
                                                   nb::handle t1_arg) {
    const std::size_t t1 = int_arg(t1_arg, "t1", 0, self.table.n_trees());
    const std::size_t t0 = int_arg(t0_arg, "t0", 0, t1);
    std::vector<std::int32_t> out;
    if (self.parents) {
        const auto e0 = static_cast<std::ptrdiff_t>(self.table.indptr[t0]);
        const auto e1 = static_cast<std::ptrdiff_t>(self.table.indptr[t1]);
        out.assign(self.parents->begin() + e0, self.parents->begin() + e1);
    } else {
        if (!self.sizes) {
            self.sizes = split_sizes(self.table);  // small: 4 bytes a split
        }
        const std::vector<std::uint32_t>& sizes = *self.sizes;
        run_stoppable([&] { out = split_parents(self.table, t0, t1, sizes); });
    }
    const std::size_t n = out.size();
    return owned_array(std::move(out), {n});
}

// ---- the queries ------------------------------------------------------------------------

// Tree indices, taken only as they are (bound with noconvert()): an implicit cast from
// another integer type would wrap 2**32 + 1 to 1 before any range check.
using Index = nb::ndarray<const std::uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::span<const std::uint32_t> span_of(const Index& index) {
    return {index.data(), index.shape(0)};
}

Metric metric_of(const std::string& name) {
    if (name == "rf") {
        return Metric::Rf;
    }
    if (name == "wrf") {
        return Metric::Wrf;
    }
    if (name == "kf") {
        return Metric::Kf;
    }
    throw nb::value_error(("unknown metric '" + name + "': choose rf, wrf or kf").c_str());
}

void check_indices(const PySplitTable& self, std::span<const std::uint32_t> index) {
    const std::size_t n = self.table.n_trees();
    for (const std::uint32_t t : index) {
        if (t >= n) {
            throw nb::index_error(("tree index " + std::to_string(t) +
                                   " is out of range for a table of " + std::to_string(n) +
                                   " trees")
                                      .c_str());
        }
    }
}

// The number of groups the table's trees need: its largest group + 1 (0 without trees).
std::uint64_t groups_needed(const SplitTable& table) {
    if (table.groups.empty()) {
        return 0;
    }
    const std::int32_t last = *std::max_element(table.groups.begin(), table.groups.end());
    return static_cast<std::uint64_t>(last) + 1;
}

// Groups are int32 numbers, so no table needs more than 2**31 of them.
constexpr std::uint64_t kMostGroups = std::uint64_t{1} << 31;

// Lag statistics are (n_groups x max_lag) arrays: at most this many cells (3 GiB in all).
constexpr std::uint64_t kMostLagCells = std::uint64_t{1} << 27;

// The distance over the table, with the weighted view built on first use (GIL held, so two
// threads cannot build it at once).
Distances distances_of(PySplitTable& self, const std::string& metric_name) {
    const Metric metric = metric_of(metric_name);
    if (metric != Metric::Rf && !self.weighted) {
        if (!self.table.has_lengths) {
            throw nb::value_error(
                "weighted RF and KF need branch lengths: build the table with lengths=True");
        }
        self.weighted = WeightedView::from_table(self.table);
    }
    return Distances{&self.table, metric, self.weighted ? &*self.weighted : nullptr};
}

CellType cell_type_of(const nb::dlpack::dtype& dt) {
    using nb::dlpack::dtype_code;
    const auto code = static_cast<dtype_code>(dt.code);
    if (dt.lanes == 1 && code == dtype_code::UInt) {
        switch (dt.bits) {
            case 8:
                return CellType::U8;
            case 16:
                return CellType::U16;
            case 32:
                return CellType::U32;
            case 64:
                return CellType::U64;
        }
    }
    if (dt.lanes == 1 && code == dtype_code::Int && (dt.bits == 32 || dt.bits == 64)) {
        return dt.bits == 32 ? CellType::I32 : CellType::I64;
    }
    if (dt.lanes == 1 && code == dtype_code::Float && (dt.bits == 32 || dt.bits == 64)) {
        return dt.bits == 32 ? CellType::F32 : CellType::F64;
    }
    throw nb::type_error("out must hold unsigned or signed integers or floats");
}

using Out2 = nb::ndarray<nb::ndim<2>, nb::device::cpu>;
using Out1 = nb::ndarray<nb::ndim<1>, nb::device::cpu>;

void py_block(PySplitTable& self, const std::string& metric, const Index& rows, const Index& cols,
              Out2 out, nb::handle progress) {
    check_indices(self, span_of(rows));
    check_indices(self, span_of(cols));
    if (out.shape(0) != rows.shape(0) || out.shape(1) != cols.shape(0)) {
        throw nb::value_error("out must have shape (len(rows), len(cols))");
    }
    const Distances d = distances_of(self, metric);
    const CellOut cells{out.data(), cell_type_of(out.dtype()), out.stride(0), out.stride(1)};
    long_call(progress, rows.shape(0) * cols.shape(0), [&](const TileOptions& o) {
        write_block(d, span_of(rows), span_of(cols), cells, o);
    });
}

void py_condensed(PySplitTable& self, const std::string& metric, const Index& index, Out1 out,
                  nb::handle progress) {
    check_indices(self, span_of(index));
    const std::uint64_t m = index.shape(0);
    if (out.shape(0) != m * (m - (m > 0 ? 1 : 0)) / 2) {
        throw nb::value_error("out must have len(index) * (len(index) - 1) / 2 cells");
    }
    const Distances d = distances_of(self, metric);
    const CellOut cells{out.data(), cell_type_of(out.dtype()), 0, out.stride(0)};
    long_call(progress, out.shape(0),
              [&](const TileOptions& o) { write_condensed(d, span_of(index), cells, o); });
}

nb::ndarray<nb::numpy, double> py_row_sums(PySplitTable& self, const std::string& metric,
                                           const Index& rows, const Index& cols,
                                           nb::handle progress) {
    check_indices(self, span_of(rows));
    check_indices(self, span_of(cols));
    const Distances d = distances_of(self, metric);
    std::vector<double> sums(rows.shape(0));
    long_call(progress, rows.shape(0) * cols.shape(0),
              [&](const TileOptions& o) { row_sums(d, span_of(rows), span_of(cols), sums, o); });
    return owned_array(std::move(sums), {rows.shape(0)});
}

nb::tuple py_nearest(PySplitTable& self, const std::string& metric, const Index& index,
                     nb::handle k_arg, nb::handle progress) {
    check_indices(self, span_of(index));
    const std::size_t m = index.shape(0);
    if (m < 2) {
        throw nb::value_error(("k: nearest neighbours need at least two trees; the index holds " +
                               std::to_string(m))
                                  .c_str());
    }
    const std::size_t k = int_arg(k_arg, "k", 1, m - 1);
    const Distances d = distances_of(self, metric);
    std::vector<std::int64_t> neighbours(m * k);
    std::vector<double> dist(m * k);
    long_call(progress, m * m,
              [&](const TileOptions& o) { nearest(d, span_of(index), k, neighbours, dist, o); });
    return nb::make_tuple(owned_array(std::move(neighbours), {m, k}),
                          owned_array(std::move(dist), {m, k}));
}

nb::ndarray<nb::numpy, std::int64_t> py_histogram(
    PySplitTable& self, const std::string& metric, const Index& index,
    const nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>& edges,
    nb::handle progress) {
    check_indices(self, span_of(index));
    if (edges.shape(0) < 2) {
        throw nb::value_error("histogram needs at least two bin edges");
    }
    const std::span<const double> e(edges.data(), edges.shape(0));
    if (std::any_of(e.begin(), e.end(), [](double x) { return std::isnan(x); }) ||
        !std::is_sorted(e.begin(), e.end())) {
        throw nb::value_error("bins: edges must be numbers (no NaN) that increase monotonically");
    }
    const Distances d = distances_of(self, metric);
    std::vector<std::int64_t> counts(e.size() - 1);
    const std::uint64_t m = index.shape(0);
    long_call(progress, m * (m - (m > 0 ? 1 : 0)) / 2,
              [&](const TileOptions& o) { histogram(d, span_of(index), e, counts, o); });
    return owned_array(std::move(counts), {e.size() - 1});
}

nb::tuple py_lag_sums(PySplitTable& self, const std::string& metric, nb::handle n_groups_arg,
                      nb::handle max_lag_arg, nb::handle progress) {
    const std::size_t n_groups =
        int_arg(n_groups_arg, "n_groups", groups_needed(self.table), kMostGroups);
    const std::size_t max_lag = int_arg(max_lag_arg, "max_lag", 1, INT32_MAX);
    if (n_groups > 0 && max_lag > kMostLagCells / n_groups) {
        throw nb::value_error(("max_lag: " + std::to_string(n_groups) + " groups x " +
                               std::to_string(max_lag) + " lags is more than " +
                               std::to_string(kMostLagCells) +
                               " cells; no lag beyond a run's length has pairs")
                                  .c_str());
    }
    const Distances d = distances_of(self, metric);
    LagSums sums;
    const std::uint64_t total = static_cast<std::uint64_t>(self.table.n_trees()) * max_lag;
    long_call(progress, total,
              [&](const TileOptions& o) { sums = lag_sums(d, n_groups, max_lag, o); });
    return nb::make_tuple(owned_array(std::move(sums.pairs), {n_groups, max_lag}),
                          owned_array(std::move(sums.sum), {n_groups, max_lag}),
                          owned_array(std::move(sums.sum_sq), {n_groups, max_lag}));
}

std::vector<std::string> py_topology_newicks(PySplitTable& self, const Index& trees,
                                             const std::vector<std::string>& labels,
                                             nb::handle progress) {
    check_indices(self, span_of(trees));
    if (labels.size() != self.table.leaf_names.size()) {
        throw nb::value_error(("labels: " + std::to_string(labels.size()) + " given for " +
                               std::to_string(self.table.leaf_names.size()) + " leaves")
                                  .c_str());
    }
    const std::vector<std::int32_t>& parents = parents_of(self);
    std::vector<std::string> texts;
    long_call(progress, trees.shape(0), [&](const TileOptions& o) {
        texts = topology_newicks(self.table, parents, span_of(trees), labels, o.progress);
    });
    return texts;
}

// A new table object of the same Python class as `like` (a subclass stays a subclass).
nb::object new_table_like(nb::handle like, SplitTable&& table) {
    nb::handle type = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(like.ptr())));
    nb::object obj = nb::inst_alloc(type);
    new (nb::inst_ptr<PySplitTable>(obj))
        PySplitTable{std::move(table)};
    nb::inst_mark_ready(obj);
    return obj;
}

nb::object py_concat(nb::handle self_obj, const PySplitTable& other) {
    const PySplitTable& self = nb::cast<const PySplitTable&>(self_obj);
    if (self.table.rooted != other.table.rooted) {
        throw nb::value_error("cannot join a rooted table and an unrooted one");
    }
    Result<SplitTable, std::string> joint = [&] {
        ReleasedGil unlocked;  // safe: native data only
        return concat(self.table, other.table);
    }();
    if (!joint) {
        throw nb::value_error(joint.error().c_str());
    }
    return new_table_like(self_obj, std::move(joint).value());
}

nb::object py_take(nb::handle self_obj, const Index& trees) {
    const PySplitTable& self = nb::cast<const PySplitTable&>(self_obj);
    const std::span<const std::uint32_t> which = span_of(trees);
    check_indices(self, which);
    SplitTable part = [&] {
        ReleasedGil unlocked;  // safe: native data only, `trees` is kept alive by the caller
        return take(self.table, which);
    }();
    return new_table_like(self_obj, std::move(part));
}

// A table built from parts, for a caller that reads the files itself: each add() is one
// part of the tree set (the texts of a chunk of a file), parsed and interned into one
// collection as if every tree had come from one iterator (ids, messages and tree indices
// alike); finish() makes the table. After a failed add() the builder refuses every call.
struct PyTableBuilder {
    std::optional<SnapshotCollector> collector;
    std::vector<std::string> names;
    std::vector<std::int32_t> groups;
    bool rooted = false;
    bool lengths = false;
    bool usable = true;
};

void check_usable(const PyTableBuilder& self) {
    if (!self.usable) {
        throw nb::value_error("this table builder failed or finished already; start a new one");
    }
}

void builder_add(PyTableBuilder& self, const std::vector<std::string>& names,
                 nb::handle newick_iter, const std::vector<TranslateMap>& translate_maps,
                 const std::vector<std::uint64_t>& map_indices,
                 const std::optional<std::vector<std::int64_t>>& groups) {
    check_usable(self);
    if (auto failure =
            validate_iter_args(names.size(), map_indices, translate_maps.size(), false)) {
        raise_tree_set_error(*failure);
    }
    std::vector<std::int32_t> group_of = convert_groups(groups, names.size());
    group_of.resize(names.size(), 0);
    nb::object iter = iterator_of(newick_iter);
    const ReadPolicy policy = chunked_policy();
    self.usable = false;  // until this part is in
    std::optional<TreeSetError> failure;
    {
        progress_py::StopOnSignal stop;
        try {
            failure = progress_py::read_more_newick_iter(
                iter.ptr(), {translate_maps, map_indices, self.rooted}, self.lengths, policy,
                progress_py::ParseGil::Released, [](std::size_t) {}, self.collector);
        } catch (const pool::Stopped&) {
            throw nb::python_error();  // the handler's exception is set
        }
    }
    if (failure) {
        if (failure->kind == TreeSetErrorKind::Source) {
            throw nb::python_error();
        }
        raise_tree_set_error(*failure);
    }
    self.names.insert(self.names.end(), names.begin(), names.end());
    self.groups.insert(self.groups.end(), group_of.begin(), group_of.end());
    self.usable = true;
}

nb::object builder_finish(PyTableBuilder& self, nb::handle cls) {
    check_usable(self);
    if (self.names.size() < 2) {
        raise_tree_set_error({TreeSetErrorKind::TooFewTrees, std::nullopt, std::string(kTooFewTrees)});
    }
    self.usable = false;
    SplitTable table;
    {
        progress_py::StopOnSignal stop;
        try {
            ReleasedGil unlocked;  // safe: native data only
            table = SplitTable::from_snapshots(std::move(*self.collector).finish(), self.names,
                                               std::move(self.groups), self.rooted, self.lengths);
        } catch (const pool::Stopped&) {
            throw nb::python_error();
        }
    }
    self.collector.reset();
    self.names = {};
    nb::object obj = nb::inst_alloc(cls);
    new (nb::inst_ptr<PySplitTable>(obj))
        PySplitTable{std::move(table)};
    nb::inst_mark_ready(obj);
    return obj;
}

}  // namespace

void bind_run_sums(nb::module_& m);          // run_sums_py.cpp
void bind_clade_partitions(nb::module_& m);  // clade_partitions_py.cpp
void bind_node_heights(nb::module_& m);      // node_heights_py.cpp
void bind_node_comments(nb::module_& m);     // node_comments_py.cpp

}  // namespace kestrilune::engine

NB_MODULE(_engine, m) {
    using namespace kestrilune;
    using namespace kestrilune::engine;
    m.doc() = "The split-table engine of kestrilune_tools (native).";

    {
        nb::dict defaults;
        defaults["kind"] = nb::none();
        defaults["tree_index"] = nb::none();
        tree_set_error_type = PyErr_NewExceptionWithDoc(
            "kestrilune_tools._engine.TreeSetError",
            "A tree set that cannot be read: the kestrilune module's ValueError, with .kind "
            "(\"parse\", \"different_leaf_set\", \"duplicate_leaves\", \"snapshot\", "
            "\"too_few_trees\", \"fewer_trees_than_names\" or \"arguments\") and .tree_index "
            "(the input tree at fault, or None).",
            PyExc_ValueError, defaults.ptr());
        if (tree_set_error_type == nullptr) {
            throw nb::python_error();
        }
        m.attr("TreeSetError") = nb::handle(tree_set_error_type);
    }
    m.def(
        "instruction_set", [] { return std::string(dispatch::name(dispatch::level())); },
        "The instruction-set level the kernels run at: \"avx512\", \"avx2\" or \"baseline\" "
        "(the processor's, lowered by KESTRILUNE_ISA).");

    m.def(
        "memory_limit", [] { return memory_limit_bytes(); },
        "The memory this process may use, in bytes: the least of the machine's physical "
        "memory, its cgroup's limit and its address-space and data rlimits (2**64 - 1 where "
        "none is known).");

    m.def(
        "return_free_memory", [] { return_free_memory(); },
        nb::call_guard<nb::gil_scoped_release>(),
        "Hands the free pages of the heap back to the system (glibc's malloc_trim; nothing "
        "elsewhere). A long pass of small temporaries calls it now and then, so that they do "
        "not make resident again, page by page, the room an earlier phase freed.");

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const InternalError& e) {
            PyErr_Format(PyExc_SystemError, "kestrilune internal error: %s", e.what());
        }
    });

    nb::class_<PyTableBuilder>(m, "TableBuilder",
                               "A SplitTable built from parts: add() the trees of each chunk "
                               "in turn, then finish(cls). Tree indices in errors count across "
                               "the parts.")
        .def(
            "__init__",
            [](PyTableBuilder* self, bool rooted, bool lengths) {
                new (self) PyTableBuilder{};
                self->rooted = rooted;
                self->lengths = lengths;
            },
            nb::kw_only(), "rooted"_a = false, "lengths"_a = false)
        .def("add", &builder_add, "names"_a, "newick_iter"_a, "translate_maps"_a,
             "map_indices"_a, "groups"_a = nb::none(),
             "Parses and interns the next trees (the GIL released while they are parsed).")
        .def("finish", &builder_finish, "cls"_a,
             "The table of every tree added, as an object of cls (SplitTable or a subclass).")
        .def_prop_ro("n_trees", [](const PyTableBuilder& s) { return s.names.size(); });

    nb::class_<PySplitTable>(m, "SplitTable",
                             "A tree set reduced once to its splits: per tree the ascending "
                             "split ids (CSR), optional branch lengths and a group, per split "
                             "its leaf set. Split ids are columns in ascending leaf-set order.")
        .def("__init__", &py_init, "names"_a, "newick_iter"_a, "translate_maps"_a, "map_indices"_a,
             "rooted"_a = false, "progress"_a = nb::none(), nb::kw_only(), "lengths"_a = false,
             "groups"_a = nb::none(),
             "Parses and reduces the trees as the kestrilune module does (same arguments, "
             "same errors), the GIL released while trees are parsed. progress, a "
             "kestrilune.ProgressCounter, counts trees. lengths=True keeps branch lengths; "
             "groups gives each tree's group (run), default 0.")
        .def_prop_ro("n_trees", [](const PySplitTable& s) { return s.table.n_trees(); })
        .def_prop_ro("n_splits", [](const PySplitTable& s) { return s.table.n_splits(); })
        .def_prop_ro("n_words", [](const PySplitTable& s) { return s.table.n_words; })
        .def_prop_ro("rooted", [](const PySplitTable& s) { return s.table.rooted; })
        .def_prop_ro("has_lengths", [](const PySplitTable& s) { return s.table.has_lengths; })
        .def_prop_ro("leaf_names", [](const PySplitTable& s) { return s.table.leaf_names; })
        .def_prop_ro("tree_names", [](const PySplitTable& s) { return s.table.tree_names; })
        .def_prop_ro(
            "indptr", [](const PySplitTable& s) { return view(s, s.table.indptr); },
            "(n_trees + 1,) int64: tree t holds ids[indptr[t]:indptr[t + 1]]")
        .def_prop_ro(
            "ids", [](const PySplitTable& s) { return view(s, s.table.ids); },
            "uint32 split ids, ascending within each tree")
        .def_prop_ro(
            "lengths",
            [](const PySplitTable& s) -> std::optional<View1<double>> {
                if (!s.table.has_lengths) {
                    return std::nullopt;
                }
                return view(s, s.table.lengths);
            },
            "float64 branch lengths beside ids, or None")
        .def_prop_ro(
            "groups", [](const PySplitTable& s) { return view(s, s.table.groups); },
            "(n_trees,) int32 group of every tree")
        .def_prop_ro(
            "first_seen", [](const PySplitTable& s) { return view(s, s.table.first_seen); },
            "(n_splits,) uint32: the order in which the trees first showed each "
            "split (the kestrilune module's partition id)")
        .def_prop_ro(
            "words",
            [](const PySplitTable& s) {
                const std::size_t shape[2] = {s.table.n_splits(), s.table.n_words};
                return nb::ndarray<nb::numpy, const std::uint64_t, nb::ndim<2>>(
                    s.table.words.data(), 2, shape, nb::find(&s));
            },
            "(n_splits, n_words) uint64 leaf sets: leaf i is bit i % 64 of word i // 64")
        .def_prop_ro(
            "parents", [](PySplitTable& s) { return view(s, parents_of(s)); },
            "int32 beside ids: the smallest split of the same tree strictly containing the "
            "split, or -1. Computed on first use, the GIL released, stopped by Ctrl-C.")
        .def("parents_of", &parents_range, "t0"_a, "t1"_a,
             "parents of the entries of trees t0..t1 alone (indptr[t0]..indptr[t1]), as a new "
             "array, without computing or keeping them for the whole table. The GIL released, "
             "stopped by Ctrl-C.")
        .def(
            "counts",
            [](const PySplitTable& s, nb::handle n_groups_arg) {
                // n_splits * n_groups cells of 8 bytes must be addressable.
                const std::size_t n_splits = std::max<std::size_t>(s.table.n_splits(), 1);
                const std::uint64_t most =
                    std::min<std::uint64_t>(kMostGroups, std::uint64_t{PTRDIFF_MAX} / 8 / n_splits);
                const std::size_t n_groups =
                    int_arg(n_groups_arg, "n_groups", groups_needed(s.table), most);
                return owned_array(split_counts(s.table, n_groups), {s.table.n_splits(), n_groups});
            },
            "n_groups"_a, "(n_splits, n_groups) int64: trees of each group holding each split")
        .def("to_bytes", &table_bytes,
             "The compact byte form, which pickling also stores: a versioned header, the "
             "arrays, and a checksum of the whole (see from_bytes).")
        .def_static(
            "from_bytes",
            [](nb::bytes data) {
                auto* t = new PySplitTable{table_from_bytes(data)};
                return t;
            },
            "data"_a, nb::rv_policy::take_ownership,
            "The table of a byte form made by to_bytes (the current form or the one "
            "without a checksum). Every size, offset, id and leaf set is checked, and the "
            "checksum where there is one: ValueError for bytes that fail, else a table on "
            "which every query is safe. Memory and time follow the size of data. The "
            "checksum finds damage, not forgery: valid bytes can be written for any "
            "trees. Unpickling untrusted data can run code (that is pickle itself): "
            "exchange tables as bytes, not pickles.")
        .def("_block", &py_block, "metric"_a, "rows"_a.noconvert(), "cols"_a.noconvert(),
             "out"_a, "progress"_a = nb::none())
        .def("_condensed", &py_condensed, "metric"_a, "index"_a.noconvert(), "out"_a,
             "progress"_a = nb::none())
        .def("_row_sums", &py_row_sums, "metric"_a, "rows"_a.noconvert(), "cols"_a.noconvert(),
             "progress"_a = nb::none())
        .def("_nearest", &py_nearest, "metric"_a, "index"_a.noconvert(), "k"_a,
             "progress"_a = nb::none())
        .def("_histogram", &py_histogram, "metric"_a, "index"_a.noconvert(), "edges"_a,
             "progress"_a = nb::none())
        .def("_lag_sums", &py_lag_sums, "metric"_a, "n_groups"_a, "max_lag"_a,
             "progress"_a = nb::none())
        .def(
            "_rf_bound",
            [](const PySplitTable& s, const Index& rows, const Index& cols) {
                check_indices(s, span_of(rows));
                check_indices(s, span_of(cols));
                return rf_bound(s.table, span_of(rows), span_of(cols));
            },
            "rows"_a.noconvert(), "cols"_a.noconvert())
        .def("_topology_newicks", &py_topology_newicks, "trees"_a.noconvert(), "labels"_a,
             "progress"_a = nb::none())
        .def("_concat", &py_concat, "other"_a)
        .def("_take", &py_take, "trees"_a.noconvert())
        .def("__getstate__", &table_bytes)
        .def("__setstate__", [](PySplitTable& self, nb::bytes data) {
            new (&self) PySplitTable{table_from_bytes(data)};
        });

    bind_run_sums(m);
    bind_clade_partitions(m);
    bind_node_heights(m);
    bind_node_comments(m);
    quiet_leak_report_at_exit();
}
