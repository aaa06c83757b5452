// The instant camera: one device, its configuration handlers, and grabbing into a result pool.
#pragma once

#include <cstddef>
#include <memory>

#include "GenApi/Nodes.h"
#include "Orvel/GrabResult.h"
#include "Orvel/Platform.h"
#include "Orvel/TransportLayer.h"

namespace Orvel {

class CInstantCamera;

// Hooks around the camera's life cycle; configurations set a camera up when it opens or
// starts grabbing. This base class does nothing.
class CConfigurationEventHandler {
public:
    virtual ~CConfigurationEventHandler() = default;
    virtual void OnAttach(CInstantCamera&) {}
    virtual void OnAttached(CInstantCamera&) {}
    virtual void OnDetach(CInstantCamera&) {}
    virtual void OnDetached(CInstantCamera&) {}
    virtual void OnDestroy(CInstantCamera&) {}
    virtual void OnDestroyed(CInstantCamera&) {}
    virtual void OnOpen(CInstantCamera&) {}
    virtual void OnOpened(CInstantCamera&) {}
    virtual void OnClose(CInstantCamera&) {}
    virtual void OnClosed(CInstantCamera&) {}
    virtual void OnGrabStart(CInstantCamera&) {}
    virtual void OnGrabStarted(CInstantCamera&) {}
    virtual void OnGrabStop(CInstantCamera&) {}
    virtual void OnGrabStopped(CInstantCamera&) {}
    virtual void OnConfigurationRegistered(CInstantCamera&) {}
    virtual void OnConfigurationDeregistered(CInstantCamera&) {}
};

// Registered by every camera until replaced: on open it puts the camera into free-running
// continuous acquisition (TriggerMode "Off").
class CAcquireContinuousConfiguration : public CConfigurationEventHandler {
public:
    void OnOpened(CInstantCamera& camera) override;
};

// States: no device, device attached (closed), open, grabbing. Each call checks the state it
// needs and raises GenICam::LogicalErrorException naming the call and both states otherwise.
class CInstantCamera {
public:
    CInstantCamera();
    explicit CInstantCamera(IOrvelDevice* device, ECleanup cleanup = Cleanup_Delete);
    // Stops grabbing, closes, and destroys the device when the camera owns it.
    virtual ~CInstantCamera();
    CInstantCamera(const CInstantCamera&) = delete;
    CInstantCamera& operator=(const CInstantCamera&) = delete;

    void Attach(IOrvelDevice* device, ECleanup cleanup = Cleanup_Delete);
    bool IsOrvelDeviceAttached() const noexcept;
    IOrvelDevice* DetachDevice();
    void DestroyDevice();
    IOrvelDevice& GetDevice();
    const CDeviceInfo& GetDeviceInfo() const;

    void RegisterConfiguration(CConfigurationEventHandler* handler, ERegistrationMode mode,
                               ECleanup cleanup);
    bool DeregisterConfiguration(CConfigurationEventHandler* handler);

    void Open();
    void Close();
    bool IsOpen() const noexcept;
    // The device's node map; needs an open camera.
    GenApi::INodeMap& GetNodeMap();

    // Supported: GrabStrategy_OneByOne with GrabLoop_ProvidedByUser; other combinations raise
    // GenICam::InvalidArgumentException.
    void StartGrabbing(EGrabStrategy strategy = GrabStrategy_OneByOne,
                       EGrabLoop loop = GrabLoop_ProvidedByUser);
    // Stops by itself once `maxImages` results were retrieved.
    void StartGrabbing(std::size_t maxImages, EGrabStrategy strategy = GrabStrategy_OneByOne,
                       EGrabLoop loop = GrabLoop_ProvidedByUser);
    // Waits up to `timeoutMs` for the next result and puts it into `result`, releasing what
    // `result` held first. True when a result was retrieved; false when none came in time
    // (TimeoutHandling_Return) or when grabbing stopped. A time-out with
    // TimeoutHandling_ThrowException raises GenICam::TimeoutException.
    bool RetrieveResult(unsigned int timeoutMs, CGrabResultPtr& result,
                        ETimeoutHandling handling = TimeoutHandling_ThrowException);
    // False once grabbing was stopped, by StopGrabbing or by the camera itself (the last
    // result retrieved).
    bool IsGrabbing() const noexcept;
    // Harmless when not grabbing. Results not yet retrieved are discarded.
    void StopGrabbing();

protected:
    // Derived cameras bind their generated parameters here: the node map on open, null on close.
    virtual void AttachParameters(GenApi::INodeMap* map);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Orvel
