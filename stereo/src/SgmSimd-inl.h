// Vector building blocks of the matcher's stages, compiled once per instruction set.
// Included by the stages after <hwy/highway.h> under foreach_target; x86 and Arm intrinsics only
// under their own targets.

#if defined(TARNWELL_STEREO_SGM_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TARNWELL_STEREO_SGM_SIMD_INL_H_
#undef TARNWELL_STEREO_SGM_SIMD_INL_H_
#else
#define TARNWELL_STEREO_SGM_SIMD_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>
#include <cstring>

#include "SgmStripe.h"

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

namespace hn = hwy::HWY_NAMESPACE;
using D8 = hn::ScalableTag<std::uint8_t>;
using V8 = hn::Vec<D8>;

// Vectors of 16, 32 or 64 bytes, known when compiling (the engine builds the Arm targets of fixed
// width: NEON, SVE_256, SVE2_128).
static_assert(hn::MaxLanes(D8()) == 16 || hn::MaxLanes(D8()) == 32 || hn::MaxLanes(D8()) == 64,
              "16-, 32- or 64-byte vectors");
static_assert(kDisparityAlign % hn::MaxLanes(D8()) == 0, "whole vectors per slot");
static_assert(kTilePixels >= hn::MaxLanes(D8()), "a tile holds a vector's lanes of pixels");
inline constexpr int kLanes = static_cast<int>(hn::MaxLanes(D8()));

#if HWY_ARCH_X86
// Down to 16 bytes by halves.
template <class V>
HWY_INLINE hn::Vec128<hn::TFromV<V>> ToQuarter(V v) {
    const hn::Full128<hn::TFromV<V>> d128;
    if constexpr (hn::MaxLanes(hn::DFromV<V>()) * sizeof(hn::TFromV<V>) == 16) {
        return v;
    } else if constexpr (hn::MaxLanes(hn::DFromV<V>()) * sizeof(hn::TFromV<V>) == 32) {
        return hn::Min(hn::LowerHalf(d128, v), hn::UpperHalf(d128, v));
    } else {
#if HWY_TARGET <= HWY_AVX3
        const hn::Full256<hn::TFromV<V>> d256;
        const auto m = hn::Min(hn::LowerHalf(d256, v), hn::UpperHalf(d256, v));
        return hn::Min(hn::LowerHalf(d128, m), hn::UpperHalf(d128, m));
#endif
    }
}
#endif

// The least byte; on x86 through the one horizontal minimum it has (SSE4.1 PHMINPOSUW).
HWY_INLINE std::uint8_t MinOfBytes(V8 v) {
#if HWY_ARCH_X86
    const hn::Full128<std::uint8_t> d128;
    const hn::Full128<std::uint16_t> d16;
    hn::Vec128<std::uint8_t> m = ToQuarter(v);
    // Each 16-bit lane: the lesser of its two bytes, with a zero high byte.
    m = hn::Min(m, hn::BitCast(d128, hn::ShiftRight<8>(hn::BitCast(d16, m))));
    return static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m.raw)));
#else
    return hn::GetLane(hn::MinOfLanes(D8(), v));
#endif
}

// The least 16-bit lane.
template <class V>
HWY_INLINE std::uint16_t MinOfWords(V v) {
#if HWY_ARCH_X86
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(ToQuarter(v).raw)));
#else
    return hn::GetLane(hn::MinOfLanes(hn::DFromV<V>(), v));
#endif
}

