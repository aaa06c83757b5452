// Tests that computing and rendering a frame allocate nothing, counting every operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "stereo/StereoEngine.h"
#include "stereo/SyntheticScene.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<int> allocations{0};

void* Allocate(std::size_t size, std::size_t alignment) {
    if (counting.load()) {
        ++allocations;
    }
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size ? size : 1);
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size, 0);
}
void* operator new[](std::size_t size) {
    return Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return Allocate(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace Tarnwell::stereo {
namespace {

class AllocationTest : public testing::TestWithParam<int> {};

// Makes sure the engine's buffers are all taken when it is created and reused: a camera computes
// every frame, and an allocation per frame would show as jitter. Runs with several threads, as
// the worker pool must not allocate per frame either.
TEST_P(AllocationTest, ComputingAndRenderingAFrameAllocateNothing) {
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

    allocations = 0;
    counting = true;
    for (int i = 1; i <= 3; ++i) {
        scene.Render(i, frame.View());
        engine->Compute(frame.left.View(), frame.right.View(),
                        {disparity.View(), confidence.View()});
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, AllocationTest, testing::Values(4, 8));

// The counter itself works: otherwise the test above would pass vacuously.
TEST(AllocationCounterTest, CountsAllocations) {
    allocations = 0;
    counting = true;
    auto* p = new int(3);
    counting = false;
    delete p;
    EXPECT_EQ(allocations.load(), 1);
}

}  // namespace
}  // namespace Tarnwell::stereo
