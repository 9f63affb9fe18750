// The motion generator: speech audio to keypoint rows through a motion
// directory's three networks. What the directory's writer and this reader
// agree on (units: 16 000 Hz mono float audio, 25 fps, 640 samples per frame,
// keypoint rows of 63 floats; idx(f) is frame f's driver index, step 7):
//
// 1. Front end, step a (a = 0, 5, 10, ...): the samples [a*640 - 2000,
//    a*640 + 4480) (samples outside [0, pushed) are zeros), reflection padded
//    by 256 on each side (the edge sample is not repeated) to 6 992 samples;
//    20 STFT frames t = 0..19 starting at sample 320 t, 512 points, times the
//    stored window; magnitudes |X[k]|, k = 0..256; mel = mag @ binmat (80);
//    log(mel + 1e-8) is "mel" [1,20,80] of hubert_student.onnx, whose "feat"
//    [1,20,1024] rows are averaged in pairs (2k, 2k+1) to 10 rows; rows 3..7
//    are the features of frames a .. a+4, normalised as (f - fmean) / fstd.
//    Before finish a step needs the samples up to a*640 + 4480; after finish
//    nothing more.
// 2. Conditioning item of frame f (1 103 floats): normalised features (1024)
//    | emo.bin row 0 (8) | ch_eye_open (2) | ch_eye_ball (6) |
//    xs_target[idx(f)] * ch_sc (63).
// 3. Latent chunk c covers frames [70c, 70c + 80): "cond" holds those frames'
//    items (frames past the end of the audio, after finish: cond.bin when the
//    directory has one, else the last real item again); "overlap" holds the
//    last 10 rows of chunk c-1's "v" (zeros for c = 0); "xs_info" is
//    src_xs_info[idx(70c)] - ch_xs_info. The chunk commits rows [70c,
//    70c + 70), and after finish also the remaining rows up to the total.
//    Before finish chunk c runs once the items of frames up to 70c + 79
//    exist.
// 4. latent(f) = vmin + (clamp(v, -1, 1) + 1) / 2 * (vmax - vmin).
// 5. Smoothing: dims [0, 202) are the mean of the latents of rows
//    max(0, f-2) .. f; dims [202, 265) are frame f's own; then
//    motion[202] += delta_pitch.
// 6. delta = stitch(xs_target[idx(f)], motion); xd = xs + s_bridge * delta.
// 7. Driver index: e = f*dir + start; loop: e mod nt; bounce: p = 2(nt-1),
//    e' = e mod p, idx = e' when e' <= nt-1, else p - e'; nt <= 1 gives 0.
//
// Every row depends only on the samples, never on how they were pushed or on
// when the pipeline was advanced: a step or a chunk runs once the data it
// reads can no longer change.
#include "audio/le_motion.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "audio/le_audio_keys.h"
#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "core/le_env.h"
#include "core/le_error.h"
#include "director/le_ort_session.h"
#include "le/le.h"
#include "paste/le_pool.h"

