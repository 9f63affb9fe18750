// The motion generator behind le_motion_*: speech audio to one keypoint row
// per video frame through a motion directory's three networks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/le_logmel.h"

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
