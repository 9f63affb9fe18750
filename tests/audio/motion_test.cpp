// le_motion over the small directories make_motion_dir.py writes at test
// set-up: refusals, the C boundary, streaming invariances, the front end and
// the whole pipeline against the script's own computation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audio/le_logmel.h"
#include "audio/le_motion.h"
#include "le/le.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

std::string dirs() {
  const char* d = std::getenv("LE_MOTION_TEST_DIRS");
  return d ? d : "";
}

template <typename T>
std::vector<T> readArray(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<T> v(f ? static_cast<size_t>(f.tellg()) / sizeof(T) : 0);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(T)));
  return v;
}

struct Rows {
  std::vector<int> idx;
  std::vector<float> xs, xd;
  void pullFrom(le_motion* m, int max) {
    std::vector<int> i(static_cast<size_t>(max));
    std::vector<float> s(static_cast<size_t>(max) * 63), d(static_cast<size_t>(max) * 63);
    const int n = le_motion_pull(m, i.data(), s.data(), d.data(), max);
    idx.insert(idx.end(), i.begin(), i.begin() + n);
    xs.insert(xs.end(), s.begin(), s.begin() + n * 63);
    xd.insert(xd.end(), d.begin(), d.begin() + n * 63);
  }
};

// One utterance pushed in the pieces `cut` chooses, pulling whatever is ready
// after each push (a few rows at a time), then finished and drained.
Rows utterance(le_motion* m, const std::vector<float>& audio, int start, int dir, int loop, int eager,
               const std::function<size_t(size_t)>& cut) {
  le_motion_reset(m, start, dir, loop);
  le_motion_set_eager(m, eager);
  Rows rows;
  for (size_t at = 0; at < audio.size();) {
    const size_t n = std::min(cut(at), audio.size() - at);
    EXPECT_EQ(le_motion_push(m, audio.data() + at, static_cast<int>(n)), 1) << le_motion_last_error();
    at += n;
    if (le_motion_avail(m) > 0) rows.pullFrom(m, 7);
  }
  le_motion_finish(m);
  EXPECT_STREQ(le_motion_last_error(), "");
  while (le_motion_avail(m) > 0) rows.pullFrom(m, 64);
  return rows;
}

class MotionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dirs().empty()) << "LE_MOTION_TEST_DIRS is not set";
    audio = readArray<float>(dirs() + "/ref/audio.f32");
    ASSERT_FALSE(audio.empty());
  }
  le_motion* open() {
    le_motion* m = le_motion_create((dirs() + "/motion").c_str(), 1, "");
    EXPECT_NE(m, nullptr) << le_motion_last_error();
    return m;
  }
  std::vector<float> audio;
};

