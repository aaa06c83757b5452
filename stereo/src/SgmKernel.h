// The per-stripe work of the semi-global matcher, shared by the SIMD kernels and the reference.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "stereo/StereoEngine.h"

namespace Tarnwell::stereo::detail {

// Disparity candidates are padded to a multiple of this, the widest SIMD vector of bytes.
inline constexpr int kDisparityAlign = 64;
// Each path slot is preceded by this many bytes of 255, so the d-1 and d+1 neighbours of the first
// and last candidate read "infinitely" expensive values, and data stays vector-aligned.
inline constexpr int kSlotGuard = 64;
// Census window: 7x7 sampled every other pixel, so that the compared pixels differ by more than
// the noise even on smooth surfaces.
inline constexpr int kCensusRadius = 3;
inline constexpr int kCensusBytes = kCensusBits / 8;
inline constexpr int kNibblePlanes = 2 * kCensusBytes;
// Padding on either side of a copied source row: the census reads beyond the image and whole
// vectors past its right end.
inline constexpr int kRowPad = 64;
inline constexpr std::uint8_t kInfiniteCost = 255;

struct CensusOffset {
    int dx;
    int dy;
};

// Bit b of a signature is set when the neighbour at kCensusOffsets[b] is darker than the centre;
// bit b lives in byte b / 8.
inline constexpr CensusOffset kCensusOffsets[kCensusBits] = {
    {-3, -3}, {-1, -3}, {1, -3}, {3, -3}, {-3, -1}, {-1, -1}, {1, -1}, {3, -1},
    {-3, 1},  {-1, 1},  {1, 1},  {3, 1},  {-3, 3},  {-1, 3},  {1, 3},  {3, 3}};

// Settings of one engine, fixed when it is created.
struct KernelParams {
    int width = 0;
    int height = 0;
    int disparities = 0;
    int paddedDisparities = 0;  // multiple of kDisparityAlign
    int slotStride = 0;         // kSlotGuard + paddedDisparities
    int paths = 4;
    // Paths fed from the previous row: top and top-right (4 paths); top, top-right and top-left
    // in the first and their mirror images in the second pass (8 paths).
    int rowPaths = 2;
    int p1 = 0;
    int p2 = 0;
    bool subpixel = true;
    bool leftRightCheck = true;
    int leftRightMaxDiff = 1;
    int uniqueness = 0;
};

// Working memory of one stripe, carved out of the engine's arena when it is created. A "slot"
// holds the costs of all candidates of one pixel behind kSlotGuard bytes of 255; arrays of slots
// end with one more guard.
struct StripeScratch {
    // Source rows copied with replicated borders: 2*radius+1 rows of each image.
    std::uint8_t* sourceRows[2][2 * kCensusRadius + 1];
    // Census of the current left row: plane j holds byte j of each pixel's signature.
    std::uint8_t* leftCensus[kCensusBytes];
    // The current right row's census split into nibbles, and its pixels, in reverse order so that
    // the candidates of one left pixel are consecutive: entry W-1-x+d belongs to right pixel x-d.
    std::uint8_t* rightNibbles[kNibblePlanes];
    std::uint8_t* rightPixels;
    // Matching costs of the current row, W * paddedDisparities.
    std::uint8_t* costs;
    // Left-to-right path costs of the current row (W slots) and their minima.
    std::uint8_t* leftToRight;
    std::uint8_t* leftToRightMins;
    // Three slots: zero (a path entering the image), and two that alternate along the row for the
    // right-to-left path.
    std::uint8_t* horizontal;
    // Paths from the previous row, for the previous and the current row: (W+2) slots of rowPaths
    // sub-slots each; slots 0 and W+1 are zero, the start of a path at the image border.
    std::uint8_t* pathRows[2];
    std::uint8_t* pathMins[2];  // minimum over the candidates of each sub-slot
    std::uint8_t* sums;         // one slot: aggregated cost of the current pixel
    // Per pixel of the current row: the winner, its cost and its neighbours' costs, the second
    // best cost; the right view's winners.
    std::uint8_t* winner;
    std::uint8_t* winnerCost;
    std::uint8_t* before;
    std::uint8_t* after;
    std::uint8_t* second;
    // Per right pixel: the cost of its winner in the low byte, the winner in the high byte.
    std::uint16_t* right;
    // Aggregated costs of the first pass for the stripe's rows (eight paths only).
    std::uint8_t* forward;
};

// Tables shared by all stripes.
struct KernelTables {
    const std::uint8_t* borderMask;   // 2*paddedDisparities: 0, then 255 from paddedDisparities
    const std::uint8_t* paddingMask;  // paddedDisparities: 0 below `disparities`, 255 above
    const std::uint8_t* candidates;   // 0, 1, ..., 255
    // 2*kMaxDisparities+kDisparityAlign: 255 at kMaxDisparities-1 .. kMaxDisparities+1, else 0;
    // from kMaxDisparities-winner on it masks the winner and its neighbours.
    const std::uint8_t* winnerMask;
};

struct StripeJob {
    const KernelParams* params = nullptr;
    const KernelTables* tables = nullptr;
    StripeScratch* scratch = nullptr;
    ImageView<const std::uint8_t> left;
    ImageView<const std::uint8_t> right;
    StereoOutput output;
    int y0 = 0;  // rows [y0, y1) are written
    int y1 = 0;
    int warmUp = 0;  // rows beyond the stripe that each pass runs through first
};

// Runs on the best SIMD target this CPU has; the scalar fallback is the reference.
void RunStripe(const StripeJob& job);
// Plain C++ of the same arithmetic; the SIMD kernels must match it bit for bit.
void RunStripeReference(const StripeJob& job);
// Name of the SIMD target RunStripe dispatches to.
const char* KernelTargetName();

// Where pixel x's slot of a slot array starts, and of a row-path buffer.
inline std::uint8_t* Slot(std::uint8_t* slots, int x, int stride) {
    return slots + std::size_t(x) * stride + kSlotGuard;
}
inline std::uint8_t* RowSlot(const KernelParams& p, std::uint8_t* row, int x, int path) {
    return Slot(row, (x + 1) * p.rowPaths + path, p.slotStride);
}
inline std::uint8_t& RowMin(const KernelParams& p, std::uint8_t* mins, int x, int path) {
    return mins[(x + 1) * p.rowPaths + path];
}

// Makes the previous-row buffers zero: every path starts afresh in a pass's first row.
inline void StartPass(const StripeJob& job) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    for (int x = -1; x <= p.width; ++x) {
        for (int path = 0; path < p.rowPaths; ++path) {
            std::fill_n(RowSlot(p, s.pathRows[0], x, path), p.paddedDisparities, 0);
        }
    }
    std::fill_n(s.pathMins[0], std::size_t(p.width + 2) * p.rowPaths, 0);
}

