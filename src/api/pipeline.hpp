// The six module functions: bind and convert the arguments, validate them, drain the
// iterator, reduce every tree to a snapshot, run the metric's kernel inside with_counter,
// and build the result tuple. Fast-call signature; each returns a new reference or NULL
// with an exception set, and never lets a C++ exception out.
#pragma once

#include <Python.h>

namespace kestrilune::api {

#define KESTRILUNE_DECLARE(py_name) \
    PyObject* py_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

KESTRILUNE_DECLARE(py_pairwise_rf);
KESTRILUNE_DECLARE(py_pairwise_wrf);
KESTRILUNE_DECLARE(py_pairwise_kf);
KESTRILUNE_DECLARE(py_pairwise_rf_with_snapshots);
KESTRILUNE_DECLARE(py_pairwise_wrf_with_snapshots);
KESTRILUNE_DECLARE(py_pairwise_kf_with_snapshots);

#undef KESTRILUNE_DECLARE

}  // namespace kestrilune::api
