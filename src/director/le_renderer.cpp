#include "director/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_identity.h"
#include "director/graph_rewrites.h"
#include "director/gridsample_fast.h"
#include "director/le_conv.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le {
namespace {

constexpr size_t kKpFloats = kHostKpRows * 3;
constexpr size_t kPooledFloats = 64 * 32 * 32;
constexpr size_t kFsRedFloats = 262144;

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Set, and its text begins with `prefix`.
bool envStartsWith(const char* name, const char* prefix) {
  const char* v = std::getenv(name);
  return v && std::strncmp(v, prefix, std::strlen(prefix)) == 0;
}

std::string envOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string(fallback);
}

Bytes readModel(const std::string& path) {
  fs::File f(path, "rb");
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  if (fseeko(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("Renderer: cannot open " + path);
  const off_t size = ftello(f.get());
  if (size < 0 || fseeko(f.get(), 0, SEEK_SET) != 0)
    throw std::runtime_error("Renderer: cannot open " + path);
  Bytes bytes(static_cast<size_t>(size));
  if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
    throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to corvane custom-domain nodes "
         "(com.corvane::GridSampleFast, and com.corvane::WarpDirector wherever LE_WARP_NODE is on), "
         "and ORT's XNNPACK execution provider SEGFAULTS while partitioning a graph that carries "
         "them \xE2\x80\x94 measured 2026-09-15 on a published vellum2-android AAR, null deref inside "
         "libonnxruntime.so at session create, on both a door-served and a hand-staged copy of the "
         "same identity. It is a signal, not an exception, so it cannot be caught and reported. Use "
         "the default ep (\"\", the ORT CPU EP), which opens the same bundle on the same bytes.";
}

}  // namespace

void checkHostKeypointRows(const std::string& model, const std::string& input,
                           const std::vector<int64_t>& dims) {
  if (dims.size() != 3 || dims[1] <= 0 || dims[1] == kHostKpRows) return;
  const int64_t rows = dims[1];
  std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + model +
                    " \xE2\x80\x94 the graph declares " + input + " with " + std::to_string(rows) +
                    " keypoint rows, and this renderer feeds " + std::to_string(kHostKpRows) +
                    " (le::kHostKpRows, le/le.h). ";
  if (rows == 22)
    msg += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kHostKpRows) +
           " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine "
           "has no width feed (see le_a2x_width / le_a2x_pull_wn in le/le_a2x.h, which nothing on "
           "this path calls yet), so it cannot drive this director. ";
  msg += "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have "
         "been published to a host that links this renderer: training/recipe/host_kp_contract.py "
         "is the publish gate that exists to prevent it.";
  throw std::runtime_error(msg);
}

void checkHostKeypointsFinite(const std::string& argument, const float* kp) {
  for (size_t i = 0; i < kKpFloats; ++i)
    if (!std::isfinite(kp[i]))
      throw std::runtime_error(argument + " holds a non-finite value (" + std::to_string(kp[i]) +
                               " at row " + std::to_string(i / 3) + ", column " +
                               std::to_string(i % 3) + "): the director would render it into a "
                               "crop of NaN. REFUSING to render");
}

namespace {

const char kNoPrior[] =
    "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, "
    "nor a P_hevc.mov to play in place is present, so le::Identity mapped NOTHING and "
    "Identity::P(si) would be an offset from a null pointer \xE2\x80\x94 a SEGFAULT on the first "
    "frame, not a refusal. REFUSING to create a session.";

// The director's next source frame, guessed from how the last ones moved: the
// drive loop either plays forward and wraps, or plays back and forth.
class NextFramePredictor {
 public:
  explicit NextFramePredictor(int nt) : nt_(nt) {}
  // -1 when nothing can be predicted.
  int next(int current) {
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

 private:
  int nt_;
  int previous_ = -1;
  int step_ = 1;
  bool looping_ = false;
};

}  // namespace

struct Renderer::Impl {
  std::string ep;
  Identity* identity = nullptr;
  int32_t crop = 0;
  int32_t batch = 0;
  bool featSynth = false;
  int threads = 1;
  std::string modelPath;
  std::string note;

  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_core"};
  Ort::SessionOptions options{nullptr};
  Ort::Session session{nullptr};
  Ort::RunOptions runOptions;
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::unique_ptr<Ort::IoBinding> binding;
  bool profiling = false;

