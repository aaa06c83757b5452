// Real processing of an emulated camera: the scene its sensor films, and the host's computation
// of the enabled image components from each rendered pair.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "emulation/CameraModel.h"
#include "stereo/Image.h"
#include "stereo/StereoEngine.h"
#include "stereo/SyntheticScene.h"

namespace Orvel::detail {

namespace stereo = Tarnwell::stereo;

// Where each component lies in a result's buffer; kNotSent for those the frame does not carry.
inline constexpr std::size_t kNotSent = std::numeric_limits<std::size_t>::max();
using ComponentOffsets = std::array<std::size_t, kComponentCount>;

// The sensor renders ahead into one slot while the host computes from the other.
inline constexpr std::uint64_t kSensorSlots = 2;

// The scene of camera `index` under the scenario seed `seed`.
std::uint64_t SceneSeed(std::uint64_t seed, std::size_t index);

// The scene a camera films at these settings: its eye size and the eye's disparity range.
stereo::SceneOptions SceneFor(const Settings& settings, std::uint64_t sceneSeed);

// The engine's work at these settings: the depth image's size, range, paths and refinements.
stereo::StereoConfig EngineConfigFor(const Settings& settings);

// One grabbing session's images, engine and scratch, all made up front: no frame allocates.
// Render runs on the sensor's thread and Compute on the acquisition thread, each on its own
// slot; the caller hands slots over under its own lock.
class RealProcessing {
public:
    // `scene` is the camera's, kept between sessions: built here unless it already shows these
    // settings. Throws std::exception (std::bad_alloc, std::invalid_argument) when it cannot.
    RealProcessing(const Settings& settings, const ComponentOffsets& offsets,
                   std::uint64_t sceneSeed, std::unique_ptr<stereo::SyntheticScene>& scene);

    // Draws frame `frame` (numbered from 1 since grabbing started) into its slot.
    void Render(std::uint64_t frame);
    // Writes the components of rendered frame `frame` into `buffer` at the offsets given.
    void Compute(std::uint64_t frame, unsigned char* buffer);

    // Working memory of the engine, the slots and the scratch images, in bytes.
    std::size_t MemoryBytes() const;

private:
    struct Slot {
        stereo::Image<std::uint8_t> left;
        stereo::Image<std::uint8_t> right;
        stereo::Image<float> truth;           // only when the error image is sent
        stereo::Image<std::uint8_t> visible;  // likewise
    };

    bool Sends(std::size_t component) const { return offsets_[component] != kNotSent; }

    ComponentOffsets offsets_;
    int divisor_ = 1;  // the depth image is the eye divided by this on both axes
    stereo::SyntheticScene* scene_;
    std::array<Slot, kSensorSlots> slots_;
    std::unique_ptr<stereo::IStereoEngine> engine_;  // null when no depth component is sent
    // At a divisor above 1: the pair reduced to the depth size and, for the error image, the
    // truth likewise.
    stereo::Image<std::uint8_t> depthLeft_;
    stereo::Image<std::uint8_t> depthRight_;
    stereo::Image<float> depthTruth_;
    stereo::Image<std::uint8_t> depthVisible_;
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
