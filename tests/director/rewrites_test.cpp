// The load-time rewrites on director-shaped graphs (written by make_graphs.py
// into $LE_DIRECTOR_GRAPHS) and on small hand-built models.
#include "director/graph_rewrites.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "onnx_builder.h"
#include "ort_harness.h"

namespace le {
namespace {

namespace of = onnx_field;

Bytes graph(const std::string& name) {
  const char* dir = std::getenv("LE_DIRECTOR_GRAPHS");
  if (!dir) throw std::runtime_error("LE_DIRECTOR_GRAPHS is not set");
  return test::readModel(std::string(dir) + "/" + name + ".onnx");
}

struct NodeView {
  std::string op, name, domain;
  std::vector<std::string> inputs, outputs;
  size_t attributes = 0;
};

std::vector<NodeView> nodesOf(const Bytes& model) {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(model), nodes, inits, inputs);
  std::vector<NodeView> out;
  for (const GsNodeInfo& n : nodes) {
    NodeView v{n.opType, gsFirstStr(hcPayload(n.raw), of::kNodeName),
               gsFirstStr(hcPayload(n.raw), of::kNodeDomain), n.inputs, n.outputs, 0};
    gsForEachAttr(hcPayload(n.raw), [&](const GsAttrView&) { ++v.attributes; });
    out.push_back(std::move(v));
  }
  return out;
}

size_t countOp(const Bytes& model, const std::string& op) {
  const auto nodes = nodesOf(model);
  return static_cast<size_t>(std::count_if(nodes.begin(), nodes.end(), [&](const NodeView& n) { return n.op == op; }));
}

const NodeView* findNode(const std::vector<NodeView>& nodes, const std::string& name) {
  for (const NodeView& n : nodes)
    if (n.name == name) return &n;
  return nullptr;
}

size_t corvaneImports(const Bytes& model) {
  std::vector<std::string> imports;
  gsAllStr(gsSliceOf(model), of::kModelOpsetImport, imports);
  size_t n = 0;
  for (const std::string& i : imports)
    n += gsFirstStr(GsSlice{reinterpret_cast<const unsigned char*>(i.data()), i.size()}, of::kOpsetDomain) ==
         kCorvaneDomain;
  return n;
}

std::vector<std::string> graphValueNames(const Bytes& model, uint32_t field) {
  std::vector<std::string> out;
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f))
    if (f.number == field && f.wireType == 2) out.push_back(gsFirstStr(f.payload(), of::kValueInfoName));
  return out;
}

// Applies a rewrite twice: the second pass must find nothing and change no byte.
template <typename Rewrite>
size_t applyIdempotent(Bytes& model, Rewrite rewrite) {
  const size_t n = rewrite(model);
  const Bytes once = model;
  EXPECT_EQ(rewrite(model), 0u);
  EXPECT_EQ(model, once);
  return n;
}

template <typename Rewrite>
void expectUntouched(const std::string& name, Rewrite rewrite) {
  Bytes m = graph(name);
  const Bytes before = m;
  EXPECT_EQ(rewrite(m), 0u) << name;
  EXPECT_EQ(m, before) << name;
}

// --- GridSample -> GridSampleFast -------------------------------------------

TEST(GridSampleRewrite, DirectorSamplerBecomesTheCustomOp) {
  Bytes m = graph("director_b1");
  EXPECT_FALSE(graphHasBakedGridSampleFast(m));
  EXPECT_EQ(applyIdempotent(m, rewriteGridSampleToFast), 1u);
  EXPECT_TRUE(graphHasBakedGridSampleFast(m));
  const auto nodes = nodesOf(m);
  const NodeView* n = findNode(nodes, "/warp/GridSample");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->op, "GridSampleFast");
  EXPECT_EQ(n->domain, "com.corvane");
  EXPECT_EQ(n->attributes, 0u);
  EXPECT_EQ(n->inputs, (std::vector<std::string>{"cone_tip", "grid"}));
  EXPECT_EQ(n->outputs, (std::vector<std::string>{"warp_sample"}));
  EXPECT_EQ(corvaneImports(m), 1u);
  EXPECT_EQ(countOp(m, "GridSample"), 0u);
}

TEST(GridSampleRewrite, OnlyBilinearBorderAlignZeroQualifies) {
  for (const char* name : {"gs_zeros", "gs_align1", "gs_nomode"}) expectUntouched(name, rewriteGridSampleToFast);
  Bytes linear = graph("gs_linear");  // the opset-20 spelling of bilinear
  EXPECT_EQ(rewriteGridSampleToFast(linear), 1u);
  Bytes imported = graph("with_import");
  EXPECT_EQ(rewriteGridSampleToFast(imported), 1u);
  EXPECT_EQ(corvaneImports(imported), 1u);
  Bytes two = graph("gs_two_tip");
  EXPECT_EQ(rewriteGridSampleToFast(two), 2u);
}

