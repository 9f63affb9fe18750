// Convolution kernels of the fp16 engine, compiled once per vector target.
// Activations and weights are stored as fp16 and widened to fp32 as they are
// read (F16C / AVX-512 conversions on x86); sums accumulate in fp32 and are
// narrowed once per output. On plain NEON with FMLAL the direct kernel
// multiplies the fp16 values as they are (le_conv_fp16_arm.cpp).

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/le_conv_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <algorithm>
#include <atomic>
#include <cstring>

#include "director/le_conv_fp16_arm.h"
#include "director/le_conv_kernels.h"
#include "hwy/highway.h"
#include "paste/le_simd.h"

#ifndef LE_CONV_KERNELS_SHARED
#define LE_CONV_KERNELS_SHARED
namespace le::conv {
// Winograd tiles transformed and multiplied together: the transformed
// inputs and products of one chunk stay in the per-worker scratch.
constexpr int kWinogradChunk = 24;
inline int winogradChunk(int outW) { return std::min(kWinogradChunk, (outW + 1) / 2); }
// Taps of one kernel row (kernel x input channels), padded to whole vectors.
inline size_t dotRowTaps(int kernel, int inChannelsPadded, size_t lanes) {
  const size_t taps = static_cast<size_t>(kernel) * inChannelsPadded;
  return (taps + lanes - 1) / lanes * lanes;
}
}  // namespace le::conv
#endif

HWY_BEFORE_NAMESPACE();
namespace le::conv::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using DH = hn::Rebind<hwy::float16_t, DF>;
using VF = hn::Vec<DF>;

size_t LanesKernel() { return hn::Lanes(DF()); }

// Register blocking: pixels per output-channel block, so that accumulators,
// the pixel broadcasts and one weight vector fit the register file (16
// vector registers on AVX2 and older, 32 on AVX-512 and 64-bit Arm).
#if (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3) || HWY_ARCH_ARM_A64
template <int CB>
constexpr int kPixels = CB == 4 ? 6 : 8;
#else
template <int CB>
constexpr int kPixels = CB == 2 ? 4 : 3;
#endif

// Widened input rows of one output row, the zero border included.
struct Rows {
  const float* row[3];
  int stride;
  int channels;
};

// Bias, ReLU and narrowing of one accumulated output vector v of pixel x + p.
HWY_INLINE void storeOutput(VF value, bool relu, int x, int p, int v, uint16_t* HWY_RESTRICT out,
                            int outChannels, int channelBegin) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  uint16_t* pixel = out + static_cast<size_t>(x + p) * outChannels;
  if (relu) value = hn::Max(value, hn::Zero(df));
  const auto half = hn::DemoteTo(dh, value);
  const int c0 = channelBegin + v * static_cast<int>(lanes);
  const int count = std::min(static_cast<int>(lanes), outChannels - c0);
  if (count == static_cast<int>(lanes)) {
    hn::StoreU(half, dh, reinterpret_cast<hwy::float16_t*>(pixel + c0));
  } else if (count > 0 && static_cast<size_t>(count) < hn::MaxLanes(df)) {
    // Sized by the fp32 tag: the fp16 vector holds one value per fp32 lane,
    // and MaxLanes of this half-width fp16 tag undercounts its lanes on the
    // fixed-length SVE targets (4 for 8 on SVE_256), which overran the stack.
    HWY_ALIGN hwy::float16_t tail[hn::MaxLanes(df)];
    hn::Store(half, dh, tail);
    std::memcpy(pixel + c0, tail, count * sizeof(uint16_t));
  }
}

#if HWY_HAVE_SCALABLE
// CB output-channel vectors for P consecutive output pixels starting at x.
// SVE vectors are sizeless and cannot form the accumulator block, so each
// accumulator runs on its own, over the same taps in the same order (the
// results equal the blocked kernel's).
template <int CB, int P>
HWY_INLINE void convCoBlock(const Rows& r, int x, int kernel, const hwy::float16_t* HWY_RESTRICT w,
                            size_t vectorStride, const float* HWY_RESTRICT bias, bool relu,
                            uint16_t* HWY_RESTRICT out, int outChannels, int channelBegin) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  const int cin = r.channels;
  const size_t pixelStep = static_cast<size_t>(r.stride) * cin;
  for (int p = 0; p < P; ++p) {
    for (int v = 0; v < CB; ++v) {
      VF acc = hn::LoadU(df, bias + v * lanes);
      for (int ky = 0; ky < kernel; ++ky) {
        for (int kx = 0; kx < kernel; ++kx) {
          const float* HWY_RESTRICT in =
              r.row[ky] + (static_cast<size_t>(x) * r.stride + kx) * cin + p * pixelStep;
          const hwy::float16_t* HWY_RESTRICT wk =
              w + static_cast<size_t>(ky * kernel + kx) * cin * lanes + v * vectorStride;
          for (int ci = 0; ci < cin; ++ci) {
            const VF wv = hn::PromoteTo(df, hn::LoadU(dh, wk + ci * lanes));
            acc = hn::MulAdd(wv, hn::Set(df, in[ci]), acc);
          }
        }
      }
      storeOutput(acc, relu, x, p, v, out, outChannels, channelBegin);
    }
  }
}
#else
// One input channel's step of a P x CB register block: the channel's value at
// P pixels (pixelStep floats apart) times CB fp16 weight vectors (vectorStride
// apart). The direct kernel and the Winograd products share it.
template <int CB, int P>
HWY_INLINE void accumulateChannel(hn::Vec<DF> (&acc)[P][CB], const float* HWY_RESTRICT in, size_t pixelStep,
                                  const hwy::float16_t* HWY_RESTRICT w, size_t vectorStride) {
  const DF df;
  const DH dh;
  VF px[P];
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p) px[p] = hn::Set(df, in[p * pixelStep]);
  HWY_UNROLL(8)
  for (int v = 0; v < CB; ++v) {
    const VF wv = hn::PromoteTo(df, hn::LoadU(dh, w + v * vectorStride));
    HWY_UNROLL(8)
    for (int p = 0; p < P; ++p) acc[p][v] = hn::MulAdd(wv, px[p], acc[p][v]);
  }
}

