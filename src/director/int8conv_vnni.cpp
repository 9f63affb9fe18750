#include "director/int8conv_vnni.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "director/graph_rewrites.h"
#include "director/int8conv_dot.h"
#include "director/int8conv_quant.h"
#include "director/ort_custom_op.h"
#include "hwy/targets.h"
#include "paste/le_pool.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define LE_INT8_VNNI_X86 1
#endif

namespace le {

// Weights rearranged per group and tap: for each run of four input channels,
// the output channels of the group (padded to a multiple of 16) each with
// their four int8 weights side by side, the layout one VNNI dot-product
// instruction reads for 16 output channels at once. The widening path's
// copy holds, per quad, two halves of output channels each with one pair of
// int16 weights. Padding is zero.
struct Int8ConvKernel::Packed {
  std::vector<int8_t> source;  // the weights as given, to notice a change
  std::vector<int64_t> shape;
  int64_t m = 0, cg = 0, kh = 0, kw = 0, groups = 1;
  int64_t mg = 0, mgPadded = 0, quads = 0;  // per group
  std::vector<int8_t> weights;     // [group][tap][quad][mPadded][4]
  std::vector<int16_t> weights16;  // [group][tap][quad][2][mPadded][2]
  std::vector<int32_t> sums;    // [group][tap][mg]: sum over input channels
};

namespace {

using int8conv::DotArgs;
using int8conv::kBlockChannels;
using int8conv::kPixelBlock;
constexpr size_t kRangeGrain = 16384;
constexpr size_t kQuantGrain = 256;  // pixels per part
constexpr int64_t kPaddingSlack = 1 << 16;  // padded pixels allowed beyond 4 x the input's

int64_t roundUp(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

struct Quantised {
  float scale = 1.f;
  int32_t zero = 0;
};

Quantised activationRange(const float* x, size_t n) {
  float lo = 0.f, hi = 0.f;
  std::mutex m;
  pool::parallelRange(n, kRangeGrain, [&](size_t b, size_t e) {
    float l = 0.f, h = 0.f;
    int8conv::activationRange(x + b, e - b, l, h);
    std::lock_guard<std::mutex> lock(m);
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  });
  Quantised q;
  const float range = hi - lo;
  q.scale = range > 0.f ? range / 255.f : 1.f;
  float z = std::nearbyint(-lo / q.scale);
  z = z >= 0.f ? z : 0.f;
  z = z <= 255.f ? z : 255.f;
  q.zero = static_cast<int32_t>(z);
  return q;
}

// acc[p][j] = sum over taps and quads of q . w for pixel p and channel j of the block.
template <int Pixels>
void dotPortable(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  for (int p = 0; p < Pixels; ++p) {
    uint32_t sum[kBlockChannels] = {};
    for (int64_t ky = 0; ky < a.rows; ++ky)
      for (int64_t kx = 0; kx < a.cols; ++kx) {
        const uint8_t* q = a.q + p * a.pixelStep + ky * a.rowStep + kx * a.colStep;
        const int8_t* w = a.w + ky * a.wRowStep + kx * a.wTapStep;
        for (int64_t k = 0; k < a.quads; ++k) {
          const uint8_t* qk = q + 4 * k;
          const int8_t* wk = w + k * a.mPadded * 4;
          for (int j = 0; j < count; ++j) {
            const int8_t* wj = wk + 4 * j;
            sum[j] += static_cast<uint32_t>(qk[0] * wj[0] + qk[1] * wj[1] + qk[2] * wj[2] + qk[3] * wj[3]);
          }
        }
      }
    for (int j = 0; j < count; ++j) acc[p][j] = static_cast<int32_t>(sum[j]);
  }
}

#ifdef LE_INT8_VNNI_X86
// The accumulators must live in registers; the loops over pixels and blocks
// are unrolled for that (GCC does not fully unroll them at -O2 on its own).
#define LE_UNROLL _Pragma("GCC unroll 16")

template <int Blocks, int Pixels>
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void dotVnni(const DotArgs& a,
                                                                    int32_t (*acc)[kBlockChannels]) {
  __m512i s[Pixels][Blocks];
  LE_UNROLL for (int p = 0; p < Pixels; ++p) {
    LE_UNROLL for (int b = 0; b < Blocks; ++b) s[p][b] = _mm512_setzero_si512();
  }
  for (int64_t ky = 0; ky < a.rows; ++ky)
    for (int64_t kx = 0; kx < a.cols; ++kx) {
      const uint8_t* q = a.q + ky * a.rowStep + kx * a.colStep;
      const int8_t* w = a.w + ky * a.wRowStep + kx * a.wTapStep;
      for (int64_t k = 0; k < a.quads; ++k) {
        __m512i x[Pixels];
        LE_UNROLL for (int p = 0; p < Pixels; ++p) {
          int32_t word;
          std::memcpy(&word, q + p * a.pixelStep + 4 * k, 4);
          x[p] = _mm512_set1_epi32(word);
        }
        const int8_t* wk = w + k * a.mPadded * 4;
        LE_UNROLL for (int b = 0; b < Blocks; ++b) {
          const __m512i wv = _mm512_loadu_si512(wk + 64 * b);
          LE_UNROLL for (int p = 0; p < Pixels; ++p) s[p][b] = _mm512_dpbusd_epi32(s[p][b], x[p], wv);
        }
      }
    }
  LE_UNROLL for (int p = 0; p < Pixels; ++p) {
    LE_UNROLL for (int b = 0; b < Blocks; ++b) _mm512_storeu_si512(acc[p] + 16 * b, s[p][b]);
  }
}
#undef LE_UNROLL

template <int Pixels>
void dotVnniAny(const DotArgs& a, int count, int32_t (*acc)[kBlockChannels]) {
  switch ((count + 15) / 16) {
    case 1: return dotVnni<1, Pixels>(a, acc);
    case 2: return dotVnni<2, Pixels>(a, acc);
    case 3: return dotVnni<3, Pixels>(a, acc);
    default: return dotVnni<4, Pixels>(a, acc);
  }
}
#endif

struct DotFns {
  void (*one)(const DotArgs&, int, int32_t (*)[kBlockChannels]);
  void (*block)(const DotArgs&, int, int32_t (*)[kBlockChannels]);
};

// VNNI where the CPU has it and the vector target chosen (or forced) is an
// AVX-512 one; otherwise the widening path on the chosen target.
bool useVnni(Int8Path path) {
#ifdef LE_INT8_VNNI_X86
  return path == Int8Path::Best && int8ConvHasVnni() && (hwy::SupportedTargets() & (HWY_AVX3 | HWY_AVX3_DL)) != 0;
#else
  (void)path;
  return false;
#endif
}

DotFns pickDot(Int8Path path) {
#ifdef LE_INT8_VNNI_X86
  if (useVnni(path)) return {dotVnniAny<1>, dotVnniAny<kPixelBlock>};
#endif
  if (path == Int8Path::Best) return {int8conv::dotWidenOne, int8conv::dotWidenBlock};
  return {dotPortable<1>, dotPortable<kPixelBlock>};
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

const char* int8ConvPathName() {
  if (useVnni(Int8Path::Best)) return "VNNI";
  return int8conv::dotTargetName();
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
  p->weights16.assign(p->weights.size(), 0);
  p->sums.assign(static_cast<size_t>(p->groups * taps * p->mg), 0);
  for (int64_t g = 0; g < p->groups; ++g)
    for (int64_t t = 0; t < taps; ++t)
      for (int64_t m = 0; m < p->mg; ++m) {
        int32_t sum = 0;
        for (int64_t c = 0; c < p->cg; ++c) {
          const int8_t v = w[((g * p->mg + m) * p->cg + c) * taps + t];
          p->weights[static_cast<size_t>((((g * taps + t) * p->quads + c / 4) * p->mgPadded + m) * 4 + c % 4)] = v;
          p->weights16[static_cast<size_t>((((g * taps + t) * p->quads * 2 + c / 2) * p->mgPadded + m) * 2 + c % 2)] = v;
          sum += v;
        }
        p->sums[static_cast<size_t>((g * taps + t) * p->mg + m)] = sum;
      }
  packed_ = std::move(p);
  return packed_;
}

void Int8ConvKernel::forward(const float* x, const std::vector<int64_t>& xShape, const int8_t* w,
                             const std::vector<int64_t>& wShape, const float* wScale, const float* bias, float* y,
                             Int8Path path) {
  const std::vector<int64_t> yShape = outputShape(xShape, wShape);
  const int64_t n = xShape[0], c = xShape[1], h = xShape[2], wd = xShape[3];
  const int64_t oh = yShape[2], ow = yShape[3];
  if (n == 0 || oh == 0 || ow == 0) return;
  const std::shared_ptr<const Packed> pk = packed(w, wShape);
  const Packed& p = *pk;
  const Int8ConvGeometry& geo = geometry_;

  // Quantise X once, pixel-major with each group's channels padded to whole
  // quads (the padding is zero, as are the weights it meets), into a buffer
  // that carries the convolution's zero padding as pixels of value z: those
  // stand for the real value 0, so their products z * w cancel against the
  // z * (weight sums) taken off every output below, exactly in 32 bits. Every
  // output pixel then reads all its taps and the rows run in whole blocks.
  const int64_t pt = geo.pads[0], pl = geo.pads[1];
  const int64_t hp = h + pt + geo.pads[2], wp = wd + pl + geo.pads[3];
  const size_t plane = static_cast<size_t>(h * wd);
  const Quantised qa = activationRange(x, static_cast<size_t>(n * c) * plane);
  const int64_t groupBytes = p.quads * 4, pixelBytes = p.groups * groupBytes;
  const size_t pixelSize = static_cast<size_t>(pixelBytes);
  const size_t qCount = static_cast<size_t>(n * hp * wp) * pixelSize;
  // Padding of the input's own size or more would only spend memory on pixels
  // that stand for zero (a graph that pads a 32 x 32 input by thousands).
  if (hp * wp > 4 * h * wd + kPaddingSlack)
    throw std::runtime_error("com.corvane.int8::Int8ConvVNNI: pads (" + std::to_string(geo.pads[0]) + ", " +
                             std::to_string(geo.pads[1]) + ", " + std::to_string(geo.pads[2]) + ", " +
                             std::to_string(geo.pads[3]) + ") dwarf the " + std::to_string(h) + " x " +
                             std::to_string(wd) + " input; REFUSING to lay out a padded copy of that size");
  // The widening path reads the values as 16-bit integers, written so at once.
  const DotFns dot = pickDot(path);
  const bool widen = dot.one == int8conv::dotWidenOne;
  thread_local std::vector<uint8_t> qbuf;
  thread_local std::vector<uint16_t> q16buf;
  if (widen)
    q16buf.resize(qCount);
  else
    qbuf.resize(qCount);
  uint8_t* const q = widen ? nullptr : qbuf.data();
  uint16_t* const q16 = widen ? q16buf.data() : nullptr;
  const float zf = static_cast<float>(qa.zero);
  const size_t rowGrain = std::max<size_t>(1, kQuantGrain / static_cast<size_t>(wp));
  auto quantiseRows = [&](auto* buf, size_t rb, size_t re) {
    using T = std::remove_pointer_t<decltype(buf)>;
    const T zq = static_cast<T>(qa.zero);
    uint8_t run[kQuantGrain];
    for (size_t r = rb; r < re; ++r) {
      const int64_t item = static_cast<int64_t>(r) / hp, yp = static_cast<int64_t>(r) % hp;
      T* row = buf + r * static_cast<size_t>(wp) * pixelSize;
      if (yp < pt || yp >= pt + h) {
        std::fill(row, row + static_cast<size_t>(wp) * pixelSize, zq);
        continue;
      }
      std::fill(row, row + static_cast<size_t>(pl) * pixelSize, zq);
      std::fill(row + static_cast<size_t>(pl + wd) * pixelSize, row + static_cast<size_t>(wp) * pixelSize, zq);
      T* inner = row + static_cast<size_t>(pl) * pixelSize;
      const size_t at = static_cast<size_t>((yp - pt) * wd);
      for (size_t b = 0; b < static_cast<size_t>(wd); b += kQuantGrain) {
        const size_t len = std::min<size_t>(kQuantGrain, static_cast<size_t>(wd) - b);
        T* dst = inner + b * pixelSize;
        for (int64_t g = 0; g < p.groups; ++g)
          for (int64_t ch = 0; ch < groupBytes; ++ch) {
            T* d = dst + g * groupBytes + ch;
            if (ch >= p.cg) {
              for (size_t i = 0; i < len; ++i) d[i * pixelSize] = 0;
              continue;
            }
            const float* src =
                x + (static_cast<size_t>(item) * static_cast<size_t>(c) + static_cast<size_t>(g * p.cg + ch)) * plane +
                at + b;
            int8conv::quantiseRun(src, len, qa.scale, zf, run);
            for (size_t i = 0; i < len; ++i) d[i * pixelSize] = run[i];
          }
      }
    }
  };
  pool::parallelRange(static_cast<size_t>(n * hp), rowGrain, [&](size_t rb, size_t re) {
    if (widen)
      quantiseRows(q16, rb, re);
    else
      quantiseRows(q, rb, re);
  });

  // The zero point's share of each output: z times the weight sums of all
  // taps. (Scratch is per calling thread; the workers below reach it
  // through these pointers, not through their own thread_local copies.)
  const int64_t taps = p.kh * p.kw;
  thread_local std::vector<float> mulScratch;
  thread_local std::vector<int32_t> sumScratch;
  mulScratch.resize(static_cast<size_t>(p.m));
  sumScratch.assign(static_cast<size_t>(p.m), 0);
  float* mul = mulScratch.data();
  int32_t* shift = sumScratch.data();
  for (int64_t m = 0; m < p.m; ++m) mul[m] = qa.scale * wScale[m];
  for (int64_t g = 0; g < p.groups; ++g)
    for (int64_t t = 0; t < taps; ++t)
      for (int64_t m = 0; m < p.mg; ++m) {
        const int32_t s = p.sums[static_cast<size_t>((g * taps + t) * p.mg + m)];
        int32_t& sum = shift[g * p.mg + m];
        sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(s));
      }
  for (int64_t m = 0; m < p.m; ++m)
    shift[m] = static_cast<int32_t>(static_cast<uint32_t>(qa.zero) * static_cast<uint32_t>(shift[m]));

  const size_t outPlane = static_cast<size_t>(oh * ow);
  const int64_t wTap = p.quads * p.mgPadded * 4;
  pool::parallelRange(static_cast<size_t>(n * oh), 1, [&](size_t rb, size_t re) {
    alignas(64) int32_t acc[kPixelBlock][kBlockChannels];
    for (size_t row = rb; row < re; ++row) {
      const int64_t item = static_cast<int64_t>(row) / oh, oy = static_cast<int64_t>(row) % oh;
      int64_t ox = 0;
      while (ox < ow) {
        // Blocks of kPixelBlock pixels share each weight load; a last block
        // that would pass the row's end starts earlier instead, recomputing
        // a few pixels, and only rows shorter than a block go one by one.
        int pixels = 1;
        if (ow >= kPixelBlock) {
          pixels = kPixelBlock;
          ox = std::min(ox, ow - kPixelBlock);
        }
        for (int64_t g = 0; g < p.groups; ++g) {
          DotArgs args;
          const int64_t qAt =
              ((item * hp + oy * geo.strides[0]) * wp + ox * geo.strides[1]) * pixelBytes + g * groupBytes;
          args.q = widen ? nullptr : q + qAt;
          args.q16 = widen ? q16 + qAt : nullptr;
          args.pixelStep = geo.strides[1] * pixelBytes;
          args.rowStep = geo.dilations[0] * wp * pixelBytes;
          args.colStep = geo.dilations[1] * pixelBytes;
          args.rows = p.kh;
          args.cols = p.kw;
          args.wRowStep = p.kw * wTap;
          args.wTapStep = wTap;
          args.quads = p.quads;
          args.mPadded = p.mgPadded;
          for (int64_t m0 = 0; m0 < p.mg; m0 += kBlockChannels) {
            const int count = static_cast<int>(std::min<int64_t>(kBlockChannels, p.mg - m0));
            const int64_t wAt = g * taps * wTap;
            args.w = p.weights.data() + wAt + m0 * 4;
            args.w16 = p.weights16.data() + wAt + m0 * 2;
            (pixels == 1 ? dot.one : dot.block)(args, count, acc);
            const size_t m = static_cast<size_t>(g * p.mg + m0);
            int8conv::finishBlock(acc, pixels, count, shift + m, mul + m, bias + m,
                                  y + (static_cast<size_t>(item) * static_cast<size_t>(p.m) + m) * outPlane +
                                      static_cast<size_t>(oy * ow + ox),
                                  outPlane);
          }
        }
        ox += pixels;
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
