#include "director/onnx_wire.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace le {
namespace {

namespace of = onnx_field;

[[noreturn]] void badVarint() { throw std::runtime_error("onnx: bad varint"); }
[[noreturn]] void truncated() { throw std::runtime_error("onnx: truncated"); }

// Reads one varint at `p`; at most ten bytes, the tenth without continuation.
uint64_t readVarint(const unsigned char*& p, const unsigned char* end) {
  uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    if (p >= end) badVarint();
    const unsigned char b = *p++;
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
    if (shift == 63) badVarint();
  }
}

// The one decoder behind both cursors. Returns false at the end of the span.
bool decodeField(const unsigned char*& cur, const unsigned char* end, uint32_t& number,
                 uint32_t& wireType, uint64_t& value, const unsigned char*& data, size_t& size) {
  if (cur >= end) return false;
  const uint64_t key = readVarint(cur, end);
  number = static_cast<uint32_t>(key >> 3);
  wireType = static_cast<uint32_t>(key & 7);
  value = 0;
  data = nullptr;
  size = 0;
  switch (wireType) {
    case 0:
      value = readVarint(cur, end);
      break;
    case 1:
      if (end - cur < 8) truncated();
      cur += 8;
      break;
    case 2: {
      const uint64_t len = readVarint(cur, end);
      if (len > static_cast<uint64_t>(end - cur)) truncated();
      data = cur;
      size = static_cast<size_t>(len);
      cur += size;
      break;
    }
    case 5:
      if (end - cur < 4) truncated();
      cur += 4;
      break;
    default:
      throw std::runtime_error("onnx: bad wire type");
  }
  return true;
}

}  // namespace

bool GsReader::next(GsField& f) {
  const unsigned char* start = cur_;
  if (!decodeField(cur_, end_, f.number, f.wireType, f.value, f.data, f.size)) return false;
  f.raw = start;
  f.rawSize = static_cast<size_t>(cur_ - start);
  return true;
}

bool PbReader::next(PbField& f) {
  return decodeField(cur_, end_, f.number, f.wireType, f.value, f.data, f.size);
}

float gsFloatLE(const unsigned char* p) {
  const uint32_t bits = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                        static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

GsSlice gsGraphOf(const Bytes& model) {
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kModelGraph && f.wireType == 2) return f.payload();
  }
  return {};
}

std::string gsFirstStr(GsSlice s, uint32_t number) {
  GsReader r(s);
  GsField f;
  while (r.next(f)) {
    if (f.number == number && f.wireType == 2)
      return std::string(reinterpret_cast<const char*>(f.data), f.size);
  }
  return {};
}

void gsAllStr(GsSlice s, uint32_t number, std::vector<std::string>& out) {
  GsReader r(s);
  GsField f;
  while (r.next(f)) {
    if (f.number == number && f.wireType == 2)
      out.emplace_back(reinterpret_cast<const char*>(f.data), f.size);
  }
}

GsSlice hcPayload(GsSlice s) {
  GsReader r(s);
  GsField f;
  if (r.next(f) && f.wireType == 2) return f.payload();
  return {};
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims) {
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kTensorDims) continue;
    if (f.wireType == 0) {
      dims.push_back(static_cast<int64_t>(f.value));
    } else if (f.wireType == 2) {
      gsPackedVarints(f.payload(), dims);
    }
  }
}

