// Tests of the camera model's mapping from depth quality and binning to the host's engine work.
#include "CameraModel.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace Tarnwell::test {
namespace {

using namespace Orvel::detail;

struct Mapping {
    std::size_t quality;
    std::int64_t binning;
    int width;
    int height;
    int disparities;
    int paths;
};

class EngineWork : public testing::TestWithParam<Mapping> {};

// Makes sure the depth image is the eye divided by binning and quality, the range likewise, and
// that only Full pays for eight paths. Example failure: the range divided by the quality alone,
// so a binned camera searches twice the disparities its views can have.
TEST_P(EngineWork, FollowsQualityAndBinning) {
    const Mapping m = GetParam();
    Settings settings;
    settings.quality = m.quality;
    settings.binningHorizontal = settings.binningVertical = m.binning;
    const Tarnwell::stereo::StereoConfig config = EngineConfigFor(settings);
    EXPECT_EQ(config.width, m.width);
    EXPECT_EQ(config.height, m.height);
    EXPECT_EQ(config.disparities, m.disparities);
    EXPECT_EQ(config.paths, m.paths);
    EXPECT_TRUE(config.subpixel);
    EXPECT_TRUE(config.leftRightCheck);
    EXPECT_NO_THROW(Tarnwell::stereo::ValidateConfig(config));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EngineWork,
    testing::Values(Mapping{kFull, 1, 1920, 1200, 256, 8}, Mapping{kHigh, 1, 960, 600, 128, 4},
                    Mapping{kMedium, 1, 480, 300, 64, 4}, Mapping{kLow, 1, 240, 150, 32, 4},
                    Mapping{kFull, 2, 960, 600, 128, 8}, Mapping{kHigh, 2, 480, 300, 64, 4},
                    Mapping{kFull, 4, 480, 300, 64, 8}, Mapping{kLow, 4, 60, 37, 8, 4}));

}  // namespace
}  // namespace Tarnwell::test
