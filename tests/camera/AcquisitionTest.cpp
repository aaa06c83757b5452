// Grabbing from the emulated camera: pacing, triggers, the result pool, counters and faults.
#include <chrono>
#include <cstring>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Clock = std::chrono::steady_clock;
using Orvel::CGrabResultPtr;
using Orvel::TimeoutHandling_Return;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Acquisition : public EmulationTest {
protected:
    // Intensity alone at binning 4: a small payload for quick runs.
    Orvel::CVelkorUniversalInstantCamera& Small(double rate) {
        auto& camera = Camera();
        camera.ComponentSelector.SetValue("Disparity");
        camera.ComponentEnable.SetValue(false);
        camera.BinningHorizontal.SetValue(4);
        camera.BinningVertical.SetValue(4);
        camera.AcquisitionFrameRate.SetValue(rate);
        return camera;
    }

    std::int64_t Produced() {
        return Counter("Statistic_Total_Buffer_Count") + Counter("Statistic_Buffer_Underrun_Count");
    }
};

TEST_F(Acquisition, ResultsArriveInOrderWithTheirLayout) {
    Start(FastCamera());
    auto& camera = Small(200);
    camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
    CGrabResultPtr result;
    std::uint64_t previousStamp = 0;
    for (std::uint64_t n = 1; n <= 5; ++n) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_TRUE(result->GrabSucceeded());
        EXPECT_EQ(result->GetErrorCode(), 0u);
        EXPECT_EQ(result->GetImageNumber(), n);
        EXPECT_EQ(result->GetFrameNumber(), n);
        if (n > 1) {
            // Free-running exposures are one period apart: 5 ms at 200 Hz.
            EXPECT_NEAR(static_cast<double>(result->GetTimeStamp() - previousStamp), 5e6, 10);
        }
        previousStamp = result->GetTimeStamp();
        EXPECT_EQ(result->GetPayloadSize(), 480u * 300u);
        ASSERT_EQ(result->GetNumberOfComponents(), 1u);
        const Orvel::ComponentInfo& intensity = result->GetComponent(0);
        EXPECT_STREQ(intensity.name, "Intensity");
        EXPECT_EQ(intensity.width, 480u);
        EXPECT_EQ(intensity.height, 300u);
        EXPECT_EQ(intensity.size, 480u * 300u);
        std::uint64_t stamp = 0;
        std::memcpy(&stamp, result->GetBuffer(), sizeof stamp);
        EXPECT_EQ(stamp, n);
    }
    EXPECT_THROW(result->GetComponent(1), GenICam::OutOfRangeException);
}

TEST_F(Acquisition, ComponentsFollowEachOtherInTheBuffer) {
    Start(FastCamera());
    auto& camera = Camera();
    camera.ComponentSelector.SetValue("Error");
    camera.ComponentEnable.SetValue(true);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    ASSERT_EQ(result->GetNumberOfComponents(), 3u);
    const char* names[] = {"Intensity", "Disparity", "Error"};
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        const Orvel::ComponentInfo& c = result->GetComponent(i);
        EXPECT_STREQ(c.name, names[i]);
        EXPECT_EQ(c.offset, offset);
        EXPECT_EQ(c.size, std::size_t{c.width} * c.height * c.bytesPerPixel);
        offset += c.size;
    }
    EXPECT_EQ(offset, result->GetPayloadSize());
    EXPECT_EQ(static_cast<std::int64_t>(offset), camera.PayloadSize.GetValue());
}

TEST_F(Acquisition, FreeRunningTakesAtLeastOnePeriodPerFrame) {
    Start(FastCamera());
    auto& camera = Small(20);
    const auto start = Clock::now();
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
    }
    // The first frame is exposed at once, the sixth five periods later.
    EXPECT_GE(SecondsSince(start), 5 * 0.05);
}

