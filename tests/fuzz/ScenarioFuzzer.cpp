// Fuzz target: scenario text through the emulation's loader, then the timing model of every
// camera it accepts, as the acquisition thread schedules frames with it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "CameraModel.h"
#include "GenICam/Exception.h"
#include "Scenario.h"

namespace {

using namespace Orvel::detail;

// The camera's settings at both ends of their ranges: the defaults, and the fastest image.
Settings Fastest() {
    Settings settings;
    settings.quality = kLow;
    settings.frameRate = 0.5;
    settings.binningHorizontal = 4;
    settings.binningVertical = 4;
    settings.packetSize = 9000;
    return settings;
}

void Schedule(const CameraConfig& camera, const Settings& settings) {
    const Timing timing = ComputeTiming(camera, settings);
    const auto zero = std::chrono::steady_clock::duration::zero();
    // Every span of the schedule must be a usable, non-negative wait, however slow the link.
    for (const double seconds :
         {timing.latency, timing.transfer, timing.processing, timing.packetTime, timing.period,
          1e6 * timing.period + timing.latency}) {
        if (ModelDuration(seconds) < zero) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scenario scenario;
    try {
        scenario =
            ParseScenario(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.json");
    } catch (const GenICam::GenericException&) {
        return 0;  // refused with a message: the expected outcome for most inputs
    }
    for (const CameraConfig& camera : scenario.cameras) {
        Schedule(camera, Settings{});
        Schedule(camera, Fastest());
    }
    return 0;
}
