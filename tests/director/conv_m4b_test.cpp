// The fp16 engine against ONNX Runtime and PyTorch on the baked m4b director.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/bake_fixtures.h"
#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "director/le_renderer.h"
#include "support/test_support.h"
#include "director/le_conv.h"
#include "director/ort_harness.h"
#include "paste/le_simd.h"

namespace {

// fp16 activations through fifteen convolutions: the engine must stay within
// this of fp32 ONNX Runtime on every pixel of the 0..1 output.
constexpr float kTolerance = 5e-3f;

struct Frames {
  std::vector<uint16_t> pooled, source;
  std::vector<float> kpSource, kpDriving;
  int n = 0;
};

// Renders on the engine; the inputs are the graph's fp32 feeds, which hold
// fp16-exact values for the identity rows.
std::vector<float> renderEngine(le::ConvBackend& engine, const le::test::Feeds& feeds, int n) {
  const auto& pooled = feeds.at("pooled64").data;
  const auto& source = feeds.at("P_rgb").data;
  std::vector<uint16_t> p16(pooled.size()), s16(source.size());
  le::simd::f32ToF16(pooled.data(), p16.data(), pooled.size());
  le::simd::f32ToF16(source.data(), s16.data(), source.size());
  std::vector<const uint16_t*> pRows, sRows;
  for (int j = 0; j < n; ++j) {
    pRows.push_back(p16.data() + j * 65536);
    sRows.push_back(s16.data() + static_cast<size_t>(j) * 3 * 512 * 512);
  }
  std::vector<float> out(static_cast<size_t>(n) * 3 * 512 * 512);
  engine.render(pRows.data(), sRows.data(), feeds.at("kp_source").data.data(), feeds.at("kp_driving").data.data(),
                n, out.data());
  return out;
}

float worst(const std::vector<float>& a, const std::vector<float>& b, size_t n) {
  float w = 0.0f;
  for (size_t i = 0; i < n; ++i) w = std::max(w, std::fabs(a[i] - b[i]));
  return w;
}

TEST(ConvM4b, MatchesOnnxRuntimeAndPyTorchOnTheBakedReferences) {
  const std::string bundle = le::test::bakeFixture("tiny_m4b");
  const auto cases = le::test::loadReferences(bundle + ".ref");
  ASSERT_FALSE(cases.empty());
  for (const std::string key : {"b1", "b4"}) {
    const std::string path = bundle + "/model_" + key + ".onnx";
    ASSERT_TRUE(le::ConvBackend::graphSupported(path));
    auto engine = le::ConvBackend::create(path, 2);
    Ort::Session session = le::test::makeSession(le::test::readModel(path), 2);
    for (const auto& c : cases) {
      if (c.key != key) continue;
      le::test::Feeds feeds;
      for (const auto& t : c.inputs) feeds[t.name] = {t.shape, t.data};
      const int n = static_cast<int>(c.inputs[0].shape[0]);
      const le::test::Tensor ort = le::test::run(session, feeds, "rgb");
      const std::vector<float> mine = renderEngine(*engine, feeds, n);
      const float vsOrt = worst(mine, ort.data, mine.size());
      const float vsTorch = worst(mine, c.output.data, mine.size());
      std::printf("[ m4b ] %s case %d: engine vs ORT %.5f, vs PyTorch %.5f, ORT vs PyTorch %.6f\n", key.c_str(),
                  c.index, vsOrt, vsTorch, worst(ort.data, c.output.data, mine.size()));
      EXPECT_LT(vsOrt, kTolerance) << key << " case " << c.index;
      EXPECT_LT(vsTorch, kTolerance) << key << " case " << c.index;
      // A short batch renders the same first frame.
      if (n > 1) {
        const std::vector<float> one = renderEngine(*engine, feeds, 1);
        EXPECT_EQ(worst(one, mine, one.size()), 0.0f);
      }
    }
  }
}

TEST(ConvM4b, MatchesOnnxRuntimeOnRandomInputs) {
  const std::string path = le::test::bakeFixture("tiny_m4b") + "/model_b1.onnx";
  auto engine = le::ConvBackend::create(path, 2);
  Ort::Session session = le::test::makeSession(le::test::readModel(path), 2);
  for (uint32_t seed : {1u, 2u}) {
    le::test::Feeds feeds = le::test::directorFeeds(le::test::readModel(path), seed);
    // The identity rows the engine reads are fp16.
    for (const char* name : {"pooled64", "P_rgb"})
      for (float& v : feeds[name].data) v = le::halfToFloat(le::f32ToF16(v));
    const le::test::Tensor ort = le::test::run(session, feeds, "rgb");
    const std::vector<float> mine = renderEngine(*engine, feeds, 1);
    const float w = worst(mine, ort.data, mine.size());
    std::printf("[ m4b ] random seed %u: engine vs ORT %.5f\n", seed, w);
    EXPECT_LT(w, kTolerance);
  }
}

// The baked director cut short anywhere: refused with the wire reader's
// message, never half-loaded.
TEST(ConvM4b, TruncatedDirectorIsRefused) {
  const std::string bytes = le::test::readWhole(le::test::bakeFixture("tiny_m4b") + "/model_b1.onnx");
  le::test::TempDir dir;
  for (size_t keep : {size_t{64}, bytes.size() / 2, bytes.size() - 1}) {
    const std::string path = dir / ("cut_" + std::to_string(keep) + ".onnx");
    le::test::writeFile(path, bytes.substr(0, keep));
    EXPECT_FALSE(le::ConvBackend::graphSupported(path)) << keep;
    try {
      le::ConvBackend::create(path, 1);
      ADD_FAILURE() << "created from " << keep << " bytes";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "onnx: truncated") << keep;
    }
  }
}

// The renderer picks the engine for "neon" and falls back to ORT with its line
// for a graph the engine refuses.
TEST(ConvM4b, RendererBackendChoice) {
  const le::Manifest manifest = le::loadManifest(le::test::bakeFixture("tiny_m4b"));
  le::Identity identity(manifest);
  const auto cases = le::test::loadReferences(le::test::bakeFixture("tiny_m4b") + ".ref");
  {
    le::test::ScopedEnv env("LE_CONV_BACKEND", "neon");
    le::Renderer r(manifest, identity, "b1", 2, "");
    EXPECT_STREQ(r.backend(), "neon");
    EXPECT_EQ(r.ep(), "neon");
    EXPECT_EQ(r.batch(), 1);
    EXPECT_THROW(r.render(nullptr, nullptr, nullptr, 2), std::runtime_error);
    // The same call through the ORT renderer is the reference.
    const int si[1] = {0};
    const auto& ks = cases[0].inputs[3].data;
    const auto& kd = cases[0].inputs[2].data;
    const float* a = r.render(si, ks.data(), kd.data(), 1);
    std::vector<float> engineOut(a, a + 3 * 512 * 512);
    le::test::ScopedEnv off("LE_CONV_BACKEND", nullptr);
    le::Renderer plain(manifest, identity, "b1", 2, "");
    EXPECT_STREQ(plain.backend(), "ort");
    const float* b = plain.render(si, ks.data(), kd.data(), 1);
    EXPECT_LT(worst(engineOut, std::vector<float>(b, b + engineOut.size()), engineOut.size()), kTolerance);
  }
}

}  // namespace
