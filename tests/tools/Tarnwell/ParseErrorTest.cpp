// Unit tests of the parse-error text: the option library's own words, also for arguments that
// hold the placeholders the library substitutes into its messages.
#include "Tarnwell.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Tarnwell::test {
namespace {

// The text the parse guard prints for these arguments; "" when they parse.
std::string ErrorFor(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "tarnwell");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    po::options_description description("Options");
    DeclareOptions(description);
    po::variables_map options;
    try {
        ParseOptions(static_cast<int>(argv.size()), argv.data(), description, options);
    } catch (std::exception& error) {
        return ParseErrorText(error);
    }
    return "";
}

struct ParseErrorCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string text;
};

void PrintTo(const ParseErrorCase& c, std::ostream* out) {
    *out << c.name;
}

class ParseErrorTextTest : public testing::TestWithParam<ParseErrorCase> {};

// Makes sure every parse error ends with the library's message, the argument shown as typed.
// Example failure: "--binning 1%value%" never returned (the library substituted "%value%" into
// its own result without end) and the program hung, eating memory.
TEST_P(ParseErrorTextTest, IsTheLibrarysMessageWithTheArgumentAsTyped) {
    EXPECT_EQ(ErrorFor(GetParam().arguments), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, ParseErrorTextTest,
    testing::Values(ParseErrorCase{"Plain",
                                   {"--binning", "x"},
                                   "the argument ('x') for option '--binning' is invalid"},
                    ParseErrorCase{"PercentSign",
                                   {"--binning", "1%"},
                                   "the argument ('1%') for option '--binning' is invalid"},
                    ParseErrorCase{"OwnPlaceholderInValue",
                                   {"--binning", "1%value%"},
                                   "the argument ('1%value%') for option '--binning' is invalid"},
                    ParseErrorCase{"OtherPlaceholderInValue",
                                   {"--framerate", "%prefix%"},
                                   "the argument ('%prefix%') for option '--framerate' is invalid"},
                    ParseErrorCase{"NegativeFrames",
                                   {"--frames", "-1%value%"},
                                   "the argument ('-1%value%') for option '--frames' is invalid"},
                    ParseErrorCase{"OwnPlaceholderInOption",
                                   {"--x%canonical_option%"},
                                   "unrecognised option '--x%canonical_option%'"},
                    ParseErrorCase{"FoundByTheFuzzer",
                                   {"--frame2r%original_token%n", "5"},
                                   "unrecognised option '--frame2r%original_token%n'"},
                    ParseErrorCase{"ShortPercent", {"-%"}, "unrecognised option '-%'"},
                    ParseErrorCase{"Twice",
                                   {"--binning", "1", "--binning", "2%original_token%"},
                                   "option '--binning' cannot be specified more than once"},
                    ParseErrorCase{"MissingValue",
                                   {"--name"},
                                   "the required argument for option '--name' is missing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseErrorTextTest, ReturnsAlsoWhenTheArgumentHoldsEveryByte) {
    // No byte is left to stand for '%': the text shows '?' instead, and still ends.
    std::string every = "%value%";
    for (int byte = 1; byte < 256; ++byte) {
        every += static_cast<char>(byte);
    }
    const std::string text = ErrorFor({"--binning", every});
    EXPECT_TRUE(text.starts_with("the argument ('?value?")) << text;
}

}  // namespace
}  // namespace Tarnwell::test
