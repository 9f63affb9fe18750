// GridSampleFast, WarpDirector and Int8ConvVNNI against their defining
// formulas, on every vector target this machine runs, and through ONNX
// Runtime as custom operators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "director/graph_rewrites.h"
#include "director/gridsample_fast.h"
#include "director/int8conv_vnni.h"
#include "director/le_ort_session.h"
#include "director/le_warp.h"
#include "hwy/targets.h"
#include "onnx_builder.h"
#include "ort_harness.h"
#include "support/error_text.h"

namespace le {
namespace {

std::vector<float> randomImage(size_t n, uint32_t seed, float lo = 0.f, float hi = 1.f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// Runs fn once per compiled vector target and restores the normal choice.
template <typename Fn>
void forEachTarget(Fn&& fn) {
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    fn(hwy::TargetName(target));
  }
  hwy::SetSupportedTargetsForTest(0);
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// --- GridSampleFast ------------------------------------------------------------

// The defining formula, literally.
float gridSampleFormula(const float* x, int H, int W, float gx, float gy) {
  const float fxc = ((gx + 1.f) * 0.5f) * static_cast<float>(W) - 0.5f;
  const float fyc = ((gy + 1.f) * 0.5f) * static_cast<float>(H) - 0.5f;
  const float x0 = std::floor(fxc), y0 = std::floor(fyc);
  const float fx = fxc - x0, fy = fyc - y0;
  auto idx = [](float v0, int n, int& a, int& b) {
    if (v0 < 0) {
      a = b = 0;
    } else {
      a = std::min(static_cast<int>(v0), n - 1);
      b = std::min(static_cast<int>(v0) + 1, n - 1);
    }
  };
  int xa, xb, ya, yb;
  idx(x0, W, xa, xb);
  idx(y0, H, ya, yb);
  return (1 - fx) * (1 - fy) * x[ya * W + xa] + fx * (1 - fy) * x[ya * W + xb] + (1 - fx) * fy * x[yb * W + xa] +
         fx * fy * x[yb * W + xb];
}

TEST(GridSampleFastKernel, MatchesTheFormulaOnEveryTarget) {
  const int C = 5, H = 13, W = 37;  // W not a multiple of any vector width
  const std::vector<float> img = randomImage(static_cast<size_t>(C * H * W), 1);
  // Grid points inside [-1 - 1/W, 1 + 1/W], where the formula's own fractions apply.
  const std::vector<float> grid = randomImage(static_cast<size_t>(H * W * 2), 2, -1.03f, 1.03f);
  std::vector<float> want(img.size());
  for (int c = 0; c < C; ++c)
    for (int p = 0; p < H * W; ++p)
      want[static_cast<size_t>(c * H * W + p)] = gridSampleFormula(&img[static_cast<size_t>(c * H * W)], H, W,
                                                                    grid[2 * p], grid[2 * p + 1]);
  forEachTarget([&](const char*) {
    std::vector<float> out(img.size(), -7.f);
    gridsample_fast(img.data(), grid.data(), out.data(), C, H, W);
    EXPECT_TRUE(sameBits(out, want));
    // Bands cover exactly their rows.
    std::vector<float> band(img.size(), -7.f);
    gridsample_fast_band(img.data(), grid.data(), band.data(), C, H, W, -3, 5);
    gridsample_fast_band(img.data(), grid.data(), band.data(), C, H, W, 5, 99);
    EXPECT_TRUE(sameBits(band, want));
  });
}

TEST(GridSampleFastKernel, CornersBordersAndPixelCentres) {
  const int C = 2, H = 8, W = 16;
  const std::vector<float> img = randomImage(static_cast<size_t>(C * H * W), 3);
  const float far = 1e30f;
  // (x, y) grid points and the pixel each must return exactly.
  const std::vector<std::array<float, 4>> cases{
      {-1.f, -1.f, 0, 0},         {1.f, 1.f, W - 1, H - 1},   {-far, -far, 0, 0},
      {far, -far, W - 1, 0},      {-3.f, 1.5f, 0, H - 1},     {far, far, W - 1, H - 1},
      {(2 * 5 + 1) / 16.f - 1, (2 * 3 + 1) / 8.f - 1, 5, 3},  // a pixel centre
      {(2 * 0 + 1) / 16.f - 1, 7.f, 0, H - 1},
  };
  std::vector<float> grid(static_cast<size_t>(H * W * 2), 0.f);
  for (size_t k = 0; k < cases.size(); ++k) {
    grid[2 * k] = cases[k][0];
    grid[2 * k + 1] = cases[k][1];
  }
  forEachTarget([&](const char*) {
    std::vector<float> out(img.size());
    gridsample_fast(img.data(), grid.data(), out.data(), C, H, W);
    for (size_t k = 0; k < cases.size(); ++k)
      for (int c = 0; c < C; ++c)
        EXPECT_EQ(out[c * H * W + k], img[static_cast<size_t>(c * H * W + cases[k][3] * W + cases[k][2])])
            << "case " << k << " channel " << c;
  });
  // Not-a-number coordinates must stay inside the image (the value is undefined).
  std::fill(grid.begin(), grid.end(), std::nanf(""));
  std::vector<float> out(img.size());
  gridsample_fast(img.data(), grid.data(), out.data(), C, H, W);
}

// --- WarpDirector ---------------------------------------------------------------

// The defining formula in double precision: corners, their second
// differences over replicated borders, and the curvature-corrected blend.
double warpFormula(const float* src, int W, int H, float gx, float gy) {
  const double ex = ((gx + 1.0) * W - 1.0) * 0.5, ey = ((gy + 1.0) * H - 1.0) * 0.5;
  const double fxu = ex - std::floor(ex), fyu = ey - std::floor(ey);
  const double hx = (1 - fxu) * fxu * 0.5, hy = (1 - fyu) * fyu * 0.5;
  const double cx = std::clamp(ex, 0.0, W - 1.0), cy = std::clamp(ey, 0.0, H - 1.0);
  const int x0 = static_cast<int>(std::floor(cx)), y0 = static_cast<int>(std::floor(cy));
  const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double wx = cx - x0, wy = cy - y0;
  auto at = [&](int y, int x) {
    return static_cast<double>(src[std::clamp(y, 0, H - 1) * W + std::clamp(x, 0, W - 1)]);
  };
  auto dxx = [&](int y, int x) { return at(y, x - 1) - 2 * at(y, x) + at(y, x + 1); };
  struct Q {
    double v, xx, yy, xxyy;
  };
  auto corner = [&](int y, int x) {
    return Q{at(y, x), dxx(y, x), at(y - 1, x) - 2 * at(y, x) + at(y + 1, x),
             dxx(y - 1, x) - 2 * dxx(y, x) + dxx(y + 1, x)};
  };
  const Q q00 = corner(y0, x0), q01 = corner(y0, x1), q10 = corner(y1, x0), q11 = corner(y1, x1);
  auto blend = [&](double Q::*f) {
    return (1 - wx) * (1 - wy) * q00.*f + wx * (1 - wy) * q01.*f + (1 - wx) * wy * q10.*f + wx * wy * q11.*f;
  };
  return blend(&Q::v) - hx * blend(&Q::xx) - hy * blend(&Q::yy) + hx * hy * blend(&Q::xxyy);
}

void checkWarpOnEveryTarget(const std::vector<float>& src, const std::vector<float>& grid, int W, int H,
                            double tolerance) {
  std::vector<float> first;
  forEachTarget([&](const char*) {
    std::vector<float> out(src.size(), -7.f);
    warpDirector(src.data(), grid.data(), out.data(), W, H);
    double worst = 0;
    for (int c = 0; c < 3; ++c)
      for (int p = 0; p < H * W; ++p)
        worst = std::max(worst, std::fabs(out[static_cast<size_t>(c * H * W + p)] -
                                          warpFormula(&src[static_cast<size_t>(c * H * W)], W, H, grid[2 * p],
                                                      grid[2 * p + 1])));
    EXPECT_LT(worst, tolerance);
    // Every target computes the same bits.
    if (first.empty()) first = out;
    EXPECT_TRUE(sameBits(out, first));
    std::vector<float> band(src.size(), -7.f);
    warpDirectorBand(src.data(), grid.data(), band.data(), W, H, 0, 4);
    warpDirectorBand(src.data(), grid.data(), band.data(), W, H, 4, H);
    EXPECT_TRUE(sameBits(band, out));
  });
}

TEST(WarpDirectorKernel, MatchesTheFormulaInsideAndAtTheBorders) {
  const int H = 11, W = 29;
  const std::vector<float> src = randomImage(static_cast<size_t>(3 * H * W), 4);
  std::vector<float> grid = randomImage(static_cast<size_t>(H * W * 2), 5, -1.2f, 1.2f);
  // Some points right at the corners and on the last row and column.
  const std::vector<std::pair<float, float>> edges{{-1.f, -1.f}, {1.f, 1.f}, {1.f, -1.f}, {0.99f, 0.999f},
                                                   {-1.01f, 0.3f}, {0.4f, 1.5f}, {1.f - 1.f / W, 0.f}};
  for (size_t k = 0; k < edges.size(); ++k) {
    grid[2 * k] = edges[k].first;
    grid[2 * k + 1] = edges[k].second;
  }
  checkWarpOnEveryTarget(src, grid, W, H, 2e-6);
}

TEST(WarpDirectorKernel, SmoothFlowMatchesOnEveryTarget) {
  // A director-like flow: whole vectors of points away from the border,
  // where the targets that can read each row of the block with one load do
  // so; a few columns reach the border and mix both kinds of vector.
  const int H = 14, W = 53;
  const std::vector<float> src = randomImage(static_cast<size_t>(3 * H * W), 9);
  std::vector<float> grid(static_cast<size_t>(H * W * 2));
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      const float x = (2.f * j + 1) / W - 1, y = (2.f * i + 1) / H - 1;
      grid[2 * static_cast<size_t>(i * W + j)] = 0.97f * x + 0.05f * std::sin(2.1f * y);
      grid[2 * static_cast<size_t>(i * W + j) + 1] = 0.9f * y + 0.04f * std::cos(1.7f * x);
    }
  // Single-precision evaluation of the 4 x 4 filter against the formula in
  // double: a few units in the last place of sums near 1 (3.2e-6 here, the
  // same bits on the targets that only gather).
  checkWarpOnEveryTarget(src, grid, W, H, 5e-6);
}

TEST(WarpDirectorKernel, PixelCentresReturnThePixel) {
  const int H = 8, W = 16;
  const std::vector<float> src = randomImage(static_cast<size_t>(3 * H * W), 6);
  std::vector<float> grid(static_cast<size_t>(H * W * 2));
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      grid[2 * (i * W + j)] = (2 * j + 1) / static_cast<float>(W) - 1;
      grid[2 * (i * W + j) + 1] = (2 * i + 1) / static_cast<float>(H) - 1;
    }
  forEachTarget([&](const char*) {
    std::vector<float> out(src.size());
    warpDirector(src.data(), grid.data(), out.data(), W, H);
    EXPECT_TRUE(sameBits(out, src));
    gridsample_fast(src.data(), grid.data(), out.data(), 3, H, W);
    EXPECT_TRUE(sameBits(out, src));
  });
}

// --- through ONNX Runtime ------------------------------------------------------

Bytes gridModel(const std::string& op, int C, int H, int W, int N = 1, int gridH = -1) {
  test::GraphParts p;
  Bytes attrs;
  std::string domain = kCorvaneDomain;
  if (op == "GridSample") {
    hcAttrS(attrs, "mode", "bilinear");
    hcAttrS(attrs, "padding_mode", "border");
    hcAttrI(attrs, "align_corners", 0);
    domain.clear();
  }
  p.nodes.push_back(test::node(op, {"x", "grid"}, {"y"}, "n", attrs, domain));
  p.inputs.push_back(test::valueInfo("x", kOnnxFloat, {N, C, H, W}));
  p.inputs.push_back(test::valueInfo("grid", kOnnxFloat, {N, gridH < 0 ? H : gridH, W, 2}));
  p.outputs.push_back(test::valueInfo("y", kOnnxFloat, {N, C, H, W}));
  p.opsets.emplace_back(kCorvaneDomain, 1);
  return test::model(p);
}

test::Feeds gridFeeds(int N, int C, int H, int W, int gridH = -1) {
  test::Feeds f;
  gridH = gridH < 0 ? H : gridH;
  f["x"] = {{N, C, H, W}, randomImage(static_cast<size_t>(N * C * H * W), 7)};
  f["grid"] = {{N, gridH, W, 2}, randomImage(static_cast<size_t>(N * gridH * W * 2), 8, -1.1f, 1.1f)};
  return f;
}

// How far ONNX Runtime's GridSample (bilinear, border, no corner alignment)
// may lie from GridSampleFast on an image of size W x H with pixel values in
// [lo, hi]. Both blend the same four pixels, but in different orders: a few
// roundings of values no larger than the largest pixel (8 epsilon of it
// covers them). And ONNX Runtime maps a grid value g to the pixel coordinate
// ((g + 1) L - 1) / 2 where GridSampleFast takes ((g + 1) / 2) L - 1/2: the
// same number when every operation rounds (halving is exact), but a build
// that fuses (g + 1) L - 1 into one multiply-add (ONNX Runtime's arm64 build
// does) skips the product's rounding. Inside the image the doubled coordinate
// is below 2L, so the two differ by at most one unit in the last place of 2L,
// one unit in the last place of L in pixels; a weight that moves by that
// moves the output by at most that times the spread of pixel values. With
// coordinates that are exact either way (grid values on a 1/64 lattice) only
// the blend term remains.
double ortGridSampleTolerance(int W, int H, float lo, float hi, bool exactCoordinates) {
  const auto ulp = [](float v) { return static_cast<double>(std::nextafter(v, 2 * v) - v); };
  const double blend = 8.0 * std::numeric_limits<float>::epsilon() * std::max(std::fabs(lo), std::fabs(hi));
  if (exactCoordinates) return blend;
  return blend + (ulp(static_cast<float>(W)) + ulp(static_cast<float>(H))) * (hi - lo);
}

TEST(CustomOps, GridSampleFastAgreesWithOrtGridSampleAndTheKernel) {
  const int N = 2, C = 12, H = 37, W = 24;  // three bands, the last one short
  for (const bool lattice : {false, true}) {
    SCOPED_TRACE(lattice ? "grid on a 1/64 lattice" : "random grid");
    test::Feeds f = gridFeeds(N, C, H, W);  // pixels in [0, 1)
    if (lattice)
      for (float& g : f["grid"].data) g = std::round(g * 64) / 64;
    Ort::Session fast = test::makeSession(gridModel("GridSampleFast", C, H, W, N), 2);
    const test::Tensor y = test::run(fast, f, "y");
    EXPECT_LE(test::maxAbsDiff(y, test::run(gridModel("GridSample", C, H, W, N), f, "y")),
              ortGridSampleTolerance(W, H, 0.f, 1.f, lattice));
    std::vector<float> direct(y.data.size());
    const size_t item = static_cast<size_t>(C * H * W);
    for (int n = 0; n < N; ++n)
      gridsample_fast(f.at("x").data.data() + n * item, f.at("grid").data.data() + n * H * W * 2,
                      direct.data() + n * item, C, H, W);
    EXPECT_TRUE(sameBits(y.data, direct));
  }
}

TEST(CustomOps, WarpDirectorRunsBatchesAndRefusesFourChannels) {
  const int N = 2, H = 20, W = 18;
  const test::Feeds f = gridFeeds(N, 3, H, W);
  const test::Tensor y = test::run(gridModel("WarpDirector", 3, H, W, N), f, "y");
  std::vector<float> direct(y.data.size());
  const size_t item = static_cast<size_t>(3 * H * W);
  for (int n = 0; n < N; ++n)
    warpDirector(f.at("x").data.data() + n * item, f.at("grid").data.data() + n * H * W * 2,
                 direct.data() + n * item, W, H);
  EXPECT_TRUE(sameBits(y.data, direct));

  try {
    test::run(gridModel("WarpDirector", 4, H, W), gridFeeds(1, 4, H, W), "y");
    ADD_FAILURE() << "a 4-channel source ran";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "com.corvane::WarpDirector: this node warps the director's 3-channel source and the graph "
                  "handed it C=4. REFUSING rather than writing a frame nobody asked for."),
              std::string::npos)
        << e.what();
  }
}

