// Descriptions of transport layers, interfaces and devices: plain property bags.
#pragma once

#include <vector>

#include "GenICam/GCString.h"

namespace Orvel {

using GenICam::gcstring;

class CTlInfo {
public:
    const gcstring& GetFriendlyName() const noexcept { return friendlyName_; }
    const gcstring& GetFullName() const noexcept { return fullName_; }
    const gcstring& GetDeviceClass() const noexcept { return deviceClass_; }
    const gcstring& GetVendorName() const noexcept { return vendorName_; }
    const gcstring& GetVersion() const noexcept { return version_; }
    CTlInfo& SetFriendlyName(const gcstring& v) { return Set(friendlyName_, v); }
    CTlInfo& SetFullName(const gcstring& v) { return Set(fullName_, v); }
    CTlInfo& SetDeviceClass(const gcstring& v) { return Set(deviceClass_, v); }
    CTlInfo& SetVendorName(const gcstring& v) { return Set(vendorName_, v); }
    CTlInfo& SetVersion(const gcstring& v) { return Set(version_, v); }

private:
    CTlInfo& Set(gcstring& field, const gcstring& v) {
        field = v;
        return *this;
    }
    gcstring friendlyName_, fullName_, deviceClass_, vendorName_, version_;
};

class CInterfaceInfo {
public:
    const gcstring& GetDeviceClass() const noexcept { return deviceClass_; }
    const gcstring& GetInterfaceID() const noexcept { return interfaceId_; }
    const gcstring& GetFriendlyName() const noexcept { return friendlyName_; }
    CInterfaceInfo& SetDeviceClass(const gcstring& v) { return Set(deviceClass_, v); }
    CInterfaceInfo& SetInterfaceID(const gcstring& v) { return Set(interfaceId_, v); }
    CInterfaceInfo& SetFriendlyName(const gcstring& v) { return Set(friendlyName_, v); }

private:
    CInterfaceInfo& Set(gcstring& field, const gcstring& v) {
        field = v;
        return *this;
    }
    gcstring deviceClass_, interfaceId_, friendlyName_;
};

class CDeviceInfo {
public:
    const gcstring& GetFriendlyName() const noexcept { return friendlyName_; }
    // Unique among the devices of a transport layer; device creation looks the device up by it.
    const gcstring& GetFullName() const noexcept { return fullName_; }
    const gcstring& GetSerialNumber() const noexcept { return serialNumber_; }
    // Dotted decimal IPv4 address of the device.
    const gcstring& GetIpAddress() const noexcept { return ipAddress_; }
    const gcstring& GetModelName() const noexcept { return modelName_; }
    const gcstring& GetVendorName() const noexcept { return vendorName_; }
    const gcstring& GetDeviceClass() const noexcept { return deviceClass_; }
    CDeviceInfo& SetFriendlyName(const gcstring& v) { return Set(friendlyName_, v); }
    CDeviceInfo& SetFullName(const gcstring& v) { return Set(fullName_, v); }
    CDeviceInfo& SetSerialNumber(const gcstring& v) { return Set(serialNumber_, v); }
    CDeviceInfo& SetIpAddress(const gcstring& v) { return Set(ipAddress_, v); }
    CDeviceInfo& SetModelName(const gcstring& v) { return Set(modelName_, v); }
    CDeviceInfo& SetVendorName(const gcstring& v) { return Set(vendorName_, v); }
    CDeviceInfo& SetDeviceClass(const gcstring& v) { return Set(deviceClass_, v); }

private:
    CDeviceInfo& Set(gcstring& field, const gcstring& v) {
        field = v;
        return *this;
    }
    gcstring friendlyName_, fullName_, serialNumber_, ipAddress_, modelName_, vendorName_,
        deviceClass_;
};

using DeviceInfoList = std::vector<CDeviceInfo>;
using TlInfoList = std::vector<CTlInfo>;
using InterfaceInfoList = std::vector<CInterfaceInfo>;

}  // namespace Orvel