// Raw images at 4.6 MB per frame cannot leave a 1 Gbit/s link 100 times a second.
TEST_F(Acquisition, TheLinkLimitsTheFrameRate) {
    Start();
    auto& camera = Camera();
    camera.AcquisitionFrameRate.SetValue(100);
    camera.VkrComponentMode.SetValue("SingleComponent");
    for (const char* c : {"Intensity", "Disparity"}) {
        camera.ComponentSelector.SetValue(c);
        camera.ComponentEnable.SetValue(false);
    }
    camera.ComponentSelector.SetValue("RawCombined");
    camera.ComponentEnable.SetValue(true);
    // 3150 packets of 1538 bytes on the wire at 1 Gbit/s.
    const double transfer = 3150 * 1538 * 8 / 1e9;
    const auto start = Clock::now();
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
    }
    EXPECT_GE(SecondsSince(start), 4 * transfer);
}

// A triggered frame is exposed (1 ms) once the trigger reaches the camera, half a control round
// trip (0.4 ms) after it was sent, and its raw pair takes 3150 packets of 1538 bytes on the 1
// Gbit/s link; the host's computation comes on top. Execute returns after the whole round trip.
TEST_F(Acquisition, TriggeredResultsArriveNoSoonerThanTheLatency) {
    Start();
    auto& camera = Camera();
    camera.TriggerMode.SetValue("On");
    camera.StartGrabbing();
    const double latency = 1e-3 + 3150 * 1538 * 8 / 1e9 - 0.2e-3;
    CGrabResultPtr result;
    for (int i = 0; i < 2; ++i) {
        camera.TriggerSoftware.Execute();
        const auto triggered = Clock::now();
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_GE(SecondsSince(triggered), latency);
    }
}

// Makes sure each trigger gives one frame, and that triggers coming while the camera is busy are
// held, one at most: the first arms the sensor (5 ms), the second waits, the third is ignored.
// Example failure: triggers queue without bound and the camera works through them long after.
TEST_F(Acquisition, SoftwareTriggerGivesOneFramePerTrigger) {
    // A link slow enough (about 0.2 s a frame) that the three triggers come while the sensor is
    // busy with the first frame, however slow the host that sends them (a sanitizer build).
    Start(
        R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1.2e7, "processingScale": 0}]})");
    auto& camera = Small(1000);
    camera.TriggerMode.SetValue("On");
    camera.StartGrabbing();
    EXPECT_EQ(camera.TriggerSoftware.GetNode()->GetAccessMode(), GenApi::WO);
    CGrabResultPtr result;
    EXPECT_FALSE(camera.RetrieveResult(100, result, TimeoutHandling_Return));
    EXPECT_FALSE(result.IsValid());
    for (int i = 0; i < 3; ++i) {
        camera.TriggerSoftware.Execute();
    }
    EXPECT_TRUE(camera.TriggerSoftware.IsDone());
    for (std::uint64_t n = 1; n <= 2; ++n) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_EQ(result->GetImageNumber(), n);
    }
    EXPECT_FALSE(camera.RetrieveResult(100, result, TimeoutHandling_Return));
    for (std::uint64_t n = 3; n <= 4; ++n) {
        camera.TriggerSoftware.Execute();
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_EQ(result->GetImageNumber(), n);
    }
    camera.StopGrabbing();
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 4);
    EXPECT_EQ(camera.TriggerSoftware.GetNode()->GetAccessMode(), GenApi::NA);
}

TEST_F(Acquisition, TriggerNeedsTriggerModeOn) {
    Start(FastCamera());
    auto& camera = Small(10);
    camera.StartGrabbing();
    EXPECT_THROW_MSG(camera.TriggerSoftware.Execute(), GenICam::AccessException,
                     "[TriggerSoftware] not available: the camera is not grabbing with "
                     "TriggerMode On");
}

// A consumer that does not keep up loses frames to underruns, never results out of order.
TEST_F(Acquisition, SlowConsumerCausesUnderruns) {
    Start(FastCamera("\"bufferCount\": 4"));
    auto& camera = Small(2000);
    camera.StartGrabbing();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    CGrabResultPtr result;
    std::vector<std::uint64_t> frames;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        frames.push_back(result->GetFrameNumber());
        EXPECT_EQ(result->GetImageNumber(), static_cast<std::uint64_t>(i + 1));
    }
    camera.StopGrabbing();
    // Four results waited in the pool; the frames after them were dropped until one was free.
    EXPECT_EQ(frames[0], 1u);
    EXPECT_EQ(frames[3], 4u);
    EXPECT_GT(frames[4], 5u);
    EXPECT_TRUE(std::is_sorted(frames.begin(), frames.end()));
    EXPECT_GT(Counter("Statistic_Buffer_Underrun_Count"), 0);
    EXPECT_GE(Produced(), static_cast<std::int64_t>(frames.back()));
    EXPECT_EQ(Counter("Statistic_Failed_Buffer_Count"), 0);
}

