// Tests of the mapping from depth quality and binning to the engine's work, and of downsampling.
#include "stereo/DepthQuality.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

struct Mapping {
    DepthQuality quality;
    int binning;
    int width;
    int height;
    int disparities;
    int paths;
};

class DepthQualityTest : public testing::TestWithParam<Mapping> {};

// The depth image is the eye divided by binning and quality, the range likewise; only "Full"
// pays for eight paths.
TEST_P(DepthQualityTest, ChoosesSizeRangeAndPaths) {
    const Mapping m = GetParam();
    const StereoConfig config = StereoConfigFor(m.quality, m.binning);
    EXPECT_EQ(config.width, m.width);
    EXPECT_EQ(config.height, m.height);
    EXPECT_EQ(config.disparities, m.disparities);
    EXPECT_EQ(config.paths, m.paths);
    EXPECT_TRUE(config.subpixel);
    EXPECT_TRUE(config.leftRightCheck);
    EXPECT_NO_THROW(ValidateConfig(config));
}

INSTANTIATE_TEST_SUITE_P(Table, DepthQualityTest,
                         testing::Values(Mapping{DepthQuality::Full, 1, 1920, 1200, 256, 8},
                                         Mapping{DepthQuality::High, 1, 960, 600, 128, 4},
                                         Mapping{DepthQuality::Medium, 1, 480, 300, 64, 4},
                                         Mapping{DepthQuality::Low, 1, 240, 150, 32, 4},
                                         Mapping{DepthQuality::Full, 2, 960, 600, 128, 8},
                                         Mapping{DepthQuality::High, 2, 480, 300, 64, 4},
                                         Mapping{DepthQuality::Full, 4, 480, 300, 64, 8},
                                         Mapping{DepthQuality::Low, 4, 60, 37, 8, 4}));

TEST(DepthQualityNamesTest, ParsesTheFourNamesExactly) {
    EXPECT_EQ(ParseDepthQuality("Low"), DepthQuality::Low);
    EXPECT_EQ(ParseDepthQuality("Medium"), DepthQuality::Medium);
    EXPECT_EQ(ParseDepthQuality("High"), DepthQuality::High);
    EXPECT_EQ(ParseDepthQuality("Full"), DepthQuality::Full);
    EXPECT_FALSE(ParseDepthQuality("high").has_value());
    EXPECT_FALSE(ParseDepthQuality("Full ").has_value());
    EXPECT_FALSE(ParseDepthQuality("").has_value());
}

TEST(DepthQualityNamesTest, RefusesBinningsTheCameraHasNot) {
    for (const int binning : {0, 3, -1, 8}) {
        EXPECT_THROW(StereoConfigFor(DepthQuality::High, binning), std::invalid_argument)
            << binning;
    }
}

// Box average with rounding, and the remainder rows and columns dropped.
TEST(DownsampleTest, AveragesBlocks) {
    Image<std::uint8_t> source(5, 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) {
            source.At(x, y) = static_cast<std::uint8_t>(10 * x + y);
        }
    }
    Image<std::uint8_t> target(2, 1);
    Downsample(source.View(), 2, target.View());
    EXPECT_EQ(target.At(0, 0), 6);   // (0 + 10 + 1 + 11) / 4 = 5.5, rounded up
    EXPECT_EQ(target.At(1, 0), 26);  // (20 + 30 + 21 + 31) / 4 = 25.5

    Image<std::uint8_t> wrong(3, 1);
    EXPECT_THROW(Downsample(source.View(), 2, wrong.View()), std::invalid_argument);
    EXPECT_THROW(Downsample(source.View(), 0, target.View()), std::invalid_argument);
}

}  // namespace
}  // namespace Tarnwell::test
