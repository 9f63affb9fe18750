#include "director/graph_rewrites.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace le {
namespace {

namespace of = onnx_field;

const char* const kPrgb = "P_rgb";

// The graph of a model, read once: nodes in order plus lookups by value name.
struct GraphView {
  GsSlice graph;
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initializers;
  std::unordered_set<std::string> inputs;
  std::unordered_multimap<std::string, size_t> producers;
  std::unordered_multimap<std::string, size_t> consumers;

  // False when the model has no graph.
  bool read(const Bytes& model) {
    graph = gsGraphOf(model);
    if (graph.empty()) return false;
    gsReadGraph(graph, nodes, initializers, inputs);
    for (size_t k = 0; k < nodes.size(); ++k) {
      for (const std::string& o : nodes[k].outputs) producers.emplace(o, k);
      for (const std::string& i : nodes[k].inputs) consumers.emplace(i, k);
    }
    return true;
  }

  GsSlice payload(size_t k) const { return hcPayload(nodes[k].raw); }
  std::unordered_set<std::string> outputNames() const {
    std::unordered_set<std::string> out;
    GsReader r(graph);
    GsField f;
    while (r.next(f))
      if (f.number == of::kGraphOutput && f.wireType == 2) out.insert(gsFirstStr(f.payload(), of::kValueInfoName));
    return out;
  }
  std::string domain(size_t k) const { return gsFirstStr(payload(k), of::kNodeDomain); }
  std::string name(size_t k) const { return gsFirstStr(payload(k), of::kNodeName); }
  // How a node is named in refusal reasons.
  std::string label(size_t k) const {
    std::string n = name(k);
    return n.empty() ? nodes[k].opType : n;
  }
  // The one producer of a value; -1 when there is none or several.
  long soleProducer(const std::string& v) const {
    if (producers.count(v) != 1) return -1;
    return static_cast<long>(producers.find(v)->second);
  }
  long firstProducer(const std::string& v) const {
    long best = -1;
    auto range = producers.equal_range(v);
    for (auto it = range.first; it != range.second; ++it)
      if (best < 0 || static_cast<long>(it->second) < best) best = static_cast<long>(it->second);
    return best;
  }
};

bool isStandardDomain(const std::string& d) { return d.empty() || d == "ai.onnx"; }

std::string sliceStr(GsSlice s) { return std::string(reinterpret_cast<const char*>(s.data), s.size); }

bool hasCorvaneImport(const Bytes& model) {
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kModelOpsetImport && f.wireType == 2 &&
        gsFirstStr(f.payload(), of::kOpsetDomain) == kCorvaneDomain)
      return true;
  }
  return false;
}

void appendCorvaneImport(Bytes& out) {
  Bytes op;
  gsPutString(op, of::kOpsetDomain, kCorvaneDomain);
  gsPutKey(op, of::kOpsetVersion, 0);
  gsPutVarint(op, 1);
  gsPutBytes(out, of::kModelOpsetImport, op.data(), op.size());
}

// Re-emits a model with its first graph rebuilt: node(k, field, graphOut) may
// write a replacement for node k (or nothing) and return true; on false the
// node is copied verbatim. `tail` is appended after the graph's last field.
template <typename NodeFn>
void emitModel(const Bytes& model, NodeFn&& node, const Bytes& tail, bool addCorvaneImport,
               Bytes& out) {
  out.clear();
  out.reserve(model.size() + tail.size() + 256);
  bool graphDone = false;
  GsReader r(gsSliceOf(model));
  GsField f;
  while (r.next(f)) {
    if (graphDone || f.number != of::kModelGraph || f.wireType != 2) {
      gsPutRaw(out, f.rawSpan());
      continue;
    }
    graphDone = true;
    Bytes graph;
    graph.reserve(f.size + tail.size() + 256);
    size_t k = 0;
    GsReader gr(f.payload());
    GsField g;
    while (gr.next(g)) {
      const bool isNode = g.number == of::kGraphNode && g.wireType == 2;
      if (!isNode || !node(k++, g, graph)) gsPutRaw(graph, g.rawSpan());
    }
    gsPutRaw(graph, gsSliceOf(tail));
    gsPutBytes(out, of::kModelGraph, graph.data(), graph.size());
  }
  if (addCorvaneImport) appendCorvaneImport(out);
}

