// Tests of the CPU stereo engine: accuracy, SIMD against the reference, checks, sizes, errors.
#include "stereo/StereoEngine.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "Sanitizers.h"
#include "StageTestSupport.h"
#include "stereo/Evaluation.h"
#include "stereo/SyntheticScene.h"

namespace Tarnwell::test {
namespace {

using namespace Tarnwell::stereo;

// Bytes of address space the process has mapped (VmSize); unused under the sanitizers.
[[maybe_unused]] std::size_t AddressSpaceInUse() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmSize:")) {
            return std::stoull(line.substr(7)) * 1024;
        }
    }
    return 0;
}

StereoConfig Config(int width, int height, int disparities, int paths = 4, int threads = 2) {
    StereoConfig config;
    config.width = width;
    config.height = height;
    config.disparities = disparities;
    config.paths = paths;
    config.threads = threads;
    return config;
}

// The easy scene: the engine's mechanics are tested where every surface can be matched.
StereoFrame Render(int width, int height, int disparities, std::uint64_t seed = 5,
                   std::uint64_t frame = 2, bool hard = false) {
    SceneOptions options = hard ? SceneOptions() : SceneOptions::Easy();
    options.width = width;
    options.height = height;
    options.disparities = disparities;
    options.seed = seed;
    return SyntheticScene(options).Render(frame);
}

struct Output {
    Output(int width, int height) : disparity(width, height), confidence(width, height) {}
    StereoOutput View() { return {disparity.View(), confidence.View()}; }
    Image<std::uint16_t> disparity;
    Image<std::uint8_t> confidence;
};

Output Compute(const StereoConfig& config, const StereoFrame& frame) {
    Output out(config.width, config.height);
    CreateCpuStereoEngine(config)->Compute(frame.left.View(), frame.right.View(), out.View());
    return out;
}

std::size_t CountDifferent(const Image<std::uint16_t>& a, const Image<std::uint16_t>& b) {
    std::size_t different = 0;
    for (int y = 0; y < a.Height(); ++y) {
        for (int x = 0; x < a.Width(); ++x) {
            different += a.At(x, y) != b.At(x, y);
        }
    }
    return different;
}

// Pixels where one image has an estimate and the other not, or the two differ by more than a
// quarter of a pixel: differences that show, unlike sixteenths moved by paths that were cut.
std::size_t CountVisiblyDifferent(const Image<std::uint16_t>& a, const Image<std::uint16_t>& b) {
    std::size_t different = 0;
    for (int y = 0; y < a.Height(); ++y) {
        for (int x = 0; x < a.Width(); ++x) {
            const int u = a.At(x, y);
            const int v = b.At(x, y);
            different += (u == kInvalidDisparity) != (v == kInvalidDisparity) ||
                         std::abs(u - v) > kDisparityScale / 4;
        }
    }
    return different;
}

struct Scene {
    int width;
    int height;
    int disparities;
    int paths;
};

class AccuracyTest : public testing::TestWithParam<Scene> {};

// Makes sure the matcher finds the surfaces: few pixels seen by both cameras are missing or off by
// more than two pixels, and sub-pixel refinement keeps the typical error well below a pixel. The
// bounds are loose; the benchmark holds the tight ones.
TEST_P(AccuracyTest, MatchesTheTruthOnSmallScenes) {
    const Scene s = GetParam();
    const StereoFrame frame = Render(s.width, s.height, s.disparities);
    const Output out = Compute(Config(s.width, s.height, s.disparities, s.paths), frame);
    const DisparityStats stats = EvaluateDisparity(out.disparity.View(), frame.truth.View(),
                                                   frame.visible.View(), 2.0, s.disparities);
    ASSERT_GT(stats.evaluated, std::size_t(s.width - s.disparities) * s.height / 2);
    EXPECT_LT(stats.BadRate(), 0.04);
    EXPECT_GT(stats.Density(), 0.96);
    EXPECT_LT(stats.MeanAbsoluteError(), 0.6);
}

