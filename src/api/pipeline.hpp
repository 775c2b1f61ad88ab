// The six module functions: bind and convert the arguments, validate them, drain the
// iterator, reduce every tree to a snapshot, run the metric's kernel inside with_counter,
// and build the result tuple. Fast-call signature; each returns a new reference or NULL
// with an exception set, and never lets a C++ exception out.
#pragma once

#include <Python.h>

namespace kestrilune::api {

PyObject* py_pairwise_rf(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

}  // namespace kestrilune::api
