// Real-time factor of le_motion: seconds of audio turned into keypoint rows
// per wall-clock second (counter "rtf"; above 1 is faster than real time).
// One iteration streams 10 s of speech-like audio in 40 ms pushes, pulling as
// rows become ready, then finishes and drains, as the utterance session does.
//
//   bench_motion                               (the test directory, and the
//                                               full bake's motion/ if baked)
//   LE_MOTION_BENCH_DIR=/path/to/motion bench_motion
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "audio/le_motion.h"
#include "bundle/le_fs.h"
#include "le/le.h"
#include "paste/le_pool.h"
#include "support/bench_support.h"

namespace {

constexpr double kSeconds = 10.0;

std::vector<float> speechLike() {
  std::vector<float> a(static_cast<size_t>(kSeconds * 16000));
  double phase = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    phase += 2 * M_PI * (120 + 30 * std::sin(2 * M_PI * 0.7 * t)) / 16000.0;
    double v = 0;
    for (int k = 1; k <= 5; ++k) v += std::sin(k * phase) / k;
    const double env = std::fmax(0.0, std::sin(2 * M_PI * 2.5 * t)) * (std::fmod(t, 2.0) < 1.5 ? 1 : 0);
    a[i] = static_cast<float>(0.3 * v * env);
  }
  return a;
}

void Utterance(benchmark::State& state, std::string dir, int threads, int eager) {
  le_motion* m = le_motion_create(dir.c_str(), threads, "");
  if (!m) return state.SkipWithError(le_motion_last_error());
  const std::vector<float> audio = speechLike();
  std::vector<int> idx(256);
  std::vector<float> xs(256 * 63), xd(256 * 63);
  int frames = 0;
  for (auto _ : state) {
    le_motion_reset(m, 0, 1, 1);
    le_motion_set_eager(m, eager);
    frames = 0;
    for (size_t at = 0; at < audio.size(); at += 640) {
      le_motion_push(m, audio.data() + at, 640);
      if (le_motion_avail(m) > 0) frames += le_motion_pull(m, idx.data(), xs.data(), xd.data(), 256);
    }
    le_motion_finish(m);
    while (le_motion_avail(m) > 0) frames += le_motion_pull(m, idx.data(), xs.data(), xd.data(), 256);
  }
  if (frames != le_motion_total(m)) state.SkipWithError("not every frame came out");
  state.counters["rtf"] = benchmark::Counter(kSeconds * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate);
  le_motion_destroy(m);
}

std::vector<float> readFloats(const std::string& path, size_t n) {
  std::vector<float> v(n);
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * 4));
  return v;
}

// The log-mel front end of one 5-frame step (0.2 s of audio), with a
// directory's window and filter bank.
void LogMelStep(benchmark::State& state, std::string dir) {
  std::vector<float> mel(20 * 80);
  le::motion::LogMel logMel(readFloats(dir + "/hubert_stft_window.bin", 512),
                            readFloats(dir + "/hubert_stft_binmat.bin", 257 * 80));
  const std::vector<float> audio = speechLike();
  for (auto _ : state) {
    logMel.compute(audio.data() + 16000, mel.data());
    benchmark::DoNotOptimize(mel.data());
  }
}

std::string cpuModel() {
  std::ifstream f("/proc/cpuinfo");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("model name", 0) == 0 || line.rfind("Model", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("CPU: %s, pool threads: %d\n", cpuModel().c_str(), le::pool::threads());
  benchmark::AddCustomContext("cpu_model", cpuModel());
  std::vector<std::pair<std::string, std::string>> dirs;
  if (const char* env = std::getenv("LE_MOTION_BENCH_DIR"); env && *env) {
    dirs.emplace_back("custom", env);
  } else {
    dirs.emplace_back("test_dir", LE_MOTION_TEST_DIR);
    const std::string fullMotion = le::bench::fullBundle() + "/motion";
    if (le::fs::isDirectory(fullMotion)) dirs.emplace_back("full_bake", fullMotion);
    else std::printf("no baked full motion/ at %s (ctest -R bake_full bakes it)\n", fullMotion.c_str());
  }
  for (const auto& [name, dir] : dirs)
    for (int threads : {1, 2})
      for (int eager : {-1, 3})
        benchmark::RegisterBenchmark(("motion_10s/" + name + "/threads:" + std::to_string(threads) +
                                      (eager > 0 ? "/eager" : "/chunked")).c_str(),
                                     Utterance, dir, threads, eager)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
  benchmark::RegisterBenchmark("logmel_step", LogMelStep, dirs.front().second)->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
