// Disparity against the renderer's truth: the 8-bit error image and bad-pixel statistics.
#include "stereo/Evaluation.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "stereo/StereoEngine.h"

namespace Tarnwell::stereo {
namespace {

template <class A, class B>
void RequireSameSize(const ImageView<A>& a, const ImageView<B>& b, const char* what) {
    if (a.width != b.width || a.height != b.height) {
        throw std::invalid_argument(std::string("[Evaluation] ") + what +
                                    " differs in size from the disparity image");
    }
}

bool Seen(const ImageView<const std::uint8_t>& visible, int x, int y) {
    return !visible.data || visible.At(x, y) != 0;
}

}  // namespace

void ComputeErrorImage(ImageView<const std::uint16_t> disparity, ImageView<const float> truth,
                       ImageView<const std::uint8_t> visible, ImageView<std::uint8_t> error) {
    RequireSameSize(disparity, truth, "truth");
    RequireSameSize(disparity, error, "error image");
    if (visible.data) {
        RequireSameSize(disparity, visible, "visibility");
    }
    for (int y = 0; y < disparity.height; ++y) {
        for (int x = 0; x < disparity.width; ++x) {
            const std::uint16_t d = disparity.At(x, y);
            if (d == kInvalidDisparity || !Seen(visible, x, y)) {
                error.At(x, y) = kNoError;
                continue;
            }
            // Saturated before rounding: a truth far out of range (or not a number) is off by
            // the most the image can say, not by whatever an overflowing conversion gives.
            const double scaled =
                std::abs(double(d) / kDisparityScale - truth.At(x, y)) * kErrorScale;
            error.At(x, y) =
                scaled < kMaxError ? static_cast<std::uint8_t>(std::lround(scaled)) : kMaxError;
        }
    }
}

DisparityStats EvaluateDisparity(ImageView<const std::uint16_t> disparity,
                                 ImageView<const float> truth,
                                 ImageView<const std::uint8_t> visible, double threshold,
                                 int firstColumn) {
    RequireSameSize(disparity, truth, "truth");
    if (visible.data) {
        RequireSameSize(disparity, visible, "visibility");
    }
    DisparityStats stats;
    for (int y = 0; y < disparity.height; ++y) {
        for (int x = std::max(0, firstColumn); x < disparity.width; ++x) {
            if (!Seen(visible, x, y)) {
                continue;
            }
            ++stats.evaluated;
            const std::uint16_t d = disparity.At(x, y);
            if (d == kInvalidDisparity) {
                ++stats.invalid;
                ++stats.bad;
                continue;
            }
            const double off = std::abs(double(d) / kDisparityScale - truth.At(x, y));
            stats.absoluteErrorSum += off;
            stats.bad += off > threshold;
        }
    }
    return stats;
}

}  // namespace Tarnwell::stereo
