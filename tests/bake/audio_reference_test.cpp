// The baked audio networks, run under ONNX Runtime exactly as exported,
// reproduce the PyTorch modules they were exported from, and declare the
// tensors the audio side of the library reads.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "director/le_ort_session.h"
#include "support/bake_fixtures.h"

namespace {

using le::test::RefCaseN;
using le::test::RefTensor;

constexpr float kTolerance = 1e-4f;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "bake_audio_reference_test");
  return e;
}

// Where each reference key's model lives: a bundle member, or (the encoder
// without "wn") a file of the reference directory.
std::string modelPath(const std::string& bundle, const std::string& refDir, const std::string& key) {
  static const std::map<std::string, std::string> members = {
      {"w2v", "audio/w2v.onnx"},
      {"trunk", "audio/audio_encoder_fp16_window_trunk.onnx"},
      {"head", "audio/audio_encoder_fp16_window_head.onnx"},
      {"enc", "a2x_enc_stream.onnx"},
      {"dec", "a2x_dec.onnx"},
      {"hubert", "motion/hubert_student.onnx"},
      {"lmdm", "motion/lmdm.onnx"},
      {"stitch", "motion/stitch.onnx"},
      {"fca", "fca_stream.onnx"}};
  if (key == "enc_nown") return refDir + "/a2x/a2x_enc_stream_nown.onnx";
  auto it = members.find(key);
  if (it == members.end()) return "";
  return le::resolveMember(bundle, it->second);
}

float halfBits(uint16_t h) {
  const uint32_t sign = (h & 0x8000u) << 16, exp = (h >> 10) & 0x1f, man = h & 0x3ffu;
  float mag;
  if (exp == 0) mag = std::ldexp(static_cast<float>(man), -24);
  else if (exp == 31) mag = man ? NAN : INFINITY;
  else mag = std::ldexp(static_cast<float>(man | 0x400u), static_cast<int>(exp) - 25);
  return sign ? -mag : mag;
}

std::vector<float> outputAsFloat(const Ort::Value& v) {
  const auto info = v.GetTensorTypeAndShapeInfo();
  std::vector<float> out(info.GetElementCount());
  if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16) {
    const auto* p = v.GetTensorData<Ort::Float16_t>();
    for (size_t i = 0; i < out.size(); ++i) {
      uint16_t bits;
      std::memcpy(&bits, &p[i], sizeof bits);
      out[i] = halfBits(bits);
    }
  } else {
    std::memcpy(out.data(), v.GetTensorData<float>(), out.size() * sizeof(float));
  }
  return out;
}

// Declared dims agree with a reference shape: same rank, and every static
// dim equal (a dynamic dim, -1, takes any size).
bool shapeFits(const std::vector<int64_t>& declared, const std::vector<int64_t>& actual) {
  if (declared.size() != actual.size()) return false;
  for (size_t i = 0; i < declared.size(); ++i)
    if (declared[i] >= 0 && declared[i] != actual[i]) return false;
  return true;
}