TEST(GridSampleRewrite, ForeignDomainIsLeftAlone) {
  test::GraphParts p;
  Bytes attrs;
  hcAttrS(attrs, "mode", "bilinear");
  hcAttrS(attrs, "padding_mode", "border");
  p.nodes.push_back(test::node("GridSample", {"x", "g"}, {"y"}, "a", attrs, "com.example"));
  p.nodes.push_back(test::node("GridSample", {"x", "g"}, {"z"}, "b", attrs, "ai.onnx"));
  Bytes m = test::model(p);
  EXPECT_EQ(rewriteGridSampleToFast(m), 1u);
  const auto nodes = nodesOf(m);
  EXPECT_EQ(nodes[0].op, "GridSample");
  EXPECT_EQ(nodes[1].op, "GridSampleFast");
  EXPECT_EQ(nodes[1].domain, "com.corvane");
}

// --- student blend ----------------------------------------------------------

TEST(StudentBlend, NamedMatMulBecomesGemm) {
  Bytes m = graph("director_b1");
  EXPECT_EQ(applyIdempotent(m, normaliseStudentBlend), 1u);
  const auto nodes = nodesOf(m);
  const NodeView* n = findNode(nodes, "/s2/blend");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->op, "Gemm");
  EXPECT_EQ(n->attributes, 0u);
  EXPECT_EQ(n->inputs.size(), 2u);
  EXPECT_EQ(corvaneImports(m), 0u);
  expectUntouched("blend_renamed", normaliseStudentBlend);
}

// --- head cubic Resize --------------------------------------------------------

TEST(HeadCubic, TapsSumToOneAndMirror) {
  for (double t : {0.25, 0.5, 0.75}) {
    const auto w = hcTaps(t, -0.75);
    EXPECT_NEAR(w[0] + w[1] + w[2] + w[3], 1.0, 1e-15);
  }
  const auto q = hcTaps(0.25, -0.75), r = hcTaps(0.75, -0.75);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(q[k], r[3 - k], 1e-15);
  // Keys with a = -0.75 at t = 0.5 (weights already sum to 1).
  const auto h = hcTaps(0.5, -0.75);
  EXPECT_NEAR(h[0], -0.09375, 1e-15);
  EXPECT_NEAR(h[1], 0.59375, 1e-15);
  // t = 0.25, a = -0.75: w(1.25), w(0.25), w(0.75), w(1.75).
  EXPECT_NEAR(q[0], -0.10546875, 1e-15);
  EXPECT_NEAR(q[1], 0.87890625, 1e-15);
  EXPECT_NEAR(q[2], 0.26171875, 1e-15);
  EXPECT_NEAR(q[3], -0.03515625, 1e-15);
}

// The initializer of `name` as floats or int64s.
GsSlice initializer(const Bytes& m, const std::string& name) {
  GsReader r(gsGraphOf(m));
  GsField f;
  while (r.next(f))
    if (f.number == of::kGraphInitializer && gsFirstStr(f.payload(), of::kTensorName) == name) return f.payload();
  return {};
}