namespace le::motion {
namespace {

constexpr int kChunk = 80;       // frames per latent network run
constexpr int kChunkStep = 70;   // frames committed per run
constexpr int kOverlap = kChunk - kChunkStep;
constexpr int kStep = 5;         // frames per front-end step
constexpr int kStepLead = 2000;  // samples before a step's first frame
constexpr int kStepTail = 4480;  // samples from a step's first frame to its window's end
constexpr int kSmoothDims = 202;
constexpr int kSmoothRows = 3;
constexpr int kEmoDim = 8;
constexpr int kXsInfoDim = 328;

// ---- meta.json -----------------------------------------------------------------

int metaCount(const std::string& text, const std::string& key) {
  const auto v = audio::metaNumber(text, key, "meta.json");
  if (!v) throw std::runtime_error("meta.json: missing " + key);
  if (*v != std::floor(*v) || *v < 1 || *v > INT_MAX) throw std::runtime_error("meta.json: bad " + key);
  return static_cast<int>(*v);
}

float metaNumber(const std::string& text, const std::string& key, float fallback) {
  const auto v = audio::metaNumber(text, key, "meta.json");
  if (!v) return fallback;
  if (std::fabs(*v) > 3.0e38) throw std::runtime_error("meta.json: bad " + key);
  return static_cast<float>(*v);
}

// ---- member files --------------------------------------------------------------

std::vector<float> readFloats(const std::string& path, size_t expected) {
  const std::string bytes = readFile(path);
  if (bytes.size() != expected * sizeof(float))
    throw std::runtime_error(path + ": " + std::to_string(bytes.size() / sizeof(float)) +
                             " floats, expected " + std::to_string(expected));
  std::vector<float> v(expected);
  if (expected) std::memcpy(v.data(), bytes.data(), bytes.size());
  return v;
}

// ---- sessions ------------------------------------------------------------------

// The execution provider asked for, checked once per object.
struct Backend {
  int threads = 1;
  bool coreml = false;
  std::string unit;      // CoreML compute units
  std::string cacheDir;  // CoreML model cache
};

Backend chooseBackend(const std::string& dir, int threads, const std::string& ep) {
  Backend b;
  b.threads = threads < 1 ? pool::threads() : threads;
  if (ep.empty() || ep == "cpu") return b;
  if (ep.compare(0, 6, "coreml") != 0) throw std::runtime_error("le_motion: unknown ep '" + ep + "'");
  const std::string which = ep.size() > 7 ? ep.substr(7) : "";
  b.coreml = true;
  b.unit = which == "cpu" ? "CPUOnly" : which == "gpu" ? "CPUAndGPU" : which == "ane" ? "CPUAndNeuralEngine" : "ALL";
  const std::string version = Ort::GetVersionString();
  b.cacheDir = dir + "/.coreml_cache/ort/" + (version.empty() ? "unknown" : version);
  return b;
}

// Every network of the directory is opened here, with the same options. A
// runtime without CoreML refuses the provider; the object then runs on the
// CPU, and says so once.
Ort::Session openNetwork(Ort::Env& env, const std::string& path, Backend& backend) {
  ort::SessionConfig config;
  config.intraThreads = backend.threads;
  config.spin = envStartsWith1("LE_ORT_SPIN");
  Ort::SessionOptions options = ort::sessionOptions(config);
  if (backend.coreml) {
    try {
      options.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                                 {"MLComputeUnits", backend.unit},
                                                 {"ModelCacheDirectory", backend.cacheDir}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "[le] le_motion: CoreML EP unavailable (%s) \xE2\x80\x94 using the ORT CPU EP\n",
                   e.what());
      backend.coreml = false;
    }
  }
  return ort::openSession(env, path.c_str(), options);
}

// Refuses a network whose inputs or outputs are not the ones this reader
// feeds and reads: a missing name, or a static dimension that differs.
void checkTensors(const Ort::Session& s, const std::string& path, bool inputs,
                  const std::vector<std::pair<const char*, std::vector<int64_t>>>& want) {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t n = inputs ? s.GetInputCount() : s.GetOutputCount();
  for (const auto& [name, shape] : want) {
    bool found = false;
    for (size_t i = 0; i < n && !found; ++i) {
      auto have = inputs ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc);
      if (std::strcmp(have.get(), name) != 0) continue;
      found = true;
      const auto dims = (inputs ? s.GetInputTypeInfo(i) : s.GetOutputTypeInfo(i))
                            .GetTensorTypeAndShapeInfo()
                            .GetShape();
      bool ok = dims.size() == shape.size();
      for (size_t d = 0; ok && d < dims.size(); ++d) ok = dims[d] < 0 || dims[d] == shape[d];
      if (!ok) {
        std::string text;
        for (int64_t v : dims) text += (text.empty() ? "" : ",") + std::to_string(v);
        throw std::runtime_error(path + ": " + (inputs ? "input" : "output") + " '" + name + "' has shape [" +
                                 text + "], REFUSING a network this reader would feed out of bounds");
      }
    }
    if (!found)
      throw std::runtime_error(path + ": no " + (inputs ? "input" : "output") + " '" + name +
                               "' \xE2\x80\x94 not a motion directory network");
  }
}