TEST(CustomOps, GridOfTheWrongSizeIsRefused) {
  for (const char* op : {"GridSampleFast", "WarpDirector"}) {
    try {
      test::run(gridModel(op, 3, 8, 8, 1, 6), gridFeeds(1, 3, 8, 8, 6), "y");
      ADD_FAILURE() << op << " ran with a 6-row grid on an 8-row image";
    } catch (const Ort::Exception& e) {
      EXPECT_NE(std::string(e.what()).find("grid (N, H, W, 2) with the same N, H and W"), std::string::npos)
          << e.what();
    }
  }
}

TEST(CustomOps, DomainIsSharedAcrossThreadsAndRegistrations) {
  Ort::CustomOpDomain* seen[4] = {};
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &corvaneDomain(); });
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(s, &corvaneDomain());
  // Either registration makes both operators available.
  test::GraphParts p;
  p.nodes.push_back(test::node("GridSampleFast", {"x", "grid"}, {"a"}, "g", {}, kCorvaneDomain));
  p.nodes.push_back(test::node("WarpDirector", {"x", "grid"}, {"y"}, "w", {}, kCorvaneDomain));
  p.inputs.push_back(test::valueInfo("x", kOnnxFloat, {1, 3, 4, 4}));
  p.inputs.push_back(test::valueInfo("grid", kOnnxFloat, {1, 4, 4, 2}));
  p.outputs.push_back(test::valueInfo("y", kOnnxFloat, {1, 3, 4, 4}));
  p.outputs.push_back(test::valueInfo("a", kOnnxFloat, {1, 3, 4, 4}));
  p.opsets.emplace_back(kCorvaneDomain, 1);
  const Bytes m = test::model(p);
  for (auto reg : {registerGridSampleFast, registerWarpDirector}) {
    Ort::SessionOptions so = ort::sessionOptions({});
    reg(so);
    EXPECT_NO_THROW(ort::openSession(test::ortEnv(), m.data(), m.size(), so));
  }
}

