// float16 conversions, 3x3 convolution and the retrieval distance terms,
// compiled once per vector target.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/le_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <algorithm>
#include <cstring>

#include "hwy/highway.h"
#include "paste/le_simd-inl.h"
#include "paste/le_simd.h"

HWY_BEFORE_NAMESPACE();
namespace le::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

const char* ChosenTargetName() { return hwy::TargetName(HWY_TARGET); }

// Runs convert(d, src + i, dst + i) over [0, n) a vector at a time; a short
// tail is redone as one last vector overlapping the previous one (rewriting a
// value is harmless), or element by element when n is below one vector.
template <class From, class To, class Convert>
HWY_INLINE void ConvertRow(const From* HWY_RESTRICT src, To* HWY_RESTRICT dst, size_t n,
                           const Convert& convert) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  size_t i = 0;
  for (; i + 2 * lanes <= n; i += 2 * lanes) {
    convert(d, src + i, dst + i);
    convert(d, src + i + lanes, dst + i + lanes);
  }
  for (; i + lanes <= n; i += lanes) convert(d, src + i, dst + i);
  if (i < n && n >= lanes) {
    convert(d, src + n - lanes, dst + n - lanes);
    return;
  }
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) convert(d1, src + i, dst + i);
}

void F16ToF32Kernel(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  ConvertRow(src, dst, n, [](auto d, const uint16_t* HWY_RESTRICT s, float* HWY_RESTRICT t) {
    hn::StoreU(LoadHalfU(d, s), d, t);
  });
}

void F32ToF16Kernel(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, size_t n) {
  ConvertRow(src, dst, n, [](auto d, const float* HWY_RESTRICT s, uint16_t* HWY_RESTRICT t) {
    StoreHalfU(d, hn::LoadU(d, s), t);
  });
}

// value / 255 as float16 for Lanes(df) consecutive bytes of one channel.
template <class DF>
HWY_INLINE void StoreUnitHalves(DF df, const uint8_t* HWY_RESTRICT bytes, uint16_t* HWY_RESTRICT dst) {
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<uint8_t, DF> d8;
  const auto value = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, bytes)));
  StoreHalfU(df, hn::Div(value, hn::Set(df, 255.0f)), dst);
}

void Rgb8ToPlanarF16Kernel(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst,
                           size_t pixels, size_t planeStride) {
  const hn::ScalableTag<uint8_t> d8;
  const hn::ScalableTag<float> df;
  const size_t bytes = hn::Lanes(d8);
  const size_t lanes = hn::Lanes(df);
  uint16_t* HWY_RESTRICT planes[3] = {dst, dst + planeStride, dst + 2 * planeStride};
  size_t i = 0;
  if (bytes >= 4) {
    // Split a block of pixels into channels at full byte width, then widen a
    // quarter at a time through a small staging buffer.
    HWY_ALIGN uint8_t staged[3][HWY_MAX_BYTES];
    for (; i + bytes <= pixels; i += bytes) {
      hn::Vec<decltype(d8)> r, g, b;
      hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
      hn::Store(r, d8, staged[0]);
      hn::Store(g, d8, staged[1]);
      hn::Store(b, d8, staged[2]);
      for (size_t q = 0; q < bytes; q += lanes)
        for (int ch = 0; ch < 3; ++ch) StoreUnitHalves(df, staged[ch] + q, planes[ch] + i + q);
    }
  }
  const hn::CappedTag<float, 1> d1;
  for (; i < pixels; ++i)
    for (int ch = 0; ch < 3; ++ch) StoreUnitHalves(d1, rgb + 3 * i + ch, planes[ch] + i);
}

