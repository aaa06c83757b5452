// End-to-end matrix of camera faults during a measurement: grab failures at several rates, packet
// loss recovered and unrecoverable, buffer underruns and a camera that stops. Each run prints the
// lines it must, and its counters add up with nothing lost or counted twice.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

// A camera that ends its acquisition with result `results`: every result is retrieved, and
// none is produced after it, so the counts are exact.
std::string Camera(long long results, const std::string& extra = "") {
    return R"({"seed": 5, "cameras": [{"stopGrabbingAfter": )" + std::to_string(results) +
           (extra.empty() ? "" : ", " + extra) + "}]}";
}

const std::vector<std::string> kFrameRate{"--framerate", "50", "--binning", "4"};
const std::vector<std::string> kLatency{"--measurement-mode", "latency", "--frames", "5",
                                        "--binning",          "4"};

std::string Repeat(const std::string& line, long long count) {
    std::string text;
    for (long long i = 0; i < count; ++i) {
        text += line;
    }
    return text;
}

// ---- Grab failures ----

class GrabFailureRate : public ::testing::TestWithParam<long long> {};

TEST_P(GrabFailureRate, FrameRateRunCountsEachFailureOnce) {
    const long long every = GetParam();
    const auto run = RunTarnwell(
        kFrameRate,
        Emulation::Json(Camera(21, R"("grabFailures": {"every": )" + std::to_string(every) +
                                       R"(, "errorCode": 255, "description": "x"})")));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, Repeat("Grab error occurred (ff): x\n", Failures(21, every)));
    // The first result opens the count: failures among results 2 to 21.
    const long long counted = Failures(21, every) - Failures(1, every);
    EXPECT_TRUE(OutputMatches(
        run.out,
        std::vector<Line>{Exact("Processing Unit: CPU")} + ConnectionReport(4) + Exact(kRuleText) +
            Pattern("#grabbed: 20, \\d+\\.\\d\\d fps, " + std::to_string(counted) + " errors\\.") +
            Counters(21, Failures(21, every), 0, 21 * kPackets)));
}

TEST_P(GrabFailureRate, LatencyRunTimesAndCountsEachFailure) {
    const long long every = GetParam();
    const auto run =
        RunTarnwell(kLatency, Emulation::Json(R"({"cameras": [{"grabFailures": {"every": )" +
                                              std::to_string(every) + "}}]}"));
    EXPECT_EQ(run.exitCode, 0);
    // Ten results in the transfer stage, five in the system stage; the default text names each.
    std::string expected;
    for (long long result = every; result <= 15; result += every) {
        expected += "Grab error occurred (e1000014): Injected grab failure at result " +
                    std::to_string(result) + "\n";
    }
    EXPECT_EQ(run.err, expected);
    EXPECT_TRUE(IsLatencyRun(run.out, 10, 5));
    EXPECT_EQ(ReadRun(run).counters,
              (std::vector<long long>{15, Failures(15, every), 0, 15 * kPackets, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Every, GrabFailureRate, ::testing::Values(1, 2, 5, 10));

// ---- Packet loss ----

struct LossCase {
    const char* name;
    const char* rate;
    bool recovered;  // every loss is made good by a resend
};

void PrintTo(const LossCase& c, std::ostream* out) {
    *out << c.name;
}

class PacketLoss : public ::testing::TestWithParam<LossCase> {};

// Every packet was received or finally lost; one resend request covers a run of consecutive lost
// packets, in two rounds at most; each failed result names its lost packets, which add up to the
// counter.
void ExpectLossAddsUp(const ProcessResult& run, const RunRecord& record, long long results,
                      long long packetsPerResult) {
    ASSERT_EQ(record.counters.size(), 7u) << run.out;
    EXPECT_EQ(record.Total(), results);
    EXPECT_EQ(record.Underruns(), 0);
    EXPECT_EQ(record.Packets() + record.FailedPackets(), results * packetsPerResult);
    EXPECT_LE(record.ResendRequests(), 2 * (record.ResentPackets() + record.FailedPackets()));
    if (record.FailedPackets() > 0) {
        EXPECT_GE(record.ResendRequests(), 2);
    }
    EXPECT_EQ(static_cast<long long>(record.grabErrors.size()), record.Failed());
    const std::regex incomplete(
        "Grab error occurred \\(e1000014\\): Buffer incomplete: (\\d+) of " +
        std::to_string(packetsPerResult) + " packets lost");
    long long lost = 0;
    for (const std::string& line : record.grabErrors) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, incomplete)) << line;
        lost += std::stoll(match[1]);
    }
    EXPECT_EQ(lost, record.FailedPackets());
}

