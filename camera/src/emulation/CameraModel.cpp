// Geometry, payload and timing formulas of the Velkor XW model (camera/README.md states them).
#include "emulation/CameraModel.h"

#include <algorithm>

namespace Orvel::detail {

namespace {

// Depth computation runs on an image reduced by this factor per axis.
std::int64_t QualityDivisor(std::size_t quality) {
    constexpr std::array<std::int64_t, 4> divisors{8, 4, 2, 1};
    return divisors[quality];
}

std::int64_t Disparities(std::size_t quality) {
    constexpr std::array<std::int64_t, 4> disparities{32, 64, 128, 256};
    return disparities[quality];
}

// The host's cost of each step of real processing on this machine class (camera/README.md,
// Timing model, says how they were measured).
constexpr double kReceiveSecondsPerByte = 0.045e-9;
constexpr double kCopySecondsPerByte = 0.04e-9;
constexpr double kReduceSecondsPerPixel = 0.75e-9;
constexpr double kDepthSecondsPerPixel = 21.5e-9;
constexpr double kFourPathSecondsPerCandidate = 0.0525e-9;
constexpr double kEightPathSecondsPerCandidate = 0.24e-9;

}  // namespace

Geometry ComponentGeometry(const Settings& settings, std::size_t component) {
    const std::int64_t width = kSensorWidth / settings.binningHorizontal;
    const std::int64_t height = kSensorHeight / settings.binningVertical;
    const std::int64_t q = QualityDivisor(settings.quality);
    switch (component) {
        case kIntensity:
            return {width, height, 1};
        case kIntensityCombined:
        case kRawCombined:
            return {width, 2 * height, 1};
        case kDisparity:
            return {width / q, height / q, 2};
        default:  // Confidence, Error
            return {width / q, height / q, 1};
    }
}

bool IsAvailable(const CameraConfig& config, const Settings& settings, std::size_t component) {
    return config.componentPresent[component] &&
           (component != kRawCombined || settings.mode == kSingleComponent);
}

bool IsActive(const CameraConfig& config, const Settings& settings, std::size_t component) {
    return settings.enabled[component] && IsAvailable(config, settings, component);
}

std::int64_t PayloadSize(const CameraConfig& config, const Settings& settings) {
    std::int64_t payload = 0;
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (IsActive(config, settings, c)) {
            payload += ComponentGeometry(settings, c).Bytes();
        }
    }
    return payload;
}

std::int64_t LinkBytes(const Settings& settings) {
    return ComponentGeometry(settings, kRawCombined).Bytes();
}

double ModelledProcessingSeconds(const CameraConfig& config, const Settings& settings) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    const auto eyePixels = static_cast<double>(eye.width * eye.height);
    // Receiving the pair into the host's memory, whatever the components.
    double seconds = kReceiveSecondsPerByte * static_cast<double>(LinkBytes(settings));
    // The intensity components are copies of the received views.
    for (const std::size_t copy : {std::size_t{kIntensity}, std::size_t{kIntensityCombined}}) {
        if (IsActive(config, settings, copy)) {
            seconds += kCopySecondsPerByte *
                       static_cast<double>(ComponentGeometry(settings, copy).Bytes());
        }
    }
    if (IsActive(config, settings, kDisparity) || IsActive(config, settings, kConfidence) ||
        IsActive(config, settings, kError)) {
        const Geometry disparity = ComponentGeometry(settings, kDisparity);
        const auto pixels = static_cast<double>(disparity.width * disparity.height);
        const auto candidates =
            static_cast<double>(Disparities(settings.quality) / settings.binningHorizontal);
        const double perCandidate = settings.quality == kFull ? kEightPathSecondsPerCandidate
                                                              : kFourPathSecondsPerCandidate;
        seconds += perCandidate * pixels * candidates + kDepthSecondsPerPixel * pixels;
        // Both views reduced to the depth size.
        if (QualityDivisor(settings.quality) > 1) {
            seconds += kReduceSecondsPerPixel * 2 * eyePixels;
        }
    }
    return seconds * config.processingScale;
}

Timing ComputeTiming(const CameraConfig& config, const Settings& settings) {
    Timing timing;
    const std::int64_t perPacket = settings.packetSize - kGevHeaderBytes;
    timing.packets = (LinkBytes(settings) + perPacket - 1) / perPacket + 2;
    timing.packetTime =
        static_cast<double>(settings.packetSize + kEthernetOverhead) * 8.0 / config.linkBandwidth +
        static_cast<double>(settings.packetDelayNs) * 1e-9;
    timing.transfer = static_cast<double>(timing.packets) * timing.packetTime;
    timing.processing = ModelledProcessingSeconds(config, settings);
    timing.latency = kExposureSeconds + timing.transfer + timing.processing;
    timing.busy = std::max(timing.transfer, timing.processing);
    timing.period = std::max(1.0 / settings.frameRate, timing.busy);
    return timing;
}

std::chrono::steady_clock::duration ModelDuration(double seconds) {
    // Also NaN goes to the limit: the comparison is false for it.
    const double bounded = seconds <= kLongestModelSeconds ? seconds : kLongestModelSeconds;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(bounded < 0 ? 0 : bounded));
}

}  // namespace Orvel::detail
