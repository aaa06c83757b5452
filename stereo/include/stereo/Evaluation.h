// Disparity against the renderer's truth: the 8-bit error image and bad-pixel statistics.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stereo/Image.h"

namespace Tarnwell::stereo {

// The error image counts in this fraction of a pixel and saturates at kMaxError.
inline constexpr int kErrorScale = 16;
inline constexpr std::uint8_t kMaxError = 254;
// Where there is no estimate, or the truth is not seen by both cameras.
inline constexpr std::uint8_t kNoError = 255;

// |disparity - truth| per pixel; `visible` may be empty (every pixel counts as seen).
void ComputeErrorImage(ImageView<const std::uint16_t> disparity, ImageView<const float> truth,
                       ImageView<const std::uint8_t> visible, ImageView<std::uint8_t> error);

struct DisparityStats {
    std::size_t evaluated = 0;    // pixels with a truth seen by both cameras, in the region
    std::size_t invalid = 0;      // of those, without an estimate
    std::size_t bad = 0;          // of those, without an estimate or off by more than the threshold
    double absoluteErrorSum = 0;  // over the valid ones

    double BadRate() const { return evaluated ? double(bad) / double(evaluated) : 0; }
    double Density() const { return evaluated ? 1 - double(invalid) / double(evaluated) : 0; }
    double MeanAbsoluteError() const {
        return evaluated > invalid ? absoluteErrorSum / double(evaluated - invalid) : 0;
    }
};

// Statistics over the visible pixels of columns >= firstColumn (the columns left of the disparity
// range have no partner in the right view for most candidates, so matchers differ there by design).
DisparityStats EvaluateDisparity(ImageView<const std::uint16_t> disparity,
                                 ImageView<const float> truth,
                                 ImageView<const std::uint8_t> visible, double threshold,
                                 int firstColumn = 0);

}  // namespace Tarnwell::stereo
