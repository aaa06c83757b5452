// The transport providers built into the SDK.
#include "transport/Registry.h"

#include "emulation/EmulatedTransport.h"

namespace Orvel::detail {

const std::vector<ProviderEntry>& ProviderTable() {
    static const std::vector<ProviderEntry> table{
        {kEmulatedDeviceClass, &MakeEmulatedProvider},
    };
    return table;
}

}  // namespace Orvel::detail
