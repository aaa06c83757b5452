// Payload and timing formulas of the emulated Velkor XW (emulator/README.md states them).
#include "CameraModel.h"

#include <algorithm>

namespace Orvel::detail {

namespace {

// The host's cost of each step of real processing on this machine class (emulator/README.md,
// Timing model, says how they were measured). Receiving is what Aravis costs a host on a real
// GigE Vision link with 1500-byte packets, not the in-process copy.
constexpr double kReceiveSecondsPerByte = 0.31e-9;
constexpr double kCopySecondsPerByte = 0.04e-9;
constexpr double kReduceSecondsPerPixel = 0.75e-9;
constexpr double kDepthSecondsPerPixel = 21.5e-9;
constexpr double kFourPathSecondsPerCandidate = 0.0525e-9;
constexpr double kEightPathSecondsPerCandidate = 0.24e-9;

}  // namespace

std::int64_t PayloadSize(const CameraConfig& config, const Settings& settings) {
    return static_cast<std::int64_t>(LayOut(config, settings).payloadSize);
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
    timing.packets = PacketsPerFrame(settings);
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
