// Tests of the program's camera phases against the SDK's emulated cameras.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Configuration.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "ProgramFixture.h"
#include "Scenario.h"
#include "Tarnwell.h"

namespace Tarnwell {
namespace {

using test::CapturedOutput;

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class CameraPhasesTest : public testing::Test, protected test::ProgramTest {
protected:
    // Two default cameras with the modelled processing time.
    void SetUp() override { StartSdk(tarnwell::test::ModelledDefaultCameras()); }
    void TearDown() override { StopSdk(); }

    void ParseArguments(std::vector<const char*> arguments) {
        arguments.insert(arguments.begin(), "tarnwell");
        po::options_description description("Options");
        DeclareOptions(description);
        ParseOptions(static_cast<int>(arguments.size()), arguments.data(), description, options_);
    }

    Orvel::CVelkorUniversalInstantCamera& OpenConfiguredCamera() {
        {
            const CapturedOutput output;
            EXPECT_EQ(SelectCamera(options_, selection_.emplace()), SelectionOutcome::Opened);
        }
        Orvel::CVelkorUniversalInstantCamera& camera = *selection_->camera;
        ApplyCameraSettings(camera, options_);
        return camera;
    }

    po::variables_map options_;
};

struct WriteOrderCase {
    const char* name;
    std::string mode;
    ComponentSelection selection;
    std::vector<std::string> writes;
};

class ConfigureComponentsTest : public CameraPhasesTest,
                                public testing::WithParamInterface<WriteOrderCase> {};

// Makes sure every component is selected before its enable state is written, in the fixed
// order, and that the raw images are written only in the single-component mode. Example
// failure: the enable state written to whichever component was selected before.
TEST_P(ConfigureComponentsTest, WritesInOrder) {
    ParseArguments({});
    Orvel::CVelkorUniversalInstantCamera& camera = OpenConfiguredCamera();
    GenApi::INodeMap& nodes = camera.GetNodeMap();
    std::vector<std::string> writes;
    for (const char* name : {"VkrComponentMode", "ComponentSelector"}) {
        GenApi::Register(nodes.GetNode(name), [&writes](GenApi::INode* node) {
            writes.push_back(node->GetName().str() + "=" +
                             GenApi::CEnumerationPtr(node)->GetValue().str());
        });
    }
    GenApi::Register(nodes.GetNode("ComponentEnable"), [&writes](GenApi::INode* node) {
        writes.push_back("ComponentEnable=" +
                         std::to_string(GenApi::CBooleanPtr(node)->GetValue() ? 1 : 0));
    });

    const ComponentSelection& s = GetParam().selection;
    ConfigureComponents(camera, GetParam().mode, s.intensity, s.intensityCombined, s.disparity,
                        s.confidence, s.error, s.rawCombined);
    EXPECT_EQ(writes, GetParam().writes);
}

std::vector<std::string> FiveComponentWrites(bool intensity) {
    return {"ComponentSelector=IntensityCombined",
            "ComponentEnable=0",
            "ComponentSelector=Intensity",
            intensity ? "ComponentEnable=1" : "ComponentEnable=0",
            "ComponentSelector=Disparity",
            "ComponentEnable=0",
            "ComponentSelector=Confidence",
            "ComponentEnable=0",
            "ComponentSelector=Error",
            "ComponentEnable=0"};
}

std::vector<std::string> Writes(const char* mode, std::vector<std::string> components,
                                std::vector<std::string> raw = {}) {
    std::vector<std::string> writes = {std::string("VkrComponentMode=") + mode};
    writes.insert(writes.end(), components.begin(), components.end());
    writes.insert(writes.end(), raw.begin(), raw.end());
    return writes;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConfigureComponentsTest,
    testing::Values(
        WriteOrderCase{"AlternateIntensity", "SynchronizedAlternateComponents",
                       ComponentSelection{true, false, false, false, false, false},
                       Writes("SynchronizedAlternateComponents", FiveComponentWrites(true))},
        WriteOrderCase{"AlternateRawNotWritten", "SynchronizedAlternateComponents",
                       ComponentSelection{false, false, false, false, false, true},
                       Writes("SynchronizedAlternateComponents", FiveComponentWrites(false))},
        WriteOrderCase{"SingleRaw", "SingleComponent",
                       ComponentSelection{false, false, false, false, false, true},
                       Writes("SingleComponent", FiveComponentWrites(false),
                              {"ComponentSelector=RawCombined", "ComponentEnable=1"})}),
    [](const testing::TestParamInfo<WriteOrderCase>& info) { return info.param.name; });

struct FrameLimitCase {
    const char* name;
    std::vector<const char*> arguments;
    std::string grabbed;
};

class FrameRateLimitTest : public CameraPhasesTest,
                           public testing::WithParamInterface<FrameLimitCase> {};

// Makes sure the limits end the run at the documented result and the summary shows a rate.
TEST_P(FrameRateLimitTest, EndsAtLimit) {
    std::vector<const char*> arguments = {"--framerate", "50"};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    ParseArguments(arguments);
    Orvel::CVelkorUniversalInstantCamera& camera = OpenConfiguredCamera();
    Orvel::CGrabResultPtr grabResult;
    std::string text;
    {
        const CapturedOutput output;
        MeasureFrameRate(camera, grabResult, options_);
        text = output.str();
    }
    camera.StopGrabbing();
    EXPECT_TRUE(stopRequested);
    EXPECT_EQ(text.rfind("=================================================\n#grabbed: " +
                             GetParam().grabbed + ", ",
                         0),
              0U)
        << text;
    EXPECT_NE(text.find(" fps, 0 errors.\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Limits, FrameRateLimitTest,
                         testing::Values(FrameLimitCase{"NoFrames", {"--frames", "0"}, "1"},
                                         FrameLimitCase{"OneFrame", {"--frames", "1"}, "1"},
                                         FrameLimitCase{"ThreeFrames", {"--frames", "3"}, "3"},
                                         FrameLimitCase{"NoTime", {"--duration", "0"}, "1"}),
                         [](const testing::TestParamInfo<FrameLimitCase>& info) {
                             return info.param.name;
                         });

// Makes sure a system-latency series of one result reports that it has no sample. Example
// failure: "Avg. system latency: nan ms" and garbage for the minimum and maximum.
TEST_F(CameraPhasesTest, LatencySeriesWithoutSample) {
    ParseArguments({"--measurement-mode", "latency", "--frames", "1"});
    Orvel::CVelkorUniversalInstantCamera& camera = OpenConfiguredCamera();
    std::string text;
    {
        const CapturedOutput output;
        MeasureLatency(camera, SelectComponents(options_), options_);
        text = output.str();
    }
    camera.StopGrabbing();
    EXPECT_EQ(CountOf(text, "Latency: "), 11U) << text;
    EXPECT_NE(text.find("Avg. network transfer time: "), std::string::npos) << text;
    EXPECT_EQ(CountOf(text, "network transfer time: no sample recorded"), 0U) << text;
    EXPECT_NE(text.find("Avg. system latency: no sample recorded\n"
                        "Min. system latency: no sample recorded\n"
                        "Max. system latency: no sample recorded\n\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
}

// Makes sure a stop requested before the first result ends the first series after it, without
// a sample, and skips the second series.
TEST_F(CameraPhasesTest, StopDuringFirstLatencyResult) {
    ParseArguments({"--measurement-mode", "latency"});
    Orvel::CVelkorUniversalInstantCamera& camera = OpenConfiguredCamera();
    stopRequested = true;
    std::string text;
    {
        const CapturedOutput output;
        MeasureLatency(camera, SelectComponents(options_), options_);
        text = output.str();
    }
    EXPECT_EQ(CountOf(text, "Latency: "), 1U) << text;
    EXPECT_NE(text.find("Max. network transfer time: no sample recorded\n\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Measure system latency:"), std::string::npos) << text;
    EXPECT_FALSE(camera.IsGrabbing());
}

}  // namespace
}  // namespace Tarnwell
