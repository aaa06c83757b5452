// GigE Vision on the wire as the device speaks it: control commands and their statuses, the
// bootstrap registers, the stream's packet formats, and big-endian fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Tarnwell::device::gvcp {

inline constexpr std::uint16_t kPort = 3956;
inline constexpr std::uint8_t kKey = 0x42;
inline constexpr std::size_t kHeaderBytes = 8;
// The largest command a host may send; a longer datagram is no GigE Vision command.
inline constexpr std::size_t kMaxCommandBytes = 576;
// Data of one READMEM or WRITEMEM, and addresses of one READREG (their acknowledgements fit the
// same 576-byte datagram).
inline constexpr std::size_t kMaxMemoryBytes = 536;
inline constexpr std::size_t kMaxRegisters = 134;

// Header flags of a command.
inline constexpr std::uint8_t kFlagAcknowledge = 0x01;
inline constexpr std::uint8_t kFlagExtendedIds = 0x10;

enum Command : std::uint16_t {
    kDiscoveryCmd = 0x0002,
    kDiscoveryAck = 0x0003,
    kPacketResendCmd = 0x0040,
    kReadRegCmd = 0x0080,
    kReadRegAck = 0x0081,
    kWriteRegCmd = 0x0082,
    kWriteRegAck = 0x0083,
    kReadMemCmd = 0x0084,
    kReadMemAck = 0x0085,
    kWriteMemCmd = 0x0086,
    kWriteMemAck = 0x0087,
};

enum Status : std::uint16_t {
    kSuccess = 0x0000,
    kPacketResend = 0x0100,  // a stream packet sent again on request
    kNotImplemented = 0x8001,
    kInvalidParameter = 0x8002,
    kInvalidAddress = 0x8003,
    kWriteProtect = 0x8004,
    kBadAlignment = 0x8005,
    kAccessDenied = 0x8006,
    kBusy = 0x8007,
    kInvalidHeader = 0x800E,
    kWrongConfig = 0x800F,
    kGenericError = 0x8FFF,
};

// Bootstrap registers.
enum Bootstrap : std::uint32_t {
    kVersion = 0x0000,
    kDeviceMode = 0x0004,
    kMacHigh = 0x0008,
    kMacLow = 0x000C,
    kIpConfigOptions = 0x0010,
    kIpConfigCurrent = 0x0014,
    kCurrentIp = 0x0024,
    kCurrentSubnet = 0x0034,
    kCurrentGateway = 0x0044,
    kManufacturerName = 0x0048,  // 32 bytes
    kModelName = 0x0068,         // 32 bytes
    kDeviceVersion = 0x0088,     // 32 bytes
    kManufacturerInfo = 0x00A8,  // 48 bytes
    kSerialNumber = 0x00D8,      // 16 bytes
    kUserName = 0x00E8,          // 16 bytes
    kFirstUrl = 0x0200,          // 512 bytes
    kSecondUrl = 0x0400,         // 512 bytes
    kNetworkInterfaces = 0x0600,
    kMessageChannels = 0x0900,
    kStreamChannels = 0x0904,
    kActionSignals = 0x0908,
    kGvspCapability = 0x092C,
    kMessageCapability = 0x0930,
    kGvcpCapability = 0x0934,
    kHeartbeatTimeout = 0x0938,
    kTickFrequencyHigh = 0x093C,
    kTickFrequencyLow = 0x0940,
    kTimestampControl = 0x0944,
    kTimestampHigh = 0x0948,
    kTimestampLow = 0x094C,
    kControlPrivilege = 0x0A00,
    kPrimaryPort = 0x0A04,
    kPrimaryAddress = 0x0A14,
    kMessageChannelPort = 0x0B00,
    kStreamPort = 0x0D00,         // SCP0: host port in the low 16 bits
    kStreamPacketSize = 0x0D04,   // SCPS0: packet size in the low 16 bits, flags above
    kStreamPacketDelay = 0x0D08,  // SCPD0
    kStreamDestination = 0x0D18,  // SCDA0
    kStreamSourcePort = 0x0D1C,   // SCSP0
    kStreamCapability = 0x0D20,   // SCC0
    kStreamConfig = 0x0D24,       // SCCFG0
};

// GVCP capability bits: user-defined name, serial number, CCP application port and address,
// PACKETRESEND, WRITEMEM, several operations in one READREG/WRITEREG.
inline constexpr std::uint32_t kCapabilities =
    0x80000000u | 0x40000000u | 0x08000000u | 0x4u | 0x2u | 0x1u;
// CCP bits.
inline constexpr std::uint32_t kPrivilegeExclusive = 0x1;
inline constexpr std::uint32_t kPrivilegeControl = 0x2;
// SCPS flags above the packet size.
inline constexpr std::uint32_t kFireTestPacket = 0x80000000u;
inline constexpr std::uint32_t kPacketSizeMask = 0xFFFF;
inline constexpr std::uint32_t kTimestampLatch = 0x2;
inline constexpr std::uint32_t kTimestampReset = 0x1;
// The timestamp counts nanoseconds, and so does SCPD.
inline constexpr std::uint64_t kTickFrequency = 1'000'000'000;
inline constexpr std::uint32_t kMinHeartbeatMs = 500;

// The discovery acknowledgement's payload mirrors the bootstrap registers up to the user name.
inline constexpr std::size_t kDiscoveryBytes = 0xF8;

}  // namespace Tarnwell::device::gvcp

namespace Tarnwell::device::gvsp {

inline constexpr std::size_t kHeaderBytes = 8;
// IP, UDP and stream headers in a packet of the negotiated size.
inline constexpr std::size_t kOverheadBytes = 36;
inline constexpr std::size_t kLeaderBytes = 44;
inline constexpr std::size_t kTrailerBytes = 16;
inline constexpr std::uint8_t kFormatLeader = 1;
inline constexpr std::uint8_t kFormatTrailer = 2;
inline constexpr std::uint8_t kFormatPayload = 3;
inline constexpr std::uint16_t kPayloadImage = 0x0001;
inline constexpr std::uint32_t kPixelMono8 = 0x01080001;

}  // namespace Tarnwell::device::gvsp

namespace Tarnwell::device {

inline std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
inline std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v >> 16);
    Put16(p + 2, v);
}
inline void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, static_cast<std::uint32_t>(v >> 32));
    Put32(p + 4, static_cast<std::uint32_t>(v));
}
inline std::uint64_t Get64(const std::uint8_t* p) {
    return std::uint64_t{Get32(p)} << 32 | Get32(p + 4);
}

}  // namespace Tarnwell::device
