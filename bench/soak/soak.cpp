// A live session left running: one host thread speaks (utterances of the
// speech clips pushed in irregular pieces, silences, interrupts part way
// through), another pulls frames at an irregular pace (flat out, at about
// 25 fps, and in stalls that fill the ring). Every 10 s the process's
// resident memory, open descriptors and threads are sampled.
//
//   soak [seconds, default 60]   (bundle: the test fixtures' full bake, or $LE_BAKE_BUNDLE)
//
// Fails (exit 1) when a frame is lost (made but neither delivered, dropped by
// an interrupt nor waiting), when a delivered frame is out of order, when the
// descriptor or thread count moves after the first sample, when a render
// fails, or, in runs of ten minutes or more, when resident memory over the
// last minute differs by more than 2 % from its size around five minutes.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "support/bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double at_s;
  long rss_kib;
  int fds;
  int threads;
  long long delivered;
  long long speech;
};

long statusField(const char* key) {
  std::ifstream in("/proc/self/status");
  const std::string prefix = std::string(key) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

int openDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory stream's own
}

// What the pulling thread saw.
struct Delivered {
  long long frames = 0;
  long long speech = 0;
  long long disorder = 0;  // a frame older than the one before it, or one outside the clip
  double lastT = -1;
  int lastSeq = 0;
};

void pullLoop(le_utt* utt, size_t bytes, int NT, const std::atomic<bool>& stop, Delivered& out) {
  std::vector<uint8_t> frame(bytes);
  std::mt19937 rng(7);
  le_utt_frame_info info{};
  while (!stop) {
    // A few seconds of one pace at a time: flat out, about 25 fps with jitter, or stalled.
    const int mode = std::uniform_int_distribution<int>(0, 9)(rng);
    const auto until = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(500, 4000)(rng));
    while (!stop && Clock::now() < until) {
      if (mode == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 900)(rng)));
        break;
      }
      if (le_utt_pull_frame(utt, frame.data(), frame.size(), &info) == 1) {
        ++out.frames;
        if (info.kind == 1) ++out.speech;
        const bool spoken = info.kind != 0;
        if (info.t_ms < out.lastT || (spoken && info.speech_seq < out.lastSeq) || info.driver_index < 0 ||
            info.driver_index >= NT || info.kind < 0 || info.kind > 2)
          ++out.disorder;
        out.lastT = info.t_ms;
        if (spoken) out.lastSeq = info.speech_seq;
      }
      if (mode <= 4)
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(20000, 60000)(rng)));
    }
  }
}