  std::string pooledName, priorName, kdName, ksName;
  std::vector<float> pooled, prior, kpDriving, kpSource, output;
  // The fp16 engine, when it runs the director instead of ONNX Runtime.
  std::unique_ptr<ConvBackend> engine;
  std::vector<const uint16_t*> pooledRows, sourceRows;
  std::vector<uint16_t> priorStage;  // prior rows pulled through the HEVC cursor
  size_t priorFloats = 0;
  std::vector<Ort::Value> inputValues;
  Ort::Value outputValue{nullptr};

  // Source-cone hoist: the part of the graph that depends only on the source
  // image runs once per source frame in a prep session, ahead of time.
  struct Slot {
    int si = -1;
    std::vector<float> boundary;
    Ort::Value value{nullptr};
  };
  bool hoist = false;
  std::string boundaryName;
  std::vector<int64_t> boundaryDims;
  Ort::Session prep{nullptr};
  std::vector<float> prepInput;
  Ort::Value prepInputValue{nullptr};
  Slot slots[2];
  int inUse = -1;
  std::mutex ringMutex;
  std::condition_variable ringCv;
  int requestFrame = -1, requestSlot = -1;
  std::string prepError;
  bool stop = false;
  std::thread prefetch;
  NextFramePredictor predictor{0};

  long frames = 0;
  double runMs = 0;

  ~Impl() {
    if (prefetch.joinable()) {
      {
        std::lock_guard<std::mutex> lock(ringMutex);
        stop = true;
      }
      ringCv.notify_all();
      prefetch.join();
    }
    if (session) {
      std::fprintf(stderr,
                   "[le-director-ort] %ld frames: %.2f ms/frame in Session::Run (the director this "
                   "plane serves today; its Adreno counterpart prints the same line)\n",
                   frames, frames ? runMs / frames : 0.0);
    }
    if (profiling && session) {
      try {
        Ort::AllocatorWithDefaultOptions alloc;
        auto name = session.EndProfilingAllocated(alloc);
        std::fprintf(stderr, "[le_ort_profile] %s\n", name.get());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[le_ort_profile] FAILED: %s\n", e.what());
      }
    }
  }

  Ort::SessionOptions makeOptions(int intraThreads, bool registerOps) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(intraThreads);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    if (!envStartsWith("LE_ORT_SPIN", "1")) so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    so.AddConfigEntry("mlas.disable_kleidiai", "1");
    // A rebuilt graph carries every initializer through, also those only the
    // dropped or hoisted nodes read, and ONNX Runtime would warn about each of
    // them on every load (over a hundred lines for one director). Errors
    // still reach the log.
    so.SetLogSeverityLevel(ORT_LOGGING_LEVEL_ERROR);
    if (registerOps) registerGridSampleFast(so);
    return so;
  }

  void buildSession(const Manifest& manifest);
  void inspectInputs();
  void bindAll();
  void setUpHoist(Bytes& model, const std::string& tag);
  void runPrep(int frame, int slot);
  int acquire(int frame);
  void prefetchLoop();
};

