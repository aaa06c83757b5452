// Pictures of a frame's image components: colour maps, the conversion of each component, PNG files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace TarnwellSnapshot {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

// An 8-bit picture, rows top to bottom, one byte per channel.
struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int channels = 1;  // 1 grey, 3 RGB
    std::vector<std::uint8_t> pixels;

    Rgb At(std::uint32_t x, std::uint32_t y) const;
};

// Disparities carry 4 fractional bits; this value marks a pixel with no trusted match.
inline constexpr std::uint16_t kInvalidDisparity = 0xFFFF;
// Errors are sixteenths of a pixel, saturating at 254; this value marks a pixel without one.
inline constexpr std::uint8_t kUnknownError = 255;
// Errors from this many sixteenths on (a whole pixel, the usual mark of a wrong match) take the
// map's last colour; the scale spends its range on the sub-pixel errors of right matches.
inline constexpr std::uint8_t kErrorScaleTop = 16;

inline constexpr Rgb kInvalidDisparityColour{0, 0, 0};
inline constexpr Rgb kUnknownErrorColour{128, 128, 128};

// Perceptual colour maps, dark to light, for x in [0, 1] (clamped).
Rgb Viridis(double x);
Rgb Inferno(double x);

// The disparities the colour map spans: from the 0.5th to the 99.5th percentile of the valid
// ones, so that a few wild matches do not squeeze the scene into a single colour.
struct DisparityRange {
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    bool empty = true;  // no valid disparity at all
};
DisparityRange SpannedRange(std::span<const std::uint16_t> disparities);

// Grey as it comes: the left view, the confidence.
Picture GreyPicture(std::uint32_t width, std::uint32_t height, std::span<const std::uint8_t> data);
// Viridis over the spanned range, near (large disparity) light; invalid pixels black.
Picture DisparityPicture(std::uint32_t width, std::uint32_t height,
                         std::span<const std::uint16_t> disparities);
// Inferno from no error (dark) to kErrorScaleTop and above (light); unknown pixels grey.
Picture ErrorPicture(std::uint32_t width, std::uint32_t height,
                     std::span<const std::uint8_t> errors);

// Writes the picture as an 8-bit PNG file; raises std::runtime_error naming the file and why.
void WritePng(const Picture& picture, const std::string& path);

}  // namespace TarnwellSnapshot
