// Grab results: the outcome and data of one acquired frame, and the holder that shares it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "GenICam/GCString.h"

namespace Orvel {

using GenICam::gcstring;

namespace detail {
class ResultPool;
struct GrabResultAccess;
}  // namespace detail

// One image component carried by a result.
struct ComponentInfo {
    const char* name = "";    // "Intensity", "Disparity", ...
    std::uint32_t width = 0;  // pixels
    std::uint32_t height = 0;
    std::uint32_t bytesPerPixel = 0;
    std::size_t offset = 0;  // into the result's buffer
    std::size_t size = 0;    // bytes
};

// Results live in a fixed pool that the camera allocates when grabbing starts; a result goes
// back to the pool when the last holder releases it, also after the camera is gone.
class CGrabResultData {
public:
    static constexpr std::size_t kMaxComponents = 6;

    bool GrabSucceeded() const noexcept { return succeeded_; }
    // 0 for a successful grab.
    std::uint32_t GetErrorCode() const noexcept { return errorCode_; }
    gcstring GetErrorDescription() const { return gcstring(errorDescription_); }
    // Number of the result since the camera was opened, from 1.
    std::uint64_t GetImageNumber() const noexcept { return imageNumber_; }
    // Number of the frame since grabbing started, from 1; frames lost to buffer underruns
    // leave gaps.
    std::uint64_t GetFrameNumber() const noexcept { return frameNumber_; }
    // Device time of the exposure, nanoseconds.
    std::uint64_t GetTimeStamp() const noexcept { return timeStamp_; }
    // False when the buffer holds no image data (GenTL's "image present" flag): a camera that
    // times its frames without making them, as the emulation's modelled processing does,
    // delivers results whose buffers hold only their numbers.
    bool IsImagePresent() const noexcept { return imagePresent_; }
    const void* GetBuffer() const noexcept { return buffer_; }
    std::size_t GetPayloadSize() const noexcept { return payloadSize_; }
    std::size_t GetNumberOfComponents() const noexcept { return componentCount_; }
    const ComponentInfo& GetComponent(std::size_t index) const;

    CGrabResultData(const CGrabResultData&) = delete;
    CGrabResultData& operator=(const CGrabResultData&) = delete;

private:
    friend class detail::ResultPool;
    friend struct detail::GrabResultAccess;
    friend class CGrabResultPtr;
    CGrabResultData() = default;
    ~CGrabResultData() = default;

    bool succeeded_ = false;
    bool imagePresent_ = false;
    std::uint32_t errorCode_ = 0;
    char errorDescription_[160] = {};
    std::uint64_t imageNumber_ = 0;
    std::uint64_t frameNumber_ = 0;
    std::uint64_t timeStamp_ = 0;
    unsigned char* buffer_ = nullptr;
    std::size_t payloadSize_ = 0;
    std::size_t componentCount_ = 0;
    ComponentInfo components_[kMaxComponents];

    std::atomic<std::uint32_t> references_{0};
    detail::ResultPool* pool_ = nullptr;
};

// Shared holder of a result. Copying shares the result; the last holder returns it to its pool.
// Never allocates.
class CGrabResultPtr {
public:
    CGrabResultPtr() noexcept = default;
    CGrabResultPtr(const CGrabResultPtr& other) noexcept;
    CGrabResultPtr(CGrabResultPtr&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }
    CGrabResultPtr& operator=(const CGrabResultPtr& other) noexcept;
    CGrabResultPtr& operator=(CGrabResultPtr&& other) noexcept;
    ~CGrabResultPtr() { Release(); }

    // Raises GenICam::LogicalErrorException "NULL pointer dereferenced" when empty.
    CGrabResultData* operator->() const;
    CGrabResultData& operator*() const { return *operator->(); }
    bool IsValid() const noexcept { return data_ != nullptr; }
    explicit operator bool() const noexcept { return IsValid(); }
    void Release() noexcept;

private:
    friend struct detail::GrabResultAccess;
    explicit CGrabResultPtr(CGrabResultData* adopted) noexcept : data_(adopted) {}
    CGrabResultData* data_ = nullptr;
};

}  // namespace Orvel
