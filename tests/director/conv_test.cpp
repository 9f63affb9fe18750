// The fp16 engine's convolution kernels against a scalar reference on every
// vector target, and its model loading and m4b resolution with each refusal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "director/le_conv.h"
#include "director/le_conv_kernels.h"
#include "director/onnx_builder.h"
#include "hwy/targets.h"
#include "hwy/tests/hwy_gtest.h"
#include "paste/le_simd.h"
#include "support/test_support.h"

namespace {

using le::Bytes;

// Plain convolution over the fp16-rounded inputs and weights, in double.
std::vector<float> referenceConv(const std::vector<uint16_t>& in, int inH, int inW, int cin, int cinPad,
                                 const std::vector<float>& w, const std::vector<float>& bias, int cout, int k,
                                 int stride, bool relu, int outH, int outW) {
  std::vector<float> out(static_cast<size_t>(outH) * outW * cout);
  const int pad = k / 2;
  for (int y = 0; y < outH; ++y)
    for (int x = 0; x < outW; ++x)
      for (int co = 0; co < cout; ++co) {
        double s = bias[co];
        for (int ky = 0; ky < k; ++ky)
          for (int kx = 0; kx < k; ++kx) {
            const int iy = y * stride + ky - pad, ix = x * stride + kx - pad;
            if (iy < 0 || iy >= inH || ix < 0 || ix >= inW) continue;
            for (int ci = 0; ci < cin; ++ci)
              s += static_cast<double>(le::halfToFloat(le::f32ToF16(w[((co * cin + ci) * k + ky) * k + kx]))) *
                   le::halfToFloat(in[(static_cast<size_t>(iy) * inW + ix) * cinPad + ci]);
          }
        out[(static_cast<size_t>(y) * outW + x) * cout + co] = static_cast<float>(relu ? std::max(s, 0.0) : s);
      }
  return out;
}

struct ConvShape {
  int inH, inW, cin, cout, k, stride;
  bool relu;
};

// One layer's random fp16 inputs (padded channels zero), weights and bias,
// and its output with one sentinel value past the end.
struct ConvCase {
  int cinPad, outH, outW;
  std::vector<uint16_t> in, out;
  std::vector<float> w, bias;
};

ConvCase makeCase(const ConvShape& s, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  ConvCase c;
  c.cinPad = (s.cin + 7) / 8 * 8;
  c.outH = (s.inH + s.stride - 1) / s.stride;
  c.outW = (s.inW + s.stride - 1) / s.stride;
  c.in.assign(static_cast<size_t>(s.inH) * s.inW * c.cinPad, 0);
  for (int p = 0; p < s.inH * s.inW; ++p)
    for (int ch = 0; ch < s.cin; ++ch) c.in[p * c.cinPad + ch] = le::f32ToF16(dist(rng));
  c.w.resize(static_cast<size_t>(s.cout) * s.cin * s.k * s.k);
  c.bias.resize(s.cout);
  for (float& v : c.w) v = dist(rng) * 0.2f;
  for (float& v : c.bias) v = dist(rng);
  return c;
}

// Packs the weights for the method and runs the layer in two row ranges, over
// scratch left non-zero from an earlier layer (which must not matter).
void runCase(ConvCase& c, const ConvShape& s, le::conv::ConvMethod method) {
  const size_t lanes = le::conv::vectorLanes();
  std::vector<uint16_t> packed(le::conv::packedWeightCount(s.cout, c.cinPad, s.k, lanes, method));
  le::conv::packWeights(c.w.data(), s.cout, s.cin, c.cinPad, s.k, lanes, packed.data(), method);
  std::vector<float> paddedBias(le::conv::outputVectors(s.cout, lanes) * lanes, 0.0f);
  std::copy(c.bias.begin(), c.bias.end(), paddedBias.begin());
  c.out.assign(static_cast<size_t>(c.outH) * c.outW * s.cout + 1, 0x7BFF);
  std::vector<float> scratch(le::conv::scratchFloats(method, s.k, s.inW, c.cinPad, s.cout, lanes), 1e30f);
  le::conv::ConvArgs a;
  a.in = c.in.data();
  a.inH = s.inH;
  a.inW = s.inW;
  a.inChannelsPadded = c.cinPad;
  a.out = c.out.data();
  a.outH = c.outH;
  a.outW = c.outW;
  a.outChannels = s.cout;
  a.kernel = s.k;
  a.stride = s.stride;
  a.relu = s.relu;
  a.weights = packed.data();
  a.bias = paddedBias.data();
  a.method = method;
  le::conv::runConv(a, 0, 1, scratch.data());
  le::conv::runConv(a, 1, c.outH, scratch.data());
}

class ConvKernels : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ConvKernels);

