// Integer arguments of the engine's bindings, checked before any cast: a size_t parameter
// would turn -1 into nanobind's signature dump, and a narrowing cast wraps.
//
//     const std::size_t k = int_arg(k_arg, "k", 1, m - 1);   // k_arg: nb::handle
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace nb = nanobind;

namespace kestrilune::engine {

// An integer argument from lo to hi (a Python int of any size or a NumPy integer; not a
// float): else a TypeError or ValueError of one line that names it and the allowed range.
inline std::uint64_t int_arg(nb::handle value, const char* name, std::uint64_t lo,
                             std::uint64_t hi) {
    auto refuse = [&](nb::handle shown, bool wrong_type) {
        std::string text = nb::repr(shown).c_str();
        if (text.size() > 60) {
            text = text.substr(0, 57) + "...";
        }
        const std::string message = std::string(name) + " must be an integer from " +
                                    std::to_string(lo) + " to " + std::to_string(hi) +
                                    ", got " + text;
        if (wrong_type) {
            throw nb::type_error(message.c_str());
        }
        throw nb::value_error(message.c_str());
    };
    nb::object number = nb::steal(PyNumber_Index(value.ptr()));
    if (!number.is_valid()) {
        PyErr_Clear();
        refuse(value, true);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred() != nullptr) {
        throw nb::python_error();
    }
    if (overflow != 0 || v < 0 || static_cast<std::uint64_t>(v) < lo ||
        static_cast<std::uint64_t>(v) > hi) {
        refuse(number, false);
    }
    return static_cast<std::uint64_t>(v);
}

}  // namespace kestrilune::engine
