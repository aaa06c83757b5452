// End-to-end runs of a camera under pressure, as an operator would make them: a host slower than
// the camera, a lossy link, losses in bursts. They take seconds each, and run alone.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

struct Pressure {
    const char* name;
    std::string scenario;
    std::vector<std::string> args;
    // Checks of the run's figures; `seconds` is how long the run took from start to exit.
    void (*check)(const RunRecord& run, double rate, double seconds);
};

void PrintTo(const Pressure& pressure, std::ostream* out) {
    *out << pressure.name;
}

// The camera at binning 1 sends 25.8 frames a second whatever the host does: a host that computes
// Full depth far slower misses the rest as underruns.
void CameraKeepsSending(const RunRecord& run, double, double seconds) {
    EXPECT_GT(run.Underruns(), 0);
    const double produced = static_cast<double>(run.Total() + run.Underruns());
    EXPECT_GE(produced, 0.9 * 25.8 * 6);
    EXPECT_LE(produced, 1.1 * 25.8 * seconds);
}

class LinkPressure : public testing::TestWithParam<Pressure> {};

// Makes sure the figures an operator reads under pressure are a real camera's: the camera's
// schedule does not bend to the host, and resends cost the link their time. Example failures: a
// Full-depth run shows no underrun because the camera waited for the host; a link losing 5 % of
// its packets still delivers the clean link's 25.8 fps; losses in bursts need a request a packet.
TEST_P(LinkPressure, FiguresAreAsOnARealLink) {
    const Pressure& pressure = GetParam();
    const auto started = std::chrono::steady_clock::now();
    const auto result = RunTarnwell(pressure.args, Emulation::Json(pressure.scenario), 120s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const RunRecord run = ReadRun(result);
    const auto summary = result.out.find("#grabbed: ");
    ASSERT_NE(summary, std::string::npos) << result.out;
    pressure.check(
        run, RateOf(result.out.substr(summary, result.out.find('\n', summary) - summary)), seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LinkPressure,
    testing::Values(Pressure{"ModelledFullDepth",
                             R"({"cameras": [{}]})",
                             {"--quality-mode", "Full", "--framerate", "100", "--duration", "6",
                              "--enable-disparity"},
                             &CameraKeepsSending},
                    Pressure{"RealFullDepth",
                             R"({"cameras": [{"processing": "real"}]})",
                             {"--quality-mode", "Full", "--framerate", "100", "--duration", "6",
                              "--enable-disparity"},
                             &CameraKeepsSending},
                    // The resends of 5 % of 3150 packets, and the packet time-outs of those lost
                    // again, take the link from the frames behind them.
                    Pressure{"LossyLink",
                             R"({"cameras": [{"packetLossRate": 0.05}]})",
                             {"--framerate", "100", "--duration", "3"},
                             [](const RunRecord& run, double rate, double) {
                                 EXPECT_LE(rate, 24.6);
                                 EXPECT_GT(run.ResendRequests(), 0);
                             }},
                    Pressure{"LossesInBursts",
                             R"({"cameras": [{"packetLossRate": 0.05, "lossBurstLength": 8}]})",
                             {"--framerate", "100", "--duration", "3"},
                             [](const RunRecord& run, double, double) {
                                 EXPECT_GT(run.ResentPackets(), 0);
                                 EXPECT_LT(run.ResendRequests(), run.ResentPackets());
                             }}),
    [](const testing::TestParamInfo<Pressure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tarnwell::test
