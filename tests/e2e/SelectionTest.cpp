// End-to-end tests of discovery, the processing-unit line, the name filter and the listing.
#include <gtest/gtest.h>

#include "Tarnwell.h"

namespace tarnwell::test {
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

INSTANTIATE_TEST_SUITE_P(
    Patterns, Listing,
    ::testing::Values(ListCase{"*", "left-rig\nStereo B\nstereo a\n"},
                      // Case-sensitive; '?' is exactly one character.
                      ListCase{"stereo*", "stereo a\n"},
                      ListCase{"?tereo ?", "Stereo B\nstereo a\n"},
                      // Matched by the address alone, still listed by name.
                      ListCase{"192.168.0.*", "left-rig\nStereo B\n"},
                      ListCase{"10.0.0.7", "stereo a\n"},
                      // Blanks around bars and empty alternatives do not count; blanks inside do.
                      ListCase{" stereo a | |left* ", "left-rig\nstereo a\n"},
                      ListCase{"Stereo B||10.0.0.?", "Stereo B\nstereo a\n"},
                      // Stars in a row mean one star.
                      ListCase{"***rig", "left-rig\n"}));

TEST(Listing, NoMatchQuotesThePatternAsTyped) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-n", " Left* | "}, {"-l", "-n", " Left* | "}}) {
        const auto run = RunTarnwell(args, Emulation::Scenario("threeCameras"));
        EXPECT_EQ(run.out, "Processing Unit: CPU\n");
        EXPECT_EQ(run.err, "No camera whose name matches ' Left* | ' found.\n");
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST(Listing, PartOfANameOrAddressDoesNotMatch) {
    for (const std::string pattern : {"left", "192.168.0.1", "192x168x0x11", "rig"}) {
        const auto run = RunTarnwell({"-l", "-n", pattern}, Emulation::Scenario("threeCameras"));
        EXPECT_EQ(run.err, "No camera whose name matches '" + pattern + "' found.\n");
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

TEST(Listing, LongPatternIsQuotedUpTo255Characters) {
    const std::string pattern(300, 'x');
    const auto run = RunTarnwell({"-l", "-n", pattern});
    const std::string message = "No camera whose name matches '" + pattern + "' found.";
    EXPECT_EQ(run.err, message.substr(0, 255) + "\n");
    EXPECT_EQ(run.exitCode, 1);
}

TEST(Listing, HostilePatternsEndQuicklyWithAnAnswerOrAClearError) {
    // Exponential backtracking in a naive matcher: many stars against a long name that almost
    // matches (a backtracking matcher takes hours here).
    std::string stars;
    for (int i = 0; i < 20; ++i) {
        stars += "*a";
    }
    const auto longName =
        Emulation::Json(R"({"cameras": [{"friendlyName": ")" + std::string(60, 'a') + R"("}]})");
    auto run = RunTarnwell({"-l", "-n", stars + "*b"}, longName, std::chrono::seconds(20));
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.err, "No camera whose name matches '" + stars + "*b' found.\n");
    EXPECT_EQ(run.exitCode, 1);

    // Too long to compile safely: refused before it reaches the expression library.
    run = RunTarnwell({"-l", "-n", std::string(1025, '?')});
    EXPECT_EQ(run.out, "Processing Unit: CPU\n");
    EXPECT_EQ(run.err, "Camera name filter is too long: 1025 characters, at most 1024.\n");
    EXPECT_EQ(run.exitCode, 1);

    // At the limit, and many stars that fold into one, are fine.
    run = RunTarnwell({"-l", "-n", std::string(1024, '*')});
    EXPECT_EQ(run.exitCode, 0);
    run = RunTarnwell({"-l", "-n", std::string(1000, '?') + "|*-40051002"});
    EXPECT_EQ(run.out, "Processing Unit: CPU\nVelkorXW-40051002\n");
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
}  // namespace tarnwell::test
