// The widening dot-product path of Int8ConvVNNI for every vector target.
// Activations and weights are held as 16-bit integers so that one pairwise
// multiply-add per vector covers two input channels for every output channel
// lane, exactly: |255 x -128| x 2 < 2^31. (The byte form, vpmaddubsw,
// saturates its pair sums at 16 bits and would need a split costing the same
// multiplier slots.)

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/int8conv_dot.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <cstring>

#include "director/int8conv_dot.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace int8conv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR
// One lane holds no pair of 16-bit values: the same sums, one channel at a time.
template <int P>
HWY_INLINE void DotWiden(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  for (int p = 0; p < P; ++p)
    for (int j = 0; j < count; ++j) {
      uint32_t sum = 0;
      for (int64_t ky = 0; ky < a.rows; ++ky)
        for (int64_t kx = 0; kx < a.cols; ++kx) {
          const uint16_t* q = a.q16 + p * a.pixelStep + ky * a.rowStep + kx * a.colStep;
          const int16_t* w = a.w16 + ky * a.wRowStep + kx * a.wTapStep + 2 * j;
          for (int64_t k = 0; k < 2 * a.quads; ++k)
            sum += static_cast<uint32_t>(q[2 * k] * w[k * a.mPadded * 2] + q[2 * k + 1] * w[k * a.mPadded * 2 + 1]);
        }
      acc[p][j] = static_cast<int32_t>(sum);
    }
}
#else
// At most 16 channels per vector, so that a vector starting inside a block
// never passes the channel padding (a multiple of 16).
using D32 = hn::CappedTag<int32_t, 16>;

#if HWY_HAVE_SCALABLE
// SVE vectors are sizeless and cannot form the accumulator arrays below: one
// accumulator pair at a time over the same products (integer sums, so the
// result is the same).
template <int P, int V>
HWY_INLINE void DotChunk(const DotArgs& a, int c0, int32_t (*acc)[kBlockChannels]) {
  const D32 d32;
  const hn::Repartition<int16_t, D32> d16;
  const size_t n = hn::Lanes(d32);
  const int64_t halfStep = a.mPadded * 2;
  for (int p = 0; p < P; ++p)
    for (int v = 0; v < V; ++v) {
      auto s0 = hn::Zero(d32), s1 = hn::Zero(d32);
      for (int64_t ky = 0; ky < a.rows; ++ky)
        for (int64_t kx = 0; kx < a.cols; ++kx) {
          const uint16_t* q = a.q16 + p * a.pixelStep + ky * a.rowStep + kx * a.colStep;
          const int16_t* w = a.w16 + ky * a.wRowStep + kx * a.wTapStep + 2 * c0 + 2 * n * static_cast<size_t>(v);
          for (int64_t k = 0; k < 2 * a.quads; ++k) {
            int32_t pair;
            std::memcpy(&pair, q + 2 * k, sizeof(pair));
            const auto x = hn::BitCast(d16, hn::Set(d32, pair));
            s0 = hn::ReorderWidenMulAccumulate(d32, x, hn::LoadU(d16, w + k * halfStep), s0, s1);
          }
        }
      hn::StoreU(hn::RearrangeToOddPlusEven(s0, s1), d32, acc[p] + c0 + n * static_cast<size_t>(v));
    }
}
#else
// The accumulators must live in registers: the loops over pixels and
// vectors are unrolled for that (GCC does not fully unroll them on its own).
#define LE_UNROLL _Pragma("GCC unroll 16")

// Channels [c0, c0 + V vectors) of the block for P pixels.
template <int P, int V>
HWY_INLINE void DotChunk(const DotArgs& a, int c0, int32_t (*acc)[kBlockChannels]) {
  const D32 d32;
  const hn::Repartition<int16_t, D32> d16;
  using V32 = hn::Vec<D32>;
  const size_t n = hn::Lanes(d32);
  V32 s0[P][V], s1[P][V];
  LE_UNROLL for (int p = 0; p < P; ++p) {
    LE_UNROLL for (int v = 0; v < V; ++v) s0[p][v] = s1[p][v] = hn::Zero(d32);
  }
  const int64_t halfStep = a.mPadded * 2;
  for (int64_t ky = 0; ky < a.rows; ++ky)
    for (int64_t kx = 0; kx < a.cols; ++kx) {
      const uint16_t* q = a.q16 + ky * a.rowStep + kx * a.colStep;
      const int16_t* w = a.w16 + ky * a.wRowStep + kx * a.wTapStep + 2 * c0;
      for (int64_t k = 0; k < 2 * a.quads; ++k) {
        hn::Vec<decltype(d16)> x[P];
        LE_UNROLL for (int p = 0; p < P; ++p) {
          int32_t pair;
          std::memcpy(&pair, q + p * a.pixelStep + 2 * k, sizeof(pair));
          x[p] = hn::BitCast(d16, hn::Set(d32, pair));
        }
        const int16_t* wk = w + k * halfStep;
        LE_UNROLL for (int v = 0; v < V; ++v) {
          const auto wv = hn::LoadU(d16, wk + 2 * n * static_cast<size_t>(v));
          LE_UNROLL for (int p = 0; p < P; ++p) s0[p][v] = hn::ReorderWidenMulAccumulate(d32, x[p], wv, s0[p][v], s1[p][v]);
        }
      }
    }
  LE_UNROLL for (int p = 0; p < P; ++p) {
    LE_UNROLL for (int v = 0; v < V; ++v)
      hn::StoreU(hn::RearrangeToOddPlusEven(s0[p][v], s1[p][v]), d32, acc[p] + c0 + n * static_cast<size_t>(v));
  }
}
#undef LE_UNROLL
#endif  // HWY_HAVE_SCALABLE

