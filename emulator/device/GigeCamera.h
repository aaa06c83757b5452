// One emulated camera served as a GigE Vision device at an IPv4 address: its control channel
// (GVCP on UDP port 3956: discovery, registers and memory, control privilege and heartbeat,
// packet resends) and its stream (GVSP from a socket of its own), each on a thread of its own.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "Acquisition.h"
#include "CameraModel.h"
#include "Orvel/Transport/Mutex.h"
#include "Orvel/Transport/NodeMap.h"
#include "Scenario.h"
#include "Sensor.h"

namespace Tarnwell::device {

namespace emu = Orvel::detail;
using emu::Mutex;
using emu::MutexLock;

// A host's end of the control channel.
struct Peer {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;
    bool operator==(const Peer&) const = default;
};

struct ResendRequest {
    std::uint16_t block = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

class GigeCamera final : private emu::NodeContext {
public:
    using Clock = std::chrono::steady_clock;
    // Resend requests waiting for the stream thread; more are dropped (a host asks again).
    static constexpr std::size_t kMaxPendingResends = 256;
    // Frames whose packets can be sent again.
    static constexpr std::size_t kRingFrames = 64;
    // Resends the stream thread has taken on and not sent yet.
    static constexpr std::size_t kMaxResendWork = 1024;

    // Applies the scenario's power-on values, describes the camera and binds its sockets at
    // `address`. Raises std::runtime_error with one line for a camera that cannot be served.
    // `origin` names the scenario in errors.
    GigeCamera(const emu::CameraConfig& config, std::size_t index, std::uint64_t seed,
               const std::string& origin, const std::string& address);
    ~GigeCamera();
    GigeCamera(const GigeCamera&) = delete;
    GigeCamera& operator=(const GigeCamera&) = delete;

    // Starts serving; Stop ends both threads (harmless twice).
    void Start();
    void Stop() noexcept;
    const std::string& Name() const { return config_.friendlyName; }
    const std::string& Xml() const { return xml_; }

private:
    // The state both threads share, under mutex_.
    struct Shared {
        emu::Settings settings;  // the node map reads and writes it
        bool paramsLocked = false;
        bool acquiring = false;
        // AcquisitionStart commands so far: a stop and a start can both come between two looks
        // of the stream thread, which must still end the session the stop ended.
        std::uint64_t starts = 0;
        Clock::time_point stoppedAt;  // of the last AcquisitionStop
        // Triggers the stream has not taken yet: one that starts a frame, and one held behind it.
        std::deque<Clock::time_point> triggers;
        // When the sensor may expose again, in the device's seconds: infinite while the frame it
        // works on is not yet read out onto the link.
        double sensorFreeAt = -std::numeric_limits<double>::infinity();
        std::optional<Peer> controller;
        std::uint32_t privilege = 0;
        Clock::time_point heardAt;  // the controller's last command
        std::uint32_t heartbeatMs = 3000;
        std::uint32_t destination = 0;  // SCDA, host byte order
        std::uint16_t hostPort = 0;     // SCP
        std::uint64_t latchedTimestamp = 0;
        std::vector<ResendRequest> resends;
        bool stop = false;
    };

    // The node map's view of the camera: always open; grabbing while the host has locked the
    // stream's parameters or the stream runs.
    bool IsOpen() const override { return true; }
    bool IsGrabbing() const override;

    void BindSockets(const std::string& address);
    void ApplyPowerOnValues(const std::string& origin);
    void FillBootstrap();

    // ---- control channel (GigeCamera.cpp) ----
    void ServeControl();
    // Answers one datagram; `length` is 0 when nothing is to be sent back.
    std::size_t Answer(const std::uint8_t* in, std::size_t size, const Peer& from,
                       std::uint8_t* out) ORVEL_EXCLUDES(mutex_);
    void Discovery(std::uint8_t* payload) ORVEL_REQUIRES(mutex_);
    std::uint16_t ReadWord(std::uint32_t address, std::uint32_t& value) ORVEL_REQUIRES(mutex_);
    std::uint16_t ReadMemory(std::uint32_t address, std::size_t count, std::uint8_t* out)
        ORVEL_REQUIRES(mutex_);
    // Writes `count` bytes (a multiple of 4) at `address` for `from`.
    std::uint16_t Write(std::uint32_t address, const std::uint8_t* bytes, std::size_t count,
                        const Peer& from) ORVEL_REQUIRES(mutex_);
    std::uint16_t WriteRegister(std::uint32_t address, std::uint32_t value, const Peer& from)
        ORVEL_REQUIRES(mutex_);
    std::uint16_t WriteFeature(std::size_t index, const std::uint8_t* bytes) ORVEL_REQUIRES(mutex_);
    std::uint16_t ReadFeature(std::size_t index, std::uint32_t offset, std::uint32_t& value)
        ORVEL_REQUIRES(mutex_);
    void QueueResend(const std::uint8_t* payload, std::size_t size, bool extended)
        ORVEL_REQUIRES(mutex_);
    // Control ends: the stream stops and the parameters unlock.
    void ReleaseControl() ORVEL_REQUIRES(mutex_);
    void StopAcquisition() ORVEL_REQUIRES(mutex_);
    // A new acquisition, or none: no trigger waits, and the sensor is free.
    void ForgetTriggers() ORVEL_REQUIRES(mutex_);
    void FireTestPacket(std::uint32_t packetSize) ORVEL_REQUIRES(mutex_);
    std::uint64_t Timestamp() const;

