// Device bookkeeping shared by all transports.
#include "Orvel/Transport/Transport.h"

#include <algorithm>

#include "Orvel/Transport/Errors.h"
#include "Sdk.h"

namespace Orvel::detail {

DeviceBase::DeviceBase(DeviceCreator& creator) : creator_(&creator) {
    Sdk::Get().CountDevice(1);
}

DeviceBase::~DeviceBase() {
    Sdk::Get().CountDevice(-1);
}

void DestroyThroughCreator(IOrvelDevice* device) {
    if (auto* base = dynamic_cast<DeviceBase*>(device)) {
        base->Creator().DestroyDevice(device);
    }
}

void TransportLayerBase::DestroyDevice(IOrvelDevice* device) {
    auto* base = dynamic_cast<DeviceBase*>(device);
    if (!Owns(device) || &base->Creator() != this) {
        ORVEL_THROW(LogicalErrorException,
                    "ITransportLayer::DestroyDevice: the device was not created by this "
                    "transport layer.");
    }
    DeleteDevice(device);
}

void TransportLayerBase::DeleteDevice(IOrvelDevice* device) {
    DeviceBase* owned = nullptr;
    {
        const std::lock_guard lock(devicesMutex_);
        const auto it = std::find(devices_.begin(), devices_.end(), device);
        if (it == devices_.end()) {
            return;
        }
        owned = *it;
        devices_.erase(it);
    }
    delete owned;
}

bool TransportLayerBase::Owns(const IOrvelDevice* device) const {
    const std::lock_guard lock(devicesMutex_);
    return std::find(devices_.begin(), devices_.end(), device) != devices_.end();
}

IOrvelDevice* TransportLayerBase::Keep(std::unique_ptr<DeviceBase> device) {
    const std::lock_guard lock(devicesMutex_);
    devices_.push_back(device.get());
    return device.release();
}

}  // namespace Orvel::detail
