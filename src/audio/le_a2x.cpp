// Streaming audio-to-expression: speech samples in, one keypoint row per
// 25 fps video frame out.
//
// Three ONNX Runtime stages run behind le_a2x_push / le_a2x_pull:
//  1. audio features, 12 layers x 768 per frame, from a process-wide feature
//     network: either the legacy model that re-runs an 8-second window every
//     100 frames, or the short-window pair (a trunk over 2 seconds once per
//     8 frames, then a per-frame head) that reproduces the legacy frame
//     positions by interpolating the trunk's 80-sample steps;
//  2. a streaming encoder that attends `left` frames back and `window` frames
//     ahead per layer;
//  3. an autoregressive decoder that turns each encoder row into a 63-float
//     delta row.
//
// Frames are released in whole 8-frame blocks, so what a host pulls never
// depends on how its audio was cut into pushes; the feature store, encoder
// rows and decoder rows are computed once per frame and never revisited.
#include "audio/le_a2x_impl.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <limits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "audio/le_audio_keys.h"
#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "core/le_env.h"
#include "core/le_error.h"
#include "director/le_ort_session.h"
#include "le/le_a2x.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le::a2x {
namespace {

constexpr int kLegacySamples = 128000;  // 8 s: 200 frames
constexpr int kLegacyFrames = 200;
constexpr int kLegacyHop = 100;
constexpr int kTrunkSamples = 32000;  // 2 s
constexpr int kTrunkStep = 80;        // samples per trunk time step
constexpr int kTrunkChannels = 640;
constexpr int kBlock = 8;             // frames per short-window trunk run
constexpr int kEncChunk = 64;
constexpr int kOfflineEncChunk = 24;

// ---- Process-wide feature sessions -------------------------------------------

struct SharedFeatures {
  std::mutex mutex;  // guards creation of everything below but the cache
  Ort::Env* env = nullptr;
  Ort::Session* w2v = nullptr;
  std::string w2vPath;
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  std::string trunkOutput;
  std::atomic<int> trunkSteps{0};  // LT; 0 until known
  bool searched = false;

  std::mutex silenceMutex;
  std::vector<float> silence;  // legacy features of 8 s of silence, [12, 200, 768]

  std::once_flag cadence;
};

// Lives until the process exits: streams in any thread may still be running
// the shared sessions while static destructors run.
SharedFeatures& shared() {
  static SharedFeatures* features = new SharedFeatures;
  return *features;
}

int resolveThreads(int threads) {
  const int pool = le::pool::threads();
  return threads <= 0 || threads >= pool ? pool : threads;
}

Ort::SessionOptions makeOptions(int threads) {
  ort::SessionConfig config;
  config.intraThreads = threads;
  return ort::sessionOptions(config);
}

// The CUDA provider, when asked for: always for the feature network ("w2v"),
// for the encoder and decoder only with LE_A2X_CUDA_ALL. A runtime without
// CUDA fails the append and the session stays on the CPU.
void applyCudaRule(Ort::SessionOptions& options, const char* tag) {
  if (!envIsExactly1("LE_A2X_CUDA")) return;
  if (std::strcmp(tag, "w2v") != 0 && !envIsExactly1("LE_A2X_CUDA_ALL")) return;
  size_t mib = 3072;
  const std::string memText = envText("LE_A2X_CUDA_MEM_MIB");
  char* end = nullptr;
  const long long asked = memText.empty() ? 0 : std::strtoll(memText.c_str(), &end, 10);
  if (!memText.empty() && end && *end == '\0' && asked > 0 && asked < (1LL << 40))
    mib = static_cast<size_t>(asked);
  const OrtApi& api = Ort::GetApi();
  OrtCUDAProviderOptionsV2* cuda = nullptr;
  try {
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&cuda));
    const std::string bytes = std::to_string(mib * 1024 * 1024);
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit",
                          "cudnn_conv_use_max_workspace", "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", bytes.c_str(), "0", "0"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda, keys, values, 5));
    Ort::ThrowOnError(api.SessionOptionsAppendExecutionProvider_CUDA_V2(options, cuda));
    api.ReleaseCUDAProviderOptions(cuda);
    std::fprintf(stderr, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag,
                 mib);
  } catch (const std::exception& e) {
    if (cuda) api.ReleaseCUDAProviderOptions(cuda);
    std::fprintf(stderr, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag,
                 e.what());
  }
}

