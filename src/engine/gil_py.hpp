// The GIL in the engine's bindings: released for native work, and the one way long calls
// stop on Ctrl-C.
//
// ReleasedGil releases the GIL for its scope, like nb::gil_scoped_release, but survives an
// exiting interpreter: the thread is parked (progress/gil_py.hpp, OnInterpreterExit::Park),
// because the unwind that would end it cannot pass a nanobind binding.
//
// long_call runs a long query: the GIL released, the thread's pool loops stopped by a
// pending signal (progress_py::StopOnSignal), and the handler's exception raised.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "engine/counter_py.hpp"
#include "pool/pool.hpp"
#include "progress/gil_py.hpp"
#include "progress/interrupt_py.hpp"
#include "progress/progress_py.hpp"
#include "table/tiles.hpp"

namespace kestrilune::engine {

// The engine's bindings are nanobind functions: a thread ended while it waits for the GIL
// is parked (progress/gil_py.hpp).
using ReleasedGil = progress_py::ReleasedGil<progress_py::OnInterpreterExit::Park>;

// nanobind reports at exit every object of ours still alive as a leak. A daemon thread
// still running when the interpreter exits may hold such objects on purpose (its call is
// parked, or ends with the process): no report then, which would only alarm the user.
// Other threads have been joined when exit handlers run, so any thread left is a daemon.
// Call once at import.
inline void quiet_leak_report_at_exit() {
    nanobind::module_::import_("atexit").attr("register")(nanobind::cpp_function([] {
        if (nanobind::cast<int>(nanobind::module_::import_("threading").attr("active_count")()) >
            1) {
            nanobind::set_leak_warnings(false);
        }
    }));
}

// Runs work() with the GIL released where Ctrl-C stops the pool loops it runs: the signal
// handler's exception (KeyboardInterrupt) is then raised once the blocks in flight have
// finished. Called with the GIL held.
template <class Work>
void run_stoppable(Work&& work) {
    progress_py::StopOnSignal stop;
    try {
        ReleasedGil unlocked;
        std::forward<Work>(work)();
    } catch (const pool::Stopped&) {
        throw nanobind::python_error();  // the handler's exception is set
    }
}

// A long query over the table: `work(options)` with options.progress the counter's cell
// (or a private one), run by progress_py::with_counter with the GIL released and the
// thread's pool loops stoppable on Ctrl-C. The counter is set to 0 of `total` first and
// to total when the work completes; a stopped call leaves it where the work got to.
template <class Work>
void long_call(nanobind::handle progress, std::uint64_t total, Work&& work) {
    const CounterCell cell = counter_cell(progress);  // TypeError for another object
    progress_py::StopOnSignal stop;
    try {
        progress_py::with_counter<progress_py::OnInterpreterExit::Park>(
            cell ? progress.ptr() : nullptr, total,
            [&](std::atomic<std::uint64_t>& counter) {
                TileOptions options;
                options.progress = &counter;
                work(options);
            },
            progress_py::GilWithoutCounter::Released);
    } catch (const pool::Stopped&) {
        throw nanobind::python_error();  // the handler's exception is set
    }
}

}  // namespace kestrilune::engine
