// The source-cone hoist's run-time half. The part of a batch-1 director that
// depends only on the source image (the "source cone", cut at the one Concat
// that reads P_rgb) runs in its own prep session once per source frame, and
// its output (the boundary tensor) becomes an input of the per-frame graph.
// SourceConePrefetcher owns the prep session, a ring of two boundary slots and
// one thread that computes the boundary of the source frame the renderer is
// predicted to need next, so that a render rarely waits for the cone.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "director/onnx_wire.h"

namespace le {

class Identity;

// The director's next source frame, guessed from how the last ones moved: the
// drive loop either plays forward and wraps, or plays back and forth.
class NextFramePredictor {
 public:
  explicit NextFramePredictor(int nt) : nt_(nt) {}
  // -1 when nothing can be predicted.
  int next(int current);

 private:
  int nt_;
  int previous_ = -1;
  int step_ = 1;
  bool looping_ = false;
};

class SourceConePrefetcher {
 public:
  // Splits `model` at its source cone. On success `model` becomes the
  // per-frame graph, slot 0 holds identity frame 0's boundary, the success
  // line is logged and the prefetch thread runs. Otherwise the "NOT applied"
  // line is logged, `model` is left whole and the result is null. The prep
  // session runs on one thread with the renderer's spinning choice.
  // ONNX Runtime errors while building the prep session propagate.
  static std::unique_ptr<SourceConePrefetcher> split(Bytes& model, const std::string& tag,
                                                     Ort::Env& env, Identity& identity, int crop,
                                                     bool spin, const Ort::RunOptions& runOptions);
  ~SourceConePrefetcher();  // stops and joins the prefetch thread
  SourceConePrefetcher(const SourceConePrefetcher&) = delete;
  SourceConePrefetcher& operator=(const SourceConePrefetcher&) = delete;

  // The per-frame graph's input that the boundary tensor feeds.
  const std::string& boundaryName() const { return boundaryName_; }

  // The boundary of source frame `frame` (render thread only): a slot that
  // holds it, else one computed now on the calling thread. Throws the prep
  // error ("Renderer: the hoisted source cone failed in ORT — ...") or
  // "Renderer: source-cone ring exhausted".
  Ort::Value& acquire(int frame);
  // Asks the prefetch thread for the frame predicted to follow `frame`, when
  // no request is pending, no prep error is recorded and no slot holds it.
  void prefetchAfter(int frame);

 private:
  struct Slot {
    int si = -1;
    std::vector<float> boundary;
    Ort::Value value{nullptr};
  };

  SourceConePrefetcher(Identity& identity, const Ort::RunOptions& runOptions);
  void runPrep(int frame, int slot);
  void prefetchLoop();

  Identity& identity_;
  const Ort::RunOptions& runOptions_;
  Ort::MemoryInfo memory_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::string boundaryName_;
  Ort::Session prep_{nullptr};
  std::vector<float> prepInput_;
  Ort::Value prepInputValue_{nullptr};
  NextFramePredictor predictor_{0};

  std::mutex ringMutex_;
  std::condition_variable ringCv_;
  Slot slots_[2];
  int inUse_ = -1;
  int requestFrame_ = -1, requestSlot_ = -1;
  std::string prepError_;
  bool stop_ = false;
  std::thread prefetch_;
};

}  // namespace le
