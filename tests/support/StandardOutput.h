// Standard output sent elsewhere while an object lives: to a string, or to /dev/null.
#pragma once

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace Tarnwell::test {

// Sends standard output to a string while it lives.
class CapturedOutput {
public:
    CapturedOutput() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(previous_); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* previous_;
};

// Sends standard output to /dev/null while it lives: a printed line still costs its write, and a
// string would allocate as it grows.
class NullOutput {
public:
    NullOutput() {
        file_.open("/dev/null", std::ios::out);
        previous_ = std::cout.rdbuf(&file_);
    }
    ~NullOutput() { std::cout.rdbuf(previous_); }
    NullOutput(const NullOutput&) = delete;
    NullOutput& operator=(const NullOutput&) = delete;

private:
    std::filebuf file_;
    std::streambuf* previous_ = nullptr;
};

}  // namespace Tarnwell::test
