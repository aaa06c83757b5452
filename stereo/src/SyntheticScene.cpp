// A synthetic rectified stereo scene: textured planes at several depths, rendered per frame.
#include "stereo/SyntheticScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

namespace Tarnwell::stereo {
namespace {

// SplitMix64: tiny, and the same sequence on every platform, unlike the standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double Uniform() { return double(Next() >> 11) * 0x1.0p-53; }
    double Uniform(double low, double high) { return low + (high - low) * Uniform(); }
    int Integer(int low, int high) {
        return low + static_cast<int>(Uniform() * (high - low + 1)) % (high - low + 1);
    }
    double Gaussian() {
        const double u = std::max(Uniform(), 1e-300);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * Uniform());
    }

private:
    std::uint64_t state_;
};

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
    return Random(a * 0x2545F4914F6CDD1Dull ^ b).Next();
}

constexpr std::size_t kNoiseTable = 1 << 16;

// How a surface is textured: richly, or as the hard parts of real scenes are.
enum class Texture {
    Rich,
    Weak,        // a tenth of the contrast: little for a matcher to hold on to
    None,        // all but flat: the sensor noise is all there is
    Repetitive,  // a grid of stripes, which matches itself a period away
    Fading,      // rich at the bottom, weak at the top, like a floor reaching a bare wall
};

// Multi-octave value noise in [0, 1]: detail from 2 to 48 pixels, so that matching has texture
// at every scale and a surface's shading varies slowly.
void FillTexture(Image<std::uint8_t>& texture, Random& random, Texture kind = Texture::Rich) {
    const int w = texture.Width();
    const int h = texture.Height();
    std::vector<float> sum(std::size_t(w) * h, 0.0f);
    constexpr double kCells[] = {48, 20, 9, 4.5, 2.2};
    constexpr double kAmplitudes[] = {0.30, 0.25, 0.20, 0.15, 0.10};
    std::vector<float> lattice;
    std::vector<float> column;
    for (int octave = 0; octave < 5; ++octave) {
        const double cell = kCells[octave];
        const int cols = static_cast<int>(w / cell) + 3;
        const int rows = static_cast<int>(h / cell) + 3;
        lattice.resize(std::size_t(cols) * rows);
        for (float& v : lattice) {
            v = static_cast<float>(random.Uniform());
        }
        column.resize(cols);
        const float amplitude = static_cast<float>(kAmplitudes[octave]);
        for (int y = 0; y < h; ++y) {
            const double gy = y / cell;
            const int iy = static_cast<int>(gy);
            double fy = gy - iy;
            fy = fy * fy * (3 - 2 * fy);
            for (int c = 0; c < cols; ++c) {
                column[c] = static_cast<float>(lattice[std::size_t(iy) * cols + c] * (1 - fy) +
                                               lattice[std::size_t(iy + 1) * cols + c] * fy);
            }
            float* out = sum.data() + std::size_t(y) * w;
            for (int x = 0; x < w; ++x) {
                const double gx = x / cell;
                const int ix = static_cast<int>(gx);
                double fx = gx - ix;
                fx = fx * fx * (3 - 2 * fx);
                out[x] +=
                    amplitude * static_cast<float>(column[ix] * (1 - fx) + column[ix + 1] * fx);
            }
        }
    }
    // Lenses blur: without it the right view, resampled between texels, would be softer than the
    // left one, which only real cameras with unequal optics do.
    std::vector<float> blurred(sum.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float* row = sum.data() + std::size_t(y) * w;
            blurred[std::size_t(y) * w + x] = 0.25f * row[std::max(x - 1, 0)] + 0.5f * row[x] +
                                              0.25f * row[std::min(x + 1, w - 1)];
        }
    }
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto at = [&](int yy) {
                return blurred[std::size_t(std::clamp(yy, 0, h - 1)) * w + x];
            };
            sum[std::size_t(y) * w + x] = 0.25f * at(y - 1) + 0.5f * at(y) + 0.25f * at(y + 1);
        }
    }
    const double mean = random.Uniform(90, 165);
    double contrast = random.Uniform(150, 260);
    // Stripes across the row with a period of a few pixels, fainter ones down the column.
    double period = 0;
    double phase = 0;
    double stripes = 0;
    switch (kind) {
        case Texture::Rich:
            break;
        case Texture::Weak:
            contrast *= random.Uniform(0.06, 0.12);
            break;
        case Texture::None:
            contrast *= random.Uniform(0, 0.015);
            break;
        case Texture::Fading:
            break;
        case Texture::Repetitive:
            contrast *= 0.15;
            period = random.Uniform(5, 12);
            phase = random.Uniform(0, 2 * std::numbers::pi);
            stripes = random.Uniform(35, 60);
            break;
    }
    for (int y = 0; y < h; ++y) {
        const double across =
            stripes ? 0.3 * std::sin(2 * std::numbers::pi * y / (2.5 * period)) : 0.0;
        const double fade =
            kind == Texture::Fading ? std::min(1.0, 0.06 + 1.2 * double(y) / h) : 1.0;
        for (int x = 0; x < w; ++x) {
            double v = mean + contrast * fade * (sum[std::size_t(y) * w + x] - 0.5);
            if (stripes) {
                v += stripes * (std::sin(2 * std::numbers::pi * x / period + phase) + across);
            }
            texture.At(x, y) = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0l, 255l));
        }
    }
}

