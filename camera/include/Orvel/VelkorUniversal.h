// The stereo camera with its generated parameters, and the interface through which it is created.
#pragma once

#include <memory>

#include "Orvel/InstantCamera.h"
#include "Orvel/Parameters.h"

namespace Orvel {

// The device class of the Velkor XW stereo cameras: the transport layers that serve them.
inline constexpr const char* VelkorXwDeviceClass = "VelkorGTC/Velkor/velkor_xw";

// The features of the Velkor stereo cameras, bound when the camera opens. camera/README.md
// describes each one: type, range, unit, selector and access.
class CVelkorUniversalCameraParams {
public:
    CEnumParameter VkrDepthQuality{"VkrDepthQuality"};
    CFloatParameter AcquisitionFrameRate{"AcquisitionFrameRate"};
    CIntegerParameter BinningHorizontal{"BinningHorizontal"};
    CIntegerParameter BinningVertical{"BinningVertical"};
    CFloatParameter VkrIlluminationStrength{"VkrIlluminationStrength"};
    CEnumParameter VkrComponentMode{"VkrComponentMode"};
    CEnumParameter ComponentSelector{"ComponentSelector"};
    CBooleanParameter ComponentEnable{"ComponentEnable"};
    CIntegerParameter Width{"Width"};
    CIntegerParameter Height{"Height"};
    CIntegerParameter PayloadSize{"PayloadSize"};
    CIntegerParameter GevSCPD{"GevSCPD"};
    CIntegerParameter GevSCPSPacketSize{"GevSCPSPacketSize"};
    CEnumParameter TriggerMode{"TriggerMode"};
    CCommandParameter TriggerSoftware{"TriggerSoftware"};

protected:
    void AttachAll(GenApi::INodeMap* map);
};

class CVelkorUniversalInstantCamera : public CInstantCamera, public CVelkorUniversalCameraParams {
public:
    CVelkorUniversalInstantCamera() = default;
    explicit CVelkorUniversalInstantCamera(IOrvelDevice* device, ECleanup cleanup = Cleanup_Delete)
        : CInstantCamera(device, cleanup) {}
    ~CVelkorUniversalInstantCamera() override;

protected:
    void AttachParameters(GenApi::INodeMap* map) override { AttachAll(map); }
};

class CUniversalInterfaceParams {};

// Holds a transport layer and one of its interfaces for the device class of a CInterfaceInfo.
// Must outlive every device it created: destroying it first aborts with a message.
class CInstantInterface : public CUniversalInterfaceParams {
public:
    // Raises GenICam::RuntimeException "Cannot create transport layer." or
    // "Cannot create interface.".
    explicit CInstantInterface(const CInterfaceInfo& info);
    ~CInstantInterface();
    CInstantInterface(const CInstantInterface&) = delete;
    CInstantInterface& operator=(const CInstantInterface&) = delete;

    const CInterfaceInfo& GetInterfaceInfo() const;
    void Open();
    void Close();
    bool IsOpen() const;
    int EnumerateDevices(DeviceInfoList& list, bool addToList = false);
    IOrvelDevice* CreateDevice(const CDeviceInfo& info);
    void DestroyDevice(IOrvelDevice* device);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Orvel
