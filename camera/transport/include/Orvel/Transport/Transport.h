// Internal transport interfaces: providers keyed by device class, their transport layers, devices
// and stream grabbers. A new transport (GigE Vision) implements these and adds a registry entry.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Orvel/DeviceInfo.h"
#include "Orvel/GrabResult.h"
#include "Orvel/TransportLayer.h"

namespace Orvel {

// The stream channel of a device, through which CInstantCamera grabs. Used from one thread.
class IStreamGrabber {
public:
    enum class Outcome { Result, TimedOut, Stopped };
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    // Raises GenICam::RuntimeException when the device cannot grab as configured.
    virtual void Start() = 0;
    // Ends acquisition and discards queued results; harmless when not running.
    virtual void Stop() noexcept = 0;
    virtual bool IsRunning() const noexcept = 0;
    // Releases what `result` holds, then waits for the next result until `deadline` (none: no
    // limit). `ended` tells that the device ended its acquisition with the result handed out.
    virtual Outcome Retrieve(Deadline deadline, CGrabResultPtr& result, bool& ended) = 0;

protected:
    ~IStreamGrabber() = default;
};

namespace detail {

// Whoever created a device destroys it (a transport layer, an interface).
class DeviceCreator {
public:
    virtual void DestroyDevice(IOrvelDevice* device) = 0;

protected:
    ~DeviceCreator() = default;
};

// Base of every device a transport makes: remembers its creator and counts live devices, so that
// the SDK's shut-down can refuse to leave devices behind.
class DeviceBase : public IOrvelDevice {
public:
    explicit DeviceBase(DeviceCreator& creator);
    ~DeviceBase() override;
    DeviceBase(const DeviceBase&) = delete;
    DeviceBase& operator=(const DeviceBase&) = delete;

    DeviceCreator& Creator() const noexcept { return *creator_; }
    void SetCreator(DeviceCreator& creator) noexcept { creator_ = &creator; }

private:
    DeviceCreator* creator_;
};

// Destroys a device through the object that created it; a device of unknown origin is left alone.
void DestroyThroughCreator(IOrvelDevice* device);

class TransportLayerBase : public ITransportLayer, public DeviceCreator {
public:
    ~TransportLayerBase() override = default;
    // Both bases declare it; one function serves as either. Refuses a device this layer did not
    // create itself.
    void DestroyDevice(IOrvelDevice* device) override;
    // Creates a device whose destruction goes through `creator`.
    virtual IOrvelDevice* CreateDeviceFor(const CDeviceInfo& info, DeviceCreator& creator) = 0;
    // Deletes a device this layer made, whoever its creator is.
    void DeleteDevice(IOrvelDevice* device);
    // Whether `device` was made by this layer.
    bool Owns(const IOrvelDevice* device) const;

protected:
    // Keeps a device made by this layer, for Owns and DeleteDevice.
    IOrvelDevice* Keep(std::unique_ptr<DeviceBase> device);

private:
    mutable std::mutex devicesMutex_;
    std::vector<DeviceBase*> devices_;
};

enum class InterfaceOutcome { Created, TransportLayerFails, InterfaceFails };

class ITransportProvider {
public:
    virtual ~ITransportProvider() = default;
    virtual const char* DeviceClass() const noexcept = 0;
    // SDK start-up; raises GenICam::RuntimeException when the provider's configuration is unusable.
    virtual void Start() = 0;
    // SDK shut-down.
    virtual void Stop() noexcept = 0;
    // Null when the device class is not available on this host.
    virtual TransportLayerBase* TransportLayer() = 0;
    // Whether an interface can be made from `info`, for CInstantInterface.
    virtual InterfaceOutcome CheckInterface(const CInterfaceInfo& info) = 0;
};

}  // namespace detail
}  // namespace Orvel
