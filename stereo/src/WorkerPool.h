// A fixed set of threads that run the stripes of one frame; nothing is allocated per run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace Tarnwell::stereo::detail {

class WorkerPool {
public:
    using Task = void (*)(void* context, int index);

    // `threads` counts the caller, which works too: threads-1 are started.
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int Threads() const { return static_cast<int>(workers_.size()) + 1; }
    // Runs task(context, i) for every i in [0, count) and returns when all have finished.
    void Run(int count, Task task, void* context);

private:
    void Work();
    void Drain();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::vector<std::thread> workers_;
    unsigned generation_ = 0;
    bool stopping_ = false;
    int busy_ = 0;
    Task task_ = nullptr;
    void* context_ = nullptr;
    int count_ = 0;
    std::atomic<int> next_{0};
};

}  // namespace Tarnwell::stereo::detail
