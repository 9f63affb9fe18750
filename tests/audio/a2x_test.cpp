// le_a2x over the baked tiny bundle, on one feature path per program: the
// short-window pair (the bake ships it beside the legacy model) or, built
// with LE_A2X_TEST_LEGACY, the legacy 8-second window (the legacy model alone
// in a directory of its own). The feature sessions are process-wide, so the
// path is fixed before the first stream opens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/bake_fixtures.h"
#include "le/le_a2x.h"
#include "support/test_support.h"

namespace {

constexpr int kRow = 63;
constexpr int kHop = 640;

std::string tiny() { return le::test::bakeFixture("tiny"); }

#ifdef LE_A2X_TEST_LEGACY
constexpr bool kShortPath = false;
#else
constexpr bool kShortPath = true;
#endif

// Points W2V_ONNX at the bundle's feature model (for the legacy program, at a
// copy without the short-window pair beside it), once per process.
void selectFeaturePath() {
  static bool done = false;
  if (done) return;
  done = true;
  std::string w2v = tiny() + "/audio/w2v.onnx";
  if (!kShortPath) {
    const char* tmp = std::getenv("LE_TEST_TMP");
    const std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/a2x_legacy_" + std::to_string(getpid());
    std::string cmd = "mkdir -p '" + dir + "' && cp '" + w2v + "' '" + dir + "/w2v.onnx'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot stage the legacy model");
    w2v = dir + "/w2v.onnx";
  }
  setenv("W2V_ONNX", w2v.c_str(), 1);
}

std::vector<float> readF32(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<float> v(static_cast<size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  return v;
}

// The first utterance of the speech fixture (16 kHz mono float32).
std::vector<float> speech() {
  static std::vector<float> s = readF32(le::test::bakeFixturesRoot() + "/speech/fox.f32");
  return s;
}

struct Rows {
  std::vector<int> idx;
  std::vector<float> xs, xd;
};

// Pulls everything available into `rows` (asking avail first, as a session does).
void drain(le_a2x* a, Rows& rows) {
  int idx[16];
  float xs[16 * kRow], xd[16 * kRow];
  while (le_a2x_avail(a) > 0) {
    const int got = le_a2x_pull(a, idx, xs, xd, 16);
    ASSERT_GT(got, 0) << le_a2x_last_error();
    rows.idx.insert(rows.idx.end(), idx, idx + got);
    rows.xs.insert(rows.xs.end(), xs, xs + got * kRow);
    rows.xd.insert(rows.xd.end(), xd, xd + got * kRow);
  }
}

// Streams `audio` cut at `cuts` (piece sizes, cycled), pulling after every push.
Rows stream(le_a2x* a, const std::vector<float>& audio, const std::vector<int>& cuts, bool pullAlong) {
  le_a2x_reset(a, 0, 1, 1);
  Rows rows;
  size_t at = 0, c = 0;
  while (at < audio.size()) {
    const int n = static_cast<int>(std::min<size_t>(cuts[c++ % cuts.size()], audio.size() - at));
    EXPECT_EQ(le_a2x_push(a, audio.data() + at, n), 1);
    at += n;
    if (pullAlong) drain(a, rows);
  }
  le_a2x_finish(a);
  drain(a, rows);
  return rows;
}

class A2x : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    selectFeaturePath();
    a_ = le_a2x_create(tiny().c_str(), 1);
    ASSERT_NE(a_, nullptr) << le_a2x_last_error();
  }
  static void TearDownTestSuite() {
    le_a2x_destroy(a_);
    a_ = nullptr;
  }
  static le_a2x* a_;
};
le_a2x* A2x::a_ = nullptr;

