#include "ort_harness.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "bundle/le_fs.h"
#include "director/gridsample_fast.h"
#include "director/int8conv_vnni.h"
#include "director/le_ort_session.h"

namespace le::test {

Ort::Env& ortEnv() {
  static Ort::Env env(ORT_LOGGING_LEVEL_ERROR, "le_director_test");
  return env;
}

Ort::Session makeSession(const Bytes& model, int threads) {
  ort::SessionConfig config;
  config.intraThreads = threads;
  Ort::SessionOptions so = ort::sessionOptions(config);
  registerGridSampleFast(so);
  registerInt8ConvVNNI(so);
  return ort::openSession(ortEnv(), model.data(), model.size(), so);
}

Tensor run(Ort::Session& session, const Feeds& feeds, const std::string& name) {
  return std::move(run(session, feeds, std::vector<std::string>{name})[0]);
}

std::vector<Tensor> run(Ort::Session& session, const Feeds& feeds, const std::vector<std::string>& outputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<std::string> names;
  std::vector<Ort::Value> values;
  for (size_t k = 0; k < session.GetInputCount(); ++k) {
    std::string n = session.GetInputNameAllocated(k, alloc).get();
    auto it = feeds.find(n);
    if (it == feeds.end()) throw std::runtime_error("no feed for input " + n);
    Tensor& t = const_cast<Tensor&>(it->second);
    values.push_back(Ort::Value::CreateTensor<float>(mem, t.data.data(), t.data.size(), t.shape.data(),
                                                     t.shape.size()));
    names.push_back(std::move(n));
  }
  std::vector<const char*> inNames, outNames;
  for (const auto& n : names) inNames.push_back(n.c_str());
  for (const auto& n : outputs) outNames.push_back(n.c_str());
  std::vector<Ort::Value> out = session.Run(Ort::RunOptions{}, inNames.data(), values.data(), values.size(),
                                            outNames.data(), outNames.size());
  std::vector<Tensor> result(out.size());
  for (size_t k = 0; k < out.size(); ++k) {
    auto info = out[k].GetTensorTypeAndShapeInfo();
    result[k].shape = info.GetShape();
    const float* p = out[k].GetTensorData<float>();
    result[k].data.assign(p, p + info.GetElementCount());
  }
  return result;
}

BoundRun::BoundRun(Ort::Session& session, const Feeds& feeds, const std::string& output)
    : session_(session), binding_(session) {
  Ort::AllocatorWithDefaultOptions alloc;
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  for (size_t k = 0; k < session.GetInputCount(); ++k) {
    const std::string n = session.GetInputNameAllocated(k, alloc).get();
    auto it = feeds.find(n);
    if (it == feeds.end()) throw std::runtime_error("no feed for input " + n);
    Tensor& t = const_cast<Tensor&>(it->second);
    inputs_.push_back(Ort::Value::CreateTensor<float>(mem, t.data.data(), t.data.size(), t.shape.data(),
                                                      t.shape.size()));
    binding_.BindInput(n.c_str(), inputs_.back());
  }
  for (size_t k = 0; k < session.GetOutputCount(); ++k) {
    if (output != session.GetOutputNameAllocated(k, alloc).get()) continue;
    std::vector<int64_t> shape = session.GetOutputTypeInfo(k).GetTensorTypeAndShapeInfo().GetShape();
    size_t count = 1;
    for (int64_t d : shape) count = d > 0 ? count * static_cast<size_t>(d) : 0;
    if (count == 0) {
      binding_.BindOutput(output.c_str(), mem);
    } else {
      out_.resize(count);
      outValue_ = Ort::Value::CreateTensor<float>(mem, out_.data(), out_.size(), shape.data(), shape.size());
      binding_.BindOutput(output.c_str(), outValue_);
    }
    return;
  }
  throw std::runtime_error("no output " + output);
}

void BoundRun::run() { session_.Run(Ort::RunOptions{}, binding_); }

Feeds directorFeeds(const Bytes& model, uint32_t seed) {
  Ort::Session s = makeSession(model);
  Ort::AllocatorWithDefaultOptions alloc;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  std::normal_distribution<float> normal(0.f, 0.5f);
  Feeds feeds;
  std::vector<float> driving;
  for (size_t k = 0; k < s.GetInputCount(); ++k) {
    const std::string n = s.GetInputNameAllocated(k, alloc).get();
    Tensor t;
    t.shape = s.GetInputTypeInfo(k).GetTensorTypeAndShapeInfo().GetShape();
    size_t count = 1;
    for (int64_t& d : t.shape) {
      if (d <= 0) d = 1;
      count *= static_cast<size_t>(d);
    }
    t.data.resize(count);
    if (n == "kp_driving" || n == "kd") {
      for (size_t i = 0; i < count; ++i) t.data[i] = (i % 3 == 2) ? 0.1f * normal(rng) : 1.2f * unit(rng) - 0.6f;
      driving = t.data;
    } else if (n == "pooled64" || n == "pooled") {
      for (float& v : t.data) v = normal(rng);
    } else if (n != "kp_source" && n != "ks") {
      for (float& v : t.data) v = unit(rng);
    }
    feeds[n] = std::move(t);
  }
  for (const char* n : {"kp_source", "ks"}) {
    auto it = feeds.find(n);
    if (it == feeds.end()) continue;
    for (size_t i = 0; i < it->second.data.size(); ++i)
      it->second.data[i] = (i < driving.size() ? driving[i] : 0.f) + 0.3f * unit(rng) - 0.15f;
  }
  return feeds;
}

float maxAbsDiff(const Tensor& a, const Tensor& b) {
  if (a.shape != b.shape) return INFINITY;
  float m = 0.f;
  for (size_t i = 0; i < a.data.size(); ++i) {
    const float d = std::fabs(a.data[i] - b.data[i]);
    if (!(d <= m)) m = d;  // NaN propagates
  }
  return m;
}

Bytes readModel(const std::string& path) { return fs::readWhole<Bytes>(path); }

}  // namespace le::test
