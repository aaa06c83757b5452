// Tests of tarnwell-camera, the emulated cameras served as GigE Vision devices, as hosts see it
// over loopback in a namespace of the test's own: Aravis for what a GigE Vision library reads and
// receives, raw GVCP for what Aravis would never send.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "AravisReceiver.h"
#include "Description.h"
#include "Features.h"
#include "Gvcp.h"
#include "Process.h"
#include "Sensor.h"
#include "Session.h"
#include "TestFiles.h"

namespace Tarnwell::test {
namespace {

namespace emu = Orvel::detail;
namespace gvcp = device::gvcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kAddress = "127.0.0.2";

std::uint32_t FeatureRegister(const char* name) {
    return device::FeatureAddress(
        static_cast<std::size_t>(emu::FindFeature(name) - emu::Features().data()));
}

// One device process serving `json`'s cameras at 127.0.0.2, .3, …; stopped by SIGTERM, which
// must end it cleanly.
class Device {
public:
    explicit Device(const std::string& json, std::size_t cameras = 1) {
        std::vector<std::string> argv{TARNWELL_CAMERA, "--scenario",
                                      WriteTestFile("scenario.json", json).string()};
        for (std::size_t i = 0; i < cameras; ++i) {
            argv.push_back("--address");
            argv.push_back("127.0.0." + std::to_string(2 + i));
        }
        process_.emplace(argv);
        // The last ready line; the first start of a test binary may be slow under sanitizers.
        const std::string last = "at 127.0.0." + std::to_string(1 + cameras) + "\n";
        if (!process_->WaitForOutput(last, 60s)) {
            ADD_FAILURE() << "no ready line: " << process_->Output() << process_->Error();
        }
    }
    ~Device() {
        process_->Signal(SIGTERM);
        const ProcessResult result = process_->Wait(10s);
        EXPECT_EQ(result.exitCode, 0) << result.err;
    }

private:
    std::optional<Process> process_;
};

// A host's control channel without any library: exact commands, exact answers.
class GvcpClient {
public:
    struct Ack {
        std::uint16_t status = 0;
        std::uint16_t answer = 0;
        std::vector<std::uint8_t> payload;
    };

    GvcpClient() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in device{};
        device.sin_family = AF_INET;
        device.sin_port = htons(gvcp::kPort);
        inet_pton(AF_INET, kAddress, &device.sin_addr);
        connect(fd_, reinterpret_cast<const sockaddr*>(&device), sizeof device);
    }
    ~GvcpClient() { close(fd_); }

