// A recorded stereo sequence an emulated camera films instead of its synthetic scene: rectified
// pairs read from PNG files and, where given, their true disparity (16-bit PNG or PFM).
#pragma once

#include <string>
#include <vector>

#include "stereo/Image.h"

namespace Orvel::detail {

struct RecordedFrame {
    Tarnwell::stereo::Image<std::uint8_t> left;
    Tarnwell::stereo::Image<std::uint8_t> right;
    // The left view's disparity in pixels, NaN where unknown; empty when none was given.
    Tarnwell::stereo::Image<float> disparity;
};

using Recording = std::vector<RecordedFrame>;

// An 8-bit grey image from a PNG file of any colour type (colour is turned to grey). Throws
// std::runtime_error with the fault, for the caller to name the file.
Tarnwell::stereo::Image<std::uint8_t> ReadGreyPng(const std::string& path);

// A disparity image in pixels: a 16-bit grey PNG in 1/256 px (0 unknown) or a one-channel PFM
// (infinite or NaN unknown), told apart by the file's first bytes.
Tarnwell::stereo::Image<float> ReadDisparity(const std::string& path);

}  // namespace Orvel::detail
