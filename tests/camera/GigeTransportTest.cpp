// The GigE Vision transport against what is not a camera program: silence when it is off,
// answers that are no camera's, a camera that vanishes. Runs in a loopback-only namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Discovery.h"
#include "Session.h"

namespace {

// Every socket the process opens, the SDK's own and Aravis's through GLib, is counted here.
std::atomic<int> socketsOpened{0};

}  // namespace

extern "C" int socket(int domain, int type, int protocol) {
    socketsOpened.fetch_add(1);
    return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
}

namespace Tarnwell::test {
namespace {

using Orvel::detail::DiscoveredCamera;
using Orvel::detail::ParseDiscoveryAck;
using Orvel::detail::ParseGigeAddresses;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kAddress = "127.0.0.2";

// A discovery acknowledgement as a camera sends it.
std::vector<std::uint8_t> DiscoveryAck(std::uint16_t id, const std::string& model,
                                       const std::string& serial, const std::string& userName) {
    std::vector<std::uint8_t> ack(8 + 0xF8, 0);
    ack[3] = 0x03;
    ack[4] = 0x00;
    ack[5] = 0xF8;
    ack[6] = static_cast<std::uint8_t>(id >> 8);
    ack[7] = static_cast<std::uint8_t>(id);
    std::uint8_t* p = ack.data() + 8;
    const std::uint8_t ip[4] = {127, 0, 0, 2};
    std::memcpy(p + 0x24, ip, 4);
    std::memcpy(p + 0x48, "Velkor", 6);
    std::memcpy(p + 0x68, model.data(), std::min<std::size_t>(model.size(), 32));
    std::memcpy(p + 0xD8, serial.data(), std::min<std::size_t>(serial.size(), 16));
    std::memcpy(p + 0xE8, userName.data(), std::min<std::size_t>(userName.size(), 16));
    return ack;
}

// Something at the GigE Vision control port of kAddress that answers each command as `answer`
// says (nothing when it returns an empty packet).
class Responder {
public:
    using Answer = std::function<std::vector<std::uint8_t>(const std::uint8_t*, std::size_t)>;

    explicit Responder(Answer answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(3956);
        ::inet_pton(AF_INET, kAddress, &at.sin_addr);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0)
            << std::strerror(errno);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Responder() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int Commands() const { return commands_.load(); }

private:
    void Serve() {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) {
                continue;
            }
            std::uint8_t packet[1500];
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n = ::recvfrom(fd_, packet, sizeof packet, 0,
                                         reinterpret_cast<sockaddr*>(&from), &size);
            if (n <= 0) {
                continue;
            }
            ++commands_;
            const std::vector<std::uint8_t> reply = answer_(packet, static_cast<std::size_t>(n));
            if (!reply.empty()) {
                ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         size);
            }
        }
    }

    Answer answer_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> commands_{0};
    std::thread thread_;
};

std::uint16_t RequestId(const std::uint8_t* command) {
    return static_cast<std::uint16_t>(command[6] << 8 | command[7]);
}

bool IsDiscovery(const std::uint8_t* command, std::size_t size) {
    return size >= 8 && command[0] == 0x42 && command[2] == 0 && command[3] == 0x02;
}

class GigeEnvironment : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("ORVEL_GIGE"); }
    void TearDown() override { ::unsetenv("ORVEL_GIGE"); }
};

TEST_F(GigeEnvironment, OpensNoSocketUnlessAddressesAreGiven) {
    const int before = socketsOpened.load();
    {
        SdkSession session;
        ASSERT_EQ(EnumerateCameras().size(), 2u);
        EmulatedCamera camera;
        camera.Create(0);
        camera.camera->StartGrabbing(1);
        Orvel::CGrabResultPtr result;
        ASSERT_TRUE(camera.camera->RetrieveResult(10000, result));
    }
    EXPECT_EQ(socketsOpened.load(), before);

    // The same with the addresses given: discovery asks them, and only them.
    const Responder silent(
        [](const std::uint8_t*, std::size_t) { return std::vector<std::uint8_t>{}; });
    ::setenv("ORVEL_GIGE", kAddress, 1);
    SdkSession session;
    EXPECT_TRUE(EnumerateCameras().empty());
    EXPECT_GT(socketsOpened.load(), before);
    EXPECT_GE(silent.Commands(), 1);
}

