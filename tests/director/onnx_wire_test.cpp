#include "director/onnx_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "onnx_builder.h"

namespace le {
namespace {

using test::bytesOf;
namespace of = onnx_field;

// Reads every field, returning the message of the error that stopped it ("" when none).
std::string readAll(const Bytes& b, std::vector<GsField>* fields = nullptr) {
  GsReader r(gsSliceOf(b));
  GsField f;
  try {
    while (r.next(f))
      if (fields) fields->push_back(f);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::string pbReadAll(const Bytes& b) {
  PbReader r(gsSliceOf(b));
  PbField f;
  try {
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(WireReader, TenByteVarintDecodesAndElevenFail) {
  // Field 1, wire type 0, value 2^64 - 1 in exactly ten bytes.
  Bytes ok = bytesOf({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
  std::vector<GsField> fields;
  EXPECT_EQ(readAll(ok, &fields), "");
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].value, UINT64_MAX);
  EXPECT_EQ(fields[0].rawSize, ok.size());

  Bytes tooLong = bytesOf({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x81, 0x00});
  EXPECT_EQ(readAll(tooLong), "onnx: bad varint");
  EXPECT_EQ(pbReadAll(tooLong), "onnx: bad varint");

  // A ten-byte key works the same way.
  Bytes longKey = bytesOf({0x88, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0x05});
  fields.clear();
  EXPECT_EQ(readAll(longKey, &fields), "");
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].number, 1u);
  EXPECT_EQ(fields[0].value, 5u);
}

TEST(WireReader, RunningOutInsideAVarintIsBadVarint) {
  EXPECT_EQ(readAll(bytesOf({0x08, 0x80})), "onnx: bad varint");  // value stops mid-varint
  EXPECT_EQ(readAll(bytesOf({0x08})), "onnx: bad varint");        // value missing
  EXPECT_EQ(readAll(bytesOf({0x88})), "onnx: bad varint");        // key stops mid-varint
  EXPECT_EQ(readAll(bytesOf({0x0a, 0x83})), "onnx: bad varint");  // length stops mid-varint
  EXPECT_EQ(pbReadAll(bytesOf({0x0a, 0x83})), "onnx: bad varint");
}

TEST(WireReader, LengthReachingExactlyTheEndIsAccepted) {
  Bytes exact = bytesOf({0x0a, 0x03, 'a', 'b', 'c'});
  std::vector<GsField> fields;
  EXPECT_EQ(readAll(exact, &fields), "");
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fields[0].data), fields[0].size), "abc");
  EXPECT_EQ(fields[0].raw, exact.data());
  EXPECT_EQ(fields[0].rawSize, 5u);

  EXPECT_EQ(readAll(bytesOf({0x0a, 0x04, 'a', 'b', 'c'})), "onnx: truncated");
  EXPECT_EQ(pbReadAll(bytesOf({0x0a, 0x04, 'a', 'b', 'c'})), "onnx: truncated");
  // A length near 2^64 must not wrap the bounds check around.
  EXPECT_EQ(readAll(bytesOf({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01, 'a'})),
            "onnx: truncated");
}

TEST(WireReader, FixedWidthTypesAreSkippedAndGroupsRefused) {
  Bytes b = bytesOf({0x09, 1, 2, 3, 4, 5, 6, 7, 8,  // field 1, wire type 1
                     0x15, 1, 2, 3, 4,              // field 2, wire type 5
                     0x18, 0x07});                  // field 3, wire type 0
  std::vector<GsField> fields;
  EXPECT_EQ(readAll(b, &fields), "");
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].wireType, 1u);
  EXPECT_EQ(fields[0].rawSize, 9u);
  EXPECT_EQ(fields[1].wireType, 5u);
  EXPECT_EQ(fields[1].rawSize, 5u);
  EXPECT_EQ(fields[2].value, 7u);

  EXPECT_EQ(readAll(bytesOf({0x09, 1, 2, 3, 4, 5, 6, 7})), "onnx: truncated");
  EXPECT_EQ(readAll(bytesOf({0x15, 1, 2, 3})), "onnx: truncated");
  for (int wt : {3, 4, 6, 7}) {
    EXPECT_EQ(readAll(bytesOf({0x08 | wt, 0, 0, 0, 0, 0, 0, 0, 0})), "onnx: bad wire type") << wt;
    EXPECT_EQ(pbReadAll(bytesOf({0x08 | wt})), "onnx: bad wire type") << wt;
  }
}

