// Tests of what the emulated camera does as a real one would: the sensor's work kept off the host,
// settings left from before, faults of the device and the link, control round trips, stopping,
// and recorded scenes.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "EmulationFixture.h"

namespace Tarnwell::test {
namespace {

using Clock = std::chrono::steady_clock;
using Orvel::CGrabResultPtr;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Intensity alone, so that the host's work per frame is receiving the pair and a copy.
Orvel::CVelkorUniversalInstantCamera& IntensityCamera(Orvel::CVelkorUniversalInstantCamera& camera,
                                                      int binning) {
    camera.ComponentSelector.SetValue("Disparity");
    camera.ComponentEnable.SetValue(false);
    camera.BinningHorizontal.SetValue(binning);
    camera.BinningVertical.SetValue(binning);
    camera.AcquisitionFrameRate.SetValue(100);
    return camera;
}

class CameraBehaviour : public EmulationTest {};

// Makes sure the sensor's frames are made before the first frame and cost the host nothing while
// it grabs: per frame, receiving a pair costs the host a fraction of what rendering one did before
// the first result (16 frames). Example failure: a rendering thread on the host's cores during the
// measurement.
TEST_F(CameraBehaviour, SensorCostsTheHostNothingWhileGrabbing) {
    Start(R"({"cameras": [{"processing": "real"}]})");
    auto& camera = IntensityCamera(Camera(), 1);
    const double starting = ProcessorSeconds();
    camera.StartGrabbing();
    CGrabResultPtr result;
    // The first result waits for the whole sequence: seconds under the sanitizers.
    ASSERT_TRUE(camera.RetrieveResult(60000, result));
    const double renderPerFrame = (ProcessorSeconds() - starting) / 16;
    const double before = ProcessorSeconds();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
    }
    const double perFrame = (ProcessorSeconds() - before) / 20;
    camera.StopGrabbing();
    EXPECT_LT(perFrame, renderPerFrame / 2)
        << perFrame << " s per frame grabbing, " << renderPerFrame << " s per frame rendering";
}

// Makes sure the prepared sequence loops: frame 17 of a 16-frame sequence shows frame 1 again.
// Frames are told apart by the sensor's frame number, as a slow host may miss some. Example
// failure: a sequence read past its end.
TEST_F(CameraBehaviour, PreparedSequenceLoops) {
    Start(R"({"cameras": [{"processing": "real", "maxFrameRate": 1000, "linkBandwidth": 1e12}]})");
    auto& camera = IntensityCamera(Camera(), 4);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    std::map<std::uint64_t, std::vector<unsigned char>> images;
    std::uint64_t looped = 0;
    for (int i = 0; i < 200 && looped == 0; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        const auto* bytes = static_cast<const unsigned char*>(result->GetBuffer());
        const std::uint64_t frame = result->GetFrameNumber();
        images.emplace(frame, std::vector<unsigned char>(bytes, bytes + result->GetPayloadSize()));
        if (frame > 16 && images.contains(frame - 16)) {
            looped = frame;
        }
    }
    camera.StopGrabbing();
    ASSERT_NE(looped, 0u) << "no two frames 16 apart in 200 results";
    EXPECT_EQ(images[looped], images[looped - 16]);
    // Objects move: the loop's other frames differ from it.
    for (const auto& [frame, image] : images) {
        if (frame % 16 != looped % 16) {
            EXPECT_NE(image, images[looped]) << "frame " << frame << " and frame " << looped;
        }
    }
}

// Makes sure settings given as power-on values are what the camera holds when it opens, and that
// a value the camera would refuse is the scenario's fault. Example failure: every run starts from
// factory defaults, so a program that forgets a setting passes.
TEST_F(CameraBehaviour, PowerOnValuesAreWhatTheCameraHolds) {
    Start(R"({"cameras": [{"powerOn": {"TriggerMode": "On", "VkrComponentMode": "SingleComponent",
        "ComponentEnable": {"RawCombined": true, "Error": true}, "ComponentSelector": "Error",
        "GevSCPSPacketSize": 9000, "VkrIlluminationStrength": 1, "AcquisitionFrameRate": 1.5}}]})");
    // Opened as the program opens it: the SDK's default configuration would switch the trigger
    // off.
    auto& camera = Camera(0, false);
    camera.RegisterConfiguration(new Orvel::CConfigurationEventHandler,
                                 Orvel::RegistrationMode_ReplaceAll, Orvel::Cleanup_Delete);
    camera.Open();
    EXPECT_EQ(camera.TriggerMode.GetValue(), "On");
    EXPECT_EQ(camera.VkrComponentMode.GetValue(), "SingleComponent");
    EXPECT_EQ(camera.ComponentSelector.GetValue(), "Error");
    EXPECT_TRUE(camera.ComponentEnable.GetValue());
    camera.ComponentSelector.SetValue("RawCombined");
    EXPECT_TRUE(camera.ComponentEnable.GetValue());
    EXPECT_EQ(camera.GevSCPSPacketSize.GetValue(), 9000);
    EXPECT_EQ(camera.AcquisitionFrameRate.GetValue(), 1.5);
    Stop();

    const std::string path =
        WriteScenario(R"({"cameras": [{}, {"powerOn": {"GevSCPSPacketSize": 8998}}]})");
    SetEmulation(path);
    EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                     "Emulation scenario '" + path +
                         "': cameras[1].powerOn.GevSCPSPacketSize: [GevSCPSPacketSize] value 8998 "
                         "not on increment 4 from minimum 576");
    const std::string unknown =
        WriteScenario(R"({"cameras": [{"powerOn": {"PayloadSize": 1}}]})", "unknown");
    SetEmulation(unknown);
    EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                     "Emulation scenario '" + unknown +
                         "': cameras[0].powerOn: 'PayloadSize' is not a writable feature");
}