void Renderer::Impl::buildSession(const Manifest& manifest) {
  const bool cpu = ep.empty();
  const bool coreml = startsWith(ep, "coreml");
  const std::string gsFast =
      std::getenv("LE_GS_FAST") ? envOr("LE_GS_FAST", "") : envOr("CORVANE_VELLUM2_GRIDSAMPLE_FAST", "");
  const bool gsFastOff = startsWith(gsFast, "0");
  const bool gsRewrite = !gsFastOff && !envStartsWith("LE_GS_REWRITE", "0");
  const char* warpEnv = std::getenv("LE_WARP_NODE");
  const bool warpWanted = warpEnv && *warpEnv && warpEnv[0] != '0';

  options = makeOptions(threads, false);
  const char* profile = std::getenv("LE_ORT_PROFILE");
  profiling = profile && *profile;
  if (profiling) options.EnableProfiling(profile);

  std::string unit;
  if (coreml) {
    const std::string which = ep.size() > 7 ? ep.substr(7) : "";
    unit = which == "cpu" ? "CPUOnly" : which == "gpu" ? "CPUAndGPU" : which == "ane" ? "CPUAndNeuralEngine" : "ALL";
    const std::string version = Ort::GetVersionString();
    std::unordered_map<std::string, std::string> opts = {
        {"ModelFormat", "MLProgram"},
        {"MLComputeUnits", unit},
        {"ModelCacheDirectory",
         manifest.dir + "/.coreml_cache/ort/" + (version.empty() ? "unknown" : version)}};
    options.AppendExecutionProvider("CoreML", opts);
  } else if (!cpu) {
    throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
  }

  Bytes model = readModel(modelPath);
  if (gsFastOff) {
    if (graphHasBakedGridSampleFast(model))
      throw std::runtime_error(
          "Renderer: LE_GS_FAST=0 (or CORVANE_VELLUM2_GRIDSAMPLE_FAST=0, which sets it) was asked "
          "for, but " + modelPath +
          " has com.corvane::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op "
          "registration, so there would be no kernel to bind and this session would die inside ORT "
          "with 'GridSampleFast(-1) is not a registered function/op'. There is no "
          "standard-GridSample arm on this bundle to measure: the artifact itself is non-standard. "
          "Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
          "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
  } else {
    registerGridSampleFast(options);
    if (!gsRewrite && cpu)
      std::fprintf(stderr,
                   "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvane::GridSampleFast "
                   "rewrite DISABLED (%s); the custom op is still registered, so a baked bundle "
                   "loads and runs its baked kernel. A standard bundle now runs ORT's own "
                   "GridSample.\n",
                   modelPath.c_str());
  }

  const char* tag = modelPath.c_str();
  bool rewritten = false;
  bool warpApplied = false;
  if (warpWanted && cpu) {
    std::string reason;
    const size_t removed = rewriteWarpBlockToCustomOp(model, reason);
    if (removed) {
      warpApplied = rewritten = true;
      if (gsFastOff) registerWarpDirector(options);  // the operator must exist to run
      std::fprintf(stderr,
                   "[le] director warp -> com.corvane::WarpDirector (%zu nodes removed, the source "
                   "cone with them)\n",
                   removed);
    } else {
      std::fprintf(stderr,
                   "[le] director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads "
                   "exactly as it did before\n",
                   reason.empty() ? "no reason given" : reason.c_str());
    }
  }
  size_t gsCount = 0;
  if (cpu && gsRewrite) gsCount = rewriteGridSampleToFast(model);
  const size_t blendCount = normaliseStudentBlend(model);
  const size_t cubicCount = rewriteHeadCubicResize(model);
  rewritten = rewritten || gsCount || blendCount || cubicCount;

  const bool priorAvailable = identity->hasMappedP() || !identity->priorPath().empty();
  if (warpApplied) {
    std::fprintf(stderr,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xE2\x80\x94 "
                 "there is nothing left to hoist\n",
                 tag);
  } else if (coreml && (unit == "ALL" || unit == "CPUAndGPU")) {
    std::fprintf(stderr,
                 "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the "
                 "director on the GPU and the 12.58 MB boundary input would cross that partition "
                 "every frame (measured 0.61x on an M4) \xE2\x80\x94 the cone stays in the graph\n",
                 tag, unit == "ALL" ? "all" : "gpu");
  } else if (cpu && priorAvailable) {
    setUpHoist(model, tag);
    rewritten = rewritten || hoist;
  }

  if (gsCount)
    std::fprintf(stderr,
                 "[le] std GridSample -> com.corvane::GridSampleFast load-time rewrite: %zu node(s) "
                 "(%s)\n",
                 gsCount, tag);
  if (blendCount)
    std::fprintf(stderr,
                 "[le] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) "
                 "\xE2\x80\x94 a pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph "
                 "compiler on every CoreML unit that includes the GPU\n",
                 blendCount, tag);
  if (cubicCount)
    std::fprintf(stderr,
                 "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time "
                 "rewrite: %zu node(s) (%s) \xE2\x80\x94 the same filter to fp32 round-off; ORT's "
                 "cubic Resize kernel is the pole on every CPU-class EP and no CoreML/NNAPI EP can "
                 "claim it\n",
                 cubicCount, tag);

  if (rewritten)
    session = openSession(env, model.data(), model.size(), options);
  else
    session = openSession(env, modelPath.c_str(), options);
  note = std::string(featSynth ? "FeatSynth" : "standard") + " director " + fs::baseName(modelPath) +
         ": GridSampleFast x" + std::to_string(gsCount) + ", blend Gemm x" +
         std::to_string(blendCount) + ", cubic head x" + std::to_string(cubicCount) +
         (warpApplied ? ", WarpDirector" : "") + (hoist ? ", source-cone hoist" : "");
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", ep.c_str(),
               cpu ? "ORT CPU EP"
                   : "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph");
}

