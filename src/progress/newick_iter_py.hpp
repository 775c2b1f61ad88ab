// The trees of a Python iterator of Newick texts, read the same way by both extensions:
// the core's read_tree_set (snapshot/tree_reader.hpp) with a Python iterator as its source.
// Called with the GIL held; returns the snapshots or a TreeSetError. Kind Source means a
// Python exception is set and stands as it is:
//   the iterator's own exception, unchanged;
//   TypeError "newick_iter must yield str, got '<type>'" for an item that is not a str;
//   the interpreter's UnicodeEncodeError for a str without a UTF-8 form;
//   a signal handler's exception (KeyboardInterrupt), looked at between chunks and every
//   4096 items, since an iterator written in C never runs the handlers itself.
// Any other kind is a content error for the binding to raise as a ValueError subclass,
// with the error's message word for word.
//
// The chunk policy is the caller's (ReadPolicy), and so is the GIL while a chunk is parsed:
// ParseGil::Released lets other Python threads run (the parse reads only native data).
#pragma once

#include <Python.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/function_ref.hpp"
#include "common/result.hpp"
#include "progress/gil_py.hpp"
#include "progress/interrupt_py.hpp"
#include "snapshot/tree_reader.hpp"

namespace kestrilune::progress_py {

enum class ParseGil { Held, Released };

// The items of a Python iterator as texts. The text handed out stays valid until the next
// call: the item that holds its UTF-8 form is kept until then. Of the first `keep_first`
// items, one whose UTF-8 form is its own storage (an ASCII str) is held until this object
// goes, and its text is marked kept, so that a reader that holds those texts anyway need
// not copy them; other items (their UTF-8 form would be a second copy inside the str) are
// not, nor any later item (an endless iterator must not pile up references).
class IteratorTexts {
  public:
    IteratorTexts(PyObject* iter, std::size_t keep_first) noexcept
        : iter_(iter), keep_first_(keep_first) {}
    ~IteratorTexts() {
        if (!interpreter_exiting()) {
            Py_XDECREF(item_);
            for (PyObject* item : held_) {
                Py_DECREF(item);
            }
        }
    }
    IteratorTexts(const IteratorTexts&) = delete;
    IteratorTexts& operator=(const IteratorTexts&) = delete;

    NextText next() {
        Py_XDECREF(item_);
        item_ = PyIter_Next(iter_);
        if (item_ == nullptr) {
            return {PyErr_Occurred() ? NextText::Status::Failed : NextText::Status::End, {}};
        }
        if (!PyUnicode_Check(item_)) {
            PyErr_Format(PyExc_TypeError, "newick_iter must yield str, got '%s'",
                         Py_TYPE(item_)->tp_name);
            return {NextText::Status::Failed, {}};
        }
        const char* data = PyUnicode_AsUTF8AndSize(item_, &size_);
        if (data == nullptr) {
            return {NextText::Status::Failed, {}};  // a lone surrogate
        }
        return text_of(data);
    }

  private:
    // Not inlined: the frame of next() is the one an exiting interpreter unwinds out of
    // (see size_ below), and must stay without locals and landing pads of its own.
    [[gnu::noinline]] NextText text_of(const char* data) {
        const bool keep = n_items_ < keep_first_ && PyUnicode_IS_COMPACT_ASCII(item_);
        ++n_items_;
        if (keep) {
            held_.push_back(item_);  // may throw bad_alloc: item_ is still ours then
            item_ = nullptr;
            return {NextText::Status::Text, {data, static_cast<std::size_t>(size_)}, true};
        }
        return {NextText::Status::Text, {data, static_cast<std::size_t>(size_)}};
    }

    PyObject* iter_;  // borrowed
    std::size_t keep_first_;
    std::size_t n_items_ = 0;
    PyObject* item_ = nullptr;
    std::vector<PyObject*> held_;  // owned references of the kept items
    // A member, not a local: this frame is the one an exiting interpreter unwinds out of
    // (its thread ends inside PyIter_Next), and AddressSanitizer leaves the guard zones
    // of an addressed local poisoned on that path, which its own unpoisoning at the next
    // landing pad then reports as a bad write (a fault of GCC 12's runtime).
    Py_ssize_t size_ = 0;
};

// The hooks of read_tree_set for a Python iterator. `on_progress(trees_parsed)` runs between
// chunks and every policy.texts_per_poll items, with the GIL held.
// Under a policy that reads every text before the first is parsed, the texts the reader
// keeps (one per name) are held in their str objects instead of copied.
template <class Read>
auto with_iterator_hooks(PyObject* iter, ParseGil gil, const ReadPolicy& policy,
                         std::size_t n_names, FunctionRef<void(std::size_t)> on_progress,
                         Read&& read) {
    constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
    const bool whole = policy.chunk_bytes == kNoLimit && policy.chunk_trees == kNoLimit;
    IteratorTexts texts(iter, whole ? n_names : 0);
    auto next = [&] { return texts.next(); };
    auto run_parse = [gil](FunctionRef<void()> parse) {
        if (gil == ParseGil::Released) {
            // Parked, not unwound, if the interpreter exits meanwhile: the frames above may
            // be a nanobind binding's.
            ReleasedGil<OnInterpreterExit::Park> unlocked;
            parse();
        } else {
            parse();
        }
    };
    auto poll = [&](std::size_t trees_done) {
        on_progress(trees_done);
        return PyErr_CheckSignals() == 0;
    };
    return read(ReadHooks{next, run_parse, poll});
}

inline Result<Snapshots, TreeSetError> read_newick_iter(
    PyObject* iter, const TreeSetArgs& args, bool keep_lengths, const ReadPolicy& policy,
    ParseGil gil, FunctionRef<void(std::size_t)> on_progress) {
    return with_iterator_hooks(iter, gil, policy, args.map_indices.size(), on_progress,
                               [&](const ReadHooks& hooks) {
        return read_tree_set(args, keep_lengths, policy, hooks);
    });
}

// One more part of a tree set read in several calls (read_more_trees).
inline std::optional<TreeSetError> read_more_newick_iter(
    PyObject* iter, const TreeSetArgs& args, bool keep_lengths, const ReadPolicy& policy,
    ParseGil gil, FunctionRef<void(std::size_t)> on_progress,
    std::optional<SnapshotCollector>& collector) {
    return with_iterator_hooks(iter, gil, policy, args.map_indices.size(), on_progress,
                               [&](const ReadHooks& hooks) {
        return read_more_trees(args, keep_lengths, policy, hooks, collector);
    });
}

}  // namespace kestrilune::progress_py