// Opens a model file. Some exported graphs fuse into a float16 Gelu that this
// runtime has no CPU kernel for; those reopen with basic optimisation.
std::unique_ptr<Ort::Session> openModel(Ort::Env& env, const std::string& path,
                                        Ort::SessionOptions& options) {
  const std::string bytes = readFile(path);
  try {
    return std::make_unique<Ort::Session>(ort::openSession(env, bytes.data(), bytes.size(), options));
  } catch (const Ort::Exception& e) {
    const std::string what = e.what();
    if (what.find("Gelu") == std::string::npos || what.find("float16") == std::string::npos) throw;
    std::fprintf(stderr,
                 "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this "
                 "runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    return std::make_unique<Ort::Session>(ort::openSession(env, bytes.data(), bytes.size(), options));
  }
}

std::vector<std::string> names(const Ort::Session& s, bool inputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> out;
  const size_t n = inputs ? s.GetInputCount() : s.GetOutputCount();
  for (size_t i = 0; i < n; ++i)
    out.emplace_back(inputs ? s.GetInputNameAllocated(i, alloc).get()
                            : s.GetOutputNameAllocated(i, alloc).get());
  return out;
}

// Refuses a graph that lacks a tensor the stream feeds or reads, at load
// rather than at the first frame.
void requireTensors(const Ort::Session& s, const std::string& path,
                    std::initializer_list<const char*> inputs,
                    std::initializer_list<const char*> outputs) {
  const auto in = names(s, true), out = names(s, false);
  for (const char* n : inputs)
    if (std::find(in.begin(), in.end(), n) == in.end())
      throw std::runtime_error(path + ": no input \"" + n + "\"");
  for (const char* n : outputs)
    if (std::find(out.begin(), out.end(), n) == out.end())
      throw std::runtime_error(path + ": no output \"" + n + "\"");
}

Ort::Session* sharedLegacySession(const std::string& path, int threads) {
  SharedFeatures& f = shared();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (!f.w2v) {
    if (!f.env) f.env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_a2x_w2v");
    Ort::SessionOptions options = makeOptions(resolveThreads(threads));
    applyCudaRule(options, "w2v");
    std::unique_ptr<Ort::Session> s = openModel(*f.env, path, options);
    requireTensors(*s, path, {"input_values"}, {"audio_emb"});
    f.w2v = s.release();
    f.w2vPath = path;
  }
  return f.w2v;
}

long long fileBytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Looks for the short-window pair once per process; later calls only say
// whether it was found and opened.
bool shortWindowFrontend(int threads) {
  SharedFeatures& f = shared();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.searched) return f.trunk && f.head;
  f.searched = true;
  const std::string winEnv = envText("LE_A2X_W2V_WIN_ONNX");
  const std::string headEnv = envText("LE_A2X_W2V_HEAD_ONNX");
  const std::string w2vPath = envText("W2V_ONNX");
  std::string trunkPath, headPath;
  if (!winEnv.empty() && !headEnv.empty()) {
    trunkPath = winEnv;
    headPath = headEnv;
  } else {
    const std::string dir = fs::dirName(w2vPath);
    const char* pairs[2][2] = {
        {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
        {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
    for (const auto& pair : pairs) {
      const std::string t = dir + "/" + pair[0], h = dir + "/" + pair[1];
      if (fs::opensForReading(t) && fs::opensForReading(h)) {
        trunkPath = t;
        headPath = h;
        break;
      }
    }
  }
  if (trunkPath.empty()) {
    std::fprintf(stderr,
                 "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                 "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX "
                 "(%s) as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
                 "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window \xE2\x80\x94 same "
                 "reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the encoder "
                 "(tools/export_w2v_window.py).\n",
                 w2vPath.c_str());
    return false;
  }
  try {
    if (!f.env) f.env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_a2x_w2v");
    Ort::SessionOptions options = makeOptions(resolveThreads(threads));
    applyCudaRule(options, "w2v");
    std::unique_ptr<Ort::Session> trunk = openModel(*f.env, trunkPath, options);
    std::unique_ptr<Ort::Session> head = openModel(*f.env, headPath, options);
    requireTensors(*trunk, trunkPath, {"input_values"}, {});
    requireTensors(*head, headPath, {"x"}, {"emb"});
    if (trunk->GetOutputCount() < 1) throw std::runtime_error(trunkPath + ": no output");
    f.trunkOutput = names(*trunk, false)[0];
    const auto shape = trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    const int steps = shape.size() == 3 && shape[2] > 0 && shape[2] < (1 << 24) ? static_cast<int>(shape[2]) : 0;
    f.trunkSteps = steps;
    const std::string lt = steps > 0 ? std::to_string(steps) : "from-first-run";
    std::fprintf(stderr, "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                 lt.c_str(), trunkPath.c_str(), fileBytes(trunkPath), headPath.c_str(),
                 fileBytes(headPath));
    f.trunk = trunk.release();
    f.head = head.release();
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] short-window w2v load FAILED (%s) \xE2\x80\x94 legacy 8s path\n", e.what());
    f.trunkOutput.clear();
    return false;
  }
}

// Raw float32 member read whole; missing, unreadable or short reads give an
// empty array, which creation then refuses.
std::vector<float> readFloats(const std::string& path) {
  std::string bytes;
  try {
    bytes = readFile(path);
  } catch (const std::exception&) {
    return {};
  }
  std::vector<float> out(bytes.size() / sizeof(float));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

// An integer key of a2x_meta.json (true and false read as 1 and 0);
// `fallback` when absent.
int metaInt(const std::string& text, const char* key, int fallback, bool* present = nullptr) {
  const auto v = audio::metaNumber(text, key, "a2x_meta.json", true);
  if (present) *present = v.has_value();
  if (!v) return fallback;
  if (*v != std::floor(*v) || *v < INT32_MIN || *v > INT32_MAX)
    throw std::runtime_error(std::string("a2x_meta.json: bad ") + key);
  return static_cast<int>(*v);
}

// Zero mean and unit variance over the whole window, padding included.
void normaliseWindow(float* x, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(n);
  double var = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = x[i] - mean;
    var += d * d;
  }
  var /= static_cast<double>(n);
  const float scale = 1.0f / std::sqrt(static_cast<float>(var) + 1e-7f);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(x[i] - mean) * scale;
}

// Rounds values to half precision (nearest even) and back, in place.
void roundToHalf(float* x, size_t n, std::vector<uint16_t>& scratch) {
  if (scratch.size() < n) scratch.resize(n);
  simd::f32ToF16(x, scratch.data(), n);
  simd::f16ToF32(scratch.data(), x, n);
}

// Frame `frame` of a legacy window's [12, 200, 768] output into one
// layer-major feature row, rounded to half precision.
void gatherLegacyFrame(const float* emb, int frame, float* row, std::vector<uint16_t>& scratch) {
  for (int l = 0; l < kLayers; ++l)
    std::memcpy(row + static_cast<size_t>(l) * kWidth,
                emb + (static_cast<size_t>(l) * kLegacyFrames + frame) * kWidth, kWidth * sizeof(float));
  roundToHalf(row, kFeatRow, scratch);
}

int ceilFrames(int64_t samples) { return static_cast<int>((samples + kHop - 1) / kHop); }

}  // namespace

Meta readMeta(const std::string& text) {
  Meta m;
  m.h = metaInt(text, "h", 256);
  bool hasWindow = false, hasLeft = false;
  m.window = metaInt(text, "window", -1, &hasWindow);
  m.left = metaInt(text, "left", -1, &hasLeft);
  if (!hasWindow || !hasLeft || m.window < 0 || m.left < 0)
    throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  m.layers = metaInt(text, "layers", 6);
  if (m.h <= 0 || m.h > (1 << 16) || m.layers < 0 || m.layers > 4096 || m.window > (1 << 16) || m.left > (1 << 16))
    throw std::runtime_error("a2x_meta.json: h/window/left/layers out of range");
  m.width = metaInt(text, "width", 0) != 0;
  m.silencePrime = metaInt(text, "silence_prime", 0);
  return m;
}

// ---- The stream ----------------------------------------------------------------

Stream::Stream(const std::string& bundle, int threadsArg)
    : env_(ORT_LOGGING_LEVEL_WARNING, "le_a2x"),
      memory_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {
  const int threads = resolveThreads(threadsArg);
  options_ = makeOptions(threads);
  applyCudaRule(options_, "enc/dec");
  std::call_once(shared().cadence, [threads] {
    std::fprintf(stderr,
                 "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size "
                 "invariant, threads=%d\n",
                 320, kBlock, threads);
  });

  const std::string dir = resolveBundlePath(bundle);
  std::string meta;
  try {
    meta = readFile(resolveMember(dir, "a2x_meta.json"));
  } catch (const std::exception&) {
  }
  if (meta.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);

  const Meta m = readMeta(meta);
  h_ = m.h;
  window_ = m.window;
  left_ = m.left;
  ctxLeft_ = left_ * m.layers;
  ctxAhead_ = window_ * m.layers;

  right_ = 12;
  right_ = std::max(0, std::min(1 << 16, envInt("LE_A2X_W2V_RIGHT", 12)));
  winRight_ = 12;

  pos_ = readFloats(resolveMember(dir, "a2x_pos.f32"));
  std::vector<float> norm = readFloats(resolveMember(dir, "a2x_norm.f32"));
  xsTarget_ = readFloats(resolveMember(dir, "xs_target.bin"));
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 126 || xsTarget_.size() < kRow)
    throw std::runtime_error("pos/norm/xs_target read failed");
  posRows_ = static_cast<int>(std::min<size_t>(pos_.size() / h_, 1 << 30));
  std::copy(norm.begin(), norm.begin() + kRow, normMean_);
  std::copy(norm.begin() + kRow, norm.begin() + 2 * kRow, normStd_);
  nt_ = static_cast<int>(std::min<size_t>(xsTarget_.size() / kRow, 1 << 30));

  const std::string w2vPath = envText("W2V_ONNX");
  if (w2vPath.empty()) throw std::runtime_error("$W2V_ONNX not set");
  w2v_ = sharedLegacySession(w2vPath, threads);
  if (!w2v_) throw std::runtime_error("shared w2v load failed");

  if (shortWindowFrontend(threads)) {
    shortWindow_ = true;
    winRight_ = right_;
    right_ += kBlock;
  }

  const std::string encPath = resolveMember(dir, "a2x_enc_stream.onnx");
  enc_ = openModel(env_, encPath, options_);
  requireTensors(*enc_, encPath, {"feat", "pos_window", "attn"}, {});
  const auto encOut = names(*enc_, false);
  if (encOut.empty()) throw std::runtime_error(encPath + ": no output");
  encOut0_ = encOut[0];
  width_ = encOut.size() > 1;
  if (width_) encOut1_ = encOut[1];
  const int metaWidth = m.width;
  if (metaWidth != static_cast<int>(width_))
    std::fprintf(stderr,
                 "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) "
                 "\xE2\x80\x94 serving the GRAPH (width=%d). Repackage this bundle.\n",
                 metaWidth, encOut.size(), width_ ? 1 : 0);

  const std::string decPath = resolveMember(dir, "a2x_dec.onnx");
  dec_ = openModel(env_, decPath, options_);
  requireTensors(*dec_, decPath, {"ctx_t", "prev", "h"}, {"m", "h_out"});
  bindDecoder();

  const int prime = envIsSet("LE_A2X_SILENCE_PRIME") ? envInt("LE_A2X_SILENCE_PRIME", 0)
                                                          : m.silencePrime;
  if (prime > 0) primeWithSilence(std::min(prime, kLegacyFrames));
  reset(0, 1, 1);
}

