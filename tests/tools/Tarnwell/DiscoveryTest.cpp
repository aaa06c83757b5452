// Unit tests of the camera name filter and the processing-unit detection.
#include "Discovery.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "Orvel/Orvel.h"

namespace Tarnwell {
namespace {

struct ExpressionCase {
    const char* name;
    std::string pattern;
    std::string expression;
};

class GlobToExpressionTest : public testing::TestWithParam<ExpressionCase> {};

// Makes sure each glob character is translated as documented. Example failure: "." left as a
// wildcard, so "192.168.0.1" also selects the camera at "192x168x0x1".
TEST_P(GlobToExpressionTest, TranslatesPattern) {
    EXPECT_EQ(GlobToExpression(GetParam().pattern), GetParam().expression);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, GlobToExpressionTest,
    testing::Values(ExpressionCase{"Default", "*", "^.*$"},
                    ExpressionCase{"TrailingStar", "stereo*", "^stereo.*$"},
                    ExpressionCase{"Address", "192.168.0.*", "^192\\.168\\.0\\..*$"},
                    ExpressionCase{"TrimmedAlternatives", " left* | right? ", "^left.*|^right.$"},
                    ExpressionCase{"Empty", "", "$"},
                    ExpressionCase{"OnlyBarsAndBlanks", " | |\t|", "$"},
                    ExpressionCase{"EmptyAlternativeDropped", "a||b", "^a|^b$"},
                    ExpressionCase{"EveryWhiteSpaceTrimmed", "\t\n\v\f\r a b \r\f\v\n\t", "^a b$"},
                    ExpressionCase{"SpecialsEscaped", "$^()+[{\\", "^\\$\\^\\(\\)\\+\\[\\{\\\\$"},
                    ExpressionCase{"OthersCopied", "]}-_,:/#", "^]}-_,:/#$"},
                    ExpressionCase{"StarRunsFolded", "a**b***|***", "^a.*b.*|^.*$"},
                    ExpressionCase{"QuestionMarksKept", "a??", "^a..$"},
                    // Bytes above 127 are neither white space nor special (and must not reach
                    // isspace as negative values).
                    ExpressionCase{"HighBytes", "\xA0\x85name\xFF", "^\xA0\x85name\xFF$"}),
    [](const testing::TestParamInfo<ExpressionCase>& info) { return info.param.name; });

struct MatchCase {
    const char* name;
    std::string pattern;
    std::string friendlyName;
    std::string ipAddress;
    bool matches;
};

class MatchesFilterTest : public testing::TestWithParam<MatchCase> {};

// Makes sure the filter matches whole names or addresses, case-sensitively. Example failure: a
// search instead of a full match, so "VelkorXW" selects "VelkorXW-40051001".
TEST_P(MatchesFilterTest, MatchesWholeNameOrAddress) {
    const MatchCase& c = GetParam();
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(c.friendlyName).SetIpAddress(c.ipAddress);
    EXPECT_EQ(MatchesFilter(GlobToRegex(c.pattern), device), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, MatchesFilterTest,
    testing::Values(
        MatchCase{"DefaultMatchesAll", "*", "VelkorXW-40051001", "169.254.1.10", true},
        MatchCase{"StarMatchesEmpty", "*", "", "", true},
        MatchCase{"CaseSensitive", "stereo*", "Stereo-1", "169.254.1.10", false},
        MatchCase{"WholeNameOnly", "VelkorXW", "VelkorXW-40051001", "169.254.1.10", false},
        MatchCase{"ExactName", "VelkorXW-40051001", "VelkorXW-40051001", "1.2.3.4", true},
        MatchCase{"QuestionIsOneCharacter", "Velkor?W-*", "VelkorXW-1", "", true},
        MatchCase{"QuestionIsNotNone", "Velkor?XW-1", "VelkorXW-1", "", false},
        MatchCase{"DotIsLiteral", "192.168.0.1", "cam", "192x168x0x1", false},
        MatchCase{"ByAddress", "169.254.1.1?", "VelkorXW-1", "169.254.1.10", true},
        MatchCase{"SecondAlternative", " a | b ", "b", "", true},
        MatchCase{"EmptyAlternativeDropped", "a||b", "", "", false},
        MatchCase{"EmptyPatternMatchesEmptyName", "", "", "1.2.3.4", true},
        MatchCase{"EmptyPatternMatchesNoName", "", "cam", "1.2.3.4", false},
        MatchCase{"PlusIsLiteral", "a+b", "aab", "", false},
        MatchCase{"ParenthesesAreLiteral", "cam(1)", "cam(1)", "", true},
        MatchCase{"StarStopsAtLineEnd", "cam*", "cam\nx", "", false}),
    [](const testing::TestParamInfo<MatchCase>& info) { return info.param.name; });

// Makes sure many stars do not make the matcher backtrack exponentially. Example failure: the
// backtracking executor takes minutes on this name.
TEST(NameFilterTest, ManyStarsMatchInPolynomialTime) {
    const std::regex filter = GlobToRegex("*a*a*a*a*a*a*a*a*a*a*a*a*b");
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(std::string(2000, 'a'));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(MatchesFilter(filter, device));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
}

// Makes sure a long name does not recurse once per character. Example failure: a stack overflow
// on a name of 300,000 characters.
TEST(NameFilterTest, LongNameMatchesWithoutDeepRecursion) {
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(std::string(300'000, 'x') + "y");
    EXPECT_TRUE(MatchesFilter(GlobToRegex("x*y"), device));
    EXPECT_FALSE(MatchesFilter(GlobToRegex("x*z"), device));
}

// Makes sure the longest accepted pattern compiles even when every character is escaped.
TEST(NameFilterTest, LongestPatternIsAccepted) {
    const std::string pattern(kMaxNamePatternLength, '(');
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(pattern);
    EXPECT_TRUE(MatchesFilter(GlobToRegex(pattern), device));
}

// Makes sure an overlong pattern is refused with the program's own error, measured as typed.
TEST(NameFilterTest, OverlongPatternIsRefused) {
    for (const std::string& pattern : {std::string(kMaxNamePatternLength + 1, 'a'),
                                       std::string(kMaxNamePatternLength + 1, '*')}) {
        try {
            GlobToRegex(pattern);
            ADD_FAILURE() << "accepted a pattern of " << pattern.size() << " characters";
        } catch (const GenICam::RuntimeException& error) {
            EXPECT_STREQ(error.GetDescription(),
                         "Camera name filter is too long: 1025 characters, at most 1024.");
        }
    }
}

struct UnitCase {
    const char* name;
    std::string friendlyName;
    std::string unit;
};

class DetectProcessingUnitTest : public testing::TestWithParam<UnitCase> {};

const std::string kNoUnit =
    "Failed to detect whether depth processing is performed on the GPU or CPU.";

TEST_P(DetectProcessingUnitTest, ExtractsUnit) {
    EXPECT_EQ(DetectProcessingUnit(GetParam().friendlyName), GetParam().unit);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DetectProcessingUnitTest,
    testing::Values(UnitCase{"Emulated", "Orvel Velkor XW Emulated Producer CPU", "CPU"},
                    UnitCase{"RestOfNameKept", "Producer GPU 2", "GPU 2"},
                    UnitCase{"EarlierUnitWins", "x CPU y GPU", "CPU y GPU"},
                    UnitCase{"InsideAWord", "xCPUy", "CPUy"},
                    UnitCase{"EndsAtLineEnd", "GPU 1\nsecond line", "GPU 1"},
                    UnitCase{"LowerCaseIsNoUnit", "gpu Gpu cpu", kNoUnit},
                    UnitCase{"EmptyName", "", kNoUnit}),
    [](const testing::TestParamInfo<UnitCase>& info) { return info.param.name; });

}  // namespace
}  // namespace Tarnwell