TEST_F(MotionTest, RefusesDamagedDirectories) {
  const std::string bad = dirs() + "/bad/";
  struct Case {
    const char* dir;
    std::string message;
  } cases[] = {
      {"missing_window", "le_motion_create: cannot open " + bad + "missing_window/hubert_stft_window.bin"},
      {"short_emo", "le_motion_create: " + bad + "short_emo/emo.bin: 15 floats, expected 16"},
      {"no_nt", "le_motion_create: meta.json: missing nt"},
      {"bad_n_emo", "le_motion_create: meta.json: bad n_emo"},
      {"n_src", "le_motion_create: le_motion: n_src != nt unsupported"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(le_motion_create((bad + c.dir).c_str(), 1, ""), nullptr) << c.dir;
    EXPECT_EQ(le_motion_last_error(), c.message);
  }
  EXPECT_EQ(le_motion_create((bad + "no_stitch").c_str(), 1, ""), nullptr);
  EXPECT_THAT(le_motion_last_error(), HasSubstr("stitch.onnx"));
  EXPECT_EQ(le_motion_create(nullptr, 1, ""), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: NULL motion_dir");
  EXPECT_EQ(le_motion_create((dirs() + "/motion").c_str(), 1, "cuda"), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: le_motion: unknown ep 'cuda'");
}

TEST(MotionMeta, KeysDefaultsAndRefusals) {
  const auto meta = le::motion::readMeta(R"({"extra": {"s_bridge": 9}, "nt": 4, "n_src": 4, "n_emo": 1})");
  EXPECT_EQ(meta.sBridge, 9.0f);  // a single nested scalar is still the key's value
  EXPECT_EQ(meta.deltaPitch, 0.0f);
  const std::pair<const char*, const char*> refused[] = {
      {R"({"nt": 4.5, "n_src": 4, "n_emo": 1})", "meta.json: bad nt"},
      {R"({"nt": 0, "n_src": 0, "n_emo": 1})", "meta.json: bad nt"},
      {R"({"nt": "4", "n_src": 4, "n_emo": 1})", "meta.json: bad nt"},
      {R"({"nt": 4, "n_src": 4, "n_emo": 1, "delta_pitch": nan})", "meta.json: bad delta_pitch"},
      {R"({"nt": 4, "n_src": 4, "n_emo": 1, "s_bridge": 1e999})", "meta.json: bad s_bridge"},
      {R"({"nt": 4, "n_src": 4})", "meta.json: missing n_emo"},
      {R"({"a": {"nt": 4}, "b": {"nt": 5}, "n_src": 4, "n_emo": 1})", "meta.json: bad nt"},
  };
  for (const auto& [text, message] : refused) {
    try {
      le::motion::readMeta(text);
      ADD_FAILURE() << text;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), message) << text;
    }
  }
}

TEST_F(MotionTest, NullArgumentsAndLifecycleEdges) {
  EXPECT_EQ(le_motion_nt(nullptr), 0);
  EXPECT_EQ(le_motion_total(nullptr), -1);
  EXPECT_EQ(le_motion_avail(nullptr), 0);
  le_motion_destroy(nullptr);
  le_motion_reset(nullptr, 0, 1, 1);
  le_motion_finish(nullptr);
  float f = 0;
  int i = 0;
  EXPECT_EQ(le_motion_push(nullptr, &f, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");

  le_motion* m = open();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(le_motion_nt(m), 12);
  EXPECT_EQ(le_motion_push(m, nullptr, 0), 0);
  EXPECT_EQ(le_motion_push(m, &f, -1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_pull(m, nullptr, &f, &f, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_pull(m, &i, &f, nullptr, 1), 0);

  le_motion_reset(m, -5, 1, 1);
  EXPECT_EQ(le_motion_push(m, audio.data(), 10 * 640), 1);
  EXPECT_EQ(le_motion_total(m), -1);
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 10);
  EXPECT_EQ(le_motion_push(m, audio.data(), 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_avail(m), 10);
  Rows rows;
  rows.pullFrom(m, 64);
  ASSERT_EQ(rows.idx.size(), 10u);
  EXPECT_EQ(rows.idx[0], 0);  // start -5 clamped
  EXPECT_EQ(rows.idx[1], 1);

  le_motion_reset(m, 1000, -1, 0);
  EXPECT_EQ(le_motion_total(m), -1);
  EXPECT_EQ(le_motion_push(m, audio.data(), 641), 1);  // two frames, the second one partial
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 2);
  Rows back;
  back.pullFrom(m, 64);
  EXPECT_THAT(back.idx, ::testing::ElementsAre(11, 10));  // start clamped to nt - 1

  le_motion_reset(m, 0, 1, 1);
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 0);
  EXPECT_EQ(le_motion_avail(m), 0);
  le_motion_destroy(m);
}

// The rows never depend on how the audio was cut into pushes, on when they
// were pulled, or on the eager value.
TEST_F(MotionTest, RowsDoNotDependOnPushSizesOrEagerness) {
  le_motion* m = open();
  ASSERT_NE(m, nullptr);
  const Rows whole = utterance(m, audio, 2, 1, 1, -1, [&](size_t) { return audio.size(); });
  ASSERT_EQ(whole.idx.size(), (audio.size() + 639) / 640);
  const Rows frames = utterance(m, audio, 2, 1, 1, -1, [](size_t) { return size_t{640}; });
  std::mt19937 rng(3);
  const Rows random = utterance(m, audio, 2, 1, 1, -1, [&](size_t) {
    const unsigned r = rng() % 10;
    return r == 0 ? size_t{0} : r == 1 ? size_t{1} : size_t{rng() % 5000};
  });
  const Rows eager = utterance(m, audio, 2, 1, 1, 3, [](size_t) { return size_t{1280}; });
  for (const Rows* r : {&frames, &random, &eager}) {
    EXPECT_EQ(r->idx, whole.idx);
    EXPECT_EQ(0, std::memcmp(r->xs.data(), whole.xs.data(), whole.xs.size() * sizeof(float)));
    ASSERT_EQ(r->xd.size(), whole.xd.size());
    EXPECT_EQ(0, std::memcmp(r->xd.data(), whole.xd.data(), whole.xd.size() * sizeof(float)));
  }
  le_motion_destroy(m);
}

// Eager runs the front end as audio arrives, but frames still come out a
// whole latent chunk at a time: 70 once 80 frames of items (plus the front
// end's look-ahead) exist.
TEST_F(MotionTest, FramesBecomeReadyChunkByChunk) {
  le_motion* m = open();
  ASSERT_NE(m, nullptr);
  for (int eager : {-1, 3}) {
    le_motion_reset(m, 0, 1, 1);
    le_motion_set_eager(m, eager);
    const int needed = 75 * 640 + 4480;  // the window of the step covering frames 75..79
    ASSERT_EQ(le_motion_push(m, audio.data(), needed - 1), 1);
    EXPECT_EQ(le_motion_avail(m), 0);
    ASSERT_EQ(le_motion_push(m, audio.data() + needed - 1, 1), 1);
    EXPECT_EQ(le_motion_avail(m), 70);
  }
  le_motion_destroy(m);
}

TEST(MotionFrontEnd, LogMelOfASineMatchesADoubleDft) {
  using le::motion::LogMel;
  std::vector<float> window(512), binmat(257 * 80);
  for (int n = 0; n < 512; ++n) window[n] = static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * n / 512));
  std::mt19937 rng(1);
  for (float& b : binmat) b = (rng() % 4 == 0) ? static_cast<float>(rng() % 1000) / 1000.0f : 0.0f;
  std::vector<float> samples(LogMel::kSamples);
  for (int i = 0; i < LogMel::kSamples; ++i)
    samples[i] = static_cast<float>(0.6 * std::sin(2 * M_PI * 440.0 * i / 16000.0 + 0.3) + 0.001 * (i % 7));
  LogMel logMel(window, binmat);
  std::vector<float> mel(20 * 80);
  logMel.compute(samples.data(), mel.data());

  // Reflection padding spelled out, then a plain DFT in double.
  std::vector<double> padded(6992);
  for (int i = 0; i < 6992; ++i) {
    int j = i - 256;
    if (j < 0) j = -j;
    if (j >= LogMel::kSamples) j = 2 * (LogMel::kSamples - 1) - j;
    padded[i] = samples[j];
  }
  for (int t = 0; t < 20; ++t) {
    std::vector<double> ref(80, 0.0);
    for (int k = 0; k < 257; ++k) {
      double re = 0, im = 0;
      for (int n = 0; n < 512; ++n) {
        const double x = padded[320 * t + n] * window[n];
        re += x * std::cos(2 * M_PI * k * n / 512);
        im -= x * std::sin(2 * M_PI * k * n / 512);
      }
      const double mag = std::sqrt(re * re + im * im);
      for (int j = 0; j < 80; ++j) ref[j] += mag * binmat[k * 80 + j];
    }
    for (int j = 0; j < 80; ++j)
      EXPECT_NEAR(mel[t * 80 + j], std::log(ref[j] + 1e-8), 1e-4 + 1e-5 / (ref[j] + 1e-8)) << t << "," << j;
  }
}

void expectMatchesReference(le_motion* m, const std::vector<float>& audio, const std::string& ref, int start,
                            int dir, int loop) {
  const Rows rows = utterance(m, audio, start, dir, loop, -1, [](size_t) { return size_t{3200}; });
  const auto idx = readArray<int32_t>(ref + "/idx.i32");
  const auto xs = readArray<float>(ref + "/xs.f32");
  const auto xd = readArray<float>(ref + "/xd.f32");
  ASSERT_EQ(rows.idx.size(), idx.size());
  ASSERT_EQ(rows.xd.size(), xd.size());
  EXPECT_TRUE(std::equal(idx.begin(), idx.end(), rows.idx.begin()));
  EXPECT_EQ(rows.xs, xs);
  double worst = 0;
  size_t at = 0;
  for (size_t i = 0; i < xd.size(); ++i)
    if (std::fabs(rows.xd[i] - xd[i]) > worst) worst = std::fabs(rows.xd[i] - xd[i]), at = i;
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", worst);
  ::testing::Test::RecordProperty("max_abs_xd_error", text);
  EXPECT_LT(worst, 2e-5) << "frame " << at / 63 << " value " << at % 63;
}

TEST_F(MotionTest, MatchesTheScriptsPipeline) {
  le_motion* m = open();
  ASSERT_NE(m, nullptr);
  expectMatchesReference(m, audio, dirs() + "/ref", 5, 1, 0);  // bouncing at both ends of the clip
  le_motion_destroy(m);
}

TEST_F(MotionTest, CoreMlFallsBackToTheCpuAndDumpsEveryStage) {
  le::test::TempDir tmp;
  le::test::ScopedEnv dump("LE_MOTION_DUMP", (tmp / "dump").c_str());
  le::test::StderrCapture err;
  le_motion* m = le_motion_create((dirs() + "/motion").c_str(), 1, "coreml:ane");
  const std::string log = err.text();
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  EXPECT_THAT(log, HasSubstr("[le] le_motion: CoreML EP unavailable"));
  EXPECT_EQ(log.find('\n'), log.size() - 1) << log;  // one line for all three networks

  const std::vector<float> part(audio.begin(), audio.begin() + 100 * 640);
  const Rows rows = utterance(m, part, 0, 1, 1, -1, [](size_t n) { return n + 6400; });
  ASSERT_EQ(rows.idx.size(), 100u);
  const std::pair<const char*, size_t> files[] = {
      {"mel0.bin", 20 * 80}, {"feat0.bin", 20 * 1024}, {"lmdm0_kp.bin", 80 * 63}, {"lmdm0_aud.bin", 80 * 1024},
      {"lmdm0_pred.bin", 80 * 265}, {"xsla.bin", 100 * 265}, {"xdla.bin", 100 * 63}, {"res_post.bin", 100 * 265},
      {"final.bin", 100 * 127}, {"xs.bin", 100 * 63}, {"xd.bin", 100 * 63}};
  for (const auto& [name, floats] : files)
    EXPECT_EQ(readArray<float>(tmp / "dump" + "/" + name).size(), floats) << name;
  const auto xd = readArray<float>(tmp / "dump/xd.bin");
  EXPECT_EQ(0, std::memcmp(xd.data(), rows.xd.data(), xd.size() * sizeof(float)));
  le_motion_destroy(m);
}

}  // namespace
