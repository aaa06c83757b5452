// Our semi-global matcher against OpenCV's StereoSGBM on the same synthetic pairs, side by side.
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "stereo/Evaluation.h"
#include "stereo/StereoEngine.h"
#include "stereo/SyntheticScene.h"

namespace {

using namespace Tarnwell::stereo;
using Clock = std::chrono::steady_clock;

struct Case {
    int width;
    int height;
    int disparities;
    // The engine's bad-2 rates on these pairs before it was made faster (4 and 8 paths): the
    // goal is to be no worse.
    double badFour;
    double badEight;
};

struct Options {
    std::vector<Case> cases = {{960, 600, 128, 0.00311, 0.00214},
                               {1920, 1200, 256, 0.00120, 0.00079}};
    int frames = 3;   // different pairs per case
    int rounds = 5;   // timed runs of every method on every pair
    int threads = 2;  // for our engine and for SGBM_3WAY
};

// A matcher under test: computes fixed-point disparity of the left view into `out`.
struct Method {
    std::string name;
    std::function<void(const StereoFrame&, Image<std::uint16_t>&)> run;
    std::vector<double> seconds;
    DisparityStats stats;
    double meanAbsoluteErrorSum = 0;
};

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    in >> one >> five;
    return one + " " + five;
}

Method OurEngine(const Case& c, int paths, int threads, std::size_t& memory) {
    StereoConfig config;
    config.width = c.width;
    config.height = c.height;
    config.disparities = c.disparities;
    config.paths = paths;
    config.threads = threads;
    std::shared_ptr<IStereoEngine> engine = CreateCpuStereoEngine(config);
    std::printf("  ours, %d paths: %s, working memory %.1f MiB\n", paths,
                engine->Describe().c_str(), double(engine->MemoryBytes()) / (1 << 20));
    memory = engine->MemoryBytes();
    Method m;
    m.name = "ours " + std::to_string(paths) + " paths";
    // The camera delivers confidence too, so it is part of the work measured.
    auto confidence = std::make_shared<Image<std::uint8_t>>(c.width, c.height);
    m.run = [engine, confidence](const StereoFrame& frame, Image<std::uint16_t>& out) {
        engine->Compute(frame.left.View(), frame.right.View(), {out.View(), confidence->View()});
    };
    return m;
}

