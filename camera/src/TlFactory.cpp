// The transport-layer factory: the entry point of discovery, backed by the provider table.
#include "Orvel/TransportLayer.h"

#include "Orvel/Transport/Errors.h"
#include "Sdk.h"

namespace Orvel {

using detail::Sdk;

CTlFactory& CTlFactory::GetInstance() {
    Sdk::Get().RequireInitialized("CTlFactory::GetInstance");
    static CTlFactory factory;
    return factory;
}

ITransportLayer* CTlFactory::CreateTl(const gcstring& deviceClass) {
    Sdk::Get().RequireInitialized("CTlFactory::CreateTl");
    detail::ITransportProvider* provider = Sdk::Get().FindProvider(deviceClass.str());
    return provider ? provider->TransportLayer() : nullptr;
}

// Transport layers are shared and live until the SDK's shut-down; releasing one is a formality.
void CTlFactory::ReleaseTl(const ITransportLayer* /*tl*/) {
    Sdk::Get().RequireInitialized("CTlFactory::ReleaseTl");
}

int CTlFactory::EnumerateTls(TlInfoList& list, bool addToList) {
    Sdk::Get().RequireInitialized("CTlFactory::EnumerateTls");
    if (!addToList) {
        list.clear();
    }
    for (detail::ITransportProvider* provider : Sdk::Get().Providers()) {
        if (ITransportLayer* tl = provider->TransportLayer()) {
            list.push_back(tl->GetTlInfo());
        }
    }
    return static_cast<int>(list.size());
}

int CTlFactory::EnumerateDevices(DeviceInfoList& list, bool addToList) {
    Sdk::Get().RequireInitialized("CTlFactory::EnumerateDevices");
    if (!addToList) {
        list.clear();
    }
    for (detail::ITransportProvider* provider : Sdk::Get().Providers()) {
        if (ITransportLayer* tl = provider->TransportLayer()) {
            tl->EnumerateDevices(list, true);
        }
    }
    return static_cast<int>(list.size());
}

IOrvelDevice* CTlFactory::CreateDevice(const CDeviceInfo& info) {
    Sdk::Get().RequireInitialized("CTlFactory::CreateDevice");
    detail::ITransportProvider* provider = Sdk::Get().FindProvider(info.GetDeviceClass().str());
    detail::TransportLayerBase* tl = provider ? provider->TransportLayer() : nullptr;
    if (tl == nullptr) {
        ORVEL_THROW(RuntimeException, "Cannot create device '" + info.GetFullName().str() +
                                          "': no transport layer serves device class '" +
                                          info.GetDeviceClass().str() + "'.");
    }
    return tl->CreateDevice(info);
}

void CTlFactory::DestroyDevice(IOrvelDevice* device) {
    Sdk::Get().RequireInitialized("CTlFactory::DestroyDevice");
    if (device == nullptr) {
        return;
    }
    for (detail::ITransportProvider* provider : Sdk::Get().Providers()) {
        detail::TransportLayerBase* tl = provider->TransportLayer();
        if (tl != nullptr && tl->Owns(device)) {
            tl->DestroyDevice(device);
            return;
        }
    }
    ORVEL_THROW(LogicalErrorException,
                "CTlFactory::DestroyDevice: the device was not created by a transport layer.");
}

}  // namespace Orvel
