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
        s.record[x] = detail::WinnerRecord::Pack(0, 20, 0, 0);
        s.second[x] = 80;
        stripe.disparity.At(x, 0) = 0;
    }
    // Pixel 5 at disparity 2 lands on right pixel 3, which pixel 3 claims at 0 and cheaper.
    s.record[5] = detail::WinnerRecord::Pack(2, 30, 0, 0);
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
// with and without each check and the confidence image; the right view's winners mapped as the
// selection maps them for the vector kernels. Example failure: the gather of the right view's
// winners reading the neighbouring entry.
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
    for (int x = 0; x < w; ++x) {
        const int winner = std::uniform_int_distribution<int>(0, std::min(x, range - 1))(random);
        int cost = std::uniform_int_distribution<int>(0, 255)(random);
        cost = cost > 240 ? detail::kInfiniteCost : cost / 4;
        e.record[x] = detail::WinnerRecord::Pack(winner, cost, 0, 0);
        e.second[x] =
            static_cast<std::uint8_t>(std::uniform_int_distribution<int>(cost, 255)(random));
        const int offset = std::uniform_int_distribution<int>(-8, 8)(random);
        expected.disparity.At(x, 0) =
            static_cast<std::uint16_t>(std::max(0, winner * kDisparityScale + offset));
    }
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    for (const std::int64_t target : targets) {
        const TargetScope scope(target);
        Stripe actual(config);
        const detail::Selection& a = actual.Scratch().selection;
        std::copy_n(e.record, w, a.record);
        std::copy_n(e.second, w, a.second);
        detail::MapRightWinners(actual.params, a);
        std::copy_n(expected.disparity.Row(0), w, actual.disparity.Row(0));
        if (!settings.confidence) {
            actual.job.output.confidence = {};
        }
        detail::ValidateSimd(actual.job, 0);
        Stripe reference(config);
        const detail::Selection& r = reference.Scratch().selection;
        std::copy_n(e.record, w, r.record);
        std::copy_n(e.second, w, r.second);
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
