// Matching cost per target: census signatures and the candidates' costs of a row.
#include "MatchingCost.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "MatchingCost.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <bit>
#include <cstdlib>

#include "SgmSimd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

void Costs(const StripeJob& job, int y) {
    CostsReference(job, y);
}
void Smooth(const StripeJob& job, int y) {
    SmoothReference(job, y);
}
void CostsAndSmooth(const StripeJob& job, int y, int next) {
    CostsAndSmoothReference(job, y, next);
}

#else

// Counting the bits of a byte is one instruction with BITALG; elsewhere each pixel gets lookup
// tables of the distance of its nibbles to any other.
constexpr bool kBytePopcount = HWY_TARGET == HWY_AVX3_DL;

// Row v: the number of bits in which nibble v differs from each nibble 0..15.
struct NibbleDistances {
    alignas(16) std::uint8_t rows[16][16];
};
constexpr NibbleDistances MakeNibbleDistances() {
    NibbleDistances table{};
    for (int v = 0; v < 16; ++v) {
        for (int n = 0; n < 16; ++n) {
            table.rows[v][n] = static_cast<std::uint8_t>(std::popcount(unsigned(v ^ n)));
        }
    }
    return table;
}
constexpr NibbleDistances kNibbleDistance = MakeNibbleDistances();

struct ByteOrder {
    alignas(64) std::uint8_t reversed[64];
    alignas(64) std::uint8_t swapWordBytes[64];  // within each 32-bit word
};
constexpr ByteOrder MakeByteOrder() {
    ByteOrder order{};
    for (int i = 0; i < 64; ++i) {
        order.reversed[i] = static_cast<std::uint8_t>(63 - i);
        order.swapWordBytes[i] = static_cast<std::uint8_t>((i & ~3) % 16 + 3 - (i & 3));
    }
    return order;
}
constexpr ByteOrder kByteOrder = MakeByteOrder();

HWY_INLINE V8 ReverseBytes(D8 d, V8 v) {
#if HWY_TARGET == HWY_AVX3_DL
    return V8{_mm512_permutexvar_epi8(hn::Load(d, kByteOrder.reversed).raw, v.raw)};
#else
    // Words in reverse order, then the bytes of each word.
    const hn::Repartition<std::uint32_t, D8> d32;
    const V8 words = hn::BitCast(d, hn::Reverse(d32, hn::BitCast(d32, v)));
    return hn::TableLookupBytes(words, hn::Load(d, kByteOrder.swapWordBytes));
#endif
}

// Census signature bytes of the Lanes() pixels from x on, and their HighPass.
HWY_INLINE V8 CensusBlock(D8 d, std::uint8_t* const* rows, int x, V8 (&planes)[kCensusBytes]) {
    const V8 centre = hn::LoadU(d, rows[kCensusRadius] + x);
    const V8 zero = hn::Zero(d);
#pragma GCC unroll 4
    for (V8& plane : planes) {
        plane = zero;
    }
#pragma GCC unroll 16
    for (int b = 0; b < kCensusBits; ++b) {
        const CensusOffset o = kCensusOffsets[b];
        const V8 neighbour = hn::LoadU(d, rows[kCensusRadius + o.dy] + x + o.dx);
        // Darker than the centre: the saturated difference centre - neighbour is not zero.
        const auto notDarker = hn::Eq(hn::SaturatedSub(centre, neighbour), zero);
        const V8 bit = hn::Set(d, static_cast<std::uint8_t>(1u << (b & 7)));
        planes[b >> 3] = hn::Or(planes[b >> 3], hn::IfThenZeroElse(notDarker, bit));
    }
    V8 level[kRingSize];
#pragma GCC unroll 8
    for (int i = 0; i < kRingSize; ++i) {
        level[i] = hn::LoadU(d, rows[kCensusRadius + kRing[i].dy] + x + kRing[i].dx);
    }
#pragma GCC unroll 4
    for (int n = kRingSize / 2; n >= 1; n /= 2) {
#pragma GCC unroll 8
        for (int i = 0; i < n; ++i) {
            level[i] = hn::AverageRound(level[2 * i], level[2 * i + 1]);
        }
    }
    const V8 mid = hn::Set(d, 128);
    return hn::SaturatedSub(hn::SaturatedAdd(mid, hn::SaturatedSub(centre, level[0])),
                            hn::SaturatedSub(level[0], centre));
}

