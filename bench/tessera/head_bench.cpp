// The borrow head network over one whole band of the full profile (96 x 192
// pixels, BlendHead(16) with seeded weights): this library's row-split
// convolutions on its worker pool against the same network run by ONNX
// Runtime (the graph written here with the library's ONNX wire writer from the
// same weights: Conv/Relu, Sigmoid, the blend, Tanh and the envelope), both
// on 2 threads, same input. The outputs are compared before timing.
//
//   bench_tessera_head
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "director/le_ort_session.h"
#include "hwy/targets.h"
#include "onnx_builder.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"
#include "seeded_head.h"
#include "tessera/le_tessera_stream.h"

namespace {

constexpr int kRows = 96, kCols = 192, kThreads = 2;
constexpr size_t kPlane = static_cast<size_t>(kRows) * kCols;


struct Setup {
  le::tessera::HeadWeights head;
  std::vector<float> input;  // 7 planes: leading donor, partner, mask
  std::vector<float> out = std::vector<float>(3 * kPlane), alpha = std::vector<float>(kPlane);
  le::tessera::HeadScratch scratch;

  Setup() {
    std::mt19937 rng(3);
    head = le::bench::seededHead(rng);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    input.resize(7 * kPlane);
    for (float& v : input) v = unit(rng);
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

// The head as an ONNX graph: inputs "x" (the 7 planes), "lead" and "partner"
// (the two donors' planes again, so that the blend needs no Slice); outputs
// "y" (3 planes) and "alpha".
le::Bytes headGraph(const le::tessera::HeadWeights& h) {
  namespace t = le::test;
  t::GraphParts g;
  const int64_t pads[4] = {1, 1, 1, 1}, kernel[2] = {3, 3};
  le::Bytes convAttrs;
  le::hcAttrIs(convAttrs, "pads", pads, 4);
  le::hcAttrIs(convAttrs, "kernel_shape", kernel, 2);
  auto init = [&](const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& v) {
    le::hcInit(g.initializers, name, le::kOnnxFloat, dims, v.data(), v.size() * sizeof(float));
  };
  auto conv = [&](const std::string& in, const std::string& name, const std::vector<float>& w,
                  const std::vector<float>& b, int64_t cout, int64_t cin, const std::string& out) {
    init(name + ".w", {cout, cin, 3, 3}, w);
    init(name + ".b", {cout}, b);
    g.nodes.push_back(t::node("Conv", {in, name + ".w", name + ".b"}, {out}, name, convAttrs));
  };
  auto op = [&](const std::string& type, const std::vector<std::string>& in, const std::string& out) {
    g.nodes.push_back(t::node(type, in, {out}, out));
  };
  init("one", {1}, {1.0f});
  init("envelope", {1}, {h.envelope});
  conv("x", "cand0", h.cand0_w, h.cand0_b, 16, 7, "c0");
  op("Relu", {"c0"}, "r0");
  conv("r0", "cand2", h.cand2_w, h.cand2_b, 16, 16, "c2");
  op("Relu", {"c2"}, "r2");
  conv("r2", "cand4", h.cand4_w, h.cand4_b, 1, 16, "logit");
  op("Sigmoid", {"logit"}, "alpha");
  op("Sub", {"one", "alpha"}, "rest");
  op("Mul", {"alpha", "lead"}, "leadPart");
  op("Mul", {"rest", "partner"}, "partnerPart");
  op("Add", {"leadPart", "partnerPart"}, "blend");
  conv("blend", "syn0", h.syn0_w, h.syn0_b, 16, 3, "s0");
  op("Relu", {"s0"}, "sr0");
  conv("sr0", "syn2", h.syn2_w, h.syn2_b, 1, 16, "s2");
  op("Tanh", {"s2"}, "bounded");
  op("Mul", {"bounded", "envelope"}, "residual");
  op("Add", {"blend", "residual"}, "y");
  g.inputs.push_back(t::valueInfo("x", le::kOnnxFloat, {1, 7, kRows, kCols}));
  g.inputs.push_back(t::valueInfo("lead", le::kOnnxFloat, {1, 3, kRows, kCols}));
  g.inputs.push_back(t::valueInfo("partner", le::kOnnxFloat, {1, 3, kRows, kCols}));
  g.outputs.push_back(t::valueInfo("y", le::kOnnxFloat, {1, 3, kRows, kCols}));
  g.outputs.push_back(t::valueInfo("alpha", le::kOnnxFloat, {1, 1, kRows, kCols}));
  return t::model(g);
}

struct OrtHead {
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "bench_tessera_head"};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::unique_ptr<Ort::Session> session;
  std::vector<float> lead, partner, y = std::vector<float>(3 * kPlane), alpha = std::vector<float>(kPlane);
  std::vector<Ort::Value> inputs, outputs;

  explicit OrtHead(Setup& s) {
    const le::Bytes model = headGraph(s.head);
    le::ort::SessionConfig config;
    config.intraThreads = kThreads;
    session = std::make_unique<Ort::Session>(
        le::ort::openSession(env, model.data(), model.size(), le::ort::sessionOptions(config)));
    lead.assign(s.input.begin(), s.input.begin() + 3 * kPlane);
    partner.assign(s.input.begin() + 3 * kPlane, s.input.begin() + 6 * kPlane);
    const int64_t x7[4] = {1, 7, kRows, kCols}, x3[4] = {1, 3, kRows, kCols}, x1[4] = {1, 1, kRows, kCols};
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, s.input.data(), s.input.size(), x7, 4));
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, lead.data(), lead.size(), x3, 4));
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, partner.data(), partner.size(), x3, 4));
    outputs.push_back(Ort::Value::CreateTensor<float>(mem, y.data(), y.size(), x3, 4));
    outputs.push_back(Ort::Value::CreateTensor<float>(mem, alpha.data(), alpha.size(), x1, 4));
  }
  void run() {
    static const char* in[] = {"x", "lead", "partner"};
    static const char* out[] = {"y", "alpha"};
    session->Run(Ort::RunOptions{nullptr}, in, inputs.data(), 3, out, outputs.data(), 2);
  }
};

