#include "director/le_source_cone.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bundle/le_identity.h"
#include "director/graph_rewrites.h"
#include "director/gridsample_fast.h"
#include "director/le_ort_session.h"
#include "paste/le_simd.h"

namespace le {

int NextFramePredictor::next(int current) {
  if (nt_ <= 1) return -1;
  if (previous_ >= 0) {
    const int d = current - previous_;
    if (d == 1 || d == -1) step_ = d;
    if (previous_ == nt_ - 1 && current == 0) looping_ = true;
  }
  previous_ = current;
  int p = current + step_;
  if (looping_) {
    p %= nt_;
    if (p < 0) p += nt_;
  } else if (p >= nt_) {
    p = nt_ - 2;
  } else if (p < 0) {
    p = 1;
  }
  return p;
}

SourceConePrefetcher::SourceConePrefetcher(Identity& identity, const Ort::RunOptions& runOptions)
    : identity_(identity), runOptions_(runOptions) {}

std::unique_ptr<SourceConePrefetcher> SourceConePrefetcher::split(Bytes& model, const std::string& tag,
                                                                  Ort::Env& env, Identity& identity,
                                                                  int crop, bool spin,
                                                                  const Ort::RunOptions& runOptions) {
  std::string boundary;
  std::string reason;
  const size_t concats = findSourceConeBoundary(model, boundary);
  Bytes prepModel, perFrame;
  auto notApplied = [&](const std::string& why) {
    std::fprintf(stderr, "[le] source-cone hoist NOT applied (%s): %s\n", tag.c_str(), why.c_str());
    return nullptr;
  };
  if (concats != 1)
    return notApplied("expected exactly one Concat consuming P_rgb, found " + std::to_string(concats));
  if (!buildSourceConePrep(model, boundary, prepModel, reason)) return notApplied(reason);

  // The prep graph runs on one core, beside the director's own threads.
  ort::SessionConfig config;
  config.intraThreads = 1;
  config.spin = spin;
  Ort::SessionOptions prepOptions = ort::sessionOptions(config);
  registerGridSampleFast(prepOptions);
  Ort::Session prepSession = ort::openSession(env, prepModel.data(), prepModel.size(), prepOptions);
  const auto inShape = prepSession.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  const int64_t declared = inShape.empty() ? -1 : inShape[0];
  if (declared != 1) return notApplied("batch-1 lever; this graph declares batch " + std::to_string(declared));

  std::unique_ptr<SourceConePrefetcher> cone(new SourceConePrefetcher(identity, runOptions));
  SourceConePrefetcher& c = *cone;
  // One run on identity frame 0 measures the boundary and fills slot 0.
  c.prepInput_.assign(static_cast<size_t>(3) * crop * crop, 0.f);
  const int64_t prepShape[4] = {1, 3, crop, crop};
  c.prepInputValue_ =
      Ort::Value::CreateTensor<float>(c.memory_, c.prepInput_.data(), c.prepInput_.size(), prepShape, 4);
  simd::f16ToF32(identity.P(0), c.prepInput_.data(), c.prepInput_.size());
  Ort::AllocatedStringPtr inName = prepSession.GetInputNameAllocated(0, Ort::AllocatorWithDefaultOptions());
  const char* inNames[] = {inName.get()};
  const char* outNames[] = {boundary.c_str()};
  auto out = prepSession.Run(runOptions, inNames, &c.prepInputValue_, 1, outNames, 1);
  const auto dims = out[0].GetTensorTypeAndShapeInfo().GetShape();
  if (dims.size() != 4 || std::any_of(dims.begin(), dims.end(), [](int64_t d) { return d <= 0; }))
    return notApplied("boundary shape is not static");
  if (!buildSourceConePerFrame(model, boundary, dims.data(), dims.size(), perFrame, reason))
    return notApplied(reason);

  const size_t count = static_cast<size_t>(dims[0] * dims[1] * dims[2] * dims[3]);
  for (Slot& s : c.slots_) {
    s.boundary.assign(count, 0.f);
    s.value = Ort::Value::CreateTensor<float>(c.memory_, s.boundary.data(), count, dims.data(), 4);
  }
  std::memcpy(c.slots_[0].boundary.data(), out[0].GetTensorData<float>(), count * sizeof(float));
  c.slots_[0].si = 0;
  c.boundaryName_ = boundary;
  c.prep_ = std::move(prepSession);
  c.predictor_ = NextFramePredictor(identity.NT);
  model.swap(perFrame);
  std::fprintf(stderr,
               "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and "
               "is prefetched per SOURCE FRAME on one spare core (%s)\n",
               boundary.c_str(), static_cast<long long>(dims[0]), static_cast<long long>(dims[1]),
               static_cast<long long>(dims[2]), static_cast<long long>(dims[3]), tag.c_str());
  c.prefetch_ = std::thread([&c] { c.prefetchLoop(); });
  return cone;
}

SourceConePrefetcher::~SourceConePrefetcher() {
  if (!prefetch_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(ringMutex_);
    stop_ = true;
  }
  ringCv_.notify_all();
  prefetch_.join();
}

void SourceConePrefetcher::runPrep(int frame, int slot) {
  // Called with the ring mutex released; only this caller touches the slot
  // and the prep input until it is marked.
  std::string error;
  try {
    simd::f16ToF32(identity_.P(frame), prepInput_.data(), prepInput_.size());
    const char* inNames[] = {"P_rgb"};
    const char* outNames[] = {boundaryName_.c_str()};
    prep_.Run(runOptions_, inNames, &prepInputValue_, 1, outNames, &slots_[slot].value, 1);
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::lock_guard<std::mutex> lock(ringMutex_);
  if (error.empty())
    slots_[slot].si = frame;
  else
    prepError_ = error;
}

Ort::Value& SourceConePrefetcher::acquire(int frame) {
  std::unique_lock<std::mutex> lock(ringMutex_);
  for (;;) {
    if (!prepError_.empty())
      throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + prepError_);
    for (int s = 0; s < 2; ++s)
      if (slots_[s].si == frame) return slots_[inUse_ = s].value;
    if (requestFrame_ >= 0) {
      ringCv_.wait(lock);
      continue;
    }
    int victim = -1;
    for (int s = 0; s < 2 && victim < 0; ++s)
      if (s != inUse_) victim = s;
    if (victim < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
    slots_[victim].si = -1;
    lock.unlock();
    runPrep(frame, victim);
    lock.lock();
  }
}

void SourceConePrefetcher::prefetchAfter(int frame) {
  const int next = predictor_.next(frame);
  std::lock_guard<std::mutex> lock(ringMutex_);
  const bool held = slots_[0].si == next || slots_[1].si == next;
  if (next >= 0 && requestFrame_ < 0 && prepError_.empty() && !held) {
    const int other = inUse_ == 0 ? 1 : 0;
    slots_[other].si = -1;
    requestFrame_ = next;
    requestSlot_ = other;
    ringCv_.notify_all();
  }
}

void SourceConePrefetcher::prefetchLoop() {
  std::unique_lock<std::mutex> lock(ringMutex_);
  for (;;) {
    ringCv_.wait(lock, [&] { return stop_ || requestFrame_ >= 0; });
    if (stop_) return;
    const int frame = requestFrame_, slot = requestSlot_;
    lock.unlock();
    runPrep(frame, slot);
    lock.lock();
    requestFrame_ = requestSlot_ = -1;
    ringCv_.notify_all();
  }
}

}  // namespace le
