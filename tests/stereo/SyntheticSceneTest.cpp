// Tests of the synthetic stereo scene: determinism, the truth's agreement with the images, motion.
#include "stereo/SyntheticScene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

SceneOptions Options(int width, int height, int disparities, std::uint64_t seed = 3) {
    SceneOptions options;
    options.width = width;
    options.height = height;
    options.disparities = disparities;
    options.seed = seed;
    return options;
}

template <class T>
bool SameImage(const Image<T>& a, const Image<T>& b) {
    for (int y = 0; y < a.Height(); ++y) {
        if (!std::equal(a.Row(y), a.Row(y) + a.Width(), b.Row(y))) {
            return false;
        }
    }
    return true;
}

bool SameFrame(const StereoFrame& a, const StereoFrame& b) {
    return SameImage(a.left, b.left) && SameImage(a.right, b.right) &&
           SameImage(a.truth, b.truth) && SameImage(a.visible, b.visible);
}

// Right view sampled at a fractional column, as the left view sees it there.
double Sample(const Image<std::uint8_t>& image, double x, int y) {
    const int i = static_cast<int>(std::floor(x));
    const double f = x - i;
    return image.At(i, y) * (1 - f) + image.At(i + 1, y) * f;
}

struct Geometry {
    int width;
    int height;
    int disparities;
};

class SceneGeometryTest : public testing::TestWithParam<Geometry> {};

// Makes sure the truth describes the pair: warping the right view by the left truth gives the left
// view back wherever both cameras see the surface and no depth edge is near. Example failure: a
// sign or half-pixel error in the right view's projection, which leaves every pixel off by the
// texture's gradient.
TEST_P(SceneGeometryTest, WarpingTheRightViewByTheTruthReproducesTheLeft) {
    const Geometry g = GetParam();
    SceneOptions options = SceneOptions::Easy();
    options.width = g.width;
    options.height = g.height;
    options.disparities = g.disparities;
    options.seed = 3;
    options.noiseSigma = 0;
    SyntheticScene scene(options);
    const StereoFrame frame = scene.Render(4);

    double sum = 0;
    std::size_t count = 0;
    std::vector<double> errors;
    for (int y = 0; y < g.height; ++y) {
        for (int x = 2; x < g.width - 2; ++x) {
            // Away from depth edges: the neighbours lie on the same plane.
            const float d = frame.truth.At(x, y);
            const bool smooth =
                std::abs(frame.truth.At(x - 2, y) + frame.truth.At(x + 2, y) - 2 * d) < 0.05f;
            const double xr = x - d;
            if (!frame.visible.At(x, y) || !smooth || xr < 1 || xr > g.width - 2) {
                continue;
            }
            const double error = std::abs(frame.left.At(x, y) - Sample(frame.right, xr, y));
            sum += error;
            errors.push_back(error);
            ++count;
        }
    }
    ASSERT_GT(count, std::size_t(g.width) * g.height / 2);
    std::sort(errors.begin(), errors.end());
    EXPECT_LT(sum / count, 2.0);
    EXPECT_LT(errors[errors.size() * 99 / 100], 10.0);
}

// Makes sure the scene is a matching problem: disparities inside the range with room on both
// sides, several depths, and pixels that only the left camera sees.
TEST_P(SceneGeometryTest, TruthSpansTheRangeWithOcclusions) {
    const Geometry g = GetParam();
    SyntheticScene scene(Options(g.width, g.height, g.disparities));
    const StereoFrame frame = scene.Render(0);

    float lowest = 1e9f;
    float highest = -1e9f;
    std::size_t hidden = 0;
    for (int y = 0; y < g.height; ++y) {
        for (int x = 0; x < g.width; ++x) {
            lowest = std::min(lowest, frame.truth.At(x, y));
            highest = std::max(highest, frame.truth.At(x, y));
            hidden += frame.visible.At(x, y) == 0;
        }
    }
    EXPECT_GT(lowest, 0.0f);
    EXPECT_LT(highest, g.disparities - 1.0f);
    EXPECT_GT(highest - lowest, 0.3f * g.disparities);
    const double hiddenShare = double(hidden) / (double(g.width) * g.height);
    EXPECT_GT(hiddenShare, 0.01);
    EXPECT_LT(hiddenShare, 0.5);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SceneGeometryTest,
                         testing::Values(Geometry{160, 100, 32}, Geometry{320, 200, 64},
                                         Geometry{97, 61, 24}, Geometry{480, 300, 96}));

