// End-to-end check of the five-second window lines: it must wait, and it runs alone.
#include <gtest/gtest.h>

#include <algorithm>

#include "ProgramRun.h"

namespace Tarnwell::test {
namespace {

TEST(E2EAccuracy, WindowLinesComeEveryFiveSecondsWithTheCamerasRate) {
    const auto run = RunTarnwell({"--framerate", "10", "--duration", "11", "--binning", "4"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = SplitLines(run.out);
    std::vector<std::string> windows;
    for (const auto& line : lines) {
        if (line.ends_with(" errors.") && !line.starts_with("#grabbed")) {
            windows.push_back(line);
        }
    }
    // Windows at 5 and 10 seconds after the second result; the run ends at 11.
    ASSERT_EQ(windows.size(), 2u) << run.out;
    for (const auto& window : windows) {
        // 50 frame intervals in five seconds, within 1 %.
        EXPECT_NEAR(RateOf(window), 10.0, 0.1) << window;
        EXPECT_TRUE(window.ends_with(" fps, 0 errors.")) << window;
    }
    // The window lines come before the rule, the summary after it.
    const auto rule =
        std::find(lines.begin(), lines.end(), "=================================================");
    ASSERT_NE(rule, lines.end());
    EXPECT_EQ(
        std::count_if(rule, lines.end(),
                      [](const std::string& line) { return line.ends_with("fps, 0 errors."); }),
        1);
    // 110 frame intervals after the second result: 111 results, or 112 when the clock reads
    // the 111th just short of eleven seconds.
    EXPECT_TRUE((rule + 1)->starts_with("#grabbed: 111, ") ||
                (rule + 1)->starts_with("#grabbed: 112, "))
        << *(rule + 1);
    EXPECT_NEAR(RateOf(*(rule + 1)), 10.0, 0.1) << *(rule + 1);
}

}  // namespace
}  // namespace Tarnwell::test