void CensusRow(const StripeJob& job, int y) {
    CopySourceRows(job, y);
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = job.params->width;
    CensusRows& c = job.scratch->census;
    const V8 lowNibble = hn::Set(d, 0x0F);
    V8 planes[kCensusBytes];
    for (int x = 0; x < w; x += n) {
        hn::StoreU(CensusBlock(d, c.source[0], x, planes), d, c.leftPixels + x);
#pragma GCC unroll 4
        for (int j = 0; j < kCensusBytes; ++j) {
            hn::StoreU(planes[j], d, c.left[j] + x);
        }
        const V8 rightPixels = CensusBlock(d, c.source[1], x, planes);
        const int reversed = w - x - n;  // where lane n-1 lands
        hn::StoreU(ReverseBytes(d, rightPixels), d, c.rightPixels + reversed);
#pragma GCC unroll 4
        for (int j = 0; j < kCensusBytes; ++j) {
            const V8 r = ReverseBytes(d, planes[j]);
            if constexpr (kBytePopcount) {
                hn::StoreU(r, d, c.rightBytes[j] + reversed);
            } else {
                hn::StoreU(hn::And(r, lowNibble), d, c.rightNibbles[2 * j] + reversed);
                hn::StoreU(hn::And(hn::ShiftRight<4>(r), lowNibble), d,
                           c.rightNibbles[2 * j + 1] + reversed);
            }
        }
    }
}

// Matching costs of pixel x's candidates, block by block, before masking.
class CostBlocks {
public:
    CostBlocks(D8 d, const StripeJob& job, int x) {
        const CensusRows& c = job.scratch->census;
        const int reversed = job.params->width - 1 - x;
// Table j maps a right nibble to the number of bits it differs in from left nibble j.
#pragma GCC unroll 2
        for (int j = 0; j < kCensusBytes; ++j) {
            const std::uint8_t bits = c.left[j][x];
            tables_[2 * j] = hn::LoadDup128(d, kNibbleDistance.rows[bits & 0x0F]);
            tables_[2 * j + 1] = hn::LoadDup128(d, kNibbleDistance.rows[bits >> 4]);
        }
#pragma GCC unroll 4
        for (int j = 0; j < 2 * kCensusBytes; ++j) {
            nibbles_[j] = c.rightNibbles[j] + reversed;
        }
        rightPixels_ = c.rightPixels + reversed;
        leftPixel_ = hn::Set(d, c.leftPixels[x]);
    }

    HWY_INLINE V8 Block(D8 d, int k) const {
        static_assert(kCensusBytes == 2);
        const V8 bits01 = hn::Add(hn::TableLookupBytes(tables_[0], hn::LoadU(d, nibbles_[0] + k)),
                                  hn::TableLookupBytes(tables_[1], hn::LoadU(d, nibbles_[1] + k)));
        const V8 bits23 = hn::Add(hn::TableLookupBytes(tables_[2], hn::LoadU(d, nibbles_[2] + k)),
                                  hn::TableLookupBytes(tables_[3], hn::LoadU(d, nibbles_[3] + k)));
        const V8 right = hn::LoadU(d, rightPixels_ + k);
        const V8 difference = hn::Min(
            hn::Or(hn::SaturatedSub(leftPixel_, right), hn::SaturatedSub(right, leftPixel_)),
            hn::Set(d, std::uint8_t{kIntensityDifferenceCap}));
        return hn::Add(hn::Add(bits01, bits23), difference);
    }

private:
    V8 tables_[2 * kCensusBytes];
    const std::uint8_t* nibbles_[2 * kCensusBytes];
    const std::uint8_t* rightPixels_;
    V8 leftPixel_;
};

#if HWY_TARGET == HWY_AVX3_DL
// The raw costs of the pixels of a row pair whose census is in scratch, pixel by pixel. The right
// view's entries of one pixel start one byte earlier than the previous pixel's: loaded where they
// start, almost every 64-byte load would straddle two cache lines. Aligned loads and a byte
// permute of each pair give the same vectors.
class PixelCosts {
public:
    explicit PixelCosts(const StripeJob& job)
        : c_(job.scratch->census),
          width_(job.params->width),
          disparities_(job.params->disparities),
          ramp_(hn::Iota(D8(), 0).raw),
          planes_{c_.rightBytes[0], c_.rightBytes[1], c_.rightPixels} {}

