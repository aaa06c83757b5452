// Fuzz target: the stereo engine over any configuration and any image content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "stereo/Image.h"
#include "stereo/StereoEngine.h"

namespace {

namespace stereo = Tarnwell::stereo;

// Reads the input front to back; zeros once it runs out.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    int Byte() { return at_ < size_ ? data_[at_++] : 0; }
    int Range(int low, int high) { return low + Byte() % (high - low + 1); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    stereo::StereoConfig config;
    config.width = in.Range(1, 80);
    config.height = in.Range(1, 48);
    config.disparities = in.Range(1, 256);
    config.paths = in.Byte() % 2 == 0 ? 4 : 8;
    // Out-of-range settings now and then: they must be refused, never run.
    config.p1 = in.Range(-2, 40);
    config.p2 = in.Range(0, 215);
    config.subpixel = in.Byte() % 2 == 0;
    config.leftRightCheck = in.Byte() % 2 == 0;
    config.leftRightMaxDiff = in.Range(-1, 4);
    config.uniqueness = in.Range(-1, 100);
    config.threads = in.Range(1, 3);
    const bool confidence = in.Byte() % 2 == 0;

    stereo::Image<std::uint8_t> left(config.width, config.height);
    stereo::Image<std::uint8_t> right(config.width, config.height);
    // Flat areas, noise and repeated patterns all come from the input itself.
    for (int y = 0; y < config.height; ++y) {
        for (int x = 0; x < config.width; ++x) {
            left.At(x, y) = static_cast<std::uint8_t>(in.Byte());
            right.At(x, y) = static_cast<std::uint8_t>(in.Byte());
        }
    }
    std::unique_ptr<stereo::IStereoEngine> engine;
    try {
        engine = stereo::CreateCpuStereoEngine(config);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    stereo::Image<std::uint16_t> disparity(config.width, config.height);
    stereo::Image<std::uint8_t> trust(config.width, config.height);
    stereo::StereoOutput output{disparity.View(), {}};
    if (confidence) {
        output.confidence = trust.View();
    }
    engine->Compute(left.View(), right.View(), output);

    // Every estimate lies in the range and points into the right view; no confidence without an
    // estimate.
    for (int y = 0; y < config.height; ++y) {
        for (int x = 0; x < config.width; ++x) {
            const int d = disparity.At(x, y);
            if (d == stereo::kInvalidDisparity) {
                if (confidence && trust.At(x, y) != 0) {
                    std::abort();
                }
                continue;
            }
            if (d >= config.disparities * stereo::kDisparityScale ||
                d > x * stereo::kDisparityScale + stereo::kDisparityScale / 2) {
                std::abort();
            }
        }
    }
    return 0;
}