void speakLoop(le_utt* utt, const std::vector<std::vector<int16_t>>& clips, const std::atomic<bool>& stop,
               long long& utterances, long long& interrupts) {
  std::mt19937 rng(11);
  auto nap = [&](int lo, int hi) {
    const auto until = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(lo, hi)(rng));
    while (!stop && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  while (!stop) {
    const auto& pcm = clips[std::uniform_int_distribution<size_t>(0, clips.size() - 1)(rng)];
    // One in four utterances is cut short by an interrupt somewhere inside it.
    const bool cut = std::uniform_int_distribution<int>(0, 3)(rng) == 0;
    const size_t cutAt = cut ? std::uniform_int_distribution<size_t>(0, pcm.size())(rng) : pcm.size();
    const bool realtime = std::uniform_int_distribution<int>(0, 2)(rng) != 0;
    const auto start = Clock::now();
    size_t at = 0;
    while (!stop && at < cutAt) {
      const size_t n = std::min<size_t>(cutAt - at, std::uniform_int_distribution<size_t>(1, 4000)(rng));
      if (realtime) std::this_thread::sleep_until(start + std::chrono::microseconds(at * 1000000 / 16000));
      le_utt_push_audio(utt, pcm.data() + at, static_cast<int>(n));
      at += n;
    }
    ++utterances;
    if (cut) {
      nap(0, 400);
      le_utt_interrupt(utt);
      ++interrupts;
    } else {
      le_utt_end_utterance(utt);
    }
    nap(200, 3000);  // silence between utterances
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  char dir[4096];
  if (le_bundle_resolve_handle(le::bench::fullBundle().c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "soak: %s (bake one with: ctest -R bake_full)\n", le_last_error());
    return 1;
  }
  std::vector<std::vector<int16_t>> clips;
  for (const char* name : {"hello", "fox", "numbers", "long"}) {
    std::vector<float> f = le::bench::speechClip(name);
    if (!f.empty()) clips.push_back(le::bench::toPcm(f));
  }
  if (clips.empty()) {
    std::fprintf(stderr, "soak: no speech clips under %s/speech\n", le::bench::fixturesDir().c_str());
    return 1;
  }
  setenv("W2V_ONNX", (std::string(dir) + "/audio/w2v.onnx").c_str(), 0);
  le_ctx* ctx = le_create(dir, "b1", 0, "");
  if (!ctx) {
    std::fprintf(stderr, "soak: %s\n", le_last_error());
    return 1;
  }
  le_utt* utt = le_utt_open(ctx, dir);
  while (utt && le_utt_ready(utt) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!utt || le_utt_ready(utt) != 1) {
    std::fprintf(stderr, "soak: %s\n", le_utt_last_error());
    return 1;
  }
  const size_t bytes = static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 4;
  std::printf("soak: live session on %s (%dx%d) for %.0f s, %zu speech clips\nCPU: %s; %u hardware threads\n\n",
              dir, le_width(ctx), le_height(ctx), seconds, clips.size(), le::bench::cpuModel().c_str(),
              std::thread::hardware_concurrency());
  std::printf("%8s %10s %6s %8s %10s %8s\n", "t (s)", "RSS (KiB)", "fds", "threads", "delivered", "speech");

  std::atomic<bool> stop{false};
  Delivered seen;
  long long utterances = 0, interrupts = 0;
  std::thread puller(pullLoop, utt, bytes, le_nt(ctx), std::cref(stop), std::ref(seen));
  std::thread speaker(speakLoop, utt, std::cref(clips), std::cref(stop), std::ref(utterances), std::ref(interrupts));

  std::vector<Sample> samples;
  const auto t0 = Clock::now();
  for (int k = 1; k * 10.0 <= seconds; ++k) {
    std::this_thread::sleep_until(t0 + std::chrono::seconds(10 * k));
    le_utt_stats s{};
    le_utt_get_stats(utt, &s);
    samples.push_back({10.0 * k, statusField("VmRSS"), openDescriptors(), static_cast<int>(statusField("Threads")),
                       s.frames_delivered, s.speech_delivered});
    const Sample& x = samples.back();
    std::printf("%8.0f %10ld %6d %8d %10lld %8lld\n", x.at_s, x.rss_kib, x.fds, x.threads, x.delivered, x.speech);
    std::fflush(stdout);
  }
  std::this_thread::sleep_until(t0 + std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
  stop = true;
  speaker.join();
  puller.join();

  // With nobody pulling the ring fills and the session stops making frames:
  // read the counters once they hold still.
  le_utt_stats s{};
  int waiting = -1;
  for (int tries = 0; tries < 500; ++tries) {
    const int before = le_utt_frames_available(utt);
    le_utt_stats now{};
    le_utt_get_stats(utt, &now);
    const bool still = before == le_utt_frames_available(utt) && before == waiting && now.frames_made == s.frames_made;
    s = now;
    waiting = before;
    if (still) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  char failure[256] = "";
  int failures = 0;
  le_utt_render_status(utt, failure, sizeof failure, &failures);
  bool ok = true;
  auto check = [&](bool good, const char* what) {
    std::printf("%-58s %s\n", what, good ? "ok" : "FAILED");
    ok = ok && good;
  };
  std::printf("\nutterances %lld (interrupted %lld); frames made %lld, delivered %lld (speech %lld), "
              "dropped by interrupts %lld, waiting %d; render failures %lld\n",
              utterances, interrupts, s.frames_made, s.frames_delivered, s.speech_delivered, s.frames_dropped,
              waiting, s.render_failures);
  check(s.frames_made == s.frames_delivered + s.frames_dropped + waiting,
        "no frame lost (made = delivered + dropped + waiting)");
  check(seen.frames == s.frames_delivered && seen.speech == s.speech_delivered,
        "the host received every frame the session counts as delivered");
  check(seen.disorder == 0, "delivered frames in order, inside the clip");
  check(s.speech_delivered > 0 && utterances > 0, "speech was delivered");
  check(s.render_failures == 0 && failures == 0, "no render failed");
  if (!samples.empty()) {
    bool steady = true;
    for (const Sample& x : samples) steady = steady && x.fds == samples[0].fds && x.threads == samples[0].threads;
    check(steady, "descriptors and threads constant across the samples");
    // One sample swings by a few percent with the frames in flight at that
    // moment, so a minute of samples is averaged at either end: around five
    // minutes, and the last minute.
    auto meanRss = [&](double from, double to) {
      double sum = 0;
      int n = 0;
      for (const Sample& x : samples)
        if (x.at_s >= from && x.at_s <= to) sum += static_cast<double>(x.rss_kib), ++n;
      return n ? sum / n : 0.0;
    };
    if (seconds >= 600) {
      const double at5 = meanRss(270, 330), atEnd = meanRss(samples.back().at_s - 60, samples.back().at_s);
      const double growth = 100.0 * (atEnd - at5) / at5;
      std::printf("RSS mean of 270-330 s %.0f KiB, of the last minute %.0f KiB: %+.2f %%\n", at5, atEnd, growth);
      check(std::fabs(growth) <= 2.0, "resident memory within 2 % of its size at five minutes");
    } else {
      std::printf("RSS first %ld KiB, last %ld KiB (compared in runs of ten minutes or more)\n",
                  samples.front().rss_kib, samples.back().rss_kib);
    }
  }
  le_utt_destroy(utt);
  le_destroy(ctx);
  if (failures) std::printf("last render failure: %s\n", failure);
  return ok ? 0 : 1;
}
