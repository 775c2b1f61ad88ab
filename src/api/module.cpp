// Module creation: PyInit_kestrilune, the only exported symbol. The module object is created
// once per process and cached. Its functions and the ProgressCounter class are added as
// attributes in a fixed order, which is also the order of __all__.
#include <Python.h>

#include "api/args.hpp"
#include "api/docstrings.hpp"
#include "api/pipeline.hpp"
#include "api/pyref.hpp"
#include "progress/progress_py.hpp"

namespace kestrilune::api {
namespace {

using FastCallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The interpreter calls METH_FASTCALL | METH_KEYWORDS functions through this signature;
// the detour through void(*)() tells the compiler the cast is deliberate.
PyCFunction as_cfunction(FastCallFn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Registration order = order of __all__.
constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef functions[] = {
    {"pairwise_rf_from_newick_iter", as_cfunction(py_pairwise_rf), kFastCall, docs::kRf},
    {"pairwise_rf_with_snapshots_from_newick_iter", as_cfunction(py_pairwise_rf_with_snapshots),
     kFastCall, docs::kRfSnapshots},
    {"pairwise_wrf_with_snapshots_from_newick_iter", as_cfunction(py_pairwise_wrf_with_snapshots),
     kFastCall, docs::kWrfSnapshots},
    {"pairwise_kf_with_snapshots_from_newick_iter", as_cfunction(py_pairwise_kf_with_snapshots),
     kFastCall, docs::kKfSnapshots},
    {"pairwise_wrf_from_newick_iter", as_cfunction(py_pairwise_wrf), kFastCall, docs::kWrf},
    {"pairwise_kf_from_newick_iter", as_cfunction(py_pairwise_kf), kFastCall, docs::kKf},
};

// m_size 0 (no per-module state) rather than -1: the interpreter then calls this initializer
// again for a repeated or subinterpreter import instead of copying a module dict, so a
// subinterpreter can be refused.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kestrilune",                // m_name
    "Python module definition",  // m_doc
    0,                           // m_size
    nullptr,                     // m_methods: everything is added by add_member()
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* cached_module = nullptr;  // one strong reference, kept for the life of the process

// Adds `value` as attribute `name` and appends the name to __all__ (created on first use).
bool add_member(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) {
        return false;
    }
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    PyRef all_ref = PyRef::steal(all);
    if (!all_ref) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all_ref = PyRef::steal(PyList_New(0));
        if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) {
            return false;
        }
    }
    PyRef name_str = PyRef::steal(PyUnicode_FromString(name));
    return name_str && PyList_Append(all_ref.get(), name_str.get()) == 0;
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module || !init_keyword_names()) {
        return nullptr;
    }
    PyRef module_name = PyRef::steal(PyUnicode_FromString("kestrilune"));
    if (!module_name) {
        return nullptr;
    }
    for (PyMethodDef& def : functions) {
        PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        if (!function || !add_member(module.get(), def.ml_name, function.get())) {
            return nullptr;
        }
    }
    PyTypeObject* counter_type = progress_py::progress_counter_type();
    if (PyType_Ready(counter_type) < 0 ||
        !add_member(module.get(), "ProgressCounter", reinterpret_cast<PyObject*>(counter_type))) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace kestrilune::api

PyMODINIT_FUNC PyInit_kestrilune() {
    using namespace kestrilune::api;
    // The module object, its functions and the counter class are made once per process, so
    // they can belong to one interpreter only: the main one. Letting the first importer own
    // them would let a subinterpreter lock the main interpreter out for the rest of the
    // process (and leave it a module whose interpreter may be gone).
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "kestrilune can only be imported in the main interpreter, not in a "
                        "subinterpreter");
        return nullptr;
    }
    if (cached_module == nullptr) {
        cached_module = create_module();
        if (cached_module == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(cached_module);
    return cached_module;
}
