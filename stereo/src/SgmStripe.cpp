// The row loop of a stripe over the stages, the stages' kernel tables and the working memory.
#include "SgmStripe.h"

#include <hwy/targets.h>
#include <sys/mman.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "DisparitySelection.h"
#include "MatchingCost.h"
#include "PathAggregation.h"
#include "Validation.h"

namespace Tarnwell::stereo::detail {

KernelParams MakeKernelParams(const StereoConfig& config) {
    KernelParams p;
    p.width = config.width;
    p.height = config.height;
    p.disparities = config.disparities;
    p.paddedDisparities =
        (config.disparities + kDisparityAlign - 1) / kDisparityAlign * kDisparityAlign;
    p.slotStride = kSlotGuard + p.paddedDisparities;
    p.paths = config.paths;
    p.p1 = config.p1;
    p.p2 = config.p2;
    p.penaltyEdge = config.penaltyEdge;
    p.subpixel = config.subpixel;
    p.leftRightCheck = config.leftRightCheck;
    p.leftRightMaxDiff = config.leftRightMaxDiff;
    p.uniqueness = config.uniqueness;
    return p;
}

const RowKernels& ReferenceKernels() {
    static const RowKernels kernels{"reference",
                                    CostsReference,
                                    SmoothReference,
                                    CostsAndSmoothReference,
                                    FourPathsForwardReference,
                                    FourPathsBackwardReference,
                                    EightPathsDownReference,
                                    EightPathsUpReference,
                                    RefineReference,
                                    ValidateReference};
    return kernels;
}

const RowKernels& SimdKernels() {
    static const RowKernels kernels{"simd",
                                    CostsSimd,
                                    SmoothSimd,
                                    CostsAndSmoothSimd,
                                    FourPathsForwardSimd,
                                    FourPathsBackwardSimd,
                                    EightPathsDownSimd,
                                    EightPathsUpSimd,
                                    RefineSimd,
                                    ValidateSimd};
    return kernels;
}

int LargePenalty(const KernelParams& p, int step) {
    if (p.penaltyEdge == 0) {
        return p.p2;
    }
    const int scaled = (p.p2 * p.penaltyEdge + (p.penaltyEdge + step) / 2) / (p.penaltyEdge + step);
    return std::max(p.p1 + 1, scaled);
}

std::int64_t CompiledKernelTargets() {
    return HWY_TARGETS;
}

const char* KernelTargetName() {
#if (HWY_TARGETS & (HWY_TARGETS - 1)) == 0
    // Compiled for one target: no choice is made when it runs.
    return hwy::TargetName(HWY_TARGETS);
#else
    const std::int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
    return hwy::TargetName(usable & -usable);
#endif
}

namespace {

void ZeroSlot(const KernelParams& p, PathRing& ring, int index) {
    std::memset(RingSlot(ring, index, p.slotStride), 0, std::size_t(p.paddedDisparities));
}

}  // namespace

void StartPass(const KernelParams& p, PathRing* rings, int count) {
    for (int r = 0; r < count; ++r) {
        for (int i = 0; i < rings[r].size; ++i) {
            ZeroSlot(p, rings[r], i);
        }
        for (std::uint8_t* mins : rings[r].mins) {
            std::memset(mins, 0, std::size_t(rings[r].size));
        }
        rings[r].origin = 0;
        rings[r].previous = 0;
    }
}

void AdvancePass(const KernelParams& p, PathRing* rings, int count, bool leftToRight) {
    for (int r = 0; r < count; ++r) {
        PathRing& ring = rings[r];
        ring.origin =
            (ring.origin + RingShift(leftToRight, kRowPathFrom[r]) + ring.size) % ring.size;
        ring.previous ^= 1;
        // Paths entering the image at either end start from zero; the slots there may hold
        // the row before. (Sweeps never write the least costs there.)
        ZeroSlot(p, ring, RingIndex(ring, -1, ring.origin));
        ZeroSlot(p, ring, RingIndex(ring, p.width, ring.origin));
    }
}

void RunStripe(const RowKernels& kernels, const StripeJob& job) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const int top = std::max(0, job.y0 - job.warmUp);
    auto finish = [&](int y) {
        kernels.refine(job, y);
        kernels.validate(job, y);
    };
    // Smoothing needs the raw costs of a row's neighbours: a pass computes them a row ahead, and
    // the row behind as it starts.
    auto start = [&](int y, int step) {
        if (y - step >= 0 && y - step < p.height) {
            kernels.costs(job, y - step);
        }
        kernels.costs(job, y);
    };
    auto costs = [&](int y, int step) {
        kernels.costsAndSmooth(job, y, y + step >= 0 && y + step < p.height ? y + step : -1);
    };
    if (p.paths == 4) {
        StartPass(p, s.down, 2);
        start(top, 1);
        for (int y = top; y < job.y1; ++y) {
            const bool inStripe = y >= job.y0;
            costs(y, 1);
            kernels.fourPathsForward(job, y, inStripe);
            AdvancePass(p, s.down, 2, true);
            if (inStripe) {
                kernels.fourPathsBackward(job, y);
                finish(y);
            }
        }
        return;
    }
    StartPass(p, s.down, 3);
    start(top, 1);
    for (int y = top; y < job.y0; ++y) {
        costs(y, 1);
        kernels.eightPathsDown(job, y, nullptr);
        AdvancePass(p, s.down, 3, true);
    }
    // The downward pass goes on through the stripe; the upward one restarts below every block
    // of forwardRows rows, so that only that many rows of sums are kept.
    const std::size_t rowBytes = std::size_t(p.width) * p.paddedDisparities;
    for (int first = job.y0; first < job.y1; first += p.forwardRows) {
        const int end = std::min(job.y1, first + p.forwardRows);
        if (first > job.y0) {
            start(first, 1);  // the upward pass took the rows of costs
        }
        for (int y = first; y < end; ++y) {
            costs(y, 1);
            kernels.eightPathsDown(job, y, s.forward + std::size_t(y - first) * rowBytes);
            AdvancePass(p, s.down, 3, true);
        }
        StartPass(p, s.up, 3);
        const int bottom = std::min(p.height - 1, end - 1 + kWarmUpRows);
        start(bottom, -1);
        for (int y = bottom; y >= first; --y) {
            const bool inBlock = y < end;
            costs(y, -1);
            kernels.eightPathsUp(job, y,
                                 inBlock ? s.forward + std::size_t(y - first) * rowBytes : nullptr);
            AdvancePass(p, s.up, 3, false);
            if (inBlock) {
                finish(y);
            }
        }
    }
}

