// The demo director exactly as baked (standard ONNX, no load-time rewrites)
// on ONNX Runtime's CPU provider, set up as the renderer sets up its session
// (graph optimisation "all", one inter-op thread, no spinning). Reported per
// frame: the batch-1 graph on 2 threads, beside the batch-4 graph on 2
// threads and the batch-1 graph on 1 thread.
//
//   bench_bake_director                     (bundle: the build's fixtures/full)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_bake_director
//   LE_BAKE_BENCH_PROFILE=prefix bench_bake_director   (ORT profiles of the batch-1 runs)
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "director/le_ort_session.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

std::string bundleDir() { return le::bench::fullBundle(); }

// Row `row` of a raw array member, `count` elements of `elem` bytes.
std::string readRow(const std::string& path, size_t row, size_t count, size_t elem) {
  const std::string all = le::readFile(path);
  const size_t bytes = count * elem;
  if (all.size() < (row + 1) * bytes) throw std::runtime_error("short member " + path);
  return all.substr(row * bytes, bytes);
}

std::vector<float> halfRow(const std::string& path, size_t row, size_t count) {
  const std::string raw = readRow(path, row, count, 2);
  std::vector<uint16_t> half(count);
  std::memcpy(half.data(), raw.data(), 2 * count);
  std::vector<float> out(count);
  le::simd::f16ToF32(half.data(), out.data(), count);
  return out;
}

// One identity frame and one drive row of the bundle, repeated over a batch,
// bound to a session of model `key`.
struct Director {
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "bench_bake_director"};
  std::unique_ptr<Ort::Session> session;
  std::vector<std::vector<float>> inputs;
  std::vector<std::vector<int64_t>> shapes;
  std::vector<std::string> names;
  std::vector<float> out;
  int batch = 0;
  int64_t crop = 0;

  Director(const std::string& key, int threads, const char* profile) {
    const le::Manifest m = le::loadManifest(bundleDir());
    le::ort::SessionConfig config;
    config.intraThreads = threads;
    if (profile) config.profilePrefix = profile;
    session = std::make_unique<Ort::Session>(le::ort::openSession(
        env, le::resolveMember(m.dir, "model_" + key + ".onnx").c_str(), le::ort::sessionOptions(config)));
    Ort::AllocatorWithDefaultOptions alloc;
    batch = static_cast<int>(session->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape()[0]);
    crop = m.crop;
    // The drive row with the widest mouth: the frame a talking avatar renders most.
    const int row = m.frames / 4;
    const std::vector<float> pooled = halfRow(le::resolveMember(m.dir, "pooled64.f16"), 0, 65536);
    const std::vector<float> prior = halfRow(le::resolveMember(m.dir, "P.f16"), 0, static_cast<size_t>(3 * crop * crop));
    std::vector<float> xs(63), xd(63);
    std::memcpy(xs.data(), readRow(le::resolveMember(m.dir, "drive/xs.f32"), row, 63, 4).data(), 252);
    std::memcpy(xd.data(), readRow(le::resolveMember(m.dir, "drive/xd.f32"), row, 63, 4).data(), 252);
    for (size_t i = 0; i < session->GetInputCount(); ++i) {
      names.push_back(session->GetInputNameAllocated(i, alloc).get());
      shapes.push_back(session->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
      const std::vector<float>& one = names.back() == "pooled64" ? pooled
                                      : names.back() == "P_rgb"   ? prior
                                      : names.back() == "kp_driving" ? xd
                                                                     : xs;
      std::vector<float> all;
      for (int b = 0; b < batch; ++b) all.insert(all.end(), one.begin(), one.end());
      inputs.push_back(std::move(all));
    }
    out.resize(static_cast<size_t>(batch * 3 * crop * crop));
  }

  void run() {
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<Ort::Value> values;
    std::vector<const char*> in;
    for (size_t i = 0; i < inputs.size(); ++i) {
      values.push_back(Ort::Value::CreateTensor<float>(mem, inputs[i].data(), inputs[i].size(), shapes[i].data(),
                                                       shapes[i].size()));
      in.push_back(names[i].c_str());
    }
    const int64_t outShape[4] = {batch, 3, crop, crop};
    Ort::Value output = Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), outShape, 4);
    const char* outName = "rgb";
    session->Run(Ort::RunOptions{nullptr}, in.data(), values.data(), values.size(), &outName, &output, 1);
  }
};

void perFrame(benchmark::State& state, const char* key, int threads, const char* profile = nullptr) {
  std::unique_ptr<Director> d;
  try {
    d = std::make_unique<Director>(key, threads, profile);
  } catch (const std::exception& e) {
    state.SkipWithError((std::string("no baked full bundle (") + e.what() +
                         "); bake it with: ctest -R bake_full, or set LE_BAKE_BUNDLE")
                            .c_str());
    return;
  }
  d->run();  // first run allocates
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    d->run();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    state.SetIterationTime(dt.count() / d->batch);
  }
  state.counters["batch"] = d->batch;
  state.counters["threads"] = threads;
  if (profile) std::printf("[bench] ORT profile: %s\n", d->session->EndProfilingAllocated(
                                                            Ort::AllocatorWithDefaultOptions()).get());
}

// ORT profile file prefix for one benchmark, when LE_BAKE_BENCH_PROFILE is set.
const char* profile(const char* suffix) {
  static std::string keep[2];
  const char* base = std::getenv("LE_BAKE_BENCH_PROFILE");
  if (!base || !*base) return nullptr;
  std::string& s = keep[suffix[0] == '1' ? 0 : 1];
  s = std::string(base) + suffix;
  return s.c_str();
}

void BM_DirectorB1_2Threads(benchmark::State& s) { perFrame(s, "b1", 2, profile("2t")); }
void BM_DirectorB4_2Threads(benchmark::State& s) { perFrame(s, "b4", 2); }
void BM_DirectorB1_1Thread(benchmark::State& s) { perFrame(s, "b1", 1, profile("1t")); }

BENCHMARK(BM_DirectorB1_2Threads)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_DirectorB4_2Threads)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_DirectorB1_1Thread)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  return le::bench::runWithRatios(argc, argv,
                                  {{"BM_DirectorB4_2Threads", "BM_DirectorB1_2Threads"},
                                   {"BM_DirectorB1_2Threads", "BM_DirectorB1_1Thread"}});
}
