#include "api/pipeline.hpp"

#if defined(__GLIBC__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "api/args.hpp"
#include "api/pyref.hpp"
#include "common/errors.hpp"
#include "common/forced_unwind.hpp"
#include "common/memory.hpp"
#include "common/sizes.hpp"
#include "distances/distances.hpp"
#include "pool/pool.hpp"
#include "progress/interrupt_py.hpp"
#include "progress/newick_iter_py.hpp"
#include "progress/progress.hpp"
#include "progress/progress_py.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune::api {
namespace {

// Matrix and export cells are written in native byte order straight into bytes objects;
// the returned layouts are little-endian.
static_assert(std::endian::native == std::endian::little,
              "byte layouts returned to Python assume a little-endian host");

struct Variant {
    const char* name;
    Metric metric;
    bool with_snapshots;
};

// A tree-set failure as a ValueError with the error's message, word for word. The
// instance also carries .kind and .tree_index (None when no one tree is at fault), so that
// callers need not read the index out of the message.
PyObject* set_value_error(const TreeSetError& error) {
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
    PyRef exc = message ? PyRef::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()))
                        : PyRef();
    if (!exc) {
        return nullptr;
    }
    const std::string_view kind = kind_name(error.kind);
    PyRef kind_str = PyRef::steal(
        PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size())));
    PyRef index = error.tree_index ? PyRef::steal(PyLong_FromSize_t(*error.tree_index))
                                   : PyRef::borrow(Py_None);
    if (!kind_str || !index || PyObject_SetAttrString(exc.get(), "kind", kind_str.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "tree_index", index.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_ValueError, exc.get());
    return nullptr;
}

PyRef new_str(const std::string& text) {
    return PyRef::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef new_str_list(const std::vector<std::string>& texts) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyRef item = new_str(texts[i]);
        if (!item) {
            return PyRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// Every cell of a buffer of cells gets written, so its pages may as well arrive 2 MB at a
// time: the whole 2 MB blocks inside a large one are offered to the kernel as huge pages,
// which turns 512 page faults into one (page faults were most of the time a call took
// beyond parsing and the kernel, for a few thousand trees), and hands them back as fast.
// Only advice: where huge pages are off or none is free the pages come as before.
void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::uint64_t size) {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    if (size >= 4 * kHugePage) {
        const auto at = reinterpret_cast<std::uintptr_t>(data);
        const std::uintptr_t first = (at + kHugePage - 1) & ~(kHugePage - 1);
        const std::uintptr_t last = (at + size) & ~(kHugePage - 1);
        if (last > first) {
            madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
    }
#endif
}

// A bytes object of `size` uninitialised bytes (bytes_of_cells saturates, so an impossible
// size arrives as one above PY_SSIZE_T_MAX) for a kernel or an export to write into,
// allocated with the GIL held; the writers only write plain memory into it.
PyRef new_cell_bytes(std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return PyRef();
    }
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (bytes) {
        advise_huge_pages(PyBytes_AS_STRING(bytes.get()), size);
    }
    return bytes;
}

template <class T>
T* cells_of(const PyRef& bytes) {
    char* data = PyBytes_AS_STRING(bytes.get());
    require(reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0,
            "bytes buffer is not aligned for its cells");
    return reinterpret_cast<T*>(data);
}

PyRef new_tuple(std::initializer_list<PyRef*> items) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        return tuple;
    }
    Py_ssize_t i = 0;
    for (PyRef* item : items) {
        PyTuple_SET_ITEM(tuple.get(), i++, item->release());
    }
    return tuple;
}

constexpr std::size_t kFreeMemoryWorthReturning = std::size_t{32} << 20;

// Loops over many Python objects on the calling thread (building a list of floats) run
// the signal handlers this often, so that Ctrl-C is seen within milliseconds; a check
// costs about as much as one item.
constexpr std::size_t kItemsPerSignalCheck = 4096;

