// The utterance session: speech in, finished RGBA frames out, in real time.
//
// Threads and what they own:
//  - the host: pushes audio, ends and interrupts utterances, pulls frames;
//  - warm-up (`warm`): loads the audio model and the chunk renderer once;
//  - the motion dispatcher (`dispatchLoop`): the only user of the audio model;
//    it turns jobs (audio, finish, poll) into keypoint rows in a 32-row ring;
//  - the producer (`run`): decides what the next frame is (idle, speech,
//    ramp), renders speech and ramp crops (the only user of the renderers);
//  - the paster (`pasteLoop`, when pipelined): pastes crops into driver
//    frames and delivers them into an 8-slot ring (the only user of the
//    compositor); without it the producer delivers itself.
// One mutex guards the shared state; models, renderers and pasting run
// outside it. Every piece of queued work carries the interrupt generation it
// was made in, and work of an older generation is dropped, never delivered.
//
// Speech frames continue the driver clip from where idle frames left it: the
// audio model's row gives the delta (xd - xs) and the session applies it to
// the source keypoints of the driver frame it actually pastes into, so idle
// frames shown while the model gathers its look-ahead never make the clip
// jump back.
#include "session/le_utt_impl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "core/le_env.h"
#include "core/le_error.h"
#include "le/le_a2x.h"
#include "paste/le_simd.h"

namespace le::session {
namespace {

constexpr int kKpRing = 32;
constexpr int kDelivered = 8;
constexpr int kIdleAhead = 2;  // idle frames kept ready: enough to never starve a 25 fps host
constexpr auto kDeliverWait = std::chrono::milliseconds(2);
constexpr auto kProducerTick = std::chrono::milliseconds(10);

double nowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// le_a2x and le_motion behind one interface: the dispatcher drives either
// through the same calls.
class A2xModel : public MotionModel {
 public:
  A2xModel(const std::string& dir, int threads) : a_(le_a2x_create(dir.c_str(), threads)) {
    if (!a_) throw std::runtime_error(le_a2x_last_error());
  }
  ~A2xModel() override { le_a2x_destroy(a_); }
  void reset(int start, int dir, int loop) override { le_a2x_reset(a_, start, dir, loop); }
  void setEager(int eager) override { le_a2x_set_eager(a_, eager); }
  bool push(const float* s, int n) override { return le_a2x_push(a_, s, n) == 1; }
  void finish() override { le_a2x_finish(a_); }
  int avail() override { return le_a2x_avail(a_); }
  int pull(int* idx, float* xs, float* xd, int max) override { return le_a2x_pull(a_, idx, xs, xd, max); }
  int total() override { return le_a2x_total(a_); }
  std::string lastError() override { return le_a2x_last_error(); }

 private:
  le_a2x* a_;
};

class MotionGenerator : public MotionModel {
 public:
  MotionGenerator(const std::string& dir, int threads, const std::string& ep)
      : m_(le_motion_create(dir.c_str(), threads, ep.c_str())) {
    if (!m_) throw std::runtime_error(le_motion_last_error());
  }
  ~MotionGenerator() override { le_motion_destroy(m_); }
  void reset(int start, int dir, int loop) override { le_motion_reset(m_, start, dir, loop); }
  void setEager(int eager) override { le_motion_set_eager(m_, eager); }
  bool push(const float* s, int n) override { return le_motion_push(m_, s, n) == 1; }
  void finish() override { le_motion_finish(m_); }
  int avail() override { return le_motion_avail(m_); }
  int pull(int* idx, float* xs, float* xd, int max) override { return le_motion_pull(m_, idx, xs, xd, max); }
  int total() override { return le_motion_total(m_); }
  std::string lastError() override { return le_motion_last_error(); }

