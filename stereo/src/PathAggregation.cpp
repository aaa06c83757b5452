// Path aggregation per target: one sweep routine for every direction and every pass.
#include "PathAggregation.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PathAggregation.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstdlib>

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

// P2 for the step into each pixel x of `row` from pixel x + dx of `from` (clamped to the row).
void PenaltyRow(const StripeJob& job, const std::uint8_t* row, const std::uint8_t* from, int dx,
                std::uint8_t* out) {
    const int w = job.params->width;
    const std::uint8_t* table = job.tables->largePenalty;
    auto one = [&](int x) {
        out[x] = table[std::abs(int(row[x]) - int(from[std::clamp(x + dx, 0, w - 1)]))];
    };
    int x = 0;
#if HWY_TARGET == HWY_AVX3_DL
    // The 256-entry table in four vectors: two two-vector byte permutes and a blend on bit 7.
    const D8 d;
    const __m512i t0 = hn::LoadU(d, table).raw;
    const __m512i t1 = hn::LoadU(d, table + 64).raw;
    const __m512i t2 = hn::LoadU(d, table + 128).raw;
    const __m512i t3 = hn::LoadU(d, table + 192).raw;
    for (; x < std::min(1, w); ++x) {
        one(x);
    }
    for (; x + kLanes + 1 <= w; x += kLanes) {
        const V8 a = hn::LoadU(d, row + x);
        const V8 b = hn::LoadU(d, from + x + dx);
        const __m512i step = hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a)).raw;
        const __m512i low = _mm512_permutex2var_epi8(t0, step, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, step, t3);
        hn::StoreU(V8{_mm512_mask_blend_epi8(_mm512_movepi8_mask(step), low, high)}, d, out + x);
    }
#endif
    for (; x < w; ++x) {
        one(x);
    }
}

// The penalties of a sweep of row y into scratch.penalties: along the row, from the pixel swept
// just before; from the previous row of the pass for each path from it.
void SweepPenalties(const StripeJob& job, int y, bool leftToRight, int rowPaths) {
    const int h = job.params->height;
    const std::uint8_t* row = job.left.Row(y);
    const std::uint8_t* previous = job.left.Row(std::clamp(leftToRight ? y - 1 : y + 1, 0, h - 1));
    std::uint8_t* const* out = job.scratch->penalties;
    PenaltyRow(job, row, row, leftToRight ? -1 : 1, out[0]);
    for (int r = 0; r < rowPaths; ++r) {
        PenaltyRow(job, row, previous, kRowPathFrom[r], out[1 + r]);
    }
}

// Where a sweep reads and writes the paths from the previous row, pixel by pixel: a path's slot
// of the previous row moves one slot around the ring per pixel, and the slot it writes for a
// pixel is the one it read for the pixel before (RingShift).
template <int kRowPaths, bool kLeftToRight>
struct RowPathState {
    RowPathState(PathRing* rings, int stride, int width, const StripeScratch& s)
        : slotStep(kLeftToRight ? stride : -stride) {
        const int first = kLeftToRight ? 0 : width - 1;
        for (int r = 0; r < kRowPaths; ++r) {
            const PathRing& ring = rings[r];
            const int dx = kRowPathFrom[r];
            const int toOrigin =
                (ring.origin + RingShift(kLeftToRight, dx) + ring.size) % ring.size;
            begin[r] = RingSlot(ring, 0, stride);
            last[r] = RingSlot(ring, ring.size - 1, stride);
            from[r] = RingSlot(ring, RingIndex(ring, first + dx, ring.origin), stride);
            to[r] = RingSlot(ring, RingIndex(ring, first, toOrigin), stride);
            minsFrom[r] = ring.mins[ring.previous] + first + dx + 1;
            minsTo[r] = ring.mins[ring.previous ^ 1];
            penalty[r] = s.penalties[1 + r] + first;
        }
    }