    void SendRaw(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    // A command asking for an acknowledgement; nullopt when none comes within a second.
    std::optional<Ack> Command(std::uint16_t command, const std::vector<std::uint8_t>& payload,
                               std::optional<std::uint16_t> length = {}) {
        std::vector<std::uint8_t> packet(8);
        packet[0] = gvcp::kKey;
        packet[1] = gvcp::kFlagAcknowledge;
        device::Put16(&packet[2], command);
        device::Put16(&packet[4], length.value_or(static_cast<std::uint16_t>(payload.size())));
        device::Put16(&packet[6], ++request_);
        packet.insert(packet.end(), payload.begin(), payload.end());
        SendRaw(packet);
        return Receive();
    }
    std::optional<Ack> Receive() {
        std::uint8_t in[1024];
        const auto deadline = Clock::now() + 1s;
        for (;;) {
            pollfd wait{fd_, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            const ssize_t size = recv(fd_, in, sizeof in, 0);
            if (size >= 8 && device::Get16(in + 6) == request_) {
                return Ack{device::Get16(in), device::Get16(in + 2),
                           std::vector<std::uint8_t>(in + 8, in + size)};
            }
        }
    }
    std::uint16_t WriteReg(std::uint32_t address, std::uint32_t value) {
        std::vector<std::uint8_t> payload(8);
        device::Put32(&payload[0], address);
        device::Put32(&payload[4], value);
        const auto ack = Command(gvcp::kWriteRegCmd, payload);
        return ack ? ack->status : 0xFFFF;
    }
    std::optional<std::uint32_t> ReadReg(std::uint32_t address) {
        std::vector<std::uint8_t> payload(4);
        device::Put32(&payload[0], address);
        const auto ack = Command(gvcp::kReadRegCmd, payload);
        if (!ack || ack->status != gvcp::kSuccess || ack->payload.size() != 4) {
            return std::nullopt;
        }
        return device::Get32(ack->payload.data());
    }
    std::optional<Ack> ReadMem(std::uint32_t address, std::uint16_t count) {
        std::vector<std::uint8_t> payload(8);
        device::Put32(&payload[0], address);
        device::Put16(&payload[6], count);
        return Command(gvcp::kReadMemCmd, payload);
    }

private:
    int fd_ = -1;
    std::uint16_t request_ = 0;
};

// A UDP socket on loopback for a stream to go to.
struct StreamSink {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;
    StreamSink() {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        socklen_t size = sizeof at;
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
        port = ntohs(at.sin_port);
    }
    ~StreamSink() { close(fd); }
    // Whether a packet comes within `timeout`; reads it.
    bool Packet(std::chrono::milliseconds timeout) {
        pollfd wait{fd, POLLIN, 0};
        std::uint8_t packet[10000];
        return poll(&wait, 1, static_cast<int>(timeout.count())) == 1 &&
               recv(fd, packet, sizeof packet, 0) >= 0;
    }
};

// The sensor's sequence of the scenario's first camera at binning 4, as the device prepares it.
std::unique_ptr<emu::SensorSequence> Sequence() {
    emu::Settings settings;
    settings.binningHorizontal = settings.binningVertical = 4;
    static const emu::Recording none;
    auto sequence =
        std::make_unique<emu::SensorSequence>(settings, emu::SceneSeed(1, 0), none, false);
    sequence->Prepare([] { return false; });
    return sequence;
}

// Receives `frames` software-triggered frames at binning 4 with Aravis and checks each is the
// sequence's raw pair, byte for byte.
void ReceiveTriggeredFrames(AravisDevice& host, int frames) {
    host.SetInteger("BinningHorizontal", 4);
    host.SetInteger("BinningVertical", 4);
    host.SetEnumeration("TriggerMode", "On");
    const std::size_t eye = 480 * 300;
    host.StartStream(2 * eye);
    const auto sequence = Sequence();
    for (int k = 1; k <= frames; ++k) {
        // The device prepares its sequence first: seconds under the sanitizers.
        ArvBuffer* buffer = nullptr;
        for (auto deadline = Clock::now() + 60s; buffer == nullptr && Clock::now() < deadline;) {
            host.Execute("TriggerSoftware");
            buffer = host.Pop(1s);
        }
        ASSERT_NE(buffer, nullptr) << "frame " << k;
        EXPECT_EQ(arv_buffer_get_status(buffer), ARV_BUFFER_STATUS_SUCCESS) << "frame " << k;
        EXPECT_EQ(arv_buffer_get_frame_id(buffer), static_cast<guint64>(k));
        size_t size = 0;
        const auto* data = static_cast<const std::uint8_t*>(arv_buffer_get_data(buffer, &size));
        const emu::SensorFrame& expected = sequence->Frame(static_cast<std::uint64_t>(k));
        ASSERT_EQ(size, 2 * eye);
        EXPECT_EQ(std::memcmp(data, expected.left.Row(0), eye), 0) << "left view of frame " << k;
        EXPECT_EQ(std::memcmp(data + eye, expected.right.Row(0), eye), 0) << "right view " << k;
        host.Push(buffer);
    }
}

// Makes sure the XML describes every feature a program uses as the emulated camera's node map
// does (kind, range, increment, entries, access, lock), that Aravis can load it, and that the
// device's registers hold the camera's values. Example failure: a feature missing or of the wrong
// kind, a maximum that ignores the scenario's maxFrameRate, a feature the stream reads not locked
// while grabbing, RawCombined selectable outside the single-component mode.
TEST(GigeDevice, DescribesEveryFeatureAsTheEmulatedCameraDoes) {
    const std::string json =
        R"({"cameras": [{"maxFrameRate": 40, "missingComponents": ["Error"],
                         "powerOn": {"BinningHorizontal": 2}}]})";
    Device device(json);
    SdkSession session(json);
    EmulatedCamera emulated;
    GenApi::INodeMap& expected = emulated.Create().GetNodeMap();
    AravisDevice host(kAddress);
    ArvGc* gc = host.Genicam();
    for (const emu::Feature& feature : emu::Features()) {
        if (!device::IsServed(feature)) {
            EXPECT_EQ(arv_gc_get_node(gc, feature.name), nullptr) << feature.name;
            continue;
        }
        SCOPED_TRACE(feature.name);
        ArvGcNode* node = arv_gc_get_node(gc, feature.name);
        GenApi::INode* model = expected.GetNode(feature.name);
        ASSERT_NE(node, nullptr);
        GError* error = nullptr;
        switch (feature.kind) {
            case emu::FeatureKind::Integer: {
                ASSERT_TRUE(ARV_IS_GC_INTEGER(node));
                auto& value = dynamic_cast<GenApi::IInteger&>(*model);
                EXPECT_EQ(arv_gc_integer_get_min(ARV_GC_INTEGER(node), &error), value.GetMin());
                EXPECT_EQ(arv_gc_integer_get_max(ARV_GC_INTEGER(node), &error), value.GetMax());
                EXPECT_EQ(arv_gc_integer_get_inc(ARV_GC_INTEGER(node), &error), value.GetInc());
                break;
            }
            case emu::FeatureKind::Float: {
                ASSERT_TRUE(ARV_IS_GC_FLOAT(node));
                auto& value = dynamic_cast<GenApi::IFloat&>(*model);
                EXPECT_EQ(arv_gc_float_get_min(ARV_GC_FLOAT(node), &error), value.GetMin());
                EXPECT_EQ(arv_gc_float_get_max(ARV_GC_FLOAT(node), &error), value.GetMax());
                break;
            }
            case emu::FeatureKind::Boolean:
                EXPECT_TRUE(ARV_IS_GC_BOOLEAN(node));
                break;
            case emu::FeatureKind::Command:
                EXPECT_TRUE(ARV_IS_GC_COMMAND(node));
                break;
            case emu::FeatureKind::Enumeration: {
                ASSERT_TRUE(ARV_IS_GC_ENUMERATION(node));
                GenApi::StringList_t entries;
                dynamic_cast<GenApi::IEnumeration&>(*model).GetSymbolics(entries);
                std::vector<std::string> served;
                for (const GSList* entry = arv_gc_enumeration_get_entries(ARV_GC_ENUMERATION(node));
                     entry != nullptr; entry = entry->next) {
                    served.emplace_back(
                        arv_gc_feature_node_get_name(static_cast<ArvGcFeatureNode*>(entry->data)));
                }
                std::reverse(served.begin(), served.end());  // Aravis lists them last first
                std::vector<std::string> names;
                for (const GenApi::gcstring& entry : entries) {
                    names.push_back(entry.str());
                }
                EXPECT_EQ(served, names);
                break;
            }
        }
        EXPECT_EQ(error, nullptr) << (error ? error->message : "");
        g_clear_error(&error);
        const ArvGcAccessMode access =
            arv_gc_feature_node_get_actual_access_mode(ARV_GC_FEATURE_NODE(node));
        EXPECT_EQ(access, feature.access == GenApi::RO   ? ARV_GC_ACCESS_MODE_RO
                          : feature.access == GenApi::WO ? ARV_GC_ACCESS_MODE_WO
                                                         : ARV_GC_ACCESS_MODE_RW);
    }
    // The power-on value, and what follows from it.
    EXPECT_EQ(host.GetInteger("BinningHorizontal"), 2);
    EXPECT_EQ(host.GetInteger("Width"), 960);
    GError* error = nullptr;
    EXPECT_STREQ(arv_device_get_string_feature_value(host.Device(), "DeviceVendorName", &error),
                 "Velkor");
    EXPECT_STREQ(arv_device_get_string_feature_value(host.Device(), "DeviceSerialNumber", &error),
                 "40051001");
    EXPECT_STREQ(arv_device_get_string_feature_value(host.Device(), "DeviceUserID", &error), "");

    // RawCombined is selectable in the single-component mode alone.
    auto selectable = [&] {
        guint count = 0;
        const char** entries = arv_gc_enumeration_dup_available_string_values(
            ARV_GC_ENUMERATION(arv_gc_get_node(gc, "ComponentSelector")), &count, nullptr);
        std::set<std::string> names(entries, entries + count);
        g_free(entries);
        return names.count("RawCombined") == 1;
    };
    EXPECT_FALSE(selectable());
    host.SetEnumeration("VkrComponentMode", "SingleComponent");
    EXPECT_TRUE(selectable());

    // A value the camera refuses, and the features the stream reads, locked while grabbing.
    EXPECT_THROW(host.SetInteger("BinningHorizontal", 3), std::runtime_error);
    host.SetInteger("TLParamsLocked", 1);
    for (const emu::Feature& feature : emu::Features()) {
        if (ArvGcNode* node = arv_gc_get_node(gc, feature.name)) {
            EXPECT_EQ(arv_gc_feature_node_is_locked(ARV_GC_FEATURE_NODE(node), nullptr),
                      feature.lockedWhileGrabbing)
                << feature.name;
        }
    }
    EXPECT_THROW(host.SetInteger("BinningHorizontal", 1), std::runtime_error);
    host.SetInteger("TLParamsLocked", 0);
    host.SetInteger("BinningHorizontal", 1);
}