 private:
  le_motion* m_;
};

}  // namespace

// ---- Construction and destruction ------------------------------------------------

Session::Session(Context& ctx, const le_utt_opts& opts) : ctx_(ctx) {
  motionDir_ = opts.motion_dir ? opts.motion_dir : "";
  if (motionDir_.empty()) throw std::runtime_error("opts.motion_dir required");
  threads_ = opts.threads > 0 ? opts.threads : ctx.threads;
  motionEp_ = opts.ep ? opts.ep : "";
  a2xMode_ = fs::isRegularFile(resolveMember(resolveBundlePath(motionDir_), "a2x_enc_stream.onnx"));

  pipelinePaste_ = envInt("LE_UTT_PIPELINE_PASTE", a2xMode_ ? 1 : 0) != 0;
  steadyModel_ = opts.steady_model && *opts.steady_model ? opts.steady_model : "b24_fp32";
  const std::string steady = envText("LE_STEADY_MODEL");
  if (!steady.empty()) steadyModel_ = steady;
  batch_ = opts.batch;
  if (batch_ == -2) {
    hybrid_ = true;
  } else if (batch_ < 1) {
    // On for any first character but "0", and for "0" followed by more.
    const std::string h = envText("LE_UTT_HYBRID");
    hybrid_ = !h.empty() && (h[0] != '0' || h.size() > 1);
    batch_ = -1;
  }
  eager_ = hybrid_ ? 3 : batch_;
  gapMs_ = opts.gap_s == 0 ? 600.0 : opts.gap_s * 1000.0;
  rampFrames_ = opts.ramp_frames > 0 ? opts.ramp_frames : 6;
  paramB_ = opts.param_b != 0 ? opts.param_b : 4;

  nt_ = ctx.manifest.NT;
  W_ = ctx.manifest.W;
  H_ = ctx.manifest.H;
  crop_ = ctx.manifest.crop;
  {
    std::string bytes;
    try {
      bytes = readFile(resolveMember(ctx.manifest.dir, "xs_target.bin"));
    } catch (const std::exception&) {
    }
    if (bytes.size() == static_cast<size_t>(nt_) * kRow * sizeof(float)) {
      xsTarget_.resize(static_cast<size_t>(nt_) * kRow);
      std::memcpy(xsTarget_.data(), bytes.data(), bytes.size());
    }
  }
  if (xsTarget_.empty()) throw std::runtime_error("xs_target.bin is absent or not NT x 63 floats");

  frameBytes_ = static_cast<size_t>(W_) * H_ * 4;
  for (auto& slot : slots_) slot.rgba.resize(frameBytes_);
  rgb_.resize(static_cast<size_t>(W_) * H_ * 3);
  // The renderer's director note describes a director that loaded; it is
  // not a failure, so it is not counted as one.

  threadsUp_ = true;
  try {
    dispatcher_ = std::thread([this] { dispatchLoop(); });
    warm_ = std::thread([this] { warm(); });
    producer_ = std::thread([this] { run(); });
    if (pipelinePaste_) paster_ = std::thread([this] { pasteLoop(); });
  } catch (...) {
    shutdown();
    throw;
  }
}

Session::~Session() { shutdown(); }

void Session::shutdown() {
  if (!threadsUp_) return;
  threadsUp_ = false;
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  producerCv_.notify_all();
  pasterCv_.notify_all();
  deliverCv_.notify_all();
  teethCv_.notify_all();
  for (std::thread* t : {&producer_, &warm_, &paster_, &teeth_})
    if (t->joinable()) t->join();
  {
    std::lock_guard<std::mutex> lock(m_);
    dispatcherStop_ = true;
  }
  dispatchCv_.notify_all();
  if (dispatcher_.joinable()) dispatcher_.join();
  if (envIsSet("LE_UTT_STAGE_REPORT")) stageReport();
  chunk_.reset();
  model_.reset();
}

void Session::stageReport() const {
  const long long speech = stats_.speech_rendered;
  if (jobsB_ == 0) {
    std::fprintf(stderr,
                 "[le_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and the "
                 "paste-job counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames "
                 "delivered). stageA/stageB/stageC and the deliver latency are NOT reported rather than "
                 "reported as zero: on this path the paste does not run through the counted queue.\n",
                 pipelinePaste_ ? 1 : 0, jobsB_, static_cast<long long>(stats_.speech_delivered));
    return;
  }
  const double perSpeech = speech > 0 ? 1.0 / speech : 0;
  std::fprintf(stderr,
               "[le_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
               "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
               pipelinePaste_ ? 1 : 0, jobsB_, jobsC_, (stageAWork_ + stageAWait_) * perSpeech,
               stageAWork_ * perSpeech, stageAWait_ * perSpeech, stageB_ / jobsB_,
               jobsC_ ? stageC_ / jobsC_ : 0.0, speech ? stats_.deliver_ms_total / speech : 0.0, speech);
}

// ---- Warm-up -------------------------------------------------------------------

void Session::warm() {
  std::unique_ptr<MotionModel> model;
  std::string loadError;
  try {
    if (a2xMode_)
      model = std::make_unique<A2xModel>(motionDir_, threads_);
    else
      model = std::make_unique<MotionGenerator>(motionDir_, threads_, motionEp_);
    model->setEager(eager_);
  } catch (const std::exception& e) {
    loadError = e.what();
  }
  std::unique_ptr<Renderer> chunk;
  if (model && !stopping()) {
    try {
      chunk = std::make_unique<Renderer>(ctx_.manifest, ctx_.identity, steadyModel_, ctx_.threads, ctx_.ep);
      const std::string frameEp = ctx_.renderer->ep(), chunkEp = chunk->ep();
      if (frameEp.find("coreml-native") != std::string::npos &&
          chunkEp.find("coreml-native") == std::string::npos) {
        std::fprintf(stderr,
                     "[le_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs "
                     "on ep=%s while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's "
                     "own CoreML director costs MORE per frame than the per-frame path it was meant to "
                     "amortize, and letting timing choose between two runtimes makes the delivered pixels "
                     "depend on scheduling.\n",
                     steadyModel_.c_str(), frameEp.c_str(), chunkEp.c_str());
        chunk.reset();
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[le_utt] steady chunk renderer '%s' not loaded (%s): rendering one frame at a time\n",
                   steadyModel_.c_str(), e.what());
      chunk.reset();
    }
    // One frame through each renderer, so the first speech frame does not pay
    // for the runtimes' first-run allocations.
    try {
      const float* xs = xsTarget_.data();
      int si = 0;
      ctx_.renderer->render(&si, xs, xs, 1);
      if (chunk) chunk->render(&si, xs, xs, 1);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what());
    } catch (...) {
      noteRenderFail("warm-up", "unknown failure");
    }
  }
  std::lock_guard<std::mutex> lock(m_);
  chunk_ = std::move(chunk);
  if (model) {
    model_ = std::move(model);
    modelReady_ = true;
  } else {
    loadFailed_ = true;
    loadError_ = loadError;
  }
  producerCv_.notify_all();
}

