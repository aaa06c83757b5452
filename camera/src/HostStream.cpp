// The host's side of a stereo camera's stream: buffers claimed as frames arrive, the host's
// computation on a thread of its own, results queued in order, retrieval.
#include "Orvel/Transport/HostStream.h"

#include <algorithm>
#include <cassert>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include <pthread.h>

#include "Orvel/Transport/Errors.h"

namespace Orvel::detail {

SignalsBlockedInNewThreads::SignalsBlockedInNewThreads() {
    sigset_t asynchronous;
    sigfillset(&asynchronous);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
        sigdelset(&asynchronous, fault);
    }
    pthread_sigmask(SIG_BLOCK, &asynchronous, &previous_);
}

SignalsBlockedInNewThreads::~SignalsBlockedInNewThreads() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

HostStream::~HostStream() {
    Stop();
}

void HostStream::Start(const Plan& plan, const std::array<std::int64_t, kCounterCount>& counters,
                       std::uint64_t resultNumber, std::optional<Clock::time_point> lostAt) {
    if (pool_ != nullptr) {
        return;
    }
    plan_ = plan;
    // The engine and its scratch are taken up front, as the pool is: no frame allocates.
    std::unique_ptr<HostProcessing> processing;
    if (plan.processing) {
        try {
            processing = std::make_unique<HostProcessing>(*plan.processing);
        } catch (const std::exception& error) {
            ORVEL_THROW(
                RuntimeException,
                std::string("Cannot start grabbing: no depth computation: ") + error.what());
        }
    }
    ResultPool* pool = nullptr;
    try {
        pool = new ResultPool(plan.bufferCount, plan.payloadSize, plan.triggerCapacity);
    } catch (const std::bad_alloc&) {
        const double mebibytes =
            double(plan.bufferCount) * double(plan.payloadSize) / double(1 << 20);
        char text[200];
        std::snprintf(text, sizeof text,
                      "Cannot start grabbing: cannot allocate %u result buffers of %zu bytes "
                      "(%.0f MiB in all).",
                      plan.bufferCount, plan.payloadSize, mebibytes);
        ORVEL_THROW(BadAllocException, text);
    }
    {
        MutexLock lock(pool->mutex);
        pool->State().counters = counters;
        pool->State().resultNumber = resultNumber;
        pool->State().lostAt = lostAt;
    }
    processing_ = std::move(processing);
    pool_ = pool;
    try {
        const SignalsBlockedInNewThreads blocked;
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error& error) {
        pool_ = nullptr;
        pool->ReleaseSession();
        processing_.reset();
        ORVEL_THROW(RuntimeException,
                    std::string("Cannot start grabbing: no host thread: ") + error.what());
    }
    MutexLock lock(pool->mutex);
    while (pool->State().threadsRunning == 0) {
        lock.Wait(pool->resultReady);
    }
}

void HostStream::Stop() noexcept {
    if (pool_ == nullptr) {
        return;
    }
    ResultPool& pool = *pool_;
    {
        MutexLock lock(pool.mutex);
        pool.State().stopRequested = true;
    }
    pool.hostWake.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    std::vector<ReceivedFrame> given;
    {
        // Frames the host had not computed go back with the queued results.
        MutexLock lock(pool.mutex);
        SessionState& state = pool.State();
        while (!state.received.Empty()) {
            given.push_back(state.received.Pop());
            state.ready.Push(given.back().data);
        }
    }
    for (const ReceivedFrame& frame : given) {
        ReleasePair(frame);
    }
    pool.ReleaseSession();
    pool_ = nullptr;
    // The engine's memory (hundreds of MiB at the finest depth) goes with the session.
    processing_.reset();
}

CGrabResultData* HostStream::Claim(ResultPool& pool, std::uint64_t frame,
                                   Clock::time_point exposure, std::int64_t packets) {
    assert(&pool == pool_);
    SessionState& state = pool.State();
    CGrabResultData* data = pool.TakeFree();
    if (data == nullptr) {
        // Dropped as it arrives: its packets came, and nobody asked for any again.
        ++state.counters[kBufferUnderruns];
        state.counters[kTotalPackets] += packets;
        return nullptr;
    }
    const std::uint64_t number = ++state.resultNumber;
    const auto stamp = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(exposure.time_since_epoch()).count());
    GrabResultAccess::SetLayout(*data, plan_.payloadSize, plan_.components.data(),
                                plan_.componentCount);
    GrabResultAccess::SetFrame(*data, number, frame, stamp);
    GrabResultAccess::SetImagePresent(*data, false);  // until the host has computed the frame
    GrabResultAccess::SetOutcome(*data, true, 0, "");
    return data;
}

