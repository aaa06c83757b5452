// The emulated camera's acquisition: exposures on the camera's schedule, each raw pair on the link
// with its losses and resends, handed to the host's side of the stream as it arrives.
#include "Acquisition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include <time.h>

#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

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
    if (!host_.IsRunning()) {
        return lostAt_ && Clock::now() >= *lostAt_;
    }
    ResultPool& pool = const_cast<HostStream&>(host_).Pool();
    MutexLock lock(pool.mutex);
    const auto& lostAt = pool.State().lostAt;
    return lostAt && Clock::now() >= *lostAt;
}

void Acquisition::RaiseLost() const {
    RaiseCameraLost({name_, config_.heartbeatTimeout});
}

void Acquisition::Start() {
    if (host_.IsRunning()) {
        return;
    }
    // A camera lost in an earlier session answers nothing: grabbing starts, nothing comes, and its
    // loss is told once the heartbeat has really been missing for the whole time-out.
    if (IsLost()) {
        RaiseLost();
    }
    PlanFrames();
    PrepareSensor();
    HostStream::Plan host;
    host.bufferCount = config_.bufferCount;
    host.payloadSize = plan_.layout.payloadSize;
    host.components = plan_.layout.components;
    host.componentCount = plan_.layout.componentCount;
    if (config_.processing == Processing::Real) {
        host.processing = HostPlanFor(settings_, plan_.layout);
    } else {
        host.modelledSeconds = plan_.timing.processing;
    }
    host.triggerCapacity = TriggersThatMayWait(false);
    host_.Start(host, counters_, resultNumber_, lostAt_);
    StartThread(host_.Pool());
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
    plan_.link = LinkFor(config_, plan_.timing);
    plan_.triggered = settings_.triggered;
    plan_.failures = config_.grabFailures;
    plan_.stopAfter = config_.stopGrabbingAfter;
    plan_.stallAfter = config_.stallAfter;
    plan_.lostAfter = config_.lostAfter;
}

void Acquisition::PrepareSensor() {
    if (config_.processing != Processing::Real) {
        return;
    }
    // The memory of the sensor's frames is taken here, so that a shortage is StartGrabbing's
    // error; the frames are drawn on the camera's thread before its first exposure.
    const bool truth = plan_.layout.offsets[kError] != kNotSent;
    try {
        if (!sequence_ || !sequence_->Serves(settings_, truth)) {
            sequence_.reset();  // the old frames go before the new ones are made
            sequence_ =
                std::make_unique<SensorSequence>(settings_, sceneSeed_, *config_.recording, truth);
        }
    } catch (const std::exception& error) {
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no depth computation: ") + error.what());
    }
}

void Acquisition::StartThread(ResultPool& pool) {
    try {
        const SignalsBlockedInNewThreads blocked;
        thread_ = std::thread([this, &pool] { Run(pool); });
    } catch (const std::system_error& error) {
        host_.Stop();
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no acquisition thread: ") + error.what());
    }
    MutexLock lock(pool.mutex);
    while (pool.State().threadsRunning < 2) {
        lock.Wait(pool.resultReady);
    }
}

void Acquisition::Stop() noexcept {
    if (!host_.IsRunning()) {
        return;
    }
    ResultPool& pool = host_.Pool();
    StopThread(pool);
    {
        MutexLock lock(pool.mutex);
        counters_ = pool.State().counters;
        resultNumber_ = pool.State().resultNumber;
        lostAt_ = pool.State().lostAt;
    }
    host_.Stop();
}

