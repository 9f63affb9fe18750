// Fuzzes the ONNX wire layer and the load-time rewrites. The first input
// byte picks the gsRebuild edit; the rest is a model image. Properties:
// - malformed wire data raises exactly "onnx: bad varint", "onnx: truncated"
//   or "onnx: bad wire type", and nothing reads out of bounds; the reader
//   refuses exactly what an independent restatement of the rules refuses;
// - every raw span and payload lies inside the input;
// - a rewrite that reports no change leaves the model byte-identical; one
//   that changes it leaves a model that reads back, and a second pass of the
//   GridSample, blend and warp rewrites changes nothing;
// - gsRebuild keeps a model whose nodes read readable, and rebuilding with an
//   empty edit is a fixed point after the first pass.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "director/graph_rewrites.h"
#include "director/onnx_wire.h"

namespace {

using le::Bytes;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool isWireError(const std::runtime_error& e) {
  return std::strcmp(e.what(), "onnx: bad varint") == 0 || std::strcmp(e.what(), "onnx: truncated") == 0 ||
         std::strcmp(e.what(), "onnx: bad wire type") == 0;
}

// Runs fn; a wire error is an accepted outcome (returns false), anything
// else that escapes is a finding.
template <typename Fn>
bool wire(Fn&& fn) {
  try {
    fn();
    return true;
  } catch (const std::runtime_error& e) {
    check(isWireError(e));
    return false;
  }
}

// The wire rules restated without exceptions: true when every field of `s`
// decodes (varints of at most ten bytes, lengths inside the span, wire types
// 0, 1, 2 and 5).
bool wellFormed(le::GsSlice s) {
  const unsigned char* p = s.data;
  const unsigned char* end = s.data + s.size;
  const auto varint = [&](uint64_t& v) {
    v = 0;
    for (unsigned shift = 0; p < end; shift += 7) {
      const unsigned char b = *p++;
      v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return true;
      if (shift == 63) return false;
    }
    return false;
  };
  while (p < end) {
    uint64_t key = 0, v = 0;
    if (!varint(key)) return false;
    switch (key & 7) {
      case 0:
        if (!varint(v)) return false;
        break;
      case 1:
        if (end - p < 8) return false;
        p += 8;
        break;
      case 2:
        if (!varint(v) || v > static_cast<uint64_t>(end - p)) return false;
        p += v;
        break;
      case 5:
        if (end - p < 4) return false;
        p += 4;
        break;
      default:
        return false;
    }
  }
  return true;
}

// Walks every field, descending into length-delimited payloads, and checks
// that spans stay inside [lo, hi) and that the reader refuses exactly the
// payloads wellFormed() refuses. Most payloads of a model are names and raw
// tensor data that are not messages, and under the sanitizers every refusal
// (an exception) costs more than the rest of the walk: only the first few
// refused payloads of an input are walked.
void walk(le::GsSlice s, const unsigned char* lo, const unsigned char* hi, int depth, int& refusalsLeft) {
  le::GsReader r(s);
  le::GsField f;
  while (r.next(f)) {
    check(f.raw >= lo && f.raw + f.rawSize <= hi && f.rawSize > 0);
    if (f.wireType == 2) {
      check(f.data >= f.raw && f.data + f.size <= f.raw + f.rawSize);
      if (depth >= 6) continue;
      if (wellFormed(f.payload())) {
        check(wire([&] { walk(f.payload(), lo, hi, depth + 1, refusalsLeft); }));
      } else if (refusalsLeft > 0) {
        --refusalsLeft;
        check(!wire([&] { walk(f.payload(), lo, hi, depth + 1, refusalsLeft); }));
      }
    }
  }
}

// A model image must read back down to its nodes (attributes and tensors
// are carried through verbatim, as well- or ill-formed as they came in).
void readsBack(const Bytes& m) {
  std::vector<le::GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  le::gsReadGraph(le::gsGraphOf(m), nodes, inits, inputs);
}

template <typename Rewrite>
void rewriteProperties(const Bytes& model, Rewrite rewrite, bool idempotent) {
  Bytes m = model;
  size_t n = 0;
  if (!wire([&] { n = rewrite(m); })) {
    check(m == model);
    return;
  }
  if (n == 0) {
    check(m == model);
    return;
  }
  check(wire([&] { readsBack(m); }));
  if (!idempotent) return;
  const Bytes once = m;
  size_t again = 0;
  check(wire([&] { again = rewrite(m); }));
  check(again == 0 && m == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const Bytes model(data + 1, data + size);
  const unsigned char* lo = model.data();
  const unsigned char* hi = model.data() + model.size();

  int refusalsLeft = 4;
  check(wire([&] { walk(le::gsSliceOf(model), lo, hi, 0, refusalsLeft); }) == wellFormed(le::gsSliceOf(model)));
  {
    le::PbReader r(le::gsSliceOf(model));
    le::PbField f;
    wire([&] {
      while (r.next(f)) check(f.wireType != 2 || (f.data >= lo && f.data + f.size <= hi));
    });
  }
  wire([&] {
    std::vector<le::GsNodeInfo> nodes;
    std::unordered_set<std::string> inits, inputs;
    le::gsReadGraph(le::gsGraphOf(model), nodes, inits, inputs);
    for (const le::GsNodeInfo& n : nodes) (void)le::hcReadAttrs(le::hcPayload(n.raw));
    std::vector<int64_t> dims;
    le::hcTensorDims(le::gsGraphOf(model), dims);
  });
  wire([&] { (void)le::graphHasBakedGridSampleFast(model); });

  rewriteProperties(model, le::rewriteGridSampleToFast, true);
  rewriteProperties(model, le::normaliseStudentBlend, true);
  rewriteProperties(model, le::rewriteHeadCubicResize, false);
  rewriteProperties(
      model,
      [](Bytes& m) {
        std::string why;
        const size_t n = le::rewriteWarpBlockToCustomOp(m, why);
        check(n > 0 || !why.empty());
        return n;
      },
      true);

  // The source-cone split.
  std::string boundary;
  size_t concats = 0;
  if (wire([&] { concats = le::findSourceConeBoundary(model, boundary); }) && concats > 0) {
    Bytes prep, perFrame;
    std::string why;
    bool ok = false;
    if (wire([&] { ok = le::buildSourceConePrep(model, boundary, prep, why); }) && ok)
      check(wire([&] { readsBack(prep); }));
    const int64_t dims[4] = {1, 12, 0, static_cast<int64_t>(selector)};
    if (wire([&] { ok = le::buildSourceConePerFrame(model, boundary, dims, 4, perFrame, why); }) && ok)
      check(wire([&] { readsBack(perFrame); }));
  }

  // gsRebuild with an edit chosen by the selector byte.
  std::vector<char> mask;
  for (size_t k = 0; k < (selector >> 5); ++k) mask.push_back(static_cast<char>((selector >> k) & 1));
  const std::string name = "le_fuzz_value";
  const int64_t dims[3] = {static_cast<int64_t>(selector) - 128, 0, 64};
  le::GsGraphEdit edit;
  edit.dropMask = (selector & 0x80) ? &mask : nullptr;
  edit.dropPrgbInput = selector & 1;
  edit.onlyPrgbInput = selector & 2;
  edit.dropOutputs = selector & 4;
  edit.valueName = (selector & 8) ? &name : nullptr;
  edit.dims = (selector & 16) ? dims : nullptr;
  edit.dimsCount = 3;
  edit.targetField = (selector & 32) ? 12 : 11;
  Bytes rebuilt;
  if (wire([&] { le::gsRebuild(model, edit, rebuilt); })) {
    // gsRebuild reads no deeper than the graph's fields; nodes come through
    // as they were, so they read back when they did before.
    if (wire([&] { readsBack(model); })) check(wire([&] { readsBack(rebuilt); }));
    Bytes once, twice;
    check(wire([&] { le::gsRebuild(rebuilt, le::GsGraphEdit{}, once); }));
    check(wire([&] { le::gsRebuild(once, le::GsGraphEdit{}, twice); }));
    check(once == twice);
  }
  return 0;
}