bool Session::stopping() {
  std::lock_guard<std::mutex> lock(m_);
  return stop_;
}

// ---- Motion dispatcher ----------------------------------------------------------

void Session::dispatchLoop() {
  std::vector<int> idx(kKpRing);
  std::vector<float> xs(kKpRing * kRow), xd(kKpRing * kRow);
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    dispatchCv_.wait(lock, [&] { return dispatcherStop_ || jobWaiting_; });
    if (dispatcherStop_) return;
    Job job = std::move(job_);
    jobWaiting_ = false;
    jobRunning_ = true;
    MotionModel* model = model_.get();
    lock.unlock();
    int got = 0, avail = 0, total = -1;
    if (job.begin) model->reset(job.start, 1, 1);
    model->setEager(job.eager);
    if (!job.samples.empty()) model->push(job.samples.data(), static_cast<int>(job.samples.size()));
    if (job.finish) model->finish();
    avail = model->avail();
    if (job.room > 0) got = std::max(0, model->pull(idx.data(), xs.data(), xd.data(), job.room));
    total = model->total();
    lock.lock();
    jobRunning_ = false;
    if (job.generation == generation_) {
      for (int i = 0; i < got; ++i) {
        KpRow row;
        row.idx = idx[i];
        std::memcpy(row.xs, xs.data() + i * kRow, sizeof row.xs);
        std::memcpy(row.xd, xd.data() + i * kRow, sizeof row.xd);
        kpRing_.push_back(row);
      }
      pulledTotal_ += got;
      motionTotal_ = total;
      remaining_ = std::max(0, avail - got);
      lastJobGot_ = got;
    }
    producerCv_.notify_all();
  }
}

// ---- Producer ---------------------------------------------------------------------

// Frames made but not yet pulled: in the delivered ring, queued for the
// paster, or being pasted.
int Session::framesAhead() const {
  return static_cast<int>(written_ - read_) + static_cast<int>(pasteQueue_.size()) + pasting_ +
         static_cast<int>(teethQueue_.size() + teethHeld_.size()) + teethBusy_;
}

void Session::beginUtterance() {
  state_ = 1;
  ++speechSeq_;
  ++stats_.utterances;
  begun_ = false;
  finishSent_ = false;
  pulledTotal_ = 0;
  motionTotal_ = -1;
  remaining_ = 0;
  renderedThisUtterance_ = 0;
  toSend_.clear();
}

void Session::dropUtterance() {
  state_ = 0;
  kpRing_.clear();
  toSend_.clear();
  finishSent_ = false;
  rampLeft_ = 0;
}

bool Session::utteranceMotionDone() const {
  if (!finishSent_ || jobWaiting_ || jobRunning_ || !kpRing_.empty()) return false;
  // A model that fails part-way never reaches its total: a poll after finish
  // that found nothing ends the utterance too.
  return (motionTotal_ >= 0 && pulledTotal_ >= motionTotal_) || (remaining_ == 0 && lastJobGot_ == 0);
}

void Session::maybeSubmitJob(bool ended) {
  if (jobWaiting_ || jobRunning_ || !modelReady_) return;
  const int room = kKpRing - static_cast<int>(kpRing_.size());
  const bool finishNow = ended && !finishSent_;
  const bool poll = begun_ && room > 0 && (remaining_ > 0 || (finishSent_ && !utteranceMotionDone()));
  if (toSend_.empty() && !finishNow && !poll) return;
  if (!begun_ && toSend_.empty() && !finishNow) return;
  job_ = Job{};
  job_.begin = !begun_;
  job_.start = idleIndex_;
  job_.eager = eager_;
  job_.samples.swap(toSend_);
  job_.finish = finishNow;
  job_.generation = generation_;
  job_.room = room;
  begun_ = true;
  if (finishNow) {
    finishSent_ = true;
    endFlag_ = false;
  }
  lastJobGot_ = -1;
  jobWaiting_ = true;
  dispatchCv_.notify_all();
}

int Session::chooseBatch() {
  if (!hybrid_) return batch_;
  const int backlog = static_cast<int>(kpRing_.size()) + remaining_;
  if (hybridBatch_ != 24 && backlog > 23) hybridBatch_ = 24;
  else if (hybridBatch_ == 24 && backlog < 12) hybridBatch_ = 3;
  return hybridBatch_;
}