void HostStream::Receive(ResultPool& pool, const ReceivedFrame& frame, std::int64_t packets,
                         std::int64_t lostPackets, std::int64_t resendRequests,
                         std::int64_t resentPackets) {
    assert(&pool == pool_);
    SessionState& state = pool.State();
    auto& counters = state.counters;
    counters[kTotalPackets] += packets - lostPackets;
    counters[kFailedPackets] += lostPackets;
    counters[kResendRequests] += resendRequests;
    counters[kResendPackets] += resentPackets;
    ++counters[kTotalBuffers];
    if (!frame.data->GrabSucceeded()) {
        ++counters[kFailedBuffers];
    }
    // A frame that takes the host no time, with nothing ahead of it, is a result at once.
    const bool takesTime =
        frame.data->GrabSucceeded() && (processing_ || plan_.modelledSeconds > 0);
    if (!takesTime && state.received.Empty() && !state.hostBusy) {
        state.ready.Push(frame.data);
        state.ended = state.ended || frame.last;
        NotifyConsumer(pool);
        return;
    }
    state.received.Push(frame);
    pool.hostWake.notify_one();
}

void HostStream::Run() {
    ResultPool& pool = *pool_;
    MutexLock lock(pool.mutex);
    ++pool.State().threadsRunning;
    pool.resultReady.notify_all();
    Compute(pool, lock);
}

void HostStream::Compute(ResultPool& pool, MutexLock& lock) {
    SessionState& state = pool.State();
    const Clock::duration modelled = ModelDuration(plan_.modelledSeconds);
    Clock::time_point free = Clock::now();  // when the host finished its last frame
    for (;;) {
        while (state.received.Empty() && !state.stopRequested) {
            lock.Wait(pool.hostWake);
        }
        if (state.stopRequested) {
            return;
        }
        const ReceivedFrame frame = state.received.Pop();
        state.hostBusy = true;
        if (frame.data->GrabSucceeded() && processing_) {
            // Released through the mutex itself: the analysis knows this function holds it, not
            // which lock object does.
            pool.mutex.Unlock();
            processing_->Compute(frame.pair, GrabResultAccess::Buffer(*frame.data));
            ReleasePair(frame);
            pool.mutex.Lock();
            GrabResultAccess::SetImagePresent(*frame.data, true);
            free = Clock::now();
        } else if (frame.data->GrabSucceeded() && modelled > Clock::duration::zero()) {
            // The modelled host computes one frame at a time, from its arrival on.
            const Clock::time_point done = std::max(frame.arrival, free) + modelled;
            while (!state.stopRequested && Clock::now() < done) {
                lock.WaitUntil(pool.hostWake, done);
            }
            free = done;
        }
        state.hostBusy = false;
        state.ready.Push(frame.data);
        state.ended = state.ended || frame.last;
        NotifyConsumer(pool);
    }
}

void HostStream::ReleasePair(const ReceivedFrame& frame) const {
    if (frame.source != nullptr && plan_.releasePair) {
        plan_.releasePair(frame.source);
    }
}

void HostStream::NotifyConsumer(ResultPool& pool) {
    if (pool.State().waiting > 0) {
        pool.mutex.Unlock();
        pool.resultReady.notify_one();
        pool.mutex.Lock();
    }
}

void RaiseCameraLost(const LostCamera& camera) {
    char text[240];
    std::snprintf(text, sizeof text,
                  "Camera '%s' was lost: it has not answered the heartbeat for %.0f ms (cable "
                  "pulled or power lost).",
                  camera.name.c_str(), camera.heartbeatSeconds * 1e3);
    ORVEL_THROW(RuntimeException, text);
}

IStreamGrabber::Outcome HostStream::Retrieve(IStreamGrabber::Deadline deadline,
                                             CGrabResultPtr& result, bool& ended,
                                             const LostCamera& camera) {
    using Outcome = IStreamGrabber::Outcome;
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
        RaiseCameraLost(camera);
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

}  // namespace Orvel::detail
