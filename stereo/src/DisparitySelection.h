// Disparity selection: each pixel's winner among its aggregated costs and its sub-pixel position.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "SgmStripe.h"

namespace Tarnwell::stereo::detail {

inline void RecordWinner(const Selection& selection, int x, int winner, int best, int before,
                         int after, int second) {
    selection.record[x] = WinnerRecord::Pack(winner, best, before, after);
    selection.second[x] = static_cast<std::uint8_t>(second);
}

// Records pixel x's winner, its cost, its neighbours' costs (the slot's guards stand in beyond
// the first and last candidate) and the second best cost.
inline void RecordWinner(const Selection& selection, const std::uint8_t* sums, int x, int winner,
                         int best, int second) {
    RecordWinner(selection, x, winner, best, sums[winner - 1], sums[winner + 1], second);
}

// The first candidate of least cost, and as second best the least cost of the candidates that
// are neither it nor its neighbours.
void SelectReference(const StripeJob& job, int x, const std::uint8_t* sums);

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

// Fixed-point disparities of row y from the selection, refined where configured.
void RefineReference(const StripeJob& job, int y);
void RefineSimd(const StripeJob& job, int y);

}  // namespace Tarnwell::stereo::detail
