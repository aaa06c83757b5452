// Tests of the validation stage: what the left-right check rejects, and every SIMD target against
// the plain checks and confidence.
#include "Validation.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <ostream>
#include <random>

#include "StageTestSupport.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

// Makes sure a pixel whose right partner is claimed more cheaply by a pixel with a disparity more
// than the tolerance away is invalid and carries no confidence, while the claimant stays valid.
// Example failure: the right view's winner kept as the first offer instead of the cheapest.
TEST(ValidationDefinitionTest, RightPartnerClaimedElsewhereInvalidates) {
    Stripe stripe(StageConfig(8, 1, 4));
    const detail::Selection& s = stripe.Scratch().selection;
    for (int x = 0; x < 8; ++x) {
        s.winner[x] = 0;
        s.winnerCost[x] = 20;
        s.second[x] = 80;
        stripe.disparity.At(x, 0) = 0;
    }
    // Pixel 5 at disparity 2 lands on right pixel 3, which pixel 3 claims at 0 and cheaper.
    s.winner[5] = 2;
    s.winnerCost[5] = 30;
    stripe.disparity.At(5, 0) = 2 * kDisparityScale;
    detail::ValidateReference(stripe.job, 0);
    EXPECT_EQ(stripe.disparity.At(5, 0), kInvalidDisparity);
    EXPECT_EQ(stripe.confidence.At(5, 0), 0);
    EXPECT_EQ(stripe.disparity.At(3, 0), 0);
    EXPECT_EQ(stripe.confidence.At(3, 0), detail::Confidence(20, 80));
}

struct Settings {
    bool leftRightCheck;
    int uniqueness;
    bool confidence;
};

void PrintTo(const Settings& s, std::ostream* os) {
    *os << "check " << s.leftRightCheck << " uniqueness " << s.uniqueness << " confidence "
        << s.confidence;
}

class ValidateTest : public testing::TestWithParam<Settings> {};

// Makes sure every SIMD target validates a row exactly as the plain code does: random winners,
// costs (some infinite), second best costs and sub-pixel disparities on both sides of the winner,
// with and without each check and the confidence image. Example failure: the gather of the right
// view's winners reading the neighbouring entry.
TEST_P(ValidateTest, SimdTargetsMatchTheDefinition) {
    const Settings settings = GetParam();
    const int w = 211;
    const int range = 48;
    StereoConfig config = StageConfig(w, 1, range);
    config.leftRightCheck = settings.leftRightCheck;
    config.uniqueness = settings.uniqueness;
    Stripe expected(config);
    std::mt19937 random(5);
    const detail::Selection& e = expected.Scratch().selection;
    FillRandom(e.winnerCost, w, random, 0, 255);
    for (int x = 0; x < w; ++x) {
        e.winner[x] = static_cast<std::uint8_t>(
            std::uniform_int_distribution<int>(0, std::min(x, range - 1))(random));
        e.winnerCost[x] = e.winnerCost[x] > 240 ? detail::kInfiniteCost : e.winnerCost[x] / 4;
        e.second[x] = static_cast<std::uint8_t>(
            std::uniform_int_distribution<int>(e.winnerCost[x], 255)(random));
        const int offset = std::uniform_int_distribution<int>(-8, 8)(random);
        expected.disparity.At(x, 0) =
            static_cast<std::uint16_t>(std::max(0, e.winner[x] * kDisparityScale + offset));
    }
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    for (const std::int64_t target : targets) {
        const TargetScope scope(target);
        Stripe actual(config);
        const detail::Selection& a = actual.Scratch().selection;
        for (auto [from, to] :
             {std::pair{e.winner, a.winner}, std::pair{e.winnerCost, a.winnerCost},
              std::pair{e.second, a.second}}) {
            std::copy_n(from, w, to);
        }
        std::copy_n(expected.disparity.Row(0), w, actual.disparity.Row(0));
        if (!settings.confidence) {
            actual.job.output.confidence = {};
        }
        detail::ValidateSimd(actual.job, 0);
        Stripe reference(config);
        const detail::Selection& r = reference.Scratch().selection;
        for (auto [from, to] :
             {std::pair{e.winner, r.winner}, std::pair{e.winnerCost, r.winnerCost},
              std::pair{e.second, r.second}}) {
            std::copy_n(from, w, to);
        }
        std::copy_n(expected.disparity.Row(0), w, reference.disparity.Row(0));
        detail::ValidateReference(reference.job, 0);
        EXPECT_TRUE(std::equal(reference.disparity.Row(0), reference.disparity.Row(0) + w,
                               actual.disparity.Row(0)))
            << hwy::TargetName(target);
        if (settings.confidence) {
            EXPECT_TRUE(std::equal(reference.confidence.Row(0), reference.confidence.Row(0) + w,
                                   actual.confidence.Row(0)))
                << hwy::TargetName(target);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, ValidateTest,
                         testing::Values(Settings{true, 0, true}, Settings{false, 0, true},
                                         Settings{true, 15, false}));

}  // namespace
}  // namespace Tarnwell::test