TEST(WireReader, FieldNumberIsTheKeyShiftedAndTruncatedTo32Bits) {
  // key = (2^32 + 9) << 3 | 2: the field number keeps its low 32 bits.
  Bytes b;
  gsPutVarint(b, ((uint64_t{1} << 32) + 9) << 3 | 2);
  b.push_back(0);
  std::vector<GsField> fields;
  EXPECT_EQ(readAll(b, &fields), "");
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0].number, 9u);
  EXPECT_EQ(fields[0].size, 0u);
}

TEST(WireStrings, FirstAllAndPayload) {
  Bytes b;
  gsPutKey(b, 4, 0);
  gsPutVarint(b, 1);  // a varint field of the same number is not a string
  gsPutString(b, 4, "");
  gsPutString(b, 4, "x");
  gsPutString(b, 5, "y");
  EXPECT_EQ(gsFirstStr(gsSliceOf(b), 4), "");
  EXPECT_EQ(gsFirstStr(gsSliceOf(b), 5), "y");
  EXPECT_EQ(gsFirstStr(gsSliceOf(b), 6), "");
  std::vector<std::string> all{"kept"};
  gsAllStr(gsSliceOf(b), 4, all);
  EXPECT_EQ(all, (std::vector<std::string>{"kept", "", "x"}));

  Bytes wrapped;
  gsPutString(wrapped, 1, "inner");
  const GsSlice p = hcPayload(gsSliceOf(wrapped));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data), p.size), "inner");
  EXPECT_TRUE(hcPayload(gsSliceOf(bytesOf({0x08, 0x01}))).empty());
  EXPECT_TRUE(hcPayload(GsSlice{}).empty());
}

TEST(WireTensor, DimsPackedUnpackedAndPartial) {
  Bytes t;
  gsPutKey(t, of::kTensorDims, 0);
  gsPutVarint(t, 4);
  Bytes packed;
  gsPutVarint(packed, 300);
  gsPutVarint(packed, 1);
  gsPutBytes(t, of::kTensorDims, packed.data(), packed.size());
  gsPutKey(t, of::kTensorDataType, 0);
  gsPutVarint(t, 1);
  std::vector<int64_t> dims;
  hcTensorDims(gsSliceOf(t), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{4, 300, 1}));

  // A packed run that ends inside a varint yields the partial value.
  Bytes partial;
  const Bytes run = bytesOf({0x05, 0xac, 0x82});
  gsPutBytes(partial, of::kTensorDims, run.data(), run.size());
  dims.clear();
  hcTensorDims(gsSliceOf(partial), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{5, 0x2c | (0x02 << 7)}));

  // Negative dims travel as ten-byte two's complement.
  Bytes neg;
  gsPutKey(neg, of::kTensorDims, 0);
  gsPutVarint(neg, static_cast<uint64_t>(int64_t{-1}));
  EXPECT_EQ(neg.size(), 11u);
  dims.clear();
  hcTensorDims(gsSliceOf(neg), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{-1}));
}