// Makes sure the faults of a real camera surface where its SDK reports them, and only there.
// Example failures: a camera another application controls opens anyway; one that also keeps
// power-on values makes the SDK's start fail, and no camera can be listed or used.
TEST_F(CameraBehaviour, RefusedOpenAndUnreachableCamera) {
    Start(R"({"cameras": [{"openedElsewhere": true, "powerOn": {"TriggerMode": "On"}},
                          {"ipAddress": "192.168.7.20", "unreachable": true}, {}]})");
    EXPECT_EQ(Devices().size(), 3U);
    EXPECT_TRUE(Camera(2).IsOpen());
    EXPECT_THROW_MSG(Camera(0), GenICam::AccessException,
                     "Cannot open device 'VelkorXW-40051001': access denied; another application "
                     "has it open for control.");
    EXPECT_THROW_MSG(
        Camera(1), GenICam::RuntimeException,
        "Cannot create device 'emulated://40051002': the camera at 192.168.7.20 is not "
        "reachable from this host (it is on another subnet).");
}

// Makes sure a camera lost while grabbing stops sending, then fails the retrieval once its
// heartbeat is overdue, and that stopping and closing it return at once. Example failure: the
// retrieval waits out its whole time-out, or StopGrabbing waits for a frame that never comes.
TEST_F(CameraBehaviour, LostCameraFailsTheRetrievalAndStopsPromptly) {
    Start(FastCamera(R"("lostAfter": 3, "heartbeatTimeout": 0.2)"));
    auto& camera = IntensityCamera(Camera(), 4);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
    }
    const auto waiting = Clock::now();
    EXPECT_THROW_MSG(camera.RetrieveResult(5000, result), GenICam::RuntimeException,
                     "Camera 'VelkorXW-40051001' was lost: it has not answered the heartbeat for "
                     "200 ms (cable pulled or power lost).");
    EXPECT_LT(SecondsSince(waiting), 4.0);
    const auto stopping = Clock::now();
    camera.StopGrabbing();
    camera.Close();
    EXPECT_LT(SecondsSince(stopping), 1.0);
    EXPECT_THROW(camera.Open(), GenICam::RuntimeException);
}

// Makes sure a software trigger takes the control link's round trip and the frame comes no
// sooner than half of it after the call. Example failure: the trigger acts at once whatever the
// link.
TEST_F(CameraBehaviour, TriggerTravelsTheControlLink) {
    Start(FastCamera(R"("controlRoundTrip": 0.05)"));
    auto& camera = IntensityCamera(Camera(), 4);
    camera.TriggerMode.SetValue("On");
    camera.StartGrabbing();
    CGrabResultPtr result;
    for (int i = 0; i < 3; ++i) {
        const auto sent = Clock::now();
        camera.TriggerSoftware.Execute();
        EXPECT_GE(SecondsSince(sent), 0.05);
        ASSERT_TRUE(camera.RetrieveResult(5000, result));
        EXPECT_GE(result->GetTimeStamp(),
                  static_cast<std::uint64_t>(
                      std::chrono::duration_cast<std::chrono::nanoseconds>(
                          (sent + std::chrono::milliseconds(25)).time_since_epoch())
                          .count()));
    }
}

// Makes sure stopping lets the frame already on its way finish and counts it, as AcquisitionStop
// does. Example failure: counters read before the stop and after it agree, so a program that
// reads them too early cannot be told apart.
TEST_F(CameraBehaviour, StopFinishesTheFrameOnItsWay) {
    // 199 packets at 5 Mbit/s: 0.49 s per pair, back to back.
    Start(R"({"cameras": [{"linkBandwidth": 5e6, "processingScale": 0}]})");
    auto& camera = IntensityCamera(Camera(), 4);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 1);
    camera.StopGrabbing();
    EXPECT_EQ(Counter("Statistic_Total_Buffer_Count"), 2);
}

// Makes sure a frame dropped for want of a buffer draws no loss: every packet lost, a pool of
// one, a reader that holds its result. Example failure: resend requests for frames nobody could
// take.
TEST_F(CameraBehaviour, DroppedFramesDrawNoLoss) {
    Start(FastCamera(R"("packetLossRate": 1, "bufferCount": 1)"));
    auto& camera = IntensityCamera(Camera(), 4);
    camera.AcquisitionFrameRate.SetValue(1000);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    camera.StopGrabbing();
    const std::int64_t delivered = Counter("Statistic_Total_Buffer_Count");
    EXPECT_GT(Counter("Statistic_Buffer_Underrun_Count"), 0);
    EXPECT_EQ(Counter("Statistic_Failed_Packet_Count"), delivered * 199);
    EXPECT_EQ(Counter("Statistic_Resend_Request_Count"), delivered * 2);
}

