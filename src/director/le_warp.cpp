// WarpDirector, vectorised across the output pixels of a row.
//
// B and the second differences are linear, so the whole expression is one
// separable 4x4 filter over the pixel's neighbourhood (rows y0-1 .. y0+2,
// columns x0-1 .. x0+2):
//   Y = sum_r Ay[r] sum_c Ax[c] P[r][c],  Ax = kv - hx kd,
// with kv = (0, 1-wx, wx, 0) the bilinear taps and
// kd = (1-wx, wx-2(1-wx), (1-wx)-2wx, wx) the bilinear blend of the two
// corners' (1, -2, 1) differences. Neighbour indices are clamped, which
// replicates the borders; at the right or bottom edge the second corner
// coincides with the first but carries weight 0, so the clamped block is
// exact there too. Interior and border pixels take the same arithmetic.
// Where the four columns of every pixel of a vector are unclamped, each
// row of the block is one four-float load per pixel (on targets that can
// assemble vectors from those); elsewhere the samples are gathered.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/le_warp.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <algorithm>

#include "director/grid_chunks-inl.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {

void WarpRows(const float* HWY_RESTRICT source, const float* HWY_RESTRICT grid,
              float* HWY_RESTRICT out, int W, int H, int row0, int row1) {
  const GridTag df;
  const hn::RebindToSigned<decltype(df)> di;
  using VF = hn::Vec<decltype(df)>;
  using VI = hn::Vec<decltype(di)>;
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  const VF one = hn::Set(df, 1.0f), half = hn::Set(df, 0.5f), two = hn::Set(df, 2.0f);
  const VF zero = hn::Zero(df);
  const VI widthI = hn::Set(di, W);

#if HWY_HAVE_SCALABLE
  // SVE vectors are sizeless and cannot form arrays: each tap and index is its
  // own value here, with the same arithmetic in the same order as below.
  auto axis = [&](VF g, int extent, VF& t0, VF& t1, VF& t2, VF& t3, VI& i0, VI& i1, VI& i2, VI& i3) {
    const VF e = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(df, static_cast<float>(extent))), one),
                         half);
    const VF frac = hn::Sub(e, FloorLanes(df, e));
    const VF h = hn::Mul(hn::Mul(hn::Sub(one, frac), frac), half);
    const VF c = hn::Min(hn::Max(e, zero), hn::Set(df, static_cast<float>(extent - 1)));
    const VF c0 = FloorLanes(df, c);
    const VF w = hn::Sub(c, c0);
    const VF ow = hn::Sub(one, w);
    const VI first = ClampIndex(di, hn::ConvertTo(di, c0), extent - 1);
    t0 = hn::Sub(zero, hn::Mul(h, ow));
    t1 = hn::Sub(ow, hn::Mul(h, hn::Sub(w, hn::Mul(two, ow))));
    t2 = hn::Sub(w, hn::Mul(h, hn::Sub(ow, hn::Mul(two, w))));
    t3 = hn::Sub(zero, hn::Mul(h, w));
    i0 = ClampIndex(di, hn::Add(first, hn::Set(di, -1)), extent - 1);
    i1 = ClampIndex(di, first, extent - 1);
    i2 = ClampIndex(di, hn::Add(first, hn::Set(di, 1)), extent - 1);
    i3 = ClampIndex(di, hn::Add(first, hn::Set(di, 2)), extent - 1);
  };
  for (int i = row0; i < row1; ++i) {
    const size_t rowOff = static_cast<size_t>(i) * static_cast<size_t>(W);
    ForEachGridChunk(df, grid + 2 * rowOff, W, [&](VF gx, VF gy, int j, int count) {
      VF ax0, ax1, ax2, ax3, ay0, ay1, ay2, ay3;
      VI col0, col1, col2, col3, row0i, row1i, row2i, row3i;
      axis(gx, W, ax0, ax1, ax2, ax3, col0, col1, col2, col3);
      axis(gy, H, ay0, ay1, ay2, ay3, row0i, row1i, row2i, row3i);
      row0i = hn::Mul(row0i, widthI);
      row1i = hn::Mul(row1i, widthI);
      row2i = hn::Mul(row2i, widthI);
      row3i = hn::Mul(row3i, widthI);
      for (int ch = 0; ch < 3; ++ch) {
        const float* src = source + static_cast<size_t>(ch) * plane;
        // One row of the 4x4 block (base: the row's first element), filtered along x.
        auto rowSum = [&](VI base) {
          VF s = hn::Mul(ax0, hn::GatherIndex(df, src, hn::Add(base, col0)));
          s = hn::Add(s, hn::Mul(ax1, hn::GatherIndex(df, src, hn::Add(base, col1))));
          s = hn::Add(s, hn::Mul(ax2, hn::GatherIndex(df, src, hn::Add(base, col2))));
          return hn::Add(s, hn::Mul(ax3, hn::GatherIndex(df, src, hn::Add(base, col3))));
        };
        VF y = hn::Mul(ay0, rowSum(row0i));
        y = hn::Add(y, hn::Mul(ay1, rowSum(row1i)));
        y = hn::Add(y, hn::Mul(ay2, rowSum(row2i)));
        y = hn::Add(y, hn::Mul(ay3, rowSum(row3i)));
        StoreFirst(df, y, out + static_cast<size_t>(ch) * plane + rowOff + j, count);
      }
    });
  }