// OpenCV's usual settings for grey images: penalties 8 and 32 times the block area, the same
// left-right tolerance and uniqueness as ours, no speckle filter (we have none either).
Method OpenCvSgbm(const Case& c, int mode, int threads, const std::string& name) {
    constexpr int kBlock = 5;
    cv::Ptr<cv::StereoSGBM> sgbm = cv::StereoSGBM::create(
        0, c.disparities, kBlock, 8 * kBlock * kBlock, 32 * kBlock * kBlock, 1, 63, 10, 0, 0, mode);
    auto disparity = std::make_shared<cv::Mat>();
    Method m;
    m.name = name;
    m.run = [sgbm, disparity, threads](const StereoFrame& frame, Image<std::uint16_t>& out) {
        cv::setNumThreads(threads);
        const cv::Mat left(frame.left.Height(), frame.left.Width(), CV_8UC1,
                           const_cast<std::uint8_t*>(frame.left.Row(0)));
        const cv::Mat right(frame.right.Height(), frame.right.Width(), CV_8UC1,
                            const_cast<std::uint8_t*>(frame.right.Row(0)));
        sgbm->compute(left, right, *disparity);
        // Both count sixteenths of a pixel; OpenCV marks invalid pixels negative.
        for (int y = 0; y < out.Height(); ++y) {
            const std::int16_t* in = disparity->ptr<std::int16_t>(y);
            std::uint16_t* row = out.Row(y);
            for (int x = 0; x < out.Width(); ++x) {
                row[x] = in[x] < 0 ? kInvalidDisparity : static_cast<std::uint16_t>(in[x]);
            }
        }
    };
    return m;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void RunCase(const Case& c, const Options& options) {
    std::printf("\n%dx%d, %d disparities, %d pairs, %d rounds (load average %s)\n", c.width,
                c.height, c.disparities, options.frames, options.rounds, LoadAverage().c_str());
    SceneOptions sceneOptions;
    sceneOptions.width = c.width;
    sceneOptions.height = c.height;
    sceneOptions.disparities = c.disparities;
    sceneOptions.seed = 2024;
    SyntheticScene scene(sceneOptions);
    std::vector<StereoFrame> frames;
    double renderSeconds = 1e9;
    for (int f = 0; f < options.frames; ++f) {
        frames.emplace_back(c.width, c.height);
        const auto start = Clock::now();
        scene.Render(static_cast<std::uint64_t>(f) * 10, frames.back().View());
        renderSeconds =
            std::min(renderSeconds, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("  render: %.1f ms per pair\n", renderSeconds * 1e3);

    std::vector<Method> methods;
    std::size_t memory[2] = {};
    methods.push_back(OurEngine(c, 4, options.threads, memory[0]));
    methods.push_back(OurEngine(c, 8, options.threads, memory[1]));
    methods.push_back(OpenCvSgbm(c, cv::StereoSGBM::MODE_SGBM_3WAY, options.threads,
                                 "OpenCV SGBM_3WAY, " + std::to_string(options.threads) + " thr"));
    methods.push_back(OpenCvSgbm(c, cv::StereoSGBM::MODE_HH, 1, "OpenCV HH, 1 thread"));

    Image<std::uint16_t> disparity(c.width, c.height);
    // Warm-up and accuracy: every method once on every pair.
    for (Method& m : methods) {
        for (const StereoFrame& frame : frames) {
            m.run(frame, disparity);
            const DisparityStats s = EvaluateDisparity(disparity.View(), frame.truth.View(),
                                                       frame.visible.View(), 2.0, c.disparities);
            m.stats.evaluated += s.evaluated;
            m.stats.invalid += s.invalid;
            m.stats.bad += s.bad;
            m.stats.absoluteErrorSum += s.absoluteErrorSum;
        }
    }
    // Timing: rounds interleave the methods, so a busy spell on the machine hits them alike.
    for (int round = 0; round < options.rounds; ++round) {
        for (Method& m : methods) {
            for (const StereoFrame& frame : frames) {
                const auto start = Clock::now();
                m.run(frame, disparity);
                m.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
        }
    }

    const double work = double(c.width) * c.height * c.disparities;
    const double anchor = Median(methods[2].seconds);
    const double anchorBest =
        *std::min_element(methods[2].seconds.begin(), methods[2].seconds.end());
    std::printf("  %-24s %9s %9s %10s %10s %8s %8s %8s %8s %8s\n", "method", "median ms", "best ms",
                "Gpd/s med", "Gpd/s best", "x3WAY med", "x3WAY best", "bad-2", "density", "MAE px");
    for (const Method& m : methods) {
        const double median = Median(m.seconds);
        const double best = *std::min_element(m.seconds.begin(), m.seconds.end());
        std::printf("  %-24s %9.1f %9.1f %10.2f %10.2f %9.2f %10.2f %7.3f%% %7.2f%% %8.3f\n",
                    m.name.c_str(), median * 1e3, best * 1e3, work / median / 1e9,
                    work / best / 1e9, anchor / median, anchorBest / best, 100 * m.stats.BadRate(),
                    100 * m.stats.Density(), m.stats.MeanAbsoluteError());
    }
    // The goals: four paths at least six times SGBM_3WAY, eight paths three times, both with a
    // bad-2 rate no worse than the engine had before; eight paths at full size in 200 MiB. Judged
    // on medians: on a shared machine a single lucky run of one method moves the best times more
    // than the medians.
    for (const auto& [index, factor] : {std::pair{0, 6.0}, std::pair{1, 3.0}}) {
        const Method& m = methods[index];
        const double speedup = anchor / Median(m.seconds);
        const double before = index == 0 ? c.badFour : c.badEight;
        std::printf(
            "  goal %-14s %.2fx SGBM_3WAY (goal %.1fx): %s; bad-2 %.3f%% vs %.3f%% before: %s\n",
            m.name.c_str(), speedup, factor, speedup >= factor ? "met" : "MISSED",
            100 * m.stats.BadRate(), 100 * before,
            m.stats.BadRate() <= before + 5e-6 ? "met" : "MISSED");
    }
    if (c.width == 1920 && c.height == 1200) {
        const double mib = double(memory[1]) / (1 << 20);
        std::printf("  goal ours 8 paths memory %.1f MiB (goal 200 MiB): %s\n", mib,
                    mib <= 200 ? "met" : "MISSED");
    }
    std::printf("  (load average now %s)\n", LoadAverage().c_str());
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> int {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return std::atoi(argv[++i]);
        };
        if (arg == "--frames") {
            options.frames = std::max(1, value());
        } else if (arg == "--rounds") {
            options.rounds = std::max(1, value());
        } else if (arg == "--threads") {
            options.threads = std::max(1, value());
        } else if (arg == "--small") {
            options.cases = {Options().cases.front()};
        } else {
            std::fprintf(stderr,
                         "usage: %s [--frames N] [--rounds N] [--threads N] [--small]\n"
                         "Times our engine and OpenCV's StereoSGBM on the same synthetic pairs.\n",
                         argv[0]);
            std::exit(arg == "--help" ? 0 : 2);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    std::printf(
        "Stereo matching throughput (G pixel-disparities/s) and bad-2 rate (pixels off by\n"
        "more than 2 or without a disparity, over pixels both cameras see, right of the\n"
        "disparity range). OpenCV %s, %u hardware threads.\n",
        CV_VERSION, std::thread::hardware_concurrency());
    for (const Case& c : options.cases) {
        RunCase(c, options);
    }
    return 0;
}