Stream::~Stream() = default;

void Stream::bindDecoder() {
  prev_.assign(kRow, 0.f);
  hidden_.assign(h_, 0.f);
  decM_.assign(kRow, 0.f);
  decH_.assign(h_, 0.f);
  decCtx_.assign(h_, 0.f);
  auto shapeOf = [&](size_t output, int64_t width) {
    auto shape = dec_->GetOutputTypeInfo(output).GetTensorTypeAndShapeInfo().GetShape();
    int64_t count = 1;
    for (auto& d : shape) {
      if (d < 0) d = 1;
      count *= d;
    }
    if (count != width) throw std::runtime_error("a2x_dec.onnx: output " + std::to_string(output) +
                                                 " holds " + std::to_string(count) + " values, expected " +
                                                 std::to_string(width));
    return shape;
  };
  const auto decOut = names(*dec_, false);
  const size_t mIndex = std::find(decOut.begin(), decOut.end(), "m") - decOut.begin();
  const size_t hIndex = std::find(decOut.begin(), decOut.end(), "h_out") - decOut.begin();
  decMShape_ = shapeOf(mIndex, kRow);
  decHShape_ = shapeOf(hIndex, h_);
}

// Runs the decoder once over `ctx` with the state in prev/hidden; leaves the
// new state there and the delta row in `delta`.
void Stream::decodeOne(const float* ctx, std::vector<float>& prev, std::vector<float>& hidden, float* delta) {
  std::memcpy(decCtx_.data(), ctx, static_cast<size_t>(h_) * sizeof(float));
  const int64_t ctxShape[2] = {1, h_}, prevShape[2] = {1, kRow}, hShape[3] = {1, 1, h_};
  Ort::Value inputs[3] = {
      Ort::Value::CreateTensor<float>(memory_, decCtx_.data(), decCtx_.size(), ctxShape, 2),
      Ort::Value::CreateTensor<float>(memory_, prev.data(), prev.size(), prevShape, 2),
      Ort::Value::CreateTensor<float>(memory_, hidden.data(), hidden.size(), hShape, 3)};
  Ort::Value outputs[2] = {
      Ort::Value::CreateTensor<float>(memory_, decM_.data(), decM_.size(), decMShape_.data(), decMShape_.size()),
      Ort::Value::CreateTensor<float>(memory_, decH_.data(), decH_.size(), decHShape_.data(), decHShape_.size())};
  const char* inNames[3] = {"ctx_t", "prev", "h"};
  const char* outNames[2] = {"m", "h_out"};
  dec_->Run(run_, inNames, inputs, 3, outNames, outputs, 2);
  std::copy(decM_.begin(), decM_.end(), prev.begin());
  std::copy(decH_.begin(), decH_.end(), hidden.begin());
  for (int k = 0; k < kRow; ++k) delta[k] = normMean_[k] + decM_[k] * normStd_[k];
}

