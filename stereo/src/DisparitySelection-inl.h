// Each pixel's winner from its aggregated costs, for tiles of pixels whose sums the aggregation's
// last sweep keeps; compiled once per instruction set.

#if defined(TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#undef TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#else
#define TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cstdint>

#include "DisparitySelection.h"
#include "SgmSimd-inl.h"
#include "Validation.h"

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

// The last sweep of a row selects the winners of one tile while it sweeps the next: the two
// alternate between two sets of buffers, `parity` 0 and 1. Each pixel's sums are in a slot.
inline std::uint8_t* TileSums(const StripeScratch& s, int parity, int i, int stride) {
    return Slot(s.tileSums, parity * kTilePixels + i, stride);
}
// Per pixel, the vector of the least sums of its blocks, and of the least sums away from the
// winner.
inline std::uint8_t* TileLeastOfSums(const StripeScratch& s, int parity) {
    return s.tileLeast + (3 + parity) * kLanes * kLanes;
}
inline std::uint8_t* TileLeastOfOthers(const StripeScratch& s, int parity) {
    return s.tileLeast + (5 + parity) * kLanes * kLanes;
}

// SelectReference for pixel x, whose sums are in `sums` and least sum is `best`, but for the
// second best: the least sums away from the winner go to the tile's vectors at i, for the least
// of all the tile's pixels at once (FinishSelection). The winner's claim on the right view's
// pixel goes to the selection too (MapRightWinners), while it is at hand. kBlocks vectors a
// pixel (0: through a loop).
template <int kBlocks>
HWY_INLINE void SelectPixel(const StripeJob& job, int parity, int i, int x,
                            const std::uint8_t* sums, std::uint8_t best) {
    const D8 d;
    const int dp = kBlocks > 0 ? kBlocks * kLanes : job.params->paddedDisparities;
    const V8 least = hn::Set(d, best);
    // The first block with the least sum decides; from the last block down without a branch, as
    // which block it is is data.
    int winner = 0;
#pragma GCC unroll 4
    for (int k = dp - kLanes; k >= 0; k -= kLanes) {
        const std::uint64_t equal = MaskBits(d, hn::Eq(hn::Load(d, sums + k), least));
        winner = equal ? k + LowestBit(equal) : winner;
    }
    const std::uint8_t* exclude = job.tables->winnerMask + (kMaxDisparities - winner);
    V8 others = hn::Set(d, kInfiniteCost);
#pragma GCC unroll 4
    for (int k = 0; k < dp; k += kLanes) {
        others = hn::Min(others, hn::Or(hn::Load(d, sums + k), hn::LoadU(d, exclude + k)));
    }
    hn::Store(others, d, TileLeastOfOthers(*job.scratch, parity) + i * kLanes);
    const Selection& selection = job.scratch->selection;
    RecordWinner(selection, sums, x, winner, best, 0);
    std::uint16_t& held = selection.right[x - winner];
    held = std::min(held, RightClaim(winner, best));
}

// The second best of the `count` pixels from x0 on, once SelectPixel has seen them all.
HWY_INLINE void FinishSelection(const StripeJob& job, int parity, int x0, int count) {
    alignas(64) std::uint8_t second[kTilePixels];
    StoreLeastOfEach(TileLeastOfOthers(*job.scratch, parity), second);
    std::copy_n(second, count, job.scratch->selection.second + x0);
}

// The least sums of a tile's pixels, from their vectors of least sums.
HWY_INLINE void TileBest(const StripeJob& job, int parity, std::uint8_t* best) {
    StoreLeastOfEach(TileLeastOfSums(*job.scratch, parity), best);
}

// The winners of a tile's `count` pixels from x0 on, all at once.
template <int kBlocks>
HWY_INLINE void SelectTile(const StripeJob& job, int parity, int x0, int count) {
    const int dp = kBlocks > 0 ? kBlocks * kLanes : job.params->paddedDisparities;
    alignas(64) std::uint8_t best[kTilePixels];
    TileBest(job, parity, best);
    for (int i = 0; i < count; ++i) {
        SelectPixel<kBlocks>(job, parity, i, x0 + i,
                             TileSums(*job.scratch, parity, i, kSlotGuard + dp), best[i]);
    }
    FinishSelection(job, parity, x0, count);
}

