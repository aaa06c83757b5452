// A served camera's set-up and its control channel: discovery, registers and memory, the control
// privilege with its heartbeat, and resend requests handed to the stream.
#include "GigeCamera.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Description.h"
#include "Features.h"
#include "Gvcp.h"
#include "Orvel/Transport/Errors.h"

namespace Tarnwell::device {

namespace {

using namespace gvcp;

// A locally administered unicast MAC address that the serial number alone decides (FNV-1a).
std::array<std::uint8_t, 6> MacFor(const std::string& serial) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : serial) {
        hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001b3u;
    }
    std::array<std::uint8_t, 6> mac{0x02};
    for (std::size_t i = 1; i < mac.size(); ++i) {
        mac[i] = static_cast<std::uint8_t>(hash >> (8 * i));
    }
    return mac;
}

std::uint32_t SubnetFor(std::uint32_t address) {
    if (address >> 24 == 127) {
        return 0xFF000000u;
    }
    if (address >> 16 == 0xA9FE) {  // 169.254/16, link-local
        return 0xFFFF0000u;
    }
    return 0xFFFFFF00u;
}

std::uint16_t StatusOf(const GenICam::GenericException& error) {
    const std::string_view type = error.GetExceptionType();
    if (type == "AccessException") {
        return kWriteProtect;
    }
    if (type == "OutOfRangeException" || type == "InvalidArgumentException") {
        return kInvalidParameter;
    }
    return kGenericError;
}

std::string Failure(const std::string& what) {
    return what + " (" + std::strerror(errno) + ")";
}

}  // namespace

GigeCamera::GigeCamera(const emu::CameraConfig& config, std::size_t index, std::uint64_t seed,
                       const std::string& origin, const std::string& address)
    : config_(config),
      index_(index),
      seed_(seed),
      unusedAcquisition_(config_, shared_.settings, emu::SceneSeed(seed, index),
                         config.friendlyName),
      nodes_(*this, config.friendlyName) {
    const std::string camera =
        "Camera '" + config.friendlyName + "' (cameras[" + std::to_string(index) + "])";
    if (config.serialNumber.size() > 16) {
        throw std::runtime_error(camera + ": its serialNumber has " +
                                 std::to_string(config.serialNumber.size()) +
                                 " bytes; GigE Vision holds at most 16.");
    }
    if (config.friendlyName != "VelkorXW-" + config.serialNumber &&
        config.friendlyName.size() > 16) {
        throw std::runtime_error(camera + ": its friendlyName has " +
                                 std::to_string(config.friendlyName.size()) +
                                 " bytes; a GigE Vision user-defined name holds at most 16.");
    }
    if (inet_pton(AF_INET, address.c_str(), &address_) != 1) {
        throw std::runtime_error("'" + address + "' is not an IPv4 address such as 127.0.0.2.");
    }
    {
        MutexLock lock(mutex_);
        // As the emulated transport powers a camera on.
        emu::Settings& settings = shared_.settings;
        settings.frameRate = std::min(settings.frameRate, config_.maxFrameRate);
        if (!config_.componentPresent[settings.selector]) {
            settings.selector = static_cast<std::size_t>(
                std::find(config_.componentPresent.begin(), config_.componentPresent.end(), true) -
                config_.componentPresent.begin());
        }
        emu::FeatureState state{config_, settings, unusedAcquisition_};
        for (const emu::Feature& feature : emu::Features()) {
            // The trigger is the device's own: it wakes the stream thread.
            if (!IsServed(feature) || std::string_view(feature.name) == "TriggerSoftware") {
                continue;
            }
            emu::NodeTraits traits;
            traits.name = feature.name;
            traits.description = feature.description;
            traits.access = feature.access;
            traits.lockedWhileGrabbing = feature.lockedWhileGrabbing;
            traits.unreadable = config_.unreadableNodes.count(feature.name) != 0;
            feature.add(nodes_, std::move(traits), state);
        }
        ApplyPowerOnValues(origin);
        const double heartbeat = std::round(config_.heartbeatTimeout * 1e3);
        shared_.heartbeatMs = static_cast<std::uint32_t>(
            std::clamp(heartbeat, double{kMinHeartbeatMs}, double{0xFFFFFFFFu}));
        xml_ = CameraXml(config_, nodes_);
    }
    FillBootstrap();
    BindSockets(address);
    std::seed_seq seeds{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(index)};
    random_.seed(seeds);
}