// Drains the iterator, pairs text k with translate_maps[map_indices[k]], and reduces the
// trees (progress/newick_iter_py.hpp, the reader the engine shares): every text is read
// before the first is parsed, with the GIL held. Returns nullopt with a Python exception
// set on failure.
std::optional<Snapshots> collect_snapshots_from_iter(const IterArgs& args, bool keep_lengths,
                                                     bool keep_splits) {
    ReadPolicy policy;
    policy.keep_splits = keep_splits;
    policy.texts_per_poll = kItemsPerSignalCheck;
    policy.reduce_bytes = sizes::kHeldChunkBytes;  // every text is held first
    Result<Snapshots, TreeSetError> snapshots = progress_py::read_newick_iter(
        args.newick_iter.get(), {args.translate_maps, args.map_indices, args.rooted},
        keep_lengths, policy, progress_py::ParseGil::Held, [](std::size_t) {});
    if (!snapshots) {
        if (snapshots.error().kind != TreeSetErrorKind::Source) {
            set_value_error(snapshots.error());
        }
        return std::nullopt;
    }
    return std::move(snapshots).value();
}

// Runs the metric's kernel over the snapshots inside with_counter, writing n x n cells.
template <class T>
void run_kernel(Metric metric, const IterArgs& args, const Snapshots& snapshots, T* cells) {
    const std::size_t n = snapshots.trees.size();
    progress_py::with_counter(args.progress.get(), pair_total(n),
                              [&](std::atomic<std::uint64_t>& counter) {
                                  if constexpr (std::is_same_v<T, std::uint32_t>) {
                                      rf_matrix(snapshots, &counter, cells);
                                  } else if (metric == Metric::Wrf) {
                                      wrf_matrix(snapshots, &counter, cells);
                                  } else {
                                      kf_matrix(snapshots, &counter, cells);
                                  }
                              });
}

// Memory the result of `variant` needs for n trees, known before any tree is read: the
// matrix, and for the list form also the list and a float object for each cell on or
// above the diagonal (as the interpreter's allocator sizes them; matrix_list shares the
// others) beside the cells the kernel fills.
std::uint64_t matrix_memory(const Variant& variant, std::size_t n) {
    if (variant.metric == Metric::Rf) {
        return bytes_of_cells(n, n, sizeof(std::uint32_t));
    }
    if (variant.with_snapshots) {
        return bytes_of_cells(n, n, sizeof(double));
    }
    constexpr std::uint64_t kFloatObjectBytes = 32;
    const std::uint64_t cells = bytes_of_cells(n, n, sizeof(double) + sizeof(PyObject*));
    const std::uint64_t objects = bytes_of_cells(n, n + 1, kFloatObjectBytes / 2);
    return cells + objects < cells ? ~std::uint64_t{0} : cells + objects;
}

// What an interrupted list call leaves behind, dropped after the call has returned (Ctrl-C,
// or no memory for the next float): freeing tens of millions of float objects and giving
// back a gigabyte of cells take seconds, which the caller should not wait for. Each
// pending call (run by the interpreter between bytecodes of the main thread, with the GIL)
// drops the last kItemsPerDrop items of the list, or once it is empty hands back the
// pages of the next kBytesPerDrop of cells, and queues the next one; where no call can be
// queued the rest goes at once. The interpreter runs up to 32 such calls at each check
// between bytecodes (its calls re-queued ones too), so a step is small: with 4,096 items
// and 16 MB, the first lines of an except clause after an interrupted call of 4,000 trees
// waited 35-60 ms for the steps they ran.
constexpr Py_ssize_t kItemsPerDrop = 512;
constexpr std::size_t kBytesPerDrop = std::size_t{2} << 20;