// CB output-channel vectors for P consecutive output pixels starting at x.
template <int CB, int P>
HWY_INLINE void convCoBlock(const Rows& r, int x, int kernel, const hwy::float16_t* HWY_RESTRICT w,
                            size_t vectorStride, const float* HWY_RESTRICT bias, bool relu,
                            uint16_t* HWY_RESTRICT out, int outChannels, int channelBegin) {
  const DF df;
  const size_t lanes = hn::Lanes(df);
  const int cin = r.channels;
  VF acc[P][CB];
  HWY_UNROLL(8)
  for (int v = 0; v < CB; ++v) {
    const VF b = hn::LoadU(df, bias + v * lanes);
    HWY_UNROLL(8)
    for (int p = 0; p < P; ++p) acc[p][v] = b;
  }
  const size_t pixelStep = static_cast<size_t>(r.stride) * cin;
  for (int ky = 0; ky < kernel; ++ky) {
    for (int kx = 0; kx < kernel; ++kx) {
      const float* HWY_RESTRICT in = r.row[ky] + (static_cast<size_t>(x) * r.stride + kx) * cin;
      const hwy::float16_t* HWY_RESTRICT wk = w + static_cast<size_t>(ky * kernel + kx) * cin * lanes;
      for (int ci = 0; ci < cin; ++ci)
        accumulateChannel<CB, P>(acc, in + ci, pixelStep, wk + ci * lanes, vectorStride);
    }
  }
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p)
    HWY_UNROLL(8)
    for (int v = 0; v < CB; ++v) storeOutput(acc[p][v], relu, x, p, v, out, outChannels, channelBegin);
}
#endif

template <int CB>
HWY_INLINE void convRowBlock(const Rows& r, const ConvArgs& a, int y, int vector, size_t vectorStride) {
  const size_t lanes = hn::Lanes(DF());
  const auto* w = reinterpret_cast<const hwy::float16_t*>(a.weights) + vector * vectorStride;
  const float* bias = a.bias + vector * lanes;
  uint16_t* out = a.out + static_cast<size_t>(y) * a.outW * a.outChannels;
  const int channelBegin = vector * static_cast<int>(lanes);
  constexpr int P = kPixels<CB>;
  int x = 0;
  for (; x + P <= a.outW; x += P)
    convCoBlock<CB, P>(r, x, a.kernel, w, vectorStride, bias, a.relu, out, a.outChannels, channelBegin);
  for (; x < a.outW; ++x)
    convCoBlock<CB, 1>(r, x, a.kernel, w, vectorStride, bias, a.relu, out, a.outChannels, channelBegin);
}

// ---- kDot: few output channels ------------------------------------------------

// At most 8 lanes: the horizontal sums cost less on half-width vectors, and
// on AVX-512 processors that split 512-bit operations the products run as fast.
using DD = hn::CappedTag<float, 8>;
using DDH = hn::Rebind<hwy::float16_t, DD>;
using VD = hn::Vec<DD>;

// Pixels per block of C output channels: C x P accumulators, C weight
// vectors and one input vector in registers.
#if (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3) || HWY_ARCH_ARM_A64
template <int C>
constexpr int kDotPixels = C == 4 ? 5 : C == 3 ? 6 : 8;
#else
template <int C>
constexpr int kDotPixels = C == 4 ? 2 : C == 3 ? 3 : C == 2 ? 4 : 6;
#endif

// Bias and ReLU of one output value, kept in float until the row is narrowed.
HWY_INLINE void storeDot(float sum, float bias, bool relu, float* HWY_RESTRICT out) {
  const float v = sum + bias;
  *out = relu ? std::max(v, 0.0f) : v;
}

