// The emulated acquisition: a schedule of frames, packet loss with resends, the pool and counters;
// with real processing also the sensor's thread and the host's computation of each frame.
#include "emulation/Acquisition.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include <pthread.h>

#include "Errors.h"

namespace Orvel::detail {

using Clock = ResultPool::Clock;

namespace {

// Blocks the asynchronous signals of the calling thread while it lives, so that the threads it
// starts inherit them blocked.
class SignalsBlockedInNewThreads {
public:
    SignalsBlockedInNewThreads() {
        sigset_t asynchronous;
        sigfillset(&asynchronous);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
            sigdelset(&asynchronous, fault);
        }
        pthread_sigmask(SIG_BLOCK, &asynchronous, &previous_);
    }
    ~SignalsBlockedInNewThreads() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlockedInNewThreads(const SignalsBlockedInNewThreads&) = delete;
    SignalsBlockedInNewThreads& operator=(const SignalsBlockedInNewThreads&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

static_assert(std::tuple_size_v<decltype(SessionState::renderedAt)> == kSensorSlots);

Acquisition::Acquisition(const CameraConfig& config, const Settings& settings,
                         std::uint64_t sceneSeed)
    : config_(config), settings_(settings), sceneSeed_(sceneSeed) {}

Acquisition::~Acquisition() {
    Stop();
}

void Acquisition::Reset(std::seed_seq& seed) {
    counters_.fill(0);
    resultNumber_ = 0;
    random_.seed(seed);
}

void Acquisition::Close() noexcept {
    Stop();
    scene_.reset();
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
    plan_.linkPeriod = std::max(1.0 / settings_.frameRate, plan_.timing.transfer);
    plan_.triggered = settings_.triggered;
    plan_.payloadSize = static_cast<std::size_t>(payload);
    ComponentOffsets offsets;
    offsets.fill(kNotSent);
    std::size_t offset = 0;
    for (std::size_t c = 0; c < kComponentCount; ++c) {
        if (IsActive(config_, settings_, c)) {
            offsets[c] = offset;
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
    // Held here until the pool exists too: a failure to make either leaves nothing behind.
    std::unique_ptr<RealProcessing> processing;
    if (config_.processing == Processing::Real) {
        try {
            processing = std::make_unique<RealProcessing>(settings_, offsets, sceneSeed_, scene_);
        } catch (const std::exception& error) {
            ORVEL_THROW(
                RuntimeException,
                std::string("Cannot start grabbing: no depth computation: ") + error.what());
        }
    }

    ResultPool* pool = nullptr;
    try {
        pool = new ResultPool(config_.bufferCount, plan_.payloadSize, kTriggerCapacity);
    } catch (const std::bad_alloc&) {
        const double mebibytes =
            double(config_.bufferCount) * double(plan_.payloadSize) / double(1 << 20);
        char text[200];
        std::snprintf(text, sizeof text,
                      "Cannot start grabbing: cannot allocate %u result buffers of %zu bytes "
                      "(%.0f MiB in all).",
                      config_.bufferCount, plan_.payloadSize, mebibytes);
        ORVEL_THROW(BadAllocException, text);
    }
    processing_ = std::move(processing);
    {
        MutexLock lock(pool->mutex);
        pool->State().counters = counters_;
        pool->State().resultNumber = resultNumber_;
    }
    try {
        // A library's threads leave the program's signals to the program's own thread, whose
        // blocking calls a stop signal must interrupt.
        const SignalsBlockedInNewThreads blocked;
        if (processing_) {
            sensor_ = std::thread([this, pool] { RunSensor(*pool); });
        }
        thread_ = std::thread([this, pool] { Run(*pool); });
    } catch (const std::system_error& error) {
        StopThreads(*pool);
        pool->ReleaseSession();
        processing_.reset();
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no acquisition thread: ") + error.what());
    }
    MutexLock lock(pool->mutex);
    while (!pool->State().threadRunning) {
        lock.Wait(pool->resultReady);
    }
    pool_ = pool;
}

void Acquisition::Stop() noexcept {
    if (pool_ == nullptr) {
        return;
    }
    StopThreads(*pool_);
    {
        MutexLock lock(pool_->mutex);
        counters_ = pool_->State().counters;
        resultNumber_ = pool_->State().resultNumber;
    }
    pool_->ReleaseSession();
    pool_ = nullptr;
    // The engine's memory (hundreds of MiB at the finest depth) goes with the session.
    processing_.reset();
}

void Acquisition::StopThreads(ResultPool& pool) noexcept {
    {
        MutexLock lock(pool.mutex);
        pool.State().stopRequested = true;
    }
    pool.producerWake.notify_all();
    pool.sensorWake.notify_all();
    pool.resultReady.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (sensor_.joinable()) {
        sensor_.join();
    }
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
    MutexLock lock(pool.mutex);
    // The holder's previous result, usually of this pool: returned under the lock we hold anyway.
    if (previous != nullptr &&
        GrabResultAccess::References(*previous).fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (ResultPool* owner = GrabResultAccess::Pool(*previous); owner == &pool) {
            pool.ReturnLocked(previous);
        } else {
            lock.Unlock();
            owner->Recycle(previous);
            lock.Lock();
        }
    }
    SessionState& state = pool.State();
    auto due = [&state] { return !state.ready.Empty() || state.stopRequested || state.ended; };
    if (!due()) {
        ++state.waiting;
        bool arrived = true;
        while (arrived && !due()) {
            if (deadline) {
                arrived = lock.WaitUntil(pool.resultReady, *deadline) || due();
            } else {
                lock.Wait(pool.resultReady);
            }
        }
        --state.waiting;
        if (!arrived) {
            return Outcome::TimedOut;
        }
    }
    if (state.ready.Empty()) {
        ended = state.ended;
        return Outcome::Stopped;
    }
    CGrabResultData* data = pool.HandOut();
    ended = state.ended && state.ready.Empty();
    lock.Unlock();
    GrabResultAccess::Give(result, data);
    return Outcome::Result;
}

std::int64_t Acquisition::Counter(std::size_t counter) const {
    if (pool_ == nullptr) {
        return counters_[counter];
    }
    MutexLock lock(pool_->mutex);
    return pool_->State().counters[counter];
}

void Acquisition::Trigger() {
    if (pool_ == nullptr) {
        return;
    }
    {
        MutexLock lock(pool_->mutex);
        Ring<Clock::time_point>& triggers = pool_->State().triggers;
        if (triggers.Full()) {
            ORVEL_THROW(RuntimeException, "[TriggerSoftware] " + std::to_string(kTriggerCapacity) +
                                              " triggers are already pending");
        }
        triggers.Push(Clock::now());
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
    MutexLock lock(pool.mutex);
    pool.State().threadRunning = true;
    lock.Unlock();
    pool.resultReady.notify_all();
    lock.Lock();
    if (processing_) {
        RunReal(pool, lock);
    } else {
        RunModelled(pool, lock);
    }
}

bool Acquisition::AwaitFrame(ResultPool& pool, MutexLock& lock, Clock::time_point& trigger) {
    SessionState& state = pool.State();
    for (;;) {
        if (state.stopRequested) {
            return false;
        }
        if (state.ended || (plan_.stallAfter && state.resultNumber >= *plan_.stallAfter)) {
            while (!state.stopRequested) {
                lock.Wait(pool.producerWake);
            }
            return false;
        }
        if (!plan_.triggered) {
            return true;
        }
        if (!state.triggers.Empty()) {
            trigger = state.triggers.Pop();
            return true;
        }
        lock.Wait(pool.producerWake);
    }
}

bool Acquisition::SleepUntil(ResultPool& pool, MutexLock& lock, Clock::time_point when) {
    // A frame already due (the thread fell behind a fast schedule) costs no system call.
    while (!pool.State().stopRequested && Clock::now() < when) {
        lock.WaitUntil(pool.producerWake, when);
    }
    return !pool.State().stopRequested;
}

void Acquisition::RunModelled(ResultPool& pool, MutexLock& lock) {
    const Timing& timing = plan_.timing;
    const Clock::time_point start = Clock::now();
    const Clock::duration latency = ModelDuration(timing.latency);
    const Clock::duration busy = ModelDuration(timing.busy);
    Clock::time_point lastExposure = start;
    Clock::time_point lastDelivery = start;
    std::uint64_t frame = 0;

    Clock::time_point trigger;
    while (AwaitFrame(pool, lock, trigger)) {
        const Clock::time_point exposure =
            !plan_.triggered ? start + ModelDuration(static_cast<double>(frame) * timing.period)
            : frame == 0     ? trigger
                             : std::max(trigger, lastExposure + busy);
        const Loss loss = DrawLoss();
        const Clock::time_point delivery = std::max(
            exposure + latency + ModelDuration(loss.rounds * kResendRoundSeconds), lastDelivery);
        if (!SleepUntil(pool, lock, delivery)) {
            break;
        }
        ++frame;
        lastExposure = exposure;
        lastDelivery = delivery;
        CGrabResultData* data = Claim(pool, frame, exposure, loss);
        if (data == nullptr) {
            continue;
        }
        // The stamp is all the modelled camera writes, so untouched buffer pages stay unmapped.
        if (plan_.payloadSize >= 2 * sizeof(std::uint64_t)) {
            unsigned char* buffer = GrabResultAccess::Buffer(*data);
            const std::uint64_t number = data->GetImageNumber();
            std::memcpy(buffer, &number, sizeof number);
            std::memcpy(buffer + sizeof number, &frame, sizeof frame);
        }
        Queue(pool, data, loss);
        NotifyConsumer(pool);
    }
}

// The camera exposes a frame once the sensor has drawn it, the link carries it in the modelled
// transfer time, and the host computes its components right away, for real and without the
// lock. The next exposure is timed so that its data arrives no sooner than the host is free:
// the camera never runs ahead of the computation, and every result's latency is the link's
// plus the computation's.
void Acquisition::RunReal(ResultPool& pool, MutexLock& lock) {
    const Timing& timing = plan_.timing;
    const Clock::time_point start = Clock::now();
    const Clock::duration transfer = ModelDuration(timing.transfer);
    const Clock::duration period = ModelDuration(plan_.linkPeriod);
    Clock::time_point lastExposure = start;
    Clock::time_point hostFree = start;  // when the last computation finished
    std::uint64_t frame = 0;
    SessionState& state = pool.State();

    Clock::time_point trigger;
    while (AwaitFrame(pool, lock, trigger)) {
        Clock::time_point exposure =
            plan_.triggered
                ? (frame == 0 ? trigger
                              : std::max({trigger, lastExposure + transfer, hostFree - transfer}))
                : (frame == 0 ? start : std::max(lastExposure + period, hostFree - transfer));
        const std::uint64_t next = frame + 1;
        while (!state.stopRequested && state.framesRendered < next) {
            lock.Wait(pool.producerWake);
        }
        if (state.stopRequested) {
            break;
        }
        // A frame the sensor has not finished cannot be exposed yet: a slow renderer slows the
        // camera.
        exposure = std::max(exposure, state.renderedAt[(next - 1) % kSensorSlots]);
        const Loss loss = DrawLoss();
        const Clock::time_point arrival =
            exposure + transfer + ModelDuration(loss.rounds * kResendRoundSeconds);
        if (!SleepUntil(pool, lock, arrival)) {
            break;
        }
        frame = next;
        lastExposure = exposure;
        // A frame without a buffer, or with a failure, is not computed: the host has nowhere to
        // put it, or no complete pair.
        CGrabResultData* data = Claim(pool, frame, exposure, loss);
        if (data != nullptr && data->GrabSucceeded()) {
            // Released through the mutex itself: the analysis knows this function holds it,
            // not which lock object does.
            pool.mutex.Unlock();
            processing_->Compute(frame, GrabResultAccess::Buffer(*data));
            pool.mutex.Lock();
            hostFree = Clock::now();
        }
        state.framesReleased = frame;
        pool.sensorWake.notify_one();
        if (data != nullptr) {
            Queue(pool, data, loss);
            NotifyConsumer(pool);
        }
    }
}

void Acquisition::RunSensor(ResultPool& pool) {
    MutexLock lock(pool.mutex);
    SessionState& state = pool.State();
    for (;;) {
        while (!state.stopRequested &&
               state.framesRendered - state.framesReleased >= kSensorSlots) {
            lock.Wait(pool.sensorWake);
        }
        if (state.stopRequested) {
            return;
        }
        const std::uint64_t frame = state.framesRendered + 1;
        lock.Unlock();
        processing_->Render(frame);
        lock.Lock();
        state.framesRendered = frame;
        state.renderedAt[(frame - 1) % kSensorSlots] = Clock::now();
        pool.producerWake.notify_one();
    }
}

void Acquisition::NotifyConsumer(ResultPool& pool) {
    if (pool.State().waiting > 0) {
        pool.mutex.Unlock();
        pool.resultReady.notify_one();
        pool.mutex.Lock();
    }
}

CGrabResultData* Acquisition::Claim(ResultPool& pool, std::uint64_t frame,
                                    Clock::time_point exposure, const Loss& loss) {
    CGrabResultData* data = pool.TakeFree();
    if (data == nullptr) {
        CountPackets(pool, loss);
        ++pool.State().counters[kBufferUnderruns];
        return nullptr;
    }
    const std::uint64_t number = ++pool.State().resultNumber;
    const auto stamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(exposure.time_since_epoch()).count());
    GrabResultAccess::SetLayout(*data, plan_.payloadSize, plan_.components.data(),
                                plan_.componentCount);
    GrabResultAccess::SetFrame(*data, number, frame, stamp);

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
    return data;
}

void Acquisition::CountPackets(ResultPool& pool, const Loss& loss) const {
    auto& counters = pool.State().counters;
    counters[kTotalPackets] += plan_.timing.packets - loss.lost;
    counters[kFailedPackets] += loss.lost;
    counters[kResendRequests] += loss.requested;
    counters[kResendPackets] += loss.recovered;
}

void Acquisition::Queue(ResultPool& pool, CGrabResultData* data, const Loss& loss) {
    CountPackets(pool, loss);
    SessionState& state = pool.State();
    ++state.counters[kTotalBuffers];
    if (!data->GrabSucceeded()) {
        ++state.counters[kFailedBuffers];
    }
    state.ready.Push(data);
    if (plan_.stopAfter && data->GetImageNumber() >= *plan_.stopAfter) {
        state.ended = true;
    }
}

}  // namespace Orvel::detail
