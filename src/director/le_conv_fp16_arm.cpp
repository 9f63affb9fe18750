// FMLAL / FMLAL2 direct convolution for 64-bit Arm (see le_conv_fp16_arm.h).
// Built for every Arm64 processor; only the kernel functions below carry the
// fp16 multiply instructions, and they run only where the processor reports
// them. Headers come before the target switch so that nothing they define is
// compiled for the wider instruction set.
#include "director/le_conv_fp16_arm.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__aarch64__)
#include <arm_neon.h>
#include <sys/auxv.h>

#ifndef HWCAP_ASIMDFHM
#define HWCAP_ASIMDFHM (1UL << 23)
#endif

namespace le::conv::arm {
bool fmlalAvailable() { return (getauxval(AT_HWCAP) & HWCAP_ASIMDFHM) != 0; }
}  // namespace le::conv::arm

#pragma GCC push_options
#pragma GCC target("arch=armv8.2-a+fp16fml")

namespace le::conv::arm {
namespace {

constexpr int kLanes = 4;

// ReLU, narrowing and store of one accumulated output vector (bias included)
// at channels [c0, c0 + 4) of an output pixel, cut at outChannels.
inline void storeOutput(float32x4_t value, bool relu, uint16_t* pixel, int c0, int outChannels) {
  if (relu) value = vmaxq_f32(value, vdupq_n_f32(0.0f));
  const uint16x4_t half = vreinterpret_u16_f16(vcvt_f16_f32(value));
  const int count = outChannels - c0;
  if (count >= kLanes) {
    vst1_u16(pixel + c0, half);
  } else if (count > 0) {
    uint16_t tail[kLanes];
    vst1_u16(tail, half);
    std::memcpy(pixel + c0, tail, static_cast<size_t>(count) * sizeof(uint16_t));
  }
}

// Input channels 2J and 2J + 1 of an 8-channel group: one load holds both
// channels' weight vectors (low and high half), FMLAL takes the low half
// times input lane 2J, FMLAL2 the high half times lane 2J + 1. Each
// accumulator sees channel 2J before 2J + 1, as in the widening kernel.
template <int J, int CB, int P>
inline void channelPair(float32x4_t (&acc)[P][CB], const float16x8_t (&px)[P], const float16_t* w,
                        size_t vectorStride) {
#pragma GCC unroll 8
  for (int v = 0; v < CB; ++v) {
    const float16x8_t wv = vld1q_f16(w + 2 * J * kLanes + v * vectorStride);
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[p][v] = vfmlalq_laneq_low_f16(acc[p][v], wv, px[p], 2 * J);
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[p][v] = vfmlalq_laneq_high_f16(acc[p][v], wv, px[p], 2 * J + 1);
  }
}

// CB output-channel vectors for P consecutive output pixels starting at x;
// rows are the fp16 input rows with their zero border.
template <int CB, int P>
inline void convCoBlock(const uint16_t* const* rows, int kernel, int stride, int cin, int x, const float16_t* w,
                        size_t vectorStride, const float* bias, bool relu, uint16_t* out, int outChannels,
                        int channelBegin) {
  float32x4_t acc[P][CB];
#pragma GCC unroll 8
  for (int v = 0; v < CB; ++v) {
    const float32x4_t b = vld1q_f32(bias + v * kLanes);
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) acc[p][v] = b;
  }
  const size_t pixelStep = static_cast<size_t>(stride) * cin;
  for (int ky = 0; ky < kernel; ++ky) {
    for (int kx = 0; kx < kernel; ++kx) {
      const auto* in = reinterpret_cast<const float16_t*>(rows[ky]) + (static_cast<size_t>(x) * stride + kx) * cin;
      const float16_t* wk = w + static_cast<size_t>(ky * kernel + kx) * cin * kLanes;
      for (int ci = 0; ci < cin; ci += 8) {
        float16x8_t px[P];
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) px[p] = vld1q_f16(in + p * pixelStep + ci);
        const float16_t* wc = wk + static_cast<size_t>(ci) * kLanes;
        channelPair<0>(acc, px, wc, vectorStride);
        channelPair<1>(acc, px, wc, vectorStride);
        channelPair<2>(acc, px, wc, vectorStride);
        channelPair<3>(acc, px, wc, vectorStride);
      }
    }
  }
#pragma GCC unroll 8
  for (int p = 0; p < P; ++p) {
    uint16_t* pixel = out + static_cast<size_t>(x + p) * outChannels;
#pragma GCC unroll 8
    for (int v = 0; v < CB; ++v) storeOutput(acc[p][v], relu, pixel, channelBegin + v * kLanes, outChannels);
  }
}

