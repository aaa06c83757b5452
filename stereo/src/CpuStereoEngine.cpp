// The CPU stereo engine: memory, stripes and threads around the semi-global matching kernel.
#include "stereo/StereoEngine.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SgmStripe.h"
#include "WorkerPool.h"

namespace Tarnwell::stereo {

void ValidateConfig(const StereoConfig& c) {
    auto fail = [](const std::string& what) { throw std::invalid_argument("[Stereo] " + what); };
    if (c.width < 1 || c.height < 1) {
        fail("image size " + std::to_string(c.width) + "x" + std::to_string(c.height) +
             " is empty");
    }
    if (c.disparities < 1 || c.disparities > kMaxDisparities) {
        fail("disparities " + std::to_string(c.disparities) + " outside 1.." +
             std::to_string(kMaxDisparities));
    }
    if (c.paths != 4 && c.paths != 8) {
        fail("paths " + std::to_string(c.paths) + " is neither 4 nor 8");
    }
    if (c.p1 < 0 || c.p2 <= c.p1 || c.p2 + kMaxMatchingCost > 255) {
        fail("penalties p1 " + std::to_string(c.p1) + ", p2 " + std::to_string(c.p2) +
             " need 0 <= p1 < p2 <= " + std::to_string(255 - kMaxMatchingCost));
    }
    if (c.penaltyEdge < 0 || c.penaltyEdge > 255) {
        fail("penalty edge " + std::to_string(c.penaltyEdge) + " outside 0..255");
    }
    if (c.leftRightMaxDiff < 0) {
        fail("left-right difference " + std::to_string(c.leftRightMaxDiff) + " is negative");
    }
    if (c.uniqueness < 0 || c.uniqueness >= 100) {
        fail("uniqueness " + std::to_string(c.uniqueness) + " outside 0..99");
    }
    if (c.threads < 0) {
        fail("threads " + std::to_string(c.threads) + " is negative");
    }
}

namespace detail {
namespace {

// Stripes thinner than this spend more on warming up than they gain from a thread.
constexpr int kMinStripeRows = 32;
// Eight paths keep the downward paths' sums of a block of rows (a byte per pixel and candidate)
// for the upward pass: the blocks of all stripes together take about this much...
constexpr std::size_t kForwardBudget = std::size_t(144) << 20;
// ...unless that leaves blocks so thin that the upward pass's warm-up below each would cost more
// than the memory is worth.
constexpr int kMinForwardRows = 64;

class CpuStereoEngine final : public IStereoEngine {
public:
    explicit CpuStereoEngine(const StereoConfig& config)
        : config_(Resolve(config)),
          params_(MakeKernelParams(config_)),
          jobs_(std::size_t(std::clamp(config_.height / kMinStripeRows, 1, config_.threads))),
          pool_(config_.threads) {
        SplitRows();
        params_.forwardRows = config_.paths == 8 ? ForwardRows() : 0;
        workspace_.emplace(params_, static_cast<int>(jobs_.size()));
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            jobs_[i].params = &params_;
            jobs_[i].tables = &workspace_->Tables();
            jobs_[i].scratch = &workspace_->Stripe(static_cast<int>(i));
            jobs_[i].warmUp = jobs_.size() > 1 ? kWarmUpRows : 0;
        }
    }

    const StereoConfig& Config() const override { return config_; }

    void Compute(ImageView<const std::uint8_t> left, ImageView<const std::uint8_t> right,
                 const StereoOutput& output) override {
        Require(left, "left image");
        Require(right, "right image");
        Require(output.disparity, "disparity image");
        if (output.confidence.data) {
            Require(output.confidence, "confidence image");
        }
        for (StripeJob& job : jobs_) {
            job.left = left;
            job.right = right;
            job.output = output;
        }
        pool_.Run(
            static_cast<int>(jobs_.size()),
            [](void* context, int index) {
                RunStripe(SimdKernels(), static_cast<CpuStereoEngine*>(context)->jobs_[index]);
            },
            this);
    }

    std::size_t MemoryBytes() const override { return workspace_->Bytes(); }

    std::string Describe() const override {
        return std::string("cpu ") + KernelTargetName() + ", " + std::to_string(pool_.Threads()) +
               (pool_.Threads() == 1 ? " thread" : " threads");
    }

private:
    static StereoConfig Resolve(StereoConfig config) {
        ValidateConfig(config);
        if (config.threads == 0) {
            config.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        }
        return config;
    }

    template <class T>
    void Require(const ImageView<T>& image, const char* what) const {
        if (!image.data || image.width != config_.width || image.height != config_.height ||
            image.stride < image.width) {
            throw std::invalid_argument(
                std::string("[Stereo] ") + what + " is " + std::to_string(image.width) + "x" +
                std::to_string(image.height) + ", not " + std::to_string(config_.width) + "x" +
                std::to_string(config_.height));
        }
    }

    // Stripes of equal work. With four paths every stripe but the first also runs through the
    // warm-up rows above it, each somewhat over half a row's work (costs and the left-to-right
    // sweep), so the first gets three quarters of that many rows more (a whole row each left it
    // 10 % slower; half a row moved a seam onto a few more bad pixels on the benchmark's pairs);
    // with eight paths the first and the last each miss one of the two warm-ups and the stripes
    // come out equal as they are.
    void SplitRows() {
        const int stripes = static_cast<int>(jobs_.size());
        const int h = config_.height;
        const int warmUp = config_.paths == 4 ? kWarmUpRows * 3 / 4 : 0;
        const int share = (h + warmUp * (stripes - 1)) / stripes;
        int y = 0;
        for (int i = 0; i < stripes; ++i) {
            jobs_[i].y0 = y;
            const int rows = i > 0 ? share - warmUp : share;
            y = i == stripes - 1 ? h
                                 : std::clamp(y + std::max(rows, 1), y + 1, h - (stripes - 1 - i));
            jobs_[i].y1 = y;
        }
    }

    // Rows per block of downward sums: within the budget, and equal blocks in the tallest stripe.
    int ForwardRows() const {
        int tallest = 1;
        for (const StripeJob& job : jobs_) {
            tallest = std::max(tallest, job.y1 - job.y0);
        }
        const std::size_t rowBytes = std::size_t(params_.width) * params_.paddedDisparities;
        const int budget = static_cast<int>(std::clamp<std::size_t>(
            kForwardBudget / (jobs_.size() * rowBytes), kMinForwardRows, tallest));
        const int blocks = (tallest + budget - 1) / budget;
        return (tallest + blocks - 1) / blocks;
    }

    StereoConfig config_;
    KernelParams params_;
    std::vector<StripeJob> jobs_;
    std::optional<Workspace> workspace_;
    WorkerPool pool_;
};

}  // namespace
}  // namespace detail

std::unique_ptr<IStereoEngine> CreateCpuStereoEngine(const StereoConfig& config) {
    return std::make_unique<detail::CpuStereoEngine>(config);
}

}  // namespace Tarnwell::stereo
