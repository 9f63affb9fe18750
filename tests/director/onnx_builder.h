// Builds small ONNX model images with the wire writers, for tests that need
// exact control over the bytes (or a graph without Python at hand).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "director/onnx_wire.h"

namespace le::test {

namespace of = le::onnx_field;

// ValueInfoProto of a tensor; a dim of -1 is written as the symbol "N".
inline Bytes valueInfo(const std::string& name, int32_t elemType, const std::vector<int64_t>& dims) {
  Bytes shape;
  for (int64_t d : dims) {
    Bytes dim;
    if (d >= 0) {
      gsPutKey(dim, of::kDimValue, 0);
      gsPutVarint(dim, static_cast<uint64_t>(d));
    } else {
      gsPutString(dim, of::kDimParam, "N");
    }
    gsPutBytes(shape, of::kShapeDim, dim.data(), dim.size());
  }
  Bytes tt;
  gsPutKey(tt, of::kTensorTypeElem, 0);
  gsPutVarint(tt, static_cast<uint64_t>(elemType));
  gsPutBytes(tt, of::kTensorTypeShape, shape.data(), shape.size());
  Bytes type;
  gsPutBytes(type, of::kTypeTensor, tt.data(), tt.size());
  Bytes vi;
  gsPutString(vi, of::kValueInfoName, name);
  gsPutBytes(vi, of::kValueInfoType, type.data(), type.size());
  return vi;
}

// A node with an optional domain, as a graph `node` field.
inline Bytes node(const std::string& opType, const std::vector<std::string>& inputs,
                  const std::vector<std::string>& outputs, const std::string& name,
                  const Bytes& attributes = {}, const std::string& domain = {}) {
  Bytes n;
  for (const auto& i : inputs) gsPutString(n, of::kNodeInput, i);
  for (const auto& o : outputs) gsPutString(n, of::kNodeOutput, o);
  gsPutString(n, of::kNodeName, name);
  gsPutString(n, of::kNodeOpType, opType);
  n.insert(n.end(), attributes.begin(), attributes.end());
  if (!domain.empty()) gsPutString(n, of::kNodeDomain, domain);
  Bytes out;
  gsPutBytes(out, of::kGraphNode, n.data(), n.size());
  return out;
}

struct GraphParts {
  std::vector<Bytes> nodes;         // graph `node` fields (from node() or hcNode)
  Bytes initializers;               // graph `initializer` fields (from hcInit)
  std::vector<Bytes> inputs;        // ValueInfoProto payloads
  std::vector<Bytes> outputs;       // ValueInfoProto payloads
  std::vector<std::pair<std::string, int64_t>> opsets{{"", 17}};
};

inline Bytes model(const GraphParts& p) {
  Bytes g;
  for (const Bytes& n : p.nodes) g.insert(g.end(), n.begin(), n.end());
  gsPutString(g, of::kGraphName, "g");
  g.insert(g.end(), p.initializers.begin(), p.initializers.end());
  for (const Bytes& i : p.inputs) gsPutBytes(g, of::kGraphInput, i.data(), i.size());
  for (const Bytes& o : p.outputs) gsPutBytes(g, of::kGraphOutput, o.data(), o.size());
  Bytes m;
  gsPutKey(m, 1, 0);  // ir_version
  gsPutVarint(m, 8);
  gsPutBytes(m, of::kModelGraph, g.data(), g.size());
  for (const auto& [domain, version] : p.opsets) {
    Bytes op;
    gsPutString(op, of::kOpsetDomain, domain);
    gsPutKey(op, of::kOpsetVersion, 0);
    gsPutVarint(op, static_cast<uint64_t>(version));
    gsPutBytes(m, of::kModelOpsetImport, op.data(), op.size());
  }
  return m;
}

inline Bytes bytesOf(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<unsigned char>(x));
  return b;
}

}  // namespace le::test
