// Real processing: rendering the camera's pair, and the host's copies, matching and error image.
#include "emulation/Processing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "stereo/DepthQuality.h"
#include "stereo/Evaluation.h"

namespace Orvel::detail {

namespace {

using stereo::Image;
using stereo::ImageView;

stereo::DepthQuality QualityOf(const Settings& settings) {
    constexpr std::array<stereo::DepthQuality, 4> qualities{
        stereo::DepthQuality::Low, stereo::DepthQuality::Medium, stereo::DepthQuality::High,
        stereo::DepthQuality::Full};
    return qualities[settings.quality];
}

template <class T>
ImageView<T> ViewAt(unsigned char* at, const Geometry& g) {
    const int width = static_cast<int>(g.width);
    // Offsets are even and buffers come from new[]: aligned for two-byte pixels.
    return {reinterpret_cast<T*>(at), width, static_cast<int>(g.height), width};
}

// An image of the session, or an error that says which and how large it was to be.
template <class T>
Image<T> Allocate(int width, int height, const char* what) {
    try {
        return Image<T>(width, height);
    } catch (const std::bad_alloc&) {
        const double mebibytes = double(width) * double(height) * sizeof(T) / (1 << 20);
        char text[160];
        std::snprintf(text, sizeof text, "cannot allocate %s of %dx%d pixels (%.1f MiB)", what,
                      width, height, mebibytes);
        throw std::runtime_error(text);
    }
}

std::size_t Bytes(const auto& image) {
    return std::size_t(image.Width()) * std::size_t(image.Height()) * sizeof(*image.Row(0));
}

}  // namespace

std::uint64_t SceneSeed(std::uint64_t seed, std::size_t index) {
    return seed * kMaxCameras + index;
}

stereo::SceneOptions SceneFor(const Settings& settings, std::uint64_t sceneSeed) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    stereo::SceneOptions options;
    options.width = static_cast<int>(eye.width);
    options.height = static_cast<int>(eye.height);
    options.disparities = stereo::kFullDisparities / static_cast<int>(settings.binningHorizontal);
    options.seed = sceneSeed;
    return options;
}

stereo::StereoConfig EngineConfigFor(const Settings& settings) {
    // The range follows the horizontal binning alone; the rows follow the vertical one.
    stereo::StereoConfig config =
        stereo::StereoConfigFor(QualityOf(settings), static_cast<int>(settings.binningHorizontal));
    const Geometry depth = ComponentGeometry(settings, kDisparity);
    config.width = static_cast<int>(depth.width);
    config.height = static_cast<int>(depth.height);
    return config;
}

RealProcessing::RealProcessing(const Settings& settings, const ComponentOffsets& offsets,
                               std::uint64_t sceneSeed,
                               std::unique_ptr<stereo::SyntheticScene>& scene)
    : offsets_(offsets), divisor_(stereo::DepthDivisor(QualityOf(settings))) {
    const stereo::SceneOptions options = SceneFor(settings, sceneSeed);
    if (!scene || scene->Options().width != options.width ||
        scene->Options().height != options.height ||
        scene->Options().disparities != options.disparities ||
        scene->Options().seed != options.seed) {
        scene.reset();  // the old textures go before the new ones are made
        scene = std::make_unique<stereo::SyntheticScene>(options);
    }
    scene_ = scene.get();

    const bool error = Sends(kError);
    for (Slot& slot : slots_) {
        slot.left = Allocate<std::uint8_t>(options.width, options.height, "a left view");
        slot.right = Allocate<std::uint8_t>(options.width, options.height, "a right view");
        if (error) {
            slot.truth = Allocate<float>(options.width, options.height, "a true disparity");
            slot.visible = Allocate<std::uint8_t>(options.width, options.height, "a visibility");
        }
    }
    if (!Sends(kDisparity) && !Sends(kConfidence) && !error) {
        return;
    }
    const stereo::StereoConfig config = EngineConfigFor(settings);
    engine_ = stereo::CreateCpuStereoEngine(config);
    if (divisor_ > 1) {
        depthLeft_ = Allocate<std::uint8_t>(config.width, config.height, "a reduced left view");
        depthRight_ = Allocate<std::uint8_t>(config.width, config.height, "a reduced right view");
        if (error) {
            depthTruth_ = Allocate<float>(config.width, config.height, "a reduced disparity");
            depthVisible_ =
                Allocate<std::uint8_t>(config.width, config.height, "a reduced visibility");
        }
    }
    if (!Sends(kDisparity)) {
        disparity_ = Allocate<std::uint16_t>(config.width, config.height, "a disparity");
    }
}