#if HWY_TARGET <= HWY_AVX3
// SelectReference from a pixel's sums in kBlocks 64-byte registers, without storing them: the
// winner from the lanes equal to the least sum, the second best by a masked minimum, the
// neighbours by byte permutes; and the winner's claim on the right view's pixel.
template <int kBlocks>
HWY_INLINE void SelectInRegisters(const StripeJob& job, int x, const V8 (&sums)[kBlocks]) {
    static_assert(kBlocks >= 1 && kBlocks <= 4);
    V8 least = sums[0];
#pragma GCC unroll 4
    for (int k = 1; k < kBlocks; ++k) {
        least = hn::Min(least, sums[k]);
    }
    const V8 best = BroadcastMinOfBytes(least);
    std::uint64_t equal[kBlocks];
#pragma GCC unroll 4
    for (int k = 0; k < kBlocks; ++k) {
        equal[k] = _mm512_cmpeq_epi8_mask(sums[k].raw, best.raw);
    }
    int winner = 0;
#pragma GCC unroll 4
    for (int k = kBlocks - 1; k >= 0; --k) {
        winner = equal[k] ? 64 * k + __builtin_ctzll(equal[k]) : winner;
    }
    // Lane i of block k is candidate 64k+i; the winner and its neighbours stay out of the second.
    auto lane = [](int i) { return i >= 0 && i < 64 ? std::uint64_t{1} << i : std::uint64_t{0}; };
    __m512i second = _mm512_set1_epi8(static_cast<char>(kInfiniteCost));
#pragma GCC unroll 4
    for (int k = 0; k < kBlocks; ++k) {
        const int i = winner - 64 * k;
        const std::uint64_t keep = ~(lane(i - 1) | lane(i) | lane(i + 1));
        second = _mm512_mask_min_epu8(second, keep, second, sums[k].raw);
    }
    const int dp = 64 * kBlocks;
    int beforeCost;
    int afterCost;
#if HWY_TARGET == HWY_AVX3_DL
    // Candidates winner-1 and winner+1 into bytes 0 and 1 by byte permutes.
    const __m512i index = _mm512_zextsi128_si512(
        _mm_cvtsi32_si128(((winner + 1) & 0xFF) << 8 | ((winner - 1) & 0xFF)));
    __m512i pair;
    if constexpr (kBlocks == 1) {
        pair = _mm512_permutexvar_epi8(index, sums[0].raw);
    } else if constexpr (kBlocks == 2) {
        pair = _mm512_permutex2var_epi8(sums[0].raw, index, sums[1].raw);
    } else {
        const __m512i low = _mm512_permutex2var_epi8(sums[0].raw, index, sums[1].raw);
        const __m512i high = _mm512_permutex2var_epi8(
            sums[2].raw, index,
            kBlocks == 4 ? sums[kBlocks - 1].raw : _mm512_set1_epi8(static_cast<char>(-1)));
        pair = _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
    }
    const int neighbours = _mm_cvtsi128_si32(_mm512_castsi512_si128(pair));
    beforeCost = neighbours & 0xFF;
    afterCost = neighbours >> 8 & 0xFF;
#else
    // Without byte permutes, through memory.
    std::uint8_t* stored = job.scratch->sums;
#pragma GCC unroll 4
    for (int k = 0; k < kBlocks; ++k) {
        hn::Store(sums[k], D8(), stored + 64 * k);
    }
    beforeCost = stored[winner - 1];
    afterCost = stored[winner + 1];
#endif
    // Beyond the range the neighbours are infinitely expensive.
    const int bestCost = _mm_cvtsi128_si32(_mm512_castsi512_si128(best.raw)) & 0xFF;
    const Selection& selection = job.scratch->selection;
    RecordWinner(selection, x, winner, bestCost, winner > 0 ? beforeCost : kInfiniteCost,
                 winner + 1 < dp ? afterCost : kInfiniteCost, MinOfBytes(V8{second}));
    std::uint16_t& held = selection.right[x - winner];
    held = std::min(held, RightClaim(winner, bestCost));
}
#endif

#endif  // HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#endif  // include guard