OrtHead& ortHead() {
  static OrtHead o(setup());
  return o;
}

void runOurs(Setup& s) {
  le::tessera::runHead(s.head, s.input.data(), kRows, kCols, s.out.data(), s.alpha.data(), s.scratch);
}

// Largest absolute difference between the two runs' outputs.
double disagreement() {
  Setup& s = setup();
  OrtHead& o = ortHead();
  runOurs(s);
  o.run();
  double worst = 0;
  for (size_t i = 0; i < s.out.size(); ++i) worst = std::max(worst, std::fabs(double(s.out[i]) - o.y[i]));
  for (size_t i = 0; i < s.alpha.size(); ++i) worst = std::max(worst, std::fabs(double(s.alpha[i]) - o.alpha[i]));
  return worst;
}

constexpr double kTolerance = 1e-4;

void BM_HeadLeCore(benchmark::State& state) {
  Setup& s = setup();
  for (auto _ : state) {
    runOurs(s);
    benchmark::DoNotOptimize(s.out.data());
  }
  state.SetLabel(le::simd::target());
}

void BM_HeadOrt(benchmark::State& state) {
  OrtHead& o = ortHead();
  for (auto _ : state) {
    o.run();
    benchmark::DoNotOptimize(o.y.data());
  }
}

BENCHMARK(BM_HeadLeCore)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_HeadOrt)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  std::printf("CPU: %s, chosen target: %s, pool threads: %d, ONNX Runtime intra-op threads: %d\n",
              le::bench::cpuModel().c_str(), hwy::TargetName(targets.empty() ? 0 : targets.front()),
              le::pool::threads(), kThreads);
  std::printf("head BlendHead(16) (%d parameters) over %d x %d pixels\n", setup().head.params(), kRows, kCols);
  const double worst = disagreement();
  std::printf("largest difference between the two outputs: %.3g (tolerance %.0e)\n", worst, kTolerance);
  if (!(worst <= kTolerance)) {
    std::fprintf(stderr, "the two runs disagree; timing them would compare different networks\n");
    return 1;
  }
  return le::bench::runWithRatios(argc, argv, {{"BM_HeadLeCore", "BM_HeadOrt"}});
}
