// End-to-end tests of the latency measurement.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

const Line kUnit = Exact("Processing Unit: CPU");
const Line kRule = Exact("=================================================");
const Line kLatency = Pattern("Latency: \\d+ms");
const Line kNumber = Pattern(".*: \\d+(\\.\\d+)? ms");

std::vector<Line> Repeat(const Line& line, int count) {
    return std::vector<Line>(count, line);
}

std::vector<Line> Summary(const std::string& subject) {
    return {kRule, Pattern("Avg\\. " + subject + ": \\d+(\\.\\d+)? ms"),
            Pattern("Min\\. " + subject + ": \\d+ ms"), Pattern("Max\\. " + subject + ": \\d+ ms"),
            Exact("")};
}

std::vector<Line> Components(bool intensity, bool rawCombined = false) {
    return {Exact("Components:"),
            Exact("IntensityCombined Component = 0"),
            Exact(std::string("Intensity Component         = ") + (intensity ? "1" : "0")),
            Exact("Disparity Component         = 0"),
            Exact("Confidence Component        = 0"),
            Exact("Error Component             = 0"),
            Exact(std::string("RawCombined Component       = ") + (rawCombined ? "1" : "0")),
            Exact("")};
}

const std::vector<Line> kStage1 = Lines("\n\nMeasure network transfer time:\n");
const std::vector<Line> kStage2 = Lines("Measure system latency:\n");

// Latencies of the lines "Latency: <n>ms" from `first` on, in order.
std::vector<int> Latencies(const std::string& out, std::size_t first, std::size_t count) {
    std::vector<int> values;
    for (const auto& line : SplitLines(out)) {
        if (line.starts_with("Latency: ")) {
            values.push_back(std::stoi(line.substr(9)));
        }
    }
    if (first >= values.size()) {
        return {};
    }
    return {values.begin() + static_cast<long>(first),
            values.begin() + static_cast<long>(std::min(values.size(), first + count))};
}

TEST(Latency, TwoStagesWithTheirSummariesAndTheCounters) {
    const auto run = RunTarnwell({"--measurement-mode", "latency", "--frames", "10"});
    // Ten transfer results and ten system results since the camera opened, each of them the
    // raw pair on the link.
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(1) + kStage1 +
                                           Repeat(kLatency, 10) + Summary("network transfer time") +
                                           kStage2 + Components(true) + Repeat(kLatency, 10) +
                                           Summary("system latency") +
                                           Counters(20, 0, 0, 20 * kPacketsAtBinning1)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);

    // The first result of each series is printed but not recorded: the summaries are those of
    // the other results, in the stream's default format. The extremes are the lines' whole
    // milliseconds; the average is of the exact durations, so it lies within a millisecond above
    // the average of the lines.
    const auto expectSummary = [&](const std::string& subject, std::vector<int> recorded) {
        double sum = 0;
        for (const int latency : recorded) {
            sum += latency;
        }
        const double linesAverage = sum / static_cast<double>(recorded.size());
        std::ostringstream extremes;
        extremes << " ms\nMin. " << subject << ": "
                 << *std::min_element(recorded.begin(), recorded.end()) << " ms\nMax. " << subject
                 << ": " << *std::max_element(recorded.begin(), recorded.end()) << " ms\n";
        const std::string label = "Avg. " + subject + ": ";
        const std::size_t at = run.out.find(label);
        ASSERT_NE(at, std::string::npos);
        const double average = std::stod(run.out.substr(at + label.size()));
        EXPECT_GE(average, linesAverage);
        EXPECT_LT(average, linesAverage + 1);
        EXPECT_NE(run.out.find(extremes.str(), at), std::string::npos) << extremes.str();
    };
    expectSummary("network transfer time", Latencies(run.out, 1, 9));
    expectSummary("system latency", Latencies(run.out, 11, 9));
}

TEST(Latency, AnyOtherModeMeasuresTheFrameRate) {
    for (const std::string mode : {"Latency", "latency ", "framerate", "fps"}) {
        const auto run = RunTarnwell({"--measurement-mode", mode, "--frames", "1"});
        EXPECT_EQ(run.out.find("Measure network transfer time:"), std::string::npos);
        EXPECT_NE(run.out.find("#grabbed: 1, "), std::string::npos);
        EXPECT_EQ(run.exitCode, 0);
    }
}

TEST(Latency, SeriesWithoutSampleSaysSo) {
    for (const auto& limit : std::vector<std::vector<std::string>>{
             {"--frames", "1"}, {"--frames", "0"}, {"--duration", "0"}}) {
        auto args = std::vector<std::string>{"--measurement-mode", "latency", "--binning", "4"};
        args.insert(args.end(), limit.begin(), limit.end());
        const auto run = RunTarnwell(args);
        EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(4) +
                                               kStage1 + Repeat(kLatency, 10) +
                                               Summary("network transfer time") + kStage2 +
                                               Components(true) + kLatency + kRule +
                                               Lines("Avg. system latency: no sample recorded\n"
                                                     "Min. system latency: no sample recorded\n"
                                                     "Max. system latency: no sample recorded\n"
                                                     "\n") +
                                               AnyCounters()));
        EXPECT_EQ(run.exitCode, 0);
    }
}

