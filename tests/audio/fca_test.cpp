// le_fca: the causal centring and context, the whole pipeline against the
// PyTorch reference of the bake, frame counts and bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "audio/le_fca.h"
#include "support/bake_fixtures.h"
#include "le/le.h"
#include "support/test_support.h"

using le::test::bakeFixture;
using le::test::StderrCapture;

namespace {

constexpr int W = le::fca::kWidth;

// Frames whose only non-zero channel is channel 0, so a frame's norm is |v|.
std::vector<float> oneChannel(const std::vector<float>& v) {
  std::vector<float> f(v.size() * W, 0.f);
  for (size_t i = 0; i < v.size(); ++i) f[i * W] = v[i];
  return f;
}

std::vector<float> centred(const std::vector<float>& features) {
  std::vector<float> out(features.size());
  le::fca::centre(features.data(), static_cast<int>(features.size() / W), out.data());
  return out;
}

struct Fca {
  le_fca* f;
  Fca(const std::string& feature, const std::string& head) : f(le_fca_create(feature.c_str(), head.c_str(), 2)) {}
  ~Fca() { le_fca_destroy(f); }
};

std::string w2vPath() { return bakeFixture("tiny") + "/audio/w2v.onnx"; }
std::string headPath() { return bakeFixture("tiny") + "/fca_stream.onnx"; }

std::string createError(const std::string& feature, const std::string& head) {
  Fca f(feature, head);
  return f.f ? "(created)" : le_fca_last_error();
}

}  // namespace

TEST(FcaCentring, FirstSevenFramesCountAndLaterOnesAgainstTheQuantile) {
  // A frame of digital silence among the first seven counts too.
  std::vector<float> c = centred(oneChannel({0.f, 3.f, 5.f}));
  EXPECT_FLOAT_EQ(c[2 * W], 5.f - 8.f / 3.f);
  // Frame 8: the 0.2 quantile sits at position 1.6 of the nine sorted norms.
  // 2.5 lies above 2 + 0.6 * (2.5 - 2) = 2.3 and counts; 1.5 lies below
  // 1.5 + 0.6 * 0.5 = 1.8 and does not.
  c = centred(oneChannel({1, 2, 3, 4, 5, 6, 7, 8, 2.5f}));
  EXPECT_FLOAT_EQ(c[8 * W], 2.5f - 38.5f / 9.f);
  EXPECT_FLOAT_EQ(c[6 * W], 7.f - 4.f);
  c = centred(oneChannel({1, 2, 3, 4, 5, 6, 7, 8, 1.5f}));
  EXPECT_FLOAT_EQ(c[8 * W], 1.5f - 4.5f);
  // Quiet frames among the first seven still count: the threshold is 0.
  c = centred(oneChannel({8, 1, 1, 1, 1, 1, 1}));
  EXPECT_FLOAT_EQ(c[6 * W], 1.f - 14.f / 7.f);
}

TEST(FcaCentring, ContextClampsToTheUtterance) {
  std::vector<float> rows = oneChannel({10, 11, 12});
  std::vector<float> block(le::fca::kCond);
  auto firstValues = [&](int l) {
    le::fca::contextBlock(rows.data(), 3, l, block.data());
    std::vector<float> v;
    for (int o = 0; o < le::fca::kContextFrames; ++o) v.push_back(block[static_cast<size_t>(o) * W]);
    return v;
  };
  EXPECT_EQ(firstValues(0), (std::vector<float>{10, 10, 11, 12, 12, 12, 12}));
  EXPECT_EQ(firstValues(2), (std::vector<float>{11, 12, 12, 12, 12, 12, 12}));
  rows.resize(W);
  le::fca::contextBlock(rows.data(), 1, 0, block.data());
  for (int o = 0; o < le::fca::kContextFrames; ++o) EXPECT_EQ(block[static_cast<size_t>(o) * W], 10.f);
}