// --- Int8ConvVNNI ---------------------------------------------------------------

struct ConvCase {
  int n, c, h, w, m, kh, kw;
  Int8ConvGeometry g;
};

// The same quantisation as the operator, then a double-precision convolution
// of the dequantised values: what the integer path must reproduce to float
// round-off.
std::vector<double> int8Reference(const ConvCase& k, const std::vector<float>& x, const std::vector<int8_t>& w,
                                  const std::vector<float>& scale, const std::vector<float>& bias, float* sxOut,
                                  int* zOut) {
  float lo = 0, hi = 0;
  for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
  const float sx = hi - lo > 0 ? (hi - lo) / 255.f : 1.f;
  const int z = static_cast<int>(std::clamp(std::nearbyint(-lo / sx), 0.f, 255.f));
  *sxOut = sx;
  *zOut = z;
  const int64_t oh = (k.h + k.g.pads[0] + k.g.pads[2] - k.g.dilations[0] * (k.kh - 1) - 1) / k.g.strides[0] + 1;
  const int64_t ow = (k.w + k.g.pads[1] + k.g.pads[3] - k.g.dilations[1] * (k.kw - 1) - 1) / k.g.strides[1] + 1;
  const int cg = k.c / static_cast<int>(k.g.group), mg = k.m / static_cast<int>(k.g.group);
  std::vector<double> y(static_cast<size_t>(k.n * k.m * oh * ow));
  for (int n = 0; n < k.n; ++n)
    for (int m = 0; m < k.m; ++m)
      for (int64_t oy = 0; oy < oh; ++oy)
        for (int64_t ox = 0; ox < ow; ++ox) {
          double acc = 0;
          const int g = m / mg;
          for (int ci = 0; ci < cg; ++ci)
            for (int ky = 0; ky < k.kh; ++ky)
              for (int kx = 0; kx < k.kw; ++kx) {
                const int64_t iy = oy * k.g.strides[0] - k.g.pads[0] + ky * k.g.dilations[0];
                const int64_t ix = ox * k.g.strides[1] - k.g.pads[1] + kx * k.g.dilations[1];
                if (iy < 0 || iy >= k.h || ix < 0 || ix >= k.w) continue;
                const float xv = x[static_cast<size_t>(((n * k.c + g * cg + ci) * k.h + iy) * k.w + ix)];
                const double q = std::clamp(std::nearbyint(xv / sx) + z, 0.f, 255.f);
                acc += (q - z) * sx * w[static_cast<size_t>(((m * cg + ci) * k.kh + ky) * k.kw + kx)] * scale[m];
              }
          y[static_cast<size_t>(((n * k.m + m) * oh + oy) * ow + ox)] = acc + bias[m];
        }
  return y;
}

