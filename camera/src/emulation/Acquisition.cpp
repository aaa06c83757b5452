// The emulated acquisition: a schedule of frames, packet loss with resends, the pool and counters.
#include "emulation/Acquisition.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Errors.h"

namespace Orvel::detail {

using Clock = ResultPool::Clock;

Acquisition::Acquisition(const CameraConfig& config, const Settings& settings)
    : config_(config), settings_(settings) {}

Acquisition::~Acquisition() {
    Stop();
}

void Acquisition::Reset(std::seed_seq& seed) {
    counters_.fill(0);
    resultNumber_ = 0;
    random_.seed(seed);
}

void Acquisition::Start() {
    if (pool_ != nullptr) {
        return;
    }
    const std::int64_t payload = PayloadSize(config_, settings_);
    if (payload == 0) {
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no image component is enabled in "
                                "component mode '") +
                        kModeNames[settings_.mode] + "'.");
    }
    if (config_.stopGrabbingAfter && resultNumber_ >= *config_.stopGrabbingAfter) {
        ORVEL_THROW(RuntimeException,
                    "Cannot start grabbing: the camera ended its acquisition with result " +
                        std::to_string(*config_.stopGrabbingAfter) +
                        "; it grabs again once it is closed and opened.");
    }
    plan_ = Plan{};
    plan_.timing = ComputeTiming(config_, settings_);
    plan_.triggered = settings_.triggered;
    plan_.payloadSize = static_cast<std::size_t>(payload);
    std::size_t offset = 0;
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (IsActive(config_, settings_, c)) {
            const Geometry g = ComponentGeometry(settings_, c);
            ComponentInfo& info = plan_.components[plan_.componentCount++];
            info.name = kComponentNames[c];
            info.width = static_cast<std::uint32_t>(g.width);
            info.height = static_cast<std::uint32_t>(g.height);
            info.bytesPerPixel = static_cast<std::uint32_t>(g.bytesPerPixel);
            info.offset = offset;
            info.size = static_cast<std::size_t>(g.Bytes());
            offset += info.size;
        }
    }
    plan_.failures = config_.grabFailures;
    plan_.stopAfter = config_.stopGrabbingAfter;
    plan_.stallAfter = config_.stallAfter;
    plan_.lossRate = config_.packetLossRate;

    auto* pool = new ResultPool(config_.bufferCount, plan_.payloadSize, kTriggerCapacity);
    pool->counters = counters_;
    pool->resultNumber = resultNumber_;
    try {
        thread_ = std::thread([this, pool] { Run(*pool); });
    } catch (const std::system_error& error) {
        pool->ReleaseSession();
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no acquisition thread: ") + error.what());
    }
    std::unique_lock lock(pool->mutex);
    pool->resultReady.wait(lock, [pool] { return pool->threadRunning; });
    pool_ = pool;
}

void Acquisition::Stop() noexcept {
    if (pool_ == nullptr) {
        return;
    }
    {
        std::lock_guard lock(pool_->mutex);
        pool_->stopRequested = true;
    }
    pool_->producerWake.notify_all();
    pool_->resultReady.notify_all();
    thread_.join();
    {
        std::lock_guard lock(pool_->mutex);
        counters_ = pool_->counters;
        resultNumber_ = pool_->resultNumber;
    }
    pool_->ReleaseSession();
    pool_ = nullptr;
}

IStreamGrabber::Outcome Acquisition::Retrieve(Deadline deadline, CGrabResultPtr& result,
                                              bool& ended) {
    ended = false;
    if (pool_ == nullptr) {
        result.Release();
        return Outcome::Stopped;
    }
    CGrabResultData* previous = GrabResultAccess::Take(result);
    ResultPool& pool = *pool_;
    std::unique_lock lock(pool.mutex);
    // The holder's previous result, usually of this pool: returned under the lock we hold anyway.
    if (previous != nullptr &&
        GrabResultAccess::References(*previous).fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (ResultPool* owner = GrabResultAccess::Pool(*previous); owner == &pool) {
            pool.ReturnLocked(previous);
        } else {
            lock.unlock();
            owner->Recycle(previous);
            lock.lock();
        }
    }
    auto due = [&pool] { return !pool.ready.Empty() || pool.stopRequested || pool.ended; };
    if (!due()) {
        ++pool.waiting;
        const bool arrived = deadline ? pool.resultReady.wait_until(lock, *deadline, due)
                                      : (pool.resultReady.wait(lock, due), true);
        --pool.waiting;
        if (!arrived) {
            return Outcome::TimedOut;
        }
    }
    if (pool.ready.Empty()) {
        ended = pool.ended;
        return Outcome::Stopped;
    }
    CGrabResultData* data = pool.HandOut();
    ended = pool.ended && pool.ready.Empty();
    lock.unlock();
    GrabResultAccess::Give(result, data);
    return Outcome::Result;
}

std::int64_t Acquisition::Counter(std::size_t counter) const {
    if (pool_ == nullptr) {
        return counters_[counter];
    }
    std::lock_guard lock(pool_->mutex);
    return pool_->counters[counter];
}

void Acquisition::Trigger() {
    if (pool_ == nullptr) {
        return;
    }
    {
        std::lock_guard lock(pool_->mutex);
        if (pool_->triggers.Full()) {
            ORVEL_THROW(RuntimeException, "[TriggerSoftware] " + std::to_string(kTriggerCapacity) +
                                              " triggers are already pending");
        }
        pool_->triggers.Push(Clock::now());
    }
    pool_->producerWake.notify_one();
}

