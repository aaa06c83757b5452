// Unit tests of the camera name filter and the processing-unit detection.
#include "Discovery.h"

#include <chrono>
#include <cstddef>
#include <string>

#include <gtest/gtest.h>
#include <pthread.h>

#include "Orvel/Orvel.h"

namespace Tarnwell::test {
namespace {

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
        MatchCase{"StarStopsAtLineEnd", "cam*", "cam\nx", "", false},
        MatchCase{"StarStopsAtCarriageReturn", "cam*x", "cam\rx", "", false},
        MatchCase{"QuestionIsNoLineEnd", "cam?", "cam\n", "", false},
        MatchCase{"QuestionIsOneByte", "a??", "abc", "", true},
        MatchCase{"TrimmedAlternatives", " left* | right? ", "right1", "", true},
        MatchCase{"OnlyBarsAndBlanks", " | |\t|", "", "1.2.3.4", true},
        MatchCase{"OnlyBarsAndBlanksNeedAnEmptyName", " | |\t|", "a", "1.2.3.4", false},
        MatchCase{"EveryWhiteSpaceTrimmed", "\t\n\v\f\r a b \r\f\v\n\t", "a b", "", true},
        MatchCase{"SpecialsAreLiteral", "$^()+[{\\.", "$^()+[{\\.", "", true},
        MatchCase{"ClosingBracketsAreLiteral", "]}-_,:/#", "]}-_,:/#", "", true},
        MatchCase{"StarRuns", "a**b***|***", "axxbyy", "", true},
        MatchCase{"StarsBacktrack", "*ab*ab", "abxabab", "", true},
        MatchCase{"LaterAlternativeLongerThanAWord", "x|*-40051002", "VelkorXW-40051002", "", true},
        // Bytes above 127 are neither white space nor special (and must not reach isspace as
        // negative values).
        MatchCase{"HighBytes", "\xA0\x85name\xFF", "\xA0\x85name\xFF", "", true}),
    [](const testing::TestParamInfo<MatchCase>& info) { return info.param.name; });

// Makes sure many stars do not make the matcher backtrack exponentially. Example failure: the
// backtracking executor takes minutes on this name.
TEST(NameFilterTest, ManyStarsMatchInPolynomialTime) {
    const NameFilter filter = GlobToRegex("*a*a*a*a*a*a*a*a*a*a*a*a*b");
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

// Runs `work` on a thread with a stack of 256 KiB.
void OnSmallStack(void (*work)()) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* run) -> void* {
                      reinterpret_cast<void (*)()>(run)();
                      return nullptr;
                  },
                  reinterpret_cast<void*>(work)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// Makes sure nothing recurses as deep as a pattern or a name is long: the longest pattern against
// a name as long, and a megabyte-long transport-layer name, on a 256 KiB stack. Example failure: a
// regular-expression compiler or matcher that recurses per term or per character overflows it.
TEST(NameFilterTest, LongPatternsAndNamesNeedLittleStack) {
    OnSmallStack([] {
        std::string pattern(kMaxNamePatternLength, 'a');
        pattern[100] = '?';
        pattern[500] = '*';
        Orvel::CDeviceInfo device;
        device.SetFriendlyName(std::string(kMaxNamePatternLength, 'a'));
        EXPECT_TRUE(MatchesFilter(GlobToRegex(pattern), device));
        std::string alternatives;
        for (std::size_t i = 0; i < kMaxNamePatternLength / 2; ++i) {
            alternatives += "b|";
        }
        EXPECT_FALSE(MatchesFilter(GlobToRegex(alternatives), device));
        EXPECT_EQ(DetectProcessingUnit("Producer CPU" + std::string(1 << 20, 'b')),
                  "CPU" + std::string(1 << 20, 'b'));
    });
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
}  // namespace Tarnwell::test
