// A kestrilune.ProgressCounter as the engine's bindings see it: its value cell, and the
// reset every long call starts with. The class belongs to the kestrilune module; both
// extensions are built from the same source, so the object layout is the one
// progress_py.hpp declares.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>

#include "progress/progress_py.hpp"

namespace kestrilune::engine {

// The progress cell of a kestrilune.ProgressCounter, or none for None; TypeError otherwise.
inline CounterCell counter_cell(nanobind::handle progress) {
    if (progress.is_none()) {
        return nullptr;
    }
    nanobind::object type = nanobind::module_::import_("kestrilune").attr("ProgressCounter");
    if (!PyObject_TypeCheck(progress.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr()))) {
        throw nanobind::type_error("progress must be a kestrilune.ProgressCounter or None");
    }
    auto* counter = reinterpret_cast<progress_py::ProgressCounterObject*>(progress.ptr());
    return counter->value;
}

// Sets a counter (if any) to 0 of `total`.
inline void start_counter(nanobind::handle progress, std::uint64_t total) {
    progress_py::start_counter(progress.is_none() ? nullptr : progress.ptr(), total);
}

}  // namespace kestrilune::engine