void Session::run() {
  std::unique_lock<std::mutex> lock(m_);
  uint64_t seenGeneration = generation_;
  while (!stop_) {
    if (seenGeneration != generation_) {
      seenGeneration = generation_;
      dropUtterance();
    }
    // Audio pushed while no model is published is dropped: there is nothing
    // to turn it into and the host's clock has moved on.
    if (!pending_.empty()) {
      if (!modelReady_) {
        pending_.clear();
      } else if (state_ == 0 || state_ == 3 || (!finishSent_ && (state_ == 1 || state_ == 2))) {
        if (state_ == 0 || state_ == 3) {
          rampLeft_ = 0;
          beginUtterance();
        }
        toSend_.insert(toSend_.end(), pending_.begin(), pending_.end());
        pending_.clear();
      }
    }
    const bool speaking = state_ == 1 || state_ == 2;
    const bool gapOver = gapMs_ >= 0 && speaking && lastPushMs_ > 0 && nowMs() - lastPushMs_ >= gapMs_;
    if (endFlag_ && !speaking) endFlag_ = false;
    if (speaking) maybeSubmitJob(pending_.empty() && (endFlag_ || gapOver));

    const int ahead = framesAhead();
    bool made = false;
    if (speaking && !kpRing_.empty() && ahead < kDelivered) {
      made = renderSpeech(lock, chooseBatch());
    } else if (speaking && utteranceMotionDone()) {
      if (renderedThisUtterance_ > 0 && rampFrames_ > 0) {
        state_ = 3;
        rampLeft_ = rampFrames_;
        for (int k = 0; k < kRow; ++k) rampOffset_[k] = lastXd_[k] - xsTarget_[static_cast<size_t>(lastSpeechIdx_) * kRow + k];
      } else {
        state_ = 0;
      }
      made = true;
    } else if (state_ == 3 && ahead < kDelivered) {
      made = produceRamp(lock);
    } else if ((state_ == 0 || (state_ == 1 && kpRing_.empty())) && ahead < kIdleAhead) {
      PasteJob job;
      job.kind = 0;
      job.driverIndex = idleIndex_;
      job.generation = generation_;
      job.enqueueMs = nowMs();
      idleIndex_ = (idleIndex_ + 1) % nt_;
      made = true;
      dispatchFrame(lock, std::move(job));
    }
    if (!made && !stop_) producerCv_.wait_for(lock, kProducerTick);
  }
}

// Renders up to `batch` waiting rows (one at a time, or in one chunk) and
// hands the crops on. Called and returns with the lock held.
bool Session::renderSpeech(std::unique_lock<std::mutex>& lock, int batch) {
  const int n = std::min<int>(std::max(batch, 1), static_cast<int>(kpRing_.size()));
  if (n < 1) return false;
  state_ = 2;
  batchRows_.assign(kpRing_.begin(), kpRing_.begin() + n);
  kpRing_.erase(kpRing_.begin(), kpRing_.begin() + n);
  // Continue the driver clip from where it stands; keep the audio's delta.
  for (KpRow& row : batchRows_) {
    const float* xs = xsTarget_.data() + static_cast<size_t>(idleIndex_) * kRow;
    for (int k = 0; k < kRow; ++k) {
      row.xd[k] = xs[k] + (row.xd[k] - row.xs[k]);
      row.xs[k] = xs[k];
    }
    row.idx = idleIndex_;
    idleIndex_ = (idleIndex_ + 1) % nt_;
  }
  const uint64_t generation = generation_;
  const int seq = speechSeq_;
  Renderer* chunk = chunk_.get();
  const bool chunked = n > 1 && chunk && chunk->batch() >= n;
  lock.unlock();

  const size_t cropFloats = static_cast<size_t>(3) * crop_ * crop_;
  std::vector<PasteJob> jobs;
  const double t0 = nowMs();
  if (chunked) {
    si_.resize(n);
    kpS_.resize(static_cast<size_t>(n) * kRow);
    kpD_.resize(static_cast<size_t>(n) * kRow);
    for (int j = 0; j < n; ++j) {
      si_[j] = batchRows_[j].idx;
      std::memcpy(kpS_.data() + j * kRow, batchRows_[j].xs, sizeof batchRows_[j].xs);
      std::memcpy(kpD_.data() + j * kRow, batchRows_[j].xd, sizeof batchRows_[j].xd);
    }
    try {
      const float* crops = chunk->render(si_.data(), kpS_.data(), kpD_.data(), n);
      const double each = (nowMs() - t0) / n;
      for (int j = 0; j < n; ++j) jobs.push_back(speechJob(batchRows_[j], crops + j * cropFloats, each, generation, seq));
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what());
    }
  } else {
    for (const KpRow& row : batchRows_) {
      const double f0 = nowMs();
      try {
        const float* crop = ctx_.renderer->render(&row.idx, row.xs, row.xd, 1);
        jobs.push_back(speechJob(row, crop, nowMs() - f0, generation, seq));
      } catch (const std::exception& e) {
        noteRenderFail("render", e.what());
      }
    }
  }
  lock.lock();
  for (PasteJob& job : jobs) {
    stats_.speech_rendered++;
    stats_.render_ms_total += job.renderMs;
    stats_.render_ms_smoothed = stats_.speech_rendered == 1 ? job.renderMs
                                                             : 0.9 * stats_.render_ms_smoothed + 0.1 * job.renderMs;
    stageAWork_ += job.renderMs;
    ++renderedThisUtterance_;
    lastSpeechIdx_ = job.driverIndex;
    std::memcpy(lastXd_, job.xd, sizeof lastXd_);
    dispatchFrame(lock, std::move(job));
  }
  return true;
}

PasteJob Session::speechJob(const KpRow& row, const float* crop, double renderMs, uint64_t generation, int seq) {
  PasteJob job;
  job.crop.assign(crop, crop + static_cast<size_t>(3) * crop_ * crop_);
  job.kind = 1;
  job.driverIndex = row.idx;
  job.speechSeq = seq;
  std::memcpy(job.xd, row.xd, sizeof job.xd);
  job.generation = generation;
  job.renderMs = renderMs;
  job.enqueueMs = nowMs();
  return job;
}