TEST(HeadCubic, ResizeBecomesPadConvDepthToSpace) {
  Bytes m = graph("director_b1");
  const auto before = nodesOf(m);
  size_t index = 0;
  while (before[index].op != "Resize" || before[index].name != "/head/Resize") ++index;
  const std::string tag = "rz" + std::to_string(index);
  EXPECT_EQ(applyIdempotent(m, rewriteHeadCubicResize), 1u);
  const auto nodes = nodesOf(m);
  ASSERT_EQ(nodes.size(), before.size() + 2);
  EXPECT_EQ(nodes[index].op, "Pad");
  EXPECT_EQ(nodes[index].name, "/head/Resize/pad");
  EXPECT_EQ(nodes[index].inputs, (std::vector<std::string>{before[index].inputs[0], tag + "_pads"}));
  EXPECT_EQ(nodes[index + 1].op, "Conv");
  EXPECT_EQ(nodes[index + 1].name, "/head/Resize/dwconv");
  EXPECT_EQ(nodes[index + 1].attributes, 5u);
  EXPECT_EQ(nodes[index + 2].op, "DepthToSpace");
  EXPECT_EQ(nodes[index + 2].outputs, before[index].outputs);
  EXPECT_EQ(nodes[index + 3].name, before[index + 1].name);  // the rest keeps its order

  std::vector<int64_t> dims;
  const GsSlice pads = initializer(m, tag + "_pads");
  hcTensorDims(pads, dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{8}));
  const GsSlice w = initializer(m, tag + "_dw_w");
  dims.clear();
  hcTensorDims(w, dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{12, 1, 5, 5}));  // C = 3
  const std::string raw = gsFirstStr(w, of::kTensorRawData);
  ASSERT_EQ(raw.size(), 12u * 25 * 4);
  std::vector<float> k(12 * 25);
  std::memcpy(k.data(), raw.data(), raw.size());
  const auto even = hcTaps(0.75, -0.75), odd = hcTaps(0.25, -0.75);
  for (int c = 0; c < 3; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        const float* f = &k[static_cast<size_t>(4 * c + 2 * py + px) * 25];
        double sum = 0;
        for (int ky = 0; ky < 5; ++ky)
          for (int kx = 0; kx < 5; ++kx) {
            const double ry = py ? (ky >= 1 ? odd[ky - 1] : 0) : (ky <= 3 ? even[ky] : 0);
            const double rx = px ? (kx >= 1 ? odd[kx - 1] : 0) : (kx <= 3 ? even[kx] : 0);
            EXPECT_EQ(f[ky * 5 + kx], static_cast<float>(ry * rx));
            sum += f[ky * 5 + kx];
          }
        EXPECT_NEAR(sum, 1.0, 1e-6);
      }
}

TEST(HeadCubic, QualifyingAndRefusedVariants) {
  expectUntouched("resize_linear", rewriteHeadCubicResize);
  expectUntouched("resize_noconv", rewriteHeadCubicResize);
  Bytes constant = graph("resize_const_scales");
  EXPECT_EQ(rewriteHeadCubicResize(constant), 1u);
  Bytes unnamed = graph("resize_unnamed");
  EXPECT_EQ(rewriteHeadCubicResize(unnamed), 1u);
  const auto nodes = nodesOf(unnamed);
  EXPECT_NE(findNode(nodes, "/Resize/dwconv"), nullptr);
  EXPECT_NE(findNode(nodes, "/Resize/d2s"), nullptr);
}

// --- warp block ---------------------------------------------------------------

TEST(WarpBlock, DirectorBlockCollapsesIntoOneNode) {
  Bytes m = graph("director_b1");
  WarpBlock wb;
  std::string reason;
  const size_t found = findWarpBlock(m, &wb, reason);
  ASSERT_GT(found, 0u) << reason;
  EXPECT_EQ(wb.grid, "grid");
  EXPECT_EQ(wb.exit, "warped");
  const size_t before = nodesOf(m).size();
  EXPECT_EQ(rewriteWarpBlockToCustomOp(m, reason), found) << reason;
  const auto nodes = nodesOf(m);
  EXPECT_EQ(nodes.size(), before - found + 1);
  const NodeView* n = findNode(nodes, "le_warp_director");
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->op, "WarpDirector");
  EXPECT_EQ(n->domain, "com.corvane");
  EXPECT_EQ(n->inputs, (std::vector<std::string>{"P_rgb", "grid"}));
  EXPECT_EQ(n->outputs, (std::vector<std::string>{"warped"}));
  // The cone, the sampler, the recombination and the curvature weights are gone.
  for (const char* op : {"GridSample", "Pad", "Floor", "Slice"}) EXPECT_EQ(countOp(m, op), 0u) << op;
  EXPECT_EQ(corvaneImports(m), 1u);
  const Bytes once = m;
  EXPECT_EQ(rewriteWarpBlockToCustomOp(m, reason), 0u);
  EXPECT_EQ(reason, "not one Concat consuming P_rgb");
  EXPECT_EQ(m, once);
}

TEST(WarpBlock, AcceptsGridSampleFastAndFactoredBlends) {
  Bytes fast = graph("director_b1");
  ASSERT_EQ(rewriteGridSampleToFast(fast), 1u);
  std::string reason;
  EXPECT_GT(rewriteWarpBlockToCustomOp(fast, reason), 0u) << reason;
  EXPECT_EQ(corvaneImports(fast), 1u);
  Bytes factored = graph("warp_factored");
  EXPECT_GT(rewriteWarpBlockToCustomOp(factored, reason), 0u) << reason;
  // The cone's second difference is still read elsewhere, so its Conv stays.
  Bytes escape = graph("cone_escape");
  EXPECT_GT(rewriteWarpBlockToCustomOp(escape, reason), 0u) << reason;
  EXPECT_EQ(countOp(escape, "Conv") , countOp(graph("cone_escape"), "Conv") - 2);
}