void RealProcessing::Render(std::uint64_t frame) {
    Slot& slot = slots_[(frame - 1) % kSensorSlots];
    scene_->Render(frame,
                   {slot.left.View(), slot.right.View(), slot.truth.View(), slot.visible.View()});
}

void RealProcessing::Compute(std::uint64_t frame, unsigned char* buffer) {
    const Slot& slot = slots_[(frame - 1) % kSensorSlots];
    // The renderer's pair is rectified already, and the raw pair is shown as rendered: the
    // intensity components are copies.
    const std::size_t eye = Bytes(slot.left);
    for (std::size_t pair : {std::size_t{kIntensityCombined}, std::size_t{kRawCombined}}) {
        if (Sends(pair)) {
            std::memcpy(buffer + offsets_[pair], slot.left.Row(0), eye);
            std::memcpy(buffer + offsets_[pair] + eye, slot.right.Row(0), eye);
        }
    }
    if (Sends(kIntensity)) {
        std::memcpy(buffer + offsets_[kIntensity], slot.left.Row(0), eye);
    }
    if (!engine_) {
        return;
    }

    const stereo::StereoConfig& config = engine_->Config();
    const Geometry depth{config.width, config.height, 1};
    ImageView<const std::uint8_t> left = slot.left.View();
    ImageView<const std::uint8_t> right = slot.right.View();
    if (divisor_ > 1) {
        stereo::Downsample(left, divisor_, depthLeft_.View());
        stereo::Downsample(right, divisor_, depthRight_.View());
        left = depthLeft_.View();
        right = depthRight_.View();
    }
    stereo::StereoOutput output;
    output.disparity = Sends(kDisparity)
                           ? ViewAt<std::uint16_t>(buffer + offsets_[kDisparity], depth)
                           : disparity_.View();
    if (Sends(kConfidence)) {
        output.confidence = ViewAt<std::uint8_t>(buffer + offsets_[kConfidence], depth);
    }
    engine_->Compute(left, right, output);

    if (Sends(kError)) {
        ImageView<const float> truth = slot.truth.View();
        ImageView<const std::uint8_t> visible = slot.visible.View();
        if (divisor_ > 1) {
            ReduceTruth(truth, visible, divisor_, depthTruth_.View(), depthVisible_.View());
            truth = depthTruth_.View();
            visible = depthVisible_.View();
        }
        stereo::ComputeErrorImage(output.disparity, truth, visible,
                                  ViewAt<std::uint8_t>(buffer + offsets_[kError], depth));
    }
}

std::size_t RealProcessing::MemoryBytes() const {
    std::size_t bytes = engine_ ? engine_->MemoryBytes() : 0;
    for (const Slot& slot : slots_) {
        bytes += Bytes(slot.left) + Bytes(slot.right) + Bytes(slot.truth) + Bytes(slot.visible);
    }
    return bytes + Bytes(depthLeft_) + Bytes(depthRight_) + Bytes(depthTruth_) +
           Bytes(depthVisible_) + Bytes(disparity_);
}

void ReduceTruth(ImageView<const float> truth, ImageView<const std::uint8_t> visible, int factor,
                 ImageView<float> reducedTruth, ImageView<std::uint8_t> reducedVisible) {
    const float scale = 1.0f / static_cast<float>(factor * factor * factor);
    for (int y = 0; y < reducedTruth.height; ++y) {
        for (int x = 0; x < reducedTruth.width; ++x) {
            float sum = 0;
            bool seen = true;
            for (int dy = 0; dy < factor; ++dy) {
                const float* t = truth.Row(y * factor + dy) + x * factor;
                const std::uint8_t* v = visible.Row(y * factor + dy) + x * factor;
                for (int dx = 0; dx < factor; ++dx) {
                    sum += t[dx];
                    seen = seen && v[dx] != 0;
                }
            }
            reducedTruth.At(x, y) = sum * scale;
            reducedVisible.At(x, y) = seen ? 1 : 0;
        }
    }
}

}  // namespace Orvel::detail