    // On to the next pixel of the sweep.
    HWY_INLINE void Advance() {
#pragma GCC unroll 4
        for (int r = 0; r < kRowPaths; ++r) {
            to[r] = from[r];
            std::uint8_t* next = from[r] + slotStep;
            if constexpr (kLeftToRight) {
                from[r] = next > last[r] ? begin[r] : next;
            } else {
                from[r] = next < begin[r] ? last[r] : next;
            }
            minsFrom[r] += kLeftToRight ? 1 : -1;
            penalty[r] += kLeftToRight ? 1 : -1;
        }
    }

    std::ptrdiff_t slotStep;
    std::uint8_t* begin[kRowPaths + 1];
    std::uint8_t* last[kRowPaths + 1];
    // The current pixel's slot of the previous row, its least cost and penalty, and its slot of
    // this row.
    std::uint8_t* from[kRowPaths + 1];
    const std::uint8_t* minsFrom[kRowPaths + 1];
    const std::uint8_t* penalty[kRowPaths + 1];
    std::uint8_t* to[kRowPaths + 1];
    std::uint8_t* minsTo[kRowPaths + 1];
    // Each pixel's slot of this row, for sums relative to the paths' least costs.
    std::uint8_t* out[kRowPaths + 1][kTilePixels];
};

// The least costs of each path from the previous row of the `count` pixels from x0 on, from the
// tile's vectors of least costs.
template <class Paths>
HWY_INLINE void StoreTileMins(const StripeScratch& s, int rowPaths, Paths& paths, int x0,
                              int count) {
    alignas(64) std::uint8_t least[kTilePixels];
    for (int r = 0; r < rowPaths; ++r) {
        std::uint8_t* to = paths.minsTo[r] + x0 + 1;
        if (count == kLanes) {
            StoreLeastOfEach(s.tileLeast + r * kLanes * kLanes, to);
        } else {
            // Only the tile's own pixels: the others were written already, or are the border.
            StoreLeastOfEach(s.tileLeast + r * kLanes * kLanes, least);
            std::copy_n(least, count, to);
        }
    }
}

// The end of a tile of relative sums: the horizontal path's share (and the addend) of each pixel
// is in its tile slot; the paths from the previous row enter less their least costs, found only
// now. Then out as kOut says (for the selection, the sums for SelectTile). `parity` names the
// tile's buffers. (The 64-byte kernels keep a pixel's paths in registers and find their least
// costs one pixel at a time.)
template <int kBlocks, int kRowPaths, Out kOut, class Paths>
HWY_INLINE void FinishRelativeTile(const StripeJob& job, const Paths& paths, int parity, int x0,
                                   int count, std::uint8_t* sumsRow) {
    const D8 d;
    StripeScratch& s = *job.scratch;
    const int dp = kBlocks > 0 ? kBlocks * kLanes : job.params->paddedDisparities;
    const int stride = kSlotGuard + dp;
    for (int i = 0; i < count; ++i) {
        const int x = x0 + i;
        std::uint8_t* sums = TileSums(s, parity, i, stride);
        V8 base[kRowPaths + 1];
#pragma GCC unroll 4
        for (int r = 0; r < kRowPaths; ++r) {
            base[r] = hn::Set(d, paths.minsTo[r][x + 1]);
        }
        {
            V8 least = hn::Set(d, kInfiniteCost);
            for (int k = 0; k < dp; k += kLanes) {
                V8 sum = hn::Load(d, sums + k);
#pragma GCC unroll 4
                for (int r = 0; r < kRowPaths; ++r) {
                    sum = hn::SaturatedAdd(sum, hn::Sub(hn::Load(d, paths.out[r][i] + k), base[r]));
                }
                if constexpr (kOut == Out::Stream) {
                    hn::Stream(sum, d, sumsRow + std::size_t(x) * dp + k);
                } else {
                    hn::Store(sum, d, sums + k);
                    least = hn::Min(least, sum);
                }
            }
            if constexpr (kOut == Out::Select) {
                hn::Store(least, d, TileLeastOfSums(s, parity) + i * kLanes);
            }
        }
    }
}

