// The emulated acquisition: a schedule of frames, packet loss with resends, the pool and counters;
// with real processing also the host's receiving and computing of each frame.
#include "Acquisition.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <numeric>
#include <thread>
#include <vector>

#include <pthread.h>
#include <time.h>

#include "Orvel/Transport/Errors.h"

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

Acquisition::Acquisition(const CameraConfig& config, const Settings& settings,
                         std::uint64_t sceneSeed, std::string name)
    : config_(config), settings_(settings), sceneSeed_(sceneSeed), name_(std::move(name)) {}

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
    sequence_.reset();
}

bool Acquisition::IsLost() const {
    if (pool_ == nullptr) {
        return lostAt_ && Clock::now() >= *lostAt_;
    }
    MutexLock lock(pool_->mutex);
    const auto& lostAt = pool_->State().lostAt;
    return lostAt && Clock::now() >= *lostAt;
}

void Acquisition::RaiseLost() const {
    char text[240];
    std::snprintf(text, sizeof text,
                  "Camera '%s' was lost: it has not answered the heartbeat for %.0f ms (cable "
                  "pulled or power lost).",
                  name_.c_str(), config_.heartbeatTimeout * 1e3);
    ORVEL_THROW(RuntimeException, text);
}

void Acquisition::Start() {
    if (pool_ != nullptr) {
        return;
    }
    // A camera lost in an earlier session answers nothing: grabbing starts, nothing comes, and its
    // loss is told once the heartbeat has really been missing for the whole time-out.
    if (IsLost()) {
        RaiseLost();
    }
    PlanFrames();
    // Held here until the pool exists as well: a failure leaves nothing behind.
    std::unique_ptr<HostProcessing> processing = PrepareHostWork();
    ResultPool* pool = MakePool();
    processing_ = std::move(processing);
    StartThread(*pool);
    pool_ = pool;
}

