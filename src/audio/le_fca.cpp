// Face-conditioned audio deltas (le_fca_*).
#include "audio/le_fca.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "core/le_error.h"
#include "director/le_ort_session.h"
#include "le/le.h"
#include "paste/le_pool.h"

namespace le {
namespace fca {

int framesOf(int n) { return n < 1 ? 0 : (n - 1) / kFrameSamples + 1; }

void centre(const float* features, int frames, float* centred) {
  std::vector<double> sorted;
  sorted.reserve(static_cast<size_t>(frames));
  std::vector<double> sum(kWidth, 0.0);
  int64_t loud = 0;
  for (int f = 0; f < frames; ++f) {
    const float* row = features + static_cast<size_t>(f) * kWidth;
    double squares = 0.0;
    for (int c = 0; c < kWidth; ++c) squares += static_cast<double>(row[c]) * row[c];
    const double norm = std::sqrt(squares);
    // The norms so far stay sorted, so the quantile is a look-up.
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), norm), norm);
    double threshold = 0.0;
    if (f > 6) {
      const double pos = kQuietPercentile * f;
      const size_t lo = static_cast<size_t>(std::floor(pos));
      const size_t hi = static_cast<size_t>(std::ceil(pos));
      threshold = sorted[lo] + (sorted[hi] - sorted[lo]) * (pos - static_cast<double>(lo));
    }
    // The first seven frames always count, also a frame of digital silence
    // whose features are exactly zero, so the mean starts from frame 0.
    if (f <= 6 || norm > threshold) {
      for (int c = 0; c < kWidth; ++c) sum[c] += row[c];
      ++loud;
    }
    const double count = static_cast<double>(std::max<int64_t>(loud, 1));
    float* out = centred + static_cast<size_t>(f) * kWidth;
    for (int c = 0; c < kWidth; ++c) out[c] = row[c] - static_cast<float>(sum[c] / count);
  }
}

void contextBlock(const float* centred, int frames, int l, float* block) {
  for (int o = 0; o < kContextFrames; ++o) {
    const int f = std::min(std::max(l + kContextFirst + o, 0), frames - 1);
    std::memcpy(block + static_cast<size_t>(o) * kWidth, centred + static_cast<size_t>(f) * kWidth,
                kWidth * sizeof(float));
  }
}

}  // namespace fca

namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

std::vector<std::string> inputNames(Ort::Session& s) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  for (size_t i = 0; i < s.GetInputCount(); ++i) names.emplace_back(s.GetInputNameAllocated(i, alloc).get());
  return names;
}

std::vector<std::string> outputNames(Ort::Session& s) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  for (size_t i = 0; i < s.GetOutputCount(); ++i) names.emplace_back(s.GetOutputNameAllocated(i, alloc).get());
  return names;
}

// The model must take exactly `inputs` (in any order: they are bound by
// name) and give at least `outputs`; anything else would fail on every call
// or feed the wrong tensor, so it is refused when the object is made.
void requireTensors(Ort::Session& s, const std::string& what, const std::string& path,
                    std::vector<std::string> inputs, const std::vector<std::string>& outputs) {
  std::vector<std::string> in = inputNames(s);
  const std::vector<std::string> out = outputNames(s);
  std::vector<std::string> sortedIn = in;
  std::sort(sortedIn.begin(), sortedIn.end());
  std::sort(inputs.begin(), inputs.end());
  bool ok = sortedIn == inputs;
  for (const std::string& o : outputs) ok = ok && std::find(out.begin(), out.end(), o) != out.end();
  if (!ok)
    throw std::runtime_error(what + " " + path + " declares (" + joined(in) + ") -> (" + joined(out) +
                             "), expected (" + joined(inputs) + ") -> (" + joined(outputs) +
                             ") \xE2\x80\x94 REFUSING a model this pipeline cannot feed");
}

