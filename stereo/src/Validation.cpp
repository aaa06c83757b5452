// Validation of a row's disparities, per target: left-right check, uniqueness, confidence.
#include "Validation.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Validation.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace Tarnwell::stereo::detail {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

void Validate(const StripeJob& job, int y) {
    ValidateReference(job, y);
}

#else

namespace hn = hwy::HWY_NAMESPACE;

// CheckRowFrom, Lanes(int32) pixels at a time, from the right view's winners the selection
// mapped: the two entries around a sub-pixel disparity are gathered four bytes at once.
void Validate(const StripeJob& job, int y) {
    const KernelParams& p = *job.params;
    const Selection& s = job.scratch->selection;
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
    auto inconsistent = [&](decltype(zero) held, decltype(zero) xr, decltype(zero) d) {
        return hn::And(
            hn::And(hn::Not(hn::Lt(xr, zero)), hn::Lt(hn::ShiftRight<8>(held), infinite)),
            hn::Gt(hn::Abs(hn::Sub(hn::And(held, low), d)), tolerance));
    };
    int x = 0;
    for (; x + n <= w; x += n) {
        const auto best = hn::And(
            hn::ShiftRight<8>(hn::LoadU(di, reinterpret_cast<const std::int32_t*>(s.record + x))),
            low);
        const auto second = hn::PromoteTo(di, hn::LoadU(d8, s.second + x));
        const auto fixed = hn::PromoteTo(di, hn::LoadU(d16, disparity + x));
        auto valid = hn::And(hn::Lt(best, infinite),
                             hn::Not(hn::Gt(hn::Mul(best, hundred), hn::Mul(second, share))));
        if (p.leftRightCheck) {
            const auto columns = hn::Iota(di, x);
            const auto lo = hn::ShiftRight<kDisparityFractionBits>(fixed);
            const auto hi = hn::ShiftRight<kDisparityFractionBits>(
                hn::Add(fixed, hn::Set(di, kDisparityScale - 1)));
            // hi is lo or lo + 1: the entries of x - hi and x - hi + 1 in one gather.
            const auto xr = hn::Sub(columns, hi);
            const auto pair =
                hn::GatherOffset(di, right, hn::Add(hn::Max(xr, zero), hn::Max(xr, zero)));
            const auto entry = hn::Set(di, 0xFFFF);
            const auto atHi = hn::And(pair, entry);
            const auto atLo = hn::IfThenElse(hn::Or(hn::Eq(lo, hi), hn::Lt(xr, zero)), atHi,
                                             hn::And(hn::ShiftRight<16>(pair), entry));
            valid = hn::AndNot(
                hn::And(inconsistent(atLo, hn::Sub(columns, lo), lo), inconsistent(atHi, xr, hi)),
                valid);
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
    CheckRowFrom(job, y, x);
}

#endif  // HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

}  // namespace HWY_NAMESPACE
}  // namespace Tarnwell::stereo::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace Tarnwell::stereo::detail {

HWY_EXPORT(Validate);

void ValidateSimd(const StripeJob& job, int y) {
    HWY_DYNAMIC_DISPATCH(Validate)(job, y);
}

void ValidateReference(const StripeJob& job, int y) {
    if (job.params->leftRightCheck) {
        MapRightWinners(*job.params, job.scratch->selection);
    }
    CheckRowFrom(job, y, 0);
}

}  // namespace Tarnwell::stereo::detail
#endif  // HWY_ONCE
