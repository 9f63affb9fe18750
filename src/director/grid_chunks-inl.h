// Walking one output row of a grid kernel in whole vectors of grid points.
// The last, partial vector is padded through a small buffer so that every
// point goes through the same vector arithmetic: a row's tail gives exactly
// what the same point would give inside a full vector.

#if defined(LE_DIRECTOR_GRID_CHUNKS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_DIRECTOR_GRID_CHUNKS_INL_H_
#undef LE_DIRECTOR_GRID_CHUNKS_INL_H_
#else
#define LE_DIRECTOR_GRID_CHUNKS_INL_H_
#endif

#include <cstring>

#include "hwy/highway.h"

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

// Clamps integer lanes to [0, limit].
template <class DI>
HWY_INLINE hn::Vec<DI> ClampIndex(DI di, hn::Vec<DI> v, int limit) {
  return hn::Min(hn::Max(v, hn::Zero(di)), hn::Set(di, limit));
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#endif  // include guard
