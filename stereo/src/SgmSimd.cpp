// SIMD semi-global matching of one stripe, compiled per instruction set and chosen at run time.
// 16- and 32-byte vectors only: AVX-512 machines run the AVX2 code, CPUs without SSE4 the
// reference.
#include "SgmKernel.h"

#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_AVX3 | HWY_AVX3_DL | HWY_SSSE3)
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "SgmSimd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>
#include <type_traits>

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// Without x86 vector instructions the plain code does as well.
void RunStripeSimd(const StripeJob& job) {
    RunStripeReference(job);
}

#else

namespace hn = hwy::HWY_NAMESPACE;
using D8 = hn::ScalableTag<std::uint8_t>;
using V8 = hn::Vec<D8>;

enum class Mode { Winner, StoreForward };

// Row v: the number of bits in which nibble v differs from each nibble 0..15.
struct NibbleDistances {
    alignas(16) std::uint8_t rows[16][16];
};
constexpr NibbleDistances MakeNibbleDistances() {
    NibbleDistances table{};
    for (int v = 0; v < 16; ++v) {
        for (int n = 0; n < 16; ++n) {
            const int x = v ^ n;
            table.rows[v][n] =
                static_cast<std::uint8_t>((x & 1) + (x >> 1 & 1) + (x >> 2 & 1) + (x >> 3));
        }
    }
    return table;
}
constexpr NibbleDistances kNibbleDistance = MakeNibbleDistances();

// Reverses the bytes of each 32-bit word.
alignas(64) constexpr std::uint8_t kSwapWordBytes[64] = {
    3,  2,  1,  0,  7, 6, 5,  4,  11, 10, 9, 8, 15, 14, 13, 12, 3,  2,  1,  0,  7, 6,
    5,  4,  11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1,  0,  7,  6,  5,  4,  11, 10, 9, 8,
    15, 14, 13, 12, 3, 2, 1,  0,  7,  6,  5, 4, 11, 10, 9,  8,  15, 14, 13, 12};

// The least byte, through the one horizontal minimum x86 has (SSE4.1 PHMINPOSUW).
template <class V>
HWY_INLINE std::uint8_t MinOfBytes(V v) {
    const hn::Full128<std::uint8_t> d128;
    const hn::Full128<std::uint16_t> d16;
    hn::Vec128<std::uint8_t> m;
    if constexpr (hn::MaxLanes(hn::DFromV<V>()) == 16) {
        m = v;
    } else {
        m = hn::Min(hn::LowerHalf(d128, v), hn::UpperHalf(d128, v));
    }
    // Each 16-bit lane: the lesser of its two bytes, with a zero high byte.
    m = hn::Min(m, hn::BitCast(d128, hn::ShiftRight<8>(hn::BitCast(d16, m))));
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m.raw)));
}

// The least 16-bit lane.
template <class V>
HWY_INLINE std::uint16_t MinOfWords(V v) {
    const hn::Full128<std::uint16_t> d128;
    hn::Vec128<std::uint16_t> m;
    if constexpr (hn::MaxLanes(hn::DFromV<V>()) == 8) {
        m = v;
    } else {
        m = hn::Min(hn::LowerHalf(d128, v), hn::UpperHalf(d128, v));
    }
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m.raw)));
}

HWY_INLINE V8 ReverseBytes(D8 d, V8 v) {
    const hn::Repartition<std::uint32_t, D8> d32;
    const V8 words = hn::BitCast(d, hn::Reverse(d32, hn::BitCast(d32, v)));
    return hn::TableLookupBytes(words, hn::Load(d, kSwapWordBytes));
}

