#include "director/int8conv_vnni.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "director/graph_rewrites.h"
#include "director/ort_custom_op.h"
#include "paste/le_pool.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define LE_INT8_VNNI_X86 1
#endif

namespace le {

// Weights rearranged per group and tap: for each run of four input channels,
// the output channels of the group (padded to a multiple of 16) each with
// their four int8 weights side by side, the layout one VNNI dot-product
// instruction reads for 16 output channels at once. Padding is zero.
struct Int8ConvKernel::Packed {
  std::vector<int8_t> source;  // the weights as given, to notice a change
  std::vector<int64_t> shape;
  int64_t m = 0, cg = 0, kh = 0, kw = 0, groups = 1;
  int64_t mg = 0, mgPadded = 0, quads = 0;  // per group
  std::vector<int8_t> weights;  // [group][tap][quad][mPadded][4]
  std::vector<int32_t> sums;    // [group][tap][mg]: sum over input channels
};

namespace {

constexpr int kBlockChannels = 128;  // output channels accumulated together
constexpr int kQuantGrain = 4096;    // elements per part for the range and quantisation
constexpr int kPixelGrain = 16;      // output pixels per part

int64_t roundUp(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

// Where the activation scan and quantisation put their results.
struct Quantised {
  float scale = 1.f;
  int32_t zero = 0;
};

Quantised activationRange(const float* x, size_t n) {
  float lo = 0.f, hi = 0.f;
  std::mutex m;
  pool::parallelRange(n, kQuantGrain, [&](size_t b, size_t e) {
    float l = 0.f, h = 0.f;
    for (size_t i = b; i < e; ++i) {
      l = x[i] < l ? x[i] : l;
      h = x[i] > h ? x[i] : h;
    }
    std::lock_guard<std::mutex> lock(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  Quantised q;
  const float range = hi - lo;
  q.scale = range > 0.f ? range / 255.f : 1.f;
  float z = std::nearbyint(-lo / q.scale);
  z = z < 0.f ? 0.f : (z > 255.f ? 255.f : z);
  q.zero = z == z ? static_cast<int32_t>(z) : 0;
  return q;
}

inline uint8_t quantise(float x, float scale, float zero) {
  float r = std::nearbyint(x / scale) + zero;
  r = r < 0.f ? 0.f : (r > 255.f ? 255.f : r);
  return r == r ? static_cast<uint8_t>(r) : 0;
}

// Accumulates, for output channels [m0, m0 + count) of one group, the dot
// products of one input pixel's quads with one tap's weights.
void dotPortable(const uint8_t* q, const int8_t* w, int64_t quads, int64_t mPadded, int64_t m0,
                 int count, uint32_t* acc) {
  for (int64_t k = 0; k < quads; ++k) {
    const uint8_t* qk = q + 4 * k;
    const int8_t* wk = w + (k * mPadded + m0) * 4;
    for (int j = 0; j < count; ++j) {
      const int8_t* wj = wk + 4 * j;
      const int32_t d = qk[0] * wj[0] + qk[1] * wj[1] + qk[2] * wj[2] + qk[3] * wj[3];
      acc[j] += static_cast<uint32_t>(d);
    }
  }
}

#ifdef LE_INT8_VNNI_X86
template <int Blocks>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void dotVnniBlocks(
    const uint8_t* q, const int8_t* w, int64_t quads, int64_t mPadded, int64_t m0, uint32_t* acc) {
  __m512i a[Blocks];
  for (int b = 0; b < Blocks; ++b) a[b] = _mm512_loadu_si512(acc + 16 * b);
  for (int64_t k = 0; k < quads; ++k) {
    int32_t word;
    std::memcpy(&word, q + 4 * k, 4);
    const __m512i x = _mm512_set1_epi32(word);
    const int8_t* wk = w + (k * mPadded + m0) * 4;
    for (int b = 0; b < Blocks; ++b) a[b] = _mm512_dpbusd_epi32(a[b], x, _mm512_loadu_si512(wk + 64 * b));
  }
  for (int b = 0; b < Blocks; ++b) _mm512_storeu_si512(acc + 16 * b, a[b]);
}

void dotVnni(const uint8_t* q, const int8_t* w, int64_t quads, int64_t mPadded, int64_t m0, int count,
             uint32_t* acc) {
  switch ((count + 15) / 16) {
    case 1: return dotVnniBlocks<1>(q, w, quads, mPadded, m0, acc);
    case 2: return dotVnniBlocks<2>(q, w, quads, mPadded, m0, acc);
    case 3: return dotVnniBlocks<3>(q, w, quads, mPadded, m0, acc);
    case 4: return dotVnniBlocks<4>(q, w, quads, mPadded, m0, acc);
    case 5: return dotVnniBlocks<5>(q, w, quads, mPadded, m0, acc);
    case 6: return dotVnniBlocks<6>(q, w, quads, mPadded, m0, acc);
    case 7: return dotVnniBlocks<7>(q, w, quads, mPadded, m0, acc);
    default: return dotVnniBlocks<8>(q, w, quads, mPadded, m0, acc);
  }
}
#endif

using DotFn = void (*)(const uint8_t*, const int8_t*, int64_t, int64_t, int64_t, int, uint32_t*);

DotFn pickDot(Int8Path path) {
#ifdef LE_INT8_VNNI_X86
  if (path == Int8Path::Best && int8ConvHasVnni()) return dotVnni;
#endif
  (void)path;
  return dotPortable;
}

std::vector<int64_t> readInts(const OrtApi& api, const OrtKernelInfo* info, const char* name,
                              std::vector<int64_t> fallback) {
  size_t size = 0;
  OrtStatus* st = api.KernelInfoGetAttributeArray_int64(info, name, nullptr, &size);
  if (st) {  // absent: the ONNX Conv default
    api.ReleaseStatus(st);
    return fallback;
  }
  std::vector<int64_t> v(size);
  Ort::ThrowOnError(api.KernelInfoGetAttributeArray_int64(info, name, v.data(), &size));
  return v;
}

}  // namespace

bool int8ConvHasVnni() {
#ifdef LE_INT8_VNNI_X86
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vnni");
  return has;
#else
  return false;
#endif
}

Int8ConvKernel::Int8ConvKernel(const OrtApi& api, const OrtKernelInfo* info) {
  const std::vector<int64_t> strides = readInts(api, info, "strides", {1, 1});
  const std::vector<int64_t> pads = readInts(api, info, "pads", {0, 0, 0, 0});
  const std::vector<int64_t> dilations = readInts(api, info, "dilations", {1, 1});
  int64_t groupValue = 1;
  OrtStatus* st = api.KernelInfoGetAttribute_int64(info, "group", &groupValue);
  if (st) {
    api.ReleaseStatus(st);
    groupValue = 1;
  }
  if (strides.size() != 2 || pads.size() != 4 || dilations.size() != 2)
    throw std::runtime_error(
        "com.corvane.int8::Int8ConvVNNI: strides and dilations need 2 values and pads 4 (a 2-D convolution)");
  std::copy(strides.begin(), strides.end(), geometry_.strides);
  std::copy(pads.begin(), pads.end(), geometry_.pads);
  std::copy(dilations.begin(), dilations.end(), geometry_.dilations);
  geometry_.group = groupValue;
}

std::vector<int64_t> Int8ConvKernel::outputShape(const std::vector<int64_t>& x,
                                                 const std::vector<int64_t>& w) const {
  const Int8ConvGeometry& g = geometry_;
  auto refuse = [&](const std::string& why) {
    throw std::runtime_error("com.corvane.int8::Int8ConvVNNI: " + why + " (X " + shapeText(x) + ", W " +
                             shapeText(w) + ")");
  };
  if (x.size() != 4 || w.size() != 4) refuse("X and W must both be 4-D");
  for (int64_t d : x)
    if (d < 0) refuse("negative extent");
  for (int64_t d : w)
    if (d <= 0) refuse("empty weight");
  if (g.group <= 0 || x[1] % g.group || w[0] % g.group || w[1] * g.group != x[1])
    refuse("channels do not split into group=" + std::to_string(g.group));
  for (int a = 0; a < 2; ++a)
    if (g.strides[a] <= 0 || g.dilations[a] <= 0 || g.pads[a] < 0 || g.pads[a + 2] < 0)
      refuse("strides and dilations must be positive and pads not negative");
  int64_t out[2];
  for (int a = 0; a < 2; ++a) {
    const int64_t span = g.dilations[a] * (w[2 + a] - 1) + 1;
    const int64_t padded = x[2 + a] + g.pads[a] + g.pads[a + 2];
    if (padded < span) refuse("the kernel does not fit the padded input");
    out[a] = (padded - span) / g.strides[a] + 1;
  }
  return {x[0], w[0], out[0], out[1]};
}

std::shared_ptr<const Int8ConvKernel::Packed> Int8ConvKernel::packed(const int8_t* w,
                                                                     const std::vector<int64_t>& wShape) {
  const size_t count = static_cast<size_t>(wShape[0] * wShape[1] * wShape[2] * wShape[3]);
  std::lock_guard<std::mutex> lock(mutex_);
  if (packed_ && packed_->shape == wShape && std::memcmp(packed_->source.data(), w, count) == 0)
    return packed_;
  auto p = std::make_shared<Packed>();
  p->source.assign(w, w + count);
  p->shape = wShape;
  p->m = wShape[0];
  p->cg = wShape[1];
  p->kh = wShape[2];
  p->kw = wShape[3];
  p->groups = geometry_.group;
  p->mg = p->m / p->groups;
  p->mgPadded = roundUp(p->mg, 16);
  p->quads = roundUp(p->cg, 4) / 4;
  const int64_t taps = p->kh * p->kw;
  p->weights.assign(static_cast<size_t>(p->groups * taps * p->quads * p->mgPadded * 4), 0);
  p->sums.assign(static_cast<size_t>(p->groups * taps * p->mg), 0);
  for (int64_t g = 0; g < p->groups; ++g)
    for (int64_t t = 0; t < taps; ++t)
      for (int64_t m = 0; m < p->mg; ++m) {
        int32_t sum = 0;
        for (int64_t c = 0; c < p->cg; ++c) {
          const int8_t v = w[((g * p->mg + m) * p->cg + c) * taps + t];
          p->weights[static_cast<size_t>((((g * taps + t) * p->quads + c / 4) * p->mgPadded + m) * 4 + c % 4)] = v;
          sum += v;
        }
        p->sums[static_cast<size_t>((g * taps + t) * p->mg + m)] = sum;
      }
  packed_ = std::move(p);
  return packed_;
}

void Int8ConvKernel::forward(const float* x, const std::vector<int64_t>& xShape, const int8_t* w,
                             const std::vector<int64_t>& wShape, const float* wScale, const float* bias,
                             float* y, Int8Path path) {
  const std::vector<int64_t> yShape = outputShape(xShape, wShape);
  const int64_t n = xShape[0], c = xShape[1], h = xShape[2], wd = xShape[3];
  const int64_t oh = yShape[2], ow = yShape[3];
  if (n == 0 || oh == 0 || ow == 0) return;
  const std::shared_ptr<const Packed> pk = packed(w, wShape);
  const Packed& p = *pk;
  const Int8ConvGeometry& geo = geometry_;

  // Quantise X once, pixel-major with each group's channels padded to whole quads.
  const size_t total = static_cast<size_t>(n * c * h * wd);
  const Quantised qa = activationRange(x, total);
  const int64_t pixelStride = p.groups * p.quads * 4;
  thread_local std::vector<uint8_t> qbuf;
  qbuf.assign(static_cast<size_t>(n * h * wd * pixelStride), 0);
  uint8_t* q = qbuf.data();
  const float zf = static_cast<float>(qa.zero);
  const size_t plane = static_cast<size_t>(h * wd);
  pool::parallelRange(static_cast<size_t>(n * h * wd), kQuantGrain / 16, [&](size_t b, size_t e) {
    for (size_t pix = b; pix < e; ++pix) {
      const size_t item = pix / plane, at = pix % plane;
      const float* src = x + item * static_cast<size_t>(c) * plane + at;
      uint8_t* dst = q + pix * static_cast<size_t>(pixelStride);
      for (int64_t g = 0; g < p.groups; ++g)
        for (int64_t ch = 0; ch < p.cg; ++ch)
          dst[g * p.quads * 4 + ch] = quantise(src[static_cast<size_t>(g * p.cg + ch) * plane], qa.scale, zf);
    }
  });

  const DotFn dot = pickDot(path);
  const int64_t taps = p.kh * p.kw;
  const size_t outPlane = static_cast<size_t>(oh * ow);
  pool::parallelRange(static_cast<size_t>(n) * outPlane, kPixelGrain, [&](size_t b, size_t e) {
    alignas(64) uint32_t acc[kBlockChannels];
    uint32_t colsum[kBlockChannels];
    for (size_t pix = b; pix < e; ++pix) {
      const int64_t item = static_cast<int64_t>(pix / outPlane);
      const int64_t oy = static_cast<int64_t>(pix % outPlane) / ow, ox = static_cast<int64_t>(pix % outPlane) % ow;
      for (int64_t g = 0; g < p.groups; ++g) {
        for (int64_t m0 = 0; m0 < p.mg; m0 += kBlockChannels) {
          const int count = static_cast<int>(std::min<int64_t>(kBlockChannels, p.mg - m0));
          std::fill(acc, acc + kBlockChannels, 0u);
          std::fill(colsum, colsum + count, 0u);
          for (int64_t ky = 0; ky < p.kh; ++ky) {
            const int64_t iy = oy * geo.strides[0] - geo.pads[0] + ky * geo.dilations[0];
            if (iy < 0 || iy >= h) continue;
            for (int64_t kx = 0; kx < p.kw; ++kx) {
              const int64_t ix = ox * geo.strides[1] - geo.pads[1] + kx * geo.dilations[1];
              if (ix < 0 || ix >= wd) continue;
              const int64_t t = ky * p.kw + kx;
              const uint8_t* qp = q + ((item * h + iy) * wd + ix) * pixelStride + g * p.quads * 4;
              dot(qp, p.weights.data() + (g * taps + t) * p.quads * p.mgPadded * 4, p.quads, p.mgPadded, m0,
                  count, acc);
              const int32_t* s = p.sums.data() + (g * taps + t) * p.mg + m0;
              for (int j = 0; j < count; ++j) colsum[j] += static_cast<uint32_t>(s[j]);
            }
          }
          for (int j = 0; j < count; ++j) {
            const int64_t m = g * p.mg + m0 + j;
            const int32_t v = static_cast<int32_t>(acc[j] - static_cast<uint32_t>(qa.zero) * colsum[j]);
            y[(static_cast<size_t>(item) * static_cast<size_t>(p.m) + static_cast<size_t>(m)) * outPlane +
              static_cast<size_t>(oy * ow + ox)] = static_cast<float>(v) * (qa.scale * wScale[m]) + bias[m];
          }
        }
      }
    }
  });
}

OrtStatusPtr Int8ConvKernel::ComputeV2(OrtKernelContext* context) {
  return statusOf([&] {
    Ort::KernelContext ctx(context);
    const Ort::ConstValue x = ctx.GetInput(0), w = ctx.GetInput(1);
    const Ort::ConstValue scale = ctx.GetInput(2), bias = ctx.GetInput(3);
    const std::vector<int64_t> xs = x.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> ws = w.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> ys = outputShape(xs, ws);
    if (scale.GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(ws[0]) ||
        bias.GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(ws[0]))
      throw std::runtime_error("com.corvane.int8::Int8ConvVNNI: w_scale and bias need M=" +
                               std::to_string(ws[0]) + " values each");
    Ort::UnownedValue y = ctx.GetOutput(0, ys);
    forward(x.GetTensorData<float>(), xs, w.GetTensorData<int8_t>(), ws, scale.GetTensorData<float>(),
            bias.GetTensorData<float>(), y.GetTensorMutableData<float>());
  });
}

namespace {

struct Int8ConvOp : FloatCpuOp<Int8ConvOp, Int8ConvKernel, 4> {
  static constexpr const char* kName = "Int8ConvVNNI";
  static ONNXTensorElementDataType inputType(size_t index) {
    return index == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
};

}  // namespace

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  static Int8ConvOp op;
  static Ort::CustomOpDomain domain = [] {
    Ort::CustomOpDomain d(kCorvaneInt8Domain);
    d.Add(&op);
    return d;
  }();
  options.Add(domain);
}

}  // namespace le