// Writes node `nodeField` again without the fields listed in `drop`, then
// `extra` (more node fields), as a graph `node` field.
void reemitNode(const GsField& nodeField, std::initializer_list<uint32_t> drop, const Bytes& extra,
                Bytes& graph) {
  Bytes n;
  n.reserve(nodeField.size + extra.size());
  GsReader r(nodeField.payload());
  GsField f;
  while (r.next(f)) {
    if (std::find(drop.begin(), drop.end(), f.number) == drop.end()) gsPutRaw(n, f.rawSpan());
  }
  gsPutRaw(n, gsSliceOf(extra));
  gsPutBytes(graph, of::kGraphNode, n.data(), n.size());
}

// --- constant tensors ------------------------------------------------------

// The TensorProto holding a constant value: an initializer of that name or
// the "value" attribute of the Constant node producing it. Empty when neither.
GsSlice findConstTensor(const GraphView& v, const std::string& name) {
  if (name.empty()) return {};
  if (v.initializers.count(name)) {
    GsReader r(v.graph);
    GsField f;
    while (r.next(f)) {
      if (f.number == of::kGraphInitializer && f.wireType == 2 &&
          gsFirstStr(f.payload(), of::kTensorName) == name)
        return f.payload();
    }
  }
  const long p = v.soleProducer(name);
  if (p < 0 || v.nodes[p].opType != "Constant") return {};
  GsSlice t;
  gsForEachAttr(v.payload(p), [&](const GsAttrView& a) {
    if (a.name == "value" && a.hasT) t = a.t;
  });
  return t;
}

int64_t tensorDataType(GsSlice t) {
  GsReader r(t);
  GsField f;
  int64_t type = 0;
  while (r.next(f))
    if (f.number == of::kTensorDataType && f.wireType == 0) type = static_cast<int64_t>(f.value);
  return type;
}

// The values of a float tensor (raw_data or float_data); false for anything else.
bool tensorFloats(GsSlice t, std::vector<float>& out) {
  if (t.empty() || tensorDataType(t) != kOnnxFloat) return false;
  GsReader r(t);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kTensorRawData && f.wireType == 2) {
      if (f.size % 4) return false;
      for (size_t k = 0; k < f.size; k += 4) out.push_back(gsFloatLE(f.data + k));
    } else if (f.number == of::kTensorFloatData && f.wireType == 2) {
      if (f.size % 4) return false;
      for (size_t k = 0; k < f.size; k += 4) out.push_back(gsFloatLE(f.data + k));
    } else if (f.number == of::kTensorFloatData && f.wireType == 5) {
      out.push_back(gsFloatLE(f.raw + f.rawSize - 4));
    }
  }
  return true;
}

// The values of an int64 or int32 tensor; false for anything else.
bool tensorInts(GsSlice t, std::vector<int64_t>& out) {
  const int64_t type = t.empty() ? 0 : tensorDataType(t);
  if (type != kOnnxInt64 && type != kOnnxInt32) return false;
  const size_t width = type == kOnnxInt64 ? 8 : 4;
  GsReader r(t);
  GsField f;
  while (r.next(f)) {
    if (f.number == of::kTensorRawData && f.wireType == 2) {
      if (f.size % width) return false;
      for (size_t k = 0; k < f.size; k += width) {
        uint64_t u = 0;
        for (size_t b = 0; b < width; ++b) u |= static_cast<uint64_t>(f.data[k + b]) << (8 * b);
        out.push_back(width == 8 ? static_cast<int64_t>(u)
                                 : static_cast<int64_t>(static_cast<int32_t>(u)));
      }
    } else if ((f.number == of::kTensorInt64Data || f.number == of::kTensorInt32Data) && f.wireType == 0) {
      out.push_back(static_cast<int64_t>(f.value));
    } else if ((f.number == of::kTensorInt64Data || f.number == of::kTensorInt32Data) && f.wireType == 2) {
      if (!gsPackedVarints(f.payload(), out)) return false;
    }
  }
  return true;
}

