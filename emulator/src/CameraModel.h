// The Velkor XW camera model: its settings, image geometry, payload and timing.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "Link.h"
#include "Orvel/GrabResult.h"
#include "Orvel/Transport/Durations.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Scenario.h"
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
inline constexpr std::int64_t kGevHeaderBytes = 36;    // IP, UDP and GVSP headers in a packet
inline constexpr std::int64_t kEthernetOverhead = 38;  // preamble, header, CRC, gap per packet
// The sensor's fixed exposure; it precedes the readout onto the link.
inline constexpr double kExposureSeconds = 1e-3;
// Arming the sensor for triggered frames: the first exposure after grabbing starts in trigger mode
// waits this much longer.
inline constexpr double kTriggerArmSeconds = 5e-3;
// A triggered exposure starts up to this much after the trigger reaches the camera.
inline constexpr double kTriggerJitterSeconds = 100e-6;

// The camera's own state: survives closing and reopening while the SDK runs.
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
bool IsAvailable(const CameraConfig& config, const Settings& settings, std::size_t component);
bool IsActive(const CameraConfig& config, const Settings& settings, std::size_t component);
std::int64_t PayloadSize(const CameraConfig& config, const Settings& settings);

// A result's buffer: the active components one after another in the selector's order.
struct FrameLayout {
    std::size_t payloadSize = 0;
    std::array<ComponentInfo, kComponentCount> components{};
    std::size_t componentCount = 0;
    ComponentOffsets offsets{};  // kNotSent for the components the frame does not carry
};
FrameLayout LayOut(const CameraConfig& config, const Settings& settings);

// What the host computes from the raw pair for a frame laid out as `layout`.
HostProcessingPlan HostPlanFor(const Settings& settings, const FrameLayout& layout);

// Bytes the camera sends per frame whatever the components: its raw pair, Mono8, left above right
// at the current binning. The host computes the components from it.
std::int64_t LinkBytes(const Settings& settings);

struct Timing {
    std::int64_t packets = 0;  // per frame, leader and trailer included
    double packetTime = 0;     // seconds on the link per packet, its delay included
    double transfer = 0;       // seconds of the raw pair on the link, without resends
    double processing = 0;     // modelled seconds of the host's computation of the components
    double latency = 0;        // exposure start to delivery, on an idle link and host
    // Free-running frame period on a link without losses: the camera's alone, max(1 /
    // AcquisitionFrameRate, transfer). The host's pace does not enter it.
    double period = 0;
};

Timing ComputeTiming(const CameraConfig& config, const Settings& settings);

// The link's packets, losses and resend constants at these settings.
LinkParameters LinkFor(const CameraConfig& config, const Timing& timing);

// The host's computation of the active components as the modelled processing charges it:
// calibrated to the stereo engine's measured cost (emulator/README.md, Timing model).
double ModelledProcessingSeconds(const CameraConfig& config, const Settings& settings);

}  // namespace Orvel::detail