TEST_F(Acquisition, HeldResultsKeepThePoolDry) {
    Start(FastCamera("\"bufferCount\": 2"));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr first, second, third;
    ASSERT_TRUE(camera.RetrieveResult(5000, first));
    ASSERT_TRUE(camera.RetrieveResult(5000, second));
    CGrabResultPtr copy = second;  // a copy shares the result
    EXPECT_FALSE(camera.RetrieveResult(50, third, TimeoutHandling_Return));
    second.Release();
    EXPECT_FALSE(camera.RetrieveResult(50, third, TimeoutHandling_Return));
    copy.Release();
    ASSERT_TRUE(camera.RetrieveResult(5000, third));
    EXPECT_GT(third->GetFrameNumber(), 3u);
}

// With a single buffer the holder must give its result back before it can receive the next.
TEST_F(Acquisition, RetrieveReleasesTheHeldResultFirst) {
    Start(FastCamera("\"bufferCount\": 1"));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (std::uint64_t n = 1; n <= 5; ++n) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_EQ(result->GetImageNumber(), n);
    }
}

TEST_F(Acquisition, CountersAddUpUnderPacketLoss) {
    // Ending after result 200 leaves no frame unretrieved, so results and counters must agree.
    Start(FastCamera(R"("packetLossRate": 0.05, "bufferCount": 1024, "stopGrabbingAfter": 200)"));
    auto& camera = Camera();
    camera.AcquisitionFrameRate.SetValue(500);
    camera.StartGrabbing();
    CGrabResultPtr result;
    std::int64_t failed = 0;
    std::int64_t lostInResults = 0;
    const std::regex incomplete("Buffer incomplete: ([0-9]+) of 3150 packets lost");
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        if (!result->GrabSucceeded()) {
            ++failed;
            EXPECT_EQ(result->GetErrorCode(), 0xE1000014u);
            std::smatch match;
            const std::string description = result->GetErrorDescription().str();
            ASSERT_TRUE(std::regex_match(description, match, incomplete)) << description;
            lostInResults += std::stoll(match[1]);
        }
    }
    camera.StopGrabbing();
    EXPECT_GT(failed, 0);
    const std::int64_t produced = Produced();
    EXPECT_EQ(Counter("Statistic_Buffer_Underrun_Count"), 0);
    EXPECT_EQ(produced, 200);
    EXPECT_EQ(Counter("Statistic_Failed_Buffer_Count"), failed);
    EXPECT_EQ(Counter("Statistic_Total_Packet_Count") + Counter("Statistic_Failed_Packet_Count"),
              produced * 3150);
    EXPECT_EQ(Counter("Statistic_Failed_Packet_Count"), lostInResults);
    const std::int64_t requests = Counter("Statistic_Resend_Request_Count");
    const std::int64_t recovered = Counter("Statistic_Resend_Packet_Count");
    EXPECT_GT(recovered, 0);
    // A request covers a run of consecutive packets, in at most two rounds.
    EXPECT_GT(requests, 0);
    EXPECT_LE(requests, 2 * (recovered + Counter("Statistic_Failed_Packet_Count")));
}

TEST_F(Acquisition, PacketLossIsReproducibleFromTheSeed) {
    auto run = [this](const char* seed) {
        Start(std::string("{\"seed\": ") + seed + ", " +
              // Every result fits the pool: a slow reader (a busy machine, a sanitizer) drops
              // no frame, which would shift the draws onto other results.
              FastCamera("\"packetLossRate\": 0.05, \"bufferCount\": 64").substr(1));
        auto& camera = Camera();
        camera.AcquisitionFrameRate.SetValue(500);
        camera.StartGrabbing();
        CGrabResultPtr result;
        std::string outcome;
        for (int i = 0; i < 50; ++i) {
            camera.RetrieveResult(5000, result);
            outcome += result->GrabSucceeded() ? "." : result->GetErrorDescription().str() + ";";
        }
        Stop();
        return outcome;
    };
    const std::string first = run("7");
    EXPECT_EQ(run("7"), first);
    EXPECT_NE(run("8"), first);
}