void RequireSize(const char* what, int width, int height, const SceneOptions& options) {
    if (width != options.width || height != options.height) {
        throw std::invalid_argument(std::string("[SyntheticScene] ") + what + " is " +
                                    std::to_string(width) + "x" + std::to_string(height) +
                                    ", not " + std::to_string(options.width) + "x" +
                                    std::to_string(options.height));
    }
}

}  // namespace

SyntheticScene::SyntheticScene(const SceneOptions& options) : options_(options) {
    if (options.width < 1 || options.height < 1 || options.disparities < 1 || options.objects < 0 ||
        options.noiseSigma < 0 || options.brightnessDifference < 0 ||
        options.brightnessDifference > 0.5 || options.vignetting < 0 || options.vignetting > 0.9) {
        throw std::invalid_argument("[SyntheticScene] invalid options");
    }
    const double w = options.width;
    const double h = options.height;
    const double range = options.disparities;
    Random random(Mix(options.seed, 0x5CE4E));

    // The background reaches beyond the left view, so the right view sees it everywhere too; it
    // recedes towards the top like a floor seen from above.
    Surface background;
    const int margin = options.disparities + 2;
    background.x = -margin;
    background.width = options.width + 2 * margin;
    background.height = options.height;
    background.disparity = range * random.Uniform(0.12, 0.18);
    background.slopeX = range * random.Uniform(-0.02, 0.02) / background.width;
    background.slopeY = range * random.Uniform(0.05, 0.09) / h;
    surfaces_.push_back(std::move(background));

    // The hard scene adds thin bars to the objects; its first objects after the pole are a
    // textureless one, a weakly textured one and a repetitive one (the easy scene's sequence of
    // random numbers is kept as it was).
    const int thin = options.hardSurfaces ? 3 : 0;
    std::vector<Texture> kinds(std::size_t(options.objects + thin), Texture::Rich);
    if (options.hardSurfaces) {
        const Texture hard[] = {Texture::None, Texture::Weak, Texture::Repetitive};
        for (std::size_t k = 0; k < std::size(hard) && k + 1 < kinds.size(); ++k) {
            kinds[k + 1] = hard[k];
        }
    }
    for (int i = 0; i < options.objects + thin; ++i) {
        Surface s;
        s.ellipse = random.Uniform() < 0.4;
        // Upright bars: two depth edges close together; the pole a few pixels wide, the thin
        // bars as thin as a cable or a chair leg.
        const bool pole = i == 0;
        const bool bar = i >= options.objects;
        s.ellipse = s.ellipse && !bar;
        const double across = pole  ? random.Uniform(0.015, 0.03)
                              : bar ? random.Uniform(0.003, 0.008)
                                    : random.Uniform(0.08, 0.28);
        s.width = std::max(2, static_cast<int>(w * across));
        s.height = std::max(2, static_cast<int>(h * (pole || bar ? random.Uniform(0.5, 0.8)
                                                                 : random.Uniform(0.12, 0.4))));
        s.x = static_cast<int>(random.Uniform(-0.05 * w, w - 0.9 * s.width));
        s.y = static_cast<int>(random.Uniform(-0.05 * h, h - 0.9 * s.height));
        s.disparity = range * random.Uniform(0.3, 0.72);
        if (random.Uniform() < 0.5) {
            // Slanted: up to a tenth of the range across the surface; a fifth in the hard scene,
            // steep enough for the matching window to see different disparities.
            const double slant = options.hardSurfaces ? 2.0 : 1.0;
            s.slopeX = slant * range * random.Uniform(-0.1, 0.1) / s.width;
            s.slopeY = slant * range * random.Uniform(-0.06, 0.06) / s.height;
        }
        if (options.motion) {
            s.driftX = w * random.Uniform(0.002, 0.01);
            s.driftY = h * random.Uniform(0.002, 0.01);
            s.driftDisparity = range * random.Uniform(0.005, 0.02);
            s.rate = random.Uniform(0.05, 0.25);
            s.phase = random.Uniform(0, 2 * std::numbers::pi);
        }
        surfaces_.push_back(std::move(s));
    }
    for (std::size_t k = 0; k < surfaces_.size(); ++k) {
        Surface& s = surfaces_[k];
        s.texture = Image<std::uint8_t>(s.width + 2, s.height);
        const Texture background = options.hardSurfaces ? Texture::Fading : Texture::Rich;
        FillTexture(s.texture, random, k == 0 ? background : kinds[k - 1]);
    }
    // The right camera's gain and offset against the left one's, each off by at least half the
    // difference asked for.
    if (options.brightnessDifference > 0) {
        auto off = [&] {
            return options.brightnessDifference * random.Uniform(0.5, 1.0) *
                   (random.Uniform() < 0.5 ? -1 : 1);
        };
        gain_[1] = static_cast<float>(1 + off());
        offset_[1] = static_cast<float>(50 * off());
    }
    // Vignetting as 1 - v r^2, r from the image centre, 1 in the corners.
    shadingX_.resize(options.width);
    shadingY_.resize(options.height);
    for (int x = 0; x < options.width; ++x) {
        const double u = (x + 0.5) / w - 0.5;
        shadingX_[x] = static_cast<float>(options.vignetting * 2 * u * u);
    }
    for (int y = 0; y < options.height; ++y) {
        const double v = (y + 0.5) / h - 0.5;
        shadingY_[y] = static_cast<float>(options.vignetting * 2 * v * v);
    }

    noise_.resize(kNoiseTable + options.width);
    for (std::int8_t& n : noise_) {
        n = static_cast<std::int8_t>(
            std::clamp(std::lround(options.noiseSigma * random.Gaussian()), -127l, 127l));
    }
    poses_.resize(surfaces_.size());
    depthLeft_.resize(options.width);
    idLeft_.resize(options.width);
    depthRight_.resize(options.width);
    idRight_.resize(options.width);
    sourceRight_.resize(options.width);
    textureRows_.resize(surfaces_.size());
}