Ort::Session openModel(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options) {
  const std::string bytes = readFile(path);
  return ort::openSession(env, bytes.data(), bytes.size(), options);
}

}  // namespace

Fca::Fca(const std::string& featureModel, const std::string& headModel, int threads)
    : env_(ORT_LOGGING_LEVEL_WARNING, "le_fca"),
      memory_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {
  ort::SessionConfig config;
  config.intraThreads = threads < 1 ? pool::threads() : threads;
  options_ = ort::sessionOptions(config);
  featureSession_ = openModel(env_, featureModel, options_);
  requireTensors(featureSession_, "feature model", featureModel, {"input_values"}, {"audio_emb"});
  headSession_ = openModel(env_, headModel, options_);
  requireTensors(headSession_, "head", headModel, {"cond", "prev", "h"}, {"m", "hn"});
  window_.resize(fca::kWindowSamples);
}

int Fca::deltas(const float* samples, int n, float* out, int maxFrames) {
  const int frames = fca::framesOf(n);
  if (frames == 0) return 0;
  if (maxFrames < frames) return -1;
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(samples[i]))
      throw std::runtime_error("sample " + std::to_string(i) +
                               " is NaN or infinite \xE2\x80\x94 REFUSING to turn it into keypoints");
  features(samples, n, frames);
  centred_.resize(six_.size());
  fca::centre(six_.data(), frames, centred_.data());
  runHead(frames);
  std::memcpy(out, rows_.data(), rows_.size() * sizeof(float));
  return frames;
}

void Fca::features(const float* samples, int n, int frames) {
  six_.assign(static_cast<size_t>(frames) * fca::kWidth, 0.f);
  const int64_t shape[2] = {1, fca::kWindowSamples};
  Ort::Value input = Ort::Value::CreateTensor<float>(memory_, window_.data(), window_.size(), shape, 2);
  const char* inNames[] = {"input_values"};
  const char* outNames[] = {"audio_emb"};
  int done = 0;
  for (int w = 0;; w += fca::kWindowHop) {
    // The window, zero-padded past the audio, normalised as a whole
    // (padding included): mean and population variance in double.
    const int64_t start = static_cast<int64_t>(w) * fca::kFrameSamples;
    const int64_t count = std::min<int64_t>(fca::kWindowSamples, std::max<int64_t>(0, n - start));
    std::fill(window_.begin(), window_.end(), 0.f);
    if (count > 0) std::memcpy(window_.data(), samples + start, static_cast<size_t>(count) * sizeof(float));
    double mean = 0.0;
    for (float x : window_) mean += x;
    mean /= fca::kWindowSamples;
    double variance = 0.0;
    for (float x : window_) variance += (x - mean) * (x - mean);
    variance /= fca::kWindowSamples;
    const float scale = static_cast<float>(1.0 / std::sqrt(variance + 1e-7));
    for (float& x : window_) x = static_cast<float>(x - mean) * scale;

    std::vector<Ort::Value> result = featureSession_.Run(runOptions_, inNames, &input, 1, outNames, 1);
    const auto info = result[0].GetTensorTypeAndShapeInfo();
    const std::vector<int64_t> dims = info.GetShape();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT ||
        info.GetElementCount() != static_cast<size_t>(fca::kLayers) * fca::kWindowFrames * fca::kWidth ||
        dims.size() < 2 || dims[dims.size() - 1] != fca::kWidth || dims[dims.size() - 2] != fca::kWindowFrames)
      throw std::runtime_error("feature model: audio_emb is not float32 [12,200,768]");
    const float* emb = result[0].GetTensorData<float>();

    for (int j = w == 0 ? 0 : fca::kLaterWindowFirst; j < fca::kWindowFrames; ++j) {
      const int f = w + j;
      if (f >= frames || f < done) continue;
      float* row = six_.data() + static_cast<size_t>(f) * fca::kWidth;
      for (int l = fca::kFirstLayer; l < fca::kFirstLayer + fca::kLayerCount; ++l) {
        const float* layer = emb + (static_cast<size_t>(l) * fca::kWindowFrames + j) * fca::kWidth;
        for (int c = 0; c < fca::kWidth; ++c) row[c] += layer[c];
      }
      for (int c = 0; c < fca::kWidth; ++c) {
        row[c] /= static_cast<float>(fca::kLayerCount);
        if (!std::isfinite(row[c]))
          throw std::runtime_error("feature model gave a non-finite value at frame " + std::to_string(f));
      }
    }
    done = std::min(frames, w + fca::kWindowFrames);
    if (w + fca::kWindowHop >= frames) break;
  }
}

