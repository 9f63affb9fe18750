// The Renderer against the PyTorch references baked beside the demo bundles,
// with every load-time path it can take, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_identity.h"
#include "director/graph_rewrites.h"
#include "director/le_renderer.h"
#include "director/onnx_builder.h"
#include "paste/le_simd.h"
#include "support/bake_fixtures.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::test::bakeFixture;
using le::test::RefCase;
using le::test::ScopedEnv;
using le::test::StderrCapture;
using le::test::TempDir;

namespace {

constexpr float kTolerance = 1e-4f;

struct Loaded {
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
  explicit Loaded(const std::string& dir)
      : manifest(le::loadManifest(dir)), identity(std::make_unique<le::Identity>(manifest)) {}
};

// The identity row whose pooled features the reference fed (references are
// cut from identity rows; the bake does not name the row).
int identityRowOf(le::Identity& id, const float* pooled) {
  std::vector<float> row(64 * 32 * 32);
  for (int i = 0; i < id.NT; ++i) {
    le::simd::f16ToF32(id.pooled64(i), row.data(), row.size());
    if (std::equal(row.begin(), row.end(), pooled)) return i;
  }
  return -1;
}

const le::test::RefTensor& input(const RefCase& c, const std::string& a, const std::string& b) {
  for (const auto& t : c.inputs)
    if (t.name == a || t.name == b) return t;
  throw std::runtime_error("reference lacks input " + a);
}

// Renders every reference case of `key` and returns the worst difference.
float worstAgainstReferences(const std::string& variant, const std::string& key) {
  Loaded b(bakeFixture(variant));
  le::Renderer r(b.manifest, *b.identity, key, 2, "");
  float worst = 0;
  int cases = 0;
  for (const RefCase& c : le::test::loadReferences(bakeFixture(variant) + ".ref")) {
    if (c.key != key) continue;
    const auto& pooled = input(c, "pooled64", "pooled");
    const auto& ks = input(c, "kp_source", "ks");
    const auto& kd = input(c, "kp_driving", "kd");
    const int n = static_cast<int>(pooled.shape[0]);
    std::vector<int> si(n);
    for (int j = 0; j < n; ++j) {
      si[j] = identityRowOf(*b.identity, pooled.data.data() + j * 65536);
      EXPECT_GE(si[j], 0) << "reference " << c.index << " frame " << j << " is no identity row";
    }
    if (std::count(si.begin(), si.end(), -1)) continue;
    const float* out = r.render(si.data(), ks.data.data(), kd.data.data(), n);
    for (size_t i = 0; i < c.output.data.size(); ++i)
      worst = std::max(worst, std::fabs(out[i] - c.output.data[i]));
    ++cases;
  }
  EXPECT_GT(cases, 0) << "no references for " << key;
  std::printf("%s %s: %d reference batches, worst |difference| %.3g\n", variant.c_str(), key.c_str(),
              cases, worst);
  return worst;
}

}  // namespace

TEST(RendererReferences, StandardDirectorWithHoistAndBatch) {
  StderrCapture log;
  // Batch 1 takes the source-cone hoist; batch 4 cannot, and runs whole.
  EXPECT_LE(worstAgainstReferences("tiny", "b1"), kTolerance);
  EXPECT_LE(worstAgainstReferences("tiny", "b4"), kTolerance);
  const std::string text = log.text();
  EXPECT_NE(text.find("[le] source-cone hoist: '"), std::string::npos) << text;
  EXPECT_NE(text.find("batch-1 lever; this graph declares batch 4"), std::string::npos) << text;
  EXPECT_NE(text.find("GridSampleFast load-time rewrite: 1 node(s)"), std::string::npos);
  EXPECT_NE(text.find("head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD)"), std::string::npos);
}

TEST(RendererReferences, WarpNodeAndPlainGridSample) {
  StderrCapture log;
  {
    ScopedEnv warp("LE_WARP_NODE", "1");
    EXPECT_LE(worstAgainstReferences("tiny", "b1"), kTolerance);
  }
  {
    ScopedEnv plain("LE_GS_REWRITE", "0");
    EXPECT_LE(worstAgainstReferences("tiny", "b1"), kTolerance);
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("[le] director warp -> com.corvane::WarpDirector ("), std::string::npos) << text;
  EXPECT_NE(text.find("[le] source-cone hoist SKIPPED"), std::string::npos) << text;
  EXPECT_NE(text.find("[le] LE_GS_REWRITE=0: load-time std GridSample"), std::string::npos) << text;
}

