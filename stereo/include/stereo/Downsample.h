// Reducing an image by whole blocks, for matching a smaller pair than the cameras deliver.
#pragma once

#include <cstdint>

#include "stereo/Image.h"

namespace Tarnwell::stereo {

// Box average of factor x factor blocks; `target` must be the source size divided by the factor
// (rounded down). Throws std::invalid_argument otherwise.
void Downsample(ImageView<const std::uint8_t> source, int factor, ImageView<std::uint8_t> target);

}  // namespace Tarnwell::stereo
