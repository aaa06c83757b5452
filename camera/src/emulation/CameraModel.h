// The Velkor XW camera model: its settings, image geometry, payload and timing.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "emulation/Scenario.h"

namespace Orvel::detail {

inline constexpr std::array<const char*, 4> kQualityNames{"Low", "Medium", "High", "Full"};
enum Quality : std::size_t { kLow, kMedium, kHigh, kFull };
inline constexpr std::array<const char*, 2> kModeNames{"SingleComponent",
                                                       "SynchronizedAlternateComponents"};
enum ComponentMode : std::size_t { kSingleComponent, kSynchronizedAlternate };

inline constexpr std::int64_t kSensorWidth = 1920;
inline constexpr std::int64_t kSensorHeight = 1200;
inline constexpr std::int64_t kGevHeaderBytes = 36;    // IP, UDP and GVSP headers in a packet
inline constexpr std::int64_t kEthernetOverhead = 38;  // preamble, header, CRC, gap per packet
inline constexpr double kResendRoundSeconds = 100e-6;

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
// Present on the camera and transmissible in the current component mode.
bool IsAvailable(const CameraConfig& config, const Settings& settings, std::size_t component);
bool IsActive(const CameraConfig& config, const Settings& settings, std::size_t component);
std::int64_t PayloadSize(const CameraConfig& config, const Settings& settings);

struct Timing {
    std::int64_t packets = 0;  // per frame, leader and trailer included
    double transfer = 0;       // seconds on the link
    double processing = 0;     // seconds of depth computation on the host
    double latency = 0;        // exposure to delivery
    double period = 0;         // free-running frame period
    double busy = 0;           // least time between two exposures: max(transfer, processing)
};

Timing ComputeTiming(const CameraConfig& config, const Settings& settings);

// Seconds of the model on the steady clock, at most kLongestModelSeconds: a scenario may ask
// for a link or a computation so slow that the time would not fit the clock, and such a frame
// simply never comes.
inline constexpr double kLongestModelSeconds = 1e9;
std::chrono::steady_clock::duration ModelDuration(double seconds);

}  // namespace Orvel::detail
