// Split table: chunked collection, column order, parents and the byte form.
#include <gtest/gtest.h>

#include <string>
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
    EXPECT_EQ(parts.bips, whole->bips);

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
    std::vector<std::uint8_t> swapped = bytes;
    // The last two first-appearance ranks made equal: no longer a permutation.
    swapped[swapped.size() - 4] = swapped[swapped.size() - 8];
    auto refused = SplitTable::from_bytes(swapped);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "damaged split table: first-appearance ranks are not a permutation");
}

}  // namespace
}  // namespace kestrilune
