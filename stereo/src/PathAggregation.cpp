// Path aggregation per target: one sweep routine for every direction and every pass.
#include "PathAggregation.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PathAggregation.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>

#include "DisparitySelection-inl.h"
#include "DisparitySelection.h"
#include "SgmSimd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

void FourPathsForward(const StripeJob& job, int y, bool sum) {
    FourPathsForwardReference(job, y, sum);
}
void FourPathsBackward(const StripeJob& job, int y) {
    FourPathsBackwardReference(job, y);
}
void EightPathsDown(const StripeJob& job, int y, std::uint8_t* sums) {
    EightPathsDownReference(job, y, sums);
}
void EightPathsUp(const StripeJob& job, int y, const std::uint8_t* forward) {
    EightPathsUpReference(job, y, forward);
}

#else

// What a sweep does with each pixel's sums: nothing (warm-up rows), store them for a sweep soon
// after, stream them past the caches for the other pass, or select the winner.
enum class Out { None, Store, Stream, Select };

// Sweep (PathAggregation.h) with its switches fixed at compile time, so that the paths' state
// stays in registers.
template <bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRow(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
              std::uint8_t* sumsRow) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int stride = p.slotStride;
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const PenaltyRows penalties(job, y, kLeftToRight);
    int fromOrigin[kRowPaths + 1];
    int toOrigin[kRowPaths + 1];
    for (int r = 0; r < kRowPaths; ++r) {
        fromOrigin[r] = rings[r].origin;
        const int shifted = rings[r].origin + RingShift(kLeftToRight, kRowPathFrom[r]);
        toOrigin[r] = (shifted + rings[r].size) % rings[r].size;
    }
    const std::uint8_t* before = Slot(s.horizontal, 0, stride);
    V8 beforeMin = hn::Zero(d);
    for (int i = 0; i < w; ++i) {
        const int x = kLeftToRight ? i : w - 1 - i;
        const std::size_t pixel = std::size_t(x) * dp;
        const std::uint8_t* costs = s.costs + pixel;
        std::uint8_t* horizontalOut = Slot(s.horizontal, 1 + (i & 1), stride);
        HorizontalStep horizontal(
            d, before, beforeMin, p1,
            hn::Set(d, static_cast<std::uint8_t>(penalties.Along(x, kLeftToRight ? 1 : -1))));
        const std::uint8_t* from[kRowPaths + 1];
        V8 fromMin[kRowPaths + 1];
        V8 p2[kRowPaths + 1];
        std::uint8_t* out[kRowPaths + 1];
        int outIndex[kRowPaths + 1];
        V8 least[kRowPaths + 1];
#pragma GCC unroll 4
        for (int r = 0; r < kRowPaths; ++r) {
            const int fromIndex = RingIndex(rings[r], x + kRowPathFrom[r], fromOrigin[r]);
            from[r] = RingSlot(rings[r], fromIndex, stride);
            fromMin[r] = hn::Set(d, rings[r].mins[fromIndex]);
            p2[r] = hn::Set(d, static_cast<std::uint8_t>(penalties.From(x, kRowPathFrom[r])));
            outIndex[r] = RingIndex(rings[r], x, toOrigin[r]);
            out[r] = RingSlot(rings[r], outIndex[r], stride);
        }
#pragma GCC unroll 4
        for (V8& l : least) {
            l = hn::Set(d, kInfiniteCost);
        }
        Winner winner;
        auto emit = [&](int k, V8 sum) {
            if constexpr (kOut == Out::Store) {
                hn::Store(sum, d, sumsRow + pixel + k);
            } else if constexpr (kOut == Out::Stream) {
                hn::Stream(sum, d, sumsRow + pixel + k);
            } else if constexpr (kOut == Out::Select) {
                hn::Store(sum, d, s.sums + k);
                winner.Add(d, job.tables->candidates + k, sum);
            }
        };
        for (int k = 0; k < dp; k += n) {
            const V8 cost = hn::Load(d, costs + k);
            const V8 h = horizontal.Next(d, k, cost);
            hn::Store(h, d, horizontalOut + k);
            least[kRowPaths] = hn::Min(least[kRowPaths], h);
            V8 sum = h;
            if constexpr (kAddend && !kRelative) {
                sum = hn::SaturatedAdd(sum, hn::Load(d, addend + pixel + k));
            }
#pragma GCC unroll 4
            for (int r = 0; r < kRowPaths; ++r) {
                const V8 l = StepFromSlot(d, from[r] + k, fromMin[r], p1, p2[r], cost);
                hn::Store(l, d, out[r] + k);
                least[r] = hn::Min(least[r], l);
                if constexpr (!kRelative) {
                    sum = hn::SaturatedAdd(sum, l);
                }
            }
            if constexpr (!kRelative) {
                emit(k, sum);
            }
        }
        std::uint8_t mins[kRowPaths + 1];
#pragma GCC unroll 4
        for (int r = 0; r <= kRowPaths; ++r) {
            mins[r] = MinOfBytes(least[r]);
        }
        for (int r = 0; r < kRowPaths; ++r) {
            rings[r].mins[outIndex[r]] = mins[r];
        }
        beforeMin = hn::Set(d, mins[kRowPaths]);
        before = horizontalOut;
        if constexpr (kRelative && kOut != Out::None) {
            // The paths' minima are known only now: a second round over the stored paths.
            V8 base[kRowPaths + 1];
#pragma GCC unroll 4
            for (int r = 0; r <= kRowPaths; ++r) {
                base[r] = hn::Set(d, mins[r]);
            }
            out[kRowPaths] = horizontalOut;
            for (int k = 0; k < dp; k += n) {
                V8 sum = kAddend ? hn::Load(d, addend + pixel + k) : hn::Zero(d);
#pragma GCC unroll 4
                for (int r = 0; r <= kRowPaths; ++r) {
                    sum = hn::SaturatedAdd(sum, hn::Sub(hn::Load(d, out[r] + k), base[r]));
                }
                emit(k, sum);
            }
        }
        if constexpr (kOut == Out::Select) {
            winner.Decide(d, job, x);
        }
    }
}