bool gsPackedVarints(GsSlice run, std::vector<int64_t>& out) {
  const unsigned char* p = run.data;
  const unsigned char* end = run.data + run.size;
  bool complete = true;
  while (p < end) {
    uint64_t v = 0;
    unsigned shift = 0;
    complete = false;
    while (p < end) {
      const unsigned char b = *p++;
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
      shift += 7;
      if (!(b & 0x80)) {
        complete = true;
        break;
      }
    }
    out.push_back(static_cast<int64_t>(v));
  }
  return complete;
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs out;
  gsForEachAttr(node, [&](const GsAttrView& a) {
    const std::string s(reinterpret_cast<const char*>(a.s.data), a.s.size);
    if (a.hasS && a.name == "mode") out.mode = s;
    else if (a.hasS && a.name == "coordinate_transformation_mode")
      out.coordinateTransformationMode = s;
    else if (a.hasS && a.name == "keep_aspect_ratio_policy") out.keepAspectRatioPolicy = s;
    else if (a.hasF && a.name == "cubic_coeff_a") {
      out.hasCubicCoeffA = true;
      out.cubicCoeffA = a.f;
    } else if (a.hasI && a.name == "exclude_outside") out.excludeOutside = a.i != 0;
    else if (a.hasI && a.name == "antialias") out.antialias = a.i != 0;
    else if (a.hasInts && a.name == "axes") out.hasAxes = true;
  });
  return out;
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes,
                 std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& inputs) {
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wireType != 2) continue;
    if (f.number == of::kGraphNode) {
      GsNodeInfo n;
      n.raw = f.rawSpan();
      GsReader nr(f.payload());
      GsField g;
      while (nr.next(g)) {
        if (g.wireType != 2) continue;
        const char* p = reinterpret_cast<const char*>(g.data);
        if (g.number == of::kNodeOpType) n.opType.assign(p, g.size);
        else if (g.number == of::kNodeInput) n.inputs.emplace_back(p, g.size);
        else if (g.number == of::kNodeOutput) n.outputs.emplace_back(p, g.size);
      }
      nodes.push_back(std::move(n));
    } else if (f.number == of::kGraphInitializer) {
      initializers.insert(gsFirstStr(f.payload(), of::kTensorName));
    } else if (f.number == of::kGraphInput) {
      inputs.insert(gsFirstStr(f.payload(), of::kValueInfoName));
    }
  }
}

// --- writing ---------------------------------------------------------------

void gsPutVarint(Bytes& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<unsigned char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<unsigned char>(value));
}

void gsPutKey(Bytes& out, uint32_t number, uint32_t wireType) {
  gsPutVarint(out, static_cast<uint64_t>(number) << 3 | wireType);
}

void gsPutBytes(Bytes& out, uint32_t number, const void* data, size_t size) {
  gsPutKey(out, number, 2);
  gsPutVarint(out, size);
  const auto* p = static_cast<const unsigned char*>(data);
  out.insert(out.end(), p, p + size);
}

void gsPutRaw(Bytes& out, GsSlice s) { out.insert(out.end(), s.data, s.data + s.size); }

namespace {

void putAttrType(Bytes& attr, uint64_t type) {
  gsPutKey(attr, of::kAttrType, 0);
  gsPutVarint(attr, type);
}

}  // namespace

void hcAttrI(Bytes& out, const std::string& name, int64_t value) {
  Bytes a;
  gsPutString(a, of::kAttrName, name);
  gsPutKey(a, of::kAttrI, 0);
  gsPutVarint(a, static_cast<uint64_t>(value));
  putAttrType(a, 2);
  gsPutBytes(out, of::kNodeAttribute, a.data(), a.size());
}

void hcAttrIs(Bytes& out, const std::string& name, const int64_t* values, size_t count) {
  Bytes a;
  gsPutString(a, of::kAttrName, name);
  for (size_t k = 0; k < count; ++k) {
    gsPutKey(a, of::kAttrInts, 0);
    gsPutVarint(a, static_cast<uint64_t>(values[k]));
  }
  putAttrType(a, 7);
  gsPutBytes(out, of::kNodeAttribute, a.data(), a.size());
}

void hcAttrS(Bytes& out, const std::string& name, const std::string& value) {
  Bytes a;
  gsPutString(a, of::kAttrName, name);
  gsPutString(a, of::kAttrS, value);
  putAttrType(a, 3);
  gsPutBytes(out, of::kNodeAttribute, a.data(), a.size());
}

