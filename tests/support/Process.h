// Runs a program as a child process with its own environment and collects what it writes.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace Tarnwell::test {

struct ProcessResult {
    std::string out;
    std::string err;
    int exitCode = -1;      // -1 when the process ended by a signal or was killed
    int signal = 0;         // the signal that ended it, 0 otherwise
    bool timedOut = false;  // killed because it outlived the deadline
};

// Environment changes for a child: a value sets the variable, std::nullopt removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

// Where a child's standard output goes. Output is collected only from a pipe.
struct OutputTarget {
    enum class Kind {
        Pipe,             // collected
        File,             // the file at `path`, e.g. /dev/full
        Closed,           // descriptor 1 closed
        StalledPipe,      // a pipe of one page that nobody reads
        StalledTerminal,  // a pseudo-terminal that nobody reads
    };
    Kind kind = Kind::Pipe;
    std::string path;

    static OutputTarget File(std::string path) { return {Kind::File, std::move(path)}; }
    static OutputTarget Closed() { return {Kind::Closed, {}}; }
    static OutputTarget StalledPipe() { return {Kind::StalledPipe, {}}; }
    static OutputTarget StalledTerminal() { return {Kind::StalledTerminal, {}}; }
};

void PrintTo(const OutputTarget& target, std::ostream* out);

class Process {
public:
    // Starts `argv[0]` with the given arguments; the child inherits this process's environment
    // with `environment` applied. Raises std::runtime_error when it cannot be started.
    Process(const std::vector<std::string>& argv, const Environment& environment = {},
            const OutputTarget& output = {});
    ~Process();  // kills a child that still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Collects output until standard output holds `text` after `from` bytes, or the deadline
    // passes, or the child closes its streams. True when the text was seen.
    bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout,
                       std::size_t from = 0);
    // The same for standard error.
    bool WaitForError(std::string_view text, std::chrono::milliseconds timeout,
                      std::size_t from = 0);
    // What the child wrote so far.
    const std::string& Output() const noexcept { return out_; }
    const std::string& Error() const noexcept { return err_; }
    void Signal(int signal);
    // Stops reading standard output and closes its pipe, as a reader like `head -1` does.
    void CloseOutput();
    // Bytes written to a stalled output that nobody has read.
    std::size_t StalledBytes() const;
    // A stalled pipe is read from now on, as the reader of a paused terminal resumes; its output
    // is collected as a pipe's.
    void ResumeOutput();
    pid_t Pid() const noexcept { return pid_; }
    // Collects everything until the child ends; kills it at the deadline.
    ProcessResult Wait(std::chrono::milliseconds timeout);

private:
    // One round of reading; false once both streams are closed or the deadline passed.
    bool Pump(std::chrono::steady_clock::time_point deadline);
    bool WaitFor(const std::string& stream, std::string_view text,
                 std::chrono::milliseconds timeout, std::size_t from);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int stalledFd_ = -1;  // the unread end of a stalled output
    std::string out_;
    std::string err_;
    bool reaped_ = false;
    ProcessResult result_;
};

// Starts, waits and collects in one call.
ProcessResult RunProcess(const std::vector<std::string>& argv, const Environment& environment,
                         std::chrono::milliseconds timeout, const OutputTarget& output = {});

}  // namespace Tarnwell::test
