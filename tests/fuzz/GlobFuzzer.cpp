// Fuzz target: a glob pattern translated and compiled as the name filter, matched against a name.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Discovery.h"
#include "Orvel/Orvel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Pattern, a NUL byte, the camera's name; without a NUL the name is the pattern itself.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string pattern = input.substr(0, split);
    const std::string name = split == std::string::npos ? pattern : input.substr(split + 1);

    Tarnwell::NameFilter filter;
    try {
        filter = Tarnwell::GlobToRegex(pattern);
    } catch (const GenICam::GenericException&) {
        if (pattern.size() <= Tarnwell::kMaxNamePatternLength) {
            std::abort();  // only an overlong pattern is refused
        }
        return 0;
    }
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(name.c_str()).SetIpAddress("169.254.1.10");
    const bool matched = Tarnwell::MatchesFilter(filter, device);

    // A pattern of plain characters, without wildcards, bars or blanks at its ends, selects
    // exactly the camera of that name: an unescaped special character breaks this.
    const bool plain = !pattern.empty() &&
                       pattern.find_first_of("*?|\0", 0, 4) == std::string::npos &&
                       !std::isspace(static_cast<unsigned char>(pattern.front())) &&
                       !std::isspace(static_cast<unsigned char>(pattern.back()));
    if (plain && split == std::string::npos && !matched) {
        std::abort();
    }
    return 0;
}
