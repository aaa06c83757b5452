// End-to-end tests of runs against cameras as they are in the field: settings an earlier run left
// behind, faults of the device and the link, a slow control link, a slow stream, a recorded scene.
// Each would let a mistake of the program through if the emulated camera were kinder than a real
// one.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "RunRecord.h"
#include "TestFiles.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

const Line kUnit = Exact("Processing Unit: CPU");

// What another application left set on the camera.
constexpr const char* kLeftovers = R"({"cameras": [{"powerOn": {
    "TriggerMode": "On", "VkrComponentMode": "SingleComponent",
    "ComponentEnable": {"RawCombined": true, "Error": true}, "GevSCPSPacketSize": 9000,
    "VkrIlluminationStrength": 1, "AcquisitionFrameRate": 0.5, "BinningHorizontal": 2}}]})";

// The report of a default camera at binning 4 holding the leftovers: the raw pair and the error
// image still enabled in the single-component mode, packets of 9000 bytes.
std::vector<Line> LeftoverReport() {
    return {
        Exact("Connected to camera VelkorXW-40051001"), Exact("Serial Number          = 40051001"),
        Exact("Image binning          = 4 "), Exact("Intensity image width  = 480 px"),
        Exact("Intensity image height = 300 px"), Exact("Depth quality          = High"),
        Exact("Disparity image width  = 240 px"), Exact("Disparity image height = 150 px"),
        // Intensity, disparity, error and the raw pair.
        Exact("Payload size           = " + std::to_string(144000 + 72000 + 36000 + 288000) + " B"),
        Exact("GEV packet delay       = 0 ns"), Exact("GEV packet size        = 9000 B")};
}

// The raw pair at binning 4 in packets of 9000 bytes.
constexpr long long kJumboPackets = (288000 + 8963) / 8964 + 2;

