// The CPU stereo engine: memory, stripes and threads around the semi-global matching kernel.
#include "stereo/StereoEngine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SgmKernel.h"
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

// Rows that each pass runs through beyond its stripe, so that paths entering the stripe have
// settled as if the image had not been split.
constexpr int kWarmUpRows = 16;
// Stripes thinner than this spend more on warming up than they gain from a thread.
constexpr int kMinStripeRows = 32;
constexpr std::size_t kAlign = 64;

std::size_t AlignUp(std::size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

// One aligned block of memory handed out in aligned pieces; a first pass only measures.
class Arena {
public:
    std::uint8_t* Take(std::size_t bytes, std::uint8_t fill) {
        const std::size_t at = used_;
        used_ += AlignUp(bytes);
        if (!base_) {
            return nullptr;
        }
        std::memset(base_ + at, fill, bytes);
        return base_ + at;
    }
    std::size_t Used() const { return used_; }
    void Allocate() {
        try {
            storage_.reset(
                static_cast<std::uint8_t*>(::operator new(used_, std::align_val_t(kAlign))));
        } catch (const std::bad_alloc&) {
            // Hundreds of MiB at the largest sizes: say how much could not be had.
            throw std::runtime_error("[Stereo] cannot allocate " +
                                     std::to_string((used_ + (1 << 20) - 1) >> 20) +
                                     " MiB of working memory");
        }
        base_ = storage_.get();
        used_ = 0;
    }

private:
    struct Free {
        void operator()(std::uint8_t* p) const { ::operator delete(p, std::align_val_t(kAlign)); }
    };
    std::unique_ptr<std::uint8_t, Free> storage_;
    std::uint8_t* base_ = nullptr;
    std::size_t used_ = 0;
};

class CpuStereoEngine final : public IStereoEngine {
public:
    explicit CpuStereoEngine(const StereoConfig& config)
        : config_(Resolve(config)), pool_(config_.threads) {
        params_.width = config_.width;
        params_.height = config_.height;
        params_.disparities = config_.disparities;
        params_.paddedDisparities =
            (config_.disparities + kDisparityAlign - 1) / kDisparityAlign * kDisparityAlign;
        params_.slotStride = kSlotGuard + params_.paddedDisparities;
        params_.paths = config_.paths;
        params_.rowPaths = config_.paths == 8 ? 3 : 2;
        params_.p1 = config_.p1;
        params_.p2 = config_.p2;
        params_.subpixel = config_.subpixel;
        params_.leftRightCheck = config_.leftRightCheck;
        params_.leftRightMaxDiff = config_.leftRightMaxDiff;
        params_.uniqueness = config_.uniqueness;

        const int stripes = std::clamp(config_.height / kMinStripeRows, 1, config_.threads);
        jobs_.resize(stripes);
        scratch_.resize(stripes);
        for (int i = 0; i < stripes; ++i) {
            jobs_[i].params = &params_;
            jobs_[i].tables = &tables_;
            jobs_[i].scratch = &scratch_[i];
            jobs_[i].warmUp = stripes > 1 ? kWarmUpRows : 0;
        }
        SplitRows(stripes);
        Carve();
        arena_.Allocate();
        Carve();
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
                RunStripe(static_cast<CpuStereoEngine*>(context)->jobs_[index]);
            },
            this);
    }

    std::size_t MemoryBytes() const override { return arena_.Used(); }

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
    // warm-up rows above it, so the first gets that many rows more; with eight paths the first and
    // the last each miss one of the two warm-ups and the stripes come out equal as they are.
    void SplitRows(int stripes) {
        const int h = config_.height;
        const int extra = config_.paths == 4 ? kWarmUpRows * (stripes - 1) : 0;
        const int share = (h + extra) / stripes;
        int y = 0;
        for (int i = 0; i < stripes; ++i) {
            jobs_[i].y0 = y;
            const int rows = config_.paths == 4 && i > 0 ? share - kWarmUpRows : share;
            y = i == stripes - 1 ? h
                                 : std::clamp(y + std::max(rows, 1), y + 1, h - (stripes - 1 - i));
            jobs_[i].y1 = y;
        }
    }

    // Lays out all working memory; called once to measure and once to hand out pointers.
    void Carve() {
        const std::size_t w = params_.width;
        const std::size_t dp = params_.paddedDisparities;

        std::uint8_t* border = arena_.Take(2 * dp, 0);
        std::uint8_t* padding = arena_.Take(dp, 0);
        std::uint8_t* candidates = arena_.Take(256, 0);
        std::uint8_t* winnerMask = arena_.Take(2 * kMaxDisparities + kDisparityAlign, 0);
        if (border) {
            std::memset(winnerMask + kMaxDisparities - 1, kInfiniteCost, 3);
            std::memset(border + dp, kInfiniteCost, dp);
            std::memset(padding + params_.disparities, kInfiniteCost, dp - params_.disparities);
            for (int i = 0; i < 256; ++i) {
                candidates[i] = static_cast<std::uint8_t>(i);
            }
        }
        tables_ = {border, padding, candidates, winnerMask};

        const std::size_t sourceRow = kRowPad + w + 2 * kRowPad;
        const std::size_t reversedRow = kRowPad + w + dp + kRowPad;
        const std::size_t rowSlots = (w + 2) * params_.rowPaths;
        for (std::size_t i = 0; i < jobs_.size(); ++i) {
            StripeScratch& s = scratch_[i];
            for (auto& image : s.sourceRows) {
                for (std::uint8_t*& row : image) {
                    row = Offset(arena_.Take(sourceRow, 0), kRowPad);
                }
            }
            for (std::uint8_t*& plane : s.leftCensus) {
                plane = arena_.Take(w + kRowPad, 0);
            }
            for (std::uint8_t*& plane : s.rightNibbles) {
                plane = Offset(arena_.Take(reversedRow, 0), kRowPad);
            }
            s.rightPixels = Offset(arena_.Take(reversedRow, 0), kRowPad);
            s.costs = arena_.Take(w * dp, 0);
            s.leftToRight = Slots(w);
            s.leftToRightMins = arena_.Take(w, 0);
            s.horizontal = Slots(3);
            for (int r = 0; r < 2; ++r) {
                s.pathRows[r] = Slots(rowSlots);
                s.pathMins[r] = arena_.Take(rowSlots, 0);
            }
            s.sums = Offset(Slots(1), kSlotGuard);
            s.winner = arena_.Take(w, 0);
            s.winnerCost = arena_.Take(w, 0);
            s.before = arena_.Take(w, 0);
            s.after = arena_.Take(w, 0);
            s.second = arena_.Take(w, 0);
            // Vectors gather four bytes at a time from it.
            s.right = reinterpret_cast<std::uint16_t*>(arena_.Take(2 * w + 4, 0));
            s.forward = params_.paths == 8
                            ? arena_.Take(std::size_t(jobs_[i].y1 - jobs_[i].y0) * w * dp, 0)
                            : nullptr;
        }
    }

    // `count` slots of zero costs behind guards of 255, and a last guard.
    std::uint8_t* Slots(std::size_t count) {
        const std::size_t stride = params_.slotStride;
        std::uint8_t* slots = arena_.Take(count * stride + kSlotGuard, kInfiniteCost);
        if (slots) {
            for (std::size_t i = 0; i < count; ++i) {
                std::memset(slots + i * stride + kSlotGuard, 0, params_.paddedDisparities);
            }
        }
        return slots;
    }

    static std::uint8_t* Offset(std::uint8_t* p, std::size_t by) { return p ? p + by : nullptr; }

    StereoConfig config_;
    KernelParams params_;
    KernelTables tables_;
    Arena arena_;
    std::vector<StripeScratch> scratch_;
    std::vector<StripeJob> jobs_;
    WorkerPool pool_;
};

}  // namespace
}  // namespace detail

std::unique_ptr<IStereoEngine> CreateCpuStereoEngine(const StereoConfig& config) {
    return std::make_unique<detail::CpuStereoEngine>(config);
}

}  // namespace Tarnwell::stereo
