// Face-conditioned audio deltas: a whole utterance to one keypoint-delta row
// per video frame, through the 8-second feature model and a recurrent head
// over causally centred feature context.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <string>
#include <vector>

namespace le {
namespace fca {

constexpr int kFrameSamples = 640;        // one 25 fps frame of 16 kHz audio
constexpr int kWindowSamples = 128000;    // the feature model's 8-second window
constexpr int kWindowFrames = 200;
constexpr int kWindowHop = 100;           // frames between window starts
// A later window's first 50 frames lack left context; the previous window
// already gave them.
constexpr int kLaterWindowFirst = 50;
constexpr int kLayers = 12;
constexpr int kWidth = 768;               // one feature row
constexpr int kFirstLayer = 4;            // the six layers 4 ... 9 are averaged
constexpr int kLayerCount = 6;
constexpr int kContextFrames = 7;         // offsets -1 ... 5 around a frame
constexpr int kContextFirst = -1;
constexpr int kCond = kContextFrames * kWidth;
constexpr int kRow = 63;
constexpr int kHidden = 384;
constexpr double kQuietPercentile = 0.2;

// Frames of n samples, a partial last frame counting; 0 for n < 1.
int framesOf(int n);

// The causal centring: subtracts from each of `frames` feature rows the mean
// of the rows so far that were louder (L2 norm, in double) than the 0.2
// quantile of the norms so far (linear interpolation). The first seven frames
// always count, digital silence (features exactly zero) included.
void centre(const float* features, int frames, float* centred);

// The head's condition for frame l: centred rows l - 1 ... l + 5, each index
// clamped to the utterance.
void contextBlock(const float* centred, int frames, int l, float* block);

}  // namespace fca

class Fca {
 public:
  Fca(const std::string& featureModel, const std::string& headModel, int threads);

  // One row of 63 floats per frame into out (room for maxFrames rows).
  // Returns the frame count, 0 for n < 1, -1 when maxFrames is too small
  // (nothing written); throws on bad input or a model failure, leaving out
  // untouched.
  int deltas(const float* samples, int n, float* out, int maxFrames);

 private:
  void features(const float* samples, int n, int frames);
  void runHead(int frames);

  Ort::Env env_;
  Ort::SessionOptions options_{nullptr};
  Ort::Session featureSession_{nullptr};
  Ort::Session headSession_{nullptr};
  Ort::MemoryInfo memory_;
  Ort::RunOptions runOptions_;

  // Per call; kept so repeated calls reuse their storage.
  std::vector<float> window_;
  std::vector<float> six_;       // frames x 768, the six-layer means
  std::vector<float> centred_;   // frames x 768
  std::vector<float> rows_;      // frames x 63

  // The head's bound tensors.
  std::array<float, fca::kCond> cond_{};
  std::array<float, fca::kRow> prev_{};
  std::array<float, fca::kHidden> hidden_{};
  std::array<float, fca::kRow> m_{};
  std::array<float, fca::kHidden> hn_{};
};

}  // namespace le