TEST_P(PacketLoss, FrameRateRunReportsWhatResendsCouldNotRecover) {
    const auto run = RunTarnwell(
        kFrameRate,
        Emulation::Json(Camera(41, std::string(R"("packetLossRate": )") + GetParam().rate)));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(IsFrameRateRun(run.out));
    const RunRecord record = ReadRun(run);
    ExpectLossAddsUp(run, record, 41, kPackets);
    EXPECT_GT(record.ResendRequests(), 0);
    if (GetParam().recovered) {
        EXPECT_EQ(record.Failed(), 0);
        EXPECT_EQ(record.FailedPackets(), 0);
        EXPECT_GT(record.ResentPackets(), 0);
    } else {
        EXPECT_GT(record.Failed(), 0);
    }
    // The summary counts the failures of results 2 to 41.
    ASSERT_TRUE(record.errors.has_value());
    EXPECT_LE(*record.errors, record.Failed());
    EXPECT_GE(*record.errors, record.Failed() - 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, PacketLoss,
                         ::testing::Values(LossCase{"Recovered", "0.001", true},
                                           LossCase{"PartlyLost", "0.3", false},
                                           LossCase{"AllLost", "1", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PacketLoss, EveryPacketLostFailsEveryResultExactly) {
    // In both stages, each pair lost whole: one request for the whole run of packets, twice.
    const auto run =
        RunTarnwell(kLatency, Emulation::Json(R"({"cameras": [{"packetLossRate": 1}]})"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(
        run.err,
        Repeat("Grab error occurred (e1000014): Buffer incomplete: 199 of 199 packets lost\n", 15));
    EXPECT_TRUE(IsLatencyRun(run.out, 10, 5));
    EXPECT_EQ(ReadRun(run).counters,
              (std::vector<long long>{15, 15, 0, 0, 15 * kPackets, 2 * 15, 0}));
}

TEST(PacketLoss, InjectedFailureWinsOverLoss) {
    const auto run = RunTarnwell(
        kFrameRate, Emulation::Json(Camera(
                        4, R"("packetLossRate": 1, "grabFailures": {"every": 2, "errorCode": 255,
                  "description": "x"})")));
    EXPECT_EQ(run.exitCode, 0);
    const std::string lost =
        "Grab error occurred (e1000014): Buffer incomplete: 199 of 199 packets lost\n";
    const std::string injected = "Grab error occurred (ff): x\n";
    EXPECT_EQ(run.err, lost + injected + lost + injected);
    EXPECT_EQ(ReadRun(run).counters, (std::vector<long long>{4, 4, 0, 0, 4 * kPackets, 2 * 4, 0}));
}

// ---- Buffer underruns ----

class Underrun : public ::testing::TestWithParam<int> {};

// A camera at 100000 frames a second against a reader that cannot keep pace with a small pool:
// frames due while every buffer is queued or held are dropped, counted, and never delivered.
TEST_P(Underrun, DroppedFramesAreCountedOnceAndNeverDelivered) {
    const auto run =
        RunTarnwell({"--framerate", "100000", "--binning", "4"},
                    Emulation::Json(Camera(2000, R"("maxFrameRate": 100000, "linkBandwidth": 1e12,
                                   "processingScale": 0, "bufferCount": )" +
                                                     std::to_string(GetParam()))));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(IsFrameRateRun(run.out));
    const RunRecord record = ReadRun(run);
    ASSERT_EQ(record.counters.size(), 7u) << run.out;
    EXPECT_EQ(record.grabbed, 1999);
    EXPECT_EQ(record.Total(), 2000);
    EXPECT_EQ(record.Failed(), 0);
    // Delivered and dropped frames make up every frame the camera produced.
    EXPECT_EQ(record.Packets(), (record.Total() + record.Underruns()) * kPackets);
    if (GetParam() == 1) {
        // One buffer, held by the reader between two retrievals: wake-ups alone take longer
        // than the 10 microseconds between frames.
        EXPECT_GT(record.Underruns(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Pool, Underrun, ::testing::Values(1, 2, 8));

// ---- A camera that stops ----

struct StopCase {
    const char* name;
    bool latency;
    long long lastResult;
    int exitCode;
};

void PrintTo(const StopCase& c, std::ostream* out) {
    *out << c.name;
}

class CameraStops : public ::testing::TestWithParam<StopCase> {};

TEST_P(CameraStops, EndsTheMeasurementWithExactCounts) {
    const StopCase& c = GetParam();
    const auto run =
        RunTarnwell(c.latency ? kLatency : kFrameRate, Emulation::Json(Camera(c.lastResult)));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    const RunRecord record = ReadRun(run);
    if (!c.latency) {
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(IsFrameRateRun(run.out));
        EXPECT_EQ(record.grabbed, c.lastResult == 1 ? 1 : c.lastResult - 1);
        EXPECT_EQ(record.counters,
                  (std::vector<long long>{c.lastResult, 0, 0, c.lastResult * kPackets, 0, 0, 0}));
    } else if (c.exitCode == 0) {
        // Stopped in the system stage: it ends like a limit.
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(IsLatencyRun(run.out, 10, c.lastResult - 10));
        EXPECT_EQ(record.Total(), c.lastResult);
    } else {
        // Stopped in the transfer stage: the system stage cannot start the camera again.
        EXPECT_EQ(run.err, "Cannot start grabbing: the camera ended its acquisition with result " +
                               std::to_string(c.lastResult) +
                               "; it grabs again once it is closed and opened.\n");
        EXPECT_EQ(record.transferResults, c.lastResult);
        EXPECT_TRUE(record.counters.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(After, CameraStops,
                         ::testing::Values(StopCase{"FrameRateFirstResult", false, 1, 0},
                                           StopCase{"FrameRateSecondResult", false, 2, 0},
                                           StopCase{"FrameRateLater", false, 12, 0},
                                           StopCase{"LatencyTransferStage", true, 4, 1},
                                           StopCase{"LatencySystemStage", true, 12, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tarnwell::test