// One encoder run over feature frames [cs, ce) (`feat` points at frame cs);
// rows [a, b) of the absolute timeline go to enc (and wn when the graph gives
// it), `encBase` being the absolute frame of enc's first row.
void Stream::encodeSpan(const float* feat, int cs, int ce, int a, int b, float* enc, float* wn, int encBase) {
  const int T = ce - cs;
  encPos_.resize(static_cast<size_t>(T) * h_);
  encAttn_.resize(static_cast<size_t>(T) * T);
  const int P = posRows_, half = P / 2;
  for (int r = 0; r < T; ++r) {
    const int n = cs + r;
    const int row = n < P ? n : half + (n - P) % (P - half);
    std::memcpy(encPos_.data() + static_cast<size_t>(r) * h_, pos_.data() + static_cast<size_t>(row) * h_,
                static_cast<size_t>(h_) * sizeof(float));
  }
  const float blocked = -std::numeric_limits<float>::infinity();
  for (int i = 0; i < T; ++i)
    for (int k = 0; k < T; ++k)
      encAttn_[static_cast<size_t>(i) * T + k] = (k >= i - left_ && k <= i + window_) ? 0.f : blocked;
  const int64_t featShape[4] = {1, T, kLayers, kWidth}, posShape[3] = {1, T, h_}, attnShape[4] = {1, 1, T, T};
  Ort::Value inputs[3] = {
      Ort::Value::CreateTensor<float>(memory_, const_cast<float*>(feat), static_cast<size_t>(T) * kFeatRow,
                                      featShape, 4),
      Ort::Value::CreateTensor<float>(memory_, encPos_.data(), encPos_.size(), posShape, 3),
      Ort::Value::CreateTensor<float>(memory_, encAttn_.data(), encAttn_.size(), attnShape, 4)};
  const char* inNames[3] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {encOut0_.c_str(), encOut1_.c_str()};
  auto out = enc_->Run(run_, inNames, inputs, 3, outNames, width_ ? 2 : 1);
  const size_t rows = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
  if (rows < static_cast<size_t>(T) * h_)
    throw std::runtime_error("encoder output holds " + std::to_string(rows) + " values, expected " +
                             std::to_string(static_cast<size_t>(T) * h_));
  const float* e = out[0].GetTensorData<float>();
  std::memcpy(enc + static_cast<size_t>(a - encBase) * h_, e + static_cast<size_t>(a - cs) * h_,
              static_cast<size_t>(b - a) * h_ * sizeof(float));
  if (width_ && wn) {
    if (out[1].GetTensorTypeAndShapeInfo().GetElementCount() < static_cast<size_t>(T))
      throw std::runtime_error("encoder wn output shorter than its window");
    const float* w = out[1].GetTensorData<float>();
    std::memcpy(wn + (a - encBase), w + (a - cs), static_cast<size_t>(b - a) * sizeof(float));
  }
}

// ---- Counting ------------------------------------------------------------------

void Stream::counts(int& fb, int& ready) const {
  const int frames = ceilFrames(static_cast<int64_t>(audio_.size()) + audioBase_);
  if (finished_) {
    fb = ready = frames;
    return;
  }
  fb = kBlock * (frames / kBlock);
  ready = std::max(0, fb - std::max(ctxAhead_, right_));
}

int64_t Stream::countedSamples(int fb) const {
  const int64_t all = static_cast<int64_t>(audio_.size()) + audioBase_;
  return finished_ ? all : std::min<int64_t>(static_cast<int64_t>(fb) * kHop, all);
}

// Copies samples [from, to) of the utterance into dst (zeros where absent).
void Stream::copySamples(int64_t from, int64_t to, int64_t counted, float* dst) const {
  const int64_t lo = std::max<int64_t>(from, 0), hi = std::min(to, counted);
  std::fill(dst, dst + (to - from), 0.f);
  if (hi > lo) {
    if (lo < audioBase_) throw std::logic_error("audio already released");
    std::memcpy(dst + (lo - from), audio_.data() + (lo - audioBase_), static_cast<size_t>(hi - lo) * sizeof(float));
  }
}

float* Stream::featRow(int frame) {
  const size_t need = static_cast<size_t>(frame + 1 - featBase_) * kFeatRow;
  if (feat_.size() < need) feat_.resize(need, 0.f);
  return feat_.data() + static_cast<size_t>(frame - featBase_) * kFeatRow;
}

