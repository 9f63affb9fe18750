#include "director/gridsample_fast.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "director/graph_rewrites.h"
#include "director/le_warp.h"
#include "director/ort_custom_op.h"

namespace le {
namespace {

constexpr int kBandRows = 16;

struct GridShape {
  int64_t n, c, h, w;
};

// Checks X (N, C, H, W) against grid (N, H, W, 2): one grid point per output
// pixel, and the output shares the image's H and W.
GridShape gridShape(const char* op, const std::vector<int64_t>& x, const std::vector<int64_t>& g) {
  const bool ok = x.size() == 4 && g.size() == 4 && g[3] == 2 && g[0] == x[0] && g[1] == x[2] &&
                  g[2] == x[3] && x[2] <= INT32_MAX && x[3] <= INT32_MAX && x[2] * x[3] <= INT32_MAX &&
                  x[1] <= INT32_MAX;
  if (!ok)
    throw std::runtime_error(std::string(op) + ": expects X (N, C, H, W) and grid (N, H, W, 2) with the same N, H and W; got X " +
                             shapeText(x) + " and grid " + shapeText(g));
  return {x[0], x[1], x[2], x[3]};
}

// Runs band(row0, row1) over 16-row bands of H rows on ONNX Runtime's intra-op pool.
template <typename Band>
void forEachBand(const Ort::KernelContext& ctx, int64_t h, Band& band) {
  struct Job {
    Band* band;
    int64_t h;
  } job{&band, h};
  const size_t tasks = static_cast<size_t>((h + kBandRows - 1) / kBandRows);
  ctx.ParallelFor(
      [](void* p, size_t k) {
        const Job& j = *static_cast<const Job*>(p);
        const int64_t row0 = static_cast<int64_t>(k) * kBandRows;
        (*j.band)(static_cast<int>(row0), static_cast<int>(std::min(row0 + kBandRows, j.h)));
      },
      tasks, 0, &job);
}

// Runs one grid operator: checks the shapes (after `check` has looked at
// X's), creates Y like X, and calls band(x, grid, y, C, H, W, row0, row1) for
// each batch item's bands.
template <typename Check, typename Band>
OrtStatusPtr computeGridOp(OrtKernelContext* context, const char* op, Check&& check, Band&& band) {
  return statusOf([&] {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue x = ctx.GetInput(0);
    const Ort::ConstValue grid = ctx.GetInput(1);
    const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
    check(xs);
    const GridShape s = gridShape(op, xs, grid.GetTensorTypeAndShapeInfo().GetShape());
    Ort::UnownedValue y = ctx.GetOutput(0, xs);
    const float* xp = x.GetTensorData<float>();
    const float* gp = grid.GetTensorData<float>();
    float* yp = y.GetTensorMutableData<float>();
    const size_t item = static_cast<size_t>(s.c * s.h * s.w), gridItem = static_cast<size_t>(s.h * s.w * 2);
    for (int64_t n = 0; n < s.n; ++n) {
      auto rows = [&](int row0, int row1) {
        band(xp + n * item, gp + n * gridItem, yp + n * item, static_cast<int>(s.c), static_cast<int>(s.h),
             static_cast<int>(s.w), row0, row1);
      };
      forEachBand(ctx, s.h, rows);
    }
  });
}

struct GridSampleFastKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    return computeGridOp(context, "com.corvane::GridSampleFast", [](const std::vector<int64_t>&) {},
                         gridsample_fast_band);
  }
};

struct WarpDirectorKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    return computeGridOp(
        context, "com.corvane::WarpDirector",
        [](const std::vector<int64_t>& xs) {
          if (xs.size() == 4 && xs[1] != 3)
            throw std::runtime_error(
                "com.corvane::WarpDirector: this node warps the director's 3-channel source and the graph "
                "handed it C=" +
                std::to_string(xs[1]) + ". REFUSING rather than writing a frame nobody asked for.");
        },
        [](const float* x, const float* grid, float* y, int, int h, int w, int row0, int row1) {
          warpDirectorBand(x, grid, y, w, h, row0, row1);
        });
  }
};

struct GridSampleFastOp : FloatCpuOp<GridSampleFastOp, GridSampleFastKernel, 2> {
  static constexpr const char* kName = "GridSampleFast";
};
struct WarpDirectorOp : FloatCpuOp<WarpDirectorOp, WarpDirectorKernel, 2> {
  static constexpr const char* kName = "WarpDirector";
};

void domainOps(Ort::CustomOpDomain& domain) {
  static GridSampleFastOp gridSampleFast;
  static WarpDirectorOp warpDirector;
  domain.Add(&gridSampleFast);
  domain.Add(&warpDirector);
}

}  // namespace

Ort::CustomOpDomain& corvaneDomain() {
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d(kCorvaneDomain);
    domainOps(d);
    return d;
  }();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(corvaneDomain()); }
void registerWarpDirector(Ort::SessionOptions& options) { options.Add(corvaneDomain()); }

}  // namespace le
