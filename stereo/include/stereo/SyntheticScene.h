// A synthetic rectified stereo scene: textured planes at several depths, rendered per frame.
#pragma once

#include <cstdint>
#include <vector>

#include "stereo/Image.h"

namespace Tarnwell::stereo {

struct SceneOptions {
    int width = 640;
    int height = 400;
    // The disparity range of the matcher the pair is made for; every true disparity lies well
    // inside [0, disparities).
    int disparities = 64;
    std::uint64_t seed = 1;
    int objects = 7;          // surfaces in front of the background
    double noiseSigma = 2.0;  // sensor noise, grey levels, independent per view and frame
    bool motion = true;       // objects drift a little from frame to frame
    // What real scenes have and matchers get wrong: surfaces without texture or with little, a
    // repetitive one, thin bars and steeper slants besides the richly textured surfaces.
    // Without, every surface is richly textured (the easy scene).
    bool hardSurfaces = true;
    // The right camera's gain and offset differ from the left one's by up to this fraction (of
    // the gain, and of 50 grey levels).
    double brightnessDifference = 0.1;
    // Both lenses darken the image towards its corners by this fraction.
    double vignetting = 0.3;

    // Richly textured surfaces seen alike by both cameras, with sensor noise.
    static SceneOptions Easy() {
        SceneOptions options;
        options.hardSurfaces = false;
        options.brightnessDifference = 0;
        options.vignetting = 0;
        return options;
    }
};

// Where Render writes; truth and visible may be left empty.
struct StereoFrameView {
    ImageView<std::uint8_t> left;
    ImageView<std::uint8_t> right;
    ImageView<float> truth;           // disparity of each left pixel, in pixels
    ImageView<std::uint8_t> visible;  // 1 where the right camera sees the left pixel too, else 0
};

// Owning images for one rendered frame.
struct StereoFrame {
    StereoFrame() = default;
    StereoFrame(int width, int height)
        : left(width, height), right(width, height), truth(width, height), visible(width, height) {}
    StereoFrameView View() { return {left.View(), right.View(), truth.View(), visible.View()}; }

    Image<std::uint8_t> left;
    Image<std::uint8_t> right;
    Image<float> truth;
    Image<std::uint8_t> visible;
};

// The same seed gives the same scene and the same frames on every machine. Textures are made when
// the scene is built; Render allocates nothing.
class SyntheticScene {
public:
    explicit SyntheticScene(const SceneOptions& options);

    const SceneOptions& Options() const { return options_; }
    // Renders frame `frame` (any order: the motion is a function of the frame number). Throws
    // std::invalid_argument when a target image is not of the scene's size.
    void Render(std::uint64_t frame, const StereoFrameView& target);
    StereoFrame Render(std::uint64_t frame);

private:
    // A planar patch: a rectangle or an ellipse in the left view, with a disparity plane and a
    // texture attached to it, so both views see the same surface point at the same place on it.
    struct Surface {
        bool ellipse = false;
        int x = 0;  // top-left of the bounding box in the left view at rest
        int y = 0;
        int width = 0;
        int height = 0;
        double disparity = 0;  // at the box centre
        double slopeX = 0;     // disparity change per pixel
        double slopeY = 0;
        double driftX = 0;  // motion amplitudes, pixels
        double driftY = 0;
        double driftDisparity = 0;
        double rate = 0;  // radians per frame
        double phase = 0;
        // Texture (width + 2) x height: one replicated column on either side for interpolation.
        Image<std::uint8_t> texture;
    };
    // A surface's placement in one frame.
    struct Pose {
        int x = 0;
        int y = 0;
        double disparity = 0;
    };

    Pose PoseAt(const Surface& surface, std::uint64_t frame) const;
    // The columns [begin, end) that a surface covers in row `y` of the left view.
    bool Span(const Surface& surface, const Pose& pose, int y, double& begin, double& end) const;
    void RenderRow(std::uint64_t frame, int y, const StereoFrameView& target);

    SceneOptions options_;
    std::vector<Surface> surfaces_;  // [0] is the background
    std::vector<std::int8_t> noise_;
    // Brightness of each view: the texture's grey level times gain times (1 - shading) plus
    // offset; shading is the vignetting's fall-off along the row plus down the column.
    float gain_[2] = {1, 1};
    float offset_[2] = {0, 0};
    std::vector<float> shadingX_;
    std::vector<float> shadingY_;
    // Scratch of one frame and row, sized once.
    std::vector<Pose> poses_;
    std::vector<float> depthLeft_;
    std::vector<int> idLeft_;
    std::vector<float> depthRight_;
    std::vector<int> idRight_;
    std::vector<float> sourceRight_;                // texture column each right pixel samples
    std::vector<const std::uint8_t*> textureRows_;  // each surface's texture row in this image row
};

}  // namespace Tarnwell::stereo
