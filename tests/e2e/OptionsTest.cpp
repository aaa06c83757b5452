// End-to-end tests of the command line: help, parse errors and option forms.
#include <gtest/gtest.h>

#include "HelpText.h"
#include "Tarnwell.h"

namespace tarnwell::test {
namespace {

// The help text and the line end the program writes after it.
const std::string kHelp = std::string(kHelpText) + "\n";

const char* const kListing =
    "Processing Unit: CPU\n"
    "VelkorXW-40051001\n"
    "VelkorXW-40051002\n";

TEST(Help, PrintsTheHelpTextAloneAndExitsWithOne) {
    // Help comes before the SDK starts: a broken emulation must not matter.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--help", "--list"}, {"-lh"}, {"--he"}}) {
        SCOPED_TRACE(args.front());
        const auto run = RunTarnwell(args, Emulation{"/nonexistent/scenario.json"});
        EXPECT_EQ(run.out, kHelp);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 1);
    }
}

struct ParseErrorCase {
    std::vector<std::string> args;
    std::string message;
};

class ParseError : public ::testing::TestWithParam<ParseErrorCase> {};

// Each case prints the library's message on standard error, then the help text, exit code 1,
// and never starts the SDK (a broken emulation would otherwise print its own error).
TEST_P(ParseError, PrintsTheMessageThenTheHelp) {
    const auto run = RunTarnwell(GetParam().args, Emulation{"/nonexistent/scenario.json"});
    EXPECT_EQ(run.err, GetParam().message + "\n");
    EXPECT_EQ(run.out, kHelp);
    EXPECT_EQ(run.exitCode, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseError,
    ::testing::Values(
        ParseErrorCase{{"--help", "--foo"}, "unrecognised option '--foo'"},
        ParseErrorCase{{"-x"}, "unrecognised option '-x'"},
        ParseErrorCase{{"--binning", "two"},
                       "the argument ('two') for option '--binning' is invalid"},
        ParseErrorCase{{"--binning=1.5"}, "the argument ('1.5') for option '--binning' is invalid"},
        ParseErrorCase{{"--binning", "4294967297"},
                       "the argument ('4294967297') for option '--binning' is invalid"},
        ParseErrorCase{{"--frames", "1.5"},
                       "the argument ('1.5') for option '--frames' is invalid"},
        ParseErrorCase{{"--frames", "18446744073709551616"},
                       "the argument ('18446744073709551616') for option '--frames' is invalid"},
        // Wrapping "-1" to the largest value would silently mean "no limit".
        ParseErrorCase{{"--frames", "-1"}, "the argument ('-1') for option '--frames' is invalid"},
        ParseErrorCase{{"--frames=-5"}, "the argument ('-5') for option '--frames' is invalid"},
        ParseErrorCase{{"-d", "9223372036854775808"},
                       "the argument ('9223372036854775808') for option '--duration' is invalid"},
        ParseErrorCase{{"--framerate", "fast"},
                       "the argument ('fast') for option '--framerate' is invalid"},
        ParseErrorCase{{"--list=1"}, "option '--list' does not take any arguments"},
        ParseErrorCase{{"--name"}, "the required argument for option '--name' is missing"},
        ParseErrorCase{{"--binning", "2", "--binning", "4"},
                       "option '--binning' cannot be specified more than once"},
        ParseErrorCase{{"--list", "-l"}, "option '--list' cannot be specified more than once"},
        ParseErrorCase{{"--enable-intensity", "--enable-intensity"},
                       "option '--enable-intensity' cannot be specified more than once"},
        ParseErrorCase{{"--enable"},
                       "option '--enable' is ambiguous and matches '--enable-confidence', "
                       "'--enable-disparity', '--enable-error', '--enable-intensity', "
                       "'--enable-intensity-combined', and '--enable-raw-combined'"}));

TEST(OptionForms, LongShortAttachedAndAbbreviatedFormsAreAccepted) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--list"},
             {"-l"},
             {"--li"},
             {"-l", "-n", "VelkorXW-*"},
             {"-l", "-nVelkorXW-*"},
             {"--list", "--name=VelkorXW-*"},
             {"-l", "--na", "*"},
             // A zero written with a sign is still zero, not a negative count.
             {"-l", "--frames", "-0"},
             // Values the parser accepts and the listing never uses.
             {"-l", "--binning", "3", "--quality-mode", "Ultra", "--meas", "latency"},
             {"-l", "--enable-raw-combined", "--enable-disparity", "--enable-intensity"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        // The variable unset, as a user runs it.
        const auto run = RunTarnwell(args, Emulation::Default());
        EXPECT_EQ(run.out, kListing);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 0);
    }
}

}  // namespace
}  // namespace tarnwell::test
