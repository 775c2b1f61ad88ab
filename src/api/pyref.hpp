// PyRef: owns one strong reference to a Python object, or nothing. Move-only; a move empties
// the source. The constructor names say what the C API did:
//
//     PyRef list = PyRef::steal(PyList_New(0));     // a new reference: we take it over
//     PyRef item = PyRef::borrow(PyTuple_GET_ITEM(t, 0));  // a borrowed one: add our own
//     return list.release();                        // hand our reference back to Python
//
// Every PyRef is created and destroyed with the GIL held (checked in debug builds), except
// on a thread that an exiting interpreter ends: it unwinds without the GIL, and its PyRefs
// let go of their references without touching them.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

#include "progress/interrupt_py.hpp"

namespace kestrilune::api {

class PyRef {
public:
    static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef() = default;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        PyRef(std::move(o)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        if (p_ != nullptr && !progress_py::interpreter_exiting()) {
            assert(PyGILState_Check());
            Py_DECREF(p_);
        }
    }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(PyRef& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit PyRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace kestrilune::api
