// End-to-end tests that must wait: the 40-second retrieval time-out.
#include <gtest/gtest.h>

#include "ProgramRun.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

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
}  // namespace Tarnwell::test
