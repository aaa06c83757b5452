// Tests of the emulated camera's schedule against the host and the link: the camera never waits
// for the host, and resent packets take the link's time from the frames behind them.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Orvel::CGrabResultPtr;
using Clock = std::chrono::steady_clock;

// The disparity alone at binning 4: 199 packets a frame, 2.45 ms on a 1 Gbit/s link.
Orvel::CVelkorUniversalInstantCamera& DisparityCamera(Orvel::CVelkorUniversalInstantCamera& camera,
                                                      double rate) {
    camera.ComponentSelector.SetValue("Intensity");
    camera.ComponentEnable.SetValue(false);
    camera.BinningHorizontal.SetValue(4);
    camera.BinningVertical.SetValue(4);
    camera.AcquisitionFrameRate.SetValue(rate);
    return camera;
}

struct Pace {
    const char* name;
    std::string scenario;
    double rate;       // asked of the camera, Hz, which its link allows
    bool hostKeepsUp;  // the host computes a frame in less than the camera's period
};

void PrintTo(const Pace& pace, std::ostream* out) {
    *out << pace.name;
}

class CameraSchedule : public EmulationTest, public testing::WithParamInterface<Pace> {};

// Makes sure the camera exposes on its own schedule whatever the host's pace: every result's
// exposure lies a whole number of periods after the first, by its frame number; a host slower
// than the camera misses frames, counted as underruns, and the frames the camera produced follow
// the time grabbed. Example failure: the camera waits for the host (exposures a computation
// apart, consecutive frame numbers, no underrun), as if GigE Vision had back-pressure.
TEST_P(CameraSchedule, KeepsToTheCamerasPeriod) {
    const Pace& pace = GetParam();
    Start(pace.scenario);
    auto& camera = DisparityCamera(Camera(), pace.rate);
    const double period = 1 / pace.rate;
    camera.StartGrabbing();
    CGrabResultPtr result;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> frames;  // frame number, exposure (ns)
    ASSERT_TRUE(camera.RetrieveResult(60000, result));
    const auto start = Clock::now();
    // Beyond the pool's four buffers, which a slow host first finds full of consecutive frames,
    // however slow the host (real processing under a sanitizer takes the whole window per frame).
    while (frames.size() < 8 || Clock::now() - start < std::chrono::milliseconds(400)) {
        ASSERT_TRUE(camera.RetrieveResult(60000, result));
        frames.emplace_back(result->GetFrameNumber(), result->GetTimeStamp());
    }
    const double grabbed = std::chrono::duration<double>(Clock::now() - start).count();
    camera.StopGrabbing();
    ASSERT_GE(frames.size(), 2U);
    for (const auto& [frame, exposure] : frames) {
        const double since = static_cast<double>(exposure - frames.front().second) * 1e-9;
        EXPECT_NEAR(since, static_cast<double>(frame - frames.front().first) * period, 1e-6)
            << "frame " << frame;
    }
    const std::int64_t underruns = Counter("Statistic_Buffer_Underrun_Count");
    const std::int64_t produced = Counter("Statistic_Total_Buffer_Count") + underruns;
    EXPECT_GE(static_cast<double>(produced), 0.5 * grabbed / period);
    if (pace.hostKeepsUp) {
        EXPECT_EQ(underruns, 0);
    } else {
        EXPECT_GT(underruns, 0);
        EXPECT_GT(frames.back().first - frames.front().first, frames.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, CameraSchedule,
    testing::Values(
        // The modelled host takes 20 ms a frame (the engine's time at this size, a hundred
        // times over); the camera sends every 5 ms.
        Pace{"ModelledHostSlower",
             R"({"cameras": [{"processingScale": 100, "bufferCount": 4, "maxFrameRate": 200}]})",
             200, false},
        Pace{"ModelledHostFaster", R"({"cameras": [{"bufferCount": 64}]})", 100, true},
        // The engine needs about a millisecond a frame here; the camera sends every 0.25 ms.
        Pace{"RealHostSlower",
             R"({"cameras": [{"processing": "real", "linkBandwidth": 1e11, "maxFrameRate": 4000,
                              "bufferCount": 4}]})",
             4000, false}),
    [](const testing::TestParamInfo<Pace>& info) { return std::string(info.param.name); });

struct Losses {
    const char* name;
    const char* keys;
    bool fewerRequestsThanPackets;  // losses in runs: one request brings several packets
};

void PrintTo(const Losses& losses, std::ostream* out) {
    *out << losses.name;
}

class ResendCost : public EmulationTest, public testing::WithParamInterface<Losses> {};

// Makes sure a resend costs what it costs on a real link: the lost packets' requests and resends
// keep the link busy, so that the frames behind them are read out later and a lossy link
// delivers fewer frames than a clean one; losses in bursts need fewer requests than packets.
// Example failure: a resent packet adds only its own wire time to its frame, and the camera keeps
// the clean link's period.
TEST_P(ResendCost, TakesTheLinkFromLaterFrames) {
    constexpr int kFrames = 40;
    Start(std::string(R"({"cameras": [{"packetLossRate": 0.05, "bufferCount": 64,
                                       "maxFrameRate": 1000, "stopGrabbingAfter": 40)") +
          GetParam().keys + "}]}");
    // Asked for more than the link carries: frames follow each other as fast as the link allows.
    auto& camera = DisparityCamera(Camera(), 1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    std::uint64_t first = 0;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(60000, result));
        first = i == 0 ? result->GetTimeStamp() : first;
    }
    const double span = static_cast<double>(result->GetTimeStamp() - first) * 1e-9;
    camera.StopGrabbing();
    // 199 packets of 1538 bytes at 1 Gbit/s: 2.448 ms a frame on a clean link.
    const double clean = (kFrames - 1) * 199 * 1538 * 8 / 1e9;
    EXPECT_GT(span, 1.02 * clean);
    const std::int64_t requests = Counter("Statistic_Resend_Request_Count");
    const std::int64_t resent = Counter("Statistic_Resend_Packet_Count");
    EXPECT_GT(resent, 0);
    if (GetParam().fewerRequestsThanPackets) {
        EXPECT_LT(requests, resent);
    } else {
        EXPECT_GE(requests, resent / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Losses, ResendCost,
                         testing::Values(Losses{"Independent", "", false},
                                         Losses{"InBursts", R"(, "lossBurstLength": 8)", true}),
                         [](const testing::TestParamInfo<Losses>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace Tarnwell::test