TEST(Latency, ComponentListingShowsTheCamerasStates) {
    // Raw images cannot be sent in the synchronized mode: the listing shows them off although
    // the transfer stage left them enabled.
    auto run = RunTarnwell({"--measurement-mode", "latency", "--frames", "2", "--binning", "4",
                            "--enable-error", "--enable-intensity-combined"});
    EXPECT_TRUE(OutputMatches(
        run.out, std::vector<Line>{kUnit} + ConnectionReport(4) + kStage1 + Repeat(kLatency, 10) +
                     Summary("network transfer time") + kStage2 +
                     Lines("Components:\n"
                           "IntensityCombined Component = 1\n"
                           "Intensity Component         = 0\n"
                           "Disparity Component         = 0\n"
                           "Confidence Component        = 0\n"
                           "Error Component             = 1\n"
                           "RawCombined Component       = 0\n"
                           "\n") +
                     Repeat(kLatency, 2) + Summary("system latency") + AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);

    // The raw pair is restored in the mode that can send it, and measured.
    run = RunTarnwell({"--measurement-mode", "latency", "--frames", "2", "--binning", "4",
                       "--enable-raw-combined"});
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(4) + kStage1 +
                                           Repeat(kLatency, 10) + Summary("network transfer time") +
                                           kStage2 + Components(false, true) + Repeat(kLatency, 2) +
                                           Summary("system latency") +
                                           Counters(12, 0, 0, 12 * kPackets)));
    EXPECT_EQ(run.exitCode, 0);

    // A camera without raw images at all fails where the transfer stage must select them.
    run = RunTarnwell({"--measurement-mode", "latency"}, Emulation::Scenario("missingComponents"));
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Latency, FailedGrabsAreTimedAndReported) {
    const auto run =
        RunTarnwell({"--measurement-mode", "latency", "--frames", "4", "--binning", "4"},
                    Emulation::Scenario("grabFailures"));
    // Results 3, 6, 9 (transfer stage) and 12 (system stage) fail.
    const std::string failure = "Grab error occurred (ff): Emulated CRC error\n";
    EXPECT_EQ(run.err, failure + failure + failure + failure);
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(4) + kStage1 +
                                           Repeat(kLatency, 10) + Summary("network transfer time") +
                                           kStage2 + Components(true) + Repeat(kLatency, 4) +
                                           Summary("system latency") +
                                           Counters(14, 4, 0, 14 * kPackets)));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Latency, CameraThatStopsGrabbing) {
    // It ends the system stage like a limit ...
    auto run = RunTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                           Emulation::Json(R"({"cameras": [{"stopGrabbingAfter": 13}]})"));
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(4) + kStage1 +
                                           Repeat(kLatency, 10) + Summary("network transfer time") +
                                           kStage2 + Components(true) + Repeat(kLatency, 3) +
                                           Summary("system latency") + AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);

    // ... and when it stopped for good in the transfer stage, the system stage cannot start.
    run = RunTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                      Emulation::Scenario("stopsGrabbing"));
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(4) + kStage1 +
                                           Repeat(kLatency, 5) + Summary("network transfer time") +
                                           kStage2 + Components(true)));
    EXPECT_EQ(run.err,
              "Cannot start grabbing: the camera ended its acquisition with result 5; it grabs "
              "again once it is closed and opened.\n");
    EXPECT_EQ(run.exitCode, 1);
}

class LatencyInterrupt : public ::testing::TestWithParam<int> {};

TEST_P(LatencyInterrupt, DuringTheTransferStageSkipsTheSystemStage) {
    auto process = StartTarnwell({"--measurement-mode", "latency"});
    ASSERT_TRUE(process->WaitForOutput("Latency: ", 20s)) << process->Output();
    process->Signal(GetParam());
    const auto run = process->Wait(20s);
    EXPECT_EQ(run.exitCode, 0);
    const auto lines = SplitLines(run.out);
    // The stage ends at the next result: between one and a few results, then its summary
    // (which may have no sample), no second stage, the counters.
    const auto rule = std::find(lines.begin(), lines.end(), kRule.text);
    ASSERT_NE(rule, lines.end()) << run.out;
    const auto results = std::count_if(
        lines.begin(), rule, [](const std::string& line) { return line.starts_with("Latency: "); });
    EXPECT_GE(results, 1);
    EXPECT_LT(results, 10);
    EXPECT_EQ(run.out.find("Measure system latency:"), std::string::npos);
    EXPECT_EQ(lines.size() - static_cast<std::size_t>(rule - lines.begin()), 1u + 4u + 7u)
        << run.out;
}

TEST_P(LatencyInterrupt, DuringTheSystemStageEndsItWithItsSummary) {
    auto process = StartTarnwell({"--measurement-mode", "latency", "--binning", "4"});
    // Two results into the stage, so that its summary has a sample.
    ASSERT_TRUE(process->WaitForOutput("Components:", 20s)) << process->Output();
    const auto stage = process->Output().find("Components:");
    ASSERT_TRUE(process->WaitForOutput("Latency: ", 20s, stage));
    ASSERT_TRUE(
        process->WaitForOutput("Latency: ", 20s, process->Output().find("Latency: ", stage) + 1));
    process->Signal(GetParam());
    const auto run = process->Wait(20s);
    EXPECT_EQ(run.exitCode, 0);
    const auto lines = SplitLines(run.out);
    ASSERT_GE(lines.size(), 12u);
    EXPECT_TRUE(OutputMatches(
        run.out.substr(run.out.rfind("=================================================")),
        Summary("system latency") + AnyCounters()));
}

INSTANTIATE_TEST_SUITE_P(Signals, LatencyInterrupt, ::testing::Values(SIGINT, SIGTERM));

}  // namespace
}  // namespace Tarnwell::test
