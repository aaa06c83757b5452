// What each depth quality and binning asks of the stereo engine: image size, range and paths.
#include "stereo/DepthQuality.h"

#include <stdexcept>
#include <string>

namespace Tarnwell::stereo {

std::optional<DepthQuality> ParseDepthQuality(std::string_view name) {
    if (name == "Low") {
        return DepthQuality::Low;
    }
    if (name == "Medium") {
        return DepthQuality::Medium;
    }
    if (name == "High") {
        return DepthQuality::High;
    }
    if (name == "Full") {
        return DepthQuality::Full;
    }
    return std::nullopt;
}

int DepthDivisor(DepthQuality quality) {
    switch (quality) {
        case DepthQuality::Low:
            return 8;
        case DepthQuality::Medium:
            return 4;
        case DepthQuality::High:
            return 2;
        case DepthQuality::Full:
            return 1;
    }
    return 1;
}

StereoConfig StereoConfigFor(DepthQuality quality, int binning) {
    if (binning != 1 && binning != 2 && binning != 4) {
        throw std::invalid_argument("[Stereo] binning " + std::to_string(binning) +
                                    " is not 1, 2 or 4");
    }
    const int divisor = DepthDivisor(quality) * binning;
    StereoConfig config;
    config.width = kEyeWidth / divisor;
    config.height = kEyeHeight / divisor;
    config.disparities = kFullDisparities / divisor;
    // The second, bottom-up pass doubles the work; only the best quality pays for it.
    config.paths = quality == DepthQuality::Full ? 8 : 4;
    return config;
}

void Downsample(ImageView<const std::uint8_t> source, int factor, ImageView<std::uint8_t> target) {
    if (factor < 1 || target.width != source.width / factor ||
        target.height != source.height / factor) {
        throw std::invalid_argument(
            "[Stereo] downsampling " + std::to_string(source.width) + "x" +
            std::to_string(source.height) + " by " + std::to_string(factor) + " does not give " +
            std::to_string(target.width) + "x" + std::to_string(target.height));
    }
    const int area = factor * factor;
    for (int y = 0; y < target.height; ++y) {
        std::uint8_t* out = target.Row(y);
        for (int x = 0; x < target.width; ++x) {
            int sum = 0;
            for (int dy = 0; dy < factor; ++dy) {
                const std::uint8_t* in = source.Row(y * factor + dy) + x * factor;
                for (int dx = 0; dx < factor; ++dx) {
                    sum += in[dx];
                }
            }
            out[x] = static_cast<std::uint8_t>((sum + area / 2) / area);
        }
    }
}

}  // namespace Tarnwell::stereo
