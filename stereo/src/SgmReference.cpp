// Plain C++ semi-global matching of one stripe: the definition the SIMD kernels are tested against.
#include "SgmKernel.h"

#include <bit>

namespace Tarnwell::stereo::detail {
namespace {

enum class Mode { Winner, StoreForward };

std::uint32_t Signature(std::uint8_t* const* rows, int x) {
    const int centre = rows[kCensusRadius][x];
    std::uint32_t bits = 0;
    for (int b = 0; b < kCensusBits; ++b) {
        const CensusOffset o = kCensusOffsets[b];
        if (rows[kCensusRadius + o.dy][x + o.dx] < centre) {
            bits |= 1u << b;
        }
    }
    return bits;
}

// Left signatures go to leftCensus, right ones to the first planes of rightNibbles, both in pixel
// order; the pixels stay in the centre rows of sourceRows.
void CensusRow(const StripeJob& job, int y) {
    CopySourceRows(job, y);
    StripeScratch& s = *job.scratch;
    for (int x = 0; x < job.params->width; ++x) {
        const std::uint32_t left = Signature(s.sourceRows[0], x);
        const std::uint32_t right = Signature(s.sourceRows[1], x);
        for (int j = 0; j < kCensusBytes; ++j) {
            s.leftCensus[j][x] = static_cast<std::uint8_t>(left >> (8 * j));
            s.rightNibbles[j][x] = static_cast<std::uint8_t>(right >> (8 * j));
        }
    }
}

std::uint32_t StoredSignature(std::uint8_t* const* planes, int x) {
    std::uint32_t bits = 0;
    for (int j = 0; j < kCensusBytes; ++j) {
        bits |= std::uint32_t(planes[j][x]) << (8 * j);
    }
    return bits;
}

// Candidates without a partner in the right view, and padding, cost "infinitely" much.
std::uint8_t MatchingCost(const StripeJob& job, int x, int d) {
    const StripeScratch& s = *job.scratch;
    if (d >= job.params->disparities || d > x) {
        return kInfiniteCost;
    }
    const int bits =
        std::popcount(StoredSignature(s.leftCensus, x) ^ StoredSignature(s.rightNibbles, x - d));
    const int difference = std::abs(int(s.sourceRows[0][kCensusRadius][x]) -
                                    int(s.sourceRows[1][kCensusRadius][x - d]));
    return static_cast<std::uint8_t>(bits + std::min(difference, kIntensityDifferenceCap));
}

std::uint8_t SaturatedAdd(int a, int b) {
    return static_cast<std::uint8_t>(std::min(a + b, 255));
}

// One step along a path for every candidate:
//   L(d) = C(d) + min(Lp(d), Lp(d-1) + P1, Lp(d+1) + P1, min Lp + P2) - min Lp,
// with the last two operations swapped so that P2 needs no saturation. The guards of the previous
// slot stand for the missing neighbours of the first and last candidate. Returns min L.
int StepPath(const KernelParams& p, const std::uint8_t* previous, int previousMin,
             const std::uint8_t* costs, std::uint8_t* out) {
    int least = 255;
    for (int d = 0; d < p.paddedDisparities; ++d) {
        int t = std::min(previous[d - 1], previous[d + 1]);
        t = std::min<int>(SaturatedAdd(t, p.p1), previous[d]);
        t = std::min(t - previousMin, p.p2);
        out[d] = SaturatedAdd(t, costs[d]);
        least = std::min<int>(least, out[d]);
    }
    return least;
}

// Adds a path's costs less `least`. Every path's costs exceed its minimum by no more than P2 at
// the candidates the path agrees with, and the minimum itself is at most kMaxMatchingCost: sums
// of four paths stay well below 255 where they matter. Sums of eight would not, so the downward
// pass of eight paths subtracts each path's minimum (but for the one computed last, whose minimum
// is not known in time); that shifts a pixel's sums by a constant, which decides nothing.
void Accumulate(const KernelParams& p, std::uint8_t* sums, const std::uint8_t* path, int least) {
    for (int d = 0; d < p.paddedDisparities; ++d) {
        sums[d] = SaturatedAdd(sums[d], path[d] - least);
    }
}

void Decide(const StripeJob& job, int x) {
    const KernelParams& p = *job.params;
    const std::uint8_t* sums = job.scratch->sums;
    int winner = 0;
    for (int d = 1; d < p.paddedDisparities; ++d) {
        if (sums[d] < sums[winner]) {
            winner = d;
        }
    }
    int second = 255;
    for (int d = 0; d < p.paddedDisparities; ++d) {
        if (std::abs(d - winner) > 1) {
            second = std::min<int>(second, sums[d]);
        }
    }
    RecordWinner(job, x, winner, sums[winner], second);
}

// Rows yFirst to yLast downwards. Each row is swept left to right for the matching costs, the
// left-to-right path and the paths from the row above, then right to left for the right-to-left
// path and the sums.
void DownwardPass(const StripeJob& job, Mode mode, int yFirst, int yLast) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const int w = p.width;
    const int dp = p.paddedDisparities;
    // Row paths come from x, x+1 and x-1 of the row above.
    constexpr int kFrom[3] = {0, 1, -1};
    StartPass(job);
    int previous = 0;
    for (int y = yFirst; y <= yLast; ++y) {
        CensusRow(job, y);
        const bool inStripe = y >= job.y0;
        const int current = 1 - previous;
        const std::uint8_t* before = Slot(s.horizontal, 0, p.slotStride);
        int beforeMin = 0;
        for (int x = 0; x < w; ++x) {
            std::uint8_t* costs = s.costs + std::size_t(x) * dp;
            for (int d = 0; d < dp; ++d) {
                costs[d] = MatchingCost(job, x, d);
            }
            std::uint8_t* lr = Slot(s.leftToRight, x, p.slotStride);
            beforeMin = s.leftToRightMins[x] = StepPath(p, before, beforeMin, costs, lr);
            before = lr;
            for (int path = 0; path < p.rowPaths; ++path) {
                const int from = x + kFrom[path];
                RowMin(p, s.pathMins[current], x, path) =
                    StepPath(p, RowSlot(p, s.pathRows[previous], from, path),
                             RowMin(p, s.pathMins[previous], from, path), costs,
                             RowSlot(p, s.pathRows[current], x, path));
            }
        }
        before = Slot(s.horizontal, 0, p.slotStride);
        beforeMin = 0;
        for (int x = w - 1; x >= 0; --x) {
            std::uint8_t* rl = Slot(s.horizontal, 1 + (x & 1), p.slotStride);
            beforeMin = StepPath(p, before, beforeMin, s.costs + std::size_t(x) * dp, rl);
            before = rl;
            if (!inStripe) {
                continue;
            }
            std::uint8_t* sums = mode == Mode::StoreForward
                                     ? s.forward + (std::size_t(y - job.y0) * w + x) * dp
                                     : s.sums;
            const bool relative = mode == Mode::StoreForward;
            std::fill_n(sums, dp, 0);
            Accumulate(p, sums, rl, 0);
            Accumulate(p, sums, Slot(s.leftToRight, x, p.slotStride),
                       relative ? s.leftToRightMins[x] : 0);
            for (int path = 0; path < p.rowPaths; ++path) {
                Accumulate(p, sums, RowSlot(p, s.pathRows[current], x, path),
                           relative ? RowMin(p, s.pathMins[current], x, path) : 0);
            }
            if (mode == Mode::Winner) {
                Decide(job, x);
            }
        }
        if (inStripe && mode == Mode::Winner) {
            FinishRow(job, y);
        }
        previous = current;
    }
}

// Rows yFirst to yLast upwards, for the paths from the row below; adds the downward pass's sums.
void UpwardPass(const StripeJob& job, int yFirst, int yLast) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const int w = p.width;
    const int dp = p.paddedDisparities;
    constexpr int kFrom[3] = {0, 1, -1};
    StartPass(job);
    int previous = 0;
    for (int y = yFirst; y >= yLast; --y) {
        CensusRow(job, y);
        const bool inStripe = y < job.y1;
        const int current = 1 - previous;
        for (int x = 0; x < w; ++x) {
            std::uint8_t* costs = s.costs + std::size_t(x) * dp;
            for (int d = 0; d < dp; ++d) {
                costs[d] = MatchingCost(job, x, d);
            }
            for (int path = 0; path < p.rowPaths; ++path) {
                const int from = x + kFrom[path];
                RowMin(p, s.pathMins[current], x, path) =
                    StepPath(p, RowSlot(p, s.pathRows[previous], from, path),
                             RowMin(p, s.pathMins[previous], from, path), costs,
                             RowSlot(p, s.pathRows[current], x, path));
            }
            if (!inStripe) {
                continue;
            }
            std::copy_n(s.forward + (std::size_t(y - job.y0) * w + x) * dp, dp, s.sums);
            for (int path = 0; path < p.rowPaths; ++path) {
                Accumulate(p, s.sums, RowSlot(p, s.pathRows[current], x, path), 0);
            }
            Decide(job, x);
        }
        if (inStripe) {
            FinishRow(job, y);
        }
        previous = current;
    }
}

}  // namespace

void RunStripeReference(const StripeJob& job) {
    const int h = job.params->height;
    const int top = std::max(0, job.y0 - job.warmUp);
    if (job.params->paths == 4) {
        DownwardPass(job, Mode::Winner, top, job.y1 - 1);
        return;
    }
    DownwardPass(job, Mode::StoreForward, top, job.y1 - 1);
    UpwardPass(job, std::min(h - 1, job.y1 - 1 + job.warmUp), job.y0);
}

}  // namespace Tarnwell::stereo::detail