    // Pixel x's kBlocks vectors of costs (the rest of the padded range, if any, is not asked for).
    template <int kBlocks>
    HWY_INLINE void Compute(int x, V8 (&cost)[kBlocks]) const {
        const D8 d;
        constexpr int n = 64;
        const int reversed = width_ - 1 - x;
        const int aligned = reversed & ~(n - 1);
        const __m512i index = _mm512_add_epi8(ramp_, _mm512_set1_epi8(char(reversed - aligned)));
        const V8 signature0 = hn::Set(d, c_.left[0][x]);
        const V8 signature1 = hn::Set(d, c_.left[1][x]);
        const V8 pixel = hn::Set(d, c_.leftPixels[x]);
        const V8 cap = hn::Set(d, std::uint8_t{kIntensityDifferenceCap});
        __m512i low[3];
#pragma GCC unroll 3
        for (int j = 0; j < 3; ++j) {
            low[j] = hn::Load(d, planes_[j] + aligned).raw;
        }
        // Candidates from here on have no partner in the right view, or are padding.
        const int limit = std::min(x + 1, disparities_);
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            V8 right[3];
#pragma GCC unroll 3
            for (int j = 0; j < 3; ++j) {
                const __m512i high = hn::Load(d, planes_[j] + aligned + k * n + n).raw;
                right[j] = V8{_mm512_permutex2var_epi8(low[j], index, high)};
                low[j] = high;
            }
            const V8 bits = hn::Add(hn::PopulationCount(hn::Xor(signature0, right[0])),
                                    hn::PopulationCount(hn::Xor(signature1, right[1])));
            const V8 difference = hn::Min(
                hn::Or(hn::SaturatedSub(pixel, right[2]), hn::SaturatedSub(right[2], pixel)), cap);
            cost[k] = hn::Add(bits, difference);
            if (k * n + n > limit) {
                cost[k] = hn::IfThenElse(hn::FirstN(d, std::size_t(std::max(limit - k * n, 0))),
                                         cost[k], hn::Set(d, kInfiniteCost));
            }
        }
    }

private:
    const CensusRows& c_;
    int width_;
    int disparities_;
    __m512i ramp_;
    const std::uint8_t* planes_[3];
};

template <int kBlocks>
void CostBlocksOfRow(const StripeJob& job, int y) {
    const D8 d;
    const PixelCosts costs(job);
    std::uint8_t* out = RawCosts(job, y);
    for (int x = 0; x < job.params->width; ++x) {
        V8 cost[kBlocks];
        costs.Compute<kBlocks>(x, cost);
#pragma GCC unroll 4
        for (int k = 0; k < kBlocks; ++k) {
            hn::Store(cost[k], d, out + std::size_t(x) * kBlocks * 64 + k * 64);
        }
    }
}

void Costs(const StripeJob& job, int y) {
    CensusRow(job, y);
    switch (job.params->paddedDisparities / 64) {
        case 1:
            return CostBlocksOfRow<1>(job, y);
        case 2:
            return CostBlocksOfRow<2>(job, y);
        case 3:
            return CostBlocksOfRow<3>(job, y);
        default:
            return CostBlocksOfRow<4>(job, y);
    }
}
#else
void Costs(const StripeJob& job, int y) {
    CensusRow(job, y);
    const KernelParams& p = *job.params;
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int dp = p.paddedDisparities;
    const V8 infinite = hn::Set(d, kInfiniteCost);
    for (int x = 0; x < p.width; ++x) {
        const CostBlocks blocks(d, job, x);
        std::uint8_t* out = RawCosts(job, y) + std::size_t(x) * dp;
        // Candidates from here on have no partner in the right view, or are padding.
        const int limit = std::min(x + 1, p.disparities);
        for (int k = 0; k < dp; k += n) {
            V8 cost = blocks.Block(d, k);
            if (k + n > limit) {
                cost = hn::IfThenElse(hn::FirstN(d, std::size_t(std::max(limit - k, 0))), cost,
                                      infinite);
            }
            hn::Store(cost, d, out + k);
        }
    }
}
#endif  // HWY_TARGET == HWY_AVX3_DL

