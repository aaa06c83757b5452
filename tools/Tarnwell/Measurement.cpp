// Measurement: the frame-rate and latency benchmarks and the transport counters.
#include "Measurement.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <numeric>

#include "Console.h"
#include "Tarnwell.h"

namespace Tarnwell {

namespace {

constexpr unsigned int kRetrieveTimeoutMs = 40000;
constexpr unsigned int kWaitSliceMs = 100;
constexpr double kWindowSeconds = 5.0;
constexpr std::uint64_t kTransferSeriesFrames = 10;
constexpr std::int64_t kTransferSeriesSeconds = 1000;
constexpr const char* kRule = "=================================================";

// Puts back the flags and precision a line writer changed, so that output written later (the
// latencies in the default float format) is not affected.
class StreamFormatGuard {
public:
    explicit StreamFormatGuard(std::ostream& out)
        : out_(out), flags_(out.flags()), precision_(out.precision()) {}
    ~StreamFormatGuard() {
        out_.flags(flags_);
        out_.precision(precision_);
    }
    StreamFormatGuard(const StreamFormatGuard&) = delete;
    StreamFormatGuard& operator=(const StreamFormatGuard&) = delete;

private:
    std::ostream& out_;
    std::ios::fmtflags flags_;
    std::streamsize precision_;
};

struct CounterRow {
    const char* label;
    const char* node;
};

constexpr CounterRow kCounterRows[] = {
    {"Total Buffer Count    = ", "Statistic_Total_Buffer_Count"},
    {"Failed Buffer Count   = ", "Statistic_Failed_Buffer_Count"},
    {"Buffer Underrun Count = ", "Statistic_Buffer_Underrun_Count"},
    {"Total Packet Count    = ", "Statistic_Total_Packet_Count"},
    {"Failed Packet Count   = ", "Statistic_Failed_Packet_Count"},
    {"Resend Request Count  = ", "Statistic_Resend_Request_Count"},
    {"Resend Packet Count   = ", "Statistic_Resend_Packet_Count"},
};

// The wait for a result as one retrieval with the 40-second time-out would do it, in slices short
// enough that a stop request ends it within a second. False, with the holder empty, when grabbing
// ended or a stop was requested during the wait; the time-out raises the SDK's exception.
bool RetrieveNextResult(Orvel::CVelkorUniversalInstantCamera& camera,
                        Orvel::CGrabResultPtr& grabResult) {
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(kRetrieveTimeoutMs);
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (left <= 0) {
            throw GenICam::TimeoutException(
                ("No grab result within " + std::to_string(kRetrieveTimeoutMs) + " ms.").c_str(),
                kOwnErrorSource, __LINE__);
        }
        const auto slice = static_cast<unsigned int>(std::min<long long>(left, kWaitSliceMs));
        if (camera.RetrieveResult(slice, grabResult, Orvel::TimeoutHandling_Return)) {
            return true;
        }
        if (!camera.IsGrabbing() || stopRequested) {
            return false;
        }
    }
}

void ReportGrabError(const Orvel::CGrabResultPtr& grabResult) {
    WriteGrabErrorLine(std::cerr, grabResult->GetErrorCode(), grabResult->GetErrorDescription());
}

}  // namespace

void GrabStatistics::add(bool succeeded, SteadyClock::time_point now) {
    if (grabbed == 0) {
        startsAtResult = now == start;
    }
    last = now;
    ++grabbed;
    if (!succeeded) {
        ++errors;
    }
}

double GrabStatistics::elapsedSeconds() const {
    const std::int64_t nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(last - start).count();
    return static_cast<double>(nanoseconds) / 1e9;
}

std::uint64_t GrabStatistics::frameIntervals() const {
    return startsAtResult ? grabbed - 1 : grabbed;
}

double GrabStatistics::framesPerSecond() const {
    const double seconds = elapsedSeconds();
    if (seconds == 0) {
        return 0;
    }
    return static_cast<double>(frameIntervals()) / seconds;
}

