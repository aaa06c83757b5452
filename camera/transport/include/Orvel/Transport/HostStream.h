// The host's side of a stereo camera's stream: the result pool a transport receives frames into,
// the host's thread that computes each received frame's components, and the results it queues.
// The camera never waits for the host: a frame that finds no free buffer is an underrun.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <csignal>

#include "Orvel/GrabResult.h"
#include "Orvel/Transport/Durations.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Orvel/Transport/ResultPool.h"
#include "Orvel/Transport/StereoStream.h"
#include "Orvel/Transport/Transport.h"

namespace Orvel::detail {

// Blocks the asynchronous signals of the calling thread while it lives, so that the threads it
// starts inherit them blocked: a library's threads leave the program's signals to the program's
// own thread, whose blocking calls a stop signal must interrupt.
class SignalsBlockedInNewThreads {
public:
    SignalsBlockedInNewThreads();
    ~SignalsBlockedInNewThreads();
    SignalsBlockedInNewThreads(const SignalsBlockedInNewThreads&) = delete;
    SignalsBlockedInNewThreads& operator=(const SignalsBlockedInNewThreads&) = delete;

private:
    sigset_t previous_;
};

// A camera whose heartbeat failed, as its error names it.
struct LostCamera {
    const std::string& name;
    double heartbeatSeconds;
};
[[noreturn]] void RaiseCameraLost(const LostCamera& camera);

class HostStream {
public:
    using Clock = ResultPool::Clock;

    // What a grabbing session holds and computes.
    struct Plan {
        std::uint32_t bufferCount = 1;
        std::size_t payloadSize = 0;
        std::array<ComponentInfo, kComponentCount> components{};
        std::size_t componentCount = 0;
        // The host's computation of the components from each received pair; empty for a camera
        // whose frames carry no image (the emulation's modelled processing), whose computation
        // takes `modelledSeconds` instead.
        std::optional<HostProcessingPlan> processing;
        double modelledSeconds = 0;
        std::size_t triggerCapacity = 1;  // triggers the camera holds (SessionState::triggers)
        // Gives a frame's `source` back to the transport once the host no longer reads its pair:
        // computed, or given back at a stop. Called without the pool's mutex.
        std::function<void(void* source)> releasePair;
    };

    HostStream() = default;
    ~HostStream();
    HostStream(const HostStream&) = delete;
    HostStream& operator=(const HostStream&) = delete;

    // Takes the memory of the session (the pool: BadAllocException naming it; the engine and its
    // scratch: RuntimeException "Cannot start grabbing: no depth computation: …") and starts the
    // host's thread. The counters, the last result number and a lost camera's heartbeat failure
    // carry over from the session before.
    void Start(const Plan& plan, const std::array<std::int64_t, kCounterCount>& counters,
               std::uint64_t resultNumber, std::optional<Clock::time_point> lostAt);
    // After the transport stopped receiving: the frame being computed is finished, those waiting
    // for the host are given back, and so are the queued results.
    void Stop() noexcept;
    bool IsRunning() const noexcept { return pool_ != nullptr; }
    ResultPool& Pool() noexcept { return *pool_; }
    bool ComputesError() const { return processing_ && processing_->SendsError(); }

    // With the mutex of `pool` (this session's, `Pool()`) held, as a frame begins to arrive: a
    // buffer for it, numbered, with its layout; null when none is free (the frame is then an
    // underrun, and counted so with `packets`, all of which arrived). The caller names the pool it
    // locked, so that the lock is checked where it is taken.
    CGrabResultData* Claim(ResultPool& pool, std::uint64_t frame, Clock::time_point exposure,
                           std::int64_t packets) ORVEL_REQUIRES(pool.mutex);
    // With the pool's mutex held, when a claimed frame is whole or given up: counts it and hands it
    // to the host's thread, which computes it (a successful frame of real processing) or takes
    // the modelled time, and queues its result in order.
    void Receive(ResultPool& pool, const ReceivedFrame& frame, std::int64_t packets,
                 std::int64_t lostPackets, std::int64_t resendRequests, std::int64_t resentPackets)
        ORVEL_REQUIRES(pool.mutex);

    // Releases what `result` holds, then waits for the next result until `deadline`. Once the
    // camera's heartbeat has failed and no result is left, raises the lost-camera error.
    IStreamGrabber::Outcome Retrieve(IStreamGrabber::Deadline deadline, CGrabResultPtr& result,
                                     bool& ended, const LostCamera& camera);

private:
    void Run();
    // The host's thread once it has the lock, until a stop.
    void Compute(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    static void NotifyConsumer(ResultPool& pool) ORVEL_REQUIRES(pool.mutex);
    void ReleasePair(const ReceivedFrame& frame) const;

    ResultPool* pool_ = nullptr;
    Plan plan_;
    std::unique_ptr<HostProcessing> processing_;  // real processing, used by the host's thread
    std::thread thread_;
};

}  // namespace Orvel::detail
