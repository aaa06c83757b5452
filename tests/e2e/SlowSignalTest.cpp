// End-to-end tests of stops and faults that must wait: a stop after the first five-second window,
// and a stop request while the camera has stalled, which only the retrieval time-out ends.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "RunRecord.h"
#include "Tarnwell.h"

namespace tarnwell::test {
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
    EXPECT_EQ(record.Packets(), record.Total() * kIntensityPackets);
}

TEST(SlowStop, DuringAStallEndsAtTheRetrievalTimeOut) {
    // The stop request takes effect after the waiting retrieval returns, and a stalled camera
    // returns nothing: the time-out ends the run as an error, without a summary.
    const auto started = std::chrono::steady_clock::now();
    auto process = StartTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                                 Emulation::Json(R"({"cameras": [{"stallAfter": 3}]})"));
    ASSERT_TRUE(process->WaitForOutput("Latency: ", 30s));
    const auto third = process->Output().rfind("Latency: ");
    ASSERT_TRUE(process->WaitForOutput("ms\n", 30s, third));
    std::this_thread::sleep_for(1s);
    process->Signal(SIGINT);
    const auto run = process->Wait(120s);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 40s);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "No grab result within 40000 ms.\n");
    // Whole lines up to the last result before the stall.
    const RunRecord record = ReadRun(run);
    EXPECT_EQ(record.transferResults, 3);
    EXPECT_TRUE(run.out.ends_with("ms\n")) << run.out;
    EXPECT_TRUE(record.counters.empty());
}

}  // namespace
}  // namespace tarnwell::test
