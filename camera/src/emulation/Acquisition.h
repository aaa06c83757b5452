// The emulated stream grabber: one thread per grabbing camera that produces frames into a fixed
// pool of results, on the model's schedule or as fast as real processing computes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "ResultPool.h"
#include "emulation/CameraModel.h"
#include "emulation/Processing.h"
#include "transport/Transport.h"

namespace Orvel::detail {

class Acquisition final : public IStreamGrabber {
public:
    // Triggers the camera holds before it refuses more.
    static constexpr std::size_t kTriggerCapacity = 4096;

    // `sceneSeed`: the scene real processing renders (SceneSeed).
    Acquisition(const CameraConfig& config, const Settings& settings, std::uint64_t sceneSeed);
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    void Start() override;
    void Stop() noexcept override;
    bool IsRunning() const noexcept override { return pool_ != nullptr; }
    Outcome Retrieve(Deadline deadline, CGrabResultPtr& result, bool& ended) override;

    // On open: counters and result numbers start again from 0, randomness from `seed`.
    void Reset(std::seed_seq& seed);
    // On close: stops grabbing and lets go of the scene kept between grabbing sessions.
    void Close() noexcept;
    std::int64_t Counter(std::size_t counter) const;
    // Queues a software trigger and wakes the acquisition thread at once.
    void Trigger();

private:
    struct Plan {
        Timing timing;
        double linkPeriod = 0;  // real processing: least time between exposures but the host's
        bool triggered = false;
        std::size_t payloadSize = 0;
        std::array<ComponentInfo, kComponentCount> components{};
        std::size_t componentCount = 0;
        GrabFailures failures;
        std::optional<std::uint64_t> stopAfter;
        std::optional<std::uint64_t> stallAfter;
        double lossRate = 0;
    };
    struct Loss {
        std::int64_t requested = 0;  // resend requests
        std::int64_t recovered = 0;  // packets a resend brought
        std::int64_t lost = 0;       // packets still missing
        int rounds = 0;              // resend rounds, each delaying the delivery
    };

    void Run(ResultPool& pool);
    // With the lock held: waits until the camera may expose another frame, taking the trigger to
    // expose at when triggered. False when the thread is to end: a stop, after an ended or stalled
    // camera's wait for it.
    bool AwaitFrame(ResultPool& pool, MutexLock& lock, ResultPool::Clock::time_point& trigger)
        ORVEL_REQUIRES(pool.mutex);
    // Waits until `when`; false when a stop came first.
    bool SleepUntil(ResultPool& pool, MutexLock& lock, ResultPool::Clock::time_point when)
        ORVEL_REQUIRES(pool.mutex);
    void RunModelled(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    void RunReal(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    // The sensor of real processing, on a thread of its own: renders ahead into free slots.
    void RunSensor(ResultPool& pool);
    // Sets the stop flag, wakes the session's threads and joins them.
    void StopThreads(ResultPool& pool) noexcept;
    Loss DrawLoss();
    // With the pool's mutex held: takes a result for the frame, numbered and with its outcome;
    // null when no buffer was free (the frame is counted then, as an underrun).
    CGrabResultData* Claim(ResultPool& pool, std::uint64_t frame,
                           ResultPool::Clock::time_point exposure, const Loss& loss)
        ORVEL_REQUIRES(pool.mutex);
    // With the pool's mutex held: counts a claimed result's frame and queues it for retrieval.
    // The frame is counted only here, so the counters add up also while a result is computed.
    void Queue(ResultPool& pool, CGrabResultData* data, const Loss& loss)
        ORVEL_REQUIRES(pool.mutex);
    void CountPackets(ResultPool& pool, const Loss& loss) const ORVEL_REQUIRES(pool.mutex);
    // Wakes a consumer waiting for a result; called with the lock held, returns with it held.
    static void NotifyConsumer(ResultPool& pool) ORVEL_REQUIRES(pool.mutex);

    const CameraConfig& config_;
    const Settings& settings_;
    const std::uint64_t sceneSeed_;
    ResultPool* pool_ = nullptr;
    std::thread thread_;
    std::thread sensor_;  // real processing only
    Plan plan_;           // written before the threads start, read by the acquisition thread
    // Real processing of this session (null when modelled): read by both threads, each on the
    // slots the pool's frame counts give it.
    std::unique_ptr<RealProcessing> processing_;
    std::unique_ptr<stereo::SyntheticScene> scene_;  // kept from session to session until close
    std::mt19937_64 random_;                         // used by the thread alone
    std::array<std::int64_t, kCounterCount> counters_{};  // between grabbing sessions
    std::uint64_t resultNumber_ = 0;
};

}  // namespace Orvel::detail