// Every method on every output-channel block shape (2, 3, 4 vectors, alone
// and mixed; 1 to 4 dot-product channels), pixel tails, odd sizes (half
// Winograd tiles), more tiles than one Winograd chunk, 1x1 and 3x3, strides
// 1 and 2, padded input channels, and a row range split inside a tile.
TEST_P(ConvKernels, MatchScalarReferenceOnEveryBlockShape) {
  const ConvShape shapes[] = {{8, 9, 85, 96, 1, 1, true},  {7, 13, 7, 24, 3, 1, true}, {9, 11, 24, 12, 3, 1, false},
                              {6, 10, 32, 3, 3, 1, false}, {8, 8, 48, 23, 3, 1, false}, {10, 10, 96, 144, 3, 2, true},
                              {5, 17, 16, 80, 3, 1, true},  {4, 5, 8, 200, 3, 2, false}, {3, 53, 8, 16, 3, 1, true}};
  std::mt19937 rng(11);
  using le::conv::ConvMethod;
  for (const ConvShape& s : shapes)
    for (ConvMethod method : {ConvMethod::kDirect, ConvMethod::kDot, ConvMethod::kWinograd}) {
      if (!le::conv::methodApplies(method, s.cout, s.k, s.stride)) continue;
      ConvCase c = makeCase(s, rng);
      runCase(c, s, method);
      const std::vector<float> ref = referenceConv(c.in, s.inH, s.inW, s.cin, c.cinPad, c.w, c.bias, s.cout, s.k,
                                                   s.stride, s.relu, c.outH, c.outW);
      for (size_t i = 0; i < ref.size(); ++i) {
        // fp32 accumulation, one fp16 rounding of the result.
        const float tol = 1e-3f + std::fabs(ref[i]) * 1.0e-3f;
        ASSERT_NEAR(le::halfToFloat(c.out[i]), ref[i], tol) << "shape cin " << s.cin << " cout " << s.cout << " k "
                                                            << s.k << " method " << static_cast<int>(method)
                                                            << " at " << i;
      }
      EXPECT_EQ(c.out.back(), 0x7BFF);
    }
}

// On plain NEON with FMLAL the direct kernel multiplies fp16 values as they
// are; fp16 products are exact in fp32 and each sum is rounded once, so it
// must give the widening kernel's bits, subnormal inputs and weights included,
// on every block shape and pixel tail.
TEST_P(ConvKernels, NativeFp16DirectKernelMatchesWideningBitForBit) {
  (void)le::conv::vectorLanes();  // dispatches, as the harness expects of every target's run
  if (GetParam() != HWY_NEON || !le::conv::nativeFp16()) GTEST_SKIP() << "no FMLAL path on this target";
  const ConvShape shapes[] = {{8, 9, 85, 96, 1, 1, true},    {7, 13, 7, 20, 3, 1, true},   {9, 11, 24, 12, 3, 1, false},
                              {8, 8, 48, 23, 3, 1, false},   {10, 10, 96, 144, 3, 2, true}, {4, 5, 8, 200, 3, 2, false},
                              {3, 53, 8, 40, 3, 1, true}};
  std::mt19937 rng(23);
  for (const ConvShape& s : shapes) {
    ConvCase c = makeCase(s, rng);
    for (size_t i = 0; i < c.in.size(); i += 5) c.in[i] = le::f32ToF16(le::halfToFloat(c.in[i]) * 3e-5f);
    for (size_t i = 0; i < c.w.size(); i += 5) c.w[i] *= 1e-4f;
    runCase(c, s, le::conv::ConvMethod::kDirect);
    const std::vector<uint16_t> native = c.out;
    le::conv::setNativeFp16(false);
    runCase(c, s, le::conv::ConvMethod::kDirect);
    le::conv::setNativeFp16(true);
    ASSERT_EQ(native, c.out) << "cin " << s.cin << " cout " << s.cout << " k " << s.k << " stride " << s.stride;
  }
}

