// GigE Vision discovery by unicast: the cameras at the addresses the environment names, and
// nothing else. A broadcast would reach every camera on every network the host is on.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Orvel::detail {

// What a camera says of itself in its discovery acknowledgement.
struct DiscoveredCamera {
    std::string address;  // where it was asked and answered
    std::string currentIp;
    std::string manufacturer;
    std::string model;
    std::string version;
    std::string serialNumber;
    std::string userDefinedName;
};

// The addresses of ORVEL_GIGE: IPv4 addresses separated by commas or blanks. Raises
// RuntimeException naming the first item that is no address.
std::vector<std::string> ParseGigeAddresses(std::string_view text);

// Reads a discovery acknowledgement for request `id`; nullopt when it is no such answer (wrong
// size, command, status or id).
std::optional<DiscoveredCamera> ParseDiscoveryAck(const std::uint8_t* data, std::size_t size,
                                                  std::uint16_t id);

// Asks each address, several times within `wait`, and returns the cameras that answered, in the
// order of `addresses`. Raises RuntimeException when no socket can be opened.
std::vector<DiscoveredCamera> DiscoverCameras(const std::vector<std::string>& addresses,
                                              std::chrono::milliseconds wait);

}  // namespace Orvel::detail