// ---- debug dumps ---------------------------------------------------------------

// Raw float32 files in $LE_MOTION_DUMP, rewritten for every utterance:
//   mel0.bin        front-end step 0's log-mel input [20, 80]
//   feat0.bin       its feature network output [20, 1024]
//   lmdm0_aud.bin   chunk 0's normalised features [80, 1024]
//   lmdm0_kp.bin    chunk 0's keypoint conditioning [80, 63]
//   lmdm0_pred.bin  chunk 0's "v" [80, 265]
//   xsla.bin        committed latents, per frame [265]
//   res_post.bin    smoothed latents as the stitching network gets them [265]
//   xdla.bin        the stitching network's deltas [63]
//   xs.bin, xd.bin  source and driving keypoints as pulled [63]
//   final.bin       per pulled frame: driver index, xs, xd [127]
class Dump {
 public:
  enum File { kMel0, kFeat0, kLmdmKp, kLmdmAud, kLmdmPred, kXsla, kXdla, kResPost, kFinal, kXs, kXd, kCount };

  explicit Dump(const char* dir) : dir_(dir && *dir ? dir : "") {
    if (on()) fs::mkdirs(dir_);
  }
  bool on() const { return !dir_.empty(); }
  void restart() { std::fill(std::begin(started_), std::end(started_), false); }
  void write(File f, const float* data, size_t n) {
    static const char* const kNames[kCount] = {"mel0.bin", "feat0.bin", "lmdm0_kp.bin", "lmdm0_aud.bin",
                                               "lmdm0_pred.bin", "xsla.bin", "xdla.bin", "res_post.bin",
                                               "final.bin", "xs.bin", "xd.bin"};
    if (!on()) return;
    const std::string path = dir_ + "/" + kNames[f];
    fs::File out(path, started_[f] ? "ab" : "wb");
    started_[f] = true;
    if (!out || std::fwrite(data, sizeof(float), n, out.get()) != n || out.close() != 0) {
      if (!warned_) std::fprintf(stderr, "[le] le_motion: cannot write %s\n", path.c_str());
      warned_ = true;
    }
  }

 private:
  std::string dir_;
  bool started_[kCount] = {};
  bool warned_ = false;
};

Ort::Value tensor(const Ort::MemoryInfo& mem, std::vector<float>& buf, std::initializer_list<int64_t> shape) {
  return Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.begin(), shape.size());
}

}  // namespace

Meta readMeta(const std::string& text) {
  Meta m;
  m.nt = metaCount(text, "nt");
  m.nSrc = metaCount(text, "n_src");
  m.nEmo = metaCount(text, "n_emo");
  m.sBridge = metaNumber(text, "s_bridge", 1.0f);
  m.deltaPitch = metaNumber(text, "delta_pitch", 0.0f);
  if (m.nSrc != m.nt) throw std::runtime_error("le_motion: n_src != nt unsupported");
  return m;
}

// ---- Motion --------------------------------------------------------------------

struct Motion::Impl {
  Meta meta;
  std::vector<float> fmean, fstd, emo, chXsInfo, chSc, eyeOpen, eyeBall, vMin, vMax, srcXsInfo, xsTarget;
  std::vector<float> condPad;  // cond.bin, empty when the directory has none
  LogMel logMel;

  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_motion"};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::RunOptions run;
  Ort::Session hubert{nullptr}, lmdm{nullptr}, stitch{nullptr};