// Packed RGB24 -> RGBA with alpha 255, a block of pixels per step.
void Rgb24ToRgbaKernel(const uint8_t* HWY_RESTRICT rgb, uint8_t* HWY_RESTRICT rgba, size_t pixels) {
  const hn::ScalableTag<uint8_t> d8;
  const size_t lanes = hn::Lanes(d8);
  const auto opaque = hn::Set(d8, 255);
  size_t i = 0;
  for (; i + lanes <= pixels; i += lanes) {
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    hn::StoreInterleaved4(r, g, b, opaque, d8, rgba + 4 * i);
  }
  for (; i < pixels; ++i) {
    rgba[4 * i] = rgb[3 * i];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

// One input channel's 3x3 taps added to an output row: out[x] += sum over the
// rows present (above, centre, below; null when outside the image) and the
// columns inside the row. Taps are added one by one in row-major order, the
// same order at every pixel and on every target.
template <class D>
HWY_INLINE void AddTapsAt(D d, const float* HWY_RESTRICT const rows[3], const float* HWY_RESTRICT w,
                          size_t x, bool hasLeft, bool hasRight, float* HWY_RESTRICT out) {
  auto acc = hn::LoadU(d, out + x);
  for (int dy = 0; dy < 3; ++dy) {
    const float* row = rows[dy];
    if (!row) continue;
    if (hasLeft) acc = hn::Add(acc, hn::Mul(hn::Set(d, w[3 * dy]), hn::LoadU(d, row + x - 1)));
    acc = hn::Add(acc, hn::Mul(hn::Set(d, w[3 * dy + 1]), hn::LoadU(d, row + x)));
    if (hasRight) acc = hn::Add(acc, hn::Mul(hn::Set(d, w[3 * dy + 2]), hn::LoadU(d, row + x + 1)));
  }
  hn::StoreU(acc, d, out + x);
}

void AddChannelTaps(const float* HWY_RESTRICT const rows[3], const float* HWY_RESTRICT w,
                    size_t width, float* HWY_RESTRICT out) {
  const hn::ScalableTag<float> d;
  const hn::CappedTag<float, 1> d1;
  const size_t lanes = hn::Lanes(d);
  AddTapsAt(d1, rows, w, 0, false, width > 1, out);
  size_t x = 1;
  // Interior pixels: both neighbours exist for every lane.
  for (; x + lanes + 1 <= width; x += lanes) AddTapsAt(d, rows, w, x, true, true, out);
  for (; x < width; ++x) AddTapsAt(d1, rows, w, x, true, x + 1 < width, out);
}

void Conv3x3RangeKernel(const float* HWY_RESTRICT in, int /*images*/, int inChannels, int height,
                        int width, const float* HWY_RESTRICT weight,
                        const float* HWY_RESTRICT bias, int group, float* HWY_RESTRICT out,
                        int coBegin, int coEnd) {
  if (inChannels <= 0 || height <= 0 || width <= 0 || coBegin >= coEnd) return;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  const size_t plane = w * h;
  const size_t imageSize = plane * static_cast<size_t>(inChannels);
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  for (int co = std::max(coBegin, 0); co < coEnd; ++co) {
    size_t set = static_cast<size_t>(co);
    size_t image = 0;
    if (group > 0) {
      set = static_cast<size_t>(co % group);
      image = static_cast<size_t>(co / group);
    } else if (group < 0) {
      set = 0;
      image = static_cast<size_t>(co);
    }
    const float* src = in + image * imageSize;
    float* dst = out + static_cast<size_t>(co) * plane;
    const float b = bias ? bias[set] : 0.0f;
    size_t i = 0;
    for (; i + lanes <= plane; i += lanes) hn::StoreU(hn::Set(d, b), d, dst + i);
    for (; i < plane; ++i) dst[i] = b;
    for (int ci = 0; ci < inChannels; ++ci) {
      const float* taps = weight + (set * static_cast<size_t>(inChannels) + static_cast<size_t>(ci)) * 9;
      const float* channel = src + static_cast<size_t>(ci) * plane;
      for (size_t y = 0; y < h; ++y) {
        const float* rows[3] = {y > 0 ? channel + (y - 1) * w : nullptr, channel + y * w,
                                y + 1 < h ? channel + (y + 1) * w : nullptr};
        AddChannelTaps(rows, taps, w, dst + y * w);
      }
    }
  }
}

// Up to four output channels (K) of one output row at x, Lanes(d) pixels at
// a time: the taps of every input channel are added in the same order as
// AddTapsAt does (bias, then channel by channel, row by row, left to right),
// so each pixel comes out bit-identical to conv3x3Range, while every input
// vector loaded serves K output channels.
template <int K, class D>
HWY_INLINE void ConvBlockAt(D d, size_t plane, int inChannels,
                            const float* HWY_RESTRICT const rowStart[3], size_t x, bool hasLeft,
                            bool hasRight, const float* HWY_RESTRICT w, size_t setStride,
                            const float* HWY_RESTRICT bias, bool relu, float* HWY_RESTRICT out,
                            size_t outPlane) {
  static_assert(K == 1 || K == 4, "blocks of one or four output channels");
  auto acc0 = hn::Set(d, bias ? bias[0] : 0.0f);
  auto acc1 = acc0, acc2 = acc0, acc3 = acc0;
  if constexpr (K == 4) {
    acc1 = hn::Set(d, bias ? bias[1] : 0.0f);
    acc2 = hn::Set(d, bias ? bias[2] : 0.0f);
    acc3 = hn::Set(d, bias ? bias[3] : 0.0f);
  }
  for (int ci = 0; ci < inChannels; ++ci) {
    const size_t channel = static_cast<size_t>(ci) * plane;
    const float* HWY_RESTRICT taps = w + static_cast<size_t>(ci) * 9;
    for (int dy = 0; dy < 3; ++dy) {
      if (!rowStart[dy]) continue;
      const float* HWY_RESTRICT row = rowStart[dy] + channel + x;
      for (int dx = 0; dx < 3; ++dx) {
        if ((dx == 0 && !hasLeft) || (dx == 2 && !hasRight)) continue;
        const auto v = hn::LoadU(d, row + dx - 1);
        const size_t t = static_cast<size_t>(3 * dy + dx);
        acc0 = hn::Add(acc0, hn::Mul(hn::Set(d, taps[t]), v));
        if constexpr (K == 4) {
          acc1 = hn::Add(acc1, hn::Mul(hn::Set(d, taps[setStride + t]), v));
          acc2 = hn::Add(acc2, hn::Mul(hn::Set(d, taps[2 * setStride + t]), v));
          acc3 = hn::Add(acc3, hn::Mul(hn::Set(d, taps[3 * setStride + t]), v));
        }
      }
    }
  }
  const auto zero = hn::Zero(d);
  hn::StoreU(relu ? hn::Max(acc0, zero) : acc0, d, out + x);
  if constexpr (K == 4) {
    hn::StoreU(relu ? hn::Max(acc1, zero) : acc1, d, out + outPlane + x);
    hn::StoreU(relu ? hn::Max(acc2, zero) : acc2, d, out + 2 * outPlane + x);
    hn::StoreU(relu ? hn::Max(acc3, zero) : acc3, d, out + 3 * outPlane + x);
  }
}

// Four output channels at two vectors of interior pixels (x and x + lanes,
// both neighbours present): the same taps in the same order as ConvBlockAt,
// with each weight broadcast once for both vectors.
template <class D>
HWY_INLINE void ConvBlock4x2At(D d, size_t plane, int inChannels,
                               const float* HWY_RESTRICT const rowStart[3], size_t x,
                               const float* HWY_RESTRICT w, size_t setStride,
                               const float* HWY_RESTRICT bias, bool relu, float* HWY_RESTRICT out,
                               size_t outPlane) {
  const size_t lanes = hn::Lanes(d);
  auto a0 = hn::Set(d, bias ? bias[0] : 0.0f), a1 = hn::Set(d, bias ? bias[1] : 0.0f);
  auto a2 = hn::Set(d, bias ? bias[2] : 0.0f), a3 = hn::Set(d, bias ? bias[3] : 0.0f);
  auto b0 = a0, b1 = a1, b2 = a2, b3 = a3;
  for (int ci = 0; ci < inChannels; ++ci) {
    const size_t channel = static_cast<size_t>(ci) * plane;
    const float* HWY_RESTRICT taps = w + static_cast<size_t>(ci) * 9;
    for (int dy = 0; dy < 3; ++dy) {
      if (!rowStart[dy]) continue;
      const float* HWY_RESTRICT row = rowStart[dy] + channel + x;
      for (int dx = 0; dx < 3; ++dx) {
        const auto v = hn::LoadU(d, row + dx - 1);
        const auto u = hn::LoadU(d, row + lanes + dx - 1);
        const size_t t = static_cast<size_t>(3 * dy + dx);
        const auto w0 = hn::Set(d, taps[t]);
        a0 = hn::Add(a0, hn::Mul(w0, v));
        b0 = hn::Add(b0, hn::Mul(w0, u));
        const auto w1 = hn::Set(d, taps[setStride + t]);
        a1 = hn::Add(a1, hn::Mul(w1, v));
        b1 = hn::Add(b1, hn::Mul(w1, u));
        const auto w2 = hn::Set(d, taps[2 * setStride + t]);
        a2 = hn::Add(a2, hn::Mul(w2, v));
        b2 = hn::Add(b2, hn::Mul(w2, u));
        const auto w3 = hn::Set(d, taps[3 * setStride + t]);
        a3 = hn::Add(a3, hn::Mul(w3, v));
        b3 = hn::Add(b3, hn::Mul(w3, u));
      }
    }
  }
  const auto zero = hn::Zero(d);
  auto put = [&](hn::Vec<D> v, size_t at) { hn::StoreU(relu ? hn::Max(v, zero) : v, d, out + at); };
  put(a0, x);
  put(b0, x + lanes);
  put(a1, outPlane + x);
  put(b1, outPlane + x + lanes);
  put(a2, 2 * outPlane + x);
  put(b2, 2 * outPlane + x + lanes);
  put(a3, 3 * outPlane + x);
  put(b3, 3 * outPlane + x + lanes);
}

// K output channels over the pixels [xBegin, xEnd) of one row.
template <int K>
HWY_INLINE void ConvBlockRow(size_t plane, int inChannels,
                             const float* HWY_RESTRICT const rowStart[3], size_t width,
                             size_t xBegin, size_t xEnd, const float* HWY_RESTRICT w,
                             size_t setStride, const float* HWY_RESTRICT bias, bool relu,
                             float* HWY_RESTRICT out, size_t outPlane) {
  const hn::ScalableTag<float> d;
  const hn::CappedTag<float, 1> d1;
  const size_t lanes = hn::Lanes(d);
  size_t x = xBegin;
  if (x == 0) {
    ConvBlockAt<K>(d1, plane, inChannels, rowStart, 0, false, width > 1, w, setStride, bias, relu,
                   out, outPlane);
    x = 1;
  }
  // Interior pixels: both neighbours exist for every lane.
  if constexpr (K == 4) {
    for (; x + 2 * lanes <= xEnd && x + 2 * lanes + 1 <= width; x += 2 * lanes)
      ConvBlock4x2At(d, plane, inChannels, rowStart, x, w, setStride, bias, relu, out, outPlane);
  }
  for (; x + lanes <= xEnd && x + lanes + 1 <= width; x += lanes)
    ConvBlockAt<K>(d, plane, inChannels, rowStart, x, true, true, w, setStride, bias, relu, out,
                   outPlane);
  // The interior pixels left over go as one vector that ends where they end,
  // redoing a few pixels before them (with the same result) rather than one
  // pixel at a time.
  const size_t interiorEnd = std::min(xEnd, width - 1);
  if (x < interiorEnd && interiorEnd >= lanes + 1) {
    ConvBlockAt<K>(d, plane, inChannels, rowStart, interiorEnd - lanes, true, true, w, setStride,
                   bias, relu, out, outPlane);
    x = interiorEnd;
  }
  for (; x < xEnd; ++x)
    ConvBlockAt<K>(d1, plane, inChannels, rowStart, x, true, x + 1 < width, w, setStride, bias,
                   relu, out, outPlane);
}

void Conv3x3RowsKernel(const float* HWY_RESTRICT in, int inChannels, int height, int width,
                       const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias,
                       int outChannels, bool relu, float* HWY_RESTRICT out, int rowBegin,
                       int rowEnd) {
  if (inChannels <= 0 || outChannels <= 0 || height <= 0 || width <= 0) return;
  const size_t w = static_cast<size_t>(width);
  const size_t plane = w * static_cast<size_t>(height);
  const size_t setStride = static_cast<size_t>(inChannels) * 9;
  // Columns go in chunks small enough that the three input rows of every
  // channel stay in the first-level cache while each block of output
  // channels passes over them. Chunks after the first start one pixel in, so
  // that whole vectors tile them.
  const size_t chunk = 4 * hn::Lanes(hn::ScalableTag<float>());
  for (int y = std::max(rowBegin, 0); y < std::min(rowEnd, height); ++y) {
    // Row starts within the first input channel (null outside the image).
    const float* rowStart[3] = {y > 0 ? in + static_cast<size_t>(y - 1) * w : nullptr,
                                in + static_cast<size_t>(y) * w,
                                y + 1 < height ? in + static_cast<size_t>(y + 1) * w : nullptr};
    float* dst = out + static_cast<size_t>(y) * w;
    for (size_t x0 = 0; x0 < w;) {
      const size_t x1 = std::min(w, (x0 == 0 ? 1 : x0) + chunk);
      int co = 0;
      for (; co + 4 <= outChannels; co += 4)
        ConvBlockRow<4>(plane, inChannels, rowStart, w, x0, x1, weight + static_cast<size_t>(co) * setStride,
                        setStride, bias ? bias + co : nullptr, relu, dst + static_cast<size_t>(co) * plane,
                        plane);
      for (; co < outChannels; ++co)
        ConvBlockRow<1>(plane, inChannels, rowStart, w, x0, x1, weight + static_cast<size_t>(co) * setStride,
                        setStride, bias ? bias + co : nullptr, relu, dst + static_cast<size_t>(co) * plane,
                        plane);
      x0 = x1;
    }
  }
}

// Difference of two float16 vectors as a float16 value, back in float32.
template <class D>
HWY_INLINE hn::Vec<D> HalfDifference(D d, const uint16_t* HWY_RESTRICT a,
                                     const uint16_t* HWY_RESTRICT b, size_t i) {
  const auto diff = hn::Sub(LoadHalfU(d, a + i), LoadHalfU(d, b + i));
  if constexpr (kHardwareF16) {
    const hn::Rebind<hwy::float16_t, D> dh;
    return hn::PromoteTo(d, hn::DemoteTo(dh, diff));
  } else {
    return HalfBitsToF32(d, F32ToHalfBits(d, diff));
  }
}

float RetrieveTermPooledKernel(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                               const uint16_t* HWY_RESTRICT w, size_t n) {
  return FixedOrderSum(n, [&](auto d, size_t i) {
    const auto diff = HalfDifference(d, a, b, i);
    return hn::Mul(LoadHalfU(d, w + i), hn::Mul(diff, diff));
  });
}

float RetrieveTermExactKernel(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                              const float* HWY_RESTRICT w, size_t n) {
  return FixedOrderSum(n, [&](auto d, size_t i) {
    return hn::Mul(hn::LoadU(d, w + i), hn::Abs(HalfDifference(d, a, b, i)));
  });
}

}  // namespace le::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

uint16_t f32ToF16(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const uint32_t a = bits & 0x7FFFFFFFu;
  uint32_t h;
  if (a > 0x7F800000u) {
    h = 0x7E00u | ((a >> 13) & 0x3FFu);
  } else if (a >= 0x477FF000u) {
    h = 0x7C00u;
  } else if (a >= 0x38800000u) {
    h = (a - (0x38000000u - 0xFFFu) + ((a >> 13) & 1u)) >> 13;
  } else {
    float magnitude;
    std::memcpy(&magnitude, &a, sizeof magnitude);
    const float aligned = magnitude + 0.5f;
    std::memcpy(&h, &aligned, sizeof h);
    h -= 0x3F000000u;
  }
  return static_cast<uint16_t>(h | sign);
}

float halfToFloat(uint16_t half) {
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
  const uint32_t exponent = (half >> 10) & 0x1Fu;
  const uint32_t mantissa = half & 0x3FFu;
  uint32_t bits;
  if (exponent == 0x1Fu) {
    bits = 0x7F800000u | (mantissa << 13) | (mantissa ? 0x00400000u : 0u);
  } else if (exponent == 0) {
    // Exact: mantissa * 2^-24 is a normal float for every mantissa.
    const float value = static_cast<float>(mantissa) * 5.9604644775390625e-08f;
    std::memcpy(&bits, &value, sizeof bits);
  } else {
    bits = ((exponent + 112u) << 23) | (mantissa << 13);
  }
  bits |= sign;
  float result;
  std::memcpy(&result, &bits, sizeof result);
  return result;
}

namespace simd {

HWY_EXPORT(ChosenTargetName);
HWY_EXPORT(F16ToF32Kernel);
HWY_EXPORT(F32ToF16Kernel);
HWY_EXPORT(Rgb8ToPlanarF16Kernel);
HWY_EXPORT(Rgb24ToRgbaKernel);
HWY_EXPORT(Conv3x3RangeKernel);
HWY_EXPORT(Conv3x3RowsKernel);
HWY_EXPORT(RetrieveTermPooledKernel);
HWY_EXPORT(RetrieveTermExactKernel);

const char* target() { return HWY_DYNAMIC_DISPATCH(ChosenTargetName)(); }

void f16ToF32(const uint16_t* src, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32Kernel)(src, dst, n);
}

void f32ToF16(const float* src, uint16_t* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16Kernel)(src, dst, n);
}

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t pixels, size_t planeStride) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16Kernel)(rgb, dst, pixels, planeStride);
}

void rgb24ToRgba(const uint8_t* rgb, uint8_t* rgba, size_t pixels) {
  HWY_DYNAMIC_DISPATCH(Rgb24ToRgbaKernel)(rgb, rgba, pixels);
}

void conv3x3Range(const float* in, int images, int inChannels, int height, int width,
                  const float* weight, const float* bias, int group, float* out, int coBegin,
                  int coEnd) {
  HWY_DYNAMIC_DISPATCH(Conv3x3RangeKernel)(in, images, inChannels, height, width, weight, bias,
                                           group, out, coBegin, coEnd);
}

void conv3x3Rows(const float* in, int inChannels, int height, int width, const float* weight,
                 const float* bias, int outChannels, bool relu, float* out, int rowBegin, int rowEnd) {
  HWY_DYNAMIC_DISPATCH(Conv3x3RowsKernel)(in, inChannels, height, width, weight, bias, outChannels,
                                          relu, out, rowBegin, rowEnd);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooledKernel)(a, b, w, n);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactKernel)(a, b, w, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t begin,
                             size_t end) {
  if (end <= begin) return 0.0f;
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactKernel)(a + begin, b + begin, w + begin,
                                                       end - begin);
}

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
