// What a finished run printed, read back into numbers, for the signal and fault matrices: the
// results, the summary, the counters and the grab-error lines, and the checks that they agree.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ProgramRun.h"

namespace Tarnwell::test {

inline constexpr const char* kRuleText = "=================================================";
// Packets per frame at binning 4 and at binning 1: the camera sends its raw pair (480x600 and
// 1920x2400 bytes in packets of 1464 bytes of data, plus leader and trailer), whatever the
// components.
inline constexpr long long kPackets = 199;
inline constexpr long long kPacketsAtBinning1 = 3150;

struct RunRecord {
    // Frame-rate mode: the summary line's figures.
    std::optional<long long> grabbed;
    std::optional<long long> errors;
    std::vector<std::string> windows;
    // Latency mode: results per stage (the second is empty when the stage did not run).
    long long transferResults = 0;
    std::optional<long long> systemResults;
    // The seven counters by label, in their order.
    std::vector<long long> counters;
    // Standard error: the grab-error lines, and any other line.
    std::vector<std::string> grabErrors;
    std::vector<std::string> otherErrors;

    long long Total() const { return counters.at(0); }
    long long Failed() const { return counters.at(1); }
    long long Underruns() const { return counters.at(2); }
    long long Packets() const { return counters.at(3); }
    long long FailedPackets() const { return counters.at(4); }
    long long ResendRequests() const { return counters.at(5); }
    long long ResentPackets() const { return counters.at(6); }
};

RunRecord ReadRun(const ProcessResult& run);

// The whole standard output of a frame-rate run at binning 4: report, window lines, rule,
// summary and the seven counters, every line whole. Values are checked through ReadRun.
::testing::AssertionResult IsFrameRateRun(const std::string& out);

// The same for a latency run at binning 4 that took `transfer` results in its first stage and,
// unless it was skipped, `system` in its second.
::testing::AssertionResult IsLatencyRun(const std::string& out, long long transfer,
                                        std::optional<long long> system);

// Results numbered 1..count of which every `every`-th failed (every 0: none).
inline long long Failures(long long count, long long every) {
    return every == 0 ? 0 : count / every;
}

}  // namespace Tarnwell::test