// One frame of the ease from the last speech pose back to the driver's own.
bool Session::produceRamp(std::unique_lock<std::mutex>& lock) {
  const int r = rampLeft_;
  const float weight = static_cast<float>(r - 1) / rampFrames_;
  KpRow row;
  row.idx = idleIndex_;
  const float* xs = xsTarget_.data() + static_cast<size_t>(row.idx) * kRow;
  for (int k = 0; k < kRow; ++k) {
    row.xs[k] = xs[k];
    row.xd[k] = xs[k] + weight * rampOffset_[k];
  }
  idleIndex_ = (idleIndex_ + 1) % nt_;
  if (--rampLeft_ <= 0) state_ = 0;
  const uint64_t generation = generation_;
  const int seq = speechSeq_;
  lock.unlock();
  PasteJob job;
  bool ok = false;
  const double t0 = nowMs();
  try {
    const float* crop = ctx_.renderer->render(&row.idx, row.xs, row.xd, 1);
    job = speechJob(row, crop, nowMs() - t0, generation, seq);
    job.kind = 2;
    ok = true;
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what());
  }
  lock.lock();
  if (ok) dispatchFrame(lock, std::move(job));
  return true;
}

// Hands a frame to the teeth stage when a borrow is attached (every frame, so
// idle frames keep their place behind the crops the pass holds), else on to
// delivery.
void Session::dispatchFrame(std::unique_lock<std::mutex>& lock, PasteJob job) {
  if (borrow_) {
    teethQueue_.push_back(std::move(job));
    teethCv_.notify_one();
    return;
  }
  deliver(lock, std::move(job));
}

// Hands a frame to the paster, or pastes and delivers it here.
void Session::deliver(std::unique_lock<std::mutex>& lock, PasteJob job) {
  if (pipelinePaste_) {
    pasteQueue_.push_back(std::move(job));
    pasterCv_.notify_one();
    return;
  }
  ++pasting_;
  lock.unlock();
  pasteInto(job);
  lock.lock();
  --pasting_;
}

void Session::pasteLoop() {
  std::unique_lock<std::mutex> lock(m_);
  while (!stop_) {
    if (pasteQueue_.empty()) {
      pasterCv_.wait(lock, [&] { return stop_ || !pasteQueue_.empty(); });
      continue;
    }
    PasteJob job = std::move(pasteQueue_.front());
    pasteQueue_.pop_front();
    ++pasting_;
    stageC_ += nowMs() - job.enqueueMs;
    ++jobsC_;
    lock.unlock();
    pasteInto(job);
    lock.lock();
    --pasting_;
    producerCv_.notify_all();
  }
}

// Pastes one frame into the next delivered slot: the driver frame of its
// index, with its crop composited in. Waits (2 ms at a time) while the host
// has all 8 slots unread.
void Session::pasteInto(const PasteJob& job) {
  std::unique_lock<std::mutex> lock(m_);
  const double waitFrom = nowMs();
  while (!stop_ && job.generation == generation_ && written_ - read_ >= kDelivered)
    deliverCv_.wait_for(lock, kDeliverWait);
  if (job.kind == 1) stageAWait_ += nowMs() - waitFrom;
  if (stop_ || job.generation != generation_) return;
  // Only this thread writes slots, and the host reads slot read_ % 8, which
  // differs from written_ % 8 while fewer than 8 frames wait.
  Slot& slot = slots_[written_ % kDelivered];
  lock.unlock();
  const double t0 = nowMs();
  bool ok = true;
  try {
    ctx_.cursor->pullAt(job.driverIndex, rgb_.data());
    if (job.kind != 0 && !job.crop.empty()) {
      ctx_.paste->composite(job.crop.data(), 255.0f, ctx_.identity.M(job.driverIndex), rgb_.data(), W_, H_);
      ctx_.identity.walkP(job.driverIndex);
    }
    simd::rgb24ToRgba(rgb_.data(), slot.rgba.data(), static_cast<size_t>(W_) * H_);
  } catch (const std::exception& e) {
    noteRenderFail("paste", e.what());
    ok = false;
  }
  const double pasteMs = nowMs() - t0;
  lock.lock();
  if (!ok || stop_ || job.generation != generation_) return;
  slot.kind = job.kind;
  slot.driverIndex = job.driverIndex;
  slot.speechSeq = job.speechSeq;
  slot.tMs = nowMs();
  ++written_;
  ++stats_.frames_made;
  stats_.paste_ms_total += pasteMs;
  stageB_ += pasteMs;
  ++jobsB_;
  if (job.kind == 1) stats_.deliver_ms_total += slot.tMs - job.enqueueMs;
  producerCv_.notify_all();
}

// ---- Teeth stage ---------------------------------------------------------------------

void Session::attachTeeth(std::unique_ptr<tessera::StreamBorrow> borrow) {
  std::lock_guard<std::mutex> lock(m_);
  if (borrow_) throw std::runtime_error("a borrow is already attached to this session");
  if (stop_) throw std::runtime_error("the session is stopping");
  borrow_ = std::move(borrow);
  teethGeneration_ = generation_;
  teeth_ = std::thread([this] { teethLoop(); });
}

void Session::noteTeethFail(const std::string& message) {
  std::lock_guard<std::mutex> lock(failMutex_);
  ++teethFailures_;
  teethFailure_ = message;
}

