// The host's work for a stereo camera that sends its raw pair: receiving the pair and computing
// the enabled components from it with the stereo engine. That is the host's work, not the
// camera's: every transport of such cameras hands its received pairs to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>

#include "Orvel/Transport/StereoStream.h"
#include "stereo/Image.h"
#include "stereo/StereoEngine.h"

namespace Orvel::detail {

namespace stereo = Tarnwell::stereo;

// What the host computes for one grabbing session, as the camera's settings ask it.
struct HostProcessingPlan {
    int eyeWidth = 0;  // one view of the raw pair
    int eyeHeight = 0;
    int depthDivisor = 1;  // the depth image is the eye divided by this on both axes
    // The engine's work for the depth image: its size is the eye divided by depthDivisor.
    stereo::StereoConfig engine;
    ComponentOffsets offsets{};  // where the result holds each component
};

// A pair as the host received it: the rectified views, left above right in one buffer, and, for
// the error component, the camera's true disparity of the left view at the depth size (its own
// knowledge, which the error image compares with), where the right camera sees it.
struct ReceivedPair {
    stereo::ImageView<const std::uint8_t> left;
    stereo::ImageView<const std::uint8_t> right;
    stereo::ImageView<const float> truth;
    stereo::ImageView<const std::uint8_t> visible;
};

// An image of a grabbing session, or an error that names it and the size it was to have.
template <class T>
stereo::Image<T> AllocateImage(int width, int height, const char* what) {
    try {
        return stereo::Image<T>(width, height);
    } catch (const std::bad_alloc&) {
        const double mebibytes = double(width) * double(height) * sizeof(T) / (1 << 20);
        char text[160];
        std::snprintf(text, sizeof text, "cannot allocate %s of %dx%d pixels (%.1f MiB)", what,
                      width, height, mebibytes);
        throw std::runtime_error(text);
    }
}

// Engine and scratch are made up front; no frame allocates. Throws std::exception
// (std::runtime_error naming an allocation, std::invalid_argument) when it cannot.
class HostProcessing {
public:
    explicit HostProcessing(const HostProcessingPlan& plan);

    // Receives `pair` and writes the components into `buffer` at the plan's offsets.
    void Compute(const ReceivedPair& pair, unsigned char* buffer);
    bool SendsError() const { return Sends(kError); }
    std::size_t MemoryBytes() const;

private:
    bool Sends(std::size_t component) const { return offsets_[component] != kNotSent; }

    ComponentOffsets offsets_;
    int divisor_ = 1;
    stereo::Image<std::uint8_t> received_;  // the raw pair, left above right, when not sent as is
    std::unique_ptr<stereo::IStereoEngine> engine_;  // null when no depth component is sent
    // At a divisor above 1: the pair reduced to the depth size.
    stereo::Image<std::uint8_t> depthLeft_;
    stereo::Image<std::uint8_t> depthRight_;
    // The disparity the confidence or error image needs when the disparity itself is not sent.
    stereo::Image<std::uint16_t> disparity_;
};

}  // namespace Orvel::detail