struct ConvData {
  std::vector<float> x, scale, bias;
  std::vector<int8_t> w;
};

ConvData convData(const ConvCase& k, uint32_t seed, float lo, float hi) {
  ConvData d;
  d.x = randomImage(static_cast<size_t>(k.n * k.c * k.h * k.w), seed, lo, hi);
  std::mt19937 rng(seed + 1);
  std::uniform_int_distribution<int> wd(-128, 127);
  d.w.resize(static_cast<size_t>(k.m * (k.c / k.g.group) * k.kh * k.kw));
  for (int8_t& v : d.w) v = static_cast<int8_t>(wd(rng));
  d.scale = randomImage(static_cast<size_t>(k.m), seed + 2, 0.001f, 0.01f);
  d.bias = randomImage(static_cast<size_t>(k.m), seed + 3, -1.f, 1.f);
  return d;
}

void checkConv(const ConvCase& k, float lo, float hi) {
  const ConvData d = convData(k, 21, lo, hi);
  Int8ConvKernel kernel(k.g);
  const std::vector<int64_t> xs{k.n, k.c, k.h, k.w}, ws{k.m, k.c / k.g.group, k.kh, k.kw};
  const std::vector<int64_t> ys = kernel.outputShape(xs, ws);
  std::vector<float> best(static_cast<size_t>(ys[0] * ys[1] * ys[2] * ys[3]));
  std::vector<float> portable(best.size());
  kernel.forward(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.bias.data(), best.data(), Int8Path::Best);
  kernel.forward(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.bias.data(), portable.data(),
                 Int8Path::Portable);
  EXPECT_TRUE(sameBits(best, portable)) << "VNNI and portable paths differ";
  float sx;
  int z;
  const std::vector<double> ref = int8Reference(k, d.x, d.w, d.scale, d.bias, &sx, &z);
  double worst = 0, mag = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    worst = std::max(worst, std::fabs(best[i] - ref[i]));
    mag = std::max(mag, std::fabs(ref[i]));
  }
  EXPECT_LE(worst, 1e-6 * std::max(1.0, mag)) << "largest output " << mag;
}

