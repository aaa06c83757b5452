// Tests of the snapshot's pictures: the colour maps and what each component becomes.
#include "Pictures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

using namespace TarnwellSnapshot;

namespace {

double Luma(Rgb c) {
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

}  // namespace

// Makes sure both maps run from dark to light without a step back and hold their ends outside
// [0, 1]. Example failure: a mistyped stop makes one band of the scene look nearer than the band
// in front of it, or NaN indexes outside the table.
TEST(ColourMaps, GrowLighterFromEndToEnd) {
    for (Rgb (*map)(double) : {&Viridis, &Inferno}) {
        double previous = -1;
        // Quarters of the steps between stops: finer ones may round to the same colour.
        for (int i = 0; i <= 64; ++i) {
            const double luma = Luma(map(i / 64.0));
            EXPECT_GT(luma, previous) << "at " << i << "/64";
            previous = luma;
        }
        EXPECT_EQ(map(-0.5), map(0));
        EXPECT_EQ(map(7), map(1));
        EXPECT_EQ(map(std::numeric_limits<double>::quiet_NaN()), map(0));
    }
}

// Makes sure invalid disparities are black, the nearest valid ones lightest, and a few wild
// matches do not squeeze the rest of the scene into one end of the map; a flat or empty scene
// divides by nothing. Example failure: the map spans the raw minimum and maximum, so three
// outliers at 4000 pixels leave the whole scene in the darkest colour.
TEST(DisparityPicture, SpansTheSceneAndMarksInvalidPixels) {
    std::vector<std::uint16_t> disparities;
    for (std::uint16_t d = 0; d < 1000; ++d) {
        disparities.push_back(static_cast<std::uint16_t>(16 * d));
    }
    disparities.insert(disparities.end(), {64000, 64000, 64000, kInvalidDisparity});
    const Picture picture = DisparityPicture(1004, 1, disparities);
    ASSERT_EQ(picture.channels, 3);
    EXPECT_EQ(picture.At(0, 0), Viridis(0));
    EXPECT_EQ(picture.At(1003, 0), kInvalidDisparityColour);
    EXPECT_EQ(picture.At(1000, 0), Viridis(1));
    const Rgb middle = picture.At(500, 0);
    EXPECT_NEAR(Luma(middle), Luma(Viridis(0.5)), 10);

    const std::vector<std::uint16_t> flat(6, 320);
    EXPECT_EQ(DisparityPicture(3, 2, flat).At(2, 1), Viridis(0.5));
    const std::vector<std::uint16_t> none(4, kInvalidDisparity);
    EXPECT_TRUE(SpannedRange(none).empty);
    EXPECT_EQ(DisparityPicture(2, 2, none).At(1, 1), kInvalidDisparityColour);
}

// Makes sure an error of a whole pixel or more is the lightest colour, no error the darkest,
// and an unknown error grey, apart from every colour of the map. Example failure: 255 (unknown)
// is drawn as the largest error, so occluded areas look like mismatches.
TEST(ErrorPicture, ScalesToOnePixelAndMarksUnknownOnes) {
    const std::vector<std::uint8_t> errors{0, 8, 16, 100, 254, kUnknownError};
    const Picture picture = ErrorPicture(6, 1, errors);
    EXPECT_EQ(picture.At(0, 0), Inferno(0));
    EXPECT_EQ(picture.At(1, 0), Inferno(0.5));
    EXPECT_EQ(picture.At(2, 0), Inferno(1));
    EXPECT_EQ(picture.At(3, 0), Inferno(1));
    EXPECT_EQ(picture.At(4, 0), Inferno(1));
    EXPECT_EQ(picture.At(5, 0), kUnknownErrorColour);
    for (int i = 0; i <= 64; ++i) {
        EXPECT_NE(Inferno(i / 64.0), kUnknownErrorColour);
    }
}

// Makes sure a picture that cannot be written says so, naming the file. Example failure: a
// missing output directory leaves no file and the program reports success.
TEST(WritePng, RaisesNamingTheFile) {
    const Picture picture = GreyPicture(1, 1, std::vector<std::uint8_t>{7});
    try {
        WritePng(picture, "/nonexistent-directory/frame-left.png");
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent-directory/frame-left.png"),
                  std::string::npos)
            << error.what();
    }
}