std::ostream& operator<<(std::ostream& out, const GrabStatistics& statistics) {
    const StreamFormatGuard guard(out);
    out << std::dec << "#grabbed: " << statistics.grabbed << ", ";
    // A single result spans no interval between results: the time from grabbing's start to it
    // is no frame rate of the camera.
    if (statistics.grabbed >= 2 && statistics.elapsedSeconds() > 0) {
        out << std::fixed << std::setprecision(2) << statistics.framesPerSecond() << " fps, ";
    }
    out << statistics.errors << " errors.";
    return out;
}

void WriteWindowLine(std::ostream& out, const GrabStatistics& window) {
    const StreamFormatGuard guard(out);
    out << std::dec << std::fixed << std::setprecision(2) << window.framesPerSecond() << " fps, "
        << window.errors << " errors." << std::endl;
}

void WriteGrabErrorLine(std::ostream& out, std::uint32_t errorCode,
                        const GenICam::gcstring& description) {
    const StreamFormatGuard guard(out);
    out << "Grab error occurred (" << std::hex << std::noshowbase << std::nouppercase << errorCode
        << "): " << Printable{description.str()} << std::endl;
}

std::optional<LatencySummary> SummarizeLatencies(const std::vector<double>& samples) {
    if (samples.empty()) {
        return std::nullopt;
    }
    const auto [minimum, maximum] = std::minmax_element(samples.begin(), samples.end());
    const double sum = std::accumulate(samples.begin(), samples.end(), 0.0);
    // The extremes in the whole milliseconds of the per-result lines; the average of the exact
    // durations, which truncating first would put half a millisecond low.
    return LatencySummary{sum / static_cast<double>(samples.size()), std::trunc(*minimum),
                          std::trunc(*maximum)};
}

void WriteLatencySummary(std::ostream& out, std::string_view subject,
                         const std::optional<LatencySummary>& summary) {
    if (!summary) {
        out << "Avg. " << subject << ": no sample recorded" << std::endl;
        out << "Min. " << subject << ": no sample recorded" << std::endl;
        out << "Max. " << subject << ": no sample recorded\n" << std::endl;
        return;
    }
    out << "Avg. " << subject << ": " << summary->average << " ms" << std::endl;
    out << "Min. " << subject << ": " << summary->minimum << " ms" << std::endl;
    out << "Max. " << subject << ": " << summary->maximum << " ms\n" << std::endl;
}

FrameRateCounter::FrameRateCounter(SteadyClock::time_point now, std::uint64_t maxFrames,
                                   std::int64_t maxSeconds)
    : total_(now),
      window_(now),
      maxFrames_(maxFrames),
      maxSeconds_(static_cast<double>(maxSeconds)) {}

bool FrameRateCounter::Count(bool succeeded, SteadyClock::time_point now, std::ostream& out) {
    ++n_;
    // The first result carries the start-up of acquisition: the count begins at the second.
    if (n_ == 2) {
        total_.reset(now);
        window_.reset(now);
    }
    total_.add(succeeded, now);
    if (total_.grabbed == 1) {
        window_.reset(now);
    } else {
        window_.add(succeeded, now);
    }
    if (window_.elapsedSeconds() >= kWindowSeconds) {
        const GrabStatistics finished = window_;
        window_.reset(now);
        WriteWindowLine(out, finished);
    }
    return total_.elapsedSeconds() >= maxSeconds_ || total_.grabbed >= maxFrames_;
}

void MeasureFrameRate(Orvel::CVelkorUniversalInstantCamera& camera,
                      Orvel::CGrabResultPtr& grabResult, const po::variables_map& options) {
    camera.TriggerMode.SetValue("Off");
    camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
    FrameRateCounter counter(SteadyClock::now(), options["frames"].as<std::uint64_t>(),
                             options["duration"].as<std::int64_t>());
    do {
        if (!RetrieveNextResult(camera, grabResult)) {
            break;
        }
        const bool succeeded = grabResult->GrabSucceeded();
        if (counter.Count(succeeded, SteadyClock::now(), std::cout)) {
            stopRequested = true;
        }
        if (!succeeded) {
            ReportGrabError(grabResult);
        }
        if (!camera.IsGrabbing()) {
            break;
        }
    } while (!stopRequested);

    std::cout << kRule << "\n";
    std::cout << counter.total() << std::endl;
}