SyntheticScene::Pose SyntheticScene::PoseAt(const Surface& s, std::uint64_t frame) const {
    const double t = s.rate * static_cast<double>(frame) + s.phase;
    return {s.x + static_cast<int>(std::lround(s.driftX * std::sin(t))),
            s.y + static_cast<int>(std::lround(s.driftY * std::sin(1.7 * t + 1.0))),
            s.disparity + s.driftDisparity * std::sin(0.6 * t + 2.0)};
}

bool SyntheticScene::Span(const Surface& s, const Pose& pose, int y, double& begin,
                          double& end) const {
    if (y < pose.y || y >= pose.y + s.height) {
        return false;
    }
    if (!s.ellipse) {
        begin = pose.x;
        end = pose.x + s.width;
        return true;
    }
    const double cx = pose.x + s.width / 2.0;
    const double t = (y + 0.5 - (pose.y + s.height / 2.0)) / (s.height / 2.0);
    if (std::abs(t) >= 1) {
        return false;
    }
    const double half = s.width / 2.0 * std::sqrt(1 - t * t);
    begin = std::ceil(cx - half - 0.5);
    end = std::floor(cx + half - 0.5) + 1;
    return begin < end;
}

void SyntheticScene::Render(std::uint64_t frame, const StereoFrameView& target) {
    RequireSize("left image", target.left.width, target.left.height, options_);
    RequireSize("right image", target.right.width, target.right.height, options_);
    if (target.truth.data) {
        RequireSize("truth image", target.truth.width, target.truth.height, options_);
    }
    if (target.visible.data) {
        RequireSize("visibility image", target.visible.width, target.visible.height, options_);
    }
    for (std::size_t k = 0; k < surfaces_.size(); ++k) {
        poses_[k] = PoseAt(surfaces_[k], frame);
    }
    for (int y = 0; y < options_.height; ++y) {
        RenderRow(frame, y, target);
    }
}

StereoFrame SyntheticScene::Render(std::uint64_t frame) {
    StereoFrame result(options_.width, options_.height);
    Render(frame, result.View());
    return result;
}

