// The motion generator behind le_motion_*: speech audio to one keypoint row
// per video frame through a motion directory's three networks.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace le::motion {

constexpr int kSamplesPerFrame = 640;
constexpr int kKpFloats = 63;
constexpr int kFeatDim = 1024;
constexpr int kLatentDim = 265;
constexpr int kItemDim = 1103;

// The keys of a motion directory's meta.json.
struct Meta {
  int nt = 0;
  int nSrc = 0;
  int nEmo = 0;
  float sBridge = 1.0f;
  float deltaPitch = 0.0f;
};

// Reads meta.json's text by plain key search (root-level scalars first).
// Throws "meta.json: missing <key>" for an absent required key,
// "meta.json: bad <key>" for a value that is not a finite number of the
// key's kind (counts are integers >= 1), and "le_motion: n_src != nt
// unsupported" when the two counts differ.
Meta readMeta(const std::string& text);

// Driver frame of utterance frame n: start + n * dir, wrapped modulo nt
// (loop) or reflected at both ends of the clip (bounce); 0 when nt <= 1.
int driverIndex(long long n, int start, int dir, bool loop, int nt);

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

class Motion {
 public:
  // threads < 1: the worker pool's size. ep: "" or "cpu", or "coreml..."
  // (CPU where this runtime has no CoreML). Loads everything; throws on any
  // missing or inconsistent member.
  Motion(const std::string& dir, int threads, const std::string& ep);
  ~Motion();
  Motion(const Motion&) = delete;
  Motion& operator=(const Motion&) = delete;

  int nt() const;
  void reset(int start, int direction, int loop);
  void setEager(int value);
  bool finished() const;
  void push(const float* samples, int n);
  void finish();
  int total() const;  // -1 before finish
  int avail();
  int pull(int* idx, float* xs, float* xd, int max);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace le::motion
