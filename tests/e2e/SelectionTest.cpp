// End-to-end tests of discovery, the processing-unit line, the name filter and the listing.
#include <gtest/gtest.h>

#include "ProgramRun.h"

namespace Tarnwell::test {
namespace {

TEST(Discovery, NoCameraPrintsNothingButTheError) {
    for (const auto& emulation : {Emulation::Cameras(0), Emulation::Scenario("noCamera")}) {
        for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--list"}}) {
            const auto run = RunTarnwell(args, emulation);
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(run.err, "No camera present.\n");
            EXPECT_EQ(run.exitCode, 1);
        }
    }
}

TEST(Discovery, MissingDeviceClassIsReported) {
    const auto run = RunTarnwell({"--list"}, Emulation::Scenario("noDeviceClass"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Failed to create orvel XRV Device Class\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Discovery, ProcessingUnitComesFromTheTransportLayerName) {
    auto run =
        RunTarnwell({"--list", "-n", "*-40051001"}, Emulation::Scenario("gpuTransportLayer"));
    EXPECT_EQ(run.out, "Processing Unit: GPU 2\nVelkorXW-40051001\n");
    EXPECT_EQ(run.exitCode, 0);

    // Not detecting the unit is not an error: the run goes on.
    run = RunTarnwell({"--list", "-n", "*-40051001"}, Emulation::Scenario("unknownTransportLayer"));
    EXPECT_EQ(run.out,
              "Processing Unit: Failed to detect whether depth processing is performed on the GPU "
              "or CPU.\nVelkorXW-40051001\n");
    EXPECT_EQ(run.exitCode, 0);
}

struct ListCase {
    std::string pattern;
    std::string listing;  // the names after the processing-unit line
};

class Listing : public ::testing::TestWithParam<ListCase> {};

TEST_P(Listing, ListsTheMatchingCamerasInEnumerationOrder) {
    const auto run =
        RunTarnwell({"--list", "--name", GetParam().pattern}, Emulation::Scenario("threeCameras"));
    EXPECT_EQ(run.out, "Processing Unit: CPU\n" + GetParam().listing);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitCode, 0);
}

// How a pattern matches is the unit tests'; here, that the listing keeps the enumeration order,
// shows a camera matched by its address by its name, and takes every alternative.
INSTANTIATE_TEST_SUITE_P(Patterns, Listing,
                         ::testing::Values(ListCase{"*", "left-rig\nStereo B\nstereo a\n"},
                                           ListCase{"192.168.0.*", "left-rig\nStereo B\n"},
                                           ListCase{" stereo a | |left* ",
                                                    "left-rig\nstereo a\n"}));

TEST(Listing, NoMatchQuotesThePatternAsTyped) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-n", " Left* | "}, {"-l", "-n", " Left* | "}}) {
        const auto run = RunTarnwell(args, Emulation::Scenario("threeCameras"));
        EXPECT_EQ(run.out, "Processing Unit: CPU\n");
        EXPECT_EQ(run.err, "No camera whose name matches ' Left* | ' found.\n");
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST(Listing, EmptyPatternMatchesOnlyAnEmptyName) {
    for (const std::string pattern : {"", " | |\t"}) {
        auto run = RunTarnwell({"-l", "-n", pattern}, Emulation::Scenario("emptyName"));
        EXPECT_EQ(run.out, "Processing Unit: CPU\n\n");
        EXPECT_EQ(run.exitCode, 0);

        run = RunTarnwell({"-l", "-n", pattern});
        EXPECT_EQ(run.err, "No camera whose name matches '" + pattern + "' found.\n");
        EXPECT_EQ(run.exitCode, 1);
    }
}

// Makes sure the program's own error for an overlong pattern takes the run block's way out,
// after the processing-unit line.
TEST(Listing, OverlongPatternIsRefused) {
    const auto run = RunTarnwell({"-l", "-n", std::string(1025, '?')});
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, "Camera name filter is too long: 1025 characters, at most 1024.\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Selection, InterfaceFailuresEndTheRunAfterTheProcessingUnitLine) {
    auto run = RunTarnwell({}, Emulation::Scenario("interfaceTransportLayerFailure"));
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, "Cannot create transport layer.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = RunTarnwell({}, Emulation::Scenario("interfaceFailure"));
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, "Cannot create interface.\n");
    EXPECT_EQ(run.exitCode, 1);

    // The listing creates no interface, so it does not meet the failure.
    run = RunTarnwell({"-l"}, Emulation::Scenario("interfaceFailure"));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Emulation, UnusableConfigurationEndsTheRunWithOneLine) {
    auto run = RunTarnwell({"-l"}, Emulation{"/nonexistent/scenario.json"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Emulation scenario '/nonexistent/scenario.json': cannot be read (No such file or "
              "directory)\n");
    EXPECT_EQ(run.exitCode, 1);

    run = RunTarnwell({"-l"}, Emulation::Cameras(65));
    EXPECT_EQ(run.err, "ORVEL_EMULATION=65: the emulation serves at most 64 cameras.\n");
    EXPECT_EQ(run.exitCode, 1);

    run = RunTarnwell({"-l"},
                      Emulation::Json(R"({"cameras": [{"friendlyName": "a", "colour": 1}]})"));
    EXPECT_NE(run.err.find("unknown key 'colour' in cameras[0]"), std::string::npos) << run.err;
    EXPECT_EQ(run.exitCode, 1);

    run = RunTarnwell({"-l"}, Emulation::Cameras(3));
    EXPECT_EQ(run.out,
              "Processing Unit: CPU\nVelkorXW-40051001\nVelkorXW-40051002\nVelkorXW-40051003\n");
}

}  // namespace
}  // namespace Tarnwell::test