// ---- Features ----------------------------------------------------------------

void Stream::legacyFeatures(int need, int fb) {
  const int64_t counted = countedSamples(fb);
  windowBuf_.resize(kLegacySamples);
  while (featDone_ < need) {
    const int w = w2vPos_;
    const int limit = finished_ ? w + kLegacyFrames : std::min(w + kLegacyFrames, std::max(0, fb - right_));
    // Nothing would become final (the audio has not grown past what this
    // window already committed): the run would only repeat the last one.
    if (limit <= featDone_) break;
    copySamples(static_cast<int64_t>(w) * kHop, static_cast<int64_t>(w) * kHop + kLegacySamples, counted,
                windowBuf_.data());
    normaliseWindow(windowBuf_.data(), kLegacySamples);
    const int64_t inShape[2] = {1, kLegacySamples};
    Ort::Value input = Ort::Value::CreateTensor<float>(memory_, windowBuf_.data(), kLegacySamples, inShape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    auto out = w2v_->Run(run_, &inName, &input, 1, &outName, 1);
    if (out[0].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kLayers) * kLegacyFrames * kWidth)
      throw std::runtime_error("w2v: audio_emb is not [12, 200, 768]");
    const float* emb = out[0].GetTensorData<float>();
    for (int i = w == 0 ? 0 : kLegacyHop / 2; i < kLegacyFrames; ++i) {
      const int f = w + i;
      if (f >= limit) break;
      if (f < featDone_) continue;
      gatherLegacyFrame(emb, i, featRow(f), halfScratch_);
    }
    featDone_ = std::max(featDone_, std::min(w + kLegacyFrames, limit));
    if (!finished_ && w + kLegacyFrames - 1 >= limit) break;
    w2vPos_ += kLegacyHop;
  }
}

void Stream::shortFeatures(int need, int fb) {
  SharedFeatures& sf = shared();
  const int64_t counted = countedSamples(fb);
  windowBuf_.resize(kTrunkSamples);
  headIn_.resize(static_cast<size_t>(kBlock) * kTrunkChannels);
  while (featDone_ < need) {
    const int w = w2vPos_;
    const int64_t end = static_cast<int64_t>(winRight_ + w + kBlock) * kHop;
    if (!finished_ && static_cast<int64_t>(fb) * kHop < end) break;
    const int64_t start = end - kTrunkSamples;
    copySamples(start, end, counted, windowBuf_.data());
    normaliseWindow(windowBuf_.data(), kTrunkSamples);
    const int64_t inShape[2] = {1, kTrunkSamples};
    Ort::Value input = Ort::Value::CreateTensor<float>(memory_, windowBuf_.data(), kTrunkSamples, inShape, 2);
    const char* inName = "input_values";
    const char* outName = sf.trunkOutput.c_str();
    auto out = sf.trunk->Run(run_, &inName, &input, 1, &outName, 1);
    const auto info = out[0].GetTensorTypeAndShapeInfo();
    const auto shape = info.GetShape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != kTrunkChannels || shape[2] < 1)
      throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
    int steps = sf.trunkSteps.load();
    if (steps <= 0) {
      steps = static_cast<int>(std::min<int64_t>(shape[2], 1 << 24));
      sf.trunkSteps = steps;
    }
    if (shape[2] != steps) throw std::runtime_error("w2v_win: trunk output length changed");
    const size_t count = static_cast<size_t>(kTrunkChannels) * steps;
    trunkOut_.resize(count);
    if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
      simd::f16ToF32(static_cast<const uint16_t*>(out[0].GetTensorRawData()), trunkOut_.data(), count);
    else if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      std::memcpy(trunkOut_.data(), out[0].GetTensorData<float>(), count * sizeof(float));
    else
      throw std::runtime_error("w2v_win: trunk output is neither float16 nor float");

    for (int k = 0; k < kBlock; ++k) {
      const int i = w + k;
      const int a = i < kLegacyFrames ? i : i % kLegacyHop + kLegacyHop;
      const int64_t base = i < kLegacyFrames ? 0 : static_cast<int64_t>(i / kLegacyHop * kLegacyHop - kLegacyHop) * kHop;
      const double q = static_cast<double>(base - start) / kTrunkStep + a * (1598.0 / 199.0);
      const double r = std::floor(q);
      if (r < 0 || r >= steps) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int r0 = static_cast<int>(r), r1 = std::min(r0 + 1, steps - 1);
      const float frac = static_cast<float>(q - r);
      float* dst = headIn_.data() + static_cast<size_t>(k) * kTrunkChannels;
      for (int c = 0; c < kTrunkChannels; ++c) {
        const float* ch = trunkOut_.data() + static_cast<size_t>(c) * steps;
        dst[c] = ch[r0] * (1.f - frac) + ch[r1] * frac;
      }
    }
    roundToHalf(headIn_.data(), headIn_.size(), halfScratch_);
    const int64_t headShape[2] = {kBlock, kTrunkChannels};
    Ort::Value headInput = Ort::Value::CreateTensor<float>(memory_, headIn_.data(), headIn_.size(), headShape, 2);
    const char* headIn = "x";
    const char* headOut = "emb";
    auto emb = sf.head->Run(run_, &headIn, &headInput, 1, &headOut, 1);
    if (emb[0].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kBlock) * kFeatRow)
      throw std::runtime_error("w2v_win: head output is not [8, 9216]");
    const float* rows = emb[0].GetTensorData<float>();
    for (int k = 0; k < kBlock; ++k) {
      float* dst = featRow(w + k);
      std::memcpy(dst, rows + static_cast<size_t>(k) * kFeatRow, kFeatRow * sizeof(float));
      roundToHalf(dst, kFeatRow, halfScratch_);
    }
    w2vPos_ = featDone_ = w + kBlock;
  }
}

// ---- Advancing ---------------------------------------------------------------

