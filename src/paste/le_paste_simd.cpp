// Compositor kernels (Lanczos-8, bicubic and bilinear paste rows, separable
// blur for the unsharp mask), compiled once per vector target.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/le_paste_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstring>

#include "hwy/highway.h"
#include "paste/le_paste_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if !HWY_HAVE_SCALABLE && HWY_TARGET != HWY_SCALAR
// Adds the 4-lane quads of v to sum in lane order, without leaving registers
// (reading a just-stored wide vector back lane by lane stalls the pipeline).
template <class D>
HWY_INLINE void AddQuads(D d, hn::Vec<D> v, hn::Vec<hn::CappedTag<float, 4>>& sum) {
  if constexpr (hn::MaxLanes(D()) == 4) {
    (void)d;
    sum = hn::Add(sum, v);
  } else {
    const hn::Half<D> dh;
    AddQuads(dh, hn::LowerHalf(dh, v), sum);
    AddQuads(dh, hn::UpperHalf(dh, v), sum);
  }
}
#endif

// The feather alpha (0 ... 255) at crop pixel (ix, iy), ix and iy in
// -1 ... side - 1: the bilinear sum of the padded mask's 2 x 2 samples there
// (the zero border stands for the outside), rounded.
HWY_INLINE int Alpha255(const float* HWY_RESTRICT maskPadded, int side, int ix, int iy,
                        const float* HWY_RESTRICT bx, const float* HWY_RESTRICT by) {
  const size_t stride = static_cast<size_t>(side) + 2;
  const float* m0 = maskPadded + static_cast<size_t>(iy + 1) * stride + static_cast<size_t>(ix + 1);
  const float* m1 = m0 + stride;
  const float m = (m0[0] * bx[0] + m0[1] * bx[1]) * by[0] + (m1[0] * bx[0] + m1[1] * bx[1]) * by[1];
  return static_cast<int>(m + 0.5f);
}

// Each channel of the frame pixel becomes the integer part of
// clamp((1 - alpha) frame + alpha colour, 0, 255); NaN (a director that
// emitted one) becomes 0, as casting it to an integer is undefined.
HWY_INLINE void BlendPixel(uint8_t* HWY_RESTRICT px3, float alpha, const float* HWY_RESTRICT colour) {
  for (int c = 0; c < 3; ++c) {
    float o = (1.f - alpha) * static_cast<float>(px3[c]) + alpha * colour[c];
    o = o > 0.f ? (o < 255.f ? o : 255.f) : 0.f;
    px3[c] = static_cast<uint8_t>(o);
  }
}

#if !HWY_HAVE_SCALABLE && HWY_TARGET != HWY_SCALAR
// The same blend on an R, G, B, spare colour vector, lane for lane the
// scalar arithmetic. The pixel's bytes reach the vector through a register:
// assembling them in memory and loading them whole stalls on the stores.
template <class D4>
HWY_INLINE void BlendQuad(D4 d4, hn::Vec<D4> colour, float alpha, uint8_t* HWY_RESTRICT px3) {
  const hn::Rebind<int32_t, D4> di;
  const hn::Rebind<uint32_t, D4> du;
  HWY_ALIGN static constexpr uint32_t kByteShifts[4] = {0, 8, 16, 24};
  const uint32_t packed = static_cast<uint32_t>(px3[0]) | (static_cast<uint32_t>(px3[1]) << 8) |
                          (static_cast<uint32_t>(px3[2]) << 16);
  const auto bytes = hn::And(hn::Set(du, packed) >> hn::Load(du, kByteShifts), hn::Set(du, 0xFFu));
  const auto was = hn::ConvertTo(d4, hn::BitCast(di, bytes));
  const auto o = hn::Add(hn::Mul(hn::Set(d4, 1.f - alpha), was), hn::Mul(hn::Set(d4, alpha), colour));
  const auto clamped = hn::IfThenElseZero(hn::Gt(o, hn::Zero(d4)), hn::Min(o, hn::Set(d4, 255.f)));
  HWY_ALIGN int32_t out[4];
  hn::Store(hn::ConvertTo(di, clamped), di, out);
  for (int c = 0; c < 3; ++c) px3[c] = static_cast<uint8_t>(out[c]);
}
#endif