// Makes sure all cameras' recordings are held within one budget, judged from the files' headers
// before any is decoded, and that a file named by many frames and cameras is decoded once.
// Example failures: 64 cameras filming 16 frames of one 4096x4096 picture decode it 2048 times
// (32 GiB); sixteen cameras each within their own budget together take more than 1 GiB.
TEST_F(CameraBehaviour, RecordingsShareOneBudget) {
    WriteTestPng("big.png", 4096, 4096, std::vector<std::uint8_t>(4096 * 4096, 7));
    std::string frames;
    for (int i = 0; i < 16; ++i) {
        frames += std::string(i == 0 ? "" : ", ") + R"({"left": "big.png", "right": "big.png"})";
    }
    std::string cameras;
    for (int i = 0; i < 64; ++i) {
        cameras += std::string(i == 0 ? "" : ", ") + R"({"recording": [)" + frames + "]}";
    }
    Start(R"({"cameras": [)" + cameras + "]}");
    EXPECT_EQ(Devices().size(), 64U);
    Stop();

    // A true disparity of 4096x4096 pixels takes 64 MiB decoded; sixteen of them and the views
    // are 1040 MiB. The files are sparse: nothing of them is read.
    cameras.clear();
    for (int i = 0; i < 16; ++i) {
        const std::string name = "d" + std::to_string(i) + ".pfm";
        const auto path = WriteTestFile(name, "Pf\n4096 4096\n-1\n");
        std::filesystem::resize_file(path,
                                     std::filesystem::file_size(path) + (std::size_t{64} << 20));
        cameras += std::string(i == 0 ? "" : ", ") +
                   R"({"recording": [{"left": "big.png", "right": "big.png", "disparity": ")" +
                   name + R"("}]})";
    }
    const std::string path = WriteScenario(R"({"cameras": [)" + cameras + "]}");
    SetEmulation(path);
    EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                     "Emulation scenario '" + path +
                         "': the recordings take 1040 MiB decoded, more than the 1024 MiB they "
                         "may; the largest, cameras[0].recording[0].disparity 'd0.pfm', is "
                         "4096x4096 (64 MiB)");
}

// Makes sure a recorded pair is what the camera films, resampled to its sensor, and that bad
// files are scenario errors naming the key and the file. Example failure: the synthetic scene
// shown instead, or a missing file found only when grabbing starts.
TEST_F(CameraBehaviour, RecordedPairIsWhatTheCameraFilms) {
    const std::string directory = TestDirectory().string();
    // Vertical stripes 8 pixels wide, twice the sensor's width divided by 4: binning 4 sees
    // the image as it is.
    std::vector<std::uint8_t> stripes(480 * 300);
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 480; ++x) {
            stripes[static_cast<std::size_t>(y * 480 + x)] = (x / 8) % 2 == 0 ? 40 : 200;
        }
    }
    WriteTestPng("left.png", 480, 300, stripes);
    WriteTestPng("right.png", 480, 300, stripes);
    WriteTestPng("small.png", 240, 150, std::vector<std::uint8_t>(240 * 150, 9));
    Start(R"({"cameras": [{"processing": "real", "recording": [{"left": ")" + directory +
          R"(/left.png", "right": "right.png"}]}]})");
    auto& camera = IntensityCamera(Camera(), 4);
    camera.StartGrabbing();
    CGrabResultPtr result;
    ASSERT_TRUE(camera.RetrieveResult(5000, result));
    ASSERT_EQ(result->GetPayloadSize(), stripes.size());
    EXPECT_EQ(std::vector<std::uint8_t>(
                  static_cast<const std::uint8_t*>(result->GetBuffer()),
                  static_cast<const std::uint8_t*>(result->GetBuffer()) + stripes.size()),
              stripes);
    Stop();

    for (const auto& [frame, fault] : std::vector<std::pair<std::string, std::string>>{
             {R"({"left": "left.png", "right": "none.png"})",
              "cameras[0].recording[0].right: 'none.png' cannot be read (No such file or "
              "directory)"},
             {R"({"left": "left.png", "right": "small.png"})",
              "cameras[0].recording[0].right is 240x150, the recording's views 480x300"},
             {R"({"left": "left.png", "right": "left.png", "disparity": "left.png"})",
              "cameras[0].recording[0].disparity: 'left.png' is not a 16-bit grey PNG image"},
             {R"({"left": "/dev/zero", "right": "right.png"})",
              "cameras[0].recording[0].left: '/dev/zero' is not a regular file"}}) {
        const std::string path =
            WriteScenario(R"({"cameras": [{"recording": [)" + frame + "]}]}", "bad");
        SetEmulation(path);
        EXPECT_THROW_MSG(Orvel::OrvelInitialize(), GenICam::RuntimeException,
                         "Emulation scenario '" + path + "': " + fault);
    }
}

}  // namespace
}  // namespace Tarnwell::test
