// Unit tests of the grab statistics, the measurement lines and the latency summary.
#include "Measurement.h"

#include <chrono>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Tarnwell::test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

const SteadyClock::time_point kT0{std::chrono::seconds(1000)};

std::string Summary(const GrabStatistics& statistics) {
    std::ostringstream out;
    out << statistics;
    return out.str();
}

// Results of a steady camera, the first at `first`, one every `period`.
void AddSteadyResults(GrabStatistics& statistics, SteadyClock::time_point first,
                      SteadyClock::duration period, int count, int failedEvery = 0) {
    for (int i = 0; i < count; ++i) {
        const bool failed = failedEvery > 0 && (i + 1) % failedEvery == 0;
        statistics.add(!failed, first + i * period);
    }
}

// Makes sure the rate counts frame intervals, not results. Example failure: a steady 20 fps
// camera reported as 22.22 fps over ten results.
TEST(GrabStatisticsTest, SpanRestartedAtAResultCountsIntervals) {
    GrabStatistics total(kT0);
    total.reset(kT0 + milliseconds(70));
    AddSteadyResults(total, kT0 + milliseconds(70), milliseconds(50), 10);
    EXPECT_EQ(total.grabbed, 10U);
    EXPECT_EQ(total.frameIntervals(), 9U);
    EXPECT_DOUBLE_EQ(total.framesPerSecond(), 20.0);
    EXPECT_EQ(Summary(total), "#grabbed: 10, 20.00 fps, 0 errors.");
}

// Makes sure a span that starts before its first result counts each result as an interval, and
// that a summary of one result shows no rate. Example failure: "--frames 1" on a 10 Hz camera
// prints "#grabbed: 1, 253.50 fps", the time from grabbing's start to the first result.
TEST(GrabStatisticsTest, SpanStartedBeforeTheFirstResult) {
    GrabStatistics total(kT0);
    total.add(true, kT0 + milliseconds(500));
    EXPECT_EQ(Summary(total), "#grabbed: 1, 0 errors.");
    total.add(true, kT0 + milliseconds(1000));
    EXPECT_EQ(Summary(total), "#grabbed: 2, 2.00 fps, 0 errors.");

    GrabStatistics window(kT0);
    AddSteadyResults(window, kT0 + milliseconds(50), milliseconds(50), 100);
    EXPECT_EQ(window.elapsedSeconds(), 5.0);
    EXPECT_DOUBLE_EQ(window.framesPerSecond(), 20.0);
}

// Makes sure a run that ends at the result that restarted it shows no rate rather than a rate
// over no time.
TEST(GrabStatisticsTest, SpanOfNoTimeHasNoRate) {
    GrabStatistics total(kT0);
    total.reset(kT0 + milliseconds(3));
    total.add(false, kT0 + milliseconds(3));
    EXPECT_EQ(total.elapsedSeconds(), 0.0);
    EXPECT_EQ(total.framesPerSecond(), 0.0);
    EXPECT_EQ(Summary(total), "#grabbed: 1, 1 errors.");
}

