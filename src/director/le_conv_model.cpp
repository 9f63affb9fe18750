// Loading and resolution of the m4b graph for the fp16 engine: the
// initializers come straight off the wire, nothing else of the graph is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "director/le_conv.h"
#include "director/onnx_wire.h"

namespace le {
namespace {

// Regular files only: a directory reports a size of LONG_MAX and a FIFO
// would block, so both are refused before anything is allocated.
Bytes readModelFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("le_conv: cannot open " + path);
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
    throw std::runtime_error("le_conv: cannot open " + path);
  Bytes bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("le_conv: short read " + path);
    got += static_cast<size_t>(n);
  }
  return bytes;
}

// Element count of dims, or -1 when a dim is negative or the product cannot
// be the size of anything held in memory.
int64_t elementCount(const std::vector<int64_t>& dims) {
  int64_t n = 1;
  for (int64_t d : dims) {
    if (d < 0) return -1;
    if (d != 0 && n > (std::numeric_limits<int64_t>::max() / 8) / d) return -1;
    n *= d;
  }
  return n;
}

// One TensorProto; the data is copied only when wanted, after its size has
// been checked against the payload that holds it.
void readInitializer(GsSlice t, std::string& name, OnnxTensor& out, bool wantData) {
  int64_t dataType = 0;
  const unsigned char* raw = nullptr;
  size_t rawSize = 0;
  bool hasRaw = false;
  std::vector<GsSlice> packedFloats;
  std::vector<uint32_t> singleFloats;
  PbReader r(t);
  PbField f;
  while (r.next(f)) {
    if (f.number == onnx_field::kTensorDims && f.wireType == 0) {
      out.dims.push_back(static_cast<int64_t>(f.value));
    } else if (f.number == onnx_field::kTensorDims && f.wireType == 2) {
      gsPackedVarints({f.data, f.size}, out.dims);
    } else if (f.number == onnx_field::kTensorDataType && f.wireType == 0) {
      dataType = static_cast<int64_t>(f.value);
    } else if (f.number == onnx_field::kTensorName && f.wireType == 2) {
      name.assign(reinterpret_cast<const char*>(f.data), f.size);
    } else if (f.number == onnx_field::kTensorRawData && f.wireType == 2) {
      raw = f.data;
      rawSize = f.size;
      hasRaw = true;
    } else if (f.number == onnx_field::kTensorFloatData && f.wireType == 2) {
      packedFloats.push_back({f.data, f.size});
    } else if (f.number == onnx_field::kTensorFloatData && f.wireType == 5) {
      singleFloats.push_back(0);  // counted here, copied below
    }
  }
  if (dataType != kOnnxFloat) throw std::runtime_error("onnx: non-fp32 initializer " + name);
  const int64_t count = elementCount(out.dims);
  if (hasRaw) {
    if (count < 0 || static_cast<uint64_t>(count) * 4 != rawSize)
      throw std::runtime_error("onnx: raw size mismatch " + name);
    if (wantData) {
      out.data.resize(static_cast<size_t>(count));
      if (rawSize) std::memcpy(out.data.data(), raw, rawSize);
    }
    return;
  }
  if (packedFloats.empty() && singleFloats.empty()) throw std::runtime_error("onnx: no data for " + name);
  size_t bytes = singleFloats.size() * 4;
  for (const GsSlice& s : packedFloats) bytes += s.size;
  if (count < 0 || static_cast<uint64_t>(count) * 4 != bytes || (!singleFloats.empty() && !packedFloats.empty()))
    throw std::runtime_error("onnx: raw size mismatch " + name);
  if (!wantData) return;
  out.data.resize(static_cast<size_t>(count));
  size_t at = 0;
  if (!packedFloats.empty()) {
    for (const GsSlice& s : packedFloats) {
      // An empty tensor has no storage to copy into, and empty slices carry nothing.
      if (s.size == 0) continue;
      std::memcpy(reinterpret_cast<unsigned char*>(out.data.data()) + at, s.data, s.size);
      at += s.size;
    }
    return;
  }
  // Unpacked float_data: one fixed32 field per value.
  size_t i = 0;
  GsReader raws(t);
  GsField g;
  while (raws.next(g))
    if (g.number == onnx_field::kTensorFloatData && g.wireType == 5)
      std::memcpy(&out.data[i++], g.raw + g.rawSize - 4, 4);
}

// First dim_value of the graph input "pooled64", or 0.
int64_t pooledBatch(GsSlice valueInfo) {
  if (gsFirstStr(valueInfo, onnx_field::kValueInfoName) != "pooled64") return -1;
  PbReader r(valueInfo);
  PbField f;
  while (r.next(f)) {
    if (f.number != onnx_field::kValueInfoType || f.wireType != 2) continue;
    PbReader type(f.data, f.size);
    PbField tf;
    while (type.next(tf)) {
      if (tf.number != onnx_field::kTypeTensor || tf.wireType != 2) continue;
      PbReader tensor(tf.data, tf.size);
      PbField sf;
      while (tensor.next(sf)) {
        if (sf.number != onnx_field::kTensorTypeShape || sf.wireType != 2) continue;
        PbReader shape(sf.data, sf.size);
        PbField df;
        while (shape.next(df)) {
          if (df.number != onnx_field::kShapeDim || df.wireType != 2) continue;
          PbReader dim(df.data, df.size);
          PbField vf;
          while (dim.next(vf))
            if (vf.number == onnx_field::kDimValue && vf.wireType == 0) return static_cast<int64_t>(vf.value);
          return 0;
        }
      }
    }
  }
  return 0;
}