void putFloatsLE(Bytes& out, const std::vector<float>& v) {
  out.reserve(out.size() + v.size() * 4);
  for (float x : v) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<unsigned char>(u >> (8 * b)));
  }
}

void putInt64sLE(Bytes& out, const std::vector<int64_t>& v) {
  for (int64_t x : v)
    for (int b = 0; b < 8; ++b)
      out.push_back(static_cast<unsigned char>(static_cast<uint64_t>(x) >> (8 * b)));
}

// --- rule 1: GridSample -> GridSampleFast ----------------------------------

bool isRewritableGridSample(const GraphView& v, size_t k) {
  if (v.nodes[k].opType != "GridSample" || !isStandardDomain(v.domain(k))) return false;
  bool modeOk = false, paddingOk = false, alignOk = true;
  gsForEachAttr(v.payload(k), [&](const GsAttrView& a) {
    if (a.name == "mode") {
      const std::string m = sliceStr(a.s);
      modeOk = a.hasS && (m == "bilinear" || m == "linear");
    } else if (a.name == "padding_mode") {
      paddingOk = a.hasS && sliceStr(a.s) == "border";
    } else if (a.name == "align_corners") {
      alignOk = a.hasI && a.i == 0;
    }
  });
  return modeOk && paddingOk && alignOk;
}

// --- rule 4: the warp block ------------------------------------------------

// One term of the recombination: a sampled channel group with a sign and the
// outside values it has been multiplied by.
struct Term {
  int group;
  int sign;
  std::vector<std::string> factors;
};
using Terms = std::vector<Term>;

// The channel group [3g, 3g + 3) that a Slice of the 12-channel sample takes
// along axis 1, or -1 when it is not such a slice.
int sliceGroup(const GraphView& v, size_t k) {
  const std::vector<std::string>& in = v.nodes[k].inputs;
  if (in.size() < 3 || in.size() > 5) return -1;
  std::vector<int64_t> starts, ends, axes, steps;
  if (!tensorInts(findConstTensor(v, in[1]), starts) || !tensorInts(findConstTensor(v, in[2]), ends))
    return -1;
  if (in.size() > 3 && !in[3].empty()) {
    if (!tensorInts(findConstTensor(v, in[3]), axes)) return -1;
  } else {
    axes = {0, 1, 2, 3};
    axes.resize(starts.size());
  }
  if (in.size() > 4 && !in[4].empty() && !tensorInts(findConstTensor(v, in[4]), steps)) return -1;
  if (starts.size() != ends.size() || starts.size() != axes.size()) return -1;
  if (!steps.empty() && steps.size() != starts.size()) return -1;
  int group = -1;
  for (size_t a = 0; a < axes.size(); ++a) {
    const int64_t axis = axes[a] < 0 ? axes[a] + 4 : axes[a];
    if (!steps.empty() && steps[a] != 1) return -1;
    int64_t s = starts[a], e = ends[a];
    if (axis != 1) {
      if (s != 0 || e < (int64_t{1} << 30)) return -1;  // other axes must be taken whole
      continue;
    }
    if (s < 0) s += 12;
    if (e < 0) e += 12;
    e = std::min<int64_t>(e, 12);
    if (s < 0 || s % 3 != 0 || e != s + 3 || group >= 0) return -1;
    group = static_cast<int>(s / 3);
  }
  return group;
}

bool hasAllGroups(const Terms& t) { return t.size() == 4; }