#else
  // The four filter taps and clamped neighbour indices along one axis.
  auto axis = [&](VF g, int extent, VF taps[4], VI index[4]) __attribute__((always_inline)) {
    const VF e = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(df, static_cast<float>(extent))), one),
                         half);
    const VF frac = hn::Sub(e, FloorLanes(df, e));
    const VF h = hn::Mul(hn::Mul(hn::Sub(one, frac), frac), half);
    const VF c = hn::Min(hn::Max(e, zero), hn::Set(df, static_cast<float>(extent - 1)));
    const VF c0 = FloorLanes(df, c);
    const VF w = hn::Sub(c, c0);
    const VF ow = hn::Sub(one, w);
    const VI i0 = ClampIndex(di, hn::ConvertTo(di, c0), extent - 1);
    taps[0] = hn::Sub(zero, hn::Mul(h, ow));
    taps[1] = hn::Sub(ow, hn::Mul(h, hn::Sub(w, hn::Mul(two, ow))));
    taps[2] = hn::Sub(w, hn::Mul(h, hn::Sub(ow, hn::Mul(two, w))));
    taps[3] = hn::Sub(zero, hn::Mul(h, w));
    for (int k = 0; k < 4; ++k) index[k] = ClampIndex(di, hn::Add(i0, hn::Set(di, k - 1)), extent - 1);
  };

  for (int i = row0; i < row1; ++i) {
    const size_t rowOff = static_cast<size_t>(i) * static_cast<size_t>(W);
    ForEachGridChunk(df, grid + 2 * rowOff, W, [&](VF gx, VF gy, int j, int count) __attribute__((always_inline)) {
      VF ax[4], ay[4];
      VI col[4], row[4];
      axis(gx, W, ax, col);
      axis(gy, H, ay, row);
      for (int r = 0; r < 4; ++r) row[r] = hn::Mul(row[r], widthI);
#ifdef LE_GRID_ADJACENT_LOADS
      const bool adjacent = hn::AllTrue(di, hn::Eq(hn::Sub(col[3], col[0]), hn::Set(di, 3)));
      HWY_ALIGN int32_t at[4][kMaxFloatLanes];
      if (adjacent)
        for (int r = 0; r < 4; ++r) hn::Store(hn::Add(row[r], col[0]), di, at[r]);
#endif
#if HWY_TARGET != HWY_SCALAR
      // The next output row reaches one source row further down: fetch it
      // while this one is computed.
      const size_t below = static_cast<size_t>(
          std::min(hn::GetLane(row[3]) + W, (H - 1) * W) + hn::GetLane(col[0]));
#endif
      for (int ch = 0; ch < 3; ++ch) {
        const float* src = source + static_cast<size_t>(ch) * plane;
#if HWY_TARGET != HWY_SCALAR
        __builtin_prefetch(src + below);
#endif
        VF y = zero;
        _Pragma("GCC unroll 4") for (int r = 0; r < 4; ++r) {
          VF p[4];
#ifdef LE_GRID_ADJACENT_LOADS
          if (adjacent) {
            LoadAdjacentQuads(df, src, at[r], p);
          } else
#endif
          {
            _Pragma("GCC unroll 4") for (int c = 0; c < 4; ++c) p[c] = hn::GatherIndex(df, src, hn::Add(row[r], col[c]));
          }
          VF s = hn::Mul(ax[0], p[0]);
          for (int c = 1; c < 4; ++c) s = hn::Add(s, hn::Mul(ax[c], p[c]));
          y = r == 0 ? hn::Mul(ay[0], s) : hn::Add(y, hn::Mul(ay[r], s));
        }
        StoreFirst(df, y, out + static_cast<size_t>(ch) * plane + rowOff + j, count);
      }
    });
  }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "director/le_warp.h"

namespace le {

HWY_EXPORT(WarpRows);

void warpDirectorBand(const float* source, const float* grid, float* out, int W, int H, int row0,
                      int row1) {
  if (H <= 0 || W <= 0) return;
  if (static_cast<int64_t>(H) * W > INT32_MAX)
    throw std::runtime_error("com.corvane::WarpDirector: image plane too large to index");
  row0 = std::max(row0, 0);
  row1 = std::min(row1, H);
  if (row0 >= row1) return;
  HWY_DYNAMIC_DISPATCH(WarpRows)(source, grid, out, W, H, row0, row1);
}

void warpDirector(const float* source, const float* grid, float* out, int W, int H) {
  warpDirectorBand(source, grid, out, W, H, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
