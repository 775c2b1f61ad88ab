// Split table: chunked collection, column order, parents and the byte form.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "table/split_table.hpp"

namespace kestrilune {
namespace {

const TranslateMap kNoMap;

const std::vector<std::string> kTexts = {
    "((A:1,B:2):3,(C:4,(D:5,E:6):7):8);", "((A:1,C:2):3,(B:4,(D:5,E:6):7):8);",
    "(((A:1,B:2):3,C:4):5,(D:6,E:7):8);", "((A:1,B:2):3,(C:4,(D:5,E:6):7):8);"};

std::vector<TreeItem> items_of(const std::vector<std::string>& texts) {
    std::vector<TreeItem> items;
    for (const std::string& text : texts) {
        items.push_back(TreeItem{text, &kNoMap});
    }
    return items;
}

SplitTable table_of(const std::vector<std::string>& texts, bool rooted) {
    auto s = Snapshots::from_newick_iter_opts(items_of(texts), rooted, true);
    EXPECT_TRUE(s);
    return SplitTable::from_snapshots(
        std::move(s).value(), std::vector<std::string>(texts.size(), "t"), {}, rooted, true);
}

TEST(SnapshotCollectorChunks, OneTreeAtATimeGivesTheSameIdsAndTheGlobalIndex) {
    const std::vector<TreeItem> items = items_of(kTexts);
    auto whole = Snapshots::from_newick_iter_opts(items, false, true);
    auto collector = SnapshotCollector::start(items[0], false, true);
    ASSERT_TRUE(whole && collector);
    for (std::size_t i = 1; i < items.size(); ++i) {
        EXPECT_FALSE(collector->add(std::span(items).subspan(i, 1)));
    }
    const Snapshots parts = std::move(collector).value().finish();
    ASSERT_EQ(parts.trees.size(), whole->trees.size());
    for (std::size_t i = 0; i < parts.trees.size(); ++i) {
        EXPECT_EQ(parts.trees[i].ids, whole->trees[i].ids);
        EXPECT_EQ(parts.trees[i].lengths, whole->trees[i].lengths);
    }
    EXPECT_EQ(parts.splits, whole->splits);

    auto again = SnapshotCollector::start(items[0], false, true);
    const std::string bad = "(A,B,C,D,X);";
    const std::vector<TreeItem> tail = {items[1], TreeItem{bad, &kNoMap}};
    const auto failure = again->add(tail);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->tree_index, 2u);  // counted from tree 0 across calls
    EXPECT_EQ(failure->message,
              "Tree 2 has a different leaf set than tree 0. All trees must share the same taxa.");
    EXPECT_EQ(again->size(), 1u);
}

TEST(SplitTableColumns, IdsFollowLeafSetOrderAndKeepFirstAppearance) {
    const SplitTable t = table_of(kTexts, true);
    for (std::size_t s = 1; s < t.n_splits(); ++s) {
        EXPECT_LT(t.split_words(s - 1)[0], t.split_words(s)[0]);
    }
    // Tree 0's splits are met first, in ascending order: ranks 0.. in column order.
    const auto ids0 = t.tree_ids(0);
    for (std::size_t k = 0; k < ids0.size(); ++k) {
        EXPECT_EQ(t.first_seen[ids0[k]], k);
    }
    // Lengths travel with their split: {D,E} (bits 3, 4) has length 7 in tree 0.
    for (std::size_t k = 0; k < ids0.size(); ++k) {
        if (t.split_words(ids0[k])[0] == 0b11000) {
            EXPECT_EQ(t.tree_lengths(0)[k], 7.0);
        }
    }
}

TEST(SplitTableParents, SmallestStrictSupersetInTheSameTree) {
    const SplitTable t = table_of({"((A,B),(C,(D,E)));", "(((A,B),C),(D,E));"}, true);
    const std::vector<std::int32_t> parents = split_parents(t);
    auto word = [&](std::int32_t id) { return id < 0 ? 0 : t.split_words(id)[0]; };
    for (std::size_t tree_i = 0; tree_i < 2; ++tree_i) {
        const auto ids = t.tree_ids(tree_i);
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const std::uint64_t own = t.split_words(ids[k])[0];
            const std::uint64_t parent = word(parents[t.indptr[tree_i] + k]);
            // In tree 1, {C} (bit 2) sits in {A,B,C}; in tree 0 in {C,D,E}.
            if (own == 0b00100) {
                EXPECT_EQ(parent, tree_i == 0 ? 0b11100u : 0b00111u);
            }
            if (parent != 0) {
                EXPECT_EQ(parent & own, own);
            }
        }
    }
}

