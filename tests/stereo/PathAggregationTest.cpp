// Tests of the path aggregation stage: every SIMD target against the plain definition, and that
// definition, with its rows of paths kept in place, against a textbook semi-global matcher that
// keeps every path of every pixel.
#include "PathAggregation.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "DisparitySelection.h"
#include "StageTestSupport.h"
#include "Validation.h"
#include "stereo/StereoEngine.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

// Matching costs that need no images: a hash of pixel and candidate, mostly small like real
// costs, now and then infinite; infinite where the matching cost stage makes them so.
std::uint8_t HashedCost(int x, int y, int d, int disparities) {
    if (d > x || d >= disparities) {
        return detail::kInfiniteCost;
    }
    std::uint32_t h =
        std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^ std::uint32_t(d) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h % 61 == 0 ? detail::kInfiniteCost
                       : static_cast<std::uint8_t>(h % (kMaxMatchingCost + 1));
}

// Stands in for both cost stages: the sweeps read the smoothed costs.
void NoRawCosts(const detail::StripeJob&, int) {}

void HashedCosts(const detail::StripeJob& job, int y) {
    const detail::KernelParams& p = *job.params;
    for (int x = 0; x < p.width; ++x) {
        for (int d = 0; d < p.paddedDisparities; ++d) {
            job.scratch->costs[std::size_t(x) * p.paddedDisparities + d] =
                HashedCost(x, y, d, p.disparities);
        }
    }
}

void HashedCostsOf(const detail::StripeJob& job, int y, int) {
    HashedCosts(job, y);
}

// The aggregation under test between hashed costs and the plain selection's consumers: refined
// and validated with both switched off, the output holds each pixel's winner, and its confidence
// the winner's and the second best's sums. The penalties follow the left image's random pixels.
const detail::RowKernels& Kernels(bool simd) {
    static const detail::RowKernels reference{"reference",
                                              NoRawCosts,
                                              HashedCosts,
                                              HashedCostsOf,
                                              detail::FourPathsForwardReference,
                                              detail::FourPathsBackwardReference,
                                              detail::EightPathsDownReference,
                                              detail::EightPathsUpReference,
                                              detail::RefineReference,
                                              detail::ValidateReference};
    static const detail::RowKernels vectors{"simd",
                                            NoRawCosts,
                                            HashedCosts,
                                            HashedCostsOf,
                                            detail::FourPathsForwardSimd,
                                            detail::FourPathsBackwardSimd,
                                            detail::EightPathsDownSimd,
                                            detail::EightPathsUpSimd,
                                            detail::RefineReference,
                                            detail::ValidateReference};
    return simd ? vectors : reference;
}

StereoConfig WinnersOnly(int width, int height, int disparities, int paths, int p1 = 7,
                         int p2 = 64) {
    StereoConfig config = StageConfig(width, height, disparities, paths);
    config.subpixel = false;
    config.leftRightCheck = false;
    config.p1 = p1;
    config.p2 = p2;
    return config;
}

