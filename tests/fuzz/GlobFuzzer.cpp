// Fuzz target: a glob pattern made into the name filter and matched against a name, and the same
// match by the regular expression the glob stands for.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "Discovery.h"
#include "Orvel/Orvel.h"

namespace {

// The glob as a regular expression: alternatives split at "|" and trimmed, "*" any run of
// characters, "?" one character, every other character literal.
std::string GlobExpression(const std::string& pattern) {
    std::string expression;
    bool first = true;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t bar = pattern.find('|', begin);
        std::string piece = pattern.substr(begin, bar == std::string::npos ? bar : bar - begin);
        const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)); };
        while (!piece.empty() && isSpace(piece.back())) {
            piece.pop_back();
        }
        std::size_t lead = 0;
        while (lead < piece.size() && isSpace(piece[lead])) {
            ++lead;
        }
        piece.erase(0, lead);
        if (!piece.empty()) {
            expression += first ? "(?:" : "|(?:";
            first = false;
            for (const char c : piece) {
                if (c == '*') {
                    expression += ".*";
                } else if (c == '?') {
                    expression += '.';
                } else if (std::isalnum(static_cast<unsigned char>(c)) || c == ' ' ||
                           static_cast<unsigned char>(c) >= 0x80) {
                    expression += c;
                } else {
                    // Every other character as a literal of the bracket form, which the grammar
                    // takes for any character but the backslash, the caret and the bracket.
                    expression += c == '\\' || c == '^' || c == ']' ? std::string("\\") + c
                                                                    : std::string("[") + c + "]";
                }
            }
            expression += ")";
        }
        if (bar == std::string::npos) {
            break;
        }
        begin = bar + 1;
    }
    return expression;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Pattern, a NUL byte, the camera's name; without a NUL the name is the pattern itself.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string pattern = input.substr(0, split);
    const std::string name = split == std::string::npos ? pattern : input.substr(split + 1);

    Tarnwell::NameFilter filter;
    try {
        filter = Tarnwell::GlobToRegex(pattern);
    } catch (const GenICam::GenericException&) {
        if (pattern.size() <= Tarnwell::kMaxNamePatternLength) {
            std::abort();  // only an overlong pattern is refused
        }
        return 0;
    }
    Orvel::CDeviceInfo device;
    device.SetFriendlyName(name.c_str()).SetIpAddress("169.254.1.10");
    const bool matched = Tarnwell::MatchesFilter(filter, device);

    // A pattern of plain characters, without wildcards, bars or blanks at its ends, selects
    // exactly the camera of that name.
    const bool plain = !pattern.empty() &&
                       pattern.find_first_of("*?|\0", 0, 4) == std::string::npos &&
                       !std::isspace(static_cast<unsigned char>(pattern.front())) &&
                       !std::isspace(static_cast<unsigned char>(pattern.back()));
    if (plain && split == std::string::npos && !matched) {
        std::abort();
    }

    // The filter agrees with the regular expression on short texts, where the matcher's
    // recursion stays shallow; the name is given to both without its address.
    if (pattern.size() <= 48 && name.size() <= 48 && name.find('\0') == std::string::npos) {
        const std::regex expression(GlobExpression(pattern),
                                    std::regex::ECMAScript | std::regex_constants::__polynomial);
        const bool regexMatched = std::regex_match(name, expression) ||
                                  std::regex_match(std::string("169.254.1.10"), expression);
        if (regexMatched != matched) {
            std::abort();
        }
    }
    return 0;
}