TEST(Fca, MatchesPyTorchOnSpeechAndCountsFrames) {
  StderrCapture quiet;
  const auto cases = le::test::loadReferenceCases(bakeFixture("tiny") + ".ref/audio");
  const le::test::RefCaseN* ref = nullptr;
  for (const auto& c : cases)
    if (c.key == "pipe_fca" && c.index == 0) ref = &c;
  ASSERT_NE(ref, nullptr);
  const std::vector<float>& samples = ref->inputs.at(0).data;
  const std::vector<float>& m = ref->outputs.at(0).data;
  const int frames = static_cast<int>(ref->outputs[0].shape[0]);

  Fca f(w2vPath(), headPath());
  ASSERT_NE(f.f, nullptr) << le_fca_last_error();
  std::vector<float> out(static_cast<size_t>(frames) * 63, -7.f);
  ASSERT_EQ(le_fca_deltas(f.f, samples.data(), static_cast<int>(samples.size()), out.data(), frames), frames)
      << le_fca_last_error();
  // The clip opens with digital silence, whose features ONNX Runtime gives
  // as exact zeros and PyTorch as 2e-8 of noise. Up to the first spoken
  // frame the rows agree to 1e-4. From frame 7 on the loud-frame test of
  // those silent frames compares norms with a quantile of equal norms, which
  // the reference decides by its noise (it counts frame 7, exact zeros
  // cannot), so its running mean divides by one frame more from speech on.
  int firstLoud = 0;
  auto rowMax = [](const std::vector<float>& rows, int f) {
    float v = 0.f;
    for (int k = 0; k < 63; ++k) v = std::max(v, std::fabs(rows[static_cast<size_t>(f) * 63 + k]));
    return v;
  };
  while (firstLoud < frames && rowMax(m, firstLoud) < 1e-6f && rowMax(out, firstLoud) < 1e-6f) ++firstLoud;
  ASSERT_GT(firstLoud, 7);
  ASSERT_LT(firstLoud, frames);
  float before = 0.f, after = 0.f;
  for (size_t i = 0; i < out.size(); ++i) {
    float& worst = i < static_cast<size_t>(firstLoud) * 63 ? before : after;
    worst = std::max(worst, std::fabs(out[i] - m[i]));
  }
  EXPECT_LE(before, 1e-4f);
  EXPECT_LE(after, 5e-3f);

  // One row short: -1, nothing written, no message.
  std::vector<float> small(static_cast<size_t>(frames - 1) * 63, -7.f);
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), static_cast<int>(samples.size()), small.data(), frames - 1), -1);
  EXPECT_STREQ(le_fca_last_error(), "");
  for (float v : small) ASSERT_EQ(v, -7.f);

  // Frame counts round up.
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 640, out.data(), frames), 1);
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 641, out.data(), frames), 2);
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 641, out.data(), 1), -1);
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 0, out.data(), 0), 0);
  EXPECT_EQ(le_fca_deltas(f.f, nullptr, -5, nullptr, 0), 0);
}

// The reference clip fits one feature window; on a longer one, every row up
// to five frames (the context's look-ahead) before the first frame the audio
// cut changes comes out the same with or without the audio after the cut.
TEST(Fca, RowsAcrossFeatureWindowsDependOnlyOnTheirOwnAudio) {
  StderrCapture quiet;
  const std::string bytes = le::test::readWhole(le::test::bakeFixturesRoot() + "/speech/long.f32");
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  const int frames = le::fca::framesOf(static_cast<int>(samples.size()));
  ASSERT_GT(frames, 400);
  Fca f(w2vPath(), headPath());
  ASSERT_NE(f.f, nullptr) << le_fca_last_error();
  std::vector<float> whole(static_cast<size_t>(frames) * 63), cut(whole.size());
  ASSERT_EQ(le_fca_deltas(f.f, samples.data(), static_cast<int>(samples.size()), whole.data(), frames), frames);
  // 300 frames: the windows from frames 0 and 100 see the same audio as
  // before, the one from frame 200 (which gives frames 250 on) does not.
  ASSERT_EQ(le_fca_deltas(f.f, samples.data(), 300 * 640, cut.data(), frames), 300);
  for (size_t i = 0; i < 245 * 63; ++i) ASSERT_EQ(cut[i], whole[i]) << "row " << i / 63;
  // The later windows give rows too: the lips move past the first window.
  float later = 0.f;
  for (size_t i = 250 * 63; i < whole.size(); ++i) later = std::max(later, std::fabs(whole[i]));
  EXPECT_GT(later, 0.01f);
}

TEST(Fca, BadInputFailsWithAMessage) {
  StderrCapture quiet;
  EXPECT_EQ(createError("", headPath()).rfind("le_fca_create: cannot open", 0), 0u);
  EXPECT_EQ(le_fca_create(nullptr, "x", 1), nullptr);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_create: NULL feature_model/head_model");
  // Models swapped: neither declares the tensors its role needs.
  const std::string swapped = createError(headPath(), headPath());
  EXPECT_EQ(swapped.rfind("le_fca_create: feature model ", 0), 0u) << swapped;
  EXPECT_NE(swapped.find("REFUSING"), std::string::npos);
  const std::string head = createError(w2vPath(), w2vPath());
  EXPECT_EQ(head.rfind("le_fca_create: head ", 0), 0u) << head;
  EXPECT_NE(head.find("expected (cond, h, prev) -> (m, hn)"), std::string::npos) << head;

  Fca f(w2vPath(), headPath());
  ASSERT_NE(f.f, nullptr) << le_fca_last_error();
  std::vector<float> samples(2000, 0.01f), out(4 * 63, -7.f);
  EXPECT_EQ(le_fca_deltas(nullptr, samples.data(), 2000, out.data(), 4), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL fca");
  EXPECT_EQ(le_fca_deltas(f.f, nullptr, 2000, out.data(), 4), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL samples/out");
  EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 2000, nullptr, 4), -1);

  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    samples[1500] = bad;
    EXPECT_EQ(le_fca_deltas(f.f, samples.data(), 2000, out.data(), 4), -1);
    EXPECT_EQ(std::string(le_fca_last_error()).rfind("le_fca_deltas: sample 1500 is NaN or infinite", 0), 0u)
        << le_fca_last_error();
    for (float v : out) ASSERT_EQ(v, -7.f);
  }
  // Huge but finite samples are only loud: the window is normalised.
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = (i % 7 < 3 ? 3e38f : -3e38f);
  ASSERT_EQ(le_fca_deltas(f.f, samples.data(), 2000, out.data(), 4), 4) << le_fca_last_error();
  for (float v : out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_STREQ(le_fca_last_error(), "");
}
