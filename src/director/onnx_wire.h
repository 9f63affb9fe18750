// Protobuf wire-format reading and writing for ONNX model images, without a
// protobuf library. Readers walk a byte span forward and never copy payloads:
// every slice and raw span points into the model image and stays valid only
// while that image is neither modified nor freed. Writers append to a byte
// vector. Fields nobody interprets are carried through verbatim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace le {

using Bytes = std::vector<unsigned char>;

// A non-owning byte span.
struct GsSlice {
  const unsigned char* data = nullptr;
  size_t size = 0;

  bool empty() const { return size == 0; }
};

inline GsSlice gsSliceOf(const Bytes& bytes) { return {bytes.data(), bytes.size()}; }

// One decoded field.
struct GsField {
  uint32_t number = 0;
  uint32_t wireType = 0;
  uint64_t value = 0;                   // wire type 0 only
  const unsigned char* data = nullptr;  // payload, wire type 2 only
  size_t size = 0;
  const unsigned char* raw = nullptr;   // the whole field, key included
  size_t rawSize = 0;

  GsSlice payload() const { return {data, size}; }
  GsSlice rawSpan() const { return {raw, rawSize}; }
};

// Forward-only cursor. next() returns false at the end of the span and throws
// std::runtime_error "onnx: bad varint", "onnx: truncated" or
// "onnx: bad wire type" on malformed input.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : cur_(s.data), end_(s.data + s.size) {}
  bool next(GsField& f);

 private:
  const unsigned char* cur_;
  const unsigned char* end_;
};

// The same cursor for readers that have no use for the raw span (the fp16
// engine's model loader); identical decoding rules and errors.
struct PbField {
  uint32_t number = 0;
  uint32_t wireType = 0;
  uint64_t value = 0;
  const unsigned char* data = nullptr;
  size_t size = 0;
};

class PbReader {
 public:
  explicit PbReader(GsSlice s) : cur_(s.data), end_(s.data + s.size) {}
  PbReader(const unsigned char* data, size_t size) : cur_(data), end_(data + size) {}
  bool next(PbField& f);

 private:
  const unsigned char* cur_;
  const unsigned char* end_;
};

// One graph node as the rewrites see it.
struct GsNodeInfo {
  GsSlice raw;  // the graph's whole `node` field, key included
  std::string opType;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// The attributes of a Resize node that the head rewrite checks.
struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  std::string keepAspectRatioPolicy;
  bool hasCubicCoeffA = false;
  bool hasAxes = false;
  bool excludeOutside = false;
  bool antialias = false;
  float cubicCoeffA = -0.75f;
};

// The edit gsRebuild applies to a model's graph.
struct GsGraphEdit {
  const std::vector<char>* dropMask = nullptr;  // per node in graph order; non-zero drops
  bool dropPrgbInput = false;
  bool onlyPrgbInput = false;
  bool dropOutputs = false;
  const std::string* valueName = nullptr;  // value to add as a graph input or output
  const int64_t* dims = nullptr;           // its extents; <= 0 (or no pointer) is symbolic
  size_t dimsCount = 0;
  uint32_t targetField = 0;  // 0: add nothing, 11: graph input, 12: graph output
};

// ONNX field numbers used by the wire layer and the rewrites.
namespace onnx_field {
constexpr uint32_t kModelGraph = 7, kModelOpsetImport = 8;
constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
constexpr uint32_t kGraphNode = 1, kGraphName = 2, kGraphInitializer = 5, kGraphInput = 11,
                   kGraphOutput = 12, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4,
                   kNodeAttribute = 5, kNodeDomain = 7;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrInts = 8,
                   kAttrType = 20;
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4,
                   kTensorInt32Data = 5, kTensorInt64Data = 7, kTensorName = 8, kTensorRawData = 9;
constexpr uint32_t kValueInfoName = 1, kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1, kTensorTypeElem = 1, kTensorTypeShape = 2;
constexpr uint32_t kShapeDim = 1, kDimValue = 1, kDimParam = 2;
}  // namespace onnx_field

