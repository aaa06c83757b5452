// Support of the stage tests: one stripe's working memory over random images, and the SIMD
// targets of this CPU.
#pragma once

#include <hwy/targets.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "SgmStripe.h"
#include "stereo/Image.h"
#include "stereo/StereoEngine.h"

namespace Tarnwell::test {

using namespace Tarnwell::stereo;

// The SIMD targets the engine is built for that this CPU runs, best first.
inline std::vector<std::int64_t> SupportedSimdTargets() {
    std::vector<std::int64_t> targets;
    const std::int64_t simd = hwy::SupportedTargets() & detail::CompiledKernelTargets() &
                              ~std::int64_t{HWY_SCALAR | HWY_EMU128};
    for (std::int64_t target = 1; target != 0 && target <= simd; target <<= 1) {
        if (simd & target) {
            targets.push_back(target);
        }
    }
    return targets;
}

// Makes Highway's dispatch choose `target` (0: the best again) for the scope's lifetime.
class TargetScope {
public:
    explicit TargetScope(std::int64_t target) { hwy::SetSupportedTargetsForTest(target); }
    ~TargetScope() { hwy::SetSupportedTargetsForTest(0); }
    TargetScope(const TargetScope&) = delete;
    TargetScope& operator=(const TargetScope&) = delete;
};

// One stripe covering a whole image pair of random (or given) pixels, as the engine sets it up.
struct Stripe {
    explicit Stripe(const StereoConfig& c, int forwardRows = 0)
        : config(c),
          params(MakeParams(c, forwardRows)),
          workspace(params, 1),
          left(c.width, c.height),
          right(c.width, c.height),
          disparity(c.width, c.height),
          confidence(c.width, c.height) {
        job.params = &params;
        job.tables = &workspace.Tables();
        job.scratch = &workspace.Stripe(0);
        job.left = left.View();
        job.right = right.View();
        job.output = {disparity.View(), confidence.View()};
        job.y0 = 0;
        job.y1 = c.height;
    }

    static detail::KernelParams MakeParams(const StereoConfig& c, int forwardRows) {
        detail::KernelParams p = detail::MakeKernelParams(c);
        p.forwardRows = forwardRows > 0 ? forwardRows : c.height;
        return p;
    }

    detail::StripeScratch& Scratch() { return *job.scratch; }
    std::size_t RowBytes() const { return std::size_t(params.width) * params.paddedDisparities; }

    StereoConfig config;
    detail::KernelParams params;
    detail::Workspace workspace;
    Image<std::uint8_t> left;
    Image<std::uint8_t> right;
    Image<std::uint16_t> disparity;
    Image<std::uint8_t> confidence;
    detail::StripeJob job;
};

inline StereoConfig StageConfig(int width, int height, int disparities, int paths = 4) {
    StereoConfig config;
    config.width = width;
    config.height = height;
    config.disparities = disparities;
    config.paths = paths;
    config.threads = 1;
    return config;
}

// Bytes drawn uniformly from [low, high].
inline void FillRandom(std::uint8_t* data, std::size_t count, std::mt19937& random, int low = 0,
                       int high = 255) {
    std::uniform_int_distribution<int> byte(low, high);
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>(byte(random));
    }
}

inline void CopyPixels(const Image<std::uint8_t>& from, Image<std::uint8_t>& to) {
    for (int y = 0; y < from.Height(); ++y) {
        std::copy_n(from.Row(y), from.Width(), to.Row(y));
    }
}

inline void FillRandom(Image<std::uint8_t>& image, std::mt19937& random) {
    for (int y = 0; y < image.Height(); ++y) {
        FillRandom(image.Row(y), std::size_t(image.Width()), random);
    }
}

}  // namespace Tarnwell::test
