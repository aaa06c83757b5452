// CInstantCamera: the life-cycle state gate, configuration handlers and grabbing through the
// device's stream grabber.
#include "Orvel/InstantCamera.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <initializer_list>
#include <vector>

#include "Orvel/Transport/Errors.h"
#include "Orvel/Transport/Transport.h"

namespace Orvel {

namespace {

enum class State { NoDevice, Closed, Open, Grabbing };

const char* Phrase(State state) {
    switch (state) {
        case State::NoDevice:
            return "has no device";
        case State::Closed:
            return "is closed";
        case State::Open:
            return "is open";
        case State::Grabbing:
            return "is grabbing";
    }
    return "";
}

const char* Name(State state) {
    switch (state) {
        case State::NoDevice:
            return "no device";
        case State::Closed:
            return "closed";
        case State::Open:
            return "open";
        case State::Grabbing:
            return "grabbing";
    }
    return "";
}

}  // namespace

void CAcquireContinuousConfiguration::OnOpened(CInstantCamera& camera) {
    GenApi::CEnumerationPtr triggerMode(camera.GetNodeMap().GetNode("TriggerMode"));
    if (GenApi::IsWritable(triggerMode)) {
        triggerMode->SetValue("Off");
    }
}

struct CInstantCamera::Impl {
    struct Registration {
        CConfigurationEventHandler* handler;
        ECleanup cleanup;
    };

    IOrvelDevice* device = nullptr;
    ECleanup cleanup = Cleanup_None;
    bool open = false;
    bool grabbing = false;
    IStreamGrabber* grabber = nullptr;
    std::size_t maxImages = 0;  // 0: no limit
    std::size_t retrieved = 0;
    std::vector<Registration> handlers;

    State Current() const {
        return device == nullptr ? State::NoDevice
               : !open           ? State::Closed
               : grabbing        ? State::Grabbing
                                 : State::Open;
    }

    // The one gate every call goes through.
    void Require(const char* call, std::initializer_list<State> allowed) const {
        const State state = Current();
        if (std::find(allowed.begin(), allowed.end(), state) != allowed.end()) {
            return;
        }
        std::string text = std::string("CInstantCamera::") + call +
                           ": not allowed while the camera " + Phrase(state) + " (allowed: ";
        bool first = true;
        for (State s : allowed) {
            text += (first ? "" : ", ") + std::string(Name(s));
            first = false;
        }
        ORVEL_THROW(LogicalErrorException, text + ").");
    }

    template <class Hook>
    void Notify(CInstantCamera& camera, Hook hook) {
        // A handler may register or deregister handlers.
        const auto registered = handlers;
        for (const Registration& r : registered) {
            (r.handler->*hook)(camera);
        }
    }