struct FailureRow {
    const char* label;
    const char* failures;
    std::uint32_t code;
    const char* description;  // "%d": the result number
};

// Stable test names: the default printer shows raw bytes, pointers included.
void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.label;
}

class GrabFailures : public Acquisition, public testing::WithParamInterface<FailureRow> {};

TEST_P(GrabFailures, FailEveryNthResult) {
    Start(FastCamera(std::string("\"grabFailures\": ") + GetParam().failures));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int n = 1; n <= 7; ++n) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_EQ(result->GrabSucceeded(), n % 3 != 0) << n;
        if (n % 3 == 0) {
            char text[200];
            std::snprintf(text, sizeof text, GetParam().description, n);
            EXPECT_EQ(result->GetErrorCode(), GetParam().code);
            EXPECT_EQ(result->GetErrorDescription(), text);
        } else {
            EXPECT_EQ(result->GetErrorDescription(), "");
        }
    }
    camera.StopGrabbing();
    // Results queued but not retrieved when grabbing stopped were delivered too.
    const std::int64_t delivered = Counter("Statistic_Total_Buffer_Count");
    EXPECT_GE(delivered, 7);
    EXPECT_EQ(Counter("Statistic_Failed_Buffer_Count"), delivered / 3);
}

INSTANTIATE_TEST_SUITE_P(
    Scenario, GrabFailures,
    testing::Values(FailureRow{"Defaults", R"({"every": 3})", 0xE1000014u,
                               "Injected grab failure at result %d"},
                    FailureRow{"Custom", R"({"every": 3, "errorCode": 255, "description": "x"})",
                               255u, "x"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Acquisition, CameraStopsGrabbingByItself) {
    Start(FastCamera("\"stopGrabbingAfter\": 3"));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int n = 1; n <= 3; ++n) {
        EXPECT_TRUE(camera.IsGrabbing());
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
    }
    EXPECT_FALSE(camera.IsGrabbing());
    EXPECT_EQ(result->GetImageNumber(), 3u);
    // Nothing more can come: asking is a mistake the gate names.
    EXPECT_THROW_MSG(camera.RetrieveResult(100, result), GenICam::LogicalErrorException,
                     "CInstantCamera::RetrieveResult: not allowed while the camera is open "
                     "(allowed: grabbing).");
    EXPECT_THROW_MSG(camera.StartGrabbing(), GenICam::RuntimeException,
                     "Cannot start grabbing: the camera ended its acquisition with result 3; it "
                     "grabs again once it is closed and opened.");
    camera.Close();
    camera.Open();
    camera.StartGrabbing();
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    EXPECT_EQ(result->GetImageNumber(), 1u);
}

TEST_F(Acquisition, StalledCameraTimesOut) {
    Start(FastCamera("\"stallAfter\": 2"));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    const auto start = Clock::now();
    EXPECT_THROW_MSG(camera.RetrieveResult(300, result), GenICam::TimeoutException,
                     "No grab result within 300 ms.");
    EXPECT_GE(SecondsSince(start), 0.3);
    EXPECT_FALSE(result.IsValid());  // released before waiting
    EXPECT_FALSE(camera.RetrieveResult(50, result, TimeoutHandling_Return));
    EXPECT_TRUE(camera.IsGrabbing());
    camera.StopGrabbing();
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 2);
}

TEST_F(Acquisition, StallAtZeroDeliversNothing) {
    Start(FastCamera("\"stallAfter\": 0"));
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    EXPECT_THROW(camera.RetrieveResult(100, result), GenICam::TimeoutException);
}

class NothingEnabled : public Acquisition, public testing::WithParamInterface<const char*> {};