// SmoothReference, column by column along the row with kBlocks vectors of candidates per column
// (0: as many as the range needs, through a loop); the columns' vertical averages slide along in
// registers, each computed once, and the row is written in order. With kFused, the raw costs of
// row `next` (y - 1 or y + 1, or none if negative) are computed on the way, a pixel ahead.
template <int kBlocks, bool kFused>
void SmoothBlocks(const StripeJob& job, int y, int next) {
    constexpr int kMaxBlocks = kBlocks > 0 ? kBlocks : kMaxDisparities / int(hn::MaxLanes(D8()));
    const KernelParams& p = *job.params;
    const D8 d;
    const int n = static_cast<int>(hn::Lanes(d));
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const int blocks = kBlocks > 0 ? kBlocks : dp / n;
    const std::uint8_t* above = RawCosts(job, std::max(y - 1, 0));
    const std::uint8_t* centre = RawCosts(job, y);
    const std::uint8_t* below = RawCosts(job, std::min(y + 1, p.height - 1));
    std::uint8_t* out = job.scratch->costs;
    const V8 infinite = hn::Set(d, kInfiniteCost);
    const V8 lanes = hn::Iota(d, 0);
#if HWY_TARGET == HWY_AVX3_DL
    static_assert(!kFused || kBlocks > 0, "fused with the costs of 64-byte blocks");
    // The fresh row is the one above or below; its costs go to its raw row too.
    const bool freshAbove = kFused && next >= 0 && next < y;
    const bool freshBelow = kFused && next > y;
    std::uint8_t* fresh = kFused && next >= 0 ? RawCosts(job, next) : nullptr;
    const PixelCosts pixelCosts(job);
    V8 freshCost[kMaxBlocks];
    auto computeFresh = [&](int x) {
        if constexpr (kFused && kBlocks > 0) {
            pixelCosts.Compute<kBlocks>(x, freshCost);
#pragma GCC unroll 4
            for (int k = 0; k < kBlocks; ++k) {
                hn::Store(freshCost[k], d, fresh + std::size_t(x) * dp + std::size_t(k) * n);
            }
        }
    };
#else
    static_assert(!kFused, "fused only with the 64-byte costs");
    (void)next;
    constexpr bool freshAbove = false;
    constexpr bool freshBelow = false;
    V8 freshCost[kMaxBlocks];
    auto computeFresh = [](int) {};
#endif
    auto vertical = [&](int x, int k) {
        const std::size_t i = std::size_t(x) * dp + std::size_t(k) * n;
        const V8 a = freshAbove ? freshCost[k] : hn::Load(d, above + i);
        const V8 b = freshBelow ? freshCost[k] : hn::Load(d, below + i);
        return hn::AverageRound(hn::AverageRound(a, b), hn::Load(d, centre + i));
    };
    V8 previous[kMaxBlocks];
    V8 current[kMaxBlocks];
    if (freshAbove || freshBelow) {
        computeFresh(0);
    }
#pragma GCC unroll 4
    for (int k = 0; k < blocks; ++k) {
        current[k] = vertical(0, k);
        previous[k] = current[k];
    }
    for (int x = 0; x < w; ++x) {
        const int limit = std::min(x + 1, p.disparities);
        const bool last = x + 1 == w;
        if ((freshAbove || freshBelow) && !last) {
            computeFresh(x + 1);
        }
#pragma GCC unroll 4
        for (int k = 0; k < blocks; ++k) {
            const V8 after = last ? current[k] : vertical(x + 1, k);
            V8 before = previous[k];
            V8 cost;
            if (k * n + n > x) {
                // Column x-1 has no partner for candidate x: the centre stands in.
                before =
                    hn::IfThenElse(hn::Eq(lanes, hn::Set(d, static_cast<std::uint8_t>(x - k * n))),
                                   current[k], before);
            }
            cost = hn::AverageRound(hn::AverageRound(before, after), current[k]);
            if (k * n + n > limit) {
                cost = hn::IfThenElse(hn::FirstN(d, std::size_t(std::max(limit - k * n, 0))), cost,
                                      infinite);
            }
            hn::Store(cost, d, out + std::size_t(x) * dp + std::size_t(k) * n);
            previous[k] = current[k];
            current[k] = after;
        }
    }
}

template <bool kFused>
void SmoothAnyWidth(const StripeJob& job, int y, int next) {
    if constexpr (hn::MaxLanes(D8()) == 64) {
        switch (job.params->paddedDisparities / 64) {
            case 1:
                return SmoothBlocks<1, kFused>(job, y, next);
            case 2:
                return SmoothBlocks<2, kFused>(job, y, next);
            case 3:
                return SmoothBlocks<3, kFused>(job, y, next);
            default:
                return SmoothBlocks<4, kFused>(job, y, next);
        }
    } else {
        SmoothBlocks<0, false>(job, y, next);
    }
}

void Smooth(const StripeJob& job, int y) {
    SmoothAnyWidth<false>(job, y, -1);
}

void CostsAndSmooth(const StripeJob& job, int y, int next) {
#if HWY_TARGET == HWY_AVX3_DL
    if (next >= 0) {
        CensusRow(job, next);
    }
    SmoothAnyWidth<true>(job, y, next);
#else
    if (next >= 0) {
        Costs(job, next);
    }
    Smooth(job, y);
#endif
}

