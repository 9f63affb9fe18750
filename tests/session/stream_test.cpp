// le_stream: the driver walk, frames identical to rendering and pasting
// directly, shift edges, the ring's bound, a failure mid-run and bad input.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/bake_fixtures.h"
#include "audio/le_audio_keys.h"
#include "le/le.h"
#include "session/le_stream.h"
#include "support/test_support.h"

using le::test::bakeFixture;
using le::test::StderrCapture;
using le::test::TempDir;

namespace {

std::string w2vPath() { return bakeFixture("tiny") + "/audio/w2v.onnx"; }

std::vector<float> floats(const std::string& path) {
  const std::string bytes = le::test::readWhole(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

std::vector<float> hello() { return floats(le::test::bakeFixturesRoot() + "/speech/hello.f32"); }

struct Stream {
  le_stream* s;
  Stream(const std::string& dir, int shift, float gain = 1.f, const std::string& w2v = w2vPath())
      : s(le_stream_create(dir.c_str(), w2v.c_str(), 2, shift, gain)) {}
  ~Stream() { le_stream_destroy(s); }
};

std::string createError(const std::string& dir, int shift = 0, float gain = 1.f) {
  Stream s(dir, shift, gain);
  return s.s ? "(created)" : le_stream_last_error();
}

std::string copyOfTiny(const TempDir& t) {
  const std::string dir = t / "bundle";
  std::filesystem::copy(bakeFixture("tiny"), dir, std::filesystem::copy_options::recursive);
  return dir;
}

// What a callback saw: frame numbers in call order, and for the comparison
// test the number of frames that differed from the direct path.
struct Seen {
  std::vector<int> frames;
  std::vector<std::vector<uint8_t>> expected;
  int differing = 0;
  le_stream* stream = nullptr;
  int mostAhead = 0;
  std::chrono::milliseconds delay{0};
  int reentry = 0;
  std::string reentryError;
};

void record(void* user, int frame, const uint8_t* rgb, size_t bytes, int width, int height) {
  Seen& s = *static_cast<Seen*>(user);
  s.frames.push_back(frame);
  EXPECT_EQ(bytes, static_cast<size_t>(width) * height * 3);
  if (static_cast<size_t>(frame) < s.expected.size() &&
      (s.expected[frame].size() != bytes || std::memcmp(s.expected[frame].data(), rgb, bytes) != 0))
    ++s.differing;
  if (s.stream) {
    // The crops rendered beyond the frames already pasted stay within the ring.
    s.mostAhead = std::max(s.mostAhead, s.stream->stream.cropsRendered() - (frame + 1));
    std::this_thread::sleep_for(s.delay);
    if (frame == 0) {
      float x[640] = {};
      s.reentry = le_stream_run(s.stream, x, 640, nullptr, nullptr);
      s.reentryError = le_stream_last_error();
    }
  }
}

}  // namespace

// The stream's walk: the clip in loop order from frame 0, frame 0 only for a
// one-frame clip.
TEST(StreamWalk, LoopOrderFromFrameZero) {
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(le::audio::driverIndex(i, 0, 1, true, 1), 0);
    EXPECT_EQ(le::audio::driverIndex(i, 0, 1, true, 8), i % 8);
  }
}

TEST(Stream, FramesAreThoseOfRenderAndPasteCalledDirectly) {
  StderrCapture quiet;
  const std::vector<float> audio = hello();
  const int n = static_cast<int>(audio.size());
  const int frames = (n + 639) / 640, shift = 3;
  const float gain = 0.8f;

  // The direct path: the same deltas, keypoints and driver walk, one frame
  // after another on this thread.
  Seen seen;
  {
    le_fca* fca = le_fca_create(w2vPath().c_str(), (bakeFixture("tiny") + "/fca_stream.onnx").c_str(), 2);
    ASSERT_NE(fca, nullptr) << le_fca_last_error();
    std::vector<float> deltas(static_cast<size_t>(frames) * 63);
    ASSERT_EQ(le_fca_deltas(fca, audio.data(), n, deltas.data(), frames), frames);
    le_fca_destroy(fca);
    le_ctx* ctx = le_create(bakeFixture("tiny").c_str(), "render", 2, "");
    ASSERT_NE(ctx, nullptr) << le_last_error();
    const int nt = le_nt(ctx);
    const std::vector<float> xs = floats(bakeFixture("tiny") + "/xs_target.bin");
    ASSERT_EQ(xs.size(), static_cast<size_t>(nt) * 63);
    for (int k = 0; k + shift < frames; ++k) {
      const int i = k + shift, driver = i % nt;
      float xd[63];
      for (int c = 0; c < 63; ++c) xd[c] = xs[driver * 63 + c] + gain * deltas[static_cast<size_t>(i) * 63 + c];
      const float* crop = le_render_kp_crop(ctx, driver, &xs[driver * 63], xd);
      ASSERT_NE(crop, nullptr) << le_last_error();
      seen.expected.emplace_back(static_cast<size_t>(le_width(ctx)) * le_height(ctx) * 3);
      ASSERT_EQ(le_paste_crop(ctx, driver, crop, seen.expected.back().data(), seen.expected.back().size()), 1);
    }
    le_destroy(ctx);
  }

  Stream s(bakeFixture("tiny"), shift, gain);
  ASSERT_NE(s.s, nullptr) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s.s), 320);
  EXPECT_EQ(le_stream_height(s.s), 240);
  ASSERT_EQ(le_stream_run(s.s, audio.data(), n, record, &seen), frames - shift) << le_stream_last_error();
  EXPECT_STREQ(le_stream_last_error(), "");
  ASSERT_EQ(seen.frames.size(), static_cast<size_t>(frames - shift));
  for (size_t k = 0; k < seen.frames.size(); ++k) ASSERT_EQ(seen.frames[k], static_cast<int>(k));
  EXPECT_EQ(seen.differing, 0);
  // A second run gives the same frames again, and its statistics are its
  // own: every stage timed, paste inside the call, nothing carried over.
  seen.frames.clear();
  ASSERT_EQ(le_stream_run(s.s, audio.data(), n, record, &seen), frames - shift);
  EXPECT_EQ(seen.differing, 0);
  le_stream_stats st{};
  ASSERT_EQ(le_stream_get_stats(s.s, &st), 1);
  EXPECT_EQ(st.frames, frames - shift);
  EXPECT_GT(st.deltas_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
  EXPECT_GT(st.paste_ms, 0.0);
  EXPECT_GT(st.callback_ms, 0.0);
  EXPECT_GE(st.wall_ms, st.deltas_ms + st.paste_ms + st.callback_ms);
}

