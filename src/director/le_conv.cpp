// The fp16 engine: packed layers, the two render phases and the engine's own
// worker threads. The dataflow is described in le_conv.h.
#include "director/le_conv.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "director/gridsample_fast.h"
#include "director/le_conv_kernels.h"
#include "paste/le_pool.h"
#include "paste/le_simd.h"

namespace le {
namespace {

constexpr int kCrop = 512;
constexpr int kBasisSide = 256;
constexpr int kBasisFloats = 3 * kBasisSide * kBasisSide;
constexpr int kTileH = 256, kTileW = 208, kTiles = 6;
// Columns of a tile that its zero padding at an inner edge changes (one per
// layer of the tile branch), and the strip convolved to correct them.
constexpr int kEdge = 4, kStrip = 2 * kEdge;
constexpr int kTileY[kTiles] = {0, 0, 0, 256, 256, 256};
constexpr int kTileX[kTiles] = {0, 152, 304, 0, 152, 304};
constexpr float kHeat = 60.0f;

// The engine's own workers: part k of a job runs on worker k (part 0 on the
// caller), so each part owns scratch k.
class Pool {
 public:
  explicit Pool(int threads) : size_(std::max(1, threads)) {
    for (int i = 1; i < size_; ++i) workers_.emplace_back([this, i] { loop(i); });
  }
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  int size() const { return size_; }

  // fn(begin, end, part) over [0, n) in at most size() contiguous parts.
  void run(int n, const std::function<void(int, int, int)>& fn) {
    const int parts = std::min(size_, n);
    if (parts <= 1) {
      if (n > 0) fn(0, n, 0);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &fn;
      n_ = n;
      parts_ = parts;
      pending_ = size_ - 1;
      error_ = nullptr;
      ++generation_;
    }
    work_.notify_all();
    runPart(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void runPart(int k) {
    const int chunk = (n_ + parts_ - 1) / parts_;
    const int begin = k * chunk, end = std::min(n_, begin + chunk);
    if (k >= parts_ || begin >= end) return;
    try {
      (*job_)(begin, end, k);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
    }
  }

  void loop(int k) {
    unsigned long seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
      }
      runPart(k);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--pending_ == 0) done_.notify_one();
    }
  }

