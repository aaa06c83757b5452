// End-to-end tests of runs in a hostile environment: output that cannot be written or stays
// blocked, small stacks and address spaces, huge or hostile texts from the camera, a stalled
// camera interrupted. Each ends with exit code 0 or 1, never by a signal or a hang, and a failure
// is one line on standard error.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ProgramRun.h"
#include "RunRecord.h"
#include "Sanitizers.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

// Makes sure a long transport-layer name and the longest name pattern against as long a name
// work on a small stack. Example failure: the regular-expression matcher of the processing-unit
// detection recursed once per character and overflowed the stack (SIGSEGV).
TEST(LongTexts, WorkOnASmallStack) {
    const std::string tail(30'000, 'b');
    const std::string name(1024, 'n');
    const auto run = RunTarnwellLimited(
        "-s 256", {"--list", "--name", std::string(1023, 'n') + "?"},
        Emulation::Json(R"({"transportLayerName": "Producer CPU)" + tail +
                        R"(", "cameras": [{"friendlyName": ")" + name + R"("}]})"));
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Processing Unit: CPU" + tail + "\n" + name + "\n");
    EXPECT_EQ(run.exitCode, 0);
}

struct OutputCase {
    const char* name;
    std::vector<std::string> args;
    OutputTarget output;
    std::string error;
};

void PrintTo(const OutputCase& c, std::ostream* out) {
    *out << c.name;
}

class UnwritableOutput : public ::testing::TestWithParam<OutputCase> {};

// Makes sure output that cannot be written ends the run as an error does. Example failure:
// "--list >/dev/full" exits with 0 having written nothing.
TEST_P(UnwritableOutput, EndsTheRunWithOneLine) {
    const OutputCase& c = GetParam();
    const auto run = RunTarnwell(c.args, Emulation::Modelled(), 60s, c.output);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err, "Cannot write to standard output: " + c.error + "\n");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(Targets, UnwritableOutput,
                         ::testing::Values(OutputCase{"ListingToAFullDisk",
                                                      {"--list"},
                                                      OutputTarget::File("/dev/full"),
                                                      "No space left on device"},
                                           OutputCase{"MeasurementToAFullDisk",
                                                      {"--frames", "3", "--binning", "4"},
                                                      OutputTarget::File("/dev/full"),
                                                      "No space left on device"},
                                           OutputCase{"HelpToAFullDisk",
                                                      {"--help"},
                                                      OutputTarget::File("/dev/full"),
                                                      "No space left on device"},
                                           OutputCase{"MeasurementToAClosedDescriptor",
                                                      {"--frames", "3", "--binning", "4"},
                                                      OutputTarget::Closed(),
                                                      "Bad file descriptor"}),
                         [](const ::testing::TestParamInfo<OutputCase>& info) {
                             return info.param.name;
                         });