#endif  // HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace Tarnwell::stereo::detail {

HWY_EXPORT(Costs);
HWY_EXPORT(Smooth);
HWY_EXPORT(CostsAndSmooth);

void CostsSimd(const StripeJob& job, int y) {
    HWY_DYNAMIC_DISPATCH(Costs)(job, y);
}
void SmoothSimd(const StripeJob& job, int y) {
    HWY_DYNAMIC_DISPATCH(Smooth)(job, y);
}
void CostsAndSmoothSimd(const StripeJob& job, int y, int next) {
    HWY_DYNAMIC_DISPATCH(CostsAndSmooth)(job, y, next);
}

namespace {

// The census signature of pixel x, and its HighPass into `pixel`.
std::uint32_t Signature(std::uint8_t* const* rows, int x, std::uint8_t& pixel) {
    const int centre = rows[kCensusRadius][x];
    std::uint32_t bits = 0;
    for (int b = 0; b < kCensusBits; ++b) {
        const CensusOffset o = kCensusOffsets[b];
        if (rows[kCensusRadius + o.dy][x + o.dx] < centre) {
            bits |= 1u << b;
        }
    }
    int ring[kRingSize];
    for (int i = 0; i < kRingSize; ++i) {
        ring[i] = rows[kCensusRadius + kRing[i].dy][x + kRing[i].dx];
    }
    pixel = HighPass(centre, ring);
    return bits;
}

}  // namespace

void CostsReference(const StripeJob& job, int y) {
    CopySourceRows(job, y);
    const KernelParams& p = *job.params;
    CensusRows& c = job.scratch->census;
    // Signatures in pixel order: byte j of the left one in left[j], of the right in rightBytes[j];
    // so are the pixels' HighPass.
    for (int x = 0; x < p.width; ++x) {
        const std::uint32_t left = Signature(c.source[0], x, c.leftPixels[x]);
        const std::uint32_t right = Signature(c.source[1], x, c.rightPixels[x]);
        for (int j = 0; j < kCensusBytes; ++j) {
            c.left[j][x] = static_cast<std::uint8_t>(left >> (8 * j));
            c.rightBytes[j][x] = static_cast<std::uint8_t>(right >> (8 * j));
        }
    }
    auto signature = [](std::uint8_t* const* planes, int x) {
        return std::uint32_t(planes[0][x]) | std::uint32_t(planes[1][x]) << 8;
    };
    for (int x = 0; x < p.width; ++x) {
        std::uint8_t* out = RawCosts(job, y) + std::size_t(x) * p.paddedDisparities;
        for (int d = 0; d < p.paddedDisparities; ++d) {
            if (d >= p.disparities || d > x) {
                out[d] = kInfiniteCost;
                continue;
            }
            const int bits = std::popcount(signature(c.left, x) ^ signature(c.rightBytes, x - d));
            const int difference = std::abs(int(c.leftPixels[x]) - int(c.rightPixels[x - d]));
            out[d] =
                static_cast<std::uint8_t>(bits + std::min(difference, kIntensityDifferenceCap));
        }
    }
}

void CostsAndSmoothReference(const StripeJob& job, int y, int next) {
    if (next >= 0) {
        CostsReference(job, next);
    }
    SmoothReference(job, y);
}

void SmoothReference(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const int w = p.width;
    const int dp = p.paddedDisparities;
    const std::uint8_t* above = RawCosts(job, std::max(y - 1, 0));
    const std::uint8_t* centre = RawCosts(job, y);
    const std::uint8_t* below = RawCosts(job, std::min(y + 1, p.height - 1));
    auto vertical = [&](int x, int d) {
        const std::size_t i = std::size_t(x) * dp + d;
        return Average(Average(above[i], below[i]), centre[i]);
    };
    for (int x = 0; x < w; ++x) {
        std::uint8_t* out = job.scratch->costs + std::size_t(x) * dp;
        for (int d = 0; d < dp; ++d) {
            // Column x-1 has no partner for candidate x.
            const int before = vertical(d < x ? x - 1 : x, d);
            const int sides = Average(before, vertical(std::min(x + 1, w - 1), d));
            out[d] = d >= p.disparities || d > x
                         ? kInfiniteCost
                         : static_cast<std::uint8_t>(Average(sides, vertical(x, d)));
        }
    }
}

}  // namespace Tarnwell::stereo::detail
#endif  // HWY_ONCE
