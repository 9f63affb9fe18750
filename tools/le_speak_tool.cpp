// le_speak: speech in, talking-head video out. Drives a live utterance
// session (le_utt) over a bundle the way a host would: idle frames first,
// then the speech pushed in 40 ms pieces, then idle frames again; every frame
// the session delivers goes into an MP4 (H.264 yuv420p) together with the
// input audio (AAC).
//
//   le_speak BUNDLE --audio speech.wav|-  --out talk.mp4
//            [--realtime] [--lead S] [--tail S] [--model KEY] [--threads N] [--crf N] [--quiet]
//
// Audio is any file FFmpeg reads (resampled to 16 kHz mono), or "-" for raw
// s16le 16 kHz mono PCM on standard input. Picture and sound are aligned by
// construction: speech frame k of the utterance shows audio samples
// [640 k, 640 k + 640), and the audio track starts the speech on the video
// frame that shows speech frame 0, so the models' look-ahead (the frames the
// session delivers idle while it gathers audio) never shifts the sound.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "le/le.h"
#include "media/audio_reader.h"
#include "media/mp4_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
  std::string bundle, audio, out, model = "b1";
  double lead = 0.4, tail = 0.6;
  int threads = 0, crf = 20;
  bool realtime = false, quiet = false;
};

int usage() {
  std::fprintf(stderr,
               "usage: le_speak BUNDLE --audio FILE|- --out talk.mp4 [--realtime] [--lead S] [--tail S]\n"
               "                [--model KEY] [--threads N] [--crf N] [--quiet]\n");
  return 2;
}

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

struct Closer {
  le_ctx* ctx = nullptr;
  le_utt* utt = nullptr;
  ~Closer() {
    le_utt_destroy(utt);
    le_destroy(ctx);
  }
};

