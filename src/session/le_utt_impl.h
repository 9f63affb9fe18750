// The utterance session behind le_utt_* (le/le.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/le_context.h"
#include "tessera/le_tessera_stream.h"
#include "le/le.h"

namespace le::session {

constexpr int kRow = 63;

// The audio-to-motion model the dispatcher drives (le_a2x or le_motion).
class MotionModel {
 public:
  virtual ~MotionModel() = default;
  virtual void reset(int start, int dir, int loop) = 0;
  virtual void setEager(int eager) = 0;
  virtual bool push(const float* samples, int n) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  virtual int pull(int* idx, float* xs, float* xd, int max) = 0;
  virtual int total() = 0;
  virtual std::string lastError() = 0;
};

struct KpRow {
  int idx = 0;
  float xs[kRow] = {};
  float xd[kRow] = {};
};

// One frame on its way to the delivered ring.
struct PasteJob {
  std::vector<float> crop;  // 3 x crop x crop, empty for an idle frame
  int kind = 0;             // 0 idle, 1 speech, 2 ramp
  int driverIndex = 0;
  int speechSeq = 0;
  float xd[kRow] = {};
  uint64_t generation = 0;
  double enqueueMs = 0;
  double renderMs = 0;
};

class Session {
 public:
  Session(Context& ctx, const le_utt_opts& opts);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int ready(std::string& error);
  void push(const int16_t* samples, int n);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  int pull(uint8_t* dst, size_t capacity, le_utt_frame_info* info, bool& tooSmall);
  void stats(le_utt_stats& out);
  int renderStatus(std::string& message, int& count);
  // The teeth stage: arms a borrow (once) and starts its thread.
  void attachTeeth(std::unique_ptr<tessera::StreamBorrow> borrow);
  int cropSide() const { return crop_; }
  bool xsTargetKnown() const { return !xsTarget_.empty(); }
  const std::string& bundleDir() const { return ctx_.manifest.dir; }
  bool teethStats(le_utt_tessera_counts& out);
  int teethSynthW();
  bool teethGeometry(int* out);

 private:
  struct Job {
    bool begin = false;
    int start = 0;
    int eager = -1;
    std::vector<float> samples;
    bool finish = false;
    uint64_t generation = 0;
    int room = 0;
  };
  struct Slot {
    std::vector<uint8_t> rgba;
    int kind = 0, driverIndex = 0, speechSeq = 0;
    double tMs = 0;
  };

  void shutdown();
  bool stopping();
  void warm();
  void dispatchLoop();
  void run();
  void pasteLoop();
  int framesAhead() const;
  void beginUtterance();
  void dropUtterance();
  bool utteranceMotionDone() const;
  void maybeSubmitJob(bool ended);
  int chooseBatch();
  bool renderSpeech(std::unique_lock<std::mutex>& lock, int batch);
  bool produceRamp(std::unique_lock<std::mutex>& lock);
  PasteJob speechJob(const KpRow& row, const float* crop, double renderMs, uint64_t generation, int seq);
  void dispatchFrame(std::unique_lock<std::mutex>& lock, PasteJob job);
  void pasteInto(const PasteJob& job);
  void deliver(std::unique_lock<std::mutex>& lock, PasteJob job);
  void teethLoop();
  void tessEmitHeldP(std::unique_lock<std::mutex>& lock, std::vector<tessera::BorrowResult>& results);
  void teethDrain(std::unique_lock<std::mutex>& lock);
  void noteTeethFail(const std::string& message);
  void noteRenderFail(const char* stage, const std::string& message);
  void stageReport() const;

  Context& ctx_;
  std::string motionDir_, motionEp_, steadyModel_;
  int threads_ = 0;
  bool a2xMode_ = false, pipelinePaste_ = false, hybrid_ = false;
  int batch_ = -1, eager_ = -1, rampFrames_ = 6, paramB_ = 4;
  double gapMs_ = 600;
  int nt_ = 0, W_ = 0, H_ = 0, crop_ = 0;
  size_t frameBytes_ = 0;
  std::vector<float> xsTarget_;

  std::mutex m_;
  std::condition_variable producerCv_, pasterCv_, dispatchCv_, deliverCv_;
  // Host input.
  std::vector<float> pending_;
  double firstPushMs_ = 0, lastPushMs_ = 0;
  bool endFlag_ = false, stop_ = false, dispatcherStop_ = false;
  uint64_t generation_ = 0;
  // Models.
  std::unique_ptr<MotionModel> model_;
  std::unique_ptr<Renderer> chunk_;
  bool modelReady_ = false, loadFailed_ = false;
  std::string loadError_;
  // Dispatcher.
  Job job_;
  bool jobWaiting_ = false, jobRunning_ = false;
  std::deque<KpRow> kpRing_;
  int pulledTotal_ = 0, motionTotal_ = -1, remaining_ = 0, lastJobGot_ = -1;
  // Producer.
  int state_ = 0, idleIndex_ = 0, speechSeq_ = 0;
  bool begun_ = false, finishSent_ = false;
  std::vector<float> toSend_;
  int renderedThisUtterance_ = 0, lastSpeechIdx_ = 0, rampLeft_ = 0, hybridBatch_ = 3;
  float lastXd_[kRow] = {}, rampOffset_[kRow] = {};
  std::vector<KpRow> batchRows_;
  std::vector<int> si_;
  std::vector<float> kpS_, kpD_;
  // Paste and delivery.
  std::deque<PasteJob> pasteQueue_;
  int pasting_ = 0;
  Slot slots_[8];
  uint64_t written_ = 0, read_ = 0;
  std::vector<uint8_t> rgb_;
  // Failures (own lock: recorded from every thread).
  std::mutex failMutex_;
  bool renderFailed_ = false;
  int renderFailures_ = 0;
  std::string renderFailure_;
  // Statistics and the stage report.
  le_utt_stats stats_ = {};
  long long jobsB_ = 0, jobsC_ = 0;
  double stageAWork_ = 0, stageAWait_ = 0, stageB_ = 0, stageC_ = 0;

  // Teeth stage: jobs wait in teethQueue_, crops the pass still holds in
  // teethHeld_ (same order as pushed).
  std::unique_ptr<tessera::StreamBorrow> borrow_;
  std::condition_variable teethCv_;
  std::deque<PasteJob> teethQueue_;
  std::deque<PasteJob> teethHeld_;
  int teethBusy_ = 0;
  uint64_t teethGeneration_ = 0;
  tessera::BorrowStats teethCounts_;  // copied under the mutex after each pass call
  int teethFailures_ = 0;
  std::string teethFailure_;

  bool threadsUp_ = false;
  std::thread dispatcher_, warm_, producer_, paster_, teeth_;
};

}  // namespace le::session
