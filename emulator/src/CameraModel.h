// The emulated Velkor XW camera: its payload and timing, on the class's geometry (VelkorXw.h).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "Orvel/GrabResult.h"
#include "Orvel/Transport/Durations.h"
#include "Orvel/Transport/VelkorXw.h"
#include "Scenario.h"
#include "stereo/StereoEngine.h"

namespace Orvel::detail {

inline constexpr std::int64_t kEthernetOverhead = 38;  // preamble, header, CRC, gap per packet
// The sensor's fixed exposure; it precedes the readout onto the link.
inline constexpr double kExposureSeconds = 1e-3;
// Arming the sensor for triggered frames: the first exposure after grabbing starts in trigger mode
// waits this much longer.
inline constexpr double kTriggerArmSeconds = 5e-3;
// A triggered exposure starts up to this much after the trigger reaches the camera.
inline constexpr double kTriggerJitterSeconds = 100e-6;
// The camera holds one trigger that came while its sensor was busy; one more is ignored.
inline constexpr std::size_t kHeldTriggers = 1;
// Triggers that may wait for the sensor when one arrives: with the sensor busy, those held;
// free, also the one that starts a frame (which a trigger after it then finds busy).
inline constexpr std::size_t TriggersThatMayWait(bool sensorBusy) {
    return sensorBusy ? kHeldTriggers : 1 + kHeldTriggers;
}

// The class's rules for a camera of the scenario, whose components it may leave out.
inline bool IsAvailable(const CameraConfig& config, const Settings& settings,
                        std::size_t component) {
    return IsAvailable(config.componentPresent, settings, component);
}
inline bool IsActive(const CameraConfig& config, const Settings& settings, std::size_t component) {
    return IsActive(config.componentPresent, settings, component);
}
inline FrameLayout LayOut(const CameraConfig& config, const Settings& settings) {
    return LayOut(config.componentPresent, settings);
}
std::int64_t PayloadSize(const CameraConfig& config, const Settings& settings);

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
