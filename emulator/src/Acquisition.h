// The emulated stream grabber: one thread per grabbing camera that produces frames into a fixed
// pool of results, on the model's schedule or as fast as the host computes them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "CameraModel.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Orvel/Transport/ResultPool.h"
#include "Orvel/Transport/Transport.h"
#include "Sensor.h"

namespace Orvel::detail {

class Acquisition final : public IStreamGrabber {
public:
    // Triggers the camera holds before it refuses more.
    static constexpr std::size_t kTriggerCapacity = 4096;
    // Stopping lets a frame already on its way finish (as AcquisitionStop does), if it arrives
    // within this many seconds.
    static constexpr double kFinishFrameSeconds = 1.0;

    // `sceneSeed`: the scene real processing films (SceneSeed); `name` for error texts.
    Acquisition(const CameraConfig& config, const Settings& settings, std::uint64_t sceneSeed,
                std::string name);
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    void Start() override;
    void Stop() noexcept override;
    bool IsRunning() const noexcept override { return pool_ != nullptr; }
    // Raises RuntimeException once a lost camera's heartbeat has failed.
    Outcome Retrieve(Deadline deadline, CGrabResultPtr& result, bool& ended) override;

    // On open: counters and result numbers start again from 0, randomness from `seed`.
    void Reset(std::seed_seq& seed);
    // On close: stops grabbing and lets go of the frames kept between grabbing sessions.
    void Close() noexcept;
    std::int64_t Counter(std::size_t counter) const;
    // Sends a software trigger over the control channel: the camera has it half a round trip
    // later, the call returns with its acknowledgement after the whole round trip.
    void Trigger();
    // The camera stopped answering (a pulled cable); raised by every use that needs it.
    bool IsLost() const;
    [[noreturn]] void RaiseLost() const;

private:
    struct Plan {
        FrameLayout layout;
        Timing timing;
        double linkPeriod = 0;  // real processing: least time between exposures but the host's
        bool triggered = false;
        GrabFailures failures;
        std::optional<std::uint64_t> stopAfter;
        std::optional<std::uint64_t> stallAfter;
        std::optional<std::uint64_t> lostAfter;
        double lossRate = 0;
    };
    struct Loss {
        std::int64_t requested = 0;  // resend requests: one per run of consecutive lost packets
        std::int64_t recovered = 0;  // packets a resend brought
        std::int64_t lost = 0;       // packets still missing
        std::int64_t resent = 0;     // packets sent again, over all rounds: they take the link
    };

    // The jobs of Start: the frames' layout and schedule; the host's engine and the sensor's
    // sequence (real processing, else null); the pool; the thread.
    void PlanFrames();
    std::unique_ptr<HostProcessing> PrepareHostWork();
    ResultPool* MakePool() const;
    void StartThread(ResultPool& pool);
    void Run(ResultPool& pool);
    // With the lock held: waits until the camera may expose another frame, taking the time the
    // trigger reached the camera when triggered. False when the thread is to end; a frame that
    // may still be let finish after a stop request is for SleepUntil to judge.
    bool AwaitFrame(ResultPool& pool, MutexLock& lock, ResultPool::Clock::time_point& trigger)
        ORVEL_REQUIRES(pool.mutex);
    // Waits until `when`. False when a stop came first, unless the frame exposed at `exposure`
    // was already on its way and arrives soon enough to be let finish.
    bool SleepUntil(ResultPool& pool, MutexLock& lock, ResultPool::Clock::time_point when,
                    ResultPool::Clock::time_point exposure) ORVEL_REQUIRES(pool.mutex);
    // When a triggered frame starts its exposure: the trigger's arrival, no sooner than the
    // sensor is free, later for the first frame after arming, with a little jitter.
    ResultPool::Clock::time_point TriggeredExposure(ResultPool::Clock::time_point trigger,
                                                    ResultPool::Clock::time_point sensorFree,
                                                    bool first);
    // After a free-running frame exposed at `exposure` found no free buffer: the frames that
    // follow every `period` find none either until a result comes back. Waits for that, or a
    // stop, with the lock released, then counts every frame that arrived meanwhile (`toArrival`
    // after its exposure) as an underrun in one step, and returns how many: a schedule far faster
    // than the host is then no busy loop that holds the lock.
    std::uint64_t DropWhileDry(ResultPool& pool, MutexLock& lock,
                               ResultPool::Clock::time_point exposure, double period,
                               ResultPool::Clock::duration toArrival) ORVEL_REQUIRES(pool.mutex);
    void RunModelled(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    void RunReal(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    // Sets the stop flag, wakes the session's thread and joins it.
    void StopThread(ResultPool& pool) noexcept;
    Loss DrawLoss();
    // With the pool's mutex held: takes a result for the frame, numbered and with its outcome;
    // null when no buffer was free (the frame is counted then, as an underrun).
    CGrabResultData* Claim(ResultPool& pool, std::uint64_t frame,
                           ResultPool::Clock::time_point exposure, const Loss& loss)
        ORVEL_REQUIRES(pool.mutex);
    // With the pool's mutex held: counts a claimed result's frame and queues it for retrieval.
    // The frame is counted only here, so the counters add up also while a result is computed.
    void Queue(ResultPool& pool, CGrabResultData* data, const Loss& loss,
               ResultPool::Clock::time_point delivery) ORVEL_REQUIRES(pool.mutex);
    void CountPackets(ResultPool& pool, const Loss& loss) const ORVEL_REQUIRES(pool.mutex);
    // Wakes a consumer waiting for a result; called with the lock held, returns with it held.
    static void NotifyConsumer(ResultPool& pool) ORVEL_REQUIRES(pool.mutex);

    const CameraConfig& config_;
    const Settings& settings_;
    const std::uint64_t sceneSeed_;
    const std::string name_;
    ResultPool* pool_ = nullptr;
    std::thread thread_;
    Plan plan_;  // written before the thread starts, read by the acquisition thread
    // The host's work of this session (null when modelled), used by the acquisition thread.
    std::unique_ptr<HostProcessing> processing_;
    // The frames the sensor films, kept from session to session until close.
    std::unique_ptr<SensorSequence> sequence_;
    std::mt19937_64 random_;                              // used by the thread alone
    std::array<std::int64_t, kCounterCount> counters_{};  // between grabbing sessions
    std::uint64_t resultNumber_ = 0;
    // When a lost camera's loss became known: results stop after its last one and the heartbeat
    // fails this long after. A lost camera stays lost.
    std::optional<ResultPool::Clock::time_point> lostAt_;
};

}  // namespace Orvel::detail