  // Network inputs and outputs: buffers owned here, wrapped once.
  std::vector<float> melIn = std::vector<float>(LogMel::kFrames * LogMel::kMels);
  std::vector<float> featOut = std::vector<float>(LogMel::kFrames * kFeatDim);
  std::vector<float> condIn = std::vector<float>(kChunk * kItemDim);
  std::vector<float> overlapIn = std::vector<float>(kOverlap * kLatentDim);
  std::vector<float> xsInfoIn = std::vector<float>(kXsInfoDim);
  std::vector<float> vOut = std::vector<float>(kChunk * kLatentDim);
  std::vector<float> stitchXs = std::vector<float>(kKpFloats);
  std::vector<float> stitchMotion = std::vector<float>(kLatentDim);
  std::vector<float> stitchDelta = std::vector<float>(kKpFloats);
  // Run takes its inputs as one array per network.
  Ort::Value melV{nullptr}, featV{nullptr}, vV{nullptr}, stitchDeltaV{nullptr};
  Ort::Value lmdmIn[3] = {Ort::Value{nullptr}, Ort::Value{nullptr}, Ort::Value{nullptr}};
  Ort::Value stitchIn[2] = {Ort::Value{nullptr}, Ort::Value{nullptr}};

  std::vector<float> window = std::vector<float>(LogMel::kSamples);
  std::vector<float> scratch = std::vector<float>(kChunk * kFeatDim);  // dump staging
  Dump dump{envValue("LE_MOTION_DUMP")};

  // One utterance.
  std::vector<float> audio;
  bool finished = false;
  int totalFrames = 0;  // valid once finished
  int start = 0, dir = 1;
  bool loop = true;
  int eager = -1;
  std::vector<float> featn;  // normalised features, kFeatDim per frame
  int featFrames = 0;        // frames of featn (the next step's first frame)
  int chunk = 0;             // next latent chunk
  std::vector<float> latents;  // kLatentDim per committed frame
  int committed = 0;
  int emitted = 0;

