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
  const hn::ScalableTag<float> df;
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
    const VF x0f = hn::Floor(x);
    frac = hn::Sub(x, x0f);
    const VI x0 = hn::ConvertTo(di, x0f);
    const auto below = hn::Lt(x0, zeroI);
    const VI lastI = hn::Set(di, last);
    a = hn::IfThenZeroElse(below, hn::Min(x0, lastI));
    b = hn::IfThenZeroElse(below, hn::Min(hn::Add(x0, oneI), lastI));
  };

  // A row is done in runs of kRun pixels: the weights and indices of a run
  // first, then each channel plane in turn, so that the planes are read and
  // written one after another rather than all twelve at once.
  constexpr int kRun = 256;
  HWY_ALIGN float w[4][kRun];
  HWY_ALIGN int32_t idx[4][kRun];
  const int lanes = static_cast<int>(hn::Lanes(df));
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
      });
      for (int c = 0; c < C; ++c) {
        const float* src = image + static_cast<size_t>(c) * plane;
        float* dst = out + static_cast<size_t>(c) * plane + rowOff + r0;
        for (int j = 0; j < len; j += lanes) {
          VF v = hn::Mul(hn::Load(df, w[0] + j), hn::GatherIndex(df, src, hn::Load(di, idx[0] + j)));
          for (int k = 1; k < 4; ++k)
            v = hn::Add(v, hn::Mul(hn::Load(df, w[k] + j), hn::GatherIndex(df, src, hn::Load(di, idx[k] + j))));
          StoreFirst(df, v, dst + j, std::min(lanes, len - j));
        }
      }
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
