// Console output: standard output whose every flush is checked, and device texts made safe to
// print.
#pragma once

#include <atomic>
#include <cstddef>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>

namespace Tarnwell {

// Standard output could not take what the run printed: a full disk, a closed descriptor or pipe,
// or output that stayed blocked after a stop request.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A stream buffer on a file descriptor that writes with write(2) and raises OutputError on the
// first failure, naming it; once failed it drops what is left, so the exit does not raise again.
// Once `stopSignalled` is set, output that stays blocked for a second is given up, so Ctrl+C
// ends a run whose reader stopped reading; until then a write waits for its reader.
class CheckedOutputBuffer : public std::streambuf {
public:
    CheckedOutputBuffer(int fd, const char* name, const std::atomic<bool>& stopSignalled);
    ~CheckedOutputBuffer() override;
    CheckedOutputBuffer(const CheckedOutputBuffer&) = delete;
    CheckedOutputBuffer& operator=(const CheckedOutputBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void Drain();
    void WriteAll(const char* data, std::size_t size);
    [[noreturn]] void Fail(const std::string& why);

    int fd_;
    const char* name_;
    const std::atomic<bool>& stopSignalled_;
    bool failed_ = false;
    char buffer_[4096];
};

// While it lives, std::cout writes through a CheckedOutputBuffer on descriptor 1 and raises the
// buffer's OutputError from the statement whose flush failed; SIGPIPE is ignored, so a closed
// pipe is such a failure instead of a silent death. A closed descriptor 1 is held on /dev/null,
// opened for reading, so that no file the run opens takes its place and every write fails.
// Standard error is not tied to it: after a failure its error line must not flush, and raise
// again from, the failed stream (every line of standard output is flushed as it ends anyway).
class CheckedStandardOutput {
public:
    explicit CheckedStandardOutput(const std::atomic<bool>& stopSignalled);
    ~CheckedStandardOutput();
    CheckedStandardOutput(const CheckedStandardOutput&) = delete;
    CheckedStandardOutput& operator=(const CheckedStandardOutput&) = delete;

private:
    CheckedOutputBuffer buffer_;
    std::streambuf* previous_;
    std::ios::iostate previousExceptions_;
    std::ostream* previousTie_;
};

// Text from the camera SDK as it is safe to show on a terminal: bytes below 0x20 and 0x7F written
// as \xNN, everything else (UTF-8 included) byte for byte.
struct Printable {
    std::string_view text;
};
std::ostream& operator<<(std::ostream& out, Printable printable);
std::string EscapeControlBytes(std::string_view text);

}  // namespace Tarnwell