// The 8 x 8 window sum for one pixel. `window` points at the top-left pixel
// of 8 rows of 8 R, G, B, spare quads, `stride` floats apart. Each vector
// spans whole quads; the quads' partial sums are then added in pixel order,
// so every target sums in the same order and gives the same bits. The sum is
// blended into the frame pixel px3 with `alpha`.
HWY_INLINE void WindowBlend(const float* HWY_RESTRICT window, size_t stride,
                            const float* HWY_RESTRICT wx, const float* HWY_RESTRICT wy, float alpha,
                            uint8_t* HWY_RESTRICT px3) {
  const hn::CappedTag<float, 16> d;
  constexpr size_t kQuadFloats = 32;
#if !HWY_HAVE_SCALABLE && HWY_TARGET != HWY_SCALAR
  // One accumulator per vector of the row, advanced together row by row:
  // one accumulator after another would wait on each add's latency.
  constexpr size_t kLanes = hn::MaxLanes(d);
  constexpr size_t kVectors = kQuadFloats / kLanes;
  hn::Vec<decltype(d)> w[kVectors], acc[kVectors];
  HWY_UNROLL(8)
  for (size_t v = 0; v < kVectors; ++v) {
    w[v] = hn::LoadU(d, wx + v * kLanes);
    acc[v] = hn::Zero(d);
  }
  HWY_UNROLL(8)
  for (int k = 0; k < 8; ++k) {
    const auto wyk = hn::Set(d, wy[k]);
    const float* row = window + static_cast<size_t>(k) * stride;
    HWY_UNROLL(8)
    for (size_t v = 0; v < kVectors; ++v)
      acc[v] = hn::Add(acc[v], hn::Mul(hn::LoadU(d, row + v * kLanes), hn::Mul(w[v], wyk)));
  }
  const hn::CappedTag<float, 4> d4;
  auto sum = hn::Zero(d4);
  HWY_UNROLL(8)
  for (size_t v = 0; v < kVectors; ++v) AddQuads(d, acc[v], sum);
  BlendQuad(d4, sum, alpha, px3);
#else
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float folded[kQuadFloats];
  for (size_t v = 0; v < kQuadFloats; v += lanes) {
    const auto w = hn::LoadU(d, wx + v);
    auto acc = hn::Zero(d);
    for (int k = 0; k < 8; ++k) {
      const auto pix = hn::LoadU(d, window + static_cast<size_t>(k) * stride + v);
      acc = hn::Add(acc, hn::Mul(pix, hn::Mul(w, hn::Set(d, wy[k]))));
    }
    hn::StoreU(acc, d, folded + v);
  }
  float colour[3];
  for (int c = 0; c < 3; ++c) {
    float s = 0.f;
    for (int p = 0; p < 8; ++p) s += folded[p * 4 + c];
    colour[c] = s;
  }
  BlendPixel(px3, alpha, colour);
#endif
}

