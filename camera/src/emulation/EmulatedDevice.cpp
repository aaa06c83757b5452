// The node map of an emulated Velkor XW camera, and opening and closing it.
#include "emulation/EmulatedDevice.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "Errors.h"

namespace Orvel::detail {

using GenApi::RO;
using GenApi::RW;
using GenApi::WO;

namespace {

// Where the selector goes when RawCombined stops being transmissible.
std::size_t FallbackSelector(const CameraConfig& config) {
    if (config.componentPresent[kIntensity]) {
        return kIntensity;
    }
    std::size_t c = 0;
    while (!config.componentPresent[c]) {
        ++c;
    }
    return c;
}

}  // namespace

EmulatedDevice::EmulatedDevice(EmulatedCamera& camera, DeviceCreator& creator)
    : DeviceBase(creator),
      camera_(camera),
      acquisition_(camera.config, camera.settings, SceneSeed(camera.seed, camera.index),
                   camera.info.GetFriendlyName().str()),
      nodes_(*this, camera.info.GetFriendlyName().str()) {
    AddNodes();
}

EmulatedDevice::~EmulatedDevice() {
    Close();
}

void EmulatedDevice::Open() {
    if (open_) {
        return;
    }
    const std::string name = camera_.info.GetFriendlyName().str();
    if (camera_.openBy != nullptr) {
        ORVEL_THROW(RuntimeException,
                    "Cannot open device '" + name + "': another device object holds it open.");
    }
    // The camera grants control to one application at a time (GigE Vision CCP).
    if (camera_.config.openedElsewhere) {
        ORVEL_THROW(AccessException,
                    "Cannot open device '" + name +
                        "': access denied; another application has it open for control.");
    }
    if (acquisition_.IsLost()) {
        acquisition_.RaiseLost();
    }
    OpenOnTheCamera();
}

void EmulatedDevice::OpenOnTheCamera() {
    camera_.openBy = this;
    open_ = true;
    std::seed_seq seed{static_cast<std::uint32_t>(camera_.seed),
                       static_cast<std::uint32_t>(camera_.seed >> 32),
                       static_cast<std::uint32_t>(camera_.index)};
    acquisition_.Reset(seed);
}

void EmulatedDevice::Close() {
    if (!open_) {
        return;
    }
    acquisition_.Close();
    camera_.openBy = nullptr;
    open_ = false;
}

GenApi::INodeMap& EmulatedDevice::GetNodeMap() {
    if (!open_) {
        ORVEL_THROW(AccessException, "Cannot use the node map of '" +
                                         camera_.info.GetFriendlyName().str() +
                                         "': the device is not open.");
    }
    return nodes_;
}

IStreamGrabber* EmulatedDevice::GetStreamGrabber(std::size_t index) {
    return index == 0 ? &acquisition_ : nullptr;
}

void EmulatedDevice::AddNodes() {
    const CameraConfig& config = camera_.config;
    Settings& s = camera_.settings;
    auto has = [&](const char* name) { return config.missingNodes.count(name) == 0; };
    auto traits = [&](const char* name, const char* description, GenApi::EAccessMode access,
                      bool locked) {
        NodeTraits t;
        t.name = name;
        t.description = description;
        t.access = access;
        t.lockedWhileGrabbing = locked;
        t.unreadable = config.unreadableNodes.count(name) != 0;
        return t;
    };
    auto names = [](const auto& list) {
        return std::vector<std::string>(list.begin(), list.end());
    };
    constexpr bool kLocked = true;
    constexpr bool kFree = false;

    if (has("VkrDepthQuality")) {
        nodes_.Add<EnumerationNode>(
            traits("VkrDepthQuality", "Resolution of the depth computation.", RW, kLocked),
            EnumDef{names(kQualityNames),
                    [&s] { return s.quality; },
                    [&s](std::size_t v) { s.quality = v; },
                    {}});
    }
    if (has("AcquisitionFrameRate")) {
        nodes_.Add<FloatNode>(
            traits("AcquisitionFrameRate", "Frames per second the camera is asked for.", RW,
                   kLocked),
            FloatDef{0.5, [&config] { return config.maxFrameRate; }, "Hz",
                     [&s] { return s.frameRate; }, [&s](double v) { s.frameRate = v; }});
    }
    for (const auto& axis : {std::pair{"BinningHorizontal", &s.binningHorizontal},
                             std::pair{"BinningVertical", &s.binningVertical}}) {
        // Named, not a structured binding: clang before 16 cannot capture those.
        const char* name = axis.first;
        std::int64_t* binning = axis.second;
        if (has(name)) {
            nodes_.Add<IntegerNode>(
                traits(name, "Pixels combined into one along this axis.", RW, kLocked),
                IntegerDef{1,
                           4,
                           1,
                           {1, 2, 4},
                           "",
                           [binning] { return *binning; },
                           [binning](std::int64_t v) { *binning = v; }});
        }
    }
    if (has("VkrIlluminationStrength")) {
        nodes_.Add<FloatNode>(traits("VkrIlluminationStrength",
                                     "Strength of the pattern projector, 0 to 1.", RW, kFree),
                              FloatDef{0.0, [] { return 1.0; }, "", [&s] { return s.illumination; },
                                       [&s](double v) { s.illumination = v; }});
    }
    if (has("VkrComponentMode")) {
        nodes_.Add<EnumerationNode>(
            traits("VkrComponentMode", "How the enabled image components are transmitted.", RW,
                   kLocked),
            EnumDef{names(kModeNames),
                    [&s] { return s.mode; },
                    [&s, &config](std::size_t v) {
                        s.mode = v;
                        if (v == kSynchronizedAlternate && s.selector == kRawCombined) {
                            s.selector = FallbackSelector(config);
                        }
                    },
                    {}});
    }
    // The selector's entries are the components the camera has.
    std::vector<std::string> present;
    std::vector<std::size_t> presentIndex;
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (config.componentPresent[c]) {
            present.emplace_back(kComponentNames[c]);
            presentIndex.push_back(c);
        }
    }
    if (has("ComponentSelector")) {
        nodes_.Add<EnumerationNode>(
            traits("ComponentSelector",
                   "Image component that ComponentEnable, Width and Height "
                   "apply to.",
                   RW, kFree),
            EnumDef{present,
                    [&s, presentIndex] {
                        return static_cast<std::size_t>(
                            std::find(presentIndex.begin(), presentIndex.end(), s.selector) -
                            presentIndex.begin());
                    },
                    [&s, presentIndex](std::size_t v) { s.selector = presentIndex[v]; },
                    [&s, presentIndex](std::size_t v) -> const char* {
                        return presentIndex[v] == kRawCombined && s.mode != kSingleComponent
                                   ? " in component mode 'SynchronizedAlternateComponents'"
                                   : nullptr;
                    }});
    }
    if (has("ComponentEnable")) {
        nodes_.Add<BooleanNode>(
            traits("ComponentEnable", "Whether the selected component is transmitted.", RW,
                   kLocked),
            BooleanDef{[&s] { return s.enabled[s.selector]; },
                       [&s](bool v) { s.enabled[s.selector] = v; }});
    }
    if (has("Width")) {
        nodes_.Add<IntegerNode>(traits("Width", "Width of the selected component.", RO, kFree),
                                IntegerDef{1,
                                           kSensorWidth,
                                           1,
                                           {},
                                           "px",
                                           [&s] { return ComponentGeometry(s, s.selector).width; },
                                           {}});
    }
    if (has("Height")) {
        nodes_.Add<IntegerNode>(traits("Height", "Height of the selected component.", RO, kFree),
                                IntegerDef{1,
                                           2 * kSensorHeight,
                                           1,
                                           {},
                                           "px",
                                           [&s] { return ComponentGeometry(s, s.selector).height; },
                                           {}});
    }
    if (has("PayloadSize")) {
        nodes_.Add<IntegerNode>(
            traits("PayloadSize", "Bytes of one frame: the enabled, transmissible components.", RO,
                   kFree),
            IntegerDef{0,
                       9 * kSensorWidth * kSensorHeight,
                       1,
                       {},
                       "B",
                       [&s, &config] { return PayloadSize(config, s); },
                       {}});
    }
    if (has("GevSCPD")) {
        nodes_.Add<IntegerNode>(
            traits("GevSCPD", "Delay between the packets of the stream channel.", RW, kLocked),
            IntegerDef{0,
                       1000000,
                       1,
                       {},
                       "ns",
                       [&s] { return s.packetDelayNs; },
                       [&s](std::int64_t v) { s.packetDelayNs = v; }});
    }
    if (has("GevSCPSPacketSize")) {
        nodes_.Add<IntegerNode>(
            traits("GevSCPSPacketSize", "Packet size of the stream channel.", RW, kLocked),
            IntegerDef{576,
                       9000,
                       4,
                       {},
                       "B",
                       [&s] { return s.packetSize; },
                       [&s](std::int64_t v) { s.packetSize = v; }});
    }
    if (has("TriggerMode")) {
        nodes_.Add<EnumerationNode>(
            traits("TriggerMode", "On: one frame per software trigger.", RW, kLocked),
            EnumDef{{"Off", "On"},
                    [&s] { return s.triggered ? std::size_t{1} : 0; },
                    [&s](std::size_t v) { s.triggered = v == 1; },
                    {}});
    }
    if (has("TriggerSoftware")) {
        NodeTraits t = traits("TriggerSoftware", "Acquires one frame.", WO, kFree);
        t.unavailable = [this, &s]() -> const char* {
            return IsGrabbing() && s.triggered ? nullptr
                                               : "the camera is not grabbing with TriggerMode On";
        };
        nodes_.Add<CommandNode>(std::move(t), CommandDef{[this] { acquisition_.Trigger(); }});
    }
    for (std::size_t i = 0; i < kCounterCount; ++i) {
        if (!has(kCounterNames[i])) {
            continue;
        }
        nodes_.Add<IntegerNode>(
            traits(kCounterNames[i], "Transport statistics since the camera was opened.", RO,
                   kFree),
            IntegerDef{std::numeric_limits<std::int64_t>::min(),
                       std::numeric_limits<std::int64_t>::max(),
                       1,
                       {},
                       "",
                       [this, i, &config] {
                           return config.counters[i] ? *config.counters[i]
                                                     : acquisition_.Counter(i);
                       },
                       {}});
    }
}

}  // namespace Orvel::detail
