// Tests of reducing an image by whole blocks.
#include "stereo/Downsample.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

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
