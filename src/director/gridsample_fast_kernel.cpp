// The GridSampleFast kernel: bilinear sampling with border clamping and
// align_corners = 0, one grid point per output pixel. The four weights and
// indices of a pixel are computed once and reused for every channel plane.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "director/gridsample_fast_kernel.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <algorithm>

#include "director/grid_chunks-inl.h"

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {

void GridSampleRows(const float* HWY_RESTRICT image, const float* HWY_RESTRICT grid,
                    float* HWY_RESTRICT out, int C, int H, int W, int row0, int row1) {
  const GridTag df;
  const hn::RebindToSigned<decltype(df)> di;
  using VF = hn::Vec<decltype(df)>;
  using VI = hn::Vec<decltype(di)>;
  const size_t plane = static_cast<size_t>(H) * static_cast<size_t>(W);
  const VF one = hn::Set(df, 1.0f), half = hn::Set(df, 0.5f), minusOne = hn::Set(df, -1.0f);
  const VF wf = hn::Set(df, static_cast<float>(W)), hf = hn::Set(df, static_cast<float>(H));
  const VI oneI = hn::Set(di, 1), zeroI = hn::Zero(di), widthI = hn::Set(di, W);

  // Index pair and fraction along one axis. Coordinates are first held to
  // [-1, extent]: beyond that every index is already at the border, and
  // holding them keeps the integer conversion defined for any input.
  auto axis = [&](VF g, VF extent, int last, VI& a, VI& b, VF& frac) {
    VF x = hn::Sub(hn::Mul(hn::Mul(hn::Add(g, one), half), extent), half);
    x = hn::Min(hn::Max(x, minusOne), extent);
    const VF x0f = FloorLanes(df, x);
    frac = hn::Sub(x, x0f);
    const VI x0 = hn::ConvertTo(di, x0f);
    const auto below = hn::Lt(x0, zeroI);
    const VI lastI = hn::Set(di, last);
    a = hn::IfThenZeroElse(below, hn::Min(x0, lastI));
    b = hn::IfThenZeroElse(below, hn::Min(hn::Add(x0, oneI), lastI));
  };

  // A row is done in runs of kRun pixels: the weights and indices of a run
  // first, then each channel plane in turn, so that the planes are read and
  // written one after another rather than all twelve at once. A vector of
  // pixels whose two columns are neighbours (no border clamp between them)
  // reads each row's pair with one load per pixel where the target can.
  constexpr int kRun = 256;
  HWY_ALIGN float w[4][kRun];
  HWY_ALIGN int32_t idx[4][kRun];
  bool adjacent[kRun];
  for (int i = row0; i < row1; ++i) {
    const size_t rowOff = static_cast<size_t>(i) * static_cast<size_t>(W);
    for (int r0 = 0; r0 < W; r0 += kRun) {
      const int len = std::min(kRun, W - r0);
      ForEachGridChunk(df, grid + 2 * (rowOff + r0), len, [&](VF gx, VF gy, int j, int) {
        VI xa, xb, ya, yb;
        VF fx, fy;
        axis(gx, wf, W - 1, xa, xb, fx);
        axis(gy, hf, H - 1, ya, yb, fy);
        const VF ofx = hn::Sub(one, fx), ofy = hn::Sub(one, fy);
        hn::Store(hn::Mul(ofx, ofy), df, w[0] + j);
        hn::Store(hn::Mul(fx, ofy), df, w[1] + j);
        hn::Store(hn::Mul(ofx, fy), df, w[2] + j);
        hn::Store(hn::Mul(fx, fy), df, w[3] + j);
        const VI ra = hn::Mul(ya, widthI), rb = hn::Mul(yb, widthI);
        hn::Store(hn::Add(ra, xa), di, idx[0] + j);
        hn::Store(hn::Add(ra, xb), di, idx[1] + j);
        hn::Store(hn::Add(rb, xa), di, idx[2] + j);
        hn::Store(hn::Add(rb, xb), di, idx[3] + j);
        adjacent[j] = hn::AllTrue(di, hn::Eq(hn::Sub(xb, xa), oneI));
#if HWY_TARGET == HWY_SCALAR
        // One pixel at a time: its weights stay in registers for every plane.
        const float* src = image + idx[0][j];
        float* dst = out + rowOff + r0 + j;
        const size_t d1 = static_cast<size_t>(idx[1][j] - idx[0][j]), d2 = static_cast<size_t>(idx[2][j] - idx[0][j]),
                     d3 = static_cast<size_t>(idx[3][j] - idx[0][j]);
        const float w0 = w[0][j], w1 = w[1][j], w2 = w[2][j], w3 = w[3][j];
        for (int c = 0; c < C; ++c, src += plane, dst += plane)
          *dst = w0 * src[0] + w1 * src[d1] + w2 * src[d2] + w3 * src[d3];
#endif
      });
#if HWY_TARGET != HWY_SCALAR
      const int lanes = static_cast<int>(hn::Lanes(df));
      for (int c = 0; c < C; ++c) {
        const float* src = image + static_cast<size_t>(c) * plane;
        float* dst = out + static_cast<size_t>(c) * plane + rowOff + r0;
        for (int j = 0; j < len; j += lanes) {
          VF s0, s1, s2, s3;
          // The next plane's rows are not in cache yet and the hardware
          // prefetchers do not follow a dozen interleaved row streams.
          if (c + 1 < C) {
            __builtin_prefetch(src + plane + idx[0][j]);
            __builtin_prefetch(src + plane + idx[2][j]);
          }
#ifdef LE_GRID_ADJACENT_LOADS
          if (adjacent[j]) {
            LoadAdjacentPairs(df, src, idx[0] + j, s0, s1);
            LoadAdjacentPairs(df, src, idx[2] + j, s2, s3);
          } else
#endif
          {
            s0 = hn::GatherIndex(df, src, hn::Load(di, idx[0] + j));
            s1 = hn::GatherIndex(df, src, hn::Load(di, idx[1] + j));
            s2 = hn::GatherIndex(df, src, hn::Load(di, idx[2] + j));
            s3 = hn::GatherIndex(df, src, hn::Load(di, idx[3] + j));
          }
          VF v = hn::Mul(hn::Load(df, w[0] + j), s0);
          v = hn::Add(v, hn::Mul(hn::Load(df, w[1] + j), s1));
          v = hn::Add(v, hn::Mul(hn::Load(df, w[2] + j), s2));
          v = hn::Add(v, hn::Mul(hn::Load(df, w[3] + j), s3));
          StoreFirst(df, v, dst + j, std::min(lanes, len - j));
        }
      }
#endif
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "director/gridsample_fast.h"

namespace le {

HWY_EXPORT(GridSampleRows);

void gridsample_fast_band(const float* image, const float* grid, float* out, int C, int H, int W,
                          int row0, int row1) {
  if (C <= 0 || H <= 0 || W <= 0) return;
  if (static_cast<int64_t>(H) * W > INT32_MAX)
    throw std::runtime_error("com.corvane::GridSampleFast: image plane too large to index");
  row0 = std::max(row0, 0);
  row1 = std::min(row1, H);
  if (row0 >= row1) return;
  HWY_DYNAMIC_DISPATCH(GridSampleRows)(image, grid, out, C, H, W, row0, row1);
}

void gridsample_fast(const float* image, const float* grid, float* out, int C, int H, int W) {
  gridsample_fast_band(image, grid, out, C, H, W, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