struct Case {
    const char* name;
    StereoConfig config;
    int forwardRows;  // eight paths: the upward pass restarts every this many rows
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class AggregationTest : public testing::TestWithParam<Case> {};

// Makes sure every SIMD target sweeps the rows as the plain definition does: the same winners,
// winner costs and second best costs for every pixel, through rings of paths that move every row,
// padded ranges, infinite costs, large penalties that saturate and, with eight paths, upward passes
// restarting below blocks of rows. Example failure: a diagonal path read from the neighbour on the
// other side, or a sum saturating in a different order.
TEST_P(AggregationTest, SimdTargetsMatchTheDefinition) {
    const Case c = GetParam();
    Stripe expected(c.config, c.forwardRows);
    std::mt19937 random(5);
    FillRandom(expected.left, random);
    detail::RunStripe(Kernels(false), expected.job);
    const auto targets = SupportedSimdTargets();
    if (targets.empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    for (const std::int64_t target : targets) {
        const TargetScope scope(target);
        Stripe actual(c.config, c.forwardRows);
        CopyPixels(expected.left, actual.left);
        detail::RunStripe(Kernels(true), actual.job);
        for (int y = 0; y < c.config.height; ++y) {
            ASSERT_TRUE(std::equal(expected.disparity.Row(y),
                                   expected.disparity.Row(y) + c.config.width,
                                   actual.disparity.Row(y)))
                << hwy::TargetName(target) << " row " << y;
            ASSERT_TRUE(std::equal(expected.confidence.Row(y),
                                   expected.confidence.Row(y) + c.config.width,
                                   actual.confidence.Row(y)))
                << hwy::TargetName(target) << " row " << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AggregationTest,
    testing::Values(Case{"FourPaths", WinnersOnly(70, 12, 40, 4), 0},
                    Case{"FourPathsWide", WinnersOnly(140, 6, 250, 4), 0},
                    Case{"FourPathsHighPenalty", WinnersOnly(50, 9, 64, 4, 3, 200), 0},
                    Case{"EightPaths", WinnersOnly(70, 12, 40, 8), 0},
                    Case{"EightPathsBlocks", WinnersOnly(45, 23, 100, 8), 5},
                    Case{"EightPathsWide", WinnersOnly(90, 7, 192, 8), 3},
                    Case{"EightPathsHighPenalty", WinnersOnly(50, 9, 64, 8, 3, 200), 4}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A textbook semi-global matcher: every path of every pixel in full, from the hashed costs.
class Textbook {
public:
    Textbook(const detail::KernelParams& p, const Image<std::uint8_t>& left)
        : p_(p), left_(left), dp_(p.paddedDisparities), sums_(Index(p.width, p.height, 0), 0) {}

    // Adds the path arriving from the neighbour at (-dx, -dy), less its minimum where asked.
    void AddPath(int dx, int dy, bool relative) {
        std::vector<int> path(Index(p_.width, p_.height, 0), 0);
        std::vector<int> least(std::size_t(p_.width) * p_.height, 0);
        const int w = p_.width;
        const int h = p_.height;
        for (int i = 0; i < h; ++i) {
            const int y = dy < 0 ? h - 1 - i : i;
            for (int j = 0; j < w; ++j) {
                const int x = dx < 0 ? w - 1 - j : j;
                const int px = x - dx;
                const int py = y - dy;
                const bool inside = px >= 0 && px < w && py >= 0 && py < h;
                const int m = inside ? least[std::size_t(py) * w + px] : 0;
                const int p2 =
                    inside ? detail::LargePenalty(p_, std::abs(left_.At(x, y) - left_.At(px, py)))
                           : p_.p2;
                auto previous = [&](int d) {
                    if (d < 0 || d >= dp_) {
                        return 1 << 20;
                    }
                    return inside ? path[Index(px, py, d)] : 0;
                };
                int low = 1 << 20;
                for (int d = 0; d < dp_; ++d) {
                    const int step = std::min(
                        {previous(d), std::min(previous(d - 1), previous(d + 1)) + p_.p1, m + p2});
                    const int value = std::min(255, HashedCost(x, y, d, p_.disparities) + step - m);
                    path[Index(x, y, d)] = value;
                    low = std::min(low, value);
                }
                least[std::size_t(y) * w + x] = low;
            }
        }
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                for (int d = 0; d < dp_; ++d) {
                    sums_[Index(x, y, d)] +=
                        path[Index(x, y, d)] - (relative ? least[std::size_t(y) * w + x] : 0);
                }
            }
        }
    }

    // The winner's disparity (whole pixels) and confidence, as the engine outputs them.
    std::pair<std::uint16_t, std::uint8_t> Output(int x, int y) const {
        int winner = 0;
        for (int d = 1; d < dp_; ++d) {
            if (Sum(x, y, d) < Sum(x, y, winner)) {
                winner = d;
            }
        }
        int second = 255;
        for (int d = 0; d < dp_; ++d) {
            if (std::abs(d - winner) > 1) {
                second = std::min(second, Sum(x, y, d));
            }
        }
        const int best = Sum(x, y, winner);
        if (best >= 255) {
            return {kInvalidDisparity, 0};
        }
        return {static_cast<std::uint16_t>(winner * kDisparityScale),
                detail::Confidence(best, second)};
    }

private:
    std::size_t Index(int x, int y, int d) const {
        return (std::size_t(y) * p_.width + x) * dp_ + d;
    }
    int Sum(int x, int y, int d) const { return std::min(255, sums_[Index(x, y, d)]); }

    detail::KernelParams p_;
    const Image<std::uint8_t>& left_;
    int dp_;
    std::vector<int> sums_;
};

// Makes sure the plain definition, which keeps only one row of each path and moves it around a
// ring, is semi-global matching: four paths (left, right, top, top-right) summed as they are;
// eight paths each less its minimum; each step's P2 from the grey levels of the two pixels it
// joins. Example failure: a ring slot overwritten while the next pixel still reads it, the border
// slots not reset to zero for the next row, or a diagonal path's penalty taken from the pixel
// above instead of the one it comes from.
TEST(AggregationDefinitionTest, AgreesWithTheTextbookOnOneStripe) {
    for (const int paths : {4, 8}) {
        const StereoConfig config = WinnersOnly(37, 11, 70, paths);
        Stripe stripe(config);
        std::mt19937 random(paths);
        FillRandom(stripe.left, random);
        detail::RunStripe(Kernels(false), stripe.job);
        Textbook textbook(stripe.params, stripe.left);
        const bool relative = paths == 8;
        textbook.AddPath(1, 0, relative);
        textbook.AddPath(-1, 0, relative);
        textbook.AddPath(0, 1, relative);
        textbook.AddPath(-1, 1, relative);
        if (paths == 8) {
            textbook.AddPath(1, 1, relative);
            textbook.AddPath(0, -1, relative);
            textbook.AddPath(-1, -1, relative);
            textbook.AddPath(1, -1, relative);
        }
        for (int y = 0; y < config.height; ++y) {
            for (int x = 0; x < config.width; ++x) {
                const auto [disparity, confidence] = textbook.Output(x, y);
                ASSERT_EQ(stripe.disparity.At(x, y), disparity)
                    << paths << " paths at " << x << "," << y;
                ASSERT_EQ(stripe.confidence.At(x, y), confidence)
                    << paths << " paths at " << x << "," << y;
            }
        }
    }
}

}  // namespace
}  // namespace Tarnwell::test