// The basis blend: row counts in and out of whole groups of four, lengths
// with a partial vector, a stride wider than the rows; nothing past n written.
TEST_P(ConvKernels, WeightedRowsMatchScalarReference) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (int count : {1, 4, 7, 64})
    for (size_t n : {size_t{1}, size_t{37}, size_t{1024}}) {
      const size_t stride = n + 19;
      std::vector<uint16_t> rows(stride * count);
      for (uint16_t& v : rows) v = le::f32ToF16(dist(rng));
      std::vector<float> w(count), dst(n + 1, 1e30f);
      for (float& v : w) v = dist(rng);
      le::conv::weightedRows(rows.data(), stride, w.data(), count, dst.data(), n);
      for (size_t j = 0; j < n; ++j) {
        double ref = 0.0;
        for (int k = 0; k < count; ++k) ref += static_cast<double>(w[k]) * le::halfToFloat(rows[k * stride + j]);
        ASSERT_NEAR(dst[j], ref, 1e-5 * count) << "count " << count << " n " << n << " at " << j;
      }
      EXPECT_EQ(dst[n], 1e30f);
    }
}

// Winograd F(2x2, 3x3) is only exact for 3x3 stride 1, and its transforms
// store whole 8-channel vectors; the choice never picks a method that does
// not apply, on any vector width, and spares the idle lanes of few outputs.
TEST(ConvMethods, ChoiceOnlyPicksMethodsThatApply) {
  using le::conv::ConvMethod;
  EXPECT_FALSE(le::conv::methodApplies(ConvMethod::kWinograd, 96, 3, 2));
  EXPECT_FALSE(le::conv::methodApplies(ConvMethod::kWinograd, 96, 1, 1));
  EXPECT_FALSE(le::conv::methodApplies(ConvMethod::kWinograd, 23, 3, 1));
  struct Layer {
    int cout, cinPad, k, stride;
  };
  const Layer layers[] = {{96, 88, 1, 1}, {144, 96, 3, 2}, {96, 240, 3, 1}, {23, 48, 3, 1},
                          {12, 24, 3, 1}, {32, 8, 3, 1},   {3, 32, 3, 1},   {200, 8, 3, 2}};
  for (size_t lanes : {size_t{1}, size_t{4}, size_t{8}, size_t{16}})
    for (const Layer& l : layers) {
      const ConvMethod m = le::conv::chooseMethod(l.cout, l.cinPad, l.k, l.stride, lanes);
      EXPECT_TRUE(le::conv::methodApplies(m, l.cout, l.k, l.stride)) << "cout " << l.cout << " lanes " << lanes;
    }
  EXPECT_EQ(le::conv::chooseMethod(3, 32, 3, 1, 16), ConvMethod::kDot);
  EXPECT_EQ(le::conv::chooseMethod(3, 32, 3, 1, 8), ConvMethod::kDot);
  EXPECT_EQ(le::conv::chooseMethod(32, 32, 3, 1, 16), ConvMethod::kWinograd);
}

// ---- loading and resolution --------------------------------------------------

struct Init {
  std::string name;
  std::vector<int64_t> dims;
  int32_t type = 1;
};

std::vector<Init> m4bInitializers() {
  std::vector<Init> v = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},    {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},   {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},  {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},  {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},   {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},   {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},       {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},         {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}}, {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}}, {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},     {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}}, {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}}, {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}}, {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},      {"s.tile.3.bias", {3}},
      {"s.grid64", {64, 64, 2}},               {"s.feather", {1, 1, 256, 208}},
      {"s.wmlp.0.weight", {128, 255}},         {"s.wmlp.0.bias", {128}},
      {"s.wmlp.2.weight", {64, 128}},          {"s.wmlp.2.bias", {64}},
      {"onnx::Conv_313", {96, 85, 1, 1}},      {"onnx::Conv_314", {96}},
      {"onnx::Sub_316", {1, 1, 32, 32, 2}},    {"onnx::MatMul_338", {64, 196608}},
  };
  return v;
}