// Makes sure failed grabs count both as results and as errors.
TEST(GrabStatisticsTest, FailedGrabsAreCountedTwice) {
    GrabStatistics total(kT0);
    total.reset(kT0);
    const auto period = std::chrono::nanoseconds(50'020'000'000 / 1499);
    AddSteadyResults(total, kT0, period, 1500, 750);
    EXPECT_EQ(total.grabbed, 1500U);
    EXPECT_EQ(total.errors, 2U);
    EXPECT_EQ(Summary(total), "#grabbed: 1500, 29.97 fps, 2 errors.");
}

struct LineCase {
    const char* name;
    std::function<void(std::ostream&)> write;
    std::string text;
};

class LineFormatTest : public testing::TestWithParam<LineCase> {};

GrabStatistics SteadyWindow() {
    GrabStatistics window(kT0);
    AddSteadyResults(window, kT0 + milliseconds(50), milliseconds(50), 100, 40);
    return window;
}

// Makes sure each line writes in its own format whatever the stream's state, and leaves that
// state as it found it. Example failure: fixed notation left on, so a later latency of
// 12.3333 ms prints as 12.33.
TEST_P(LineFormatTest, KeepsStreamFormat) {
    std::ostringstream out;
    out << std::hex << std::uppercase << std::showbase << std::scientific << std::setprecision(9);
    const std::ios::fmtflags flags = out.flags();
    GetParam().write(out);
    EXPECT_EQ(out.str(), GetParam().text);
    EXPECT_EQ(out.flags(), flags);
    EXPECT_EQ(out.precision(), 9);

    std::ostringstream latency;
    GetParam().write(latency);
    latency.str("");
    latency << 37.0 / 3.0;
    EXPECT_EQ(latency.str(), "12.3333");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineFormatTest,
    testing::Values(
        LineCase{"Summary", [](std::ostream& out) { out << SteadyWindow(); },
                 "#grabbed: 100, 20.00 fps, 2 errors."},
        LineCase{"Window", [](std::ostream& out) { WriteWindowLine(out, SteadyWindow()); },
                 "20.00 fps, 2 errors.\n"},
        LineCase{"GrabError255", [](std::ostream& out) { WriteGrabErrorLine(out, 255, "lost"); },
                 "Grab error occurred (ff): lost\n"},
        LineCase{"GrabError4096", [](std::ostream& out) { WriteGrabErrorLine(out, 4096, "x"); },
                 "Grab error occurred (1000): x\n"},
        LineCase{"GrabErrorLarge",
                 [](std::ostream& out) {
                     WriteGrabErrorLine(out, 0xE1000014,
                                        "Buffer incomplete: 3 of 1580 packets lost");
                 },
                 "Grab error occurred (e1000014): Buffer incomplete: 3 of 1580 packets lost\n"}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(LatencySummaryTest, AverageMinimumMaximum) {
    const std::optional<LatencySummary> summary = SummarizeLatencies({10, 12, 14, 11});
    ASSERT_TRUE(summary.has_value());
    std::ostringstream out;
    WriteLatencySummary(out, "system latency", summary);
    EXPECT_EQ(out.str(),
              "Avg. system latency: 11.75 ms\n"
              "Min. system latency: 10 ms\n"
              "Max. system latency: 14 ms\n\n");
}

TEST(LatencySummaryTest, DefaultFloatFormat) {
    std::ostringstream out;
    WriteLatencySummary(out, "network transfer time", SummarizeLatencies({12, 12, 13}));
    EXPECT_EQ(out.str(),
              "Avg. network transfer time: 12.3333 ms\n"
              "Min. network transfer time: 12 ms\n"
              "Max. network transfer time: 13 ms\n\n");
}

// Makes sure a series without a sample reads none. Example failure: "nan ms" and garbage for
// the minimum and maximum with "--frames 1".
TEST(LatencySummaryTest, NoSampleRecorded) {
    const std::optional<LatencySummary> summary = SummarizeLatencies({});
    EXPECT_FALSE(summary.has_value());
    std::ostringstream out;
    WriteLatencySummary(out, "system latency", summary);
    EXPECT_EQ(out.str(),
              "Avg. system latency: no sample recorded\n"
              "Min. system latency: no sample recorded\n"
              "Max. system latency: no sample recorded\n\n");
}

// Makes sure the per-result work of the frame-rate loop starts the count at the second result,
// prints a window line per five seconds and ends at the duration. Example failure: a window
// that counts the result it starts at, 10.20 fps for a steady 10 fps camera.
TEST(FrameRateCounterTest, WindowsAndDurationOfASteadyCamera) {
    FrameRateCounter counter(kT0, UINT64_MAX, 12);
    std::ostringstream out;
    // The first result at 0.3 s, then one every 100 ms.
    EXPECT_FALSE(counter.Count(true, kT0 + milliseconds(300), out));
    int results = 1;
    bool limitReached = false;
    while (!limitReached) {
        limitReached = counter.Count(true, kT0 + milliseconds(300 + 100 * results), out);
        ++results;
    }
    EXPECT_EQ(out.str(), "10.00 fps, 0 errors.\n10.00 fps, 0 errors.\n");
    EXPECT_EQ(results, 122);
    EXPECT_EQ(Summary(counter.total()), "#grabbed: 121, 10.00 fps, 0 errors.");
}

TEST(FrameRateCounterTest, FrameLimitCountsFromTheSecondResult) {
    FrameRateCounter counter(kT0, 3, INT64_MAX);
    std::ostringstream out;
    EXPECT_FALSE(counter.Count(true, kT0 + milliseconds(10), out));
    EXPECT_FALSE(counter.Count(true, kT0 + milliseconds(20), out));
    EXPECT_FALSE(counter.Count(false, kT0 + milliseconds(30), out));
    EXPECT_TRUE(counter.Count(true, kT0 + milliseconds(40), out));
    EXPECT_EQ(Summary(counter.total()), "#grabbed: 3, 100.00 fps, 1 errors.");
}

struct LatencyLineCase {
    const char* name;
    std::chrono::nanoseconds latency;
    std::string line;
};

class LatencyLineTest : public testing::TestWithParam<LatencyLineCase> {};

// Makes sure a latency is truncated to whole milliseconds and written in decimal whatever the
// stream's format. Example failure: 12.9 ms rounded to 13, or "Latency: cms" on a hex stream.
TEST_P(LatencyLineTest, WholeMillisecondsInDecimal) {
    LatencyRecorder recorder(kT0, UINT64_MAX, INT64_MAX);
    std::ostringstream out;
    out << std::hex << std::showpos;
    recorder.Record(kT0, kT0 + GetParam().latency, out);
    EXPECT_EQ(out.str(), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LatencyLineTest,
    testing::Values(LatencyLineCase{"Truncated", std::chrono::microseconds(12900),
                                    "Latency: 12ms\n"},
                    LatencyLineCase{"BelowOne", std::chrono::microseconds(999), "Latency: 0ms\n"},
                    LatencyLineCase{"TimeOut", std::chrono::seconds(40), "Latency: 40000ms\n"}),
    [](const testing::TestParamInfo<LatencyLineCase>& info) { return info.param.name; });

// Makes sure the first result of a series is printed but not recorded, and the limits end the
// series at the documented result.
TEST(LatencyRecorderTest, FirstResultUnrecordedAndLimits) {
    LatencyRecorder byFrames(kT0, 3, INT64_MAX);
    std::ostringstream out;
    EXPECT_FALSE(byFrames.Record(kT0, kT0 + milliseconds(50), out));
    EXPECT_FALSE(byFrames.Record(kT0, kT0 + milliseconds(10), out));
    EXPECT_TRUE(byFrames.Record(kT0, kT0 + milliseconds(14), out));
    ASSERT_TRUE(byFrames.Summary().has_value());
    EXPECT_EQ(byFrames.Summary()->average, 12.0);
    EXPECT_EQ(out.str(), "Latency: 50ms\nLatency: 10ms\nLatency: 14ms\n");

    LatencyRecorder byTime(kT0, UINT64_MAX, 1);
    EXPECT_FALSE(byTime.Record(kT0 + milliseconds(990), kT0 + milliseconds(999), out));
    EXPECT_TRUE(byTime.Record(kT0 + milliseconds(995), kT0 + milliseconds(1000), out));
}

// Makes sure the average is of the exact durations while the lines and the extremes keep whole
// milliseconds. Example failure: each sample truncated before averaging puts the average about
// half a millisecond low (10.5 for these samples).
TEST(LatencyRecorderTest, AverageOfExactDurations) {
    LatencyRecorder recorder(kT0, UINT64_MAX, INT64_MAX);
    std::ostringstream out;
    for (const auto latency : {microseconds(50000), microseconds(12900), microseconds(10400)}) {
        recorder.Record(kT0, kT0 + latency, out);
    }
    EXPECT_EQ(out.str(), "Latency: 50ms\nLatency: 12ms\nLatency: 10ms\n");
    std::ostringstream summary;
    WriteLatencySummary(summary, "system latency", recorder.Summary());
    EXPECT_EQ(summary.str(),
              "Avg. system latency: 11.65 ms\n"
              "Min. system latency: 10 ms\n"
              "Max. system latency: 12 ms\n\n");
}

}  // namespace
}  // namespace Tarnwell::test