// Whether the exit's terms are B(v) - a*B(Dxx) - b*B(Dyy) + a*b*B(Dxxyy),
// the curvature-corrected sample the node computes; `why` says what is not.
bool isCurvatureBlend(const GraphView& v, Terms t, std::string& why) {
  std::sort(t.begin(), t.end(), [](const Term& a, const Term& b) { return a.group < b.group; });
  if (t.size() != 4) {
    why = "it combines " + std::to_string(t.size()) + " of the 4 sampled channel groups";
    return false;
  }
  if (t[0].sign != 1 || !t[0].factors.empty()) {
    why = "the plain sample is not added unscaled";
    return false;
  }
  if (t[1].sign != -1 || t[1].factors.size() != 1 || t[2].sign != -1 || t[2].factors.size() != 1 ||
      t[1].factors[0] == t[2].factors[0]) {
    why = "the two second differences are not each subtracted with their own weight";
    return false;
  }
  const std::string& a = t[1].factors[0];
  const std::string& b = t[2].factors[0];
  std::vector<std::string> f = t[3].factors;
  if (f.size() == 1) {
    const long p = v.soleProducer(f[0]);
    if (p >= 0 && v.nodes[p].opType == "Mul" && v.nodes[p].inputs.size() == 2) f = v.nodes[p].inputs;
  }
  std::sort(f.begin(), f.end());
  std::vector<std::string> ab{a, b};
  std::sort(ab.begin(), ab.end());
  if (t[3].sign != 1 || f != ab) {
    why = "the mixed difference is not added with the product of the two weights";
    return false;
  }
  return true;
}

// Shared by findWarpBlock and rewriteWarpBlockToCustomOp: finds the block and,
// when `mask` is given, marks every node that leaves with it.
size_t analyseWarpBlock(const Bytes& model, WarpBlock& wb, std::vector<char>* mask,
                        std::string& reason) {
  GraphView v;
  if (!v.read(model)) {
    reason = "no graph";
    return 0;
  }
  std::string tip;
  if (findSourceConeBoundary(model, tip) != 1) {
    reason = std::string("not one Concat consuming ") + kPrgb;
    return 0;
  }
  long gs = -1;
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    const GsNodeInfo& n = v.nodes[k];
    if ((n.opType == "GridSample" || n.opType == "GridSampleFast") && !n.inputs.empty() &&
        n.inputs[0] == tip) {
      if (gs >= 0) {
        reason = "two GridSamples on the cone's tip";
        return 0;
      }
      gs = static_cast<long>(k);
    }
  }
  if (gs < 0) {
    reason = "no GridSample consuming '" + tip + "'";
    return 0;
  }
  const GsNodeInfo& g = v.nodes[gs];
  if (g.opType == "GridSample" && !isRewritableGridSample(v, gs)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (g.outputs.empty() || g.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  const std::string grid = g.inputs.size() > 1 ? g.inputs[1] : std::string();
  if (grid.empty() || v.firstProducer(grid) < 0) {
    reason = "the grid has no producer";
    return 0;
  }

  // The recombination, in graph order: Slices of the sample into its channel
  // groups, Muls of a partial blend by an outside weight, and Adds/Subs of two
  // partial blends. A value that already holds all four groups is not
  // followed further: the block ends there.
  const std::string& sample = g.outputs[0];
  std::unordered_map<std::string, Terms> blend;  // value -> its terms
  std::vector<char> inBlock(v.nodes.size(), 0);
  inBlock[gs] = 1;
  auto isPartial = [&](const std::string& name) {
    auto it = blend.find(name);
    return it != blend.end() && !hasAllGroups(it->second);
  };
  for (size_t k = static_cast<size_t>(gs) + 1; k < v.nodes.size(); ++k) {
    const GsNodeInfo& n = v.nodes[k];
    if (n.outputs.size() != 1 || n.outputs[0].empty()) continue;
    Terms out;
    if (n.opType == "Slice" && !n.inputs.empty() && n.inputs[0] == sample) {
      const int grp = sliceGroup(v, k);
      if (grp < 0) continue;
      out.push_back({grp, 1, {}});
    } else if (n.opType == "Mul" && n.inputs.size() == 2 &&
               isPartial(n.inputs[0]) != isPartial(n.inputs[1])) {
      const bool first = isPartial(n.inputs[0]);
      const std::string& other = n.inputs[first ? 1 : 0];
      if (blend.count(other) || other == sample) continue;
      out = blend[n.inputs[first ? 0 : 1]];
      for (Term& t : out) t.factors.push_back(other);
    } else if ((n.opType == "Add" || n.opType == "Sub") && n.inputs.size() == 2 &&
               isPartial(n.inputs[0]) && isPartial(n.inputs[1])) {
      out = blend[n.inputs[0]];
      bool clash = false;
      for (Term t : blend[n.inputs[1]]) {
        if (n.opType == "Sub") t.sign = -t.sign;
        for (const Term& u : out) clash |= u.group == t.group;
        out.push_back(std::move(t));
      }
      if (clash) continue;
    } else {
      continue;
    }
    inBlock[k] = 1;
    blend[n.outputs[0]] = std::move(out);
  }

  // Values leaving the block: read by a node outside it or by the graph's outputs.
  const std::unordered_set<std::string> graphOutputs = v.outputNames();
  std::vector<std::string> exits;
  auto leaves = [&](const std::string& value) {
    if (graphOutputs.count(value)) return true;
    auto range = v.consumers.equal_range(value);
    for (auto it = range.first; it != range.second; ++it)
      if (!inBlock[it->second]) return true;
    return false;
  };
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    if (!inBlock[k]) continue;
    const std::string& o = v.nodes[k].outputs[0];
    if (leaves(o) && std::find(exits.begin(), exits.end(), o) == exits.end()) exits.push_back(o);
  }
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  std::string why;
  if (!isCurvatureBlend(v, blend[exits[0]], why)) {
    reason = "the recombination is not the curvature-corrected blend (" + why + ")";
    return 0;
  }

  // Nodes whose every reader leaves with the block go too (the source cone and
  // the curvature weights): left behind they would still run every frame.
  // The grid stays, since the new node reads it.
  bool grew = true;
  while (grew) {
    grew = false;
    for (size_t k = v.nodes.size(); k-- > 0;) {
      if (inBlock[k] || v.nodes[k].outputs.empty()) continue;
      bool dead = true;
      for (const std::string& o : v.nodes[k].outputs) {
        if (o.empty()) continue;
        if (o == grid || graphOutputs.count(o) || v.consumers.count(o) == 0) {
          dead = false;
          break;
        }
        auto range = v.consumers.equal_range(o);
        for (auto it = range.first; it != range.second; ++it) dead &= inBlock[it->second] != 0;
        if (!dead) break;
      }
      if (dead) {
        inBlock[k] = 1;
        grew = true;
      }
    }
  }

  wb.grid = grid;
  wb.exit = exits[0];
  wb.gridSampleIndex = static_cast<size_t>(gs);
  wb.nodes = static_cast<size_t>(std::count(inBlock.begin(), inBlock.end(), 1));
  if (mask) *mask = std::move(inBlock);
  return wb.nodes;
}

