// The frames an emulated camera's sensor films, drawn before its first exposure.
#include "Sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

#include "Orvel/Transport/HostProcessing.h"

namespace Orvel::detail {

namespace {

using stereo::Image;
using stereo::ImageView;

std::size_t Bytes(const auto& image) {
    return std::size_t(image.Width()) * std::size_t(image.Height()) * sizeof(*image.Row(0));
}

// Source pixels [first, first + count) that output pixel `i` of `outputs` covers, with weights.
struct Footprint {
    int first = 0;
    std::vector<float> weights;
};

// Area averaging where the image shrinks, linear interpolation where it grows.
std::vector<Footprint> Footprints(int inputs, int outputs) {
    std::vector<Footprint> footprints(static_cast<std::size_t>(outputs));
    const double scale = static_cast<double>(inputs) / outputs;
    for (int i = 0; i < outputs; ++i) {
        Footprint& f = footprints[static_cast<std::size_t>(i)];
        if (scale >= 1) {
            const double from = i * scale;
            const double to = from + scale;
            f.first = static_cast<int>(from);
            for (int s = f.first; s < std::min(inputs, static_cast<int>(std::ceil(to))); ++s) {
                const double covered = std::min<double>(s + 1, to) - std::max<double>(s, from);
                f.weights.push_back(static_cast<float>(covered / scale));
            }
        } else {
            const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, inputs - 1.0);
            f.first = std::min(static_cast<int>(centre), inputs - 1);
            const auto fraction = static_cast<float>(centre - f.first);
            f.weights = {1 - fraction};
            if (f.first + 1 < inputs) {
                f.weights.push_back(fraction);
            }
        }
    }
    return footprints;
}

// Resampling a recording's views to the eye size, separably; made once, so that drawing a frame
// allocates nothing.
struct Resampler {
    std::vector<Footprint> across;
    std::vector<Footprint> down;
    Image<float> rows;  // the input's rows at the output's width

    Resampler(int inputWidth, int inputHeight, int outputWidth, int outputHeight)
        : across(Footprints(inputWidth, outputWidth)),
          down(Footprints(inputHeight, outputHeight)),
          rows(outputWidth, inputHeight) {}

    void operator()(const Image<std::uint8_t>& input, Image<std::uint8_t>& output) {
        for (int y = 0; y < input.Height(); ++y) {
            for (int x = 0; x < output.Width(); ++x) {
                const Footprint& f = across[static_cast<std::size_t>(x)];
                float sum = 0;
                for (std::size_t k = 0; k < f.weights.size(); ++k) {
                    sum += f.weights[k] * input.At(f.first + static_cast<int>(k), y);
                }
                rows.At(x, y) = sum;
            }
        }
        for (int y = 0; y < output.Height(); ++y) {
            const Footprint& f = down[static_cast<std::size_t>(y)];
            for (int x = 0; x < output.Width(); ++x) {
                float sum = 0;
                for (std::size_t k = 0; k < f.weights.size(); ++k) {
                    sum += f.weights[k] * rows.At(x, f.first + static_cast<int>(k));
                }
                output.At(x, y) = static_cast<std::uint8_t>(std::clamp(sum + 0.5f, 0.0f, 255.0f));
            }
        }
    }
};

// A true disparity resampled by its nearest sample (no averaging across depth edges), in pixels
// of the output's width; seen where it is known.
void ResampleTruth(const Image<float>& input, Image<float>& truth, Image<std::uint8_t>& visible) {
    const double sx = static_cast<double>(input.Width()) / truth.Width();
    const double sy = static_cast<double>(input.Height()) / truth.Height();
    const auto scale = static_cast<float>(1 / sx);
    for (int y = 0; y < truth.Height(); ++y) {
        const int from = std::min(input.Height() - 1, static_cast<int>((y + 0.5) * sy));
        for (int x = 0; x < truth.Width(); ++x) {
            const float d =
                input.At(std::min(input.Width() - 1, static_cast<int>((x + 0.5) * sx)), from);
            const bool known = std::isfinite(d);
            truth.At(x, y) = known ? d * scale : 0;
            visible.At(x, y) = known ? 1 : 0;
        }
    }
}

std::size_t FrameBytes(const Settings& settings, bool truth) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    const Geometry depth = ComponentGeometry(settings, kDisparity);
    const auto eyePixels = static_cast<std::size_t>(eye.width * eye.height);
    const auto depthPixels = static_cast<std::size_t>(depth.width * depth.height);
    return 2 * eyePixels + (truth ? depthPixels * (sizeof(float) + 1) : 0);
}

}  // namespace

std::uint64_t SceneSeed(std::uint64_t seed, std::size_t index) {
    return seed * kMaxCameras + index;
}

stereo::SceneOptions SceneFor(const Settings& settings, std::uint64_t sceneSeed) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    stereo::SceneOptions options;
    options.width = static_cast<int>(eye.width);
    options.height = static_cast<int>(eye.height);
    options.disparities = EyeDisparities(settings);
    options.seed = sceneSeed;
    return options;
}

std::size_t SensorSequence::FramesFor(const Settings& settings, bool truth) {
    return std::clamp<std::size_t>(kMaxSequenceBytes / FrameBytes(settings, truth), 2,
                                   kMaxSequenceFrames);
}