#if HWY_TARGET <= HWY_AVX3
// SweepRow for 64-byte vectors, with a pixel's kBlocks vectors of every path in registers: the
// horizontal path passes from pixel to pixel without a store (a 64-byte load of a 64-byte store
// just made waits for it to be written), and so do the sums to the selection.
template <int kBlocks, bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRowWide(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
                  std::uint8_t* sumsRow) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    constexpr int n = 64;
    const int w = p.width;
    constexpr int dp = kBlocks * n;
    const int stride = p.slotStride;
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const PenaltyRows penalties(job, y, kLeftToRight);
    const V8 infinite = hn::Set(d, kInfiniteCost);
    int fromOrigin[kRowPaths + 1];
    int toOrigin[kRowPaths + 1];
    for (int r = 0; r < kRowPaths; ++r) {
        fromOrigin[r] = rings[r].origin;
        const int shifted = rings[r].origin + RingShift(kLeftToRight, kRowPathFrom[r]);
        toOrigin[r] = (shifted + rings[r].size) % rings[r].size;
    }
    V8 previous[kBlocks];
#pragma GCC unroll 4
    for (V8& v : previous) {
        v = hn::Zero(d);
    }
    V8 previousMin = hn::Zero(d);
    for (int i = 0; i < w; ++i) {
        const int x = kLeftToRight ? i : w - 1 - i;
        const std::size_t pixel = std::size_t(x) * dp;
        V8 cost[kBlocks];
        V8 h[kBlocks];
        V8 sum[kBlocks];
        const V8 p2 =
            hn::Set(d, static_cast<std::uint8_t>(penalties.Along(x, kLeftToRight ? 1 : -1)));
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            cost[k] = hn::Load(d, s.costs + pixel + k * n);
            const V8 before = Before(previous[k], k > 0 ? previous[k - 1] : infinite);
            const V8 after = After(previous[k], k + 1 < kBlocks ? previous[k + 1] : infinite);
            h[k] = Step(before, previous[k], after, previousMin, p1, p2, cost[k]);
        }
        V8 least = h[0];
#pragma GCC unroll 4
        for (int k = 1; k < kBlocks; ++k) {
            least = hn::Min(least, h[k]);
        }
        const V8 hMin = BroadcastMinOfBytes(least);
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            sum[k] = kRelative ? hn::Sub(h[k], hMin) : h[k];
            if constexpr (kAddend) {
                sum[k] = hn::SaturatedAdd(sum[k], hn::Load(d, addend + pixel + k * n));
            }
        }
#pragma GCC unroll 4
        for (int r = 0; r < kRowPaths; ++r) {
            const int fromIndex = RingIndex(rings[r], x + kRowPathFrom[r], fromOrigin[r]);
            const std::uint8_t* from = RingSlot(rings[r], fromIndex, stride);
            const V8 fromMin = hn::Set(d, rings[r].mins[fromIndex]);
            const V8 fromP2 =
                hn::Set(d, static_cast<std::uint8_t>(penalties.From(x, kRowPathFrom[r])));
            const int outIndex = RingIndex(rings[r], x, toOrigin[r]);
            std::uint8_t* out = RingSlot(rings[r], outIndex, stride);
            V8 l[kBlocks];
#pragma GCC unroll 4
            for (int k = 0; k < kBlocks; ++k) {
                l[k] = StepFromSlot(d, from + k * n, fromMin, p1, fromP2, cost[k]);
                hn::Store(l[k], d, out + k * n);
            }
            V8 pathLeast = l[0];
#pragma GCC unroll 4
            for (int k = 1; k < kBlocks; ++k) {
                pathLeast = hn::Min(pathLeast, l[k]);
            }
            const V8 pathMin = BroadcastMinOfBytes(pathLeast);
            rings[r].mins[outIndex] =
                static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(pathMin.raw)));