TEST_F(A2x, PulledRowsDoNotDependOnHowTheAudioWasPushed) {
  const std::vector<float> audio = speech();
  ASSERT_GT(audio.size(), 16000u);
  const Rows whole = stream(a_, audio, {static_cast<int>(audio.size())}, false);
  EXPECT_EQ(static_cast<int>(whole.idx.size()), (static_cast<int>(audio.size()) + kHop - 1) / kHop);
  std::mt19937 rng(7);
  std::vector<int> random;
  for (int i = 0; i < 64; ++i) random.push_back(i % 9 == 0 ? 0 : i % 9 == 1 ? 1 : static_cast<int>(rng() % 3000));
  // Pulling along the way releases rows as blocks complete; on the legacy
  // path a row's 8-second window then holds less audio, so only pulls after
  // the last push compare bit for bit there.
  for (bool along : {false, kShortPath}) {
    for (const auto& cuts : {std::vector<int>{kHop}, random}) {
      const Rows r = stream(a_, audio, cuts, along);
      ASSERT_EQ(r.idx, whole.idx);
      EXPECT_EQ(0, std::memcmp(r.xd.data(), whole.xd.data(), r.xd.size() * sizeof(float)))
          << "pieces of " << cuts[0] << (along ? ", pulling along" : "");
    }
  }
  if (!kShortPath) {
    const Rows r = stream(a_, audio, {kHop}, true);
    ASSERT_EQ(r.idx, whole.idx);
    float worst = 0;
    for (size_t i = 0; i < r.xd.size(); ++i) worst = std::max(worst, std::fabs(r.xd[i] - whole.xd[i]));
    std::printf("legacy path, pulling after every 640-sample push vs after the last: worst |dxd| %.3g\n", worst);
    EXPECT_LT(worst, 0.05f);
  }
}

TEST_F(A2x, StreamMatchesThePyTorchPipeline) {
  const std::string key = kShortPath ? "pipe_a2x_short" : "pipe_a2x_legacy";
  for (const le::test::RefCase& c : le::test::loadReferences(tiny() + ".ref/audio")) {
    if (c.key != key) continue;
    const Rows r = stream(a_, c.inputs.at(0).data, {kHop}, true);
    ASSERT_EQ(r.xd.size(), c.output.data.size());  // the last output of a case is xd
    float worst = 0;
    for (size_t i = 0; i < r.xd.size(); ++i) worst = std::max(worst, std::fabs(r.xd[i] - c.output.data[i]));
    std::printf("%s: streamed rows vs PyTorch, worst difference %.3g\n", key.c_str(), worst);
    EXPECT_LE(worst, 1e-4f);
    return;
  }
  FAIL() << "no reference " << key;
}

TEST_F(A2x, FramesAreReleasedInWholeBlocksUntilFinish) {
  le_a2x_reset(a_, 0, 1, 1);
  std::vector<float> audio = speech();
  audio.resize(39 * kHop);
  EXPECT_EQ(le_a2x_total(a_), -1);
  ASSERT_EQ(le_a2x_push(a_, audio.data(), static_cast<int>(audio.size())), 1);
  const int before = le_a2x_avail(a_);
  const float one = 0.f;
  ASSERT_EQ(le_a2x_push(a_, &one, 1), 1);  // 39 frames and one sample: the fifth block counts
  const int after = le_a2x_avail(a_);
  EXPECT_EQ(after - before, 8);
  EXPECT_EQ(le_a2x_total(a_), -1);
  le_a2x_finish(a_);
  EXPECT_EQ(le_a2x_total(a_), 40);
  Rows rows;
  drain(a_, rows);
  EXPECT_EQ(rows.idx.size(), 40u);
}

