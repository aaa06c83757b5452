// Tests of the matching cost stage: every SIMD target against the plain definition, and the
// definition's zero at the true shift and infinities outside the range.
#include "MatchingCost.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <vector>

#include "StageTestSupport.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

struct Size {
    int width;
    int height;
    int disparities;
};

void PrintTo(const Size& s, std::ostream* os) {
    *os << s.width << "x" << s.height << "x" << s.disparities;
}

class CostTest : public testing::TestWithParam<Size> {};

// Makes sure every SIMD target computes each row's costs as the plain definition does, for every
// candidate including the infinite ones, on random pixels (census bits and intensity differences
// of every size, above and below the cap) and at the image borders. Example failure: the reversed
// right census read one byte off after a permute, or the border mask one candidate short.
TEST_P(CostTest, SimdTargetsMatchTheDefinition) {
    const Size size = GetParam();
    const StereoConfig config = StageConfig(size.width, size.height, size.disparities);
    Stripe expected(config);
    Stripe actual(config);
    std::mt19937 random(7);
    FillRandom(expected.left, random);
    FillRandom(expected.right, random);
    CopyPixels(expected.left, actual.left);
    CopyPixels(expected.right, actual.right);
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    for (int y = 0; y < size.height; ++y) {
        detail::CostsReference(expected.job, y);
        const std::uint8_t* costs = detail::RawCosts(expected.job, y);
        for (const std::int64_t target : targets) {
            const TargetScope scope(target);
            std::fill_n(detail::RawCosts(actual.job, y), actual.RowBytes(), 0x5A);
            detail::CostsSimd(actual.job, y);
            ASSERT_TRUE(
                std::equal(costs, costs + expected.RowBytes(), detail::RawCosts(actual.job, y)))
                << hwy::TargetName(target) << " row " << y;
        }
    }
}

// Makes sure every SIMD target smooths a row's costs as the plain definition does, with random
// raw costs (infinite ones among them) in the rows around, at the first and last row and column,
// and in the candidates without a partner or beyond the range. Example failure: a vector sliding
// along the row one column late, or an average truncating where the definition rounds.
TEST_P(CostTest, SimdSmoothingMatchesTheDefinition) {
    const Size size = GetParam();
    Stripe stripe(StageConfig(size.width, size.height, size.disparities));
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    std::mt19937 random(11);
    std::vector<std::uint8_t> expected(stripe.RowBytes());
    for (int y = 0; y < size.height; ++y) {
        for (int r = std::max(y - 1, 0); r <= std::min(y + 1, size.height - 1); ++r) {
            FillRandom(detail::RawCosts(stripe.job, r), stripe.RowBytes(), random);
        }
        detail::SmoothReference(stripe.job, y);
        std::copy_n(stripe.Scratch().costs, expected.size(), expected.begin());
        for (const std::int64_t target : targets) {
            const TargetScope scope(target);
            std::fill_n(stripe.Scratch().costs, stripe.RowBytes(), 0x5A);
            detail::SmoothSimd(stripe.job, y);
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), stripe.Scratch().costs))
                << hwy::TargetName(target) << " row " << y;
        }
    }
}

// Makes sure every SIMD target's costs of one row computed on the way through the smoothing of its
// neighbour are the plain definition's, for the row below (downward passes) and above (upward
// ones), at the first and last row where there is none, raw costs and smoothed alike. Example
// failure: the fresh row's costs used for the row above when the pass goes up, or its raw costs
// stored one pixel off.
TEST_P(CostTest, SimdCostsOnTheWayMatchTheDefinition) {
    const Size size = GetParam();
    const StereoConfig config = StageConfig(size.width, size.height, size.disparities);
    Stripe expected(config);
    Stripe actual(config);
    std::mt19937 random(13);
    FillRandom(expected.left, random);
    FillRandom(expected.right, random);
    CopyPixels(expected.left, actual.left);
    CopyPixels(expected.right, actual.right);
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    const int h = size.height;
    for (const std::int64_t target : targets) {
        const TargetScope scope(target);
        for (const int step : {1, -1}) {
            auto check = [&](int y, int next, Stripe& stripe) {
                return [&, y, next] {
                    for (const int r : {std::max(y - 1, 0), y, std::min(y + 1, h - 1)}) {
                        if (r != next) {
                            detail::CostsReference(stripe.job, r);
                        }
                    }
                };
            };
            for (int y = 0; y < h; ++y) {
                const int next = y + step >= 0 && y + step < h ? y + step : -1;
                check(y, next, expected)();
                check(y, next, actual)();
                detail::CostsAndSmoothReference(expected.job, y, next);
                std::fill_n(actual.Scratch().costs, actual.RowBytes(), 0x5A);
                if (next >= 0) {
                    std::fill_n(detail::RawCosts(actual.job, next), actual.RowBytes(), 0x5A);
                }
                detail::CostsAndSmoothSimd(actual.job, y, next);
                ASSERT_TRUE(std::equal(expected.Scratch().costs,
                                       expected.Scratch().costs + expected.RowBytes(),
                                       actual.Scratch().costs))
                    << hwy::TargetName(target) << " row " << y << " step " << step;
                if (next >= 0) {
                    const std::uint8_t* raw = detail::RawCosts(expected.job, next);
                    ASSERT_TRUE(std::equal(raw, raw + expected.RowBytes(),
                                           detail::RawCosts(actual.job, next)))
                        << hwy::TargetName(target) << " row " << next << " step " << step;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CostTest,
                         testing::Values(Size{77, 9, 37}, Size{130, 7, 64}, Size{200, 8, 130},
                                         Size{150, 3, 256}, Size{20, 7, 64}, Size{1, 1, 1}));

// Makes sure a right view that is the left one shifted by s pixels costs nothing at candidate s
// where the census window sees the same pixels, also once smoothed over the rows and columns
// around, and that candidates without a partner in the right view or beyond the range cost
// kInfiniteCost. Example failure: candidates counted from the wrong side, so that the minimum
// sits at -s or at the range's other end, or the smoothing mixing neighbouring candidates.
TEST(CostDefinitionTest, ZeroAtTheShiftAndInfiniteOutsideTheRange) {
    const int w = 60;
    const int h = 9;
    const int shift = 5;
    const StereoConfig config = StageConfig(w, h, 40);
    Stripe stripe(config);
    std::mt19937 random(3);
    FillRandom(stripe.left, random);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            stripe.right.At(x, y) = stripe.left.At(std::min(x + shift, w - 1), y);
        }
    }
    for (int y = h / 2 - 1; y <= h / 2 + 1; ++y) {
        detail::CostsReference(stripe.job, y);
    }
    detail::SmoothReference(stripe.job, h / 2);
    const int dp = stripe.params.paddedDisparities;
    for (int x = 0; x < w; ++x) {
        const std::uint8_t* costs = stripe.Scratch().costs + std::size_t(x) * dp;
        for (int d = 0; d < dp; ++d) {
            if (d > x || d >= config.disparities) {
                EXPECT_EQ(costs[d], detail::kInfiniteCost) << x << "," << d;
            } else {
                EXPECT_LE(costs[d], kMaxMatchingCost) << x << "," << d;
            }
        }
        // The smoothing reaches one column further.
        if (x >= shift + detail::kCensusRadius + 1 && x + detail::kCensusRadius + 1 < w - shift) {
            EXPECT_EQ(costs[shift], 0) << x;
            EXPECT_EQ(*std::min_element(costs, costs + config.disparities), 0) << x;
        }
    }
}

}  // namespace
}  // namespace Tarnwell::test
