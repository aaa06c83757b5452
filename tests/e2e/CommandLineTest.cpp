// End-to-end tests of the command line: help, parse errors and option forms.
#include <gtest/gtest.h>

#include "HelpText.h"
#include "ProgramRun.h"

namespace Tarnwell::test {
namespace {

// The help text and the line end the program writes after it.
const std::string kHelp = std::string(kHelpText) + "\n";

const char* const kListing =
    "Processing Unit: CPU\n"
    "VelkorXW-40051001\n"
    "VelkorXW-40051002\n";

// The messages and forms of the options are the unit tests'; here, what each path prints and
// returns, and that neither help nor a parse error starts the SDK (a broken emulation would print
// its own error).
TEST(Help, PrintsTheHelpTextAloneAndExitsWithOne) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"-lh"}}) {
        SCOPED_TRACE(args.front());
        const auto run = RunTarnwell(args, Emulation{"/nonexistent/scenario.json"});
        EXPECT_EQ(run.out, kHelp);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST(ParseError, PrintsTheMessageThenTheHelp) {
    for (const auto& [args, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--help", "--foo"}, "unrecognised option '--foo'"},
             {{"--frames", "-1"}, "the argument ('-1') for option '--frames' is invalid"},
             {{"list"}, "too many positional options have been specified on the command line"}}) {
        const auto run = RunTarnwell(args, Emulation{"/nonexistent/scenario.json"});
        EXPECT_EQ(run.err, message + "\n");
        EXPECT_EQ(run.out, kHelp);
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST(OptionForms, ShortAttachedAndAbbreviatedFormsReachTheRun) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-l"}, {"--li", "-nVelkorXW-*", "--meas", "latency", "--frames", "-0"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        // The variable unset, as a user runs it.
        const auto run = RunTarnwell(args, Emulation::Default());
        EXPECT_EQ(run.out, kListing);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitCode, 0);
    }
}

}  // namespace
}  // namespace Tarnwell::test
