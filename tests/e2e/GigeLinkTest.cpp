// The program against cameras on a real GigE Vision link: the device program serving emulated
// cameras on loopback addresses, the program finding them through ORVEL_GIGE. Every test runs in
// a network namespace of its own with only loopback up.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "DeviceProgram.h"
#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

using namespace std::chrono_literals;

// Makes sure the program finds, configures and measures cameras over a real GigE Vision link with
// the same output as over the emulated one, and that the counters follow GVSP's packet
// arithmetic: the raw pair in 199 packets a frame at binning 4. The rate is not checked: over a
// real link it is the host's arrival times, which a busy host shifts (the emulated transport's
// tests check the camera's rate). Example failures: a camera of the device missing from the
// listing; a counter that counts packets twice or frames it never had.
TEST(GigeLink, ListsConfiguresAndMeasures) {
    DeviceProgram device;
    const auto listing = RunAgainst(device, {"--list"});
    EXPECT_EQ(listing.out, "Processing Unit: CPU\nVelkorXW-40051001\nVelkorXW-40051002\n");
    EXPECT_EQ(listing.err, "");
    EXPECT_EQ(listing.exitCode, 0);

    const auto run = RunAgainst(device, {"--framerate", "20", "--frames", "20", "--binning", "4"});
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.exitCode, 0);
    EXPECT_TRUE(OutputMatches(run.out, Lines("Processing Unit: CPU\n") + ConnectionReport(4) +
                                           Exact(kRuleText) +
                                           Pattern("#grabbed: 20, \\d+\\.\\d\\d fps, 0 errors\\.") +
                                           Counters(21, 0, 0, 21 * kPackets)));

    const auto latency =
        RunAgainst(device, {"--measurement-mode", "latency", "--frames", "5", "--binning", "4"});
    EXPECT_EQ(latency.err, "");
    ASSERT_EQ(latency.exitCode, 0);
    const RunRecord record = ReadRun(latency);
    EXPECT_EQ(record.transferResults, 10);
    EXPECT_EQ(record.systemResults, 5);
    // Triggered frames come through a UDP socket, whose buffer Aravis enlarges only as the first
    // frame begins: packets of that frame may be asked for again, and all arrive.
    EXPECT_EQ(std::vector<long long>(record.counters.begin(), record.counters.begin() + 5),
              (std::vector<long long>{15, 0, 0, 15 * kPackets, 0}));
}

// Makes sure a camera another program controls is refused at once, with the emulated camera's
// line, and the first run goes on to its end. A frame the first one's receiver gave up while the
// second program loaded a busy host (a sanitizer build) may be a failed grab. Example failure:
// the second program waits for the control channel's time-outs, or takes control from the first.
TEST(GigeLink, ACameraInUseIsRefusedAtOnce) {
    DeviceProgram device;
    auto first = StartAgainst(device, {"--framerate", "10", "--duration", "3", "--binning", "4"});
    ASSERT_TRUE(first->WaitForOutput("GEV packet size", 30s)) << first->Error();
    const auto started = std::chrono::steady_clock::now();
    const auto second = RunAgainst(device, {"--binning", "4"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);  // Aravis's time-outs: seconds
    EXPECT_EQ(second.out, "Processing Unit: CPU\n");
    EXPECT_EQ(second.err,
              "Cannot open device 'VelkorXW-40051001': access denied; another application has it "
              "open for control.\n");
    EXPECT_EQ(second.exitCode, 1);
    const auto result = first->Wait(30s);
    ExpectOnlyGrabErrors(result.err);
    EXPECT_NE(result.out.find("\n#grabbed: "), std::string::npos) << result.out;
    EXPECT_EQ(result.exitCode, 0);
}

// Makes sure packets the device loses are asked for again and recovered, and the counters say so
// and still add up. Losses come in bursts, some of which take more than a quarter of a frame.
// Example failure: lost packets make failed frames although resends would have recovered them
// (the receiver stops asking once a share of a frame is missing), or the resent ones are counted
// twice.
TEST(GigeLink, LostPacketsAreResentAndCounted) {
    DeviceProgram device(R"({"cameras": [{"packetLossRate": 0.1, "lossBurstLength": 50}]})", 1);
    const auto run = RunAgainst(device, {"--framerate", "20", "--frames", "40", "--binning", "4"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const RunRecord record = ReadRun(run);
    // When grabbing stops, a frame whose resends are still on their way and the one behind it
    // may both be on the link: each arrives, or is given up and counted as failed.
    EXPECT_LE(record.counters[1], 2) << run.err;
    const long long frames = record.Total() + record.Underruns();
    EXPECT_GE(frames, 41);
    EXPECT_LE(frames, 42 + record.counters[1]);
    EXPECT_EQ(record.counters[3] + record.counters[4], frames * kPackets);
    EXPECT_GT(record.counters[5], 0);  // requests
    EXPECT_GT(record.counters[6], 0);  // recovered
    EXPECT_LE(record.counters[6], record.counters[3]);
}

}  // namespace
}  // namespace Tarnwell::test
