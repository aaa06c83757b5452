// Unit tests of the command-line options and of the program's own errors.
#include "Tarnwell.h"

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HelpText.h"
#include "Orvel/Orvel.h"
#include "ProgramSession.h"

namespace Tarnwell::test {
namespace {

TEST(OptionsTest, EveryValueOptionHasItsDefault) {
    const po::variables_map options = ParseArguments({});
    EXPECT_EQ(options["name"].as<std::string>(), "*");
    EXPECT_EQ(options["quality-mode"].as<std::string>(), "High");
    EXPECT_EQ(options["framerate"].as<float>(), 2.0F);
    EXPECT_EQ(options["binning"].as<int>(), 1);
    EXPECT_EQ(options["frames"].as<std::uint64_t>(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(options["duration"].as<std::int64_t>(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(options["measurement-mode"].as<std::string>(), "framerate");
    for (const char* name :
         {"help", "list", "enable-disparity", "enable-intensity", "enable-intensity-combined",
          "enable-confidence", "enable-error", "enable-raw-combined"}) {
        EXPECT_EQ(options.count(name), 0U) << name;
    }
}

// Makes sure the help text lists every option in order, with its default and its text verbatim.
TEST(OptionsTest, HelpText) {
    po::options_description description("Options");
    DeclareOptions(description);
    std::ostringstream help;
    help << description;
    EXPECT_EQ(help.str(), Tarnwell::test::kHelpText);
}

struct AcceptedCase {
    const char* name;
    std::vector<const char*> arguments;
    const char* option;
    std::string value;  // as text; empty for a switch
};

class AcceptedOptionTest : public testing::TestWithParam<AcceptedCase> {};

std::string ValueText(const po::variable_value& value) {
    std::ostringstream text;
    if (const auto* s = boost::any_cast<std::string>(&value.value())) {
        text << *s;
    } else if (const auto* f = boost::any_cast<float>(&value.value())) {
        text << *f;
    } else if (const auto* i = boost::any_cast<int>(&value.value())) {
        text << *i;
    } else if (const auto* u = boost::any_cast<std::uint64_t>(&value.value())) {
        text << *u;
    } else if (const auto* l = boost::any_cast<std::int64_t>(&value.value())) {
        text << *l;
    }
    return text.str();
}

// Makes sure the library's default style is in force: short forms, attached values, prefixes.
TEST_P(AcceptedOptionTest, StoresValue) {
    const po::variables_map options = ParseArguments(GetParam().arguments);
    ASSERT_EQ(options.count(GetParam().option), 1U);
    EXPECT_EQ(ValueText(options[GetParam().option]), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, AcceptedOptionTest,
    testing::Values(
        AcceptedCase{"ShortName", {"-n", "cam*"}, "name", "cam*"},
        AcceptedCase{"ShortDuration", {"-d", "5"}, "duration", "5"},
        AcceptedCase{"NegativeDuration", {"--duration", "-5"}, "duration", "-5"},
        AcceptedCase{"UniquePrefix", {"--meas", "latency"}, "measurement-mode", "latency"},
        AcceptedCase{"UncheckedBinning", {"--binning", "-1"}, "binning", "-1"},
        AcceptedCase{"NegativeZeroFrames", {"--frames=-0"}, "frames", "0"},
        // Not a number reaches the camera, which refuses it with its own message.
        AcceptedCase{"NanFrameRate", {"--framerate", "nan"}, "framerate", "nan"},
        AcceptedCase{"GroupedSwitches", {"-hl"}, "list", ""},
        AcceptedCase{"WholeNameThatIsAPrefix", {"--enable-intensity"}, "enable-intensity", ""}),
    [](const testing::TestParamInfo<AcceptedCase>& info) { return info.param.name; });

TEST(OptionsTest, WholeNameThatIsAPrefixSelectsOnlyThatSwitch) {
    EXPECT_EQ(ParseArguments({"--enable-intensity"}).count("enable-intensity-combined"), 0U);
}

struct RejectedCase {
    const char* name;
    std::vector<const char*> arguments;
    std::string message;
};

class RejectedOptionTest : public testing::TestWithParam<RejectedCase> {};

// Makes sure every parse error carries the library's message. Example failure: "--frames -1"
// wrapped to the largest count and taken as "no limit".
TEST_P(RejectedOptionTest, ThrowsLibraryMessage) {
    try {
        ParseArguments(GetParam().arguments);
        ADD_FAILURE() << "parsed";
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, RejectedOptionTest,
    testing::Values(
        RejectedCase{"Undeclared", {"--bogus"}, "unrecognised option '--bogus'"},
        RejectedCase{"HelpWithUndeclared", {"-h", "--bogus"}, "unrecognised option '--bogus'"},
        RejectedCase{"LettersForBinning",
                     {"--binning", "two"},
                     "the argument ('two') for option '--binning' is invalid"},
        RejectedCase{"FractionForFrames",
                     {"--frames", "1.5"},
                     "the argument ('1.5') for option '--frames' is invalid"},
        RejectedCase{"NegativeFrames",
                     {"--frames", "-1"},
                     "the argument ('-1') for option '--frames' is invalid"},
        RejectedCase{"NegativeFramesAfterEquals",
                     {"--frames=-1"},
                     "the argument ('-1') for option '--frames' is invalid"},
        RejectedCase{"NegativeFramesThatWrapToOne",
                     {"--frames", "-18446744073709551615"},
                     "the argument ('-18446744073709551615') for option '--frames' is invalid"},
        RejectedCase{"FramesOutOfRange",
                     {"--frames", "18446744073709551616"},
                     "the argument ('18446744073709551616') for option '--frames' is invalid"},
        RejectedCase{"ShortUndeclared", {"-x"}, "unrecognised option '-x'"},
        RejectedCase{"FractionForBinningAfterEquals",
                     {"--binning=1.5"},
                     "the argument ('1.5') for option '--binning' is invalid"},
        RejectedCase{"BinningOutOfRange",
                     {"--binning", "4294967297"},
                     "the argument ('4294967297') for option '--binning' is invalid"},
        RejectedCase{"DurationOutOfRange",
                     {"-d", "9223372036854775808"},
                     "the argument ('9223372036854775808') for option '--duration' is invalid"},
        RejectedCase{"LettersForFrameRate",
                     {"--framerate", "fast"},
                     "the argument ('fast') for option '--framerate' is invalid"},
        RejectedCase{"SwitchTwice",
                     {"--enable-intensity", "--enable-intensity"},
                     "option '--enable-intensity' cannot be specified more than once"},
        RejectedCase{"BinningTwice",
                     {"--binning", "1", "--binning", "2"},
                     "option '--binning' cannot be specified more than once"},
        RejectedCase{"FramesTwice",
                     {"--frames", "1", "--frames", "-1"},
                     "option '--frames' cannot be specified more than once"},
        RejectedCase{
            "ListTwice", {"-l", "--list"}, "option '--list' cannot be specified more than once"},
        RejectedCase{"ValueForSwitch", {"--list=1"}, "option '--list' does not take any arguments"},
        RejectedCase{
            "MissingValue", {"--name"}, "the required argument for option '--name' is missing"},
        RejectedCase{"AmbiguousPrefix",
                     {"--enable-int"},
                     "option '--enable-int' is ambiguous and matches '--enable-intensity', and "
                     "'--enable-intensity-combined'"},
        // Words that are not options: "list" meant as "--list" would otherwise open a camera
        // and grab without end, and a second value would be dropped.
        RejectedCase{"WordForASwitch",
                     {"list"},
                     "too many positional options have been specified on the command line"},
        RejectedCase{"SecondValue",
                     {"--frames", "10", "20"},
                     "too many positional options have been specified on the command line"}),
    [](const testing::TestParamInfo<RejectedCase>& info) { return info.param.name; });

// Makes sure the program's own errors are cut to 255 characters, whatever the argument's length.
TEST(RaiseErrorTest, CutsMessageAt255Characters) {
    const std::string pattern(300, 'p');
    try {
        RaiseError(7, "No camera whose name matches '%s' found.", pattern.c_str());
    } catch (const GenICam::RuntimeException& error) {
        const std::string expected = "No camera whose name matches '" + pattern;
        EXPECT_EQ(std::string(error.GetDescription()), expected.substr(0, 255));
        EXPECT_STREQ(error.GetExceptionType(), "RuntimeException");
        EXPECT_STREQ(error.GetSourceFileName(), kOwnErrorSource);
        EXPECT_EQ(error.GetSourceLine(), 7U);
    }
}

}  // namespace
}  // namespace Tarnwell::test