#pragma GCC unroll 4
            for (int k = 0; k < kBlocks; ++k) {
                sum[k] = hn::SaturatedAdd(sum[k], kRelative ? hn::Sub(l[k], pathMin) : l[k]);
            }
        }
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            if constexpr (kOut == Out::Store) {
                hn::Store(sum[k], d, sumsRow + pixel + k * n);
            } else if constexpr (kOut == Out::Stream) {
                hn::Stream(sum[k], d, sumsRow + pixel + k * n);
            }
            previous[k] = h[k];
        }
        previousMin = hMin;
        if constexpr (kOut == Out::Select) {
            SelectWide<kBlocks>(job, x, sum);
        }
    }
}

// The sweep for the engine's range, which is fixed at creation: the blocks of a slot are
// unrolled into registers.
template <bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRowAnyWidth(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
                      std::uint8_t* sumsRow) {
    switch (job.params->paddedDisparities / 64) {
        case 1:
            return SweepRowWide<1, kLeftToRight, kRowPaths, kRelative, kAddend, kOut>(
                job, y, rings, addend, sumsRow);
        case 2:
            return SweepRowWide<2, kLeftToRight, kRowPaths, kRelative, kAddend, kOut>(
                job, y, rings, addend, sumsRow);
        case 3:
            return SweepRowWide<3, kLeftToRight, kRowPaths, kRelative, kAddend, kOut>(
                job, y, rings, addend, sumsRow);
        default:
            return SweepRowWide<4, kLeftToRight, kRowPaths, kRelative, kAddend, kOut>(
                job, y, rings, addend, sumsRow);
    }
}
#else
template <bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRowAnyWidth(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
                      std::uint8_t* sumsRow) {
    SweepRow<kLeftToRight, kRowPaths, kRelative, kAddend, kOut>(job, y, rings, addend, sumsRow);
}
#endif

void FourPathsForward(const StripeJob& job, int y, bool sum) {
    StripeScratch& s = *job.scratch;
    if (sum) {
        SweepRowAnyWidth<true, 2, false, false, Out::Store>(job, y, s.down, nullptr, s.partial);
    } else {
        SweepRowAnyWidth<true, 2, false, false, Out::None>(job, y, s.down, nullptr, nullptr);
    }
}

void FourPathsBackward(const StripeJob& job, int y) {
    SweepRowAnyWidth<false, 0, false, true, Out::Select>(job, y, nullptr, job.scratch->partial,
                                                         nullptr);
}

void EightPathsDown(const StripeJob& job, int y, std::uint8_t* sums) {
    StripeScratch& s = *job.scratch;
    if (sums) {
        SweepRowAnyWidth<true, 3, true, false, Out::Stream>(job, y, s.down, nullptr, sums);
    } else {
        SweepRowAnyWidth<true, 3, true, false, Out::None>(job, y, s.down, nullptr, nullptr);
    }
}

void EightPathsUp(const StripeJob& job, int y, const std::uint8_t* forward) {
    StripeScratch& s = *job.scratch;
    if (forward) {
        SweepRowAnyWidth<false, 3, true, true, Out::Select>(job, y, s.up, forward, nullptr);
    } else {
        SweepRowAnyWidth<false, 3, true, false, Out::None>(job, y, s.up, nullptr, nullptr);
    }
}

#endif  // HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace Tarnwell::stereo::detail {

HWY_EXPORT(FourPathsForward);
HWY_EXPORT(FourPathsBackward);
HWY_EXPORT(EightPathsDown);
HWY_EXPORT(EightPathsUp);

void FourPathsForwardSimd(const StripeJob& job, int y, bool sum) {
    HWY_DYNAMIC_DISPATCH(FourPathsForward)(job, y, sum);
}
void FourPathsBackwardSimd(const StripeJob& job, int y) {
    HWY_DYNAMIC_DISPATCH(FourPathsBackward)(job, y);
}
void EightPathsDownSimd(const StripeJob& job, int y, std::uint8_t* sums) {
    HWY_DYNAMIC_DISPATCH(EightPathsDown)(job, y, sums);
}
void EightPathsUpSimd(const StripeJob& job, int y, const std::uint8_t* forward) {
    HWY_DYNAMIC_DISPATCH(EightPathsUp)(job, y, forward);
}