  Impl(const std::string& d, int threads, const std::string& ep, const std::string& metaText)
      : meta(readMeta(metaText)),
        logMel(readFloats(d + "/hubert_stft_window.bin", LogMel::kFft),
               readFloats(d + "/hubert_stft_binmat.bin", static_cast<size_t>(LogMel::kBins) * LogMel::kMels)) {
    fmean = readFloats(d + "/hubert_fmean.bin", kFeatDim);
    fstd = readFloats(d + "/hubert_fstd.bin", kFeatDim);
    emo = readFloats(d + "/emo.bin", static_cast<size_t>(meta.nEmo) * kEmoDim);
    chXsInfo = readFloats(d + "/ch_xs_info.bin", kXsInfoDim);
    chSc = readFloats(d + "/ch_sc.bin", kKpFloats);
    eyeOpen = readFloats(d + "/ch_eye_open.bin", 2);
    eyeBall = readFloats(d + "/ch_eye_ball.bin", 6);
    const std::vector<float> vmm = readFloats(d + "/v_min_max.bin", 2 * kLatentDim);
    vMin.assign(vmm.begin(), vmm.begin() + kLatentDim);
    vMax.assign(vmm.begin() + kLatentDim, vmm.end());
    srcXsInfo = readFloats(d + "/src_xs_info.bin", static_cast<size_t>(meta.nSrc) * kXsInfoDim);
    xsTarget = readFloats(d + "/xs_target.bin", static_cast<size_t>(meta.nt) * kKpFloats);
    if (fs::exists(d + "/cond.bin")) condPad = readFloats(d + "/cond.bin", kItemDim);

    Backend backend = chooseBackend(d, threads, ep);
    const std::string hubertPath = d + "/hubert_student.onnx";
    const std::string lmdmPath = d + "/lmdm.onnx";
    const std::string stitchPath = d + "/stitch.onnx";
    hubert = openNetwork(env, hubertPath, backend);
    lmdm = openNetwork(env, lmdmPath, backend);
    stitch = openNetwork(env, stitchPath, backend);
    checkTensors(hubert, hubertPath, true, {{"mel", {1, LogMel::kFrames, LogMel::kMels}}});
    checkTensors(hubert, hubertPath, false, {{"feat", {1, LogMel::kFrames, kFeatDim}}});
    checkTensors(lmdm, lmdmPath, true,
                 {{"cond", {1, kChunk, kItemDim}}, {"overlap", {1, kOverlap, kLatentDim}}, {"xs_info", {1, kXsInfoDim}}});
    checkTensors(lmdm, lmdmPath, false, {{"v", {1, kChunk, kLatentDim}}});
    checkTensors(stitch, stitchPath, true, {{"xs", {1, kKpFloats}}, {"motion", {1, kLatentDim}}});
    checkTensors(stitch, stitchPath, false, {{"delta", {1, kKpFloats}}});

    melV = tensor(mem, melIn, {1, LogMel::kFrames, LogMel::kMels});
    featV = tensor(mem, featOut, {1, LogMel::kFrames, kFeatDim});
    lmdmIn[0] = tensor(mem, condIn, {1, kChunk, kItemDim});
    lmdmIn[1] = tensor(mem, overlapIn, {1, kOverlap, kLatentDim});
    lmdmIn[2] = tensor(mem, xsInfoIn, {1, kXsInfoDim});
    vV = tensor(mem, vOut, {1, kChunk, kLatentDim});
    stitchIn[0] = tensor(mem, stitchXs, {1, kKpFloats});
    stitchIn[1] = tensor(mem, stitchMotion, {1, kLatentDim});
    stitchDeltaV = tensor(mem, stitchDelta, {1, kKpFloats});

    // Room for about half a minute of speech before anything grows.
    audio.reserve(static_cast<size_t>(30) * 16000);
    featn.reserve(static_cast<size_t>(800) * kFeatDim);
    latents.reserve(static_cast<size_t>(800) * kLatentDim);
  }

  int idx(long long f) const { return audio::driverIndex(f, start, dir, loop, meta.nt); }

  void reset(int s, int direction, int lp) {
    start = std::clamp(s, 0, meta.nt - 1);
    dir = direction < 0 ? -1 : 1;
    loop = lp != 0;
    audio.clear();
    finished = false;
    totalFrames = 0;
    featn.clear();
    featFrames = 0;
    chunk = 0;
    std::fill(overlapIn.begin(), overlapIn.end(), 0.0f);
    latents.clear();
    committed = 0;
    emitted = 0;
    dump.restart();
  }

  // Whether front-end step a may run: before finish its whole window must
  // have been pushed; after finish only frames of the utterance count.
  bool stepReady(int a) const {
    if (finished) return a < totalFrames;
    return static_cast<long long>(a) * kSamplesPerFrame + kStepTail <= static_cast<long long>(audio.size());
  }

  bool chunkWanted() const { return !finished || committed < totalFrames; }

  // Frames whose items chunk `chunk` reads from the front end.
  int chunkNeeds() const {
    const int end = chunk * kChunkStep + kChunk;
    return finished ? std::min(end, totalFrames) : end;
  }

