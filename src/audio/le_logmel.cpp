#include "audio/le_logmel.h"

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
      bands_(static_cast<size_t>(kMels) * kBins),
      first_(kMels),
      last_(kMels),
      padded_(kSamples + 2 * kPad),
      windowed_(kFft),
      re_(kHalf),
      im_(kHalf),
      cos_(kHalf + 1),
      sin_(kHalf + 1),
      bitReverse_(kHalf),
      mag_(kBins) {
  if (window_.size() != static_cast<size_t>(kFft) || binmat.size() != static_cast<size_t>(kBins) * kMels)
    throw std::runtime_error("LogMel: window or mel matrix of the wrong size");
  // A band sums its bins in ascending order; skipping the zero entries of a
  // filter bank leaves every sum bit for bit as the full product gives it.
  for (int j = 0; j < kMels; ++j) {
    first_[j] = kBins;
    last_[j] = 0;
    for (int k = 0; k < kBins; ++k) {
      const float w = binmat[static_cast<size_t>(k) * kMels + j];
      bands_[static_cast<size_t>(j) * kBins + k] = w;
      if (w != 0.0f) {
        if (first_[j] == kBins) first_[j] = k;
        last_[j] = k + 1;
      }
    }
  }
  for (int k = 0; k <= kHalf; ++k) {
    cos_[k] = std::cos(2 * kPi * k / kFft);
    sin_[k] = std::sin(2 * kPi * k / kFft);
  }
  int bits = 0;
  while ((1 << bits) < kHalf) ++bits;
  for (int i = 0; i < kHalf; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
    bitReverse_[i] = r;
  }
}

void LogMel::magnitudes(const float* x) {
  for (int n = 0; n < kHalf; ++n) {
    re_[bitReverse_[n]] = x[2 * n];
    im_[bitReverse_[n]] = x[2 * n + 1];
  }
  // Radix-2 decimation in time over 256 points; its twiddles are every
  // second one of the 512-point table.
  for (int len = 2; len <= kHalf; len <<= 1) {
    const int half = len / 2;
    const int stride = kFft / len;
    for (int base = 0; base < kHalf; base += len) {
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
  // X[k] = E[k] + W^k O[k] with E = (Z[k] + conj Z[256-k]) / 2 and
  // O = (Z[k] - conj Z[256-k]) / 2i, W = e^(-2 pi i / 512).
  for (int k = 0; k <= kHalf; ++k) {
    const int a = k & (kHalf - 1), b = (kHalf - k) & (kHalf - 1);
    const double er = 0.5 * (re_[a] + re_[b]), ei = 0.5 * (im_[a] - im_[b]);
    const double orr = 0.5 * (im_[a] + im_[b]), oi = -0.5 * (re_[a] - re_[b]);
    const double wr = cos_[k], wi = -sin_[k];
    const double xr = er + wr * orr - wi * oi;
    const double xi = ei + wr * oi + wi * orr;
    mag_[k] = static_cast<float>(std::sqrt(xr * xr + xi * xi));
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
    for (int n = 0; n < kFft; ++n) windowed_[n] = frame[n] * window_[n];
    magnitudes(windowed_.data());
    float* out = mel + t * kMels;
    for (int j = 0; j < kMels; ++j) {
      const float* band = bands_.data() + static_cast<size_t>(j) * kBins;
      float sum = 0.0f;
      for (int k = first_[j]; k < last_[j]; ++k) sum += mag_[k] * band[k];
      out[j] = std::log(sum + 1e-8f);
    }
  }
}

}  // namespace le::motion
