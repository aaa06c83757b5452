// The emulated stream grabber: one thread per grabbing camera that produces frames on the
// model's schedule into a fixed pool of results.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <thread>

#include "ResultPool.h"
#include "emulation/CameraModel.h"
#include "transport/Transport.h"

namespace Orvel::detail {

class Acquisition final : public IStreamGrabber {
public:
    // Triggers the camera holds before it refuses more.
    static constexpr std::size_t kTriggerCapacity = 4096;

    Acquisition(const CameraConfig& config, const Settings& settings);
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    void Start() override;
    void Stop() noexcept override;
    bool IsRunning() const noexcept override { return pool_ != nullptr; }
    Outcome Retrieve(Deadline deadline, CGrabResultPtr& result, bool& ended) override;

    // On open: counters and result numbers start again from 0, randomness from `seed`.
    void Reset(std::seed_seq& seed);
    std::int64_t Counter(std::size_t counter) const;
    // Queues a software trigger and wakes the acquisition thread at once.
    void Trigger();

private:
    struct Plan {
        Timing timing;
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
    Loss DrawLoss();
    // With the pool's mutex held; true when a result was queued.
    bool Deliver(ResultPool& pool, std::uint64_t frame, ResultPool::Clock::time_point exposure,
                 const Loss& loss);

    const CameraConfig& config_;
    const Settings& settings_;
    ResultPool* pool_ = nullptr;
    std::thread thread_;
    Plan plan_;               // written before the thread starts, read by it alone
    std::mt19937_64 random_;  // used by the thread alone
    std::array<std::int64_t, kCounterCount> counters_{};  // between grabbing sessions
    std::uint64_t resultNumber_ = 0;
};

}  // namespace Orvel::detail
