// Benchmarks of the measurement loops' own cost: each program loop against a bare loop that only
// retrieves results from the same emulated camera, and each loop's work per result on its own.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AllocationCounter.h"
#include "Configuration.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "ProgramSession.h"
#include "StandardOutput.h"
#include "Tarnwell.h"

namespace Tarnwell {
namespace {

using test::AllocationCount;
using test::NullOutput;

// The link, the depth computation and the frame-rate ceiling out of the way, so that the camera
// delivers at the rate asked for; 1024 buffers ride out 50 ms without a retrieval at 20 kHz.
constexpr const char* kScenario = R"({"cameras": [{"maxFrameRate": 1000000,
    "linkBandwidth": 1e12, "processingScale": 0, "bufferCount": 1024, "processing": "modelled"}]})";
// The default cameras with their modelled link and depth computation, as the figures were taken.
constexpr const char* kDefaultScenario =
    R"({"cameras": [{"processing": "modelled"}, {"processing": "modelled"}]})";

// Results per iteration of a loop benchmark: enough to make starting and stopping the
// acquisition thread a small share.
constexpr std::uint64_t kResultsPerIteration = 4000;

constexpr unsigned int kTimeoutMs = 40000;

// Takes everything and writes nothing: formatting without the system call.
class DiscardBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char* /*s*/, std::streamsize n) override { return n; }
};

// The SDK on the benchmark scenario and one camera, opened and configured as the program does
// for `arguments`. `fast`: the benchmark scenario; otherwise the default cameras, whose link and
// modelled depth computation take the time a real camera's would.
class Session {
public:
    explicit Session(std::vector<const char*> arguments, bool fast = true)
        : program_(fast ? kScenario : kDefaultScenario) {
        program_.Open(std::move(arguments), true);
    }

    Orvel::CVelkorUniversalInstantCamera& camera() { return program_.Camera(); }
    const po::variables_map& options() const { return program_.Options(); }
    std::int64_t Underruns() {
        return GenApi::CIntegerPtr(camera().GetNodeMap().GetNode("Statistic_Buffer_Underrun_Count"))
            ->GetValue();
    }

private:
    test::ProgramSession program_;
};

std::string Text(std::int64_t value) {
    return std::to_string(value);
}

// Time per result, and allocations per iteration: a loop benchmark's iteration is a whole run,
// whose start (pool, thread) allocates a fixed amount whatever its number of results.
void ReportPerResult(benchmark::State& state, std::uint64_t resultsPerIteration,
                     std::uint64_t allocations, std::int64_t underruns) {
    const auto iterations = static_cast<double>(state.iterations());
    const double results = iterations * static_cast<double>(resultsPerIteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(results));
    state.counters["s_per_result"] =
        benchmark::Counter(results, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_iteration"] = static_cast<double>(allocations) / iterations;
    state.counters["underruns"] = static_cast<double>(underruns);
    state.counters["results_per_iteration"] = static_cast<double>(resultsPerIteration);
}

// Free-running results retrieved and asked for success, nothing more: the floor under the
// frame-rate measurement. As many results as the program's run of the same frame limit takes.
void BM_FrameRateBare(benchmark::State& state) {
    const std::string rate = Text(state.range(0));
    Session session({"--framerate", rate.c_str(), "--binning", "4"});
    auto& camera = session.camera();
    Orvel::CGrabResultPtr grabResult;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const std::uint64_t before = AllocationCount();
        camera.TriggerMode.SetValue("Off");
        camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
        bool succeeded = true;
        for (std::uint64_t i = 0; i <= kResultsPerIteration; ++i) {
            camera.RetrieveResult(kTimeoutMs, grabResult, Orvel::TimeoutHandling_ThrowException);
            succeeded &= grabResult->GrabSucceeded();
            if (!camera.IsGrabbing()) {
                break;
            }
        }
        allocations += AllocationCount() - before;
        camera.StopGrabbing();
        benchmark::DoNotOptimize(succeeded);
    }
    ReportPerResult(state, kResultsPerIteration + 1, allocations, session.Underruns());
}

// The program's frame-rate measurement over the same results as the bare loop.
void BM_FrameRateProgram(benchmark::State& state) {
    const std::string rate = Text(state.range(0));
    const std::string frames = Text(kResultsPerIteration);
    Session session({"--framerate", rate.c_str(), "--binning", "4", "--frames", frames.c_str()});
    auto& camera = session.camera();
    Orvel::CGrabResultPtr grabResult;
    const NullOutput silence;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        stopRequested = false;
        const std::uint64_t before = AllocationCount();
        MeasureFrameRate(camera, grabResult, session.options());
        allocations += AllocationCount() - before;
        camera.StopGrabbing();
    }
    stopRequested = false;
    ReportPerResult(state, kResultsPerIteration + 1, allocations, session.Underruns());
}