void Stream::advance(int target) {
  int fb, ready;
  counts(fb, ready);
  int t = std::min(target, ready);
  if (decDone_ >= t) return;
  try {
    const int need = std::min(t + ctxAhead_, fb);
    if (shortWindow_)
      shortFeatures(need, fb);
    else
      legacyFeatures(need, fb);
    // The encoder looks ctxAhead frames past its last row; release rows only
    // once those features are final, or rows would depend on push timing.
    if (!finished_) t = std::min(t, featDone_ - ctxAhead_);
    while (encDone_ < t) {
      const int a = encDone_;
      int b = std::min(t, a + kEncChunk);
      const int cs = std::max(0, a - ctxLeft_);
      int ce = std::min(b + ctxAhead_, fb);
      if (a < posRows_) {
        b = std::min(b, posRows_);
        ce = std::min(ce, posRows_);
      }
      featRow(ce - 1);
      encRows_.resize(static_cast<size_t>(b - rowBase_) * h_);
      wnRows_.resize(b - rowBase_);
      encodeSpan(featRow(cs), cs, ce, a, b, encRows_.data(), wnRows_.data(), rowBase_);
      encDone_ = b;
    }
    deltas_.resize(static_cast<size_t>(std::max(decDone_, t) - rowBase_) * kRow);
    for (; decDone_ < t; ++decDone_)
      decodeOne(encRows_.data() + static_cast<size_t>(decDone_ - rowBase_) * h_, prev_, hidden_,
                deltas_.data() + static_cast<size_t>(decDone_ - rowBase_) * kRow);
    releaseConsumed();
  } catch (const std::exception& e) {
    capi::setError(capi::Family::A2x, "le_a2x extend", e.what());
  }
}

// Long utterances would otherwise keep every feature row (36 KiB per frame)
// and every sample: drop what no later window or encoder chunk reads.
void Stream::releaseConsumed() {
  const int keepFrom = std::max(0, encDone_ - ctxLeft_);
  if (keepFrom - featBase_ >= 256 && featDone_ >= keepFrom) {
    const size_t drop = static_cast<size_t>(keepFrom - featBase_) * kFeatRow;
    feat_.erase(feat_.begin(), feat_.begin() + static_cast<std::ptrdiff_t>(std::min(drop, feat_.size())));
    featBase_ = keepFrom;
  }
  // The next feature window's first sample.
  const int64_t nextWindow =
      shortWindow_ ? static_cast<int64_t>(winRight_ + w2vPos_ + kBlock) * kHop - kTrunkSamples
                   : static_cast<int64_t>(w2vPos_) * kHop;
  const int64_t keepSample = std::max<int64_t>(0, nextWindow);
  if (keepSample - audioBase_ >= 16 * kLegacySamples) {
    const size_t drop = static_cast<size_t>(std::min<int64_t>(keepSample - audioBase_, audio_.size()));
    audio_.erase(audio_.begin(), audio_.begin() + static_cast<std::ptrdiff_t>(drop));
    audioBase_ += static_cast<int64_t>(drop);
  }
  // Encoder, width and delta rows of frames already decoded and handed out.
  const int rowsDone = std::min(emitted_, decDone_) - rowBase_;
  if (rowsDone >= 1024) {
    encRows_.erase(encRows_.begin(), encRows_.begin() + static_cast<std::ptrdiff_t>(rowsDone) * h_);
    wnRows_.erase(wnRows_.begin(), wnRows_.begin() + rowsDone);
    deltas_.erase(deltas_.begin(), deltas_.begin() + static_cast<std::ptrdiff_t>(rowsDone) * kRow);
    rowBase_ += rowsDone;
  }
}

int Stream::driverIndex(int n) const { return audio::driverIndex(n, start_, dir_, loop_, nt_); }

// ---- Interface -----------------------------------------------------------------

void Stream::reset(int start, int dir, int loop) {
  if (start < 0) start = driverIndex(emitted_);
  start_ = start;
  dir_ = dir < 0 ? -1 : 1;
  loop_ = loop != 0;
  audio_.clear();
  audioBase_ = 0;
  feat_.clear();
  featBase_ = 0;
  encRows_.clear();
  wnRows_.clear();
  deltas_.clear();
  rowBase_ = 0;
  finished_ = false;
  emitted_ = w2vPos_ = featDone_ = encDone_ = decDone_ = 0;
  if (!primedPrev_.empty()) {
    prev_ = primedPrev_;
    hidden_ = primedHidden_;
  } else {
    std::fill(prev_.begin(), prev_.end(), 0.f);
    std::fill(hidden_.begin(), hidden_.end(), 0.f);
  }
}

void Stream::push(const float* samples, int n) {
  if (n <= 0) return;
  for (int i = 0; i < n; ++i)
    if (!std::isfinite(samples[i]))
      throw std::runtime_error("sample " + std::to_string(i) + " is not finite");
  audio_.insert(audio_.end(), samples, samples + n);
}

int Stream::total() const {
  return finished_ ? ceilFrames(static_cast<int64_t>(audio_.size()) + audioBase_) : -1;
}

int Stream::avail() {
  int fb, ready;
  counts(fb, ready);
  if (decDone_ < ready) advance(std::min(ready, decDone_ + (shortWindow_ ? kBlock : 64)));
  return std::max(0, decDone_ - emitted_);
}

