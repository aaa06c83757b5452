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

namespace Tarnwell {
namespace {

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

// Makes sure a span that starts before its first result counts each result as an interval.
TEST(GrabStatisticsTest, SpanStartedBeforeTheFirstResult) {
    GrabStatistics total(kT0);
    total.add(true, kT0 + milliseconds(500));
    EXPECT_EQ(Summary(total), "#grabbed: 1, 2.00 fps, 0 errors.");

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

}  // namespace
}  // namespace Tarnwell
