// The utterance session over the baked tiny bundle (its streaming audio
// models drive the speech), through the public C API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/bake_fixtures.h"
#include "support/speech_pcm.h"
#include "le/le.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string tiny() { return le::test::bakeFixture("tiny"); }

struct Frame {
  std::vector<uint8_t> rgba;
  le_utt_frame_info info{};
};

class Utt : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("W2V_ONNX", (tiny() + "/audio/w2v.onnx").c_str(), 1);
    ctx_ = le_create(tiny().c_str(), "b1", 1, "");
    ASSERT_NE(ctx_, nullptr) << le_last_error();
    reference_ = le_create(tiny().c_str(), "b1", 1, "");
    ASSERT_NE(reference_, nullptr) << le_last_error();
    bytes_ = static_cast<size_t>(le_width(ctx_)) * le_height(ctx_) * 4;
  }
  void TearDown() override {
    le_utt_destroy(utt_);
    le_destroy(ctx_);
    le_destroy(reference_);
  }
  void open(int rampFrames = 0, double gap = 0) {
    le_utt_opts opts{};
    motionDir_ = tiny();
    opts.motion_dir = motionDir_.c_str();
    opts.ramp_frames = rampFrames;
    opts.gap_s = gap;
    utt_ = le_utt_create(ctx_, &opts);
    ASSERT_NE(utt_, nullptr) << le_utt_last_error();
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (le_utt_ready(utt_) == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(le_utt_ready(utt_), 1) << le_utt_last_error();
  }
  // The next frame, waiting up to 20 s for it.
  Frame next() {
    Frame f;
    f.rgba.resize(bytes_);
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      if (le_utt_pull_frame(utt_, f.rgba.data(), f.rgba.size(), &f.info) == 1) return f;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "no frame within 20 s";
    f.info.kind = -1;
    return f;
  }
  // The driver frame itself, as RGBA.
  std::vector<uint8_t> driver(int index) {
    const uint8_t* rgb = le_target_frame(reference_, index);
    std::vector<uint8_t> rgba(bytes_);
    for (size_t i = 0; i < bytes_ / 4; ++i) {
      std::memcpy(&rgba[4 * i], rgb + 3 * i, 3);
      rgba[4 * i + 3] = 255;
    }
    return rgba;
  }
  le_ctx* ctx_ = nullptr;
  le_ctx* reference_ = nullptr;
  le_utt* utt_ = nullptr;
  size_t bytes_ = 0;
  std::string motionDir_;
};

TEST_F(Utt, IdleSpeechRampIdleInClipOrder) {
  open(4);
  const int nt = le_nt(ctx_);
  Frame f = next();
  ASSERT_EQ(f.info.kind, 0);
  int expected = (f.info.driver_index + 1) % nt;
  EXPECT_EQ(f.rgba, driver(f.info.driver_index));  // idle frames are the driver frames unchanged
  const std::vector<int16_t> pcm = le::test::speechPcm("fox");
  ASSERT_FALSE(pcm.empty());
  ASSERT_EQ(le_utt_push_audio(utt_, pcm.data(), static_cast<int>(pcm.size())), 1);
  le_utt_end_utterance(utt_);
  std::vector<int> kinds;
  int speech = 0, changedInsideFace = 0;
  for (int i = 0; i < 400; ++i) {
    f = next();
    ASSERT_GE(f.info.kind, 0);
    ASSERT_EQ(f.info.driver_index, expected) << "frame " << i;  // the clip never jumps
    expected = (expected + 1) % nt;
    if (kinds.empty() || kinds.back() != f.info.kind) kinds.push_back(f.info.kind);
    if (f.info.kind == 1) {
      ++speech;
      EXPECT_EQ(f.info.speech_seq, 1);
      if (f.rgba != driver(f.info.driver_index)) ++changedInsideFace;
    }
    if (f.info.kind == 0 && speech > 0 && kinds.size() >= 4) break;
  }
  EXPECT_EQ(kinds, (std::vector<int>{0, 1, 2, 0}));
  EXPECT_EQ(speech, (static_cast<int>(pcm.size()) + 639) / 640);
  EXPECT_EQ(changedInsideFace, speech);
  le_utt_stats stats{};
  ASSERT_EQ(le_utt_get_stats(utt_, &stats), 1);
  EXPECT_EQ(stats.speech_delivered, speech);
  EXPECT_EQ(stats.utterances, 1);
  EXPECT_EQ(stats.state, 0);
  char msg[256];
  int failures = -1;
  EXPECT_EQ(le_utt_render_status(utt_, msg, sizeof msg, &failures), 0) << msg;
  EXPECT_EQ(failures, 0);
}

TEST_F(Utt, RampHasItsFramesThenIdleResumesAtTheNextDriverFrame) {
  open(6);
  const std::vector<int16_t> pcm = le::test::speechPcm("fox");
  le_utt_push_audio(utt_, pcm.data(), 16000);  // one second, then end
  le_utt_end_utterance(utt_);
  int ramp = 0, lastSpeech = -1;
  for (int i = 0; i < 300; ++i) {
    Frame f = next();
    if (f.info.kind == 1) lastSpeech = f.info.driver_index;
    if (f.info.kind == 2) {
      if (ramp == 0) {
        EXPECT_EQ(f.info.driver_index, (lastSpeech + 1) % le_nt(ctx_));
      }
      ++ramp;
    }
    if (f.info.kind == 0 && ramp > 0) break;
  }
  EXPECT_EQ(ramp, 6);
}