// --- rule 5: the source cone -----------------------------------------------

// Marks the nodes computing `boundary` from "P_rgb" and checks that nothing
// else reads into the cone.
bool gsSourceCone(const GraphView& v, const std::string& boundary, std::vector<char>& cone,
                  std::string& reason) {
  cone.assign(v.nodes.size(), 0);
  std::vector<std::string> work{boundary};
  std::unordered_set<std::string> seen;
  while (!work.empty()) {
    const std::string value = std::move(work.back());
    work.pop_back();
    if (value.empty() || value == kPrgb || v.initializers.count(value) || !seen.insert(value).second)
      continue;
    const long p = v.firstProducer(value);
    if (p < 0) {
      reason = v.inputs.count(value) ? "cone reads graph input '" + value + "'"
                                     : "cone leaf '" + value + "' has no producer";
      return false;
    }
    if (v.nodes[p].opType == "Constant" || cone[p]) continue;
    cone[p] = 1;
    for (const std::string& in : v.nodes[p].inputs) work.push_back(in);
  }
  if (std::find(cone.begin(), cone.end(), 1) == cone.end()) {
    reason = "empty cone";
    return false;
  }
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    if (cone[k]) continue;
    const std::vector<std::string>& in = v.nodes[k].inputs;
    if (std::find(in.begin(), in.end(), kPrgb) != in.end()) {
      reason = std::string(kPrgb) + " is also read outside the cone by " + v.label(k);
      return false;
    }
  }
  const std::unordered_set<std::string> graphOutputs = v.outputNames();
  for (size_t k = 0; k < v.nodes.size(); ++k) {
    if (!cone[k]) continue;
    for (const std::string& o : v.nodes[k].outputs) {
      if (o.empty() || o == boundary) continue;
      auto range = v.consumers.equal_range(o);
      for (auto it = range.first; it != range.second; ++it) {
        if (!cone[it->second]) {
          reason = "cone value '" + o + "' escapes to " + v.label(it->second);
          return false;
        }
      }
      if (graphOutputs.count(o)) {
        reason = "cone value '" + o + "' escapes to the graph's outputs";
        return false;
      }
    }
  }
  return true;
}