// Census signature bytes of the Lanes() pixels from x on.
HWY_INLINE void CensusBlock(D8 d, std::uint8_t* const* rows, int x, V8 (&planes)[kCensusBytes]) {
    const V8 centre = hn::LoadU(d, rows[kCensusRadius] + x);
    const V8 zero = hn::Zero(d);
#pragma GCC unroll 4
    for (V8& plane : planes) {
        plane = zero;
    }
    for (int b = 0; b < kCensusBits; ++b) {
        const CensusOffset o = kCensusOffsets[b];
        const V8 neighbour = hn::LoadU(d, rows[kCensusRadius + o.dy] + x + o.dx);
        // Darker than the centre: the saturated difference centre - neighbour is not zero.
        const auto notDarker = hn::Eq(hn::SaturatedSub(centre, neighbour), zero);
        const V8 bit = hn::Set(d, static_cast<std::uint8_t>(1u << (b & 7)));
        planes[b >> 3] = hn::Or(planes[b >> 3], hn::IfThenZeroElse(notDarker, bit));
    }
}

void CensusRow(const StripeJob& job, int y) {
    CopySourceRows(job, y);
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = job.params->width;
    StripeScratch& s = *job.scratch;
    const V8 lowNibble = hn::Set(d, 0x0F);
    V8 planes[kCensusBytes];
    for (int x = 0; x < w; x += n) {
        CensusBlock(d, s.sourceRows[0], x, planes);
#pragma GCC unroll 4
        for (int j = 0; j < kCensusBytes; ++j) {
            hn::StoreU(planes[j], d, s.leftCensus[j] + x);
        }
        CensusBlock(d, s.sourceRows[1], x, planes);
        const int reversed = w - x - n;  // where lane n-1 lands
        hn::StoreU(ReverseBytes(d, hn::LoadU(d, s.sourceRows[1][kCensusRadius] + x)), d,
                   s.rightPixels + reversed);
#pragma GCC unroll 4
        for (int j = 0; j < kCensusBytes; ++j) {
            const V8 r = ReverseBytes(d, planes[j]);
            hn::StoreU(hn::And(r, lowNibble), d, s.rightNibbles[2 * j] + reversed);
            hn::StoreU(hn::And(hn::ShiftRight<4>(r), lowNibble), d,
                       s.rightNibbles[2 * j + 1] + reversed);
        }
    }
}

static_assert(hn::MaxLanes(D8()) == 16 || hn::MaxLanes(D8()) == 32, "16- or 32-byte vectors");

// The vector of candidates d-1 (Before) and d+1 (After) from the vectors of one block and its
// neighbours, without a round trip through memory: the previous pixel's costs were stored just
// now, and loads straddling two stores would wait for them to retire.
template <class V>
HWY_INLINE V Before(V current, V previous) {
    const hn::DFromV<V> d;
    if constexpr (hn::MaxLanes(d) == 16) {
        return hn::CombineShiftRightBytes<15>(d, current, previous);
    } else {
        return hn::CombineShiftRightBytes<15>(d, current,
                                              hn::ConcatLowerUpper(d, current, previous));
    }
}

template <class V>
HWY_INLINE V After(V current, V next) {
    const hn::DFromV<V> d;
    if constexpr (hn::MaxLanes(d) == 16) {
        return hn::CombineShiftRightBytes<1>(d, next, current);
    } else {
        return hn::CombineShiftRightBytes<1>(d, hn::ConcatLowerUpper(d, next, current), current);
    }
}

// The path recursion of the reference for Lanes() candidates.
HWY_INLINE V8 Step(V8 before, V8 same, V8 after, V8 previousMin, V8 p1, V8 p2, V8 cost) {
    V8 t = hn::Min(hn::SaturatedAdd(hn::Min(before, after), p1), same);
    t = hn::Min(hn::Sub(t, previousMin), p2);
    return hn::SaturatedAdd(t, cost);
}

// A step from a slot written long ago, read unaligned at d-1 and d+1.
HWY_INLINE V8 StepFromSlot(D8 d, const std::uint8_t* previous, V8 previousMin, V8 p1, V8 p2,
                           V8 cost) {
    return Step(hn::LoadU(d, previous - 1), hn::Load(d, previous), hn::LoadU(d, previous + 1),
                previousMin, p1, p2, cost);
}

