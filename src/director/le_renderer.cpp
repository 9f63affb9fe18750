#include "director/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "bundle/le_fs.h"
#include "bundle/le_identity.h"
#include "core/le_env.h"
#include "director/graph_rewrites.h"
#include "director/gridsample_fast.h"
#include "director/le_conv.h"
#include "director/le_director_rewrites.h"
#include "director/le_ort_session.h"
#include "director/le_source_cone.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le {
namespace {

constexpr size_t kKpFloats = kKeypointFloats;
constexpr size_t kPooledFloats = kPooledHalves;
constexpr size_t kFsRedFloats = kFsRedHalves;

bool startsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The model file whole, with the renderer's own messages.
Bytes readModel(const std::string& path) {
  try {
    return fs::readWhole<Bytes>(path);
  } catch (const fs::ShortReadError&) {
    throw std::runtime_error("Renderer: short read on " + path);
  } catch (const fs::OpenError&) {
    throw std::runtime_error("Renderer: cannot open " + path);
  }
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

}  // namespace

struct Renderer::Impl {
  std::string ep;
  Identity* identity = nullptr;
  int32_t crop = 0;
  int32_t batch = 0;
  bool featSynth = false;
  int threads = 1;
  DirectorOptions options;
  std::string modelPath;
  std::string note;

  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_core"};
  Ort::SessionOptions sessionOptions{nullptr};
  Ort::Session session{nullptr};
  Ort::RunOptions runOptions;
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::unique_ptr<Ort::IoBinding> binding;

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
  std::unique_ptr<SourceConePrefetcher> cone;

  long frames = 0;
  double runMs = 0;

  ~Impl() {
    cone.reset();
    if (session) {
      std::fprintf(stderr,
                   "[le-director-ort] %ld frames: %.2f ms/frame in Session::Run (the director this "
                   "plane serves today; its Adreno counterpart prints the same line)\n",
                   frames, frames ? runMs / frames : 0.0);
    }
    if (!options.ortProfile.empty() && session) {
      try {
        Ort::AllocatorWithDefaultOptions alloc;
        auto name = session.EndProfilingAllocated(alloc);
        std::fprintf(stderr, "[le_ort_profile] %s\n", name.get());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "[le_ort_profile] FAILED: %s\n", e.what());
      }
    }
  }

  void buildSession(const Manifest& manifest);
  std::string appendExecutionProvider(const Manifest& manifest);
  void registerOperators();
  void logHoistDecision(const DirectorRewrites& rewrites, const std::string& unit, Bytes& model);
  void inspectInputs();
  void bindAll();
};

// Adds the provider `ep` names to the session options; returns the CoreML
// unit set ("" for the CPU provider).
std::string Renderer::Impl::appendExecutionProvider(const Manifest& manifest) {
  if (ep.empty()) return "";
  if (!startsWith(ep, "coreml")) throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
  const std::string which = ep.size() > 7 ? ep.substr(7) : "";
  const std::string unit = which == "cpu"   ? "CPUOnly"
                           : which == "gpu" ? "CPUAndGPU"
                           : which == "ane" ? "CPUAndNeuralEngine"
                                            : "ALL";
  const std::string version = Ort::GetVersionString();
  std::unordered_map<std::string, std::string> opts = {
      {"ModelFormat", "MLProgram"},
      {"MLComputeUnits", unit},
      {"ModelCacheDirectory", manifest.dir + "/.coreml_cache/ort/" + (version.empty() ? "unknown" : version)}};
  sessionOptions.AppendExecutionProvider("CoreML", opts);
  return unit;
}

// The custom operators, unless GridSampleFast is switched off; then a graph
// that already carries the operator cannot load.
void Renderer::Impl::registerOperators() {
  if (!options.gridSampleFast) return;
  registerGridSampleFast(sessionOptions);
  if (!options.gridSampleRewrite && ep.empty())
    std::fprintf(stderr,
                 "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.corvane::GridSampleFast "
                 "rewrite DISABLED (%s); the custom op is still registered, so a baked bundle "
                 "loads and runs its baked kernel. A standard bundle now runs ORT's own "
                 "GridSample.\n",
                 modelPath.c_str());
}

// The source-cone hoist: skipped under the warp node, kept off a CoreML unit
// set that can reach the GPU, tried on the CPU provider when a prior exists.
void Renderer::Impl::logHoistDecision(const DirectorRewrites& rewrites, const std::string& unit,
                                      Bytes& model) {
  const char* tag = modelPath.c_str();
  const bool priorAvailable = identity->hasMappedP() || !identity->priorPath().empty();
  if (rewrites.warpApplied()) {
    std::fprintf(stderr,
                 "[le] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xE2\x80\x94 "
                 "there is nothing left to hoist\n",
                 tag);
  } else if (startsWith(ep, "coreml") && (unit == "ALL" || unit == "CPUAndGPU")) {
    std::fprintf(stderr,
                 "[le] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the "
                 "director on the GPU and the 12.58 MB boundary input would cross that partition "
                 "every frame (measured 0.61x on an M4) \xE2\x80\x94 the cone stays in the graph\n",
                 tag, unit == "ALL" ? "all" : "gpu");
  } else if (ep.empty() && priorAvailable) {
    cone = SourceConePrefetcher::split(model, modelPath, env, *identity, crop, options.ortSpin, runOptions);
  }
}