// The winners of the tile before, pixel by pixel while the sweep goes on (pixel j of this tile
// with pixel j of that one): the horizontal path waits for each pixel's least cost, and its
// chain of dependent operations leaves room for them.
template <int kBlocks>
class PipelinedSelection {
public:
    // A row's selection starts with no claims on the right view's pixels.
    PipelinedSelection(const StripeJob& job, bool selecting) {
        if (selecting) {
            std::fill_n(job.scratch->selection.right, job.params->width, kUnclaimed);
        }
    }

    // At the start of a tile: the tile before is selected during this one.
    HWY_INLINE void StartTile(const StripeJob& job) {
        if (count_ > 0) {
            TileBest(job, parity_ ^ 1, best_);
        }
    }
    HWY_INLINE void Pixel(const StripeJob& job, int j, int stride) {
        if (j < count_) {
            SelectPixel<kBlocks>(job, parity_ ^ 1, j, x0_ + j,
                                 TileSums(*job.scratch, parity_ ^ 1, j, stride), best_[j]);
        }
    }
    // At the end of a tile, which the next one will select. A last tile shorter than the one
    // before left some of that one's pixels unselected.
    HWY_INLINE void EndTile(const StripeJob& job, int x0, int count, int stride) {
        for (int j = count; j < count_; ++j) {
            Pixel(job, j, stride);
        }
        if (count_ > 0) {
            FinishSelection(job, parity_ ^ 1, x0_, count_);
        }
        x0_ = x0;
        count_ = count;
        parity_ ^= 1;
    }
    // After the row: the last tile alone.
    HWY_INLINE void Finish(const StripeJob& job) {
        if (count_ > 0) {
            SelectTile<kBlocks>(job, parity_ ^ 1, x0_, count_);
        }
    }
    // The buffers of the tile being swept.
    int Parity() const { return parity_; }

private:
    int parity_ = 0;
    int x0_ = 0;
    int count_ = 0;
    alignas(64) std::uint8_t best_[kTilePixels];
};