// Releases held crops whose results arrived, oldest first. Called and returns
// with the lock held.
void Session::tessEmitHeldP(std::unique_lock<std::mutex>& lock,
                            std::vector<tessera::BorrowResult>& results) {
  for (tessera::BorrowResult& r : results) {
    if (teethHeld_.empty()) break;
    PasteJob job = std::move(teethHeld_.front());
    teethHeld_.pop_front();
    // Results come back in the order the crops went in.
    borrow_->writeWindowDelta(r, job.crop.data());
    borrow_->recycle(std::move(r));
    deliver(lock, std::move(job));
  }
}

// End of an utterance (or of the crops before an idle frame): the pass gives
// back every crop it holds.
void Session::teethDrain(std::unique_lock<std::mutex>& lock) {
  if (teethHeld_.empty()) return;
  if (borrow_->held() == 0) {
    noteTeethFail("flush: the pass held no pending frame while a crop was held — refusing to deliver "
                  "it uncomposed");
    teethHeld_.clear();
    return;
  }
  lock.unlock();
  std::vector<tessera::BorrowResult> results;
  try {
    results = borrow_->flush();
  } catch (const std::exception& e) {
    noteTeethFail(std::string("flush: ") + e.what());
  }
  lock.lock();
  teethCounts_ = borrow_->stats();
  tessEmitHeldP(lock, results);
}

void Session::teethLoop() {
  std::unique_lock<std::mutex> lock(m_);
  int64_t pushSeq = 0;
  while (!stop_) {
    if (teethGeneration_ != generation_) {
      // An interrupt: nothing held may reach the host, and the pass starts afresh.
      teethGeneration_ = generation_;
      teethHeld_.clear();
      teethQueue_.clear();
      lock.unlock();
      try {
        (void)borrow_->flush();
      } catch (const std::exception&) {
      }
      lock.lock();
      continue;
    }
    if (teethQueue_.empty()) {
      if (!teethHeld_.empty() && state_ == 0) {
        // The utterance is over and nothing follows yet: the held crops go now.
        ++teethBusy_;
        teethDrain(lock);
        --teethBusy_;
        continue;
      }
      teethCv_.wait_for(lock, std::chrono::milliseconds(20));
      continue;
    }
    PasteJob job = std::move(teethQueue_.front());
    teethQueue_.pop_front();
    if (job.generation != generation_) continue;
    if (job.crop.empty()) {
      // An idle frame follows the last crop of an utterance: drain first.
      ++teethBusy_;
      teethDrain(lock);
      --teethBusy_;
      deliver(lock, std::move(job));
      continue;
    }
    const float* xs = xsTarget_.data() + static_cast<size_t>(job.driverIndex) * kRow;
    teethHeld_.push_back(std::move(job));
    PasteJob& held = teethHeld_.back();
    const float* crop = held.crop.data();
    const float* xd = held.xd;
    ++teethBusy_;
    lock.unlock();
    std::vector<tessera::BorrowResult> results;
    bool failed = false;
    try {
      results = borrow_->push(pushSeq++, crop, xs, xd);
    } catch (const std::exception& e) {
      noteTeethFail(e.what());
      failed = true;
    }
    lock.lock();
    --teethBusy_;
    teethCounts_ = borrow_->stats();
    if (stop_ || teethGeneration_ != generation_) continue;
    if (failed) {
      // The pass did not take the crop: it goes on as rendered, after the
      // crops held before it.
      PasteJob unrepainted = std::move(teethHeld_.back());
      teethHeld_.pop_back();
      teethDrain(lock);
      deliver(lock, std::move(unrepainted));
      continue;
    }
    tessEmitHeldP(lock, results);
  }
}

bool Session::teethStats(le_utt_tessera_counts& out) {
  std::lock_guard<std::mutex> lock(m_);
  if (!borrow_) return false;
  const tessera::BorrowStats& s = teethCounts_;
  out.pushed = s.pushed;
  out.delivered = s.delivered;
  out.switches = s.switches;
  out.flushes = s.flushes;
  out.lip_contour = borrow_->lipContour() ? 1 : 0;
  std::lock_guard<std::mutex> fail(failMutex_);
  out.failures = teethFailures_;
  return true;
}

int Session::teethSynthW() {
  std::lock_guard<std::mutex> lock(m_);
  return borrow_ ? borrow_->synthW() : 0;
}

bool Session::teethGeometry(int* out) {
  std::lock_guard<std::mutex> lock(m_);
  if (!borrow_) return false;
  for (int i = 0; i < 12; ++i) out[i] = borrow_->stamp().value(i);
  return true;
}

void Session::noteRenderFail(const char* stage, const std::string& message) {
  std::lock_guard<std::mutex> lock(failMutex_);
  renderFailed_ = true;
  ++renderFailures_;
  renderFailure_ = std::string(stage) + ": " + message;
}

// ---- Host calls ---------------------------------------------------------------------

int Session::ready(std::string& error) {
  std::lock_guard<std::mutex> lock(m_);
  if (loadFailed_) {
    error = loadError_;
    return -1;
  }
  return modelReady_ ? 1 : 0;
}

void Session::push(const int16_t* samples, int n) {
  if (n <= 0) return;
  std::lock_guard<std::mutex> lock(m_);
  const size_t at = pending_.size();
  pending_.resize(at + static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) pending_[at + i] = samples[i] * (1.0f / 32768.0f);
  const double now = nowMs();
  if (firstPushMs_ <= 0) firstPushMs_ = now;
  lastPushMs_ = now;
  producerCv_.notify_all();
}