// Makes sure the control privilege goes to one host: another host's write to the privilege or to
// any register is refused with ACCESS_DENIED at once (no time-out), reads still work, the first
// keeps control and can hand it over. Example failure: a second application that waits seconds
// for an answer, or takes the camera from the one using it.
TEST(GigeDevice, SecondControllerIsRefusedAtOnceAndTheFirstKeepsControl) {
    Device device("{}", 2);
    GvcpClient first;
    GvcpClient second;
    ASSERT_EQ(first.WriteReg(gvcp::kControlPrivilege, gvcp::kPrivilegeControl), gvcp::kSuccess);
    const auto asked = Clock::now();
    EXPECT_EQ(second.WriteReg(gvcp::kControlPrivilege, gvcp::kPrivilegeControl),
              gvcp::kAccessDenied);
    EXPECT_EQ(second.WriteReg(gvcp::kStreamPacketSize, 9000), gvcp::kAccessDenied);
    EXPECT_LT(Clock::now() - asked, 1s) << "refused only after a time-out";
    EXPECT_EQ(second.ReadReg(gvcp::kStreamPacketSize), 1500u);
    EXPECT_EQ(first.WriteReg(gvcp::kStreamPacketSize, 9000), gvcp::kSuccess);
    EXPECT_EQ(first.ReadReg(gvcp::kControlPrivilege), gvcp::kPrivilegeControl);
    EXPECT_EQ(first.WriteReg(gvcp::kControlPrivilege, 0), gvcp::kSuccess);
    EXPECT_EQ(second.WriteReg(gvcp::kControlPrivilege, gvcp::kPrivilegeControl), gvcp::kSuccess);
}

