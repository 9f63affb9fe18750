// The director's custom operators against what they replace, each side run
// as a one-node (or one-block) ONNX Runtime session on the same data:
//
//   bench_director_kernels [--benchmark_filter=...]
//
// - GridSampleFast against ONNX Runtime's GridSample on the full-size tip
//   (1 x 12 x 512 x 512, grid 512 x 512) at 1 and 2 intra-op threads, with a
//   plain scalar loop of the same formula for scale;
// - WarpDirector against the block it replaces: the tip Concat, GridSample
//   and the recombination (second differences given), and the same with the
//   source cone that computes them, with a plain scalar loop of its filter;
// - Int8ConvVNNI against ONNX Runtime's float Conv on director-sized layers.
//   Int8ConvVNNI splits work over the library's worker pool
//   (LE_CORE_THREADS, 2 when unset); the float Conv gets as many threads.
//
// Each custom operator runs forced to every vector target the processor
// supports (and once with the processor's own choice), so one machine reports
// its AVX2 figures beside its AVX-512 ones. The baselines run once.
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "director/graph_rewrites.h"
#include "director/gridsample_fast.h"
#include "director/int8conv_vnni.h"
#include "hwy/targets.h"
#include "onnx_builder.h"
#include "ort_harness.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

using le::Bytes;
namespace t = le::test;

constexpr int kSide = 512, kTip = 12;

std::vector<float> uniform(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(0.f, 1.f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// A director-like sampling grid: pixel centres moved by a smooth flow of a
// few pixels, reaching a little past the border.
std::vector<float> smoothGrid(int side) {
  std::vector<float> g(static_cast<size_t>(side) * side * 2);
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j) {
      const float x = (2.f * j + 1) / side - 1, y = (2.f * i + 1) / side - 1;
      g[2 * (static_cast<size_t>(i) * side + j)] = 1.02f * x + 0.02f * std::sin(3.1f * y + 0.7f);
      g[2 * (static_cast<size_t>(i) * side + j) + 1] = 1.02f * y + 0.02f * std::cos(2.3f * x);
    }
  return g;
}

Bytes samplerModel(bool fast) {
  t::GraphParts p;
  Bytes attrs;
  if (!fast) {
    le::hcAttrS(attrs, "mode", "bilinear");
    le::hcAttrS(attrs, "padding_mode", "border");
    le::hcAttrI(attrs, "align_corners", 0);
  }
  p.nodes.push_back(t::node(fast ? "GridSampleFast" : "GridSample", {"x", "grid"}, {"y"}, "gs", attrs,
                            fast ? le::kCorvaneDomain : ""));
  p.inputs.push_back(t::valueInfo("x", le::kOnnxFloat, {1, kTip, kSide, kSide}));
  p.inputs.push_back(t::valueInfo("grid", le::kOnnxFloat, {1, kSide, kSide, 2}));
  p.outputs.push_back(t::valueInfo("y", le::kOnnxFloat, {1, kTip, kSide, kSide}));
  p.opsets.emplace_back(le::kCorvaneDomain, 1);
  return t::model(p);
}

const t::Feeds& feeds() {
  static const t::Feeds f = [] {
    t::Feeds f;
    const size_t plane = static_cast<size_t>(kSide) * kSide;
    f["x"] = {{1, kTip, kSide, kSide}, uniform(kTip * plane, 1)};
    f["grid"] = f["grid_in"] = {{1, kSide, kSide, 2}, smoothGrid(kSide)};
    f["P_rgb"] = {{1, 3, kSide, kSide}, uniform(3 * plane, 2)};
    for (const char* n : {"cone_dxx", "cone_dyy", "cone_dxxyy"}) f[n] = {{1, 3, kSide, kSide}, uniform(3 * plane, 3)};
    return f;
  }();
  return f;
}

// Runs the benchmark body with the kernels forced to one target (0: the
// processor's own choice).
class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

void runSession(benchmark::State& state, const Bytes& model, int threads, const std::string& output) {
  Ort::Session s = t::makeSession(model, threads);
  t::BoundRun run(s, feeds(), output);
  for (auto _ : state) run.run();
  state.counters["threads"] = threads;
}

void BM_GridSampleFast(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  runSession(state, samplerModel(true), static_cast<int>(state.range(0)), "y");
}
void BM_OrtGridSample(benchmark::State& state) {
  runSession(state, samplerModel(false), static_cast<int>(state.range(0)), "y");
}

// The formula as a plain loop, one pixel at a time, one thread.
void BM_ScalarLoop(benchmark::State& state) {
  const t::Feeds& f = feeds();
  const float* x = f.at("x").data.data();
  const float* grid = f.at("grid").data.data();
  std::vector<float> y(f.at("x").data.size());
  const int H = kSide, W = kSide;
  const size_t plane = static_cast<size_t>(H) * W;
  for (auto _ : state) {
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) {
        const size_t p = static_cast<size_t>(i) * W + j;
        const float fxc = ((grid[2 * p] + 1.f) * 0.5f) * W - 0.5f;
        const float fyc = ((grid[2 * p + 1] + 1.f) * 0.5f) * H - 0.5f;
        const float x0 = std::floor(fxc), y0 = std::floor(fyc);
        const float fx = fxc - x0, fy = fyc - y0;
        const int xa = x0 < 0 ? 0 : std::min(static_cast<int>(x0), W - 1);
        const int xb = x0 < 0 ? 0 : std::min(static_cast<int>(x0) + 1, W - 1);
        const int ya = y0 < 0 ? 0 : std::min(static_cast<int>(y0), H - 1);
        const int yb = y0 < 0 ? 0 : std::min(static_cast<int>(y0) + 1, H - 1);
        const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
        for (int c = 0; c < kTip; ++c) {
          const float* s = x + c * plane;
          y[c * plane + p] = w00 * s[ya * W + xa] + w01 * s[ya * W + xb] + w10 * s[yb * W + xa] + w11 * s[yb * W + xb];
        }
      }
    benchmark::DoNotOptimize(y.data());
  }
  state.counters["threads"] = 1;
}