void Fca::runHead(int frames) {
  prev_.fill(0.f);
  hidden_.fill(0.f);
  rows_.resize(static_cast<size_t>(frames) * fca::kRow);
  const int64_t condShape[2] = {1, fca::kCond};
  const int64_t rowShape[2] = {1, fca::kRow};
  const int64_t hiddenShape[3] = {1, 1, fca::kHidden};
  Ort::IoBinding binding(headSession_);
  binding.BindInput("cond", Ort::Value::CreateTensor<float>(memory_, cond_.data(), cond_.size(), condShape, 2));
  binding.BindInput("prev", Ort::Value::CreateTensor<float>(memory_, prev_.data(), prev_.size(), rowShape, 2));
  binding.BindInput("h", Ort::Value::CreateTensor<float>(memory_, hidden_.data(), hidden_.size(), hiddenShape, 3));
  // Outputs land in buffers of the declared shapes; a head that gives
  // another shape fails the run instead of being read past its end.
  binding.BindOutput("m", Ort::Value::CreateTensor<float>(memory_, m_.data(), m_.size(), rowShape, 2));
  binding.BindOutput("hn", Ort::Value::CreateTensor<float>(memory_, hn_.data(), hn_.size(), hiddenShape, 3));
  for (int f = 0; f < frames; ++f) {
    fca::contextBlock(centred_.data(), frames, f, cond_.data());
    headSession_.Run(runOptions_, binding);
    for (float v : m_)
      if (!std::isfinite(v))
        throw std::runtime_error("head gave a non-finite value at frame " + std::to_string(f));
    std::memcpy(rows_.data() + static_cast<size_t>(f) * fca::kRow, m_.data(), sizeof m_);
    prev_ = m_;
    hidden_ = hn_;
  }
}

}  // namespace le

struct le_fca {
  le::Fca fca;
  le_fca(const std::string& feature, const std::string& head, int threads) : fca(feature, head, threads) {}
};

namespace {
using le::capi::Family;
using le::capi::guarded;
using le::capi::setError;
}  // namespace

extern "C" {

LE_API le_fca* le_fca_create(const char* feature_model, const char* head_model, int threads) {
  return guarded(Family::Fca, "le_fca_create", static_cast<le_fca*>(nullptr), [&]() -> le_fca* {
    if (!feature_model || !head_model) {
      setError(Family::Fca, "le_fca_create: NULL feature_model/head_model");
      return nullptr;
    }
    return new le_fca(feature_model, head_model, threads);
  });
}

LE_API void le_fca_destroy(le_fca* fca) {
  le::capi::silent(0, [&] {
    delete fca;
    return 0;
  });
}

LE_API int le_fca_deltas(le_fca* fca, const float* samples, int n, float* out, int max_frames) {
  return guarded(Family::Fca, "le_fca_deltas", -1, [&]() -> int {
    if (!fca) {
      setError(Family::Fca, "le_fca_deltas: NULL fca");
      return -1;
    }
    if (n < 1) return 0;
    if (max_frames < le::fca::framesOf(n)) return -1;
    if (!samples || !out) {
      setError(Family::Fca, "le_fca_deltas: NULL samples/out");
      return -1;
    }
    return fca->fca.deltas(samples, n, out, max_frames);
  });
}

}  // extern "C"