// ---- Scalar steps shared by the kernels and the reference ----

// Copies the census rows around y with replicated borders into scratch.sourceRows.
inline void CopySourceRows(const StripeJob& job, int y) {
    const int w = job.params->width;
    const int h = job.params->height;
    for (int image = 0; image < 2; ++image) {
        const ImageView<const std::uint8_t>& src = image == 0 ? job.left : job.right;
        for (int r = 0; r <= 2 * kCensusRadius; ++r) {
            const int sy = std::clamp(y + r - kCensusRadius, 0, h - 1);
            const std::uint8_t* in = src.Row(sy);
            std::uint8_t* out = job.scratch->sourceRows[image][r];
            std::fill(out - kRowPad, out, in[0]);
            std::copy(in, in + w, out);
            std::fill(out + w, out + w + 2 * kRowPad, in[w - 1]);
        }
    }
}

// Parabola through the winner and its neighbours, in fixed point. Branch-free: whether and which
// way it moves are data and would mispredict.
inline std::uint16_t SubpixelDisparity(int d, int before, int at, int after, int disparities) {
    const int denominator = before + after - 2 * at;
    const bool refine = (d > 0) & (d < disparities - 1) & (denominator > 0) &
                        (before < kInfiniteCost) & (after < kInfiniteCost);
    // The vertex lies within half a pixel of the winner; rounded half away from zero.
    const float offset =
        float((before - after) * kDisparityScale) / float(2 * std::max(denominator, 1));
    const int rounded = static_cast<int>(offset + std::copysign(0.5f, offset));
    return static_cast<std::uint16_t>(d * kDisparityScale + (rounded & -int(refine)));
}