TEST(WireAttrs, ResizeAttributesAndDefaults) {
  Bytes n;
  hcAttrS(n, "mode", "cubic");
  hcAttrS(n, "coordinate_transformation_mode", "half_pixel");
  hcAttrS(n, "keep_aspect_ratio_policy", "stretch");
  hcAttrI(n, "exclude_outside", 1);
  hcAttrI(n, "antialias", 0);
  {
    Bytes a;  // cubic_coeff_a as a fixed32 float
    gsPutString(a, of::kAttrName, "cubic_coeff_a");
    gsPutKey(a, of::kAttrF, 5);
    const float f = -0.5f;
    unsigned char fb[4];
    std::memcpy(fb, &f, 4);
    a.insert(a.end(), fb, fb + 4);
    gsPutBytes(n, of::kNodeAttribute, a.data(), a.size());
  }
  {
    Bytes a;  // packed ints
    gsPutString(a, of::kAttrName, "axes");
    const Bytes run = bytesOf({2, 3});
    gsPutBytes(a, of::kAttrInts, run.data(), run.size());
    gsPutBytes(n, of::kNodeAttribute, a.data(), a.size());
  }
  hcAttrS(n, "unrelated", "cubic");
  const HcAttrs at = hcReadAttrs(gsSliceOf(n));
  EXPECT_EQ(at.mode, "cubic");
  EXPECT_EQ(at.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(at.keepAspectRatioPolicy, "stretch");
  EXPECT_TRUE(at.excludeOutside);
  EXPECT_FALSE(at.antialias);
  EXPECT_TRUE(at.hasCubicCoeffA);
  EXPECT_EQ(at.cubicCoeffA, -0.5f);
  EXPECT_TRUE(at.hasAxes);

  const HcAttrs none = hcReadAttrs(GsSlice{});
  EXPECT_EQ(none.mode, "");
  EXPECT_FALSE(none.hasCubicCoeffA);
  EXPECT_FALSE(none.hasAxes);
  EXPECT_EQ(none.cubicCoeffA, -0.75f);

  // An attribute named "mode" with an int and no string does not set the mode.
  Bytes wrongType;
  hcAttrI(wrongType, "mode", 3);
  Bytes unpackedAxes;
  const int64_t axes[2] = {2, 3};
  hcAttrIs(unpackedAxes, "axes", axes, 2);
  EXPECT_EQ(hcReadAttrs(gsSliceOf(wrongType)).mode, "");
  EXPECT_TRUE(hcReadAttrs(gsSliceOf(unpackedAxes)).hasAxes);
}

TEST(WireWriters, AttributeAndInitializerLayouts) {
  Bytes a;
  hcAttrI(a, "group", 3);
  // field 5 { name "group", i 3, type 2 }: type carries the two-byte key A0 01.
  EXPECT_EQ(a, bytesOf({0x2a, 0x0c, 0x0a, 0x05, 'g', 'r', 'o', 'u', 'p', 0x18, 0x03, 0xa0, 0x01, 0x02}));

  Bytes is;
  const int64_t v[2] = {1, -1};
  hcAttrIs(is, "p", v, 2);
  std::vector<GsField> f;
  const Bytes attr(is.begin() + 2, is.end());
  ASSERT_EQ(readAll(attr, &f), "");
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[1].number, of::kAttrInts);
  EXPECT_EQ(f[1].wireType, 0u);
  EXPECT_EQ(f[2].value, UINT64_MAX);
  EXPECT_EQ(f[3].number, of::kAttrType);
  EXPECT_EQ(f[3].value, 7u);

  Bytes s;
  hcAttrS(s, "mode", "edge");
  EXPECT_EQ(s, bytesOf({0x2a, 0x0f, 0x0a, 0x04, 'm', 'o', 'd', 'e', 0x22, 0x04, 'e', 'd', 'g', 'e',
                        0xa0, 0x01, 0x03}));

  Bytes init;
  const int64_t data[2] = {7, 8};
  hcInit(init, "w", kOnnxInt64, {2, 1}, data, sizeof data);
  f.clear();
  ASSERT_EQ(readAll(init, &f), "");
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].number, of::kGraphInitializer);
  std::vector<GsField> t;
  const Bytes tensor(f[0].data, f[0].data + f[0].size);
  ASSERT_EQ(readAll(tensor, &t), "");
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].number, of::kTensorDims);
  EXPECT_EQ(t[1].value, 1u);
  EXPECT_EQ(t[2].number, of::kTensorDataType);
  EXPECT_EQ(t[2].value, 7u);
  EXPECT_EQ(t[3].number, of::kTensorName);
  EXPECT_EQ(t[4].number, of::kTensorRawData);
  EXPECT_EQ(t[4].size, 16u);
  EXPECT_EQ(std::memcmp(t[4].data, data, 16), 0);

  Bytes node;
  hcNode(node, "Pad", {"x", "p"}, "y", "n", s);
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(gsSliceOf(node), nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].opType, "Pad");
  EXPECT_EQ(nodes[0].inputs, (std::vector<std::string>{"x", "p"}));
  EXPECT_EQ(nodes[0].outputs, (std::vector<std::string>{"y"}));
  EXPECT_EQ(gsFirstStr(hcPayload(nodes[0].raw), of::kNodeDomain), "");
  EXPECT_EQ(hcReadAttrs(hcPayload(nodes[0].raw)).mode, "edge");
}

