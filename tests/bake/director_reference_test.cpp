// The baked director models, run under ONNX Runtime exactly as exported,
// reproduce the PyTorch module they were exported from.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "director/le_ort_session.h"
#include "support/bake_fixtures.h"

namespace {

using le::test::RefCase;
using le::test::RefTensor;

constexpr float kTolerance = 1e-4f;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "bake_reference_test");
  return e;
}

std::unique_ptr<Ort::Session> directorSession(const std::string& path, GraphOptimizationLevel level) {
  le::ort::SessionConfig config;
  config.intraThreads = 2;
  config.optimisation = level;
  return std::make_unique<Ort::Session>(le::ort::openSession(env(), path.c_str(), le::ort::sessionOptions(config)));
}

// Largest absolute difference between ORT's output and the reference; the
// session's inputs must be exactly the reference's, by name, order and shape.
float runCase(Ort::Session& session, const RefCase& c) {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t nIn = session.GetInputCount();
  EXPECT_EQ(nIn, c.inputs.size());
  if (nIn != c.inputs.size()) return INFINITY;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<std::string> names;
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < nIn; ++i) {
    names.push_back(session.GetInputNameAllocated(i, alloc).get());
    const RefTensor& t = c.inputs[i];
    EXPECT_EQ(names.back(), t.name) << "input " << i;
    EXPECT_EQ(session.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(), t.shape) << t.name;
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(t.data.data()), t.data.size(),
                                                     t.shape.data(), t.shape.size()));
  }
  std::vector<const char*> inNames;
  for (const std::string& n : names) inNames.push_back(n.c_str());
  const char* outName = "rgb";
  std::vector<Ort::Value> out =
      session.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), nIn, &outName, 1);
  const auto info = out[0].GetTensorTypeAndShapeInfo();
  EXPECT_EQ(info.GetShape(), c.output.shape);
  if (info.GetElementCount() != c.output.data.size()) return INFINITY;
  const float* got = out[0].GetTensorData<float>();
  float worst = 0.0f;
  for (size_t i = 0; i < c.output.data.size(); ++i) {
    const float d = std::fabs(got[i] - c.output.data[i]);
    if (!(d <= worst)) worst = std::isnan(d) ? INFINITY : d;
  }
  return worst;
}

// Runs every reference case of `refVariant` against the models of
// `modelVariant`, found through the library's member resolution.
void checkVariant(const std::string& modelVariant, const std::string& refVariant, GraphOptimizationLevel level) {
  const le::Manifest m = le::loadManifest(le::test::bakeFixture(modelVariant));
  const std::vector<RefCase> cases = le::test::loadReferences(le::test::bakeFixture(refVariant) + ".ref");
  ASSERT_FALSE(cases.empty());
  std::map<std::string, std::unique_ptr<Ort::Session>> sessions;
  std::map<std::string, int> perKey;
  for (const RefCase& c : cases) {
    auto& s = sessions[c.key];
    if (!s) s = directorSession(le::resolveMember(m.dir, "model_" + c.key + ".onnx"), level);
    const float worst = runCase(*s, c);
    std::printf("%s model_%s.onnx case %d: max |ORT - PyTorch| = %.3g\n", modelVariant.c_str(), c.key.c_str(),
                c.index, static_cast<double>(worst));
    EXPECT_LE(worst, kTolerance) << modelVariant << " model " << c.key << " case " << c.index;
    ++perKey[c.key];
  }
  // Every director key the bundle promises has references.
  for (const char* key : {"b1", "b4", "b24_fp32", "render"}) EXPECT_GT(perKey[key], 0) << key;
}

class DirectorReference : public ::testing::TestWithParam<GraphOptimizationLevel> {};

TEST_P(DirectorReference, StandardDirectorMatchesPyTorch) { checkVariant("tiny", "tiny", GetParam()); }

TEST_P(DirectorReference, FeatSynthDirectorMatchesPyTorch) {
  checkVariant("tiny_featsynth", "tiny_featsynth", GetParam());
}

// The manifest-layout bundle stores the same directors under its own names.
TEST_P(DirectorReference, ManifestLayoutDirectorsAreTheSameModels) {
  checkVariant("tiny_layout", "tiny", GetParam());
}

INSTANTIATE_TEST_SUITE_P(OptimisationLevels, DirectorReference,
                         ::testing::Values(ORT_DISABLE_ALL, ORT_ENABLE_ALL),
                         [](const auto& info) { return info.param == ORT_DISABLE_ALL ? "Plain" : "Optimised"; });

// The batch-4 graph repeats the batch-1 graph frame by frame: a renderer may
// pick either for the same frames.
TEST(DirectorReference, BatchedGraphsAgreeWithSingleFrameGraph) {
  const le::Manifest m = le::loadManifest(le::test::bakeFixture("tiny"));
  const std::vector<RefCase> cases = le::test::loadReferences(le::test::bakeFixture("tiny") + ".ref");
  auto b1 = directorSession(le::resolveMember(m.dir, "model_b1.onnx"), ORT_ENABLE_ALL);
  int checked = 0;
  for (const RefCase& c : cases) {
    if (c.key != "b4") continue;
    const int64_t batch = c.output.shape[0];
    for (int64_t b = 0; b < batch; ++b) {
      RefCase one;
      one.key = "b1";
      for (const RefTensor& t : c.inputs) {
        RefTensor s{t.name, t.shape, {}};
        s.shape[0] = 1;
        const size_t n = t.data.size() / static_cast<size_t>(batch);
        s.data.assign(t.data.begin() + static_cast<std::ptrdiff_t>(b * n),
                      t.data.begin() + static_cast<std::ptrdiff_t>((b + 1) * n));
        one.inputs.push_back(std::move(s));
      }
      const size_t n = c.output.data.size() / static_cast<size_t>(batch);
      one.output = {"rgb", c.output.shape, {}};
      one.output.shape[0] = 1;
      one.output.data.assign(c.output.data.begin() + static_cast<std::ptrdiff_t>(b * n),
                             c.output.data.begin() + static_cast<std::ptrdiff_t>((b + 1) * n));
      EXPECT_LE(runCase(*b1, one), kTolerance) << "b4 case " << c.index << " frame " << b;
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