// Rebuilt graphs keep initializers only the dropped nodes read; ONNX Runtime's
// warning about each must not flood the host's log on every load.
TEST(RendererReferences, LoadsWithoutRuntimeWarnings) {
  StderrCapture log;
  {
    Loaded b(bakeFixture("tiny"));
    le::Renderer hoisted(b.manifest, *b.identity, "b1", 1, "");
    ScopedEnv warp("LE_WARP_NODE", "1");
    le::Renderer warped(b.manifest, *b.identity, "b1", 1, "");
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("[le] source-cone hoist: '"), std::string::npos) << text;
  EXPECT_EQ(text.find("Removing initializer"), std::string::npos) << text;
  EXPECT_EQ(text.find(":onnxruntime:"), std::string::npos) << text;
}

TEST(RendererReferences, FeatSynthAndManifestLayout) {
  StderrCapture log;
  EXPECT_LE(worstAgainstReferences("tiny_featsynth", "b1"), kTolerance);
  EXPECT_LE(worstAgainstReferences("tiny_featsynth", "b4"), kTolerance);
}

TEST(RendererBatch, ShortBatchRepeatsItsLastFrame) {
  StderrCapture log;
  Loaded b(bakeFixture("tiny"));
  le::Renderer r(b.manifest, *b.identity, "b4", 2, "");
  ASSERT_EQ(r.batch(), 4);
  std::vector<float> ks(63 * 4), kd(63 * 4);
  for (size_t i = 0; i < ks.size(); ++i) {
    ks[i] = 0.01f * static_cast<float>(i % 63) - 0.3f;
    kd[i] = ks[i] + 0.02f;
  }
  const int si[2] = {3, 5};
  const float* out = r.render(si, ks.data(), kd.data(), 2);
  const size_t per = 3 * 64 * 64;
  for (int j = 2; j < 4; ++j)
    for (size_t i = 0; i < per; ++i)
      ASSERT_NEAR(out[j * per + i], out[per + i], 1e-6f) << "slot " << j;
  const std::vector<float> second(out + per, out + 2 * per);
  // A single frame renders the same as that frame inside a batch.
  const float* one = r.render(si + 1, ks.data() + 63, kd.data() + 63, 1);
  for (size_t i = 0; i < per; ++i) ASSERT_NEAR(one[i], second[i], 1e-6f);

  for (int n : {0, 5, -1})
    EXPECT_EQ(le::test::errorOf([&] { r.render(si, ks.data(), kd.data(), n); }), "render: bad n") << "n " << n;
  const int bad[1] = {8};
  EXPECT_THROW(r.render(bad, ks.data(), kd.data(), 1), std::runtime_error);
}

TEST(RendererHoist, PrefetchFollowsForwardAndBackwardPlay) {
  StderrCapture log;
  Loaded b(bakeFixture("tiny"));
  le::Renderer hoisted(b.manifest, *b.identity, "b1", 2, "");
  le::Renderer whole(b.manifest, *b.identity, "b4", 2, "");
  std::vector<float> ks(63), kd(63);
  for (int i = 0; i < 63; ++i) {
    ks[i] = 0.02f * static_cast<float>(i % 21) - 0.2f;
    kd[i] = ks[i] + (i % 3 == 1 ? 0.03f : 0.f);
  }
  // Forward over the loop point, back and forth, and jumps: every render must
  // match the un-hoisted director whatever the prefetcher guessed.
  const int order[] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 1, 0, 7, 3, 3, 6, 5, 4, 2, 7, 0};
  for (int si : order) {
    const float* a = hoisted.render(&si, ks.data(), kd.data(), 1);
    const std::vector<float> got(a, a + 3 * 64 * 64);
    const float* w = whole.render(&si, ks.data(), kd.data(), 1);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], w[i], 2e-5f) << "frame " << si;
  }
}

