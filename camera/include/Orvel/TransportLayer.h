// Discovery: the transport-layer factory, transport layers and the devices they create.
#pragma once

#include <cstddef>

#include "GenApi/Nodes.h"
#include "Orvel/DeviceInfo.h"

namespace Orvel {

class IStreamGrabber;  // the SDK's own; reached through CInstantCamera

// One camera, as created by a transport layer or interface. Destroyed by whoever created it
// (ITransportLayer::DestroyDevice, CInstantInterface::DestroyDevice) or by the camera owning it.
class IOrvelDevice {
public:
    virtual const CDeviceInfo& GetDeviceInfo() const = 0;
    // Opens the device for this process alone; raises when another device object holds it open.
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // The device's features; raises GenICam::AccessException while the device is closed.
    virtual GenApi::INodeMap& GetNodeMap() = 0;
    virtual std::size_t GetNumStreamGrabberChannels() const = 0;
    virtual IStreamGrabber* GetStreamGrabber(std::size_t index) = 0;

protected:
    virtual ~IOrvelDevice() = default;
};

class ITransportLayer {
public:
    virtual CTlInfo GetTlInfo() const = 0;
    // Fills `list` with every reachable device, in a stable order; emptied first unless
    // `addToList`. Returns the number of devices in the list.
    virtual int EnumerateDevices(DeviceInfoList& list, bool addToList = false) = 0;
    virtual int EnumerateInterfaces(InterfaceInfoList& list, bool addToList = false) = 0;
    // Raises GenICam::RuntimeException when the device is not reachable.
    virtual IOrvelDevice* CreateDevice(const CDeviceInfo& info) = 0;
    virtual void DestroyDevice(IOrvelDevice* device) = 0;

protected:
    virtual ~ITransportLayer() = default;
};

// Entry point of discovery. Needs OrvelInitialize.
class CTlFactory {
public:
    static CTlFactory& GetInstance();

    // The transport layer that serves `deviceClass`, or null when there is none. The factory
    // keeps it until ReleaseTl or the SDK's shut-down.
    ITransportLayer* CreateTl(const gcstring& deviceClass);
    void ReleaseTl(const ITransportLayer* tl);
    int EnumerateTls(TlInfoList& list, bool addToList = false);
    int EnumerateDevices(DeviceInfoList& list, bool addToList = false);
    IOrvelDevice* CreateDevice(const CDeviceInfo& info);
    void DestroyDevice(IOrvelDevice* device);

private:
    CTlFactory() = default;
};

}  // namespace Orvel
