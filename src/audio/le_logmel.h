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
  static constexpr int kHalf = kFft / 2;
  // Magnitudes of the 512-point DFT of a real frame, through one complex
  // 256-point FFT of the even (real part) and odd (imaginary part) samples.
  void magnitudes(const float* frame);

  std::vector<float> window_;
  std::vector<float> bands_;       // mel-major copy of the matrix: 80 rows of 257
  std::vector<int> first_, last_;  // each band's non-zero bins [first, last)
  std::vector<float> padded_, windowed_;
  std::vector<double> re_, im_, cos_, sin_;  // cos_/sin_: 2 pi k / 512, k = 0..256
  std::vector<int> bitReverse_;
  std::vector<float> mag_;
};

}  // namespace le::motion
