// Output comparison for end-to-end tests, with a readable report of the first difference.
#include "OutputMatch.h"

#include <algorithm>
#include <regex>
#include <sstream>

namespace Tarnwell::test {
namespace {

struct ActualLine {
    std::string text;
    bool newline;
};

std::vector<ActualLine> Split(std::string_view text) {
    std::vector<ActualLine> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back({std::string(text.substr(start)), false});
            break;
        }
        lines.push_back({std::string(text.substr(start, end - start)), true});
        start = end + 1;
    }
    return lines;
}

bool Matches(const Line& expected, const ActualLine& actual) {
    if (expected.newline != actual.newline) {
        return false;
    }
    if (!expected.pattern) {
        return expected.text == actual.text;
    }
    return std::regex_match(actual.text, std::regex(expected.text));
}

std::string Show(const Line& line) {
    return (line.pattern ? "~/" + line.text + "/" : "\"" + line.text + "\"") +
           (line.newline ? "" : " (no line end)");
}

std::string Show(const ActualLine& line) {
    return "\"" + line.text + "\"" + (line.newline ? "" : " (no line end)");
}

}  // namespace

std::vector<Line> Lines(std::string_view block) {
    std::vector<Line> lines;
    for (auto& piece : Split(block)) {
        lines.push_back({piece.text, false, piece.newline});
    }
    return lines;
}

std::vector<Line> operator+(std::vector<Line> a, const std::vector<Line>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Line> operator+(std::vector<Line> a, Line b) {
    a.push_back(std::move(b));
    return a;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    for (auto& line : Split(text)) {
        lines.push_back(std::move(line.text));
    }
    return lines;
}

::testing::AssertionResult OutputMatches(const std::string& actual,
                                         const std::vector<Line>& expected) {
    const auto lines = Split(actual);
    const std::size_t common = std::min(lines.size(), expected.size());
    std::size_t first = 0;
    while (first < common && Matches(expected[first], lines[first])) {
        ++first;
    }
    if (first == common && lines.size() == expected.size()) {
        return ::testing::AssertionSuccess();
    }
    std::ostringstream report;
    report << "output differs at line " << first + 1 << "\n";
    report << "  expected: " << (first < expected.size() ? Show(expected[first]) : "(end)") << "\n";
    report << "  actual:   " << (first < lines.size() ? Show(lines[first]) : "(end)") << "\n";
    report << "whole output (" << lines.size() << " lines):\n";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        report << (i == first ? "> " : "  ") << Show(lines[i]) << "\n";
    }
    return ::testing::AssertionFailure() << report.str();
}

}  // namespace Tarnwell::test
