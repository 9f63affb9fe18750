// le_stream_run on the demo bake's full bundle (1920x1080, 512 crop) and the
// "fox" speech clip, against the same frames rendered and pasted one after
// another on one thread (le_fca_deltas, then le_render_kp_crop and
// le_paste_crop per frame), and against real time (25 fps).
//
//   bench_stream                     (the build's fixtures: ctest -R "bake_full$|bake_speech")
//   LE_BAKE_FIXTURES=/path/to/fixtures bench_stream
//   LE_BAKE_BUNDLE=/path/to/bundle bench_stream
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/bench_support.h"
#include "support/ratio_main.h"

namespace {

constexpr int kFrames = 50;  // two seconds of the clip
constexpr double kRealTimeFps = 25.0;

std::string bundle() { return le::bench::fullBundle(); }
std::string w2v() { return bundle() + "/audio/w2v.onnx"; }

std::vector<float> readFloats(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<float> v(static_cast<size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  return v;
}

std::vector<float> clip() {
  std::vector<float> v = le::bench::speechClip("fox");
  if (v.size() > static_cast<size_t>(kFrames) * 640) v.resize(static_cast<size_t>(kFrames) * 640);
  return v;
}

void countFrame(void* user, int, const uint8_t* rgb, size_t, int, int) {
  *static_cast<uint64_t*>(user) += rgb[0];
}

void setRates(benchmark::State& state, int framesPerRun) {
  const double frames = static_cast<double>(state.iterations()) * framesPerRun;
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["x_realtime"] = benchmark::Counter(frames / kRealTimeFps, benchmark::Counter::kIsRate);
}

void BM_StreamRun(benchmark::State& state) {
  const std::vector<float> audio = clip();
  le_stream* s = le_stream_create(bundle().c_str(), w2v().c_str(), 0, 0, 1.f);
  if (!s || audio.size() < static_cast<size_t>(kFrames) * 640) {
    state.SkipWithError(s ? "no speech fixture" : le_stream_last_error());
    le_stream_destroy(s);
    return;
  }
  uint64_t sink = 0;
  for (auto _ : state)
    if (le_stream_run(s, audio.data(), static_cast<int>(audio.size()), countFrame, &sink) != kFrames)
      state.SkipWithError(le_stream_last_error());
  benchmark::DoNotOptimize(sink);
  setRates(state, kFrames);
  le_stream_destroy(s);
}

// The same work without the render thread: deltas, then each frame rendered
// and pasted in turn.
void BM_RenderThenPasteOneThread(benchmark::State& state) {
  const std::vector<float> audio = clip();
  le_ctx* ctx = le_create(bundle().c_str(), "render", 0, "");
  le_fca* fca = le_fca_create(w2v().c_str(), (bundle() + "/fca_stream.onnx").c_str(), 0);
  const std::vector<float> xs = readFloats(bundle() + "/xs_target.bin");
  if (!ctx || !fca || audio.size() < static_cast<size_t>(kFrames) * 640 || xs.empty()) {
    state.SkipWithError(!ctx ? le_last_error() : !fca ? le_fca_last_error() : "no speech fixture");
  } else {
    const int nt = le_nt(ctx);
    std::vector<float> deltas(static_cast<size_t>(kFrames) * 63);
    std::vector<uint8_t> frame(static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3);
    uint64_t sink = 0;
    for (auto _ : state) {
      if (le_fca_deltas(fca, audio.data(), static_cast<int>(audio.size()), deltas.data(), kFrames) != kFrames)
        state.SkipWithError(le_fca_last_error());
      for (int k = 0; k < kFrames; ++k) {
        const int driver = k % nt;
        float xd[63];
        for (int c = 0; c < 63; ++c) xd[c] = xs[driver * 63 + c] + deltas[static_cast<size_t>(k) * 63 + c];
        const float* crop = le_render_kp_crop(ctx, driver, &xs[driver * 63], xd);
        if (!crop || !le_paste_crop(ctx, driver, crop, frame.data(), frame.size())) {
          state.SkipWithError(le_last_error());
          break;
        }
        countFrame(&sink, k, frame.data(), frame.size(), 0, 0);
      }
    }
    benchmark::DoNotOptimize(sink);
    setRates(state, kFrames);
  }
  le_fca_destroy(fca);
  le_destroy(ctx);
}

BENCHMARK(BM_StreamRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RenderThenPasteOneThread)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  std::printf("CPU: %s\nbundle: %s, %d frames of speech per run\n", le::bench::cpuModel().c_str(), bundle().c_str(), kFrames);
  return le::bench::runWithRatios(argc, argv,
                                  {{"BM_StreamRun/iterations:3/real_time",
                                    "BM_RenderThenPasteOneThread/iterations:3/real_time"}});
}
