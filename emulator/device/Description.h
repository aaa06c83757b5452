// Where a served camera keeps its features in its register space, and the GenICam XML that tells
// a host so: both made from the emulator's one feature table, so that the node names, kinds,
// ranges and locks a host sees over GigE Vision are the emulated camera's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Features.h"
#include "GenApi/Nodes.h"
#include "Scenario.h"

namespace Tarnwell::device {

namespace emu = Orvel::detail;

// The device's own registers beside the bootstrap ones. A feature's value register is
// kFeatureBase + kFeatureStride × its index in Features(): 4 bytes (integers, enumerations,
// booleans, commands) or 8 (floats, IEEE double, with the float's maximum in the 8 after). The
// stream channel's two features are on their bootstrap registers (SCPS, SCPD) instead.
inline constexpr std::uint32_t kFeatureBase = 0x10000;
inline constexpr std::uint32_t kFeatureStride = 0x10;
inline constexpr std::uint32_t kParamsLocked = 0x20000;
inline constexpr std::uint32_t kAcquisitionStart = 0x20004;
inline constexpr std::uint32_t kAcquisitionStop = 0x20008;
inline constexpr std::uint32_t kTriggerAvailable = 0x2000C;      // 1 while TriggerSoftware acts
inline constexpr std::uint32_t kRawCombinedAvailable = 0x20010;  // 1 in the single-component mode
inline constexpr std::uint32_t kXmlAddress = 0x100000;
inline constexpr const char* kXmlFileName = "Velkor_XW.xml";

// The features a host reads from the device: all but the transport counters, which the host
// counts from its own stream.
bool IsServed(const emu::Feature& feature);

// The feature whose register holds `address` (its index in Features()), and the byte offset
// into it; nullopt for any other address.
struct FeatureSlot {
    std::size_t index = 0;
    std::uint32_t offset = 0;
};
std::optional<FeatureSlot> FindFeatureSlot(std::uint32_t address);
// Where feature `index`'s value is.
std::uint32_t FeatureAddress(std::size_t index);

// An enumeration's entries with their register values: the index in the emulator's list of
// entries, and for ComponentSelector the component's index in kComponentNames (so that a value
// names the same component whatever the camera lacks).
std::vector<std::pair<std::string, std::uint32_t>> EnumEntries(const emu::Feature& feature,
                                                               GenApi::IEnumeration& node);

// The camera's XML, from its node map (ranges, units, entries) at power-on: features the
// scenario removes are left out, unreadable ones are write-only or not available.
std::string CameraXml(const emu::CameraConfig& config, GenApi::INodeMap& nodes);

}  // namespace Tarnwell::device
