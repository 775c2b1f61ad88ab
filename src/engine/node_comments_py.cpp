// kestrilune_tools._engine.NodeComments: the node annotations of sample trees for chosen
// clades, read natively (see stats/node_comments.hpp), for annotate.annotate.
//
//     p = NodeComments(n_leaves, clade_words, with_ca)   # words: (n_clades, n_words) uint64
//     k = p.add_labels({"1": 0, "A": 0, ...})
//     taken = p.read(texts, label_tables)    # trees read before the first one declined
//     keys, counts, values, ca = p.take()    # values[c]: [(key, numbers, [(text, n)])]
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unordered_map.h>

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/arrays_py.hpp"
#include "engine/gil_py.hpp"
#include "stats/node_comments.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace kestrilune::engine {
namespace {

using Words = InLeafSets;
using Tables = InColumn<std::int64_t>;

struct PyNodeComments {
    stats::NodeComments pass;
    std::mutex busy;  // one read at a time: the GIL is released while it reads
    bool with_ca;
    std::size_t n_trees = 0;
    bool taken = false;
};

std::size_t py_read(PyNodeComments& self, nb::list texts, const Tables& tables) {
    const std::size_t n = nb::len(texts);
    if (tables.shape(0) != n) {
        throw nb::value_error("one label table per text is needed");
    }
    std::unique_lock lock(self.busy, std::try_to_lock);
    if (!lock.owns_lock() || self.taken) {
        throw nb::value_error(self.taken ? "the results were taken already"
                                         : "another thread is reading into this pass");
    }
    std::vector<std::string_view> views(n);
    std::vector<std::size_t> table_of(n);
    std::vector<nb::object> held(n);  // the texts, alive whatever another thread does
    for (std::size_t k = 0; k < n; ++k) {
        held[k] = texts[k];
        nb::handle item = held[k];
        if (!PyUnicode_Check(item.ptr())) {
            throw nb::type_error("texts must be str");
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (data == nullptr) {
            throw nb::python_error();
        }
        views[k] = {data, static_cast<std::size_t>(size)};
        const std::int64_t table = tables.data()[k];
        if (table < 0 || static_cast<std::uint64_t>(table) >= self.pass.n_label_tables()) {
            throw nb::value_error("no such label table");
        }
        table_of[k] = static_cast<std::size_t>(table);
    }
    std::size_t taken = 0;
    // Only this pass's state is written. Ctrl-C stops the reading between blocks of texts,
    // before any of them is taken.
    run_stoppable([&] { taken = self.pass.add(views, table_of); });
    self.n_trees += taken;
    return taken;
}

nb::tuple py_take(PyNodeComments& self) {
    std::unique_lock lock(self.busy, std::try_to_lock);
    if (!lock.owns_lock() || self.taken) {
        throw nb::value_error(self.taken ? "the results were taken already"
                                         : "another thread is reading into this pass");
    }
    self.taken = true;
    stats::NodeComments& p = self.pass;
    nb::list keys;
    for (const std::string& k : p.keys()) {
        keys.append(nb::str(k.data(), k.size()));
    }
    std::vector<std::int64_t> counts(p.n_clades());
    nb::list values;
    for (std::size_t c = 0; c < p.n_clades(); ++c) {
        counts[c] = p.count(c);
        nb::list of_clade;
        for (stats::NodeComments::Values& v : p.values(c)) {
            nb::list texts;
            for (const stats::NodeComments::Text& t : v.texts) {
                texts.append(nb::make_tuple(nb::str(t.value.data(), t.value.size()), t.count));
            }
            const std::size_t size = v.numbers.size();
            of_clade.append(
                nb::make_tuple(v.key, owned_array(std::move(v.numbers), {size}), texts));
        }
        values.append(of_clade);
    }
    nb::object ca = nb::none();
    if (self.with_ca) {
        std::vector<double> ca_rows;
        ca_rows.reserve(p.n_clades() * self.n_trees);
        for (std::size_t c = 0; c < p.n_clades(); ++c) {
            ca_rows.insert(ca_rows.end(), p.ca_heights(c).begin(), p.ca_heights(c).end());
        }
        ca = nb::cast(owned_array(std::move(ca_rows), {p.n_clades(), self.n_trees}));
    }
    const std::size_t n_clades = counts.size();
    return nb::make_tuple(keys, owned_array(std::move(counts), {n_clades}), values, ca);
}

}  // namespace

void bind_node_comments(nb::module_& m) {
    nb::class_<PyNodeComments>(
        m, "NodeComments",
        "What annotated sample trees say about chosen clades (counts, heights, lengths, "
        "comment values, common-ancestor heights), read natively where the text allows.")
        .def(
            "__init__",
            [](PyNodeComments* self, std::size_t n_leaves, const Words& words, bool with_ca) {
                const std::size_t n_words = (n_leaves + 63) / 64;
                if (words.shape(1) != n_words) {
                    throw nb::value_error("clade words must have ceil(n_leaves / 64) columns");
                }
                auto made = stats::NodeComments::make(
                    n_leaves, {words.data(), words.shape(0) * n_words}, with_ca);
                if (!made) {
                    throw nb::value_error(made.error().c_str());
                }
                new (self) PyNodeComments{std::move(made).value(), {}, with_ca};
            },
            "n_leaves"_a, "clade_words"_a, "with_ca"_a)
        .def(
            "add_labels",
            [](PyNodeComments& self, std::unordered_map<std::string, std::int32_t> labels) {
                std::unique_lock lock(self.busy, std::try_to_lock);
                if (!lock.owns_lock()) {
                    throw nb::value_error("another thread is reading into this pass");
                }
                auto added = self.pass.add_labels(std::move(labels));
                if (!added) {
                    throw nb::value_error(added.error().c_str());
                }
                return added.value();
            },
            "labels"_a, "A label-to-leaf table; returns its number for read().")
        .def("read", &py_read, "texts"_a, "label_tables"_a,
             "Reads the texts in order (text k through label table label_tables[k]) up to "
             "the first one the native reader leaves to the full one; returns how many "
             "were read.")
        .def("take", &py_take,
             "(keys, counts, values, ca): keys by number; per clade its count; per clade "
             "[(key number, numbers in tree order, [(text, count)] in order of first "
             "appearance)]; the common-ancestor heights (clades x trees) or None.");
}

}  // namespace kestrilune::engine