// Makes sure a run writes every setting it relies on: a camera left in trigger mode, in the
// single-component mode with other components enabled, at another rate and binning, gives the
// run the program defines. Example failure: a frame-rate run that does not switch the trigger
// off waits for a trigger that never comes.
TEST(LeftoverSettings, FrameRateRunWritesWhatItReliesOn) {
    const auto run = RunTarnwell({"--frames", "2", "--framerate", "20", "--binning", "4"},
                                 Emulation::Json(kLeftovers), 20s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + LeftoverReport() +
                                           Exact(kRuleText) +
                                           Pattern("#grabbed: 2, \\d+\\.\\d\\d fps, 0 errors\\.") +
                                           Counters(3, 0, 0, 3 * kJumboPackets)));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(LeftoverSettings, LatencyRunWritesWhatItReliesOn) {
    const auto run =
        RunTarnwell({"--measurement-mode", "latency", "--frames", "3", "--binning", "4"},
                    Emulation::Json(kLeftovers), 20s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err, "");
    const RunRecord record = ReadRun(run);
    EXPECT_EQ(record.transferResults, 10);
    EXPECT_EQ(record.systemResults, 3);
    // The error image switched off, the raw pair not sendable in the synchronized mode.
    EXPECT_NE(run.out.find("Error Component             = 0\n"
                           "RawCombined Component       = 0\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(record.counters, (std::vector<long long>{13, 0, 0, 13 * kJumboPackets, 0, 0, 0}));
    EXPECT_EQ(run.exitCode, 0);
}

struct FaultCase {
    const char* name;
    std::string camera;
    std::vector<std::string> args;
    std::string out;  // after the processing-unit line
    std::string error;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

class CameraFault : public ::testing::TestWithParam<FaultCase> {};

// Makes sure a camera's fault ends the run with the SDK's one line and exit code 1, with the
// camera and the SDK shut down (a camera left behind would abort the SDK's shut-down), and soon.
// Example failure: a lost camera leaves the run waiting out its 40-second time-out.
TEST_P(CameraFault, EndsTheRunWithOneLine) {
    const FaultCase& c = GetParam();
    const auto run =
        RunTarnwell(c.args, Emulation::Json(R"({"cameras": [)" + c.camera + "]}"), 20s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0);
    EXPECT_TRUE(run.out.starts_with("Processing Unit: CPU\n" + c.out)) << run.out;
    EXPECT_EQ(run.err, c.error + "\n");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CameraFault,
    ::testing::Values(
        FaultCase{"OpenedByAnotherApplication",
                  R"({"openedElsewhere": true})",
                  {},
                  "",
                  "Cannot open device 'VelkorXW-40051001': access denied; another application has "
                  "it open for control."},
        FaultCase{"OnAnotherSubnet",
                  R"({"ipAddress": "192.168.7.20", "unreachable": true})",
                  {},
                  "",
                  "Cannot create device 'emulated://40051001': the camera at 192.168.7.20 is not "
                  "reachable from this host (it is on another subnet)."},
        FaultCase{"LostWhileGrabbing",
                  R"({"lostAfter": 3, "heartbeatTimeout": 0.5})",
                  {"--framerate", "20", "--binning", "4"},
                  "Connected to camera VelkorXW-40051001\n",
                  "Camera 'VelkorXW-40051001' was lost: it has not answered the heartbeat for 500 "
                  "ms (cable pulled or power lost)."},
        FaultCase{
            "LostDuringTheLatencyRun",
            R"({"lostAfter": 3, "heartbeatTimeout": 0.5})",
            {"--measurement-mode", "latency", "--binning", "4"},
            "Connected to camera VelkorXW-40051001\n",
            "Camera 'VelkorXW-40051001' was lost: it has not answered the heartbeat for 500 "
            "ms (cable pulled or power lost).",
        }),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Makes sure the loss of a camera is told only once its heartbeat has been missing for the
// whole time-out, also when the cable is pulled between the latency run's two stages. Example
// failure: the second stage's start says at once that the heartbeat was missed for 1500 ms.
TEST(LostCamera, IsToldOnlyOnceItsHeartbeatTimedOut) {
    const auto started = std::chrono::steady_clock::now();
    const auto run = RunTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                                 Emulation::Json(R"({"cameras": [{"lostAfter": 10,
                                                                  "heartbeatTimeout": 1.5}]})"));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms);
    EXPECT_EQ(run.err,
              "Camera 'VelkorXW-40051001' was lost: it has not answered the heartbeat for 1500 ms "
              "(cable pulled or power lost).\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Makes sure a latency is timed from the trigger command's acknowledgement, not from before the
// command. On a control link with a 200 ms round trip the camera has the trigger after 100 ms and
// its small pair arrives long before the acknowledgement. Example failure: the clock started
// before the command makes every latency at least 200 ms.
TEST(SlowControlLink, LatenciesStartAfterTheTriggerCommand) {
    const auto run =
        RunTarnwell({"--measurement-mode", "latency", "--frames", "3", "--binning", "4"},
                    Emulation::Json(R"({"cameras": [{"controlRoundTrip": 0.2}]})"), 60s);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::regex latency("Latency: (\\d+)ms");
    int lines = 0;
    for (const std::string& line : SplitLines(run.out)) {
        std::smatch match;
        if (std::regex_match(line, match, latency)) {
            ++lines;
            EXPECT_LT(std::stoi(match[1]), 100) << line;
        }
    }
    EXPECT_EQ(lines, 13);
}

// Makes sure the counters are read once grabbing has stopped: stopping lets the frame on its way
// arrive, and it is counted. At 5 Mbit/s every pair takes half a second, back to back, so one is
// always on its way when the run ends. Example failure: counters read before the stop show one
// frame fewer.
TEST(SlowStream, CountersIncludeTheFrameThatArrivedWhileStopping) {
    // Three results retrieved (the first opens the count), the fourth on its way.
    const auto run = RunTarnwell({"--frames", "2", "--framerate", "20", "--binning", "4"},
                                 Emulation::Json(R"({"cameras": [{"linkBandwidth": 5e6}]})"));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadRun(run).counters, (std::vector<long long>{4, 0, 0, 4 * kPackets, 0, 0, 0}));
}

// Makes sure a run on a recorded scene works as the README shows it: the scenario names PNG files
// beside it, and the run computes depth from them. (That the camera films the recording, not its
// synthetic scene, the SDK's tests check pixel by pixel.) Example failure: a scenario that cannot
// name files relative to itself.
TEST(RecordedScene, RunMeasuresItsDepth) {
    std::vector<std::uint8_t> left(480 * 300);
    std::vector<std::uint8_t> right(480 * 300);
    // A random texture shifted by 12 pixels: a plane at disparity 12 at binning 4.
    std::uint32_t state = 7;
    std::vector<std::uint8_t> texture(500 * 300);
    for (auto& pixel : texture) {
        state = state * 1664525u + 1013904223u;
        pixel = static_cast<std::uint8_t>(state >> 24);
    }
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 480; ++x) {
            left[static_cast<std::size_t>(y * 480 + x)] =
                texture[static_cast<std::size_t>(y * 500 + x + 12)];
            right[static_cast<std::size_t>(y * 480 + x)] =
                texture[static_cast<std::size_t>(y * 500 + x)];
        }
    }
    WriteTestPng("left.png", 480, 300, left);
    WriteTestPng("right.png", 480, 300, right);
    const std::string scenario =
        WriteTestFile("recorded.json", R"({"cameras": [{"processing": "real",
            "recording": [{"left": "left.png", "right": "right.png"}]}]})")
            .string();
    const auto run =
        RunTarnwell({"--frames", "2", "--binning", "4", "--enable-disparity"}, Emulation{scenario});
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(IsFrameRateRun(run.out)) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
}  // namespace Tarnwell::test