// Pixels per block: CB x P accumulators, P input vectors and one weight
// vector within the 32 registers.
template <int CB>
constexpr int kPixels = CB == 2 ? 8 : 6;

template <int CB>
void convRowBlock(const uint16_t* const* rows, const ConvArgs& a, int y, int vector, size_t vectorStride) {
  const auto* w = reinterpret_cast<const float16_t*>(a.weights) + vector * vectorStride;
  const float* bias = a.bias + vector * kLanes;
  uint16_t* out = a.out + static_cast<size_t>(y) * a.outW * a.outChannels;
  const int channelBegin = vector * kLanes;
  constexpr int P = kPixels<CB>;
  int x = 0;
  for (; x + P <= a.outW; x += P)
    convCoBlock<CB, P>(rows, a.kernel, a.stride, a.inChannelsPadded, x, w, vectorStride, bias, a.relu, out,
                       a.outChannels, channelBegin);
  for (; x < a.outW; ++x)
    convCoBlock<CB, 1>(rows, a.kernel, a.stride, a.inChannelsPadded, x, w, vectorStride, bias, a.relu, out,
                       a.outChannels, channelBegin);
}

}  // namespace

void directRows(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch) {
  const int pad = a.kernel / 2;
  const int cin = a.inChannelsPadded;
  const size_t rowHalves = static_cast<size_t>(a.inW + 2 * pad) * cin;
  const size_t vectorStride = static_cast<size_t>(a.kernel) * a.kernel * cin * kLanes;
  const int vectors = outputVectors(a.outChannels, kLanes);
  auto* buffer = reinterpret_cast<uint16_t*>(scratch);
  const uint16_t* rows[3] = {};
  for (int y = rowBegin; y < rowEnd; ++y) {
    for (int ky = 0; ky < a.kernel; ++ky) {
      uint16_t* row = buffer + ky * rowHalves;
      rows[ky] = row;
      const int iy = y * a.stride + ky - pad;
      if (iy < 0 || iy >= a.inH) {
        std::memset(row, 0, rowHalves * sizeof(uint16_t));
        continue;
      }
      const size_t border = static_cast<size_t>(pad) * cin;
      std::memset(row, 0, border * sizeof(uint16_t));
      std::memset(row + rowHalves - border, 0, border * sizeof(uint16_t));
      std::memcpy(row + border, a.in + static_cast<size_t>(iy) * a.inW * cin,
                  static_cast<size_t>(a.inW) * cin * sizeof(uint16_t));
    }
    // Blocks of 4 output vectors, the rest as 3 or 2 (5 as 3 + 2).
    for (int v = 0; v < vectors;) {
      const int left = vectors - v;
      if (left == 4 || left >= 6) {
        convRowBlock<4>(rows, a, y, v, vectorStride);
        v += 4;
      } else if (left == 3 || left == 5) {
        convRowBlock<3>(rows, a, y, v, vectorStride);
        v += 3;
      } else {
        convRowBlock<2>(rows, a, y, v, vectorStride);
        v += 2;
      }
    }
  }
}

}  // namespace le::conv::arm

#pragma GCC pop_options

#else

namespace le::conv::arm {
bool fmlalAvailable() { return false; }
void directRows(const ConvArgs&, int, int, float*) {}
}  // namespace le::conv::arm

#endif
