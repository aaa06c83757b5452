// Pictures of a frame's image components: colour maps, the conversion of each component, PNG files.
#include "Pictures.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace TarnwellSnapshot {

namespace {

using Stops = std::array<Rgb, 17>;

// The maps at every sixteenth of their range (viridis and inferno are public domain, CC0); linear
// steps between the stops stay within 7 units of the full 256-entry tables, which no eye tells.
constexpr Stops kViridis{{{68, 1, 84},
                          {72, 24, 106},
                          {71, 45, 123},
                          {66, 64, 134},
                          {59, 82, 139},
                          {51, 99, 141},
                          {44, 114, 142},
                          {38, 130, 142},
                          {33, 145, 140},
                          {31, 160, 136},
                          {40, 174, 128},
                          {63, 188, 115},
                          {94, 201, 98},
                          {132, 212, 75},
                          {173, 220, 48},
                          {216, 226, 25},
                          {253, 231, 37}}};
constexpr Stops kInferno{{{0, 0, 4},
                          {11, 7, 36},
                          {33, 12, 74},
                          {61, 9, 101},
                          {87, 16, 110},
                          {113, 25, 110},
                          {138, 34, 106},
                          {163, 44, 97},
                          {188, 55, 84},
                          {210, 70, 68},
                          {228, 90, 49},
                          {241, 115, 29},
                          {249, 142, 9},
                          {252, 172, 17},
                          {249, 203, 53},
                          {242, 234, 105},
                          {252, 255, 164}}};

Rgb Interpolate(const Stops& stops, double x) {
    if (!(x > 0)) {  // also NaN
        return stops.front();
    }
    if (x >= 1) {
        return stops.back();
    }
    const double position = x * static_cast<double>(stops.size() - 1);
    const auto index = static_cast<std::size_t>(position);
    const double fraction = position - static_cast<double>(index);
    const Rgb& a = stops[index];
    const Rgb& b = stops[index + 1];
    const auto mix = [fraction](std::uint8_t from, std::uint8_t to) {
        return static_cast<std::uint8_t>(
            std::lround(from + fraction * (static_cast<double>(to) - from)));
    };
    return {mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b)};
}

Picture RgbPicture(std::uint32_t width, std::uint32_t height) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.channels = 3;
    picture.pixels.resize(std::size_t{width} * height * 3);
    return picture;
}

void Put(Picture& picture, std::size_t index, Rgb colour) {
    picture.pixels[index * 3] = colour.r;
    picture.pixels[index * 3 + 1] = colour.g;
    picture.pixels[index * 3 + 2] = colour.b;
}

void RequireSize(std::uint32_t width, std::uint32_t height, std::size_t pixels) {
    if (pixels != std::size_t{width} * height) {
        throw std::invalid_argument("a picture of " + std::to_string(width) + "x" +
                                    std::to_string(height) + " pixels from " +
                                    std::to_string(pixels) + " values");
    }
}

}  // namespace

Rgb Picture::At(std::uint32_t x, std::uint32_t y) const {
    const std::size_t index = (std::size_t{y} * width + x) * static_cast<std::size_t>(channels);
    if (channels == 1) {
        return {pixels[index], pixels[index], pixels[index]};
    }
    return {pixels[index], pixels[index + 1], pixels[index + 2]};
}

Rgb Viridis(double x) {
    return Interpolate(kViridis, x);
}

Rgb Inferno(double x) {
    return Interpolate(kInferno, x);
}

DisparityRange SpannedRange(std::span<const std::uint16_t> disparities) {
    // A histogram: the values are 16-bit, so counting is cheaper than sorting.
    std::vector<std::size_t> counts(std::size_t{kInvalidDisparity}, 0);
    std::size_t valid = 0;
    for (const std::uint16_t d : disparities) {
        if (d != kInvalidDisparity) {
            ++counts[d];
            ++valid;
        }
    }
    DisparityRange range;
    if (valid == 0) {
        return range;
    }
    const std::size_t lowRank = valid / 200;
    const std::size_t highRank = valid - 1 - valid / 200;
    std::size_t seen = 0;
    bool lowFound = false;
    for (std::size_t d = 0; d < counts.size(); ++d) {
        seen += counts[d];
        if (!lowFound && seen > lowRank) {
            range.low = static_cast<std::uint16_t>(d);
            lowFound = true;
        }
        if (seen > highRank) {
            range.high = static_cast<std::uint16_t>(d);
            break;
        }
    }
    range.empty = false;
    return range;
}

Picture GreyPicture(std::uint32_t width, std::uint32_t height, std::span<const std::uint8_t> data) {
    RequireSize(width, height, data.size());
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.channels = 1;
    picture.pixels.assign(data.begin(), data.end());
    return picture;
}

Picture DisparityPicture(std::uint32_t width, std::uint32_t height,
                         std::span<const std::uint16_t> disparities) {
    RequireSize(width, height, disparities.size());
    const DisparityRange range = SpannedRange(disparities);
    // A scene at one depth has no span: it takes the middle of the map.
    const double span = static_cast<double>(range.high) - range.low;
    Picture picture = RgbPicture(width, height);
    for (std::size_t i = 0; i < disparities.size(); ++i) {
        const std::uint16_t d = disparities[i];
        if (d == kInvalidDisparity) {
            Put(picture, i, kInvalidDisparityColour);
        } else {
            Put(picture, i, Viridis(span > 0 ? (d - range.low) / span : 0.5));
        }
    }
    return picture;
}

Picture ErrorPicture(std::uint32_t width, std::uint32_t height,
                     std::span<const std::uint8_t> errors) {
    RequireSize(width, height, errors.size());
    Picture picture = RgbPicture(width, height);
    for (std::size_t i = 0; i < errors.size(); ++i) {
        const std::uint8_t e = errors[i];
        Put(picture, i,
            e == kUnknownError ? kUnknownErrorColour : Inferno(e / double{kErrorScaleTop}));
    }
    return picture;
}

void WritePng(const Picture& picture, const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = picture.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path.c_str(), 0, picture.pixels.data(), 0, nullptr) == 0) {
        const std::string why = image.message;
        png_image_free(&image);
        throw std::runtime_error("Cannot write " + path + ": " + why);
    }
}

}  // namespace TarnwellSnapshot