TEST(Int8ConvVNNI, MatchesTheQuantisedFloatReference) {
  Int8ConvGeometry plain;
  Int8ConvGeometry padded;
  padded.pads[0] = padded.pads[1] = padded.pads[2] = padded.pads[3] = 1;
  Int8ConvGeometry strided;
  strided.strides[0] = strided.strides[1] = 2;
  strided.pads[0] = 1, strided.pads[1] = 2, strided.pads[2] = 0, strided.pads[3] = 1;
  Int8ConvGeometry dilated = padded;
  dilated.dilations[0] = 2;
  dilated.pads[0] = dilated.pads[2] = 2;
  Int8ConvGeometry grouped = padded;
  grouped.group = 2;
  Int8ConvGeometry depthwise = padded;
  depthwise.group = 6;
  Int8ConvGeometry wide = padded;  // more output channels than one accumulator block
  Int8ConvGeometry farPadded;      // outputs that read nothing but padding
  farPadded.pads[0] = 2, farPadded.pads[1] = 3, farPadded.pads[2] = 1, farPadded.pads[3] = 2;
  const std::vector<std::pair<const char*, ConvCase>> cases{
      {"1x1", {1, 5, 6, 7, 9, 1, 1, plain}},
      {"3x3 padded", {2, 7, 9, 8, 20, 3, 3, padded}},
      {"strided", {1, 8, 11, 10, 16, 3, 3, strided}},
      {"dilated", {1, 4, 10, 9, 3, 3, 3, dilated}},
      {"grouped", {1, 6, 7, 7, 10, 3, 3, grouped}},
      {"depthwise", {1, 6, 7, 7, 12, 3, 3, depthwise}},
      {"wide", {1, 9, 5, 5, 150, 3, 3, wide}},
      {"long rows", {1, 16, 5, 37, 24, 3, 3, padded}},
      {"padding beyond the kernel", {1, 5, 4, 6, 7, 1, 1, farPadded}},
  };
  // Best is VNNI on AVX-512 targets of a VNNI CPU and the 16-bit
  // multiply-add path on every other target.
  forEachTarget([&](const char*) {
    for (const auto& [name, k] : cases) {
      SCOPED_TRACE(name);
      checkConv(k, -0.7f, 1.3f);  // zero point inside the range
      checkConv(k, 0.2f, 3.0f);   // all positive: zero point 0
    }
  });
}