// WarpDirector's filter as a plain loop, one pixel at a time, one thread:
// the taps of each axis, then the 4 x 4 neighbourhood of each channel.
void BM_WarpScalarLoop(benchmark::State& state) {
  const t::Feeds& f = feeds();
  const float* src = f.at("P_rgb").data.data();
  const float* grid = f.at("grid").data.data();
  std::vector<float> y(f.at("P_rgb").data.size());
  const int H = kSide, W = kSide;
  const size_t plane = static_cast<size_t>(H) * W;
  auto axis = [](float g, int extent, float taps[4], int index[4]) {
    const float e = ((g + 1.f) * static_cast<float>(extent) - 1.f) * 0.5f;
    const float frac = e - std::floor(e), h = (1.f - frac) * frac * 0.5f;
    const float c = std::min(std::max(e, 0.f), static_cast<float>(extent - 1));
    const float c0 = std::floor(c), w = c - c0, ow = 1.f - w;
    taps[0] = 0.f - h * ow;
    taps[1] = ow - h * (w - 2.f * ow);
    taps[2] = w - h * (ow - 2.f * w);
    taps[3] = 0.f - h * w;
    for (int k = 0; k < 4; ++k) index[k] = std::clamp(static_cast<int>(c0) + k - 1, 0, extent - 1);
  };
  for (auto _ : state) {
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) {
        const size_t p = static_cast<size_t>(i) * W + j;
        float ax[4], ay[4];
        int col[4], row[4];
        axis(grid[2 * p], W, ax, col);
        axis(grid[2 * p + 1], H, ay, row);
        for (int ch = 0; ch < 3; ++ch) {
          const float* s = src + ch * plane;
          float v = 0.f;
          for (int r = 0; r < 4; ++r) {
            const float* line = s + static_cast<size_t>(row[r]) * W;
            const float sum = ax[0] * line[col[0]] + ax[1] * line[col[1]] + ax[2] * line[col[2]] + ax[3] * line[col[3]];
            v = r == 0 ? ay[0] * sum : v + ay[r] * sum;
          }
          y[ch * plane + p] = v;
        }
      }
    benchmark::DoNotOptimize(y.data());
  }
  state.counters["threads"] = 1;
}

Bytes blockModel(const char* name) {
  return t::readModel(std::string(LE_BENCH_GRAPHS) + "/" + name + ".onnx");
}

Bytes warpNodeModel(const char* block) {
  Bytes m = blockModel(block);
  std::string why;
  if (le::rewriteWarpBlockToCustomOp(m, why) == 0) throw std::runtime_error("warp rewrite refused: " + why);
  return m;
}

void BM_WarpDirector(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  runSession(state, warpNodeModel("warp_block"), static_cast<int>(state.range(0)), "warped");
}
void BM_WarpBlock(benchmark::State& state) {
  runSession(state, blockModel("warp_block_tip"), static_cast<int>(state.range(0)), "warped");
}
void BM_WarpBlockWithCone(benchmark::State& state) {
  runSession(state, blockModel("warp_block"), static_cast<int>(state.range(0)), "warped");
}

// --- Int8ConvVNNI -------------------------------------------------------------

struct Layer {
  const char* name;
  int c, h, w, m, k, stride;
};
constexpr Layer kLayers[] = {
    {"e0 96->96 3x3 @32x32", 96, 32, 32, 96, 3, 1},
    {"e1 96->144 3x3/2 @32x32", 96, 32, 32, 144, 3, 2},
    {"tile 32->32 3x3 @256x208", 32, 256, 208, 32, 3, 1},
};

