// End-to-end test of a stop that must wait: a stop after the first five-second window.
#include <gtest/gtest.h>

#include <csignal>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

TEST(SlowStop, AfterAWindowLineKeepsTheWindowsAndCountsEveryFailure) {
    auto process = StartTarnwell(
        {"--framerate", "20", "--binning", "4"},
        Emulation::Json(R"({"cameras": [{"grabFailures": {"every": 5, "description": "x"}}]})"));
    ASSERT_TRUE(process->WaitForOutput(" errors.\n", 30s)) << process->Output();
    process->Signal(SIGTERM);
    process->Signal(SIGINT);
    const auto run = process->Wait(30s);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(IsFrameRateRun(run.out));
    const RunRecord record = ReadRun(run);
    ASSERT_EQ(record.counters.size(), 7u) << run.out;
    ASSERT_FALSE(record.windows.empty());
    // A hundred results after the one that opens it, every fifth failed.
    EXPECT_TRUE(record.windows.front().ends_with(" fps, 20 errors.")) << run.out;
    EXPECT_NEAR(RateOf(record.windows.front()), 20.0, 1.0);
    ASSERT_TRUE(record.grabbed.has_value());
    const long long retrieved = *record.grabbed + 1;
    EXPECT_GE(retrieved, 100);
    EXPECT_EQ(static_cast<long long>(record.grabErrors.size()), Failures(retrieved, 5));
    EXPECT_EQ(record.errors, Failures(retrieved, 5));
    EXPECT_EQ(record.Failed(), Failures(record.Total(), 5));
    EXPECT_EQ(record.Packets(), record.Total() * kPackets);
}

}  // namespace
}  // namespace Tarnwell::test