void Renderer::Impl::setUpHoist(Bytes& model, const std::string& tag) {
  std::string boundary;
  std::string reason;
  const size_t concats = findSourceConeBoundary(model, boundary);
  Bytes prepModel, perFrame;
  auto notApplied = [&](const std::string& why) {
    std::fprintf(stderr, "[le] source-cone hoist NOT applied (%s): %s\n", tag.c_str(), why.c_str());
  };
  if (concats != 1) {
    notApplied("expected exactly one Concat consuming P_rgb, found " + std::to_string(concats));
    return;
  }
  if (!buildSourceConePrep(model, boundary, prepModel, reason)) {
    notApplied(reason);
    return;
  }
  // The prep graph runs on one core, beside the director's own threads.
  Ort::SessionOptions prepOptions = makeOptions(1, true);
  Ort::Session prepSession = openSession(env, prepModel.data(), prepModel.size(), prepOptions);
  const auto inShape = prepSession.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  const int64_t declared = inShape.empty() ? -1 : inShape[0];
  if (declared != 1) {
    notApplied("batch-1 lever; this graph declares batch " + std::to_string(declared));
    return;
  }
  // One run on identity frame 0 measures the boundary and fills slot 0.
  prepInput.assign(static_cast<size_t>(3) * crop * crop, 0.f);
  const int64_t prepShape[4] = {1, 3, crop, crop};
  prepInputValue =
      Ort::Value::CreateTensor<float>(memory, prepInput.data(), prepInput.size(), prepShape, 4);
  simd::f16ToF32(identity->P(0), prepInput.data(), prepInput.size());
  Ort::AllocatedStringPtr inName = prepSession.GetInputNameAllocated(0, Ort::AllocatorWithDefaultOptions());
  const char* inNames[] = {inName.get()};
  const char* outNames[] = {boundary.c_str()};
  auto out = prepSession.Run(runOptions, inNames, &prepInputValue, 1, outNames, 1);
  const auto dims = out[0].GetTensorTypeAndShapeInfo().GetShape();
  if (dims.size() != 4 || std::any_of(dims.begin(), dims.end(), [](int64_t d) { return d <= 0; })) {
    notApplied("boundary shape is not static");
    return;
  }
  if (!buildSourceConePerFrame(model, boundary, dims.data(), dims.size(), perFrame, reason)) {
    notApplied(reason);
    return;
  }
  const size_t count = static_cast<size_t>(dims[0] * dims[1] * dims[2] * dims[3]);
  for (Slot& s : slots) {
    s.boundary.assign(count, 0.f);
    s.value = Ort::Value::CreateTensor<float>(memory, s.boundary.data(), count, dims.data(), 4);
  }
  std::memcpy(slots[0].boundary.data(), out[0].GetTensorData<float>(), count * sizeof(float));
  slots[0].si = 0;
  boundaryName = boundary;
  boundaryDims = dims;
  prep = std::move(prepSession);
  model.swap(perFrame);
  hoist = true;
  predictor = NextFramePredictor(identity->NT);
  std::fprintf(stderr,
               "[le] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and "
               "is prefetched per SOURCE FRAME on one spare core (%s)\n",
               boundary.c_str(), static_cast<long long>(dims[0]), static_cast<long long>(dims[1]),
               static_cast<long long>(dims[2]), static_cast<long long>(dims[3]), tag.c_str());
}

