// End-to-end tests of the frame-rate measurement and the transport counters.
#include <gtest/gtest.h>

#include <csignal>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

const Line kUnit = Exact("Processing Unit: CPU");
const Line kRule = Exact("=================================================");

std::vector<Line> Head(int binning = 1) {
    return std::vector<Line>{kUnit} + ConnectionReport(binning);
}

// The summary line of an output, which comes right after the rule.
std::string Summary(const std::string& out) {
    const auto lines = SplitLines(out);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == "=================================================") {
            return lines[i + 1];
        }
    }
    return "";
}

long GrabbedOf(const std::string& summary) {
    return summary.starts_with("#grabbed: ") ? std::stol(summary.substr(10)) : -1;
}

struct FramesCase {
    std::string frames;
    int retrieved;  // results the camera delivered, all counted by the transport counters
    std::string summary;
};

class FrameLimit : public ::testing::TestWithParam<FramesCase> {};

TEST_P(FrameLimit, CountsTheFramesAfterTheFirst) {
    const auto run = RunTarnwell({"--frames", GetParam().frames, "--framerate", "10"});
    EXPECT_TRUE(OutputMatches(run.out, Head() + kRule + Pattern(GetParam().summary) +
                                           Counters(GetParam().retrieved, 0, 0,
                                                    GetParam().retrieved * kPacketsAtBinning1)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, FrameLimit,
                         ::testing::Values(
                             // One result, counted, without a rate: it spans no interval.
                             FramesCase{"0", 1, "#grabbed: 1, 0 errors\\."},
                             FramesCase{"1", 1, "#grabbed: 1, 0 errors\\."},
                             // N + 1 results (the rate's accuracy is tested below).
                             FramesCase{"2", 3, "#grabbed: 2, \\d+\\.\\d\\d fps, 0 errors\\."},
                             FramesCase{"7", 8, "#grabbed: 7, \\d+\\.\\d\\d fps, 0 errors\\."}));

TEST(FrameRate, DurationEndsTheRunAtTheFirstResultPastIt) {
    // Zero or negative: one result.
    for (const std::string duration : {"0", "-3"}) {
        const auto run = RunTarnwell({"-d", duration, "--framerate", "10"});
        EXPECT_TRUE(OutputMatches(run.out, Head() + kRule + Pattern("#grabbed: 1, .*") +
                                               Counters(1, 0, 0, kPacketsAtBinning1)));
    }
    // One second at 10 fps: the result at one second after the second result, or the one after
    // it when the clock reads just short of the second.
    const auto run = RunTarnwell({"--duration", "1", "--framerate", "10"});
    const auto summary = Summary(run.out);
    EXPECT_TRUE(summary.starts_with("#grabbed: 11, ") || summary.starts_with("#grabbed: 12, "))
        << summary;
    EXPECT_EQ(run.exitCode, 0);
}

TEST(FrameRate, FailedGrabsAreReportedAndCounted) {
    // Results 3, 6 and 9 fail; the first result is not in the summary's counts.
    const auto run = RunTarnwell({"--frames", "9", "--framerate", "20", "--binning", "4"},
                                 Emulation::Scenario("grabFailures"));
    EXPECT_EQ(run.err,
              "Grab error occurred (ff): Emulated CRC error\n"
              "Grab error occurred (ff): Emulated CRC error\n"
              "Grab error occurred (ff): Emulated CRC error\n");
    EXPECT_TRUE(OutputMatches(run.out, Head(4) + kRule +
                                           Pattern("#grabbed: 9, \\d+\\.\\d\\d fps, 3 errors\\.") +
                                           Counters(10, 3, 0, 10 * kPackets)));
    EXPECT_EQ(run.exitCode, 0);

    // Codes in lower-case hexadecimal without leading zeros.
    const auto other =
        RunTarnwell({"--frames", "1", "--binning", "4"},
                    Emulation::Json(R"({"cameras": [{"grabFailures": {"every": 1, "errorCode": 4096,
                            "description": "Lost: 7 packets"}}]})"));
    EXPECT_EQ(other.err, "Grab error occurred (1000): Lost: 7 packets\n");
    EXPECT_EQ(Summary(other.out).substr(0, 12), "#grabbed: 1,");
    EXPECT_TRUE(Summary(other.out).ends_with(" 1 errors.")) << other.out;
}