  const int size_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  const std::function<void(int, int, int)>* job_ = nullptr;
  int n_ = 0, parts_ = 0, pending_ = 0;
  unsigned long generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

struct ConvLayer {
  std::string name;
  int outH = 0, outW = 0;  // the largest output the workers' scratch is sized for
  int inChannels = 0, inChannelsPadded = 0, outChannels = 0;
  int kernel = 3, stride = 1;
  bool relu = true;
  conv::ConvMethod method = conv::ConvMethod::kDirect;
  std::vector<uint16_t> weights;  // conv::packWeights layout of the method
  std::vector<float> bias;        // padded to whole output vectors
};

int roundUp8(int c) { return (c + 7) / 8 * 8; }

ConvLayer packConv(const std::string& name, int outH, int outW, int inChannels, int outChannels, int kernel,
                   int stride, bool relu, const std::vector<float>& weights, const std::vector<float>& bias) {
  const size_t needW = static_cast<size_t>(outChannels) * inChannels * kernel * kernel;
  if (weights.size() != needW || bias.size() != static_cast<size_t>(outChannels))
    throw std::runtime_error("le_conv: layer " + name + " needs " + std::to_string(needW) + " weights / " +
                             std::to_string(outChannels) + " bias but the graph supplies " +
                             std::to_string(weights.size()) + " weights / " + std::to_string(bias.size()) +
                             " bias \xE2\x80\x94 refusing to pack (graph is not the m4b this kernel implements)");
  ConvLayer l;
  l.name = name;
  l.outH = outH;
  l.outW = outW;
  l.inChannels = inChannels;
  l.inChannelsPadded = roundUp8(inChannels);
  l.outChannels = outChannels;
  l.kernel = kernel;
  l.stride = stride;
  l.relu = relu;
  const size_t lanes = conv::vectorLanes();
  l.method = conv::chooseMethod(outChannels, l.inChannelsPadded, kernel, stride, lanes);
  l.weights.resize(conv::packedWeightCount(outChannels, l.inChannelsPadded, kernel, lanes, l.method));
  conv::packWeights(weights.data(), outChannels, inChannels, l.inChannelsPadded, kernel, lanes, l.weights.data(),
                    l.method);
  l.bias.assign(static_cast<size_t>(conv::outputVectors(outChannels, lanes)) * lanes, 0.0f);
  std::copy(bias.begin(), bias.end(), l.bias.begin());
  return l;
}

std::vector<float> concat(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> out(a);
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Half-pixel bilinear source position of output index i at an integer scale.
struct Tap {
  int i0, i1;
  float t;
};
Tap upTap(int i, int scale, int inSize) {
  float s = (static_cast<float>(i) + 0.5f) / static_cast<float>(scale) - 0.5f;
  s = std::min(std::max(s, 0.0f), static_cast<float>(inSize - 1));
  const int i0 = static_cast<int>(s);
  return {i0, std::min(i0 + 1, inSize - 1), s - static_cast<float>(i0)};
}

float lerp(float a, float b, float t) { return a + (b - a) * t; }

class Engine final : public ConvBackend {
 public:
  Engine(const std::string& modelPath, int threads);
  int batch() const override { return batch_; }
  void render(const uint16_t* const* pooled64, const uint16_t* const* source, const float* kpSource,
              const float* kpDriving, int n, float* out) override;

 private:
  struct Scratch {
    std::vector<float> floats;
  };

  void runConv(const ConvLayer& l, const uint16_t* in, int inH, int inW, uint16_t* out);
  void phaseA(const uint16_t* pooled64, const float* kpSource, const float* kpDriving);
  void phaseB(const uint16_t* source, float* out);
  void basisGemm();
  void dump(const char* name, const float* data, size_t n, bool append = false) const;
  void dumpHalf(const char* name, const uint16_t* data, size_t n, bool append = false) const;

  int batch_ = 0;
  Pool pool_;
  std::vector<Scratch> scratch_;
  std::string dumpDir_;

  ConvLayer pre_, e0_, e1_, e2_, d1_, d0_, ref_, maskocc_, corr0_, corr1_, corr2_, tile0_, tile1_, tile2_,
      tile3_;
  // Bilinear taps of the 64 -> 512 and 64 -> 256 upsamplings, the same for rows and columns.
  std::vector<Tap> taps8_, taps4_;
  std::vector<float> grid64_, grid32_, wmlp0_, wmlp0Bias_, wmlp2_, wmlp2Bias_, feather_, invWeight_;
  std::vector<uint16_t> basis_;

  // Trunk activations (fp16 NHWC).
  std::vector<uint16_t> in88_, preOut_, e0Out_, e1Out_, e2Out_, cat1_, d1Out_, cat0_, d0Out_, up0_, refOut_,
      maskocc_Out_;
  std::vector<float> occ64_, grid_, w64_;
  // Full-size stages.
  std::vector<float> sourceF_, basisImg_, grid512_, warped_, occ512_, occ256_, refined_, residual_;
  std::vector<uint16_t> corrIn_, corr0Out_, corr1Out_, corr2Out_, tileIn_, tile0Out_, tile1Out_, tile2Out_,
      tile3Out_;
  // The left and right inner-edge strips of a tile.
  struct Strip {
    std::vector<uint16_t> in, out0, out1, out2, out3;
  };
  Strip strips_[2];
};

Engine::Engine(const std::string& modelPath, int threads)
    : pool_(threads <= 0 ? pool::threads() : threads) {
  const OnnxModel model = loadOnnx(modelPath);
  TensorShapes shapes;
  for (const auto& [name, t] : model.tensors) shapes[name] = t.dims;
  M4bNames names;
  std::string reason;
  if (!m4bResolve(shapes, names, reason))
    throw std::runtime_error("le_conv: this graph is not the fused m4b topology this kernel implements (" +
                             reason + ") \xE2\x80\x94 use ORT for it");
  batch_ = model.batch;
  auto w = [&](const std::string& n) -> const std::vector<float>& { return model.get(n).data; };

  pre_ = packConv("pre", 32, 32, 85, 96, 1, 1, true, w(names.preWeight), w(names.preBias));
  e0_ = packConv("e0", 32, 32, 96, 96, 3, 1, true, w("s.e0.conv.weight"), w("s.e0.conv.bias"));
  e1_ = packConv("e1", 16, 16, 96, 144, 3, 2, true, w("s.e1.conv.weight"), w("s.e1.conv.bias"));
  e2_ = packConv("e2", 8, 8, 144, 192, 3, 2, true, w("s.e2.conv.weight"), w("s.e2.conv.bias"));
  d1_ = packConv("d1", 16, 16, 336, 144, 3, 1, true, w("s.d1.conv.weight"), w("s.d1.conv.bias"));
  d0_ = packConv("d0", 32, 32, 240, 96, 3, 1, true, w("s.d0.conv.weight"), w("s.d0.conv.bias"));
  ref_ = packConv("ref", 64, 64, 96, 48, 3, 1, true, w("s.ref.conv.weight"), w("s.ref.conv.bias"));
  maskocc_ = packConv("maskocc", 64, 64, 48, 23, 3, 1, false, concat(w("s.mask.weight"), w("s.occ.weight")),
                      concat(w("s.mask.bias"), w("s.occ.bias")));
  corr0_ = packConv("corr0", 256, 256, 7, 24, 3, 1, true, w("s.corr.0.conv.weight"), w("s.corr.0.conv.bias"));
  corr1_ = packConv("corr1", 256, 256, 24, 24, 3, 1, true, w("s.corr.1.conv.weight"), w("s.corr.1.conv.bias"));
  corr2_ = packConv("corr2", 256, 256, 24, 12, 3, 1, false, w("s.corr.2.weight"), w("s.corr.2.bias"));
  tile0_ = packConv("tile0", kTileH, kCrop, 7, 32, 3, 1, true, w("s.tile.0.conv.weight"), w("s.tile.0.conv.bias"));
  tile1_ = packConv("tile1", kTileH, kCrop, 32, 32, 3, 1, true, w("s.tile.1.conv.weight"), w("s.tile.1.conv.bias"));
  tile2_ = packConv("tile2", kTileH, kCrop, 32, 32, 3, 1, true, w("s.tile.2.conv.weight"), w("s.tile.2.conv.bias"));
  tile3_ = packConv("tile3", kTileH, kCrop, 32, 3, 3, 1, false, w("s.tile.3.weight"), w("s.tile.3.bias"));

  grid64_ = w("s.grid64");
  grid32_ = w(names.grid32);
  wmlp0_ = w("s.wmlp.0.weight");
  wmlp0Bias_ = w("s.wmlp.0.bias");
  wmlp2_ = w("s.wmlp.2.weight");
  wmlp2Bias_ = w("s.wmlp.2.bias");
  feather_ = w("s.feather");
  const std::vector<float>& basis = w(names.basis);
  basis_.resize(basis.size());
  simd::f32ToF16(basis.data(), basis_.data(), basis.size());

  // Reciprocal of the summed tile weights, fixed by the feather alone.
  std::vector<float> weight(static_cast<size_t>(kCrop) * kCrop, 0.0f);
  for (int t = 0; t < kTiles; ++t)
    for (int y = 0; y < kTileH; ++y)
      for (int x = 0; x < kTileW; ++x) weight[(kTileY[t] + y) * kCrop + kTileX[t] + x] += feather_[y * kTileW + x];
  invWeight_.resize(weight.size());
  for (size_t i = 0; i < weight.size(); ++i) invWeight_[i] = weight[i] != 0.0f ? 1.0f / weight[i] : 0.0f;

  size_t scratchFloats = 0;
  for (const ConvLayer* l : {&pre_, &e0_, &e1_, &e2_, &d1_, &d0_, &ref_, &maskocc_, &corr0_, &corr1_, &corr2_,
                             &tile0_, &tile1_, &tile2_, &tile3_})
    scratchFloats = std::max(scratchFloats, conv::scratchFloats(l->method, l->kernel, l->outW * l->stride,
                                                                l->inChannelsPadded, l->outChannels,
                                                                conv::vectorLanes()));
  // basisGemm's chunk, one assembled input row of the correction and tile
  // branches, one widened row of corr2.
  scratchFloats = std::max(scratchFloats, static_cast<size_t>(std::max({2048, kCrop * 8, 256 * 12})));
  scratch_.resize(pool_.size());
  for (Scratch& s : scratch_) s.floats.resize(scratchFloats);

  auto h = [](size_t n) { return std::vector<uint16_t>(n, 0); };
  in88_ = h(32 * 32 * 88);
  preOut_ = h(32 * 32 * 96);
  e0Out_ = h(32 * 32 * 96);
  e1Out_ = h(16 * 16 * 144);
  e2Out_ = h(8 * 8 * 192);
  cat1_ = h(16 * 16 * 336);
  d1Out_ = h(16 * 16 * 144);
  cat0_ = h(32 * 32 * 240);
  d0Out_ = h(32 * 32 * 96);
  up0_ = h(64 * 64 * 96);
  refOut_ = h(64 * 64 * 48);
  maskocc_Out_ = h(64 * 64 * 23);
  occ64_.resize(64 * 64);
  grid_.resize(64 * 64 * 2);
  w64_.resize(64);
  sourceF_.resize(3 * kCrop * kCrop);
  basisImg_.resize(kBasisFloats);
  grid512_.resize(2 * kCrop * kCrop);
  warped_.resize(3 * kCrop * kCrop);
  occ512_.resize(kCrop * kCrop);
  occ256_.resize(256 * 256);
  refined_.resize(3 * kCrop * kCrop);
  residual_.resize(3 * kCrop * kCrop);
  corrIn_ = h(256 * 256 * 8);
  corr0Out_ = h(256 * 256 * 24);
  corr1Out_ = h(256 * 256 * 24);
  corr2Out_ = h(256 * 256 * 12);
  tileIn_ = h(kTileH * kCrop * 8);
  tile0Out_ = h(kTileH * kCrop * 32);
  tile1Out_ = h(kTileH * kCrop * 32);
  tile2Out_ = h(kTileH * kCrop * 32);
  tile3Out_ = h(kTileH * kCrop * 3);
  for (Strip& st : strips_) {
    st.in = h(kTileH * kStrip * 8);
    st.out0 = h(kTileH * kStrip * 32);
    st.out1 = h(kTileH * kStrip * 32);
    st.out2 = h(kTileH * kStrip * 32);
    st.out3 = h(kTileH * kStrip * 3);
  }

  for (int i = 0; i < kCrop; ++i) taps8_.push_back(upTap(i, 8, 64));
  for (int i = 0; i < 256; ++i) taps4_.push_back(upTap(i, 4, 64));

  if (const char* d = std::getenv("LE_CONV_DUMP")) dumpDir_ = d;
}

void Engine::runConv(const ConvLayer& l, const uint16_t* in, int inH, int inW, uint16_t* out) {
  conv::ConvArgs a;
  a.in = in;
  a.inH = inH;
  a.inW = inW;
  a.inChannelsPadded = l.inChannelsPadded;
  a.out = out;
  a.outH = (inH + l.stride - 1) / l.stride;
  a.outW = (inW + l.stride - 1) / l.stride;
  a.outChannels = l.outChannels;
  a.kernel = l.kernel;
  a.stride = l.stride;
  a.relu = l.relu;
  a.weights = l.weights.data();
  a.bias = l.bias.data();
  a.method = l.method;
  pool_.run(a.outH, [&](int begin, int end, int part) { conv::runConv(a, begin, end, scratch_[part].floats.data()); });
}

void Engine::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  const std::string path = dumpDir_ + "/" + name + ".f32";
  std::FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) throw std::runtime_error("le_conv: cannot write " + path);
  const size_t written = std::fwrite(data, sizeof(float), n, f);
  std::fclose(f);
  if (written != n) throw std::runtime_error("le_conv: cannot write " + path);
}

void Engine::dumpHalf(const char* name, const uint16_t* data, size_t n, bool append) const {
  if (dumpDir_.empty()) return;
  std::vector<float> f(n);
  simd::f16ToF32(data, f.data(), n);
  dump(name, f.data(), n, append);
}

// Nearest x2 of src (h x w x cs) into channels [0, cs) of dst (2h x 2w x cd).
void upsampleInto(const uint16_t* src, int h, int w, int cs, uint16_t* dst, int cd) {
  for (int y = 0; y < 2 * h; ++y)
    for (int x = 0; x < 2 * w; ++x)
      std::copy_n(src + ((y / 2) * w + x / 2) * cs, cs, dst + (static_cast<size_t>(y) * 2 * w + x) * cd);
}
// src (h x w x cs) into channels [offset, offset + cs) of dst (h x w x cd).
void copyInto(const uint16_t* src, int h, int w, int cs, uint16_t* dst, int cd, int offset) {
  for (int i = 0; i < h * w; ++i) std::copy_n(src + i * cs, cs, dst + static_cast<size_t>(i) * cd + offset);
}

void Engine::phaseA(const uint16_t* pooled64, const float* kpSource, const float* kpDriving) {
  // pre's input: the pooled features, the driving keypoints' heatmaps, zero padding.
  std::fill(in88_.begin(), in88_.end(), 0);
  float pooledMean[64];
  float* plane = scratch_[0].floats.data();
  for (int c = 0; c < 64; ++c) {
    simd::f16ToF32(pooled64 + c * 1024, plane, 1024);
    float sum = 0.0f;
    for (int i = 0; i < 1024; ++i) {
      in88_[i * 88 + c] = pooled64[c * 1024 + i];
      sum += plane[i];
    }
    pooledMean[c] = sum / 1024.0f;
  }
  for (int i = 0; i < 1024; ++i)
    for (int k = 0; k < 21; ++k) {
      const float dx = grid32_[i * 2] - kpDriving[k * 3], dy = grid32_[i * 2 + 1] - kpDriving[k * 3 + 1];
      in88_[i * 88 + 64 + k] = f32ToF16(std::exp(-kHeat * (dx * dx + dy * dy)));
    }
  runConv(pre_, in88_.data(), 32, 32, preOut_.data());
  runConv(e0_, preOut_.data(), 32, 32, e0Out_.data());
  runConv(e1_, e0Out_.data(), 32, 32, e1Out_.data());
  runConv(e2_, e1Out_.data(), 16, 16, e2Out_.data());
  upsampleInto(e2Out_.data(), 8, 8, 192, cat1_.data(), 336);
  copyInto(e1Out_.data(), 16, 16, 144, cat1_.data(), 336, 192);
  runConv(d1_, cat1_.data(), 16, 16, d1Out_.data());
  upsampleInto(d1Out_.data(), 16, 16, 144, cat0_.data(), 240);
  copyInto(e0Out_.data(), 32, 32, 96, cat0_.data(), 240, 144);
  runConv(d0_, cat0_.data(), 32, 32, d0Out_.data());
  upsampleInto(d0Out_.data(), 32, 32, 96, up0_.data(), 96);
  runConv(ref_, up0_.data(), 64, 64, refOut_.data());
  runConv(maskocc_, refOut_.data(), 64, 64, maskocc_Out_.data());

  // Mask softmax, occlusion sigmoid, grid; the flow's mean feeds the MLP.
  float disp[21][2];
  for (int k = 0; k < 21; ++k) {
    disp[k][0] = kpSource[k * 3] - kpDriving[k * 3];
    disp[k][1] = kpSource[k * 3 + 1] - kpDriving[k * 3 + 1];
  }
  double flowSum[2] = {0.0, 0.0};
  for (int i = 0; i < 4096; ++i) {
    float logits[23];
    for (int c = 0; c < 23; ++c) logits[c] = halfToFloat(maskocc_Out_[i * 23 + c]);
    const float top = *std::max_element(logits, logits + 22);
    float sum = 0.0f, fx = 0.0f, fy = 0.0f;
    for (int c = 0; c < 22; ++c) {
      const float e = std::exp(logits[c] - top);
      sum += e;
      if (c < 21) {
        fx += e * disp[c][0];
        fy += e * disp[c][1];
      }
    }
    fx /= sum;
    fy /= sum;
    flowSum[0] += fx;
    flowSum[1] += fy;
    grid_[i * 2] = grid64_[i * 2] + fx;
    grid_[i * 2 + 1] = grid64_[i * 2 + 1] + fy;
    occ64_[i] = 1.0f / (1.0f + std::exp(-logits[22]));
  }

  float feats[255];
  std::copy_n(pooledMean, 64, feats);
  std::copy_n(kpDriving, 63, feats + 64);
  std::copy_n(kpSource, 63, feats + 127);
  for (int i = 0; i < 63; ++i) feats[190 + i] = kpDriving[i] - kpSource[i];
  feats[253] = static_cast<float>(flowSum[0] / 4096.0);
  feats[254] = static_cast<float>(flowSum[1] / 4096.0);
  float hidden[128];
  for (int o = 0; o < 128; ++o) {
    float s = wmlp0Bias_[o];
    for (int i = 0; i < 255; ++i) s += wmlp0_[o * 255 + i] * feats[i];
    hidden[o] = std::max(s, 0.0f);
  }
  float top = -INFINITY;
  for (int o = 0; o < 64; ++o) {
    float s = wmlp2Bias_[o];
    for (int i = 0; i < 128; ++i) s += wmlp2_[o * 128 + i] * hidden[i];
    w64_[o] = s;
    top = std::max(top, s);
  }
  float sum = 0.0f;
  for (float& v : w64_) sum += (v = std::exp(v - top));
  for (float& v : w64_) v /= sum;

  if (!dumpDir_.empty()) {
    dumpHalf("pre_relu", preOut_.data(), preOut_.size());
    dumpHalf("e0_relu", e0Out_.data(), e0Out_.size());
    dumpHalf("e1_relu", e1Out_.data(), e1Out_.size());
    dumpHalf("e2_relu", e2Out_.data(), e2Out_.size());
    dumpHalf("d1_relu", d1Out_.data(), d1Out_.size());
    dumpHalf("d0_relu", d0Out_.data(), d0Out_.size());
    dumpHalf("ref_relu", refOut_.data(), refOut_.size());
    dumpHalf("mask_conv", maskocc_Out_.data(), maskocc_Out_.size());
    dump("occ_sig", occ64_.data(), occ64_.size());
    dump("grid_add", grid_.data(), grid_.size());
    dump("w64", w64_.data(), w64_.size());
  }
}

void Engine::basisGemm() {
  // Chunks short enough for their sums to stay in L1 while the 64 fp16 basis
  // rows stream past.
  constexpr int kChunk = 1024;
  pool_.run(kBasisFloats / kChunk, [&](int begin, int end, int) {
    for (int c = begin; c < end; ++c)
      conv::weightedRows(basis_.data() + c * kChunk, kBasisFloats, w64_.data(), 64, basisImg_.data() + c * kChunk,
                         kChunk);
  });
}

void Engine::phaseB(const uint16_t* source, float* out) {
  constexpr size_t kPlane = static_cast<size_t>(kCrop) * kCrop;
  basisGemm();
  pool_.run(3 * kCrop, [&](int begin, int end, int) {
    simd::f16ToF32(source + static_cast<size_t>(begin) * kCrop, sourceF_.data() + static_cast<size_t>(begin) * kCrop,
                   static_cast<size_t>(end - begin) * kCrop);
  });

  // The grid and the occlusion upsampled x8 (rows of the 64 grid first, then
  // along the row), and the source sampled through the grid.
  pool_.run(kCrop, [&](int begin, int end, int) {
    for (int y = begin; y < end; ++y) {
      const Tap ty = taps8_[y];
      float gridRow[64 * 2], occRow[64];
      for (int i = 0; i < 64; ++i) {
        const int a = ty.i0 * 64 + i, b = ty.i1 * 64 + i;
        gridRow[2 * i] = lerp(grid_[2 * a], grid_[2 * b], ty.t);
        gridRow[2 * i + 1] = lerp(grid_[2 * a + 1], grid_[2 * b + 1], ty.t);
        occRow[i] = lerp(occ64_[a], occ64_[b], ty.t);
      }
      float* g = grid512_.data() + static_cast<size_t>(y) * kCrop * 2;
      float* o = occ512_.data() + static_cast<size_t>(y) * kCrop;
      for (int x = 0; x < kCrop; ++x) {
        const Tap tx = taps8_[x];
        g[2 * x] = lerp(gridRow[2 * tx.i0], gridRow[2 * tx.i1], tx.t);
        g[2 * x + 1] = lerp(gridRow[2 * tx.i0 + 1], gridRow[2 * tx.i1 + 1], tx.t);
        o[x] = lerp(occRow[tx.i0], occRow[tx.i1], tx.t);
      }
    }
    gridsample_fast_band(sourceF_.data(), grid512_.data(), warped_.data(), 3, kCrop, kCrop, begin, end);
  });
  // Correction branch input at 256.
  // Rows are assembled in float in the worker's scratch and narrowed at once.
  pool_.run(256, [&](int begin, int end, int part) {
    float* row = scratch_[part].floats.data();
    for (int y = begin; y < end; ++y) {
      const Tap ty = taps4_[y];
      for (int x = 0; x < 256; ++x) {
        const Tap tx = taps4_[x];
        float* px = row + x * 8;
        for (int c = 0; c < 3; ++c) {
          const float* w = warped_.data() + c * kPlane + (2 * y) * kCrop + 2 * x;
          px[c] = (w[0] + w[1] + w[kCrop] + w[kCrop + 1]) * 0.25f;
          px[3 + c] = basisImg_[c * 65536 + y * 256 + x];
        }
        const float occ = lerp(lerp(occ64_[ty.i0 * 64 + tx.i0], occ64_[ty.i0 * 64 + tx.i1], tx.t),
                               lerp(occ64_[ty.i1 * 64 + tx.i0], occ64_[ty.i1 * 64 + tx.i1], tx.t), ty.t);
        occ256_[y * 256 + x] = occ;
        px[6] = occ;
        px[7] = 0.0f;
      }
      simd::f32ToF16(row, corrIn_.data() + static_cast<size_t>(y) * 256 * 8, 256 * 8);
    }
  });
  runConv(corr0_, corrIn_.data(), 256, 256, corr0Out_.data());
  runConv(corr1_, corr0Out_.data(), 256, 256, corr1Out_.data());
  runConv(corr2_, corr1Out_.data(), 256, 256, corr2Out_.data());

  pool_.run(kCrop, [&](int begin, int end, int part) {
    float* corrRow = scratch_[part].floats.data();
    for (int y = begin; y < end; ++y) {
      simd::f16ToF32(corr2Out_.data() + static_cast<size_t>(y / 2) * 256 * 12, corrRow, 256 * 12);
      // Plane by plane, a column pair per basis and correction pixel.
      const size_t row = static_cast<size_t>(y) * kCrop;
      const float* occ = occ512_.data() + row;
      for (int c = 0; c < 3; ++c) {
        const float* warp = warped_.data() + c * kPlane + row;
        const float* basis = basisImg_.data() + c * 65536 + (y / 2) * 256;
        const float* corr = corrRow + c * 4 + (y % 2) * 2;
        float* dst = refined_.data() + c * kPlane + row;
        for (int x = 0; x < kCrop; x += 2) {
          const float b = basis[x / 2];
          const float* k = corr + (x / 2) * 12;
          dst[x] = occ[x] * warp[x] + (1.0f - occ[x]) * b + k[0];
          dst[x + 1] = occ[x + 1] * warp[x + 1] + (1.0f - occ[x + 1]) * b + k[1];
        }
        std::fill_n(residual_.data() + c * kPlane + row, kCrop, 0.0f);
      }
    }
  });

  // The tile branch. Each band of tile rows is convolved once at full width:
  // a tile's own convolutions give the same values except within kEdge
  // columns of a tile edge inside the image, where the tile sees zero padding
  // instead of its neighbour's pixels. Those columns come from a strip of
  // kStrip columns at the edge convolved on its own, padded there as the tile
  // is; its far side's padding reaches only kEdge columns in over the four
  // layers.
  for (int band = 0; band < kCrop; band += kTileH) {
    pool_.run(kTileH, [&](int begin, int end, int part) {
      float* row = scratch_[part].floats.data();
      for (int y = begin; y < end; ++y) {
        const size_t at = static_cast<size_t>(band + y) * kCrop;
        const float* planes[7] = {refined_.data() + at,          refined_.data() + kPlane + at,
                                  refined_.data() + 2 * kPlane + at, warped_.data() + at,
                                  warped_.data() + kPlane + at,  warped_.data() + 2 * kPlane + at,
                                  occ512_.data() + at};
        for (int c = 0; c < 7; ++c)
          for (int x = 0; x < kCrop; ++x) row[x * 8 + c] = planes[c][x];
        for (int x = 0; x < kCrop; ++x) row[x * 8 + 7] = 0.0f;
        simd::f32ToF16(row, tileIn_.data() + static_cast<size_t>(y) * kCrop * 8, kCrop * 8);
      }
    });
    runConv(tile0_, tileIn_.data(), kTileH, kCrop, tile0Out_.data());
    runConv(tile1_, tile0Out_.data(), kTileH, kCrop, tile1Out_.data());
    runConv(tile2_, tile1Out_.data(), kTileH, kCrop, tile2Out_.data());
    runConv(tile3_, tile2Out_.data(), kTileH, kCrop, tile3Out_.data());

    for (int t = 0; t < kTiles; ++t) {
      if (kTileY[t] != band) continue;
      const int x0 = kTileX[t];
      // Strip s: its first column in the image, and the tile's and the
      // strip's first column of the edge it corrects (-1: image edge).
      int stripX[2] = {-1, -1};
      const int tileCol[2] = {0, kTileW - kEdge}, stripCol[2] = {0, kStrip - kEdge};
      if (x0 > 0) stripX[0] = x0;
      if (x0 + kTileW < kCrop) stripX[1] = x0 + kTileW - kStrip;
      for (int s = 0; s < 2; ++s) {
        if (stripX[s] < 0) continue;
        Strip& st = strips_[s];
        for (int y = 0; y < kTileH; ++y)
          std::copy_n(tileIn_.data() + (static_cast<size_t>(y) * kCrop + stripX[s]) * 8, kStrip * 8,
                      st.in.data() + static_cast<size_t>(y) * kStrip * 8);
        runConv(tile0_, st.in.data(), kTileH, kStrip, st.out0.data());
        runConv(tile1_, st.out0.data(), kTileH, kStrip, st.out1.data());
        runConv(tile2_, st.out1.data(), kTileH, kStrip, st.out2.data());
        runConv(tile3_, st.out2.data(), kTileH, kStrip, st.out3.data());
      }
      pool_.run(kTileH, [&](int begin, int end, int part) {
        float* row = scratch_[part].floats.data();
        for (int y = begin; y < end; ++y) {
          simd::f16ToF32(tile3Out_.data() + (static_cast<size_t>(y) * kCrop + x0) * 3, row, kTileW * 3);
          for (int s = 0; s < 2; ++s)
            if (stripX[s] >= 0)
              simd::f16ToF32(strips_[s].out3.data() + (static_cast<size_t>(y) * kStrip + stripCol[s]) * 3,
                             row + tileCol[s] * 3, kEdge * 3);
          const float* f = feather_.data() + y * kTileW;
          for (int c = 0; c < 3; ++c) {
            float* r = residual_.data() + c * kPlane + static_cast<size_t>(band + y) * kCrop + x0;
            for (int x = 0; x < kTileW; ++x) r[x] += f[x] * row[x * 3 + c];
          }
        }
      });
      if (!dumpDir_.empty()) {
        // The tile's own activations, as its convolutions alone would give them.
        auto tileOf = [&](const uint16_t* full, int s2, int channels) {
          std::vector<uint16_t> tile(static_cast<size_t>(kTileH) * kTileW * channels);
          for (int y = 0; y < kTileH; ++y) {
            std::copy_n(full + (static_cast<size_t>(y) * kCrop + x0) * channels, kTileW * channels,
                        tile.data() + static_cast<size_t>(y) * kTileW * channels);
            for (int s = 0; s < 2; ++s)
              if (stripX[s] >= 0) {
                const uint16_t* strip = s2 == 2 ? strips_[s].out2.data() : strips_[s].out3.data();
                std::copy_n(strip + (static_cast<size_t>(y) * kStrip + stripCol[s]) * channels, kEdge * channels,
                            tile.data() + (static_cast<size_t>(y) * kTileW + tileCol[s]) * channels);
              }
          }
          return tile;
        };
        const std::vector<uint16_t> t2 = tileOf(tile2Out_.data(), 2, 32), t3 = tileOf(tile3Out_.data(), 3, 3);
        dumpHalf("tile2_relu", t2.data(), t2.size(), t > 0);
        dumpHalf("tile3_conv", t3.data(), t3.size(), t > 0);
      }
    }
  }

  pool_.run(kCrop, [&](int begin, int end, int) {
    for (int c = 0; c < 3; ++c)
      for (size_t i = static_cast<size_t>(begin) * kCrop; i < static_cast<size_t>(end) * kCrop; ++i) {
        const float v = refined_[c * kPlane + i] + residual_[c * kPlane + i] * invWeight_[i];
        out[c * kPlane + i] = std::min(std::max(v, 0.0f), 1.0f);
      }
  });

  if (!dumpDir_.empty()) {
    dump("basisimg", basisImg_.data(), basisImg_.size());
    dump("occ512", occ512_.data(), occ512_.size());
    dump("warped", warped_.data(), warped_.size());
    dumpHalf("corr0_relu", corr0Out_.data(), corr0Out_.size());
    dumpHalf("corr1_relu", corr1Out_.data(), corr1Out_.size());
    dumpHalf("corr2_conv", corr2Out_.data(), corr2Out_.size());
    dump("refined", refined_.data(), refined_.size());
    dump("rgb", out, 3 * kPlane);
  }
}

void Engine::render(const uint16_t* const* pooled64, const uint16_t* const* source, const float* kpSource,
                    const float* kpDriving, int n, float* out) {
  if (n < 1 || n > batch_) throw std::runtime_error("le_conv: bad n");
  for (int j = 0; j < n; ++j) {
    phaseA(pooled64[j], kpSource + j * 63, kpDriving + j * 63);
    phaseB(source[j], out + static_cast<size_t>(j) * 3 * kCrop * kCrop);
  }
}

}  // namespace

bool ConvBackend::available() { return true; }

bool ConvBackend::graphSupported(const std::string& modelPath) {
  try {
    M4bNames names;
    std::string reason;
    return m4bResolve(readTensorShapes(modelPath), names, reason);
  } catch (const std::exception&) {
    return false;
  }
}

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string& modelPath, int threads) {
  if (!available()) throw std::runtime_error("le_conv: fp16 NEON not supported on this CPU");
  return std::make_unique<Engine>(modelPath, threads);
}

}  // namespace le