// Makes sure the matcher copes with what real scenes have: surfaces without texture or with a
// repetitive one, thin bars, and a right view brighter or darker than the left one with both
// darker towards the corners. Example failure: a matching cost that compares the views' grey
// levels as they are, which the brightness difference turns against the true match (three
// quarters of the pixels bad). The bound lies between that and what a working engine leaves (a
// tenth or so): it tells the two apart; how accurate the engine is, the benchmark holds.
TEST(StereoEngineTest, MatchesTheTruthOnTheHardScene) {
    for (const int paths : {4, 8}) {
        const StereoFrame frame = Render(320, 200, 64, 5, 2, true);
        const Output out = Compute(Config(320, 200, 64, paths), frame);
        const DisparityStats stats = EvaluateDisparity(out.disparity.View(), frame.truth.View(),
                                                       frame.visible.View(), 2.0, 64);
        EXPECT_LT(stats.BadRate(), 0.4) << paths << " paths";
        EXPECT_GT(stats.Density(), 0.9) << paths << " paths";
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, AccuracyTest,
                         testing::Values(Scene{160, 100, 32, 4}, Scene{160, 100, 32, 8},
                                         Scene{203, 117, 40, 4}, Scene{203, 117, 40, 8},
                                         Scene{320, 200, 64, 4}, Scene{320, 200, 64, 8}));

// A configuration and the targets it is run on.
struct KernelCase {
    const char* name;
    StereoConfig config;
};

void PrintTo(const KernelCase& c, std::ostream* os) {
    *os << c.name;
}

class KernelTest : public testing::TestWithParam<KernelCase> {
protected:
    void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

// Makes sure every SIMD kernel this CPU can run computes what the plain reference computes, bit
// for bit, including the padding of ranges that are no multiple of the vector, stripes, image
// borders and every switch. Example failure: a lane shift across a 128-bit block boundary.
TEST_P(KernelTest, SimdKernelsMatchTheReference) {
    const StereoConfig config = GetParam().config;
    const StereoFrame frame = Render(config.width, config.height, config.disparities, 9);

    hwy::SetSupportedTargetsForTest(HWY_SCALAR | HWY_EMU128);
    const auto reference = CreateCpuStereoEngine(config);
    Output expected(config.width, config.height);
    reference->Compute(frame.left.View(), frame.right.View(), expected.View());
    hwy::SetSupportedTargetsForTest(0);

    int checked = 0;
    for (const std::int64_t target : SupportedSimdTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        const auto engine = CreateCpuStereoEngine(config);
        EXPECT_NE(engine->Describe().find(hwy::TargetName(target)), std::string::npos);
        Output actual(config.width, config.height);
        engine->Compute(frame.left.View(), frame.right.View(), actual.View());
        EXPECT_EQ(CountDifferent(actual.disparity, expected.disparity), 0u)
            << hwy::TargetName(target);
        for (int y = 0; y < config.height; ++y) {
            ASSERT_TRUE(std::equal(actual.confidence.Row(y),
                                   actual.confidence.Row(y) + config.width,
                                   expected.confidence.Row(y)))
                << hwy::TargetName(target) << " row " << y;
        }
        ++checked;
    }
    if (checked == 0) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
}

StereoConfig With(StereoConfig config, void (*change)(StereoConfig&)) {
    change(config);
    return config;
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, KernelTest,
    testing::Values(KernelCase{"FourPaths", Config(96, 64, 32)},
                    KernelCase{"EightPaths", Config(96, 64, 32, 8)},
                    KernelCase{"OddSizeAndRange", Config(77, 53, 37)},
                    KernelCase{"OddEightPaths", Config(77, 53, 37, 8)},
                    KernelCase{"WideRange", Config(150, 40, 130)},
                    KernelCase{"ThreeStripes", Config(64, 100, 16, 4, 3)},
                    KernelCase{"ThreeStripesEightPaths", Config(64, 100, 16, 8, 3)},
                    KernelCase{"RangeWiderThanImage", Config(20, 9, 64)},
                    KernelCase{"OnePixel", Config(1, 1, 1)},
                    KernelCase{"NoSubpixel", With(Config(96, 64, 32),
                                                  [](StereoConfig& c) { c.subpixel = false; })},
                    KernelCase{"NoLeftRightCheck",
                               With(Config(96, 64, 32),
                                    [](StereoConfig& c) { c.leftRightCheck = false; })},
                    KernelCase{"Uniqueness", With(Config(96, 64, 32),
                                                  [](StereoConfig& c) { c.uniqueness = 15; })},
                    KernelCase{"Penalties", With(Config(96, 64, 32, 8),
                                                 [](StereoConfig& c) {
                                                     c.p1 = 3;
                                                     c.p2 = 200;
                                                 })}),
    [](const testing::TestParamInfo<KernelCase>& info) { return std::string(info.param.name); });

// Makes sure the SIMD kernel earns its keep: at least three times the reference's speed (it is
// some fifty times on AVX2), measured as the best of a few runs, so a busy machine does not fail
// it. Example failure: dispatch falling back to the scalar code.
TEST(StereoEngineSpeedTest, SimdIsFasterThanTheReference) {
#ifndef NDEBUG
    GTEST_SKIP() << "unoptimised build";
#endif
    if (SupportedSimdTargets().empty()) {
        GTEST_SKIP() << "no SIMD target on this CPU";
    }
    const StereoConfig config = Config(320, 200, 64, 4, 1);
    const StereoFrame frame = Render(320, 200, 64);
    Output out(320, 200);
    auto best = [&](int runs) {
        const auto engine = CreateCpuStereoEngine(config);
        double fastest = 1e9;
        for (int i = 0; i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            engine->Compute(frame.left.View(), frame.right.View(), out.View());
            fastest = std::min(
                fastest,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return fastest;
    };
    const double simd = best(5);
    hwy::SetSupportedTargetsForTest(HWY_SCALAR | HWY_EMU128);
    const double reference = best(2);
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GT(reference, 3 * simd) << "simd " << simd << " s, reference " << reference << " s";
}

// Makes sure pixels that the right camera does not see are mostly rejected, and that without the
// check every pixel keeps a disparity.
TEST(StereoEngineTest, LeftRightCheckMarksOcclusionsInvalid) {
    const int w = 240;
    const int h = 150;
    const int range = 48;
    const StereoFrame frame = Render(w, h, range, 21);
    StereoConfig config = Config(w, h, range);
    const Output checked = Compute(config, frame);
    config.leftRightCheck = false;
    const Output unchecked = Compute(config, frame);

    std::size_t occluded = 0;
    std::size_t rejected = 0;
    std::size_t missing = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = range; x < w; ++x) {
            missing += unchecked.disparity.At(x, y) == kInvalidDisparity;
            if (!frame.visible.At(x, y)) {
                ++occluded;
                rejected += checked.disparity.At(x, y) == kInvalidDisparity;
            }
        }
    }
    ASSERT_GT(occluded, 200u);
    EXPECT_GT(double(rejected) / occluded, 0.5);
    EXPECT_LT(double(missing) / (double(w - range) * h), 0.01);
}

// Makes sure invalid pixels carry no confidence and a clear winner carries some.
TEST(StereoEngineTest, ConfidenceIsZeroWhereInvalid) {
    const StereoFrame frame = Render(160, 100, 32);
    const Output out = Compute(Config(160, 100, 32), frame);
    double sum = 0;
    std::size_t valid = 0;
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 160; ++x) {
            if (out.disparity.At(x, y) == kInvalidDisparity) {
                EXPECT_EQ(out.confidence.At(x, y), 0) << x << "," << y;
            } else {
                sum += out.confidence.At(x, y);
                ++valid;
            }
        }
    }
    ASSERT_GT(valid, 0u);
    EXPECT_GT(sum / valid, 50.0);
}