// The checks both cone builders share; fills the view and the cone mask.
bool readCone(const Bytes& model, const std::string& boundary, GraphView& v,
              std::vector<char>& cone, std::string& reason) {
  if (!v.read(model)) {
    reason = "no graph";
    return false;
  }
  if (!v.inputs.count(kPrgb)) {
    reason = "no P_rgb input";
    return false;
  }
  return gsSourceCone(v, boundary, cone, reason);
}

// Gives every node that `matches` the op type `opType`, in the "com.corvane"
// domain when `corvane` (importing it where the model does not): the listed
// node fields are dropped, all others kept in order, the new type (and
// domain) appended. Returns the count.
template <typename Match>
size_t retypeNodes(Bytes& model, Match&& matches, const char* opType, bool corvane,
                   std::initializer_list<uint32_t> drop) {
  GraphView v;
  if (!v.read(model)) return 0;
  std::vector<char> hit(v.nodes.size(), 0);
  size_t count = 0;
  for (size_t k = 0; k < v.nodes.size(); ++k) count += (hit[k] = matches(v, k));
  if (count == 0) return 0;
  Bytes extra;
  gsPutString(extra, of::kNodeOpType, opType);
  if (corvane) gsPutString(extra, of::kNodeDomain, kCorvaneDomain);
  Bytes out;
  emitModel(
      model,
      [&](size_t k, const GsField& f, Bytes& graph) {
        if (k >= hit.size() || !hit[k]) return false;
        reemitNode(f, drop, extra, graph);
        return true;
      },
      Bytes(), corvane && !hasCorvaneImport(model), out);
  model.swap(out);
  return count;
}

}  // namespace

// --- public interface --------------------------------------------------------

bool graphHasBakedGridSampleFast(const Bytes& model) {
  GraphView v;
  if (!v.read(model)) return false;
  for (size_t k = 0; k < v.nodes.size(); ++k)
    if (v.nodes[k].opType == "GridSampleFast" && v.domain(k) == kCorvaneDomain) return true;
  return false;
}

size_t rewriteGridSampleToFast(Bytes& model) {
  return retypeNodes(model, isRewritableGridSample, "GridSampleFast", true,
                     {of::kNodeOpType, of::kNodeAttribute, of::kNodeDomain});
}

size_t normaliseStudentBlend(Bytes& model) {
  auto isBlend = [](const GraphView& v, size_t k) {
    return v.nodes[k].opType == "MatMul" && v.name(k) == "/s2/blend" && isStandardDomain(v.domain(k)) &&
           v.nodes[k].inputs.size() == 2;
  };
  return retypeNodes(model, isBlend, "Gemm", false, {of::kNodeOpType, of::kNodeDomain});
}

