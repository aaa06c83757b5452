// An emulated Velkor XW device: its node map over the camera's state, and its stream grabber.
#pragma once

#include <cstdint>
#include <memory>

#include "Acquisition.h"
#include "CameraModel.h"
#include "Orvel/Transport/NodeMap.h"
#include "Orvel/Transport/Transport.h"

namespace Orvel::detail {

// One camera of the scenario: what it is and the state it keeps between opens.
struct EmulatedCamera {
    CameraConfig config;
    Settings settings;
    CDeviceInfo info;
    std::uint64_t seed = 0;
    std::size_t index = 0;
    const void* openBy = nullptr;  // the device object holding it open
};

class EmulatedDevice final : public DeviceBase, private NodeContext {
public:
    EmulatedDevice(EmulatedCamera& camera, DeviceCreator& creator);
    ~EmulatedDevice() override;

    const CDeviceInfo& GetDeviceInfo() const override { return camera_.info; }
    void Open() override;
    // Opens without asking for the control channel: the camera's own access to its settings, as
    // when it powers on with what it kept. Whoever else controls it does not matter then.
    void OpenOnTheCamera();
    void Close() override;
    bool IsOpen() const override { return open_; }
    GenApi::INodeMap& GetNodeMap() override;
    std::size_t GetNumStreamGrabberChannels() const override { return 1; }
    IStreamGrabber* GetStreamGrabber(std::size_t index) override;

private:
    bool IsGrabbing() const override { return acquisition_.IsRunning(); }
    void AddNodes();

    EmulatedCamera& camera_;
    bool open_ = false;
    Acquisition acquisition_;
    NodeMap nodes_;
};

}  // namespace Orvel::detail