// A horizontal path from the neighbour's slot, which was written by the previous iteration.
class HorizontalStep {
public:
    HorizontalStep(D8 d, const std::uint8_t* previous, V8 least, V8 p1, V8 p2)
        : previous_(previous),
          least_(least),
          p1_(p1),
          p2_(p2),
          before_(hn::Load(d, previous - hn::Lanes(d))),  // guard
          current_(hn::Load(d, previous)) {}

    // Block k, in order.
    HWY_INLINE V8 Next(D8 d, int k, V8 cost) {
        const V8 next = hn::Load(d, previous_ + k + hn::Lanes(d));  // the guard after the last
        const V8 out = Step(Before(current_, before_), current_, After(current_, next), least_, p1_,
                            p2_, cost);
        before_ = current_;
        current_ = next;
        return out;
    }

private:
    const std::uint8_t* previous_;
    V8 least_;
    V8 p1_;
    V8 p2_;
    V8 before_;
    V8 current_;
};

// Matching costs of pixel x's candidates, block by block. Candidates beyond the right image's
// left edge, and padding, cost "infinitely" much: kMasked for the pixels that have any.
template <bool kMasked>
class CostBlocks {
public:
    CostBlocks(D8 d, const StripeJob& job, int x) {
        const KernelParams& p = *job.params;
        const StripeScratch& s = *job.scratch;
        const int dp = p.paddedDisparities;
// Table j maps a right nibble to the number of bits it differs in from left nibble j.
#pragma GCC unroll 4
        for (int j = 0; j < kCensusBytes; ++j) {
            const std::uint8_t bits = s.leftCensus[j][x];
            tables_[2 * j] = hn::LoadDup128(d, kNibbleDistance.rows[bits & 0x0F]);
            tables_[2 * j + 1] = hn::LoadDup128(d, kNibbleDistance.rows[bits >> 4]);
        }
        const int reversed = p.width - 1 - x;
#pragma GCC unroll 4
        for (int j = 0; j < kNibblePlanes; ++j) {
            nibbles_[j] = s.rightNibbles[j] + reversed;
        }
        rightPixels_ = s.rightPixels + reversed;
        leftPixel_ = hn::Set(d, s.sourceRows[0][kCensusRadius][x]);
        border_ = job.tables->borderMask + (dp - 1 - std::min(x, dp - 1));
        padding_ = job.tables->paddingMask;
    }

    HWY_INLINE V8 Block(D8 d, int k) const {
        static_assert(kNibblePlanes == 4);
        const V8 bits01 = hn::Add(hn::TableLookupBytes(tables_[0], hn::LoadU(d, nibbles_[0] + k)),
                                  hn::TableLookupBytes(tables_[1], hn::LoadU(d, nibbles_[1] + k)));
        const V8 bits23 = hn::Add(hn::TableLookupBytes(tables_[2], hn::LoadU(d, nibbles_[2] + k)),
                                  hn::TableLookupBytes(tables_[3], hn::LoadU(d, nibbles_[3] + k)));
        const V8 right = hn::LoadU(d, rightPixels_ + k);
        const V8 difference =
            hn::Min(hn::Sub(hn::Max(leftPixel_, right), hn::Min(leftPixel_, right)),
                    hn::Set(d, std::uint8_t{kIntensityDifferenceCap}));
        V8 cost = hn::Add(hn::Add(bits01, bits23), difference);
        if constexpr (kMasked) {
            cost = hn::Max(cost, hn::Max(hn::LoadU(d, border_ + k), hn::Load(d, padding_ + k)));
        }
        return cost;
    }

private:
    V8 tables_[kNibblePlanes];
    const std::uint8_t* nibbles_[kNibblePlanes];
    const std::uint8_t* rightPixels_;
    V8 leftPixel_;
    const std::uint8_t* border_;
    const std::uint8_t* padding_;
};