void Renderer::Impl::inspectInputs() {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t count = session.GetInputCount();
  std::unordered_map<std::string, std::vector<int64_t>> shapes;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = session.GetInputNameAllocated(i, alloc).get();
    shapes[name] = session.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
  }
  featSynth = shapes.count("fs_red") > 0;
  pooledName = featSynth ? "pooled" : "pooled64";
  kdName = featSynth ? "kd" : "kp_driving";
  ksName = featSynth ? "ks" : "kp_source";
  priorName = featSynth ? "fs_red" : (hoist ? boundaryName : "P_rgb");

  auto pooled = shapes.find(pooledName);
  if (pooled == shapes.end() || pooled->second.size() != 4 || pooled->second[0] <= 0)
    throw std::runtime_error(pooledName + " input not found / bad shape");
  batch = static_cast<int32_t>(pooled->second[0]);
  for (const std::string* kp : {&kdName, &ksName}) {
    auto it = shapes.find(*kp);
    if (it != shapes.end()) checkHostKeypointRows(modelPath, *kp, it->second);
  }
  if (featSynth && identity->fsRed(0) == nullptr)
    throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  if (!featSynth && !identity->hasMappedP() && identity->priorPath().empty())
    throw std::runtime_error(kNoPrior);
  priorFloats = featSynth ? kFsRedFloats : static_cast<size_t>(3) * crop * crop;
}

void Renderer::Impl::bindAll() {
  const size_t b = static_cast<size_t>(batch);
  pooled.assign(b * kPooledFloats, 0.f);
  kpDriving.assign(b * kKpFloats, 0.f);
  kpSource.assign(b * kKpFloats, 0.f);
  output.assign(b * 3 * crop * crop, 0.f);
  if (!hoist) prior.assign(b * priorFloats, 0.f);

  const int64_t B = batch;
  const int64_t pooledShape[4] = {B, 64, 32, 32};
  const int64_t kpShape[3] = {B, kHostKpRows, 3};
  const int64_t rgbShape[4] = {B, 3, crop, crop};
  binding = std::make_unique<Ort::IoBinding>(session);
  inputValues.clear();
  inputValues.push_back(Ort::Value::CreateTensor<float>(memory, pooled.data(), pooled.size(), pooledShape, 4));
  inputValues.push_back(Ort::Value::CreateTensor<float>(memory, kpDriving.data(), kpDriving.size(), kpShape, 3));
  inputValues.push_back(Ort::Value::CreateTensor<float>(memory, kpSource.data(), kpSource.size(), kpShape, 3));
  binding->BindInput(pooledName.c_str(), inputValues[0]);
  binding->BindInput(kdName.c_str(), inputValues[1]);
  binding->BindInput(ksName.c_str(), inputValues[2]);
  if (!hoist) {
    std::vector<int64_t> priorShape = featSynth ? std::vector<int64_t>{B, static_cast<int64_t>(kFsRedFloats)}
                                                : std::vector<int64_t>{B, 3, crop, crop};
    inputValues.push_back(Ort::Value::CreateTensor<float>(memory, prior.data(), prior.size(),
                                                          priorShape.data(), priorShape.size()));
    binding->BindInput(priorName.c_str(), inputValues[3]);
  }
  outputValue = Ort::Value::CreateTensor<float>(memory, output.data(), output.size(), rgbShape, 4);
  binding->BindOutput("rgb", outputValue);
}

