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
// Clamps even- and odd-pixel values to 0 ... 255 and packs them into bytes in
// pixel order (lane k of the result holds pixels 2k and 2k + 1).
template <class D8, class VI16>
HWY_INLINE hn::Vec<D8> PackPairs(D8 d8, VI16 even, VI16 odd) {
#if HWY_ARCH_X86 && HWY_TARGET != HWY_EMU128
  // The saturating pack clamps both at once and leaves each 128-bit block as
  // its 8 even values then its 8 odd values; one byte shuffle per block puts
  // them back in pixel order.
  alignas(16) static constexpr uint8_t kPixelOrder[16] = {0, 8,  1, 9,  2, 10, 3, 11,
                                                          4, 12, 5, 13, 6, 14, 7, 15};
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
  const hn::Vec<D8> packed{_mm512_packus_epi16(even.raw, odd.raw)};
#elif HWY_TARGET == HWY_AVX2
  const hn::Vec<D8> packed{_mm256_packus_epi16(even.raw, odd.raw)};
#else
  const hn::Vec<D8> packed{_mm_packus_epi16(even.raw, odd.raw)};
#endif
  return hn::TableLookupBytes(packed, hn::LoadDup128(d8, kPixelOrder));
#else
  const hn::DFromV<VI16> di;
  const auto lo = hn::Zero(di);
  const auto hi = hn::Set(di, 255);
  const auto e = hn::Min(hn::Max(even, lo), hi);
  const auto o = hn::Min(hn::Max(odd, lo), hi);
  return hn::BitCast(d8, hn::Or(e, hn::ShiftLeft<8>(o)));
#endif
}
#endif

void Yuv420RowToRgb24Kernel(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
                            const uint8_t* HWY_RESTRICT v, int width, int chromaStep,
                            uint8_t* HWY_RESTRICT rgb) {
  if (width <= 0) return;
  const size_t n = static_cast<size_t>(width);
  size_t x = 0;

#if HWY_TARGET != HWY_SCALAR  // one lane cannot hold a pixel pair
  // One 16-bit lane per pixel pair: its chroma is loaded once, its two luma
  // bytes are the lane's halves, and its two output bytes per channel are
  // packed back in place, so no lane ever crosses a vector block.
  const hn::ScalableTag<uint8_t> d8;                  // one byte per pixel
  const hn::RepartitionToWide<decltype(d8)> dpair;   // one lane per pixel pair
  const hn::RebindToSigned<decltype(dpair)> di;
  const hn::Rebind<uint8_t, decltype(dpair)> dchroma;  // one byte per pixel pair
  const size_t pixels = hn::Lanes(d8);
  if (chromaStep == 1 || chromaStep == 2) {
    const auto k16 = hn::Set(di, 16);
    const auto k128 = hn::Set(di, 128);
    const auto lowByte = hn::Set(dpair, 0x00FF);
    // With chroma step 2 a block reads chroma bytes up to x + pixels - 1 of
    // the U and V pointers; stopping one pixel early keeps that inside the row.
    const size_t reach = chromaStep == 2 ? pixels + 1 : pixels;
    for (; x + reach <= n; x += pixels) {
      hn::Vec<decltype(dpair)> cu, cv;
      if (chromaStep == 1) {
        cu = hn::PromoteTo(dpair, hn::LoadU(dchroma, u + x / 2));
        cv = hn::PromoteTo(dpair, hn::LoadU(dchroma, v + x / 2));
      } else {
        cu = hn::And(hn::BitCast(dpair, hn::LoadU(d8, u + x)), lowByte);
        cv = hn::And(hn::BitCast(dpair, hn::LoadU(d8, v + x)), lowByte);
      }
      const auto d = hn::Sub(hn::BitCast(di, cu), k128);
      const auto e = hn::Sub(hn::BitCast(di, cv), k128);
      const auto redTerm = hn::Mul(e, hn::Set(di, 153));
      const auto greenTerm = hn::Sub(hn::Mul(e, hn::Set(di, 48)), hn::Mul(d, hn::Set(di, 100)));
      const auto blueTerm = hn::ShiftLeft<2>(d);
      const auto twoD = hn::Add(d, d);

      const auto luma = hn::BitCast(dpair, hn::LoadU(d8, y + x));
      const auto lumaEven = hn::Sub(hn::BitCast(di, hn::And(luma, lowByte)), k16);
      const auto lumaOdd = hn::Sub(hn::BitCast(di, hn::ShiftRight<8>(luma)), k16);
      const auto baseEven = hn::Add(hn::Mul(lumaEven, hn::Set(di, 42)), k128);
      const auto baseOdd = hn::Add(hn::Mul(lumaOdd, hn::Set(di, 42)), k128);

      const auto r = PackPairs(
          d8, hn::Add(hn::Add(lumaEven, e), hn::ShiftRight<8>(hn::Add(baseEven, redTerm))),
          hn::Add(hn::Add(lumaOdd, e), hn::ShiftRight<8>(hn::Add(baseOdd, redTerm))));
      const auto g = PackPairs(
          d8, hn::Add(hn::Sub(lumaEven, e), hn::ShiftRight<8>(hn::Add(baseEven, greenTerm))),
          hn::Add(hn::Sub(lumaOdd, e), hn::ShiftRight<8>(hn::Add(baseOdd, greenTerm))));
      const auto b = PackPairs(
          d8, hn::Add(hn::Add(lumaEven, twoD), hn::ShiftRight<8>(hn::Add(baseEven, blueTerm))),
          hn::Add(hn::Add(lumaOdd, twoD), hn::ShiftRight<8>(hn::Add(baseOdd, blueTerm))));
      hn::StoreInterleaved3(r, g, b, d8, rgb + 3 * x);
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