void SyntheticScene::RenderRow(std::uint64_t frame, int y, const StereoFrameView& target) {
    const int w = options_.width;
    float* __restrict depthLeft = depthLeft_.data();
    int* __restrict idLeft = idLeft_.data();
    float* __restrict depthRight = depthRight_.data();
    int* __restrict idRight = idRight_.data();
    float* __restrict sourceRight = sourceRight_.data();

    // Surfaces in turn with a depth test; the background covers both views entirely and goes
    // first without one. Selects rather than branches, so that the loops vectorise.
    for (std::size_t k = 0; k < surfaces_.size(); ++k) {
        const Surface& s = surfaces_[k];
        const Pose& pose = poses_[k];
        double begin = 0;
        double end = 0;
        if (!Span(s, pose, y, begin, end)) {
            continue;
        }
        const bool first = k == 0;
        // Along the row the disparity is alpha + beta * x; x - d(x) is where the right camera
        // sees left pixel x.
        const double cx = pose.x + s.width / 2.0;
        const double cy = pose.y + s.height / 2.0;
        const float beta = static_cast<float>(s.slopeX);
        const float alpha =
            static_cast<float>(pose.disparity + s.slopeY * (y - cy) - s.slopeX * cx);
        const int k32 = static_cast<int>(k);

        const int leftBegin = std::max(0, static_cast<int>(begin));
        const int leftEnd = std::min(w, static_cast<int>(end));
        for (int x = leftBegin; x < leftEnd; ++x) {
            const float d = alpha + beta * static_cast<float>(x);
            const bool nearer = first || d > depthLeft[x];
            depthLeft[x] = nearer ? d : depthLeft[x];
            idLeft[x] = nearer ? k32 : idLeft[x];
        }
        // Right pixel j shows the left position (j + alpha) / (1 - beta); it belongs to the
        // surface when the left pixel nearest to that position does.
        const float scale = 1.0f / (1.0f - beta);
        const float offset = 1.0f - static_cast<float>(pose.x);
        const int rightBegin =
            std::max(0, static_cast<int>(std::ceil((begin - 0.5) * (1 - s.slopeX) - alpha)));
        const int rightEnd =
            std::min(w, static_cast<int>(std::ceil((end - 0.5) * (1 - s.slopeX) - alpha)));
        for (int j = rightBegin; j < rightEnd; ++j) {
            const float xl = (static_cast<float>(j) + alpha) * scale;
            const float d = alpha + beta * xl;
            const bool nearer = first || d > depthRight[j];
            depthRight[j] = nearer ? d : depthRight[j];
            idRight[j] = nearer ? k32 : idRight[j];
            sourceRight[j] = nearer ? xl + offset : sourceRight[j];
        }
    }

    // Pixels, through each surface's texture row, with noise from a random place in the table for
    // each row, view and frame.
    const std::uint8_t** texels = textureRows_.data();
    for (std::size_t k = 0; k < surfaces_.size(); ++k) {
        const bool crosses = y >= poses_[k].y && y < poses_[k].y + surfaces_[k].height;
        texels[k] = crosses ? surfaces_[k].texture.Row(y - poses_[k].y) : nullptr;
    }
    const std::int8_t* noiseLeft =
        noise_.data() + Mix(Mix(options_.seed, frame), 2 * y) % kNoiseTable;
    const std::int8_t* noiseRight =
        noise_.data() + Mix(Mix(options_.seed, frame), 2 * y + 1) % kNoiseTable;
    std::uint8_t* __restrict left = target.left.Row(y);
    std::uint8_t* __restrict right = target.right.Row(y);
    const float* __restrict shading = shadingX_.data();
    // Brightness gain of each view in this row, and what the vignetting takes off per column.
    const float rowGain[2] = {gain_[0] * (1 - shadingY_[y]), gain_[1] * (1 - shadingY_[y])};
    for (int x = 0; x < w; ++x) {
        const int id = idLeft[x];
        const float v =
            texels[id][x + 1 - poses_[id].x] * (rowGain[0] - gain_[0] * shading[x]) + offset_[0];
        left[x] = static_cast<std::uint8_t>(
            std::clamp(static_cast<int>(v + 0.5f) + noiseLeft[x], 0, 255));
    }
    for (int j = 0; j < w; ++j) {
        const std::uint8_t* row = texels[idRight[j]];
        const float u = sourceRight[j];
        const int i = static_cast<int>(u);
        const float f = u - static_cast<float>(i);
        const float v = (row[i] + f * static_cast<float>(row[i + 1] - row[i])) *
                            (rowGain[1] - gain_[1] * shading[j]) +
                        offset_[1];
        right[j] = static_cast<std::uint8_t>(
            std::clamp(static_cast<int>(v + 0.5f) + noiseRight[j], 0, 255));
    }

    if (target.truth.data) {
        std::copy(depthLeft, depthLeft + w, target.truth.Row(y));
    }
    if (target.visible.data) {
        std::uint8_t* __restrict visible = target.visible.Row(y);
        // x - d rounded down, lifted above zero for the conversion: d stays below the range.
        const int lift = options_.disparities + 2;
        for (int x = 0; x < w; ++x) {
            // Seen by the right camera when both right pixels around x - d show the same surface.
            const int j = static_cast<int>(static_cast<float>(x + lift) - depthLeft[x]) - lift;
            const int at = std::clamp(j, 0, w - 2 < 0 ? 0 : w - 2);
            visible[x] = (j >= 0) & (j + 1 < w) & (idRight[at] == idLeft[x]) &
                         (idRight[std::min(at + 1, w - 1)] == idLeft[x]);
        }
    }
}

}  // namespace Tarnwell::stereo
