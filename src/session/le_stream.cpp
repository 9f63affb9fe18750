// The offline stream (le_stream_*).
#include "session/le_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "audio/le_audio_keys.h"
#include "audio/le_fca.h"
#include "bundle/le_bundle.h"
#include "core/le_error.h"

namespace le {

namespace {
// The driver frame of audio step i: the clip in loop order from frame 0.
int driverOfStep(int step, int nt) { return audio::driverIndex(step, 0, 1, true, nt); }

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }
}  // namespace

Stream::Stream(const std::string& bundleDir, const std::string& featureModel, int threads, int shift,
               float gain)
    : shift_(shift), gain_(gain) {
  ctx_.reset(le_create(bundleDir.c_str(), "render", threads, ""));
  if (!ctx_) throw std::runtime_error(le_last_error());
  nt_ = le_nt(ctx_.get());
  width_ = le_width(ctx_.get());
  height_ = le_height(ctx_.get());
  crop_ = le_crop(ctx_.get());
  const std::string dir = resolveBundlePath(bundleDir);
  fca_.reset(le_fca_create(featureModel.c_str(), resolveMember(dir, "fca_stream.onnx").c_str(), threads));
  if (!fca_) throw std::runtime_error(le_fca_last_error());
  const size_t want = static_cast<size_t>(nt_) * fca::kRow;
  std::string bytes;
  try {
    bytes = readFile(resolveMember(dir, "xs_target.bin"));
  } catch (const std::exception&) {
    bytes.clear();
  }
  if (bytes.size() != want * sizeof(float)) throw std::runtime_error("cannot read xs_target.bin (NT*63 f32)");
  xsTarget_.resize(want);
  std::memcpy(xsTarget_.data(), bytes.data(), bytes.size());
  frame_.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 3);
  for (auto& slot : ring_) slot.resize(static_cast<size_t>(crop_) * static_cast<size_t>(crop_) * 3);
}

int Stream::cropsRendered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rendered_;
}

le_stream_stats Stream::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void Stream::fail(const std::string& what) {
  {
    // Under the mutex, so a thread between its wait's check and its sleep
    // cannot miss the wake-up.
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = what;
    stop_ = true;
  }
  slotFree_.notify_all();
  cropReady_.notify_all();
}

// Renders output frames 0 ... count - 1 in order into the ring. The context's
// renderer is used only here and its compositor and driver cursor only on the
// pasting thread, so the two never share a member.
void Stream::renderLoop(int count) {
  std::array<float, fca::kRow> xd;
  int driver = driverOfStep(shift_, nt_);
  for (int k = 0; k < count && !stop_; ++k) {
    const size_t step = static_cast<size_t>(k) + static_cast<size_t>(shift_);
    const float* xs = xsTarget_.data() + static_cast<size_t>(driver) * fca::kRow;
    const float* delta = deltas_.data() + step * fca::kRow;
    for (int c = 0; c < fca::kRow; ++c) xd[c] = xs[c] + gain_ * delta[c];
    const auto renderStart = Clock::now();
    const float* crop = le_render_kp_crop(ctx_.get(), driver, xs, xd.data());
    const double renderMs = msSince(renderStart);
    if (!crop) {
      fail("frame " + std::to_string(k) + " render: " + le_last_error());
      return;
    }
    {
      std::unique_lock<std::mutex> lock(mutex_);
      slotFree_.wait(lock, [&] { return stop_ || rendered_ - pasted_ < kRingSlots; });
      if (stop_) return;
    }
    // The slot is free: the paster reads only slots of frames below rendered_.
    std::vector<float>& slot = ring_[static_cast<size_t>(k) % kRingSlots];
    std::memcpy(slot.data(), crop, slot.size() * sizeof(float));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      rendered_ = k + 1;
      stats_.render_ms += renderMs;
    }
    cropReady_.notify_one();
    driver = driverOfStep(k + 1 + shift_, nt_);
  }
}