TEST(GigeAddresses, AreIpv4AddressesSeparatedByCommasOrBlanks) {
    EXPECT_EQ(ParseGigeAddresses("127.0.0.2,127.0.0.3  127.0.0.2"),
              (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
    EXPECT_TRUE(ParseGigeAddresses(" , ").empty());
    for (const char* bad : {"localhost", "127.0.0.2:3956", "1.2.3.4.5", "255.255.255.256"}) {
        try {
            ParseGigeAddresses(std::string("127.0.0.2,") + bad);
            ADD_FAILURE() << bad;
        } catch (const GenICam::GenericException& error) {
            EXPECT_EQ(std::string(error.GetDescription()),
                      std::string("ORVEL_GIGE: '") + bad +
                          "' is not an IPv4 address (give the cameras' addresses, separated by "
                          "commas).");
        }
    }
}

TEST(GigeDiscoveryAck, OnlyACompleteAnswerToTheRequestCounts) {
    const auto ack = DiscoveryAck(7, "Velkor XW", "40051001", "left-rig-16bytes");
    const std::optional<DiscoveredCamera> camera = ParseDiscoveryAck(ack.data(), ack.size(), 7);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->model, "Velkor XW");
    EXPECT_EQ(camera->serialNumber, "40051001");
    EXPECT_EQ(camera->userDefinedName, "left-rig-16bytes");  // all 16 bytes, no NUL
    EXPECT_EQ(camera->currentIp, "127.0.0.2");

    EXPECT_FALSE(ParseDiscoveryAck(ack.data(), ack.size(), 8));      // another request's
    EXPECT_FALSE(ParseDiscoveryAck(ack.data(), ack.size() - 1, 7));  // short
    auto failed = ack;
    failed[1] = 0x01;  // a status that is no success
    EXPECT_FALSE(ParseDiscoveryAck(failed.data(), failed.size(), 7));
    auto other = ack;
    other[3] = 0x81;  // another acknowledgement
    EXPECT_FALSE(ParseDiscoveryAck(other.data(), other.size(), 7));
}

TEST_F(GigeEnvironment, GarbageIsNoCameraAndAVanishedCameraIsOneError) {
    ::setenv("ORVEL_GIGE", kAddress, 1);
    {
        // Answers of every wrong shape to discovery: no camera.
        std::atomic<int> shape{0};
        const Responder garbage([&](const std::uint8_t* command, std::size_t) {
            const auto ack = DiscoveryAck(RequestId(command), "Velkor XW", "1", "");
            switch (shape++ % 3) {
                case 0:
                    return std::vector<std::uint8_t>(ack.begin(), ack.begin() + 20);
                case 1:
                    return std::vector<std::uint8_t>(600, 0xFF);
                default:
                    return DiscoveryAck(static_cast<std::uint16_t>(RequestId(command) + 1),
                                        "Velkor XW", "1", "");
            }
        });
        SdkSession session;
        EXPECT_TRUE(EnumerateCameras().empty());
    }
    // A camera that answers discovery and then nothing else, as one that vanished would.
    const Responder onlyDiscovery([](const std::uint8_t* command, std::size_t size) {
        return IsDiscovery(command, size) ? DiscoveryAck(RequestId(command), "Velkor XW", "42", "")
                                          : std::vector<std::uint8_t>{};
    });
    SdkSession session;
    ASSERT_EQ(EnumerateCameras().size(), 1u);
    EmulatedCamera camera;
    try {
        camera.Create(0);
        ADD_FAILURE() << "opened";
    } catch (const GenICam::GenericException& error) {
        EXPECT_THAT(std::string(error.GetDescription()),
                    StartsWith("Cannot open device 'VelkorXW-42': the camera at 127.0.0.2 does not "
                               "answer as a GigE Vision camera with a readable description ("));
        EXPECT_EQ(std::string(error.GetDescription()).find('\n'), std::string::npos);
    }
}

}  // namespace
}  // namespace Tarnwell::test