// Makes sure the default scene is as hard as real ones where the easy one is not: surfaces without
// texture, the right view brighter or darker than the left, both darker towards the corners by
// the vignetting asked for. Example failure: the right view's gain applied to the left view as
// well, or the vignetting growing towards the centre.
TEST(SyntheticSceneTest, HardSceneHasFlatSurfacesAndBrightnessDifferences) {
    const int w = 320;
    const int h = 200;
    SceneOptions hard = Options(w, h, 64);
    hard.noiseSigma = 0;
    hard.motion = false;
    SceneOptions plain = hard;
    plain.brightnessDifference = 0;
    plain.vignetting = 0;
    const StereoFrame shaded = SyntheticScene(hard).Render(0);
    const StereoFrame even = SyntheticScene(plain).Render(0);
    // Same surfaces, so the views' ratio is the shading: 1 - vignetting in the corners of the left
    // view, 1 in its centre; the right view's gain and offset on top.
    auto ratio = [&](const Image<std::uint8_t>& a, const Image<std::uint8_t>& b, int x0, int y0) {
        double sa = 0;
        double sb = 0;
        for (int y = y0; y < y0 + 8; ++y) {
            for (int x = x0; x < x0 + 8; ++x) {
                sa += a.At(x, y);
                sb += b.At(x, y);
            }
        }
        return sa / sb;
    };
    EXPECT_NEAR(ratio(shaded.left, even.left, w / 2 - 4, h / 2 - 4), 1.0, 0.01);
    EXPECT_NEAR(ratio(shaded.left, even.left, 0, 0), 1 - hard.vignetting, 0.03);
    EXPECT_NEAR(ratio(shaded.left, even.left, w - 8, h - 8), 1 - hard.vignetting, 0.03);
    const double right = ratio(shaded.right, even.right, w / 2 - 4, h / 2 - 4);
    EXPECT_GT(std::abs(right - 1), 0.02);
    EXPECT_LT(std::abs(right - 1), 0.25);

    // Flat surfaces: 5x5 windows whose grey levels span no more than 3 levels.
    auto flatShare = [](const Image<std::uint8_t>& image) {
        std::size_t flat = 0;
        std::size_t windows = 0;
        for (int y = 2; y + 2 < image.Height(); y += 5) {
            for (int x = 2; x + 2 < image.Width(); x += 5) {
                int low = 255;
                int high = 0;
                for (int v = y - 2; v <= y + 2; ++v) {
                    for (int u = x - 2; u <= x + 2; ++u) {
                        low = std::min<int>(low, image.At(u, v));
                        high = std::max<int>(high, image.At(u, v));
                    }
                }
                flat += high - low <= 3;
                ++windows;
            }
        }
        return double(flat) / double(windows);
    };
    SceneOptions easy = SceneOptions::Easy();
    easy.width = w;
    easy.height = h;
    easy.disparities = 64;
    easy.seed = hard.seed;
    easy.noiseSigma = 0;
    EXPECT_GT(flatShare(shaded.left), 0.02);
    EXPECT_LT(flatShare(SyntheticScene(easy).Render(0).left), 0.005);
}

// Makes sure a frame depends on the seed and the frame number alone, so that the camera and the
// tests can reproduce any frame. Example failure: state carried from one Render to the next.
TEST(SyntheticSceneTest, FramesAreDeterministicAndIndependentOfOrder) {
    SyntheticScene first(Options(128, 80, 32, 11));
    SyntheticScene second(Options(128, 80, 32, 11));
    const StereoFrame a = first.Render(7);
    second.Render(2);
    second.Render(30);
    EXPECT_TRUE(SameFrame(a, second.Render(7)));

    SyntheticScene other(Options(128, 80, 32, 12));
    EXPECT_FALSE(SameImage(a.left, other.Render(7).left));
}

// Makes sure things move a little between frames, in the images and the truth alike.
TEST(SyntheticSceneTest, ObjectsMoveALittleFromFrameToFrame) {
    SyntheticScene scene(Options(200, 120, 40));
    const StereoFrame a = scene.Render(10);
    const StereoFrame b = scene.Render(11);
    std::size_t moved = 0;
    float largest = 0;
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < 200; ++x) {
            const float change = std::abs(a.truth.At(x, y) - b.truth.At(x, y));
            moved += change > 0;
            if (a.visible.At(x, y) && b.visible.At(x, y)) {
                largest = std::max(largest, change);
            }
        }
    }
    EXPECT_GT(moved, 0u);
    EXPECT_LT(moved, 200u * 120u / 2);

    SceneOptions still = Options(200, 120, 40);
    still.motion = false;
    still.noiseSigma = 0;
    SyntheticScene frozen(still);
    EXPECT_TRUE(SameFrame(frozen.Render(10), frozen.Render(11)));
}

// Makes sure the noise has the strength asked for and differs between the views and frames.
TEST(SyntheticSceneTest, SensorNoiseHasTheRequestedStrength) {
    SceneOptions options = Options(160, 100, 32);
    options.motion = false;
    options.noiseSigma = 0;
    const StereoFrame clean = SyntheticScene(options).Render(0);
    options.noiseSigma = 3;
    SyntheticScene noisy(options);
    const StereoFrame a = noisy.Render(0);
    const StereoFrame b = noisy.Render(1);
    double squares = 0;
    std::size_t count = 0;
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 160; ++x) {
            const int v = clean.left.At(x, y);
            if (v > 10 && v < 245) {  // away from clipping
                squares += std::pow(a.left.At(x, y) - v, 2);
                ++count;
            }
        }
    }
    const double sigma = std::sqrt(squares / count);
    EXPECT_GT(sigma, 2.4);
    EXPECT_LT(sigma, 3.6);
    EXPECT_FALSE(SameImage(a.left, b.left));
}

TEST(SyntheticSceneTest, RejectsTargetsOfAnotherSize) {
    SyntheticScene scene(Options(64, 48, 16));
    StereoFrame wrong(64, 47);
    EXPECT_THROW(scene.Render(0, wrong.View()), std::invalid_argument);
    EXPECT_THROW(SyntheticScene(Options(0, 48, 16)), std::invalid_argument);
}

// Truth and visibility are optional: the camera renders images alone.
TEST(SyntheticSceneTest, RendersImagesWithoutTruth) {
    SyntheticScene scene(Options(64, 48, 16));
    StereoFrame frame(64, 48);
    const StereoFrame full = scene.Render(5);
    scene.Render(5, {frame.left.View(), frame.right.View(), {}, {}});
    EXPECT_TRUE(SameImage(frame.left, full.left));
    EXPECT_TRUE(SameImage(frame.right, full.right));
}

}  // namespace
}  // namespace Tarnwell::test
