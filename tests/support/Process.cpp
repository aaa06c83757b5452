// Child processes for end-to-end tests: posix_spawn, two pipes and poll, bounded by deadlines.
#include "Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Tarnwell::test {

namespace {

std::vector<std::string> BuildEnvironment(const Environment& changes) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        const auto eq = text.find('=');
        if (eq != std::string_view::npos) {
            merged[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            merged[name] = *value;
        } else {
            merged.erase(name);
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : merged) {
        result.push_back(name + "=" + value);
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// The two ends of the child's standard output: what the child gets and what this process keeps
// (-1 for none).
std::pair<int, int> OutputEnds(const OutputTarget& output) {
    int ends[2] = {-1, -1};
    switch (output.kind) {
        case OutputTarget::Kind::Pipe:
        case OutputTarget::Kind::StalledPipe:
            if (pipe2(ends, O_CLOEXEC) != 0) {
                Fail("pipe");
            }
            if (output.kind == OutputTarget::Kind::StalledPipe) {
                fcntl(ends[1], F_SETPIPE_SZ, 4096);
            }
            return {ends[1], ends[0]};
        case OutputTarget::Kind::File: {
            const int fd = open(output.path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) {
                Fail("open");
            }
            return {fd, -1};
        }
        case OutputTarget::Kind::Closed:
            return {-1, -1};
        case OutputTarget::Kind::StalledTerminal:
            if (openpty(&ends[0], &ends[1], nullptr, nullptr, nullptr) != 0) {
                Fail("openpty");
            }
            fcntl(ends[0], F_SETFD, FD_CLOEXEC);
            fcntl(ends[1], F_SETFD, FD_CLOEXEC);
            return {ends[1], ends[0]};
    }
    return {-1, -1};
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Environment& environment,
                 const OutputTarget& output) {
    const auto [childOut, keptOut] = OutputEnds(output);
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(childOut);
        close(keptOut);
        Fail("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (childOut >= 0) {
        posix_spawn_file_actions_adddup2(&actions, childOut, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    // The child must start with default signal handling even if the test runner blocks signals.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = BuildEnvironment(environment);
    auto argPointers = Pointers(args);
    auto envPointers = Pointers(env);
    const int rc = posix_spawn(&pid_, args.at(0).c_str(), &actions, &attributes, argPointers.data(),
                               envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (childOut >= 0) {
        close(childOut);
    }
    close(errPipe[1]);
    (output.kind == OutputTarget::Kind::Pipe ? outFd_ : stalledFd_) = keptOut;
    errFd_ = errPipe[0];
    if (rc != 0) {
        if (keptOut >= 0) {
            close(keptOut);
        }
        close(errFd_);
        outFd_ = stalledFd_ = errFd_ = -1;
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

void PrintTo(const OutputTarget& target, std::ostream* out) {
    static constexpr const char* kNames[] = {"pipe", "file", "closed", "stalled pipe",
                                             "stalled terminal"};
    *out << kNames[static_cast<int>(target.kind)] << (target.path.empty() ? "" : " ")
         << target.path;
}

void Process::CloseOutput() {
    if (outFd_ >= 0) {
        close(outFd_);
        outFd_ = -1;
    }
}

void Process::ResumeOutput() {
    if (outFd_ < 0) {
        std::swap(outFd_, stalledFd_);
    }
}

std::size_t Process::StalledBytes() const {
    int bytes = 0;
    if (stalledFd_ < 0 || ioctl(stalledFd_, FIONREAD, &bytes) != 0) {
        return 0;
    }
    return static_cast<std::size_t>(bytes);
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) {
        close(outFd_);
    }
    if (errFd_ >= 0) {
        close(errFd_);
    }
    if (stalledFd_ >= 0) {
        close(stalledFd_);
    }
}

bool Process::Pump(std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2];
    int count = 0;
    if (outFd_ >= 0) {
        fds[count++] = {outFd_, POLLIN, 0};
    }
    if (errFd_ >= 0) {
        fds[count++] = {errFd_, POLLIN, 0};
    }
    if (count == 0) {
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return false;
    }
    const int ready = poll(fds, count, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    for (int i = 0; i < count && ready > 0; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        std::string& sink = fds[i].fd == outFd_ ? out_ : err_;
        if (n > 0) {
            sink.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            int& fd = fds[i].fd == outFd_ ? outFd_ : errFd_;
            close(fd);
            fd = -1;
        }
    }
    return true;
}

bool Process::WaitFor(const std::string& stream, std::string_view text,
                      std::chrono::milliseconds timeout, std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (stream.size() > from && stream.find(text, from) != std::string::npos) {
            return true;
        }
        if (!Pump(deadline)) {
            return false;
        }
    }
}

bool Process::WaitForOutput(std::string_view text, std::chrono::milliseconds timeout,
                            std::size_t from) {
    return WaitFor(out_, text, timeout, from);
}

bool Process::WaitForError(std::string_view text, std::chrono::milliseconds timeout,
                           std::size_t from) {
    return WaitFor(err_, text, timeout, from);
}

void Process::Signal(int signal) {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, signal);
    }
}

ProcessResult Process::Wait(std::chrono::milliseconds timeout) {
    if (reaped_) {
        return result_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Pump(deadline)) {
    }
    if (outFd_ >= 0 || errFd_ >= 0) {
        // Deadline passed with the streams still open: the child hangs.
        kill(pid_, SIGKILL);
        result_.timedOut = true;
        while (Pump(std::chrono::steady_clock::now() + std::chrono::seconds(5))) {
        }
    }
    // Streams closed; the child should be gone or going. Give it until the deadline.
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            result_.timedOut = true;
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(2000);
    }
    reaped_ = true;
    result_.out = out_;
    result_.err = err_;
    if (WIFEXITED(status)) {
        result_.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
    return result_;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const Environment& environment,
                         std::chrono::milliseconds timeout, const OutputTarget& output) {
    Process process(argv, environment, output);
    return process.Wait(timeout);
}

}  // namespace Tarnwell::test