TEST(Stream, ShiftEdgesRingBoundAndOneRunAtATime) {
  StderrCapture quiet;
  Stream s(bakeFixture("tiny"), 1);
  ASSERT_NE(s.s, nullptr) << le_stream_last_error();
  Seen seen;
  std::vector<float> audio = hello();
  // shift >= F: nothing to deliver.
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 640, record, &seen), 0);
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 0, record, &seen), 0);
  EXPECT_TRUE(seen.frames.empty());
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 641, nullptr, nullptr), 1);
  // A slow host: the render thread waits for free slots instead of running
  // ahead, and a run started from the callback is refused.
  seen.stream = s.s;
  seen.delay = std::chrono::milliseconds(15);
  const int n = 40 * 640;
  ASSERT_EQ(le_stream_run(s.s, audio.data(), n, record, &seen), 39) << le_stream_last_error();
  EXPECT_LE(seen.mostAhead, le::Stream::kRingSlots);
  EXPECT_GE(seen.mostAhead, 1);
  EXPECT_EQ(seen.reentry, -1);
  EXPECT_EQ(seen.reentryError, "le_stream_run: a run is already in progress on this stream");
  EXPECT_STREQ(le_stream_last_error(), "");
}

TEST(Stream, PasteFailureMidRunStopsJoinsAndLeavesTheStreamUsable) {
  StderrCapture quiet;
  TempDir t;
  const std::string dir = copyOfTiny(t);
  // The driver movie loses its end: its first frames decode, later ones fail.
  std::filesystem::resize_file(dir + "/target_frames.mp4", 9000);
  Stream s(dir, 0);
  ASSERT_NE(s.s, nullptr) << le_stream_last_error();
  const std::vector<float> audio = hello();
  for (int attempt = 0; attempt < 2; ++attempt) {
    Seen seen;
    EXPECT_EQ(le_stream_run(s.s, audio.data(), static_cast<int>(audio.size()), record, &seen), -1);
    const std::string e = le_stream_last_error();
    EXPECT_EQ(e.rfind("le_stream_run: render/paste failed: frame ", 0), 0u) << e;
    EXPECT_NE(e.find("paste: le_paste_crop: le_driver:"), std::string::npos) << e;
    EXPECT_LT(seen.frames.size(), 8u);
    for (size_t k = 0; k < seen.frames.size(); ++k) EXPECT_EQ(seen.frames[k], static_cast<int>(k));
    le_stream_stats st{};
    ASSERT_EQ(le_stream_get_stats(s.s, &st), 1);
    EXPECT_EQ(st.frames, static_cast<long long>(seen.frames.size()));
  }
  // Runs that need no frame still succeed.
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 0, nullptr, nullptr), 0);
}

