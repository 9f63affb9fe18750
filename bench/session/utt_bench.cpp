// The live session on the full demo bundle, as a host sees it: delivered
// frames per second while idle and while speaking (speech pushed at real-time
// pace, and all at once), the per-frame split of render / paste / deliver,
// the first speech frame's latency beyond the audio model's look-ahead, and
// the latency from an interrupt to the next idle frame.
//
//   bench_utt [seconds of idle, default 3]     (bundle: the test fixtures' full bake)
//   LE_BAKE_BUNDLE=/path/to/bundle bench_utt
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "le/le_a2x.h"
#include "paste/le_simd.h"
#include "support/bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); }

// Samples the streaming model needs before its first frame is ready.
int lookAheadSamples(const std::string& dir) {
  le_a2x* a = le_a2x_create(dir.c_str(), 1);
  if (!a) return 0;
  std::vector<float> silence(640, 0.f);
  int pushed = 0;
  le_a2x_reset(a, 0, 1, 1);
  while (le_a2x_avail(a) == 0 && pushed < 16000 * 10) {
    le_a2x_push(a, silence.data(), 640);
    pushed += 640;
  }
  le_a2x_destroy(a);
  return pushed;
}

struct Host {
  le_utt* utt;
  std::vector<uint8_t> frame;
  le_utt_frame_info info{};
  bool pull() { return le_utt_pull_frame(utt, frame.data(), frame.size(), &info) == 1; }
};

}  // namespace

int main(int argc, char** argv) {
  const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 3;
  char dir[4096];
  if (le_bundle_resolve_handle(le::bench::fullBundle().c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "bench_utt: %s (bake one with: ctest -R bake_full)\n", le_last_error());
    return 1;
  }
  setenv("W2V_ONNX", (std::string(dir) + "/audio/w2v.onnx").c_str(), 0);
  le_ctx* ctx = le_create(dir, "b1", 0, "");
  if (!ctx) {
    std::fprintf(stderr, "bench_utt: %s\n", le_last_error());
    return 1;
  }
  le_utt* utt = le_utt_open(ctx, dir);
  while (utt && le_utt_ready(utt) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!utt || le_utt_ready(utt) != 1) {
    std::fprintf(stderr, "bench_utt: %s\n", le_utt_last_error());
    return 1;
  }
  const int lookAhead = lookAheadSamples(dir);
  Host host{utt, std::vector<uint8_t>(static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 4)};
  std::printf("le_utt on %s (%dx%d, crop %d)\nCPU: %s; vector target %s; %u hardware threads\n"
              "audio model look-ahead: %d samples (%.0f ms)\n\n",
              dir, le_width(ctx), le_height(ctx), le_crop(ctx), le::bench::cpuModel().c_str(), le::simd::target(),
              std::thread::hardware_concurrency(), lookAhead, lookAhead / 16.0);

  // Idle: as fast as the host pulls.
  auto t0 = Clock::now();
  int idle = 0;
  while (ms(t0, Clock::now()) < idleSeconds * 1000)
    if (host.pull()) ++idle;
  const double idleFps = idle / (ms(t0, Clock::now()) / 1000);

  const std::vector<int16_t> pcm = le::bench::toPcm(le::bench::speechClip("fox"));
  auto speak = [&](bool realtime, double& fps, double& firstLatency, int& frames) {
    le_utt_stats before{};
    le_utt_get_stats(utt, &before);
    std::atomic<bool> pushed{false};
    const auto start = Clock::now();
    std::thread pusher([&] {
      for (size_t at = 0; at < pcm.size(); at += 640) {
        if (realtime) std::this_thread::sleep_until(start + std::chrono::microseconds(at * 1000000 / 16000));
        le_utt_push_audio(utt, pcm.data() + at, static_cast<int>(std::min<size_t>(640, pcm.size() - at)));
      }
      le_utt_end_utterance(utt);
      pushed = true;
    });
    Clock::time_point first{}, last{};
    frames = 0;
    bool spoke = false;
    while (true) {
      if (!host.pull()) continue;
      if (host.info.kind == 1) {
        if (!spoke) first = Clock::now();
        spoke = true;
        last = Clock::now();
        ++frames;
      }
      if (spoke && host.info.kind == 0 && pushed) break;
    }
    pusher.join();
    fps = frames > 1 ? (frames - 1) / (ms(first, last) / 1000) : 0;
    firstLatency = ms(start, first) - lookAhead / 16.0;
  };
  double rtFps, rtLatency, burstFps, burstLatency;
  int rtFrames, burstFrames;
  speak(true, rtFps, rtLatency, rtFrames);
  le_utt_stats s{};
  le_utt_get_stats(utt, &s);
  speak(false, burstFps, burstLatency, burstFrames);

  // Interrupt in the middle of speech: time to the next (idle) frame.
  le_utt_push_audio(utt, pcm.data(), static_cast<int>(pcm.size()));
  le_utt_end_utterance(utt);
  for (int speechSeen = 0; speechSeen < 10;)
    if (host.pull() && host.info.kind == 1) ++speechSeen;
  const auto ti = Clock::now();
  le_utt_interrupt(utt);
  while (!host.pull()) {
  }
  const double interruptMs = ms(ti, Clock::now());
  const int afterKind = host.info.kind;

  std::printf("%-44s %10s\n", "", "figure");
  std::printf("%-44s %10.1f\n", "idle frames/s (host pulling flat out)", idleFps);
  std::printf("%-44s %10.1f   (%d frames; target >= 25)\n", "speech frames/s, audio at real-time pace", rtFps, rtFrames);
  std::printf("%-44s %10.1f   (%d frames)\n", "speech frames/s, audio pushed at once", burstFps, burstFrames);
  std::printf("%-44s %10.1f   (target <= 60)\n", "first speech frame beyond look-ahead, ms", rtLatency);
  std::printf("%-44s %10.1f   (next frame kind %d; target <= 40)\n", "interrupt to next idle frame, ms", interruptMs,
              afterKind);
  std::printf("%-44s %10.2f\n", "render ms per speech frame (director)", s.speech_rendered ? s.render_ms_total / s.speech_rendered : 0.0);
  std::printf("%-44s %10.2f   (decode + paste + RGBA: the library's own cost)\n", "paste ms per frame",
              s.frames_made ? s.paste_ms_total / s.frames_made : 0.0);
  std::printf("%-44s %10.2f\n", "enqueue-to-delivered ms per speech frame",
              s.speech_rendered ? s.deliver_ms_total / s.speech_rendered : 0.0);
  std::printf("\nreal time: speech at %.2fx of 25 fps\n", rtFps / 25);
  le_utt_destroy(utt);
  le_destroy(ctx);
  return 0;
}