TEST_F(A2x, DriverIndicesWalkTheClipInLoopAndBounceOrder) {
  const int nt = le_a2x_nt(a_);
  ASSERT_EQ(nt, 8);
  const std::vector<float> silence(20 * kHop, 0.f);
  auto indices = [&](int start, int dir, int loop) {
    le_a2x_reset(a_, start, dir, loop);
    le_a2x_push(a_, silence.data(), static_cast<int>(silence.size()));
    le_a2x_finish(a_);
    Rows r;
    drain(a_, r);
    return r.idx;
  };
  EXPECT_EQ(indices(0, 1, 0), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(indices(0, -1, 1), (std::vector<int>{0, 7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5, 4, 3, 2, 1, 0, 7, 6, 5}));
  // start -1 continues where the last utterance left the driver: 20 frames
  // back from 0 end on 5, so the next is 4; 20 more back from 4 end on 1.
  EXPECT_EQ(indices(-1, -1, 1)[0], 4);
  EXPECT_EQ(indices(-1, 1, 1)[0], 0);
}

TEST_F(A2x, WholeUtteranceDeltasMatchTheStreamWhereTheGeometryAllows) {
  const std::vector<float> audio = speech();
  const int F = (static_cast<int>(audio.size()) + kHop - 1) / kHop;
  std::vector<float> out(static_cast<size_t>(F) * kRow, 7.f);
  EXPECT_EQ(le_a2x_deltas(a_, audio.data(), static_cast<int>(audio.size()), out.data(), F - 1), -2);
  EXPECT_EQ(out[0], 7.f);
  EXPECT_EQ(le_a2x_deltas(a_, audio.data(), 0, out.data(), F), 0);
  ASSERT_EQ(le_a2x_deltas(a_, audio.data(), static_cast<int>(audio.size()), out.data(), F), F);
  std::vector<float> wn(F);
  ASSERT_EQ(le_a2x_deltas_wn(a_, audio.data(), static_cast<int>(audio.size()), out.data(), wn.data(), F), F);

  const Rows streamed = stream(a_, audio, {static_cast<int>(audio.size())}, false);
  ASSERT_EQ(static_cast<int>(streamed.idx.size()), F);
  float worst = 0;
  for (int f = 0; f < F; ++f)
    for (int k = 0; k < kRow; ++k)
      worst = std::max(worst, std::fabs(streamed.xd[f * kRow + k] - streamed.xs[f * kRow + k] - out[f * kRow + k]));
  std::printf("%s path: streamed vs whole-utterance deltas, worst difference %.3g\n",
              kShortPath ? "short-window" : "legacy", worst);
  // Both read the legacy features on the legacy path; the short-window path
  // reproduces them up to its half-precision steps.
  EXPECT_LT(worst, kShortPath ? 0.05f : 1e-4f);
}

TEST_F(A2x, LipsOpenWithVoicedSpeechAndCloseInSilence) {
  std::vector<float> audio(25 * kHop, 0.f);  // one second of silence first
  const std::vector<float> s = speech();
  audio.insert(audio.end(), s.begin(), s.end());
  const Rows r = stream(a_, audio, {4000}, true);
  // Voiced frames by the speech's own energy; lip opening = lower inner lip
  // y minus upper inner lip y (keypoints 15 and 14).
  double voiced = 0, quiet = 0;
  int nv = 0, nq = 0;
  for (size_t f = 0; f < r.idx.size(); ++f) {
    double e = 0;
    for (size_t i = f * kHop; i < std::min(audio.size(), (f + 1) * kHop); ++i) e += audio[i] * audio[i];
    const float open = r.xd[f * kRow + 15 * 3 + 1] - r.xd[f * kRow + 14 * 3 + 1];
    const float rest = r.xs[f * kRow + 15 * 3 + 1] - r.xs[f * kRow + 14 * 3 + 1];
    if (e / kHop > 1e-3) voiced += open - rest, ++nv;
    else if (e / kHop < 1e-6) quiet += open - rest, ++nq;
  }
  ASSERT_GT(nv, 10);
  ASSERT_GT(nq, 10);
  voiced /= nv;
  quiet /= nq;
  std::printf("mean extra lip opening: voiced %.4f over %d frames, silence %.4f over %d frames\n", voiced, nv,
              quiet, nq);
  EXPECT_GT(voiced, 0.01);
  EXPECT_GT(voiced, 3 * std::fabs(quiet));
}

TEST_F(A2x, BadArgumentsAndSamplesAreRefusedAndLeaveTheStreamUsable) {
  le_a2x_reset(a_, 0, 1, 1);
  float xs[4 * kRow], xd[4 * kRow];
  EXPECT_EQ(le_a2x_push(nullptr, xs, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_push: bad args");
  EXPECT_EQ(le_a2x_push(a_, nullptr, 4), 0);
  EXPECT_EQ(le_a2x_push(a_, nullptr, 0), 1);
  EXPECT_EQ(le_a2x_push(a_, xs, -3), 1);
  EXPECT_EQ(le_a2x_pull(a_, nullptr, xs, xd, 4), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_pull: bad args");
  EXPECT_EQ(le_a2x_total(nullptr), -1);
  EXPECT_EQ(le_a2x_nt(nullptr), 0);
  EXPECT_EQ(le_a2x_avail(nullptr), 0);
  le_a2x_destroy(nullptr);

  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    std::vector<float> samples(kHop, 0.1f);
    samples[100] = bad;
    EXPECT_EQ(le_a2x_push(a_, samples.data(), kHop), 0);
    EXPECT_NE(std::string(le_a2x_last_error()).find("not finite"), std::string::npos);
  }
  // Huge but finite samples are normalised away; the rows stay finite.
  std::vector<float> loud(30 * kHop);
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i % 50 < 25 ? 1e30f : -1e30f);
  ASSERT_EQ(le_a2x_push(a_, loud.data(), static_cast<int>(loud.size())), 1);
  le_a2x_finish(a_);
  Rows r;
  drain(a_, r);
  ASSERT_EQ(r.idx.size(), 30u);
  for (float v : r.xd) ASSERT_TRUE(std::isfinite(v));
}

// A copy of the tiny bundle's audio members, to damage one at a time.
class A2xBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    selectFeaturePath();
    const std::string cmd = "cp -r '" + tiny() + "/.' '" + dir_.path() + "/'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string createError() {
    le_a2x* a = le_a2x_create(dir_.path().c_str(), 1);
    const std::string error = le_a2x_last_error();
    le_a2x_destroy(a);
    return a ? "" : error;
  }
  le::test::TempDir dir_;
};

