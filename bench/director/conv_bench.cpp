// The fp16 convolution engine against ONNX Runtime (fp32, the library's
// session options) on the same m4b director graph and the same inputs, at
// batch 1 and 4 with 1 and 2 threads; and each of the engine's convolution
// layers alone, in GFLOP/s against the processor's fp32 FMA peak.
//
//   bench_director_conv [--benchmark_filter=...]
//   LE_BAKE_M4B=/path/to/m4b-bundle bench_director_conv
//
// The graph is the demo bake's m4b director (crop 512; the "tiny_m4b"
// fixture, whose director is the full-size network: ctest -R bake_tiny_m4b).
// The engine runs once per Highway target this processor supports, forced
// (its weights are packed for that target's vectors); ONNX Runtime once.
//
// Peak: cores x GHz x fp32 FMA lanes per cycle x 2. The FMA lanes default to
// 16 (two 256-bit FMA pipes, as on AMD Zen 4, whose 512-bit operations are
// split in two); LE_BENCH_FMA_LANES overrides it, LE_BENCH_GHZ the clock
// (default: "cpu MHz" of /proc/cpuinfo). In a virtual machine that is often
// the base clock while the cores boost above it, so a layer can show more
// than 100%; Winograd layers count the direct convolution's operations, so
// they can exceed the peak on any clock.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "director/le_conv.h"
#include "director/le_conv_kernels.h"
#include "hwy/targets.h"
#include "ort_harness.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

namespace t = le::test;

constexpr int kCrop = 512;

std::string m4bBundle() {
  const char* env = std::getenv("LE_BAKE_M4B");
  return env && *env ? env : le::bench::fixturesHolding("tiny_m4b") + "/tiny_m4b";
}
std::string modelPath(int batch) { return m4bBundle() + "/model_b" + std::to_string(batch) + ".onnx"; }

double envNumber(const char* name, double fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atof(v) : fallback;
}

double cpuGhz() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("cpu MHz", 0) == 0) return std::atof(line.substr(line.find(':') + 1).c_str()) / 1000.0;
  return 0.0;
}

struct Peak {
  int cores = 1;
  double ghz = 0, lanes = 16;
  double perCore() const { return ghz * lanes * 2; }
  double machine() const { return perCore() * cores; }
};

const Peak& peak() {
  static const Peak p = [] {
    Peak p;
    p.cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    p.ghz = envNumber("LE_BENCH_GHZ", cpuGhz());
    p.lanes = envNumber("LE_BENCH_FMA_LANES", 16);
    return p;
  }();
  return p;
}

class ForcedTarget {
 public:
  explicit ForcedTarget(int64_t target) { hwy::SetSupportedTargetsForTest(target); }
  ~ForcedTarget() { hwy::SetSupportedTargetsForTest(0); }
};

std::string label(const std::string& target) { return le::bench::cpuModel() + ", " + target; }

// The director's inputs for `batch` frames, as ONNX Runtime takes them and
// as fp16 rows for the engine (the same values: the identity rows are fp16
// in a bundle).
struct Inputs {
  t::Feeds feeds;
  std::vector<uint16_t> pooled16, source16;
  std::vector<const uint16_t*> pooledRows, sourceRows;
  int batch = 0;
};

const Inputs& inputs(int batch) {
  static std::map<int, std::unique_ptr<Inputs>> cache;
  auto& slot = cache[batch];
  if (slot) return *slot;
  slot = std::make_unique<Inputs>();
  Inputs& in = *slot;
  in.batch = batch;
  in.feeds = t::directorFeeds(t::readModel(modelPath(batch)), 7);
  for (const char* name : {"pooled64", "P_rgb"})
    for (float& v : in.feeds[name].data) v = le::halfToFloat(le::f32ToF16(v));
  const auto& pooled = in.feeds.at("pooled64").data;
  const auto& source = in.feeds.at("P_rgb").data;
  in.pooled16.resize(pooled.size());
  in.source16.resize(source.size());
  le::simd::f32ToF16(pooled.data(), in.pooled16.data(), pooled.size());
  le::simd::f32ToF16(source.data(), in.source16.data(), source.size());
  for (int j = 0; j < batch; ++j) {
    in.pooledRows.push_back(in.pooled16.data() + static_cast<size_t>(j) * 64 * 32 * 32);
    in.sourceRows.push_back(in.source16.data() + static_cast<size_t>(j) * 3 * kCrop * kCrop);
  }
  return in;
}

