// The table of transport providers, keyed by device class.
#pragma once

#include <memory>
#include <vector>

#include "Orvel/Transport/Transport.h"

namespace Orvel::detail {

using ProviderFactory = std::unique_ptr<ITransportProvider> (*)();

// Every provider built into the SDK. An explicit table rather than self-registration, so the
// linker cannot drop a provider from the static library.
const std::vector<ProviderFactory>& ProviderTable();

}  // namespace Orvel::detail
