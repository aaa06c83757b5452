// Geometry and layout of the Velkor XW class (emulator/README.md and camera/README.md state them).
#include "Orvel/Transport/VelkorXw.h"

namespace Orvel::detail {

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

bool IsAvailable(const ComponentsPresent& present, const Settings& settings,
                 std::size_t component) {
    return present[component] && (component != kRawCombined || settings.mode == kSingleComponent);
}

bool IsActive(const ComponentsPresent& present, const Settings& settings, std::size_t component) {
    return settings.enabled[component] && IsAvailable(present, settings, component);
}

FrameLayout LayOut(const ComponentsPresent& present, const Settings& settings) {
    FrameLayout layout;
    layout.offsets.fill(kNotSent);
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (!IsActive(present, settings, c)) {
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

std::int64_t PacketsPerFrame(const Settings& settings) {
    const std::int64_t perPacket = settings.packetSize - kGevHeaderBytes;
    return (LinkBytes(settings) + perPacket - 1) / perPacket + 2;
}

}  // namespace Orvel::detail