void Renderer::Impl::runPrep(int frame, int slot) {
  // Called with the ring mutex released; only this caller touches the slot
  // and the prep input until it is marked.
  std::string error;
  try {
    simd::f16ToF32(identity->P(frame), prepInput.data(), prepInput.size());
    Ort::AllocatorWithDefaultOptions alloc;
    const char* inNames[] = {"P_rgb"};
    const char* outNames[] = {boundaryName.c_str()};
    prep.Run(runOptions, inNames, &prepInputValue, 1, outNames, &slots[slot].value, 1);
  } catch (const std::exception& e) {
    error = e.what();
  }
  std::lock_guard<std::mutex> lock(ringMutex);
  if (error.empty())
    slots[slot].si = frame;
  else
    prepError = error;
}

int Renderer::Impl::acquire(int frame) {
  std::unique_lock<std::mutex> lock(ringMutex);
  for (;;) {
    if (!prepError.empty())
      throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + prepError);
    for (int s = 0; s < 2; ++s)
      if (slots[s].si == frame) return inUse = s;
    if (requestFrame >= 0) {
      ringCv.wait(lock);
      continue;
    }
    int victim = -1;
    for (int s = 0; s < 2 && victim < 0; ++s)
      if (s != inUse) victim = s;
    if (victim < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
    slots[victim].si = -1;
    lock.unlock();
    runPrep(frame, victim);
    lock.lock();
  }
}

void Renderer::Impl::prefetchLoop() {
  std::unique_lock<std::mutex> lock(ringMutex);
  for (;;) {
    ringCv.wait(lock, [&] { return stop || requestFrame >= 0; });
    if (stop) return;
    const int frame = requestFrame, slot = requestSlot;
    lock.unlock();
    runPrep(frame, slot);
    lock.lock();
    requestFrame = requestSlot = -1;
    ringCv.notify_all();
  }
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey,
                   int threads, const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  // An XNNPACK session would crash the process at creation; refuse before
  // anything is built.
  if (startsWith(ep, "xnnpack")) throw std::runtime_error(xnnpackRefusal(ep));
  m.identity = &identity;
  m.crop = manifest.crop;
  m.threads = threads < 1 ? pool::threads() : threads;
  m.ep = ep;
  m.modelPath = manifest.modelPath(modelKey);

  const bool wantEngine = ep == "neon" || (ep.empty() && envOr("LE_CONV_BACKEND", "") == "neon");
  if (wantEngine) {
    if (!ConvBackend::available()) {
      std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    } else if (!ConvBackend::graphSupported(m.modelPath)) {
      std::fprintf(stderr,
                   "[le] NEON backend refused: %s is not the fused m4b graph (golden/unified "
                   "director?); using ORT\n",
                   m.modelPath.c_str());
    } else {
      if (m.crop != 512) throw std::runtime_error("le_conv: only crop=512 m4b bundles");
      m.engine = ConvBackend::create(m.modelPath, m.threads);
      m.ep = "neon";
      m.batch = m.engine->batch();
      m.output.resize(static_cast<size_t>(m.batch) * 3 * m.crop * m.crop);
      m.pooledRows.resize(m.batch);
      m.sourceRows.resize(m.batch);
      if (!identity.hasMappedP()) m.priorStage.resize(static_cast<size_t>(m.batch) * 3 * m.crop * m.crop);
      m.note = "m4b director " + fs::baseName(m.modelPath) + " on the fp16 engine (" + simd::target() + ")";
      return;
    }
    m.ep.clear();
  }

  m.runOptions.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  try {
    m.buildSession(manifest);
  } catch (const std::exception& e) {
    if (!startsWith(m.ep, "coreml")) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n",
                 e.what());
    m.ep.clear();
    m.hoist = false;
    m.buildSession(manifest);
  }
  m.inspectInputs();
  m.bindAll();
  if (m.hoist) m.prefetch = std::thread([&m] { m.prefetchLoop(); });
}

