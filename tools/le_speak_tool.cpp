// le_speak: speech in, talking-head video out. Drives a live utterance
// session (le_utt) over a bundle the way a host would: idle frames first,
// then the speech pushed in 40 ms pieces, then idle frames again; every frame
// the session delivers goes into an MP4 (H.264 yuv420p) together with the
// input audio (AAC).
//
//   le_speak BUNDLE --audio speech.wav|-  --out talk.mp4
//            [--realtime] [--lead S] [--tail S] [--model KEY] [--teeth] [--threads N] [--crf N] [--quiet]
//   le_speak BUNDLE --audio speech.wav|-  --out talk.mp4 --offline [--threads N] [--crf N] [--quiet]
//
// --offline renders the whole utterance through the offline stream
// (le_stream) as fast as the machine allows: the keypoint deltas of every
// frame come from the face-conditioned model at once, one frame per 640
// samples (a partial last piece counts), no idle frames around the speech.
//
// --teeth arms the teeth borrow on the live session before it speaks: the
// bundle's four teeth members are loaded and cross-checked, the reference
// bank is decoded from memory into donor order, and every speech and ramp
// crop has its mouth repainted from the bank before it is pasted. A bundle
// without the members is refused. The offline stream has no teeth stage, so
// --teeth with --offline is refused too.
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
#include <limits>
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
#include "tessera/le_bankdec_ff.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
  std::string bundle, audio, out, model = "b1";
  double lead = 0.4, tail = 0.6;
  int threads = 0, crf = 20;
  bool realtime = false, quiet = false, offline = false, teeth = false;
  bool liveOnlyGiven = false;  // --realtime, --lead, --tail or --model
};

int usage() {
  std::fprintf(stderr,
               "usage: le_speak BUNDLE --audio FILE|- --out talk.mp4 [--realtime] [--lead S] [--tail S]\n"
               "                [--model KEY] [--teeth] [--threads N] [--crf N] [--quiet]\n"
               "       le_speak BUNDLE --audio FILE|- --out talk.mp4 --offline [--threads N] [--crf N] [--quiet]\n");
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

// Written under a temporary name: a file at the output path is always a
// finished one.
struct PartialOutput {
  std::string out, path;
  bool kept = false;
  explicit PartialOutput(const std::string& target)
      : out(target), path(target + ".partial-" + std::to_string(getpid()) + ".mp4") {}
  ~PartialOutput() {
    if (!kept) std::remove(path.c_str());
  }
  void keep() {
    if (std::rename(path.c_str(), out.c_str()) != 0) throw std::runtime_error("cannot write " + out);
    kept = true;
  }
};

// The feature network of the audio models: the one the host names in
// W2V_ONNX, else the bundle's own; empty when neither exists.
std::string featureModel(const std::string& bundle) {
  if (const char* named = std::getenv("W2V_ONNX")) return named;
  char path[4096];
  if (le_bundle_resolve_member(bundle.c_str(), "audio/w2v.onnx", path, sizeof path) == 1) return path;
  return {};
}

struct Closer {
  le_ctx* ctx = nullptr;
  le_utt* utt = nullptr;
  ~Closer() {
    le_utt_destroy(utt);
    le_destroy(ctx);
  }
};

float clampSample(float s) { return std::isfinite(s) ? std::max(-1.f, std::min(1.f, s)) : 0.f; }

struct MembersCloser {
  le_tessera_members* m = nullptr;
  ~MembersCloser() { le_tessera_members_close(m); }
};

std::string readWhole(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  std::string bytes;
  char buf[1 << 16];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) throw std::runtime_error("cannot read " + path);
  return bytes;
}

