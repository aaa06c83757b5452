// The features of an emulated Velkor XW camera: names, kinds, access, ranges and units, and the
// camera state each one reads and writes.
#include "Features.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "Acquisition.h"
#include "CameraModel.h"
#include "Scenario.h"

namespace Orvel::detail {

namespace {

using GenApi::RO;
using GenApi::RW;
using GenApi::WO;

constexpr bool kLocked = true;
constexpr bool kFree = false;

std::vector<std::string> Names(const auto& list) {
    return std::vector<std::string>(list.begin(), list.end());
}

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

Feature Binning(const char* name, bool horizontal, int powerOnOrder) {
    return {name,
            FeatureKind::Integer,
            RW,
            kLocked,
            powerOnOrder,
            "Pixels combined into one along this axis.",
            [horizontal](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
                std::int64_t& binning =
                    horizontal ? state.settings.binningHorizontal : state.settings.binningVertical;
                nodes.Add<IntegerNode>(std::move(traits),
                                       IntegerDef{1,
                                                  4,
                                                  1,
                                                  {1, 2, 4},
                                                  "",
                                                  [&binning] { return binning; },
                                                  [&binning](std::int64_t v) { binning = v; }});
            }};
}

Feature Counter(std::size_t counter) {
    return {kCounterNames[counter],
            FeatureKind::Integer,
            RO,
            kFree,
            0,
            "Transport statistics since the camera was opened.",
            [counter](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
                const CameraConfig& config = state.config;
                Acquisition& acquisition = state.acquisition;
                nodes.Add<IntegerNode>(std::move(traits),
                                       IntegerDef{std::numeric_limits<std::int64_t>::min(),
                                                  std::numeric_limits<std::int64_t>::max(),
                                                  1,
                                                  {},
                                                  "",
                                                  [&config, &acquisition, counter] {
                                                      return config.counters[counter]
                                                                 ? *config.counters[counter]
                                                                 : acquisition.Counter(counter);
                                                  },
                                                  {}});
            }};
}

std::vector<Feature> MakeFeatures() {
    std::vector<Feature> features{
        {"VkrDepthQuality", FeatureKind::Enumeration, RW, kLocked, 1,
         "Resolution of the depth computation.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<EnumerationNode>(std::move(traits),
                                        EnumDef{Names(kQualityNames),
                                                [&s] { return s.quality; },
                                                [&s](std::size_t v) { s.quality = v; },
                                                {}});
         }},
        {"AcquisitionFrameRate", FeatureKind::Float, RW, kLocked, 2,
         "Frames per second the camera is asked for.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             const CameraConfig& config = state.config;
             nodes.Add<FloatNode>(
                 std::move(traits),
                 FloatDef{0.5, [&config] { return config.maxFrameRate; }, "Hz",
                          [&s] { return s.frameRate; }, [&s](double v) { s.frameRate = v; }});
         }},
        Binning("BinningHorizontal", true, 3),
        Binning("BinningVertical", false, 4),
        {"VkrIlluminationStrength", FeatureKind::Float, RW, kFree, 5,
         "Strength of the pattern projector, 0 to 1.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<FloatNode>(
                 std::move(traits),
                 FloatDef{0.0, [] { return 1.0; }, "", [&s] { return s.illumination; },
                          [&s](double v) { s.illumination = v; }});
         }},
        {"VkrComponentMode", FeatureKind::Enumeration, RW, kLocked, 6,
         "How the enabled image components are transmitted.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             const CameraConfig& config = state.config;
             nodes.Add<EnumerationNode>(
                 std::move(traits),
                 EnumDef{Names(kModeNames),
                         [&s] { return s.mode; },
                         [&s, &config](std::size_t v) {
                             s.mode = v;
                             if (v == kSynchronizedAlternate && s.selector == kRawCombined) {
                                 s.selector = FallbackSelector(config);
                             }
                         },
                         {}});
         }},
        {"ComponentSelector", FeatureKind::Enumeration, RW, kFree, 8,
         "Image component that ComponentEnable, Width and Height apply to.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             // The selector's entries are the components the camera has.
             std::vector<std::string> present;
             std::vector<std::size_t> presentIndex;
             for (std::size_t c = 0; c < kComponentCount; ++c) {
                 if (state.config.componentPresent[c]) {
                     present.emplace_back(kComponentNames[c]);
                     presentIndex.push_back(c);
                 }
             }
             nodes.Add<EnumerationNode>(
                 std::move(traits),
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
         }},
        {"ComponentEnable", FeatureKind::Boolean, RW, kLocked, 7,
         "Whether the selected component is transmitted.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<BooleanNode>(std::move(traits),
                                    BooleanDef{[&s] { return s.enabled[s.selector]; },
                                               [&s](bool v) { s.enabled[s.selector] = v; }});
         }},
        {"Width", FeatureKind::Integer, RO, kFree, 0, "Width of the selected component.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<IntegerNode>(
                 std::move(traits),
                 IntegerDef{1,
                            kSensorWidth,
                            1,
                            {},
                            "px",
                            [&s] { return ComponentGeometry(s, s.selector).width; },
                            {}});
         }},
        {"Height", FeatureKind::Integer, RO, kFree, 0, "Height of the selected component.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<IntegerNode>(
                 std::move(traits),
                 IntegerDef{1,
                            2 * kSensorHeight,
                            1,
                            {},
                            "px",
                            [&s] { return ComponentGeometry(s, s.selector).height; },
                            {}});
         }},
        {"PayloadSize", FeatureKind::Integer, RO, kFree, 0,
         "Bytes of one frame: the enabled, transmissible components.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             const CameraConfig& config = state.config;
             nodes.Add<IntegerNode>(std::move(traits),
                                    IntegerDef{0,
                                               9 * kSensorWidth * kSensorHeight,
                                               1,
                                               {},
                                               "B",
                                               [&s, &config] { return PayloadSize(config, s); },
                                               {}});
         }},
        {"GevSCPD", FeatureKind::Integer, RW, kLocked, 9,
         "Delay between the packets of the stream channel.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<IntegerNode>(std::move(traits),
                                    IntegerDef{0,
                                               1000000,
                                               1,
                                               {},
                                               "ns",
                                               [&s] { return s.packetDelayNs; },
                                               [&s](std::int64_t v) { s.packetDelayNs = v; }});
         }},
        {"GevSCPSPacketSize", FeatureKind::Integer, RW, kLocked, 10,
         "Packet size of the stream channel.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<IntegerNode>(std::move(traits),
                                    IntegerDef{576,
                                               9000,
                                               4,
                                               {},
                                               "B",
                                               [&s] { return s.packetSize; },
                                               [&s](std::int64_t v) { s.packetSize = v; }});
         }},
        {"TriggerMode", FeatureKind::Enumeration, RW, kLocked, 11,
         "On: one frame per software trigger.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             Settings& s = state.settings;
             nodes.Add<EnumerationNode>(std::move(traits),
                                        EnumDef{{"Off", "On"},
                                                [&s] { return s.triggered ? std::size_t{1} : 0; },
                                                [&s](std::size_t v) { s.triggered = v == 1; },
                                                {}});
         }},
        {"TriggerSoftware", FeatureKind::Command, WO, kFree, 0, "Acquires one frame.",
         [](NodeMap& nodes, NodeTraits traits, FeatureState& state) {
             const Settings& s = state.settings;
             Acquisition& acquisition = state.acquisition;
             traits.unavailable = [&acquisition, &s]() -> const char* {
                 return acquisition.IsRunning() && s.triggered
                            ? nullptr
                            : "the camera is not grabbing with TriggerMode On";
             };
             nodes.Add<CommandNode>(std::move(traits),
                                    CommandDef{[&acquisition] { acquisition.Trigger(); }});
         }},
    };
    for (std::size_t counter = 0; counter < kCounterCount; ++counter) {
        features.push_back(Counter(counter));
    }
    return features;
}

}  // namespace

const std::vector<Feature>& Features() {
    static const std::vector<Feature> features = MakeFeatures();
    return features;
}

const Feature* FindFeature(std::string_view name) {
    const std::vector<Feature>& features = Features();
    const auto at = std::find_if(features.begin(), features.end(),
                                 [name](const Feature& feature) { return feature.name == name; });
    return at == features.end() ? nullptr : &*at;
}

}  // namespace Orvel::detail
