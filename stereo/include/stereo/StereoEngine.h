// The stereo matching engine's interface: configuration, output images and the CPU implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "stereo/Image.h"

namespace Tarnwell::stereo {

// Disparities are delivered as unsigned fixed point with this many fractional bits.
inline constexpr int kDisparityFractionBits = 4;
inline constexpr int kDisparityScale = 1 << kDisparityFractionBits;
inline constexpr std::uint16_t kInvalidDisparity = 0xFFFF;

// The matching cost of a candidate is the number of differing bits of the two pixels' census
// signatures (16 bits of a 7x7 window) plus their absolute grey-level difference up to a cap,
// smoothed over the 3x3 pixels around (at the same disparity); penalties are in the same units.
inline constexpr int kCensusBits = 16;
inline constexpr int kIntensityDifferenceCap = 30;
inline constexpr int kMaxMatchingCost = kCensusBits + kIntensityDifferenceCap;

// The largest disparity range: winner indices are kept in 8 bits.
inline constexpr int kMaxDisparities = 256;

struct StereoConfig {
    int width = 0;
    int height = 0;
    int disparities = 64;  // candidates 0 .. disparities-1, in pixels of the left view
    // 4: left-to-right, right-to-left, top and top-right in one top-down pass; 8: adds top-left
    // in that pass and bottom, bottom-left and bottom-right in a second, bottom-up one.
    int paths = 4;
    int p1 = 7;   // penalty for a disparity step of one pixel between neighbours
    int p2 = 64;  // penalty for larger steps; p1 < p2 and p2 + kMaxMatchingCost <= 255
    // Grey-level difference between neighbours at which the penalty for larger steps halves
    // (P2 * e / (e + difference), at least p1 + 1): depth edges mostly lie on edges of the image.
    // 0 keeps it constant.
    int penaltyEdge = 32;
    bool subpixel = true;
    bool leftRightCheck = true;
    int leftRightMaxDiff = 1;  // pixels the left and right winners may differ by
    // Percent the winner must beat any non-neighbouring candidate by; off by default, as the
    // confidence image carries the same information without losing pixels.
    int uniqueness = 0;
    int threads = 0;  // 0: one per core
};

// Throws std::invalid_argument naming the first setting that is out of range.
void ValidateConfig(const StereoConfig& config);

struct StereoOutput {
    // Fixed-point disparity of the left view, kInvalidDisparity where no match is trusted.
    ImageView<std::uint16_t> disparity;
    // 0 (invalid or ambiguous) .. 255 (clear winner); optional (null data).
    ImageView<std::uint8_t> confidence;
};

// A disparity engine for one configuration. All working memory is taken when it is created, so
// Compute allocates nothing and can run every frame.
class IStereoEngine {
public:
    virtual ~IStereoEngine() = default;

    virtual const StereoConfig& Config() const = 0;
    // `left` and `right` are a rectified pair of Config()'s size, the output images too. Throws
    // std::invalid_argument on a size mismatch. Not to be called concurrently on one engine.
    virtual void Compute(ImageView<const std::uint8_t> left, ImageView<const std::uint8_t> right,
                         const StereoOutput& output) = 0;
    // Working memory held, in bytes.
    virtual std::size_t MemoryBytes() const = 0;
    // For logs and benchmarks, e.g. "cpu AVX2, 2 threads".
    virtual std::string Describe() const = 0;
};

// Semi-global matching on the CPU with run-time SIMD dispatch and one stripe per thread.
std::unique_ptr<IStereoEngine> CreateCpuStereoEngine(const StereoConfig& config);

}  // namespace Tarnwell::stereo