// Winner-take-all over the sums as they are produced: each sum is paired with its candidate in
// a 16-bit lane, sum in the high byte, so that the least lane is the least sum with the first
// candidate that has it.
class Winner {
public:
    Winner() : best_(hn::Set(D16(), 0xFFFF)) {}

    HWY_INLINE void Add(D8 d, const std::uint8_t* candidates, V8 sums) {
        const D16 d16;
        const V8 index = hn::Load(d, candidates);
        best_ = hn::Min(best_, hn::Min(hn::BitCast(d16, hn::InterleaveLower(d, index, sums)),
                                       hn::BitCast(d16, hn::InterleaveUpper(d, index, sums))));
    }

    // Records pixel x from the sums, which the caller has stored in scratch.sums.
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
        RecordWinner(job, x, winner, least >> 8, MinOfBytes(second));
    }

private:
    using D16 = hn::Repartition<std::uint16_t, D8>;
    hn::Vec<D16> best_;
};

// A path's costs, less their minimum where asked.
template <bool kRelative>
HWY_INLINE V8 Relative(D8 d, const std::uint8_t* path, V8 least) {
    if constexpr (kRelative) {
        return hn::Sub(hn::Load(d, path), least);
    } else {
        (void)least;
        return hn::Load(d, path);
    }
}

// The sub-pixel disparities of a row, as SubpixelDisparity computes them, Lanes(float) at a time.
void RefineRowSimd(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const StripeScratch& s = *job.scratch;
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
    const hn::Rebind<std::uint8_t, decltype(di)> d8;
    const hn::Rebind<std::uint16_t, decltype(di)> d16;
    const int n = static_cast<int>(hn::Lanes(di));
    const int w = p.width;
    std::uint16_t* disparity = job.output.disparity.Row(y);
    const auto one = hn::Set(di, 1);
    const auto infinite = hn::Set(di, kInfiniteCost);
    const auto last = hn::Set(di, p.disparities - 1);
    const auto scale = hn::Set(di, kDisparityScale);
    const auto half = hn::Set(df, 0.5f);
    int x = 0;
    for (; x + n <= w; x += n) {
        const auto d = hn::PromoteTo(di, hn::LoadU(d8, s.winner + x));
        const auto before = hn::PromoteTo(di, hn::LoadU(d8, s.before + x));
        const auto at = hn::PromoteTo(di, hn::LoadU(d8, s.winnerCost + x));
        const auto after = hn::PromoteTo(di, hn::LoadU(d8, s.after + x));
        const auto denominator = hn::Sub(hn::Add(before, after), hn::Add(at, at));
        const auto refine = hn::And(hn::And(hn::And(hn::Lt(hn::Zero(di), d), hn::Lt(d, last)),
                                            hn::Lt(hn::Zero(di), denominator)),
                                    hn::And(hn::Lt(before, infinite), hn::Lt(after, infinite)));
        const auto offset = hn::Div(
            hn::ConvertTo(df, hn::Mul(hn::Sub(before, after), scale)),
            hn::ConvertTo(df, hn::Add(hn::Max(denominator, one), hn::Max(denominator, one))));
        const auto rounded = hn::ConvertTo(di, hn::Add(offset, hn::CopySign(half, offset)));
        const auto fixed = hn::Add(hn::Mul(d, scale), hn::IfThenElseZero(refine, rounded));
        hn::StoreU(hn::DemoteTo(d16, fixed), d16, disparity + x);
    }
    for (; x < w; ++x) {
        disparity[x] =
            SubpixelDisparity(s.winner[x], s.before[x], s.winnerCost[x], s.after[x], p.disparities);
    }
}