int run(const Args& a) {
  av_log_set_level(AV_LOG_ERROR);
  // The streaming model's feature network: the bundle's own unless the host names one.
  if (!std::getenv("W2V_ONNX")) {
    char path[4096];
    if (le_bundle_resolve_member(a.bundle.c_str(), "audio/w2v.onnx", path, sizeof path) == 1)
      setenv("W2V_ONNX", path, 1);
  }
  le::tools::AudioReader reader(a.audio);
  Closer c;
  c.ctx = le_create(a.bundle.c_str(), a.model.c_str(), a.threads, "");
  if (!c.ctx) throw std::runtime_error(le_last_error());
  char dir[4096];
  if (le_bundle_resolve_handle(a.bundle.c_str(), dir, sizeof dir) != 1) throw std::runtime_error(le_last_error());
  c.utt = le_utt_open(c.ctx, dir);
  if (!c.utt) throw std::runtime_error(le_utt_last_error());
  for (int r; (r = le_utt_ready(c.utt)) != 1;) {
    if (r < 0) throw std::runtime_error(std::string("audio models: ") + le_utt_last_error());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  const int W = le_width(c.ctx), H = le_height(c.ctx);
  // Written under a temporary name: a file at --out is always a finished one.
  const std::string partial = a.out + ".partial-" + std::to_string(getpid()) + ".mp4";
  struct Unlinker {
    std::string path;
    bool keep = false;
    ~Unlinker() {
      if (!keep) std::remove(path.c_str());
    }
  } unlinker{partial};
  le::tools::Mp4Writer mp4(partial, W, H, 4, a.crf, le::tools::AudioReader::kRate);

  const int leadFrames = static_cast<int>(std::lround(a.lead * 25)), tailFrames = static_cast<int>(std::lround(a.tail * 25));
  const bool showProgress = !a.quiet && isatty(2);
  std::vector<uint8_t> rgba(static_cast<size_t>(W) * H * 4);
  std::vector<float> piece(640);
  std::vector<int16_t> pcm(640);
  // Speech not yet placed in the audio track: it is placed once the frame
  // that shows its first sample is known.
  std::deque<float> speechAudio;
  int64_t speechSamples = 0, audioWritten = 0, firstSpeechFrame = -1;
  long long frames = 0, kinds[3] = {0, 0, 0};
  bool audioDone = false, spoke = false;
  int tailSeen = 0;
  double firstPushMs = -1, firstSpeechLatencyMs = -1;
  const auto start = Clock::now();
  const double cpu0 = cpuSeconds();

  auto placeAudio = [&](bool all) {
    if (firstSpeechFrame < 0 && !all) return;
    const int64_t speechStart = (firstSpeechFrame < 0 ? frames : firstSpeechFrame) * 640;
    std::vector<float> out;
    if (audioWritten < speechStart) {
      out.assign(static_cast<size_t>(speechStart - audioWritten), 0.f);
      audioWritten = speechStart;
    }
    out.insert(out.end(), speechAudio.begin(), speechAudio.end());
    audioWritten += static_cast<int64_t>(speechAudio.size());
    speechAudio.clear();
    if (all && audioWritten < frames * 640) {  // silence under the idle frames that close the video
      out.resize(out.size() + static_cast<size_t>(frames * 640 - audioWritten), 0.f);
      audioWritten = frames * 640;
    }
    mp4.writeAudio(out.data(), out.size());
  };

  for (;;) {
    // Push: after the lead, at real-time pace or as fast as the session
    // takes it (at most 2 s of audio ahead of the speech frames pulled).
    if (!audioDone && frames >= leadFrames) {
      const int64_t shown = kinds[1] * 640;
      const bool due = a.realtime ? msSince(start) >= (leadFrames * 40.0 + speechSamples / 16.0)
                                  : speechSamples - shown < 2 * 16000;
      if (due) {
        const size_t n = reader.read(piece.data(), piece.size());
        if (n == 0) {
          audioDone = true;
          le_utt_end_utterance(c.utt);
          if (speechSamples == 0) throw std::runtime_error(a.audio + ": no audio samples");
        } else {
          for (size_t i = 0; i < n; ++i) {
            const float s = std::isfinite(piece[i]) ? std::max(-1.f, std::min(1.f, piece[i])) : 0.f;
            piece[i] = s;
            pcm[i] = static_cast<int16_t>(std::lround(s * 32767.f));
          }
          if (!le_utt_push_audio(c.utt, pcm.data(), static_cast<int>(n))) throw std::runtime_error(le_utt_last_error());
          if (firstPushMs < 0) firstPushMs = msSince(start);
          speechAudio.insert(speechAudio.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
          speechSamples += static_cast<int64_t>(n);
        }
      }
    }
    if (audioDone && !spoke && frames > leadFrames + speechSamples / 640 + 250)
      throw std::runtime_error("the session delivered no speech frame for this audio");
    le_utt_frame_info info{};
    if (le_utt_pull_frame(c.utt, rgba.data(), rgba.size(), &info) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (info.kind == 1 && firstSpeechFrame < 0) {
      firstSpeechFrame = frames;
      firstSpeechLatencyMs = msSince(start) - firstPushMs;
    }
    if (info.kind == 1 || info.kind == 2) spoke = true;
    ++kinds[std::max(0, std::min(2, info.kind))];
    mp4.writeVideo(rgba.data());
    ++frames;
    placeAudio(false);
    if (audioDone && spoke && info.kind == 0 && ++tailSeen >= std::max(tailFrames, 1)) break;
    if (showProgress && frames % 5 == 0)
      std::fprintf(stderr, "\rle_speak: %lld frames (idle %lld, speech %lld, ramp %lld), %.1f s of audio pushed",
                   frames, kinds[0], kinds[1], kinds[2], speechSamples / 16000.0);
  }
  placeAudio(true);
  mp4.finish();
  if (std::rename(partial.c_str(), a.out.c_str()) != 0) throw std::runtime_error("cannot write " + a.out);
  unlinker.keep = true;

  const double wall = msSince(start) / 1000, cpu = cpuSeconds() - cpu0;
  if (showProgress) std::fprintf(stderr, "\n");
  le_utt_stats s{};
  le_utt_get_stats(c.utt, &s);
  char failure[512] = "";
  int failures = 0;
  le_utt_render_status(c.utt, failure, sizeof failure, &failures);
  std::printf("le_speak: %lld frames (%lld idle, %lld speech, %lld ramp) of %dx%d, %.1f s of speech, in %.2f s: "
              "%.1f frames/s delivered\n",
              frames, kinds[0], kinds[1], kinds[2], W, H, speechSamples / 16000.0, wall, frames / wall);
  std::printf("le_speak: per speech frame render %.2f ms, per frame paste %.2f ms, deliver latency %.2f ms; "
              "first speech frame %.0f ms after the first push; CPU %.0f%% of one core\n",
              s.speech_rendered ? s.render_ms_total / s.speech_rendered : 0.0,
              s.frames_made ? s.paste_ms_total / s.frames_made : 0.0,
              s.speech_rendered ? s.deliver_ms_total / s.speech_rendered : 0.0, firstSpeechLatencyMs,
              wall > 0 ? 100 * cpu / wall : 0.0);
  if (failures) std::printf("le_speak: %d render failure(s), last: %s\n", failures, failure);
  std::printf("le_speak: wrote %s\n", a.out.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  if (argc < 2 || argv[1][0] == '-') return usage();
  a.bundle = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(opt + " needs a value");
      return argv[++i];
    };
    try {
      if (opt == "--audio") a.audio = value();
      else if (opt == "--out") a.out = value();
      else if (opt == "--model") a.model = value();
      else if (opt == "--lead") a.lead = std::stod(value());
      else if (opt == "--tail") a.tail = std::stod(value());
      else if (opt == "--threads") a.threads = std::stoi(value());
      else if (opt == "--crf") a.crf = std::stoi(value());
      else if (opt == "--realtime") a.realtime = true;
      else if (opt == "--quiet") a.quiet = true;
      else return usage();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le_speak: %s\n", e.what());
      return usage();
    }
  }
  if (a.audio.empty() || a.out.empty() || !(a.lead >= 0 && a.lead < 3600) || !(a.tail >= 0 && a.tail < 3600))
    return usage();
  try {
    return run(a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nle_speak: %s\n", e.what());
    return 1;
  }
}
