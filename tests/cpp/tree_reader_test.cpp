// read_tree_set: one reader for both bindings, whatever the chunk policy.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "snapshot/tree_reader.hpp"

namespace kestrilune {
namespace {

const TranslateMap kNoMap;

const std::vector<std::string> kTrees = {
    "((A:1,B:2):3,(C:4,(D:5,E:6):7):8);", "((A:1,C:2):3,(B:4,(D:5,E:6):7):8);",
    "(((A:1,B:2):3,C:4):5,(D:6,E:7):8);", "((A:1,B:2):3,(C:4,(D:5,E:6):7):8);",
    "((A:1,E:2):3,(C:4,(D:5,B:6):7):8);"};

// A source of `texts` that fails instead of handing out text `fail_at`, reading from the
// real reader under a given policy.
struct Reading {
    std::size_t n_names;
    std::vector<std::string> texts;
    std::optional<std::size_t> fail_at;
    ReadPolicy policy;
    std::optional<std::size_t> stop_after_parsing;  // poll() says stop once this many parsed

    std::size_t calls = 0;
    std::size_t parses = 0;

    Result<Snapshots, TreeSetError> read() {
        const std::vector<TranslateMap> maps = {kNoMap};
        const std::vector<std::uint64_t> indices(n_names, 0);
        auto next = [&]() -> NextText {
            const std::size_t k = calls++;
            if (fail_at && k == *fail_at) {
                return {NextText::Status::Failed, {}};
            }
            if (k >= texts.size()) {
                return {NextText::Status::End, {}};
            }
            return {NextText::Status::Text, texts[k]};
        };
        auto run_parse = [&](FunctionRef<void()> parse) {
            ++parses;
            parse();
        };
        auto poll = [&](std::size_t done) {
            return !stop_after_parsing || done < *stop_after_parsing;
        };
        return read_tree_set({maps, indices, false}, true, policy, {next, run_parse, poll});
    }
};

ReadPolicy whole() { return {}; }
ReadPolicy chunks_of(std::size_t trees) {
    ReadPolicy p;
    p.chunk_trees = trees;
    return p;
}
ReadPolicy polled_every(std::size_t texts) {
    ReadPolicy p;
    p.texts_per_poll = texts;
    return p;
}

std::vector<TreeItem> items_of(const std::vector<std::string>& texts) {
    std::vector<TreeItem> items;
    for (const std::string& text : texts) {
        items.push_back(TreeItem{text, &kNoMap});
    }
    return items;
}

TEST(ReadTreeSet, EveryChunkPolicyGivesTheWholeCollection) {
    auto want = Snapshots::from_newick_iter_opts(items_of(kTrees), false, true);
    ASSERT_TRUE(want);
    for (const ReadPolicy& policy : {whole(), chunks_of(1), chunks_of(2), chunks_of(100)}) {
        Reading run{kTrees.size(), kTrees, std::nullopt, policy, std::nullopt};
        auto got = run.read();
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->trees.size(), kTrees.size());
        for (std::size_t t = 0; t < kTrees.size(); ++t) {
            EXPECT_EQ(got->trees[t].ids, want->trees[t].ids);
            EXPECT_EQ(got->trees[t].lengths, want->trees[t].lengths);
        }
        EXPECT_EQ(got->splits, want->splits);
        EXPECT_EQ(got->leaf_names, want->leaf_names);
        // One parse per chunk: the first chunk holds two texts at least.
        const std::size_t chunk = std::max<std::size_t>(policy.chunk_trees, 1);
        const std::size_t later = kTrees.size() - 2;  // texts after the first chunk's two
        EXPECT_EQ(run.parses, chunk >= kTrees.size() ? 1 : 1 + (later + chunk - 1) / chunk);
    }
}

// The texts of parts 1, 1 + 2, ... read by read_more_trees into one collector (a part of one
// text, a part of none): the collection of one call, and errors counted across the parts.
TEST(ReadMoreTrees, PartsGiveTheCollectionOfOneCall) {
    auto want = Snapshots::from_newick_iter_opts(items_of(kTrees), false, true);
    ASSERT_TRUE(want);
    auto read_parts = [](const std::vector<std::vector<std::string>>& parts,
                         std::optional<SnapshotCollector>& collector) -> std::optional<TreeSetError> {
        const std::vector<TranslateMap> maps = {kNoMap};
        for (const auto& part : parts) {
            const std::vector<std::uint64_t> indices(part.size(), 0);
            std::size_t k = 0;
            auto next = [&]() -> NextText {
                return k < part.size() ? NextText{NextText::Status::Text, part[k++]} : NextText{};
            };
            auto run_parse = [](FunctionRef<void()> parse) { parse(); };
            auto poll = [](std::size_t) { return true; };
            if (auto failure = read_more_trees({maps, indices, false}, true, chunks_of(2),
                                               {next, run_parse, poll}, collector)) {
                return failure;
            }
        }
        return std::nullopt;
    };
    std::optional<SnapshotCollector> collector;
    ASSERT_FALSE(read_parts({{kTrees[0]}, {}, {kTrees[1], kTrees[2], kTrees[3]}, {kTrees[4]}},
                            collector));
    Snapshots got = std::move(*collector).finish();
    ASSERT_EQ(got.trees.size(), kTrees.size());
    for (std::size_t t = 0; t < kTrees.size(); ++t) {
        EXPECT_EQ(got.trees[t].ids, want->trees[t].ids);
    }
    EXPECT_EQ(got.splits, want->splits);

    std::optional<SnapshotCollector> failing;
    auto failure = read_parts({{kTrees[0], kTrees[1]}, {kTrees[2], "((A,B),(C,D)"}}, failing);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, TreeSetErrorKind::Parse);
    EXPECT_EQ(failure->tree_index, std::optional<std::size_t>(3));
}

