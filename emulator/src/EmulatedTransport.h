// The emulated transport: the provider of the Velkor XW device class and its transport layer.
#pragma once

#include <memory>

#include "Orvel/Transport/Transport.h"
#include "Orvel/VelkorUniversal.h"

namespace Orvel::detail {

inline constexpr const char* kEmulatedDeviceClass = VelkorXwDeviceClass;
inline constexpr const char* kEmulatedTlFullName = "OrvelEmulatedVelkorXW";
inline constexpr const char* kEmulatedInterfaceId = "EmulatedVelkorXWLink";

std::unique_ptr<ITransportProvider> MakeEmulatedProvider();

}  // namespace Orvel::detail
