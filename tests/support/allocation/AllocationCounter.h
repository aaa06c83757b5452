// Counts every allocation through the global operator new, in every form, on every thread: for
// the tests and benchmarks that show a loop allocates nothing per frame.
#pragma once

#include <cstdint>

namespace Tarnwell::test {

// Allocations since the program started; take the difference around the code in question.
std::uint64_t AllocationCount() noexcept;

}  // namespace Tarnwell::test