// The least byte in every lane, without leaving the vector registers where they allow: it is
// what the next pixel of a horizontal path waits for.
HWY_INLINE V8 BroadcastMinOfBytes(V8 v) {
#if HWY_TARGET <= HWY_AVX3
    const __m256i m =
        _mm256_min_epu8(_mm512_castsi512_si256(v.raw), _mm512_extracti64x4_epi64(v.raw, 1));
    __m128i q = _mm_min_epu8(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
    q = _mm_min_epu8(q, _mm_srli_epi16(q, 8));
    return V8{_mm512_broadcastb_epi8(_mm_minpos_epu16(q))};
#elif HWY_ARCH_X86
    return hn::Set(D8(), MinOfBytes(v));
#else
    return hn::MinOfLanes(D8(), v);
#endif
}

#if HWY_TARGET == HWY_AVX3_DL
// Indices into the 128 bytes of two vectors for a shift by one byte.
struct ShiftIndexVectors {
    __m512i before;
    __m512i after;
};
HWY_INLINE ShiftIndexVectors ShiftIndices() {
    const __m512i ramp = hn::Iota(D8(), 0).raw;
    return {_mm512_add_epi8(ramp, _mm512_set1_epi8(63)),
            _mm512_add_epi8(ramp, _mm512_set1_epi8(1))};
}
#endif

// The vector of candidates d-1 (Before) and d+1 (After) from the vectors of one block and its
// neighbours, without a round trip through memory: the previous pixel's costs were stored just
// now, and loads straddling two stores would wait for them to retire.
HWY_INLINE V8 Before(V8 current, V8 previous) {
    const D8 d;
#if HWY_TARGET == HWY_SVE_256
    // Byte n-1 of the previous vector, then bytes 0..n-2 of this one.
    (void)d;
    return svext_u8(previous, current, kLanes - 1);
#else
    if constexpr (kLanes == 16) {
        return hn::CombineShiftRightBytes<15>(d, current, previous);
    } else if constexpr (kLanes == 32) {
        return hn::CombineShiftRightBytes<15>(d, current,
                                              hn::ConcatLowerUpper(d, current, previous));
    } else {
#if HWY_TARGET == HWY_AVX3_DL
        return V8{_mm512_permutex2var_epi8(previous.raw, ShiftIndices().before, current.raw)};
#elif HWY_TARGET <= HWY_AVX3
        // The 16 bytes before each 128-bit block, then the byte before each byte.
        const __m512i blocks = _mm512_alignr_epi64(current.raw, previous.raw, 6);
        return V8{_mm512_alignr_epi8(current.raw, blocks, 15)};
#endif
    }
#endif
}

HWY_INLINE V8 After(V8 current, V8 next) {
    const D8 d;
#if HWY_TARGET == HWY_SVE_256
    (void)d;
    return svext_u8(current, next, 1);
#else
    if constexpr (kLanes == 16) {
        return hn::CombineShiftRightBytes<1>(d, next, current);
    } else if constexpr (kLanes == 32) {
        return hn::CombineShiftRightBytes<1>(d, hn::ConcatLowerUpper(d, next, current), current);
    } else {
#if HWY_TARGET == HWY_AVX3_DL
        return V8{_mm512_permutex2var_epi8(current.raw, ShiftIndices().after, next.raw)};
#elif HWY_TARGET <= HWY_AVX3
        const __m512i blocks = _mm512_alignr_epi64(next.raw, current.raw, 2);
        return V8{_mm512_alignr_epi8(blocks, current.raw, 1)};
#endif
    }
#endif
}

// The path recursion of the reference for Lanes() candidates. The first two operations do not
// depend on the previous pixel's minimum, which is the last thing a horizontal path waits for.
HWY_INLINE V8 Step(V8 before, V8 same, V8 after, V8 previousMin, V8 p1, V8 p2, V8 cost) {
    V8 t = hn::Min(hn::SaturatedAdd(hn::Min(before, after), p1), same);
    t = hn::Min(hn::Sub(t, previousMin), p2);
    return hn::SaturatedAdd(t, cost);
}

// A step from a slot written a row ago, read unaligned at d-1 and d+1.
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

// The lanes of a mask as bits, lane i in bit i.
HWY_INLINE std::uint64_t MaskBits(D8 d, hn::Mask<D8> mask) {
#if HWY_TARGET <= HWY_AVX3
    (void)d;
    return mask.raw;
#else
    std::uint8_t bytes[8] = {};
    hn::StoreMaskBits(d, mask, bytes);
    std::uint64_t bits;
    std::memcpy(&bits, bytes, sizeof(bits));
    return bits;
#endif
}

// The lowest set bit's index; 64 for none.
HWY_INLINE int LowestBit(std::uint64_t bits) {
    return bits ? __builtin_ctzll(bits) : 64;
}

// The least byte of each of kCount vectors stored kLanes bytes apart, in lane order: pairs of
// vectors are halved together, the even bytes against the odd ones, until one vector holds them
// all. About three operations a vector, against a horizontal minimum of each.
template <int kCount>
HWY_INLINE V8 LeastOfEach(D8 d, const std::uint8_t* vectors) {
    if constexpr (kCount == 1) {
        return hn::Load(d, vectors);
    } else {
        const V8 low = LeastOfEach<kCount / 2>(d, vectors);
        const V8 high = LeastOfEach<kCount / 2>(d, vectors + kCount / 2 * kLanes);
        return hn::Min(hn::ConcatEven(d, high, low), hn::ConcatOdd(d, high, low));
    }
}

// LeastOfEach of the kLanes vectors of a tile into `out`.
HWY_INLINE void StoreLeastOfEach(const std::uint8_t* vectors, std::uint8_t* out) {
    const D8 d;
    hn::StoreU(LeastOfEach<kLanes>(d, vectors), d, out);
}

#endif  // HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#endif  // include guard
