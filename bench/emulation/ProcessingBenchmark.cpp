// The emulated camera's host work per frame, real against modelled, at every depth quality and
// binning: the calibration of the timing model, side by side with what it stands for. Also the
// sensor's sequence prepared before grabbing, which must stay out of every measured interval.
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "CameraModel.h"
#include "Sensor.h"

namespace Orvel::detail {
namespace {

double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Argument 0: the depth quality (Low .. Full); 1: the binning; 2: the components, 0 the
// disparity alone (as the README's rate table runs), 1 intensity alone, 2 every component the
// synchronized mode sends, 3 the raw pair alone.
void BM_HostProcessing(benchmark::State& state) {
    Settings settings;
    settings.quality = static_cast<std::size_t>(state.range(0));
    settings.binningHorizontal = settings.binningVertical = state.range(1);
    settings.enabled.fill(false);
    switch (state.range(2)) {
        case 0:
            settings.enabled[kDisparity] = true;
            break;
        case 1:
            settings.enabled[kIntensity] = true;
            break;
        case 2:
            for (std::size_t c :
                 {kIntensityCombined, kIntensity, kDisparity, kConfidence, kError}) {
                settings.enabled[c] = true;
            }
            break;
        default:
            settings.mode = kSingleComponent;
            settings.enabled[kRawCombined] = true;
            break;
    }
    const CameraConfig config;
    const FrameLayout layout = LayOut(config, settings);
    HostProcessing host(HostPlanFor(settings, layout));
    // The first default camera's scene, so that the figures are those of a default run.
    SensorSequence sequence(settings, SceneSeed(1, 0), Recording{}, host.SendsError());
    sequence.Prepare([] { return false; });
    std::vector<unsigned char> buffer(layout.payloadSize);
    std::uint64_t frame = 1;
    host.Compute(sequence.Frame(frame++).Received(), buffer.data());  // warm: pages and caches
    const double before = ProcessorSeconds();
    for (auto _ : state) {
        host.Compute(sequence.Frame(frame++).Received(), buffer.data());
        benchmark::DoNotOptimize(buffer.data());
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["cpu_ms_per_frame"] = (ProcessorSeconds() - before) / iterations * 1e3;
    state.counters["modelled_ms"] = ModelledProcessingSeconds(config, settings) * 1e3;
    state.SetLabel(std::string(kQualityNames[settings.quality]) + " binning " +
                   std::to_string(state.range(1)));
}

// The sensor's sequence the camera prepares before its first frame, at binning 1, 2 and 4 (argument
// 0), without and with the truth the error image needs (argument 1): its time and memory per
// camera.
void BM_SensorSequence(benchmark::State& state) {
    Settings settings;
    settings.quality = kFull;
    settings.binningHorizontal = settings.binningVertical = state.range(0);
    const bool truth = state.range(1) != 0;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    for (auto _ : state) {
        SensorSequence sequence(settings, 1, Recording{}, truth);
        sequence.Prepare([] { return false; });
        bytes = sequence.MemoryBytes();
        frames = sequence.Size();
        benchmark::DoNotOptimize(&sequence);
    }
    state.counters["MiB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    state.counters["frames"] = static_cast<double>(frames);
    state.SetLabel("binning " + std::to_string(state.range(0)) + (truth ? ", with truth" : ""));
}

BENCHMARK(BM_SensorSequence)
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_HostProcessing)
    ->ArgsProduct({{kLow, kMedium, kHigh, kFull}, {1, 2, 4}, {0}})
    ->ArgsProduct({{kHigh}, {1, 2}, {1, 2, 3}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

}  // namespace
}  // namespace Orvel::detail

BENCHMARK_MAIN();
