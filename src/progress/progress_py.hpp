// The Python side of progress reporting: the ProgressCounter class and with_counter, the one
// place where a running call touches a counter and releases the GIL.
//
//     counter = kestrilune.ProgressCounter()
//     threading.Thread(target=lambda: kestrilune.pairwise_rf_from_newick_iter(
//         names, it, maps, idx, progress=counter)).start()
//     counter.fraction()   # from any thread, lock-free
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <concepts>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/forced_unwind.hpp"
#include "progress/gil_py.hpp"
#include "progress/interrupt_py.hpp"
#include "progress/progress.hpp"

namespace kestrilune::progress_py {

// Both cells are fixed at construction; all changes go through relaxed atomics on them.
struct ProgressCounterObject {
    PyObject_HEAD
    CounterCell value;  // pairs completed
    CounterCell total;  // pairs of the running call, 0 before the first call
};

PyTypeObject* progress_counter_type();

// True for a ProgressCounter or an instance of a subclass.
inline bool is_progress_counter(PyObject* obj) {
    return PyObject_TypeCheck(obj, progress_counter_type()) != 0;
}

// Runs `kernel(cell)` where cell is the atomic pair counter the kernel adds to after each
// matrix row. With a counter object (borrowed; may be nullptr for none):
//   reset value to 0 and set total, release the GIL, run the kernel, take the GIL back,
//   then set value to total so a completed call always reads as finished.
// If the kernel throws (an allocation failure, a stop request), the GIL is re-acquired and
// the exception continues with the counter left as the kernel left it. Without a counter
// the kernel gets a private cell and the GIL stays held. Called with the GIL held.
template <class Kernel>
    requires std::invocable<Kernel&, std::atomic<std::uint64_t>&>
KESTRILUNE_FORCED_UNWIND_HANDLER std::invoke_result_t<Kernel&, std::atomic<std::uint64_t>&>
with_counter(PyObject* progress, std::uint64_t total, Kernel&& kernel) {
    if (progress == nullptr) {
        std::atomic<std::uint64_t> scratch{0};
        return kernel(scratch);
    }
    auto* counter = reinterpret_cast<ProgressCounterObject*>(progress);
    counter->value->store(0, std::memory_order_relaxed);
    counter->total->store(total, std::memory_order_relaxed);

    // Our own handle on the value cell and our own reference to the object, so that Python
    // dropping the counter mid-call frees nothing the workers still write to.
    CounterCell value = counter->value;
    Py_INCREF(progress);
    struct Decref {
        PyObject* obj;
        ~Decref() {
            // Runs after the GIL is held again, or on a thread that an exiting interpreter
            // ends, which must leave the object alone.
            if (!interpreter_exiting()) {
                Py_DECREF(obj);
            }
        }
    } keep_alive{progress};

    using R = std::invoke_result_t<Kernel&, std::atomic<std::uint64_t>&>;
    using Stored = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;
    Stored result{};
    std::exception_ptr error;
    {
        // Safe: the kernel reads only native data built before this point and writes only
        // native buffers; no interpreter object is touched until the scope ends. An
        // exception of the kernel is held until the GIL is back, so that taking the GIL
        // never happens while the stack unwinds.
        ReleasedGil<OnInterpreterExit::Unwind> unlocked;
        try {
            if constexpr (std::is_void_v<R>) {
                kernel(*value);
            } else {
                result.emplace(kernel(*value));
            }
        } catch (abi::__forced_unwind&) {
            unlocked.abandon();  // ended while it had no GIL (in a poll of the pool)
            throw;
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
    value->store(total, std::memory_order_relaxed);
    if constexpr (!std::is_void_v<R>) {
        return std::move(*result);
    }
}

}  // namespace kestrilune::progress_py
