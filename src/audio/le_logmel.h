// The motion generator's audio front end: log-mel frames of one feature step.
#pragma once

#include <vector>

namespace le::motion {

// The log-mel front end of one feature step: 6 480 samples, reflection padded
// by 256 on each side, 20 frames of a 512-point STFT (hop 320) under the
// stored window, magnitudes through the 257 x 80 mel matrix, log(mel + 1e-8).
// Owns its work buffers, so compute() allocates nothing.
class LogMel {
 public:
  static constexpr int kSamples = 6480;
  static constexpr int kPad = 256;
  static constexpr int kFft = 512;
  static constexpr int kHop = 320;
  static constexpr int kFrames = 20;
  static constexpr int kBins = kFft / 2 + 1;
  static constexpr int kMels = 80;

  // window: 512 floats; binmat: 257 x 80, row-major [bin][mel].
  LogMel(std::vector<float> window, std::vector<float> binmat);
  // samples: kSamples floats; mel: kFrames x kMels floats, frame-major.
  void compute(const float* samples, float* mel);

 private:
  void fft();  // in place over re_/im_, natural order in and out

  std::vector<float> window_, binmat_;
  std::vector<float> padded_;
  std::vector<double> re_, im_, cos_, sin_;
  std::vector<int> bitReverse_;
  std::vector<float> mag_;
};

}  // namespace le::motion
