// Grab results and their intrusive holder; the result pool of a grabbing session.
#include "Orvel/GrabResult.h"

#include "Orvel/Transport/Errors.h"
#include "Orvel/Transport/ResultPool.h"

namespace Orvel {

const ComponentInfo& CGrabResultData::GetComponent(std::size_t index) const {
    if (index >= componentCount_) {
        ORVEL_THROW(OutOfRangeException, "CGrabResultData::GetComponent: index " +
                                             std::to_string(index) +
                                             " out of range; the result has " +
                                             std::to_string(componentCount_) + " component(s).");
    }
    return components_[index];
}

CGrabResultPtr::CGrabResultPtr(const CGrabResultPtr& other) noexcept : data_(other.data_) {
    if (data_ != nullptr) {
        data_->references_.fetch_add(1, std::memory_order_relaxed);
    }
}

CGrabResultPtr& CGrabResultPtr::operator=(const CGrabResultPtr& other) noexcept {
    if (other.data_ != nullptr) {
        other.data_->references_.fetch_add(1, std::memory_order_relaxed);
    }
    Release();
    data_ = other.data_;
    return *this;
}

CGrabResultPtr& CGrabResultPtr::operator=(CGrabResultPtr&& other) noexcept {
    if (this != &other) {
        Release();
        data_ = other.data_;
        other.data_ = nullptr;
    }
    return *this;
}

CGrabResultData* CGrabResultPtr::operator->() const {
    if (data_ == nullptr) {
        ORVEL_THROW(LogicalErrorException, "NULL pointer dereferenced");
    }
    return data_;
}

void CGrabResultPtr::Release() noexcept {
    CGrabResultData* data = data_;
    data_ = nullptr;
    if (data != nullptr && data->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        data->pool_->Recycle(data);
    }
}

namespace detail {

ResultPool::ResultPool(std::uint32_t count, std::size_t payloadSize, std::size_t triggerCapacity)
    : slots_(new CGrabResultData[count]), count_(count), state_(count, triggerCapacity) {
    // Nobody else sees the pool yet; the lock only tells the analysis so.
    MutexLock lock(mutex);
    try {
        free_.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            CGrabResultData& slot = slots_[i];
            slot.pool_ = this;
            // Left uninitialised: pages the emulation never writes are never mapped.
            slot.buffer_ = new unsigned char[payloadSize];
            free_.push_back(&slot);
        }
    } catch (...) {
        // The destructor does not run for a pool that was never made.
        for (std::uint32_t i = 0; i < count; ++i) {
            delete[] slots_[i].buffer_;
        }
        delete[] slots_;
        throw;
    }
}

ResultPool::~ResultPool() {
    for (std::uint32_t i = 0; i < count_; ++i) {
        delete[] slots_[i].buffer_;
    }
    delete[] slots_;
}

CGrabResultData* ResultPool::TakeFree() noexcept {
    if (free_.empty()) {
        return nullptr;
    }
    CGrabResultData* data = free_.back();
    free_.pop_back();
    return data;
}

CGrabResultData* ResultPool::HandOut() noexcept {
    CGrabResultData* data = state_.ready.Pop();
    data->references_.store(1, std::memory_order_relaxed);
    ++outstanding_;
    return data;
}

void ResultPool::ReturnLocked(CGrabResultData* data) noexcept {
    --outstanding_;
    free_.push_back(data);
    if (state_.producerWaitsForBuffer) {
        producerWake.notify_one();
    }
}

void ResultPool::Recycle(CGrabResultData* data) noexcept {
    bool last = false;
    {
        MutexLock lock(mutex);
        ReturnLocked(data);
        last = sessionReleased_ && outstanding_ == 0;
    }
    if (last) {
        delete this;
    }
}

void ResultPool::ReleaseSession() noexcept {
    bool last = false;
    {
        MutexLock lock(mutex);
        while (!state_.ready.Empty()) {
            free_.push_back(state_.ready.Pop());
        }
        sessionReleased_ = true;
        last = outstanding_ == 0;
    }
    if (last) {
        delete this;
    }
}

}  // namespace detail
}  // namespace Orvel
