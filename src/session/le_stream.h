// The offline stream behind le_stream: a whole utterance's keypoint deltas at
// once, then every frame rendered on a thread of its own and pasted, in
// order, on the caller's thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "le/le.h"

namespace le {

class Stream {
 public:
  static constexpr int kRingSlots = 4;

  Stream(const std::string& bundleDir, const std::string& featureModel, int threads, int shift,
         float gain);
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Frames delivered, or -1 with the reason in the stream family's message.
  int run(const float* samples, int n, le_stream_frame_fn onFrame, void* user);

  int width() const { return width_; }
  int height() const { return height_; }
  // Crops the render thread has put into the ring during the current run
  // (the callback of frame k sees at most k + 1 + kRingSlots).
  int cropsRendered() const;
  // Where the time of the last run went (zeros before the first run).
  le_stream_stats stats() const;

 private:
  struct ContextDeleter {
    void operator()(le_ctx* c) const { le_destroy(c); }
  };
  struct FcaDeleter {
    void operator()(le_fca* f) const { le_fca_destroy(f); }
  };

  void renderLoop(int count);
  // Records the first failure of a run and stops both threads.
  void fail(const std::string& what);

  // Declared before the fca object, so released after it.
  std::unique_ptr<le_ctx, ContextDeleter> ctx_;
  std::unique_ptr<le_fca, FcaDeleter> fca_;
  std::vector<float> xsTarget_;
  int nt_ = 0;
  int width_ = 0;
  int height_ = 0;
  int crop_ = 0;
  int shift_ = 0;
  float gain_ = 1.f;

  std::vector<float> deltas_;
  std::vector<uint8_t> frame_;
  std::array<std::vector<float>, kRingSlots> ring_;

  // The ring: slot k mod 4 holds frame k while rendered_ > k >= pasted_.
  mutable std::mutex mutex_;
  std::condition_variable slotFree_;
  std::condition_variable cropReady_;
  int rendered_ = 0;
  int pasted_ = 0;
  std::string failure_;
  // Timing of the current or last run: deltas and paste on the calling
  // thread, render on the render thread (read after it is joined).
  le_stream_stats stats_{};
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
};

}  // namespace le

struct le_stream {
  le::Stream stream;
  le_stream(const std::string& bundleDir, const std::string& featureModel, int threads, int shift,
            float gain)
      : stream(bundleDir, featureModel, threads, shift, gain) {}
};
