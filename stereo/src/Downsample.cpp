// Reducing an image by whole blocks.
#include "stereo/Downsample.h"

#include <stdexcept>
#include <string>

namespace Tarnwell::stereo {

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
