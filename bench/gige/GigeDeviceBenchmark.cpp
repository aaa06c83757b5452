// tarnwell-camera's cost and rate against an Aravis host over loopback: for each binning (1, 2,
// 4) and packet size (1500, 9000), the camera free-running at its link's limit (100 Hz asked),
// frames delivered per second, frames that failed, the device's processor time per frame (all
// its threads, from /proc) and the Aravis host's (this process). Run it in a network namespace
// with only loopback up: bench/gige/run does.
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AravisReceiver.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Tarnwell::test::AravisDevice;

constexpr const char* kAddress = "127.0.0.2";

// Seconds all threads of process `pid` ran (their schedstat, in nanoseconds).
double ProcessSeconds(pid_t pid) {
    double total = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stat(task.path() / "schedstat");
        double nanoseconds = 0;
        stat >> nanoseconds;
        total += nanoseconds * 1e-9;
    }
    return total;
}

double OwnSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The device program, serving one default camera; returns once it is ready.
pid_t StartDevice() {
    int pipe[2];
    if (::pipe(pipe) != 0) {
        throw std::runtime_error("no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    const char* argv[] = {TARNWELL_CAMERA, "--scenario", "1", "--address", kAddress, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, TARNWELL_CAMERA, &actions, nullptr, const_cast<char**>(argv), environ) !=
        0) {
        throw std::runtime_error("cannot start " + std::string(TARNWELL_CAMERA));
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    std::string out;
    char chunk[256];
    ssize_t n = 0;
    while (out.find('\n') == std::string::npos && (n = read(pipe[0], chunk, sizeof chunk)) > 0) {
        out.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipe[0]);
    if (out.rfind("Serving ", 0) != 0) {
        throw std::runtime_error("the device did not start: " + out);
    }
    return pid;
}

// The modelled link's frame rate at 1 Gbit/s: n packets of S + 38 bytes on the wire each.
double LinkLimit(int binning, int packetSize) {
    const double bytes = (1920.0 / binning) * (2 * 1200.0 / binning);
    const double packets = std::ceil(bytes / (packetSize - 36)) + 2;
    return std::min(100.0, 1 / (packets * (packetSize + 38) * 8 / 1e9));
}

void Measure(AravisDevice& host, pid_t device, int binning, int packetSize, double seconds) {
    host.SetInteger("BinningHorizontal", binning);
    host.SetInteger("BinningVertical", binning);
    host.SetInteger("GevSCPSPacketSize", packetSize);
    const auto bytes =
        static_cast<std::size_t>(1920 / binning) * static_cast<std::size_t>(2 * 1200 / binning);
    host.StartStream(bytes, 16);
    // The first frame waits for the device's sequence; the count starts after it.
    ArvBuffer* first = host.Pop(60s);
    if (first == nullptr) {
        throw std::runtime_error("no first frame");
    }
    host.Push(first);
    // Frames that queued meanwhile were sent before the count and the clocks start.
    while (ArvBuffer* queued = host.Pop(0ms)) {
        host.Push(queued);
    }
    const double device0 = ProcessSeconds(device);
    const double host0 = OwnSeconds();
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::uint64_t complete = 0;
    std::uint64_t failed = 0;
    // The rate from the frames' arrival times: frames that queued while the first was awaited
    // are popped in a burst, and would count as if they had arrived in the window.
    guint64 firstArrival = 0;
    guint64 lastArrival = 0;
    while (Clock::now() < end) {
        if (ArvBuffer* buffer = host.Pop(100ms)) {
            if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
                lastArrival = arv_buffer_get_system_timestamp(buffer);
                firstArrival = complete++ == 0 ? lastArrival : firstArrival;
            } else {
                ++failed;
            }
            host.Push(buffer);
        }
    }
    const double deviceSeconds = ProcessSeconds(device) - device0;
    const double hostSeconds = OwnSeconds() - host0;
    const double frames = static_cast<double>(complete + failed);
    const std::uint64_t resends = host.StreamInfo("n_resend_requests");
    host.StopStream();
    std::printf("%7d %6d %10.1f %10.1f %7" PRIu64 " %10.2f %10.2f %8" PRIu64 "\n", binning,
                packetSize, LinkLimit(binning, packetSize),
                complete > 1 ? static_cast<double>(complete - 1) /
                                   (static_cast<double>(lastArrival - firstArrival) * 1e-9)
                             : 0.0,
                failed, frames > 0 ? deviceSeconds / frames * 1e3 : 0.0,
                frames > 0 ? hostSeconds / frames * 1e3 : 0.0, resends);
    std::fflush(stdout);
}

}  // namespace

// Usage: gige_device_benchmark [SECONDS [BINNING PACKET_SIZE]]: one configuration, or all.
int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const int onlyBinning = argc > 3 ? std::atoi(argv[2]) : 0;
    const int onlyPacketSize = argc > 3 ? std::atoi(argv[3]) : 0;
    pid_t device = 0;
    try {
        device = StartDevice();
        AravisDevice host(kAddress);
        host.SetFloat("AcquisitionFrameRate", 100);
        std::printf(
            "binning packet  limit fps  delivered  failed  device ms   host ms  resend\n"
            "             (link model)      fps          /frame    /frame  requests\n");
        for (const int binning : {1, 2, 4}) {
            for (const int packetSize : {1500, 9000}) {
                if (onlyBinning != 0 && (binning != onlyBinning || packetSize != onlyPacketSize)) {
                    continue;
                }
                Measure(host, device, binning, packetSize, seconds);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "gige_device_benchmark: %s\n", error.what());
        if (device > 0) {
            kill(device, SIGTERM);
            waitpid(device, nullptr, 0);
        }
        return 1;
    }
    kill(device, SIGTERM);
    int status = 0;
    waitpid(device, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
