// Disparity selection: the winner's definition and the sub-pixel refinement of a row, per target.
#include "DisparitySelection.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "DisparitySelection.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstdlib>

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

void Refine(const StripeJob& job, int y) {
    RefineReference(job, y);
}

#else

namespace hn = hwy::HWY_NAMESPACE;

// SubpixelDisparity, Lanes(float) pixels at a time.
void Refine(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const Selection& s = job.scratch->selection;
    if (!p.subpixel) {
        RefineReference(job, y);
        return;
    }
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
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
        const auto record = hn::LoadU(di, reinterpret_cast<const std::int32_t*>(s.record + x));
        const auto byte = hn::Set(di, 0xFF);
        const auto d = hn::And(record, byte);
        const auto at = hn::And(hn::ShiftRight<8>(record), byte);
        const auto before = hn::And(hn::ShiftRight<16>(record), byte);
        const auto after = hn::And(hn::ShiftRight<24>(record), byte);
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
        const std::uint32_t r = s.record[x];
        disparity[x] =
            SubpixelDisparity(WinnerRecord::Winner(r), WinnerRecord::Before(r),
                              WinnerRecord::Cost(r), WinnerRecord::After(r), p.disparities);
    }
}

#endif  // HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace Tarnwell::stereo::detail {

HWY_EXPORT(Refine);

void RefineSimd(const StripeJob& job, int y) {
    HWY_DYNAMIC_DISPATCH(Refine)(job, y);
}

void SelectReference(const StripeJob& job, int x, const std::uint8_t* sums) {
    const int dp = job.params->paddedDisparities;
    int winner = 0;
    for (int d = 1; d < dp; ++d) {
        if (sums[d] < sums[winner]) {
            winner = d;
        }
    }
    int second = kInfiniteCost;
    for (int d = 0; d < dp; ++d) {
        if (std::abs(d - winner) > 1) {
            second = std::min<int>(second, sums[d]);
        }
    }
    RecordWinner(job.scratch->selection, sums, x, winner, sums[winner], second);
}

void RefineReference(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const Selection& s = job.scratch->selection;
    std::uint16_t* disparity = job.output.disparity.Row(y);
    for (int x = 0; x < p.width; ++x) {
        const std::uint32_t r = s.record[x];
        const int winner = WinnerRecord::Winner(r);
        disparity[x] =
            p.subpixel ? SubpixelDisparity(winner, WinnerRecord::Before(r), WinnerRecord::Cost(r),
                                           WinnerRecord::After(r), p.disparities)
                       : static_cast<std::uint16_t>(winner * kDisparityScale);
    }
}

}  // namespace Tarnwell::stereo::detail
#endif  // HWY_ONCE