int Stream::run(const float* samples, int n, le_stream_frame_fn onFrame, void* user) {
  bool idle = false;
  if (!running_.compare_exchange_strong(idle, true)) {
    capi::setError(capi::Family::Stream, "le_stream_run: a run is already in progress on this stream");
    return -1;
  }
  struct Running {
    std::atomic<bool>& flag;
    ~Running() { flag = false; }
  } running{running_};

  const auto runStart = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = le_stream_stats{};
  }
  const int frames = fca::framesOf(n);
  deltas_.resize(static_cast<size_t>(frames) * fca::kRow);
  const int made = le_fca_deltas(fca_.get(), samples, n, deltas_.data(), frames);
  const double deltasMs = msSince(runStart);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.deltas_ms = deltasMs;
    stats_.wall_ms = deltasMs;
  }
  if (made != frames) {
    capi::setError(capi::Family::Stream, std::string("le_stream_run: ") + le_fca_last_error());
    return -1;
  }
  const int count = frames - shift_;
  if (count < 1) return 0;

  rendered_ = 0;
  pasted_ = 0;
  failure_.clear();
  stop_ = false;
  // Whatever ends this call (a failure, or an exception out of the host's
  // callback), the render thread is stopped and joined first.
  struct Joiner {
    Stream& s;
    std::thread t;
    void join() {
      if (!t.joinable()) return;
      {
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.stop_ = true;
      }
      s.slotFree_.notify_all();
      t.join();
    }
    ~Joiner() { join(); }
  } joiner{*this, std::thread(&Stream::renderLoop, this, count)};

  int driver = driverOfStep(shift_, nt_);
  for (int k = 0; k < count; ++k) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cropReady_.wait(lock, [&] { return stop_ || rendered_ > k; });
      if (rendered_ <= k) break;
    }
    const float* crop = ring_[static_cast<size_t>(k) % kRingSlots].data();
    const auto pasteStart = Clock::now();
    if (!le_paste_crop(ctx_.get(), driver, crop, frame_.data(), frame_.size())) {
      fail("frame " + std::to_string(k) + " paste: " + le_last_error());
      break;
    }
    const double pasteMs = msSince(pasteStart);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pasted_ = k + 1;
      stats_.paste_ms += pasteMs;
    }
    slotFree_.notify_one();
    if (onFrame) {
      const auto callbackStart = Clock::now();
      onFrame(user, k, frame_.data(), frame_.size(), width_, height_);
      const double callbackMs = msSince(callbackStart);
      std::lock_guard<std::mutex> lock(mutex_);
      stats_.callback_ms += callbackMs;
    }
    driver = driverOfStep(k + 1 + shift_, nt_);
  }
  joiner.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.frames = pasted_;
    stats_.wall_ms = msSince(runStart);
  }
  if (!failure_.empty()) {
    capi::setError(capi::Family::Stream, "le_stream_run: render/paste failed: " + failure_);
    return -1;
  }
  // A refused call from inside the callback may have left a message; the
  // run itself succeeded.
  capi::clearError(capi::Family::Stream);
  return count;
}

}  // namespace le

namespace {
using le::capi::Family;
using le::capi::guarded;
using le::capi::setError;
}  // namespace

extern "C" {

LE_API le_stream* le_stream_create(const char* bundle_dir, const char* feature_model, int threads,
                                   int shift, float gain) {
  return guarded(Family::Stream, "le_stream_create", static_cast<le_stream*>(nullptr), [&]() -> le_stream* {
    if (!bundle_dir || !feature_model) {
      setError(Family::Stream, "le_stream_create: NULL bundle_dir/feature_model");
      return nullptr;
    }
    if (shift < 0 || !std::isfinite(gain)) {
      setError(Family::Stream, "le_stream_create: shift must be >= 0 and gain finite");
      return nullptr;
    }
    return new le_stream(bundle_dir, feature_model, threads, shift, gain);
  });
}

LE_API void le_stream_destroy(le_stream* stream) {
  le::capi::silent(0, [&] {
    delete stream;
    return 0;
  });
}

LE_API int le_stream_width(const le_stream* stream) { return stream ? stream->stream.width() : 0; }
LE_API int le_stream_height(const le_stream* stream) { return stream ? stream->stream.height() : 0; }

LE_API int le_stream_get_stats(const le_stream* stream, le_stream_stats* out) {
  return guarded(Family::Stream, "le_stream_get_stats", 0, [&]() -> int {
    if (!stream || !out) {
      setError(Family::Stream, "le_stream_get_stats: NULL stream/out");
      return 0;
    }
    *out = stream->stream.stats();
    return 1;
  });
}

LE_API int le_stream_run(le_stream* stream, const float* samples, int n, le_stream_frame_fn on_frame,
                         void* user) {
  return guarded(Family::Stream, "le_stream_run", -1, [&]() -> int {
    if (!stream) {
      setError(Family::Stream, "le_stream_run: NULL stream");
      return -1;
    }
    return stream->stream.run(samples, n, on_frame, user);
  });
}

}  // extern "C"