// CPU seconds of the whole process (every thread of ORT and of the engine's
// pool): on a machine shared with other work, wall time alone overstates
// what each side costs.
double processCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void setFrameRate(benchmark::State& state, int batch, double cpuSeconds) {
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * batch, benchmark::Counter::kIsRate);
  state.counters["process_cpu_ms"] =
      state.iterations() ? 1e3 * cpuSeconds / static_cast<double>(state.iterations()) : 0.0;
}

void OrtDirector(benchmark::State& state, int batch, int threads) {
  const Inputs& in = inputs(batch);
  Ort::Session session = t::makeSession(t::readModel(modelPath(batch)), threads);
  t::BoundRun run(session, in.feeds, "rgb");
  const double cpu0 = processCpuSeconds();
  for (auto _ : state) run.run();
  setFrameRate(state, batch, processCpuSeconds() - cpu0);
  state.SetLabel(le::bench::cpuModel() + ", ONNX Runtime fp32 CPU");
}

void EngineDirector(benchmark::State& state, int batch, int threads, int64_t target, std::string name) {
  ForcedTarget forced(target);
  const Inputs& in = inputs(batch);
  auto engine = le::ConvBackend::create(modelPath(batch), threads);
  std::vector<float> out(static_cast<size_t>(batch) * 3 * kCrop * kCrop);
  const auto& ks = in.feeds.at("kp_source").data;
  const auto& kd = in.feeds.at("kp_driving").data;
  const double cpu0 = processCpuSeconds();
  for (auto _ : state) {
    engine->render(in.pooledRows.data(), in.sourceRows.data(), ks.data(), kd.data(), batch, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  setFrameRate(state, batch, processCpuSeconds() - cpu0);
  state.SetLabel(label(name));
}

// One of the engine's convolutions at its place in the m4b director.
struct LayerShape {
  const char* name;
  int outH, outW, inChannels, outChannels, kernel, stride;
  bool relu;
  int perFrame;  // times per frame (the six tiles)
  double flops() const { return 2.0 * outH * outW * outChannels * inChannels * kernel * kernel; }
};

const std::vector<LayerShape>& layers() {
  static const std::vector<LayerShape> v = {
      {"pre", 32, 32, 85, 96, 1, 1, true, 1},       {"e0", 32, 32, 96, 96, 3, 1, true, 1},
      {"e1", 16, 16, 96, 144, 3, 2, true, 1},       {"e2", 8, 8, 144, 192, 3, 2, true, 1},
      {"d1", 16, 16, 336, 144, 3, 1, true, 1},      {"d0", 32, 32, 240, 96, 3, 1, true, 1},
      {"ref", 64, 64, 96, 48, 3, 1, true, 1},       {"maskocc", 64, 64, 48, 23, 3, 1, false, 1},
      {"corr0", 256, 256, 7, 24, 3, 1, true, 1},    {"corr1", 256, 256, 24, 24, 3, 1, true, 1},
      {"corr2", 256, 256, 24, 12, 3, 1, false, 1},  {"tile0", 256, 208, 7, 32, 3, 1, true, 6},
      {"tile1", 256, 208, 32, 32, 3, 1, true, 6},   {"tile2", 256, 208, 32, 32, 3, 1, true, 6},
      {"tile3", 256, 208, 32, 3, 3, 1, false, 6},
  };
  return v;
}

// The layer alone on random fp16 data, over 1 thread or the library's pool.
void ConvLayerAlone(benchmark::State& state, LayerShape l, bool pooled, int64_t target, std::string name,
                    le::conv::ConvMethod method) {
  ForcedTarget forced(target);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> d(-1.f, 1.f);
  const int cinPad = (l.inChannels + 7) / 8 * 8, inH = l.outH * l.stride, inW = l.outW * l.stride;
  std::vector<uint16_t> in(static_cast<size_t>(inH) * inW * cinPad, 0);
  for (int p = 0; p < inH * inW; ++p)
    for (int c = 0; c < l.inChannels; ++c) in[static_cast<size_t>(p) * cinPad + c] = le::f32ToF16(d(rng));
  std::vector<float> w(static_cast<size_t>(l.outChannels) * l.inChannels * l.kernel * l.kernel);
  for (float& x : w) x = d(rng) * 0.1f;
  const size_t lanes = le::conv::vectorLanes();
  std::vector<uint16_t> packed(le::conv::packedWeightCount(l.outChannels, cinPad, l.kernel, lanes, method));
  le::conv::packWeights(w.data(), l.outChannels, l.inChannels, cinPad, l.kernel, lanes, packed.data(), method);
  std::vector<float> bias(static_cast<size_t>(le::conv::outputVectors(l.outChannels, lanes)) * lanes, 0.01f);
  std::vector<uint16_t> out(static_cast<size_t>(l.outH) * l.outW * l.outChannels);
  le::conv::ConvArgs a;
  a.in = in.data();
  a.inH = inH;
  a.inW = inW;
  a.inChannelsPadded = cinPad;
  a.out = out.data();
  a.outH = l.outH;
  a.outW = l.outW;
  a.outChannels = l.outChannels;
  a.kernel = l.kernel;
  a.stride = l.stride;
  a.relu = l.relu;
  a.weights = packed.data();
  a.bias = bias.data();
  a.method = method;
  const size_t scratchFloats = le::conv::scratchFloats(method, l.kernel, inW, cinPad, l.outChannels, lanes);
  const int threads = pooled ? le::pool::threads() : 1;
  std::vector<std::vector<float>> scratch(static_cast<size_t>(threads) + 1, std::vector<float>(scratchFloats));
  const double cpu0 = processCpuSeconds();
  for (auto _ : state) {
    if (!pooled) {
      le::conv::runConv(a, 0, l.outH, scratch[0].data());
    } else {
      // One part per pool thread, each with scratch of its own.
      le::pool::parallelRange(static_cast<size_t>(threads), 1, [&](size_t b, size_t e) {
        for (size_t part = b; part < e; ++part) {
          const int r0 = static_cast<int>(part * l.outH / threads), r1 = static_cast<int>((part + 1) * l.outH / threads);
          le::conv::runConv(a, r0, r1, scratch[part].data());
        }
      });
    }
    benchmark::DoNotOptimize(out.data());
  }
  const double cpu = processCpuSeconds() - cpu0;
  const double gflops = l.flops() * 1e-9;
  // Per CPU-second of the process: what the layer achieves while it runs.
  state.counters["GFLOP_per_cpu_s"] = cpu > 0 ? gflops * static_cast<double>(state.iterations()) / cpu : 0.0;
  state.counters["GFLOP_per_s"] =
      benchmark::Counter(gflops * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["GFLOP_per_frame"] = gflops * l.perFrame;
  const bool chosen = method == le::conv::chooseMethod(l.outChannels, cinPad, l.kernel, l.stride, lanes);
  state.SetLabel(label(name) + (pooled ? ", pool of " + std::to_string(threads) : ", 1 thread") +
                 (chosen ? ", the engine's choice" : ""));
}

// Prints each layer's achieved rate against the peak of the cores it used.
class PeakReporter : public le::bench::CollectingReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const auto wall = r.counters.find("GFLOP_per_s"), cpu = r.counters.find("GFLOP_per_cpu_s");
      const auto proc = r.counters.find("process_cpu_ms");
      if (proc != r.counters.end()) cpuMs[r.benchmark_name()] = proc->second;
      if (wall == r.counters.end() || cpu == r.counters.end()) continue;
      const bool pooled = r.benchmark_name().find("/pool") != std::string::npos;
      layers[r.benchmark_name()] = {wall->second, cpu->second,
                                    pooled ? peak().perCore() * le::pool::threads() : peak().perCore()};
    }
    CollectingReporter::ReportRuns(runs);
  }
  struct LayerRate {
    double wall, perCpuSecond, peak;
  };
  std::map<std::string, LayerRate> layers;
  std::map<std::string, double> cpuMs;
};

}  // namespace

