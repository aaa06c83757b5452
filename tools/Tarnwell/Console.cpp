// Console output: standard output whose every flush is checked, and device texts made safe to
// print.
#include "Console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

namespace Tarnwell {

namespace {

using Clock = std::chrono::steady_clock;

// How long output may stay blocked once a stop is requested.
constexpr auto kBlockedAfterStop = std::chrono::seconds(1);

}  // namespace

CheckedOutputBuffer::CheckedOutputBuffer(int fd, const char* name,
                                         const std::atomic<bool>& stopSignalled)
    : fd_(fd), name_(name), stopSignalled_(stopSignalled) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

CheckedOutputBuffer::~CheckedOutputBuffer() {
    // Whoever owns the stream flushes it where a failure can still be reported.
    try {
        sync();
    } catch (const OutputError&) {
    }
}

CheckedOutputBuffer::int_type CheckedOutputBuffer::overflow(int_type c) {
    Drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int CheckedOutputBuffer::sync() {
    Drain();
    return 0;
}

void CheckedOutputBuffer::Drain() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_, buffer_ + sizeof buffer_);
    if (!failed_ && pending > 0) {
        WriteAll(buffer_, pending);
    }
}

void CheckedOutputBuffer::WriteAll(const char* data, std::size_t size) {
    std::optional<Clock::time_point> giveUpAt;
    while (size > 0) {
        std::size_t chunk = size;
        // Until a stop is requested a write may block as long as the reader wants; the stop
        // signal interrupts it (the handler does not restart calls). After the request, output
        // is written only where poll finds room, and given up if none comes within a second.
        if (stopSignalled_.load()) {
            const Clock::time_point now = Clock::now();
            if (!giveUpAt) {
                giveUpAt = now + kBlockedAfterStop;
            }
            if (now >= *giveUpAt) {
                Fail("it stayed blocked after the stop request");
            }
            pollfd target{fd_, POLLOUT, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*giveUpAt - now);
            const int ready = ::poll(&target, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) {
                Fail(std::strerror(errno));
            }
            if (ready <= 0) {
                continue;
            }
            // Room for PIPE_BUF bytes does not block; an error condition is left to the write,
            // which names it.
            chunk = std::min<std::size_t>(size, PIPE_BUF);
        }
        const ssize_t written = ::write(fd_, data, chunk);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            Fail(std::strerror(errno));
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void CheckedOutputBuffer::Fail(const std::string& why) {
    failed_ = true;
    throw OutputError(std::string("Cannot write to ") + name_ + ": " + why);
}

CheckedStandardOutput::CheckedStandardOutput(const std::atomic<bool>& stopSignalled)
    : buffer_(STDOUT_FILENO, "standard output", stopSignalled) {
    if (::fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF) {
        const int placeholder = ::open("/dev/null", O_RDONLY);
        if (placeholder >= 0 && placeholder != STDOUT_FILENO) {
            ::dup2(placeholder, STDOUT_FILENO);
            ::close(placeholder);
        }
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);

    std::cout.flush();
    previous_ = std::cout.rdbuf(&buffer_);
    previousExceptions_ = std::cout.exceptions();
    // The stream rethrows the buffer's own OutputError rather than setting a bit nobody reads.
    std::cout.exceptions(std::ios::badbit);
    previousTie_ = std::cerr.tie(nullptr);
}

CheckedStandardOutput::~CheckedStandardOutput() {
    std::cerr.tie(previousTie_);
    std::cout.exceptions(previousExceptions_);
    std::cout.rdbuf(previous_);
}

std::string EscapeControlBytes(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0xF];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::ostream& operator<<(std::ostream& out, Printable printable) {
    return out << EscapeControlBytes(printable.text);
}

}  // namespace Tarnwell
