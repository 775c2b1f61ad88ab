// read_tree_set: the one reader of a tree set that arrives one Newick text at a time (a
// Python iterator, for both extensions). It asks a "next text" callback for texts, pairs
// text k with translate_maps[map_indices[k]], and hands the texts to a SnapshotCollector a
// chunk at a time; how large a chunk is and how it is parsed (the GIL released or held)
// is the caller's policy:
//
//     ReadPolicy policy;                        // default: every text read before parsing
//     policy.chunk_bytes = 16 << 20;            // or: parse every 16 MB of text
//     Result<Snapshots, TreeSetError> s = read_tree_set(
//         args, /*keep_lengths=*/true, policy,
//         {.next = [&] { return source.next(); },
//          .run_parse = [&](FunctionRef<void()> parse) { without_gil(parse); },
//          .poll = [&](std::size_t trees_done) { return !interrupted(); }});
//
// Every text is read, surplus ones (beyond the number of names) too, but only the named
// ones are kept. The errors, in the order they can arise:
//   the source's own failure (kind Source; the source keeps its error, e.g. a Python
//     exception, and the binding raises it), also when poll() asks to stop;
//   a parse or leaf-set error of a chunk parsed while reading (only with chunks);
//   fewer than 2 texts: "Need at least 2 trees to compute pairwise distances";
//   fewer texts than names: "newick_iter yielded <read> trees for <names> names" (every
//     name labels a row of a result, so a missing tree is never left out quietly);
//   the errors of SnapshotCollector, with the index of the failing tree.
// Text that cannot fit in the memory the process may use throws TooLarge (an allocation
// failure, on the calling thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "common/function_ref.hpp"
#include "common/result.hpp"
#include "io/io.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune {

// What the source hands out: a text (valid until the next call), the end, or a failure
// that the source itself reports. A text marked `kept` stays valid until the read returns
// (the source holds it), and the reader parses it where it is instead of copying it.
struct NextText {
    enum class Status : std::uint8_t { Text, End, Failed };
    Status status = Status::End;
    std::string_view text;
    bool kept = false;
};

// The validated arguments of a tree set (validate_iter_args has passed): one map index per
// name, each below translate_maps.size().
struct TreeSetArgs {
    std::span<const TranslateMap> translate_maps;
    std::span<const std::uint64_t> map_indices;
    bool rooted = false;
};

struct ReadPolicy {
    // Parse the texts held once they reach this many bytes or this many trees; by default
    // every text is read before the first is parsed.
    std::size_t chunk_bytes = std::numeric_limits<std::size_t>::max();
    std::size_t chunk_trees = std::numeric_limits<std::size_t>::max();
    // Partition sets reduced at a time by the collection (SnapshotCollector::start).
    std::size_t reduce_bytes = sizes::kChunkBytes;
    // poll() runs after every this many texts read, and after every chunk parsed.
    std::size_t texts_per_poll = 4096;
    // false: the Snapshots' splits stay empty, for a caller that needs each tree's ids and
    // lengths only (a leaf set per distinct split is one allocation each, 1.2 million for
    // 3,000 random trees of 400 taxa).
    bool keep_splits = true;
};

struct ReadHooks {
    FunctionRef<NextText()> next;
    // Runs `parse`, the parse of one chunk, which touches only native data (a binding may
    // release the GIL around it). Exceptions of `parse` must pass through.
    FunctionRef<void(FunctionRef<void()>)> run_parse;
    // Given the trees parsed so far; false stops the read with kind Source (the caller
    // keeps the reason, e.g. a KeyboardInterrupt).
    FunctionRef<bool(std::size_t)> poll;
};

Result<Snapshots, TreeSetError> read_tree_set(const TreeSetArgs& args, bool keep_lengths,
                                              const ReadPolicy& policy, const ReadHooks& hooks);

// The message of a tree set of fewer than 2 trees.
inline constexpr std::string_view kTooFewTrees =
    "Need at least 2 trees to compute pairwise distances";

// One part of a tree set read in several calls (a caller that reads files itself and hands
// over the trees of each chunk of text as it goes): the texts of this call go into
// `collector` (started on the first tree if it is empty), after the trees of the earlier
// calls, and the errors' tree indices count from the first tree of the first call. Any
// number of texts is accepted, none included; the caller checks the total (kTooFewTrees)
// before finishing the collector. The translate maps need to live for this call only.
// After an error the collector holds an unknown prefix of this call's trees: it must not be
// used again.
std::optional<TreeSetError> read_more_trees(const TreeSetArgs& args, bool keep_lengths,
                                            const ReadPolicy& policy, const ReadHooks& hooks,
                                            std::optional<SnapshotCollector>& collector);

}  // namespace kestrilune
