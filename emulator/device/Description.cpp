// The served camera's register layout and its GenICam XML (schema 1.1, standard node types).
#include "Description.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "Gvcp.h"
#include "Orvel/Transport/Errors.h"
#include "Orvel/Transport/StereoStream.h"

namespace Tarnwell::device {

namespace {

using emu::FeatureKind;

std::string Escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// Standard feature names go in GenICam's standard name space, the camera's own (Vkr…) not.
const char* NameSpace(std::string_view name) {
    return name.starts_with("Vkr") ? "Custom" : "Standard";
}

// Values the camera changes without the host writing them: the selected component's, the
// geometry and payload, which follow other features.
bool ChangesByItself(const emu::Feature& feature) {
    const std::string_view name = feature.name;
    return feature.access == GenApi::RO || name == "ComponentSelector" || name == "ComponentEnable";
}

const char* AccessText(GenApi::EAccessMode mode) {
    switch (mode) {
        case GenApi::RO:
            return "RO";
        case GenApi::WO:
            return "WO";
        default:
            return "RW";
    }
}

class XmlWriter {
public:
    explicit XmlWriter(std::string& out) : out_(out) {}

    void Open(const char* type, std::string_view name) {
        out_ += "  <";
        out_ += type;
        out_ += " Name=\"";
        out_ += name;
        out_ += "\" NameSpace=\"";
        out_ += NameSpace(name);
        out_ += "\">\n";
    }
    void Close(const char* type) {
        out_ += "  </";
        out_ += type;
        out_ += ">\n";
    }
    void Element(const char* tag, std::string_view value) {
        out_ += "    <";
        out_ += tag;
        out_ += '>';
        out_ += Escaped(value);
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
    }
    void Text(std::string_view text) { out_ += text; }

