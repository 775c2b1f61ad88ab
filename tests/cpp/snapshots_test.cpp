// Snapshot collection: interning order, lengths, and the tree-set failures.
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "random_newick.hpp"
#include "reference_readers.hpp"
#include "snapshot/snapshot.hpp"
#include "snapshot/snapshots.hpp"

namespace kestrilune {
namespace {

const TranslateMap kNoMap;

Result<Snapshots, std::string> collect(const std::vector<std::string>& texts, bool rooted = false,
                                       bool keep_lengths = true, const TranslateMap& map = kNoMap) {
    std::vector<TreeItem> items;
    for (const std::string& text : texts) {
        items.push_back(TreeItem{text, &map});
    }
    return Snapshots::from_newick_iter_opts(items, rooted, keep_lengths);
}

std::uint64_t word0(const Bitset& b) {
    return b.words.at(0);
}

TEST(SnapshotsInterning, IdenticalTreesShareIdsInAscendingBitsetOrder) {
    auto s = collect({"((A:1,B:1):2,(C:1,D:1):3);", "((A:1,B:1):2,(C:1,D:1):3);"}, true);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->splits.size(), 6u);
    const std::vector<std::uint64_t> expected_words = {1, 2, 3, 4, 8, 12};
    for (std::size_t id = 0; id < 6; ++id) {
        EXPECT_EQ(word0(s->splits[id]), expected_words[id]);
    }
    for (const InternSnap& tree : s->trees) {
        EXPECT_EQ(tree.ids, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(tree.lengths, (std::vector<double>{1, 1, 2, 1, 1, 3}));
    }
    EXPECT_EQ(s->leaf_names, (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(s->n_words, 1u);
}

TEST(SnapshotsInterning, NewPartitionGetsTheNextIdAndIdsStaySorted) {
    // Unrooted: tree 0 has {A},{B},{C},{D},{C,D}; tree 1 has {B,D} (written without A:
    // {A,C} holds leaf 0 and is complemented), which is new.
    auto s = collect({"((A:1,B:2):3,(C:4,D:5):6);", "((A:1,C:2):3,(B:4,D:5):6);"});
    ASSERT_TRUE(s);
    ASSERT_EQ(s->splits.size(), 6u);
    EXPECT_EQ(word0(s->splits[5]), 0b1010u);
    EXPECT_EQ(s->trees[0].ids, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(s->trees[0].lengths, (std::vector<double>{1, 2, 4, 5, 9}));
    EXPECT_EQ(s->trees[1].ids, (std::vector<std::uint32_t>{0, 1, 2, 3, 5}));
    EXPECT_EQ(s->trees[1].lengths, (std::vector<double>{1, 4, 2, 5, 9}));
}

TEST(SnapshotsInterning, WithoutLengthsTheIdsAreUnchanged) {
    auto with = collect({"((A:1,B:2):3,(C:4,D:5):6);", "((A,C),(B,D));"}, false, true);
    auto without = collect({"((A:1,B:2):3,(C:4,D:5):6);", "((A,C),(B,D));"}, false, false);
    ASSERT_TRUE(with && without);
    for (std::size_t t = 0; t < 2; ++t) {
        EXPECT_EQ(with->trees[t].ids, without->trees[t].ids);
        EXPECT_TRUE(without->trees[t].lengths.empty());
    }
}

TEST(SnapshotsInterning, AnnotationsAndTranslation) {
    const TranslateMap map = {{"1", "Homo"}, {"2", "Pan"}, {"3", "Gorilla"}};
    auto s = collect({"[&R] ((1[&rate=1.5]:0.5,2:0.5):1,3:2);", "((1,3),2);"}, true, true, map);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->leaf_names, (std::vector<std::string>{"Gorilla", "Homo", "Pan"}));
    EXPECT_EQ(word0(s->splits[s->trees[0].ids.back()]), 0b110u);  // {Homo, Pan}
}

TEST(SnapshotsInterning, OneUnnamedLeafTakesBitZero) {
    const TranslateMap map = {{"1", "A"}, {"2", "B"}, {"3", "C"}};
    auto s = collect({"((1,2),(3,9));", "((1,9),(2,3));"}, true, false, map);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->leaf_names, (std::vector<std::string>{"A", "B", "C"}));
    // The unnamed leaf sorts first as "", so A is bit 1: the clade {A,B} is 0b0110.
    EXPECT_EQ(word0(s->splits[3]), 0b0110u);
}

struct FailureCase {
    const char* what;
    std::vector<std::string> texts;
    std::string message;
};

class SnapshotsFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(SnapshotsFailure, Message) {
    auto s = collect(GetParam().texts);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().substr(0, GetParam().message.size()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, SnapshotsFailure,
    testing::Values(
        FailureCase{"missing_taxon",
                    {"(A,B,C,D);", "(A,B,C,D);", "(A,B,C);"},
                    "Tree 2 has a different leaf set than tree 0. All trees must share the same "
                    "taxa."},
        FailureCase{"parse_tree1",
                    {"(A,B);", "(A,B"},
                    "Failed to parse newick at index 1: The tree is missin a semi colon at the "
                    "end."},
        FailureCase{"parse_tree0_first",
                    {"((A,B);", "(A"},
                    "Failed to parse newick at index 0: Missing a closing bracket."},
        FailureCase{"duplicates",
                    {"(A,B,A);", "(A,B,C);"},
                    "Trees have duplicate leaf names. All leaf names must be unique."},
        FailureCase{"repeated_name_later",
                    {"(A,B,C);", "(A,B,B,C);"},
                    "Tree 1 has a different leaf set than tree 0."},
        FailureCase{"repeated_name_instead_of_another",
                    {"(A,B,C);", "(A,(B,B));"},
                    "Tree 1 has a different leaf set than tree 0."},
        FailureCase{
            "two_groups", {"(A,B,C,D);", "(A,B),(C,D);"}, "Failed to parse newick at index 1: "}),
    [](const auto& param_info) { return std::string(param_info.param.what); });

// ---- The collection against a tree-by-tree reference (reference_readers.hpp) ---------------

// A sample of random trees over the same labels: plain texts mostly, some with quirks that
// only the full parser reads, now and then a tree that fails.
std::vector<std::string> random_sample(testing_support::NewickGen& gen, std::size_t n_trees,
                                       std::size_t n_leaves, bool failures) {
    std::vector<std::string> texts;
    testing_support::NewickStyle style;
    style.n_leaves = n_leaves;
    style.quirk_rate = 0.1;
    const std::string base = gen.tree(style);
    for (std::size_t t = 0; t < n_trees; ++t) {
        // Repeats of one tree, as in a concentrated posterior, and fresh trees.
        texts.push_back(gen.pick(0.3) ? base : gen.tree(style));
        if (failures && gen.pick(0.02)) {
            texts.back() = gen.pick(0.5) ? gen.mutate(texts.back()) : gen.noise(10);
        }
    }
    return texts;
}

TEST(SnapshotsCollection, RandomSamplesMatchTheTreeByTreeReference) {
    testing_support::NewickGen gen(5);
    TranslateMap map;
    for (int k = 1; k <= 70; ++k) {
        map.emplace(std::to_string(k), "taxon_" + std::to_string(1000 - k));
    }
    const TranslateMap partial = {{"1", "A"}, {"2", "B"}, {"3", "C"}};  // others unnamed
    for (int round = 0; round < 60; ++round) {
        const std::size_t n_leaves = round % 7 == 0 ? 3 : 2 + gen.uniform(69);
        const std::vector<std::string> texts =
            random_sample(gen, 1 + gen.uniform(300), n_leaves, round % 3 == 0);
        const TranslateMap& use = round % 5 == 0 ? kNoMap : (round % 7 == 0 ? partial : map);
        std::vector<TreeItem> items;
        for (const std::string& text : texts) {
            items.push_back(TreeItem{text, &use});
        }
        const bool rooted = round % 2 == 1;
        const bool keep_lengths = round % 4 != 0;
        const auto want = reference::reference_collection(items, rooted, keep_lengths);
        EXPECT_EQ(reference::collection_difference(
                      Snapshots::from_newick_iter_opts(items, rooted, keep_lengths), want),
                  "")
            << "round " << round;

        // The same fed to a collector in uneven chunks.
        auto collector = SnapshotCollector::start(items[0], rooted, keep_lengths);
        if (!collector) {
            continue;
        }
        std::optional<TreeSetError> failure;
        for (std::size_t begin = 1; begin < items.size() && !failure;) {
            const std::size_t size = std::min(items.size() - begin, 1 + gen.uniform(90));
            failure = collector->add(std::span(items).subspan(begin, size));
            begin += size;
        }
        const Result<Snapshots, std::string> chunked =
            failure ? Result<Snapshots, std::string>(unexpected(failure->message))
                    : Result<Snapshots, std::string>(std::move(*collector).finish());
        EXPECT_EQ(reference::collection_difference(chunked, want), "")
            << "round " << round << ", in chunks";
    }
}

// Wider trees than above: three words per set (an odd count) and, over 200 distinct trees,
// ids beyond one radix pass of a tree's sort.
TEST(SnapshotsCollection, WideRandomSamplesMatchTheTreeByTreeReference) {
    testing_support::NewickGen gen(11);
    testing_support::NewickStyle style;
    style.n_leaves = 150;
    std::vector<std::string> texts;
    for (int t = 0; t < 200; ++t) {
        texts.push_back(gen.tree(style));
    }
    std::vector<TreeItem> items;
    for (const std::string& text : texts) {
        items.push_back(TreeItem{text, &kNoMap});
    }
    for (const bool rooted : {false, true}) {
        const auto want = reference::reference_collection(items, rooted, true);
        ASSERT_TRUE(want && want->splits.size() > 4096) << (rooted ? "rooted" : "unrooted");
        EXPECT_EQ(reference::collection_difference(
                      Snapshots::from_newick_iter_opts(items, rooted, true), want),
                  "")
            << (rooted ? "rooted" : "unrooted");
    }
}

// A tree set as bench/dump_trees.py writes it (tests/data/cpp/README.md).
struct DumpedTrees {
    std::vector<TranslateMap> maps;
    std::vector<std::string> texts;
    std::vector<std::size_t> map_index;
};

DumpedTrees load_dumped(const std::string& name) {
    std::ifstream in(std::string(KESTRILUNE_TEST_DATA) + "/cpp/" + name);
    EXPECT_TRUE(in) << name;
    DumpedTrees d;
    std::string word, line;
    std::size_t count = 0;
    in >> word >> count;
    d.maps.resize(count);
    for (TranslateMap& map : d.maps) {
        in >> word >> count;
        std::getline(in, line);
        for (std::size_t k = 0; k < count && std::getline(in, line); ++k) {
            const std::size_t tab = line.find('\t');
            map.emplace(line.substr(0, tab), line.substr(tab + 1));
        }
    }
    in >> word >> count;
    std::getline(in, line);
    for (std::size_t k = 0; k < count && std::getline(in, line); ++k) {
        const std::size_t tab = line.find('\t');
        d.map_index.push_back(std::stoul(line.substr(0, tab)));
        d.texts.push_back(line.substr(tab + 1));
    }
    EXPECT_EQ(d.texts.size(), 25u) << name;
    return d;
}

class SnapshotsRealFiles : public testing::TestWithParam<const char*> {};

TEST_P(SnapshotsRealFiles, MatchTheTreeByTreeReference) {
    const DumpedTrees d = load_dumped(GetParam());
    std::vector<TreeItem> items;
    for (std::size_t t = 0; t < d.texts.size(); ++t) {
        items.push_back(TreeItem{d.texts[t], &d.maps[d.map_index[t]]});
    }
    for (const bool rooted : {false, true}) {
        EXPECT_EQ(
            reference::collection_difference(Snapshots::from_newick_iter_opts(items, rooted, true),
                                             reference::reference_collection(items, rooted, true)),
            "")
            << (rooted ? "rooted" : "unrooted");
    }
}

INSTANTIATE_TEST_SUITE_P(Heads, SnapshotsRealFiles,
                         testing::Values("mrbayes_primates_head.txt", "mrbayes_cynmix_head.txt",
                                         "beast1_ucln_head.txt"));

TEST(SnapshotsCollection, NoItemsGiveAnEmptySet) {
    auto s = Snapshots::from_newick_iter_opts({}, false, false);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->trees.empty() && s->splits.empty() && s->leaf_names.empty());
    EXPECT_EQ(s->n_words, 0u);
}

}  // namespace
}  // namespace kestrilune
