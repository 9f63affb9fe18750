// Range scan and quantisation of Int8ConvVNNI's float input.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/int8conv_quant.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace int8conv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void RangeKernel(const float* HWY_RESTRICT x, size_t n, float* lo, float* hi) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  auto vlo = hn::Set(d, *lo), vhi = hn::Set(d, *hi);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto v = hn::LoadU(d, x + i);
    vlo = hn::Min(vlo, v);
    vhi = hn::Max(vhi, v);
  }
  float l = hn::GetLane(hn::MinOfLanes(d, vlo)), h = hn::GetLane(hn::MaxOfLanes(d, vhi));
  for (; i < n; ++i) {
    l = x[i] < l ? x[i] : l;
    h = x[i] > h ? x[i] : h;
  }
  *lo = l;
  *hi = h;
}

void QuantiseKernel(const float* HWY_RESTRICT src, size_t n, float scale, float zero, uint8_t* HWY_RESTRICT dst) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::Rebind<uint8_t, decltype(di)> du8;
  const size_t lanes = hn::Lanes(d);
  const auto vs = hn::Set(d, scale), vz = hn::Set(d, zero);
  const auto v0 = hn::Zero(d), v255 = hn::Set(d, 255.f);
  auto one = [&](hn::Vec<decltype(d)> x) {
    // Max first: a NaN quotient becomes 0 on targets whose Max returns the
    // second operand for it; elsewhere the saturating conversions keep it in range.
    const auto r = hn::Min(hn::Max(hn::Add(hn::Round(hn::Div(x, vs)), vz), v0), v255);
    return hn::DemoteTo(du8, hn::ConvertTo(di, r));
  };
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(one(hn::LoadU(d, src + i)), du8, dst + i);
  if (i < n) {
    HWY_ALIGN float pad[HWY_MAX_BYTES / sizeof(float)] = {};
    HWY_ALIGN uint8_t out[HWY_MAX_BYTES / sizeof(float)];
    for (size_t k = 0; k < n - i; ++k) pad[k] = src[i + k];
    hn::Store(one(hn::Load(d, pad)), du8, out);
    for (size_t k = 0; k < n - i; ++k) dst[i + k] = out[k];
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace int8conv
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "director/int8conv_quant.h"

namespace le::int8conv {

HWY_EXPORT(RangeKernel);
HWY_EXPORT(QuantiseKernel);

void activationRange(const float* x, size_t n, float& lo, float& hi) {
  HWY_DYNAMIC_DISPATCH(RangeKernel)(x, n, &lo, &hi);
}

void quantiseRun(const float* src, size_t n, float scale, float zero, uint8_t* dst) {
  HWY_DYNAMIC_DISPATCH(QuantiseKernel)(src, n, scale, zero, dst);
}

}  // namespace le::int8conv
#endif  // HWY_ONCE