LatencyRecorder::LatencyRecorder(SteadyClock::time_point seriesStart, std::uint64_t maxFrames,
                                 std::int64_t maxSeconds)
    : seriesStart_(seriesStart), maxFrames_(maxFrames), maxSeconds_(maxSeconds) {}

bool LatencyRecorder::Record(SteadyClock::time_point t0, SteadyClock::time_point t1,
                             std::ostream& out) {
    ++k_;
    const std::int64_t latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count();
    if (k_ > 1) {
        samples_.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    // One write of a line formatted here: the work per result stays small beside the latency it
    // measures.
    char line[48] = "Latency: ";
    constexpr std::size_t kPrefix = sizeof "Latency: " - 1;
    char* end = std::to_chars(line + kPrefix, line + sizeof line, latency).ptr;
    end = std::copy_n("ms\n", 3, end);
    out.write(line, end - line);
    out.flush();
    return std::chrono::duration_cast<std::chrono::seconds>(t1 - seriesStart_).count() >=
               maxSeconds_ ||
           k_ >= maxFrames_;
}

std::optional<LatencySummary> MeasureLatencySeries(Orvel::CVelkorUniversalInstantCamera& camera,
                                                   std::uint64_t maxFrames,
                                                   std::int64_t maxSeconds) {
    Orvel::CGrabResultPtr grabResult;
    camera.TriggerMode.SetValue("On");
    camera.StartGrabbing(Orvel::GrabStrategy_OneByOne, Orvel::GrabLoop_ProvidedByUser);
    LatencyRecorder recorder(SteadyClock::now(), maxFrames, maxSeconds);
    do {
        camera.TriggerSoftware.Execute(true);
        const SteadyClock::time_point t0 = SteadyClock::now();
        if (!RetrieveNextResult(camera, grabResult)) {
            break;
        }
        const bool succeeded = grabResult->GrabSucceeded();
        const bool limitReached = recorder.Record(t0, SteadyClock::now(), std::cout);
        if (!succeeded) {
            ReportGrabError(grabResult);
        }
        if (limitReached || !camera.IsGrabbing()) {
            break;
        }
    } while (!stopRequested);
    return recorder.Summary();
}

void MeasureLatency(Orvel::CVelkorUniversalInstantCamera& camera,
                    const ComponentSelection& selection, const po::variables_map& options) {
    const auto maxSeconds = options["duration"].as<std::int64_t>();
    const auto maxFrames = options["frames"].as<std::uint64_t>();

    // 1. Network transfer time: the raw images need no depth computation.
    std::cout << "\n\nMeasure network transfer time:" << std::endl;
    ConfigureComponents(camera, "SingleComponent", ComponentSelection{.rawCombined = true});
    const std::optional<LatencySummary> transfer =
        MeasureLatencySeries(camera, kTransferSeriesFrames, kTransferSeriesSeconds);
    std::cout << kRule << std::endl;
    WriteLatencySummary(std::cout, "network transfer time", transfer);
    camera.StopGrabbing();
    if (stopRequested) {
        return;
    }

    // 2. System latency with the components the run asked for.
    std::cout << "Measure system latency:" << std::endl;
    ConfigureComponents(camera, ComponentModeFor(selection), selection);
    std::cout << "Components:" << std::endl;
    PrintComponentStates(camera);
    const std::optional<LatencySummary> system =
        MeasureLatencySeries(camera, maxFrames, maxSeconds);
    std::cout << kRule << std::endl;
    WriteLatencySummary(std::cout, "system latency", system);
}

void PrintStreamStatistics(Orvel::CVelkorUniversalInstantCamera& camera) {
    for (const CounterRow& row : kCounterRows) {
        std::cout << row.label;
        const GenApi::CIntegerPtr counter(camera.GetNodeMap().GetNode(row.node));
        std::cout << counter->GetValue(false, false) << std::endl;
    }
}

}  // namespace Tarnwell