#if HWY_HAVE_SCALABLE
// Output channels [co, co + C) of P pixels starting at x; each accumulator on
// its own (SVE vectors cannot form arrays), in the blocked kernel's order.
template <int C, int P>
HWY_INLINE void dotBlock(const Rows& r, int x, int kernel, size_t rowTaps, const hwy::float16_t* HWY_RESTRICT w,
                         size_t coStride, const float* HWY_RESTRICT bias, bool relu, float* HWY_RESTRICT out,
                         int outChannels, int co) {
  const DD df;
  const DDH dh;
  const size_t lanes = hn::Lanes(df);
  const size_t pixelStep = static_cast<size_t>(r.stride) * r.channels;
  for (int p = 0; p < P; ++p)
    for (int c = 0; c < C; ++c) {
      VD acc = hn::Zero(df);
      for (int ky = 0; ky < kernel; ++ky) {
        const float* HWY_RESTRICT in = r.row[ky] + (static_cast<size_t>(x) + p) * pixelStep;
        const hwy::float16_t* HWY_RESTRICT wk = w + c * coStride + ky * rowTaps;
        for (size_t j = 0; j < rowTaps; j += lanes)
          acc = hn::MulAdd(hn::PromoteTo(df, hn::LoadU(dh, wk + j)), hn::LoadU(df, in + j), acc);
      }
      storeDot(hn::GetLane(hn::SumOfLanes(df, acc)), bias[co + c], relu, out + static_cast<size_t>(x + p) * outChannels + co + c);
    }
}
#else
// Output channels [co, co + C) of P pixels starting at x.
template <int C, int P>
HWY_INLINE void dotBlock(const Rows& r, int x, int kernel, size_t rowTaps, const hwy::float16_t* HWY_RESTRICT w,
                         size_t coStride, const float* HWY_RESTRICT bias, bool relu, float* HWY_RESTRICT out,
                         int outChannels, int co) {
  const DD df;
  const DDH dh;
  const size_t lanes = hn::Lanes(df);
  const size_t pixelStep = static_cast<size_t>(r.stride) * r.channels;
  VD acc[P][C];
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p)
    HWY_UNROLL(8)
    for (int c = 0; c < C; ++c) acc[p][c] = hn::Zero(df);
  for (int ky = 0; ky < kernel; ++ky) {
    const float* HWY_RESTRICT in = r.row[ky] + static_cast<size_t>(x) * pixelStep;
    const hwy::float16_t* HWY_RESTRICT wk = w + ky * rowTaps;
    for (size_t j = 0; j < rowTaps; j += lanes) {
      VD wv[C];
      HWY_UNROLL(8)
      for (int c = 0; c < C; ++c) wv[c] = hn::PromoteTo(df, hn::LoadU(dh, wk + c * coStride + j));
      HWY_UNROLL(8)
      for (int p = 0; p < P; ++p) {
        const VD iv = hn::LoadU(df, in + p * pixelStep + j);
        HWY_UNROLL(8)
        for (int c = 0; c < C; ++c) acc[p][c] = hn::MulAdd(wv[c], iv, acc[p][c]);
      }
    }
  }
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p)
    HWY_UNROLL(8)
    for (int c = 0; c < C; ++c)
      storeDot(hn::GetLane(hn::SumOfLanes(df, acc[p][c])), bias[co + c], relu,
               out + static_cast<size_t>(x + p) * outChannels + co + c);
}
#endif

template <int C>
HWY_INLINE void dotRowBlock(const Rows& r, const ConvArgs& a, int co, size_t rowTaps, float* out) {
  const size_t coStride = static_cast<size_t>(a.kernel) * rowTaps;
  const auto* w = reinterpret_cast<const hwy::float16_t*>(a.weights) + co * coStride;
  constexpr int P = kDotPixels<C>;
  int x = 0;
  for (; x + P <= a.outW; x += P)
    dotBlock<C, P>(r, x, a.kernel, rowTaps, w, coStride, a.bias, a.relu, out, a.outChannels, co);
  for (; x < a.outW; ++x)
    dotBlock<C, 1>(r, x, a.kernel, rowTaps, w, coStride, a.bias, a.relu, out, a.outChannels, co);
}

// Output row y through the float row rowOut, narrowed at the end.
HWY_INLINE void dotRow(const Rows& r, const ConvArgs& a, int y, size_t rowTaps, float* HWY_RESTRICT rowOut) {
  for (int co = 0; co < a.outChannels;) {
    const int left = a.outChannels - co;
    if (left >= 4) {
      dotRowBlock<4>(r, a, co, rowTaps, rowOut);
      co += 4;
    } else if (left == 3) {
      dotRowBlock<3>(r, a, co, rowTaps, rowOut);
      co += 3;
    } else if (left == 2) {
      dotRowBlock<2>(r, a, co, rowTaps, rowOut);
      co += 2;
    } else {
      dotRowBlock<1>(r, a, co, rowTaps, rowOut);
      co += 1;
    }
  }
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df), n = static_cast<size_t>(a.outW) * a.outChannels;
  auto* out = reinterpret_cast<hwy::float16_t*>(a.out + static_cast<size_t>(y) * n);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::DemoteTo(dh, hn::LoadU(df, rowOut + i)), dh, out + i);
  for (; i < n; ++i) a.out[static_cast<size_t>(y) * n + i] = le::f32ToF16(rowOut[i]);
}

// ---- kWinograd: F(2x2, 3x3) ----------------------------------------------------
//
// Per tile row (output rows 2ty, 2ty + 1) and chunk of up to kWinogradChunk
// tiles: the input transform B^T d B of every 4x4 input tile into V[16][tile]
// [input channel], 16 products V x U into M[16][tile][output channel] (the
// direct kernel's register blocking with the 16 transformed taps in place of
// the 9 taps and tiles in place of pixels), then the output transform A^T M A
// with bias and ReLU. Transforms run on whole vectors when both channel counts
// fill them, else on 8 lanes (input channels are padded to 8, output channels
// are a multiple of 8 for this method).