void Renderer::Impl::buildSession(const Manifest& manifest) {
  const bool cpu = ep.empty();
  ort::SessionConfig config;
  config.intraThreads = threads;
  config.spin = options.ortSpin;
  config.profilePrefix = options.ortProfile;
  sessionOptions = ort::sessionOptions(config);
  const std::string unit = appendExecutionProvider(manifest);

  Bytes model = readModel(modelPath);
  if (!options.gridSampleFast && graphHasBakedGridSampleFast(model))
    throw std::runtime_error(
        "Renderer: LE_GS_FAST=0 (or CORVANE_VELLUM2_GRIDSAMPLE_FAST=0, which sets it) was asked "
        "for, but " + modelPath +
        " has com.corvane::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op "
        "registration, so there would be no kernel to bind and this session would die inside ORT "
        "with 'GridSampleFast(-1) is not a registered function/op'. There is no "
        "standard-GridSample arm on this bundle to measure: the artifact itself is non-standard. "
        "Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
        "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
  registerOperators();

  const DirectorRewrites rewrites =
      rewriteDirector(model, options.warpNode && cpu,
                      cpu && options.gridSampleFast && options.gridSampleRewrite);
  // The operator must exist to run, also where GridSampleFast is off.
  if (rewrites.warpApplied() && !options.gridSampleFast) registerWarpDirector(sessionOptions);
  rewrites.logWarp();
  logHoistDecision(rewrites, unit, model);
  rewrites.logCounts(modelPath);

  if (rewrites.changedGraph() || cone)
    session = ort::openSession(env, model.data(), model.size(), sessionOptions);
  else
    session = ort::openSession(env, modelPath.c_str(), sessionOptions);
  note = std::string(featSynth ? "FeatSynth" : "standard") + " director " + fs::baseName(modelPath) +
         ": GridSampleFast x" + std::to_string(rewrites.gridSample) + ", blend Gemm x" +
         std::to_string(rewrites.blend) + ", cubic head x" + std::to_string(rewrites.cubicHead) +
         (rewrites.warpApplied() ? ", WarpDirector" : "") + (cone ? ", source-cone hoist" : "");
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", ep.c_str(),
               cpu ? "ORT CPU EP"
                   : "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph");
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
  priorName = featSynth ? "fs_red" : (cone ? cone->boundaryName() : "P_rgb");

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
  if (!cone) prior.assign(b * priorFloats, 0.f);

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
  if (!cone) {
    std::vector<int64_t> priorShape = featSynth ? std::vector<int64_t>{B, static_cast<int64_t>(kFsRedFloats)}
                                                : std::vector<int64_t>{B, 3, crop, crop};
    inputValues.push_back(Ort::Value::CreateTensor<float>(memory, prior.data(), prior.size(),
                                                          priorShape.data(), priorShape.size()));
    binding->BindInput(priorName.c_str(), inputValues[3]);
  }
  outputValue = Ort::Value::CreateTensor<float>(memory, output.data(), output.size(), rgbShape, 4);
  binding->BindOutput("rgb", outputValue);
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& modelKey,
                   int threads, const std::string& ep, const DirectorOptions& options)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  // An XNNPACK session would crash the process at creation; refuse before
  // anything is built.
  if (startsWith(ep, "xnnpack")) throw std::runtime_error(xnnpackRefusal(ep));
  m.identity = &identity;
  m.crop = manifest.crop;
  m.threads = threads < 1 ? pool::threads() : threads;
  m.ep = ep;
  m.options = options;
  m.modelPath = manifest.modelPath(modelKey);

  const bool wantEngine = ep == "neon" || (ep.empty() && options.convBackendNeon);
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

  // No arena shrinkage after each Run: handing the arena's pages back and
  // faulting them in again cost a third of the per-frame graph's time on 2
  // cores (the pages are zeroed by the kernel on every frame); the arena's
  // size is fixed by the first frame anyway. A host short of memory can ask
  // for the shrinkage back with LE_RENDER_ARENA_SHRINK=1.
  if (envIsExactly1("LE_RENDER_ARENA_SHRINK"))
    m.runOptions.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
  try {
    m.buildSession(manifest);
  } catch (const std::exception& e) {
    if (!startsWith(m.ep, "coreml")) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n",
                 e.what());
    m.ep.clear();
    m.cone.reset();
    m.buildSession(manifest);
  }
  m.inspectInputs();
  m.bindAll();
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
  if (m.cone) {
    Ort::Value& boundary = m.cone->acquire(si[0]);
    m.binding->BindInput(m.cone->boundaryName().c_str(), boundary);
    simd::f16ToF32(m.identity->pooled64(si[0]), m.pooled.data(), kPooledFloats);
    std::memcpy(m.kpSource.data(), kpSource, kKpFloats * sizeof(float));
    std::memcpy(m.kpDriving.data(), kpDriving, kKpFloats * sizeof(float));
    m.cone->prefetchAfter(si[0]);
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