namespace {

std::uint8_t SaturatedAdd(int a, int b) {
    return static_cast<std::uint8_t>(std::min(a + b, 255));
}

// One step along a path for every candidate; the guards of the previous slot stand for the
// missing neighbours of the first and last candidate. Returns min L.
int StepPath(const KernelParams& p, int p2, const std::uint8_t* previous, int previousMin,
             const std::uint8_t* costs, std::uint8_t* out) {
    int least = 255;
    for (int d = 0; d < p.paddedDisparities; ++d) {
        int t = std::min(previous[d - 1], previous[d + 1]);
        t = std::min<int>(SaturatedAdd(t, p.p1), previous[d]);
        t = std::min(t - previousMin, p2);
        out[d] = SaturatedAdd(t, costs[d]);
        least = std::min<int>(least, out[d]);
    }
    return least;
}

}  // namespace

void SweepReference(const StripeJob& job, const Sweep& sweep) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int stride = p.slotStride;
    int fromOrigin[3] = {};
    int toOrigin[3] = {};
    for (int r = 0; r < sweep.rowPaths; ++r) {
        const PathRing& ring = sweep.rings[r];
        fromOrigin[r] = ring.origin;
        toOrigin[r] =
            (ring.origin + RingShift(sweep.leftToRight, kRowPathFrom[r]) + ring.size) % ring.size;
    }
    const PenaltyRows penalties(job, sweep.y, sweep.leftToRight);
    const std::uint8_t* before = Slot(s.horizontal, 0, stride);
    int beforeMin = 0;
    for (int i = 0; i < w; ++i) {
        const int x = sweep.leftToRight ? i : w - 1 - i;
        const std::size_t pixel = std::size_t(x) * dp;
        const std::uint8_t* costs = s.costs + pixel;
        // The horizontal path first, then the paths from the previous row.
        const std::uint8_t* paths[4];
        int mins[4];
        std::uint8_t* horizontal = Slot(s.horizontal, 1 + (i & 1), stride);
        mins[0] = StepPath(p, penalties.Along(x, sweep.leftToRight ? 1 : -1), before, beforeMin,
                           costs, horizontal);
        paths[0] = horizontal;
        before = horizontal;
        beforeMin = mins[0];
        for (int r = 0; r < sweep.rowPaths; ++r) {
            PathRing& ring = sweep.rings[r];
            const int fromIndex = RingIndex(ring, x + kRowPathFrom[r], fromOrigin[r]);
            const int toIndex = RingIndex(ring, x, toOrigin[r]);
            std::uint8_t* out = RingSlot(ring, toIndex, stride);
            mins[r + 1] =
                StepPath(p, penalties.From(x, kRowPathFrom[r]), RingSlot(ring, fromIndex, stride),
                         ring.mins[fromIndex], costs, out);
            ring.mins[toIndex] = static_cast<std::uint8_t>(mins[r + 1]);
            paths[r + 1] = out;
        }
        if (!sweep.sums && !sweep.select) {
            continue;
        }
        std::uint8_t* sums = sweep.select ? s.sums : sweep.sums + pixel;
        for (int d = 0; d < dp; ++d) {
            int sum = sweep.addend ? sweep.addend[pixel + d] : 0;
            for (int q = 0; q <= sweep.rowPaths; ++q) {
                sum += paths[q][d] - (sweep.relative ? mins[q] : 0);
            }
            sums[d] = static_cast<std::uint8_t>(std::min(sum, 255));
        }
        if (sweep.select) {
            SelectReference(job, x, sums);
        }
    }
}

void FourPathsForwardReference(const StripeJob& job, int y, bool sum) {
    Sweep sweep;
    sweep.y = y;
    sweep.rowPaths = 2;
    sweep.rings = job.scratch->down;
    sweep.sums = sum ? job.scratch->partial : nullptr;
    SweepReference(job, sweep);
}

void FourPathsBackwardReference(const StripeJob& job, int y) {
    Sweep sweep;
    sweep.y = y;
    sweep.leftToRight = false;
    sweep.addend = job.scratch->partial;
    sweep.select = true;
    SweepReference(job, sweep);
}

void EightPathsDownReference(const StripeJob& job, int y, std::uint8_t* sums) {
    Sweep sweep;
    sweep.y = y;
    sweep.rowPaths = 3;
    sweep.rings = job.scratch->down;
    sweep.relative = true;
    sweep.sums = sums;
    SweepReference(job, sweep);
}

void EightPathsUpReference(const StripeJob& job, int y, const std::uint8_t* forward) {
    Sweep sweep;
    sweep.y = y;
    sweep.leftToRight = false;
    sweep.rowPaths = 3;
    sweep.rings = job.scratch->up;
    sweep.relative = true;
    sweep.addend = forward;
    sweep.select = forward != nullptr;
    SweepReference(job, sweep);
}

}  // namespace Tarnwell::stereo::detail
#endif  // HWY_ONCE