GigeCamera::~GigeCamera() {
    Stop();
    for (const int fd : {controlFd_, streamFd_, wakeFd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool GigeCamera::IsGrabbing() const ORVEL_THREAD_ANNOTATION(no_thread_safety_analysis) {
    // The node map asks only while the control thread holds mutex_.
    return shared_.paramsLocked || shared_.acquiring;
}

void GigeCamera::ApplyPowerOnValues(const std::string& origin) {
    for (const emu::PowerOnValue& value : config_.powerOn) {
        const std::string path = "cameras[" + std::to_string(index_) + "].powerOn." +
                                 value.feature +
                                 (value.component.empty() ? "" : "." + value.component);
        try {
            if (!value.component.empty()) {
                dynamic_cast<GenApi::IValue&>(*nodes_.GetNode("ComponentSelector"))
                    .FromString(value.component.c_str());
            }
            GenApi::INode* node = nodes_.GetNode(value.feature.c_str());
            if (node == nullptr) {
                throw std::runtime_error("Emulation scenario '" + origin + "': " + path +
                                         ": the device has no such feature");
            }
            dynamic_cast<GenApi::IValue&>(*node).FromString(value.text.c_str());
        } catch (const GenICam::GenericException& error) {
            throw std::runtime_error("Emulation scenario '" + origin + "': " + path + ": " +
                                     error.GetDescription());
        }
    }
}

void GigeCamera::FillBootstrap() {
    auto put32 = [this](std::uint32_t at, std::uint32_t value) { Put32(&bootstrap_[at], value); };
    auto text = [this](std::uint32_t at, const std::string& value) {
        std::memcpy(&bootstrap_[at], value.data(), value.size());
    };
    const std::uint32_t ip = ntohl(address_.s_addr);
    put32(kVersion, 1u << 16 | 2);
    put32(kDeviceMode, 0x80000001u);  // big-endian registers, UTF-8 texts
    const auto mac = MacFor(config_.serialNumber);
    put32(kMacHigh, std::uint32_t{mac[0]} << 8 | mac[1]);
    put32(kMacLow, Get32(&mac[2]));
    put32(kIpConfigOptions, 0x4);  // link-local addressing
    put32(kIpConfigCurrent, 0x4);
    put32(kCurrentIp, ip);
    put32(kCurrentSubnet, SubnetFor(ip));
    text(kManufacturerName, "Velkor");
    text(kModelName, "Velkor XW");
    text(kDeviceVersion, "1.0");
    text(kManufacturerInfo, "Emulated by tarnwell-camera");
    text(kSerialNumber, config_.serialNumber);
    // The host names a camera with an empty user name after its class's default.
    if (config_.friendlyName != "VelkorXW-" + config_.serialNumber) {
        text(kUserName, config_.friendlyName);
    }
    char url[128];
    std::snprintf(url, sizeof url, "Local:%s;%X;%zX", kXmlFileName, kXmlAddress, xml_.size());
    text(kFirstUrl, url);
}

void GigeCamera::BindSockets(const std::string& address) {
    const std::string where =
        "Cannot serve camera '" + config_.friendlyName + "' at " + address + ": ";
    auto bound = [&](std::uint16_t port, const char* what) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            throw std::runtime_error(Failure(where + "no socket for its " + what));
        }
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr = address_;
        at.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            throw std::runtime_error(Failure(where + "cannot bind its " + what));
        }
        return fd;
    };
    controlFd_ = bound(kPort, "control channel, UDP port 3956");
    streamFd_ = bound(0, "stream channel");
    // Several packets of a batch may wait for the wire at once. Stream packets are not to be
    // fragmented: the host chose their size.
    const int buffer = 4 << 20;
    setsockopt(streamFd_, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    const int dontFragment = IP_PMTUDISC_DO;
    setsockopt(streamFd_, IPPROTO_IP, IP_MTU_DISCOVER, &dontFragment, sizeof dontFragment);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        throw std::runtime_error(Failure(where + "no eventfd"));
    }
}