// ONNX TensorProto element types this code reads or writes.
enum : int32_t { kOnnxFloat = 1, kOnnxInt8 = 3, kOnnxInt32 = 6, kOnnxInt64 = 7 };

// --- reading ---------------------------------------------------------------

// The ModelProto's graph payload (first field 7 of wire type 2); empty when absent.
GsSlice gsGraphOf(const Bytes& model);
// The payload of the first wire-type-2 field `number`, as a string ("" when none).
std::string gsFirstStr(GsSlice s, uint32_t number);
// Appends the payload of every wire-type-2 field `number`, in order.
void gsAllStr(GsSlice s, uint32_t number, std::vector<std::string>& out);
// The payload of the first field of `s` when it is length-delimited, else empty.
GsSlice hcPayload(GsSlice s);
// Appends every TensorProto `dims` value, packed or not.
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& dims);
// Appends the varints of a packed run, byte by byte to the end of the payload;
// a run that ends inside a varint yields its partial value and returns false.
bool gsPackedVarints(GsSlice run, std::vector<int64_t>& out);
HcAttrs hcReadAttrs(GsSlice node);
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes,
                 std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& inputs);

// One AttributeProto of a node, as far as the rewrites look at it.
struct GsAttrView {
  std::string name;
  bool hasS = false, hasI = false, hasInts = false, hasF = false, hasT = false;
  GsSlice s;
  int64_t i = 0;
  float f = 0.0f;
  GsSlice t;  // TensorProto payload
};
// Calls fn(const GsAttrView&) for every `attribute` field of a node payload.
template <typename Fn>
void gsForEachAttr(GsSlice node, Fn&& fn);

// --- writing ---------------------------------------------------------------

void gsPutVarint(Bytes& out, uint64_t value);
void gsPutBytes(Bytes& out, uint32_t number, const void* data, size_t size);
inline void gsPutString(Bytes& out, uint32_t number, const std::string& s) {
  gsPutBytes(out, number, s.data(), s.size());
}
void gsPutRaw(Bytes& out, GsSlice s);
void gsPutKey(Bytes& out, uint32_t number, uint32_t wireType);
void hcAttrI(Bytes& out, const std::string& name, int64_t value);
void hcAttrIs(Bytes& out, const std::string& name, const int64_t* values, size_t count);
void hcAttrS(Bytes& out, const std::string& name, const std::string& value);
// GraphProto `initializer`: dims, data_type, name, raw_data (little-endian bytes).
void hcInit(Bytes& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* data, size_t size);
// GraphProto `node` in the default domain; `attributes` is a run of hcAttr* records.
void hcNode(Bytes& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const Bytes& attributes);
// Re-emits `model` with `edit` applied to every graph field.
void gsRebuild(const Bytes& model, const GsGraphEdit& edit, Bytes& out);

// --- template definitions --------------------------------------------------

float gsFloatLE(const unsigned char* p);

template <typename Fn>
void gsForEachAttr(GsSlice node, Fn&& fn) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.number != onnx_field::kNodeAttribute || f.wireType != 2) continue;
    GsAttrView a;
    GsReader ar(f.payload());
    GsField g;
    while (ar.next(g)) {
      switch (g.number) {
        case onnx_field::kAttrName:
          if (g.wireType == 2) a.name.assign(reinterpret_cast<const char*>(g.data), g.size);
          break;
        case onnx_field::kAttrF:
          if (g.wireType == 5) {
            a.hasF = true;
            a.f = gsFloatLE(g.raw + g.rawSize - 4);
          }
          break;
        case onnx_field::kAttrI:
          if (g.wireType == 0) {
            a.hasI = true;
            a.i = static_cast<int64_t>(g.value);
          }
          break;
        case onnx_field::kAttrS:
          if (g.wireType == 2) {
            a.hasS = true;
            a.s = g.payload();
          }
          break;
        case onnx_field::kAttrT:
          if (g.wireType == 2) {
            a.hasT = true;
            a.t = g.payload();
          }
          break;
        case onnx_field::kAttrInts:
          a.hasInts = true;
          break;
        default:
          break;
      }
    }
    fn(static_cast<const GsAttrView&>(a));
  }
}

}  // namespace le