template <int P>
HWY_INLINE void DotWiden(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  const int n = static_cast<int>(hn::Lanes(D32()));
  for (int c = 0; c < count; c += 2 * n) {
    if (count - c > n)
      DotChunk<P, 2>(a, c, acc);
    else
      DotChunk<P, 1>(a, c, acc);
  }
}

#endif  // HWY_TARGET == HWY_SCALAR

void DotWidenOne(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) { DotWiden<1>(a, count, acc); }
void DotWidenBlock(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  DotWiden<kPixelBlock>(a, count, acc);
}

void FinishBlock(const int32_t (*HWY_RESTRICT acc)[kBlockChannels], int pixels, int count,
                 const int32_t* HWY_RESTRICT shift, const float* HWY_RESTRICT mul, const float* HWY_RESTRICT bias,
                 float* HWY_RESTRICT out, size_t outPlane) {
  int j = 0;
#if HWY_TARGET != HWY_SCALAR && !HWY_HAVE_SCALABLE
  static_assert(kPixelBlock == 4, "the transpose below is 4 x 4");
  if (pixels == kPixelBlock) {
    // Four channels at a time: the four pixels' values, transposed so that
    // each channel's four neighbouring outputs go out in one store.
    const hn::FixedTag<float, 4> df;
    const hn::FixedTag<int32_t, 4> di;
    for (; j + 4 <= count; j += 4) {
      const auto s = hn::LoadU(di, shift + j);
      const auto m = hn::LoadU(df, mul + j);
      const auto b = hn::LoadU(df, bias + j);
      hn::Vec<decltype(df)> r[kPixelBlock];
      for (int p = 0; p < kPixelBlock; ++p)
        r[p] = hn::Add(hn::Mul(hn::ConvertTo(df, hn::Sub(hn::LoadU(di, acc[p] + j), s)), m), b);
      const auto t0 = hn::InterleaveLower(df, r[0], r[1]), t1 = hn::InterleaveLower(df, r[2], r[3]);
      const auto t2 = hn::InterleaveUpper(df, r[0], r[1]), t3 = hn::InterleaveUpper(df, r[2], r[3]);
      float* o = out + static_cast<size_t>(j) * outPlane;
      hn::StoreU(hn::ConcatLowerLower(df, t1, t0), df, o);
      hn::StoreU(hn::ConcatUpperUpper(df, t1, t0), df, o + outPlane);
      hn::StoreU(hn::ConcatLowerLower(df, t3, t2), df, o + 2 * outPlane);
      hn::StoreU(hn::ConcatUpperUpper(df, t3, t2), df, o + 3 * outPlane);
    }
  }
#endif
  for (; j < count; ++j) {
    const uint32_t s = static_cast<uint32_t>(shift[j]);
    float* o = out + static_cast<size_t>(j) * outPlane;
    for (int p = 0; p < pixels; ++p) {
      const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(acc[p][j]) - s);
      o[p] = static_cast<float>(v) * mul[j] + bias[j];
    }
  }
}

const char* DotTargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace int8conv
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le::int8conv {

HWY_EXPORT(DotWidenOne);
HWY_EXPORT(DotWidenBlock);
HWY_EXPORT(FinishBlock);
HWY_EXPORT(DotTargetName);

void dotWidenOne(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  HWY_DYNAMIC_DISPATCH(DotWidenOne)(a, count, acc);
}
void dotWidenBlock(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  HWY_DYNAMIC_DISPATCH(DotWidenBlock)(a, count, acc);
}
void finishBlock(const int32_t (*acc)[kBlockChannels], int pixels, int count, const int32_t* shift,
                 const float* mul, const float* bias, float* out, size_t outPlane) {
  HWY_DYNAMIC_DISPATCH(FinishBlock)(acc, pixels, count, shift, mul, bias, out, outPlane);
}
const char* dotTargetName() { return HWY_DYNAMIC_DISPATCH(DotTargetName)(); }

}  // namespace le::int8conv
#endif  // HWY_ONCE
