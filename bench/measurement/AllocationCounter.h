// Counts every allocation through the global operator new in this process, all threads.
#pragma once

#include <cstdint>

namespace Tarnwell {

std::uint64_t AllocationCount() noexcept;

}  // namespace Tarnwell