// CheckRow, Lanes(int32) pixels at a time: the right view's winners are gathered four bytes at a
// time from the array of 16-bit entries.
void CheckRowSimd(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const StripeScratch& s = *job.scratch;
    const hn::ScalableTag<std::int32_t> di;
    const hn::RebindToFloat<decltype(di)> df;
    const hn::Rebind<std::uint8_t, decltype(di)> d8;
    const hn::Rebind<std::uint16_t, decltype(di)> d16;
    const int n = static_cast<int>(hn::Lanes(di));
    const int w = p.width;
    std::uint16_t* disparity = job.output.disparity.Row(y);
    std::uint8_t* confidence = job.output.confidence.data ? job.output.confidence.Row(y) : nullptr;
    const auto* right = reinterpret_cast<const std::int32_t*>(s.right);
    const auto zero = hn::Zero(di);
    const auto low = hn::Set(di, 0xFF);
    const auto infinite = hn::Set(di, kInfiniteCost);
    const auto tolerance = hn::Set(di, p.leftRightMaxDiff);
    const auto hundred = hn::Set(di, 100);
    const auto share = hn::Set(di, 100 - p.uniqueness);
    auto inconsistent = [&](decltype(zero) columns, decltype(zero) d) {
        const auto xr = hn::Sub(columns, d);
        const auto held =
            hn::GatherOffset(di, right, hn::Add(hn::Max(xr, zero), hn::Max(xr, zero)));
        return hn::And(
            hn::And(hn::Not(hn::Lt(xr, zero)), hn::Lt(hn::And(held, low), infinite)),
            hn::Gt(hn::Abs(hn::Sub(hn::And(hn::ShiftRight<8>(held), low), d)), tolerance));
    };
    int x = 0;
    for (; x + n <= w; x += n) {
        const auto best = hn::PromoteTo(di, hn::LoadU(d8, s.winnerCost + x));
        const auto second = hn::PromoteTo(di, hn::LoadU(d8, s.second + x));
        const auto fixed = hn::PromoteTo(di, hn::LoadU(d16, disparity + x));
        auto valid = hn::And(hn::Lt(best, infinite),
                             hn::Not(hn::Gt(hn::Mul(best, hundred), hn::Mul(second, share))));
        if (p.leftRightCheck) {
            const auto columns = hn::Iota(di, x);
            const auto lo = hn::ShiftRight<kDisparityFractionBits>(fixed);
            const auto hi = hn::ShiftRight<kDisparityFractionBits>(
                hn::Add(fixed, hn::Set(di, kDisparityScale - 1)));
            valid =
                hn::AndNot(hn::And(inconsistent(columns, lo), inconsistent(columns, hi)), valid);
        }
        const auto out = hn::IfThenElse(valid, fixed, hn::Set(di, kInvalidDisparity));
        hn::StoreU(hn::DemoteTo(d16, out), d16, disparity + x);
        if (confidence) {
            const auto margin =
                hn::ConvertTo(df, hn::Mul(hn::Max(hn::Sub(second, best), zero), hn::Set(di, 255)));
            const auto ratio = hn::Div(margin, hn::ConvertTo(df, hn::Max(second, hn::Set(di, 1))));
            hn::StoreU(hn::DemoteTo(d8, hn::IfThenElseZero(valid, hn::ConvertTo(di, ratio))), d8,
                       confidence + x);
        }
    }
    CheckRow(job, y, x);
}

// Refinement, checks and output of a finished row.
void FinishRowSimd(const StripeJob& job, int y) {
    if (job.params->subpixel) {
        RefineRowSimd(job, y);
    } else {
        RefineRow(job, y);
    }
    if (job.params->leftRightCheck) {
        MapRightWinners(job);
    }
    CheckRowSimd(job, y);
}