std::string writeModel(const le::test::TempDir& dir, const std::string& file, const std::vector<Init>& inits,
                       int64_t batch = 1) {
  le::test::GraphParts g;
  for (const Init& i : inits) {
    size_t n = 1;
    for (int64_t d : i.dims) n *= static_cast<size_t>(d);
    const std::vector<unsigned char> zeros(n * (i.type == 10 ? 2 : 4), 0);
    le::hcInit(g.initializers, i.name, i.type, i.dims, zeros.data(), zeros.size());
  }
  g.inputs.push_back(le::test::valueInfo("pooled64", 1, {batch, 64, 32, 32}));
  const Bytes m = le::test::model(g);
  const std::string path = dir / file;
  le::test::writeFile(path, std::string(m.begin(), m.end()));
  return path;
}

std::string resolveReason(const std::vector<Init>& inits) {
  le::TensorShapes shapes;
  for (const Init& i : inits) shapes[i.name] = i.dims;
  le::M4bNames names;
  std::string reason;
  EXPECT_FALSE(le::m4bResolve(shapes, names, reason));
  return reason;
}

TEST(ConvModel, ResolvesTheFixedTableAndTheDriftingTensorsByShape) {
  le::test::TempDir dir;
  std::vector<Init> inits = m4bInitializers();
  inits[inits.size() - 4].name = "onnx::Conv_595";
  inits[inits.size() - 3].name = "onnx::Conv_596";
  const std::string path = writeModel(dir, "m4b.onnx", inits, 4);
  EXPECT_TRUE(le::ConvBackend::graphSupported(path));
  le::M4bNames names;
  std::string reason;
  ASSERT_TRUE(le::m4bResolve(le::readTensorShapes(path), names, reason)) << reason;
  EXPECT_EQ(names.preWeight, "onnx::Conv_595");
  EXPECT_EQ(names.preBias, "onnx::Conv_596");
  EXPECT_EQ(names.grid32, "onnx::Sub_316");
  EXPECT_EQ(names.basis, "onnx::MatMul_338");
  const le::OnnxModel model = le::loadOnnx(path);
  EXPECT_EQ(model.batch, 4);
  EXPECT_EQ(model.get("s.feather").data.size(), 256u * 208u);
  EXPECT_THROW(
      {
        try {
          model.get("s.nothing");
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "onnx: missing initializer s.nothing");
          throw;
        }
      },
      std::runtime_error);
}

TEST(ConvModel, RefusesEveryOtherTopologyWithItsReason) {
  std::vector<Init> v = m4bInitializers();
  v[28].dims = {3, 32, 1, 1};  // s.tile.3.weight
  EXPECT_EQ(resolveReason(v), "shape s.tile.3.weight is (3,32,1,1), expected (3,32,3,3)");
  v = m4bInitializers();
  v.erase(v.begin() + 2);
  EXPECT_EQ(resolveReason(v), "missing s.e1.conv.weight");
  v = m4bInitializers();
  v.push_back({"onnx::MatMul_339", {64, 196608}});
  EXPECT_EQ(resolveReason(v), "basis (64,196608) absent or ambiguous");
  v = m4bInitializers();
  v.pop_back();
  EXPECT_EQ(resolveReason(v), "basis (64,196608) absent or ambiguous");
  v = m4bInitializers();
  v.push_back({"grid_b", {1, 1, 32, 32, 2}});
  EXPECT_EQ(resolveReason(v), "grid32 (1,1,32,32,2) absent or ambiguous");
  v = m4bInitializers();
  v.push_back({"pre_b", {96, 85, 1, 1}});
  EXPECT_EQ(resolveReason(v), "pre weight (96,85,1,1) absent or ambiguous");
  v = m4bInitializers();
  v[v.size() - 4].name = "pre.weight";
  EXPECT_EQ(resolveReason(v), "pre weight name carries no SSA counter");
  v = m4bInitializers();
  v[v.size() - 3].dims = {95};
  EXPECT_EQ(resolveReason(v), "pre bias onnx::Conv_314 absent or not (96)");
  v = m4bInitializers();
  v[v.size() - 3].name = "onnx::Conv_315";
  EXPECT_EQ(resolveReason(v), "pre bias onnx::Conv_314 absent or not (96)");
}