int Stream::pull(int* idx, float* xs, float* xd, float* wn, int max) {
  if (max <= 0) return 0;
  int fb, ready;
  counts(fb, ready);
  if (emitted_ >= decDone_) advance(std::min<int64_t>(ready, static_cast<int64_t>(emitted_) + max));
  counts(fb, ready);
  const int limit = std::min(decDone_, ready);
  int written = 0;
  for (; emitted_ < limit && written < max; ++emitted_, ++written) {
    const int d = driverIndex(emitted_);
    const float* src = xsTarget_.data() + static_cast<size_t>(d) * kRow;
    const float* delta = deltas_.data() + static_cast<size_t>(emitted_ - rowBase_) * kRow;
    idx[written] = d;
    float* xsOut = xs + static_cast<size_t>(written) * kRow;
    float* xdOut = xd + static_cast<size_t>(written) * kRow;
    for (int k = 0; k < kRow; ++k) {
      xsOut[k] = src[k];
      xdOut[k] = src[k] + delta[k];
    }
    if (wn) wn[written] = width_ && emitted_ - rowBase_ < static_cast<int>(wnRows_.size()) ? wnRows_[emitted_ - rowBase_] : 0.f;
  }
  return written;
}

// Whole-utterance conversion on the legacy feature path, from the primed (or
// zero) decoder state; the streaming state is left alone.
int Stream::deltas(const float* samples, int n, float* out, int maxFrames) {
  if (n < 1) return 0;
  const int F = ceilFrames(n);
  if (maxFrames < F) return -2;
  std::vector<float> feat(static_cast<size_t>(F) * kFeatRow, 0.f);
  std::vector<float> window(kLegacySamples);
  std::vector<uint16_t> scratch;
  for (int w = 0;; w += kLegacyHop) {
    const int64_t from = static_cast<int64_t>(w) * kHop;
    std::fill(window.begin(), window.end(), 0.f);
    if (from < n)
      std::memcpy(window.data(), samples + from,
                  static_cast<size_t>(std::min<int64_t>(kLegacySamples, n - from)) * sizeof(float));
    normaliseWindow(window.data(), kLegacySamples);
    const int64_t inShape[2] = {1, kLegacySamples};
    Ort::Value input = Ort::Value::CreateTensor<float>(memory_, window.data(), kLegacySamples, inShape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    auto emb = w2v_->Run(run_, &inName, &input, 1, &outName, 1);
    if (emb[0].GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kLayers) * kLegacyFrames * kWidth)
      throw std::runtime_error("w2v: audio_emb is not [12, 200, 768]");
    for (int j = w == 0 ? 0 : kLegacyHop / 2; j < kLegacyFrames && w + j < F; ++j)
      gatherLegacyFrame(emb[0].GetTensorData<float>(), j, feat.data() + static_cast<size_t>(w + j) * kFeatRow, scratch);
    if (w + kLegacyHop >= F) break;
  }
  std::vector<float> enc(static_cast<size_t>(F) * h_);
  std::vector<float> wn(F, 0.f);
  for (int a = 0; a < F;) {
    int b = std::min(F, a + kOfflineEncChunk);
    const int cs = std::max(0, a - ctxLeft_);
    int ce = std::min(b + ctxAhead_, F);
    if (a < posRows_) {
      b = std::min(b, posRows_);
      ce = std::min(ce, posRows_);
    }
    encodeSpan(feat.data() + static_cast<size_t>(cs) * kFeatRow, cs, ce, a, b, enc.data(), wn.data(), 0);
    a = b;
  }
  std::vector<float> prev = primedPrev_.empty() ? std::vector<float>(kRow, 0.f) : primedPrev_;
  std::vector<float> hidden = primedHidden_.empty() ? std::vector<float>(h_, 0.f) : primedHidden_;
  for (int f = 0; f < F; ++f)
    decodeOne(enc.data() + static_cast<size_t>(f) * h_, prev, hidden, out + static_cast<size_t>(f) * kRow);
  if (width_) offlineWn_ = std::move(wn);
  return F;
}

int Stream::deltasWn(const float* samples, int n, float* out, float* wn, int maxFrames) {
  const int r = deltas(samples, n, out, maxFrames);
  if (r > 0) {
    const int have = std::min<int>(r, static_cast<int>(offlineWn_.size()));
    std::copy(offlineWn_.begin(), offlineWn_.begin() + have, wn);
    std::fill(wn + have, wn + r, 0.f);
  }
  return r;
}