// A three-node graph: A reads P_rgb, B reads x, C reads A's and B's outputs.
test::GraphParts threeNodes() {
  test::GraphParts p;
  p.nodes.push_back(test::node("Relu", {"P_rgb"}, {"a"}, "A"));
  p.nodes.push_back(test::node("Relu", {"x"}, {"b"}, "B"));
  p.nodes.push_back(test::node("Add", {"a", "b"}, {"c"}, "C"));
  const float one = 1.f;
  hcInit(p.initializers, "w", kOnnxFloat, {1}, &one, 4);
  p.inputs.push_back(test::valueInfo("P_rgb", kOnnxFloat, {1, 3, 4, 4}));
  p.inputs.push_back(test::valueInfo("x", kOnnxFloat, {1, 3, 4, 4}));
  p.outputs.push_back(test::valueInfo("c", kOnnxFloat, {1, 3, 4, 4}));
  return p;
}

struct GraphSummary {
  std::vector<std::string> nodes, inputs, outputs;
};

GraphSummary summarise(const Bytes& model) {
  GraphSummary s;
  GsReader r(gsGraphOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kGraphNode) s.nodes.push_back(gsFirstStr(f.payload(), of::kNodeName));
    if (f.number == of::kGraphInput) s.inputs.push_back(gsFirstStr(f.payload(), of::kValueInfoName));
    if (f.number == of::kGraphOutput) s.outputs.push_back(gsFirstStr(f.payload(), of::kValueInfoName));
  }
  return s;
}

TEST(WireGraph, ReadGraphCollectsNodesInitializersAndInputs) {
  const Bytes m = test::model(threeNodes());
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(m), nodes, inits, inputs);
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[2].opType, "Add");
  EXPECT_EQ(nodes[2].inputs, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inits, (std::unordered_set<std::string>{"w"}));
  EXPECT_EQ(inputs, (std::unordered_set<std::string>{"P_rgb", "x"}));
  // The raw span is the whole node field, key included.
  EXPECT_EQ(nodes[0].raw.data[0], 0x0a);
  EXPECT_TRUE(gsGraphOf(bytesOf({0x08, 0x01})).empty());
}

TEST(WireRebuild, EmptyEditReproducesAMinimalModel) {
  const Bytes m = test::model(threeNodes());
  Bytes out;
  gsRebuild(m, GsGraphEdit{}, out);
  EXPECT_EQ(out, m);

  // A graph length written with redundant continuation bytes comes back minimal.
  const GsSlice g = gsGraphOf(m);
  ASSERT_LT(g.size, 1u << 14);
  Bytes padded = bytesOf({0x08, 0x08, 0x3a});
  padded.push_back(static_cast<unsigned char>((g.size & 0x7f) | 0x80));
  padded.push_back(static_cast<unsigned char>(((g.size >> 7) & 0x7f) | 0x80));
  padded.push_back(0);
  padded.insert(padded.end(), g.data, g.data + g.size);
  Bytes m2 = bytesOf({0x08, 0x08});
  gsPutBytes(m2, of::kModelGraph, g.data, g.size);
  gsRebuild(padded, GsGraphEdit{}, out);
  EXPECT_EQ(out, m2);
}

