// Raising the SDK's exceptions with their origin, and the fatal-misuse exit.
#pragma once

#include <string>

#include "GenICam/Exception.h"

#define ORVEL_THROW(Type, text)                                               \
    do {                                                                      \
        throw ::GenICam::Type(std::string(text).c_str(), __FILE__, __LINE__); \
    } while (false)

namespace Orvel::detail {

// Misuse that would leave objects pointing at released memory: a message on stderr, then abort.
[[noreturn]] void Fatal(const std::string& text) noexcept;

// Shortest text that reads back as the same double ("0.1", "500", "nan", "inf").
std::string FormatNumber(double value);

}  // namespace Orvel::detail
