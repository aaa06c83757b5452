// The stream of a GigE Vision camera: received by Aravis into buffers the host's computation reads
// in place, counted as the transport counters say, and a camera whose heartbeat fails made known.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Aravis.h"
#include "Orvel/Transport/HostStream.h"
#include "Orvel/Transport/StereoStream.h"
#include "Orvel/Transport/Transport.h"
#include "Orvel/Transport/VelkorXw.h"

namespace Orvel::detail {

class GigeStream final : public IStreamGrabber {
public:
    using Clock = HostStream::Clock;

    // Host buffers for frames in flight beyond the result pool: frames the pool has no room for
    // are still received (and counted as underruns), and completed ones wait to be recycled.
    static constexpr std::uint32_t kExtraBuffers = 4;

    // `heartbeatSeconds`: the camera's heartbeat time-out, for the lost-camera error.
    GigeStream(ArvDevice* device, std::string name, std::uint32_t bufferCount,
               double heartbeatSeconds);
    ~GigeStream();
    GigeStream(const GigeStream&) = delete;
    GigeStream& operator=(const GigeStream&) = delete;

    void Start() override;
    void Stop() noexcept override;
    bool IsRunning() const noexcept override { return host_.IsRunning(); }
    Outcome Retrieve(Deadline deadline, CGrabResultPtr& result, bool& ended) override;

    std::int64_t Counter(std::size_t counter);
    // From Aravis's heartbeat thread: the camera no longer answers.
    void ControlLost();
    bool IsLost() const { return lost_.load(); }
    [[noreturn]] void RaiseLost() const;

private:
    struct PacketStatistics {
        std::int64_t received = 0;
        std::int64_t requests = 0;
        std::int64_t resent = 0;
        std::int64_t underruns = 0;  // frames Aravis had no buffer for
    };

    // The camera's settings as its features read now, and the components it has.
    Settings ReadSettings(ComponentsPresent& present) const;
    void Execute(const char* command, bool required) const;
    PacketStatistics ReadStatistics() const;
    void AddStatistics(std::array<std::int64_t, kCounterCount>& counters,
                       const PacketStatistics& statistics) const;
    void CountLostPackets(std::array<std::int64_t, kCounterCount>& counters) const;

    static void OnStreamEvent(void* self, ArvStreamCallbackType type, ArvBuffer* buffer);
    void BufferStarted(ArvBuffer* buffer);
    void BufferDone(ArvBuffer* buffer);
    // A completed buffer Aravis may have again: once the host no longer reads it (`held` false)
    // and Aravis has queued it as output.
    void Recycle(ArvBuffer* buffer, bool held);
    void RecycleLocked();

    ArvDevice* const device_;
    const std::string name_;
    const std::uint32_t bufferCount_;
    const double heartbeatSeconds_;
    HostStream host_;
    GObjectPtr<ArvStream> stream_;
    std::vector<GObjectPtr<ArvBuffer>> buffers_;
    // Per buffer, the result claimed for the frame it receives: the stream thread's alone.
    std::unordered_map<ArvBuffer*, CGrabResultData*> claimed_;
    Settings settings_;             // of the session, read by the stream thread
    std::int64_t packets_ = 0;      // per frame, leader and trailer included
    std::int64_t missingSeen_ = 0;  // Aravis's missing packets at the last completed buffer

    std::mutex recycleMutex_;
    std::unordered_map<ArvBuffer*, bool>
        held_;                        // completed buffers, and whether the host reads them
    std::vector<ArvBuffer*> output_;  // taken from Aravis's output queue, still held

    // Counters and result numbers between sessions.
    std::array<std::int64_t, kCounterCount> counters_{};
    std::uint64_t resultNumber_ = 0;
    // Where the session's counting began: its packets per frame may differ from the last one's.
    std::int64_t sessionFramesBefore_ = 0;
    std::int64_t sessionPacketsBefore_ = 0;
    std::int64_t failedPacketsBefore_ = 0;
    // Aravis's thread handles frames only while a session accepts them; a stop ends that before
    // the session goes.
    std::mutex callbackMutex_;
    bool accepting_ = false;
    // Serialises the heartbeat thread's news with starting and stopping a session.
    std::mutex sessionMutex_;
    std::atomic<bool> lost_{false};
};

}  // namespace Orvel::detail
