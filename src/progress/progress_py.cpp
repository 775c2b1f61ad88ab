#include "progress/progress_py.hpp"

#include <new>

namespace kestrilune::progress_py {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

ProgressCounterObject* as_counter(PyObject* self) {
    return reinterpret_cast<ProgressCounterObject*>(self);
}

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ProgressCounter() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    ProgressCounterObject* counter = as_counter(self);
    // tp_alloc zero-fills; construct the members in place so dealloc can destroy them.
    new (&counter->value) CounterCell();
    new (&counter->total) CounterCell();
    try {
        counter->value = make_counter_cell();
        counter->total = make_counter_cell();
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void counter_dealloc(PyObject* self) {
    ProgressCounterObject* counter = as_counter(self);
    counter->value.~CounterCell();
    counter->total.~CounterCell();
    Py_TYPE(self)->tp_free(self);
}

PyObject* counter_value(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_counter(self)->value->load(kRelaxed));
}

PyObject* counter_total(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_counter(self)->total->load(kRelaxed));
}

PyObject* counter_fraction(PyObject* self, PyObject*) {
    const std::uint64_t value = as_counter(self)->value->load(kRelaxed);
    const std::uint64_t total = as_counter(self)->total->load(kRelaxed);
    if (total == 0) {
        return PyFloat_FromDouble(0.0);
    }
    // Both are unsigned, so only the upper clamp is needed (overlapping calls can push
    // value past total).
    const double quotient = static_cast<double>(value) / static_cast<double>(total);
    return PyFloat_FromDouble(quotient > 1.0 ? 1.0 : quotient);
}

PyObject* counter_reset(PyObject* self, PyObject*) {
    as_counter(self)->value->store(0, kRelaxed);
    as_counter(self)->total->store(0, kRelaxed);
    Py_RETURN_NONE;
}

PyObject* counter_repr(PyObject* self) {
    const unsigned long long value = as_counter(self)->value->load(kRelaxed);
    const unsigned long long total = as_counter(self)->total->load(kRelaxed);
    return PyUnicode_FromFormat("ProgressCounter(value=%llu, total=%llu)", value, total);
}

PyMethodDef counter_methods[] = {
    {"value", counter_value, METH_NOARGS,
     "value($self)\n--\n\nPairs completed so far (lock-free atomic load)."},
    {"total", counter_total, METH_NOARGS,
     "total($self)\n--\n\n"
     "Total number of pairs the in-flight call will compute (n*(n-1)/2), or 0 before any\n"
     "call has started."},
    {"fraction", counter_fraction, METH_NOARGS,
     "fraction($self)\n--\n\n"
     "value() / total() clamped to [0.0, 1.0]; 0.0 if no call has started yet (total == 0)."},
    {"reset", counter_reset, METH_NOARGS,
     "reset($self)\n--\n\n"
     "Reset value and total to 0.\n\n"
     "Called automatically at the start of every pairwise call that takes this counter;\n"
     "exposed so that consumers can also reset between manual runs."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kCounterDoc =
    "ProgressCounter()\n--\n\n"
    "A thread-safe pair-completion counter that Python code can read on its own schedule\n"
    "while a pairwise computation runs in another thread.\n\n"
    "Create one with ``kestrilune.ProgressCounter()`` and pass it as ``progress=...`` to any\n"
    "of the pairwise functions. The call resets it and sets its total to n*(n-1)/2 at entry,\n"
    "worker threads increment it atomically as they finish matrix rows, and the interpreter\n"
    "lock (GIL) is released while the parallel loop runs. Reading is lock-free: ``.value()``\n"
    "is a single atomic load.";

PyTypeObject make_type() {
    PyTypeObject type{};
    // A static type is never freed: it starts with one reference, as PyVarObject_HEAD_INIT
    // would give it.
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = "kestrilune.ProgressCounter";
    type.tp_basicsize = sizeof(ProgressCounterObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = counter_dealloc;
    type.tp_repr = counter_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = kCounterDoc;
    type.tp_methods = counter_methods;
    type.tp_new = counter_new;
    return type;
}

PyTypeObject counter_type = make_type();

}  // namespace

PyTypeObject* progress_counter_type() { return &counter_type; }

}  // namespace kestrilune::progress_py