// The frame-rate measurement's work per result alone: a clock reading, the counts, the window
// line when a window is full, the limit tests and the stop test.
void BM_FrameRateWork(benchmark::State& state) {
    const NullOutput silence;
    FrameRateCounter counter(SteadyClock::now(), UINT64_MAX, INT64_MAX);
    stopRequested = false;
    const std::uint64_t before = AllocationCount();
    for (auto _ : state) {
        if (counter.Count(true, SteadyClock::now(), std::cout)) {
            stopRequested = true;
        }
        benchmark::DoNotOptimize(stopRequested.load());
    }
    ReportPerResult(state, 1, AllocationCount() - before, 0);
}

// Argument 0: a camera with next to no delay, so that the round trip between the loop and the
// acquisition thread is all a result costs; 1: the default camera at binning 4, whose link takes
// 1.3 ms, as a real camera's would.
std::uint64_t LatencyResults(const benchmark::State& state) {
    return state.range(0) == 0 ? kResultsPerIteration : 200;
}

// Software-triggered results retrieved and asked for success, nothing more: the floor under a
// latency series.
void BM_LatencyBare(benchmark::State& state) {
    Session session({"--binning", "4"}, state.range(0) == 0);
    const std::uint64_t results = LatencyResults(state);
    auto& camera = session.camera();
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const std::uint64_t before = AllocationCount();
        Orvel::CGrabResultPtr grabResult;
        camera.TriggerMode.SetValue("On");
        camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
        bool succeeded = true;
        for (std::uint64_t i = 0; i < results; ++i) {
            camera.TriggerSoftware.Execute(true);
            camera.RetrieveResult(kTimeoutMs, grabResult, Orvel::TimeoutHandling_ThrowException);
            succeeded &= grabResult->GrabSucceeded();
            if (!camera.IsGrabbing()) {
                break;
            }
        }
        allocations += AllocationCount() - before;
        camera.StopGrabbing();
        benchmark::DoNotOptimize(succeeded);
    }
    ReportPerResult(state, results, allocations, session.Underruns());
}

// The program's latency series over the same results, its lines going to /dev/null.
void BM_LatencyProgram(benchmark::State& state) {
    Session session({"--binning", "4"}, state.range(0) == 0);
    const std::uint64_t results = LatencyResults(state);
    auto& camera = session.camera();
    const NullOutput silence;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        stopRequested = false;
        const std::uint64_t before = AllocationCount();
        benchmark::DoNotOptimize(MeasureLatencySeries(camera, results, INT64_MAX).has_value());
        allocations += AllocationCount() - before;
        camera.StopGrabbing();
    }
    stopRequested = false;
    ReportPerResult(state, results, allocations, session.Underruns());
}

// A latency series' work per result alone: two clock readings, the latency, its sample, its line
// and the limit tests. Argument 1 writes the line to /dev/null, 0 formats it into nothing.
void BM_LatencyWork(benchmark::State& state) {
    const NullOutput silence;
    DiscardBuffer discard;
    std::ostream discarded(&discard);
    std::ostream& out = state.range(0) != 0 ? std::cout : discarded;
    LatencyRecorder recorder(SteadyClock::now(), UINT64_MAX, INT64_MAX);
    stopRequested = false;
    const std::uint64_t before = AllocationCount();
    for (auto _ : state) {
        const SteadyClock::time_point t0 = SteadyClock::now();
        const bool limitReached = recorder.Record(t0, SteadyClock::now(), out);
        benchmark::DoNotOptimize(limitReached || stopRequested.load());
    }
    ReportPerResult(state, 1, AllocationCount() - before, 0);
}

// 20 kHz: the throughput the program must keep up with.
// Processor time is the loop's thread's: what the loop itself costs per result, whatever the
// acquisition thread spends producing.
BENCHMARK(BM_FrameRateBare)->Arg(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameRateProgram)->Arg(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FrameRateWork);
BENCHMARK(BM_LatencyBare)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LatencyProgram)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
// Samples grow by one per iteration: a fixed count keeps the vector's size bounded.
BENCHMARK(BM_LatencyWork)->Arg(0)->Arg(1)->Iterations(1000000);

}  // namespace
}  // namespace Tarnwell

BENCHMARK_MAIN();
