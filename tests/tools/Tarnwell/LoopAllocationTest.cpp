// Tests that the measurement loops allocate nothing per result, with a counting operator new.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "Configuration.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "ProgramSession.h"
#include "StandardOutput.h"
#include "Tarnwell.h"

namespace Tarnwell::test {
namespace {

class AllocationTest : public testing::Test {
protected:
    // A camera fast enough that thousands of results take a fraction of a second.
    void SetUp() override { program_.Open({"--framerate", "20000", "--binning", "4"}); }

    // Allocations of one frame-rate run of `frames` counted results.
    std::uint64_t FrameRateRun(std::uint64_t frames) {
        const std::string count = std::to_string(frames);
        const po::variables_map options =
            ParseArguments({"--framerate", "20000", "--binning", "4", "--frames", count.c_str()});
        auto& camera = program_.Camera();
        Orvel::CGrabResultPtr grabResult;
        const NullOutput silence;
        stopRequested = false;
        const std::uint64_t before = AllocationCount();
        MeasureFrameRate(camera, grabResult, options);
        camera.StopGrabbing();
        return AllocationCount() - before;
    }

    // Allocations of one latency series of `frames` results.
    std::uint64_t LatencyRun(std::uint64_t frames) {
        auto& camera = program_.Camera();
        const NullOutput silence;
        stopRequested = false;
        const std::uint64_t before = AllocationCount();
        MeasureLatencySeries(camera, frames, 1000);
        camera.StopGrabbing();
        return AllocationCount() - before;
    }

    ProgramSession program_{R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1e12,
        "processingScale": 0, "bufferCount": 64}]})"};
};

// Makes sure the frame-rate loop allocates nothing per result: a run of 4000 results allocates
// exactly what a run of 400 does (the acquisition's pool and thread). Example failure: a text
// formatted per result that is never printed.
TEST_F(AllocationTest, FrameRateLoopAllocatesNothingPerResult) {
    FrameRateRun(10);  // first-use allocations of the streams and the SDK
    const std::uint64_t few = FrameRateRun(400);
    const std::uint64_t many = FrameRateRun(4000);
    EXPECT_GT(few, 0U) << "the counter sees no allocation, not even the pool's";
    EXPECT_EQ(many, few);
}

// Makes sure a latency series allocates only as its samples grow: a vector that doubles takes
// a handful more allocations for ten times the results, not one per result.
TEST_F(AllocationTest, LatencySeriesAllocatesOnlyForItsSamples) {
    LatencyRun(10);
    const std::uint64_t few = LatencyRun(400);
    const std::uint64_t many = LatencyRun(4000);
    EXPECT_GE(many, few);
    EXPECT_LE(many - few, static_cast<std::uint64_t>(std::ceil(std::log2(10.0))) + 1);
}

}  // namespace
}  // namespace Tarnwell::test