  void runStep() {
    const int a = featFrames;
    const long long first = static_cast<long long>(a) * kSamplesPerFrame - kStepLead;
    const long long pushed = static_cast<long long>(audio.size());
    for (int i = 0; i < LogMel::kSamples; ++i) {
      const long long s = first + i;
      window[i] = s >= 0 && s < pushed ? audio[static_cast<size_t>(s)] : 0.0f;
    }
    logMel.compute(window.data(), melIn.data());
    static const char* const inNames[] = {"mel"};
    static const char* const outNames[] = {"feat"};
    hubert.Run(run, inNames, &melV, 1, outNames, &featV, 1);
    if (a == 0) {
      dump.write(Dump::kMel0, melIn.data(), melIn.size());
      dump.write(Dump::kFeat0, featOut.data(), featOut.size());
    }
    featn.resize(static_cast<size_t>(a + kStep) * kFeatDim);
    for (int j = 0; j < kStep; ++j) {
      const float* r0 = featOut.data() + static_cast<size_t>(2 * (3 + j)) * kFeatDim;
      const float* r1 = r0 + kFeatDim;
      float* out = featn.data() + static_cast<size_t>(a + j) * kFeatDim;
      for (int d = 0; d < kFeatDim; ++d) out[d] = ((r0[d] + r1[d]) * 0.5f - fmean[d]) / fstd[d];
    }
    featFrames = a + kStep;
  }

  void item(int f, float* out) const {
    if (finished && f >= totalFrames) {
      if (!condPad.empty()) {
        std::copy(condPad.begin(), condPad.end(), out);
        return;
      }
      f = totalFrames - 1;
    }
    std::copy_n(featn.data() + static_cast<size_t>(f) * kFeatDim, kFeatDim, out);
    out += kFeatDim;
    out = std::copy_n(emo.data(), kEmoDim, out);
    out = std::copy(eyeOpen.begin(), eyeOpen.end(), out);
    out = std::copy(eyeBall.begin(), eyeBall.end(), out);
    const float* xs = xsTarget.data() + static_cast<size_t>(idx(f)) * kKpFloats;
    for (int k = 0; k < kKpFloats; ++k) out[k] = xs[k] * chSc[k];
  }

  void runChunk() {
    const int first = chunk * kChunkStep;
    for (int k = 0; k < kChunk; ++k) item(first + k, condIn.data() + static_cast<size_t>(k) * kItemDim);
    const float* src = srcXsInfo.data() + static_cast<size_t>(idx(first)) * kXsInfoDim;
    for (int k = 0; k < kXsInfoDim; ++k) xsInfoIn[k] = src[k] - chXsInfo[k];
    static const char* const inNames[] = {"cond", "overlap", "xs_info"};
    static const char* const outNames[] = {"v"};
    lmdm.Run(run, inNames, lmdmIn, 3, outNames, &vV, 1);
    if (chunk == 0 && dump.on()) dumpChunk0();
    std::copy(vOut.begin() + static_cast<size_t>(kChunkStep) * kLatentDim, vOut.end(), overlapIn.begin());

    const int end = finished && totalFrames <= first + kChunk ? totalFrames : first + kChunkStep;
    latents.resize(static_cast<size_t>(end) * kLatentDim);
    for (int f = first; f < end; ++f) {
      const float* v = vOut.data() + static_cast<size_t>(f - first) * kLatentDim;
      float* out = latents.data() + static_cast<size_t>(f) * kLatentDim;
      for (int d = 0; d < kLatentDim; ++d)
        out[d] = vMin[d] + (std::clamp(v[d], -1.0f, 1.0f) + 1.0f) / 2.0f * (vMax[d] - vMin[d]);
    }
    dump.write(Dump::kXsla, latents.data() + static_cast<size_t>(first) * kLatentDim,
               static_cast<size_t>(end - first) * kLatentDim);
    committed = end;
    ++chunk;
  }

  void dumpChunk0() {
    for (int k = 0; k < kChunk; ++k)
      std::copy_n(condIn.data() + static_cast<size_t>(k) * kItemDim + 1040, kKpFloats,
                  scratch.data() + static_cast<size_t>(k) * kKpFloats);
    dump.write(Dump::kLmdmKp, scratch.data(), static_cast<size_t>(kChunk) * kKpFloats);
    for (int k = 0; k < kChunk; ++k)
      std::copy_n(condIn.data() + static_cast<size_t>(k) * kItemDim, kFeatDim,
                  scratch.data() + static_cast<size_t>(k) * kFeatDim);
    dump.write(Dump::kLmdmAud, scratch.data(), static_cast<size_t>(kChunk) * kFeatDim);
    dump.write(Dump::kLmdmPred, vOut.data(), vOut.size());
  }