// Sweep (PathAggregation.h) in tiles of kLanes pixels, with its switches fixed at compile time so
// that the paths' state stays in registers: the least costs of the paths from the previous row,
// and the winners, are found for a whole tile at once. The horizontal path goes through a slot
// of memory from pixel to pixel.
template <bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRow(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
              std::uint8_t* sumsRow) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int stride = p.slotStride;
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const V8 infinite = hn::Set(d, kInfiniteCost);
    SweepPenalties(job, y, kLeftToRight, kRowPaths);
    const std::uint8_t* along = s.penalties[0];
    RowPathState<kRowPaths, kLeftToRight> paths(rings, stride, w, s);
    const std::uint8_t* before = Slot(s.horizontal, 0, stride);
    V8 beforeMin = hn::Zero(d);
    PipelinedSelection<0> selection(job, kOut == Out::Select);
    for (int tile = 0; tile < w; tile += kLanes) {
        const int count = std::min(kLanes, w - tile);
        const int x0 = kLeftToRight ? tile : w - tile - count;
        const int parity = selection.Parity();
        if constexpr (kOut == Out::Select) {
            selection.StartTile(job);
        }
        for (int j = 0; j < count; ++j) {
            const int x = kLeftToRight ? tile + j : w - 1 - tile - j;
            const int i = x - x0;
            const std::size_t pixel = std::size_t(x) * dp;
            const std::uint8_t* costs = job.scratch->costs + pixel;
            std::uint8_t* horizontalOut = Slot(s.horizontal, 1 + (j & 1), stride);
            std::uint8_t* sums = TileSums(s, parity, i, stride);
            HorizontalStep horizontal(d, before, beforeMin, p1, hn::Set(d, along[x]));
            const std::uint8_t* from[kRowPaths + 1];
            V8 fromMin[kRowPaths + 1];
            V8 p2[kRowPaths + 1];
            V8 least[kRowPaths + 2];
#pragma GCC unroll 4
            for (int r = 0; r < kRowPaths; ++r) {
                from[r] = paths.from[r];
                fromMin[r] = hn::Set(d, *paths.minsFrom[r]);
                p2[r] = hn::Set(d, *paths.penalty[r]);
                paths.out[r][i] = paths.to[r];
            }
            paths.Advance();
#pragma GCC unroll 4
            for (V8& l : least) {
                l = infinite;
            }
            for (int k = 0; k < dp; k += kLanes) {
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
                    hn::Store(l, d, paths.out[r][i] + k);
                    least[r] = hn::Min(least[r], l);
                    if constexpr (!kRelative) {
                        sum = hn::SaturatedAdd(sum, l);
                    }
                }
                if constexpr (!kRelative) {
                    if constexpr (kOut == Out::Store) {
                        hn::Store(sum, d, sumsRow + pixel + k);
                    } else if constexpr (kOut == Out::Stream) {
                        hn::Stream(sum, d, sumsRow + pixel + k);
                    } else if constexpr (kOut == Out::Select) {
                        hn::Store(sum, d, sums + k);
                        least[kRowPaths + 1] = hn::Min(least[kRowPaths + 1], sum);
                    }
                }
            }
#pragma GCC unroll 4
            for (int r = 0; r < kRowPaths; ++r) {
                hn::Store(least[r], d, s.tileLeast + (r * kLanes + i) * kLanes);
            }
            const V8 hMin = BroadcastMinOfBytes(least[kRowPaths]);
            if constexpr (kRelative && kOut != Out::None) {
                // The horizontal path's share, now that its least cost is known.
                for (int k = 0; k < dp; k += kLanes) {
                    V8 sum = hn::Sub(hn::Load(d, horizontalOut + k), hMin);
                    if constexpr (kAddend) {
                        sum = hn::SaturatedAdd(sum, hn::Load(d, addend + pixel + k));
                    }
                    hn::Store(sum, d, sums + k);
                }
            } else if constexpr (kOut == Out::Select) {
                hn::Store(least[kRowPaths + 1], d, TileLeastOfSums(s, parity) + i * kLanes);
            }
            beforeMin = hMin;
            before = horizontalOut;
            if constexpr (kOut == Out::Select) {
                selection.Pixel(job, j, stride);
            }
        }
        StoreTileMins(s, kRowPaths, paths, x0, count);
        if constexpr (kRelative && kOut != Out::None) {
            FinishRelativeTile<0, kRowPaths, kOut>(job, paths, parity, x0, count, sumsRow);
        }
        if constexpr (kOut == Out::Select) {
            selection.EndTile(job, x0, count, stride);
        }
    }
    if constexpr (kOut == Out::Select) {
        selection.Finish(job);
    }
}

#if HWY_TARGET <= HWY_AVX3
// A horizontal path with a pixel's kBlocks vectors in registers.
template <int kBlocks>
class HorizontalPath {
public:
    HorizontalPath() {
#pragma GCC unroll 4
        for (V8& v : previous_) {
            v = hn::Zero(D8());
        }
        previousMin_ = hn::Zero(D8());
    }

    // The step into the next pixel, of costs `cost` and P2 `p2`: its path into `h`. Returns its
    // least cost, in every lane.
    HWY_INLINE V8 Next(V8 p1, V8 p2, const V8 (&cost)[kBlocks], V8 (&h)[kBlocks]) {
        const V8 infinite = hn::Set(D8(), kInfiniteCost);
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            const V8 before = Before(previous_[k], k > 0 ? previous_[k - 1] : infinite);
            const V8 after = After(previous_[k], k + 1 < kBlocks ? previous_[k + 1] : infinite);
            h[k] = Step(before, previous_[k], after, previousMin_, p1, p2, cost[k]);
        }
        V8 least = h[0];
#pragma GCC unroll 4
        for (int k = 1; k < kBlocks; ++k) {
            least = hn::Min(least, h[k]);
        }
        previousMin_ = BroadcastMinOfBytes(least);
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            previous_[k] = h[k];
        }
        return previousMin_;
    }

private:
    V8 previous_[kBlocks];
    V8 previousMin_;
};