    // A register on the device's port.
    void Register(const char* type, std::string_view name, std::uint32_t address,
                  std::uint32_t length, const char* access, bool noCache) {
        Open(type, name);
        Element("Address", Hex(address));
        Element("Length", std::to_string(length));
        Element("AccessMode", access);
        Element("pPort", "Device");
        Element("Cachable", noCache ? "NoCache" : "WriteThrough");
        if (std::string_view(type) == "IntReg") {
            Element("Sign", "Unsigned");
        }
        if (std::string_view(type) != "StringReg") {
            Element("Endianess", "BigEndian");
        }
        Close(type);
    }

private:
    std::string& out_;
};

// The stream channel's features live on its bootstrap registers.
std::optional<std::uint32_t> BootstrapAddress(std::string_view name) {
    if (name == "GevSCPSPacketSize") {
        return gvcp::kStreamPacketSize;
    }
    if (name == "GevSCPD") {
        return gvcp::kStreamPacketDelay;
    }
    return std::nullopt;
}

void DescribeFeature(XmlWriter& xml, const emu::Feature& feature, std::size_t index,
                     GenApi::INode* node, bool unreadable) {
    const std::string name = feature.name;
    const std::string reg = name + "Reg";
    const bool noCache = ChangesByItself(feature);
    const std::uint32_t address = BootstrapAddress(name).value_or(FeatureAddress(index));
    const char* type = "";
    switch (feature.kind) {
        case FeatureKind::Integer:
            type = "Integer";
            break;
        case FeatureKind::Float:
            type = "Float";
            break;
        case FeatureKind::Boolean:
            type = "Boolean";
            break;
        case FeatureKind::Enumeration:
            type = "Enumeration";
            break;
        case FeatureKind::Command:
            type = "Command";
            break;
    }
    xml.Open(type, name);
    xml.Element("ToolTip", feature.description);
    xml.Element("Description", feature.description);
    const bool writable = GenApi::IsWritable(feature.access);
    if (unreadable && !writable) {
        xml.Element("pIsAvailable", "VkrNotAvailable");
    }
    if (name == "TriggerSoftware") {
        xml.Element("pIsAvailable", "VkrTriggerSoftwareAvailable");
    }
    if (feature.lockedWhileGrabbing) {
        xml.Element("pIsLocked", "TLParamsLocked");
    }
    if (unreadable && writable) {
        xml.Element("ImposedAccessMode", "WO");
    } else if (feature.access == GenApi::WO) {
        xml.Element("ImposedAccessMode", "WO");
    }
    switch (feature.kind) {
        case FeatureKind::Integer: {
            auto& value = dynamic_cast<GenApi::IInteger&>(*node);
            xml.Element("pValue", reg);
            xml.Element("Min", std::to_string(value.GetMin()));
            xml.Element("Max", std::to_string(value.GetMax()));
            xml.Element("Inc", std::to_string(value.GetInc()));
            if (!value.GetUnit().empty()) {
                xml.Element("Unit", value.GetUnit().str());
            }
            break;
        }
        case FeatureKind::Float: {
            auto& value = dynamic_cast<GenApi::IFloat&>(*node);
            xml.Element("pValue", reg);
            xml.Element("Min", emu::FormatNumber(value.GetMin()));
            xml.Element("pMax", name + "MaxReg");
            if (!value.GetUnit().empty()) {
                xml.Element("Unit", value.GetUnit().str());
            }
            break;
        }
        case FeatureKind::Boolean:
            xml.Element("pValue", reg);
            xml.Element("OnValue", "1");
            xml.Element("OffValue", "0");
            break;
        case FeatureKind::Enumeration: {
            for (const auto& [entry, value] :
                 EnumEntries(feature, dynamic_cast<GenApi::IEnumeration&>(*node))) {
                xml.Text("    <EnumEntry Name=\"" + entry + "\" NameSpace=\"" + NameSpace(name) +
                         "\">\n");
                if (name == "ComponentSelector" && value == emu::kRawCombined) {
                    xml.Text("      <pIsAvailable>VkrRawCombinedAvailable</pIsAvailable>\n");
                }
                xml.Text("      <Value>" + std::to_string(value) + "</Value>\n    </EnumEntry>\n");
            }
            xml.Element("pValue", reg);
            if (name == "ComponentSelector") {
                for (const char* selected : {"ComponentEnable", "Width", "Height"}) {
                    xml.Element("pSelected", selected);
                }
            }
            break;
        }
        case FeatureKind::Command:
            xml.Element("pValue", reg);
            xml.Element("CommandValue", "1");
            break;
    }
    xml.Close(type);

    const char* access = AccessText(feature.access);
    if (name == "GevSCPSPacketSize") {
        // The packet size is the low 16 bits of SCPS; GenICam numbers a big-endian register's
        // bits from its most significant one.
        xml.Open("MaskedIntReg", reg);
        xml.Element("Address", Hex(address));
        xml.Element("Length", "4");
        xml.Element("AccessMode", access);
        xml.Element("pPort", "Device");
        xml.Element("Cachable", "WriteThrough");
        xml.Element("LSB", "31");
        xml.Element("MSB", "16");
        xml.Element("Sign", "Unsigned");
        xml.Element("Endianess", "BigEndian");
        xml.Close("MaskedIntReg");
    } else if (feature.kind == FeatureKind::Float) {
        xml.Register("FloatReg", reg, address, 8, access, noCache);
        xml.Register("FloatReg", name + "MaxReg", address + 8, 8, "RO", false);
    } else {
        xml.Register("IntReg", reg, address, 4, access, noCache);
    }
}

}  // namespace

bool IsServed(const emu::Feature& feature) {
    const std::string_view name = feature.name;
    return std::none_of(emu::kCounterNames.begin(), emu::kCounterNames.end(),
                        [name](const char* counter) { return name == counter; });
}

std::uint32_t FeatureAddress(std::size_t index) {
    return kFeatureBase + kFeatureStride * static_cast<std::uint32_t>(index);
}

std::optional<FeatureSlot> FindFeatureSlot(std::uint32_t address) {
    const std::size_t count = emu::Features().size();
    if (address < kFeatureBase || address >= FeatureAddress(count)) {
        return std::nullopt;
    }
    const std::uint32_t from = address - kFeatureBase;
    const std::size_t index = from / kFeatureStride;
    const std::uint32_t offset = from % kFeatureStride;
    const emu::Feature& feature = emu::Features()[index];
    const std::uint32_t length = feature.kind == FeatureKind::Float ? 16 : 4;
    if (!IsServed(feature) || BootstrapAddress(feature.name) || offset >= length) {
        return std::nullopt;
    }
    return FeatureSlot{index, offset};
}

std::vector<std::pair<std::string, std::uint32_t>> EnumEntries(const emu::Feature& feature,
                                                               GenApi::IEnumeration& node) {
    GenApi::StringList_t symbolics;
    node.GetSymbolics(symbolics);
    std::vector<std::pair<std::string, std::uint32_t>> entries;
    const bool components = std::string_view(feature.name) == "ComponentSelector";
    for (std::size_t i = 0; i < symbolics.size(); ++i) {
        std::uint32_t value = static_cast<std::uint32_t>(i);
        if (components) {
            value = static_cast<std::uint32_t>(
                std::find_if(emu::kComponentNames.begin(), emu::kComponentNames.end(),
                             [&](const char* c) { return symbolics[i] == c; }) -
                emu::kComponentNames.begin());
        }
        entries.emplace_back(symbolics[i].str(), value);
    }
    return entries;
}

std::string CameraXml(const emu::CameraConfig& config, GenApi::INodeMap& nodes) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"VelkorXW\" VendorName=\"Velkor\" "
        "ToolTip=\"Velkor XW stereo camera, served by tarnwell-camera\" "
        "StandardNameSpace=\"None\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" "
        "SchemaSubMinorVersion=\"0\" MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" "
        "ProductGuid=\"5c0e6a52-8f3b-4d21-9a77-3e1f0b6c2d41\" "
        "VersionGuid=\"b7d4e1a0-26c9-4f53-8e0d-91a2c3f4e5d6\" "
        "xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
        "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";
    XmlWriter xml(out);
    std::vector<std::string> root;
    std::string features;
    XmlWriter featureXml(features);
    bool anyNotAvailable = false;
    const auto& table = emu::Features();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const emu::Feature& feature = table[i];
        if (!IsServed(feature) || config.missingNodes.count(feature.name) != 0) {
            continue;
        }
        // The trigger is no node of the device's map: the device serves it itself.
        GenApi::INode* node = nodes.GetNode(feature.name);
        if (node == nullptr && feature.kind != FeatureKind::Command) {
            continue;
        }
        const bool unreadable = config.unreadableNodes.count(feature.name) != 0;
        anyNotAvailable |= unreadable && !GenApi::IsWritable(feature.access);
        DescribeFeature(featureXml, feature, i, node, unreadable);
        root.emplace_back(feature.name);
    }
    for (const char* extra :
         {"TLParamsLocked", "AcquisitionStart", "AcquisitionStop", "DeviceVendorName",
          "DeviceModelName", "DeviceSerialNumber", "DeviceUserID"}) {
        root.emplace_back(extra);
    }

    xml.Open("Category", "Root");
    for (const std::string& name : root) {
        xml.Element("pFeature", name);
    }
    xml.Close("Category");
    xml.Text(features);

    // What a host sets while it grabs, and the acquisition's commands.
    xml.Open("Integer", "TLParamsLocked");
    xml.Element("ToolTip", "1 while the host grabs: the features the stream uses are locked.");
    xml.Element("pValue", "TLParamsLockedReg");
    xml.Element("Min", "0");
    xml.Element("Max", "1");
    xml.Element("Inc", "1");
    xml.Close("Integer");
    xml.Register("IntReg", "TLParamsLockedReg", kParamsLocked, 4, "RW", true);
    for (const auto& [command, address, tip] :
         {std::tuple{"AcquisitionStart", kAcquisitionStart, "Starts the stream."},
          std::tuple{"AcquisitionStop", kAcquisitionStop,
                     "Stops the stream once the frame being exposed is sent."}}) {
        xml.Open("Command", command);
        xml.Element("ToolTip", tip);
        xml.Element("ImposedAccessMode", "WO");
        xml.Element("pValue", std::string(command) + "Reg");
        xml.Element("CommandValue", "1");
        xml.Close("Command");
        xml.Register("IntReg", std::string(command) + "Reg", address, 4, "WO", true);
    }
    xml.Register("IntReg", "VkrTriggerSoftwareAvailable", kTriggerAvailable, 4, "RO", true);
    xml.Register("IntReg", "VkrRawCombinedAvailable", kRawCombinedAvailable, 4, "RO", true);
    if (anyNotAvailable) {
        xml.Open("Integer", "VkrNotAvailable");
        xml.Element("Value", "0");
        xml.Close("Integer");
    }

    // The device's identity, on the bootstrap registers.
    for (const auto& [feature, address, length, tip] :
         {std::tuple{"DeviceVendorName", gvcp::kManufacturerName, 32u, "The camera's maker."},
          std::tuple{"DeviceModelName", gvcp::kModelName, 32u, "The camera's model."},
          std::tuple{"DeviceSerialNumber", gvcp::kSerialNumber, 16u, "The serial number."},
          std::tuple{"DeviceUserID", gvcp::kUserName, 16u,
                     "The camera's name, empty for its class's default name."}}) {
        xml.Open("StringReg", feature);
        xml.Element("ToolTip", tip);
        xml.Element("Address", Hex(address));
        xml.Element("Length", std::to_string(length));
        xml.Element("AccessMode", "RO");
        xml.Element("pPort", "Device");
        xml.Close("StringReg");
    }
    xml.Text("  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n");
    return out;
}

}  // namespace Tarnwell::device
