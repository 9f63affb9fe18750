// The fp16 engine against ONNX Runtime and PyTorch on the baked m4b director.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/bake_fixtures.h"
#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "director/le_renderer.h"
#include "support/test_support.h"
#include "director/le_conv.h"
#include "director/onnx_wire.h"
#include "director/ort_harness.h"
#include "paste/le_simd.h"

namespace {

// fp16 activations through fifteen convolutions: the engine must stay within
// this of fp32 ONNX Runtime on every pixel of the 0..1 output.
constexpr float kTolerance = 5e-3f;
// Each intermediate, relative to the larger of 1 and its largest magnitude.
constexpr float kIntermediateTolerance = 5e-3f;

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

// Every intermediate the engine dumps against ONNX Runtime's value of the same
// tensor, exposed as an extra graph output of a copy of the baked director.
// Convolution outputs are NHWC in the dump and NCHW in the graph; the tile
// tensors hold the six tiles one after another; "mask_conv" is the mask and
// occlusion logits side by side.
struct DumpedTensor {
  const char* dump;
  std::vector<const char*> graph;  // concatenated along channels
  bool nhwc;
};

std::vector<float> toNhwc(const std::vector<const le::test::Tensor*>& parts) {
  const int64_t n = parts[0]->shape[0], h = parts[0]->shape[2], w = parts[0]->shape[3];
  int64_t channels = 0;
  for (const auto* t : parts) channels += t->shape[1];
  std::vector<float> out(static_cast<size_t>(n * h * w * channels));
  int64_t offset = 0;
  for (const auto* t : parts) {
    const int64_t c = t->shape[1];
    for (int64_t b = 0; b < n; ++b)
      for (int64_t k = 0; k < c; ++k)
        for (int64_t i = 0; i < h * w; ++i)
          out[static_cast<size_t>((b * h * w + i) * channels + offset + k)] =
              t->data[static_cast<size_t>((b * c + k) * h * w + i)];
    offset += c;
  }
  return out;
}

TEST(ConvM4b, EveryDumpedIntermediateMatchesOnnxRuntime) {
  const std::vector<DumpedTensor> tensors = {
      {"pre_relu", {"/Relu_output_0"}, true},
      {"e0_relu", {"/e0/Relu_output_0"}, true},
      {"e1_relu", {"/e1/Relu_output_0"}, true},
      {"e2_relu", {"/e2/Relu_output_0"}, true},
      {"d1_relu", {"/d1/Relu_output_0"}, true},
      {"d0_relu", {"/d0/Relu_output_0"}, true},
      {"ref_relu", {"/ref/Relu_output_0"}, true},
      {"mask_conv", {"/mask/Conv_output_0", "/occ/Conv_output_0"}, true},
      {"occ_sig", {"/Sigmoid_output_0"}, false},
      {"grid_add", {"/Add_output_0"}, false},
      {"w64", {"/Softmax_1_output_0"}, false},
      {"basisimg", {"/Reshape_5_output_0"}, false},
      {"occ512", {"/Resize_4_output_0"}, false},
      {"warped", {"/GridSample_output_0"}, false},
      {"corr0_relu", {"/corr/corr.0/Relu_output_0"}, true},
      {"corr1_relu", {"/corr/corr.1/Relu_output_0"}, true},
      {"corr2_conv", {"/corr/corr.2/Conv_output_0"}, true},
      {"refined", {"/Add_2_output_0"}, false},
      {"tile2_relu", {"/tile/tile.2/Relu_output_0"}, true},
      {"tile3_conv", {"/tile/tile.3/Conv_output_0"}, true},
      {"rgb", {"rgb"}, false},
  };
  const std::string path = le::test::bakeFixture("tiny_m4b") + "/model_b1.onnx";
  le::Bytes model = le::test::readModel(path);
  std::vector<std::string> outputs;
  for (const DumpedTensor& t : tensors)
    for (const char* g : t.graph) {
      if (std::string(g) == "rgb") continue;
      const std::string name = g;
      // Extents left symbolic, but of the tensor's rank (w64 is [1, 64]).
      const int64_t symbolic[4] = {-1, -1, -1, -1};
      le::GsGraphEdit edit;
      edit.valueName = &name;
      edit.dims = symbolic;
      edit.dimsCount = std::string(t.dump) == "w64" ? 2 : 4;
      edit.targetField = le::onnx_field::kGraphOutput;
      le::Bytes widened;
      le::gsRebuild(model, edit, widened);
      model.swap(widened);
    }
  for (const DumpedTensor& t : tensors)
    for (const char* g : t.graph) outputs.emplace_back(g);
  Ort::Session session = le::test::makeSession(model, 2);
  le::test::Feeds feeds = le::test::directorFeeds(model, 3);
  for (const char* name : {"pooled64", "P_rgb"})
    for (float& v : feeds[name].data) v = le::halfToFloat(le::f32ToF16(v));
  const std::vector<le::test::Tensor> ort = le::test::run(session, feeds, outputs);

  le::test::TempDir dir;
  {
    le::test::ScopedEnv dump("LE_CONV_DUMP", dir.path().c_str());
    auto engine = le::ConvBackend::create(path, 2);
    renderEngine(*engine, feeds, 1);
  }
  size_t at = 0;
  for (const DumpedTensor& t : tensors) {
    std::vector<const le::test::Tensor*> parts;
    for (size_t k = 0; k < t.graph.size(); ++k) parts.push_back(&ort[at++]);
    const std::vector<float> expected = t.nhwc ? toNhwc(parts) : parts[0]->data;
    const std::string bytes = le::test::readWhole(dir / (std::string(t.dump) + ".f32"));
    ASSERT_EQ(bytes.size(), expected.size() * sizeof(float)) << t.dump;
    std::vector<float> mine(expected.size());
    std::memcpy(mine.data(), bytes.data(), bytes.size());
    // fp16 storage between layers: the error grows with the tensor's range.
    float range = 1.0f;
    for (float v : expected) range = std::max(range, std::fabs(v));
    const float w = worst(mine, expected, expected.size());
    std::printf("[ m4b ] %-10s engine vs ORT %.5f (range %.2f, %.2e of it)\n", t.dump, w, range, w / range);
    EXPECT_LE(w, kIntermediateTolerance * range) << t.dump;
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