TEST(WireRebuild, AddedValueDims) {
  const Bytes m = test::model(threeNodes());
  const std::string name = "cone_tip";
  const int64_t dims[3] = {1, 0, 64};
  GsGraphEdit e;
  e.valueName = &name;
  e.dims = dims;
  e.dimsCount = 3;
  e.targetField = of::kGraphOutput;
  Bytes out;
  gsRebuild(m, e, out);
  EXPECT_EQ(summarise(out).outputs, (std::vector<std::string>{"c", "cone_tip"}));
  // The new output equals a ValueInfo with dims 1, "le_hoist_d1", 64.
  Bytes expected;
  {
    Bytes shape;
    for (int k = 0; k < 3; ++k) {
      Bytes dim;
      if (k == 1) {
        gsPutString(dim, of::kDimParam, "le_hoist_d1");
      } else {
        gsPutKey(dim, of::kDimValue, 0);
        gsPutVarint(dim, static_cast<uint64_t>(dims[k]));
      }
      gsPutBytes(shape, of::kShapeDim, dim.data(), dim.size());
    }
    Bytes tt;
    gsPutKey(tt, of::kTensorTypeElem, 0);
    gsPutVarint(tt, 1);
    gsPutBytes(tt, of::kTensorTypeShape, shape.data(), shape.size());
    Bytes type;
    gsPutBytes(type, of::kTypeTensor, tt.data(), tt.size());
    gsPutString(expected, of::kValueInfoName, name);
    gsPutBytes(expected, of::kValueInfoType, type.data(), type.size());
  }
  GsReader r(gsGraphOf(out));
  GsField f;
  GsSlice last;
  while (r.next(f))
    if (f.number == of::kGraphOutput) last = f.payload();
  EXPECT_EQ(Bytes(last.data, last.data + last.size), expected);

  // Without a dims pointer every extent is symbolic.
  e.dims = nullptr;
  e.dimsCount = 4;
  e.targetField = of::kGraphInput;
  gsRebuild(m, e, out);
  std::string text(out.begin(), out.end());
  for (const char* p : {"le_hoist_d0", "le_hoist_d1", "le_hoist_d2", "le_hoist_d3"})
    EXPECT_NE(text.find(p), std::string::npos) << p;
  EXPECT_EQ(summarise(out).inputs, (std::vector<std::string>{"P_rgb", "x", "cone_tip"}));
}

TEST(WireRebuild, InputFlagsOutputsAndMask) {
  const Bytes m = test::model(threeNodes());
  Bytes out;
  GsGraphEdit e;
  e.onlyPrgbInput = true;
  gsRebuild(m, e, out);
  EXPECT_EQ(summarise(out).inputs, (std::vector<std::string>{"P_rgb"}));
  e.dropPrgbInput = true;
  gsRebuild(m, e, out);
  EXPECT_TRUE(summarise(out).inputs.empty());
  e.onlyPrgbInput = false;
  gsRebuild(m, e, out);
  EXPECT_EQ(summarise(out).inputs, (std::vector<std::string>{"x"}));

  GsGraphEdit d;
  d.dropOutputs = true;
  const std::vector<char> mask{1};  // shorter than the node count
  d.dropMask = &mask;
  gsRebuild(m, d, out);
  const GraphSummary s = summarise(out);
  EXPECT_EQ(s.nodes, (std::vector<std::string>{"B", "C"}));
  EXPECT_TRUE(s.outputs.empty());
  EXPECT_EQ(s.inputs.size(), 2u);
}

TEST(WireRebuild, ValueInfoOfTheAddedValueIsDropped) {
  test::GraphParts p = threeNodes();
  Bytes m = test::model(p);
  // Append value_info records for "a" and "b" to the graph.
  Bytes extra;
  for (const char* n : {"a", "b"}) {
    const Bytes vi = test::valueInfo(n, kOnnxFloat, {1});
    gsPutBytes(extra, of::kGraphValueInfo, vi.data(), vi.size());
  }
  const GsSlice g = gsGraphOf(m);
  Bytes graph(g.data, g.data + g.size);
  graph.insert(graph.end(), extra.begin(), extra.end());
  Bytes model;
  gsPutBytes(model, of::kModelGraph, graph.data(), graph.size());
  const std::string name = "a";
  GsGraphEdit e;
  e.valueName = &name;  // targetField 0: nothing is added
  Bytes out;
  gsRebuild(model, e, out);
  std::vector<std::string> infos;
  gsAllStr(gsGraphOf(out), of::kGraphValueInfo, infos);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(gsFirstStr(GsSlice{reinterpret_cast<const unsigned char*>(infos[0].data()), infos[0].size()},
                       of::kValueInfoName),
            "b");
}

TEST(WireRebuild, MalformedModelThrowsTheWireError) {
  Bytes out;
  EXPECT_THROW(
      {
        try {
          gsRebuild(bytesOf({0x3a, 0x05, 0x0a}), GsGraphEdit{}, out);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "onnx: truncated");
          throw;
        }
      },
      std::runtime_error);
  // A graph whose inner field is broken fails the same way.
  EXPECT_THROW(gsRebuild(bytesOf({0x3a, 0x02, 0x0b, 0x00}), GsGraphEdit{}, out), std::runtime_error);
}

}  // namespace
}  // namespace le