TEST(Int8ConvVNNI, ZeroPointAndAllZeroInput) {
  ConvCase k{1, 4, 5, 5, 3, 1, 1, {}};
  // All positive: zero point 0 and scale max / 255, so a unit weight returns
  // round(x / s) * s.
  std::vector<float> x = randomImage(100, 30, 0.5f, 2.0f);
  x[17] = 2.0f;
  const std::vector<int8_t> w{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
  const std::vector<float> scale{1.f, 1.f, 1.f}, zeroBias{0.f, 0.f, 0.f};
  Int8ConvKernel kernel(k.g);
  std::vector<float> y(75);
  kernel.forward(x.data(), {1, 4, 5, 5}, w.data(), {3, 4, 1, 1}, scale.data(), zeroBias.data(), y.data());
  const float s = 2.0f / 255.f;
  for (int i = 0; i < 75; ++i) EXPECT_EQ(y[static_cast<size_t>(i)], std::nearbyint(x[static_cast<size_t>(i)] / s) * s);

  // An all-zero input produces the bias alone.
  const std::vector<float> zeros(100, 0.f), bias{0.25f, -1.5f, 3.f};
  kernel.forward(zeros.data(), {1, 4, 5, 5}, w.data(), {3, 4, 1, 1}, scale.data(), bias.data(), y.data());
  for (int i = 0; i < 75; ++i) EXPECT_EQ(y[static_cast<size_t>(i)], bias[static_cast<size_t>(i / 25)]);
  (void)k;
}

TEST(Int8ConvVNNI, NewWeightsAreRepacked) {
  ConvCase k{1, 4, 6, 6, 8, 3, 3, {}};
  ConvData d = convData(k, 40, -1.f, 1.f);
  Int8ConvKernel kernel(k.g);
  const std::vector<int64_t> xs{1, 4, 6, 6}, ws{8, 4, 3, 3};
  std::vector<float> a(8 * 16), b(8 * 16);
  kernel.forward(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.bias.data(), a.data());
  for (int8_t& v : d.w) v = static_cast<int8_t>(-v / 2);
  kernel.forward(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.bias.data(), b.data());
  Int8ConvKernel fresh(k.g);
  std::vector<float> c(b.size());
  fresh.forward(d.x.data(), xs, d.w.data(), ws, d.scale.data(), d.bias.data(), c.data());
  EXPECT_FALSE(sameBits(a, b));
  EXPECT_TRUE(sameBits(b, c));
}

Bytes int8Model(const ConvData& d, const ConvCase& k, bool withAttrs) {
  test::GraphParts p;
  Bytes attrs;
  if (withAttrs) {
    hcAttrIs(attrs, "strides", k.g.strides, 2);
    hcAttrIs(attrs, "pads", k.g.pads, 4);
    hcAttrIs(attrs, "dilations", k.g.dilations, 2);
    hcAttrI(attrs, "group", k.g.group);
  }
  p.nodes.push_back(test::node("Int8ConvVNNI", {"x", "w", "s", "b"}, {"y"}, "conv", attrs, kCorvaneInt8Domain));
  hcInit(p.initializers, "w", kOnnxInt8, {k.m, k.c / k.g.group, k.kh, k.kw}, d.w.data(), d.w.size());
  hcInit(p.initializers, "s", kOnnxFloat, {k.m}, d.scale.data(), d.scale.size() * 4);
  hcInit(p.initializers, "b", kOnnxFloat, {k.m}, d.bias.data(), d.bias.size() * 4);
  p.inputs.push_back(test::valueInfo("x", kOnnxFloat, {k.n, k.c, k.h, k.w}));
  p.outputs.push_back(test::valueInfo("y", kOnnxFloat, {-1, -1, -1, -1}));
  p.opsets.emplace_back(kCorvaneInt8Domain, 1);
  return test::model(p);
}

TEST(Int8ConvVNNI, RunsInOrtWithConvAttributesAndDefaults) {
  ConvCase k{1, 6, 9, 9, 8, 3, 3, {}};
  k.g.strides[0] = 2;
  k.g.pads[0] = k.g.pads[1] = k.g.pads[2] = k.g.pads[3] = 1;
  k.g.group = 2;
  const ConvData d = convData(k, 50, -1.f, 1.f);
  test::Feeds f;
  f["x"] = {{k.n, k.c, k.h, k.w}, d.x};
  for (bool withAttrs : {true, false}) {
    ConvCase kk = k;
    if (!withAttrs) kk.g = Int8ConvGeometry{};
    const ConvData dd = withAttrs ? d : convData(kk, 50, -1.f, 1.f);
    const test::Tensor y = test::run(int8Model(dd, kk, withAttrs), f, "y");
    Int8ConvKernel direct(kk.g);
    const std::vector<int64_t> ys = direct.outputShape({kk.n, kk.c, kk.h, kk.w}, {kk.m, kk.c / kk.g.group, kk.kh, kk.kw});
    EXPECT_EQ(y.shape, ys);
    std::vector<float> want(y.data.size());
    direct.forward(d.x.data(), {kk.n, kk.c, kk.h, kk.w}, dd.w.data(), {kk.m, kk.c / kk.g.group, kk.kh, kk.kw},
                   dd.scale.data(), dd.bias.data(), want.data());
    EXPECT_TRUE(sameBits(y.data, want));
  }
}

TEST(Int8ConvVNNI, ShapesThatDoNotFitAreRefused) {
  Int8ConvGeometry g;
  g.group = 2;
  Int8ConvKernel k(g);
  EXPECT_THROW(k.outputShape({1, 3, 4, 4}, {4, 1, 3, 3}), std::runtime_error);  // 3 channels, 2 groups
  EXPECT_THROW(k.outputShape({1, 4, 2, 2}, {4, 2, 3, 3}), std::runtime_error);  // kernel larger than input
  EXPECT_THROW(k.outputShape({1, 4, 4}, {4, 2, 3, 3}), std::runtime_error);
  EXPECT_EQ(k.outputShape({2, 4, 5, 5}, {6, 2, 3, 3}), (std::vector<int64_t>{2, 6, 3, 3}));
  // Pads far beyond the input would lay out a padded copy of that size.
  Int8ConvGeometry huge;
  huge.pads[0] = huge.pads[1] = huge.pads[2] = huge.pads[3] = 100000;
  huge.strides[0] = huge.strides[1] = 100000;
  Int8ConvKernel far(huge);
  const std::vector<float> x(4, 1.f), scale{1.f}, bias{0.f};
  const std::vector<int8_t> w{1};
  std::vector<float> y(9);
  ASSERT_EQ(far.outputShape({1, 1, 2, 2}, {1, 1, 1, 1}), (std::vector<int64_t>{1, 1, 3, 3}));
  EXPECT_NE(test::errorOf([&] { far.forward(x.data(), {1, 1, 2, 2}, w.data(), {1, 1, 1, 1}, scale.data(), bias.data(),
                                      y.data()); })
                .find("REFUSING"),
            std::string::npos);
}

}  // namespace
}  // namespace le
