// The streaming audio-to-expression object behind le_a2x_* (le/le_a2x.h).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace le::a2x {

constexpr int kHop = 640;      // samples per video frame at 16 kHz and 25 fps
constexpr int kRow = 63;       // floats per keypoint row
constexpr int kLayers = 12;    // feature layers per frame
constexpr int kWidth = 768;    // floats per feature layer
constexpr int kFeatRow = kLayers * kWidth;

// The keys of a2x_meta.json. Throws "meta lacks causal window/left (not a
// streaming a2x)" without a usable window and left, and "a2x_meta.json: bad
// <key>" for a value that is not an integer (or true/false).
struct Meta {
  int h = 256, window = -1, left = -1, layers = 6;
  bool width = false;
  int silencePrime = 0;
};
Meta readMeta(const std::string& text);

class Stream {
 public:
  // Opens the bundle's streaming members and the shared feature sessions;
  // throws std::runtime_error naming what is missing or wrong.
  Stream(const std::string& bundle, int threads);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  int nt() const { return nt_; }
  bool width() const { return width_; }
  bool shortWindow() const { return shortWindow_; }
  void setEager(int eager) { eager_ = eager; }

  void reset(int start, int dir, int loop);
  void push(const float* samples, int n);
  void finish() { finished_ = true; }
  int total() const;
  int avail();
  int pull(int* idx, float* xs, float* xd, float* wn, int max);
  int deltas(const float* samples, int n, float* out, int maxFrames);
  int deltasWn(const float* samples, int n, float* out, float* wn, int maxFrames);

 private:
  void bindDecoder();
  void decodeOne(const float* ctx, std::vector<float>& prev, std::vector<float>& hidden, float* delta);
  void encodeSpan(const float* feat, int cs, int ce, int a, int b, float* enc, float* wn, int encBase);
  void counts(int& fb, int& ready) const;
  int64_t countedSamples(int fb) const;
  void copySamples(int64_t from, int64_t to, int64_t counted, float* dst) const;
  float* featRow(int frame);
  void legacyFeatures(int need, int fb);
  void shortFeatures(int need, int fb);
  void advance(int target);
  void releaseConsumed();
  int driverIndex(int n) const;
  void primeWithSilence(int frames);

  Ort::Env env_;
  Ort::SessionOptions options_{nullptr};
  Ort::MemoryInfo memory_;
  Ort::RunOptions run_;
  Ort::Session* w2v_ = nullptr;  // process-wide, not owned
  std::unique_ptr<Ort::Session> enc_, dec_;
  std::string encOut0_, encOut1_;
  bool width_ = false;
  bool shortWindow_ = false;

  int h_ = 256, window_ = 0, left_ = 0;
  int ctxLeft_ = 0, ctxAhead_ = 0, right_ = 12, winRight_ = 12;
  int nt_ = 0, posRows_ = 0;
  std::vector<float> pos_, xsTarget_;
  float normMean_[kRow] = {}, normStd_[kRow] = {};

  // One utterance. Sample, feature and row stores drop their consumed
  // prefixes: audioBase_ / featBase_ / rowBase_ are the absolute sample /
  // frame of element 0.
  std::vector<float> audio_;
  int64_t audioBase_ = 0;
  bool finished_ = false;
  int emitted_ = 0, start_ = 0, dir_ = 1;
  bool loop_ = true;
  int eager_ = -1;
  std::vector<float> feat_;
  int featBase_ = 0, w2vPos_ = 0, featDone_ = 0;
  std::vector<float> encRows_, wnRows_;
  int encDone_ = 0, rowBase_ = 0;
  std::vector<float> deltas_;
  int decDone_ = 0;
  std::vector<float> prev_, hidden_, primedPrev_, primedHidden_;
  std::vector<float> offlineWn_;

  // Scratch reused across calls.
  std::vector<float> windowBuf_, trunkOut_, headIn_, encPos_, encAttn_;
  std::vector<float> decCtx_, decM_, decH_;
  std::vector<int64_t> decMShape_, decHShape_;
  std::vector<uint16_t> halfScratch_;
};

// Opens the process-wide legacy feature session from `path` if none is open.
bool preloadLegacy(const std::string& path);

}  // namespace le::a2x