// Stripes start their paths a few rows early; the seams must not show. Example failure: a stripe
// that starts its paths at its first row.
TEST(StereoEngineTest, StripesAgreeWithOneThread) {
    const StereoFrame frame = Render(128, 160, 32);
    const Output one = Compute(Config(128, 160, 32, 4, 1), frame);
    const Output three = Compute(Config(128, 160, 32, 4, 3), frame);
    EXPECT_LT(CountVisiblyDifferent(one.disparity, three.disparity), 128u * 160u / 200);
}

// Makes sure an engine whose threads the system refuses still computes, on the threads it got.
// Example failure: a std::thread that fails to start aborts the process through std::terminate.
TEST(StereoEngineDeathTest, RunsOnTheThreadsTheSystemGives) {
    if (Tarnwell::test::kSanitized) {
        GTEST_SKIP() << "sanitizers reserve more address space than the limit leaves";
    }
    const StereoFrame frame = Render(64, 96, 16);
    const Output one = Compute(Config(64, 96, 16, 4, 1), frame);
    const auto refusedThreads = [&] {
        // Room for the engine's memory but not for the 8 MiB stack of another thread.
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = AddressSpaceInUse() + 6u * 1024 * 1024;
        setrlimit(RLIMIT_AS, &limit);
        const Output many = Compute(Config(64, 96, 16, 4, 3), frame);
        std::exit(CountVisiblyDifferent(one.disparity, many.disparity) < 64u * 96u / 100 ? 0 : 1);
    };
    EXPECT_EXIT(refusedThreads(), testing::ExitedWithCode(0), "");
}

// The same engine gives the same result frame after frame: no state leaks between frames.
TEST(StereoEngineTest, RepeatedFramesGiveTheSameResult) {
    const StereoFrame a = Render(96, 64, 32, 1, 0);
    const StereoFrame b = Render(96, 64, 32, 1, 9);
    const auto engine = CreateCpuStereoEngine(Config(96, 64, 32, 8));
    Output first(96, 64);
    Output again(96, 64);
    engine->Compute(a.left.View(), a.right.View(), first.View());
    engine->Compute(b.left.View(), b.right.View(), again.View());
    engine->Compute(a.left.View(), a.right.View(), again.View());
    EXPECT_EQ(CountDifferent(first.disparity, again.disparity), 0u);
}