void expectWarpRefusal(Bytes m, const std::string& why) {
  const Bytes before = m;
  std::string reason;
  WarpBlock wb;
  EXPECT_EQ(findWarpBlock(m, &wb, reason), 0u);
  EXPECT_EQ(reason, why);
  reason.clear();
  EXPECT_EQ(rewriteWarpBlockToCustomOp(m, reason), 0u);
  EXPECT_EQ(reason, why);
  EXPECT_EQ(m, before);
}

TEST(WarpBlock, RefusalsOnDirectorVariants) {
  expectWarpRefusal(graph("gs_two_tip"), "two GridSamples on the cone's tip");
  expectWarpRefusal(graph("gs_zeros"), "the fused GridSample is not bilinear/border/align_corners=0");
  expectWarpRefusal(graph("gs_align1"), "the fused GridSample is not bilinear/border/align_corners=0");
  expectWarpRefusal(graph("warp_extra_exit"), "the recombination has 2 exits, not 1");
  expectWarpRefusal(graph("featsynth_b1"), "not one Concat consuming P_rgb");
  std::string reason;
  EXPECT_EQ(findWarpBlock(graph("director_b1"), nullptr, reason), 0u);
  EXPECT_EQ(reason, "no out param");
  expectWarpRefusal(test::bytesOf({0x08, 0x08}), "no graph");
}

// A hand-built cone: P_rgb -> Concat(P_rgb, d) -> sampler -> exit, where the
// caller picks the sampler node.
Bytes tinyWarp(const Bytes& sampler, bool gridFromInput = false) {
  test::GraphParts p;
  p.nodes.push_back(test::node("Neg", {"P_rgb"}, {"d"}, "neg"));
  p.nodes.push_back(test::node("Concat", {"P_rgb", "d"}, {"tip"}, "cat"));
  if (!gridFromInput) p.nodes.push_back(test::node("Identity", {"g_in"}, {"g"}, "grid"));
  p.nodes.push_back(sampler);
  p.inputs.push_back(test::valueInfo("P_rgb", kOnnxFloat, {1, 3, 4, 4}));
  p.inputs.push_back(test::valueInfo(gridFromInput ? "g" : "g_in", kOnnxFloat, {1, 4, 4, 2}));
  p.outputs.push_back(test::valueInfo("s", kOnnxFloat, {1, 6, 4, 4}));
  return test::model(p);
}

TEST(WarpBlock, RefusalsOnHandBuiltBlocks) {
  Bytes attrs;
  hcAttrS(attrs, "mode", "bilinear");
  hcAttrS(attrs, "padding_mode", "border");
  expectWarpRefusal(tinyWarp(test::node("GridSample", {"other", "g"}, {"s"}, "gs", attrs)),
                    "no GridSample consuming 'tip'");
  expectWarpRefusal(tinyWarp(test::node("GridSample", {"tip", "g"}, {}, "gs", attrs)),
                    "the fused GridSample has no output");
  expectWarpRefusal(tinyWarp(test::node("GridSample", {"tip", "g"}, {"s"}, "gs", attrs), true),
                    "the grid has no producer");
  expectWarpRefusal(tinyWarp(test::node("GridSample", {"tip"}, {"s"}, "gs", attrs)), "the grid has no producer");
  // The sample itself leaving the block (as the graph's output) is one exit, but no blend.
  Bytes plain = tinyWarp(test::node("GridSampleFast", {"tip", "g"}, {"s"}, "gs", {}, "com.corvane"));
  std::string reason;
  WarpBlock wb;
  EXPECT_EQ(findWarpBlock(plain, &wb, reason), 0u);
  EXPECT_NE(reason.find("the recombination is not the curvature-corrected blend"), std::string::npos) << reason;
}

// --- source cone --------------------------------------------------------------

