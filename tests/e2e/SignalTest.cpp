// End-to-end matrix of stop signals: SIGINT and SIGTERM, alone, repeated and together, at several
// moments of both measurements. Every run ends with its statistics, exit code 0 and whole lines.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

// Where in the run the signals come.
enum class Moment {
    BeforeFirstResult,  // handler installed, the first result still on a slow link
    BetweenResults,     // a few results in, at the camera's normal pace
    DuringSlowWait,     // while a retrieval waits on a camera that takes a second per result
    InSystemStage,      // latency mode: two results into the second stage
    Storm,              // one every half millisecond from the handler to the exit
};

struct SignalCase {
    std::string name;
    bool latency;
    Moment moment;
    std::vector<int> signals;
};

void PrintTo(const SignalCase& c, std::ostream* out) {
    *out << c.name;
}

// The scenario and the extra arguments of a moment. Failures every `every` results make the
// frame-rate measurement's progress visible on standard error.
struct RunSetup {
    std::string scenario;
    std::vector<std::string> args;
    long long every = 0;
};

RunSetup SetupFor(const SignalCase& c) {
    switch (c.moment) {
        case Moment::BeforeFirstResult:
            // 1.2 s per intensity image, 2.4 s per raw image on a 1 Mbit/s link.
            return {R"({"cameras": [{"linkBandwidth": 1e6}]})", {"--framerate", "20"}, 0};
        case Moment::BetweenResults:
        case Moment::InSystemStage:
            // Results every 50 ms, raw images in 49 ms: stage 1 lasts half a second.
            return {R"({"cameras": [{"linkBandwidth": 5e7,
                        "grabFailures": {"every": 2, "description": "x"}}]})",
                    {"--framerate", "20"},
                    2};
        case Moment::DuringSlowWait:
            // One result a second; raw images take half a second on a 5 Mbit/s link.
            return {c.latency
                        ? R"({"cameras": [{"linkBandwidth": 5e6}]})"
                        : R"({"cameras": [{"grabFailures": {"every": 1, "description": "x"}}]})",
                    {"--framerate", "1"},
                    c.latency ? 0 : 1};
        case Moment::Storm:
            return {R"({"cameras": [{"grabFailures": {"every": 3, "description": "x"}}]})",
                    {"--framerate", "20"},
                    3};
    }
    return {};
}

// Waits for the moment; false (with a message) when the run never got there.
::testing::AssertionResult ReachMoment(Process& process, const SignalCase& c) {
    if (!WaitForStopHandler(process, 30s)) {
        return ::testing::AssertionFailure() << "no stop handler; output:\n" << process.Output();
    }
    auto nth = [&](const std::string& text, int count, bool error, std::size_t from) {
        for (int i = 0; i < count; ++i) {
            const bool seen = error ? process.WaitForError(text, 30s, from)
                                    : process.WaitForOutput(text, 30s, from);
            if (!seen) {
                return false;
            }
            const std::string& stream = error ? process.Error() : process.Output();
            from = stream.find(text, from) + text.size();
        }
        return true;
    };
    bool reached = true;
    switch (c.moment) {
        case Moment::BeforeFirstResult:
        case Moment::Storm:
            break;
        case Moment::BetweenResults:
            reached =
                c.latency ? nth("Latency: ", 3, false, 0) : nth("Grab error occurred", 2, true, 0);
            break;
        case Moment::DuringSlowWait:
            reached =
                c.latency ? nth("Latency: ", 2, false, 0) : nth("Grab error occurred", 2, true, 0);
            break;
        case Moment::InSystemStage:
            reached = nth("Components:", 1, false, 0) &&
                      nth("Latency: ", 2, false, process.Output().find("Components:"));
            break;
    }
    if (!reached) {
        return ::testing::AssertionFailure() << "moment not reached; output:\n"
                                             << process.Output() << process.Error();
    }
    return ::testing::AssertionSuccess();
}

class StopSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(StopSignal, EndsTheRunWithItsStatistics) {
    const SignalCase& c = GetParam();
    const RunSetup setup = SetupFor(c);
    std::vector<std::string> args{"--binning", "4"};
    if (c.latency) {
        args.insert(args.end(), {"--measurement-mode", "latency"});
    }
    args.insert(args.end(), setup.args.begin(), setup.args.end());
    auto process = StartTarnwell(args, Emulation::Json(setup.scenario));
    ASSERT_TRUE(ReachMoment(*process, c));
    if (c.moment == Moment::Storm) {
        for (std::size_t i = 0; Running(process->Pid()) && i < 10000; ++i) {
            process->Signal(c.signals[i % c.signals.size()]);
            std::this_thread::sleep_for(500us);
        }
    } else {
        if (c.moment == Moment::DuringSlowWait) {
            // The line comes before the loop's own stop test: let the next retrieval begin.
            std::this_thread::sleep_for(300ms);
        }
        for (const int signal : c.signals) {
            process->Signal(signal);
        }
    }
    const auto run = process->Wait(60s);
    ASSERT_FALSE(run.timedOut) << run.out;
    ASSERT_EQ(run.signal, 0) << run.out;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const RunRecord record = ReadRun(run);
    EXPECT_EQ(record.otherErrors, std::vector<std::string>{}) << run.err;
    ASSERT_EQ(record.counters.size(), 7u) << run.out;

