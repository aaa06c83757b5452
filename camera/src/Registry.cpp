// The transport providers built into the SDK.
#include "Registry.h"

namespace Orvel::detail {

// Each transport defines its provider's factory; the SDK knows them by these names alone.
std::unique_ptr<ITransportProvider> MakeEmulatedProvider();  // the emulated cameras (emulator/)

const std::vector<ProviderFactory>& ProviderTable() {
    static const std::vector<ProviderFactory> table{&MakeEmulatedProvider};
    return table;
}

}  // namespace Orvel::detail