void expectLoadError(const std::string& path, const std::string& message) {
  EXPECT_FALSE(le::ConvBackend::graphSupported(path)) << path;
  try {
    le::loadOnnx(path);
    ADD_FAILURE() << "loaded " << path;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), message);
  }
}

TEST(ConvModel, LoadFailuresNameWhatIsWrong) {
  le::test::TempDir dir;
  expectLoadError(dir / "none.onnx", "le_conv: cannot open " + (dir / "none.onnx"));
  std::vector<Init> v = m4bInitializers();
  v[5].type = 10;  // float16
  expectLoadError(writeModel(dir, "f16.onnx", v), "onnx: non-fp32 initializer s.e2.conv.bias");
  // Dims that would need exabytes: refused by the size check, nothing allocated.
  le::test::GraphParts g;
  const float one = 1.0f;
  le::hcInit(g.initializers, "huge", 1, {1LL << 40, 1LL << 20}, &one, sizeof one);
  g.inputs.push_back(le::test::valueInfo("pooled64", 1, {1, 64, 32, 32}));
  Bytes m = le::test::model(g);
  le::test::writeFile(dir / "huge.onnx", std::string(m.begin(), m.end()));
  expectLoadError(dir / "huge.onnx", "onnx: raw size mismatch huge");
  // An initializer without any data field.
  Bytes tensor;
  le::gsPutKey(tensor, le::onnx_field::kTensorDataType, 0);
  le::gsPutVarint(tensor, 1);
  le::gsPutString(tensor, le::onnx_field::kTensorName, "empty");
  le::test::GraphParts g2;
  le::gsPutBytes(g2.initializers, le::onnx_field::kGraphInitializer, tensor.data(), tensor.size());
  g2.inputs.push_back(le::test::valueInfo("pooled64", 1, {1, 64, 32, 32}));
  m = le::test::model(g2);
  le::test::writeFile(dir / "nodata.onnx", std::string(m.begin(), m.end()));
  expectLoadError(dir / "nodata.onnx", "onnx: no data for empty");
  // No pooled64 (a 0-byte file), or one with a dynamic or absurd batch.
  le::test::writeFile(dir / "empty.onnx", "");
  expectLoadError(dir / "empty.onnx", "le_conv: pooled64 input not found");
  expectLoadError(writeModel(dir, "dyn.onnx", {{"x", {2}}}, -1), "le_conv: pooled64 input not found");
  expectLoadError(writeModel(dir, "vast.onnx", {{"x", {2}}}, 1LL << 40), "le_conv: pooled64 input not found");
  // Not a regular file: a directory claims a size of LONG_MAX, a FIFO would
  // block; both are refused before anything is read or allocated.
  expectLoadError(dir.path(), "le_conv: cannot open " + dir.path());
  ASSERT_EQ(mkfifo((dir / "fifo.onnx").c_str(), 0600), 0);
  expectLoadError(dir / "fifo.onnx", "le_conv: cannot open " + (dir / "fifo.onnx"));
  // Cut anywhere inside a wire field.
  const std::string good = writeModel(dir, "good.onnx", {{"x", {2}}});
  const std::string bytes = le::test::readWhole(good);
  le::test::writeFile(dir / "cut.onnx", bytes.substr(0, bytes.size() - 30));
  expectLoadError(dir / "cut.onnx", "onnx: truncated");
}

TEST(ConvModel, EngineRefusesUnsupportedGraphsAndBadCounts) {
  le::test::TempDir dir;
  std::vector<Init> v = m4bInitializers();
  v.push_back({"onnx::MatMul_400", {64, 196608}});
  try {
    le::ConvBackend::create(writeModel(dir, "two_basis.onnx", v), 1);
    ADD_FAILURE() << "created";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "le_conv: this graph is not the fused m4b topology this kernel implements (basis (64,196608) "
              "absent or ambiguous) \xE2\x80\x94 use ORT for it");
  }
  auto engine = le::ConvBackend::create(writeModel(dir, "zeros.onnx", m4bInitializers(), 2), 2);
  EXPECT_EQ(engine->batch(), 2);
  const uint16_t* rows[3] = {};
  float kp[63 * 3] = {};
  for (int n : {0, 3, -1}) {
    try {
      engine->render(rows, rows, kp, kp, n, nullptr);
      ADD_FAILURE() << n;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "le_conv: bad n");
    }
  }
}

}  // namespace