// The n x n doubles a plain WRF or KF call computes before it makes their floats. Not
// zeroed when made: the kernel writes every cell, and zeroing them first was a stretch on
// the calling thread that Ctrl-C could not cut short (40 ms for 3,000 trees). Offered huge
// pages like the bytes results: in 4 KB pages, the 800 MB of 10,000 trees took 60 ms to
// hand back when a stop unwound the call.
struct Cells {
    std::unique_ptr<double[]> data;
    std::size_t size = 0;
};

struct Leftovers {
    PyObject* list;  // our reference: its items go first
    Cells cells;     // then the pages of these, a part at a time
    std::size_t cells_done = 0;
};

// One step; true when nothing is left to do but delete.
bool drop_some(Leftovers& left) {
    PyObject* const list = left.list;
    Py_ssize_t size = PyList_GET_SIZE(list);
    if (size > 0) {
        // Slots never filled cost little: up to 64 times as many are passed per step.
        Py_ssize_t budget = 64 * kItemsPerDrop;
        while (size > 0 && budget > 0) {
            --size;
            PyObject* item = PyList_GET_ITEM(list, size);
            PyList_SET_ITEM(list, size, nullptr);
            budget -= item != nullptr ? 64 : 1;
            Py_XDECREF(item);
        }
        Py_SET_SIZE(list, size);
        return false;
    }
#if defined(__GLIBC__)
    // Whole pages inside the buffer only (the allocator's header sits before it).
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(left.cells.data.get());
    const std::uintptr_t end = begin + left.cells.size * sizeof(double);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = end / page * page;
    const std::uintptr_t at = first + left.cells_done;
    if (at < last) {
        const std::size_t n = std::min<std::uintptr_t>(kBytesPerDrop, last - at);
        madvise(reinterpret_cast<void*>(at), n, MADV_DONTNEED);
        left.cells_done += n;
        return false;
    }
#endif
    return true;
}

int drop_leftovers(void* arg) {
    auto* left = static_cast<Leftovers*>(arg);
    if (drop_some(*left) || Py_AddPendingCall(drop_leftovers, left) != 0) {
        Py_DECREF(left->list);
        delete left;
    }
    return 0;
}

// Hands `list` (whose only reference is ours) and `cells` to drop_leftovers; returns an
// empty PyRef. The list holds floats only, so it leaves the garbage collector's lists.
PyRef drop_later(PyRef list, Cells& cells) {
    if (!list) {
        return list;
    }
    PyObject_GC_UnTrack(list.get());
    auto* left = new (std::nothrow) Leftovers{list.get(), std::move(cells)};
    if (left != nullptr) {
        if (Py_AddPendingCall(drop_leftovers, left) == 0) {
            static_cast<void>(list.release());
        } else {
            cells = std::move(left->cells);
            delete left;
        }
    }
    return PyRef();
}

// The matrix as a flat list of n x n floats (the plain WRF and KF functions). The cells on
// and above the diagonal get a float each, row by row; a cell below it holds the same
// object as its mirror when the two hold the same bits (always, for these symmetric
// kernels), which halves the objects made and the memory they take.
PyRef matrix_list(Metric metric, const IterArgs& args, const Snapshots& snapshots) {
    const std::size_t n = snapshots.trees.size();
    // n * n fits: matrix_memory passed require_fits.
    Cells cells{std::make_unique_for_overwrite<double[]>(n * n), n * n};
    advise_huge_pages(cells.data.get(), cells.size * sizeof(double));
    run_kernel(metric, args, snapshots, cells.data.get());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(cells.size)));
    if (!list) {
        return list;
    }
    PyObject* const out = list.get();
    std::size_t items = 0;
    auto interrupted = [&items] {
        return ++items % kItemsPerSignalCheck == 0 && PyErr_CheckSignals() < 0;
    };
    auto set_new = [&](std::size_t c) {
        PyObject* value = PyFloat_FromDouble(cells.data[c]);
        if (value != nullptr) {
            PyList_SET_ITEM(out, static_cast<Py_ssize_t>(c), value);
        }
        return value != nullptr;
    };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            if (interrupted() || !set_new(i * n + j)) {
                return drop_later(std::move(list), cells);  // the floats made so far go later
            }
        }
    }
    // Below the diagonal in square blocks, so that a block's mirror cells and objects are
    // still in the cache while it is filled.
    constexpr std::size_t kBlock = 64;
    for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
        for (std::size_t j0 = 0; j0 <= i0; j0 += kBlock) {
            for (std::size_t i = i0; i < std::min(n, i0 + kBlock); ++i) {
                for (std::size_t j = j0; j < std::min(i, j0 + kBlock); ++j) {
                    if (interrupted()) {
                        return drop_later(std::move(list), cells);
                    }
                    if (std::memcmp(&cells.data[i * n + j], &cells.data[j * n + i],
                                    sizeof(double)) != 0) {
                        if (!set_new(i * n + j)) {
                            return drop_later(std::move(list), cells);
                        }
                        continue;
                    }
                    PyObject* mirror = PyList_GET_ITEM(out, static_cast<Py_ssize_t>(j * n + i));
                    Py_INCREF(mirror);
                    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i * n + j), mirror);
                }
            }
        }
    }
    return list;
}