// SweepRow for 64-byte vectors, with a pixel's kBlocks vectors of every path in registers: the
// horizontal path passes from pixel to pixel without a store (a 64-byte load of a 64-byte store
// just made waits for it to be written), and so do the sums.
template <int kBlocks, bool kLeftToRight, int kRowPaths, bool kRelative, bool kAddend, Out kOut>
void SweepRowWide(const StripeJob& job, int y, PathRing* rings, const std::uint8_t* addend,
                  std::uint8_t* sumsRow) {
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    constexpr int n = 64;
    constexpr int dp = kBlocks * n;
    constexpr int stride = kSlotGuard + dp;
    const int w = p.width;
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const std::uint8_t* costsRow = job.scratch->costs;
    SweepPenalties(job, y, kLeftToRight, kRowPaths);
    const std::uint8_t* along = s.penalties[0];
    RowPathState<kRowPaths, kLeftToRight> paths(rings, stride, w, s);
    HorizontalPath<kBlocks> horizontal;
    if constexpr (kOut == Out::Select) {
        std::fill_n(s.selection.right, w, kUnclaimed);
    }
    for (int tile = 0; tile < w; tile += n) {
        const int count = std::min(n, w - tile);
        const int x0 = kLeftToRight ? tile : w - tile - count;
        for (int j = 0; j < count; ++j) {
            const int x = kLeftToRight ? tile + j : w - 1 - tile - j;
            const int i = x - x0;
            (void)i;
            const std::size_t pixel = std::size_t(x) * dp;
            V8 cost[kBlocks];
            V8 h[kBlocks];
            V8 sum[kBlocks];
#pragma GCC unroll 4
            for (int k = 0; k < kBlocks; ++k) {
                cost[k] = hn::Load(d, costsRow + pixel + k * n);
            }
            const V8 hMin = horizontal.Next(p1, hn::Set(d, along[x]), cost, h);
#pragma GCC unroll 4
            for (int k = 0; k < kBlocks; ++k) {
                sum[k] = kRelative ? hn::Sub(h[k], hMin) : h[k];
                if constexpr (kAddend) {
                    sum[k] = hn::SaturatedAdd(sum[k], hn::Load(d, addend + pixel + k * n));
                }
            }
#pragma GCC unroll 4
            for (int r = 0; r < kRowPaths; ++r) {
                const std::uint8_t* from = paths.from[r];
                const V8 fromMin = hn::Set(d, *paths.minsFrom[r]);
                const V8 fromP2 = hn::Set(d, *paths.penalty[r]);
                std::uint8_t* out = paths.to[r];
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
                if constexpr (kRelative) {
                    // The sums need the least cost now, while the paths are in registers.
                    const V8 pathMin = BroadcastMinOfBytes(pathLeast);
                    paths.minsTo[r][x + 1] = hn::GetLane(pathMin);
#pragma GCC unroll 4
                    for (int k = 0; k < kBlocks; ++k) {
                        sum[k] = hn::SaturatedAdd(sum[k], hn::Sub(l[k], pathMin));
                    }
                } else {
                    hn::Store(pathLeast, d, s.tileLeast + (r * n + i) * n);
#pragma GCC unroll 4
                    for (int k = 0; k < kBlocks; ++k) {
                        sum[k] = hn::SaturatedAdd(sum[k], l[k]);
                    }
                }
            }
            paths.Advance();
            if constexpr (kOut == Out::Select) {
                SelectInRegisters<kBlocks>(job, x, sum);
            } else if constexpr (kOut != Out::None) {
#pragma GCC unroll 4
                for (int k = 0; k < kBlocks; ++k) {
                    if constexpr (kOut == Out::Store) {
                        hn::Store(sum[k], d, sumsRow + pixel + k * n);
                    } else {
                        hn::Stream(sum[k], d, sumsRow + pixel + k * n);
                    }
                }
            }
        }
        if constexpr (!kRelative) {
            StoreTileMins(s, kRowPaths, paths, x0, count);
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
        SweepRowAnyWidth<true, 2, false, false, Out::Store>(job, y, s.down, nullptr,
                                                            job.scratch->partial);
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
        const std::uint8_t* costs = job.scratch->costs + pixel;
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
                         ring.mins[ring.previous][x + kRowPathFrom[r] + 1], costs, out);
            ring.mins[ring.previous ^ 1][x + 1] = static_cast<std::uint8_t>(mins[r + 1]);
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