void PasteLanczos8RowKernel(const float* HWY_RESTRICT crop4, int side,
                            const float* HWY_RESTRICT maskPadded,
                            const float* HWY_RESTRICT lanczosQuad,
                            const float* HWY_RESTRICT bilinear, const int32_t* HWY_RESTRICT colX,
                            const int32_t* HWY_RESTRICT colY, int32_t rowX, int32_t rowY, int x0,
                            int x1, uint8_t* HWY_RESTRICT frameRow) {
  const size_t stride = static_cast<size_t>(side) * 4;
  HWY_ALIGN float edge[8 * 32];
  for (int x = x0; x <= x1; ++x) {
    const int32_t u = colX[x] + rowX;
    const int32_t v = colY[x] + rowY;
    if (u < -1024 || v < -1024) continue;
    const int ix = u >> 10;
    const int iy = v >> 10;
    if (ix >= side || iy >= side) continue;
    const int px = (u & 1023) >> 5;
    const int py = (v & 1023) >> 5;

    const int alpha255 = Alpha255(maskPadded, side, ix, iy, bilinear + px * 2, bilinear + py * 2);
    if (alpha255 <= 0) continue;
    const float alpha = static_cast<float>(alpha255) / 255.f;

    // The phase's x weights, repeated over the 4 lanes of each quad; the y
    // weights are the plain 8 taps, stored as the first lane of each quad.
    const float* wx = lanczosQuad + px * 32;
    float wy[8];
    for (int k = 0; k < 8; ++k) wy[k] = lanczosQuad[py * 32 + k * 4];

    uint8_t* px3 = frameRow + 3 * x;
    if (ix >= 3 && iy >= 3 && ix + 4 < side && iy + 4 < side) {
      WindowBlend(crop4 + (static_cast<size_t>(iy - 3) * side + (ix - 3)) * 4, stride, wx, wy, alpha, px3);
    } else {
      // Near the crop's border: copy the window with zeros for taps outside.
      for (int k = 0; k < 8; ++k) {
        const int sy = iy - 3 + k;
        for (int i = 0; i < 8; ++i) {
          const int sx = ix - 3 + i;
          float* dst = edge + k * 32 + i * 4;
          if (sx < 0 || sy < 0 || sx >= side || sy >= side) {
            std::memset(dst, 0, 4 * sizeof(float));
          } else {
            std::memcpy(dst, crop4 + (static_cast<size_t>(sy) * side + sx) * 4, 4 * sizeof(float));
          }
        }
      }
      WindowBlend(edge, 32, wx, wy, alpha, px3);
    }
  }
}

// The separable bicubic (taps 4, reach 1) or bilinear (taps 2, reach 0) sum
// for one pixel, all channels at once: each lane of a 4-lane vector is one
// channel and adds its terms in the scalar order (row sums of weight times
// sample from the left, then the rows from the top), so every target gives
// the bits of the plain per-channel loop.
template <int kTaps>
HWY_INLINE void SeparableSumPerChannel(const float* HWY_RESTRICT window, size_t stride,
                                       const float* HWY_RESTRICT wx, const float* HWY_RESTRICT wy,
                                       float* HWY_RESTRICT colour) {
  for (int c = 0; c < 3; ++c) {
    float sum = 0.f;
    for (int k = 0; k < kTaps; ++k) {
      float acc = 0.f;
      for (int i = 0; i < kTaps; ++i) acc += wx[i] * window[k * stride + i * 4 + c];
      sum += wy[k] * acc;
    }
    colour[c] = sum;
  }
}

template <int kTaps>
HWY_INLINE void SeparableBlend(const float* HWY_RESTRICT window, size_t stride,
                               const float* HWY_RESTRICT wx, const float* HWY_RESTRICT wy,
                               float alpha, uint8_t* HWY_RESTRICT px3) {
#if HWY_HAVE_SCALABLE || HWY_TARGET == HWY_SCALAR
  float colour[3];
  SeparableSumPerChannel<kTaps>(window, stride, wx, wy, colour);
  BlendPixel(px3, alpha, colour);
#else
  const hn::FixedTag<float, 4> d4;
  auto sum = hn::Zero(d4);
  for (int k = 0; k < kTaps; ++k) {
    const float* row = window + static_cast<size_t>(k) * stride;
    auto acc = hn::Zero(d4);
    for (int i = 0; i < kTaps; ++i) acc = hn::Add(acc, hn::Mul(hn::Set(d4, wx[i]), hn::LoadU(d4, row + i * 4)));
    sum = hn::Add(sum, hn::Mul(hn::Set(d4, wy[k]), acc));
  }
  BlendQuad(d4, sum, alpha, px3);
#endif
}