TEST_F(A2xBundle, CreationRefusesMissingAndDamagedMembers) {
  le::test::writeFile(dir_ / "a2x_meta.json", "{\"h\": 32, \"left\": 4, \"layers\": 2}");
  EXPECT_EQ(createError(), "le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  std::remove((dir_ / "a2x_meta.json").c_str());
  EXPECT_EQ(createError(), "le_a2x_create: a2x_meta.json missing in " + dir_.path());

  SetUp();
  le::test::writeFile(dir_ / "a2x_norm.f32", std::string(125 * 4, '\0'));
  EXPECT_EQ(createError(), "le_a2x_create: pos/norm/xs_target read failed");

  SetUp();
  {
    le::test::ScopedEnv unset("W2V_ONNX", nullptr);
    EXPECT_EQ(createError(), "le_a2x_create: $W2V_ONNX not set");
  }
  // The encoder in the decoder's place: the decoder's inputs are missing.
  const std::string cmd = "cp '" + (dir_ / "a2x_enc_stream.onnx") + "' '" + (dir_ / "a2x_dec.onnx") + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_NE(createError().find("a2x_dec.onnx: no input \"ctx_t\""), std::string::npos);
}

TEST_F(A2xBundle, AnEncoderWithoutWidthIsServedAsTheGraphSays) {
  const std::string nown = tiny() + ".ref/a2x/a2x_enc_stream_nown.onnx";
  const std::string cmd = "cp '" + nown + "' '" + (dir_ / "a2x_enc_stream.onnx") + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  le::test::StderrCapture err;
  le_a2x* a = le_a2x_create(dir_.path().c_str(), 1);
  const std::string log = err.text();
  ASSERT_NE(a, nullptr) << le_a2x_last_error();
  EXPECT_NE(log.find("but the encoder declares 1 output(s)"), std::string::npos) << log;
  EXPECT_EQ(le_a2x_width(a), 0);
  std::vector<float> audio(3 * kHop, 0.f), out(3 * kRow), wn(3);
  EXPECT_EQ(le_a2x_deltas_wn(a, audio.data(), static_cast<int>(audio.size()), out.data(), wn.data(), 3), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  le_a2x_destroy(a);
}

}  // namespace
