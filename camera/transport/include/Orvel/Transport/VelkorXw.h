// The Velkor XW class as the SDK knows it, whatever the transport: its settings, the geometry of
// its image components, the layout of a result and the host's work on the raw pair it sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Orvel/GrabResult.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Orvel/Transport/StereoStream.h"
#include "stereo/StereoEngine.h"

namespace Orvel::detail {

inline constexpr std::array<const char*, 4> kQualityNames{"Low", "Medium", "High", "Full"};
enum Quality : std::size_t { kLow, kMedium, kHigh, kFull };
inline constexpr std::array<const char*, 2> kModeNames{"SingleComponent",
                                                       "SynchronizedAlternateComponents"};
enum ComponentMode : std::size_t { kSingleComponent, kSynchronizedAlternate };

// One eye at binning 1, and the disparity range the full-size depth image needs.
inline constexpr std::int64_t kSensorWidth = 1920;
inline constexpr std::int64_t kSensorHeight = 1200;
inline constexpr std::int64_t kFullDisparities = 256;
inline constexpr std::int64_t kGevHeaderBytes = 36;  // IP, UDP and GVSP headers in a packet

// The camera's settings, as its features read and write them.
struct Settings {
    std::size_t quality = kHigh;
    double frameRate = 10;
    std::int64_t binningHorizontal = 1;
    std::int64_t binningVertical = 1;
    double illumination = 0;
    std::size_t mode = kSynchronizedAlternate;
    std::size_t selector = kIntensity;
    std::array<bool, kComponentCount> enabled{false, true, true, false, false, false};
    std::int64_t packetDelayNs = 0;
    std::int64_t packetSize = 1500;
    bool triggered = false;  // TriggerMode On
};

// The components a camera of the class has (a scenario may leave some out).
using ComponentsPresent = std::array<bool, kComponentCount>;

struct Geometry {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t bytesPerPixel = 0;
    std::int64_t Bytes() const { return width * height * bytesPerPixel; }
};

Geometry ComponentGeometry(const Settings& settings, std::size_t component);

// How much smaller than the eye the depth image is: 8, 4, 2, 1 from Low to Full.
int DepthDivisor(std::size_t quality);
// The disparities the eye's views span at this binning (the range follows the horizontal
// binning; the vertical one only changes the rows).
int EyeDisparities(const Settings& settings);
// The stereo engine's work at these settings: the depth image's size and range, eight paths for
// Full (the second, bottom-up pass doubles the work), four otherwise.
Tarnwell::stereo::StereoConfig EngineConfigFor(const Settings& settings);
// Present on the camera and transmissible in the current component mode.
bool IsAvailable(const ComponentsPresent& present, const Settings& settings, std::size_t component);
bool IsActive(const ComponentsPresent& present, const Settings& settings, std::size_t component);

// A result's buffer: the active components one after another in the selector's order.
struct FrameLayout {
    std::size_t payloadSize = 0;
    std::array<ComponentInfo, kComponentCount> components{};
    std::size_t componentCount = 0;
    ComponentOffsets offsets{};  // kNotSent for the components the frame does not carry
};
FrameLayout LayOut(const ComponentsPresent& present, const Settings& settings);

// What the host computes from the raw pair for a frame laid out as `layout`.
HostProcessingPlan HostPlanFor(const Settings& settings, const FrameLayout& layout);

// Bytes the camera sends per frame whatever the components: its raw pair, Mono8, left above right
// at the current binning. The host computes the components from it.
std::int64_t LinkBytes(const Settings& settings);
// GigE Vision packets of a frame: the raw pair in packets of `packetSize` less the headers, plus
// the leader and the trailer.
std::int64_t PacketsPerFrame(const Settings& settings);

}  // namespace Orvel::detail
