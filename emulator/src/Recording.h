// A recorded stereo sequence an emulated camera films instead of its synthetic scene: rectified
// pairs read from PNG files and, where given, their true disparity (16-bit PNG or PFM).
#pragma once

#include <compare>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "stereo/Image.h"

namespace Orvel::detail {

using GreyImage = Tarnwell::stereo::Image<std::uint8_t>;
using DisparityImage = Tarnwell::stereo::Image<float>;

// Images are shared: a file named by several frames or cameras is decoded once.
struct RecordedFrame {
    std::shared_ptr<const GreyImage> left;
    std::shared_ptr<const GreyImage> right;
    // The left view's disparity in pixels, NaN where unknown; null when none was given.
    std::shared_ptr<const DisparityImage> disparity;
};

using Recording = std::vector<RecordedFrame>;

enum class RecordedKind { View, Disparity };

// The file an image comes from, whatever path names it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

// What an image file holds, from its header alone: nothing is decoded.
struct ImageHeader {
    FileIdentity file;
    int width = 0;
    int height = 0;

    // Bytes the image takes once decoded as `kind`.
    std::size_t DecodedBytes(RecordedKind kind) const;
};

// Every function throws std::runtime_error with the fault, worded to follow the file's name:
// "cannot be read (…)", "is not a regular file", "is not a readable PNG image (…)", …

// A view: a PNG file of any colour type and depth, read as the stored samples (no gamma or
// colour-space conversion), colour made grey by the luma weights, 16 bits scaled to 8.
// A disparity: a 16-bit grey PNG in 1/256 px (0 unknown) or a one-channel PFM in pixels (not
// finite: unknown), told apart by the file's first bytes.
ImageHeader ReadImageHeader(const std::string& path, RecordedKind kind);

// Decodes a file whose header was read before; a file that changed in between is refused.
GreyImage ReadGreyImage(const std::string& path, const ImageHeader& header);
DisparityImage ReadDisparityImage(const std::string& path, const ImageHeader& header);

}  // namespace Orvel::detail
