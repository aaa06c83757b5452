// The emulation's configuration: the ORVEL_EMULATION setting and the scenario file it may name.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Orvel/Transport/StereoStream.h"
#include "Recording.h"

namespace Orvel::detail {

inline constexpr std::size_t kMaxCameras = 64;
inline constexpr const char* kDefaultTransportLayerName = "Orvel Velkor XW Emulated Producer CPU";

struct GrabFailures {
    std::uint64_t every = 0;  // 0: none
    std::uint32_t errorCode = kBufferIncomplete;
    std::string description;  // empty: the default text naming the result
};

// Real: the camera renders a scene and the host computes the components from it, taking the time
// that really takes; modelled: the components' time comes from the timing formulas, nothing is
// drawn or computed.
enum class Processing { Real, Modelled };

// A setting the camera holds when the run starts, as an earlier run or another application left
// it: a feature's value as text (FromString), or the enable state of one component.
struct PowerOnValue {
    std::string feature;
    std::string component;  // ComponentEnable only
    std::string text;
};

struct CameraConfig {
    std::string friendlyName;
    std::string serialNumber;
    std::string ipAddress;
    std::set<std::string, std::less<>> missingNodes;
    std::set<std::string, std::less<>> unreadableNodes;
    std::array<bool, kComponentCount> componentPresent{true, true, true, true, true, true};
    GrabFailures grabFailures;
    std::optional<std::uint64_t> stopGrabbingAfter;
    std::optional<std::uint64_t> stallAfter;
    double packetLossRate = 0;
    double lossBurstLength = 1;   // mean run of lost packets; 1: independent losses
    double packetTimeout = 0.02;  // the host's wait for a missing packet (a GigE Vision receiver's)
    std::array<std::optional<std::int64_t>, kCounterCount> counters;
    double maxFrameRate = 100;
    double linkBandwidth = 1e9;
    double processingScale = 1.0;
    std::uint32_t bufferCount = 10;
    Processing processing = Processing::Real;
    std::vector<PowerOnValue> powerOn;       // in the order they are written at start-up
    bool openedElsewhere = false;            // another application controls it: Open is refused
    bool unreachable = false;                // on another subnet: the device cannot be created
    std::optional<std::uint64_t> lostAfter;  // the cable is pulled after this result
    double heartbeatTimeout = 3.0;           // seconds until a lost camera is noticed
    double controlRoundTrip = 400e-6;        // seconds of a command and its acknowledgement
    std::shared_ptr<const Recording> recording = std::make_shared<Recording>();
};

enum class InterfaceFailure { None, TransportLayer, Interface };

struct Scenario {
    bool deviceClassAvailable = true;
    std::string transportLayerName = kDefaultTransportLayerName;
    InterfaceFailure interfaceFailure = InterfaceFailure::None;
    std::uint64_t seed = 1;
    std::vector<CameraConfig> cameras;
};

// Default camera i: serial 40051001+i, address 169.254.1.(10+i).
CameraConfig DefaultCamera(std::size_t index);

// From the value of ORVEL_EMULATION (null: unset). Raises GenICam::RuntimeException for a setting
// or scenario file that cannot be used, naming the file and the fault.
Scenario LoadScenario(const char* setting);

// Parses scenario text; `origin` names the file in error texts.
Scenario ParseScenario(std::string_view text, const std::string& origin);

}  // namespace Orvel::detail