TEST(RendererPrior, HevcPriorRendersWithinCodecLoss) {
  StderrCapture log;
  Loaded raw(bakeFixture("tiny"));
  Loaded hevc(bakeFixture("tiny_hevc"));
  ASSERT_FALSE(hevc.identity->hasMappedP());
  le::Renderer a(raw.manifest, *raw.identity, "b1", 2, "");
  le::Renderer h(hevc.manifest, *hevc.identity, "b1", 2, "");
  std::vector<float> ks(63, 0.1f), kd(63, 0.12f);
  for (int si : {0, 1, 2, 7, 3}) {
    const float* r = a.render(&si, ks.data(), kd.data(), 1);
    const std::vector<float> ref(r, r + 3 * 64 * 64);
    const float* got = h.render(&si, ks.data(), kd.data(), 1);
    double sum = 0;
    for (size_t i = 0; i < ref.size(); ++i) sum += std::fabs(got[i] - ref[i]);
    EXPECT_LT(sum / ref.size(), 0.02) << "frame " << si;
  }
}

TEST(RendererLoad, ExecutionProviders) {
  Loaded b(bakeFixture("tiny"));
  auto errorOf = [&](const std::string& ep) {
    return le::test::errorOf([&] { le::Renderer r(b.manifest, *b.identity, "b1", 1, ep); });
  };
  StderrCapture log;
  const std::string xnn = errorOf("xnnpack:any");
  EXPECT_EQ(xnn.rfind("Renderer: ep 'xnnpack:any' is REFUSED.", 0), 0u) << xnn;
  EXPECT_EQ(errorOf("cuda"), "Renderer: unknown ep 'cuda'");
  // This runtime has no CoreML: the session falls back to the CPU provider.
  le::Renderer coreml(b.manifest, *b.identity, "b1", 1, "coreml:xyz");
  EXPECT_EQ(coreml.ep(), "");
  {
    ScopedEnv neon("LE_CONV_BACKEND", "neon");
    le::Renderer r(b.manifest, *b.identity, "b1", 1, "");
    EXPECT_STREQ(r.backend(), "ort");
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("[le] CoreML EP session refused: "), std::string::npos) << text;
  // The engine is built in, but the standard director is not its graph.
  EXPECT_NE(text.find("[le] NEON backend refused: " + b.manifest.modelPath("b1") +
                      " is not the fused m4b graph (golden/unified director?); using ORT\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("xnnpack"), std::string::npos);  // refused before any session
}

TEST(RendererLoad, RefusalsOfModelsAndPriors) {
  StderrCapture log;
  TempDir t;
  const std::string dir = t / "bundle";
  std::filesystem::copy(bakeFixture("tiny"), dir, std::filesystem::copy_options::recursive);
  Loaded b(dir);
  auto errorOf = [&](const std::string& key) {
    return le::test::errorOf([&] { le::Renderer r(b.manifest, *b.identity, key, 1, ""); });
  };
  EXPECT_EQ(errorOf("b9"), "Renderer: cannot open " + dir + "/model_b9.onnx");

  // A graph that already carries GridSampleFast cannot load without the op.
  const std::string original = le::readFile(dir + "/model_b1.onnx");
  le::Bytes model(original.begin(), original.end());
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);
  le::test::writeFile(dir + "/model_baked.onnx", std::string(model.begin(), model.end()));
  EXPECT_EQ(errorOf("baked"), "(no error)");
  {
    ScopedEnv off("LE_GS_FAST", "0");
    const std::string e = errorOf("baked");
    EXPECT_EQ(e.rfind("Renderer: LE_GS_FAST=0 (or CORVANE_VELLUM2_GRIDSAMPLE_FAST=0, which sets it) was "
                      "asked for, but " + dir + "/model_baked.onnx has com.corvane::GridSampleFast BAKED",
                      0),
              0u)
        << e;
    EXPECT_EQ(errorOf("b1"), "(no error)");  // a standard graph runs ORT's own GridSample
  }
  {
    ScopedEnv off("CORVANE_VELLUM2_GRIDSAMPLE_FAST", "0");
    EXPECT_NE(errorOf("baked").find("BAKED INTO THE GRAPH"), std::string::npos);
  }
  // A FeatSynth director over a bundle without fs_red rows.
  std::filesystem::copy_file(bakeFixture("tiny_featsynth") + "/model_b1.onnx", dir + "/model_fs.onnx");
  EXPECT_EQ(errorOf("fs"), "FeatSynth graph but bundle lacks fs_red.f16");

  // The batch is read from the pooled input: it must be rank 4 with a fixed
  // first dimension. The graph itself just hands P_rgb back as rgb.
  auto pooledGraph = [&](const std::string& key, const std::string& pooledName,
                         const std::vector<int64_t>& pooledDims) {
    le::test::GraphParts g;
    g.nodes.push_back(le::test::node("Identity", {"P_rgb"}, {"rgb"}, "echo"));
    g.inputs = {le::test::valueInfo(pooledName, le::kOnnxFloat, pooledDims),
                le::test::valueInfo("P_rgb", le::kOnnxFloat, {1, 3, 64, 64}),
                le::test::valueInfo("kp_driving", le::kOnnxFloat, {1, 21, 3}),
                le::test::valueInfo("kp_source", le::kOnnxFloat, {1, 21, 3})};
    g.outputs = {le::test::valueInfo("rgb", le::kOnnxFloat, {1, 3, 64, 64})};
    const le::Bytes m = le::test::model(g);
    le::test::writeFile(dir + "/model_" + key + ".onnx", std::string(m.begin(), m.end()));
    return errorOf(key);
  };
  EXPECT_EQ(pooledGraph("fixed", "pooled64", {1, 64, 32, 32}), "(no error)");
  EXPECT_EQ(pooledGraph("dynbatch", "pooled64", {-1, 64, 32, 32}), "pooled64 input not found / bad shape");
  EXPECT_EQ(pooledGraph("rank3", "pooled64", {1, 64, 1024}), "pooled64 input not found / bad shape");
  EXPECT_EQ(pooledGraph("nopooled", "pooled", {1, 64, 32, 32}), "pooled64 input not found / bad shape");

  // A standard director over a bundle whose only prior is fs_red: nothing to
  // feed P_rgb from.
  const std::string fsDir = t / "featsynth";
  std::filesystem::copy(bakeFixture("tiny_featsynth"), fsDir, std::filesystem::copy_options::recursive);
  std::filesystem::copy_file(dir + "/model_b1.onnx", fsDir + "/model_std.onnx");
  Loaded fs(fsDir);
  ASSERT_FALSE(fs.identity->hasMappedP());
  try {
    le::Renderer r(fs.manifest, *fs.identity, "std", 1, "");
    ADD_FAILURE() << "a standard director loaded without a prior";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("m4b graph (P_rgb input) but this bundle carries no warp prior: ", 0), 0u)
        << e.what();
  }
}

