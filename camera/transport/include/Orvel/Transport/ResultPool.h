// A grabbing session's shared state: result pool, ready queue, counters, flags and pending
// triggers under one mutex, kept alive by the session and by every result a holder still has.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>
#include <vector>

#include "Orvel/GrabResult.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Orvel/Transport/Mutex.h"
#include "Orvel/Transport/StereoStream.h"

namespace Orvel::detail {

// The SDK's access to the private parts of results and holders.
struct GrabResultAccess {
    static CGrabResultData* Take(CGrabResultPtr& holder) noexcept {
        CGrabResultData* data = holder.data_;
        holder.data_ = nullptr;
        return data;
    }
    // `data` carries the one reference that the holder adopts.
    static void Give(CGrabResultPtr& holder, CGrabResultData* data) noexcept {
        holder.Release();
        holder.data_ = data;
    }
    static std::atomic<std::uint32_t>& References(CGrabResultData& data) noexcept {
        return data.references_;
    }
    static ResultPool* Pool(const CGrabResultData& data) noexcept { return data.pool_; }
    static unsigned char* Buffer(CGrabResultData& data) noexcept { return data.buffer_; }
    static void SetLayout(CGrabResultData& data, std::size_t payloadSize,
                          const ComponentInfo* components, std::size_t count) noexcept {
        data.payloadSize_ = payloadSize;
        data.componentCount_ = count;
        for (std::size_t i = 0; i < count; ++i) {
            data.components_[i] = components[i];
        }
    }
    static void SetFrame(CGrabResultData& data, std::uint64_t imageNumber,
                         std::uint64_t frameNumber, std::uint64_t timeStamp) noexcept {
        data.imageNumber_ = imageNumber;
        data.frameNumber_ = frameNumber;
        data.timeStamp_ = timeStamp;
    }
    static void SetImagePresent(CGrabResultData& data, bool present) noexcept {
        data.imagePresent_ = present;
    }
    // `description` is cut to what the result can hold.
    static void SetOutcome(CGrabResultData& data, bool succeeded, std::uint32_t errorCode,
                           const char* description) noexcept {
        data.succeeded_ = succeeded;
        data.errorCode_ = errorCode;
        std::size_t i = 0;
        for (; description[i] != '\0' && i + 1 < sizeof data.errorDescription_; ++i) {
            data.errorDescription_[i] = description[i];
        }
        data.errorDescription_[i] = '\0';
    }
};

// Fixed capacity, allocated once: the per-result path never allocates.
template <class T>
class Ring {
public:
    explicit Ring(std::size_t capacity) : slots_(capacity) {}
    bool Empty() const noexcept { return count_ == 0; }
    bool Full() const noexcept { return count_ == slots_.size(); }
    std::size_t Size() const noexcept { return count_; }
    void Push(T value) noexcept {
        slots_[(head_ + count_) % slots_.size()] = value;
        ++count_;
    }
    T Pop() noexcept {
        T value = slots_[head_];
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return value;
    }

private:
    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// A frame the host received whole (or gave up on) and has not computed yet.
struct ReceivedFrame {
    using Clock = std::chrono::steady_clock;

    CGrabResultData* data = nullptr;
    Clock::time_point arrival;
    ReceivedPair pair;  // the views, when the frame carries images
    bool last = false;  // the camera ended its acquisition with this frame
    // The transport's memory the views lie in, when it must have it back once the host is done
    // with the pair (HostStream::Plan::releasePair): only for a frame that succeeded and that the
    // host computes. Null when the views outlive the session.
    void* source = nullptr;
};

// What a grabbing session's threads share, read and written only with the pool's mutex held.
struct SessionState {
    using Clock = std::chrono::steady_clock;

    explicit SessionState(std::uint32_t count, std::size_t triggerCapacity)
        : ready(count), received(count), triggers(triggerCapacity) {}

    int threadsRunning = 0;  // the session's threads that have started
    bool stopRequested = false;
    bool ended = false;  // the camera ended its acquisition; no result follows the queued ones
    int waiting = 0;     // consumers blocked in a retrieval: only they need a notification
    bool producerWaitsForBuffer = false;  // the acquisition thread waits for a result back
    bool hostBusy = false;                // the host's thread holds a frame it took
    Ring<CGrabResultData*> ready;
    Ring<ReceivedFrame> received;  // waiting for the host's computation, in order
    Ring<Clock::time_point> triggers;
    // When a triggered camera's sensor may expose again; the latest time while the frame it
    // works on has not yet been read out onto the link.
    Clock::time_point sensorFreeAt;
    std::array<std::int64_t, kCounterCount> counters{};
    std::uint64_t resultNumber = 0;  // of the last delivered result since the camera was opened
    Clock::time_point stopRequestedAt;
    // A lost camera: when its heartbeat failed (results stopped before).
    std::optional<Clock::time_point> lostAt;
};

// A grabbing session's results and shared state, alive while the session or any holder of one
// of its results is. All state sits behind `mutex`; the compiler checks that (clang's analysis).
class ResultPool {
public:
    using Clock = SessionState::Clock;

    ResultPool(std::uint32_t count, std::size_t payloadSize, std::size_t triggerCapacity);
    ResultPool(const ResultPool&) = delete;
    ResultPool& operator=(const ResultPool&) = delete;

    Mutex mutex;
    std::condition_variable resultReady;   // consumers, and StartGrabbing waiting for threads
    std::condition_variable producerWake;  // the acquisition thread: triggers, free buffers, stop
    std::condition_variable hostWake;      // the host's computing thread: received frames, stop

    SessionState& State() ORVEL_REQUIRES(mutex) { return state_; }
    // A free result, or null when the pool ran dry.
    CGrabResultData* TakeFree() noexcept ORVEL_REQUIRES(mutex);
    bool HasFree() const noexcept ORVEL_REQUIRES(mutex) { return !free_.empty(); }
    // Hands a queued result to a holder (one reference).
    CGrabResultData* HandOut() noexcept ORVEL_REQUIRES(mutex);
    // Takes back a result whose last holder let go.
    void ReturnLocked(CGrabResultData* data) noexcept ORVEL_REQUIRES(mutex);
    // Takes back a result that was taken but never queued nor handed out.
    void Discard(CGrabResultData* data) noexcept ORVEL_REQUIRES(mutex) { free_.push_back(data); }
    // The last holder of `data` let go (from any thread).
    void Recycle(CGrabResultData* data) noexcept ORVEL_EXCLUDES(mutex);
    // The session's reference: queued results go back; the pool goes once no holder has a result.
    void ReleaseSession() noexcept ORVEL_EXCLUDES(mutex);

private:
    ~ResultPool();

    CGrabResultData* slots_;
    std::uint32_t count_;
    SessionState state_ ORVEL_GUARDED_BY(mutex);
    std::vector<CGrabResultData*> free_ ORVEL_GUARDED_BY(mutex);
    std::uint32_t outstanding_ ORVEL_GUARDED_BY(mutex) = 0;  // results held by holders
    bool sessionReleased_ ORVEL_GUARDED_BY(mutex) = false;
};

}  // namespace Orvel::detail