    // Nothing lost or counted twice: the counters agree with the printed results and with the
    // results' numbering (every `every`-th fails), and no frame was dropped or lost.
    EXPECT_EQ(record.Failed(), Failures(record.Total(), setup.every)) << run.out;
    EXPECT_EQ(record.Underruns(), 0);
    EXPECT_EQ(record.FailedPackets() + record.ResendRequests() + record.ResentPackets(), 0);
    if (c.latency) {
        const long long system = record.systemResults.value_or(0);
        EXPECT_TRUE(IsLatencyRun(run.out, record.transferResults, record.systemResults));
        // A stop in the first stage skips the second.
        if (record.transferResults < 10) {
            EXPECT_FALSE(record.systemResults.has_value()) << run.out;
        }
        // A stop during a wait lets the frame already on its way arrive: it is counted, though
        // nobody retrieved it.
        EXPECT_GE(record.Total(), record.transferResults + system);
        EXPECT_LE(record.Total(), record.transferResults + system + 1);
        EXPECT_EQ(record.Packets(), record.Total() * kPackets);
        EXPECT_EQ(static_cast<long long>(record.grabErrors.size()), record.Failed());
        // The stop ends the wait for the first result instead of waiting for it.
        if (c.moment == Moment::BeforeFirstResult) {
            EXPECT_EQ(record.transferResults, 0) << run.out;
        }
        if (c.moment == Moment::InSystemStage) {
            EXPECT_GE(system, 2) << run.out;
        }
    } else {
        EXPECT_TRUE(IsFrameRateRun(run.out));
        ASSERT_TRUE(record.grabbed.has_value()) << run.out;
        // The first result opens the count; more can have been queued when grabbing stopped.
        // A stop before the first result ends the wait with none.
        const long long retrieved = c.moment == Moment::BeforeFirstResult ? *record.grabbed
                                    : *record.grabbed == 1 && record.Total() == 1
                                        ? 1
                                        : *record.grabbed + 1;
        EXPECT_GE(record.Total(), retrieved);
        EXPECT_LE(record.Total(), retrieved + 10);
        EXPECT_EQ(record.Packets(), record.Total() * kPackets);
        EXPECT_EQ(static_cast<long long>(record.grabErrors.size()),
                  Failures(retrieved, setup.every));
        EXPECT_EQ(*record.errors, Failures(retrieved, setup.every) -
                                      (retrieved > 1 ? Failures(1, setup.every) : 0));
        if (c.moment == Moment::BeforeFirstResult) {
            EXPECT_EQ(*record.grabbed, 0) << run.out;
        }
    }
    // At least the results the test waited for.
    const long long results =
        c.latency ? record.Total() : (record.grabbed ? *record.grabbed + 1 : 0);
    if (c.moment == Moment::BetweenResults) {
        EXPECT_GE(results, c.latency ? 3 : 4) << run.out;
    }
    if (c.moment == Moment::DuringSlowWait) {
        EXPECT_GE(results, 2) << run.out;
    }
}

std::vector<SignalCase> Cases() {
    const std::vector<std::pair<const char*, std::vector<int>>> signalSets{
        {"Int", {SIGINT}},
        {"Term", {SIGTERM}},
        {"BothAtOnce", {SIGINT, SIGTERM}},
        {"Repeated", {SIGINT, SIGINT, SIGTERM, SIGINT, SIGTERM}},
    };
    const std::vector<std::pair<const char*, Moment>> moments{
        {"BeforeFirstResult", Moment::BeforeFirstResult},
        {"BetweenResults", Moment::BetweenResults},
        {"DuringSlowWait", Moment::DuringSlowWait},
        {"InSystemStage", Moment::InSystemStage},
        {"Storm", Moment::Storm},
    };
    std::vector<SignalCase> cases;
    for (const bool latency : {false, true}) {
        for (const auto& [momentName, moment] : moments) {
            if (moment == Moment::InSystemStage && !latency) {
                continue;
            }
            for (const auto& [signalName, signals] : signalSets) {
                // A storm mixes both signals by itself.
                if (moment == Moment::Storm && signals.size() != 2) {
                    continue;
                }
                cases.push_back({std::string(latency ? "Latency" : "FrameRate") + momentName +
                                     (moment == Moment::Storm ? "" : signalName),
                                 latency, moment, signals});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrix, StopSignal, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace Tarnwell::test