// How clearly the winner beats the best candidate that is not its neighbour: 255 (second - best)
// / second, in single precision so that vectors compute the same.
inline std::uint8_t Confidence(int best, int second) {
    const int margin = std::max(second - best, 0);
    return static_cast<std::uint8_t>(float(255 * margin) / float(std::max(second, 1)));
}

// Records pixel x's winner from the aggregated costs in scratch.sums.
inline void RecordWinner(const StripeJob& job, int x, int winner, int best, int second) {
    StripeScratch& s = *job.scratch;
    s.winner[x] = static_cast<std::uint8_t>(winner);
    s.winnerCost[x] = static_cast<std::uint8_t>(best);
    s.before[x] = s.sums[winner - 1];  // a guard for the first candidate
    s.after[x] = s.sums[winner + 1];
    s.second[x] = static_cast<std::uint8_t>(second);
}

// The sub-pixel disparities of a finished row.
inline void RefineRow(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const StripeScratch& s = *job.scratch;
    std::uint16_t* __restrict disparity = job.output.disparity.Row(y);
    for (int x = 0; x < p.width; ++x) {
        disparity[x] = p.subpixel ? SubpixelDisparity(s.winner[x], s.before[x], s.winnerCost[x],
                                                      s.after[x], p.disparities)
                                  : static_cast<std::uint16_t>(s.winner[x] * kDisparityScale);
    }
}

// The right view's winner at x-d is taken from the left winners that land on it, as the cheapest
// of them (the first on a tie). Branch-free: the outcomes are data and would mispredict.
inline void MapRightWinners(const StripeJob& job) {
    const int w = job.params->width;
    const std::uint8_t* __restrict winner = job.scratch->winner;
    const std::uint8_t* __restrict winnerCost = job.scratch->winnerCost;
    std::uint16_t* __restrict right = job.scratch->right;
    std::fill_n(right, std::max(w, 0), std::uint16_t{kInfiniteCost});
    for (int x = 0; x < w; ++x) {
        const int xr = x - winner[x];
        const int offer = winnerCost[x] | winner[x] << 8;
        const int held = right[xr];
        right[xr] = static_cast<std::uint16_t>(winnerCost[x] < (held & 0xFF) ? offer : held);
    }
}

// Whether left pixel x matched at disparity d meets a right pixel that another left pixel claims
// with a disparity differing by more than the tolerance.
inline int Inconsistent(const StripeJob& job, int x, int d) {
    const int xr = std::max(x - d, 0);
    const int held = job.scratch->right[xr];
    return int(x - d >= 0) & int((held & 0xFF) < kInfiniteCost) &
           int(std::abs((held >> 8) - d) > job.params->leftRightMaxDiff);
}

// Uniqueness and left-right consistency of the refined disparities of row y from column x on;
// the confidence image. A pixel is occluded or wrong when its match is inconsistent on both sides
// of its sub-pixel disparity.
inline void CheckRow(const StripeJob& job, int y, int x) {
    const KernelParams& p = *job.params;
    const StripeScratch& s = *job.scratch;
    std::uint16_t* __restrict disparity = job.output.disparity.Row(y);
    std::uint8_t* __restrict confidence =
        job.output.confidence.data ? job.output.confidence.Row(y) : nullptr;
    for (; x < p.width; ++x) {
        const int best = s.winnerCost[x];
        const int fixed = disparity[x];
        int valid =
            int(best < kInfiniteCost) & int(best * 100 <= s.second[x] * (100 - p.uniqueness));
        valid &=
            1 ^ (int(p.leftRightCheck) & Inconsistent(job, x, fixed >> kDisparityFractionBits) &
                 Inconsistent(job, x, (fixed + kDisparityScale - 1) >> kDisparityFractionBits));
        disparity[x] = static_cast<std::uint16_t>(fixed | (valid - 1));  // invalid: all ones
        if (confidence) {
            confidence[x] = static_cast<std::uint8_t>(Confidence(best, s.second[x]) & -valid);
        }
    }
}

// Refinement, checks and the output pixels of a finished row.
inline void FinishRow(const StripeJob& job, int y) {
    RefineRow(job, y);
    if (job.params->leftRightCheck) {
        MapRightWinners(job);
    }
    CheckRow(job, y, 0);
}

}  // namespace Tarnwell::stereo::detail