template <int kTaps>
void PasteSeparableRow(const float* HWY_RESTRICT crop4, int side, const float* HWY_RESTRICT maskPadded,
                       const float* HWY_RESTRICT table, const float* HWY_RESTRICT bilinear,
                       const int32_t* HWY_RESTRICT colX, const int32_t* HWY_RESTRICT colY,
                       int32_t rowX, int32_t rowY, int x0, int x1, uint8_t* HWY_RESTRICT frameRow) {
  constexpr int kReach = kTaps == 4 ? 1 : 0;
  const size_t stride = static_cast<size_t>(side) * 4;
  HWY_ALIGN float edge[kTaps * kTaps * 4];
  for (int x = x0; x <= x1; ++x) {
    const int32_t u = colX[x] + rowX;
    const int32_t v = colY[x] + rowY;
    if (u < -1024 || v < -1024) continue;
    const int ix = u >> 10;
    const int iy = v >> 10;
    if (ix >= side || iy >= side) continue;
    const int px = (u & 1023) >> 5;
    const int py = (v & 1023) >> 5;

    const int alpha255 = Alpha255(maskPadded, side, ix, iy, bilinear + px * 2, bilinear + py * 2);
    if (alpha255 <= 0) continue;
    const float alpha = static_cast<float>(alpha255) / 255.f;

    const int sx0 = ix - kReach, sy0 = iy - kReach;
    uint8_t* px3 = frameRow + 3 * x;
    if (sx0 >= 0 && sy0 >= 0 && sx0 + kTaps <= side && sy0 + kTaps <= side) {
      SeparableBlend<kTaps>(crop4 + (static_cast<size_t>(sy0) * side + sx0) * 4, stride,
                            table + px * kTaps, table + py * kTaps, alpha, px3);
    } else {
      // Near the crop's border: taps outside add a zero, as if skipped.
      for (int k = 0; k < kTaps; ++k) {
        const int sy = sy0 + k;
        for (int i = 0; i < kTaps; ++i) {
          const int sx = sx0 + i;
          float* dst = edge + (k * kTaps + i) * 4;
          if (sx < 0 || sy < 0 || sx >= side || sy >= side) {
            std::memset(dst, 0, 4 * sizeof(float));
          } else {
            std::memcpy(dst, crop4 + (static_cast<size_t>(sy) * side + sx) * 4, 4 * sizeof(float));
          }
        }
      }
      SeparableBlend<kTaps>(edge, kTaps * 4, table + px * kTaps, table + py * kTaps, alpha, px3);
    }
  }
}

void PasteBicubicRowKernel(const float* HWY_RESTRICT crop4, int side, const float* HWY_RESTRICT maskPadded,
                           const float* HWY_RESTRICT bicubic, const float* HWY_RESTRICT bilinear,
                           const int32_t* HWY_RESTRICT colX, const int32_t* HWY_RESTRICT colY,
                           int32_t rowX, int32_t rowY, int x0, int x1, uint8_t* HWY_RESTRICT frameRow) {
  PasteSeparableRow<4>(crop4, side, maskPadded, bicubic, bilinear, colX, colY, rowX, rowY, x0, x1, frameRow);
}

void PasteBilinearRowKernel(const float* HWY_RESTRICT crop4, int side, const float* HWY_RESTRICT maskPadded,
                            const float* HWY_RESTRICT bilinear, const int32_t* HWY_RESTRICT colX,
                            const int32_t* HWY_RESTRICT colY, int32_t rowX, int32_t rowY, int x0,
                            int x1, uint8_t* HWY_RESTRICT frameRow) {
  PasteSeparableRow<2>(crop4, side, maskPadded, bilinear, bilinear, colX, colY, rowX, rowY, x0, x1, frameRow);
}