// Makes sure a reader that goes away (`tarnwell | head -1`) ends the run as an error, after the
// camera was stopped and closed. Example failure: SIGPIPE kills the process mid-measurement.
TEST(ClosedPipe, EndsTheRunWithOneLine) {
    auto process = StartTarnwell({"--frames", "40", "--framerate", "20", "--binning", "4"});
    ASSERT_TRUE(process->WaitForOutput("Processing Unit: ", 20s));
    process->CloseOutput();
    const auto run = process->Wait(60s);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err, "Cannot write to standard output: Broken pipe\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Until the process's main thread sits in write(2).
bool WaitUntilBlockedInWrite(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
        std::string number;
        syscall >> number;
        if (number == std::to_string(SYS_write)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class BlockedOutput : public ::testing::TestWithParam<OutputTarget> {};

// Makes sure Ctrl+C ends a run whose output is blocked (a terminal paused with Ctrl+S, a reader
// that stopped reading). Example failure: the handler installed with restart semantics resumes
// the blocked write, and the run never ends.
TEST_P(BlockedOutput, StopSignalEndsTheRun) {
    // A line per result at thousands of results a second fills the output within a second.
    auto process = StartTarnwell(
        {"--measurement-mode", "latency", "--binning", "4"},
        Emulation::Json(R"({"cameras": [{"maxFrameRate": 100000, "linkBandwidth": 1e12,
                                         "processingScale": 0, "controlRoundTrip": 0}]})"),
        GetParam());
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    ASSERT_TRUE(WaitUntilBlockedInWrite(process->Pid(), 30s));
    process->Signal(SIGINT);
    const auto run = process->Wait(10s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err,
              "Cannot write to standard output: it stayed blocked after the stop request\n");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(Readers, BlockedOutput,
                         ::testing::Values(OutputTarget::StalledPipe(),
                                           OutputTarget::StalledTerminal()),
                         [](const ::testing::TestParamInfo<OutputTarget>& info) {
                             return info.param.kind == OutputTarget::Kind::StalledPipe ? "Pipe"
                                                                                       : "Terminal";
                         });

// Makes sure an allocation that fails as grabbing starts says what and how much. Example failure:
// the bare "std::bad_alloc".
TEST(AddressSpaceLimit, ResultBuffersThatDoNotFitAreNamed) {
    if (Tarnwell::test::kSanitized) {
        GTEST_SKIP() << "sanitizers reserve more address space than the limit leaves";
    }
    const auto run = RunTarnwellLimited(
        "-v 4000000",
        {"--quality-mode", "Full", "--enable-intensity", "--enable-intensity-combined",
         "--enable-disparity", "--enable-confidence", "--enable-error", "--frames", "2"},
        Emulation::Json(R"({"cameras": [{"bufferCount": 1024}]})"));
    EXPECT_EQ(run.err,
              "Cannot start grabbing: cannot allocate 1024 result buffers of 16128000 bytes "
              "(15750 MiB in all).\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Makes sure every allocation of a start, whichever fails first under a tighter limit, says what
// it could not allocate. Example failure: "no depth computation: std::bad_alloc" from an
// allocation nobody named (the synthetic scene's textures were one).
TEST(AddressSpaceLimit, EveryAllocationOfAStartIsNamed) {
    if (Tarnwell::test::kSanitized) {
        GTEST_SKIP() << "sanitizers reserve more address space than the limit leaves";
    }
    // Each limit stops the start at another allocation: the scene's images, the engine, the pool.
    for (const char* limit : {"-v 250000", "-v 300000", "-v 400000", "-v 500000"}) {
        const auto run =
            RunTarnwellLimited(limit,
                               {"--quality-mode", "Full", "--binning", "1", "--enable-disparity",
                                "--enable-error", "--frames", "0"},
                               Emulation::Json(R"({"cameras": [{"processing": "real"}]})"));
        EXPECT_EQ(run.exitCode, 1) << limit;
        EXPECT_TRUE(run.err.starts_with("Cannot start grabbing: ")) << limit << ": " << run.err;
        EXPECT_NE(run.err.find("cannot allocate"), std::string::npos) << limit << ": " << run.err;
        EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << limit << ": " << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << limit;
    }
}

// Makes sure Ctrl+C ends the wait for a camera that stalled, as any stopped run ends. Example
// failure: the stop is seen only after the 40-second time-out, and the run ends with its error.
TEST(StalledCamera, StopSignalEndsTheWait) {
    auto process = StartTarnwell({"--framerate", "10", "--binning", "4"},
                                 Emulation::Json(R"({"cameras": [{"stallAfter": 3}]})"));
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    // Three results come within 0.3 s; then the camera stalls.
    std::this_thread::sleep_for(1s);
    process->Signal(SIGINT);
    const auto run = process->Wait(10s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{Exact("Processing Unit: CPU")} +
                                           ConnectionReport(4) + Exact(kRuleText) +
                                           Pattern("#grabbed: 2, \\d+\\.\\d\\d fps, 0 errors\\.") +
                                           Counters(3, 0, 0, 3 * kPackets)));
    EXPECT_EQ(run.exitCode, 0);

    // In the latency mode the stop ends the stage, and the second is skipped.
    process = StartTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                            Emulation::Json(R"({"cameras": [{"stallAfter": 3}]})"));
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    std::this_thread::sleep_for(1s);
    process->Signal(SIGINT);
    const auto latencyRun = process->Wait(10s);
    EXPECT_FALSE(latencyRun.timedOut);
    EXPECT_EQ(latencyRun.err, "");
    EXPECT_TRUE(IsLatencyRun(latencyRun.out, 3, std::nullopt));
    EXPECT_EQ(latencyRun.exitCode, 0);
}

class ExtremeRate : public ::testing::TestWithParam<const char*> {};

// Makes sure a camera far faster than any host ends the run at its duration, and at once at a
// stop, with counters that add up. Example failure: the acquisition thread catches up on frames
// it drops for want of a buffer, one by one, holding the lock, and the program's thread waits for
// it for ever, deaf to Ctrl+C and SIGTERM.
TEST_P(ExtremeRate, RunEndsAtItsDurationAndAtAStop) {
    const Emulation camera = Emulation::Json(GetParam());
    const auto run =
        RunTarnwell({"--framerate", "1e9", "--binning", "4", "--duration", "1"}, camera, 30s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(IsFrameRateRun(run.out)) << run.out;
    const RunRecord record = ReadRun(run);
    EXPECT_EQ(record.Packets(), (record.Total() + record.Underruns()) * kPackets);

    auto process = StartTarnwell({"--framerate", "1e9", "--binning", "4"}, camera);
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    std::this_thread::sleep_for(300ms);
    process->Signal(SIGTERM);
    const auto stopped = process->Wait(10s);
    EXPECT_FALSE(stopped.timedOut);
    EXPECT_TRUE(IsFrameRateRun(stopped.out)) << stopped.out;
    EXPECT_EQ(stopped.exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ExtremeRate,
    ::testing::Values(R"({"cameras": [{"maxFrameRate": 1e9, "linkBandwidth": 1e15,
                                       "processing": "real"}]})",
                      R"({"cameras": [{"maxFrameRate": 1e9, "linkBandwidth": 1e14,
                                       "processingScale": 0}]})"),
    [](const ::testing::TestParamInfo<const char*>& info) {
        return info.index == 0 ? "RealProcessing" : "Modelled";
    });

