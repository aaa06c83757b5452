// Line-by-line comparison of a program's output with expected lines, exact or by pattern.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace Tarnwell::test {

// One expected line. Values that vary from run to run (a measured latency) are matched by an
// ECMAScript pattern against the whole line; everything else is compared byte for byte.
struct Line {
    std::string text;
    bool pattern = false;
    bool newline = true;  // false: the output ends with this text, without a line end
};

inline Line Exact(std::string text) {
    return {std::move(text), false, true};
}
inline Line Pattern(std::string regex) {
    return {std::move(regex), true, true};
}
inline Line Unterminated(std::string text) {
    return {std::move(text), false, false};
}

// Exact lines from a block of text, one per "\n"-terminated piece.
std::vector<Line> Lines(std::string_view block);

// Concatenation helper: Lines(...) + Pattern(...) + ...
std::vector<Line> operator+(std::vector<Line> a, const std::vector<Line>& b);
std::vector<Line> operator+(std::vector<Line> a, Line b);

// Success when `actual` consists of exactly the expected lines; otherwise a message that shows
// the first difference in context.
::testing::AssertionResult OutputMatches(const std::string& actual,
                                         const std::vector<Line>& expected);

// Splits text into lines without their "\n"; a trailing piece without a line end is kept.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace Tarnwell::test