PyObject* build_result(const Variant& variant, const IterArgs& args, const Snapshots& snapshots) {
    const std::size_t n = snapshots.trees.size();
    const Metric metric = variant.metric;
    if (!variant.with_snapshots) {
        PyRef matrix;
        if (metric == Metric::Rf) {
            matrix = new_cell_bytes(bytes_of_cells(n, n, sizeof(std::uint32_t)));
            if (matrix) {
                run_kernel(metric, args, snapshots, cells_of<std::uint32_t>(matrix));
            }
        } else {
            matrix = matrix_list(metric, args, snapshots);
        }
        PyRef names = matrix ? new_str_list(args.names) : PyRef();
        if (!names) {
            return nullptr;
        }
        return new_tuple({&names, &matrix}).release();
    }

    // Every output is allocated before the kernel runs: one that cannot be had then fails
    // the call before the work, not after it. The table holds presence bytes (RF) or
    // branch lengths (WRF, KF), n rows of n_splits cells.
    const bool presence = metric == Metric::Rf;
    const std::uint64_t matrix_size =
        bytes_of_cells(n, n, presence ? sizeof(std::uint32_t) : sizeof(double));
    const std::uint64_t table_size =
        bytes_of_cells(n, snapshots.n_splits(), presence ? 1 : sizeof(double));
    const std::uint64_t clades_size =
        bytes_of_cells(snapshots.n_splits(), snapshots.clade_row_bytes(), 1);
    const std::uint64_t total = matrix_size + table_size + clades_size;  // each < 2^63
    require_fits(total < matrix_size ? ~std::uint64_t{0} : total,
                 "the result for " + std::to_string(n) + " trees with " +
                     std::to_string(snapshots.n_splits()) + " distinct splits");
    PyRef matrix = new_cell_bytes(matrix_size);
    PyRef table = matrix ? new_cell_bytes(table_size) : PyRef();
    PyRef clades = table ? new_cell_bytes(clades_size) : PyRef();
    if (!clades) {
        return nullptr;
    }
    if (presence) {
        run_kernel(metric, args, snapshots, cells_of<std::uint32_t>(matrix));
    } else {
        run_kernel(metric, args, snapshots, cells_of<double>(matrix));
    }
    const std::vector<std::size_t> columns =
        presence ? snapshots.build_presence_matrix(
                       reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(table.get())))
                 : snapshots.build_branch_length_matrix(cells_of<double>(table));
    snapshots.build_split_bytes(
        columns, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(clades.get())));
    PyRef names = new_str_list(args.names);
    PyRef leaf_names = names ? new_str_list(snapshots.leaf_names) : PyRef();
    PyRef n_splits = leaf_names ? PyRef::steal(PyLong_FromSize_t(snapshots.n_splits())) : PyRef();
    if (!n_splits) {
        return nullptr;
    }
    return new_tuple({&names, &matrix, &leaf_names, &n_splits, &table, &clades}).release();
}