void Session::endUtterance() {
  std::lock_guard<std::mutex> lock(m_);
  endFlag_ = true;
  producerCv_.notify_all();
}

void Session::interrupt() {
  std::lock_guard<std::mutex> lock(m_);
  pending_.clear();
  endFlag_ = false;
  stats_.frames_dropped += static_cast<long long>(written_ - read_);
  read_ = written_;
  pasteQueue_.clear();
  ++generation_;
  // With a paster, the next idle frame need not wait for a render the
  // producer may be in the middle of: queue it here.
  if (pipelinePaste_) {
    PasteJob job;
    job.driverIndex = idleIndex_;
    job.generation = generation_;
    job.enqueueMs = nowMs();
    idleIndex_ = (idleIndex_ + 1) % nt_;
    pasteQueue_.push_back(std::move(job));
  }
  producerCv_.notify_all();
  pasterCv_.notify_all();
  deliverCv_.notify_all();
  teethCv_.notify_all();
}

int Session::framesAvailable() {
  std::lock_guard<std::mutex> lock(m_);
  return static_cast<int>(written_ - read_);
}

int Session::pull(uint8_t* dst, size_t capacity, le_utt_frame_info* info, bool& tooSmall) {
  std::lock_guard<std::mutex> lock(m_);
  tooSmall = false;
  if (written_ == read_) return 0;
  if (capacity < frameBytes_) {
    tooSmall = true;
    return 0;
  }
  const Slot& slot = slots_[read_ % kDelivered];
  std::memcpy(dst, slot.rgba.data(), frameBytes_);
  if (info) {
    info->t_ms = slot.tMs;
    info->kind = slot.kind;
    info->driver_index = slot.driverIndex;
    info->speech_seq = slot.speechSeq;
  }
  ++read_;
  ++stats_.frames_delivered;
  if (slot.kind == 1) ++stats_.speech_delivered;
  deliverCv_.notify_all();
  producerCv_.notify_all();
  return 1;
}

void Session::stats(le_utt_stats& out) {
  std::lock_guard<std::mutex> lock(m_);
  out = stats_;
  {
    std::lock_guard<std::mutex> fail(failMutex_);
    out.render_failures = renderFailures_;
  }
  out.state = state_;
}

int Session::renderStatus(std::string& message, int& count) {
  std::lock_guard<std::mutex> lock(failMutex_);
  message = renderFailure_;
  count = renderFailures_;
  return renderFailed_ ? -1 : 0;
}

}  // namespace le::session

// ---- C interface ----------------------------------------------------------------------

struct le_utt {
  le_utt(le::Context& ctx, const le_utt_opts& opts) : session(ctx, opts) {}
  le::session::Session session;
};

namespace {
using le::capi::Family;
using le::capi::guarded;
using le::capi::guardedVoid;
}  // namespace

extern "C" {

LE_API le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  return guarded<le_utt*>(Family::Utt, "le_utt_create", nullptr, [&]() -> le_utt* {
    if (!ctx || !opts) {
      le::capi::setError(Family::Utt, "le_utt_create: NULL ctx/opts");
      return nullptr;
    }
    return new le_utt(ctx->context, *opts);
  });
}

LE_API le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts opts;
  std::memset(&opts, 0, sizeof opts);
  opts.motion_dir = motion_dir;
  return le_utt_create(ctx, &opts);
}

LE_API void le_utt_destroy(le_utt* utt) {
  guardedVoid(Family::Utt, "le_utt_destroy", [&] { delete utt; });
}

LE_API int le_utt_ready(le_utt* utt) {
  return guarded<int>(Family::Utt, "le_utt_ready", -1, [&]() -> int {
    if (!utt) return -1;
    std::string error;
    const int r = utt->session.ready(error);
    if (r < 0) le::capi::setError(Family::Utt, error);
    return r;
  });
}

LE_API int le_utt_push_audio(le_utt* utt, const int16_t* samples, int n) {
  return guarded<int>(Family::Utt, "le_utt_push_audio", 0, [&]() -> int {
    if (!utt || n < 0 || (n > 0 && !samples)) {
      le::capi::setError(Family::Utt, "le_utt_push_audio: bad args");
      return 0;
    }
    utt->session.push(samples, n);
    return 1;
  });
}

LE_API void le_utt_end_utterance(le_utt* utt) {
  guardedVoid(Family::Utt, "le_utt_end_utterance", [&] {
    if (utt) utt->session.endUtterance();
  });
}

LE_API void le_utt_interrupt(le_utt* utt) {
  guardedVoid(Family::Utt, "le_utt_interrupt", [&] {
    if (utt) utt->session.interrupt();
  });
}

LE_API int le_utt_frames_available(le_utt* utt) {
  return le::capi::silent(0, [&] { return utt ? utt->session.framesAvailable() : 0; });
}

