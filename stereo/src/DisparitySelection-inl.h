// Each pixel's winner from its aggregated costs, fed block by block by the aggregation's last
// sweep; compiled once per x86 instruction set.

#if defined(TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#undef TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#else
#define TARNWELL_STEREO_DISPARITY_SELECTION_INL_H_
#endif

#include <hwy/highway.h>

#include "DisparitySelection.h"
#include "SgmSimd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

// Winner-take-all over the sums as they are produced: each sum is paired with its candidate in
// a 16-bit lane, sum in the high byte, so that the least lane is the least sum with the first
// candidate that has it.
class Winner {
public:
    Winner() : best_(hn::Set(D16(), 0xFFFF)) {}

    // Block k of the sums; the caller stores it in scratch.sums too.
    HWY_INLINE void Add(D8 d, const std::uint8_t* candidates, V8 sums) {
        const D16 d16;
        const V8 index = hn::Load(d, candidates);
        best_ = hn::Min(best_, hn::Min(hn::BitCast(d16, hn::InterleaveLower(d, index, sums)),
                                       hn::BitCast(d16, hn::InterleaveUpper(d, index, sums))));
    }

    // Records pixel x from the sums in scratch.sums.
    HWY_INLINE void Decide(D8 d, const StripeJob& job, int x) const {
        const StripeScratch& s = *job.scratch;
        const std::uint16_t least = MinOfWords(best_);
        const int winner = least & 0xFF;
        // Second best: the least cost away from the winner and its neighbours.
        const std::uint8_t* exclude = job.tables->winnerMask + (kMaxDisparities - winner);
        const std::uint8_t* sums = s.sums;
        const int dp = job.params->paddedDisparities;
        V8 second = hn::Set(d, kInfiniteCost);
        for (int k = 0; k < dp; k += static_cast<int>(hn::Lanes(d))) {
            second = hn::Min(second, hn::Or(hn::Load(d, sums + k), hn::LoadU(d, exclude + k)));
        }
        RecordWinner(s.selection, s.sums, x, winner, least >> 8, MinOfBytes(second));
    }

private:
    using D16 = hn::Repartition<std::uint16_t, D8>;
    hn::Vec<D16> best_;
};

#if HWY_TARGET <= HWY_AVX3
// The same from a pixel's sums in kBlocks 64-byte registers, without storing them: the winner
// from the lanes equal to the least sum, the second best by a masked minimum, the neighbours by
// byte permutes.
template <int kBlocks>
HWY_INLINE void SelectWide(const StripeJob& job, int x, const V8 (&sums)[kBlocks]) {
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
    const int beforeCost = neighbours & 0xFF;
    const int afterCost = neighbours >> 8 & 0xFF;
#else
    // Without byte permutes, through memory.
    std::uint8_t* stored = job.scratch->sums;
#pragma GCC unroll 4
    for (int k = 0; k < kBlocks; ++k) {
        hn::Store(sums[k], D8(), stored + 64 * k);
    }
    const int beforeCost = stored[winner - 1];
    const int afterCost = stored[winner + 1];
#endif
    // Beyond the range the neighbours are infinitely expensive.
    const int before = winner > 0 ? beforeCost : kInfiniteCost;
    const int after = winner + 1 < dp ? afterCost : kInfiniteCost;
    RecordWinner(job.scratch->selection, x, winner,
                 _mm_cvtsi128_si32(_mm512_castsi512_si128(best.raw)) & 0xFF, before, after,
                 MinOfBytes(V8{second}));
}
#endif

#endif  // HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#endif  // include guard
