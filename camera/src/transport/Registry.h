// The table of transport providers, keyed by device class.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "transport/Transport.h"

namespace Orvel::detail {

struct ProviderEntry {
    const char* deviceClass;
    std::unique_ptr<ITransportProvider> (*make)();
};

// Every provider built into the SDK. An explicit table rather than self-registration, so the
// linker cannot drop a provider from the static library.
const std::vector<ProviderEntry>& ProviderTable();

}  // namespace Orvel::detail
