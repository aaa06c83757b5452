// The frames an emulated camera's sensor films: the synthetic scene or a recording, prepared
// before the first frame, with the scene's true disparity where the error image needs it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "CameraModel.h"
#include "Orvel/Transport/HostProcessing.h"
#include "Recording.h"
#include "stereo/Image.h"
#include "stereo/SyntheticScene.h"

namespace Orvel::detail {

namespace stereo = Tarnwell::stereo;

// A prepared sequence holds at most this many frames, and as many fewer as keep it within
// kMaxSequenceBytes.
inline constexpr std::size_t kMaxSequenceFrames = 16;
inline constexpr std::size_t kMaxSequenceBytes = std::size_t{256} << 20;

// The scene of camera `index` under the scenario seed `seed`.
std::uint64_t SceneSeed(std::uint64_t seed, std::size_t index);

// The scene a camera films at these settings: its eye size and the eye's disparity range.
stereo::SceneOptions SceneFor(const Settings& settings, std::uint64_t sceneSeed);

// One frame as the sensor films it: the rectified pair at the eye size and, when the error
// component is sent, the true disparity at the depth size (the camera's knowledge, which a real
// camera does not have and the host's error component compares with).
struct SensorFrame {
    stereo::Image<std::uint8_t> left;
    stereo::Image<std::uint8_t> right;
    stereo::Image<float> truth;
    stereo::Image<std::uint8_t> visible;

    // The frame as the host receives it from the link.
    ReceivedPair Received() const {
        return {left.View(), right.View(), truth.View(), visible.View()};
    }
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

// The truth of a pair reduced by `factor` per axis as Downsample reduces its images: the mean
// disparity of each block in pixels of the smaller image, seen by both cameras only where every
// pixel of the block is.
void ReduceTruth(stereo::ImageView<const float> truth,
                 stereo::ImageView<const std::uint8_t> visible, int factor,
                 stereo::ImageView<float> reducedTruth,
                 stereo::ImageView<std::uint8_t> reducedVisible);

}  // namespace Orvel::detail
