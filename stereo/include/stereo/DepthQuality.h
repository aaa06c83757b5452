// What each depth quality and binning asks of the stereo engine: image size, range and paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "stereo/Image.h"
#include "stereo/StereoEngine.h"

namespace Tarnwell::stereo {

// One eye of the camera at binning 1, and the disparity range the full-size depth image needs.
inline constexpr int kEyeWidth = 1920;
inline constexpr int kEyeHeight = 1200;
inline constexpr int kFullDisparities = 256;

enum class DepthQuality { Low, Medium, High, Full };

// "Low", "Medium", "High", "Full"; nothing for any other text.
std::optional<DepthQuality> ParseDepthQuality(std::string_view name);
// How much smaller than the eye the depth image is: 8, 4, 2, 1.
int DepthDivisor(DepthQuality quality);

// The engine's configuration for a quality and a binning of 1, 2 or 4 (std::invalid_argument
// otherwise): the eye divided by binning and quality, the range likewise, eight paths for "Full".
StereoConfig StereoConfigFor(DepthQuality quality, int binning);

// Box average of factor x factor blocks, for matching a smaller pair than the eyes deliver;
// `target` must be the source size divided by the factor (rounded down).
void Downsample(ImageView<const std::uint8_t> source, int factor, ImageView<std::uint8_t> target);

}  // namespace Tarnwell::stereo
