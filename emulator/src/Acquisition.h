// The emulated stream: the camera exposes frames on its own schedule and the link carries each
// raw pair, losses and resends included, to the host's side of the stream, which receives and
// computes them (HostStream). The camera never waits for the host.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "CameraModel.h"
#include "Link.h"
#include "Orvel/Transport/HostStream.h"
#include "Orvel/Transport/ResultPool.h"
#include "Orvel/Transport/Transport.h"
#include "Sensor.h"

namespace Orvel::detail {

class Acquisition final : public IStreamGrabber {
public:
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
    bool IsRunning() const noexcept override { return host_.IsRunning(); }
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
    using Clock = ResultPool::Clock;

    struct Plan {
        FrameLayout layout;
        Timing timing;
        LinkParameters link;  // the link's constants; its state is the camera thread's
        bool triggered = false;
        GrabFailures failures;
        std::optional<std::uint64_t> stopAfter;
        std::optional<std::uint64_t> stallAfter;
        std::optional<std::uint64_t> lostAfter;
    };

    // The jobs of Start: the frames' layout and schedule; the sensor's sequence (real processing);
    // the host's side; the camera's thread.
    void PlanFrames();
    void PrepareSensor();
    void StartThread(ResultPool& pool);
    void Run(ResultPool& pool);
    // With the lock held: waits until the camera may expose another frame, taking the time the
    // trigger reached the camera when triggered. False when the thread is to end; a frame that
    // may still be let finish after a stop request is for SleepUntil to judge.
    bool AwaitFrame(ResultPool& pool, MutexLock& lock, Clock::time_point& trigger)
        ORVEL_REQUIRES(pool.mutex);
    // Waits until `when`. False when a stop came first, unless the frame exposed at `exposure`
    // was already on its way and arrives soon enough to be let finish.
    bool SleepUntil(ResultPool& pool, MutexLock& lock, Clock::time_point when,
                    Clock::time_point exposure) ORVEL_REQUIRES(pool.mutex);
    // The frames: exposed on the camera's schedule, each raw pair read out onto the link once the
    // link is free, received by the host as it arrives.
    void RunFrames(ResultPool& pool, MutexLock& lock) ORVEL_REQUIRES(pool.mutex);
    // After a free-running frame found no free buffer as its first packet arrived: the frames that
    // follow every `period` find none either until a result comes back. Waits for that, or a
    // stop, with the lock released, then counts every frame whose first packet came meanwhile
    // (`toLeader` after its exposure) as an underrun in one step, and returns how many: a
    // schedule far faster than the host is then no busy loop that holds the lock.
    std::uint64_t DropWhileDry(ResultPool& pool, MutexLock& lock, Clock::time_point exposure,
                               double period, Clock::duration toLeader) ORVEL_REQUIRES(pool.mutex);
    // The result's outcome: an injected failure, or the packets the link lost.
    void SetOutcome(CGrabResultData& data, const Transmission& sent) const;
    // Sets the stop flag, wakes the session's threads and joins the camera's.
    void StopThread(ResultPool& pool) noexcept;

    const CameraConfig& config_;
    const Settings& settings_;
    const std::uint64_t sceneSeed_;
    const std::string name_;
    HostStream host_;  // the host's side: pool, computation, results
    std::thread thread_;
    Plan plan_;  // written before the thread starts, read by the camera's thread
    // The frames the sensor films, kept from session to session until close (real processing).
    std::unique_ptr<SensorSequence> sequence_;
    std::mt19937_64 random_;                              // used by the thread alone
    std::array<std::int64_t, kCounterCount> counters_{};  // between grabbing sessions
    std::uint64_t resultNumber_ = 0;
    // When a lost camera's loss became known: results stop after its last one and the heartbeat
    // fails this long after. A lost camera stays lost.
    std::optional<Clock::time_point> lostAt_;
};

}  // namespace Orvel::detail
