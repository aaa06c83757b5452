// Tests of the program's camera phases against the SDK's emulated cameras.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Configuration.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "ProgramSession.h"
#include "StandardOutput.h"
#include "Tarnwell.h"

namespace Tarnwell::test {
namespace {

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class CameraPhasesTest : public testing::Test {
protected:
    // Two default cameras with the modelled processing time.
    ProgramSession program_;
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
    Orvel::CVelkorUniversalInstantCamera& camera = program_.Open({});
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

    ConfigureComponents(camera, GetParam().mode, GetParam().selection);
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

// Makes sure a stop requested before the first result ends the first series after it, without
// a sample, and skips the second series.
TEST_F(CameraPhasesTest, StopDuringFirstLatencyResult) {
    Orvel::CVelkorUniversalInstantCamera& camera = program_.Open({"--measurement-mode", "latency"});
    stopRequested = true;
    std::string text;
    {
        const CapturedOutput output;
        MeasureLatency(camera, SelectComponents(program_.Options()), program_.Options());
        text = output.str();
    }
    EXPECT_EQ(CountOf(text, "Latency: "), 1U) << text;
    EXPECT_NE(text.find("Max. network transfer time: no sample recorded\n\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("Measure system latency:"), std::string::npos) << text;
    EXPECT_FALSE(camera.IsGrabbing());
}

}  // namespace
}  // namespace Tarnwell::test
