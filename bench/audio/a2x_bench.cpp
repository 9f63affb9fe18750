// le_a2x streaming cost on both feature paths, side by side: real-time factor
// (audio seconds per wall second), CPU per 40 ms video frame, and the latency
// from the push that completes an 8-frame block to its rows being pullable.
// The feature path is fixed once per process, so the program runs itself
// once per path and prints the ratio.
//
//   bench_a2x                            (bundle: the test fixtures' full bake)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_a2x [seconds of audio, default 30]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "le/le_a2x.h"
#include "support/bench_support.h"

namespace {

double now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Speech of the fixtures, repeated to `seconds`; a voiced-like tone when the
// fixtures hold none.
std::vector<float> audio(double seconds) {
  std::vector<float> one = le::bench::speechClip("fox");
  if (one.empty())
    for (int i = 0; i < 32000; ++i) one.push_back(0.3f * std::sin(i * 0.09f) * (i % 8000 < 5000));
  std::vector<float> out;
  while (out.size() < seconds * 16000) out.insert(out.end(), one.begin(), one.end());
  out.resize(static_cast<size_t>(seconds * 16000));
  return out;
}

// One path, in this process: prints "rtf cpu_ms_per_frame latency_mean_ms latency_max_ms frames".
int measure(double seconds, int threads) {
  le_a2x* a = le_a2x_create(le::bench::fullBundle().c_str(), threads);
  if (!a) {
    std::fprintf(stderr, "bench_a2x: %s\n", le_a2x_last_error());
    return 1;
  }
  const std::vector<float> samples = audio(seconds);
  // One short utterance first: the sessions' first runs allocate.
  le_a2x_reset(a, 0, 1, 1);
  le_a2x_push(a, samples.data(), 16000);
  le_a2x_finish(a);
  int idx[64];
  std::vector<float> xs(64 * 63), xd(64 * 63);
  while (le_a2x_pull(a, idx, xs.data(), xd.data(), 64) > 0) {
  }

  le_a2x_reset(a, 0, 1, 1);
  const double wall0 = now(CLOCK_MONOTONIC), cpu0 = now(CLOCK_PROCESS_CPUTIME_ID);
  double latencySum = 0, latencyMax = 0;
  int blocks = 0, frames = 0;
  for (size_t at = 0; at < samples.size(); at += 640) {
    const int n = static_cast<int>(std::min<size_t>(640, samples.size() - at));
    le_a2x_push(a, samples.data() + at, n);
    const bool blockDone = ((at + n) / 640) % 8 == 0;
    const double t0 = now(CLOCK_MONOTONIC);
    const int ready = le_a2x_avail(a);
    const double t1 = now(CLOCK_MONOTONIC);
    if (blockDone && ready > 0) {
      latencySum += t1 - t0;
      latencyMax = std::max(latencyMax, t1 - t0);
      ++blocks;
    }
    int got;
    while ((got = le_a2x_pull(a, idx, xs.data(), xd.data(), 64)) > 0) frames += got;
  }
  le_a2x_finish(a);
  int got;
  while ((got = le_a2x_pull(a, idx, xs.data(), xd.data(), 64)) > 0) frames += got;
  const double wall = now(CLOCK_MONOTONIC) - wall0, cpu = now(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  std::printf("%.3f %.3f %.3f %.3f %d\n", seconds / wall, cpu * 1e3 / std::max(frames, 1),
              blocks ? latencySum * 1e3 / blocks : 0.0, latencyMax * 1e3, frames);
  le_a2x_destroy(a);
  return 0;
}

struct Result {
  double rtf = 0, cpuPerFrame = 0, latencyMean = 0, latencyMax = 0;
  int frames = 0;
  bool ok = false;
};

Result runPath(const char* path, double seconds, int threads) {
  std::string cmd = "'/proc/" + std::to_string(getpid()) + "/exe' --path " + path + " " +
                    std::to_string(seconds) + " " + std::to_string(threads);
  if (std::strcmp(path, "legacy") == 0) {
    // The legacy model alone in a directory: the short-window pair is not found.
    const std::string dir = "/tmp/bench_a2x_legacy_" + std::to_string(getpid());
    std::system(("mkdir -p " + dir + " && cp '" + le::bench::fullBundle() + "/audio/w2v.onnx' " + dir + "/").c_str());
    cmd = "W2V_ONNX=" + dir + "/w2v.onnx " + cmd;
  }
  Result r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  r.ok = std::fscanf(p, "%lf %lf %lf %lf %d", &r.rtf, &r.cpuPerFrame, &r.latencyMean, &r.latencyMax, &r.frames) == 5;
  pclose(p);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--path") == 0) return measure(std::atof(argv[3]), std::atoi(argv[4]));
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  const int threads = 1;
  const std::string w2v = le::bench::fullBundle() + "/audio/w2v.onnx";
  setenv("W2V_ONNX", w2v.c_str(), 0);
  std::printf("le_a2x on %s\nCPU: %s; %g s of speech pushed in 640-sample pieces, 1 intra-op thread\n\n",
              le::bench::fullBundle().c_str(), le::bench::cpuModel().c_str(), seconds);
  const Result shortPath = runPath("short", seconds, threads);
  const Result legacy = runPath("legacy", seconds, threads);
  std::printf("%-14s %10s %14s %18s %16s\n", "feature path", "RTF (x)", "CPU ms/frame", "block latency ms", "worst block ms");
  for (const auto& [name, r] : {std::pair<const char*, Result>{"short-window", shortPath}, {"legacy 8 s", legacy}}) {
    if (!r.ok) {
      std::printf("%-14s failed (see stderr)\n", name);
      continue;
    }
    std::printf("%-14s %10.1f %14.3f %18.3f %16.3f\n", name, r.rtf, r.cpuPerFrame, r.latencyMean, r.latencyMax);
  }
  if (shortPath.ok && legacy.ok)
    std::printf("\nshort-window vs legacy CPU per frame: %.2fx cheaper\nbudget: %.3f ms of CPU per 40 ms frame "
                "on the short-window path (target <= 3 ms)\n",
                legacy.cpuPerFrame / shortPath.cpuPerFrame, shortPath.cpuPerFrame);
  return shortPath.ok && legacy.ok ? 0 : 1;
}
