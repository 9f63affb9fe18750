#include "audio/le_logmel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace le::motion {
namespace {
constexpr double kPi = 3.14159265358979323846;
}  // namespace

LogMel::LogMel(std::vector<float> window, std::vector<float> binmat)
    : window_(std::move(window)),
      binmat_(std::move(binmat)),
      padded_(kSamples + 2 * kPad),
      re_(kFft),
      im_(kFft),
      cos_(kFft / 2),
      sin_(kFft / 2),
      bitReverse_(kFft),
      mag_(kBins) {
  if (window_.size() != static_cast<size_t>(kFft) || binmat_.size() != static_cast<size_t>(kBins) * kMels)
    throw std::runtime_error("LogMel: window or mel matrix of the wrong size");
  for (int k = 0; k < kFft / 2; ++k) {
    cos_[k] = std::cos(2 * kPi * k / kFft);
    sin_[k] = std::sin(2 * kPi * k / kFft);
  }
  int bits = 0;
  while ((1 << bits) < kFft) ++bits;
  for (int i = 0; i < kFft; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    bitReverse_[i] = r;
  }
}

// Iterative radix-2 decimation in time, X[k] = sum x[n] e^(-2 pi i k n / N).
void LogMel::fft() {
  for (int i = 0; i < kFft; ++i) {
    const int j = bitReverse_[i];
    if (j > i) {
      std::swap(re_[i], re_[j]);
      std::swap(im_[i], im_[j]);
    }
  }
  for (int len = 2; len <= kFft; len <<= 1) {
    const int half = len / 2;
    const int stride = kFft / len;
    for (int base = 0; base < kFft; base += len) {
      for (int k = 0; k < half; ++k) {
        const double wr = cos_[k * stride], wi = -sin_[k * stride];
        const int a = base + k, b = a + half;
        const double tr = re_[b] * wr - im_[b] * wi;
        const double ti = re_[b] * wi + im_[b] * wr;
        re_[b] = re_[a] - tr;
        im_[b] = im_[a] - ti;
        re_[a] += tr;
        im_[a] += ti;
      }
    }
  }
}

void LogMel::compute(const float* samples, float* mel) {
  float* p = padded_.data();
  std::memcpy(p + kPad, samples, sizeof(float) * kSamples);
  for (int i = 0; i < kPad; ++i) {
    p[kPad - 1 - i] = samples[i + 1];
    p[kPad + kSamples + i] = samples[kSamples - 2 - i];
  }
  for (int t = 0; t < kFrames; ++t) {
    const float* frame = p + t * kHop;
    for (int n = 0; n < kFft; ++n) {
      re_[n] = static_cast<double>(frame[n] * window_[n]);
      im_[n] = 0;
    }
    fft();
    for (int k = 0; k < kBins; ++k) mag_[k] = static_cast<float>(std::sqrt(re_[k] * re_[k] + im_[k] * im_[k]));
    float* out = mel + t * kMels;
    std::fill(out, out + kMels, 0.0f);
    for (int k = 0; k < kBins; ++k) {
      const float m = mag_[k];
      const float* row = binmat_.data() + static_cast<size_t>(k) * kMels;
      for (int j = 0; j < kMels; ++j) out[j] += m * row[j];
    }
    for (int j = 0; j < kMels; ++j) out[j] = std::log(out[j] + 1e-8f);
  }
}

}  // namespace le::motion
