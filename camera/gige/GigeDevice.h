// A Velkor XW camera reached over GigE Vision: opened through Aravis, its node map made from the
// camera's own GenICam XML, its stream received by Aravis and computed by the host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Aravis.h"
#include "Discovery.h"
#include "Orvel/Transport/NodeMap.h"
#include "Orvel/Transport/Transport.h"

namespace Orvel::detail {

class GigeStream;

// One camera that answered discovery, and who holds it open in this process.
struct GigeCamera {
    DiscoveredCamera found;
    CDeviceInfo info;
    const void* openBy = nullptr;
};

class GigeDevice final : public DeviceBase, private NodeContext {
public:
    GigeDevice(GigeCamera& camera, DeviceCreator& creator);
    ~GigeDevice() override;

    const CDeviceInfo& GetDeviceInfo() const override { return camera_.info; }
    void Open() override;
    void Close() override;
    bool IsOpen() const override { return device_ != nullptr; }
    GenApi::INodeMap& GetNodeMap() override;
    std::size_t GetNumStreamGrabberChannels() const override { return 1; }
    IStreamGrabber* GetStreamGrabber(std::size_t index) override;

private:
    bool IsGrabbing() const override;
    std::string Name() const { return camera_.info.GetFriendlyName().str(); }
    // Every feature of the camera's XML under its root category, and the stream's counters.
    void AddNodes();
    void AddFeature(ArvGcNode* node);
    // Reads the control channel's privilege while the device is open; when the camera has not
    // answered for its heartbeat time-out, or answers that this host lost control, its stream
    // learns that the camera is lost. Aravis's own heartbeat notices a camera that vanished only
    // many seconds later.
    void WatchHeartbeat();
    void StopWatching() noexcept;
    [[noreturn]] void Refused(const std::string& name, const char* what,
                              const GErrorSlot& error) const;

    GigeCamera& camera_;
    GObjectPtr<ArvDevice> device_;
    std::unique_ptr<NodeMap> nodes_;
    std::unique_ptr<GigeStream> stream_;
    gulong controlLostHandler_ = 0;
    std::thread watchdog_;
    mutable std::mutex watchMutex_;
    std::condition_variable watchWake_;
    mutable std::condition_variable watchVerdict_;  // an answer came, or the watch ended
    std::chrono::steady_clock::duration heartbeatTimeout_{};
    std::chrono::steady_clock::time_point lastAnswer_;
    bool closing_ = false;
    bool watchEnded_ = false;
};

}  // namespace Orvel::detail
