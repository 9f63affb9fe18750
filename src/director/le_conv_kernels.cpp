// Convolution kernels of the fp16 engine, compiled once per vector target.
// Activations and weights are stored as fp16 and widened to fp32 as they are
// read (F16C / AVX-512 conversions on x86); sums accumulate in fp32 and are
// narrowed once per output.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/le_conv_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <algorithm>
#include <cstring>

#include "director/le_conv_kernels.h"
#include "hwy/highway.h"
#include "paste/le_simd.h"

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
  } else if (count > 0) {
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
// CB output-channel vectors for P consecutive output pixels starting at x.
template <int CB, int P>
HWY_INLINE void convCoBlock(const Rows& r, int x, int kernel, const hwy::float16_t* HWY_RESTRICT w,
                            size_t vectorStride, const float* HWY_RESTRICT bias, bool relu,
                            uint16_t* HWY_RESTRICT out, int outChannels, int channelBegin) {
  const DF df;
  const DH dh;
  const size_t lanes = hn::Lanes(df);
  const int cin = r.channels;
  VF acc[P][CB];
  for (int v = 0; v < CB; ++v) {
    const VF b = hn::LoadU(df, bias + v * lanes);
    for (int p = 0; p < P; ++p) acc[p][v] = b;
  }
  const size_t pixelStep = static_cast<size_t>(r.stride) * cin;
  for (int ky = 0; ky < kernel; ++ky) {
    for (int kx = 0; kx < kernel; ++kx) {
      const float* HWY_RESTRICT in = r.row[ky] + (static_cast<size_t>(x) * r.stride + kx) * cin;
      const hwy::float16_t* HWY_RESTRICT wk = w + static_cast<size_t>(ky * kernel + kx) * cin * lanes;
      for (int ci = 0; ci < cin; ++ci) {
        VF px[P];
        for (int p = 0; p < P; ++p) px[p] = hn::Set(df, in[p * pixelStep + ci]);
        for (int v = 0; v < CB; ++v) {
          const VF wv = hn::PromoteTo(df, hn::LoadU(dh, wk + v * vectorStride + ci * lanes));
          for (int p = 0; p < P; ++p) acc[p][v] = hn::MulAdd(wv, px[p], acc[p][v]);
        }
      }
    }
  }
  for (int p = 0; p < P; ++p)
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
  const size_t lanes = hn::Lanes(DF());
  const int pad = a.kernel / 2;
  const int cin = a.inChannelsPadded;
  const size_t rowFloats = static_cast<size_t>(a.inW + 2 * pad) * cin;
  const size_t vectorStride = static_cast<size_t>(a.kernel) * a.kernel * cin * lanes;
  const int vectors = outputVectors(a.outChannels, lanes);
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

}  // namespace le::conv::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::conv {

HWY_EXPORT(LanesKernel);
HWY_EXPORT(RunConvKernel);

size_t vectorLanes() { return HWY_DYNAMIC_DISPATCH(LanesKernel)(); }

int outputVectors(int outChannels, size_t lanes) {
  const int l = static_cast<int>(lanes);
  return std::max(2, (outChannels + l - 1) / l);
}

size_t scratchFloats(int kernel, int inW, int inChannelsPadded) {
  const int pad = kernel / 2;
  return static_cast<size_t>(kernel) * (inW + 2 * pad) * inChannelsPadded;
}

size_t packedWeightCount(int outChannels, int inChannelsPadded, int kernel, size_t lanes) {
  return static_cast<size_t>(outputVectors(outChannels, lanes)) * lanes * kernel * kernel * inChannelsPadded;
}

void packWeights(const float* oihw, int outChannels, int inChannels, int inChannelsPadded, int kernel,
                 size_t lanes, uint16_t* packed) {
  const int vectors = outputVectors(outChannels, lanes);
  size_t i = 0;
  for (int v = 0; v < vectors; ++v)
    for (int ky = 0; ky < kernel; ++ky)
      for (int kx = 0; kx < kernel; ++kx)
        for (int ci = 0; ci < inChannelsPadded; ++ci)
          for (size_t lane = 0; lane < lanes; ++lane, ++i) {
            const int co = v * static_cast<int>(lanes) + static_cast<int>(lane);
            float w = 0.0f;
            if (co < outChannels && ci < inChannels)
              w = oihw[((static_cast<size_t>(co) * inChannels + ci) * kernel + ky) * kernel + kx];
            packed[i] = le::f32ToF16(w);
          }
}

void runConv(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch) {
  HWY_DYNAMIC_DISPATCH(RunConvKernel)(a, rowBegin, rowEnd, scratch);
}

}  // namespace le::conv
#endif  // HWY_ONCE
