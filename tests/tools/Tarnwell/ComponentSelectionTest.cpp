// Unit tests of the component selection that the component switches ask for.
#include "Configuration.h"

#include <vector>

#include <gtest/gtest.h>

#include "ProgramSession.h"

#include "Tarnwell.h"

namespace Tarnwell::test {
namespace {

struct SelectionCase {
    const char* name;
    std::vector<const char*> switches;
    ComponentSelection expected;
};

class SelectComponentsTest : public testing::TestWithParam<SelectionCase> {};

ComponentSelection Selection(bool intensity, bool intensityCombined, bool disparity,
                             bool confidence, bool error, bool rawCombined) {
    return {intensity, intensityCombined, disparity, confidence, error, rawCombined};
}

// Makes sure raw combined excludes the others and intensity is only the fallback. Example
// failure: "--enable-error" alone also sends intensity.
TEST_P(SelectComponentsTest, SelectsFromSwitches) {
    EXPECT_EQ(SelectComponents(ParseArguments(GetParam().switches)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, SelectComponentsTest,
    testing::Values(
        SelectionCase{"None", {}, Selection(true, false, false, false, false, false)},
        SelectionCase{"RawCombined",
                      {"--enable-raw-combined"},
                      Selection(false, false, false, false, false, true)},
        SelectionCase{"RawCombinedWithDisparity",
                      {"--enable-disparity", "--enable-raw-combined"},
                      Selection(false, false, false, false, false, true)},
        SelectionCase{"RawCombinedWithAll",
                      {"--enable-disparity", "--enable-intensity", "--enable-intensity-combined",
                       "--enable-confidence", "--enable-error", "--enable-raw-combined"},
                      Selection(false, false, false, false, false, true)},
        SelectionCase{
            "ErrorAlone", {"--enable-error"}, Selection(false, false, false, false, true, false)},
        SelectionCase{"IntensityAlone",
                      {"--enable-intensity"},
                      Selection(true, false, false, false, false, false)},
        SelectionCase{"IntensityCombinedAlone",
                      {"--enable-intensity-combined"},
                      Selection(false, true, false, false, false, false)},
        SelectionCase{"DisparityAndConfidence",
                      {"--enable-disparity", "--enable-confidence"},
                      Selection(false, false, true, true, false, false)},
        SelectionCase{"AllFive",
                      {"--enable-disparity", "--enable-intensity", "--enable-intensity-combined",
                       "--enable-confidence", "--enable-error"},
                      Selection(true, true, true, true, true, false)}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace Tarnwell::test