TEST(SourceCone, SplitsIntoPrepAndPerFrame) {
  const Bytes m = graph("director_b1");
  std::string boundary, reason;
  EXPECT_EQ(findSourceConeBoundary(m, boundary), 1u);
  EXPECT_EQ(boundary, "cone_tip");
  Bytes prep, perFrame;
  ASSERT_TRUE(buildSourceConePrep(m, boundary, prep, reason)) << reason;
  EXPECT_EQ(graphValueNames(prep, of::kGraphInput), (std::vector<std::string>{"P_rgb"}));
  EXPECT_EQ(graphValueNames(prep, of::kGraphOutput), (std::vector<std::string>{"cone_tip"}));
  for (const NodeView& n : nodesOf(prep))
    EXPECT_TRUE(n.op == "Pad" || n.op == "Conv" || n.op == "Concat" || n.op == "Constant") << n.op;
  EXPECT_EQ(countOp(prep, "Conv"), 3u);

  const int64_t dims[4] = {1, 12, 32, 32};
  ASSERT_TRUE(buildSourceConePerFrame(m, boundary, dims, 4, perFrame, reason)) << reason;
  const auto inputs = graphValueNames(perFrame, of::kGraphInput);
  EXPECT_EQ(std::count(inputs.begin(), inputs.end(), "P_rgb"), 0);
  EXPECT_EQ(inputs.back(), "cone_tip");
  EXPECT_EQ(countOp(perFrame, "Concat"), countOp(m, "Concat") - 1);
  EXPECT_EQ(countOp(perFrame, "Pad"), 0u);
  EXPECT_EQ(graphValueNames(perFrame, of::kGraphOutput), (std::vector<std::string>{"rgb"}));
}

TEST(SourceCone, Refusals) {
  std::string boundary, reason;
  Bytes out;
  EXPECT_FALSE(buildSourceConePrep(graph("cone_escape"), "cone_tip", out, reason));
  EXPECT_EQ(reason.rfind("cone value 'cone_dxx' escapes to ", 0), 0u) << reason;
  EXPECT_FALSE(buildSourceConePerFrame(graph("prgb_outside"), "cone_tip", nullptr, 0, out, reason));
  EXPECT_EQ(reason.rfind("P_rgb is also read outside the cone by ", 0), 0u) << reason;
  EXPECT_FALSE(buildSourceConePrep(graph("featsynth_b1"), "cone_tip", out, reason));
  EXPECT_EQ(reason, "no P_rgb input");
  EXPECT_EQ(findSourceConeBoundary(graph("featsynth_b1"), boundary), 0u);
  EXPECT_FALSE(buildSourceConePrep(test::bytesOf({0x08, 0x01}), "x", out, reason));
  EXPECT_EQ(reason, "no graph");
  EXPECT_FALSE(buildSourceConePrep(graph("director_b1"), "P_rgb", out, reason));
  EXPECT_EQ(reason, "empty cone");

  test::GraphParts p;
  p.nodes.push_back(test::node("Concat", {"P_rgb", "x"}, {"tip"}, "cat"));
  p.nodes.push_back(test::node("Concat", {"P_rgb", "ghost"}, {"tip2"}, "cat2"));
  p.inputs.push_back(test::valueInfo("P_rgb", kOnnxFloat, {1, 3, 4, 4}));
  p.inputs.push_back(test::valueInfo("x", kOnnxFloat, {1, 3, 4, 4}));
  const Bytes m = test::model(p);
  EXPECT_EQ(findSourceConeBoundary(m, boundary), 2u);
  EXPECT_EQ(boundary, "tip2");  // the last one found
  EXPECT_FALSE(buildSourceConePrep(m, "tip", out, reason));
  EXPECT_EQ(reason, "cone reads graph input 'x'");
  EXPECT_FALSE(buildSourceConePrep(m, "tip2", out, reason));
  EXPECT_EQ(reason, "cone leaf 'ghost' has no producer");
}

// --- malformed input ------------------------------------------------------------

TEST(Rewrites, MalformedWireDataRaisesAndLeavesTheModel) {
  const Bytes director = graph("director_b1");
  // Cut the model inside its graph: the graph field's length now overruns.
  Bytes cut(director.begin(), director.begin() + static_cast<long>(director.size() / 2));
  const std::vector<Bytes> bad{cut, test::bytesOf({0x3a, 0x02, 0x0b, 0x00}), test::bytesOf({0x3a, 0x01, 0x80})};
  const std::vector<std::string> messages{"onnx: truncated", "onnx: bad wire type", "onnx: bad varint"};
  for (size_t k = 0; k < bad.size(); ++k) {
    Bytes m = bad[k];
    std::string reason, boundary;
    auto expectError = [&](auto&& fn) {
      try {
        fn();
        ADD_FAILURE() << "no error for case " << k;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), messages[k]);
      }
      EXPECT_EQ(m, bad[k]);
    };
    expectError([&] { rewriteGridSampleToFast(m); });
    expectError([&] { normaliseStudentBlend(m); });
    expectError([&] { rewriteHeadCubicResize(m); });
    expectError([&] { rewriteWarpBlockToCustomOp(m, reason); });
    expectError([&] { findSourceConeBoundary(m, boundary); });
    expectError([&] { graphHasBakedGridSampleFast(m); });
  }
}

}  // namespace
}  // namespace le
