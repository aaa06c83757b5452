// Device bookkeeping shared by all transports.
#include "Orvel/Transport/Transport.h"

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

}  // namespace Orvel::detail