Acquisition::Loss Acquisition::DrawLoss() {
    Loss loss;
    const double p = plan_.lossRate;
    if (p <= 0) {
        return loss;
    }
    // Binomial draws: a frame costs the same at any rate, however many packets it has.
    auto lose = [&](std::int64_t packets) -> std::int64_t {
        if (packets == 0) {
            return 0;
        }
        if (p >= 1) {
            return packets;
        }
        return std::binomial_distribution<std::int64_t>(packets, p)(random_);
    };
    const std::int64_t first = lose(plan_.timing.packets);
    const std::int64_t second = lose(first);
    loss.lost = lose(second);
    loss.requested = first + second;
    loss.recovered = first - loss.lost;
    loss.rounds = (first > 0) + (second > 0);
    return loss;
}

void Acquisition::Run(ResultPool& pool) {
    std::unique_lock lock(pool.mutex);
    pool.threadRunning = true;
    lock.unlock();
    pool.resultReady.notify_all();
    lock.lock();

    const Timing& timing = plan_.timing;
    const Clock::time_point start = Clock::now();
    const Clock::duration latency = ModelDuration(timing.latency);
    const Clock::duration busy = ModelDuration(timing.busy);
    Clock::time_point lastExposure = start;
    Clock::time_point lastDelivery = start;
    std::uint64_t frame = 0;
    auto stopping = [&pool] { return pool.stopRequested; };

    while (!pool.stopRequested) {
        if (pool.ended || (plan_.stallAfter && pool.resultNumber >= *plan_.stallAfter)) {
            pool.producerWake.wait(lock, stopping);
            break;
        }
        Clock::time_point exposure;
        if (plan_.triggered) {
            if (pool.triggers.Empty()) {
                pool.producerWake.wait(
                    lock, [&pool] { return pool.stopRequested || !pool.triggers.Empty(); });
                continue;
            }
            const Clock::time_point trigger = pool.triggers.Pop();
            exposure = frame == 0 ? trigger : std::max(trigger, lastExposure + busy);
        } else {
            exposure = start + ModelDuration(static_cast<double>(frame) * timing.period);
        }
        const Loss loss = DrawLoss();
        const Clock::time_point delivery = std::max(
            exposure + latency + ModelDuration(loss.rounds * kResendRoundSeconds), lastDelivery);
        // A frame already due (the thread fell behind a fast schedule) costs no system call.
        if (Clock::now() < delivery && pool.producerWake.wait_until(lock, delivery, stopping)) {
            break;
        }
        ++frame;
        lastExposure = exposure;
        lastDelivery = delivery;
        if (Deliver(pool, frame, exposure, loss) && pool.waiting > 0) {
            lock.unlock();
            pool.resultReady.notify_one();
            lock.lock();
        }
    }
}

bool Acquisition::Deliver(ResultPool& pool, std::uint64_t frame, Clock::time_point exposure,
                          const Loss& loss) {
    auto& counters = pool.counters;
    counters[kTotalPackets] += plan_.timing.packets - loss.lost;
    counters[kFailedPackets] += loss.lost;
    counters[kResendRequests] += loss.requested;
    counters[kResendPackets] += loss.recovered;

    CGrabResultData* data = pool.TakeFree();
    if (data == nullptr) {
        ++counters[kBufferUnderruns];
        return false;
    }
    const std::uint64_t number = ++pool.resultNumber;
    const auto stamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(exposure.time_since_epoch()).count());
    GrabResultAccess::SetLayout(*data, plan_.payloadSize, plan_.components.data(),
                                plan_.componentCount);
    GrabResultAccess::SetFrame(*data, number, frame, stamp);
    // The stamp is all the emulation writes, so untouched buffer pages stay unmapped.
    if (plan_.payloadSize >= 2 * sizeof(std::uint64_t)) {
        unsigned char* buffer = GrabResultAccess::Buffer(*data);
        std::memcpy(buffer, &number, sizeof number);
        std::memcpy(buffer + sizeof number, &frame, sizeof frame);
    }

    char text[160];
    if (plan_.failures.every != 0 && number % plan_.failures.every == 0) {
        if (plan_.failures.description.empty()) {
            std::snprintf(text, sizeof text, "Injected grab failure at result %llu",
                          static_cast<unsigned long long>(number));
        }
        GrabResultAccess::SetOutcome(
            *data, false, plan_.failures.errorCode,
            plan_.failures.description.empty() ? text : plan_.failures.description.c_str());
    } else if (loss.lost > 0) {
        std::snprintf(text, sizeof text, "Buffer incomplete: %lld of %lld packets lost",
                      static_cast<long long>(loss.lost),
                      static_cast<long long>(plan_.timing.packets));
        GrabResultAccess::SetOutcome(*data, false, kBufferIncomplete, text);
    } else {
        GrabResultAccess::SetOutcome(*data, true, 0, "");
    }
    ++counters[kTotalBuffers];
    if (!data->GrabSucceeded()) {
        ++counters[kFailedBuffers];
    }
    pool.ready.Push(data);
    if (plan_.stopAfter && number >= *plan_.stopAfter) {
        pool.ended = true;
    }
    return true;
}

}  // namespace Orvel::detail
