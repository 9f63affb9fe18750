// One row of YUV 4:2:0 to packed RGB24 (integer BT.601, limited range),
// compiled once per vector target.
//
// Per pixel, with C = 298 (Y - 16) + 128, D = U - 128, E = V - 128:
//   R = (C + 409 E) >> 8, G = (C - 100 D - 208 E) >> 8, B = (C + 516 D) >> 8,
// clamped to 0 ... 255. The vector code evaluates the same integers in 16-bit
// lanes by taking the multiples of 256 out of each product first, e.g.
//   R = (Y - 16) + E + ((42 (Y - 16) + 128 + 153 E) >> 8),
// which is exact because (256 k + r) >> 8 == k + (r >> 8) for an arithmetic
// shift, and every remainder stays within +-30000.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/le_yuv2rgb_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstddef>

#include "hwy/highway.h"
#include "paste/le_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

HWY_INLINE uint8_t ClampByte(int value) {
  return static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

HWY_INLINE void YuvPixel(int y, int u, int v, uint8_t* HWY_RESTRICT rgb) {
  const int c = 298 * (y - 16) + 128;
  const int d = u - 128;
  const int e = v - 128;
  rgb[0] = ClampByte((c + 409 * e) >> 8);
  rgb[1] = ClampByte((c - 100 * d - 208 * e) >> 8);
  rgb[2] = ClampByte((c + 516 * d) >> 8);
}

#if HWY_TARGET != HWY_SCALAR
// Each 16-bit lane of `pairs` holds a chroma byte in its low half; returns it
// duplicated into two consecutive 16-bit lanes (one per pixel of the pair).
template <class DI16, class VU16>
HWY_INLINE hn::Vec<DI16> WidenDuplicated(DI16 di16, VU16 pairs) {
  const hn::Rebind<uint8_t, DI16> d8;
  const auto low = hn::And(pairs, hn::Set(hn::DFromV<VU16>(), 0x00FF));
  return hn::BitCast(di16, hn::PromoteTo(hn::RebindToUnsigned<DI16>(),
                                         hn::BitCast(d8, hn::Or(low, hn::ShiftLeft<8>(low)))));
}
#endif

void Yuv420RowToRgb24Kernel(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                            const uint8_t* HWY_RESTRICT v, int width, int chromaStep,
                            uint8_t* HWY_RESTRICT rgb) {
  if (width <= 0) return;
  const size_t n = static_cast<size_t>(width);
  size_t x = 0;

#if HWY_TARGET != HWY_SCALAR  // one lane cannot hold a pixel pair
  const hn::ScalableTag<int16_t> di;
  const hn::Rebind<uint8_t, decltype(di)> d8;                   // one byte per pixel
  const hn::Repartition<uint16_t, decltype(d8)> dpair;          // one lane per pixel pair
  const hn::Rebind<uint8_t, decltype(dpair)> dchroma;           // one byte per pixel pair
  const size_t lanes = hn::Lanes(di);
  if (lanes >= 2 && (chromaStep == 1 || chromaStep == 2)) {
    const auto k16 = hn::Set(di, 16);
    const auto k128 = hn::Set(di, 128);
    // With chroma step 2 a block reads chroma bytes up to x + lanes - 1 of the
    // U and V pointers; stopping one pixel early keeps that inside the row.
    const size_t reach = chromaStep == 2 ? lanes + 1 : lanes;
    for (; x + reach <= n; x += lanes) {
      hn::Vec<decltype(di)> cu, cv;
      if (chromaStep == 1) {
        cu = WidenDuplicated(di, hn::PromoteTo(dpair, hn::LoadU(dchroma, u + x / 2)));
        cv = WidenDuplicated(di, hn::PromoteTo(dpair, hn::LoadU(dchroma, v + x / 2)));
      } else {
        cu = WidenDuplicated(di, hn::BitCast(dpair, hn::LoadU(d8, u + x)));
        cv = WidenDuplicated(di, hn::BitCast(dpair, hn::LoadU(d8, v + x)));
      }
      const auto luma = hn::Sub(hn::BitCast(di, hn::PromoteTo(hn::RebindToUnsigned<decltype(di)>(),
                                                              hn::LoadU(d8, y + x))),
                                k16);
      const auto d = hn::Sub(cu, k128);
      const auto e = hn::Sub(cv, k128);
      const auto base = hn::Add(hn::Mul(luma, hn::Set(di, 42)), k128);
      const auto r = hn::Add(hn::Add(luma, e),
                             hn::ShiftRight<8>(hn::Add(base, hn::Mul(e, hn::Set(di, 153)))));
      const auto g = hn::Add(
          hn::Sub(luma, e),
          hn::ShiftRight<8>(hn::Add(hn::Sub(base, hn::Mul(d, hn::Set(di, 100))),
                                    hn::Mul(e, hn::Set(di, 48)))));
      const auto b = hn::Add(hn::Add(luma, hn::Add(d, d)),
                             hn::ShiftRight<8>(hn::Add(base, hn::ShiftLeft<2>(d))));
      hn::StoreInterleaved3(hn::DemoteTo(d8, r), hn::DemoteTo(d8, g), hn::DemoteTo(d8, b), d8,
                            rgb + 3 * x);
    }
  }
#endif
  for (; x < n; ++x) {
    const ptrdiff_t c = static_cast<ptrdiff_t>(x / 2) * chromaStep;
    YuvPixel(y[x], u[c], v[c], rgb + 3 * x);
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(Yuv420RowToRgb24Kernel);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24Kernel)(y, u, v, width, chromaStep, rgb);
}

}  // namespace le::simd
#endif  // HWY_ONCE
