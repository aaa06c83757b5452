// Tests that computing and rendering a frame allocate nothing, with the shared counter of every
// operator new (the executable links it, so it has one of its own).
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "AllocationCounter.h"
#include "stereo/StereoEngine.h"
#include "stereo/SyntheticScene.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

class EngineAllocationTest : public testing::TestWithParam<int> {};

// Makes sure the engine's buffers are all taken when it is created and reused: a camera computes
// every frame, and an allocation per frame would show as jitter. Runs with several threads, as
// the worker pool must not allocate per frame either.
TEST_P(EngineAllocationTest, ComputingAndRenderingAFrameAllocateNothing) {
    SceneOptions options;
    options.width = 120;
    options.height = 80;
    options.disparities = 24;
    SyntheticScene scene(options);
    StereoFrame frame(120, 80);
    StereoConfig config;
    config.width = 120;
    config.height = 80;
    config.disparities = 24;
    config.paths = GetParam();
    config.threads = 3;
    const auto engine = CreateCpuStereoEngine(config);
    Image<std::uint16_t> disparity(120, 80);
    Image<std::uint8_t> confidence(120, 80);
    scene.Render(0, frame.View());
    engine->Compute(frame.left.View(), frame.right.View(), {disparity.View(), confidence.View()});

    const std::uint64_t before = AllocationCount();
    for (int i = 1; i <= 3; ++i) {
        scene.Render(i, frame.View());
        engine->Compute(frame.left.View(), frame.right.View(),
                        {disparity.View(), confidence.View()});
    }
    EXPECT_EQ(AllocationCount() - before, 0U);

    // The counter sees this executable's allocations; otherwise the check above passes vacuously.
    const std::uint64_t beforeOwn = AllocationCount();
    auto own = std::make_unique<int>(3);
    EXPECT_GT(AllocationCount() - beforeOwn, 0U);
}

INSTANTIATE_TEST_SUITE_P(Paths, EngineAllocationTest, testing::Values(4, 8));

}  // namespace
}  // namespace Tarnwell::test