// Makes sure control ends once its holder has sent nothing for the heartbeat time-out, and the
// stream with it. Example failure: a camera held forever by a host that crashed.
TEST(GigeDevice, ControlEndsWhenTheHeartbeatExpires) {
    Device device("{}", 2);
    GvcpClient holder;
    GvcpClient next;
    StreamSink sink;
    ASSERT_EQ(holder.WriteReg(gvcp::kHeartbeatTimeout, 500), gvcp::kSuccess);
    ASSERT_EQ(holder.WriteReg(gvcp::kControlPrivilege, gvcp::kPrivilegeControl), gvcp::kSuccess);
    ASSERT_EQ(holder.WriteReg(FeatureRegister("BinningHorizontal"), 4), gvcp::kSuccess);
    ASSERT_EQ(holder.WriteReg(FeatureRegister("BinningVertical"), 4), gvcp::kSuccess);
    ASSERT_EQ(holder.WriteReg(gvcp::kStreamDestination, INADDR_LOOPBACK), gvcp::kSuccess);
    ASSERT_EQ(holder.WriteReg(gvcp::kStreamPort, sink.port), gvcp::kSuccess);
    // The holder's last command, timed before it is sent: the device heard it after that.
    auto silent = Clock::now();
    ASSERT_EQ(holder.WriteReg(device::kAcquisitionStart, 1), gvcp::kSuccess);
    // The sequence is drawn before the first exposure, which may outlast the heartbeat under a
    // sanitizer: the holder keeps control until the stream flows, then falls silent.
    const auto started = Clock::now();
    bool streaming = false;
    while (!(streaming = sink.Packet(100ms)) && Clock::now() - started < 60s) {
        silent = Clock::now();
        holder.ReadReg(gvcp::kHeartbeatTimeout);
    }
    ASSERT_TRUE(streaming) << "no stream";
    std::uint16_t status = 0;
    while ((status = next.WriteReg(gvcp::kControlPrivilege, gvcp::kPrivilegeControl)) !=
               gvcp::kSuccess &&
           Clock::now() - silent < 10s) {
        EXPECT_EQ(status, gvcp::kAccessDenied);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(status, gvcp::kSuccess);
    EXPECT_GE(Clock::now() - silent, 500ms);
    // The frame on its way finishes; then nothing more comes.
    while (sink.Packet(200ms)) {
    }
    EXPECT_FALSE(sink.Packet(300ms)) << "the stream went on after control ended";
}

// Makes sure a frame Aravis receives is the sensor sequence's raw pair, byte for byte, numbered
// from 1, in exactly n = ceil(W·2H / (S − 36)) + 2 packets a frame, one frame per trigger.
// Example failure: a view shifted by a packet's header, a block id 0, a frame sent twice.
TEST(GigeDevice, FramesAreTheSequencesRawPairsInTheirPackets) {
    Device device("{}", 2);
    AravisDevice host(kAddress);
    ReceiveTriggeredFrames(host, 2);
    const std::uint64_t packets = (2 * 480 * 300 + 1463) / 1464 + 2;
    EXPECT_EQ(host.StreamInfo("n_received_packets"), 2 * packets);
    EXPECT_EQ(host.StreamInfo("n_resend_requests"), 0u);
}

// Makes sure packets the scenario's link loses are sent again when Aravis asks, so every frame
// arrives whole. Example failure: a PACKETRESEND ignored, or answered with other packets.
TEST(GigeDevice, LossIsRecoveredByResendRequests) {
    Device device(R"({"cameras": [{"packetLossRate": 0.03}]})");
    AravisDevice host(kAddress);
    ReceiveTriggeredFrames(host, 4);
    EXPECT_GT(host.StreamInfo("n_resend_requests"), 0u);
    EXPECT_GT(host.StreamInfo("n_resent_packets"), 0u);
}

// Makes sure malformed commands get nothing or an error status, and the device goes on
// answering. Example failure: a crash on a short datagram, a read past the XML's end, a count
// that overflows a buffer, a resend request for packets that never were.
TEST(GigeDevice, GarbageLeavesTheDeviceAnswering) {
    Device device("{}", 2);
    GvcpClient client;
    client.SendRaw({0x42, 0x01, 0x00});                              // short
    client.SendRaw(std::vector<std::uint8_t>(576, 0xFF));            // not ours
    client.SendRaw({0x42, 0x00, 0x00, 0x40, 0x00, 0x0C, 0x00, 0x01,  // resend of nothing
                    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    EXPECT_EQ(client.Command(0x1234, {})->status, gvcp::kNotImplemented);
    EXPECT_EQ(client.ReadMem(0xFFFFFFF0, 536)->status, gvcp::kInvalidAddress);
    EXPECT_EQ(client.ReadMem(0, 0xFFFC)->status, gvcp::kInvalidParameter);
    EXPECT_EQ(client.ReadMem(2, 4)->status, gvcp::kBadAlignment);
    EXPECT_EQ(client.ReadMem(device::kXmlAddress + 0x7FFFF0, 16)->status, gvcp::kInvalidAddress);
    EXPECT_EQ(client.Command(gvcp::kReadRegCmd, {0, 0, 0, 0}, 400)->status, gvcp::kInvalidHeader);
    EXPECT_EQ(client.Command(gvcp::kReadRegCmd, std::vector<std::uint8_t>(540, 0))->status,
              gvcp::kInvalidParameter);
    EXPECT_EQ(client.Command(gvcp::kWriteMemCmd, {0, 0, 0x0D, 0x04, 0, 0})->status,
              gvcp::kInvalidParameter);
    EXPECT_EQ(client.WriteReg(0x12345678, 1), gvcp::kInvalidAddress);
    EXPECT_EQ(client.WriteReg(gvcp::kSerialNumber, 1), gvcp::kWriteProtect);
    EXPECT_EQ(client.WriteReg(gvcp::kStreamPacketSize, 8998), gvcp::kInvalidParameter);
    EXPECT_EQ(client.WriteReg(device::kAcquisitionStart, 1), gvcp::kWrongConfig);
    const auto serial = client.ReadMem(gvcp::kSerialNumber, 16);
    ASSERT_TRUE(serial && serial->status == gvcp::kSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(serial->payload.data()) + 4), "40051001");
}

// Makes sure what the program cannot serve ends it with one line on standard error and exit code
// 1, before it prints a ready line. Example failure: a camera silently left out, an exception's
// text, a crash on an address of another host.
TEST(TarnwellCamera, RefusesWhatItCannotServeWithOneLine) {
    const std::string scenario = WriteTestFile("long.json", R"({"cameras": [
        {"friendlyName": "a name of 17 byte"}]})")
                                     .string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--address", kAddress},
         "The scenario has 2 cameras but 1 address was given: one --address per camera.\n"},
        {{"--scenario", "1", "--address", "1.2.3"},
         "'1.2.3' is not an IPv4 address such as 127.0.0.2.\n"},
        {{"--scenario", "2", "--address", kAddress, "--address", kAddress},
         "Address 127.0.0.2 is given twice.\n"},
        {{"--scenario", scenario, "--address", kAddress},
         "Camera 'a name of 17 byte' (cameras[0]): its friendlyName has 17 bytes; a GigE Vision "
         "user-defined name holds at most 16.\n"},
        {{"--scenario", "1", "--address", "10.9.8.7"},
         "Cannot serve camera 'VelkorXW-40051001' at 10.9.8.7: cannot bind its control "
         "channel, UDP port 3956 (Cannot assign requested address)\n"},
    };
    for (const auto& [arguments, error] : cases) {
        std::vector<std::string> argv{TARNWELL_CAMERA};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ProcessResult result = RunProcess(argv, {}, 30s);
        EXPECT_EQ(result.exitCode, 1) << arguments.back();
        EXPECT_EQ(result.err, error);
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
}  // namespace Tarnwell::test