// Rows yFirst to yLast downwards. Each row is swept left to right for the matching costs, the
// left-to-right path and the paths from the row above, then right to left for the right-to-left
// path and the sums: the winners (four paths) or the sums for the upward pass (eight).
template <Mode kMode>
void DownwardPass(const StripeJob& job, int yFirst, int yLast) {
    // Paths from the row above: top, top-right, and for eight paths top-left.
    constexpr int kRowPaths = kMode == Mode::Winner ? 2 : 3;
    // Four paths take their sums whole, so the paths from the row above can wait for the second
    // sweep and go into the sums straight from registers; eight need their minima first.
    constexpr bool kRowPathsLate = kMode == Mode::Winner;
    constexpr int kFrom[3] = {0, 1, -1};  // where the paths from the row above come from
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int stride = p.slotStride;
    // Pixels left of this have candidates without a partner in the right view.
    const int unmaskedFrom = p.disparities < dp ? w : std::min(w, dp - 1);
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const V8 p2 = hn::Set(d, static_cast<std::uint8_t>(p.p2));
    auto rowSlot = [&](std::uint8_t* row, int x, int path) {
        return row + (std::size_t(x + 1) * kRowPaths + path) * stride + kSlotGuard;
    };
    StartPass(job);
    int previous = 0;
    for (int y = yFirst; y <= yLast; ++y) {
        CensusRow(job, y);
        const bool inStripe = y >= job.y0;
        const int current = 1 - previous;
        std::uint8_t* prevRow = s.pathRows[previous];
        std::uint8_t* curRow = s.pathRows[current];
        const std::uint8_t* prevMins = s.pathMins[previous];
        std::uint8_t* curMins = s.pathMins[current];

        // Left to right: matching costs, the left-to-right path, the paths from the row above.
        const std::uint8_t* before = Slot(s.horizontal, 0, stride);
        V8 beforeMin = hn::Zero(d);
        auto leftToRight = [&](auto masked, int x) {
            const CostBlocks<decltype(masked)::value> costs(d, job, x);
            std::uint8_t* costOut = s.costs + std::size_t(x) * dp;
            std::uint8_t* lr = Slot(s.leftToRight, x, stride);
            HorizontalStep horizontal(d, before, beforeMin, p1, p2);
            const std::uint8_t* from[kRowPaths];
            V8 fromMin[kRowPaths];
            std::uint8_t* out[kRowPaths];
            V8 least[kRowPaths + 1];
#pragma GCC unroll 4
            for (int path = 0; path < kRowPaths; ++path) {
                from[path] = rowSlot(prevRow, x + kFrom[path], path);
                fromMin[path] = hn::Set(d, prevMins[(x + kFrom[path] + 1) * kRowPaths + path]);
                out[path] = rowSlot(curRow, x, path);
            }
#pragma GCC unroll 4
            for (V8& l : least) {
                l = hn::Set(d, kInfiniteCost);
            }
            for (int k = 0; k < dp; k += n) {
                const V8 cost = costs.Block(d, k);
                hn::Store(cost, d, costOut + k);
                const V8 h = horizontal.Next(d, k, cost);
                hn::Store(h, d, lr + k);
                least[kRowPaths] = hn::Min(least[kRowPaths], h);
                if constexpr (!kRowPathsLate) {
#pragma GCC unroll 4
                    for (int path = 0; path < kRowPaths; ++path) {
                        const V8 l = StepFromSlot(d, from[path] + k, fromMin[path], p1, p2, cost);
                        hn::Store(l, d, out[path] + k);
                        least[path] = hn::Min(least[path], l);
                    }
                }
            }
            const std::uint8_t lrMin = MinOfBytes(least[kRowPaths]);
            s.leftToRightMins[x] = lrMin;
            beforeMin = hn::Set(d, lrMin);
            before = lr;
            if constexpr (!kRowPathsLate) {
#pragma GCC unroll 4
                for (int path = 0; path < kRowPaths; ++path) {
                    curMins[(x + 1) * kRowPaths + path] = MinOfBytes(least[path]);
                }
            }
        };
        int x = 0;
        for (; x < unmaskedFrom; ++x) {
            leftToRight(std::true_type(), x);
        }
        for (; x < w; ++x) {
            leftToRight(std::false_type(), x);
        }

        // Right to left: the right-to-left path and the sums of all paths.
        before = Slot(s.horizontal, 0, stride);
        beforeMin = hn::Zero(d);
        for (int x = w - 1; x >= 0; --x) {
            const std::uint8_t* costIn = s.costs + std::size_t(x) * dp;
            std::uint8_t* rl = Slot(s.horizontal, 1 + (x & 1), stride);
            HorizontalStep horizontal(d, before, beforeMin, p1, p2);
            // Eight paths would overflow the sums unless each is taken relative to its minimum.
            constexpr bool kRelative = kMode == Mode::StoreForward;
            const std::uint8_t* lr = Slot(s.leftToRight, x, stride);
            const V8 lrMin = hn::Set(d, kRelative ? s.leftToRightMins[x] : std::uint8_t{0});
            std::uint8_t* row[kRowPaths];
            V8 rowMin[kRowPaths];
            const std::uint8_t* from[kRowPaths];
            V8 fromMin[kRowPaths];
            V8 least[kRowPaths];
#pragma GCC unroll 4
            for (int path = 0; path < kRowPaths; ++path) {
                row[path] = rowSlot(curRow, x, path);
                rowMin[path] =
                    hn::Set(d, kRelative ? curMins[(x + 1) * kRowPaths + path] : std::uint8_t{0});
                from[path] = rowSlot(prevRow, x + kFrom[path], path);
                fromMin[path] = hn::Set(d, prevMins[(x + kFrom[path] + 1) * kRowPaths + path]);
                least[path] = hn::Set(d, kInfiniteCost);
            }
            std::uint8_t* sums = s.sums;
            if constexpr (kMode == Mode::StoreForward) {
                sums = s.forward + (std::size_t(std::max(y - job.y0, 0)) * w + x) * dp;
            }
            V8 rlLeast = hn::Set(d, kInfiniteCost);
            Winner winner;
            for (int k = 0; k < dp; k += n) {
                const V8 cost = hn::Load(d, costIn + k);
                const V8 h = horizontal.Next(d, k, cost);
                hn::Store(h, d, rl + k);
                rlLeast = hn::Min(rlLeast, h);
                V8 sum = hn::SaturatedAdd(h, Relative<kRelative>(d, lr + k, lrMin));
#pragma GCC unroll 4
                for (int path = 0; path < kRowPaths; ++path) {
                    if constexpr (kRowPathsLate) {
                        const V8 l = StepFromSlot(d, from[path] + k, fromMin[path], p1, p2, cost);
                        hn::Store(l, d, row[path] + k);
                        least[path] = hn::Min(least[path], l);
                        sum = hn::SaturatedAdd(sum, l);
                    } else {
                        sum = hn::SaturatedAdd(sum,
                                               Relative<kRelative>(d, row[path] + k, rowMin[path]));
                    }
                }
                // Warm-up rows store sums too, branch-free; the stripe's rows overwrite them.
                if constexpr (kMode == Mode::StoreForward) {
                    hn::Stream(sum, d, sums + k);
                } else {
                    hn::Store(sum, d, sums + k);
                    winner.Add(d, job.tables->candidates + k, sum);
                }
            }
            beforeMin = hn::Set(d, MinOfBytes(rlLeast));
            before = rl;
            if constexpr (kRowPathsLate) {
#pragma GCC unroll 4
                for (int path = 0; path < kRowPaths; ++path) {
                    curMins[(x + 1) * kRowPaths + path] = MinOfBytes(least[path]);
                }
            }
            if (kMode == Mode::Winner && inStripe) {
                winner.Decide(d, job, x);
            }
        }
        if (kMode == Mode::Winner && inStripe) {
            FinishRowSimd(job, y);
        }
        previous = current;
    }
}

