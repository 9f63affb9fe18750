// The baked demo audio networks as exported, on ONNX Runtime's CPU provider
// with one intra-op thread: the CPU each stage costs per 40 ms video frame
// ("s_per_frame" = run time divided by the frames one run serves).
//
//   bench_bake_audio                     (bundle: the build's fixtures/full)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_bake_audio
#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "director/le_ort_session.h"
#include "support/bench_support.h"

namespace {

std::string bundleDir() { return le::bench::fullBundle(); }

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "bench_bake_audio");
  return e;
}

// A session of one member with seeded inputs of the given shapes.
struct Stage {
  std::unique_ptr<Ort::Session> session;
  std::vector<std::string> inNames, outNames;
  std::vector<std::vector<float>> data;
  std::vector<std::vector<int64_t>> shapes;

  Stage(const std::string& member, std::vector<std::vector<int64_t>> inShapes) : shapes(std::move(inShapes)) {
    const std::string path = le::resolveMember(bundleDir(), member);
    session = std::make_unique<Ort::Session>(le::ort::openSession(env(), path.c_str(), le::ort::sessionOptions({})));
    Ort::AllocatorWithDefaultOptions alloc;
    for (size_t i = 0; i < session->GetInputCount(); ++i) inNames.push_back(session->GetInputNameAllocated(i, alloc).get());
    for (size_t i = 0; i < session->GetOutputCount(); ++i)
      outNames.push_back(session->GetOutputNameAllocated(i, alloc).get());
    uint32_t seed = 12345;
    for (const auto& s : shapes) {
      size_t n = 1;
      for (int64_t d : s) n *= static_cast<size_t>(d);
      std::vector<float> v(n);
      for (float& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
      }
      data.push_back(std::move(v));
    }
  }

  void run() {
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<Ort::Value> values;
    for (size_t i = 0; i < data.size(); ++i)
      values.push_back(Ort::Value::CreateTensor<float>(mem, data[i].data(), data[i].size(), shapes[i].data(),
                                                       shapes[i].size()));
    std::vector<const char*> in, out;
    for (const auto& n : inNames) in.push_back(n.c_str());
    for (const auto& n : outNames) out.push_back(n.c_str());
    auto res = session->Run(Ort::RunOptions{nullptr}, in.data(), values.data(), values.size(), out.data(), out.size());
    benchmark::DoNotOptimize(res);
  }
};

// The encoder's width and context come from a2x_meta.json.
int metaInt(const std::string& key, int fallback) {
  const std::string text = le::readText(le::resolveMember(bundleDir(), "a2x_meta.json"));
  const size_t at = text.find("\"" + key + "\"");
  if (at == std::string::npos) return fallback;
  return std::atoi(text.c_str() + text.find(':', at) + 1);
}

void runStage(benchmark::State& state, Stage& stage, double framesPerRun) {
  stage.run();  // warm-up
  for (auto _ : state) stage.run();
  state.counters["s_per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * framesPerRun,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ShortTrunk(benchmark::State& st) {
  Stage s("audio/audio_encoder_fp16_window_trunk.onnx", {{1, 32000}});
  runStage(st, s, 8);
}
void BM_ShortHead(benchmark::State& st) {
  Stage s("audio/audio_encoder_fp16_window_head.onnx", {{8, 640}});
  runStage(st, s, 8);
}
void BM_LegacyW2v(benchmark::State& st) {
  Stage s("audio/w2v.onnx", {{1, 128000}});
  runStage(st, s, 100);
}
void BM_Encoder(benchmark::State& st) {
  const int h = metaInt("h", 256), layers = metaInt("layers", 6);
  const int64_t t = 64 + (metaInt("left", 0) + metaInt("window", 0)) * layers;
  Stage s("a2x_enc_stream.onnx", {{1, t, 12, 768}, {1, t, h}, {1, 1, t, t}});
  std::fill(s.data[2].begin(), s.data[2].end(), 0.0f);
  runStage(st, s, 64);
}
void BM_Decoder(benchmark::State& st) {
  const int h = metaInt("h", 256);
  Stage s("a2x_dec.onnx", {{1, h}, {1, 63}, {1, 1, h}});
  runStage(st, s, 1);
}
void BM_MotionStudent(benchmark::State& st) {
  Stage s("motion/hubert_student.onnx", {{1, 20, 80}});
  runStage(st, s, 5);
}
void BM_MotionLatent(benchmark::State& st) {
  Stage s("motion/lmdm.onnx", {{1, 80, 1103}, {1, 10, 265}, {1, 328}});
  runStage(st, s, 70);
}
void BM_MotionStitch(benchmark::State& st) {
  Stage s("motion/stitch.onnx", {{1, 63}, {1, 265}});
  runStage(st, s, 1);
}
void BM_OfflineHead(benchmark::State& st) {
  Stage s("fca_stream.onnx", {{1, 5376}, {1, 63}, {1, 1, 384}});
  runStage(st, s, 1);
}

BENCHMARK(BM_ShortTrunk)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShortHead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LegacyW2v)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encoder)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decoder)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MotionStudent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MotionLatent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MotionStitch)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OfflineHead)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