std::array<double, 4> hcTaps(double t, double a) {
  auto keys = [a](double x) {
    x = std::fabs(x);
    if (x <= 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return ((a * x - 5.0 * a) * x + 8.0 * a) * x - 4.0 * a;
    return 0.0;
  };
  std::array<double, 4> w{keys(t + 1.0), keys(t), keys(1.0 - t), keys(2.0 - t)};
  const double sum = w[0] + w[1] + w[2] + w[3];
  for (double& x : w) x /= sum;
  return w;
}

size_t rewriteHeadCubicResize(Bytes& model) {
  GraphView v;
  if (!v.read(model)) return 0;
  // Channel counts beyond this are not a director's head; they would only
  // make the weight tensor absurdly large.
  constexpr int64_t kMaxChannels = 1 << 16;
  long found = -1;
  int64_t channels = 0;
  float coeffA = -0.75f;
  for (size_t k = 0; k < v.nodes.size() && found < 0; ++k) {
    const GsNodeInfo& n = v.nodes[k];
    if (n.opType != "Resize" || !v.domain(k).empty()) continue;
    const HcAttrs at = hcReadAttrs(v.payload(k));
    if (at.mode != "cubic" || at.coordinateTransformationMode != "half_pixel" ||
        !(at.keepAspectRatioPolicy.empty() || at.keepAspectRatioPolicy == "stretch") ||
        at.hasAxes || at.excludeOutside || at.antialias)
      continue;
    if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.empty()) continue;
    std::vector<float> scales;
    if (!tensorFloats(findConstTensor(v, n.inputs[2]), scales) ||
        scales != std::vector<float>{1.f, 1.f, 2.f, 2.f})
      continue;
    const long conv = v.soleProducer(n.inputs[0]);
    if (conv < 0 || v.nodes[conv].opType != "Conv" || v.nodes[conv].inputs.size() < 2) continue;
    const std::string& weight = v.nodes[conv].inputs[1];
    if (!v.initializers.count(weight)) continue;
    std::vector<int64_t> dims;
    hcTensorDims(findConstTensor(v, weight), dims);
    if (dims.size() != 4 || dims[0] <= 0 || dims[0] > kMaxChannels) continue;
    found = static_cast<long>(k);
    channels = dims[0];
    coeffA = at.hasCubicCoeffA ? at.cubicCoeffA : -0.75f;
  }
  if (found < 0) return 0;

  const GsNodeInfo& rz = v.nodes[found];
  std::string base = v.name(found);
  if (base.empty()) base = "/Resize";
  const std::string tag = "rz" + std::to_string(found);

  // Phase 0 (even outputs) takes window positions 0-3 at t = 0.75, phase 1
  // (odd outputs) positions 1-4 at t = 0.25.
  std::array<std::array<double, 5>, 2> phase{};
  const std::array<double, 4> even = hcTaps(0.75, coeffA), odd = hcTaps(0.25, coeffA);
  for (int j = 0; j < 4; ++j) {
    phase[0][j] = even[j];
    phase[1][j + 1] = odd[j];
  }
  std::vector<float> weights(static_cast<size_t>(channels) * 4 * 25);
  for (int64_t c = 0; c < channels; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* w = &weights[static_cast<size_t>(4 * c + 2 * py + px) * 25];
        for (int ky = 0; ky < 5; ++ky)
          for (int kx = 0; kx < 5; ++kx)
            w[ky * 5 + kx] = static_cast<float>(phase[py][ky] * phase[px][kx]);
      }

  Bytes nodes;
  {
    Bytes a;
    hcAttrS(a, "mode", "edge");
    hcNode(nodes, "Pad", {rz.inputs[0], tag + "_pads"}, tag + "_padout", base + "/pad", a);
  }
  {
    Bytes a;
    const int64_t ones[2] = {1, 1}, five[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
    hcAttrIs(a, "dilations", ones, 2);
    hcAttrI(a, "group", channels);
    hcAttrIs(a, "kernel_shape", five, 2);
    hcAttrIs(a, "pads", zeros, 4);
    hcAttrIs(a, "strides", ones, 2);
    hcNode(nodes, "Conv", {tag + "_padout", tag + "_dw_w"}, tag + "_convout", base + "/dwconv", a);
  }
  {
    Bytes a;
    hcAttrI(a, "blocksize", 2);
    hcAttrS(a, "mode", "CRD");
    hcNode(nodes, "DepthToSpace", {tag + "_convout"}, rz.outputs[0], base + "/d2s", a);
  }
  Bytes tail;
  {
    Bytes raw;
    putInt64sLE(raw, {0, 0, 2, 2, 0, 0, 2, 2});
    hcInit(tail, tag + "_pads", kOnnxInt64, {8}, raw.data(), raw.size());
    raw.clear();
    putFloatsLE(raw, weights);
    hcInit(tail, tag + "_dw_w", kOnnxFloat, {4 * channels, 1, 5, 5}, raw.data(), raw.size());
  }
  Bytes out;
  emitModel(
      model,
      [&](size_t k, const GsField&, Bytes& graph) {
        if (k != static_cast<size_t>(found)) return false;
        gsPutRaw(graph, gsSliceOf(nodes));
        return true;
      },
      tail, false, out);
  model.swap(out);
  return 1;
}

size_t findWarpBlock(const Bytes& model, WarpBlock* out, std::string& reason) {
  if (!out) {
    reason = "no out param";
    return 0;
  }
  WarpBlock wb;
  const size_t n = analyseWarpBlock(model, wb, nullptr, reason);
  if (n) *out = std::move(wb);
  return n;
}

size_t rewriteWarpBlockToCustomOp(Bytes& model, std::string& reason) {
  WarpBlock wb;
  std::vector<char> drop;
  const size_t n = analyseWarpBlock(model, wb, &drop, reason);
  if (n == 0) return 0;
  GraphView v;
  v.read(model);
  const size_t gs = wb.gridSampleIndex;
  if (gs >= v.nodes.size() ||
      (v.nodes[gs].opType != "GridSample" && v.nodes[gs].opType != "GridSampleFast") ||
      v.nodes[gs].inputs.size() < 2 || v.nodes[gs].inputs[1] != wb.grid) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  Bytes node;
  {
    Bytes p;
    gsPutString(p, of::kNodeInput, kPrgb);
    gsPutString(p, of::kNodeInput, wb.grid);
    gsPutString(p, of::kNodeOutput, wb.exit);
    gsPutString(p, of::kNodeName, "le_warp_director");
    gsPutString(p, of::kNodeOpType, "WarpDirector");
    gsPutString(p, of::kNodeDomain, kCorvaneDomain);
    gsPutBytes(node, of::kGraphNode, p.data(), p.size());
  }
  Bytes out;
  emitModel(
      model,
      [&](size_t k, const GsField&, Bytes& graph) {
        if (k == gs) {
          gsPutRaw(graph, gsSliceOf(node));
          return true;
        }
        return k < drop.size() && drop[k] != 0;
      },
      Bytes(), !hasCorvaneImport(model), out);
  model.swap(out);
  return n;
}

size_t findSourceConeBoundary(const Bytes& model, std::string& boundary) {
  GraphView v;
  if (!v.read(model)) return 0;
  size_t count = 0;
  for (const GsNodeInfo& n : v.nodes) {
    if (n.opType != "Concat" || std::find(n.inputs.begin(), n.inputs.end(), kPrgb) == n.inputs.end())
      continue;
    ++count;
    boundary = n.outputs.empty() ? std::string() : n.outputs[0];
  }
  return count;
}

bool buildSourceConePrep(const Bytes& model, const std::string& boundary, Bytes& prep,
                         std::string& reason) {
  GraphView v;
  std::vector<char> cone;
  if (!readCone(model, boundary, v, cone, reason)) return false;
  std::vector<char> drop(v.nodes.size());
  for (size_t k = 0; k < v.nodes.size(); ++k) drop[k] = !(cone[k] || v.nodes[k].opType == "Constant");
  if (std::find(drop.begin(), drop.end(), 0) == drop.end()) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit edit;
  edit.dropMask = &drop;
  edit.onlyPrgbInput = true;
  edit.dropOutputs = true;
  edit.valueName = &boundary;
  edit.dimsCount = 4;
  edit.targetField = of::kGraphOutput;
  gsRebuild(model, edit, prep);
  return true;
}

bool buildSourceConePerFrame(const Bytes& model, const std::string& boundary,
                             const int64_t* dims, size_t dimsCount, Bytes& perFrame,
                             std::string& reason) {
  GraphView v;
  std::vector<char> cone;
  if (!readCone(model, boundary, v, cone, reason)) return false;
  GsGraphEdit edit;
  edit.dropMask = &cone;
  edit.dropPrgbInput = true;
  edit.valueName = &boundary;
  edit.dims = dims;
  edit.dimsCount = dimsCount;
  edit.targetField = of::kGraphInput;
  gsRebuild(model, edit, perFrame);
  return true;
}

}  // namespace le
