// Path aggregation: the semi-global recursion along each path through a row, and the paths' sums.
//
// One step along a path for every candidate:
//   L(d) = C(d) + min(Lp(d), Lp(d-1) + P1, Lp(d+1) + P1, min Lp + P2) - min Lp,
// in 8-bit saturating arithmetic, with the last two operations swapped so that P2 needs no
// saturation; a path entering the image starts from Lp = 0. Every path's costs exceed its minimum
// by no more than P2 at the candidates the path agrees with, and the minimum itself is at most
// kMaxMatchingCost, so sums of four paths stay well below 255 where they matter. Sums of eight
// would not: there each path enters the sum less its minimum, which shifts a pixel's sums by a
// constant and decides nothing. Sums saturate at 255.
#pragma once

#include <cstdint>

#include "SgmStripe.h"

namespace Tarnwell::stereo::detail {

// The one sweep of a row that every pass is made of. `horizontal` runs along the sweep, from the
// neighbour just swept; `rowPaths` paths come from the previous row of the pass (kRowPathFrom),
// through `rings`. With `addend`, those sums are added to each pixel's; with `sums`, each pixel's
// sums are stored there (pixel x at x * paddedDisparities); with `select`, each pixel's winner is
// recorded in scratch.selection.
struct Sweep {
    bool leftToRight = true;
    int rowPaths = 0;
    PathRing* rings = nullptr;
    bool relative = false;  // each path less its minimum
    const std::uint8_t* addend = nullptr;
    std::uint8_t* sums = nullptr;
    bool select = false;
};

void SweepReference(const StripeJob& job, const Sweep& sweep);

// The reference's sweeps in the shapes RowKernels asks for.
void FourPathsForwardReference(const StripeJob& job, bool sum);
void FourPathsBackwardReference(const StripeJob& job);
void EightPathsDownReference(const StripeJob& job, std::uint8_t* sums);
void EightPathsUpReference(const StripeJob& job, const std::uint8_t* forward);

// The same, on the best SIMD target of this CPU.
void FourPathsForwardSimd(const StripeJob& job, bool sum);
void FourPathsBackwardSimd(const StripeJob& job);
void EightPathsDownSimd(const StripeJob& job, std::uint8_t* sums);
void EightPathsUpSimd(const StripeJob& job, const std::uint8_t* forward);

}  // namespace Tarnwell::stereo::detail