TEST(RendererLoad, TimingLineAtDestruction) {
  Loaded b(bakeFixture("tiny"));
  StderrCapture log;
  {
    le::Renderer r(b.manifest, *b.identity, "b1", 1, "");
    std::vector<float> kp(63, 0.f);
    const int si = 2;
    r.render(&si, kp.data(), kp.data(), 1);
    r.render(&si, kp.data(), kp.data(), 1);
  }
  const std::string text = log.text();
  EXPECT_NE(text.find("[le-director-ort] 2 frames: "), std::string::npos) << text;
  EXPECT_NE(text.find(" ms/frame in Session::Run"), std::string::npos);
}

TEST(RendererLoad, HostKeypointContract) {
  const std::string model = "/b/model_b1.onnx";
  auto refusal = [&](std::vector<int64_t> dims) {
    return le::test::errorOf([&] { le::checkHostKeypointRows(model, "kp_driving", dims); });
  };
  EXPECT_EQ(refusal({1, 21, 3}), "(no error)");
  EXPECT_EQ(refusal({1, -1, 3}), "(no error)");  // a dynamic row count
  EXPECT_EQ(refusal({1, 63}), "(no error)");     // not a rows-of-3 input
  const std::string wide = refusal({1, 22, 3});
  EXPECT_EQ(wide.rfind("Renderer: HOST KEYPOINT CONTRACT MISMATCH on /b/model_b1.onnx \xE2\x80\x94 the graph "
                       "declares kp_driving with 22 keypoint rows, and this renderer feeds 21 "
                       "(le::kHostKpRows, le/le.h). That is the recipe_v4 / kd_v4 shape: row 21 is the "
                       "WIDTH ROW",
                       0),
            0u)
      << wide;
  const std::string narrow = refusal({1, 20, 3});
  EXPECT_NE(narrow.find("with 20 keypoint rows"), std::string::npos);
  EXPECT_EQ(narrow.find("WIDTH ROW"), std::string::npos);
  EXPECT_NE(narrow.find("REFUSING AT LOAD"), std::string::npos);
}