TEST(SplitTableBytes, RoundTripAndEveryTruncationRefused) {
    const SplitTable t = table_of(kTexts, false);
    const std::vector<std::uint8_t> bytes = t.to_bytes();
    auto back = SplitTable::from_bytes(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->ids, t.ids);
    EXPECT_EQ(back->lengths, t.lengths);
    EXPECT_EQ(back->words, t.words);
    EXPECT_EQ(back->first_seen, t.first_seen);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_FALSE(SplitTable::from_bytes(std::span(bytes).first(cut))) << cut;
    }
    // The last two first-appearance ranks made equal: the checksum refuses the form; in the
    // version-1 form (the same body, no checksum) the invariants do.
    std::vector<std::uint8_t> swapped = bytes;
    swapped[swapped.size() - 12] = swapped[swapped.size() - 16];
    auto refused = SplitTable::from_bytes(swapped);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(),
              "damaged split table: checksum mismatch (the bytes were changed or cut)");
    std::vector<std::uint8_t> v1(swapped.begin(), swapped.end() - 8);
    v1[7] = '1';
    refused = SplitTable::from_bytes(v1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "damaged split table: first-appearance ranks are not a permutation");
    v1[7] = '3';
    EXPECT_EQ(SplitTable::from_bytes(v1).error(),
              "split table of an unknown version (byte 51): this version reads versions 1 and 2");
}

// Well-formed bytes (a valid checksum) around a table that breaks an invariant: each is
// refused with its message. Every leaf set and id below is one the kernels would index by.
TEST(SplitTableBytes, BrokenInvariantsAreRefused) {
    using Edit = void (*)(SplitTable&);
    const std::vector<std::pair<Edit, std::string>> cases = {
        {[](SplitTable& t) {  // a small form whose leaf sets claimed 2^26 words each
             t.n_words = std::size_t{1} << 26;
             t.words.clear();
             t.first_seen.clear();
             t.ids.clear();
             t.lengths.clear();
             std::fill(t.indptr.begin(), t.indptr.end(), 0);
         },
         "leaf sets of 67108864 words do not fit 5 leaves"},
        {[](SplitTable& t) { std::swap(t.words[0], t.words[1]); },
         "leaf sets are not sorted and unique (at set 1)"},
        {[](SplitTable& t) { t.words[1] = t.words[0]; },
         "leaf sets are not sorted and unique (at set 1)"},
        {[](SplitTable& t) { t.words.back() |= std::uint64_t{1} << 40; },
         "leaf set 7 holds a leaf beyond the last one"},
        {[](SplitTable& t) { std::swap(t.leaf_names[0], t.leaf_names[1]); },
         "leaf names are not sorted and unique"},
        {[](SplitTable& t) { t.ids[1] = t.ids[0]; },
         "split ids of a tree are not ascending ids of the table"},
        {[](SplitTable& t) { t.indptr[1] = -1; }, "tree offsets or groups out of order"},
        {[](SplitTable& t) { t.lengths.pop_back(); }, "branch lengths do not match the split ids"},
    };
    for (const auto& [edit, message] : cases) {
        SplitTable t = table_of(kTexts, false);
        ASSERT_EQ(t.n_splits(), 8u);
        edit(t);
        auto refused = SplitTable::from_bytes(t.to_bytes());
        ASSERT_FALSE(refused) << message;
        EXPECT_EQ(refused.error(), "damaged split table: " + message);
    }
}

}  // namespace
}  // namespace kestrilune