TEST(Stream, BadInputFailsWithAMessage) {
  StderrCapture quiet;
  EXPECT_EQ(le_stream_create(nullptr, "x", 1, 0, 1.f), nullptr);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_create: NULL bundle_dir/feature_model");
  EXPECT_EQ(le_stream_create("x", nullptr, 1, 0, 1.f), nullptr);
  EXPECT_EQ(createError(bakeFixture("tiny"), -1), "le_stream_create: shift must be >= 0 and gain finite");
  EXPECT_EQ(createError(bakeFixture("tiny"), 0, std::numeric_limits<float>::quiet_NaN()),
            "le_stream_create: shift must be >= 0 and gain finite");
  TempDir t;
  EXPECT_EQ(createError(t / "missing"), "le_stream_create: le_create: cannot open " + (t / "missing") + "/manifest.json");

  const std::string dir = copyOfTiny(t);
  std::filesystem::copy_file(dir + "/xs_target.bin", t / "xs.bin");
  std::filesystem::resize_file(dir + "/xs_target.bin", 8 * 63 * 4 - 4);
  EXPECT_EQ(createError(dir), "le_stream_create: cannot read xs_target.bin (NT*63 f32)");
  std::filesystem::remove(dir + "/xs_target.bin");
  EXPECT_EQ(createError(dir), "le_stream_create: cannot read xs_target.bin (NT*63 f32)");
  std::filesystem::copy_file(t / "xs.bin", dir + "/xs_target.bin");
  // A head with the wrong tensors, then none.
  std::filesystem::copy_file(dir + "/audio/w2v.onnx", dir + "/fca_stream.onnx",
                             std::filesystem::copy_options::overwrite_existing);
  std::string e = createError(dir);
  EXPECT_EQ(e.rfind("le_stream_create: le_fca_create: head ", 0), 0u) << e;
  EXPECT_NE(e.find("REFUSING"), std::string::npos) << e;
  std::filesystem::remove(dir + "/fca_stream.onnx");
  EXPECT_EQ(createError(dir), "le_stream_create: le_fca_create: cannot open " + dir + "/fca_stream.onnx");

  EXPECT_EQ(le_stream_width(nullptr), 0);
  EXPECT_EQ(le_stream_height(nullptr), 0);
  le_stream_stats st{};
  EXPECT_EQ(le_stream_get_stats(nullptr, &st), 0);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_get_stats: NULL stream/out");
  EXPECT_EQ(le_stream_run(nullptr, nullptr, 640, nullptr, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: NULL stream");
  Stream s(bakeFixture("tiny"), 0);
  ASSERT_NE(s.s, nullptr) << le_stream_last_error();
  EXPECT_EQ(le_stream_run(s.s, nullptr, 640, nullptr, nullptr), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: le_fca_deltas: NULL samples/out");
  std::vector<float> audio(3000, 0.f);
  audio[2000] = std::numeric_limits<float>::quiet_NaN();
  Seen seen;
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 3000, record, &seen), -1);
  EXPECT_EQ(std::string(le_stream_last_error()).rfind("le_stream_run: le_fca_deltas: sample 2000 is NaN", 0), 0u)
      << le_stream_last_error();
  EXPECT_TRUE(seen.frames.empty());
  audio[2000] = 1e30f;
  EXPECT_EQ(le_stream_run(s.s, audio.data(), 3000, record, &seen), 5) << le_stream_last_error();
}
