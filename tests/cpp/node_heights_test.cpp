#include "stats/node_heights.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kestrilune::stats {
namespace {

// Two trees over A, B, C (splits 0, 1, 2 the tips, 3 = AB, 4 = BC):
//   ((A:1,B:2):1,C:4)  and  (A:-1,(B:0.5,C:1.5):1)   (a negative length counts as 0)
struct Example {
    std::vector<std::int64_t> indptr = {0, 4, 8};
    std::vector<std::uint32_t> ids = {0, 1, 2, 3, 0, 1, 2, 4};
    std::vector<std::int32_t> parents = {3, 3, -1, -1, -1, 4, 4, -1};
    std::vector<double> lengths = {1, 2, 4, 1, -1, 0.5, 1.5, 1};
    std::vector<std::int32_t> leaf_of_split = {0, 1, 2, -1, -1};
    TreeRows rows() const { return {indptr, ids, parents, lengths, leaf_of_split}; }
};

TEST(NodeHeights, HeightsAndCommonAncestorsOfEachTree) {
    const Example ex;
    // rows: A, B, C, mrca(A, B), mrca(A, B, C), the root, mrca(B, C)
    const std::vector<PlanRow> plan = {{0, -1}, {1, -1}, {2, -1}, {0, 1},
                                       {3, 2},  {-1, -1}, {1, 2}};
    std::vector<double> h(8 + 2), ca(plan.size() * 2);
    std::atomic<std::uint64_t> done{0};
    ASSERT_FALSE(node_heights(ex.rows(), 0, 2, plan, h, ca, &done));
    EXPECT_EQ(h, (std::vector<double>{2, 1, 0, 3, 2.5, 1, 0, 1.5, 4, 2.5}));
    // tree 0 in column 0, tree 1 in column 1
    EXPECT_EQ(ca, (std::vector<double>{2, 2.5, 1, 1, 0, 0, 3, 2.5, 4, 2.5, 4, 2.5, 4, 1.5}));
    EXPECT_EQ(done.load(), 2u);

    std::vector<double> h1(4 + 1), ca1(plan.size());  // the second tree alone
    ASSERT_FALSE(node_heights(ex.rows(), 1, 2, plan, h1, ca1, nullptr));
    EXPECT_EQ(h1, (std::vector<double>{2.5, 1, 0, 1.5, 2.5}));
}

TEST(NodeHeights, InputsThatAreNoTreesAreNamed) {
    const std::vector<PlanRow> plan = {{0, -1}, {1, -1}, {0, 1}};
    std::vector<double> h(5), ca(3);
    Example cycle;
    cycle.indptr = {0, 4};
    cycle.ids.resize(4);
    cycle.parents = {1, 0, -1, -1};  // A's parent is B, B's is A
    cycle.lengths.resize(4);
    EXPECT_EQ(node_heights(cycle.rows(), 0, 1, plan, h, ca, nullptr).value_or(""),
              "tree 0 is not a rooted tree holding every leaf (its rows name a parent it "
              "lacks, a cycle, or no tip for a leaf)");
    Example ex;
    EXPECT_TRUE(node_heights(ex.rows(), 0, 1, std::vector<PlanRow>{{0, 0}}, h, ca, nullptr));
    EXPECT_TRUE(node_heights(ex.rows(), 0, 1, std::vector<PlanRow>{{3, -1}}, h, ca, nullptr));
    EXPECT_TRUE(node_heights(ex.rows(), 1, 3, plan, h, ca, nullptr));  // no tree 2
    EXPECT_TRUE(node_heights(ex.rows(), 0, 1, plan, std::span<double>(h).first(4), ca, nullptr));
    ex.ids[1] = 5;  // beyond leaf_of_split
    EXPECT_TRUE(node_heights(ex.rows(), 0, 1, plan, h, ca, nullptr));
}

TEST(GatherByRow, RunsInEntryOrderAndOverflowsNamed) {
    // splits 0..4; rows: split 3 -> 0, split 1 -> 1, the others none
    const std::vector<std::uint32_t> ids = {0, 3, 1, 3, 2, 1, 3};
    const std::vector<std::int32_t> row_of = {-1, 1, -1, 0, -1};
    const std::vector<double> a = {0, 1, 2, 3, 4, 5, 6}, b = {10, 11, 12, 13, 14, 15, 16};
    const std::vector<std::int64_t> starts = {0, 3, 5};
    std::vector<std::int64_t> filled = {0, 0};
    std::vector<double> out_a(5, -1), out_b(5, -1);
    ASSERT_FALSE(gather_by_row(ids, row_of, a, b, starts, filled, out_a, out_b));
    EXPECT_EQ(out_a, (std::vector<double>{1, 3, 6, 2, 5}));
    EXPECT_EQ(out_b, (std::vector<double>{11, 13, 16, 12, 15}));
    EXPECT_EQ(filled, (std::vector<std::int64_t>{3, 2}));
    // A second chunk would pass row 0's run; a split id, row or array out of range.
    EXPECT_EQ(gather_by_row(ids, row_of, a, b, starts, filled, out_a, out_b).value_or(""),
              "row 0 has more values than its run holds");
    filled = {0, 0};
    const std::vector<std::uint32_t> far = {5};
    EXPECT_TRUE(gather_by_row(far, row_of, a, b, starts, filled, out_a, out_b));
    const std::vector<std::int32_t> row_two = {2, 2, 2, 2, 2};
    EXPECT_TRUE(gather_by_row(ids, row_two, a, b, starts, filled, out_a, out_b));
    EXPECT_TRUE(gather_by_row(ids, row_of, std::span<const double>(a).first(3), b, starts,
                              filled, out_a, out_b));
    EXPECT_TRUE(gather_by_row(ids, row_of, a, b, starts, filled,
                              std::span<double>(out_a).first(2), out_b));
}

}  // namespace
}  // namespace kestrilune::stats