using D8 = hn::CappedTag<float, 8>;

// Input pixel ix of an input row (null above or below the input) at channel
// c; zero outside. Tiles away from the left and right edges skip the column test.
template <bool kEdge, class D>
HWY_INLINE hn::Vec<D> winoLoad(D d, const hwy::float16_t* HWY_RESTRICT row, int ix, int inW, size_t cin, size_t c) {
  if (kEdge && (ix < 0 || ix >= inW)) return hn::Zero(d);
  return hn::PromoteTo(d, hn::LoadU(hn::Rebind<hwy::float16_t, D>(), row + static_cast<size_t>(ix) * cin + c));
}

// Horizontal transform of one input tile row: (d0 - d2, d1 + d2, d2 - d1, d1 - d3).
template <bool kEdge, class D, class V = hn::Vec<D>>
HWY_INLINE void winoRow(D d, const hwy::float16_t* row, int ix0, int inW, size_t cin, size_t c, V& h0, V& h1, V& h2,
                        V& h3) {
  if (!row) {
    h0 = h1 = h2 = h3 = hn::Zero(d);
    return;
  }
  const V d0 = winoLoad<kEdge>(d, row, ix0, inW, cin, c), d1 = winoLoad<kEdge>(d, row, ix0 + 1, inW, cin, c);
  const V d2 = winoLoad<kEdge>(d, row, ix0 + 2, inW, cin, c), d3 = winoLoad<kEdge>(d, row, ix0 + 3, inW, cin, c);
  h0 = hn::Sub(d0, d2);
  h1 = hn::Add(d1, d2);
  h2 = hn::Sub(d2, d1);
  h3 = hn::Sub(d1, d3);
}

// B^T d B of one tile (input columns ix0 ... ix0 + 3) into the 16 planes of v.
template <bool kEdge, class D>
HWY_INLINE void winoTile(D d, const hwy::float16_t* const* rows, int ix0, int inW, size_t cin, size_t plane,
                         float* HWY_RESTRICT dst) {
  using V8 = hn::Vec<D>;
  const size_t n = hn::Lanes(d);
  for (size_t c = 0; c < cin; c += n) {
    V8 a0, a1, a2, a3, b0, b1, b2, b3, c0, c1, c2, c3, e0, e1, e2, e3;
    winoRow<kEdge>(d, rows[0], ix0, inW, cin, c, a0, a1, a2, a3);
    winoRow<kEdge>(d, rows[1], ix0, inW, cin, c, b0, b1, b2, b3);
    winoRow<kEdge>(d, rows[2], ix0, inW, cin, c, c0, c1, c2, c3);
    winoRow<kEdge>(d, rows[3], ix0, inW, cin, c, e0, e1, e2, e3);
    float* o = dst + c;
    hn::StoreU(hn::Sub(a0, c0), d, o + 0 * plane);
    hn::StoreU(hn::Sub(a1, c1), d, o + 1 * plane);
    hn::StoreU(hn::Sub(a2, c2), d, o + 2 * plane);
    hn::StoreU(hn::Sub(a3, c3), d, o + 3 * plane);
    hn::StoreU(hn::Add(b0, c0), d, o + 4 * plane);
    hn::StoreU(hn::Add(b1, c1), d, o + 5 * plane);
    hn::StoreU(hn::Add(b2, c2), d, o + 6 * plane);
    hn::StoreU(hn::Add(b3, c3), d, o + 7 * plane);
    hn::StoreU(hn::Sub(c0, b0), d, o + 8 * plane);
    hn::StoreU(hn::Sub(c1, b1), d, o + 9 * plane);
    hn::StoreU(hn::Sub(c2, b2), d, o + 10 * plane);
    hn::StoreU(hn::Sub(c3, b3), d, o + 11 * plane);
    hn::StoreU(hn::Sub(b0, e0), d, o + 12 * plane);
    hn::StoreU(hn::Sub(b1, e1), d, o + 13 * plane);
    hn::StoreU(hn::Sub(b2, e2), d, o + 14 * plane);
    hn::StoreU(hn::Sub(b3, e3), d, o + 15 * plane);
  }
}

template <class D>
HWY_INLINE void winoInput(D d, const ConvArgs& a, int ty, int tx0, int tiles, int chunk, float* HWY_RESTRICT v) {
  const size_t cin = static_cast<size_t>(a.inChannelsPadded);
  const auto* in = reinterpret_cast<const hwy::float16_t*>(a.in);
  const size_t plane = static_cast<size_t>(chunk) * cin;  // one transformed tap
  const hwy::float16_t* rows[4];
  for (int i = 0; i < 4; ++i) {
    const int iy = 2 * ty - 1 + i;
    rows[i] = iy >= 0 && iy < a.inH ? in + static_cast<size_t>(iy) * a.inW * cin : nullptr;
  }
  for (int t = 0; t < tiles; ++t) {
    const int ix0 = 2 * (tx0 + t) - 1;
    float* HWY_RESTRICT dst = v + static_cast<size_t>(t) * cin;
    if (ix0 >= 0 && ix0 + 3 < a.inW)
      winoTile<false>(d, rows, ix0, a.inW, cin, plane, dst);
    else
      winoTile<true>(d, rows, ix0, a.inW, cin, plane, dst);
  }
}

