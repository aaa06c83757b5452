// Measurement: the frame-rate and latency benchmarks and the transport counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/program_options.hpp>

#include "Configuration.h"
#include "Orvel/Orvel.h"

namespace Tarnwell {

using SteadyClock = std::chrono::steady_clock;

// Grab results counted over one span of time. Every time comes from the caller, one clock
// reading per result, so that a span restarted at a result begins exactly at that result.
struct GrabStatistics {
    SteadyClock::time_point start;
    SteadyClock::time_point last;
    std::uint64_t grabbed = 0;
    std::uint64_t errors = 0;
    // The first counted result was taken at the very reading that started the span: it opens
    // the span rather than closing a frame interval.
    bool startsAtResult = false;

    explicit GrabStatistics(SteadyClock::time_point now) : start(now), last(now) {}

    void reset(SteadyClock::time_point now) { *this = GrabStatistics(now); }
    void add(bool succeeded, SteadyClock::time_point now);
    double elapsedSeconds() const;
    // Frame intervals that the span covers: a rate is intervals over time, not results.
    std::uint64_t frameIntervals() const;
    // 0 for a span of no time.
    double framesPerSecond() const;
};

// The summary text: "#grabbed: N, R fps, E errors." (the rate only for two results or more, over
// a span of positive time), without a line end. Leaves the stream's format as it found it.
std::ostream& operator<<(std::ostream& out, const GrabStatistics& statistics);

// "R fps, E errors." and a line end, for one finished reporting window.
void WriteWindowLine(std::ostream& out, const GrabStatistics& window);

// "Grab error occurred (<hex code>): <description>" and a line end.
void WriteGrabErrorLine(std::ostream& out, std::uint32_t errorCode,
                        const GenICam::gcstring& description);

// Latencies of one series, milliseconds.
struct LatencySummary {
    double average = 0;
    double minimum = 0;
    double maximum = 0;
};

// Empty when no sample was recorded.
std::optional<LatencySummary> SummarizeLatencies(const std::vector<double>& samples);

// The average, minimum and maximum lines of one series, in the stream's current float format;
// a series without a sample says so instead of showing a value.
void WriteLatencySummary(std::ostream& out, std::string_view subject,
                         const std::optional<LatencySummary>& summary);

// The frame-rate measurement's own work per result, apart from retrieving it: the counts, the
// window line and the limit tests. Kept apart from the retrieval so that its cost can be measured
// on its own.
class FrameRateCounter {
public:
    // `now`: just after grabbing started.
    FrameRateCounter(SteadyClock::time_point now, std::uint64_t maxFrames, std::int64_t maxSeconds);

    // Counts the result taken at `now` and writes the window line of a full window to `out`;
    // true once the `frames` or `duration` limit is reached.
    bool Count(bool succeeded, SteadyClock::time_point now, std::ostream& out);
    const GrabStatistics& total() const { return total_; }

private:
    GrabStatistics total_;
    GrabStatistics window_;
    std::uint64_t n_ = 0;  // results so far, the first included
    std::uint64_t maxFrames_;
    double maxSeconds_;
};

// A latency series' own work per result, apart from triggering and retrieving it: the latency,
// its sample, its line and the limit tests. Kept apart so that its cost can be measured on its own.
class LatencyRecorder {
public:
    LatencyRecorder(SteadyClock::time_point seriesStart, std::uint64_t maxFrames,
                    std::int64_t maxSeconds);

    // The result triggered at `t0` and in hand at `t1`: writes its line to `out` and, unless it
    // is the first of the series, records it; true once a limit ends the series.
    bool Record(SteadyClock::time_point t0, SteadyClock::time_point t1, std::ostream& out);
    std::optional<LatencySummary> Summary() const { return SummarizeLatencies(samples_); }

private:
    SteadyClock::time_point seriesStart_;
    std::uint64_t maxFrames_;
    std::int64_t maxSeconds_;
    std::uint64_t k_ = 0;  // results so far, the first included
    std::vector<double> samples_;
};

// Free-running acquisition until the `frames` or `duration` limit, a stop request or the end of
// grabbing: a line per five-second window, then the summary. Leaves the camera grabbing.
void MeasureFrameRate(Orvel::CVelkorUniversalInstantCamera& camera,
                      Orvel::CGrabResultPtr& grabResult,
                      const boost::program_options::variables_map& options);

// Software-triggers single images and times each from the trigger to its result, printing one
// line per result. The first result of a series is not recorded: it pays for the start.
// Leaves the camera grabbing with trigger mode "On".
std::optional<LatencySummary> MeasureLatencySeries(Orvel::CVelkorUniversalInstantCamera& camera,
                                                   std::uint64_t maxFrames,
                                                   std::int64_t maxSeconds);

// The network transfer time (raw images alone, ten results), then the system latency with the
// run's component selection until the `frames` or `duration` limit.
void MeasureLatency(Orvel::CVelkorUniversalInstantCamera& camera,
                    const ComponentSelection& selection,
                    const boost::program_options::variables_map& options);

// The seven transport counters of the connection; the camera must not be grabbing.
void PrintStreamStatistics(Orvel::CVelkorUniversalInstantCamera& camera);

}  // namespace Tarnwell