TEST(ReadTreeSet, SurplusTextsAreReadButNotParsed) {
    Reading run{3, kTrees, std::nullopt, whole(), std::nullopt};
    auto got = run.read();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->trees.size(), 3u);
    EXPECT_EQ(run.calls, kTrees.size() + 1);  // drained to the end
}

struct Refusal {
    const char* what;
    std::size_t n_names;
    std::vector<std::string> texts;
    std::optional<std::size_t> fail_at;
    TreeSetErrorKind kind;
    std::optional<std::size_t> tree_index;
    std::string message;
};

class ReadTreeSetRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(ReadTreeSetRefuses, AlikeUnderEveryChunkPolicy) {
    const Refusal& c = GetParam();
    for (const ReadPolicy& policy : {whole(), chunks_of(1), chunks_of(3)}) {
        Reading run{c.n_names, c.texts, c.fail_at, policy, std::nullopt};
        auto got = run.read();
        ASSERT_FALSE(got) << c.what;
        EXPECT_EQ(got.error().kind, c.kind) << c.what;
        EXPECT_EQ(got.error().tree_index, c.tree_index) << c.what;
        EXPECT_EQ(got.error().message, c.message) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadTreeSetRefuses,
    ::testing::Values(
        Refusal{"one text", 2, {kTrees[0]}, std::nullopt, TreeSetErrorKind::TooFewTrees,
                std::nullopt, "Need at least 2 trees to compute pairwise distances"},
        Refusal{"fewer texts than names", 4, {kTrees[0], kTrees[1]}, std::nullopt,
                TreeSetErrorKind::FewerTreesThanNames, std::nullopt,
                "newick_iter yielded 2 trees for 4 names"},
        Refusal{"the source fails", 3, kTrees, 1, TreeSetErrorKind::Source, std::nullopt, ""},
        Refusal{"a different leaf set at tree 2", 3,
                {kTrees[0], kTrees[1], "((A:1,B:2):3,(C:4,(D:5,F:6):7):8);"}, std::nullopt,
                TreeSetErrorKind::DifferentLeafSet, 2,
                "Tree 2 has a different leaf set than tree 0. All trees must share the same "
                "taxa."},
        Refusal{"a parse error at tree 1", 2, {kTrees[0], "((A,B);"}, std::nullopt,
                TreeSetErrorKind::Parse, 1,
                "Failed to parse newick at index 1: Missing a closing bracket."},
        Refusal{"tree 0 repeats a leaf", 2, {"((A,B),(A,C));", kTrees[0]}, std::nullopt,
                TreeSetErrorKind::DuplicateLeaves, 0,
                "Trees have duplicate leaf names. All leaf names must be unique."}));

TEST(ReadTreeSet, PollStopsTheRead) {
    // Between chunks ...
    Reading between{kTrees.size(), kTrees, std::nullopt, chunks_of(1), 3};
    auto got = between.read();
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, TreeSetErrorKind::Source);
    EXPECT_EQ(between.calls, 3u);  // stopped right after the chunk that made 3 trees
    // ... and while texts are read, before any parse.
    Reading reading{2, std::vector<std::string>(10, kTrees[0]), std::nullopt, polled_every(4), 0};
    got = reading.read();
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind, TreeSetErrorKind::Source);
    EXPECT_EQ(reading.calls, 4u);
    EXPECT_EQ(reading.parses, 0u);
}

TEST(ValidateIterArgs, ErrorsNameTheirKindAndTree) {
    const std::vector<std::uint64_t> indices = {0, 5};
    auto bad_index = validate_iter_args(2, indices, 2);
    ASSERT_TRUE(bad_index);
    EXPECT_EQ(bad_index->kind, TreeSetErrorKind::Arguments);
    EXPECT_EQ(bad_index->tree_index, 1u);
    EXPECT_EQ(bad_index->message,
              "map_indices[1] = 5 is out of bounds (only 2 translate maps provided)");
    EXPECT_EQ(validate_iter_args(1, indices, 2)->kind, TreeSetErrorKind::TooFewTrees);
    EXPECT_EQ(kind_name(TreeSetErrorKind::DifferentLeafSet), "different_leaf_set");
}

}  // namespace
}  // namespace kestrilune