struct SensorSequence::Source {
    const Recording* recording = nullptr;
    std::unique_ptr<stereo::SyntheticScene> scene;  // null for a recording
    std::optional<Resampler> resample;              // a recording's
    Image<float> eyeTruth;                          // the eye's truth before reduction
    Image<std::uint8_t> eyeVisible;
};

SensorSequence::SensorSequence(const Settings& settings, std::uint64_t sceneSeed,
                               const Recording& recording, bool truth)
    : source_(std::make_unique<Source>()), divisor_(DepthDivisor(settings.quality)), truth_(truth) {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    const int width = static_cast<int>(eye.width);
    const int height = static_cast<int>(eye.height);
    const std::size_t count = recording.empty() ? FramesFor(settings, truth) : recording.size();
    frames_.resize(count);
    source_->recording = &recording;
    if (truth) {
        source_->eyeTruth = AllocateImage<float>(width, height, "a true disparity");
        source_->eyeVisible = AllocateImage<std::uint8_t>(width, height, "a visibility");
    }
    if (!recording.empty()) {
        const GreyImage& view = *recording.front().left;
        source_->resample.emplace(view.Width(), view.Height(), width, height);
    } else {
        try {
            source_->scene =
                std::make_unique<stereo::SyntheticScene>(SceneFor(settings, sceneSeed));
        } catch (const std::bad_alloc&) {
            char text[120];
            std::snprintf(text, sizeof text,
                          "cannot allocate the synthetic scene's textures for %dx%d views", width,
                          height);
            throw std::runtime_error(text);
        }
    }
    for (SensorFrame& frame : frames_) {
        frame.left = AllocateImage<std::uint8_t>(width, height, "a left view");
        frame.right = AllocateImage<std::uint8_t>(width, height, "a right view");
        if (truth) {
            const int depthWidth = width / divisor_;
            const int depthHeight = height / divisor_;
            frame.truth = AllocateImage<float>(depthWidth, depthHeight, "a true disparity");
            frame.visible = AllocateImage<std::uint8_t>(depthWidth, depthHeight, "a visibility");
        }
    }
}

SensorSequence::~SensorSequence() = default;

void SensorSequence::DropSource() noexcept {
    source_.reset();
}

void SensorSequence::Draw(std::size_t index) {
    SensorFrame& frame = frames_[index];
    Image<float>& eyeTruth = source_->eyeTruth;
    Image<std::uint8_t>& eyeVisible = source_->eyeVisible;
    if (source_->scene) {
        source_->scene->Render(
            index + 1, {frame.left.View(), frame.right.View(), eyeTruth.View(), eyeVisible.View()});
    } else {
        const RecordedFrame& recorded = (*source_->recording)[index];
        (*source_->resample)(*recorded.left, frame.left);
        (*source_->resample)(*recorded.right, frame.right);
        if (truth_) {
            if (recorded.disparity) {
                ResampleTruth(*recorded.disparity, eyeTruth, eyeVisible);
            } else {
                std::fill_n(eyeVisible.Row(0), Bytes(eyeVisible), std::uint8_t{0});
            }
        }
    }
    if (!truth_) {
        return;
    }
    if (divisor_ == 1) {
        std::copy_n(eyeTruth.Row(0), std::size_t(eyeTruth.Width()) * eyeTruth.Height(),
                    frame.truth.Row(0));
        std::copy_n(eyeVisible.Row(0), Bytes(eyeVisible), frame.visible.Row(0));
    } else {
        ReduceTruth(eyeTruth.View(), eyeVisible.View(), divisor_, frame.truth.View(),
                    frame.visible.View());
    }
}

bool SensorSequence::Serves(const Settings& settings, bool truth) const {
    const Geometry eye = ComponentGeometry(settings, kIntensity);
    return frames_.front().left.Width() == eye.width &&
           frames_.front().left.Height() == eye.height &&
           divisor_ == DepthDivisor(settings.quality) && (truth_ || !truth);
}

std::size_t SensorSequence::MemoryBytes() const {
    std::size_t bytes = 0;
    for (const SensorFrame& frame : frames_) {
        bytes += Bytes(frame.left) + Bytes(frame.right) + Bytes(frame.truth) + Bytes(frame.visible);
    }
    return bytes;
}

void ReduceTruth(ImageView<const float> truth, ImageView<const std::uint8_t> visible, int factor,
                 ImageView<float> reducedTruth, ImageView<std::uint8_t> reducedVisible) {
    const float scale = 1.0f / static_cast<float>(factor * factor * factor);
    for (int y = 0; y < reducedTruth.height; ++y) {
        for (int x = 0; x < reducedTruth.width; ++x) {
            float sum = 0;
            bool seen = true;
            for (int dy = 0; dy < factor; ++dy) {
                const float* t = truth.Row(y * factor + dy) + x * factor;
                const std::uint8_t* v = visible.Row(y * factor + dy) + x * factor;
                for (int dx = 0; dx < factor; ++dx) {
                    sum += t[dx];
                    seen = seen && v[dx] != 0;
                }
            }
            reducedTruth.At(x, y) = sum * scale;
            reducedVisible.At(x, y) = seen ? 1 : 0;
        }
    }
}

}  // namespace Orvel::detail
