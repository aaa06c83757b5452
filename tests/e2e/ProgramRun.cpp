// Locating the binary and the scenarios, and writing one-off scenario files.
#include "ProgramRun.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <unistd.h>

#include "Scenario.h"
#include "TestFiles.h"

namespace Tarnwell::test {
namespace {

Environment EnvironmentFor(const Emulation& emulation) {
    return {{"ORVEL_EMULATION", emulation.value}};
}

// The line of /proc/<pid>/status that lists the signals the process catches, as a mask.
unsigned long long CaughtSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("SigCgt:")) {
            return std::stoull(line.substr(7), nullptr, 16);
        }
    }
    return 0;
}

}  // namespace

bool WaitForStopHandler(const Process& process, std::chrono::milliseconds timeout) {
    const unsigned long long both = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if ((CaughtSignals(process.Pid()) & both) == both) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

Emulation Emulation::Modelled() {
    return Json("{}");
}

Emulation Emulation::Scenario(const std::string& name) {
    std::ifstream file(std::string(TARNWELL_SCENARIOS) + "/" + name + ".json");
    return Json(std::string(std::istreambuf_iterator<char>(file), {}));
}

Emulation Emulation::Json(const std::string& json) {
    static std::atomic<int> count{0};
    return {WriteTestFile("scenario-" + std::to_string(count++) + ".json", ModelledScenario(json))
                .string()};
}

std::string TarnwellBinary() {
    // Another build of the program (an installed package, an older commit) can be put to the
    // same tests.
    const char* other = std::getenv("TARNWELL_BINARY");
    return other != nullptr && *other != '\0' ? other : TARNWELL_BINARY;
}

std::vector<Line> ConnectionReport(int binning, int camera) {
    const int width = 1920 / binning;
    const int height = 1200 / binning;
    // Depth quality "High" halves the depth images; disparities take two bytes per pixel.
    const int payload = width * height + (width / 2) * (height / 2) * 2;
    const std::string serial = std::to_string(40051001 + camera);
    return {
        Exact("Connected to camera VelkorXW-" + serial),
        Exact("Serial Number          = " + serial),
        Exact("Image binning          = " + std::to_string(binning) + " "),
        Exact("Intensity image width  = " + std::to_string(width) + " px"),
        Exact("Intensity image height = " + std::to_string(height) + " px"),
        Exact("Depth quality          = High"),
        Exact("Disparity image width  = " + std::to_string(width / 2) + " px"),
        Exact("Disparity image height = " + std::to_string(height / 2) + " px"),
        Exact("Payload size           = " + std::to_string(payload) + " B"),
        Exact("GEV packet delay       = 0 ns"),
        Exact("GEV packet size        = 1500 B"),
    };
}

std::vector<Line> Counters(long long total, long long failed, long long underruns,
                           long long packets, long long failedPackets, long long resendRequests,
                           long long resentPackets) {
    return {
        Exact("Total Buffer Count    = " + std::to_string(total)),
        Exact("Failed Buffer Count   = " + std::to_string(failed)),
        Exact("Buffer Underrun Count = " + std::to_string(underruns)),
        Exact("Total Packet Count    = " + std::to_string(packets)),
        Exact("Failed Packet Count   = " + std::to_string(failedPackets)),
        Exact("Resend Request Count  = " + std::to_string(resendRequests)),
        Exact("Resend Packet Count   = " + std::to_string(resentPackets)),
    };
}

std::vector<Line> AnyCounters() {
    return {
        Pattern("Total Buffer Count    = \\d+"), Pattern("Failed Buffer Count   = \\d+"),
        Pattern("Buffer Underrun Count = \\d+"), Pattern("Total Packet Count    = \\d+"),
        Pattern("Failed Packet Count   = \\d+"), Pattern("Resend Request Count  = \\d+"),
        Pattern("Resend Packet Count   = \\d+"),
    };
}

double RateOf(const std::string& line) {
    const auto end = line.find(" fps");
    if (end == std::string::npos) {
        return -1;
    }
    const auto space = line.rfind(' ', end - 1);
    const auto begin = space == std::string::npos ? 0 : space + 1;
    return std::stod(line.substr(begin, end - begin));
}

ProcessResult RunTarnwell(const std::vector<std::string>& args, const Emulation& emulation,
                          std::chrono::milliseconds timeout, const OutputTarget& output) {
    std::vector<std::string> argv{TarnwellBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, EnvironmentFor(emulation), timeout, output);
}

ProcessResult RunTarnwellLimited(const std::string& limits, const std::vector<std::string>& args,
                                 const Emulation& emulation) {
    std::vector<std::string> argv{"/bin/sh", "-c", "ulimit " + limits + " && exec \"$0\" \"$@\"",
                                  TarnwellBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, EnvironmentFor(emulation), std::chrono::seconds(60));
}

std::unique_ptr<Process> StartTarnwell(const std::vector<std::string>& args,
                                       const Emulation& emulation, const OutputTarget& output) {
    std::vector<std::string> argv{TarnwellBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, EnvironmentFor(emulation), output);
}

}  // namespace Tarnwell::test
