// The transport providers built into the SDK.
#include "Registry.h"

namespace Orvel::detail {

// Each transport defines its provider's factory; the SDK knows them by these names alone.
std::unique_ptr<ITransportProvider> MakeGigeProvider();      // GigE Vision cameras (gige/)
std::unique_ptr<ITransportProvider> MakeEmulatedProvider();  // the emulated cameras (emulator/)

// A device class is served by the first provider that is on: GigE Vision when the environment
// names cameras' addresses, else the emulated cameras.
const std::vector<ProviderFactory>& ProviderTable() {
    static const std::vector<ProviderFactory> table{&MakeGigeProvider, &MakeEmulatedProvider};
    return table;
}

}  // namespace Orvel::detail