#if HWY_HAVE_SCALABLE
// CB output vectors of P tiles for one transformed tap; accumulators one at a time.
template <int CB, int P>
HWY_INLINE void winoGemmBlock(const float* HWY_RESTRICT v, size_t cin, const hwy::float16_t* HWY_RESTRICT u,
                              size_t vectorStride, float* HWY_RESTRICT m, size_t coutV) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  for (int p = 0; p < P; ++p)
    for (int k = 0; k < CB; ++k) {
      VF acc = hn::Zero(df);
      for (size_t ci = 0; ci < cin; ++ci)
        acc = hn::MulAdd(hn::PromoteTo(df, hn::LoadU(dh, u + k * vectorStride + ci * lanes)),
                         hn::Set(df, v[p * cin + ci]), acc);
      hn::StoreU(acc, df, m + p * coutV + k * lanes);
    }
}
#else
// CB output vectors of P tiles for one transformed tap.
template <int CB, int P>
HWY_INLINE void winoGemmBlock(const float* HWY_RESTRICT v, size_t cin, const hwy::float16_t* HWY_RESTRICT u,
                              size_t vectorStride, float* HWY_RESTRICT m, size_t coutV) {
  const DF df;
  const size_t lanes = hn::Lanes(df);
  VF acc[P][CB];
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p)
    HWY_UNROLL(8)
    for (int k = 0; k < CB; ++k) acc[p][k] = hn::Zero(df);
  for (size_t ci = 0; ci < cin; ++ci) accumulateChannel<CB, P>(acc, v + ci, cin, u + ci * lanes, vectorStride);
  HWY_UNROLL(8)
  for (int p = 0; p < P; ++p)
    HWY_UNROLL(8)
    for (int k = 0; k < CB; ++k) hn::StoreU(acc[p][k], df, m + p * coutV + k * lanes);
}
#endif

template <int CB>
HWY_INLINE void winoGemmRow(const float* v, size_t cin, const hwy::float16_t* u, size_t vectorStride, float* m,
                            size_t coutV, int tiles) {
  constexpr int P = kPixels<CB>;
  int t = 0;
  for (; t + P <= tiles; t += P) winoGemmBlock<CB, P>(v + t * cin, cin, u, vectorStride, m + t * coutV, coutV);
  for (; t < tiles; ++t) winoGemmBlock<CB, 1>(v + t * cin, cin, u, vectorStride, m + t * coutV, coutV);
}

template <class D>
HWY_INLINE void winoOutput(D d, const ConvArgs& a, int ty, int tx0, int tiles, int chunk, size_t coutV,
                           const float* HWY_RESTRICT m, int rowBegin, int rowEnd) {
  using V8 = hn::Vec<D>;
  const hn::Rebind<hwy::float16_t, D> dh;
  const size_t n = hn::Lanes(d);
  const size_t plane = static_cast<size_t>(chunk) * coutV;
  const V8 zero = hn::Zero(d);
  auto* out = reinterpret_cast<hwy::float16_t*>(a.out);
  const int y0 = 2 * ty;
  const bool row0 = y0 >= rowBegin && y0 < rowEnd, row1 = y0 + 1 >= rowBegin && y0 + 1 < rowEnd;
  for (int t = 0; t < tiles; ++t) {
    const int x0 = 2 * (tx0 + t);
    const bool col1 = x0 + 1 < a.outW;
    const float* src = m + static_cast<size_t>(t) * coutV;
    for (size_t c = 0; c < static_cast<size_t>(a.outChannels); c += n) {
      const float* s = src + c;
      // A^T down the columns, then along the rows.
      V8 s00, s01, s02, s03, s10, s11, s12, s13;
      {
        const V8 m0 = hn::LoadU(d, s + 0 * plane), m1 = hn::LoadU(d, s + 4 * plane);
        const V8 m2 = hn::LoadU(d, s + 8 * plane), m3 = hn::LoadU(d, s + 12 * plane);
        s00 = hn::Add(hn::Add(m0, m1), m2);
        s10 = hn::Sub(hn::Sub(m1, m2), m3);
      }
      {
        const V8 m0 = hn::LoadU(d, s + 1 * plane), m1 = hn::LoadU(d, s + 5 * plane);
        const V8 m2 = hn::LoadU(d, s + 9 * plane), m3 = hn::LoadU(d, s + 13 * plane);
        s01 = hn::Add(hn::Add(m0, m1), m2);
        s11 = hn::Sub(hn::Sub(m1, m2), m3);
      }
      {
        const V8 m0 = hn::LoadU(d, s + 2 * plane), m1 = hn::LoadU(d, s + 6 * plane);
        const V8 m2 = hn::LoadU(d, s + 10 * plane), m3 = hn::LoadU(d, s + 14 * plane);
        s02 = hn::Add(hn::Add(m0, m1), m2);
        s12 = hn::Sub(hn::Sub(m1, m2), m3);
      }
      {
        const V8 m0 = hn::LoadU(d, s + 3 * plane), m1 = hn::LoadU(d, s + 7 * plane);
        const V8 m2 = hn::LoadU(d, s + 11 * plane), m3 = hn::LoadU(d, s + 15 * plane);
        s03 = hn::Add(hn::Add(m0, m1), m2);
        s13 = hn::Sub(hn::Sub(m1, m2), m3);
      }
      const V8 b = hn::LoadU(d, a.bias + c);
      V8 o00 = hn::Add(hn::Add(hn::Add(s00, s01), s02), b);
      V8 o01 = hn::Add(hn::Sub(hn::Sub(s01, s02), s03), b);
      V8 o10 = hn::Add(hn::Add(hn::Add(s10, s11), s12), b);
      V8 o11 = hn::Add(hn::Sub(hn::Sub(s11, s12), s13), b);
      if (a.relu) {
        o00 = hn::Max(o00, zero);
        o01 = hn::Max(o01, zero);
        o10 = hn::Max(o10, zero);
        o11 = hn::Max(o11, zero);
      }
      hwy::float16_t* p0 = out + (static_cast<size_t>(y0) * a.outW + x0) * a.outChannels + c;
      hwy::float16_t* p1 = p0 + static_cast<size_t>(a.outW) * a.outChannels;
      if (row0) {
        hn::StoreU(hn::DemoteTo(dh, o00), dh, p0);
        if (col1) hn::StoreU(hn::DemoteTo(dh, o01), dh, p0 + a.outChannels);
      }
      if (row1) {
        hn::StoreU(hn::DemoteTo(dh, o10), dh, p1);
        if (col1) hn::StoreU(hn::DemoteTo(dh, o11), dh, p1 + a.outChannels);
      }
    }
  }
}