void Acquisition::StopThread(ResultPool& pool) noexcept {
    {
        MutexLock lock(pool.mutex);
        pool.State().stopRequested = true;
        pool.State().stopRequestedAt = Clock::now();
    }
    pool.producerWake.notify_all();
    pool.resultReady.notify_all();
    pool.hostWake.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

IStreamGrabber::Outcome Acquisition::Retrieve(Deadline deadline, CGrabResultPtr& result,
                                              bool& ended) {
    return host_.Retrieve(deadline, result, ended, {name_, config_.heartbeatTimeout});
}

std::int64_t Acquisition::Counter(std::size_t counter) const {
    if (!host_.IsRunning()) {
        return counters_[counter];
    }
    ResultPool& pool = const_cast<HostStream&>(host_).Pool();
    MutexLock lock(pool.mutex);
    return pool.State().counters[counter];
}

void Acquisition::Trigger() {
    if (!host_.IsRunning()) {
        return;
    }
    if (IsLost()) {
        RaiseLost();
    }
    const Clock::time_point sent = Clock::now();
    const Clock::duration roundTrip = ModelDuration(config_.controlRoundTrip);
    ResultPool& pool = host_.Pool();
    {
        MutexLock lock(pool.mutex);
        // Busy is the camera's time, not whether the acquisition thread has taken the triggers
        // before.
        SessionState& state = pool.State();
        const Clock::time_point arrives = sent + roundTrip / 2;
        if (state.triggers.Size() < TriggersThatMayWait(arrives < state.sensorFreeAt)) {
            state.triggers.Push(arrives);
        }
    }
    pool.producerWake.notify_one();
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

void Acquisition::Run(ResultPool& pool) {
    MutexLock lock(pool.mutex);
    ++pool.State().threadsRunning;
    lock.Unlock();
    pool.resultReady.notify_all();
    if (sequence_) {
        // The sensor draws its sequence before the first exposure, without the lock, and stops
        // drawing at a stop request.
        const bool prepared = sequence_->Prepare([&pool]() ORVEL_EXCLUDES(pool.mutex) {
            MutexLock check(pool.mutex);
            return pool.State().stopRequested;
        });
        if (!prepared) {
            return;
        }
    }
    lock.Lock();
    RunFrames(pool, lock);
}

bool Acquisition::AwaitFrame(ResultPool& pool, MutexLock& lock, Clock::time_point& trigger) {
    SessionState& state = pool.State();
    for (;;) {
        const auto reached = [&state](const std::optional<std::uint64_t>& last) {
            return last && state.resultNumber >= *last;
        };
        const bool silent = state.lostAt || reached(plan_.stopAfter) || reached(plan_.stallAfter);
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

void Acquisition::RunFrames(ResultPool& pool, MutexLock& lock) {
    const Timing& timing = plan_.timing;
    Link link(plan_.link);
    const std::int64_t packets = plan_.link.packets;
    const double packet = plan_.link.packetSeconds;
    // The schedule in seconds from the start: the model's own times, converted to the clock
    // one by one, so that no rounding adds up.
    const Clock::time_point start = Clock::now();
    const auto at = [start](double seconds) { return start + ModelDuration(seconds); };
    double lastExposure = 0;
    double linkFree = 0;  // the frames before have their own packets on the wire by then
    std::uint64_t frame = 0;

    Clock::time_point trigger;
    while (AwaitFrame(pool, lock, trigger)) {
        if (plan_.triggered) {
            pool.State().sensorFreeAt = Clock::time_point::max();  // until its readout is known
        }
        // A new exposure may begin so that its readout finds the link free: it overlaps the
        // previous frame's readout.
        const double ready = frame == 0 ? 0 : linkFree - kExposureSeconds;
        double exposure = 0;
        if (plan_.triggered) {
            std::uniform_real_distribution<double> jitter(0, kTriggerJitterSeconds);
            const double arrived = std::chrono::duration<double>(trigger - start).count();
            exposure =
                std::max(arrived, ready) + (frame == 0 ? kTriggerArmSeconds : 0) + jitter(random_);
        } else {
            exposure = frame == 0 ? 0 : std::max(lastExposure + 1 / settings_.frameRate, ready);
        }
        const double readout = exposure + kExposureSeconds;
        if (!SleepUntil(pool, lock, at(readout + packet), at(exposure))) {
            break;
        }
        ++frame;
        lastExposure = exposure;
        // The host takes a buffer as the frame's first packet arrives.
        CGrabResultData* data = host_.Claim(pool, frame, at(exposure), packets);
        if (data == nullptr) {
            // Its packets arrive, and nobody asks for any of them again.
            linkFree = link.SendUnasked(readout);
            pool.State().sensorFreeAt = at(linkFree - kExposureSeconds);
            if (!plan_.triggered) {
                const std::uint64_t dropped =
                    DropWhileDry(pool, lock, at(exposure), timing.period,
                                 ModelDuration(kExposureSeconds + packet));
                frame += dropped;
                lastExposure += static_cast<double>(dropped) * timing.period;
                linkFree = std::max(linkFree, lastExposure + kExposureSeconds + timing.transfer);
            }
            continue;
        }
        if (!sequence_ && plan_.layout.payloadSize >= 2 * sizeof(std::uint64_t)) {
            // The stamp is all a modelled camera writes, so untouched buffer pages stay unmapped.
            unsigned char* buffer = GrabResultAccess::Buffer(*data);
            const std::uint64_t number = data->GetImageNumber();
            std::memcpy(buffer, &number, sizeof number);
            std::memcpy(buffer + sizeof number, &frame, sizeof frame);
        }
        const Transmission sent = link.Send(readout, random_);
        linkFree = sent.readoutEnd;
        pool.State().sensorFreeAt = at(linkFree - kExposureSeconds);
        SetOutcome(*data, sent);
        if (!SleepUntil(pool, lock, at(sent.arrival), at(exposure))) {
            pool.Discard(data);
            break;
        }
        ReceivedFrame received;
        received.data = data;
        received.arrival = Clock::now();
        if (sequence_) {
            received.pair = sequence_->Frame(frame).Received();
        }
        const std::uint64_t number = data->GetImageNumber();
        received.last = plan_.stopAfter && number >= *plan_.stopAfter;
        // The cable is pulled after this result: the heartbeat fails a time-out later. Known
        // before the result is, since handing it over lets a waiting consumer run.
        SessionState& state = pool.State();
        if (plan_.lostAfter && number >= *plan_.lostAfter && !state.lostAt) {
            state.lostAt = at(sent.arrival) + ModelDuration(config_.heartbeatTimeout);
        }
        host_.Receive(pool, received, packets, sent.lost, sent.requested, sent.recovered);
    }
}

std::uint64_t Acquisition::DropWhileDry(ResultPool& pool, MutexLock& lock,
                                        Clock::time_point exposure, double period,
                                        Clock::duration toLeader) {
    SessionState& state = pool.State();
    state.producerWaitsForBuffer = true;
    while (!pool.HasFree() && !state.stopRequested) {
        lock.Wait(pool.producerWake);
    }
    state.producerWaitsForBuffer = false;
    // Frame k after the dry one has its first packet at exposure + k·period + toLeader.
    const double since =
        std::chrono::duration<double>(Clock::now() - (exposure + toLeader)).count();
    if (since < period) {
        return 0;
    }
    // Bounded so that the frame count cannot wrap, however small the period.
    const double arrived = std::min(std::floor(since / period), 1e15);
    const auto dropped = static_cast<std::uint64_t>(arrived);
    auto& counters = state.counters;
    counters[kBufferUnderruns] += static_cast<std::int64_t>(dropped);
    counters[kTotalPackets] += static_cast<std::int64_t>(dropped) * plan_.link.packets;
    return dropped;
}

void Acquisition::SetOutcome(CGrabResultData& data, const Transmission& sent) const {
    const std::uint64_t number = data.GetImageNumber();
    char text[160];
    if (plan_.failures.every != 0 && number % plan_.failures.every == 0) {
        if (plan_.failures.description.empty()) {
            std::snprintf(text, sizeof text, "Injected grab failure at result %llu",
                          static_cast<unsigned long long>(number));
        }
        GrabResultAccess::SetOutcome(
            data, false, plan_.failures.errorCode,
            plan_.failures.description.empty() ? text : plan_.failures.description.c_str());
    } else if (sent.lost > 0) {
        std::snprintf(text, sizeof text, "Buffer incomplete: %lld of %lld packets lost",
                      static_cast<long long>(sent.lost),
                      static_cast<long long>(plan_.link.packets));
        GrabResultAccess::SetOutcome(data, false, kBufferIncomplete, text);
    }
}

}  // namespace Orvel::detail