Bytes convModel(const Layer& l, bool int8) {
  t::GraphParts p;
  std::mt19937 rng(5);
  std::normal_distribution<float> nd(0.f, 0.05f);
  const size_t nw = static_cast<size_t>(l.m * l.c * l.k * l.k);
  Bytes attrs;
  const int64_t strides[2] = {l.stride, l.stride}, pads[4] = {1, 1, 1, 1}, dil[2] = {1, 1};
  le::hcAttrIs(attrs, "strides", strides, 2);
  le::hcAttrIs(attrs, "pads", pads, 4);
  le::hcAttrIs(attrs, "dilations", dil, 2);
  le::hcAttrI(attrs, "group", 1);
  std::vector<float> bias(static_cast<size_t>(l.m));
  for (float& b : bias) b = nd(rng);
  if (int8) {
    std::vector<int8_t> w(nw);
    for (int8_t& v : w) v = static_cast<int8_t>(std::lround(std::clamp(nd(rng) * 1000.f, -127.f, 127.f)));
    std::vector<float> scale(static_cast<size_t>(l.m), 0.001f);
    le::hcInit(p.initializers, "w", le::kOnnxInt8, {l.m, l.c, l.k, l.k}, w.data(), w.size());
    le::hcInit(p.initializers, "s", le::kOnnxFloat, {l.m}, scale.data(), scale.size() * 4);
    le::hcInit(p.initializers, "b", le::kOnnxFloat, {l.m}, bias.data(), bias.size() * 4);
    p.nodes.push_back(t::node("Int8ConvVNNI", {"x", "w", "s", "b"}, {"y"}, "conv", attrs, le::kCorvaneInt8Domain));
    p.opsets.emplace_back(le::kCorvaneInt8Domain, 1);
  } else {
    std::vector<float> w(nw);
    for (float& v : w) v = nd(rng);
    le::hcInit(p.initializers, "w", le::kOnnxFloat, {l.m, l.c, l.k, l.k}, w.data(), w.size() * 4);
    le::hcInit(p.initializers, "b", le::kOnnxFloat, {l.m}, bias.data(), bias.size() * 4);
    p.nodes.push_back(t::node("Conv", {"x", "w", "b"}, {"y"}, "conv", attrs));
  }
  p.inputs.push_back(t::valueInfo("x", le::kOnnxFloat, {1, l.c, l.h, l.w}));
  p.outputs.push_back(t::valueInfo("y", le::kOnnxFloat, {-1, -1, -1, -1}));
  return t::model(p);
}

void convBench(benchmark::State& state, bool int8) {
  const Layer& l = kLayers[state.range(0)];
  state.SetLabel(l.name);
  t::Feeds f;
  f["x"] = {{1, l.c, l.h, l.w}, uniform(static_cast<size_t>(l.c * l.h * l.w), 9)};
  for (float& v : f["x"].data) v = 2.f * v - 0.5f;
  // Both sides get the pool's thread count.
  Ort::Session s = t::makeSession(convModel(l, int8), le::pool::threads());
  t::BoundRun run(s, f, "y");
  for (auto _ : state) run.run();
  state.counters["threads"] = le::pool::threads();
}

void BM_Int8ConvVNNI(benchmark::State& state, int64_t target) {
  ForcedTarget forced(target);
  convBench(state, true);
}
void BM_OrtFloatConv(benchmark::State& state) { convBench(state, false); }

BENCHMARK(BM_OrtGridSample)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScalarLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarpScalarLoop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarpBlock)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WarpBlockWithCone)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OrtFloatConv)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("LE_CORE_THREADS", "2", 0);
  std::printf("CPU: %s; chosen target: %s; Int8ConvVNNI path: %s; pool threads: %d\n", le::bench::cpuModel().c_str(),
              le::simd::target(), le::int8ConvPathName(), le::pool::threads());
  std::vector<std::pair<std::string, int64_t>> targets = {{"chosen", 0}};
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) targets.emplace_back(hwy::TargetName(t), t);
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& [name, t] : targets) {
    const std::string gs = "BM_GridSampleFast/" + name, wd = "BM_WarpDirector/" + name, cv = "BM_Int8ConvVNNI/" + name;
    benchmark::RegisterBenchmark(gs.c_str(), BM_GridSampleFast, t)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(wd.c_str(), BM_WarpDirector, t)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(cv.c_str(), BM_Int8ConvVNNI, t)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
    for (const char* n : {"1", "2"}) {
      pairs.push_back({gs + "/" + n, std::string("BM_OrtGridSample/") + n});
      pairs.push_back({wd + "/" + n, std::string("BM_WarpBlock/") + n});
      pairs.push_back({wd + "/" + n, std::string("BM_WarpBlockWithCone/") + n});
    }
    pairs.push_back({gs + "/1", "BM_ScalarLoop"});
    pairs.push_back({wd + "/1", "BM_WarpScalarLoop"});
    for (const char* n : {"0", "1", "2"}) pairs.push_back({cv + "/" + n, std::string("BM_OrtFloatConv/") + n});
  }
  return le::bench::runWithRatios(argc, argv, pairs);
}