void winoRun(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch) {
  const size_t lanes = hn::Lanes(DF());
  const size_t cin = static_cast<size_t>(a.inChannelsPadded);
  const int vectors = outputVectors(a.outChannels, lanes);
  const size_t coutV = static_cast<size_t>(vectors) * lanes;
  const int tilesW = (a.outW + 1) / 2;
  const int chunk = winogradChunk(a.outW);
  const size_t vectorStride = 16 * cin * lanes;
  float* v = scratch;
  float* m = scratch + 16 * static_cast<size_t>(chunk) * cin;
  const auto* u = reinterpret_cast<const hwy::float16_t*>(a.weights);
  // Transforms on whole vectors where the channel counts allow, else on 8 lanes.
  const bool wide = cin % lanes == 0 && a.outChannels % static_cast<int>(lanes) == 0;
  for (int ty = rowBegin / 2; 2 * ty < rowEnd; ++ty)
    for (int tx0 = 0; tx0 < tilesW; tx0 += chunk) {
      const int tiles = std::min(chunk, tilesW - tx0);
      if (wide)
        winoInput(DF(), a, ty, tx0, tiles, chunk, v);
      else
        winoInput(D8(), a, ty, tx0, tiles, chunk, v);
      for (int xi = 0; xi < 16; ++xi) {
        const float* vx = v + static_cast<size_t>(xi) * chunk * cin;
        float* mx = m + static_cast<size_t>(xi) * chunk * coutV;
        const hwy::float16_t* ux = u + static_cast<size_t>(xi) * cin * lanes;
        for (int k = 0; k < vectors;) {
          const int left = vectors - k;
          const hwy::float16_t* uk = ux + k * vectorStride;
          if (left == 4 || left >= 6) {
            winoGemmRow<4>(vx, cin, uk, vectorStride, mx + k * lanes, coutV, tiles);
            k += 4;
          } else if (left == 3 || left == 5) {
            winoGemmRow<3>(vx, cin, uk, vectorStride, mx + k * lanes, coutV, tiles);
            k += 3;
          } else {
            winoGemmRow<2>(vx, cin, uk, vectorStride, mx + k * lanes, coutV, tiles);
            k += 2;
          }
        }
      }
      if (wide)
        winoOutput(DF(), a, ty, tx0, tiles, chunk, coutV, m, rowBegin, rowEnd);
      else
        winoOutput(D8(), a, ty, tx0, tiles, chunk, coutV, m, rowBegin, rowEnd);
    }
}

// Widens one NHWC fp16 row into dst.
HWY_INLINE void widenRow(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  const auto* s = reinterpret_cast<const hwy::float16_t*>(src);
  size_t i = 0;
  for (; i + lanes <= n; i += lanes) hn::StoreU(hn::PromoteTo(df, hn::LoadU(dh, s + i)), df, dst + i);
  for (; i < n; ++i) dst[i] = le::halfToFloat(src[i]);
}