void hcInit(Bytes& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t size) {
  Bytes t;
  t.reserve(size + name.size() + 16 + dims.size() * 10);
  for (int64_t d : dims) {
    gsPutKey(t, of::kTensorDims, 0);
    gsPutVarint(t, static_cast<uint64_t>(d));
  }
  gsPutKey(t, of::kTensorDataType, 0);
  gsPutVarint(t, static_cast<uint64_t>(dataType));
  gsPutString(t, of::kTensorName, name);
  gsPutBytes(t, of::kTensorRawData, data, size);
  gsPutBytes(out, of::kGraphInitializer, t.data(), t.size());
}

void hcNode(Bytes& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const Bytes& attributes) {
  Bytes n;
  for (const std::string& in : inputs) gsPutString(n, of::kNodeInput, in);
  gsPutString(n, of::kNodeOutput, output);
  gsPutString(n, of::kNodeName, name);
  gsPutString(n, of::kNodeOpType, opType);
  n.insert(n.end(), attributes.begin(), attributes.end());
  gsPutBytes(out, of::kGraphNode, n.data(), n.size());
}

namespace {

// ValueInfoProto {name, type: tensor(float) with one dim per extent}.
void putFloatValueInfo(Bytes& out, uint32_t field, const std::string& name, const int64_t* dims,
                       size_t count) {
  Bytes shape;
  for (size_t k = 0; k < count; ++k) {
    Bytes dim;
    if (dims && dims[k] > 0) {
      gsPutKey(dim, of::kDimValue, 0);
      gsPutVarint(dim, static_cast<uint64_t>(dims[k]));
    } else {
      char param[24];
      std::snprintf(param, sizeof param, "le_hoist_d%u", static_cast<unsigned>(k));
      gsPutString(dim, of::kDimParam, param);
    }
    gsPutBytes(shape, of::kShapeDim, dim.data(), dim.size());
  }
  Bytes tensorType;
  gsPutKey(tensorType, of::kTensorTypeElem, 0);
  gsPutVarint(tensorType, kOnnxFloat);
  gsPutBytes(tensorType, of::kTensorTypeShape, shape.data(), shape.size());
  Bytes type;
  gsPutBytes(type, of::kTypeTensor, tensorType.data(), tensorType.size());
  Bytes info;
  gsPutString(info, of::kValueInfoName, name);
  gsPutBytes(info, of::kValueInfoType, type.data(), type.size());
  gsPutBytes(out, field, info.data(), info.size());
}

bool keepGraphField(const GsField& f, const GsGraphEdit& edit, size_t& nodeIndex) {
  if (f.wireType != 2) return true;
  switch (f.number) {
    case of::kGraphNode: {
      const size_t k = nodeIndex++;
      return !(edit.dropMask && k < edit.dropMask->size() && (*edit.dropMask)[k]);
    }
    case of::kGraphInput: {
      if (!edit.onlyPrgbInput && !edit.dropPrgbInput) return true;
      const bool isP = gsFirstStr(f.payload(), of::kValueInfoName) == "P_rgb";
      if (edit.onlyPrgbInput) return isP && !edit.dropPrgbInput;
      return !isP;
    }
    case of::kGraphOutput:
      return !edit.dropOutputs;
    case of::kGraphValueInfo:
      return !(edit.valueName && gsFirstStr(f.payload(), of::kValueInfoName) == *edit.valueName);
    default:
      return true;
  }
}

}  // namespace

void gsRebuild(const Bytes& model, const GsGraphEdit& edit, Bytes& out) {
  out.clear();
  out.reserve(model.size() + 256);
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.number != of::kModelGraph || f.wireType != 2) {
      gsPutRaw(out, f.rawSpan());
      continue;
    }
    Bytes graph;
    graph.reserve(f.size + 256);
    size_t nodeIndex = 0;
    GsReader gr(f.payload());
    GsField g;
    while (gr.next(g)) {
      if (keepGraphField(g, edit, nodeIndex)) gsPutRaw(graph, g.rawSpan());
    }
    if (edit.valueName && edit.targetField != 0)
      putFloatValueInfo(graph, edit.targetField, *edit.valueName, edit.dims, edit.dimsCount);
    gsPutBytes(out, of::kModelGraph, graph.data(), graph.size());
  }
}

}  // namespace le
