// Matching cost: census signatures of a row pair and the cost of every candidate of every pixel.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "SgmStripe.h"

namespace Tarnwell::stereo::detail {

// Census window: 7x7 sampled every other pixel, so that the compared pixels differ by more than
// the noise even on smooth surfaces.
inline constexpr int kCensusRadius = 3;
inline constexpr int kCensusBytes = kCensusBits / 8;
static_assert(std::size(CensusRows{}.source[0]) == 2 * kCensusRadius + 1);
// Padding on either side of a copied source row: the census reads beyond the image and whole
// vectors past its right end.
inline constexpr int kRowPad = 64;

struct CensusOffset {
    int dx;
    int dy;
};

// Bit b of a signature is set when the neighbour at kCensusOffsets[b] is darker than the centre;
// bit b lives in byte b / 8.
inline constexpr CensusOffset kCensusOffsets[kCensusBits] = {
    {-3, -3}, {-1, -3}, {1, -3}, {3, -3}, {-3, -1}, {-1, -1}, {1, -1}, {3, -1},
    {-3, 1},  {-1, 1},  {1, 1},  {3, 1},  {-3, 3},  {-1, 3},  {1, 3},  {3, 3}};

// Rounded mean of two costs or grey levels, as the vectors' byte average computes it.
inline int Average(int a, int b) {
    return (a + b + 1) >> 1;
}

// The eight pixels around a pixel, whose mean HighPass takes.
inline constexpr int kRingSize = 8;
inline constexpr CensusOffset kRing[kRingSize] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                                  {1, 0},   {-1, 1}, {0, 1},  {1, 1}};

// A pixel's grey level less the mean of the eight around it (pairwise averages in the order of
// kRing), plus 128 within 0..255: what the intensity term compares, so that a difference of
// brightness between the views, or a slow one across them, costs nothing.
inline std::uint8_t HighPass(int centre, const int (&ring)[kRingSize]) {
    int level[kRingSize];
    std::copy(std::begin(ring), std::end(ring), level);
    for (int n = kRingSize / 2; n >= 1; n /= 2) {
        for (int i = 0; i < n; ++i) {
            level[i] = Average(level[2 * i], level[2 * i + 1]);
        }
    }
    return static_cast<std::uint8_t>(std::clamp(128 + centre - level[0], 0, 255));
}

// Copies the census rows around y with replicated borders into census.source.
inline void CopySourceRows(const StripeJob& job, int y) {
    const int w = job.params->width;
    const int h = job.params->height;
    for (int image = 0; image < 2; ++image) {
        const ImageView<const std::uint8_t>& src = image == 0 ? job.left : job.right;
        for (int r = 0; r <= 2 * kCensusRadius; ++r) {
            const int sy = std::clamp(y + r - kCensusRadius, 0, h - 1);
            const std::uint8_t* in = src.Row(sy);
            std::uint8_t* out = job.scratch->census.source[image][r];
            std::fill(out - kRowPad, out, in[0]);
            std::copy(in, in + w, out);
            std::fill(out + w, out + w + 2 * kRowPad, in[w - 1]);
        }
    }
}

// Where the raw costs of row y are kept while its neighbours need them.
inline std::uint8_t* RawCosts(const StripeJob& job, int y) {
    return job.scratch->rawCosts[y % 3];
}

// The costs of row y into RawCosts: pixel x's candidates d = 0 .. paddedDisparities-1 from
// x * paddedDisparities on. The number of differing signature bits plus the absolute difference
// of the pixels' HighPass up to a cap; candidates without a partner in the right view (d > x), and
// padding (d >= disparities), cost kInfiniteCost.
void CostsReference(const StripeJob& job, int y);
void CostsSimd(const StripeJob& job, int y);

// The costs of row y smoothed into scratch.costs: at every candidate, the 1-2-1 average of the
// raw costs of the rows around (within the image), then of the columns around (within the image
// and the columns that have a partner for the candidate, the centre standing in for others), each
// as Average(Average(one side, other side), centre); a matching window of 3x3 pixels more on top of
// the census, which steadies the cost where a single pixel's differences are mostly noise. Infinite
// where the raw cost is.
void SmoothReference(const StripeJob& job, int y);
void SmoothSimd(const StripeJob& job, int y);

// The costs of row `next` (a neighbour of y, or none if negative), then row y smoothed: the vector
// kernels compute the one on the way through the other.
void CostsAndSmoothReference(const StripeJob& job, int y, int next);
void CostsAndSmoothSimd(const StripeJob& job, int y, int next);

}  // namespace Tarnwell::stereo::detail