void RunConvKernel(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch) {
  if (a.method == ConvMethod::kWinograd) {
    winoRun(a, rowBegin, rowEnd, scratch);
    return;
  }
#if HWY_TARGET == HWY_NEON && HWY_ARCH_ARM_A64
  if (a.method == ConvMethod::kDirect && nativeFp16()) {
    arm::directRows(a, rowBegin, rowEnd, scratch);
    return;
  }
#endif
  const size_t lanes = hn::Lanes(DF());
  const int pad = a.kernel / 2;
  const int cin = a.inChannelsPadded;
  const size_t rowFloats = static_cast<size_t>(a.inW + 2 * pad) * cin;
  const size_t vectorStride = static_cast<size_t>(a.kernel) * a.kernel * cin * lanes;
  const int vectors = outputVectors(a.outChannels, lanes);
  const size_t rowTaps = dotRowTaps(a.kernel, cin, lanes);
  if (a.method == ConvMethod::kDot) {
    // The last kernel row's final vector reads past the row: zeros there,
    // times zero-padded weights.
    std::fill(scratch + a.kernel * rowFloats, scratch + a.kernel * rowFloats + lanes, 0.0f);
  }
  Rows r{};
  r.stride = a.stride;
  r.channels = cin;
  for (int y = rowBegin; y < rowEnd; ++y) {
    for (int ky = 0; ky < a.kernel; ++ky) {
      float* row = scratch + ky * rowFloats;
      r.row[ky] = row;
      const int iy = y * a.stride + ky - pad;
      if (iy < 0 || iy >= a.inH) {
        std::fill(row, row + rowFloats, 0.0f);
        continue;
      }
      std::fill(row, row + pad * cin, 0.0f);
      std::fill(row + rowFloats - pad * cin, row + rowFloats, 0.0f);
      widenRow(a.in + static_cast<size_t>(iy) * a.inW * cin, row + pad * cin,
               static_cast<size_t>(a.inW) * cin);
    }
    if (a.method == ConvMethod::kDot) {
      dotRow(r, a, y, rowTaps, scratch + a.kernel * rowFloats + lanes);
      continue;
    }
    // Blocks of 4 output vectors, the rest as 3 or 2 (5 as 3 + 2).
    for (int v = 0; v < vectors;) {
      const int left = vectors - v;
      if (left == 4 || left >= 6) {
        convRowBlock<4>(r, a, y, v, vectorStride);
        v += 4;
      } else if (left == 3 || left == 5) {
        convRowBlock<3>(r, a, y, v, vectorStride);
        v += 3;
      } else {
        convRowBlock<2>(r, a, y, v, vectorStride);
        v += 2;
      }
    }
  }
}

// dst[j] = sum_k weights[k] * rows[k * stride + j]: fp16 rows, fp32 sums. Four
// rows per pass over dst, so dst (kept short by the caller, in L1) is read and
// written a quarter as often and only five streams run at once.
void WeightedRowsKernel(const uint16_t* HWY_RESTRICT rows, size_t stride, const float* HWY_RESTRICT weights,
                        int count, float* HWY_RESTRICT dst, size_t n) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  const hwy::float16_t* r = reinterpret_cast<const hwy::float16_t*>(rows);
  auto row = [&](int k, size_t j) { return hn::PromoteTo(df, hn::LoadU(dh, r + k * stride + j)); };
  const size_t vecEnd = n / lanes * lanes;
  for (int k0 = 0; k0 < count; k0 += 4) {
    const int kn = std::min(4, count - k0);
    size_t j = 0;
    if (kn == 4) {
      const VF w0 = hn::Set(df, weights[k0]), w1 = hn::Set(df, weights[k0 + 1]);
      const VF w2 = hn::Set(df, weights[k0 + 2]), w3 = hn::Set(df, weights[k0 + 3]);
      for (; j < vecEnd; j += lanes) {
        VF acc = k0 == 0 ? hn::Zero(df) : hn::LoadU(df, dst + j);
        acc = hn::MulAdd(w0, row(k0, j), acc);
        acc = hn::MulAdd(w1, row(k0 + 1, j), acc);
        acc = hn::MulAdd(w2, row(k0 + 2, j), acc);
        acc = hn::MulAdd(w3, row(k0 + 3, j), acc);
        hn::StoreU(acc, df, dst + j);
      }
    } else {
      for (; j < vecEnd; j += lanes) {
        VF acc = k0 == 0 ? hn::Zero(df) : hn::LoadU(df, dst + j);
        for (int k = k0; k < k0 + kn; ++k) acc = hn::MulAdd(hn::Set(df, weights[k]), row(k, j), acc);
        hn::StoreU(acc, df, dst + j);
      }
    }
    for (; j < n; ++j) {
      float acc = k0 == 0 ? 0.0f : dst[j];
      for (int k = k0; k < k0 + kn; ++k) acc += weights[k] * le::halfToFloat(rows[k * stride + j]);
      dst[j] = acc;
    }
  }
  if (count <= 0) std::fill(dst, dst + n, 0.0f);
}

}  // namespace le::conv::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::conv {

HWY_EXPORT(LanesKernel);
HWY_EXPORT(RunConvKernel);
HWY_EXPORT(WeightedRowsKernel);

size_t vectorLanes() { return HWY_DYNAMIC_DISPATCH(LanesKernel)(); }

namespace {
std::atomic<bool> nativeFp16Wanted{true};
}  // namespace

bool nativeFp16() {
  static const bool available = arm::fmlalAvailable();
  return available && nativeFp16Wanted.load(std::memory_order_relaxed);
}

void setNativeFp16(bool on) { nativeFp16Wanted.store(on, std::memory_order_relaxed); }

