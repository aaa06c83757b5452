// Tests of the error image and the bad-pixel statistics against a truth.
#include "stereo/Evaluation.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "stereo/StereoEngine.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

struct Pixel {
    std::uint16_t disparity;
    float truth;
    std::uint8_t visible;
    std::uint8_t error;
};

class ErrorImageTest : public testing::TestWithParam<Pixel> {};

// The error counts sixteenths of a pixel, saturates below the "no error" value, and is "no error"
// where there is no estimate or the right camera does not see the pixel. A truth far out of any
// range saturates too. Example failure: a true disparity of 1e20 px reads "error 0" (an
// overflowing conversion, undefined behaviour).
TEST_P(ErrorImageTest, MeasuresInSixteenthsOfAPixel) {
    const Pixel p = GetParam();
    Image<std::uint16_t> disparity(1, 1, p.disparity);
    Image<float> truth(1, 1, p.truth);
    Image<std::uint8_t> visible(1, 1, p.visible);
    Image<std::uint8_t> error(1, 1);
    ComputeErrorImage(disparity.View(), truth.View(), visible.View(), error.View());
    EXPECT_EQ(error.At(0, 0), p.error);
}

INSTANTIATE_TEST_SUITE_P(Pixels, ErrorImageTest,
                         testing::Values(Pixel{10 * kDisparityScale, 10.0f, 1, 0},
                                         Pixel{10 * kDisparityScale + 8, 10.0f, 1, 8},
                                         Pixel{10 * kDisparityScale, 10.5f, 1, 8},
                                         Pixel{0, 3.0f, 1, 48},
                                         Pixel{40 * kDisparityScale, 10.0f, 1, kMaxError},
                                         Pixel{10 * kDisparityScale, 1e20f, 1, kMaxError},
                                         Pixel{10 * kDisparityScale, -3e38f, 1, kMaxError},
                                         Pixel{kInvalidDisparity, 10.0f, 1, kNoError},
                                         Pixel{10 * kDisparityScale, 10.0f, 0, kNoError}));

TEST(EvaluateDisparityTest, CountsMissingAndWrongPixelsOverVisibleOnes) {
    Image<std::uint16_t> disparity(4, 1);
    Image<float> truth(4, 1, 5.0f);
    Image<std::uint8_t> visible(4, 1, 1);
    disparity.At(0, 0) = 5 * kDisparityScale;  // right
    disparity.At(1, 0) = 8 * kDisparityScale;  // off by 3
    disparity.At(2, 0) = kInvalidDisparity;    // missing
    disparity.At(3, 0) = 9 * kDisparityScale;  // off, but hidden from the right camera
    visible.At(3, 0) = 0;
    const DisparityStats stats =
        EvaluateDisparity(disparity.View(), truth.View(), visible.View(), 2.0);
    EXPECT_EQ(stats.evaluated, 3u);
    EXPECT_EQ(stats.invalid, 1u);
    EXPECT_EQ(stats.bad, 2u);
    EXPECT_DOUBLE_EQ(stats.MeanAbsoluteError(), 1.5);

    const DisparityStats right = EvaluateDisparity(disparity.View(), truth.View(), {}, 2.0, 1);
    EXPECT_EQ(right.evaluated, 3u);
    EXPECT_EQ(right.bad, 3u);
}

TEST(EvaluateDisparityTest, RefusesImagesOfDifferentSizes) {
    Image<std::uint16_t> disparity(4, 2);
    Image<float> truth(4, 1);
    Image<std::uint8_t> error(4, 2);
    EXPECT_THROW(EvaluateDisparity(disparity.View(), truth.View(), {}, 2.0), std::invalid_argument);
    EXPECT_THROW(ComputeErrorImage(disparity.View(), truth.View(), {}, error.View()),
                 std::invalid_argument);
}

}  // namespace
}  // namespace Tarnwell::test