// Loads the bundle's teeth members, decodes the reference bank into donor
// order and arms the borrow on the session, before any audio is pushed.
void attachTeeth(le_utt* utt, const std::string& dir) {
  const auto start = Clock::now();
  char err[2048] = "";
  MembersCloser members;
  members.m = le_tessera_members_open(dir.c_str(), err, sizeof err);
  if (!members.m) throw std::runtime_error("--teeth: this bundle cannot borrow teeth: " + std::string(err));
  le_tessera_members* m = members.m;
  const int n = le_tessera_members_n_donors(m), bh = le_tessera_members_band_h(m), bw = le_tessera_members_band_w(m);
  const int32_t* order = le_tessera_members_track_order(m);
  const std::string track = readWhole(le_tessera_members_bank_track_path(m));
  std::vector<uint8_t> bank;
  try {
    bank = le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, bh, bw,
                                        std::vector<int32_t>(order, order + n));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("--teeth: ") + le_tessera_members_bank_track_path(m) + ": " + e.what());
  }
  const double decodeMs = msSince(start);
  if (!le_utt_tessera_attach(utt, bank.data(), n, le_tessera_members_cent(m), le_tessera_members_aperture(m),
                             le_tessera_members_c_canon(m), le_tessera_members_stamp(m), le_tessera_members_head_pt(m),
                             le_tessera_members_head_pt_len(m), le_tessera_members_head_json(m),
                             le_tessera_members_manifest_json(m)))
    throw std::runtime_error(std::string("--teeth: ") + le_utt_last_error());
  le_utt_tessera_counts counts{};
  le_utt_tessera_stats(utt, &counts);
  int g[12] = {};
  le_utt_tessera_geometry(utt, g);
  const int synth = le_utt_tessera_synth_w(utt);
  std::printf("le_speak: teeth attached: %d donors of %dx%d (%s %s track, %.1f kB, decoded in %.1f ms), "
              "mouth band %dx%d at (%d, %d) of the %dx%d crop, %s mask, head %s\n",
              n, bw, bh, le_tessera_members_bank_codec(m), le_tessera_members_bank_pix_fmt(m), track.size() / 1024.0,
              decodeMs, g[10] - g[9], g[8] - g[7], g[2] + g[9], g[3] + g[7], g[0], g[1],
              counts.lip_contour ? "lip contour" : "elliptical",
              synth ? "with its synthesis branch" : "without a synthesis branch");
}

void printTeethStats(le_utt* utt) {
  le_utt_tessera_counts t{};
  if (!le_utt_tessera_stats(utt, &t)) return;
  std::printf("le_speak: teeth: %lld crops into the pass, %lld out (mouths closed tighter than the bank "
              "pass unchanged), %lld donor switches, %lld drains, %d crops left as rendered\n",
              t.pushed, t.delivered, t.switches, t.flushes, t.failures);
}

struct StreamCloser {
  le_stream* s = nullptr;
  ~StreamCloser() { le_stream_destroy(s); }
};

struct OfflineSink {
  le::tools::Mp4Writer* mp4;
  bool progress;
  int total;
};

void writeOfflineFrame(void* user, int frame, const uint8_t* rgb, size_t, int, int) {
  OfflineSink& sink = *static_cast<OfflineSink*>(user);
  sink.mp4->writeVideo(rgb);
  if (sink.progress && (frame + 1) % 5 == 0)
    std::fprintf(stderr, "\rle_speak: %d of %d frames", frame + 1, sink.total);
}

