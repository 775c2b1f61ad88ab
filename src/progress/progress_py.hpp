// The Python side of progress reporting, for both extensions: the ProgressCounter class
// and with_counter, the one place where a running call touches a counter and releases the
// GIL around its work (the core keeps the counter cell, progress/progress.hpp).
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

// Sets a counter (borrowed; nullptr for none) to 0 of `total`. GIL held.
inline void start_counter(PyObject* progress, std::uint64_t total) noexcept {
    if (progress != nullptr) {
        auto* counter = reinterpret_cast<ProgressCounterObject*>(progress);
        counter->value->store(0, std::memory_order_relaxed);
        counter->total->store(total, std::memory_order_relaxed);
    }
}

// Whether with_counter releases the GIL when no counter was given.
enum class GilWithoutCounter { Held, Released };

// Runs native work with progress, for both extensions: `kernel(cell)` where cell is the
// atomic counter the kernel adds to as it goes. With a counter object (borrowed; may be
// nullptr for none):
//   reset value to 0 and set total, release the GIL, run the kernel, take the GIL back,
//   then set value to total so a completed call always reads as finished.
// If the kernel throws (an allocation failure, a stop request), the GIL is re-acquired and
// the exception continues with the counter left as the kernel left it. Without a counter
// the kernel gets a private cell, and the GIL stays held unless `without` says otherwise
// (the module holds it; the engine releases it for every long call). `Policy` is the
// binding's answer to an interpreter that exits meanwhile (progress/gil_py.hpp). Called
// with the GIL held.
template <OnInterpreterExit Policy = OnInterpreterExit::Unwind, class Kernel>
    requires std::invocable<Kernel&, std::atomic<std::uint64_t>&>
KESTRILUNE_FORCED_UNWIND_HANDLER std::invoke_result_t<Kernel&, std::atomic<std::uint64_t>&>
with_counter(PyObject* progress, std::uint64_t total, Kernel&& kernel,
             GilWithoutCounter without = GilWithoutCounter::Held) {
    std::atomic<std::uint64_t> scratch{0};
    if (progress == nullptr && without == GilWithoutCounter::Held) {
        return kernel(scratch);
    }
    start_counter(progress, total);

    // Our own handle on the value cell and our own reference to the object, so that Python
    // dropping the counter mid-call frees nothing the workers still write to.
    CounterCell value;
    if (progress != nullptr) {
        value = reinterpret_cast<ProgressCounterObject*>(progress)->value;
        Py_INCREF(progress);
    }
    struct Decref {
        PyObject* obj;
        ~Decref() {
            // Runs after the GIL is held again, or on a thread that an exiting interpreter
            // ends, which must leave the object alone.
            if (obj != nullptr && !interpreter_exiting()) {
                Py_DECREF(obj);
            }
        }
    } keep_alive{progress};
    std::atomic<std::uint64_t>& cell = value ? *value : scratch;

    using R = std::invoke_result_t<Kernel&, std::atomic<std::uint64_t>&>;
    using Stored = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;
    Stored result{};
    std::exception_ptr error;
    {
        // Safe: the kernel reads only native data built before this point and writes only
        // native buffers; no interpreter object is touched until the scope ends. An
        // exception of the kernel is held until the GIL is back, so that taking the GIL
        // never happens while the stack unwinds.
        ReleasedGil<Policy> unlocked;
        try {
            if constexpr (std::is_void_v<R>) {
                kernel(cell);
            } else {
                result.emplace(kernel(cell));
            }
        } catch (abi::__forced_unwind&) {
            if constexpr (Policy == OnInterpreterExit::Unwind) {
                unlocked.abandon();  // ended while it had no GIL (in a poll of the pool)
            }
            throw;
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
    if (value) {
        value->store(total, std::memory_order_relaxed);
    }
    if constexpr (!std::is_void_v<R>) {
        return std::move(*result);
    }
}

}  // namespace kestrilune::progress_py
