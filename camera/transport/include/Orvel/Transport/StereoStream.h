// What a stereo camera's stream carries and what its transport counts: the image components a
// result holds, the seven counters, and the error code of an incomplete buffer. Both the SDK and
// every transport of stereo cameras speak these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace Orvel::detail {

inline constexpr std::size_t kComponentCount = 6;
// In the order of ComponentSelector's entries, which is the order they lie in a result's buffer.
inline constexpr std::array<const char*, kComponentCount> kComponentNames{
    "IntensityCombined", "Intensity", "Disparity", "Confidence", "Error", "RawCombined"};
enum Component : std::size_t {
    kIntensityCombined,
    kIntensity,
    kDisparity,
    kConfidence,
    kError,
    kRawCombined
};

inline constexpr std::size_t kCounterCount = 7;
inline constexpr std::array<const char*, kCounterCount> kCounterNames{
    "Statistic_Total_Buffer_Count",    "Statistic_Failed_Buffer_Count",
    "Statistic_Buffer_Underrun_Count", "Statistic_Total_Packet_Count",
    "Statistic_Failed_Packet_Count",   "Statistic_Resend_Request_Count",
    "Statistic_Resend_Packet_Count"};
enum Counter : std::size_t {
    kTotalBuffers,
    kFailedBuffers,
    kBufferUnderruns,
    kTotalPackets,
    kFailedPackets,
    kResendRequests,
    kResendPackets
};

// Where each component lies in a result's buffer; kNotSent for those the frame does not carry.
inline constexpr std::size_t kNotSent = std::numeric_limits<std::size_t>::max();
using ComponentOffsets = std::array<std::size_t, kComponentCount>;

// A result whose packets did not all arrive.
inline constexpr std::uint32_t kBufferIncomplete = 0xE1000014;

}  // namespace Orvel::detail