void GigeCamera::Start() {
    control_ = std::thread([this] { ServeControl(); });
    stream_ = std::thread([this] { Stream(); });
    started_ = true;
}

void GigeCamera::Stop() noexcept {
    if (!started_) {
        return;
    }
    {
        MutexLock lock(mutex_);
        shared_.stop = true;
    }
    streamWake_.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
    control_.join();
    stream_.join();
    started_ = false;
}

std::uint64_t GigeCamera::Timestamp() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch_).count());
}

// ---- the control channel ----

void GigeCamera::ServeControl() {
    std::array<std::uint8_t, 2048> in{};
    std::array<std::uint8_t, kMaxCommandBytes + 64> out{};
    for (;;) {
        int timeout = -1;
        {
            MutexLock lock(mutex_);
            if (shared_.stop) {
                return;
            }
            if (shared_.controller) {
                const auto deadline =
                    shared_.heardAt + std::chrono::milliseconds(shared_.heartbeatMs);
                const auto left = deadline - Clock::now();
                if (left <= Clock::duration::zero()) {
                    ReleaseControl();
                } else {
                    // Rounded up, so that the wait does not end just before the deadline.
                    timeout = static_cast<int>(
                        std::chrono::ceil<std::chrono::milliseconds>(left).count());
                }
            }
        }
        pollfd waits[2] = {{controlFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(waits, 2, timeout) < 0 && errno != EINTR) {
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        if (waits[0].revents == 0) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = recvfrom(controlFd_, in.data(), in.size(), MSG_DONTWAIT | MSG_TRUNC,
                                      reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (size < static_cast<ssize_t>(kHeaderBytes) ||
            size > static_cast<ssize_t>(kMaxCommandBytes)) {
            continue;  // no GigE Vision command
        }
        const Peer peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        const std::size_t answer =
            Answer(in.data(), static_cast<std::size_t>(size), peer, out.data());
        if (answer != 0) {
            sendto(controlFd_, out.data(), answer, MSG_DONTWAIT,
                   reinterpret_cast<const sockaddr*>(&from), fromSize);
        }
    }
}

std::size_t GigeCamera::Answer(const std::uint8_t* in, std::size_t size, const Peer& from,
                               std::uint8_t* out) {
    if (in[0] != kKey) {
        return 0;
    }
    const std::uint8_t flags = in[1];
    const std::uint16_t command = Get16(in + 2);
    const std::size_t length = Get16(in + 4);
    const std::uint16_t request = Get16(in + 6);
    const std::uint8_t* payload = in + kHeaderBytes;
    std::uint8_t* answer = out + kHeaderBytes;
    std::size_t answered = 0;
    std::uint16_t status = kSuccess;

    MutexLock lock(mutex_);
    if (shared_.controller && *shared_.controller == from) {
        shared_.heardAt = Clock::now();  // any command of the controller is its heartbeat
    }
    if (length > size - kHeaderBytes) {
        status = kInvalidHeader;
    } else {
        switch (command) {
            case kDiscoveryCmd:
                Discovery(answer);
                answered = kDiscoveryBytes;
                break;
            case kPacketResendCmd:
                QueueResend(payload, length, (flags & kFlagExtendedIds) != 0);
                return 0;  // never acknowledged
            case kReadRegCmd:
                if (length == 0 || length % 4 != 0 || length / 4 > kMaxRegisters) {
                    status = kInvalidParameter;
                    break;
                }
                for (std::size_t at = 0; at < length && status == kSuccess; at += 4) {
                    std::uint32_t value = 0;
                    status = ReadWord(Get32(payload + at), value);
                    if (status == kSuccess) {
                        Put32(answer + answered, value);
                        answered += 4;
                    }
                }
                break;
            case kWriteRegCmd: {
                if (length == 0 || length % 8 != 0) {
                    status = kInvalidParameter;
                    break;
                }
                std::uint32_t written = 0;
                for (std::size_t at = 0; at < length && status == kSuccess; at += 8) {
                    status = WriteRegister(Get32(payload + at), Get32(payload + at + 4), from);
                    written += status == kSuccess ? 1 : 0;
                }
                Put32(answer, written);  // reserved, then the index of the write that failed
                answered = 4;
                break;
            }
            case kReadMemCmd: {
                if (length < 8) {
                    status = kInvalidParameter;
                    break;
                }
                const std::uint32_t address = Get32(payload);
                const std::size_t count = Get16(payload + 6);
                if (count == 0 || count % 4 != 0 || count > kMaxMemoryBytes) {
                    status = kInvalidParameter;
                } else if (address % 4 != 0) {
                    status = kBadAlignment;
                } else {
                    status = ReadMemory(address, count, answer + 4);
                }
                Put32(answer, address);
                answered = status == kSuccess ? 4 + count : 4;
                break;
            }
            case kWriteMemCmd: {
                const std::size_t count = length < 4 ? 0 : length - 4;
                const std::uint32_t address = length < 4 ? 0 : Get32(payload);
                if (count == 0 || count % 4 != 0 || count > kMaxMemoryBytes) {
                    status = kInvalidParameter;
                } else if (address % 4 != 0) {
                    status = kBadAlignment;
                } else {
                    status = Write(address, payload + 4, count, from);
                }
                Put32(answer, 0);
                answered = 4;
                break;
            }
            default:
                status = kNotImplemented;
        }
    }
    // Discovery is always answered; anything else when the host asks for an acknowledgement.
    if (command != kDiscoveryCmd && (flags & kFlagAcknowledge) == 0) {
        return 0;
    }
    Put16(out, status);
    Put16(out + 2, static_cast<std::uint16_t>(command + 1));
    Put16(out + 4, static_cast<std::uint16_t>(answered));
    Put16(out + 6, request);
    return kHeaderBytes + answered;
}

void GigeCamera::Discovery(std::uint8_t* payload) {
    std::memcpy(payload, bootstrap_.data(), kDiscoveryBytes);
}

std::uint16_t GigeCamera::ReadMemory(std::uint32_t address, std::size_t count, std::uint8_t* out) {
    if (std::uint64_t{address} + count > 0x100000000u) {
        return kInvalidAddress;
    }
    for (std::size_t at = 0; at < count; at += 4) {
        std::uint32_t value = 0;
        if (const std::uint16_t status = ReadWord(address + static_cast<std::uint32_t>(at), value);
            status != kSuccess) {
            return status;
        }
        Put32(out + at, value);
    }
    return kSuccess;
}

std::uint16_t GigeCamera::ReadWord(std::uint32_t address, std::uint32_t& value) {
    if (address % 4 != 0) {
        return kBadAlignment;
    }
    // The constant block: identity, addresses, names and the URLs.
    if (address < kDiscoveryBytes || (address >= kFirstUrl && address < bootstrap_.size())) {
        value = Get32(&bootstrap_[address]);
        return kSuccess;
    }
    if (address >= kXmlAddress && address - kXmlAddress < xml_.size()) {
        std::uint8_t word[4] = {};
        const std::size_t from = address - kXmlAddress;
        std::memcpy(word, xml_.data() + from, std::min<std::size_t>(4, xml_.size() - from));
        value = Get32(word);
        return kSuccess;
    }
    if (const auto slot = FindFeatureSlot(address)) {
        return ReadFeature(slot->index, slot->offset, value);
    }
    const emu::Settings& settings = shared_.settings;
    switch (address) {
        case kNetworkInterfaces:
        case kStreamChannels:
            value = 1;
            break;
        case kMessageChannels:
        case kActionSignals:
        case kGvspCapability:
        case kMessageCapability:
        case kMessageChannelPort:
        case kStreamCapability:
        case kStreamConfig:
        case kTimestampControl:
        case kAcquisitionStart:
        case kAcquisitionStop:
            value = 0;
            break;
        case kGvcpCapability:
            value = kCapabilities;
            break;
        case kHeartbeatTimeout:
            value = shared_.heartbeatMs;
            break;
        case kTickFrequencyHigh:
            value = static_cast<std::uint32_t>(kTickFrequency >> 32);
            break;
        case kTickFrequencyLow:
            value = static_cast<std::uint32_t>(kTickFrequency);
            break;
        case kTimestampHigh:
            value = static_cast<std::uint32_t>(shared_.latchedTimestamp >> 32);
            break;
        case kTimestampLow:
            value = static_cast<std::uint32_t>(shared_.latchedTimestamp);
            break;
        case kControlPrivilege:
            value = shared_.privilege;
            break;
        case kPrimaryPort:
            value = shared_.controller ? shared_.controller->port : 0;
            break;
        case kPrimaryAddress:
            value = shared_.controller ? shared_.controller->address : 0;
            break;
        case kStreamPort:
            value = shared_.hostPort;
            break;
        case kStreamPacketSize:
            value = static_cast<std::uint32_t>(settings.packetSize);
            break;
        case kStreamPacketDelay:
            value = static_cast<std::uint32_t>(settings.packetDelayNs);
            break;
        case kStreamDestination:
            value = shared_.destination;
            break;
        case kStreamSourcePort: {
            sockaddr_in local{};
            socklen_t localSize = sizeof local;
            getsockname(streamFd_, reinterpret_cast<sockaddr*>(&local), &localSize);
            value = ntohs(local.sin_port);
            break;
        }
        case kParamsLocked:
            value = shared_.paramsLocked ? 1 : 0;
            break;
        case kTriggerAvailable:
            value = shared_.acquiring && settings.triggered ? 1 : 0;
            break;
        case kRawCombinedAvailable:
            value = emu::IsAvailable(config_, settings, emu::kRawCombined) ? 1 : 0;
            break;
        default:
            return kInvalidAddress;
    }
    return kSuccess;
}

std::uint16_t GigeCamera::ReadFeature(std::size_t index, std::uint32_t offset,
                                      std::uint32_t& value) {
    const emu::Feature& feature = emu::Features()[index];
    GenApi::INode* node = nodes_.GetNode(feature.name);
    if (config_.missingNodes.count(feature.name) != 0) {
        return kInvalidAddress;
    }
    value = 0;
    if (node == nullptr) {
        return kSuccess;  // the trigger: a command reads as done
    }
    try {
        switch (feature.kind) {
            case emu::FeatureKind::Integer:
                value =
                    static_cast<std::uint32_t>(dynamic_cast<GenApi::IInteger&>(*node).GetValue());
                break;
            case emu::FeatureKind::Float: {
                auto& number = dynamic_cast<GenApi::IFloat&>(*node);
                const double read = offset < 8 ? number.GetValue() : number.GetMax();
                std::uint64_t bits = 0;
                std::memcpy(&bits, &read, sizeof bits);
                value = static_cast<std::uint32_t>(offset % 8 == 0 ? bits >> 32 : bits);
                break;
            }
            case emu::FeatureKind::Boolean:
                value = dynamic_cast<GenApi::IBoolean&>(*node).GetValue() ? 1 : 0;
                break;
            case emu::FeatureKind::Enumeration: {
                auto& entries = dynamic_cast<GenApi::IEnumeration&>(*node);
                const GenApi::gcstring current = entries.GetValue();
                for (const auto& [entry, entryValue] : EnumEntries(feature, entries)) {
                    if (current == entry.c_str()) {
                        value = entryValue;
                    }
                }
                break;
            }
            case emu::FeatureKind::Command:
                break;
        }
    } catch (const GenICam::GenericException&) {
        value = 0;  // an unreadable feature reads as nothing
    }
    return kSuccess;
}

std::uint16_t GigeCamera::Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t count,
                                const Peer& from) {
    if (std::uint64_t{address} + count > 0x100000000u) {
        return kInvalidAddress;
    }
    for (std::size_t at = 0; at < count;) {
        const std::uint32_t here = address + static_cast<std::uint32_t>(at);
        const auto slot = FindFeatureSlot(here);
        if (slot && emu::Features()[slot->index].kind == emu::FeatureKind::Float) {
            // A float is written whole, or not at all.
            if (slot->offset != 0 || count - at < 8) {
                return slot->offset >= 8 ? kWriteProtect : kInvalidAddress;
            }
            if (shared_.controller && !(*shared_.controller == from)) {
                return kAccessDenied;
            }
            if (const std::uint16_t status = WriteFeature(slot->index, bytes + at);
                status != kSuccess) {
                return status;
            }
            at += 8;
            continue;
        }
        if (const std::uint16_t status = WriteRegister(here, Get32(bytes + at), from);
            status != kSuccess) {
            return status;
        }
        at += 4;
    }
    return kSuccess;
}

std::uint16_t GigeCamera::WriteRegister(std::uint32_t address, std::uint32_t value,
                                        const Peer& from) {
    if (address % 4 != 0) {
        return kBadAlignment;
    }
    // While a host holds control, nobody else writes anything, the privilege included.
    if (shared_.controller && !(*shared_.controller == from)) {
        return kAccessDenied;
    }
    auto feature = [this](const char* name, std::int64_t v) -> std::uint16_t {
        try {
            dynamic_cast<GenApi::IInteger&>(*nodes_.GetNode(name)).SetValue(v);
            return kSuccess;
        } catch (const GenICam::GenericException& error) {
            return StatusOf(error);
        }
    };
    if (const auto slot = FindFeatureSlot(address)) {
        const emu::Feature& described = emu::Features()[slot->index];
        if (described.kind == emu::FeatureKind::Float) {
            return slot->offset >= 8 ? kWriteProtect : kInvalidAddress;
        }
        std::uint8_t bytes[4];
        Put32(bytes, value);
        return WriteFeature(slot->index, bytes);
    }
    switch (address) {
        case kControlPrivilege:
            if (!shared_.controller) {
                if ((value & (kPrivilegeExclusive | kPrivilegeControl)) != 0) {
                    shared_.controller = from;
                    shared_.privilege = value & (kPrivilegeExclusive | kPrivilegeControl);
                    shared_.heardAt = Clock::now();
                }
            } else if ((value & (kPrivilegeExclusive | kPrivilegeControl)) == 0) {
                ReleaseControl();
            } else {
                shared_.privilege = value & (kPrivilegeExclusive | kPrivilegeControl);
            }
            return kSuccess;
        case kHeartbeatTimeout:
            if (value < kMinHeartbeatMs) {
                return kInvalidParameter;
            }
            shared_.heartbeatMs = value;
            return kSuccess;
        case kTimestampControl:
            if ((value & kTimestampLatch) != 0) {
                shared_.latchedTimestamp = Timestamp();
            }
            return kSuccess;
        case kStreamPort:
            shared_.hostPort = static_cast<std::uint16_t>(value);
            return kSuccess;
        case kStreamDestination:
            shared_.destination = value;
            return kSuccess;
        case kStreamPacketSize: {
            const std::uint32_t size = value & kPacketSizeMask;
            // A write that only fires a test packet leaves the size, locked or not.
            if (size != shared_.settings.packetSize) {
                if (const std::uint16_t status = feature("GevSCPSPacketSize", size);
                    status != kSuccess) {
                    return status;
                }
            }
            if ((value & kFireTestPacket) != 0) {
                FireTestPacket(size);
            }
            return kSuccess;
        }
        case kStreamPacketDelay:
            return feature("GevSCPD", value);
        case kParamsLocked:
            if (value > 1) {
                return kInvalidParameter;
            }
            shared_.paramsLocked = value == 1;
            return kSuccess;
        case kAcquisitionStart:
            if (value == 0 || shared_.acquiring) {
                return kSuccess;
            }
            if (shared_.destination == 0 || shared_.hostPort == 0) {
                return kWrongConfig;  // nowhere to stream to
            }
            shared_.acquiring = true;
            ++shared_.starts;
            ForgetTriggers();
            streamWake_.notify_all();
            return kSuccess;
        case kAcquisitionStop:
            if (value != 0) {
                StopAcquisition();
            }
            return kSuccess;
        default:
            break;
    }
    std::uint32_t ignored = 0;
    return ReadWord(address, ignored) == kSuccess ? kWriteProtect : kInvalidAddress;
}

std::uint16_t GigeCamera::WriteFeature(std::size_t index, const std::uint8_t* bytes) {
    const emu::Feature& feature = emu::Features()[index];
    if (config_.missingNodes.count(feature.name) != 0) {
        return kInvalidAddress;
    }
    const std::uint32_t value = Get32(bytes);
    GenApi::INode* node = nodes_.GetNode(feature.name);
    if (node == nullptr) {  // TriggerSoftware
        if (!shared_.acquiring || !shared_.settings.triggered) {
            return kWriteProtect;
        }
        // Busy is the camera's time, not whether the stream thread has taken the triggers before.
        const Clock::time_point now = Clock::now();
        if (shared_.triggers.size() <
            emu::TriggersThatMayWait(Seconds(now) < shared_.sensorFreeAt)) {
            shared_.triggers.push_back(now);
            streamWake_.notify_all();
        }
        return kSuccess;
    }
    if (feature.access == GenApi::RO) {
        return kWriteProtect;
    }
    try {
        switch (feature.kind) {
            case emu::FeatureKind::Integer:
                dynamic_cast<GenApi::IInteger&>(*node).SetValue(value);
                break;
            case emu::FeatureKind::Float: {
                const std::uint64_t bits = Get64(bytes);
                double number = 0;
                std::memcpy(&number, &bits, sizeof number);
                dynamic_cast<GenApi::IFloat&>(*node).SetValue(number);
                break;
            }
            case emu::FeatureKind::Boolean:
                if (value > 1) {
                    return kInvalidParameter;
                }
                dynamic_cast<GenApi::IBoolean&>(*node).SetValue(value == 1);
                break;
            case emu::FeatureKind::Enumeration: {
                auto& entries = dynamic_cast<GenApi::IEnumeration&>(*node);
                for (const auto& [entry, entryValue] : EnumEntries(feature, entries)) {
                    if (entryValue == value) {
                        if (!entries.IsEntryAvailable(entry.c_str())) {
                            return kInvalidParameter;
                        }
                        entries.SetValue(entry.c_str());
                        return kSuccess;
                    }
                }
                return kInvalidParameter;
            }
            case emu::FeatureKind::Command:
                break;
        }
    } catch (const GenICam::GenericException& error) {
        return StatusOf(error);
    }
    return kSuccess;
}

void GigeCamera::QueueResend(const std::uint8_t* payload, std::size_t size, bool extended) {
    ResendRequest request;
    if (extended) {
        // Block ids of 64 bits: ours fit the low 16.
        if (size < 20 || Get16(payload) != 0 || Get32(payload + 12) != 0 ||
            Get32(payload + 16) > 0xFFFF) {
            return;
        }
        request = {static_cast<std::uint16_t>(Get32(payload + 16)), Get32(payload + 4),
                   Get32(payload + 8)};
    } else {
        if (size < 12 || Get16(payload) != 0) {
            return;
        }
        request = {Get16(payload + 2), Get32(payload + 4) & 0xFFFFFF,
                   Get32(payload + 8) & 0xFFFFFF};
    }
    if (request.first > request.last || shared_.resends.size() >= kMaxPendingResends) {
        return;  // the host asks again when it still misses them
    }
    shared_.resends.push_back(request);
    streamWake_.notify_all();
}

void GigeCamera::ReleaseControl() {
    shared_.controller.reset();
    shared_.privilege = 0;
    shared_.paramsLocked = false;
    StopAcquisition();
}

void GigeCamera::ForgetTriggers() {
    shared_.triggers.clear();
    shared_.sensorFreeAt = -std::numeric_limits<double>::infinity();
}

void GigeCamera::StopAcquisition() {
    if (!shared_.acquiring) {
        return;
    }
    shared_.acquiring = false;
    shared_.stoppedAt = Clock::now();
    ForgetTriggers();
    streamWake_.notify_all();
}

void GigeCamera::FireTestPacket(std::uint32_t packetSize) {
    if (shared_.destination == 0 || shared_.hostPort == 0) {
        return;
    }
    // A datagram that fills a packet of the size asked, IP and UDP headers aside.
    std::vector<std::uint8_t> packet(std::max<std::uint32_t>(packetSize, 36) - 28, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(shared_.destination);
    to.sin_port = htons(shared_.hostPort);
    sendto(streamFd_, packet.data(), packet.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace Tarnwell::device
