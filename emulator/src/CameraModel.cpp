// Geometry, payload and timing formulas of the Velkor XW model (emulator/README.md states them).
#include "CameraModel.h"

#include <algorithm>

namespace Orvel::detail {

namespace {

// The host's cost of each step of real processing on this machine class (emulator/README.md,
// Timing model, says how they were measured).
constexpr double kReceiveSecondsPerByte = 0.045e-9;
constexpr double kCopySecondsPerByte = 0.04e-9;
constexpr double kReduceSecondsPerPixel = 0.75e-9;
constexpr double kDepthSecondsPerPixel = 21.5e-9;
constexpr double kFourPathSecondsPerCandidate = 0.0525e-9;
constexpr double kEightPathSecondsPerCandidate = 0.24e-9;

}  // namespace

int DepthDivisor(std::size_t quality) {
    constexpr std::array<int, 4> divisors{8, 4, 2, 1};
    return divisors[quality];
}

int EyeDisparities(const Settings& settings) {
    return static_cast<int>(kFullDisparities / settings.binningHorizontal);
}

Tarnwell::stereo::StereoConfig EngineConfigFor(const Settings& settings) {
    const Geometry depth = ComponentGeometry(settings, kDisparity);
    Tarnwell::stereo::StereoConfig config;
    config.width = static_cast<int>(depth.width);
    config.height = static_cast<int>(depth.height);
    config.disparities = EyeDisparities(settings) / DepthDivisor(settings.quality);
    config.paths = settings.quality == kFull ? 8 : 4;
    return config;
}

Geometry ComponentGeometry(const Settings& settings, std::size_t component) {
    const std::int64_t width = kSensorWidth / settings.binningHorizontal;
    const std::int64_t height = kSensorHeight / settings.binningVertical;
    const std::int64_t q = DepthDivisor(settings.quality);
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
    return static_cast<std::int64_t>(LayOut(config, settings).payloadSize);
}

FrameLayout LayOut(const CameraConfig& config, const Settings& settings) {
    FrameLayout layout;
    layout.offsets.fill(kNotSent);
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (!IsActive(config, settings, c)) {
            continue;
        }
        const Geometry g = ComponentGeometry(settings, c);
        ComponentInfo& info = layout.components[layout.componentCount++];
        info.name = kComponentNames[c];
        info.width = static_cast<std::uint32_t>(g.width);
        info.height = static_cast<std::uint32_t>(g.height);
        info.bytesPerPixel = static_cast<std::uint32_t>(g.bytesPerPixel);
        info.offset = layout.payloadSize;
        info.size = static_cast<std::size_t>(g.Bytes());
        layout.offsets[c] = layout.payloadSize;
        layout.payloadSize += info.size;
    }
    return layout;
}

HostProcessingPlan HostPlanFor(const Settings& settings, const FrameLayout& layout) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    HostProcessingPlan plan;
    plan.eyeWidth = static_cast<int>(eye.width);
    plan.eyeHeight = static_cast<int>(eye.height);
    plan.depthDivisor = DepthDivisor(settings.quality);
    plan.engine = EngineConfigFor(settings);
    plan.offsets = layout.offsets;
    return plan;
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
        const auto candidates = static_cast<double>(EngineConfigFor(settings).disparities);
        const double perCandidate = settings.quality == kFull ? kEightPathSecondsPerCandidate
                                                              : kFourPathSecondsPerCandidate;
        seconds += perCandidate * pixels * candidates + kDepthSecondsPerPixel * pixels;
        // Both views reduced to the depth size.
        if (DepthDivisor(settings.quality) > 1) {
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
    timing.period = std::max(1.0 / settings.frameRate, timing.transfer);
    return timing;
}

LinkParameters LinkFor(const CameraConfig& config, const Timing& timing) {
    LinkParameters link;
    link.packets = timing.packets;
    link.packetSeconds = timing.packetTime;
    link.lossRate = config.packetLossRate;
    link.burstLength = config.lossBurstLength;
    link.packetTimeout = config.packetTimeout;
    link.requestSeconds = config.controlRoundTrip / 2;
    return link;
}

}  // namespace Orvel::detail