// Runs one case; checks the graph's input and output names, order and
// shapes against the reference and returns the worst difference of any
// output, each measured against its tolerance (float16 outputs may differ by
// one half-precision step of the value).
float runCase(Ort::Session& s, const RefCaseN& c) {
  Ort::AllocatorWithDefaultOptions alloc;
  EXPECT_EQ(s.GetInputCount(), c.inputs.size()) << c.key;
  EXPECT_EQ(s.GetOutputCount(), c.outputs.size()) << c.key;
  if (s.GetInputCount() != c.inputs.size() || s.GetOutputCount() != c.outputs.size()) return INFINITY;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<std::string> inNames, outNames;
  std::vector<Ort::Value> values;
  for (size_t i = 0; i < c.inputs.size(); ++i) {
    const RefTensor& t = c.inputs[i];
    inNames.push_back(s.GetInputNameAllocated(i, alloc).get());
    EXPECT_EQ(inNames.back(), t.name) << c.key << " input " << i;
    EXPECT_TRUE(shapeFits(s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(), t.shape))
        << c.key << " input " << t.name;
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(t.data.data()), t.data.size(),
                                                     t.shape.data(), t.shape.size()));
  }
  for (size_t i = 0; i < c.outputs.size(); ++i) {
    outNames.push_back(s.GetOutputNameAllocated(i, alloc).get());
    EXPECT_EQ(outNames.back(), c.outputs[i].name) << c.key << " output " << i;
    EXPECT_TRUE(shapeFits(s.GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(), c.outputs[i].shape))
        << c.key << " output " << c.outputs[i].name;
  }
  std::vector<const char*> inPtrs, outPtrs;
  for (const auto& n : inNames) inPtrs.push_back(n.c_str());
  for (const auto& n : outNames) outPtrs.push_back(n.c_str());
  std::vector<Ort::Value> out =
      s.Run(Ort::RunOptions{nullptr}, inPtrs.data(), values.data(), values.size(), outPtrs.data(), outPtrs.size());
  float worst = 0.0f;
  for (size_t o = 0; o < out.size(); ++o) {
    const RefTensor& ref = c.outputs[o];
    EXPECT_EQ(out[o].GetTensorTypeAndShapeInfo().GetShape(), ref.shape) << c.key << " " << ref.name;
    const bool half =
        out[o].GetTensorTypeAndShapeInfo().GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    const std::vector<float> got = outputAsFloat(out[o]);
    if (got.size() != ref.data.size()) return INFINITY;
    for (size_t i = 0; i < got.size(); ++i) {
      float d = std::fabs(got[i] - ref.data[i]);
      if (half) d = std::max(0.0f, d - std::ldexp(std::fabs(ref.data[i]), -10));
      if (!(d <= worst)) worst = std::isnan(d) ? INFINITY : d;
    }
  }
  return worst;
}

class AudioReference : public ::testing::TestWithParam<GraphOptimizationLevel> {};

TEST_P(AudioReference, NetworksMatchPyTorch) {
  const std::string bundle = le::test::bakeFixture("tiny");
  const std::string refDir = bundle + ".ref";
  const std::vector<RefCaseN> cases = le::test::loadReferenceCases(refDir + "/audio");
  std::map<std::string, std::unique_ptr<Ort::Session>> sessions;
  std::set<std::string> seen;
  for (const RefCaseN& c : cases) {
    if (c.key.rfind("pipe_", 0) == 0) continue;  // whole-pipeline references: the library's own tests
    const std::string path = modelPath(bundle, refDir, c.key);
    ASSERT_FALSE(path.empty()) << "no model for reference key " << c.key;
    auto& s = sessions[c.key];
    if (!s) {
      le::ort::SessionConfig config;
      config.intraThreads = 2;
      config.optimisation = GetParam();
      s = std::make_unique<Ort::Session>(le::ort::openSession(env(), path.c_str(), le::ort::sessionOptions(config)));
    }
    const float worst = runCase(*s, c);
    std::printf("%s case %d: max |ORT - PyTorch| = %.3g\n", c.key.c_str(), c.index, static_cast<double>(worst));
    EXPECT_LE(worst, kTolerance) << c.key << " case " << c.index;
    seen.insert(c.key);
  }
  for (const char* key : {"w2v", "trunk", "head", "enc", "enc_nown", "dec", "hubert", "lmdm", "stitch", "fca"})
    EXPECT_TRUE(seen.count(key)) << "no reference case for " << key;
}

INSTANTIATE_TEST_SUITE_P(OptimisationLevels, AudioReference, ::testing::Values(ORT_DISABLE_ALL, ORT_ENABLE_ALL),
                         [](const auto& info) { return info.param == ORT_DISABLE_ALL ? "Plain" : "Optimised"; });

// The short-window trunk declares its time length statically (the library
// reads LT from the declared shape) and gives float16.
TEST(AudioReference, TrunkDeclaresHalfPrecisionStepsStatically) {
  Ort::Session s = le::ort::openSession(
      env(), le::resolveMember(le::test::bakeFixture("tiny"), "audio/audio_encoder_fp16_window_trunk.onnx").c_str(),
      le::ort::sessionOptions({}));
  const Ort::TypeInfo type = s.GetOutputTypeInfo(0);
  const auto info = type.GetTensorTypeAndShapeInfo();
  EXPECT_EQ(info.GetElementType(), ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16);
  EXPECT_EQ(info.GetShape(), (std::vector<int64_t>{1, 640, 400}));
}

}  // namespace