// Rows from yFirst up to yLast, with the paths from the row below, added to the downward sums.
void UpwardPass(const StripeJob& job, int yFirst, int yLast) {
    constexpr int kRowPaths = 3;  // bottom, bottom-right, bottom-left
    const KernelParams& p = *job.params;
    StripeScratch& s = *job.scratch;
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int stride = p.slotStride;
    // Pixels left of this have candidates without a partner in the right view.
    const int unmaskedFrom = p.disparities < dp ? w : std::min(w, dp - 1);
    const V8 p1 = hn::Set(d, static_cast<std::uint8_t>(p.p1));
    const V8 p2 = hn::Set(d, static_cast<std::uint8_t>(p.p2));
    auto rowSlot = [&](std::uint8_t* row, int x, int path) {
        return row + (std::size_t(x + 1) * kRowPaths + path) * stride + kSlotGuard;
    };
    StartPass(job);
    int previous = 0;
    for (int y = yFirst; y >= yLast; --y) {
        CensusRow(job, y);
        const bool inStripe = y < job.y1;
        const int current = 1 - previous;
        std::uint8_t* prevRow = s.pathRows[previous];
        std::uint8_t* curRow = s.pathRows[current];
        const std::uint8_t* prevMins = s.pathMins[previous];
        std::uint8_t* curMins = s.pathMins[current];
        auto upward = [&](auto masked, int x) {
            const CostBlocks<decltype(masked)::value> costs(d, job, x);
            constexpr int kFrom[3] = {0, 1, -1};
            const std::uint8_t* from[kRowPaths];
            V8 fromMin[kRowPaths];
            std::uint8_t* out[kRowPaths];
            V8 least[kRowPaths];
#pragma GCC unroll 4
            for (int path = 0; path < kRowPaths; ++path) {
                from[path] = rowSlot(prevRow, x + kFrom[path], path);
                fromMin[path] = hn::Set(d, prevMins[(x + kFrom[path] + 1) * kRowPaths + path]);
                out[path] = rowSlot(curRow, x, path);
                least[path] = hn::Set(d, kInfiniteCost);
            }
            const std::uint8_t* forward =
                s.forward + (std::size_t(std::min(y, job.y1 - 1) - job.y0) * w + x) * dp;
            Winner winner;
            for (int k = 0; k < dp; k += n) {
                const V8 cost = costs.Block(d, k);
                V8 sum = hn::Load(d, forward + k);
#pragma GCC unroll 4
                for (int path = 0; path < kRowPaths; ++path) {
                    const V8 l = StepFromSlot(d, from[path] + k, fromMin[path], p1, p2, cost);
                    hn::Store(l, d, out[path] + k);
                    least[path] = hn::Min(least[path], l);
                    sum = hn::SaturatedAdd(sum, l);
                }
                if (inStripe) {
                    hn::Store(sum, d, s.sums + k);
                    winner.Add(d, job.tables->candidates + k, sum);
                }
            }
#pragma GCC unroll 4
            for (int path = 0; path < kRowPaths; ++path) {
                curMins[(x + 1) * kRowPaths + path] = MinOfBytes(least[path]);
            }
            if (inStripe) {
                winner.Decide(d, job, x);
            }
        };
        int x = 0;
        for (; x < unmaskedFrom; ++x) {
            upward(std::true_type(), x);
        }
        for (; x < w; ++x) {
            upward(std::false_type(), x);
        }
        if (inStripe) {
            FinishRowSimd(job, y);
        }
        previous = current;
    }
}

void RunStripeSimd(const StripeJob& job) {
    const int h = job.params->height;
    const int top = std::max(0, job.y0 - job.warmUp);
    if (job.params->paths == 4) {
        DownwardPass<Mode::Winner>(job, top, job.y1 - 1);
        return;
    }
    DownwardPass<Mode::StoreForward>(job, top, job.y1 - 1);
    UpwardPass(job, std::min(h - 1, job.y1 - 1 + job.warmUp), job.y0);
}

#endif  // HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace Tarnwell::stereo::detail {

HWY_EXPORT(RunStripeSimd);

void RunStripe(const StripeJob& job) {
    HWY_DYNAMIC_DISPATCH(RunStripeSimd)(job);
}

const char* KernelTargetName() {
    const std::int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
    return hwy::TargetName(usable & -usable);
}

}  // namespace Tarnwell::stereo::detail
#endif