LE_API int le_utt_pull_frame(le_utt* utt, uint8_t* dst, size_t capacity, le_utt_frame_info* info) {
  return guarded<int>(Family::Utt, "le_utt_pull_frame", 0, [&]() -> int {
    if (!utt || !dst) {
      le::capi::setError(Family::Utt, "le_utt_pull_frame: bad args");
      return 0;
    }
    bool tooSmall = false;
    const int r = utt->session.pull(dst, capacity, info, tooSmall);
    if (tooSmall) le::capi::setError(Family::Utt, "le_utt_pull_frame: buffer too small");
    return r;
  });
}

LE_API int le_utt_get_stats(le_utt* utt, le_utt_stats* out) {
  return guarded<int>(Family::Utt, "le_utt_get_stats", 0, [&]() -> int {
    if (!utt || !out) return 0;
    utt->session.stats(*out);
    return 1;
  });
}

LE_API int le_utt_render_status(le_utt* utt, char* msg, size_t capacity, int* count) {
  return guarded<int>(Family::Utt, "le_utt_render_status", 0, [&]() -> int {
    if (!utt) return 0;
    std::string message;
    int n = 0;
    const int r = utt->session.renderStatus(message, n);
    if (count) *count = n;
    if (msg && capacity > 0) {
      const size_t len = std::min(capacity - 1, message.size());
      std::memcpy(msg, message.data(), len);
      msg[len] = '\0';
    }
    return r;
  });
}

LE_API int le_utt_tessera_attach(le_utt* utt, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* aperture, const double* c_canon, const int* stamp,
                                 const uint8_t* head_pt, size_t head_pt_len, const char* head_json,
                                 const char* manifest_json) {
  return guarded<int>(Family::Utt, "le_utt_tessera_attach", 0, [&]() -> int {
    if (!utt) {
      le::capi::setError(Family::Utt, "le_utt_tessera_attach: null session");
      return 0;
    }
    if (!bank || !cent || !aperture || !c_canon || !stamp || !head_pt || head_pt_len == 0 || !head_json ||
        !manifest_json) {
      le::capi::setError(Family::Utt,
                         "le_utt_tessera_attach: a required member is null — this ABI has no "
                         "partial-attach state");
      return 0;
    }
    if (n_donors <= 0) {
      le::capi::setError(Family::Utt, "le_utt_tessera_attach: n_donors <= 0");
      return 0;
    }
    le::session::Session& s = utt->session;
    if (stamp[0] != s.cropSide() || stamp[1] != s.cropSide()) {
      le::capi::setError(Family::Utt, "le_utt_tessera_attach: bank canvas " + std::to_string(stamp[0]) +
                                          " != this bundle's render crop " + std::to_string(s.cropSide()));
      return 0;
    }
    if (!s.xsTargetKnown()) {
      le::capi::setError(Family::Utt,
                         "le_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this "
                         "bundle's corpus pi frame cannot be identified — refusing to arm the borrow "
                         "against the manifest's compose-field geometry");
      return 0;
    }
    le::TesseraAttachInputs in;
    in.n_donors = n_donors;
    for (int i = 0; i < 12; ++i) in.stamp.value(i) = stamp[i];
    in.stamp.validate();
    const le::GeometryStamp& g = in.stamp;
    in.band_w = g.band_c1 - g.band_c0 + 2 * g.shift_margin;
    in.band_h = g.band_r1 - g.band_r0 + 2 * g.shift_margin;
    const size_t n = static_cast<size_t>(n_donors);
    in.track_order.resize(n);
    for (size_t d = 0; d < n; ++d) in.track_order[d] = static_cast<int32_t>(d);  // the bank is donor-ordered
    in.cent.assign(cent, cent + 2 * n);
    in.aperture.assign(aperture, aperture + n);
    in.c_canon[0] = c_canon[0];
    in.c_canon[1] = c_canon[1];
    in.head_pt.assign(head_pt, head_pt + head_pt_len);
    in.head_json = head_json;
    in.manifest_json = manifest_json;
    const std::string lip = le::resolveMember(s.bundleDir(), le::tessera::kLipTemplateFile);
    if (le::fs::isRegularFile(lip)) in.lip_template_json = le::readFile(lip);
    std::vector<uint8_t> patches(bank, bank + n * in.patchBytes());
    le::tessera::HeadWeights head = le::tessera::loadHeadPt(in.head_pt);
    const le::tessera::ServeConfig config = le::tessera::ServeConfig::fromHeadMemberJson(in.head_json);
    auto borrow = std::make_unique<le::tessera::StreamBorrow>(in, std::move(patches), s.cropSide(),
                                                              std::move(head), config, in.lip_template_json);
    s.attachTeeth(std::move(borrow));
    return 1;
  });
}

LE_API int le_utt_tessera_stats(le_utt* utt, le_utt_tessera_counts* out) {
  return guarded<int>(Family::Utt, "le_utt_tessera_stats", 0, [&]() -> int {
    if (!utt || !out) return 0;
    return utt->session.teethStats(*out) ? 1 : 0;
  });
}

LE_API int le_utt_tessera_synth_w(le_utt* utt) {
  return guarded<int>(Family::Utt, "le_utt_tessera_synth_w", 0,
                      [&]() -> int { return utt ? utt->session.teethSynthW() : 0; });
}

LE_API int le_utt_tessera_geometry(le_utt* utt, int* out) {
  return guarded<int>(Family::Utt, "le_utt_tessera_geometry", 0, [&]() -> int {
    if (!utt || !out) return 0;
    return utt->session.teethGeometry(out) ? 1 : 0;
  });
}

}  // extern "C"