    // ---- stream (Stream.cpp) ----
    // What every packet of the stream's frames shares while the ring holds them.
    struct Layout {
        std::int64_t packets = 0;  // a frame's, leader and trailer included
        std::size_t chunk = 0;     // data bytes of a payload packet
        std::uint32_t width = 0;   // of the pair: one view wide, two high
        std::uint32_t height = 0;
        double packetSeconds = 0;  // a packet's slot on the wire, its delay included
    };
    // A frame of the sensor's sequence on the wire.
    struct SentFrame {
        std::uint16_t block = 0;
        const emu::SensorFrame* frame = nullptr;
        std::uint64_t timestamp = 0;
    };
    // Packets [next, end) of a frame to send, some of which the link loses.
    struct Outgoing {
        SentFrame sent;
        std::int64_t next = 0;
        std::int64_t end = 0;
        std::vector<std::int64_t> lost;  // ids, ascending
        std::size_t lostAt = 0;
        double eligible = 0;  // seconds: not on the wire before
        bool resend = false;
    };
    struct Session {
        std::uint64_t start = 0;  // the AcquisitionStart it serves
        bool triggered = false;
        double period = 0;  // 1 / AcquisitionFrameRate
        double begin = 0;
        std::uint64_t frames = 0;
        double lastExposure = 0;
        double linkFree = 0;  // the previous frame's own packets are on the wire by then
        std::uint16_t nextBlock = 1;
        std::optional<Outgoing> current;
        double exposure = 0;  // the current frame's
    };
    class Batch;
    void Stream();
    // The sensor's sequence at the current settings, made when they changed (its frames are
    // drawn after); false when it cannot be had, and the acquisition stops.
    bool TakeSequence() ORVEL_REQUIRES(mutex_);
    // The stream's layout and schedule at the current settings, from now on.
    void StartSession() ORVEL_REQUIRES(mutex_);
    // Picks the next frame to expose when the schedule has one, and ends a stopped session.
    void ScheduleFrame() ORVEL_REQUIRES(mutex_);
    void TakeResends() ORVEL_REQUIRES(mutex_);
    // Fills `batch` with the packets due by `now`; the time to look again, or nullopt when there
    // is nothing to send until something happens.
    std::optional<double> FillBatch(Batch& batch, double now) ORVEL_REQUIRES(mutex_);
    void Finish(Outgoing& work) ORVEL_REQUIRES(mutex_);
    double Seconds(Clock::time_point t) const;
    Clock::time_point At(double seconds) const;

    const emu::CameraConfig config_;
    const std::size_t index_;
    const std::uint64_t seed_;
    const Clock::time_point epoch_ = Clock::now();  // timestamps and the stream's clock start
    in_addr address_{};
    int controlFd_ = -1;
    int streamFd_ = -1;
    int wakeFd_ = -1;                              // an eventfd that ends the control thread's wait
    std::array<std::uint8_t, 0x600> bootstrap_{};  // the constant bootstrap block and URLs
    std::string xml_;

    mutable Mutex mutex_;
    std::condition_variable streamWake_;
    Shared shared_ ORVEL_GUARDED_BY(mutex_);
    // The emulator's features need an acquisition to bind the counters and the trigger to; the
    // device serves neither through the node map, so this one never runs.
    emu::Acquisition unusedAcquisition_;
    emu::NodeMap nodes_;  // over shared_.settings: used with mutex_ held

    // The stream thread's own.
    std::unique_ptr<emu::SensorSequence> sequence_;
    std::optional<Session> session_;
    Layout layout_;
    std::vector<SentFrame> ring_;  // the frames sent last, kRingFrames at most
    std::size_t ringNext_ = 0;
    std::deque<Outgoing> resends_;  // in the order asked, kMaxResendWork at most
    double wire_ = 0;               // seconds: the link is free from then on
    std::mt19937_64 random_;
    std::thread control_;
    std::thread stream_;
    bool started_ = false;
};

}  // namespace Tarnwell::device