int outputVectors(int outChannels, size_t lanes) {
  const int l = static_cast<int>(lanes);
  return std::max(2, (outChannels + l - 1) / l);
}

bool methodApplies(ConvMethod method, int outChannels, int kernel, int stride) {
  if (method == ConvMethod::kWinograd) return kernel == 3 && stride == 1 && outChannels % 8 == 0;
  return true;
}

ConvMethod chooseMethod(int outChannels, int inChannelsPadded, int kernel, int stride, size_t lanes) {
  (void)inChannelsPadded;
  // More than a quarter of kDirect's output lanes would carry no channel.
  if (4 * outChannels < 3 * outputVectors(outChannels, lanes) * static_cast<int>(lanes)) return ConvMethod::kDot;
  if (methodApplies(ConvMethod::kWinograd, outChannels, kernel, stride)) return ConvMethod::kWinograd;
  return ConvMethod::kDirect;
}

size_t scratchFloats(ConvMethod method, int kernel, int inW, int inChannelsPadded, int outChannels, size_t lanes) {
  if (method == ConvMethod::kWinograd) {
    const size_t coutV = static_cast<size_t>(outputVectors(outChannels, lanes)) * lanes;
    return 16 * static_cast<size_t>(winogradChunk(inW)) * (inChannelsPadded + coutV);
  }
  const int pad = kernel / 2;
  const size_t rows = static_cast<size_t>(kernel) * (inW + 2 * pad) * inChannelsPadded;
  // kDot: a zero vector past the rows, then one output row in float.
  return method == ConvMethod::kDot ? rows + lanes + static_cast<size_t>(inW) * outChannels : rows;
}

size_t packedWeightCount(int outChannels, int inChannelsPadded, int kernel, size_t lanes, ConvMethod method) {
  const size_t vectorsLanes = static_cast<size_t>(outputVectors(outChannels, lanes)) * lanes;
  switch (method) {
    case ConvMethod::kDot:
      return static_cast<size_t>(outChannels) * kernel * dotRowTaps(kernel, inChannelsPadded, lanes);
    case ConvMethod::kWinograd:
      return vectorsLanes * 16 * inChannelsPadded;
    case ConvMethod::kDirect:
      break;
  }
  return vectorsLanes * kernel * kernel * inChannelsPadded;
}

void packWeights(const float* oihw, int outChannels, int inChannels, int inChannelsPadded, int kernel,
                 size_t lanes, uint16_t* packed, ConvMethod method) {
  auto weight = [&](int co, int ci, int ky, int kx) {
    return oihw[((static_cast<size_t>(co) * inChannels + ci) * kernel + ky) * kernel + kx];
  };
  const int vectors = outputVectors(outChannels, lanes);
  if (method == ConvMethod::kDot) {
    const size_t rowTaps = dotRowTaps(kernel, inChannelsPadded, lanes);
    std::fill(packed, packed + packedWeightCount(outChannels, inChannelsPadded, kernel, lanes, method), 0);
    for (int co = 0; co < outChannels; ++co)
      for (int ky = 0; ky < kernel; ++ky)
        for (int kx = 0; kx < kernel; ++kx)
          for (int ci = 0; ci < inChannels; ++ci)
            packed[(static_cast<size_t>(co) * kernel + ky) * rowTaps + static_cast<size_t>(kx) * inChannelsPadded + ci] =
                le::f32ToF16(weight(co, ci, ky, kx));
    return;
  }
  if (method == ConvMethod::kWinograd) {
    // U = G g G^T in double, rounded to fp16 once.
    static const double G[4][3] = {{1, 0, 0}, {0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0, 0, 1}};
    size_t i = 0;
    for (int v = 0; v < vectors; ++v)
      for (int xi = 0; xi < 16; ++xi)
        for (int ci = 0; ci < inChannelsPadded; ++ci)
          for (size_t lane = 0; lane < lanes; ++lane, ++i) {
            const int co = v * static_cast<int>(lanes) + static_cast<int>(lane);
            double u = 0.0;
            if (co < outChannels && ci < inChannels)
              for (int ky = 0; ky < 3; ++ky)
                for (int kx = 0; kx < 3; ++kx) u += G[xi / 4][ky] * weight(co, ci, ky, kx) * G[xi % 4][kx];
            packed[i] = le::f32ToF16(static_cast<float>(u));
          }
    return;
  }
  size_t i = 0;
  for (int v = 0; v < vectors; ++v)
    for (int ky = 0; ky < kernel; ++ky)
      for (int kx = 0; kx < kernel; ++kx)
        for (int ci = 0; ci < inChannelsPadded; ++ci)
          for (size_t lane = 0; lane < lanes; ++lane, ++i) {
            const int co = v * static_cast<int>(lanes) + static_cast<int>(lane);
            packed[i] = le::f32ToF16(co < outChannels && ci < inChannels ? weight(co, ci, ky, kx) : 0.0f);
          }
}

void runConv(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch) {
  HWY_DYNAMIC_DISPATCH(RunConvKernel)(a, rowBegin, rowEnd, scratch);
}

void weightedRows(const uint16_t* rows, size_t stride, const float* weights, int count, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(WeightedRowsKernel)(rows, stride, weights, count, dst, n);
}

}  // namespace le::conv
#endif  // HWY_ONCE
