// Path aggregation: the semi-global recursion along each path through a row, and the paths' sums.
//
// One step along a path for every candidate:
//   L(d) = C(d) + min(Lp(d), Lp(d-1) + P1, Lp(d+1) + P1, min Lp + P2) - min Lp,
// in 8-bit saturating arithmetic, with the last two operations swapped so that P2 needs no
// saturation; a path entering the image starts from Lp = 0. Every path's costs exceed its minimum
// by no more than P2 at the candidates the path agrees with, and the minimum itself is at most
// kMaxMatchingCost, so sums of four paths stay well below 255 where they matter. Sums of eight
// would not: there each path enters the sum less its minimum, which shifts a pixel's sums by a
// constant and decides nothing. Sums saturate at 255. P2 is LargePenalty of the grey-level
// difference between the pixel and the one the path comes from.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "SgmStripe.h"

namespace Tarnwell::stereo::detail {

// The one sweep of a row that every pass is made of. `horizontal` runs along the sweep, from the
// neighbour just swept; `rowPaths` paths come from the previous row of the pass (kRowPathFrom),
// through `rings`. With `addend`, those sums are added to each pixel's; with `sums`, each pixel's
// sums are stored there (pixel x at x * paddedDisparities); with `select`, each pixel's winner is
// recorded in scratch.selection.
struct Sweep {
    int y = 0;
    // Left to right the paths from the previous row come from the row above, else from below.
    bool leftToRight = true;
    int rowPaths = 0;
    PathRing* rings = nullptr;
    bool relative = false;  // each path less its minimum
    const std::uint8_t* addend = nullptr;
    std::uint8_t* sums = nullptr;
    bool select = false;
};

void SweepReference(const StripeJob& job, const Sweep& sweep);

// The grey levels of the left view that a sweep of row y compares for its penalties: the row's,
// and those of the previous row of the pass (within the image).
struct PenaltyRows {
    PenaltyRows(const StripeJob& job, int y, bool leftToRight)
        : table(job.tables->largePenalty),
          row(job.left.Row(y)),
          previous(
              job.left.Row(std::clamp(leftToRight ? y - 1 : y + 1, 0, job.params->height - 1))),
          last(job.params->width - 1) {}

    // P2 for the path along the row into pixel x from pixel x - step.
    int Along(int x, int step) const { return At(row[x], row[std::clamp(x - step, 0, last)]); }
    // P2 for the path into pixel x from column x + dx of the previous row.
    int From(int x, int dx) const { return At(row[x], previous[std::clamp(x + dx, 0, last)]); }

private:
    int At(int a, int b) const { return table[std::abs(a - b)]; }

    const std::uint8_t* table;
    const std::uint8_t* row;
    const std::uint8_t* previous;
    int last;
};

// The reference's sweeps of row y in the shapes RowKernels asks for.
void FourPathsForwardReference(const StripeJob& job, int y, bool sum);
void FourPathsBackwardReference(const StripeJob& job, int y);
void EightPathsDownReference(const StripeJob& job, int y, std::uint8_t* sums);
void EightPathsUpReference(const StripeJob& job, int y, const std::uint8_t* forward);

// The same, on the best SIMD target of this CPU.
void FourPathsForwardSimd(const StripeJob& job, int y, bool sum);
void FourPathsBackwardSimd(const StripeJob& job, int y);
void EightPathsDownSimd(const StripeJob& job, int y, std::uint8_t* sums);
void EightPathsUpSimd(const StripeJob& job, int y, const std::uint8_t* forward);

}  // namespace Tarnwell::stereo::detail