// The confidence image is optional and changes nothing else.
TEST(StereoEngineTest, ConfidenceIsOptional) {
    const StereoFrame frame = Render(96, 64, 32);
    const Output full = Compute(Config(96, 64, 32), frame);
    Image<std::uint16_t> alone(96, 64);
    CreateCpuStereoEngine(Config(96, 64, 32))
        ->Compute(frame.left.View(), frame.right.View(), {alone.View(), {}});
    EXPECT_EQ(CountDifferent(full.disparity, alone), 0u);
}

TEST(StereoEngineTest, DisparitiesStayInRange) {
    for (const StereoConfig& config : {Config(5, 3, 8), Config(70, 1, 64), Config(33, 17, 1)}) {
        const StereoFrame frame = Render(config.width, config.height, config.disparities);
        const Output out = Compute(config, frame);
        for (int y = 0; y < config.height; ++y) {
            for (int x = 0; x < config.width; ++x) {
                const std::uint16_t d = out.disparity.At(x, y);
                EXPECT_TRUE(d == kInvalidDisparity ||
                            d <= x * kDisparityScale + kDisparityScale / 2)
                    << config.width << "x" << config.height << " at " << x << "," << y << ": " << d;
                EXPECT_TRUE(d == kInvalidDisparity || d < config.disparities * kDisparityScale);
            }
        }
    }
}

TEST(StereoEngineTest, RejectsImagesOfAnotherSize) {
    const auto engine = CreateCpuStereoEngine(Config(64, 48, 16));
    Image<std::uint8_t> left(64, 48);
    Image<std::uint8_t> small(63, 48);
    Output out(64, 48);
    Image<std::uint16_t> shortDisparity(64, 47);
    EXPECT_THROW(engine->Compute(small.View(), left.View(), out.View()), std::invalid_argument);
    EXPECT_THROW(engine->Compute(left.View(), small.View(), out.View()), std::invalid_argument);
    EXPECT_THROW(engine->Compute(left.View(), left.View(), {shortDisparity.View(), {}}),
                 std::invalid_argument);
    EXPECT_THROW(engine->Compute(left.View(), left.View(), {{}, {}}), std::invalid_argument);
}

struct BadConfig {
    const char* setting;
    void (*change)(StereoConfig&);
};

void PrintTo(const BadConfig& c, std::ostream* os) {
    *os << c.setting;
}

class ConfigTest : public testing::TestWithParam<BadConfig> {};

// Makes sure each setting out of range is refused with a message that names it.
TEST_P(ConfigTest, RefusesSettingsOutOfRange) {
    StereoConfig config = Config(64, 48, 16);
    GetParam().change(config);
    try {
        CreateCpuStereoEngine(config);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().setting), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConfigTest,
    testing::Values(BadConfig{"image size", [](StereoConfig& c) { c.width = 0; }},
                    BadConfig{"image size", [](StereoConfig& c) { c.height = -1; }},
                    BadConfig{"disparities", [](StereoConfig& c) { c.disparities = 0; }},
                    BadConfig{"disparities", [](StereoConfig& c) { c.disparities = 257; }},
                    BadConfig{"paths", [](StereoConfig& c) { c.paths = 5; }},
                    BadConfig{"penalties", [](StereoConfig& c) { c.p1 = c.p2; }},
                    BadConfig{"penalties", [](StereoConfig& c) { c.p2 = 250; }},
                    BadConfig{"left-right", [](StereoConfig& c) { c.leftRightMaxDiff = -1; }},
                    BadConfig{"uniqueness", [](StereoConfig& c) { c.uniqueness = 100; }},
                    BadConfig{"threads", [](StereoConfig& c) { c.threads = -2; }}));

// Working memory: the eight-path pass keeps a byte per pixel and candidate; four paths only rows.
TEST(StereoEngineTest, StatesItsMemory) {
    const auto four = CreateCpuStereoEngine(Config(320, 200, 64));
    const auto eight = CreateCpuStereoEngine(Config(320, 200, 64, 8));
    EXPECT_GE(eight->MemoryBytes(), 320u * 200u * 64u);
    EXPECT_LT(four->MemoryBytes(), 320u * 200u * 64u / 4);
    EXPECT_NE(four->Describe().find("cpu"), std::string::npos);
}

}  // namespace
}  // namespace Tarnwell::test
