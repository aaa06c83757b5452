// Seconds of a model on the steady clock, which a scenario may ask to be longer than it holds.
#pragma once

#include <chrono>

namespace Orvel::detail {

// At most kLongestModelSeconds: a scenario may ask for a link or a computation so slow that the
// time would not fit the clock, and such a frame simply never comes.
inline constexpr double kLongestModelSeconds = 1e9;

inline std::chrono::steady_clock::duration ModelDuration(double seconds) {
    // Also NaN goes to the limit: the comparison is false for it.
    const double bounded = seconds <= kLongestModelSeconds ? seconds : kLongestModelSeconds;
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(bounded < 0 ? 0 : bounded));
}

}  // namespace Orvel::detail