// The whole utterance through le_stream: frame k shows samples
// [640 k, 640 k + 640), so the audio track is the input itself, padded with
// silence to the last frame's end.
int runOffline(const Args& a) {
  av_log_set_level(AV_LOG_ERROR);
  std::vector<float> audio;
  {
    le::tools::AudioReader reader(a.audio);
    std::vector<float> piece(16000);
    for (size_t n; (n = reader.read(piece.data(), piece.size())) > 0;) {
      if (audio.size() + n > static_cast<size_t>(std::numeric_limits<int>::max()) - 640)
        throw std::runtime_error(a.audio + ": too long for one offline run");
      audio.insert(audio.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  if (audio.empty()) throw std::runtime_error(a.audio + ": no audio samples");
  for (float& s : audio) s = clampSample(s);
  const std::string w2v = featureModel(a.bundle);
  if (w2v.empty()) throw std::runtime_error("no audio feature model: the bundle has no audio/w2v.onnx and W2V_ONNX is unset");
  char dir[4096];
  if (le_bundle_resolve_handle(a.bundle.c_str(), dir, sizeof dir) != 1) throw std::runtime_error(le_last_error());

  const auto start = Clock::now();
  const double cpu0 = cpuSeconds();
  StreamCloser stream;
  stream.s = le_stream_create(dir, w2v.c_str(), a.threads, 0, 1.f);
  if (!stream.s) throw std::runtime_error(le_stream_last_error());
  const double openMs = msSince(start);
  const int W = le_stream_width(stream.s), H = le_stream_height(stream.s);
  const int n = static_cast<int>(audio.size());
  const int expected = (n + 639) / 640;

  PartialOutput output(a.out);
  le::tools::Mp4Writer mp4(output.path, W, H, 3, a.crf, le::tools::AudioReader::kRate);
  OfflineSink sink{&mp4, !a.quiet && isatty(2), expected};
  const int frames = le_stream_run(stream.s, audio.data(), n, writeOfflineFrame, &sink);
  if (frames < 0) throw std::runtime_error(le_stream_last_error());
  if (frames != expected)
    throw std::runtime_error("the stream delivered " + std::to_string(frames) + " frames for " + std::to_string(expected));
  le_stream_stats st{};
  le_stream_get_stats(stream.s, &st);
  audio.resize(static_cast<size_t>(frames) * 640, 0.f);
  mp4.writeAudio(audio.data(), audio.size());
  mp4.finish();
  output.keep();

  const double wall = msSince(start) / 1000, cpu = cpuSeconds() - cpu0;
  if (sink.progress) std::fprintf(stderr, "\n");
  const double runS = st.wall_ms / 1000;
  std::printf("le_speak: %d frames (offline) of %dx%d, %.1f s of speech, in %.2f s: %.1f frames/s rendered "
              "(%.2fx real time), %.1f frames/s with opening and encoding\n",
              frames, W, H, n / 16000.0, runS, runS > 0 ? frames / runS : 0.0, runS > 0 ? frames / runS / 25 : 0.0,
              wall > 0 ? frames / wall : 0.0);
  std::printf("le_speak: time split: features+deltas %.0f ms (%.1f%%), render %.0f ms (%.2f ms/frame, render thread), "
              "paste %.0f ms (%.2f ms/frame), encode %.0f ms; open %.0f ms; CPU %.0f%% of one core\n",
              st.deltas_ms, st.wall_ms > 0 ? 100 * st.deltas_ms / st.wall_ms : 0.0, st.render_ms,
              frames ? st.render_ms / frames : 0.0, st.paste_ms, frames ? st.paste_ms / frames : 0.0,
              st.callback_ms, openMs, wall > 0 ? 100 * cpu / wall : 0.0);
  std::printf("le_speak: wrote %s\n", a.out.c_str());
  return 0;
}

int run(const Args& a) {
  av_log_set_level(AV_LOG_ERROR);
  // The streaming model reads its feature network from W2V_ONNX.
  if (!std::getenv("W2V_ONNX")) {
    const std::string w2v = featureModel(a.bundle);
    if (!w2v.empty()) setenv("W2V_ONNX", w2v.c_str(), 1);
  }
  le::tools::AudioReader reader(a.audio);
  Closer c;
  c.ctx = le_create(a.bundle.c_str(), a.model.c_str(), a.threads, "");
  if (!c.ctx) throw std::runtime_error(le_last_error());
  char dir[4096];
  if (le_bundle_resolve_handle(a.bundle.c_str(), dir, sizeof dir) != 1) throw std::runtime_error(le_last_error());
  le_utt_opts opts;
  std::memset(&opts, 0, sizeof opts);
  opts.motion_dir = dir;
  // Unless paced in real time, pushing waits for speech frames to be shown,
  // and on a machine that renders slower than real time that wait outlasts
  // the pause that ends an utterance, which split the speech in two. The end
  // of the input ends the utterance instead.
  if (!a.realtime) opts.gap_s = -1;
  c.utt = le_utt_create(c.ctx, &opts);
  if (!c.utt) throw std::runtime_error(le_utt_last_error());
  if (a.teeth) attachTeeth(c.utt, dir);
  for (int r; (r = le_utt_ready(c.utt)) != 1;) {
    if (r < 0) throw std::runtime_error(std::string("audio models: ") + le_utt_last_error());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  const int W = le_width(c.ctx), H = le_height(c.ctx);
  PartialOutput output(a.out);
  le::tools::Mp4Writer mp4(output.path, W, H, 4, a.crf, le::tools::AudioReader::kRate);

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
  // ramped: a ramp frame came after the latest speech frame. The session
  // shows idle frames mid-utterance while its motion lags behind the audio,
  // so only the idle frames after the ramp close the video.
  bool audioDone = false, spoke = false, ramped = false;
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
            piece[i] = clampSample(piece[i]);
            pcm[i] = static_cast<int16_t>(std::lround(piece[i] * 32767.f));
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
    if (info.kind == 1 || info.kind == 2) {
      spoke = true;
      ramped = info.kind == 2;
    }
    ++kinds[std::max(0, std::min(2, info.kind))];
    mp4.writeVideo(rgba.data());
    ++frames;
    placeAudio(false);
    // A ramp whose renders all failed enqueues nothing: past the frames the
    // audio can account for, idle frames close the video all the same.
    const bool closing = ramped || frames > leadFrames + speechSamples / 640 + 250;
    if (audioDone && spoke && closing && info.kind == 0 && ++tailSeen >= std::max(tailFrames, 1)) break;
    if (showProgress && frames % 5 == 0)
      std::fprintf(stderr, "\rle_speak: %lld frames (idle %lld, speech %lld, ramp %lld), %.1f s of audio pushed",
                   frames, kinds[0], kinds[1], kinds[2], speechSamples / 16000.0);
  }
  placeAudio(true);
  mp4.finish();
  output.keep();

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
  if (a.teeth) printTeethStats(c.utt);
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
      else if (opt == "--model") a.model = value(), a.liveOnlyGiven = true;
      else if (opt == "--lead") a.lead = std::stod(value()), a.liveOnlyGiven = true;
      else if (opt == "--tail") a.tail = std::stod(value()), a.liveOnlyGiven = true;
      else if (opt == "--threads") a.threads = std::stoi(value());
      else if (opt == "--crf") a.crf = std::stoi(value());
      else if (opt == "--realtime") a.realtime = true, a.liveOnlyGiven = true;
      else if (opt == "--offline") a.offline = true;
      else if (opt == "--teeth") a.teeth = true;
      else if (opt == "--quiet") a.quiet = true;
      else return usage();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "le_speak: %s\n", e.what());
      return usage();
    }
  }
  if (a.audio.empty() || a.out.empty() || !(a.lead >= 0 && a.lead < 3600) || !(a.tail >= 0 && a.tail < 3600))
    return usage();
  if (a.offline && a.liveOnlyGiven) {
    std::fprintf(stderr, "le_speak: --realtime, --lead, --tail and --model belong to the live mode, not --offline\n");
    return usage();
  }
  if (a.offline && a.teeth) {
    std::fprintf(stderr, "le_speak: --teeth needs the live session: the offline stream has no teeth stage\n");
    return usage();
  }
  try {
    return a.offline ? runOffline(a) : run(a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nle_speak: %s\n", e.what());
    return 1;
  }
}
