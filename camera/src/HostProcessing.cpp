// The host's work on each received raw pair: copies for the intensity components, the engine for
// the depth ones, the error image against the camera's truth.
#include "Orvel/Transport/HostProcessing.h"

#include <cstring>

#include "stereo/Downsample.h"
#include "stereo/Evaluation.h"

namespace Orvel::detail {

namespace {

using stereo::ImageView;

template <class T>
ImageView<T> ViewAt(unsigned char* at, int width, int height) {
    // Offsets are even and buffers come from new[]: aligned for two-byte pixels.
    return {reinterpret_cast<T*>(at), width, height, width};
}

std::size_t Bytes(const auto& image) {
    return std::size_t(image.Width()) * std::size_t(image.Height()) * sizeof(*image.Row(0));
}

}  // namespace

HostProcessing::HostProcessing(const HostProcessingPlan& plan)
    : offsets_(plan.offsets), divisor_(plan.depthDivisor) {
    if (!Sends(kRawCombined)) {
        received_ =
            AllocateImage<std::uint8_t>(plan.eyeWidth, 2 * plan.eyeHeight, "a received pair");
    }
    if (!Sends(kDisparity) && !Sends(kConfidence) && !Sends(kError)) {
        return;
    }
    const stereo::StereoConfig& config = plan.engine;
    engine_ = stereo::CreateCpuStereoEngine(config);
    if (divisor_ > 1) {
        depthLeft_ =
            AllocateImage<std::uint8_t>(config.width, config.height, "a reduced left view");
        depthRight_ =
            AllocateImage<std::uint8_t>(config.width, config.height, "a reduced right view");
    }
    if (!Sends(kDisparity)) {
        disparity_ = AllocateImage<std::uint16_t>(config.width, config.height, "a disparity");
    }
}

void HostProcessing::Compute(const ReceivedPair& received, unsigned char* buffer) {
    // Receiving: the raw pair lands in the host's memory, in the result itself when it is sent.
    const int width = received.left.width;
    const int height = received.left.height;
    const std::size_t eye = std::size_t(width) * std::size_t(height);
    unsigned char* pair = Sends(kRawCombined) ? buffer + offsets_[kRawCombined] : received_.Row(0);
    for (int y = 0; y < height; ++y) {
        std::memcpy(pair + std::size_t(y) * width, received.left.Row(y), std::size_t(width));
        std::memcpy(pair + eye + std::size_t(y) * width, received.right.Row(y), std::size_t(width));
    }
    const ImageView<const std::uint8_t> left{pair, width, height, width};
    const ImageView<const std::uint8_t> right{pair + eye, width, height, width};

    // The views arrive rectified: the components are the received ones.
    if (Sends(kIntensityCombined)) {
        std::memcpy(buffer + offsets_[kIntensityCombined], pair, 2 * eye);
    }
    if (Sends(kIntensity)) {
        std::memcpy(buffer + offsets_[kIntensity], pair, eye);
    }
    if (!engine_) {
        return;
    }

    const stereo::StereoConfig& config = engine_->Config();
    ImageView<const std::uint8_t> depthLeft = left;
    ImageView<const std::uint8_t> depthRight = right;
    if (divisor_ > 1) {
        stereo::Downsample(left, divisor_, depthLeft_.View());
        stereo::Downsample(right, divisor_, depthRight_.View());
        depthLeft = depthLeft_.View();
        depthRight = depthRight_.View();
    }
    stereo::StereoOutput output;
    output.disparity = Sends(kDisparity) ? ViewAt<std::uint16_t>(buffer + offsets_[kDisparity],
                                                                 config.width, config.height)
                                         : disparity_.View();
    if (Sends(kConfidence)) {
        output.confidence =
            ViewAt<std::uint8_t>(buffer + offsets_[kConfidence], config.width, config.height);
    }
    engine_->Compute(depthLeft, depthRight, output);
    if (Sends(kError)) {
        stereo::ComputeErrorImage(
            output.disparity, received.truth, received.visible,
            ViewAt<std::uint8_t>(buffer + offsets_[kError], config.width, config.height));
    }
}

std::size_t HostProcessing::MemoryBytes() const {
    return (engine_ ? engine_->MemoryBytes() : 0) + Bytes(received_) + Bytes(depthLeft_) +
           Bytes(depthRight_) + Bytes(disparity_);
}

}  // namespace Orvel::detail