TEST_P(NothingEnabled, RefusesToStart) {
    Start();
    auto& camera = Camera();
    camera.VkrComponentMode.SetValue("SingleComponent");
    for (const char* c : {"Intensity", "Disparity"}) {
        camera.ComponentSelector.SetValue(c);
        camera.ComponentEnable.SetValue(false);
    }
    camera.ComponentSelector.SetValue("RawCombined");
    camera.ComponentEnable.SetValue(true);  // not transmissible in the alternating mode
    camera.VkrComponentMode.SetValue(GetParam());
    const bool startable = std::string(GetParam()) == "SingleComponent";
    if (startable) {
        camera.StartGrabbing();
        EXPECT_TRUE(camera.IsGrabbing());
        return;
    }
    EXPECT_THROW_MSG(camera.StartGrabbing(), GenICam::RuntimeException,
                     "Cannot start grabbing: no image component is enabled in component mode "
                     "'SynchronizedAlternateComponents'.");
    EXPECT_FALSE(camera.IsGrabbing());
}

INSTANTIATE_TEST_SUITE_P(Modes, NothingEnabled,
                         testing::Values("SynchronizedAlternateComponents", "SingleComponent"));

TEST_F(Acquisition, StopIsHarmlessTwiceAndNumbersContinue) {
    Start(FastCamera());
    auto& camera = Small(1000);
    camera.StopGrabbing();
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let results queue up
    camera.StopGrabbing();
    camera.StopGrabbing();
    EXPECT_FALSE(camera.IsGrabbing());
    EXPECT_EQ(result->GetImageNumber(), 1u);  // the held result stays valid
    const std::int64_t delivered = Counter("Statistic_Total_Buffer_Count");
    camera.StartGrabbing();
    CGrabResultPtr next;
    ASSERT_TRUE(camera.RetrieveResult(5000, next));
    EXPECT_EQ(next->GetImageNumber(), static_cast<std::uint64_t>(delivered + 1));
    EXPECT_EQ(next->GetFrameNumber(), 1u);
}

TEST_F(Acquisition, MaxImagesStopsGrabbing) {
    Start(FastCamera());
    auto& camera = Small(1000);
    camera.StartGrabbing(2);
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    EXPECT_TRUE(camera.IsGrabbing());
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    EXPECT_FALSE(camera.IsGrabbing());
    EXPECT_THROW(camera.StartGrabbing(0), GenICam::InvalidArgumentException);
}

TEST_F(Acquisition, OnlyOneByOneWithTheCallersLoop) {
    Start();
    auto& camera = Camera();
    EXPECT_THROW_MSG(camera.StartGrabbing(Orvel::GrabStrategy_LatestImageOnly),
                     GenICam::InvalidArgumentException,
                     "CInstantCamera::StartGrabbing: only GrabStrategy_OneByOne with "
                     "GrabLoop_ProvidedByUser is supported.");
    EXPECT_THROW(
        camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByInstantCamera),
        GenICam::InvalidArgumentException);
    EXPECT_FALSE(camera.IsGrabbing());
}

// A result may outlive the camera, the interface and the SDK; its pool goes with its last holder.
TEST_F(Acquisition, ResultOutlivesCameraAndSdk) {
    Start(FastCamera());
    auto& camera = Small(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    CGrabResultPtr copy = result;
    Stop();
    EXPECT_EQ(result->GetImageNumber(), 1u);
    std::uint64_t stamp = 0;
    std::memcpy(&stamp, copy->GetBuffer(), sizeof stamp);
    EXPECT_EQ(stamp, 1u);
    result.Release();
    EXPECT_EQ(copy->GetPayloadSize(), 480u * 300u);
}

TEST_F(Acquisition, DestroyingAGrabbingCameraStopsIt) {
    Start(FastCamera());
    auto& camera = Small(5000);
    camera.StartGrabbing();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    emulated_.camera.reset();
    emulated_.interface.reset();
}

TEST_F(Acquisition, EmptyHolderRaisesNullPointer) {
    CGrabResultPtr empty;
    EXPECT_FALSE(empty);
    EXPECT_THROW_MSG(empty->GrabSucceeded(), GenICam::LogicalErrorException,
                     "NULL pointer dereferenced");
}

}  // namespace
}  // namespace Tarnwell::test
