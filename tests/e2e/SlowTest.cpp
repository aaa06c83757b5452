// End-to-end tests that must wait: five-second windows and the 40-second retrieval time-out.
#include <gtest/gtest.h>

#include "Tarnwell.h"

namespace tarnwell::test {
namespace {

using namespace std::chrono_literals;

TEST(WindowLine, ComesEveryFiveSecondsWithTheCamerasRate) {
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
        EXPECT_TRUE(window == "10.00 fps, 0 errors." || window == "9.99 fps, 0 errors." ||
                    window == "10.01 fps, 0 errors.")
            << window;
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
    EXPECT_TRUE((rule + 1)->starts_with("#grabbed: 111, 10.0") ||
                (rule + 1)->starts_with("#grabbed: 112, "))
        << *(rule + 1);
}

TEST(Stall, RetrievalTimesOutAfterFortySecondsWithoutASummary) {
    const auto started = std::chrono::steady_clock::now();
    const auto run =
        RunTarnwell({"--framerate", "20", "--binning", "4"}, Emulation::Scenario("stalls"), 90s);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 40s);
    EXPECT_EQ(run.out.find("================================================="), std::string::npos);
    EXPECT_TRUE(run.out.ends_with("GEV packet size        = 1500 B\n")) << run.out;
    EXPECT_EQ(run.err, "No grab result within 40000 ms.\n");
    EXPECT_EQ(run.exitCode, 1);
}

}  // namespace
}  // namespace tarnwell::test
