// Long native calls inside a Python process: stopping them on Ctrl-C, and staying out of
// the way of an interpreter that exits while they run.
//
// StopOnSignal makes the pool's loops (pool/pool.hpp) stoppable by the interpreter's signal
// handlers. Created with the GIL held at the start of a long call, it installs a StopPoll
// that runs PyErr_CheckSignals; when a handler raises (KeyboardInterrupt for Ctrl-C), the
// exception stays set, the loops throw pool::Stopped, and the binding returns NULL:
//
//     PyObject* py_long_call(...) {
//         StopOnSignal stop;                                 // GIL held
//         try { run_long_work(); }                           // may release the GIL inside
//         catch (const pool::Stopped&) { return nullptr; }   // the handler's exception is set
//     }
//
// interpreter_exiting() is for cleanup code on a thread that an exiting interpreter ends:
// such a thread unwinds (abi::__forced_unwind) without the GIL and must not touch any
// interpreter object on its way out.
#pragma once

#include <Python.h>

#include <optional>

#include "pool/pool.hpp"

namespace kestrilune::progress_py {

// True once the interpreter has begun to shut down. Callable without the GIL.
inline bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

class StopOnSignal {
public:
    // Only the main thread of the main interpreter runs signal handlers, so on any other
    // thread no poll is installed and the loops wait exactly as they would without one.
    StopOnSignal() {
        if (_PyOS_IsMainThread()) {
            poll_.emplace(&check_signals, nullptr);
        }
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

private:
    // Runs on the thread that made the StopOnSignal, between waits for a loop, with or
    // without the GIL: PyGILState_Ensure takes the GIL only when this thread released it
    // (inside with_counter) and PyGILState_Release gives it back, so the release the call
    // promises holds apart from these short checks.
    static bool check_signals(void*) {
        const PyGILState_STATE state = PyGILState_Ensure();
        const bool raised = PyErr_CheckSignals() != 0;
        PyGILState_Release(state);
        return raised;
    }

    std::optional<pool::StopPoll> poll_;
};

}  // namespace kestrilune::progress_py
