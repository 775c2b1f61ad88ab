// Releasing the GIL around native work, for both extensions, with a named policy for the
// one hard case: taking the GIL back after the interpreter has begun to exit.
//
// When a daemon thread asks for the GIL back then, CPython 3.11 to 3.13 end it with
// pthread_exit, which unwinds the stack (abi::__forced_unwind) from inside the release's
// destructor. What may happen next depends on the frames above:
//
//   OnInterpreterExit::Unwind   the unwind passes on to the thread's start. For the
//       kestrilune module, whose entry points rethrow abi::__forced_unwind. The destructor
//       lets it through, so it must never run while another exception unwinds the stack:
//       hold the work's exception until the scope has ended (see with_counter), and
//       abandon() a scope that is being ended without the GIL.
//   OnInterpreterExit::Park     the thread is parked instead, as CPython 3.14 itself does
//       with such threads: it holds no lock, touches nothing, and ends with the process.
//       For nanobind bindings, whose dispatcher catches everything and does not rethrow,
//       so an unwind through them would abort the process.
//
//     {
//         ReleasedGil<OnInterpreterExit::Park> unlocked;   // GIL held before
//         native_work();                                   // no Python object in here
//     }                                                    // GIL held again
#pragma once

#include <Python.h>

#include <unistd.h>

#include <cxxabi.h>

#include "common/forced_unwind.hpp"

namespace kestrilune::progress_py {

enum class OnInterpreterExit { Unwind, Park };

[[noreturn]] inline void park_forever() noexcept {
    while (true) {
        pause();
    }
}

// Takes the GIL back, or parks a thread that the exiting interpreter ends meanwhile. Kept
// out of line: inlined into its callers, its handler would lose the attribute's exemption
// from the sanitizer's null check.
KESTRILUNE_FORCED_UNWIND_HANDLER __attribute__((noinline)) inline void take_gil_or_park(
    PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
}

// Releases the GIL for its scope and takes it back on every exit. Inside the scope no
// Python object may be touched.
template <OnInterpreterExit Policy>
class ReleasedGil {
  public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() noexcept(Policy == OnInterpreterExit::Park) {
        if constexpr (Policy == OnInterpreterExit::Park) {
            take_gil_or_park(state_);
        } else if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
        }
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // Unwind policy: for a thread that is being ended without the GIL, do not ask for it
    // again.
    void abandon() noexcept
        requires(Policy == OnInterpreterExit::Unwind)
    {
        state_ = nullptr;
    }

  private:
    PyThreadState* state_;
};

}  // namespace kestrilune::progress_py