void BlurRowKernel(const float* HWY_RESTRICT in, const float* HWY_RESTRICT w, int taps,
                   float* HWY_RESTRICT out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  size_t j = 0;
  for (; j + lanes <= n; j += lanes) {
    auto acc = hn::Zero(d);
    for (int i = 0; i < taps; ++i) acc = hn::Add(acc, hn::Mul(hn::Set(d, w[i]), hn::LoadU(d, in + j + i)));
    hn::StoreU(acc, d, out + j);
  }
  for (; j < n; ++j) {
    float acc = 0.f;
    for (int i = 0; i < taps; ++i) acc += w[i] * in[j + i];
    out[j] = acc;
  }
}

void UnsharpRowKernel(const float* HWY_RESTRICT h, size_t stride, const float* HWY_RESTRICT w,
                      int taps, float amount, float* HWY_RESTRICT plane, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  const auto gain = hn::Set(d, 1.f + amount);
  const auto amt = hn::Set(d, amount);
  const auto lo = hn::Zero(d);
  const auto hi = hn::Set(d, 255.f);
  size_t j = 0;
  for (; j + lanes <= n; j += lanes) {
    auto blur = hn::Zero(d);
    for (int k = 0; k < taps; ++k)
      blur = hn::Add(blur, hn::Mul(hn::Set(d, w[k]), hn::LoadU(d, h + k * stride + j)));
    const auto sharp = hn::Sub(hn::Mul(gain, hn::LoadU(d, plane + j)), hn::Mul(amt, blur));
    // Greater-than is false for NaN, so NaN leaves as 0 on every target
    // (Max alone passes NaN through on some).
    hn::StoreU(hn::IfThenElseZero(hn::Gt(sharp, lo), hn::Min(sharp, hi)), d, plane + j);
  }
  for (; j < n; ++j) {
    float blur = 0.f;
    for (int k = 0; k < taps; ++k) blur += w[k] * h[k * stride + j];
    float s = (1.f + amount) * plane[j] - amount * blur;
    plane[j] = s > 0.f ? (s < 255.f ? s : 255.f) : 0.f;
  }
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::simd {

HWY_EXPORT(PasteLanczos8RowKernel);
HWY_EXPORT(PasteBicubicRowKernel);
HWY_EXPORT(PasteBilinearRowKernel);
HWY_EXPORT(BlurRowKernel);
HWY_EXPORT(UnsharpRowKernel);

void pasteLanczos8Row(const float* crop4, int side, const float* maskPadded, const float* lanczosQuad,
                      const float* bilinear, const int32_t* colX, const int32_t* colY,
                      int32_t rowX, int32_t rowY, int x0, int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8RowKernel)
  (crop4, side, maskPadded, lanczosQuad, bilinear, colX, colY, rowX, rowY, x0, x1, frameRow);
}

void pasteBicubicRow(const float* crop4, int side, const float* maskPadded, const float* bicubic,
                     const float* bilinear, const int32_t* colX, const int32_t* colY, int32_t rowX,
                     int32_t rowY, int x0, int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteBicubicRowKernel)
  (crop4, side, maskPadded, bicubic, bilinear, colX, colY, rowX, rowY, x0, x1, frameRow);
}

void pasteBilinearRow(const float* crop4, int side, const float* maskPadded, const float* bilinear,
                      const int32_t* colX, const int32_t* colY, int32_t rowX, int32_t rowY, int x0,
                      int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteBilinearRowKernel)
  (crop4, side, maskPadded, bilinear, colX, colY, rowX, rowY, x0, x1, frameRow);
}

void blurRow(const float* in, const float* w, int taps, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(BlurRowKernel)(in, w, taps, out, n);
}

void unsharpRow(const float* h, size_t stride, const float* w, int taps, float amount,
                float* plane, size_t n) {
  HWY_DYNAMIC_DISPATCH(UnsharpRowKernel)(h, stride, w, taps, amount, plane, n);
}

}  // namespace le::simd
#endif  // HWY_ONCE
