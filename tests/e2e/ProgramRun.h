// Runs the real tarnwell binary against an emulation scenario for end-to-end tests.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OutputMatch.h"
#include "Process.h"

namespace Tarnwell::test {

// The emulation a run sees, as the value of ORVEL_EMULATION. Scenarios run their cameras with
// modelled processing unless they say "processing": "real" (ModelledScenario): the tests' timings
// follow the timing formulas, not this machine's speed.
struct Emulation {
    std::optional<std::string> value;  // nullopt: unset (two default cameras, real processing)

    static Emulation Default() { return {}; }
    // The two default cameras with modelled processing: the same listing and reports as Default.
    static Emulation Modelled();
    static Emulation Cameras(int count) { return {std::to_string(count)}; }
    // A scenario file of tests/e2e/scenarios, by its name without ".json".
    static Emulation Scenario(const std::string& name);
    // A scenario written for one test (removed when the test ends).
    static Emulation Json(const std::string& json);
};

std::string TarnwellBinary();

// The connection report of a default camera (index 0 or 1) after the run's settings, with the
// component enables it holds when opened (intensity and disparity).
std::vector<Line> ConnectionReport(int binning = 1, int camera = 0);

// The seven counter lines with the given values.
std::vector<Line> Counters(long long total, long long failed, long long underruns,
                           long long packets, long long failedPackets = 0,
                           long long resendRequests = 0, long long resentPackets = 0);

// The seven counter lines with any values.
std::vector<Line> AnyCounters();

// The number before " fps" in a window or summary line, or -1 when the line has no rate.
double RateOf(const std::string& line);

ProcessResult RunTarnwell(const std::vector<std::string>& args,
                          const Emulation& emulation = Emulation::Modelled(),
                          std::chrono::milliseconds timeout = std::chrono::seconds(60),
                          const OutputTarget& output = {});

// A run under the shell's resource limits, `limits` as `ulimit` takes them ("-s 256").
ProcessResult RunTarnwellLimited(const std::string& limits, const std::vector<std::string>& args,
                                 const Emulation& emulation = Emulation::Modelled());

// Until the run's stop handler catches SIGINT and SIGTERM; before that a signal ends the process
// by design.
bool WaitForStopHandler(const Process& process, std::chrono::milliseconds timeout);

// False once the process has exited (a zombie until the test reaps it) or is gone.
bool Running(pid_t pid);

// A run in the background, for tests that signal it or watch its output as it comes.
std::unique_ptr<Process> StartTarnwell(const std::vector<std::string>& args,
                                       const Emulation& emulation = Emulation::Modelled(),
                                       const OutputTarget& output = {});

}  // namespace Tarnwell::test
