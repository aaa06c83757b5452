// CInstantInterface: a transport layer and one of its interfaces; creates and destroys devices.
#include "Orvel/VelkorUniversal.h"

#include <algorithm>
#include <vector>

#include "Orvel/Transport/Errors.h"
#include "Sdk.h"

namespace Orvel {

struct CInstantInterface::Impl final : detail::DeviceCreator {
    CInterfaceInfo info;
    detail::TransportLayerBase* tl = nullptr;
    bool open = false;
    std::vector<IOrvelDevice*> devices;

    void DestroyDevice(IOrvelDevice* device) override {
        auto it = std::find(devices.begin(), devices.end(), device);
        if (it == devices.end()) {
            ORVEL_THROW(LogicalErrorException,
                        "CInstantInterface::DestroyDevice: the device was not created by this "
                        "interface.");
        }
        devices.erase(it);
        tl->DeleteDevice(device);
    }
};

CInstantInterface::CInstantInterface(const CInterfaceInfo& info) : impl_(std::make_unique<Impl>()) {
    detail::Sdk::Get().RequireInitialized("CInstantInterface");
    detail::ITransportProvider* provider =
        detail::Sdk::Get().FindProvider(info.GetDeviceClass().str());
    detail::TransportLayerBase* tl = provider ? provider->TransportLayer() : nullptr;
    const detail::InterfaceOutcome outcome =
        tl ? provider->CheckInterface(info) : detail::InterfaceOutcome::TransportLayerFails;
    if (outcome == detail::InterfaceOutcome::TransportLayerFails) {
        ORVEL_THROW(RuntimeException, "Cannot create transport layer.");
    }
    if (outcome == detail::InterfaceOutcome::InterfaceFails) {
        ORVEL_THROW(RuntimeException, "Cannot create interface.");
    }
    impl_->tl = tl;
    impl_->info = info;
    InterfaceInfoList interfaces;
    if (info.GetInterfaceID().empty() && tl->EnumerateInterfaces(interfaces) > 0) {
        impl_->info = interfaces.front();
    }
    detail::Sdk::Get().CountInterface(1);
}

CInstantInterface::~CInstantInterface() {
    if (!impl_->devices.empty()) {
        detail::Fatal("A CInstantInterface was destroyed while " +
                      std::to_string(impl_->devices.size()) +
                      " device(s) it created still exist; destroy the camera before its "
                      "interface.");
    }
    detail::Sdk::Get().CountInterface(-1);
}

const CInterfaceInfo& CInstantInterface::GetInterfaceInfo() const {
    return impl_->info;
}

void CInstantInterface::Open() {
    impl_->open = true;
}

void CInstantInterface::Close() {
    impl_->open = false;
}

bool CInstantInterface::IsOpen() const {
    return impl_->open;
}

int CInstantInterface::EnumerateDevices(DeviceInfoList& list, bool addToList) {
    return impl_->tl->EnumerateDevices(list, addToList);
}

IOrvelDevice* CInstantInterface::CreateDevice(const CDeviceInfo& info) {
    impl_->devices.reserve(impl_->devices.size() + 1);
    IOrvelDevice* device = impl_->tl->CreateDeviceFor(info, *impl_);
    impl_->devices.push_back(device);
    return device;
}

void CInstantInterface::DestroyDevice(IOrvelDevice* device) {
    if (device != nullptr) {
        impl_->DestroyDevice(device);
    }
}

}  // namespace Orvel