    static void Dispose(const Registration& r) {
        if (r.cleanup == Cleanup_Delete) {
            delete r.handler;
        }
    }
};

CInstantCamera::CInstantCamera() : impl_(std::make_unique<Impl>()) {
    RegisterConfiguration(new CAcquireContinuousConfiguration, RegistrationMode_Append,
                          Cleanup_Delete);
}

CInstantCamera::CInstantCamera(IOrvelDevice* device, ECleanup cleanup) {
    // With Cleanup_Delete the camera owns the device from here on, also when construction
    // fails: no destructor runs then, so whatever was taken is released here.
    bool attaching = false;
    try {
        impl_ = std::make_unique<Impl>();
        RegisterConfiguration(new CAcquireContinuousConfiguration, RegistrationMode_Append,
                              Cleanup_Delete);
        if (device != nullptr) {
            attaching = true;
            Attach(device, cleanup);
        }
    } catch (...) {
        if (impl_ && impl_->device != nullptr) {
            try {
                DestroyDevice();
            } catch (...) {
                // The construction error is the one to report.
            }
        } else if (!attaching && device != nullptr && cleanup == Cleanup_Delete) {
            detail::DestroyThroughCreator(device);
        }
        if (impl_) {
            for (const Impl::Registration& r : impl_->handlers) {
                Impl::Dispose(r);
            }
        }
        throw;
    }
}

CInstantCamera::~CInstantCamera() {
    impl_->Notify(*this, &CConfigurationEventHandler::OnDestroy);
    try {
        DestroyDevice();
    } catch (...) {
        // A destructor cannot report; the device is gone either way.
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnDestroyed);
    for (const Impl::Registration& r : impl_->handlers) {
        Impl::Dispose(r);
    }
}

void CInstantCamera::Attach(IOrvelDevice* device, ECleanup cleanup) {
    // With Cleanup_Delete the device is the camera's from this call on: if the call fails
    // before the camera holds it, it is destroyed here rather than left without an owner.
    try {
        impl_->Require("Attach", {State::NoDevice, State::Closed});
        if (device == impl_->device) {
            impl_->cleanup = cleanup;
            return;
        }
        DestroyDevice();
        if (device == nullptr) {
            return;
        }
        impl_->Notify(*this, &CConfigurationEventHandler::OnAttach);
    } catch (...) {
        if (device != nullptr && device != impl_->device && cleanup == Cleanup_Delete) {
            detail::DestroyThroughCreator(device);
        }
        throw;
    }
    impl_->device = device;
    impl_->cleanup = cleanup;
    if (device->IsOpen()) {
        impl_->open = true;
        AttachParameters(&device->GetNodeMap());
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnAttached);
}

bool CInstantCamera::IsOrvelDeviceAttached() const noexcept {
    return impl_->device != nullptr;
}

IOrvelDevice* CInstantCamera::DetachDevice() {
    impl_->Require("DetachDevice", {State::NoDevice, State::Closed});
    if (impl_->device == nullptr) {
        return nullptr;
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnDetach);
    IOrvelDevice* device = impl_->device;
    impl_->device = nullptr;
    impl_->cleanup = Cleanup_None;
    impl_->Notify(*this, &CConfigurationEventHandler::OnDetached);
    return device;
}

void CInstantCamera::DestroyDevice() {
    Close();
    if (impl_->device == nullptr) {
        return;
    }
    const bool owned = impl_->cleanup == Cleanup_Delete;
    IOrvelDevice* device = DetachDevice();
    if (owned) {
        detail::DestroyThroughCreator(device);
    }
}

IOrvelDevice& CInstantCamera::GetDevice() {
    impl_->Require("GetDevice", {State::Closed, State::Open, State::Grabbing});
    return *impl_->device;
}

const CDeviceInfo& CInstantCamera::GetDeviceInfo() const {
    impl_->Require("GetDeviceInfo", {State::Closed, State::Open, State::Grabbing});
    return impl_->device->GetDeviceInfo();
}

void CInstantCamera::RegisterConfiguration(CConfigurationEventHandler* handler,
                                           ERegistrationMode mode, ECleanup cleanup) {
    if (mode == RegistrationMode_ReplaceAll) {
        auto previous = std::move(impl_->handlers);
        impl_->handlers.clear();
        for (const Impl::Registration& r : previous) {
            r.handler->OnConfigurationDeregistered(*this);
            Impl::Dispose(r);
        }
    }
    if (handler != nullptr) {
        // A handler given with Cleanup_Delete is the camera's even if it cannot be recorded.
        try {
            impl_->handlers.push_back({handler, cleanup});
        } catch (...) {
            Impl::Dispose({handler, cleanup});
            throw;
        }
        handler->OnConfigurationRegistered(*this);
    }
}

bool CInstantCamera::DeregisterConfiguration(CConfigurationEventHandler* handler) {
    auto& handlers = impl_->handlers;
    auto it = std::find_if(handlers.begin(), handlers.end(),
                           [handler](const Impl::Registration& r) { return r.handler == handler; });
    if (it == handlers.end()) {
        return false;
    }
    const Impl::Registration registration = *it;
    handlers.erase(it);
    registration.handler->OnConfigurationDeregistered(*this);
    Impl::Dispose(registration);
    return true;
}

void CInstantCamera::Open() {
    impl_->Require("Open", {State::Closed, State::Open, State::Grabbing});
    if (impl_->open) {
        return;
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnOpen);
    impl_->device->Open();
    impl_->open = true;
    AttachParameters(&impl_->device->GetNodeMap());
    impl_->Notify(*this, &CConfigurationEventHandler::OnOpened);
}

void CInstantCamera::Close() {
    if (!impl_->open) {
        return;
    }
    StopGrabbing();
    impl_->Notify(*this, &CConfigurationEventHandler::OnClose);
    AttachParameters(nullptr);
    impl_->device->Close();
    impl_->open = false;
    impl_->Notify(*this, &CConfigurationEventHandler::OnClosed);
}

bool CInstantCamera::IsOpen() const noexcept {
    return impl_->open;
}

GenApi::INodeMap& CInstantCamera::GetNodeMap() {
    impl_->Require("GetNodeMap", {State::Open, State::Grabbing});
    return impl_->device->GetNodeMap();
}

void CInstantCamera::StartGrabbing(EGrabStrategy strategy, EGrabLoop loop) {
    impl_->Require("StartGrabbing", {State::Open});
    if (strategy != GrabStrategy_OneByOne || loop != GrabLoop_ProvidedByUser) {
        ORVEL_THROW(InvalidArgumentException,
                    "CInstantCamera::StartGrabbing: only GrabStrategy_OneByOne with "
                    "GrabLoop_ProvidedByUser is supported.");
    }
    IStreamGrabber* grabber = impl_->device->GetStreamGrabber(0);
    if (grabber == nullptr) {
        ORVEL_THROW(RuntimeException, "Cannot start grabbing: the device has no stream channel.");
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnGrabStart);
    grabber->Start();
    impl_->grabber = grabber;
    impl_->grabbing = true;
    impl_->maxImages = 0;
    impl_->retrieved = 0;
    impl_->Notify(*this, &CConfigurationEventHandler::OnGrabStarted);
}

void CInstantCamera::StartGrabbing(std::size_t maxImages, EGrabStrategy strategy, EGrabLoop loop) {
    impl_->Require("StartGrabbing", {State::Open});
    if (maxImages == 0) {
        ORVEL_THROW(InvalidArgumentException,
                    "CInstantCamera::StartGrabbing: maxImages must be at least 1.");
    }
    StartGrabbing(strategy, loop);
    impl_->maxImages = maxImages;
}

bool CInstantCamera::RetrieveResult(unsigned int timeoutMs, CGrabResultPtr& result,
                                    ETimeoutHandling handling) {
    // Nothing can come from a camera that does not grab: asking is the caller's mistake.
    impl_->Require("RetrieveResult", {State::Grabbing});
    IStreamGrabber::Deadline deadline;
    if (timeoutMs != UINT_MAX) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    bool ended = false;
    const IStreamGrabber::Outcome outcome = impl_->grabber->Retrieve(deadline, result, ended);
    switch (outcome) {
        case IStreamGrabber::Outcome::Result:
            ++impl_->retrieved;
            if (ended || (impl_->maxImages != 0 && impl_->retrieved >= impl_->maxImages)) {
                StopGrabbing();
            }
            return true;
        case IStreamGrabber::Outcome::Stopped:
            StopGrabbing();
            return false;
        case IStreamGrabber::Outcome::TimedOut:
            break;
    }
    if (handling == TimeoutHandling_ThrowException) {
        ORVEL_THROW(TimeoutException,
                    "No grab result within " + std::to_string(timeoutMs) + " ms.");
    }
    return false;
}

bool CInstantCamera::IsGrabbing() const noexcept {
    return impl_->grabbing;
}

void CInstantCamera::StopGrabbing() {
    if (!impl_->grabbing) {
        return;
    }
    impl_->Notify(*this, &CConfigurationEventHandler::OnGrabStop);
    impl_->grabber->Stop();
    impl_->grabbing = false;
    impl_->grabber = nullptr;
    impl_->Notify(*this, &CConfigurationEventHandler::OnGrabStopped);
}

void CInstantCamera::AttachParameters(GenApi::INodeMap* /*map*/) {}

}  // namespace Orvel
