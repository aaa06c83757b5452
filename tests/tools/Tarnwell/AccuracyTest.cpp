// Tests that the frame rates the measurement prints are the emulated camera's true rate, with
// bounds loose enough for a busy machine; the benchmarks in bench/ hold the tight ones.

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Configuration.h"
#include "Discovery.h"
#include "Measurement.h"
#include "Orvel/Orvel.h"
#include "ProgramFixture.h"
#include "Tarnwell.h"

namespace Tarnwell {
namespace {

using test::CapturedOutput;

struct RateCase {
    const char* name;
    const char* framerate;
    double rate;
};

class FrameRateAccuracyTest : public testing::TestWithParam<RateCase>, protected test::ProgramTest {
protected:
    // At binning 4 a 10 Gbit/s link and the modelled rectification leave 1 kHz to the frame rate.
    void SetUp() override {
        StartSdk(R"({"cameras": [{"maxFrameRate": 1000, "linkBandwidth": 1e10,
            "processing": "modelled"}]})");
    }
    void TearDown() override { StopSdk(); }
};

double RateOf(const std::string& line) {
    static const std::regex rate(R"((\d+\.\d\d) fps, 0 errors\.)");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(line, match, rate)) << line;
    return match.empty() ? 0 : std::stod(match[1]);
}

// Makes sure the summary and the window line over six seconds read the camera's rate. Example
// failure: a rate over results rather than frame intervals, 5 % high at 2 Hz over ten seconds,
// or a window that starts a frame early.
TEST_P(FrameRateAccuracyTest, SummaryAndWindowReadTheCamerasRate) {
    const char* arguments[] = {
        "tarnwell", "--framerate", GetParam().framerate, "--binning", "4", "--duration", "6"};
    po::variables_map options;
    po::options_description description("Options");
    DeclareOptions(description);
    ParseOptions(7, arguments, description, options);
    std::string text;
    {
        const CapturedOutput output;
        SelectCamera(options, selection_.emplace());
        auto& camera = *selection_->camera;
        ApplyCameraSettings(camera, options);
        const ComponentSelection components = SelectComponents(options);
        ConfigureComponents(camera, "SynchronizedAlternateComponents", components.intensity,
                            components.intensityCombined, components.disparity,
                            components.confidence, components.error, components.rawCombined);
        Orvel::CGrabResultPtr grabResult;
        MeasureFrameRate(camera, grabResult, options);
        camera.StopGrabbing();
        text = output.str();
    }
    std::vector<std::string> windows;
    std::string summary;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("#grabbed: ")) {
            summary = line;
        } else if (line.ends_with(" fps, 0 errors.")) {
            windows.push_back(line);
        }
    }
    const double rate = GetParam().rate;
    EXPECT_NEAR(RateOf(summary), rate, rate * 0.01) << text;
    ASSERT_EQ(windows.size(), 1U) << text;
    EXPECT_NEAR(RateOf(windows[0]), rate, rate * 0.03) << text;
}

INSTANTIATE_TEST_SUITE_P(Rates, FrameRateAccuracyTest,
                         testing::Values(RateCase{"TwoHertz", "2", 2.0},
                                         RateCase{"ThirtyHertz", "30", 30.0},
                                         RateCase{"OneKilohertz", "1000", 1000.0}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace Tarnwell