int main(int argc, char** argv) {
  if (!le::ConvBackend::graphSupported(modelPath(1)) || !le::ConvBackend::graphSupported(modelPath(4))) {
    std::fprintf(stderr, "bench_director_conv: no m4b director at %s (bake it: ctest -R bake_tiny_m4b)\n",
                 m4bBundle().c_str());
    return 1;
  }
  const Peak& pk = peak();
  std::printf("CPU: %s; chosen target: %s; pool threads: %d\n", le::bench::cpuModel().c_str(), le::simd::target(),
              le::pool::threads());
  std::printf("fp32 FMA peak assumed: %d cores x %.3f GHz x %.0f FMA lanes x 2 = %.1f GFLOP/s (%.1f per core)\n",
              pk.cores, pk.ghz, pk.lanes, pk.machine(), pk.perCore());
  std::vector<std::pair<int64_t, std::string>> targets;
  for (int64_t tg : hwy::SupportedAndGeneratedTargets()) targets.emplace_back(tg, hwy::TargetName(tg));

  std::vector<std::pair<std::string, std::string>> pairs;
  for (int batch : {1, 4})
    for (int threads : {1, 2}) {
      const std::string cfg = "b" + std::to_string(batch) + "/t" + std::to_string(threads);
      benchmark::RegisterBenchmark(("ort_fp32/" + cfg).c_str(), OrtDirector, batch, threads)
          ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
      for (const auto& [tg, name] : targets) {
        const std::string bench = "engine/" + name + "/" + cfg;
        benchmark::RegisterBenchmark(bench.c_str(), EngineDirector, batch, threads, tg, name)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
        pairs.emplace_back(bench, "ort_fp32/" + cfg);
      }
    }
  // Every method that can compute the layer: layer/<target>/<layer>/<method>/...
  const std::pair<le::conv::ConvMethod, const char*> methods[] = {
      {le::conv::ConvMethod::kDirect, "direct"}, {le::conv::ConvMethod::kDot, "dot"},
      {le::conv::ConvMethod::kWinograd, "winograd"}};
  for (const auto& [tg, name] : targets)
    for (const LayerShape& l : layers())
      for (const auto& [method, methodName] : methods)
        for (bool pooled : {false, true})
          if (le::conv::methodApplies(method, l.outChannels, l.kernel, l.stride))
            benchmark::RegisterBenchmark(
                ("layer/" + name + "/" + l.name + "/" + methodName + (pooled ? "/pool" : "/1thread")).c_str(),
                ConvLayerAlone, l, pooled, tg, name, method)
                ->Unit(benchmark::kMicrosecond)->UseRealTime();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  PeakReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\nCPU: %s\n", le::bench::cpuModel().c_str());
  std::printf("Engine vs ONNX Runtime fp32 per batch (ORT / engine; > 1 means the engine is faster), wall time and\n"
              "CPU time of the whole process:\n");
  auto find = [&](const std::map<std::string, double>& m, const std::string& name) -> double {
    for (const auto& kv : m)
      if (kv.first == name || kv.first.compare(0, name.size() + 1, name + "/") == 0) return kv.second;
    return 0;
  };
  std::printf("  %-26s %10s %10s %8s   %10s %10s %8s\n", "", "wall ms", "ORT wall", "ratio", "CPU ms", "ORT CPU",
              "ratio");
  for (const auto& [candidate, baseline] : pairs) {
    const double c = find(rep.times, candidate), b = find(rep.times, baseline);
    const double cc = find(rep.cpuMs, candidate), bc = find(rep.cpuMs, baseline);
    if (c > 0 && b > 0)
      std::printf("  %-26s %10.1f %10.1f %7.2fx   %10.1f %10.1f %7.2fx\n", candidate.c_str(), c * 1e3, b * 1e3, b / c,
                  cc, bc, cc > 0 ? bc / cc : 0.0);
  }
  std::printf("Convolution layers against the fp32 FMA peak of the cores they ran on (%.1f GFLOP/s per core);\n"
              "per CPU-second counts only the time the process ran:\n", pk.perCore());
  for (const auto& [name, f] : rep.layers)
    std::printf("  %-36s %7.1f GFLOP/s wall (%5.1f%%)  %7.1f GFLOP/s per CPU-second (%5.1f%% of one core)  peak %.1f\n",
                name.c_str(), f.wall, 100.0 * f.wall / f.peak, f.perCpuSecond, 100.0 * f.perCpuSecond / pk.perCore(),
                f.peak);
  benchmark::Shutdown();
  return 0;
}
