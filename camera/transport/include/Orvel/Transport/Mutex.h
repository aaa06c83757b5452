// A mutex and its scoped lock annotated for clang's thread-safety analysis, so that the compiler
// rejects an access to guarded state without the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVEL_THREAD_ANNOTATION(x)
#endif

#define ORVEL_CAPABILITY(x) ORVEL_THREAD_ANNOTATION(capability(x))
#define ORVEL_SCOPED_CAPABILITY ORVEL_THREAD_ANNOTATION(scoped_lockable)
#define ORVEL_GUARDED_BY(x) ORVEL_THREAD_ANNOTATION(guarded_by(x))
#define ORVEL_REQUIRES(...) ORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ORVEL_ACQUIRE(...) ORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ORVEL_RELEASE(...) ORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ORVEL_EXCLUDES(...) ORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace Orvel::detail {

class ORVEL_CAPABILITY("mutex") Mutex {
public:
    void Lock() ORVEL_ACQUIRE() { mutex_.lock(); }
    void Unlock() ORVEL_RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds the mutex from construction to destruction, but while it is unlocked on purpose or
// inside a wait; waits go through it, as condition variables need the lock they release.
class ORVEL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ORVEL_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() ORVEL_RELEASE() = default;
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() ORVEL_RELEASE() { lock_.unlock(); }
    void Lock() ORVEL_ACQUIRE() { lock_.lock(); }

    // Releases the mutex until notified (or spuriously woken), then holds it again.
    void Wait(std::condition_variable& condition) { condition.wait(lock_); }
    // The same until `deadline`; false once the deadline has passed.
    template <class Clock, class Duration>
    bool WaitUntil(std::condition_variable& condition,
                   const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace Orvel::detail
