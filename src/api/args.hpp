// Argument binding, conversion and validation shared by the six pairwise functions.
//
// Every function takes (names, newick_iter, translate_maps, map_indices, rooted=False,
// progress=None), all positional-or-keyword. bind_and_convert() matches positional and
// keyword arguments (keyword names interned once, matched by identity first, then by
// value), then converts them in parameter order into owned native data. The first failure
// ends the call: later arguments are not looked at and nothing is read from the iterator.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/pyref.hpp"
#include "io/io.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune::api {

struct IterArgs {
    std::vector<std::string> names;            // UTF-8, in order
    PyRef newick_iter;                         // not advanced by conversion
    std::vector<TranslateMap> translate_maps;  // number -> taxon name
    std::vector<std::uint64_t> map_indices;
    bool rooted = false;
    PyRef progress;  // a ProgressCounter, or empty for none
};

// Interns the parameter names; called once from module initialisation. False with a Python
// exception set on failure.
bool init_keyword_names();

// Binds fast-call arguments of function `function_name` and converts them. Returns false
// with a Python exception set (TypeError naming the argument, OverflowError for a map
// index out of range, or the interpreter's own encoding error).
bool bind_and_convert(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, IterArgs& out);

// validate_iter_args, the checks that run before any tree is read, lives with the
// collection (snapshot/snapshots.hpp), which the split-table engine shares.
using kestrilune::validate_iter_args;

}  // namespace kestrilune::api