  // Runs every step and chunk the audio allows. Without an eager value the
  // front end waits until a whole chunk's steps can run.
  void advance() {
    while (chunkWanted()) {
      if (featFrames >= chunkNeeds()) {
        runChunk();
        continue;
      }
      const int lastStep = chunkNeeds() - kStep;
      const bool wanted = finished || eager > 0 || stepReady(std::max(lastStep, featFrames));
      if (!wanted || !stepReady(featFrames)) break;
      runStep();
    }
  }

  int pull(int* idxOut, float* xsOut, float* xdOut, int max) {
    advance();
    const int n = std::min(max, committed - emitted);
    for (int i = 0; i < n; ++i) {
      const int f = emitted + i;
      const int first = std::max(0, f - (kSmoothRows - 1));
      const float count = static_cast<float>(f - first + 1);
      const float* own = latents.data() + static_cast<size_t>(f) * kLatentDim;
      for (int d = 0; d < kSmoothDims; ++d) {
        float sum = 0.0f;
        for (int r = first; r <= f; ++r) sum += latents[static_cast<size_t>(r) * kLatentDim + d];
        stitchMotion[d] = sum / count;
      }
      std::copy(own + kSmoothDims, own + kLatentDim, stitchMotion.begin() + kSmoothDims);
      stitchMotion[kSmoothDims] += meta.deltaPitch;

      const int row = idx(f);
      const float* xs = xsTarget.data() + static_cast<size_t>(row) * kKpFloats;
      std::copy_n(xs, kKpFloats, stitchXs.begin());
      static const char* const inNames[] = {"xs", "motion"};
      static const char* const outNames[] = {"delta"};
      stitch.Run(run, inNames, stitchIn, 2, outNames, &stitchDeltaV, 1);

      float* xsDst = xsOut + static_cast<size_t>(i) * kKpFloats;
      float* xdDst = xdOut + static_cast<size_t>(i) * kKpFloats;
      std::copy_n(xs, kKpFloats, xsDst);
      for (int k = 0; k < kKpFloats; ++k) xdDst[k] = xs[k] + meta.sBridge * stitchDelta[k];
      idxOut[i] = row;
      if (dump.on()) {
        dump.write(Dump::kResPost, stitchMotion.data(), kLatentDim);
        dump.write(Dump::kXdla, stitchDelta.data(), kKpFloats);
        dump.write(Dump::kXs, xsDst, kKpFloats);
        dump.write(Dump::kXd, xdDst, kKpFloats);
        float record[1 + 2 * kKpFloats];
        record[0] = static_cast<float>(row);
        std::copy_n(xsDst, kKpFloats, record + 1);
        std::copy_n(xdDst, kKpFloats, record + 1 + kKpFloats);
        dump.write(Dump::kFinal, record, 1 + 2 * kKpFloats);
      }
    }
    emitted += n;
    return n;
  }
};

Motion::Motion(const std::string& dir, int threads, const std::string& ep)
    : impl_(std::make_unique<Impl>(dir, threads, ep, readFile(dir + "/meta.json"))) {}

Motion::~Motion() = default;

int Motion::nt() const { return impl_->meta.nt; }
void Motion::reset(int start, int direction, int loop) { impl_->reset(start, direction, loop); }
void Motion::setEager(int value) { impl_->eager = value; }
bool Motion::finished() const { return impl_->finished; }

void Motion::push(const float* samples, int n) {
  if (n > 0) impl_->audio.insert(impl_->audio.end(), samples, samples + n);
}