OnnxModel parseModel(const Bytes& bytes, bool wantData) {
  OnnxModel model;
  int64_t batch = 0;
  bool sawPooled = false;
  PbReader top(gsSliceOf(bytes));
  PbField f;
  while (top.next(f)) {
    if (f.number != onnx_field::kModelGraph || f.wireType != 2) continue;
    PbReader graph(f.data, f.size);
    PbField g;
    while (graph.next(g)) {
      if (g.wireType != 2) continue;
      if (g.number == onnx_field::kGraphInitializer) {
        std::string name;
        OnnxTensor t;
        readInitializer({g.data, g.size}, name, t, wantData);
        model.tensors[name] = std::move(t);
      } else if (g.number == onnx_field::kGraphInput && !sawPooled) {
        const int64_t b = pooledBatch({g.data, g.size});
        if (b >= 0) {
          sawPooled = true;
          batch = b;
        }
      }
    }
  }
  if (!sawPooled || batch <= 0 || batch > 4096) throw std::runtime_error("le_conv: pooled64 input not found");
  model.batch = static_cast<int>(batch);
  return model;
}

struct FixedEntry {
  const char* name;
  std::vector<int64_t> dims;
};

const std::vector<FixedEntry>& kM4bFixed() {
  static const std::vector<FixedEntry> table = {
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
  };
  return table;
}

struct M4bDrifting {
  const char* what;
  const char* nominal;
  std::vector<int64_t> dims;
};

std::string dimsText(const std::vector<int64_t>& dims) {
  std::string s = "(";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? "," : "") + std::to_string(dims[i]);
  return s + ")";
}

// The one initializer of exactly this shape.
bool resolveByShape(const TensorShapes& shapes, const M4bDrifting& d, std::string& name, std::string& reason) {
  int found = 0;
  for (const auto& [n, dims] : shapes)
    if (dims == d.dims) {
      name = n;
      ++found;
    }
  if (found == 1) return true;
  reason = std::string(d.what) + " " + dimsText(d.dims) + " absent or ambiguous";
  return false;
}

}  // namespace

const OnnxTensor& OnnxModel::get(const std::string& name) const {
  const auto it = tensors.find(name);
  if (it == tensors.end()) throw std::runtime_error("onnx: missing initializer " + name);
  return it->second;
}

OnnxModel loadOnnx(const std::string& path) { return parseModel(readModelFile(path), true); }
OnnxModel loadOnnxImage(const Bytes& image) { return parseModel(image, true); }

TensorShapes readTensorShapesImage(const Bytes& image) {
  const OnnxModel model = parseModel(image, false);
  TensorShapes shapes;
  for (const auto& [name, t] : model.tensors) shapes[name] = t.dims;
  return shapes;
}

TensorShapes readTensorShapes(const std::string& path) { return readTensorShapesImage(readModelFile(path)); }

bool m4bImageSupported(const Bytes& image) {
  try {
    M4bNames names;
    std::string reason;
    return m4bResolve(readTensorShapesImage(image), names, reason);
  } catch (const std::exception&) {
    return false;
  }
}

TensorShapes m4bNominalShapes() {
  TensorShapes shapes;
  for (const FixedEntry& e : kM4bFixed()) shapes[e.name] = e.dims;
  shapes["onnx::Conv_313"] = {96, 85, 1, 1};
  shapes["onnx::Conv_314"] = {96};
  shapes["onnx::Sub_316"] = {1, 1, 32, 32, 2};
  shapes["onnx::MatMul_338"] = {64, 196608};
  return shapes;
}

bool m4bResolve(const TensorShapes& shapes, M4bNames& names, std::string& reason) {
  for (const FixedEntry& e : kM4bFixed()) {
    const auto it = shapes.find(e.name);
    if (it == shapes.end()) {
      reason = std::string("missing ") + e.name;
      return false;
    }
    if (it->second != e.dims) {
      reason = std::string("shape ") + e.name + " is " + dimsText(it->second) + ", expected " + dimsText(e.dims);
      return false;
    }
  }
  static const M4bDrifting pre{"pre weight", "onnx::Conv_313", {96, 85, 1, 1}};
  static const M4bDrifting grid32{"grid32", "onnx::Sub_316", {1, 1, 32, 32, 2}};
  static const M4bDrifting basis{"basis", "onnx::MatMul_338", {64, 196608}};
  if (!resolveByShape(shapes, pre, names.preWeight, reason) ||
      !resolveByShape(shapes, grid32, names.grid32, reason) || !resolveByShape(shapes, basis, names.basis, reason))
    return false;
  // The exporter numbers the folded bias right after the folded weight.
  size_t digits = names.preWeight.size();
  while (digits > 0 && names.preWeight[digits - 1] >= '0' && names.preWeight[digits - 1] <= '9') --digits;
  const std::string counter = names.preWeight.substr(digits);
  if (counter.empty() || counter.size() > 18) {
    reason = "pre weight name carries no SSA counter";
    return false;
  }
  names.preBias = names.preWeight.substr(0, digits) + std::to_string(std::stoll(counter) + 1);
  const auto bias = shapes.find(names.preBias);
  if (bias == shapes.end() || bias->second != std::vector<int64_t>{96}) {
    reason = "pre bias " + names.preBias + " absent or not (96)";
    return false;
  }
  return true;
}

}  // namespace le
