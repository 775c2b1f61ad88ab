#include "snapshot/tree_reader.hpp"

#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "common/memory.hpp"

namespace kestrilune {

namespace {

// The reading loop of both entry points. `first_part`: these texts start the tree set, so
// fewer than 2 of them is the tree-count error (checked before the last chunk is parsed,
// so that it never turns into a parse error of the only tree).
std::optional<TreeSetError> read_into(const TreeSetArgs& args, bool keep_lengths,
                                      const ReadPolicy& policy, const ReadHooks& hooks,
                                      std::optional<SnapshotCollector>& collector,
                                      bool first_part) {
    const std::size_t n_names = args.map_indices.size();
    const std::uint64_t memory_limit = memory_limit_bytes();
    const TreeSetError stopped{TreeSetErrorKind::Source, std::nullopt, {}};
    std::vector<std::string_view> texts;  // the chunk: texts n_used, n_used + 1, ...
    std::deque<std::string> copies;       // of the chunk's texts the source does not keep
    std::uint64_t kept_bytes = 0;
    std::size_t n_read = 0;  // texts read, surplus ones included
    std::size_t n_used = 0;  // texts parsed

    // Parses the texts held; returns the first failing tree's error.
    auto flush = [&]() -> std::optional<TreeSetError> {
        std::vector<TreeItem> items;
        items.reserve(texts.size());
        for (std::size_t k = 0; k < texts.size(); ++k) {
            items.push_back(
                TreeItem{texts[k], &args.translate_maps[args.map_indices[n_used + k]]});
        }
        std::optional<TreeSetError> failure;
        hooks.run_parse([&] {
            std::span<const TreeItem> rest(items);
            if (!collector) {
                Result<SnapshotCollector, TreeSetError> started =
                    SnapshotCollector::start(items[0], args.rooted, keep_lengths,
                                             policy.reduce_bytes);
                if (!started) {
                    failure = std::move(started).error();
                    return;
                }
                collector.emplace(std::move(started).value());
                rest = rest.subspan(1);
            }
            failure = collector->add(rest);
        });
        if (failure) {
            return failure;
        }
        n_used += texts.size();
        texts.clear();
        copies.clear();
        kept_bytes = 0;
        if (!hooks.poll(n_used)) {
            return stopped;
        }
        return std::nullopt;
    };

    while (true) {
        const NextText next = hooks.next();
        if (next.status == NextText::Status::Failed) {
            return stopped;
        }
        if (next.status == NextText::Status::End) {
            break;
        }
        ++n_read;
        // A source written in C (a list iterator, itertools.repeat) may never look at the
        // signals itself, so an endless one is stopped here.
        if (n_read % policy.texts_per_poll == 0 && !hooks.poll(n_used)) {
            return stopped;
        }
        if (n_read > n_names) {
            continue;  // read, but no name labels it
        }
        kept_bytes += next.text.size() + sizeof(std::string);
        if (kept_bytes > memory_limit) {
            require_fits(kept_bytes, memory_limit,
                         "the text of the first " + std::to_string(n_read) +
                             " trees of newick_iter");
        }
        if (next.kept) {
            texts.push_back(next.text);
        } else {
            texts.push_back(copies.emplace_back(next.text));
        }
        // Two texts at least before the first chunk: fewer is a tree-count error, which
        // must not turn into a parse error of the only tree.
        if ((n_read >= 2 || !first_part) &&
            (kept_bytes >= policy.chunk_bytes || texts.size() >= policy.chunk_trees)) {
            if (auto failure = flush()) {
                return failure;
            }
        }
    }
    if (first_part && n_read < 2) {
        return TreeSetError{TreeSetErrorKind::TooFewTrees, std::nullopt, std::string(kTooFewTrees)};
    }
    if (n_read < n_names) {
        return TreeSetError{TreeSetErrorKind::FewerTreesThanNames, std::nullopt,
                            "newick_iter yielded " + std::to_string(n_read) + " trees for " +
                                std::to_string(n_names) + " names"};
    }
    if (!texts.empty()) {
        return flush();
    }
    return std::nullopt;
}

}  // namespace

Result<Snapshots, TreeSetError> read_tree_set(const TreeSetArgs& args, bool keep_lengths,
                                              const ReadPolicy& policy, const ReadHooks& hooks) {
    std::optional<SnapshotCollector> collector;
    if (auto failure = read_into(args, keep_lengths, policy, hooks, collector, true)) {
        return unexpected(std::move(*failure));
    }
    return std::move(*collector).finish(policy.keep_splits);
}

std::optional<TreeSetError> read_more_trees(const TreeSetArgs& args, bool keep_lengths,
                                            const ReadPolicy& policy, const ReadHooks& hooks,
                                            std::optional<SnapshotCollector>& collector) {
    std::optional<TreeSetError> failure =
        read_into(args, keep_lengths, policy, hooks, collector, false);
    if (collector) {
        collector->forget_translate_maps();  // this call's maps are the caller's to free
    }
    return failure;
}

}  // namespace kestrilune
