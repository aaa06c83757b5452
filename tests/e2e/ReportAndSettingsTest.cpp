// End-to-end tests of the camera configuration and the connection report.
#include <gtest/gtest.h>

#include "ProgramRun.h"
#include "RunRecord.h"

namespace Tarnwell::test {
namespace {

const Line kUnit = Exact("Processing Unit: CPU");
const Line kRule = Exact("=================================================");

TEST(Report, ShowsTheCameraAsConfiguredBeforeTheComponentsAreWritten) {
    // The payload still holds the disparity the camera had when opened, not the intensity
    // alone that the run then selects.
    auto run = RunTarnwell({"--frames", "1", "--framerate", "20"});
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(1) + kRule +
                                           Exact("#grabbed: 1, 0 errors.") +
                                           Counters(1, 0, 0, kPacketsAtBinning1)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);

    run = RunTarnwell({"--frames", "1", "--binning", "4", "--quality-mode", "Low", "-n", "*1002",
                       "--enable-error"});
    EXPECT_TRUE(OutputMatches(run.out, Lines("Processing Unit: CPU\n"
                                             "Connected to camera VelkorXW-40051002\n"
                                             "Serial Number          = 40051002\n"
                                             "Image binning          = 4 \n"
                                             "Intensity image width  = 480 px\n"
                                             "Intensity image height = 300 px\n"
                                             "Depth quality          = Low\n"
                                             "Disparity image width  = 60 px\n"
                                             "Disparity image height = 37 px\n"
                                             "Payload size           = 148440 B\n"
                                             "GEV packet delay       = 0 ns\n"
                                             "GEV packet size        = 1500 B\n") +
                                           kRule + Pattern("#grabbed: 1, .*") + AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Report, UnreadableStreamChannelFeaturesAreLeftOut) {
    auto run = RunTarnwell({"--frames", "1"}, Emulation::Scenario("unreadablePacketDelay"));
    auto report = ConnectionReport(1);
    report.erase(report.end() - 2);  // no packet delay, the packet size stays
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + report + kRule +
                                           Pattern("#grabbed: .*") + AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);

    run = RunTarnwell({"--frames", "1"}, Emulation::Scenario("unreadableStreamChannel"));
    report.pop_back();
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + report + kRule +
                                           Pattern("#grabbed: .*") + AnyCounters()));
    EXPECT_EQ(run.exitCode, 0);
}

struct SettingErrorCase {
    std::vector<std::string> args;
    std::string error;
};

class SettingError : public ::testing::TestWithParam<SettingErrorCase> {};

// The camera refuses the setting; the run ends at once, before the report.
TEST_P(SettingError, EndsTheRunBeforeTheReport) {
    const auto run = RunTarnwell(GetParam().args);
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, GetParam().error + "\n");
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingError,
    ::testing::Values(
        SettingErrorCase{{"--quality-mode", "Ultra"},
                         "[VkrDepthQuality] no entry 'Ultra'; entries: Low, Medium, High, Full"},
        // Entries are case-sensitive and taken as typed.
        SettingErrorCase{{"--quality-mode", "high"},
                         "[VkrDepthQuality] no entry 'high'; entries: Low, Medium, High, Full"},
        SettingErrorCase{{"--framerate", "500"},
                         "[AcquisitionFrameRate] value 500 above maximum 100"},
        SettingErrorCase{{"--framerate", "0.25"},
                         "[AcquisitionFrameRate] value 0.25 below minimum 0.5"},
        SettingErrorCase{{"--framerate", "nan"},
                         "[AcquisitionFrameRate] value nan is not a number"},
        SettingErrorCase{{"--binning", "3"}, "[BinningHorizontal] value 3 not one of 1, 2, 4"},
        SettingErrorCase{{"--binning", "-1"}, "[BinningHorizontal] value -1 not one of 1, 2, 4"}));

TEST(Configuration, CameraWithoutIlluminationEndsBeforeTheReport) {
    const auto run = RunTarnwell({}, Emulation::Scenario("missingIllumination"));
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, "NULL pointer dereferenced\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Configuration, MissingComponentIsTheCamerasErrorWhereItMustBeSelected) {
    // The report selects the disparity component.
    auto run = RunTarnwell({}, Emulation::Scenario("missingDisparity"));
    auto report = ConnectionReport(1);
    report.resize(5);
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + report));
    EXPECT_EQ(run.err,
              "[ComponentSelector] no entry 'Disparity'; entries: IntensityCombined, Intensity, "
              "Confidence, Error, RawCombined\n");
    EXPECT_EQ(run.exitCode, 1);

    // Without a raw combined entry the frame rate runs (nothing selects it there) ...
    run = RunTarnwell({"--frames", "1"}, Emulation::Scenario("missingComponents"));
    EXPECT_EQ(run.exitCode, 0) << run.err;

    // ... and the network transfer stage, which needs it, fails at once.
    run = RunTarnwell({"--measurement-mode", "latency"}, Emulation::Scenario("missingComponents"));
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(1) +
                                           Lines("\n\nMeasure network transfer time:\n")));
    EXPECT_EQ(run.err,
              "[ComponentSelector] no entry 'RawCombined'; entries: IntensityCombined, Intensity, "
              "Disparity, Confidence, Error\n");
    EXPECT_EQ(run.exitCode, 1);
}

// Makes sure --enable-raw-combined measures the raw pair, which travels alone in the
// single-component mode. Example failure: the selection written in the synchronized mode enables
// nothing, and the run ends with "no image component is enabled".
TEST(Configuration, RawCombinedIsMeasuredAlone) {
    const auto run = RunTarnwell(
        {"--enable-raw-combined", "--enable-disparity", "--frames", "2", "--framerate", "20"});
    // Three raw pairs.
    EXPECT_TRUE(OutputMatches(run.out, std::vector<Line>{kUnit} + ConnectionReport(1) + kRule +
                                           Pattern("#grabbed: 2, \\d+\\.\\d\\d fps, 0 errors\\.") +
                                           Counters(3, 0, 0, 3 * kPacketsAtBinning1)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
}  // namespace Tarnwell::test