TEST_F(Utt, InterruptDropsEverythingAndTheNextUtteranceWorks) {
  open();
  const std::vector<int16_t> pcm = le::test::speechPcm("fox");
  le_utt_push_audio(utt_, pcm.data(), static_cast<int>(pcm.size()));
  le_utt_end_utterance(utt_);
  for (int speech = 0; speech < 5;)
    if (next().info.kind == 1) ++speech;
  le_utt_interrupt(utt_);
  EXPECT_EQ(le_utt_frames_available(utt_), 0);
  EXPECT_EQ(next().info.kind, 0);
  le_utt_push_audio(utt_, pcm.data(), 20000);
  le_utt_end_utterance(utt_);
  int speech = 0, seq = 0;
  for (int i = 0; i < 200 && speech < 10; ++i) {
    Frame f = next();
    if (f.info.kind == 1) {
      ++speech;
      seq = f.info.speech_seq;
    }
  }
  EXPECT_EQ(speech, 10);
  EXPECT_EQ(seq, 2);
}

TEST_F(Utt, BadArgumentsAndShortBuffers) {
  open();
  int16_t one = 0;
  EXPECT_EQ(le_utt_push_audio(utt_, &one, 0), 1);
  EXPECT_EQ(le_utt_push_audio(utt_, nullptr, 0), 1);
  EXPECT_EQ(le_utt_push_audio(utt_, nullptr, 5), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  EXPECT_EQ(le_utt_push_audio(utt_, &one, -1), 0);
  EXPECT_EQ(le_utt_push_audio(nullptr, &one, 1), 0);
  while (le_utt_frames_available(utt_) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<uint8_t> buf(bytes_ - 1);
  EXPECT_EQ(le_utt_pull_frame(utt_, buf.data(), buf.size(), nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_GE(le_utt_frames_available(utt_), 1);
  EXPECT_EQ(le_utt_pull_frame(utt_, nullptr, bytes_, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  EXPECT_EQ(le_utt_ready(nullptr), -1);
  EXPECT_EQ(le_utt_create(nullptr, nullptr), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  le_utt_opts opts{};
  EXPECT_EQ(le_utt_create(ctx_, &opts), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
  le_utt_destroy(nullptr);
}

TEST_F(Utt, WithoutAudioModelsTheSessionStaysIdle) {
  le::test::TempDir empty;
  utt_ = le_utt_open(ctx_, empty.path().c_str());
  ASSERT_NE(utt_, nullptr) << le_utt_last_error();
  const auto until = Clock::now() + std::chrono::seconds(30);
  while (le_utt_ready(utt_) == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(le_utt_ready(utt_), -1);
  EXPECT_NE(std::string(le_utt_last_error()), "");
  const std::vector<int16_t> pcm = le::test::speechPcm("fox");
  le_utt_push_audio(utt_, pcm.data(), 16000);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(next().info.kind, 0);
}

// Four host threads pushing, ending, interrupting and pulling at random;
// every frame made is pulled or dropped, never both or neither, and the
// session can be destroyed at any moment.
TEST_F(Utt, HostThreadsAtRandom) {
  open(3, 0.3);
  const std::vector<int16_t> pcm = le::test::speechPcm("fox");
  const char* seconds = std::getenv("LE_UTT_STRESS_SECONDS");
  const auto until = Clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 8);
  std::atomic<long long> pulled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 rng(t + 1);
      std::vector<uint8_t> buf(bytes_);
      size_t at = 0;
      while (Clock::now() < until) {
        const int what = static_cast<int>(rng() % 100);
        if (what < 40) {
          const int n = static_cast<int>(rng() % 2000);
          if (at + n > pcm.size()) at = 0;
          le_utt_push_audio(utt_, pcm.data() + at, n);
          at += n;
        } else if (what < 45) {
          le_utt_end_utterance(utt_);
        } else if (what < 47) {
          le_utt_interrupt(utt_);
        } else {
          if (le_utt_pull_frame(utt_, buf.data(), buf.size(), nullptr) == 1) ++pulled;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
      }
    });
  for (auto& t : threads) t.join();
  le_utt_stats stats{};
  le_utt_get_stats(utt_, &stats);
  EXPECT_EQ(stats.frames_delivered, pulled.load());
  EXPECT_EQ(stats.frames_made, stats.frames_delivered + stats.frames_dropped + le_utt_frames_available(utt_))
      << "made " << stats.frames_made << " delivered " << stats.frames_delivered << " dropped "
      << stats.frames_dropped;
  EXPECT_GT(pulled.load(), 10);
  // Destroyed while its threads are busy.
  le_utt_push_audio(utt_, pcm.data(), static_cast<int>(pcm.size()));
}

}  // namespace
