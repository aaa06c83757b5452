// A fixed set of threads that run the stripes of one frame.
#include "WorkerPool.h"

#include <algorithm>
#include <csignal>
#include <system_error>

#include <pthread.h>

namespace Tarnwell::stereo::detail {

WorkerPool::WorkerPool(int threads) {
    workers_.reserve(static_cast<std::size_t>(std::max(threads - 1, 0)));
    // Workers inherit the caller's signal mask: they leave every asynchronous signal to the
    // program's own threads, whose blocking calls a stop signal must interrupt.
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) {
        sigdelset(&blocked, fault);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    for (int i = 1; i < threads; ++i) {
        // The system may refuse a thread (a pids limit, ulimit -u or -v): the work is shared
        // out among the threads there are, the caller's included, and comes out the same.
        try {
            workers_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) {
        worker.join();
    }
}

void WorkerPool::Run(int count, Task task, void* context) {
    {
        std::lock_guard lock(mutex_);
        task_ = task;
        context_ = context;
        count_ = count;
        next_.store(0, std::memory_order_relaxed);
        busy_ = static_cast<int>(workers_.size());
        ++generation_;
    }
    wake_.notify_all();
    Drain();
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return busy_ == 0; });
}

void WorkerPool::Drain() {
    for (int i = next_.fetch_add(1); i < count_; i = next_.fetch_add(1)) {
        task_(context_, i);
    }
}

void WorkerPool::Work() {
    unsigned seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) {
                return;
            }
            seen = generation_;
        }
        Drain();
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            last = --busy_ == 0;
        }
        if (last) {
            finished_.notify_one();
        }
    }
}

}  // namespace Tarnwell::stereo::detail
