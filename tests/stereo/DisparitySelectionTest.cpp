// Tests of the disparity selection stage: the winner's definition, and the sub-pixel refinement
// of every SIMD target against the plain one.
#include "DisparitySelection.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <random>

#include "StageTestSupport.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

// Makes sure the winner is the first of equally cheap candidates, the second best leaves out the
// winner's neighbours but nothing else, and a neighbour beyond the range reads infinite. Example
// failure: the last of two equal minima winning, which moves disparities on flat cost curves.
TEST(SelectionDefinitionTest, FirstLeastWinsAndNeighboursStayOutOfTheSecond) {
    Stripe stripe(StageConfig(4, 1, 64));
    std::uint8_t* sums = stripe.Scratch().sums;
    const detail::Selection& s = stripe.Scratch().selection;
    std::fill_n(sums, 64, 100);
    sums[10] = 5;
    sums[20] = 5;
    sums[11] = 6;
    sums[30] = 7;
    using Record = detail::WinnerRecord;
    detail::SelectReference(stripe.job, 0, sums);
    EXPECT_EQ(Record::Winner(s.record[0]), 10);
    EXPECT_EQ(Record::Cost(s.record[0]), 5);
    EXPECT_EQ(Record::Before(s.record[0]), 100);
    EXPECT_EQ(Record::After(s.record[0]), 6);
    EXPECT_EQ(s.second[0], 5);  // candidate 20, two away

    std::fill_n(sums, 64, 100);
    sums[0] = 1;
    sums[1] = 2;
    sums[2] = 3;
    detail::SelectReference(stripe.job, 1, sums);
    EXPECT_EQ(Record::Winner(s.record[1]), 0);
    EXPECT_EQ(Record::Before(s.record[1]), detail::kInfiniteCost);
    EXPECT_EQ(s.second[1], 3);

    std::fill_n(sums, 64, 100);
    sums[63] = 1;
    detail::SelectReference(stripe.job, 2, sums);
    EXPECT_EQ(Record::Winner(s.record[2]), 63);
    EXPECT_EQ(Record::After(s.record[2]), detail::kInfiniteCost);
}

// Makes sure the parabola's vertex moves the disparity towards the cheaper neighbour by the
// right sixteenths, rounded half away from zero, and stays on the winner at the ends of the
// range or where a neighbour is infinite. Example failure: the offset's sign flipped.
TEST(SelectionDefinitionTest, SubpixelFollowsTheParabola) {
    EXPECT_EQ(detail::SubpixelDisparity(5, 10, 0, 10, 64), 5 * kDisparityScale);
    // (20 - 10) * 16 / (2 * 30) = 2.67: three sixteenths towards the cheaper neighbour, d+1.
    EXPECT_EQ(detail::SubpixelDisparity(5, 20, 0, 10, 64), 5 * kDisparityScale + 3);
    EXPECT_EQ(detail::SubpixelDisparity(5, 10, 0, 20, 64), 5 * kDisparityScale - 3);
    EXPECT_EQ(detail::SubpixelDisparity(0, 10, 0, 20, 64), 0);
    EXPECT_EQ(detail::SubpixelDisparity(63, 10, 0, 20, 64), 63 * kDisparityScale);
    EXPECT_EQ(detail::SubpixelDisparity(5, 255, 0, 20, 64), 5 * kDisparityScale);
}

// Makes sure every SIMD target refines a row exactly as the plain code does, over random winners
// and costs including infinite neighbours, zero denominators and the range's ends, with the
// vector loop's tail. Example failure: single-precision rounding of a vector division differing
// from the scalar one.
TEST(RefineTest, SimdTargetsMatchTheDefinition) {
    const int w = 203;
    const int range = 40;
    Stripe expected(StageConfig(w, 1, range));
    Stripe actual(StageConfig(w, 1, range));
    std::mt19937 random(11);
    std::uniform_int_distribution<int> winner(0, range - 1);
    std::uniform_int_distribution<int> cost(0, 60);
    std::uniform_int_distribution<int> neighbour(0, 255);
    const detail::Selection& e = expected.Scratch().selection;
    for (int x = 0; x < w; ++x) {
        const int at = cost(random);
        // Every seventh a zero denominator.
        const bool flat = x % 7 == 0;
        e.record[x] = detail::WinnerRecord::Pack(winner(random), at, flat ? at : neighbour(random),
                                                 flat ? at : neighbour(random));
    }
    std::copy_n(e.record, w, actual.Scratch().selection.record);
    detail::RefineReference(expected.job, 0);
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    for (const std::int64_t target : targets) {
        const TargetScope scope(target);
        std::fill_n(actual.disparity.Row(0), w, 0);
        detail::RefineSimd(actual.job, 0);
        EXPECT_TRUE(std::equal(expected.disparity.Row(0), expected.disparity.Row(0) + w,
                               actual.disparity.Row(0)))
            << hwy::TargetName(target);
    }
}

}  // namespace
}  // namespace Tarnwell::test
