// The GenICam string type in which the SDK hands out texts.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace GenICam {

// Owns its characters; converts from C and C++ strings but not back implicitly, so a caller
// always says which form it wants (c_str() or str()).
class gcstring {
public:
    gcstring() = default;
    gcstring(const char* text) : text_(text ? text : "") {}
    gcstring(const char* text, std::size_t length) : text_(text ? std::string(text, length) : "") {}
    gcstring(std::string text) : text_(std::move(text)) {}
    gcstring(std::string_view text) : text_(text) {}

    const char* c_str() const noexcept { return text_.c_str(); }
    const std::string& str() const noexcept { return text_; }
    std::size_t size() const noexcept { return text_.size(); }
    std::size_t length() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }

    friend bool operator==(const gcstring& a, const gcstring& b) noexcept {
        return a.text_ == b.text_;
    }
    friend auto operator<=>(const gcstring& a, const gcstring& b) noexcept {
        return a.text_ <=> b.text_;
    }
    friend std::ostream& operator<<(std::ostream& out, const gcstring& s) { return out << s.text_; }

private:
    std::string text_;
};

}  // namespace GenICam
