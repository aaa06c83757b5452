// Validation of a row's disparities: left-right consistency, uniqueness and the confidence image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "SgmStripe.h"

namespace Tarnwell::stereo::detail {

// How clearly the winner beats the best candidate that is not its neighbour: 255 (second - best)
// / second, in single precision so that vectors compute the same.
inline std::uint8_t Confidence(int best, int second) {
    const int margin = std::max(second - best, 0);
    return static_cast<std::uint8_t>(float(255 * margin) / float(std::max(second, 1)));
}

// Where no left pixel claims a right pixel.
inline constexpr std::uint16_t kUnclaimed = 0xFFFF;

// Left pixel x's claim on the right pixel x - winner: the least claim holds (Selection::right).
inline std::uint16_t RightClaim(int winner, int cost) {
    return static_cast<std::uint16_t>(cost << 8 | winner);
}

// The right view's winner at x-d is taken from the left winners that land on it, as the cheapest
// of them (the first on a tie). (The vector kernels make the claims as they select the winners.)
inline void MapRightWinners(const KernelParams& p, const Selection& s) {
    const int w = p.width;
    std::uint16_t* __restrict right = s.right;
    std::fill_n(right, std::max(w, 0), kUnclaimed);
    for (int x = 0; x < w; ++x) {
        const int winner = WinnerRecord::Winner(s.record[x]);
        std::uint16_t& held = right[x - winner];
        held = std::min(held, RightClaim(winner, WinnerRecord::Cost(s.record[x])));
    }
}

// Whether left pixel x matched at disparity d meets a right pixel that another left pixel claims
// with a disparity differing by more than the tolerance.
inline int Inconsistent(const KernelParams& p, const Selection& s, int x, int d) {
    const int xr = std::max(x - d, 0);
    const int held = s.right[xr];
    return int(x - d >= 0) & int((held >> 8) < kInfiniteCost) &
           int(std::abs((held & 0xFF) - d) > p.leftRightMaxDiff);
}

// Uniqueness and left-right consistency of the refined disparities of row y from column x on;
// the confidence image. A pixel is occluded or wrong when its match is inconsistent on both sides
// of its sub-pixel disparity. Expects the right view's winners to be mapped.
inline void CheckRowFrom(const StripeJob& job, int y, int x) {
    const KernelParams& p = *job.params;
    const Selection& s = job.scratch->selection;
    std::uint16_t* __restrict disparity = job.output.disparity.Row(y);
    std::uint8_t* __restrict confidence =
        job.output.confidence.data ? job.output.confidence.Row(y) : nullptr;
    for (; x < p.width; ++x) {
        const int best = WinnerRecord::Cost(s.record[x]);
        const int fixed = disparity[x];
        int valid =
            int(best < kInfiniteCost) & int(best * 100 <= s.second[x] * (100 - p.uniqueness));
        valid &=
            1 ^ (int(p.leftRightCheck) & Inconsistent(p, s, x, fixed >> kDisparityFractionBits) &
                 Inconsistent(p, s, x, (fixed + kDisparityScale - 1) >> kDisparityFractionBits));
        disparity[x] = static_cast<std::uint16_t>(fixed | (valid - 1));  // invalid: all ones
        if (confidence) {
            confidence[x] = static_cast<std::uint8_t>(Confidence(best, s.second[x]) & -valid);
        }
    }
}

// The checks and the confidence of row y, whose refined disparities are in the output. The
// reference maps the right view's winners first; the vector kernels' selection has mapped them.
void ValidateReference(const StripeJob& job, int y);
void ValidateSimd(const StripeJob& job, int y);

}  // namespace Tarnwell::stereo::detail
