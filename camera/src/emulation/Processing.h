// Real processing of an emulated camera: the frames its sensor films, prepared before grabbing,
// and the host's work on each frame that arrives: receiving the raw pair and computing the
// enabled components from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "emulation/CameraModel.h"
#include "emulation/Recording.h"
#include "stereo/Image.h"
#include "stereo/StereoEngine.h"
#include "stereo/SyntheticScene.h"

namespace Orvel::detail {

namespace stereo = Tarnwell::stereo;

// Where each component lies in a result's buffer; kNotSent for those the frame does not carry.
inline constexpr std::size_t kNotSent = std::numeric_limits<std::size_t>::max();
using ComponentOffsets = std::array<std::size_t, kComponentCount>;

// A prepared sequence holds at most this many frames, and as many fewer as keep it within
// kMaxSequenceBytes.
inline constexpr std::size_t kMaxSequenceFrames = 16;
inline constexpr std::size_t kMaxSequenceBytes = std::size_t{256} << 20;

// The scene of camera `index` under the scenario seed `seed`.
std::uint64_t SceneSeed(std::uint64_t seed, std::size_t index);

// The scene a camera films at these settings: its eye size and the eye's disparity range.
stereo::SceneOptions SceneFor(const Settings& settings, std::uint64_t sceneSeed);

// The engine's work at these settings: the depth image's size, range, paths and refinements.
stereo::StereoConfig EngineConfigFor(const Settings& settings);

// One frame as the sensor films it: the rectified pair at the eye size and, when the error
// component is sent, the true disparity at the depth size (the camera's knowledge, which a real
// camera does not have and the host's error component compares with).
struct SensorFrame {
    stereo::Image<std::uint8_t> left;
    stereo::Image<std::uint8_t> right;
    stereo::Image<float> truth;
    stereo::Image<std::uint8_t> visible;
};

// The frames a camera films, made before grabbing starts so that no sensor work falls on the
// host while it measures: the synthetic scene rendered at successive frame numbers (objects
// drift), or a recording resampled to the eye size. Played in a loop.
class SensorSequence {
public:
    // Frames a sequence at these settings holds (a recording: its own count).
    static std::size_t FramesFor(const Settings& settings, bool truth);

    // Takes the memory of every frame (`recording` empty: of the synthetic scene of
    // `sceneSeed`); nothing is drawn until Prepare.
    SensorSequence(const Settings& settings, std::uint64_t sceneSeed, const Recording& recording,
                   bool truth);
    ~SensorSequence();
    SensorSequence(const SensorSequence&) = delete;
    SensorSequence& operator=(const SensorSequence&) = delete;

    // Draws the frames not drawn yet, one after another, asking `stop` before each: a camera told
    // to stop while it prepares stops within a frame's drawing. True once every frame is drawn.
    template <class Stop>
    bool Prepare(Stop stop) {
        while (prepared_ < frames_.size()) {
            if (stop()) {
                return false;
            }
            Draw(prepared_++);
        }
        DropSource();
        return true;
    }

    // Frame `number` of the camera (from 1), looping over the sequence.
    const SensorFrame& Frame(std::uint64_t number) const {
        return frames_[(number - 1) % frames_.size()];
    }
    std::size_t Size() const { return frames_.size(); }
    // Whether it shows what these settings need.
    bool Serves(const Settings& settings, bool truth) const;
    std::size_t MemoryBytes() const;

private:
    struct Source;  // what the frames are drawn from, and scratch, until all are drawn
    void Draw(std::size_t index);
    void DropSource() noexcept;

    std::vector<SensorFrame> frames_;
    std::size_t prepared_ = 0;
    std::unique_ptr<Source> source_;
    int divisor_ = 1;
    bool truth_ = false;
};

// The host's work for one grabbing session: receiving each frame's raw pair and computing the
// enabled components into the result's buffer. Engine and scratch are made up front; no frame
// allocates. Throws std::exception (std::bad_alloc, std::invalid_argument) when it cannot.
class HostProcessing {
public:
    HostProcessing(const Settings& settings, const ComponentOffsets& offsets);

    // Receives `frame`'s pair and writes the components into `buffer` at the offsets given.
    void Compute(const SensorFrame& frame, unsigned char* buffer);
    bool SendsError() const { return Sends(kError); }
    std::size_t MemoryBytes() const;

private:
    bool Sends(std::size_t component) const { return offsets_[component] != kNotSent; }

    ComponentOffsets offsets_;
    int divisor_ = 1;  // the depth image is the eye divided by this on both axes
    stereo::Image<std::uint8_t> received_;  // the raw pair, left above right, when not sent as is
    std::unique_ptr<stereo::IStereoEngine> engine_;  // null when no depth component is sent
    // At a divisor above 1: the pair reduced to the depth size.
    stereo::Image<std::uint8_t> depthLeft_;
    stereo::Image<std::uint8_t> depthRight_;
    // The disparity the confidence or error image needs when the disparity itself is not sent.
    stereo::Image<std::uint16_t> disparity_;
};

// The truth of a pair reduced by `factor` per axis as Downsample reduces its images: the mean
// disparity of each block in pixels of the smaller image, seen by both cameras only where every
// pixel of the block is.
void ReduceTruth(stereo::ImageView<const float> truth,
                 stereo::ImageView<const std::uint8_t> visible, int factor,
                 stereo::ImageView<float> reducedTruth,
                 stereo::ImageView<std::uint8_t> reducedVisible);

}  // namespace Orvel::detail