// Makes sure a stop while the sensor prepares its sequence ends the preparation: no frame is
// made. Example failure: the whole sequence is drawn first, and the frame exposed as it ends is
// let finish and counted.
TEST(PreparingCamera, StopSignalEndsThePreparation) {
    // Sixteen frames with their truth at binning 1: seconds of drawing.
    auto process = StartTarnwell({"--enable-disparity", "--enable-error", "--framerate", "1"},
                                 Emulation::Default());
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    process->Signal(SIGINT);
    const auto run = process->Wait(60s);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{Exact("Processing Unit: CPU")} +
                                           ConnectionReport() + Exact(kRuleText) +
                                           Exact("#grabbed: 0, 0 errors.") + Counters(0, 0, 0, 0)));
    EXPECT_EQ(run.exitCode, 0);
}

// Makes sure Ctrl+C ends a software trigger waiting for the control link's acknowledgement.
// Example failure: on a 10-second round trip the run ends 8 s after the signal, with the result
// that came meanwhile.
TEST(SlowControlLink, StopSignalEndsTheTriggerCommand) {
    auto process = StartTarnwell({"--measurement-mode", "latency", "--binning", "4"},
                                 Emulation::Json(R"({"cameras": [{"controlRoundTrip": 10}]})"));
    ASSERT_TRUE(WaitForStopHandler(*process, 30s));
    ASSERT_TRUE(process->WaitForOutput("Measure network transfer time:", 30s));
    std::this_thread::sleep_for(200ms);
    process->Signal(SIGINT);
    const auto run = process->Wait(30s);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(IsLatencyRun(run.out, 0, std::nullopt)) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

// Makes sure a run that reached its limit waits for a reader that paused (Ctrl+S), as any program
// does, and ends whole once the reader goes on. Example failure: the limit counts as a stop
// request, the blocked summary is given up after a second and the run ends with exit 1.
TEST(BlockedOutput, RunAtItsLimitWaitsForItsReader) {
    // A name that makes the report fill the one-page pipe but for a few bytes: the rule after the
    // limit blocks.
    const auto withName = [](std::size_t length) {
        return Emulation::Json(R"({"cameras": [{"friendlyName": ")" + std::string(length, 'n') +
                               R"("}]})");
    };
    const std::vector<std::string> args{"--frames", "1", "--binning", "4"};
    const auto probe = RunTarnwell(args, withName(100));
    const std::size_t before = probe.out.find(kRuleText);
    ASSERT_NE(before, std::string::npos) << probe.out;
    auto process =
        StartTarnwell(args, withName(100 + 4096 - 20 - before), OutputTarget::StalledPipe());
    ASSERT_TRUE(WaitUntilBlockedInWrite(process->Pid(), 30s));
    std::this_thread::sleep_for(1500ms);
    process->ResumeOutput();
    const auto run = process->Wait(30s);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.ends_with("Resend Packet Count   = 0\n")) << run.out;
    EXPECT_EQ(run.exitCode, 0);
}

// Makes sure texts from the camera cannot drive the operator's terminal: control bytes are shown
// escaped, printable text (UTF-8 included) as it is. Example failure: a camera name that clears
// the screen.
TEST(CameraTexts, ControlBytesAreEscaped) {
    const std::string scenario = R"({"transportLayerName": "Producer\u001b]0;x\u0007 GPU\t1",
        "cameras": [{"friendlyName": "cam\u001b[2J\u007fé",
                     "grabFailures": {"every": 1, "description": "bad\u001b[31m"}}]})";
    auto run = RunTarnwell({"--list"}, Emulation::Json(scenario));
    EXPECT_EQ(run.out, "Processing Unit: GPU\\x091\ncam\\x1b[2J\\x7fé\n");
    EXPECT_EQ(run.exitCode, 0);

    run = RunTarnwell({"--frames", "1", "--binning", "4"}, Emulation::Json(scenario));
    EXPECT_NE(run.out.find("Connected to camera cam\\x1b[2J\\x7fé\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.err, "Grab error occurred (e1000014): bad\\x1b[31m\n");

    // An error of the SDK's own.
    run = RunTarnwell({"--list"}, Emulation::Json(R"({"cameras": [{"serialNumber": "s\n"},
                                                                  {"serialNumber": "s\n"}]})"));
    EXPECT_NE(run.err.find("cameras[1].serialNumber 's\\x0a' is already used by cameras[0]\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.exitCode, 1);
}

}  // namespace
}  // namespace Tarnwell::test