TEST(FrameRate, CameraThatStopsGrabbingEndsTheRunWithTheSummary) {
    auto run =
        RunTarnwell({"--framerate", "20", "--binning", "4"}, Emulation::Scenario("stopsGrabbing"));
    EXPECT_TRUE(OutputMatches(run.out, Head(4) + kRule +
                                           Pattern("#grabbed: 4, \\d+\\.\\d\\d fps, 0 errors\\.") +
                                           Counters(5, 0, 0, 5 * kPackets)));
    EXPECT_EQ(run.exitCode, 0);

    // Ending at the second result leaves a span of no time: no rate at all rather than one
    // over a few nanoseconds.
    run = RunTarnwell({"--framerate", "20", "--binning", "4"},
                      Emulation::Json(R"({"cameras": [{"stopGrabbingAfter": 2}]})"));
    EXPECT_EQ(Summary(run.out), "#grabbed: 1, 0 errors.");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Counters, ShowTheValuesTheCameraReports) {
    const auto run = RunTarnwell({"--frames", "1"}, Emulation::Scenario("fixedCounters"));
    EXPECT_TRUE(OutputMatches(
        run.out, Head() + kRule + Pattern("#grabbed: 1, .*") +
                     Counters(0, 0, 0, kPacketsAtBinning1, -3, 9223372036854775807LL, 0)));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Counters, MissingCounterEndsTheReportAfterItsLabel) {
    const auto run = RunTarnwell({"--frames", "1"}, Emulation::Scenario("missingPacketCounter"));
    auto counters = Counters(1, 0, 0, 0);
    counters.resize(3);
    EXPECT_TRUE(OutputMatches(run.out, Head() + kRule + Pattern("#grabbed: 1, .*") + counters +
                                           Unterminated("Total Packet Count    = ")));
    EXPECT_EQ(run.err, "NULL pointer dereferenced\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Waits for the first failed grab: it comes after the stop handler is installed.
class Interrupt : public ::testing::TestWithParam<int> {};

TEST_P(Interrupt, EndsTheFrameRateRunWithItsStatistics) {
    auto process = StartTarnwell(
        {"--framerate", "20", "--binning", "4"},
        Emulation::Json(R"({"cameras": [{"grabFailures": {"every": 4, "description": "x"}}]})"));
    ASSERT_TRUE(process->WaitForError("Grab error occurred", 20s)) << process->Output();
    process->Signal(GetParam());
    const auto run = process->Wait(20s);
    EXPECT_TRUE(OutputMatches(
        run.out, Head(4) + kRule + Pattern("#grabbed: \\d+, \\d+\\.\\d\\d fps, \\d+ errors\\.") +
                     AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);
    // The stop takes effect at the next result (20 a second), not after the run went on.
    EXPECT_LT(GrabbedOf(Summary(run.out)), 40) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, ::testing::Values(SIGINT, SIGTERM));

// Makes sure a run on the default cameras, which compute depth for real, measures and ends like
// any other: every result delivered, none failed, the counters adding up. The camera's pace leaves
// even a sanitizer build's host time for each frame: a camera faster than the host drops frames.
// Example failure: a component written past the end of the result's buffer, or a run that never
// ends.
TEST(RealProcessing, DefaultCamerasMeasureComputedDepth) {
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, std::vector<std::string>{"--measurement-mode", "latency"}}) {
        std::vector<std::string> args = {"--frames",           "3",
                                         "--framerate",        "1",
                                         "--binning",          "4",
                                         "--quality-mode",     "Medium",
                                         "--enable-disparity", "--enable-error"};
        args.insert(args.end(), mode.begin(), mode.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        const auto run = RunTarnwell(args, Emulation::Default());
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.out.find("Failed Buffer Count   = 0\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Buffer Underrun Count = 0\n"), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace Tarnwell::test