// The decoder state after `frames` frames of silence, so an utterance starts
// from a rest pose rather than from zeros.
void Stream::primeWithSilence(int frames) {
  try {
    SharedFeatures& sf = shared();
    std::vector<float> feat(static_cast<size_t>(frames) * kFeatRow);
    {
      std::lock_guard<std::mutex> lock(sf.silenceMutex);
      if (sf.silence.empty()) {
        std::vector<float> zeros(kLegacySamples, 0.f);
        const int64_t inShape[2] = {1, kLegacySamples};
        Ort::Value input = Ort::Value::CreateTensor<float>(memory_, zeros.data(), zeros.size(), inShape, 2);
        const char* inName = "input_values";
        const char* outName = "audio_emb";
        auto out = w2v_->Run(run_, &inName, &input, 1, &outName, 1);
        const size_t count = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
        if (count != static_cast<size_t>(kLayers) * kLegacyFrames * kWidth)
          throw std::runtime_error("w2v: audio_emb is not [12, 200, 768]");
        const float* e = out[0].GetTensorData<float>();
        sf.silence.assign(e, e + count);
      }
      for (int f = 0; f < frames; ++f)
        gatherLegacyFrame(sf.silence.data(), f, feat.data() + static_cast<size_t>(f) * kFeatRow, halfScratch_);
    }
    std::vector<float> enc(static_cast<size_t>(frames) * h_);
    encodeSpan(feat.data(), 0, frames, 0, frames, enc.data(), nullptr, 0);
    std::vector<float> prev(kRow, 0.f), hidden(h_, 0.f), delta(kRow);
    for (int f = 0; f < frames; ++f) decodeOne(enc.data() + static_cast<size_t>(f) * h_, prev, hidden, delta.data());
    primedPrev_ = std::move(prev);
    primedHidden_ = std::move(hidden);
    std::fprintf(stderr, "[le_a2x] silence-primed AR state cached (%d frames)\n", frames);
  } catch (const std::exception& e) {
    primedPrev_.clear();
    primedHidden_.clear();
    std::fprintf(stderr, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

bool preloadLegacy(const std::string& path) { return sharedLegacySession(path, 0) != nullptr; }

}  // namespace le::a2x

// ---- C interface -------------------------------------------------------------

struct le_a2x {
  explicit le_a2x(const std::string& dir, int threads) : stream(dir, threads) {}
  le::a2x::Stream stream;
};

namespace {
using le::capi::Family;
using le::capi::guarded;
using le::capi::guardedVoid;
}  // namespace

extern "C" {

LE_API le_a2x* le_a2x_create(const char* bundle_dir, int threads) {
  return guarded<le_a2x*>(Family::A2x, "le_a2x_create", nullptr, [&]() -> le_a2x* {
    if (!bundle_dir || !*bundle_dir) {
      le::capi::setError(Family::A2x, "le_a2x_create: NULL or empty bundle_dir");
      return nullptr;
    }
    return new le_a2x(bundle_dir, threads);
  });
}

LE_API void le_a2x_destroy(le_a2x* a2x) {
  guardedVoid(Family::A2x, "le_a2x_destroy", [&] { delete a2x; });
}

LE_API int le_a2x_preload_w2v(const char* path) {
  return guarded<int>(Family::A2x, "le_a2x_preload_w2v", 0, [&]() -> int {
    std::string p = path ? path : "";
    if (p.empty()) {
      const std::string env = le::envText("W2V_ONNX");
      if (env.empty()) {
        le::capi::setError(Family::A2x, "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
        return 0;
      }
      p = env;
    }
    return le::a2x::preloadLegacy(p) ? 1 : 0;
  });
}

LE_API int le_a2x_nt(const le_a2x* a2x) {
  return le::capi::silent(0, [&] { return a2x ? a2x->stream.nt() : 0; });
}

LE_API int le_a2x_width(const le_a2x* a2x) {
  return le::capi::silent(0, [&] { return a2x && a2x->stream.width() ? 1 : 0; });
}

LE_API void le_a2x_set_eager(le_a2x* a2x, int eager) {
  if (a2x) a2x->stream.setEager(eager);
}

LE_API void le_a2x_reset(le_a2x* a2x, int start, int dir, int loop) {
  guardedVoid(Family::A2x, "le_a2x_reset", [&] {
    if (!a2x) return le::capi::setError(Family::A2x, "le_a2x_reset: NULL a2x");
    a2x->stream.reset(start, dir, loop);
  });
}

LE_API int le_a2x_push(le_a2x* a2x, const float* samples, int n) {
  return guarded<int>(Family::A2x, "le_a2x_push", 0, [&]() -> int {
    if (!a2x || (n > 0 && !samples)) {
      le::capi::setError(Family::A2x, "le_a2x_push: bad args");
      return 0;
    }
    a2x->stream.push(samples, n);
    return 1;
  });
}

LE_API void le_a2x_finish(le_a2x* a2x) {
  guardedVoid(Family::A2x, "le_a2x_finish", [&] {
    if (!a2x) return le::capi::setError(Family::A2x, "le_a2x_finish: NULL a2x");
    a2x->stream.finish();
  });
}

LE_API int le_a2x_total(const le_a2x* a2x) {
  return le::capi::silent(-1, [&] { return a2x ? a2x->stream.total() : -1; });
}

LE_API int le_a2x_avail(le_a2x* a2x) {
  return guarded<int>(Family::A2x, "le_a2x_avail", 0, [&]() -> int {
    if (!a2x) {
      le::capi::setError(Family::A2x, "le_a2x_avail: NULL a2x");
      return 0;
    }
    return a2x->stream.avail();
  });
}

LE_API int le_a2x_pull(le_a2x* a2x, int* idx, float* xs, float* xd, int max) {
  return guarded<int>(Family::A2x, "le_a2x_pull", 0, [&]() -> int {
    if (!a2x || (max > 0 && (!idx || !xs || !xd))) {
      le::capi::setError(Family::A2x, "le_a2x_pull: bad args");
      return 0;
    }
    return a2x->stream.pull(idx, xs, xd, nullptr, max);
  });
}

LE_API int le_a2x_pull_wn(le_a2x* a2x, int* idx, float* xs, float* xd, float* wn, int max) {
  return guarded<int>(Family::A2x, "le_a2x_pull_wn", 0, [&]() -> int {
    if (!a2x || (max > 0 && (!idx || !xs || !xd || !wn))) {
      le::capi::setError(Family::A2x, "le_a2x_pull_wn: bad args");
      return 0;
    }
    return a2x->stream.pull(idx, xs, xd, wn, max);
  });
}

LE_API int le_a2x_deltas(le_a2x* a2x, const float* samples, int n, float* out, int max_frames) {
  return guarded<int>(Family::A2x, "le_a2x_deltas", -1, [&]() -> int {
    if (!a2x || (n > 0 && (!samples || !out))) {
      le::capi::setError(Family::A2x, "le_a2x_deltas: bad args");
      return -1;
    }
    return a2x->stream.deltas(samples, n, out, max_frames);
  });
}

LE_API int le_a2x_deltas_wn(le_a2x* a2x, const float* samples, int n, float* out, float* wn,
                            int max_frames) {
  return guarded<int>(Family::A2x, "le_a2x_deltas_wn", -1, [&]() -> int {
    if (!a2x || (n > 0 && (!samples || !out || !wn))) {
      le::capi::setError(Family::A2x, "le_a2x_deltas_wn: bad args");
      return -1;
    }
    if (!a2x->stream.width()) {
      le::capi::setError(Family::A2x, "le_a2x_deltas_wn: encoder declares no wn output");
      return -3;
    }
    return a2x->stream.deltasWn(samples, n, out, wn, max_frames);
  });
}

}  // extern "C"
