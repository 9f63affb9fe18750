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
// Adds the upper half of v to its lower half until one quad is left.
template <class D>
HWY_INLINE hn::Vec<hn::CappedTag<float, 4>> FoldToQuad(D d, hn::Vec<D> v) {
  if constexpr (hn::MaxLanes(D()) == 4) {
    (void)d;
    return v;
  } else {
    const hn::Half<D> dh;
    return FoldToQuad(dh, hn::Add(hn::LowerHalf(dh, v), hn::UpperHalf(dh, v)));
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
// of 8 rows of 8 R, G, B, spare quads, `stride` floats apart; wx holds the
// column weights repeated over each quad's lanes, wy[4 k] the weight of row
// k (a row of the same quad table). Every lane sums its rows' samples times
// their weights pairwise, ((0 + 1) + (2 + 3)) + ((4 + 5) + (6 + 7)); each
// column's sum is then weighted by its wx (once per column instead of once
// per tap), and the eight column quads q0 ... q7 are added as ((q0 + q4) +
// (q2 + q6)) + ((q1 + q5) + (q3 + q7)), the order in which halving vectors
// of any width meet them. Every target thus gives the same bits, and no sum
// waits on a chain of eight additions. The colour is blended into the frame
// pixel px3 with `alpha`.
HWY_INLINE void WindowBlend(const float* HWY_RESTRICT window, size_t stride,
                            const float* HWY_RESTRICT wx, const float* HWY_RESTRICT wy, float alpha,
                            uint8_t* HWY_RESTRICT px3) {
  const hn::CappedTag<float, 16> d;
  constexpr size_t kQuadFloats = 32;
#if !HWY_HAVE_SCALABLE && HWY_TARGET != HWY_SCALAR
  constexpr size_t kLanes = hn::MaxLanes(d);
  constexpr size_t kVectors = kQuadFloats / kLanes;
  using V = hn::Vec<decltype(d)>;
  auto term = [&](int k, size_t v) {
    return hn::Mul(hn::LoadU(d, window + static_cast<size_t>(k) * stride + v * kLanes), hn::Set(d, wy[4 * k]));
  };
  V col[kVectors];
  HWY_UNROLL(8)
  for (size_t v = 0; v < kVectors; ++v) {
    const V s01 = hn::Add(term(0, v), term(1, v)), s23 = hn::Add(term(2, v), term(3, v));
    const V s45 = hn::Add(term(4, v), term(5, v)), s67 = hn::Add(term(6, v), term(7, v));
    col[v] = hn::Mul(hn::Add(hn::Add(s01, s23), hn::Add(s45, s67)), hn::LoadU(d, wx + v * kLanes));
  }
  // Halve the vector count, then the vector width, down to one quad.
  HWY_UNROLL(8)
  for (size_t n = kVectors / 2; n >= 1; n /= 2) {
    HWY_UNROLL(8)
    for (size_t v = 0; v < n; ++v) col[v] = hn::Add(col[v], col[v + n]);
  }
  const hn::CappedTag<float, 4> d4;
  BlendQuad(d4, FoldToQuad(d, col[0]), alpha, px3);
#else
  const size_t lanes = hn::Lanes(d);
  HWY_ALIGN float q[kQuadFloats];
  for (size_t v = 0; v < kQuadFloats; v += lanes) {
    auto term = [&](int k) {
      return hn::Mul(hn::LoadU(d, window + static_cast<size_t>(k) * stride + v), hn::Set(d, wy[4 * k]));
    };
    const auto s01 = hn::Add(term(0), term(1)), s23 = hn::Add(term(2), term(3));
    const auto s45 = hn::Add(term(4), term(5)), s67 = hn::Add(term(6), term(7));
    hn::StoreU(hn::Mul(hn::Add(hn::Add(s01, s23), hn::Add(s45, s67)), hn::LoadU(d, wx + v)), d, q + v);
  }
  float colour[3];
  for (int c = 0; c < 3; ++c) {
    auto at = [&](int p) { return q[p * 4 + c]; };
    colour[c] = ((at(0) + at(4)) + (at(2) + at(6))) + ((at(1) + at(5)) + (at(3) + at(7)));
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
  const size_t stride = interleavedStride(side);
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
    // weights are read from the same table, every fourth float.
    const float* wx = lanczosQuad + px * 32;
    const float* wy = lanczosQuad + py * 32;

    uint8_t* px3 = frameRow + 3 * x;
    if (ix >= 3 && iy >= 3 && ix + 4 < side && iy + 4 < side) {
      WindowBlend(crop4 + static_cast<size_t>(iy - 3) * stride + static_cast<size_t>(ix - 3) * 4, stride, wx, wy,
                  alpha, px3);
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
            std::memcpy(dst, crop4 + static_cast<size_t>(sy) * stride + static_cast<size_t>(sx) * 4, 4 * sizeof(float));
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
  const size_t stride = interleavedStride(side);
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
      SeparableBlend<kTaps>(crop4 + static_cast<size_t>(sy0) * stride + static_cast<size_t>(sx0) * 4, stride,
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
            std::memcpy(dst, crop4 + static_cast<size_t>(sy) * stride + static_cast<size_t>(sx) * 4, 4 * sizeof(float));
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

void ScaleRowKernel(const float* HWY_RESTRICT src, float scale, float* HWY_RESTRICT dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  const auto vs = hn::Set(d, scale);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::Mul(hn::LoadU(d, src + i), vs), d, dst + i);
  for (; i < n; ++i) dst[i] = src[i] * scale;
}

void InterleaveRowKernel(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b,
                         float* HWY_RESTRICT dst4, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes)
    hn::StoreInterleaved4(hn::LoadU(d, r + i), hn::LoadU(d, g + i), hn::LoadU(d, b + i), zero, d, dst4 + 4 * i);
  for (; i < n; ++i) {
    dst4[4 * i] = r[i];
    dst4[4 * i + 1] = g[i];
    dst4[4 * i + 2] = b[i];
    dst4[4 * i + 3] = 0.f;
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
HWY_EXPORT(ScaleRowKernel);
HWY_EXPORT(InterleaveRowKernel);

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

void scaleRow(const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleRowKernel)(src, scale, dst, n);
}

void interleaveRow(const float* r, const float* g, const float* b, float* dst4, size_t n) {
  HWY_DYNAMIC_DISPATCH(InterleaveRowKernel)(r, g, b, dst4, n);
}

}  // namespace le::simd
#endif  // HWY_ONCE