void Acquisition::PlanFrames() {
    plan_ = Plan{};
    plan_.layout = LayOut(config_, settings_);
    if (plan_.layout.payloadSize == 0) {
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
    plan_.timing = ComputeTiming(config_, settings_);
    plan_.linkPeriod = std::max(1.0 / settings_.frameRate, plan_.timing.transfer);
    plan_.triggered = settings_.triggered;
    plan_.failures = config_.grabFailures;
    plan_.stopAfter = config_.stopGrabbingAfter;
    plan_.stallAfter = config_.stallAfter;
    plan_.lostAfter = config_.lostAfter;
    plan_.lossRate = config_.packetLossRate;
}

std::unique_ptr<HostProcessing> Acquisition::PrepareHostWork() {
    if (config_.processing != Processing::Real) {
        return nullptr;
    }
    // The memory of the sensor's frames and of the host's engine and scratch is taken here, so
    // that a shortage is StartGrabbing's error; the frames are drawn on the acquisition thread
    // before its first exposure.
    try {
        auto processing = std::make_unique<HostProcessing>(HostPlanFor(settings_, plan_.layout));
        const bool truth = processing->SendsError();
        if (!sequence_ || !sequence_->Serves(settings_, truth)) {
            sequence_.reset();  // the old frames go before the new ones are made
            sequence_ =
                std::make_unique<SensorSequence>(settings_, sceneSeed_, *config_.recording, truth);
        }
        return processing;
    } catch (const std::exception& error) {
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no depth computation: ") + error.what());
    }
}

ResultPool* Acquisition::MakePool() const {
    const std::size_t payload = plan_.layout.payloadSize;
    ResultPool* pool = nullptr;
    try {
        pool = new ResultPool(config_.bufferCount, payload, kTriggerCapacity);
    } catch (const std::bad_alloc&) {
        const double mebibytes = double(config_.bufferCount) * double(payload) / double(1 << 20);
        char text[200];
        std::snprintf(text, sizeof text,
                      "Cannot start grabbing: cannot allocate %u result buffers of %zu bytes "
                      "(%.0f MiB in all).",
                      config_.bufferCount, payload, mebibytes);
        ORVEL_THROW(BadAllocException, text);
    }
    MutexLock lock(pool->mutex);
    pool->State().counters = counters_;
    pool->State().resultNumber = resultNumber_;
    pool->State().lostAt = lostAt_;
    return pool;
}

void Acquisition::StartThread(ResultPool& pool) {
    try {
        // A library's threads leave the program's signals to the program's own thread, whose
        // blocking calls a stop signal must interrupt.
        const SignalsBlockedInNewThreads blocked;
        thread_ = std::thread([this, &pool] { Run(pool); });
    } catch (const std::system_error& error) {
        pool.ReleaseSession();
        processing_.reset();
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no acquisition thread: ") + error.what());
    }
    MutexLock lock(pool.mutex);
    while (!pool.State().threadRunning) {
        lock.Wait(pool.resultReady);
    }
}

void Acquisition::Stop() noexcept {
    if (pool_ == nullptr) {
        return;
    }
    StopThread(*pool_);
    {
        MutexLock lock(pool_->mutex);
        counters_ = pool_->State().counters;
        resultNumber_ = pool_->State().resultNumber;
        lostAt_ = pool_->State().lostAt;
    }
    pool_->ReleaseSession();
    pool_ = nullptr;
    // The engine's memory (hundreds of MiB at the finest depth) goes with the session.
    processing_.reset();
}

void Acquisition::StopThread(ResultPool& pool) noexcept {
    {
        MutexLock lock(pool.mutex);
        pool.State().stopRequested = true;
        pool.State().stopRequestedAt = Clock::now();
    }
    pool.producerWake.notify_all();
    pool.resultReady.notify_all();
    if (thread_.joinable()) {
        thread_.join();
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
    auto lost = [&state] { return state.lostAt && Clock::now() >= *state.lostAt; };
    bool timedOut = false;
    ++state.waiting;
    for (;;) {
        if (due() || lost()) {
            break;
        }
        if (deadline && Clock::now() >= *deadline) {
            timedOut = true;
            break;
        }
        // A lost camera's heartbeat fails at a known time: the wait ends there at the latest.
        std::optional<Clock::time_point> until = deadline;
        if (state.lostAt && (!until || *state.lostAt < *until)) {
            until = state.lostAt;
        }
        if (until) {
            lock.WaitUntil(pool.resultReady, *until);
        } else {
            lock.Wait(pool.resultReady);
        }
    }
    --state.waiting;
    if (state.ready.Empty() && lost()) {
        lock.Unlock();
        RaiseLost();
    }
    if (timedOut) {
        return Outcome::TimedOut;
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
    if (IsLost()) {
        RaiseLost();
    }
    const Clock::time_point sent = Clock::now();
    const Clock::duration roundTrip = ModelDuration(config_.controlRoundTrip);
    {
        MutexLock lock(pool_->mutex);
        Ring<Clock::time_point>& triggers = pool_->State().triggers;
        if (triggers.Full()) {
            ORVEL_THROW(RuntimeException, "[TriggerSoftware] " + std::to_string(kTriggerCapacity) +
                                              " triggers are already pending");
        }
        triggers.Push(sent + roundTrip / 2);
    }
    pool_->producerWake.notify_one();
    // The command is done when the camera's acknowledgement is back. The wait is a blocking call
    // of the caller's thread like any other: a signal interrupts it, so that a program told to
    // stop is not held for a slow control link's round trip.
    const auto ack =
        std::chrono::duration_cast<std::chrono::nanoseconds>((sent + roundTrip).time_since_epoch());
    timespec until{};
    until.tv_sec = static_cast<time_t>(ack.count() / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ack.count() % 1'000'000'000);
    // steady_clock is CLOCK_MONOTONIC; the call returns its error instead of setting errno.
    ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

Acquisition::Loss Acquisition::DrawLoss() {
    Loss loss;
    const double p = plan_.lossRate;
    if (p <= 0) {
        return loss;
    }
    // `count` of the `size` packets whose ids `idAt` gives in order, every choice equally likely,
    // kept in order (selection sampling).
    auto choose = [&](std::int64_t size, auto idAt, std::int64_t count) {
        std::vector<std::int64_t> chosen;
        chosen.reserve(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < size; ++i) {
            const std::int64_t left = count - static_cast<std::int64_t>(chosen.size());
            if (left > 0 &&
                std::uniform_int_distribution<std::int64_t>(0, size - i - 1)(random_) < left) {
                chosen.push_back(idAt(i));
            }
        }
        return chosen;
    };
    // How many of `packets` a try loses: binomial.
    auto lostOf = [&](std::int64_t packets) -> std::int64_t {
        if (packets == 0) {
            return 0;
        }
        return p >= 1 ? packets : std::binomial_distribution<std::int64_t>(packets, p)(random_);
    };
    auto lose = [&](const std::vector<std::int64_t>& packets) {
        const auto size = static_cast<std::int64_t>(packets.size());
        return choose(
            size, [&packets](std::int64_t i) { return packets[static_cast<std::size_t>(i)]; },
            lostOf(size));
    };
    // One resend request asks for a run of consecutive packets.
    auto runs = [](const std::vector<std::int64_t>& ids) {
        std::int64_t count = 0;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            count += i == 0 || ids[i] != ids[i - 1] + 1 ? 1 : 0;
        }
        return count;
    };
    // Most frames lose nothing: only then is the list of their packets needed.
    const std::int64_t firstCount = lostOf(plan_.timing.packets);
    if (firstCount == 0) {
        return loss;
    }
    const std::vector<std::int64_t> first = choose(
        plan_.timing.packets, [](std::int64_t i) { return i; }, firstCount);
    const std::vector<std::int64_t> second = lose(first);
    const std::vector<std::int64_t> third = lose(second);
    loss.requested = runs(first) + runs(second);
    loss.resent = static_cast<std::int64_t>(first.size() + second.size());
    loss.lost = static_cast<std::int64_t>(third.size());
    loss.recovered = static_cast<std::int64_t>(first.size()) - loss.lost;
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
        const bool silent = state.ended || state.lostAt ||
                            (plan_.stallAfter && state.resultNumber >= *plan_.stallAfter);
        if (silent) {
            while (!state.stopRequested) {
                lock.Wait(pool.producerWake);
            }
            return false;
        }
        // Also after a stop request: the frame the schedule had already exposed is let finish,
        // which SleepUntil decides.
        if (!plan_.triggered) {
            return true;
        }
        if (!state.triggers.Empty()) {
            trigger = state.triggers.Pop();
            return true;
        }
        if (state.stopRequested) {
            return false;
        }
        lock.Wait(pool.producerWake);
    }
}

bool Acquisition::SleepUntil(ResultPool& pool, MutexLock& lock, Clock::time_point when,
                             Clock::time_point exposure) {
    const SessionState& state = pool.State();
    auto finishing = [&] {
        // AcquisitionStop: a frame whose exposure has begun is finished, if it comes soon.
        return exposure <= state.stopRequestedAt &&
               when <= state.stopRequestedAt + ModelDuration(kFinishFrameSeconds);
    };
    for (;;) {
        if (state.stopRequested && !finishing()) {
            return false;
        }
        // A frame already due (the thread fell behind a fast schedule) costs no system call.
        if (Clock::now() >= when) {
            return true;
        }
        lock.WaitUntil(pool.producerWake, when);
    }
}

Clock::time_point Acquisition::TriggeredExposure(Clock::time_point trigger,
                                                 Clock::time_point sensorFree, bool first) {
    std::uniform_real_distribution<double> jitter(0, kTriggerJitterSeconds);
    return std::max(trigger, sensorFree) +
           ModelDuration((first ? kTriggerArmSeconds : 0) + jitter(random_));
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
            !plan_.triggered
                ? start + ModelDuration(static_cast<double>(frame) * timing.period)
                : TriggeredExposure(trigger, frame == 0 ? start : lastExposure + busy, frame == 0);
        const Loss loss = DrawLoss();
        const Clock::time_point delivery =
            std::max(exposure + latency +
                         ModelDuration(static_cast<double>(loss.resent) * timing.packetTime),
                     lastDelivery);
        if (!SleepUntil(pool, lock, delivery, exposure)) {
            break;
        }
        ++frame;
        lastExposure = exposure;
        lastDelivery = delivery;
        CGrabResultData* data = Claim(pool, frame, exposure, loss);
        if (data == nullptr) {
            if (!plan_.triggered) {
                frame += DropWhileDry(pool, lock, exposure, timing.period, latency);
            }
            continue;
        }
        // The stamp is all the modelled camera writes, so untouched buffer pages stay unmapped.
        if (plan_.layout.payloadSize >= 2 * sizeof(std::uint64_t)) {
            unsigned char* buffer = GrabResultAccess::Buffer(*data);
            const std::uint64_t number = data->GetImageNumber();
            std::memcpy(buffer, &number, sizeof number);
            std::memcpy(buffer + sizeof number, &frame, sizeof frame);
        }
        Queue(pool, data, loss, delivery);
        NotifyConsumer(pool);
    }
}

// The camera exposes a frame of its prepared sequence, the link carries the raw pair in the
// modelled transfer time, and the host receives it and computes its components right away, for
// real and without the lock. The next exposure is timed so that its pair arrives no sooner than
// the host is free: the camera never runs ahead of the computation, and every result's latency
// is the exposure's, the link's and the computation's.
void Acquisition::RunReal(ResultPool& pool, MutexLock& lock) {
    // The sensor draws its sequence before the first exposure, without the lock, and stops
    // drawing at a stop request.
    pool.mutex.Unlock();
    const bool prepared = sequence_->Prepare([&pool]() ORVEL_EXCLUDES(pool.mutex) {
        MutexLock check(pool.mutex);
        return pool.State().stopRequested;
    });
    pool.mutex.Lock();
    if (!prepared) {
        return;
    }
    const Timing& timing = plan_.timing;
    const Clock::time_point start = Clock::now();
    const Clock::duration toArrival = ModelDuration(kExposureSeconds + timing.transfer);
    const Clock::duration transfer = ModelDuration(timing.transfer);
    const Clock::duration period = ModelDuration(plan_.linkPeriod);
    Clock::time_point lastExposure = start;
    Clock::time_point hostFree = start;  // when the last computation finished
    std::uint64_t frame = 0;

    Clock::time_point trigger;
    while (AwaitFrame(pool, lock, trigger)) {
        const Clock::time_point exposure =
            plan_.triggered
                ? TriggeredExposure(
                      trigger,
                      frame == 0 ? start : std::max(lastExposure + transfer, hostFree - toArrival),
                      frame == 0)
                : (frame == 0 ? start : std::max(lastExposure + period, hostFree - toArrival));
        const Loss loss = DrawLoss();
        const Clock::time_point arrival =
            exposure + toArrival +
            ModelDuration(static_cast<double>(loss.resent) * timing.packetTime);
        if (!SleepUntil(pool, lock, arrival, exposure)) {
            break;
        }
        ++frame;
        lastExposure = exposure;
        // A frame without a buffer, or with a failure, is not computed: the host has nowhere to
        // put it, or no complete pair.
        CGrabResultData* data = Claim(pool, frame, exposure, loss);
        if (data == nullptr) {
            if (!plan_.triggered) {
                const std::uint64_t dropped =
                    DropWhileDry(pool, lock, exposure, plan_.linkPeriod, toArrival);
                frame += dropped;
                lastExposure += ModelDuration(static_cast<double>(dropped) * plan_.linkPeriod);
            }
            continue;
        }
        if (data->GrabSucceeded()) {
            // Released through the mutex itself: the analysis knows this function holds it,
            // not which lock object does.
            pool.mutex.Unlock();
            processing_->Compute(sequence_->Frame(frame).Received(),
                                 GrabResultAccess::Buffer(*data));
            pool.mutex.Lock();
            GrabResultAccess::SetImagePresent(*data, true);
            hostFree = Clock::now();
        }
        Queue(pool, data, loss, Clock::now());
        NotifyConsumer(pool);
    }
}

std::uint64_t Acquisition::DropWhileDry(ResultPool& pool, MutexLock& lock,
                                        Clock::time_point exposure, double period,
                                        Clock::duration toArrival) {
    SessionState& state = pool.State();
    state.producerWaitsForBuffer = true;
    while (!pool.HasFree() && !state.stopRequested) {
        lock.Wait(pool.producerWake);
    }
    state.producerWaitsForBuffer = false;
    // Frame k after the dry one arrives at exposure + k·period + toArrival.
    const double since =
        std::chrono::duration<double>(Clock::now() - (exposure + toArrival)).count();
    if (since < period) {
        return 0;
    }
    // Bounded so that the frame count cannot wrap, however small the period.
    const double arrived = std::min(std::floor(since / period), 1e15);
    const auto dropped = static_cast<std::uint64_t>(arrived);
    auto& counters = state.counters;
    counters[kBufferUnderruns] += static_cast<std::int64_t>(dropped);
    counters[kTotalPackets] += static_cast<std::int64_t>(dropped) * plan_.timing.packets;
    return dropped;
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
        // Dropped as it arrives: its packets came, and nobody asked for any again.
        CountPackets(pool, Loss{});
        ++pool.State().counters[kBufferUnderruns];
        return nullptr;
    }
    const std::uint64_t number = ++pool.State().resultNumber;
    const auto stamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(exposure.time_since_epoch()).count());
    GrabResultAccess::SetLayout(*data, plan_.layout.payloadSize, plan_.layout.components.data(),
                                plan_.layout.componentCount);
    GrabResultAccess::SetFrame(*data, number, frame, stamp);
    GrabResultAccess::SetImagePresent(*data, false);  // until the host has computed the frame

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

void Acquisition::Queue(ResultPool& pool, CGrabResultData* data, const Loss& loss,
                        Clock::time_point delivery) {
    CountPackets(pool, loss);
    SessionState& state = pool.State();
    ++state.counters[kTotalBuffers];
    if (!data->GrabSucceeded()) {
        ++state.counters[kFailedBuffers];
    }
    state.ready.Push(data);
    const std::uint64_t number = data->GetImageNumber();
    if (plan_.stopAfter && number >= *plan_.stopAfter) {
        state.ended = true;
    }
    // The cable is pulled after this result: the heartbeat fails a timeout later.
    if (plan_.lostAfter && number >= *plan_.lostAfter && !state.lostAt) {
        state.lostAt = delivery + ModelDuration(config_.heartbeatTimeout);
    }
}

}  // namespace Orvel::detail