void Motion::finish() {
  Impl& m = *impl_;
  if (!m.finished) {
    const size_t frames = (m.audio.size() + kSamplesPerFrame - 1) / kSamplesPerFrame;
    if (frames > static_cast<size_t>(INT_MAX - 2 * kChunk))
      throw std::runtime_error("utterance of " + std::to_string(frames) + " frames is too long");
    m.finished = true;
    m.totalFrames = static_cast<int>(frames);
  }
  m.advance();
}

int Motion::total() const { return impl_->finished ? impl_->totalFrames : -1; }

int Motion::avail() {
  impl_->advance();
  return impl_->committed - impl_->emitted;
}

int Motion::pull(int* idx, float* xs, float* xd, int max) { return impl_->pull(idx, xs, xd, max); }

}  // namespace le::motion

// ---- C interface -----------------------------------------------------------------

struct le_motion {
  le::motion::Motion motion;
  le_motion(const char* dir, int threads, const char* ep) : motion(dir, threads, ep ? ep : "") {}
};

using le::capi::Family;
using le::capi::guarded;
using le::capi::guardedVoid;
using le::capi::setError;

extern "C" {

LE_API le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  return guarded(Family::Motion, "le_motion_create", static_cast<le_motion*>(nullptr), [&]() -> le_motion* {
    if (!motion_dir) {
      setError(Family::Motion, "le_motion_create: NULL motion_dir");
      return nullptr;
    }
    return std::make_unique<le_motion>(motion_dir, threads, ep).release();
  });
}

LE_API void le_motion_destroy(le_motion* motion) {
  guardedVoid(Family::Motion, "le_motion_destroy", [&] { std::unique_ptr<le_motion> owned(motion); });
}

LE_API int le_motion_nt(const le_motion* motion) {
  return guarded(Family::Motion, "le_motion_nt", 0, [&] { return motion ? motion->motion.nt() : 0; });
}

LE_API void le_motion_reset(le_motion* motion, int start, int direction, int loop) {
  guardedVoid(Family::Motion, "le_motion_reset", [&] {
    if (!motion) return setError(Family::Motion, "le_motion_reset: NULL motion");
    motion->motion.reset(start, direction, loop);
  });
}

LE_API void le_motion_set_eager(le_motion* motion, int value) {
  guardedVoid(Family::Motion, "le_motion_set_eager", [&] {
    if (!motion) return setError(Family::Motion, "le_motion_set_eager: NULL motion");
    motion->motion.setEager(value);
  });
}

LE_API int le_motion_push(le_motion* motion, const float* samples, int n) {
  return guarded(Family::Motion, "le_motion_push", 0, [&] {
    if (!motion || !samples || n < 0 || motion->motion.finished()) {
      setError(Family::Motion, "le_motion_push: bad args / already finished");
      return 0;
    }
    motion->motion.push(samples, n);
    return 1;
  });
}

LE_API void le_motion_finish(le_motion* motion) {
  guardedVoid(Family::Motion, "le_motion_finish", [&] {
    if (!motion) return setError(Family::Motion, "le_motion_finish: NULL motion");
    motion->motion.finish();
  });
}

LE_API int le_motion_total(const le_motion* motion) {
  return guarded(Family::Motion, "le_motion_total", -1, [&] { return motion ? motion->motion.total() : -1; });
}

LE_API int le_motion_avail(le_motion* motion) {
  return guarded(Family::Motion, "le_motion_avail", 0, [&] {
    if (!motion) {
      setError(Family::Motion, "le_motion_avail: NULL motion");
      return 0;
    }
    return motion->motion.avail();
  });
}

LE_API int le_motion_pull(le_motion* motion, int* idx, float* xs, float* xd, int max) {
  return guarded(Family::Motion, "le_motion_pull", 0, [&] {
    if (!motion || !idx || !xs || !xd) {
      setError(Family::Motion, "le_motion_pull: bad args");
      return 0;
    }
    return max > 0 ? motion->motion.pull(idx, xs, xd, max) : 0;
  });
}

}  // extern "C"