namespace {

constexpr std::size_t kAlign = 64;
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kHugePageFrom = 4 * kHugePage;

std::size_t AlignUp(std::size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

Workspace::Workspace(const KernelParams& params, int stripes) : stripes_(std::size_t(stripes)) {
    Carve(params);
    // The rows of paths and the downward sums are swept through every frame: in 4 KiB pages
    // every few rows would cost a page walk.
    alignment_ = used_ >= kHugePageFrom ? kHugePage : kAlign;
    try {
        base_ = static_cast<std::uint8_t*>(::operator new(used_, std::align_val_t(alignment_)));
    } catch (const std::bad_alloc&) {
        // Up to 150 MiB at the largest sizes: say how much could not be had.
        throw std::runtime_error("[Stereo] cannot allocate " +
                                 std::to_string((used_ + (1 << 20) - 1) >> 20) +
                                 " MiB of working memory");
    }
    if (alignment_ == kHugePage) {
        madvise(base_, used_, MADV_HUGEPAGE);
    }
    used_ = 0;
    Carve(params);
}

Workspace::~Workspace() {
    ::operator delete(base_, std::align_val_t(alignment_));
}

// A first pass only measures.
std::uint8_t* Workspace::Take(std::size_t bytes, std::uint8_t fill) {
    const std::size_t at = used_;
    used_ += AlignUp(bytes);
    if (!base_) {
        return nullptr;
    }
    std::memset(base_ + at, fill, bytes);
    return base_ + at;
}

// `count` slots of zero costs behind guards of 255, and a last guard.
std::uint8_t* Workspace::Slots(const KernelParams& p, std::size_t count) {
    const std::size_t stride = p.slotStride;
    std::uint8_t* slots = Take(count * stride + kSlotGuard, kInfiniteCost);
    if (slots) {
        for (std::size_t i = 0; i < count; ++i) {
            std::memset(slots + i * stride + kSlotGuard, 0, std::size_t(p.paddedDisparities));
        }
    }
    return slots;
}

namespace {

std::uint8_t* Offset(std::uint8_t* p, std::size_t by) {
    return p ? p + by : nullptr;
}

}  // namespace

void Workspace::Carve(const KernelParams& p) {
    const std::size_t w = p.width;
    const std::size_t dp = p.paddedDisparities;

    std::uint8_t* candidates = Take(256, 0);
    std::uint8_t* winnerMask = Take(2 * kMaxDisparities + kDisparityAlign, 0);
    std::uint8_t* largePenalty = Take(256, 0);
    if (candidates) {
        for (int i = 0; i < 256; ++i) {
            candidates[i] = static_cast<std::uint8_t>(i);
            largePenalty[i] = static_cast<std::uint8_t>(LargePenalty(p, i));
        }
        std::memset(winnerMask + kMaxDisparities - 1, kInfiniteCost, 3);
    }
    tables_ = {candidates, winnerMask, largePenalty};

    const std::size_t sourceRow = kRowPad + w + 2 * kRowPad;
    const std::size_t reversedRow = kRowPad + w + dp + kRowPad;
    auto ring = [&](PathRing& r) {
        r.size = static_cast<int>(w) + 2;
        r.slots = Slots(p, w + 2);
        // Vectors write the least costs of whole tiles.
        for (std::uint8_t*& mins : r.mins) {
            mins = Take(w + 2 + kTilePixels, 0);
        }
        r.origin = 0;
        r.previous = 0;
    };
    for (StripeScratch& s : stripes_) {
        CensusRows& c = s.census;
        for (auto& image : c.source) {
            for (std::uint8_t*& row : image) {
                row = Offset(Take(sourceRow, 0), kRowPad);
            }
        }
        for (std::uint8_t*& plane : c.left) {
            plane = Take(w + kRowPad, 0);
        }
        for (std::uint8_t*& plane : c.rightBytes) {
            plane = Offset(Take(reversedRow, 0), kRowPad);
        }
        for (std::uint8_t*& plane : c.rightNibbles) {
            plane = Offset(Take(reversedRow, 0), kRowPad);
        }
        c.leftPixels = Take(w + kRowPad, 0);
        c.rightPixels = Offset(Take(reversedRow, 0), kRowPad);
        for (std::uint8_t*& row : s.rawCosts) {
            row = Take(w * dp, 0);
        }
        s.costs = Take(w * dp, 0);
        s.partial = p.paths == 4 ? Take(w * dp, 0) : nullptr;
        for (int r = 0; r < (p.paths == 8 ? 3 : 2); ++r) {
            ring(s.down[r]);
        }
        if (p.paths == 8) {
            for (PathRing& r : s.up) {
                ring(r);
            }
        }
        s.horizontal = Slots(p, 3);
        s.sums = Offset(Slots(p, 1), kSlotGuard);
        for (std::uint8_t*& row : s.penalties) {
            row = Take(w + kTilePixels, 0);
        }

        s.tileLeast = Take(std::size_t(kTileVectors) * kTilePixels * kTilePixels, 0);
        s.tileSums = Slots(p, 2 * kTilePixels);
        Selection& selection = s.selection;
        // Vectors read the records and the second best of whole vectors of pixels.
        selection.record = reinterpret_cast<std::uint32_t*>(Take(4 * w + kTilePixels, 0));
        selection.second = Take(w + kTilePixels, 0);
        // Vectors gather four bytes at a time from it.
        selection.right = reinterpret_cast<std::uint16_t*>(Take(2 * w + 4, 0));
        s.forward = p.paths == 8 ? Take(std::size_t(p.forwardRows) * w * dp, 0) : nullptr;
    }
}

}  // namespace Tarnwell::stereo::detail
