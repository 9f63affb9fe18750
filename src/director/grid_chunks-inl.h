// Walking one output row of a grid kernel in whole vectors of grid points.
// The last, partial vector is padded through a small buffer so that every
// point goes through the same vector arithmetic: a row's tail gives exactly
// what the same point would give inside a full vector.
//
// And the loads that assemble a vector of samples without a hardware gather:
// on x86 a gather instruction is slower than the scalar loads it replaces
// (microcoded on AMD parts, AVX2 and AVX-512 alike), so where neighbouring
// taps are adjacent in memory they are read together, one short load per
// pixel, and transposed into vectors. Only the loads change: every target
// does the same arithmetic in the same order.

#if defined(LE_DIRECTOR_GRID_CHUNKS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_DIRECTOR_GRID_CHUNKS_INL_H_
#undef LE_DIRECTOR_GRID_CHUNKS_INL_H_
#else
#define LE_DIRECTOR_GRID_CHUNKS_INL_H_
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include "hwy/highway.h"

#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || \
    HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
#include <immintrin.h>
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr size_t kMaxFloatLanes = HWY_MAX_BYTES / sizeof(float);

// Calls fn(gx, gy, column, count) for each run of up to Lanes(df) grid points
// of a row of `width` (x, y) pairs.
template <class DF, class Fn>
HWY_INLINE void ForEachGridChunk(DF df, const float* HWY_RESTRICT gridRow, int width, Fn&& fn) {
  const int n = static_cast<int>(hn::Lanes(df));
  int j = 0;
  for (; j + n <= width; j += n) {
    hn::Vec<DF> gx, gy;
    hn::LoadInterleaved2(df, gridRow + 2 * j, gx, gy);
    fn(gx, gy, j, n);
  }
  if (j < width) {
    HWY_ALIGN float pad[2 * kMaxFloatLanes] = {};
    std::memcpy(pad, gridRow + 2 * j, sizeof(float) * 2 * static_cast<size_t>(width - j));
    hn::Vec<DF> gx, gy;
    hn::LoadInterleaved2(df, pad, gx, gy);
    fn(gx, gy, j, width - j);
  }
}

// Stores the first `count` lanes of v at p.
template <class DF>
HWY_INLINE void StoreFirst(DF df, hn::Vec<DF> v, float* HWY_RESTRICT p, int count) {
  if (count == static_cast<int>(hn::Lanes(df))) {
    hn::StoreU(v, df, p);
    return;
  }
  HWY_ALIGN float tmp[kMaxFloatLanes];
  hn::Store(v, df, tmp);
  std::memcpy(p, tmp, sizeof(float) * static_cast<size_t>(count));
}

// Floor of every lane. Highway's one-lane Floor works on the bits; the
// library's floor is the same value for less.
template <class DF>
HWY_INLINE hn::Vec<DF> FloorLanes(DF df, hn::Vec<DF> v) {
#if HWY_TARGET == HWY_SCALAR
  return hn::Set(df, std::floor(hn::GetLane(v)));
#else
  (void)df;
  return hn::Floor(v);
#endif
}

// Clamps integer lanes to [0, limit].
template <class DI>
HWY_INLINE hn::Vec<DI> ClampIndex(DI di, hn::Vec<DI> v, int limit) {
  return hn::Min(hn::Max(v, hn::Zero(di)), hn::Set(di, limit));
}

#undef LE_GRID_ADJACENT_LOADS
// The grid kernels work on at most eight points at a time: wider vectors
// only lengthen the assembly of their samples.
using GridTag = hn::CappedTag<float, 8>;

#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define LE_GRID_ADJACENT_LOADS 1
// Two floats at p[at[k]], p[at[k] + 1] for each of the 8 points: the first
// of each pair in `first`, the second in `second`.
HWY_INLINE void LoadAdjacentPairs(GridTag, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT at,
                                  hn::Vec<GridTag>& first, hn::Vec<GridTag>& second) {
  auto two = [&](int a, int b) {  // [a0 a1 b0 b1]
    const __m128 lo = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + at[a])));
    return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + at[b]));
  };
  const __m256 u0 = _mm256_insertf128_ps(_mm256_castps128_ps256(two(0, 1)), two(4, 5), 1);
  const __m256 u1 = _mm256_insertf128_ps(_mm256_castps128_ps256(two(2, 3)), two(6, 7), 1);
  first = hn::Vec<GridTag>{_mm256_shuffle_ps(u0, u1, _MM_SHUFFLE(2, 0, 2, 0))};
  second = hn::Vec<GridTag>{_mm256_shuffle_ps(u0, u1, _MM_SHUFFLE(3, 1, 3, 1))};
}

// Four floats p[at[k]] … p[at[k] + 3] for each of the 8 points, as four
// vectors: c[j] holds the j-th float of every point.
HWY_INLINE void LoadAdjacentQuads(GridTag, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT at,
                                  hn::Vec<GridTag> c[4]) {
  __m256 u[4];
  for (int k = 0; k < 4; ++k)
    u[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + at[k])), _mm_loadu_ps(p + at[k + 4]), 1);
  const __m256 t0 = _mm256_unpacklo_ps(u[0], u[1]), t1 = _mm256_unpacklo_ps(u[2], u[3]);
  const __m256 t2 = _mm256_unpackhi_ps(u[0], u[1]), t3 = _mm256_unpackhi_ps(u[2], u[3]);
  c[0] = hn::Vec<GridTag>{_mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(1, 0, 1, 0))};
  c[1] = hn::Vec<GridTag>{_mm256_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 2, 3, 2))};
  c[2] = hn::Vec<GridTag>{_mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(1, 0, 1, 0))};
  c[3] = hn::Vec<GridTag>{_mm256_shuffle_ps(t2, t3, _MM_SHUFFLE(3, 2, 3, 2))};
}
#elif HWY_TARGET == HWY_SSE4 || HWY_TARGET == HWY_SSSE3
#define LE_GRID_ADJACENT_LOADS 1
HWY_INLINE void LoadAdjacentPairs(GridTag, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT at,
                                  hn::Vec<GridTag>& first, hn::Vec<GridTag>& second) {
  auto two = [&](int a, int b) {
    const __m128 lo = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + at[a])));
    return _mm_loadh_pi(lo, reinterpret_cast<const __m64*>(p + at[b]));
  };
  const __m128 u0 = two(0, 1), u1 = two(2, 3);
  first = hn::Vec<GridTag>{_mm_shuffle_ps(u0, u1, _MM_SHUFFLE(2, 0, 2, 0))};
  second = hn::Vec<GridTag>{_mm_shuffle_ps(u0, u1, _MM_SHUFFLE(3, 1, 3, 1))};
}

HWY_INLINE void LoadAdjacentQuads(GridTag, const float* HWY_RESTRICT p, const int32_t* HWY_RESTRICT at,
                                  hn::Vec<GridTag> c[4]) {
  __m128 u0 = _mm_loadu_ps(p + at[0]), u1 = _mm_loadu_ps(p + at[1]);
  __m128 u2 = _mm_loadu_ps(p + at[2]), u3 = _mm_loadu_ps(p + at[3]);
  _MM_TRANSPOSE4_PS(u0, u1, u2, u3);
  c[0] = hn::Vec<GridTag>{u0};
  c[1] = hn::Vec<GridTag>{u1};
  c[2] = hn::Vec<GridTag>{u2};
  c[3] = hn::Vec<GridTag>{u3};
}
#endif

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#endif  // include guard