// Not noexcept: an exiting interpreter ends a daemon thread that waits for the GIL by
// unwinding its stack (abi::__forced_unwind), and that must pass through to the thread's
// start; a noexcept frame on the way would turn it into std::terminate.
KESTRILUNE_FORCED_UNWIND_HANDLER PyObject* run_pipeline(const Variant& variant,
                                                        PyObject* const* args, Py_ssize_t nargs,
                                                        PyObject* kwnames) {
    try {
        // Ctrl-C stops the call at the next block of rows or trees (see pool/pool.hpp).
        progress_py::StopOnSignal stop_on_signal;
        IterArgs converted;
        if (!bind_and_convert(variant.name, args, nargs, kwnames, converted)) {
            return nullptr;
        }
        if (auto failure = validate_iter_args(converted.names.size(), converted.map_indices,
                                              converted.translate_maps.size())) {
            return set_value_error(*failure);
        }
        // Known before a tree is read: a matrix that cannot fit fails the call at once.
        const std::size_t n = converted.names.size();
        require_fits(matrix_memory(variant, n),
                     "the distance matrix of " + std::to_string(n) + " trees");
        const bool keep_lengths = variant.metric != Metric::Rf;
        // The splits' leaf sets are exported only with the snapshots; the kernels read the
        // per-tree ids and lengths.
        std::optional<Snapshots> snapshots =
            collect_snapshots_from_iter(converted, keep_lengths, variant.with_snapshots);
        if (!snapshots) {
            return nullptr;
        }
        // The texts copied for reading (those not kept as ASCII by the interpreter) are
        // many small blocks that the allocator keeps for reuse, while the matrix that
        // comes next is one large block of its own: hand them back when there are enough
        // of them that the two would add up in the process's peak.
        return_free_memory(kFreeMemoryWorthReturning);
        return build_result(variant, converted, *snapshots);
    } catch (abi::__forced_unwind&) {
        throw;  // see above; caught only so that the catch-all below does not swallow it
    } catch (const pool::Stopped&) {
        // A signal handler raised (KeyboardInterrupt for Ctrl-C) and its exception is set.
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
        return nullptr;
    } catch (const TooLarge& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "kestrilune internal error: %s", e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "kestrilune internal error: unknown exception");
        return nullptr;
    }
}

}  // namespace

#define KESTRILUNE_ENTRY_POINT(py_name, name, metric, with_snapshots)                       \
    PyObject* py_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static constexpr Variant kVariant{name, metric, with_snapshots};                     \
        return run_pipeline(kVariant, args, nargs, kwnames);                                 \
    }

KESTRILUNE_ENTRY_POINT(py_pairwise_rf, "pairwise_rf_from_newick_iter", Metric::Rf, false)
KESTRILUNE_ENTRY_POINT(py_pairwise_wrf, "pairwise_wrf_from_newick_iter", Metric::Wrf, false)
KESTRILUNE_ENTRY_POINT(py_pairwise_kf, "pairwise_kf_from_newick_iter", Metric::Kf, false)
KESTRILUNE_ENTRY_POINT(py_pairwise_rf_with_snapshots, "pairwise_rf_with_snapshots_from_newick_iter",
                       Metric::Rf, true)
KESTRILUNE_ENTRY_POINT(py_pairwise_wrf_with_snapshots,
                       "pairwise_wrf_with_snapshots_from_newick_iter", Metric::Wrf, true)
KESTRILUNE_ENTRY_POINT(py_pairwise_kf_with_snapshots, "pairwise_kf_with_snapshots_from_newick_iter",
                       Metric::Kf, true)

#undef KESTRILUNE_ENTRY_POINT

}  // namespace kestrilune::api
