#include "Discovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

namespace {

constexpr std::uint16_t kGvcpPort = 3956;
constexpr std::uint8_t kGvcpKey = 0x42;
constexpr std::uint8_t kAcknowledgeRequired = 0x01;
constexpr std::uint16_t kDiscoveryCommand = 0x0002;
constexpr std::uint16_t kDiscoveryAck = 0x0003;
constexpr std::size_t kAckHeader = 8;
constexpr std::size_t kAckPayload = 0xF8;  // the first bootstrap registers, 0x0000 to 0x00F7

std::uint16_t Read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

// A fixed-size text field: up to its first NUL, or all of it.
std::string Text(const std::uint8_t* p, std::size_t size) {
    const auto* end = std::find(p, p + size, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
}

std::string Ipv4(const std::uint8_t* p) {
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

class Socket {
public:
    Socket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) {
            ORVEL_THROW(RuntimeException, std::string("Cannot discover GigE Vision cameras: no "
                                                      "socket: ") +
                                              std::strerror(errno));
        }
    }
    ~Socket() { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::vector<std::string> ParseGigeAddresses(std::string_view text) {
    std::vector<std::string> addresses;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t begin = text.find_first_not_of(", \t\n", at);
        if (begin == std::string_view::npos) {
            break;
        }
        std::size_t end = text.find_first_of(", \t\n", begin);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string item(text.substr(begin, end - begin));
        in_addr parsed{};
        if (item.size() > 15 || ::inet_pton(AF_INET, item.c_str(), &parsed) != 1) {
            std::string shown;
            for (const char c : item) {
                shown += c == '\0' ? std::string("\\x00") : std::string(1, c);
            }
            ORVEL_THROW(RuntimeException, "ORVEL_GIGE: '" + shown +
                                              "' is not an IPv4 address (give the cameras' "
                                              "addresses, separated by commas).");
        }
        if (std::find(addresses.begin(), addresses.end(), item) == addresses.end()) {
            addresses.push_back(std::move(item));
        }
        at = end;
    }
    return addresses;
}

std::optional<DiscoveredCamera> ParseDiscoveryAck(const std::uint8_t* data, std::size_t size,
                                                  std::uint16_t id) {
    if (size < kAckHeader + kAckPayload || Read16(data) != 0 || Read16(data + 2) != kDiscoveryAck ||
        Read16(data + 4) < kAckPayload || Read16(data + 6) != id) {
        return std::nullopt;
    }
    const std::uint8_t* p = data + kAckHeader;
    DiscoveredCamera camera;
    camera.currentIp = Ipv4(p + 0x24);
    camera.manufacturer = Text(p + 0x48, 32);
    camera.model = Text(p + 0x68, 32);
    camera.version = Text(p + 0x88, 32);
    camera.serialNumber = Text(p + 0xD8, 16);
    camera.userDefinedName = Text(p + 0xE8, 16);
    return camera;
}

std::vector<DiscoveredCamera> DiscoverCameras(const std::vector<std::string>& addresses,
                                              std::chrono::milliseconds wait) {
    std::vector<std::optional<DiscoveredCamera>> found(addresses.size());
    if (addresses.empty()) {
        return {};
    }
    const Socket socket;
    std::vector<sockaddr_in> targets(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        targets[i].sin_family = AF_INET;
        targets[i].sin_port = htons(kGvcpPort);
        ::inet_pton(AF_INET, addresses[i].c_str(), &targets[i].sin_addr);
    }
    // Request ids tell the answers apart: address i is asked with id i + 1.
    auto ask = [&](std::size_t i) {
        std::uint8_t command[8] = {kGvcpKey, kAcknowledgeRequired, 0, kDiscoveryCommand, 0, 0, 0,
                                   0};
        const auto id = static_cast<std::uint16_t>(i + 1);
        command[6] = static_cast<std::uint8_t>(id >> 8);
        command[7] = static_cast<std::uint8_t>(id);
        // A send that fails (no route) leaves that camera unfound, as silence would.
        ::sendto(socket.Fd(), command, sizeof command, MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&targets[i]), sizeof targets[i]);
    };
    // Three tries within the wait, as GVCP retries a lost command.
    constexpr int kTries = 3;
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < kTries; ++attempt) {
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (!found[i]) {
                ask(i);
            }
        }
        const auto until = start + wait * (attempt + 1) / kTries;
        for (;;) {
            if (std::all_of(found.begin(), found.end(),
                            [](const auto& f) { return f.has_value(); })) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd ready{socket.Fd(), POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) {
                continue;  // interrupted or time is up: the loop's clock decides
            }
            std::uint8_t answer[576];
            sockaddr_in from{};
            socklen_t fromSize = sizeof from;
            const ssize_t size = ::recvfrom(socket.Fd(), answer, sizeof answer, 0,
                                            reinterpret_cast<sockaddr*>(&from), &fromSize);
            if (size < static_cast<ssize_t>(kAckHeader)) {
                continue;
            }
            // Only an answer from the address asked, with that address's id, counts.
            const std::size_t i = Read16(answer + 6) - 1u;
            if (i >= addresses.size() || found[i] ||
                from.sin_addr.s_addr != targets[i].sin_addr.s_addr) {
                continue;
            }
            if (auto camera = ParseDiscoveryAck(answer, static_cast<std::size_t>(size),
                                                static_cast<std::uint16_t>(i + 1))) {
                camera->address = addresses[i];
                found[i] = std::move(camera);
            }
        }
    }
    std::vector<DiscoveredCamera> cameras;
    for (auto& camera : found) {
        if (camera) {
            cameras.push_back(std::move(*camera));
        }
    }
    return cameras;
}

}  // namespace Orvel::detail