Renderer::~Renderer() = default;

const float* Renderer::render(const int* si, const float* kpSource, const float* kpDriving, int n) {
  Impl& m = *impl_;
  if (n < 1 || n > m.batch || !si || !kpSource || !kpDriving) throw std::runtime_error("render: bad n");
  for (int j = 0; j < n; ++j)
    if (si[j] < 0 || si[j] >= m.identity->NT)
      throw std::runtime_error("render: identity frame " + std::to_string(si[j]) + " out of range");

  if (m.engine) {
    const size_t frame = static_cast<size_t>(3) * m.crop * m.crop;
    for (int j = 0; j < n; ++j) {
      m.pooledRows[j] = m.identity->pooled64(si[j]);
      const uint16_t* p = m.identity->P(si[j]);
      if (!m.priorStage.empty()) {
        // The cursor's row is valid only until its next pull.
        std::memcpy(m.priorStage.data() + j * frame, p, frame * sizeof(uint16_t));
        p = m.priorStage.data() + j * frame;
      }
      m.sourceRows[j] = p;
    }
    m.engine->render(m.pooledRows.data(), m.sourceRows.data(), kpSource, kpDriving, n, m.output.data());
    return m.output.data();
  }
  if (m.hoist) {
    const int slot = m.acquire(si[0]);
    simd::f16ToF32(m.identity->pooled64(si[0]), m.pooled.data(), kPooledFloats);
    std::memcpy(m.kpSource.data(), kpSource, kKpFloats * sizeof(float));
    std::memcpy(m.kpDriving.data(), kpDriving, kKpFloats * sizeof(float));
    const int next = m.predictor.next(si[0]);
    {
      std::lock_guard<std::mutex> lock(m.ringMutex);
      const bool held = m.slots[0].si == next || m.slots[1].si == next;
      if (next >= 0 && m.requestFrame < 0 && m.prepError.empty() && !held) {
        const int other = slot == 0 ? 1 : 0;
        m.slots[other].si = -1;
        m.requestFrame = next;
        m.requestSlot = other;
        m.ringCv.notify_all();
      }
    }
    m.binding->BindInput(m.boundaryName.c_str(), m.slots[slot].value);
  } else {
    for (int j = 0; j < m.batch; ++j) {
      float* pooledSlot = m.pooled.data() + j * kPooledFloats;
      float* priorSlot = m.prior.data() + j * m.priorFloats;
      float* ks = m.kpSource.data() + j * kKpFloats;
      float* kd = m.kpDriving.data() + j * kKpFloats;
      if (j < n) {
        simd::f16ToF32(m.identity->pooled64(si[j]), pooledSlot, kPooledFloats);
        const uint16_t* p = m.featSynth ? m.identity->fsRed(si[j]) : m.identity->P(si[j]);
        simd::f16ToF32(p, priorSlot, m.priorFloats);
        std::memcpy(ks, kpSource + j * kKpFloats, kKpFloats * sizeof(float));
        std::memcpy(kd, kpDriving + j * kKpFloats, kKpFloats * sizeof(float));
      } else {
        // A short batch repeats its last frame.
        std::memcpy(pooledSlot, pooledSlot - kPooledFloats, kPooledFloats * sizeof(float));
        std::memcpy(priorSlot, priorSlot - m.priorFloats, m.priorFloats * sizeof(float));
        std::memcpy(ks, ks - kKpFloats, kKpFloats * sizeof(float));
        std::memcpy(kd, kd - kKpFloats, kKpFloats * sizeof(float));
      }
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  m.session.Run(m.runOptions, *m.binding);
  m.runMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  m.frames += n;
  return m.output.data();
}

int Renderer::batch() const { return impl_->batch; }
const std::string& Renderer::ep() const { return impl_->ep; }
const char* Renderer::backend() const { return impl_->engine ? "neon" : "ort"; }
std::string Renderer::directorNote() const { return impl_->note; }

}  // namespace le
